// How the simulator hosts co-installers as SetupAPI does: found through their registration, called
// in order for pre-processing, stopped by a failure, called back in reverse order with the
// request's status and their own PrivateData, and freed afterwards. Recording stand-in modules
// take the co-installer's place where the exact calls matter.
#include <gtest/gtest.h>

#include <cstdio>
#include <vector>

#include "devsim_fixture.h"
#include "registry_read.h"
#include "request_dispatch.h"

namespace {

constexpr const char *kClassList = "SYSTEM\\CurrentControlSet\\Control\\CoDeviceInstallers";
constexpr DWORD kDefaultActionStatus = 0x0000051F;  // any failure the default action may end with

// The calls in order: "1" for the first recorder's pre-processing, "0" for the default action,
// "2p(51F,own)" for the second one's post-processing with the InstallResult it saw and whether
// PrivateData was its own.
std::string calls;
int tags[4];
DWORD secondResult = ERROR_DI_POSTPROCESSING_REQUIRED;

DWORD Record(int who, PCOINSTALLER_CONTEXT_DATA context, DWORD preResult) {
  char text[40];
  if (!context->PostProcessing) {
    snprintf(text, sizeof text, " %d", who);
    calls += text;
    context->PrivateData = &tags[who];
    return preResult;
  }
  snprintf(text, sizeof text, " %dp(%lX,%s)", who, static_cast<unsigned long>(context->InstallResult),
           context->PrivateData == &tags[who] ? "own" : "other");
  calls += text;
  return who == 2 ? NO_ERROR : context->InstallResult;
}

DWORD CALLBACK First(DI_FUNCTION, HDEVINFO, PSP_DEVINFO_DATA, PCOINSTALLER_CONTEXT_DATA c) {
  return Record(1, c, ERROR_DI_POSTPROCESSING_REQUIRED);
}
DWORD CALLBACK Second(DI_FUNCTION, HDEVINFO, PSP_DEVINFO_DATA, PCOINSTALLER_CONTEXT_DATA c) {
  return Record(2, c, secondResult);
}
DWORD CALLBACK Third(DI_FUNCTION, HDEVINFO, PSP_DEVINFO_DATA, PCOINSTALLER_CONTEXT_DATA c) {
  return Record(3, c, NO_ERROR);
}

template <typename Proc>
FARPROC Export(Proc proc) {
  return reinterpret_cast<FARPROC>(reinterpret_cast<void (*)()>(proc));
}

class Hosting : public DevsimTest {
 protected:
  void SetUp() override {
    DevsimTest::SetUp();
    winsim::BuiltinModule recorder;
    recorder.fileName = "recorder.dll";
    recorder.exports = {{"First", Export(&First)}, {"Second", Export(&Second)}, {"Third", Export(&Third)}};
    winsim::RegisterBuiltinModule(recorder);
    calls.clear();
    secondResult = ERROR_DI_POSTPROCESSING_REQUIRED;
    winsim::NewDevice device;
    device.instanceId = kBoxId;
    device.classGuid = kMakerClass;
    device.hardwareIds = {"ORVIK\\EXT_LPT"};
    winsim::AddDevice(device);
  }

  void RegisterForClass(const std::vector<std::string> &entries) {
    winsim::SetValue(Key(kClassList), kMakerClass, REG_MULTI_SZ, devsim::JoinMultiString(entries));
  }

  // Sends one request for the device; the default action records that it ran.
  DWORD Send(DI_FUNCTION request, std::string *log = nullptr) {
    HDEVINFO set = SetupDiCreateDeviceInfoList(nullptr, nullptr);
    SP_DEVINFO_DATA device{};
    device.cbSize = sizeof device;
    EXPECT_TRUE(SetupDiOpenDeviceInfoA(set, kBoxId, nullptr, 0, &device));
    devsim::InstallLog installLog;
    DWORD status = devsim::CallClassInstaller(
        request, set, &device,
        [](devsim::InstallLog &) {
          calls += " 0";
          return kDefaultActionStatus;
        },
        installLog, devsim::DispatchOptions{});
    SetupDiDestroyDeviceInfoList(set);
    if (log) *log = installLog.Text();
    return status;
  }
};

TEST_F(Hosting, PostProcessingRunsInReverseOrderWithTheStatusSoFarAndOwnPrivateData) {
  RegisterForClass({"recorder.dll,First", "recorder.dll,Second"});
  EXPECT_EQ(Send(DIF_INSTALLDEVICE), static_cast<DWORD>(NO_ERROR));
  EXPECT_EQ(calls, " 1 2 0 2p(51F,own) 1p(0,own)") << "the second one's result became the status";

  // A failing pre-processing stops the request; the ones before it are called back.
  calls.clear();
  RegisterForClass({"recorder.dll,First", "recorder.dll,Second", "recorder.dll,Third"});
  secondResult = ERROR_DI_DONT_INSTALL;
  EXPECT_EQ(Send(DIF_INSTALLDEVICE), static_cast<DWORD>(ERROR_DI_DONT_INSTALL));
  EXPECT_EQ(calls, " 1 2 1p(E000022B,own)");
}

TEST_F(Hosting, ClassCoInstallersComeFirstAndOnlyTheyTakePartInTheDriverChoice) {
  RegisterForClass({"missing.dll,First", "recorder.dll,NoSuchEntry", "recorder.dll,First"});
  winsim::SetValue(winsim::DriverKeyPath(kBoxId), "CoInstallers32", REG_MULTI_SZ,
                   devsim::JoinMultiString({"recorder.dll,Third"}));
  Send(DIF_SELECTBESTCOMPATDRV);
  EXPECT_EQ(calls, " 1 0 1p(51F,own)");
  calls.clear();
  std::string log;
  Send(DIF_INSTALLDEVICE, &log);
  EXPECT_EQ(calls, " 1 3 0 1p(51F,own)");
  // Registrations that cannot be loaded are logged and passed over; every module is freed.
  EXPECT_NE(log.find("'missing.dll' cannot be loaded: 0x0000007E ERROR_MOD_NOT_FOUND"), std::string::npos) << log;
  EXPECT_NE(log.find("no entry point 'NoSuchEntry'"), std::string::npos);
  EXPECT_EQ(winsim::OpenHandles().modules, 0);
}

}  // namespace
