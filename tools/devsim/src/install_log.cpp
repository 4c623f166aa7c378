#include "install_log.h"

#include <winsim.h>

#include <cstdio>

#include "status_names.h"

namespace devsim {

namespace {
constexpr const char *kSectionPrefix = ">>>  ";
constexpr const char *kSectionEndPrefix = "<<<  ";
constexpr const char *kLinePrefix = "     dvi: ";
constexpr const char *kApiPrefix = "     api: ";
constexpr int kColumnsPerLevel = 5;
}  // namespace

std::string ClockText() {
  uint64_t ms = winsim::NowMs();
  char text[32];
  std::snprintf(text, sizeof text, "%02llu:%02llu:%02llu.%03llu", static_cast<unsigned long long>(ms / 3600000),
                static_cast<unsigned long long>(ms / 60000 % 60), static_cast<unsigned long long>(ms / 1000 % 60),
                static_cast<unsigned long long>(ms % 1000));
  return text;
}

void InstallLog::BeginSection(const std::string &title, const std::string &instanceId) {
  text_ += std::string(kSectionPrefix) + "[" + title + " - " + instanceId + "]\n";
  text_ += std::string(kSectionPrefix) + "Section start " + ClockText() + "\n";
  depth_ = 0;
}

void InstallLog::EndSection(DWORD status) {
  text_ += std::string(kSectionEndPrefix) + "Section end " + ClockText() + "\n";
  text_ += std::string(kSectionEndPrefix) + "[Exit status: " +
           (status == NO_ERROR ? std::string("SUCCESS") : "FAILURE(" + DescribeStatus(status) + ")") + "]\n";
  depth_ = 0;
}

void InstallLog::Line(const std::string &text) {
  text_ += kLinePrefix + std::string(static_cast<size_t>(depth_ * kColumnsPerLevel), ' ') + text + "\n";
}

void InstallLog::ApiLine(const std::string &text) {
  text_ += kApiPrefix + text + "\n";
}

void InstallLog::Raw(const std::string &text) {
  text_ += text + "\n";
}

}  // namespace devsim
