#include "machine.h"

#include <stdlib.h>
#include <unistd.h>
#include <winsim.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>

#include "embedded.h"
#include "input_error.h"

namespace devsim {

namespace fs = std::filesystem;

namespace {

constexpr const char *kEmbeddedRegistryFile = "machine.reg";
constexpr const char *kEmbeddedScenarioFile = "default.scn";
// Embedded files below this prefix are the files of drive C:.
constexpr const char *kDrivePrefix = "C/";
constexpr const char *kDriveRoot = "C:\\";
const std::string &EmbeddedText(const char *name) {
  static const std::map<std::string, std::string> texts = [] {
    std::map<std::string, std::string> all;
    for (const EmbeddedFile &file : EmbeddedFiles()) all.emplace(file.name, file.content);
    return all;
  }();
  auto found = texts.find(name);
  if (found == texts.end()) throw InputError(name, 0, "missing from the embedded machine");
  return found->second;
}

std::string WithCrLf(const std::string &text) {
  std::string out;
  out.reserve(text.size() + text.size() / 32);
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\n' && (i == 0 || text[i - 1] != '\r')) out += '\r';
    out += text[i];
  }
  return out;
}

// A fresh temporary name beside hostPath ("<hostPath>.tmp-XXXXXX").
std::string TemporaryPattern(const std::string &hostPath) {
  return hostPath + ".tmp-XXXXXX";
}

}  // namespace

void ApplyRegText(const std::string &bytes, const std::string &fileName) {
  std::string error;
  if (winsim::LoadReg(bytes, &error)) return;
  // The loader says "line N: what is wrong".
  int line = 0;
  std::string message = error;
  if (error.compare(0, 5, "line ") == 0) {
    size_t colon = error.find(':');
    if (colon != std::string::npos) {
      line = std::atoi(error.substr(5, colon - 5).c_str());
      message = error.substr(colon + 1);
      if (!message.empty() && message[0] == ' ') message.erase(0, 1);
    }
  }
  throw InputError(fileName, line, message.empty() ? "not a registry file" : message);
}

std::string ReadHostFile(const std::string &hostPath) {
  std::ifstream in(hostPath, std::ios::binary);
  if (!in) throw InputError(hostPath, 0, "cannot be read");
  std::ostringstream content;
  content << in.rdbuf();
  if (in.bad()) throw InputError(hostPath, 0, "cannot be read");
  return content.str();
}

const std::string &EmbeddedRegistry() {
  return EmbeddedText(kEmbeddedRegistryFile);
}
const std::string &EmbeddedScenario() {
  return EmbeddedText(kEmbeddedScenarioFile);
}

void WriteEmbeddedFiles() {
  const std::string prefix = kDrivePrefix;
  for (const EmbeddedFile &file : EmbeddedFiles()) {
    std::string name = file.name;
    if (name.compare(0, prefix.size(), prefix) != 0) continue;
    std::string windowsPath = kDriveRoot + name.substr(prefix.size());
    for (char &c : windowsPath) {
      if (c == '/') c = '\\';
    }
    winsim::PutFile(windowsPath, WithCrLf(file.content));
  }
}

void CopyTree(const std::string &fromHostDir, const std::string &toHostDir) {
  std::error_code error;
  fs::copy(fromHostDir, toHostDir, fs::copy_options::recursive | fs::copy_options::overwrite_existing, error);
  if (error) throw InputError(fromHostDir, 0, "cannot be copied: " + error.message());
}

void WriteFileAtomically(const std::string &hostPath, const std::string &content) {
  std::string temporary = TemporaryPattern(hostPath);
  int descriptor = mkstemp(temporary.data());
  if (descriptor < 0) throw InputError(hostPath, 0, "cannot be written (no temporary file beside it)");
  size_t written = 0;
  while (written < content.size()) {
    ssize_t n = ::write(descriptor, content.data() + written, content.size() - written);
    if (n <= 0) break;
    written += static_cast<size_t>(n);
  }
  bool ok = written == content.size() && ::fsync(descriptor) == 0;
  ok = ::close(descriptor) == 0 && ok;
  if (!ok || std::rename(temporary.c_str(), hostPath.c_str()) != 0) {
    std::remove(temporary.c_str());
    throw InputError(hostPath, 0, "cannot be written");
  }
}

void SaveTreeAtomically(const std::string &fromHostDir, const std::string &hostDir) {
  std::error_code error;
  if (fs::exists(hostDir, error) && !(fs::is_directory(hostDir, error) && fs::is_empty(hostDir, error))) {
    throw InputError(hostDir, 0, "exists and is not an empty folder; the files are not saved over it");
  }
  std::string temporary = TemporaryPattern(hostDir);
  if (mkdtemp(temporary.data()) == nullptr)
    throw InputError(hostDir, 0, "cannot be written (no temporary folder beside it)");
  try {
    CopyTree(fromHostDir, temporary);
  } catch (const InputError &) {
    fs::remove_all(temporary, error);
    throw InputError(hostDir, 0, "cannot be written");
  }
  // rename() replaces an empty folder of that name.
  if (std::rename(temporary.c_str(), hostDir.c_str()) != 0) {
    fs::remove_all(temporary, error);
    throw InputError(hostDir, 0, "cannot be written");
  }
}

}  // namespace devsim
