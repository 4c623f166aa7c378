// Event-source registration and error-event reporting on the simulated machine.
#include <string>
#include <vector>

#include "setuplib.h"
#include "sim_fixture.h"

namespace {

const std::string kSourceKey =
    "HKLM\\SYSTEM\\CurrentControlSet\\Services\\EventLog\\System\\ORVIK.ISDN.Coinstaller";
const char *kModuleMessageFile = "%SystemRoot%\\System32\\onlcoin.dll";

DWORD RegisterCoinstallerSource() {
  return InstallEventLogSource("System\\ORVIK.ISDN.Coinstaller", kModuleMessageFile, 7);
}

using InstallEventLogSourceTest = SimTest;

TEST_F(InstallEventLogSourceTest, WritesUnexpandedMessageFileAndTypes) {
  ASSERT_EQ(RegisterCoinstallerSource(), SETUP_STATUS_OK);
  const auto file = winsim::GetValue(kSourceKey, "EventMessageFile");
  ASSERT_TRUE(file.has_value()) << "EventMessageFile missing";
  EXPECT_EQ(file->type, static_cast<DWORD>(REG_SZ)) << "the message file is REG_SZ, not REG_EXPAND_SZ";
  const std::string expected = std::string(kModuleMessageFile) + '\0';  // NUL counted in the size
  EXPECT_EQ(std::string(file->data.begin(), file->data.end()), expected);
  EXPECT_EQ(winsim::GetDword(kSourceKey, "TypesSupported"), std::optional<DWORD>(7));
}

TEST_F(InstallEventLogSourceTest, ReRegistrationOverwritesBothValues) {
  ASSERT_TRUE(winsim::LoadReg("REGEDIT4\n\n[" + kSourceKey +
                              "]\n\"EventMessageFile\"=\"old.dll\"\n\"TypesSupported\"=dword:00000001\n"));
  EXPECT_EQ(RegisterCoinstallerSource(), SETUP_STATUS_OK);
  EXPECT_EQ(winsim::GetString(kSourceKey, "EventMessageFile"), std::optional<std::string>(kModuleMessageFile));
  EXPECT_EQ(winsim::GetDword(kSourceKey, "TypesSupported"), std::optional<DWORD>(7));
}

TEST_F(InstallEventLogSourceTest, FailuresMapToTheirCodes) {
  winsim::FailNthCall("RegCreateKeyExA", 1, ERROR_ACCESS_DENIED);
  EXPECT_EQ(RegisterCoinstallerSource(), SETUP_STATUS_KEY_FAILED);
  EXPECT_FALSE(winsim::KeyExists(kSourceKey));

  // A failed message file stops before the types; the created key stays.
  winsim::FailNthCall("RegSetValueExA", 1, ERROR_ACCESS_DENIED);
  EXPECT_EQ(RegisterCoinstallerSource(), SETUP_STATUS_VALUE_WRITE_FAILED);
  EXPECT_TRUE(winsim::KeyExists(kSourceKey));
  EXPECT_FALSE(winsim::GetValue(kSourceKey, "TypesSupported").has_value());

  winsim::FailNthCall("RegSetValueExA", 2, ERROR_ACCESS_DENIED);
  EXPECT_EQ(RegisterCoinstallerSource(), SETUP_STATUS_VALUE_WRITE_FAILED);
  EXPECT_EQ(winsim::GetString(kSourceKey, "EventMessageFile"), std::optional<std::string>(kModuleMessageFile));
  EXPECT_FALSE(winsim::GetValue(kSourceKey, "TypesSupported").has_value());
}

TEST_F(InstallEventLogSourceTest, TextLongerThanTheKeyBufferIsRefusedUntouched) {
  const std::string longest = "Application\\" + std::string(216 - 12, 's');  // key path of 259 characters
  EXPECT_EQ(InstallEventLogSource(longest.c_str(), kModuleMessageFile, 7), SETUP_STATUS_OK);
  EXPECT_TRUE(winsim::KeyExists("HKLM\\SYSTEM\\CurrentControlSet\\Services\\EventLog\\" + longest));
  winsim::DeleteTree("HKLM\\SYSTEM");

  const std::string tooLong = longest + "s";
  EXPECT_EQ(InstallEventLogSource(tooLong.c_str(), kModuleMessageFile, 7), SETUP_STATUS_KEY_FAILED);
  EXPECT_FALSE(winsim::KeyExists("HKLM\\SYSTEM")) << "nothing may be written for a refused text";
}

using ReportErrorEventTest = SimTest;

TEST_F(ReportErrorEventTest, DataEventCarriesTheCodeInMemoryOrder) {
  const DWORD lastError = 0xE000020B;
  EXPECT_EQ(ReportErrorEventWithData("ORVIK.ISDN.Coinstaller", EVENT_GET_CLASS_DEVS_FAILED, &lastError,
                                     sizeof(lastError)),
            SETUP_STATUS_OK);
  ASSERT_EQ(winsim::Events().size(), 1u);
  const winsim::EventRecord &event = winsim::Events()[0];
  EXPECT_EQ(event.source, "ORVIK.ISDN.Coinstaller");
  EXPECT_EQ(event.type, EVENTLOG_ERROR_TYPE);
  EXPECT_EQ(event.category, 0);
  EXPECT_EQ(event.id, 2000u);
  EXPECT_TRUE(event.strings.empty());
  EXPECT_EQ(event.data, (std::vector<BYTE>{0x0B, 0x02, 0x00, 0xE0}));
}

TEST_F(ReportErrorEventTest, EventsWithoutDataCarryNone) {
  for (DWORD id : {EVENT_ADD_CAPI_DEVICE_FAILED, EVENT_SET_CONTROLLER_FAILED, EVENT_SET_CAPI_DEVICE_NAME_FAILED}) {
    EXPECT_EQ(ReportErrorEvent("ORVIK.ISDN.Coinstaller", id), SETUP_STATUS_OK);
  }
  ASSERT_EQ(winsim::Events().size(), 3u);
  for (const winsim::EventRecord &event : winsim::Events()) {
    EXPECT_EQ(event.type, EVENTLOG_ERROR_TYPE) << "event " << event.id;
    EXPECT_TRUE(event.data.empty()) << "event " << event.id << " carries " << event.data.size() << " bytes";
  }
  EXPECT_EQ(winsim::Events()[2].id, 2005u);
}

TEST_F(ReportErrorEventTest, UnavailableLogOrFailedWriteIsSilent) {
  winsim::SetEventLogAvailable(false);
  EXPECT_EQ(ReportErrorEvent("ORVIK.ISDN.Coinstaller", EVENT_SET_CONTROLLER_FAILED), SETUP_STATUS_OK);
  EXPECT_TRUE(winsim::Events().empty());

  // A write that fails still lets the source go (the fixture checks no source is left open).
  winsim::SetEventLogAvailable(true);
  winsim::FailNthCall("ReportEventA", 1, ERROR_ACCESS_DENIED);
  EXPECT_EQ(ReportErrorEvent("ORVIK.ISDN.Coinstaller", EVENT_SET_CONTROLLER_FAILED), SETUP_STATUS_OK);
  EXPECT_TRUE(winsim::Events().empty());
}

}  // namespace
