// Event-source registration and error-event reporting on the simulated machine.
#include <string>
#include <vector>

#include "setuplib.h"
#include "sim_fixture.h"

namespace {

const std::string kLogKey = "HKLM\\SYSTEM\\CurrentControlSet\\Services\\EventLog\\";
const std::string kSourceKey = kLogKey + "System\\ORVIK.ISDN.Coinstaller";
const char *kModuleMessageFile = "%SystemRoot%\\System32\\onlcoin.dll";

DWORD RegisterCoinstallerSource() {
  return InstallEventLogSource("System\\ORVIK.ISDN.Coinstaller", kModuleMessageFile, 7);
}

using EventLogTest = SimTest;

TEST_F(EventLogTest, RegistrationOverwritesBothValuesWithTheMessageFileUnexpanded) {
  ASSERT_TRUE(winsim::LoadReg("REGEDIT4\n\n[" + kSourceKey +
                              "]\n\"EventMessageFile\"=\"old.dll\"\n\"TypesSupported\"=dword:00000001\n"));
  ASSERT_EQ(RegisterCoinstallerSource(), SETUP_STATUS_OK);
  const auto file = winsim::GetValue(kSourceKey, "EventMessageFile");
  ASSERT_TRUE(file.has_value());
  EXPECT_EQ(file->type, static_cast<DWORD>(REG_SZ)) << "REG_SZ, not REG_EXPAND_SZ";
  EXPECT_EQ(std::string(file->data.begin(), file->data.end()), std::string(kModuleMessageFile) + '\0');
  EXPECT_EQ(winsim::GetDword(kSourceKey, "TypesSupported"), std::optional<DWORD>(7));

  // The key path fills the 259 characters of a path at most; a longer text touches nothing.
  const std::string longest = "Application\\" + std::string(216 - 12, 's');
  EXPECT_EQ(InstallEventLogSource(longest.c_str(), kModuleMessageFile, 7), SETUP_STATUS_OK);
  EXPECT_TRUE(winsim::KeyExists(kLogKey + longest));
  winsim::DeleteTree("HKLM\\SYSTEM");
  EXPECT_EQ(InstallEventLogSource((longest + "s").c_str(), kModuleMessageFile, 7), SETUP_STATUS_KEY_FAILED);
  EXPECT_FALSE(winsim::KeyExists("HKLM\\SYSTEM"));
}

TEST_F(EventLogTest, RegistrationFailuresKeepWhatWasWritten) {
  struct Failure {
    const char *function;
    unsigned n;
    DWORD status;
    bool keyStays, messageFileWritten;
  };
  const Failure failures[] = {
      {"RegCreateKeyExA", 1, SETUP_STATUS_KEY_FAILED, false, false},
      {"RegSetValueExA", 1, SETUP_STATUS_VALUE_WRITE_FAILED, true, false},  // the types are not tried
      {"RegSetValueExA", 2, SETUP_STATUS_VALUE_WRITE_FAILED, true, true},
  };
  for (const Failure &failure : failures) {
    SCOPED_TRACE(std::string(failure.function) + " #" + std::to_string(failure.n));
    winsim::DeleteTree("HKLM\\SYSTEM");
    winsim::FailNthCall(failure.function, failure.n, ERROR_ACCESS_DENIED);
    EXPECT_EQ(RegisterCoinstallerSource(), failure.status);
    EXPECT_EQ(winsim::KeyExists(kSourceKey), failure.keyStays);
    EXPECT_EQ(winsim::GetValue(kSourceKey, "EventMessageFile").has_value(), failure.messageFileWritten);
    EXPECT_FALSE(winsim::GetValue(kSourceKey, "TypesSupported").has_value());
  }
}

TEST_F(EventLogTest, ErrorEventsCarryTheirDataOrNoneAndReportingNeverFails) {
  // The identifiers and data of every event are checked where the installation reports them.
  const DWORD lastError = 0xE000020B;
  EXPECT_EQ(ReportErrorEventWithData("ORVIK.ISDN.Coinstaller", EVENT_GET_CLASS_DEVS_FAILED, &lastError,
                                     sizeof(lastError)),
            SETUP_STATUS_OK);
  EXPECT_EQ(ReportErrorEvent("ORVIK.ISDN.Coinstaller", EVENT_SET_CAPI_DEVICE_NAME_FAILED), SETUP_STATUS_OK);
  ASSERT_EQ(winsim::Events().size(), 2u);
  for (const winsim::EventRecord &event : winsim::Events()) {
    EXPECT_TRUE(event.source == "ORVIK.ISDN.Coinstaller" && event.type == EVENTLOG_ERROR_TYPE &&
                event.category == 0);
    EXPECT_TRUE(event.strings.empty());
  }
  EXPECT_EQ(winsim::Events()[0].data, (std::vector<BYTE>{0x0B, 0x02, 0x00, 0xE0})) << "in memory order";
  EXPECT_TRUE(winsim::Events()[1].data.empty());

  // A log that cannot be opened and a write that fails are silent; the source is let go either
  // way (the fixture checks that nothing is left open).
  winsim::ClearEvents();
  winsim::SetEventLogAvailable(false);
  EXPECT_EQ(ReportErrorEvent("ORVIK.ISDN.Coinstaller", EVENT_SET_CONTROLLER_FAILED), SETUP_STATUS_OK);
  winsim::SetEventLogAvailable(true);
  winsim::FailNthCall("ReportEventA", 1, ERROR_ACCESS_DENIED);
  EXPECT_EQ(ReportErrorEvent("ORVIK.ISDN.Coinstaller", EVENT_SET_CONTROLLER_FAILED), SETUP_STATUS_OK);
  EXPECT_TRUE(winsim::Events().empty());
}

}  // namespace
