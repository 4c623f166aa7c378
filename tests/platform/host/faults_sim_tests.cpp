// What only the simulated platform offers the product's tests and not Windows: injected failures
// (by the n-th call of a function, by what a call is about, by the n-th platform call), the
// accounting of open handles with the call counts and trace, and the verifier that stops handle
// misuse and endless waits.
#include "extras_test.h"

#include <functional>
#include <string>
#include <vector>

namespace {

using FaultsSim = ExtrasTest;

// Opens HKLM\SOFTWARE\Sim and closes it again; the result code.
LONG OpenSim() {
  HKEY key = nullptr;
  const LONG result = RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Sim", 0, KEY_READ, &key);
  if (key) RegCloseKey(key);
  return result;
}

// One handle of each kind the simulation accounts, as the product gets them.
HKEY NewKey() {
  HKEY key = nullptr;
  RegCreateKeyExA(HKEY_CURRENT_USER, "software\\Sim", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr);
  return key;
}
HANDLE NewFind() {
  WIN32_FIND_DATAA found;
  return FindFirstFileA("C:\\*", &found);
}
HINF NewInf() {
  winsim::PutFile("C:\\a.inf", "[Version]\r\nSignature=$Chicago$\r\n");
  return SetupOpenInfFileA("C:\\a.inf", nullptr, INF_STYLE_WIN4, nullptr);
}
PROCESS_INFORMATION NewProcess() {
  winsim::PutFile("C:\\Tools\\onlmon.exe", "MZ");
  char line[] = "C:\\Tools\\onlmon.exe";
  STARTUPINFOA startup = {};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION process = {};
  CreateProcessA(nullptr, line, nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &process);
  return process;
}
HWND NewWindow() {
  WNDCLASSA wc = {};
  wc.lpfnWndProc = DefWindowProcA;
  wc.lpszClassName = "Counted";
  RegisterClassA(&wc);
  return CreateWindowExA(0, "Counted", "", 0, 0, 0, 0, 0, nullptr, nullptr, nullptr, nullptr);
}

TEST_F(FaultsSim, InjectedFailuresHitTheChosenCallsOnlyAndReportAsTheFunctionDoes) {
  winsim::CreateKey("HKLM\\SOFTWARE\\Sim");
  winsim::PutFile("C:\\WINDOWS\\inf\\one.inf", "[Version]\r\nSignature=$Chicago$\r\n");
  HKEY sim = nullptr;
  ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Sim", 0, KEY_ALL_ACCESS, &sim), ERROR_SUCCESS);
  DWORD one = 1;
  winsim::FailNthCall("RegOpenKeyExA", 2, ERROR_WRITE_FAULT);
  SetLastError(7);
  ExpectRows({
      {"the first call", OpenSim(), ERROR_SUCCESS},
      {"the second: the chosen code returned", OpenSim(), ERROR_WRITE_FAULT},
      {"the third", OpenSim(), ERROR_SUCCESS},
      {"the last error is left alone", GetLastError(), 7},
  });
  EXPECT_EQ(winsim::FailedCall()->function + " " + winsim::FailedCall()->subject,
            "RegOpenKeyExA HKEY_LOCAL_MACHINE\\SOFTWARE\\Sim");
  winsim::FailCallsMatching("RegSetValueExA", "software\\sim\\Name", ERROR_DISK_FULL);
  winsim::FailCallsMatching("CreateFileA", "AUTOEXEC.NT", ERROR_SHARING_VIOLATION);
  winsim::FailCallsMatching("SetupOpenInfFileA", "one.inf", ERROR_ACCESS_DENIED);
  winsim::FailCallsMatching("PostMessageA", "ORVIK.Quit", ERROR_INVALID_PARAMETER);
  auto set = [&](const char *name) {
    return RegSetValueExA(sim, name, 0, REG_DWORD, reinterpret_cast<BYTE *>(&one), sizeof one);
  };
  auto subject = [] { return winsim::FailedCall()->subject; };
  ExpectRows({
      {"a value by its key's path and name, in any letter case", set("Name"), ERROR_DISK_FULL},
      {"another value", set("Other"), ERROR_SUCCESS},
      {"a file by its full path: the last error set",
       ErrorOf(CreateFileA("C:\\windows\\system32\\autoexec.nt", GENERIC_READ, 0, nullptr, OPEN_ALWAYS, 0,
                           nullptr) != INVALID_HANDLE_VALUE),
       ERROR_SHARING_VIOLATION},
      {"... named so", subject() == "C:\\windows\\system32\\autoexec.nt", 1},
      {"an INF by its bare name",
       ErrorOf(SetupOpenInfFileA("one.inf", nullptr, INF_STYLE_WIN4, nullptr) != INVALID_HANDLE_VALUE),
       ERROR_ACCESS_DENIED},
      {"... named by its full path", subject() == "C:\\WINDOWS\\inf\\one.inf", 1},
      {"a registered message by its name",
       ErrorOf(PostMessageA(HWND_BROADCAST, RegisterWindowMessageA("ORVIK.Quit"), 2, 0)), ERROR_INVALID_PARAMETER},
      {"another message", ErrorOf(PostMessageA(nullptr, WM_USER, 0, 0)), 0},
  });
  EXPECT_FALSE(winsim::GetValue("HKLM\\SOFTWARE\\Sim", "Name")) << "a failing call does nothing else";
  winsim::ClearFaults();
  EXPECT_EQ(set("Name"), ERROR_SUCCESS) << "cleared faults fire no more";
  MSG msg;
  PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE);

  // The n-th platform call fails with its function's most plausible error.
  SECURITY_DESCRIPTOR sd;
  DWORD size = 0;
  HKEY created = nullptr;
  const std::vector<std::pair<std::function<long long()>, long long>> plausible = {
      {[&] { return RegQueryValueExA(sim, "Other", nullptr, nullptr, nullptr, &size); }, ERROR_FILE_NOT_FOUND},
      {[&] { return RegCreateKeyExA(sim, "New", 0, nullptr, 0, KEY_READ, nullptr, &created, nullptr); },
       ERROR_ACCESS_DENIED},
      {[] { return RegCloseKey(HKEY_LOCAL_MACHINE); }, ERROR_INVALID_HANDLE},
      {[] { return ErrorOf(LocalAlloc(LPTR, 8) != nullptr); }, ERROR_NOT_ENOUGH_MEMORY},
      {[&] { return ErrorOf(InitializeSecurityDescriptor(&sd, SECURITY_DESCRIPTOR_REVISION)); },
       ERROR_INVALID_PARAMETER},
  };
  for (const auto &call : plausible) {
    winsim::FailNthPlatformCall(1);
    EXPECT_EQ(call.first(), call.second) << winsim::FailedCall()->function;
  }
  EXPECT_FALSE(winsim::KeyExists("HKLM\\SOFTWARE\\Sim\\New"));
  RegCloseKey(sim);
}

TEST_F(FaultsSim, EveryKindOfHandleIsCountedAndDescribedUntilItIsClosed) {
  winsim::AddQuitListener({});  // a window of another process is none of the module's
  HKEY root = nullptr;
  RegOpenKeyExA(HKEY_LOCAL_MACHINE, "", 0, KEY_READ, &root);  // nor is a root a new handle
  HKEY key = NewKey();
  HANDLE file = CreateFileA("C:\\f.txt", GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr), search = NewFind();
  HANDLE source = RegisterEventSourceA(nullptr, "Src");
  HDEVINFO set = SetupDiCreateDeviceInfoList(nullptr, nullptr);
  HINF inf = NewInf();
  PROCESS_INFORMATION process = NewProcess();
  HMODULE module = LoadLibraryA("loadperf.dll");
  void *local = LocalAlloc(LPTR, 10), *global = GlobalAlloc(GPTR, 20);
  HWND window = NewWindow();
  SetTimer(window, 9, 100, nullptr);
  const winsim::HandleCounts n = winsim::OpenHandles();
  EXPECT_EQ(
      std::vector<long>({n.regKeys, n.files, n.findHandles, n.eventSources, n.devInfoSets, n.infs, n.processes,
                         n.threads, n.modules, n.localAllocs, n.globalAllocs, n.windows, n.classes, n.timers}),
      std::vector<long>(14, 1));
  const std::string described = winsim::DescribeOpenHandles();
  for (const char *part :
       {"registry key HKEY_CURRENT_USER\\software\\Sim\n",  // named as created
        "file C:\\f.txt\n", "find handle C:\\*\n", "event source Src\n", "device set", "INF file C:\\a.inf\n",
        "process C:\\Tools\\onlmon.exe (id", "thread C:\\Tools\\onlmon.exe",
        "module loadperf.dll (1 references)\n", "LocalAlloc block of 10 bytes\n",
        "GlobalAlloc block of 20 bytes\n", "window 0x", "window class \"Counted\"", "timer 9 of window"})
    EXPECT_NE(described.find(part), std::string::npos) << part << " in:\n" << described;
  DestroyWindow(window);
  UnregisterClassA("Counted", nullptr);
  GlobalFree(global);
  LocalFree(local);
  FreeLibrary(module);
  CloseHandle(process.hThread);
  CloseHandle(process.hProcess);
  SetupCloseInfFile(inf);
  SetupDiDestroyDeviceInfoList(set);
  DeregisterEventSource(source);
  FindClose(search);
  CloseHandle(file);
  RegCloseKey(key);
}

TEST_F(FaultsSim, CallsAreCountedAndTracedAsTheProductMadeThem) {
  winsim::AddSetupClass("{4D36E978-E325-11CE-BFC1-08002BE10318}", "Ports");
  winsim::NewDevice port;
  port.instanceId = "ROOT\\PORTS\\0000";
  port.classGuid = "{4D36E978-E325-11CE-BFC1-08002BE10318}";
  winsim::AddDevice(port);
  GUID ports{};
  winsim::ParseGuid(port.classGuid, &ports);
  std::vector<std::string> trace;
  winsim::ResetCallCounts();
  winsim::SetCallTrace([&](const std::string &line) { trace.push_back(line); });
  HKEY missing = nullptr;
  EXPECT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Missing", 0, KEY_READ, &missing), ERROR_FILE_NOT_FOUND);
  HDEVINFO list = SetupDiGetClassDevsA(&ports, nullptr, nullptr, 0);
  SP_DEVINFO_DATA device = {};
  device.cbSize = sizeof device;
  ASSERT_TRUE(SetupDiEnumDeviceInfo(list, 0, &device));
  RegCloseKey(SetupDiOpenDevRegKey(list, &device, DICS_FLAG_GLOBAL, 0, DIREG_DRV, KEY_READ));
  SetupDiDestroyDeviceInfoList(list);
  winsim::SetCallTrace(nullptr);
  ASSERT_EQ(trace.size(), 6u) << "SetupAPI's own registry work is no call of the product";
  EXPECT_EQ(trace[0], "RegOpenKeyExA HKEY_LOCAL_MACHINE\\SOFTWARE\\Missing -> 2");
  EXPECT_EQ(winsim::CallCounts()["RegOpenKeyExA"], 1u);
  EXPECT_EQ(winsim::TotalCalls(), 6u);
}

// Misuse that Windows lets through only to fail later, or an option it does not document: the call
// fails as on Windows, and the verifier stops it, naming the call and the handle or option. The
// conformance tests show the same for registry keys, files, windows, window classes and timers.
TEST_F(FaultsSim, TheVerifierStopsHandleMisuseAndEndlessWaitsNamingTheCallAndTheHandle) {
  auto closed = [](auto handle, auto close) {
    close(handle);
    return handle;
  };
  auto ended = [] {
    PROCESS_INFORMATION process = NewProcess();
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    return process;
  };
  WIN32_FIND_DATAA found;
  INFCONTEXT line;
  MSG msg;
  struct Misuse {
    std::function<bool()> misuse;  // true when the call failed as Windows reports it
    const char *function, *named;  // the call stopped, and how the stop names what was wrong
  };
  const std::vector<Misuse> rows = {
      {[&] { return RegCloseKey(closed(NewKey(), RegCloseKey)) == ERROR_INVALID_HANDLE; }, "RegCloseKey",
       "registry key handle 0x10000 (HKEY_CURRENT_USER\\software\\Sim) was closed before"},
      {[] { return !WriteFile(INVALID_HANDLE_VALUE, "x", 1, nullptr, nullptr); }, "WriteFile",
       "INVALID_HANDLE_VALUE given as file handle"},
      {[&] { return !FindNextFileA(closed(NewFind(), FindClose), &found); }, "FindNextFileA",
       "(C:\\*) was closed before"},
      {[&] {
         HANDLE search = NewFind();
         return !CloseHandle(search) && FindClose(search);
       },
       "CloseHandle", "is a find handle (C:\\*), not a file, process or thread handle"},
      {[&] {
         return !ReportEventA(closed(RegisterEventSourceA(nullptr, "Src"), DeregisterEventSource), 1, 0, 1,
                              nullptr, 0, 0, nullptr, nullptr);
       },
       "ReportEventA", "(Src) was closed before"},
      {[] { return !SetupDiGetDeviceInstanceIdA(nullptr, nullptr, nullptr, 0, nullptr); },
       "SetupDiGetDeviceInstanceIdA", "NULL given as device set handle"},
      {[&] { return !SetupFindFirstLineA(closed(NewInf(), SetupCloseInfFile), "Version", nullptr, &line); },
       "SetupFindFirstLineA", "(C:\\a.inf) was closed before"},
      {[&] { return !CloseHandle(ended().hProcess); }, "CloseHandle", "process handle 0x"},
      {[&] { return !CloseHandle(ended().hThread); }, "CloseHandle", "thread handle 0x"},
      {[&] {
         return !GetProcAddress(closed(LoadLibraryA("loadperf.dll"), FreeLibrary), "LoadPerfCounterTextStringsA");
       },
       "GetProcAddress", "(loadperf.dll) is not loaded"},
      {[&] { return LocalFree(closed(LocalAlloc(LPTR, 4), LocalFree)) != nullptr; }, "LocalFree",
       "is not allocated"},
      {[&] { return GlobalFree(closed(GlobalAlloc(GPTR, 4), GlobalFree)) != nullptr; }, "GlobalFree",
       "is not allocated"},
      {[&] { return GetMessageA(&msg, nullptr, 0, 0) == -1; }, "GetMessageA",
       "would wait forever at 0 ms: no message, timer or work of another process is pending"},
      {[] {
         HKEY key = nullptr;
         return RegOpenKeyExA(HKEY_LOCAL_MACHINE, "Software", REG_OPTION_VOLATILE, KEY_READ, &key) ==
                ERROR_INVALID_PARAMETER;
       },
       "RegOpenKeyExA", "options 1 are neither 0 nor REG_OPTION_OPEN_LINK"},
      {[&] {
         HKEY key = NewKey();
         winsim::Restart();
         return RegCloseKey(key) == ERROR_INVALID_HANDLE;
       },
       "RegCloseKey", "belongs to the machine before its restart"},
  };
  for (const Misuse &row : rows) {
    EXPECT_TRUE(row.misuse()) << row.named;
    const std::vector<winsim::VerifierStop> stops = winsim::TakeVerifierStops();
    ASSERT_EQ(stops.size(), 1u) << row.named << ":\n" << winsim::DescribeVerifierStops(stops);
    EXPECT_EQ(stops[0].function, row.function) << stops[0].what;
    EXPECT_NE(stops[0].what.find(row.named), std::string::npos) << stops[0].what;
  }
}

}  // namespace
