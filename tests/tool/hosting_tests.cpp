// How the simulator hosts co-installers as SetupAPI does: found through their registration, called
// in order for pre-processing, stopped by a failure, called back in reverse order with the
// request's status and their own PrivateData, and freed afterwards. Recording stand-in modules
// take the co-installer's place where the exact calls matter.
#include <gtest/gtest.h>

#include <vector>

#include "devsim_fixture.h"
#include "registry_read.h"
#include "request_dispatch.h"

namespace {

constexpr const char *kClassList = "SYSTEM\\CurrentControlSet\\Control\\CoDeviceInstallers";
constexpr const char *kRecorderFile = "recorder.dll";
constexpr DWORD kDefaultActionStatus = 0x0000051F;  // any failure the default action may end with

struct Call {
  int who;
  DI_FUNCTION request;
  BOOL post;
  DWORD installResult;
  void *privateData;
};
std::vector<Call> calls;
int tags[3];
DWORD secondResult = ERROR_DI_POSTPROCESSING_REQUIRED;

DWORD Record(int who, DI_FUNCTION request, PCOINSTALLER_CONTEXT_DATA context, DWORD preResult) {
  calls.push_back(Call{who, request, context->PostProcessing, context->InstallResult, context->PrivateData});
  if (context->PostProcessing) return who == 2 ? NO_ERROR : context->InstallResult;
  context->PrivateData = &tags[who];
  return preResult;
}

DWORD CALLBACK First(DI_FUNCTION f, HDEVINFO, PSP_DEVINFO_DATA, PCOINSTALLER_CONTEXT_DATA c) {
  return Record(1, f, c, ERROR_DI_POSTPROCESSING_REQUIRED);
}
DWORD CALLBACK Second(DI_FUNCTION f, HDEVINFO, PSP_DEVINFO_DATA, PCOINSTALLER_CONTEXT_DATA c) {
  return Record(2, f, c, secondResult);
}
DWORD CALLBACK Third(DI_FUNCTION f, HDEVINFO, PSP_DEVINFO_DATA, PCOINSTALLER_CONTEXT_DATA c) {
  return Record(3, f, c, NO_ERROR);
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
    recorder.fileName = kRecorderFile;
    recorder.exports = {{"First", Export(&First)}, {"Second", Export(&Second)}, {"Third", Export(&Third)}};
    winsim::RegisterBuiltinModule(recorder);
    calls.clear();
    secondResult = ERROR_DI_POSTPROCESSING_REQUIRED;
    winsim::DeviceSpec device;
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
          calls.push_back(Call{0, 0, FALSE, 0, nullptr});
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
  DWORD status = Send(DIF_INSTALLDEVICE);

  ASSERT_EQ(calls.size(), 5u);
  EXPECT_EQ(calls[0].who, 1);
  EXPECT_EQ(calls[1].who, 2);
  EXPECT_EQ(calls[2].who, 0) << "the default action comes after every pre-processing call";
  EXPECT_EQ(calls[3].who, 2) << "post-processing runs in reverse order";
  EXPECT_TRUE(calls[3].post);
  EXPECT_EQ(calls[3].installResult, kDefaultActionStatus);
  EXPECT_EQ(calls[3].privateData, &tags[2]);
  EXPECT_EQ(calls[4].who, 1);
  EXPECT_EQ(calls[4].installResult, static_cast<DWORD>(NO_ERROR)) << "the second one's result became the status";
  EXPECT_EQ(calls[4].privateData, &tags[1]);
  EXPECT_EQ(status, static_cast<DWORD>(NO_ERROR));
}

TEST_F(Hosting, FailingPreProcessingStopsTheRequestButEarlierOnesAreCalledBack) {
  RegisterForClass({"recorder.dll,First", "recorder.dll,Second", "recorder.dll,Third"});
  secondResult = ERROR_DI_DONT_INSTALL;
  std::string log;
  DWORD status = Send(DIF_INSTALLDEVICE, &log);

  ASSERT_EQ(calls.size(), 3u) << log;
  EXPECT_EQ(calls[0].who, 1);
  EXPECT_EQ(calls[1].who, 2);
  EXPECT_EQ(calls[2].who, 1) << "neither the third co-installer nor the default action runs";
  EXPECT_TRUE(calls[2].post);
  EXPECT_EQ(calls[2].installResult, static_cast<DWORD>(ERROR_DI_DONT_INSTALL));
  EXPECT_EQ(status, static_cast<DWORD>(ERROR_DI_DONT_INSTALL));
}

TEST_F(Hosting, DeviceCoInstallersTakeNoPartInTheDriverChoice) {
  RegisterForClass({"recorder.dll,First"});
  winsim::SetValue(winsim::DriverKeyPath(kBoxId), "CoInstallers32", REG_MULTI_SZ,
                   devsim::JoinMultiString({"recorder.dll,Third"}));

  Send(DIF_SELECTBESTCOMPATDRV);
  ASSERT_EQ(calls.size(), 3u);
  EXPECT_EQ(calls[0].who, 1);
  EXPECT_EQ(calls[1].who, 0);
  EXPECT_EQ(calls[2].who, 1);

  calls.clear();
  Send(DIF_INSTALLDEVICE);
  ASSERT_GE(calls.size(), 3u);
  EXPECT_EQ(calls[0].who, 1) << "class co-installers come first";
  EXPECT_EQ(calls[1].who, 3) << "then the device's own";
  EXPECT_EQ(calls[2].who, 0);
}

TEST_F(Hosting, UnloadableRegistrationsAreSkippedAndTheRequestGoesOn) {
  RegisterForClass({"missing.dll,First", "recorder.dll,NoSuchEntry", "recorder.dll,Third"});
  std::string log;
  Send(DIF_INSTALLDEVICE, &log);
  ASSERT_EQ(calls.size(), 2u) << log;
  EXPECT_EQ(calls[0].who, 3);
  EXPECT_EQ(calls[1].who, 0);
  EXPECT_NE(log.find("'missing.dll' cannot be loaded: 0x0000007E ERROR_MOD_NOT_FOUND"), std::string::npos) << log;
  EXPECT_NE(log.find("no entry point 'NoSuchEntry'"), std::string::npos);
  EXPECT_EQ(winsim::OpenHandles().modules, 0) << "every module is freed after the request";
}

TEST_F(Hosting, ModuleRegisteredOnlyForTheDeviceStillInstallsButDoesNotChooseTheDriver) {
  // A package that registers the co-installer for its devices only (CoInstallers32) on a machine
  // without the class registration.
  winsim::DeleteTree(Key(kClassList));
  std::string inf = winsim::GetFile(kPackage).value();
  const std::string classLine =
      "HKLM,System\\CurrentControlSet\\Control\\CoDeviceInstallers,%ORVIK.ClassGuid%,0x00010008,"
      "\"onlcoin.dll,DeviceCoInstallerFunc\"";
  size_t at = inf.find(classLine);
  ASSERT_NE(at, std::string::npos);
  inf.replace(at, classLine.size(), "HKR,,CoInstallers32,0x00010000,\"onlcoin.dll,DeviceCoInstallerFunc\"");
  winsim::PutFile(kPackage, inf);

  std::string report = Run(std::string(kCardLine) + "choose card\ninstall card\n");
  size_t choice = report.find("{DIF_SELECTBESTCOMPATDRV}");
  ASSERT_NE(choice, std::string::npos);
  EXPECT_NE(report.find("[0] 0x00000000 -> 0x00000000", choice), std::string::npos)
      << "without a class co-installer nobody re-ranks:\n"
      << report;
  EXPECT_NE(report.find("CoInstaller 1 (device, onlcoin.dll,DeviceCoInstallerFunc): Enter",
                        report.find("{DIF_INSTALLDEVICE}")),
            std::string::npos);
  EXPECT_EQ(winsim::GetDword(CapiKey(kCardId), "Controller"), 0u);
  EXPECT_EQ(winsim::GetString(Key("SOFTWARE\\CAPI20\\1"), "Manufacturer"), "ORVIK AG");
}

}  // namespace
