#include "cli.h"

#include <stdlib.h>
#include <winsim.h>

#include <filesystem>
#include <map>

#include "input_error.h"
#include "machine.h"
#include "onlcoin_module.h"
#include "scenario.h"
#include "simulator.h"

namespace devsim {

namespace fs = std::filesystem;

namespace {

constexpr const char *kTemporaryPattern = "devsim-XXXXXX";
constexpr const char *kMachineRoot = "HKEY_LOCAL_MACHINE";

// A private host folder for drive C: of one run, removed with the object.
class TemporaryFolder {
 public:
  TemporaryFolder() {
    std::error_code error;
    std::string pattern = (fs::temp_directory_path(error) / kTemporaryPattern).string();
    if (error || mkdtemp(pattern.data()) == nullptr)
      throw InputError(pattern, 0, "temporary folder cannot be made");
    path_ = pattern;
  }
  ~TemporaryFolder() {
    std::error_code error;
    fs::remove_all(path_, error);
  }
  TemporaryFolder(const TemporaryFolder &) = delete;
  TemporaryFolder &operator=(const TemporaryFolder &) = delete;
  const std::string &path() const { return path_; }

 private:
  std::string path_;
};

// Checks before anything runs that the outputs can be written, so that a run does not end with a
// report and no saved state.
void CheckOutputs(const Options &options) {
  std::error_code error;
  if (!options.saveRegFile.empty()) {
    fs::path parent = fs::absolute(options.saveRegFile, error).parent_path();
    if (!fs::is_directory(parent, error)) throw InputError(options.saveRegFile, 0, "its folder does not exist");
    if (fs::is_directory(options.saveRegFile, error)) throw InputError(options.saveRegFile, 0, "is a folder");
  }
  if (!options.saveFilesDir.empty()) {
    fs::path parent = fs::absolute(options.saveFilesDir, error).parent_path();
    if (!fs::is_directory(parent, error))
      throw InputError(options.saveFilesDir, 0, "its parent folder does not exist");
    if (fs::exists(options.saveFilesDir, error) &&
        !(fs::is_directory(options.saveFilesDir, error) && fs::is_empty(options.saveFilesDir, error))) {
      throw InputError(options.saveFilesDir, 0,
                       "exists and is not an empty folder; the files are not saved over it");
    }
  }
  if (!options.filesDir.empty() && !fs::is_directory(options.filesDir, error)) {
    throw InputError(options.filesDir, 0, "is not a folder");
  }
}

std::string WithHeader(const std::string &exported) {
  return exported.empty() ? "REGEDIT4\r\n\r\n" : exported;
}

}  // namespace

std::string UsageText() {
  return "Usage: devsim [options]\n"
         "\n"
         "Runs a scenario of device installations and removals on a simulated Windows machine whose\n"
         "SetupAPI hosts the ORVIK co-installer (onlcoin.dll), and reports what every step changes.\n"
         "Without options it runs the embedded default scenario on the embedded default machine.\n"
         "\n"
         "  --scenario FILE     the scenario to run (format: tools/devsim/README.md)\n"
         "  --machine FILE.reg  the machine's registry from a .reg file (REGEDIT4, or regedit's\n"
         "                      \"Windows Registry Editor Version 5.00\" in UTF-16LE) instead of the\n"
         "                      embedded one\n"
         "  --add-reg FILE.reg  applies a .reg file on top of the machine's registry (repeatable)\n"
         "  --files DIR         the files of drive C: from a host folder (copied; DIR is not changed)\n"
         "                      instead of the embedded ones\n"
         "  --save FILE.reg     saves the end state's registry (HKEY_LOCAL_MACHINE) as REGEDIT4\n"
         "  --save-files DIR    saves the end state's drive C: to DIR (new or empty folder)\n"
         "  --trace             lists every platform call the co-installer makes\n"
         "  --print-scenario    prints the scenario (the embedded one by default) and exits\n"
         "  --help              prints this text\n"
         "\n"
         "Exit status: 0 done, 1 a scenario, machine file or INF that cannot be used (the message\n"
         "names the file and line; nothing is saved), 2 a command-line error.\n";
}

bool ParseCommandLine(const std::vector<std::string> &args, Options *options, std::string *error) {
  const std::map<std::string, std::string *> valued = {
      {"--scenario", &options->scenarioFile},   {"--machine", &options->machineFile},
      {"--files", &options->filesDir},          {"--save", &options->saveRegFile},
      {"--save-files", &options->saveFilesDir},
  };
  for (size_t i = 0; i < args.size(); ++i) {
    std::string name = args[i];
    std::string value;
    bool hasValue = false;
    size_t equals = name.find('=');
    if (name.compare(0, 2, "--") == 0 && equals != std::string::npos) {
      value = name.substr(equals + 1);
      name = name.substr(0, equals);
      hasValue = true;
    }
    if (name == "--trace" || name == "--print-scenario" || name == "--help" || name == "-h") {
      if (hasValue) {
        *error = name + " takes no value";
        return false;
      }
      if (name == "--trace") options->traceModuleCalls = true;
      if (name == "--print-scenario") options->printScenario = true;
      if (name == "--help" || name == "-h") options->help = true;
      continue;
    }
    auto target = valued.find(name);
    if (target == valued.end() && name != "--add-reg") {
      *error = "unknown option '" + args[i] + "'";
      return false;
    }
    if (!hasValue) {
      if (i + 1 >= args.size()) {
        *error = name + " needs a value";
        return false;
      }
      value = args[++i];
    }
    if (value.empty()) {
      *error = name + " needs a value";
      return false;
    }
    if (name == "--add-reg") {
      options->addRegFiles.push_back(value);
    } else if (!target->second->empty()) {
      *error = name + " is given twice";
      return false;
    } else {
      *target->second = value;
    }
  }
  return true;
}

int Run(const Options &options, std::ostream &out, std::ostream &err) {
  if (options.help) {
    out << UsageText();
    return kExitOk;
  }
  try {
    // Every input is read and the scenario checked before the machine is touched.
    const std::string scenarioName = options.scenarioFile.empty() ? kEmbeddedScenarioName : options.scenarioFile;
    const std::string scenarioText =
        options.scenarioFile.empty() ? EmbeddedScenario() : ReadHostFile(options.scenarioFile);
    if (options.printScenario) {
      out << scenarioText;
      return kExitOk;
    }
    const Scenario scenario = ParseScenario(scenarioText, scenarioName);
    const std::string machineName = options.machineFile.empty() ? kEmbeddedMachineName : options.machineFile;
    const std::string machineText =
        options.machineFile.empty() ? EmbeddedRegistry() : ReadHostFile(options.machineFile);
    std::vector<std::string> addRegTexts;
    for (const std::string &file : options.addRegFiles) addRegTexts.push_back(ReadHostFile(file));
    CheckOutputs(options);

    TemporaryFolder drive;
    winsim::SetFileRoot(drive.path());
    winsim::Reset();
    RegisterOnlcoinModule();
    try {
      if (options.filesDir.empty()) {
        WriteEmbeddedFiles();
      } else {
        CopyTree(options.filesDir, drive.path());
      }
      ApplyRegText(machineText, machineName);
      for (size_t i = 0; i < addRegTexts.size(); ++i) ApplyRegText(addRegTexts[i], options.addRegFiles[i]);

      out << "devsim: the ORVIK co-installer on a simulated Windows machine\n";
      out << "  Registry: " << machineName;
      for (const std::string &file : options.addRegFiles) out << " + " << file;
      out << "\n  Drive C:  " << (options.filesDir.empty() ? "(embedded) files" : options.filesDir)
          << " (working copy in " << drive.path() << ")\n";
      out << "  Scenario: " << scenarioName << "\n";

      Simulator simulator(out, DispatchOptions{options.traceModuleCalls});
      // A machine from a file may come broken: what is wrong shows before any step changes it.
      if (!options.machineFile.empty() || !options.addRegFiles.empty()) simulator.ReportLoadedNumbering();
      simulator.Run(scenario);
      simulator.ReportEndState();

      if (!options.saveFilesDir.empty()) {
        SaveTreeAtomically(drive.path(), options.saveFilesDir);
        out << "\nSaved drive C: to " << options.saveFilesDir << "\n";
      }
      if (!options.saveRegFile.empty()) {
        WriteFileAtomically(options.saveRegFile, WithHeader(winsim::ExportReg(kMachineRoot)));
        out << "Saved the registry to " << options.saveRegFile << "\n";
      }
    } catch (...) {
      winsim::Reset();
      throw;
    }
    winsim::Reset();
    return kExitOk;
  } catch (const InputError &error) {
    out.flush();
    err << "devsim: " << error.what() << "\n";
    return kExitInputError;
  }
}

int Main(const std::vector<std::string> &args, std::ostream &out, std::ostream &err) {
  Options options;
  std::string error;
  if (!ParseCommandLine(args, &options, &error)) {
    err << "devsim: " << error << "\n\n" << UsageText();
    return kExitUsage;
  }
  return Run(options, out, err);
}

}  // namespace devsim
