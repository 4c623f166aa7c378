#include "step_report.h"

#include <cctype>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>

#include "quit_codes.h"
#include "status_names.h"
#include "text_diff.h"

namespace devsim {

namespace fs = std::filesystem;

namespace {

constexpr const char *kMachineRoot = "HKEY_LOCAL_MACHINE";
constexpr const char *kEventLogKey = "SYSTEM\\CurrentControlSet\\Services\\EventLog";
constexpr const char *kEventMessageFileValue = "EventMessageFile";
constexpr DWORD kMessageTextSize = 4096;
constexpr DWORD kUsEnglish = 1033;

std::string WindowsDirectory() {
  char buffer[MAX_PATH] = {};
  UINT length = GetWindowsDirectoryA(buffer, sizeof buffer);
  if (length == 0 || length >= sizeof buffer) return "C:\\WINDOWS";
  std::string path(buffer, length);
  if (path.size() > 3 && path.back() == '\\') path.pop_back();
  return path;
}

std::string Lower(std::string text) {
  for (char &c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

// Replaces %SystemRoot% and %windir% (any letter case) by the Windows folder.
std::string ExpandSystemRoot(const std::string &text) {
  std::string out;
  const std::string windows = WindowsDirectory();
  for (size_t i = 0; i < text.size();) {
    bool replaced = false;
    for (const char *variable : {"%systemroot%", "%windir%"}) {
      std::string name = variable;
      if (Lower(text.substr(i, name.size())) == name) {
        out += windows;
        i += name.size();
        replaced = true;
        break;
      }
    }
    if (!replaced) out += text[i++];
  }
  return out;
}

std::string EventTypeName(WORD type) {
  switch (type) {
    case EVENTLOG_ERROR_TYPE:
      return "Error";
    case EVENTLOG_WARNING_TYPE:
      return "Warning";
    case EVENTLOG_INFORMATION_TYPE:
      return "Information";
    case EVENTLOG_AUDIT_SUCCESS:
      return "Audit Success";
    case EVENTLOG_AUDIT_FAILURE:
      return "Audit Failure";
    default:
      return "Type " + std::to_string(type);
  }
}

std::string HexBytes(const std::vector<BYTE> &data) {
  std::string text;
  char item[4];
  for (BYTE byte : data) {
    std::snprintf(item, sizeof item, "%02X", byte);
    text += (text.empty() ? "" : " ") + std::string(item);
  }
  return text;
}

// The registered message file of an event source, and the log it belongs to.
std::optional<std::string> MessageFileOf(const std::string &source, std::string *log) {
  for (const std::string &logName : winsim::SubkeyNames(std::string(kMachineRoot) + "\\" + kEventLogKey)) {
    std::string key = std::string(kMachineRoot) + "\\" + kEventLogKey + "\\" + logName + "\\" + source;
    if (!winsim::KeyExists(key)) continue;
    *log = logName;
    std::optional<winsim::RegValue> value = winsim::GetValue(key, kEventMessageFileValue);
    if (!value || (value->type != REG_SZ && value->type != REG_EXPAND_SZ)) return std::nullopt;
    std::string text(value->data.begin(), value->data.end());
    return text.substr(0, text.find('\0'));
  }
  return std::nullopt;
}

void Indented(std::ostream &out, const std::string &text, const std::string &indent) {
  std::istringstream lines(text);
  std::string line;
  while (std::getline(lines, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    out << (line.empty() ? "" : indent) << line << "\n";
  }
}

void Title(std::ostream &out, const std::string &title) {
  out << "\n  --- " << title << " ---\n";
}

void CollectFiles(std::map<std::string, FileStamp> *files) {
  const std::string &root = winsim::FileRoot();
  std::error_code error;
  if (root.empty() || !fs::is_directory(root, error)) return;
  for (auto it = fs::recursive_directory_iterator(root, error); !error && it != fs::recursive_directory_iterator();
       it.increment(error)) {
    if (!it->is_regular_file(error)) continue;
    std::string relative = fs::relative(it->path(), root, error).generic_string();
    std::string windowsPath = "C:\\" + relative;
    for (char &c : windowsPath) {
      if (c == '/') c = '\\';
    }
    std::ifstream in(it->path(), std::ios::binary);
    std::ostringstream content;
    content << in.rdbuf();
    std::string bytes = content.str();
    (*files)[windowsPath] = FileStamp{bytes.size(), std::hash<std::string>()(bytes)};
  }
}

void ReportFiles(const Snapshot &before, const Snapshot &after, std::ostream &out) {
  const std::string autoexec = Lower(AutoexecPath());
  std::string lines;
  auto size = [](const FileStamp &stamp) { return " (" + std::to_string(stamp.size) + " bytes)"; };
  for (const auto &entry : before.files) {
    if (Lower(entry.first) == autoexec) continue;  // has its own block
    auto now = after.files.find(entry.first);
    if (now == after.files.end()) {
      lines += "    deleted  " + entry.first + "\n";
    } else if (!(now->second == entry.second)) {
      lines += "    changed  " + entry.first + size(now->second) + "\n";
    }
  }
  for (const auto &entry : after.files) {
    if (Lower(entry.first) == autoexec) continue;
    if (before.files.find(entry.first) == before.files.end()) {
      lines += "    created  " + entry.first + size(entry.second) + "\n";
    }
  }
  if (lines.empty()) return;
  Title(out, "Files");
  out << lines;
}

void ReportEvents(const Snapshot &before, const Snapshot &after, std::ostream &out) {
  const std::vector<winsim::EventRecord> &events = winsim::Events();
  if (after.events <= before.events) return;
  Title(out, "Events");
  for (size_t i = before.events; i < after.events && i < events.size(); ++i) {
    const winsim::EventRecord &event = events[i];
    std::string log;
    MessageFileOf(event.source, &log);
    out << "    " << (log.empty() ? "" : log + " / ") << event.source << "  " << EventTypeName(event.type)
        << "  ID " << event.id << "  category " << event.category << "\n";
    Indented(out, EventMessageText(event), "        ");
    for (const std::string &text : event.strings) out << "        string: " << text << "\n";
    if (!event.data.empty()) {
      out << "        data (" << event.data.size() << " bytes): " << HexBytes(event.data);
      if (event.data.size() == sizeof(DWORD)) {
        DWORD code = static_cast<DWORD>(event.data[0]) | static_cast<DWORD>(event.data[1]) << 8 |
                     static_cast<DWORD>(event.data[2]) << 16 | static_cast<DWORD>(event.data[3]) << 24;
        out << "  = " << DescribeStatus(code);
      }
      out << "\n";
    }
  }
}

void ReportProcesses(const Snapshot &before, const Snapshot &after, std::ostream &out) {
  const std::vector<winsim::ProcessRecord> &processes = winsim::StartedProcesses();
  if (after.processes <= before.processes) return;
  Title(out, "Started programs");
  for (size_t i = before.processes; i < after.processes && i < processes.size(); ++i) {
    const winsim::ProcessRecord &process = processes[i];
    out << "    command line \"" << process.commandLine << "\"\n";
    out << "        program " << process.imagePath << ", creation flags " << Hex32(process.creationFlags)
        << ", STARTUPINFO flags " << Hex32(process.startupFlags) << " show " << process.showWindow << "\n";
  }
}

void ReportLoadPerf(const Snapshot &before, const Snapshot &after, std::ostream &out) {
  const std::vector<winsim::LoadPerfCall> &calls = winsim::LoadPerfCalls();
  if (after.loadPerfCalls <= before.loadPerfCalls) return;
  Title(out, "Counter loader (LOADPERF.DLL)");
  for (size_t i = before.loadPerfCalls; i < after.loadPerfCalls && i < calls.size(); ++i) {
    const winsim::LoadPerfCall &call = calls[i];
    out << "    " << call.function << "(\"" << call.commandLine << "\", quiet " << call.quiet << ") -> "
        << DescribeStatus(call.result) << "\n";
    out << "        current directory " << call.currentDirectory << "\n";
  }
}

void ReportMessages(const Snapshot &before, const Snapshot &after, std::ostream &out) {
  const std::vector<winsim::MessageTraceEntry> &trace = winsim::MessageTrace();
  if (after.messages <= before.messages) return;
  Title(out, "Quit exchange");
  for (size_t i = before.messages; i < after.messages && i < trace.size(); ++i) {
    const winsim::MessageTraceEntry &entry = trace[i];
    char time[32];
    std::snprintf(time, sizeof time, "%8llu ms", static_cast<unsigned long long>(entry.timeMs));
    std::string what = entry.messageName;
    if (entry.messageName == kQuitMessageName) what += " " + QuitCodeName(entry.wParam);
    out << "    " << time << "  " << entry.from << " -> " << entry.to << "  " << what << "  ("
        << (entry.sent ? "sent" : "posted") << (entry.note.empty() ? "" : "; " + entry.note) << ")\n";
  }
}

}  // namespace

std::string AutoexecPath() {
  return WindowsDirectory() + "\\system32\\autoexec.nt";
}

std::string QuitCodeName(WPARAM code) {
  switch (code) {
    case kQuitQuery:
      return "QuitQuery";
    case kQuitPresent:
      return "QuitPresent";
    case kQuitOrder:
      return "QuitOrder";
    case kQuitDone:
      return "QuitDone";
    case kQuitRefused:
      return "QuitRefused";
    default:
      return "code " + std::to_string(code);
  }
}

Snapshot TakeSnapshot() {
  Snapshot snapshot;
  snapshot.registry = ParseRegExport(winsim::ExportReg(kMachineRoot));
  snapshot.autoexec = winsim::GetFile(AutoexecPath());
  CollectFiles(&snapshot.files);
  snapshot.events = winsim::Events().size();
  snapshot.processes = winsim::StartedProcesses().size();
  snapshot.loadPerfCalls = winsim::LoadPerfCalls().size();
  snapshot.messages = winsim::MessageTrace().size();
  return snapshot;
}

std::string EventMessageText(const winsim::EventRecord &event) {
  std::string log;
  std::optional<std::string> messageFiles = MessageFileOf(event.source, &log);
  if (!messageFiles) {
    return "(no message text: the source \"" + event.source + "\" registers no message file)";
  }
  // The value may name several files, separated by semicolons.
  std::stringstream files(*messageFiles);
  std::string file;
  while (std::getline(files, file, ';')) {
    std::string path = ExpandSystemRoot(file);
    HMODULE module = LoadLibraryExA(path.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
    if (module == nullptr) continue;
    std::string text(kMessageTextSize, '\0');
    DWORD length = FormatMessageA(FORMAT_MESSAGE_FROM_HMODULE | FORMAT_MESSAGE_IGNORE_INSERTS, module, event.id,
                                  kUsEnglish, text.data(), kMessageTextSize, nullptr);
    FreeLibrary(module);
    if (length > 0) return text.substr(0, length);
  }
  return "(no message text for ID " + std::to_string(event.id) + " in \"" + *messageFiles + "\")";
}

void ReportChanges(const Snapshot &before, const Snapshot &after, std::ostream &out) {
  std::string registry = DiffReg(before.registry, after.registry);
  Title(out, "Registry changes");
  if (registry.empty()) {
    out << "    (none)\n";
  } else {
    Indented(out, registry, "    ");
  }
  ReportEvents(before, after, out);
  std::string autoexec = UnifiedDiff(before.autoexec, after.autoexec, AutoexecPath());
  if (!autoexec.empty()) {
    Title(out, "autoexec.nt");
    Indented(out, autoexec, "    ");
  }
  ReportFiles(before, after, out);
  ReportProcesses(before, after, out);
  ReportLoadPerf(before, after, out);
  ReportMessages(before, after, out);
}

}  // namespace devsim
