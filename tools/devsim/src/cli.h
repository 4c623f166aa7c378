// The simulator's command line: which machine, which scenario, where to save the end state.
#ifndef DEVSIM_CLI_H
#define DEVSIM_CLI_H

#include <ostream>
#include <string>
#include <vector>

namespace devsim {

// Exit statuses of the program.
constexpr int kExitOk = 0;
constexpr int kExitInputError = 1;  // a malformed or unreadable scenario, machine file or INF
constexpr int kExitUsage = 2;       // a command line the program does not understand

struct Options {
  std::string machineFile;               // "" = the embedded machine's registry
  std::vector<std::string> addRegFiles;  // applied on top, in order
  std::string filesDir;                  // "" = the embedded machine's files
  std::string scenarioFile;              // "" = the embedded default scenario
  std::string saveRegFile, saveFilesDir;
  bool traceModuleCalls = false;
  bool printScenario = false;
  bool help = false;
};

// Parses the arguments (without the program name). Returns false with a message for a usage error.
bool ParseCommandLine(const std::vector<std::string> &args, Options *options, std::string *error);

std::string UsageText();

// Runs the simulator: loads the machine into a temporary folder, runs the scenario, prints the
// report to `out`, saves what was asked for, and removes the temporary folder. Messages about bad
// input go to `err`. Returns the exit status.
int Run(const Options &options, std::ostream &out, std::ostream &err);

// ParseCommandLine and Run.
int Main(const std::vector<std::string> &args, std::ostream &out, std::ostream &err);

}  // namespace devsim

#endif  // DEVSIM_CLI_H
