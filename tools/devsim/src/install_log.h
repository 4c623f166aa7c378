// The request lines of the report, shaped like the platform's device-installation log: a section
// per device request (">>>  [Device Install - ID]" ... "<<<  [Exit status: ...]"), "dvi:" lines
// nested by five columns per level, and "api:" lines for traced platform calls.
#ifndef DEVSIM_INSTALL_LOG_H
#define DEVSIM_INSTALL_LOG_H

#include <windows.h>

#include <string>

namespace devsim {

class InstallLog {
 public:
  void BeginSection(const std::string &title, const std::string &instanceId);
  void EndSection(DWORD status);
  void Line(const std::string &text);  // a "dvi:" line at the current depth
  void ApiLine(const std::string &text);
  void Raw(const std::string &text);  // a line as it is
  void Indent() { ++depth_; }
  void Outdent() {
    if (depth_ > 0) --depth_;
  }
  const std::string &Text() const { return text_; }

 private:
  std::string text_;
  int depth_ = 0;
};

// Indents the log for the lifetime of the object.
class LogIndent {
 public:
  explicit LogIndent(InstallLog &log) : log_(log) { log_.Indent(); }
  ~LogIndent() { log_.Outdent(); }
  LogIndent(const LogIndent &) = delete;
  LogIndent &operator=(const LogIndent &) = delete;

 private:
  InstallLog &log_;
};

// The virtual clock as "hh:mm:ss.mmm".
std::string ClockText();

}  // namespace devsim

#endif  // DEVSIM_INSTALL_LOG_H
