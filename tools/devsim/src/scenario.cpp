#include "scenario.h"

#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <map>
#include <set>
#include <sstream>

#include "input_error.h"
#include "quit_codes.h"
#include "status_names.h"

namespace devsim {

namespace {

struct Token {
  std::string key;    // "hwid" for hwid=..., else the bare word
  std::string value;  // after "=", quotes removed
  bool hasValue = false;
};

class LineParser {
 public:
  LineParser(const std::string &fileName, int line) : file_(fileName), line_(line) {}

  [[noreturn]] void Fail(const std::string &message) const { throw InputError(file_, line_, message); }

  // Splits a line into words; double quotes group blanks into a word and are removed; a word that
  // starts with "#" starts a comment. Backslashes are plain characters (Windows paths).
  std::vector<std::string> Words(const std::string &text) const {
    std::vector<std::string> words;
    size_t i = 0;
    while (i < text.size()) {
      while (i < text.size() && std::isspace(static_cast<unsigned char>(text[i]))) ++i;
      if (i == text.size() || text[i] == '#') break;
      std::string word;
      bool quoted = false;
      while (i < text.size() && (quoted || !std::isspace(static_cast<unsigned char>(text[i])))) {
        if (text[i] == '"') {
          quoted = !quoted;
        } else {
          word += text[i];
        }
        ++i;
      }
      if (quoted) Fail("a double quote is not closed");
      words.push_back(word);
    }
    return words;
  }

  std::vector<Token> Options(const std::vector<std::string> &words, size_t first) const {
    std::vector<Token> tokens;
    std::set<std::string> seen;
    for (size_t i = first; i < words.size(); ++i) {
      Token token;
      size_t equals = words[i].find('=');
      if (equals == std::string::npos) {
        token.key = words[i];
      } else {
        token.key = words[i].substr(0, equals);
        token.value = words[i].substr(equals + 1);
        token.hasValue = true;
      }
      if (token.key.empty()) Fail("'" + words[i] + "' has no option name");
      if (!seen.insert(token.key).second) Fail("option '" + token.key + "' is given twice");
      tokens.push_back(token);
    }
    return tokens;
  }

  std::string NeedValue(const Token &token) const {
    if (!token.hasValue || token.value.empty())
      Fail("option '" + token.key + "' needs a value ('" + token.key + "=...')");
    return token.value;
  }

  void NoValue(const Token &token) const {
    if (token.hasValue) Fail("option '" + token.key + "' takes no value");
  }

  DWORD Number(const Token &token) const {
    std::string text = NeedValue(token);
    errno = 0;
    char *end = nullptr;
    unsigned long long value = std::strtoull(text.c_str(), &end, 0);
    if (text[0] == '-' || text[0] == '+' || *end != '\0' || errno == ERANGE || value > 0xFFFFFFFFull) {
      Fail("option '" + token.key + "': '" + text + "' is not a number from 0 to 4294967295");
    }
    return static_cast<DWORD>(value);
  }

  std::vector<std::string> IdList(const Token &token) const {
    std::vector<std::string> ids;
    std::string text = NeedValue(token);
    size_t start = 0;
    for (;;) {
      size_t comma = text.find(',', start);
      std::string id = text.substr(start, comma == std::string::npos ? std::string::npos : comma - start);
      if (id.empty()) Fail("option '" + token.key + "': an empty device ID in '" + text + "'");
      ids.push_back(id);
      if (comma == std::string::npos) break;
      start = comma + 1;
    }
    return ids;
  }

  [[noreturn]] void Unknown(const Token &token, const std::string &command, const std::string &allowed) const {
    Fail("'" + command + "' has no option '" + token.key + "' (options: " + allowed + ")");
  }

 private:
  std::string file_;
  int line_;
};

bool ValidName(const std::string &name) {
  if (name.empty()) return false;
  for (unsigned char c : name) {
    if (!std::isalnum(c) && c != '_' && c != '-' && c != '.') return false;
  }
  return true;
}

std::string Trim(const std::string &text) {
  size_t first = text.find_first_not_of(" \t\r");
  if (first == std::string::npos) return "";
  size_t last = text.find_last_not_of(" \t\r");
  return text.substr(first, last - first + 1);
}

// The line without its comment, for the report.
std::string CommandText(const std::string &line) {
  bool quoted = false;
  for (size_t i = 0; i < line.size(); ++i) {
    if (line[i] == '"') quoted = !quoted;
    if (!quoted && line[i] == '#' && (i == 0 || std::isspace(static_cast<unsigned char>(line[i - 1])))) {
      return Trim(line.substr(0, i));
    }
  }
  return Trim(line);
}

void ParseAdd(const LineParser &parser, const std::vector<Token> &options, Step &step) {
  bool presenceGiven = false;
  for (const Token &token : options) {
    if (token.key == "hwid") {
      step.hardwareIds = parser.IdList(token);
    } else if (token.key == "compat") {
      step.compatibleIds = parser.IdList(token);
    } else if (token.key == "id") {
      step.instanceId = parser.NeedValue(token);
    } else if (token.key == "class") {
      step.setupClass = parser.NeedValue(token);
    } else if (token.key == "desc") {
      step.description = parser.NeedValue(token);
    } else if (token.key == "absent" || token.key == "present") {
      parser.NoValue(token);
      if (presenceGiven) parser.Fail("give either 'present' or 'absent', not both");
      presenceGiven = true;
      step.present = token.key == "present";
    } else {
      parser.Unknown(token, "add", "hwid=, compat=, id=, class=, desc=, present, absent");
    }
  }
  if (step.hardwareIds.empty()) parser.Fail("'add' needs the device's hardware IDs (hwid=ID[,ID...])");
}

void ParseMonitor(const LineParser &parser, const std::vector<Token> &options, Step &step) {
  winsim::QuitListener &listener = step.listener;
  listener.onQuery = {winsim::QuitReply{kQuitPresent, true, 0}};
  listener.onOrder = {winsim::QuitReply{kQuitDone, false, 0}};
  uint64_t delay = 0;
  std::optional<uint64_t> hangMs;
  bool hangs = false, stray = false;
  for (const Token &token : options) {
    if (token.key == "answer") {
      std::string how = parser.NeedValue(token);
      if (how == "send") {
        listener.onQuery = {winsim::QuitReply{kQuitPresent, true, 0}};
      } else if (how == "post") {
        listener.onQuery = {winsim::QuitReply{kQuitPresent, false, 0}};
      } else if (how == "none") {
        listener.onQuery.clear();
      } else if (how == "hang") {
        // It handles no message for a while from its start; afterwards it answers at once.
        listener.onQuery = {winsim::QuitReply{kQuitPresent, true, 0}};
        hangs = true;
      } else {
        parser.Fail("answer='" + how + "': use send, post, none or hang");
      }
    } else if (token.key == "quit") {
      std::string how = parser.NeedValue(token);
      if (how == "confirm") {
        listener.onOrder = {winsim::QuitReply{kQuitDone, false, 0}};
      } else if (how == "refuse") {
        listener.onOrder = {winsim::QuitReply{kQuitRefused, false, 0}};
      } else if (how == "silent") {
        listener.onOrder.clear();
      } else {
        parser.Fail("quit='" + how + "': use confirm, refuse or silent");
      }
    } else if (token.key == "delay") {
      delay = parser.Number(token);
    } else if (token.key == "vanish") {
      listener.vanishAtMs = parser.Number(token);  // relative here; made absolute when the step runs
    } else if (token.key == "hang") {
      hangMs = parser.Number(token);
    } else if (token.key == "stays") {
      parser.NoValue(token);
      listener.exitsAfterOrder = false;
    } else if (token.key == "stray") {
      parser.NoValue(token);
      stray = true;
    } else {
      parser.Unknown(token, "monitor", "answer=, quit=, delay=, vanish=, hang=, stays, stray");
    }
  }
  for (winsim::QuitReply &reply : listener.onOrder) reply.delayMs = delay;
  if (hangMs && !hangs) parser.Fail("'hang=' goes with 'answer=hang'");
  if (hangs) {
    listener.hangAtMs = 0;  // relative here; made absolute when the step runs
    listener.hangForMs = hangMs.value_or(kDefaultHangMs);
  }
  // A thread message WM_USER to the asking thread, after whatever answers the query.
  if (stray) listener.onQuery.push_back(winsim::QuitReply{0, false, 0, true});
}

}  // namespace

Scenario ParseScenario(const std::string &text, const std::string &fileName) {
  Scenario scenario;
  scenario.fileName = fileName;
  std::map<std::string, int> devices;  // name -> line of its definition
  std::map<std::string, int> monitors;
  std::istringstream in(text);
  std::string rawLine;
  int lineNumber = 0;
  while (std::getline(in, rawLine)) {
    ++lineNumber;
    LineParser parser(fileName, lineNumber);
    std::vector<std::string> words = parser.Words(rawLine);
    if (words.empty()) continue;

    Step step;
    step.line = lineNumber;
    step.text = CommandText(rawLine);
    const std::string &command = words[0];

    static const std::map<std::string, StepKind> kCommands = {
        {"drivers", StepKind::Drivers}, {"add", StepKind::Add},         {"use", StepKind::Use},
        {"choose", StepKind::Choose},   {"install", StepKind::Install}, {"absent", StepKind::Absent},
        {"present", StepKind::Present}, {"remove", StepKind::Remove},   {"monitor", StepKind::Monitor},
        {"restart", StepKind::Restart},
    };
    auto kind = kCommands.find(command);
    if (kind == kCommands.end()) {
      parser.Fail("unknown command '" + command +
                  "' (commands: drivers, add, use, choose, install, absent, present, remove, monitor, restart)");
    }
    step.kind = kind->second;

    if (step.kind == StepKind::Drivers) {
      if (words.size() != 2) parser.Fail("'drivers' takes one argument: inf, a folder or an INF file");
      step.driverSource = words[1];
      scenario.steps.push_back(step);
      continue;
    }

    if (step.kind == StepKind::Restart) {
      if (words.size() != 1) parser.Fail("'restart' takes no argument");
      monitors.clear();  // the monitors of the old boot have ended; their names are free again
      scenario.steps.push_back(step);
      continue;
    }

    if (words.size() < 2) parser.Fail("'" + command + "' needs a name");
    const std::string &name = words[1];
    if (!ValidName(name)) parser.Fail("'" + name + "' is not a name (letters, digits, '_', '-' and '.')");
    std::vector<Token> options = parser.Options(words, 2);

    if (step.kind == StepKind::Monitor) {
      if (monitors.count(name) != 0) {
        parser.Fail("monitor '" + name + "' is already started at line " + std::to_string(monitors[name]));
      }
      monitors[name] = lineNumber;
      step.listener.name = name;
      ParseMonitor(parser, options, step);
      scenario.steps.push_back(step);
      continue;
    }

    step.device = name;
    if (step.kind == StepKind::Add || step.kind == StepKind::Use) {
      if (devices.count(name) != 0) {
        parser.Fail("device '" + name + "' is already defined at line " + std::to_string(devices[name]));
      }
      devices[name] = lineNumber;
      if (step.kind == StepKind::Add) {
        ParseAdd(parser, options, step);
      } else {
        for (const Token &token : options) {
          if (token.key != "id") parser.Unknown(token, "use", "id=");
          step.instanceId = parser.NeedValue(token);
        }
        if (step.instanceId.empty()) parser.Fail("'use' needs the device's instance ID (id=...)");
      }
      scenario.steps.push_back(step);
      continue;
    }

    if (devices.count(name) == 0) parser.Fail("device '" + name + "' is not defined (use 'add' or 'use' first)");
    for (const Token &token : options) {
      if (step.kind != StepKind::Install || token.key != "fail") {
        parser.Fail("'" + command + "' has no option '" + token.key + "'" +
                    (step.kind == StepKind::Install ? " (options: fail, fail=STATUS)" : ""));
      }
      if (!token.hasValue) {
        step.failure = kDefaultInstallFailure;
      } else if (auto named = StatusByName(token.value)) {
        step.failure = *named;
      } else {
        step.failure = parser.Number(token);
      }
      if (*step.failure == NO_ERROR) parser.Fail("'fail=" + token.value + "' names success, not a failure");
    }
    scenario.steps.push_back(step);
  }
  return scenario;
}

}  // namespace devsim
