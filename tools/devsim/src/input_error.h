// An input that the simulator cannot use: a malformed scenario, machine file or INF. It names the
// file and, where known, the line, so the message points the user at what to fix.
#ifndef DEVSIM_INPUT_ERROR_H
#define DEVSIM_INPUT_ERROR_H

#include <stdexcept>
#include <string>

namespace devsim {

class InputError : public std::runtime_error {
 public:
  // line 0: the problem concerns the whole file.
  InputError(const std::string &file, int line, const std::string &message)
      : std::runtime_error(Format(file, line, message)), file_(file), line_(line) {}

  const std::string &file() const { return file_; }
  int line() const { return line_; }

 private:
  static std::string Format(const std::string &file, int line, const std::string &message) {
    return file + (line > 0 ? ":" + std::to_string(line) : std::string()) + ": " + message;
  }
  std::string file_;
  int line_;
};

}  // namespace devsim

#endif  // DEVSIM_INPUT_ERROR_H
