// What the machine may hold that no installation wrote: values of the wrong type or size, strings
// without terminators, names too long or not numbers, a huge or binary autoexec.nt, broken INF
// files. Whole requests run over them; each ends the way the rules say, or else without writing
// anything cut off or made up, and with nothing left open (the fixture checks that).
#include <set>

#include "reliability_machine.h"
#include "setuplib.h"

namespace {

using reliability::kAdapterA;
using reliability::kAdapterB;
using reliability::kAdapterC;
using reliability::kOrvikKey;

std::vector<BYTE> Bytes(const std::string &text) {
  return std::vector<BYTE>(text.begin(), text.end());
}

class BadInput : public reliability::ReliabilityTest {
 protected:
  void SetUp() override {
    ReliabilityTest::SetUp();
    reliability::BuildRealisticMachine({});
  }

  DWORD InstallC(DWORD *number = nullptr) {
    DWORD ignored = 0;
    winsim::ClearEvents();
    return reliability::PreInstall(kAdapterC, number ? number : &ignored);
  }

  static std::vector<DWORD> EventIds() {
    std::vector<DWORD> ids;
    for (const winsim::EventRecord &event : winsim::Events()) ids.push_back(event.id);
    return ids;
  }
};

// ---- The numbering ---------------------------------------------------------------------------

TEST_F(BadInput, ValuesOfTheWrongTypeOrSizeAreReadWholeOrNotAtAll) {
  // The outcome: C's number, the CAPI device name handed on (with its terminator), the maker's count.
  const std::string named2("2 CAPI202\0 3", 12);
  const struct {
    const char *name;
    std::string key;
    const char *value;
    DWORD type;
    std::string data;
    std::string outcome;
  } cases[] = {
      // A device name without its terminator but short is the name as it stands; one filling the
      // whole buffer cannot be had whole: the allocation fails and nothing is named.
      {"short unterminated name", kOrvikKey, "DeviceName", REG_BINARY, "CAPI202", named2},
      {"name filling the buffer", kOrvikKey, "DeviceName", REG_SZ, std::string(MAX_PATH, 'N'), "none none 2"},
      // Eight bytes read as no 32-bit count: the prune writes it afresh (A's 1, B's 2), C adds one.
      {"8-byte count", kOrvikKey, "NumberOfControllers", REG_QWORD, std::string("\x09\0\0\0\0\0\0\0", 8), named2},
      // An 8-byte Controller is no number: C is numbered afresh.
      {"8-byte Controller", machine::DeviceCapiKey(kAdapterC), "Controller", REG_QWORD, std::string(8, '\0'),
       named2},
      // A Manufacturer value far longer than the 260 bytes it is read into names nobody: the maker
      // gets a key of its own (3), where A's 1 and B's 2 get their keys back.
      {"Manufacturer of 4096 bytes", kOrvikKey, "Manufacturer", REG_SZ,
       std::string("ORVIK AG\0", 9) + std::string(4087, 'x'), std::string("2 CAPI203\0 3", 12)},
  };
  for (const auto &c : cases) {
    reliability::FreshMachine(drive_);
    reliability::BuildRealisticMachine({});
    winsim::SetValue(c.key, c.value, c.type, Bytes(c.data));
    DWORD number = 0;
    const DWORD status = InstallC(&number);
    EXPECT_EQ(status, c.outcome.rfind("none", 0) == 0 ? machine::kDontInstall : machine::kPostprocessingRequired)
        << c.name;
    const std::optional<DWORD> c3 = reliability::ReadNumbering(kAdapterC).number;
    const std::optional<winsim::RegValue> name = winsim::GetValue(machine::kDriverParameters, "CapiDeviceName");
    const std::optional<DWORD> count = winsim::GetDword(devsim::MakerManufacturerKey(), "NumberOfControllers");
    const std::string outcome = (c3 ? std::to_string(*c3) : "none") + " " +
                                (name ? std::string(name->data.begin(), name->data.end()) : "none") + " " +
                                (count ? std::to_string(*count) : "none");
    EXPECT_EQ(outcome, c.outcome) << c.name;
    EXPECT_EQ(reliability::NumberingProblems(reliability::Rules::NoNumberLost), "") << c.name;
    EXPECT_EQ(EventIds(), c3 ? std::vector<DWORD>{} : std::vector<DWORD>{EVENT_ADD_CAPI_DEVICE_FAILED}) << c.name;
  }
}

TEST_F(BadInput, KeyNamesThatAreNoNumbersOrAsLongAsTheyGetArePruned) {
  const std::string longest(255, 'k');  // the longest name a registry key can have
  const std::set<std::string> odd = {"abc", "7x", "-0", longest, std::string(254, '9') + "x"};
  for (const std::string &name : odd) winsim::CreateKey(kOrvikKey + "\\" + name);
  winsim::CreateKey(machine::kCapi20 + "\\" + longest);  // a manufacturer key nobody can name
  ASSERT_EQ(InstallC(), machine::kPostprocessingRequired);
  for (const std::string &name : winsim::SubkeyNames(kOrvikKey)) {
    EXPECT_EQ(odd.count(name), 0u) << name.substr(0, 20) << "... held by nobody, survived the prune";
  }
  EXPECT_TRUE(winsim::KeyExists(machine::kCapi20 + "\\" + longest)) << "other keys of CAPI20 are not the prune's";
  EXPECT_EQ(winsim::GetDword(kOrvikKey, "NumberOfControllers"), 3u);
}

TEST_F(BadInput, MovedControllerKeepsValuesTooLongForTheUsualBuffers) {
  // B's controller key carries a value whose name passes 260 characters and one whose data passes
  // 256 bytes; reclaiming B's number moves them all.
  const std::string longName(300, 'n');
  std::vector<BYTE> largeData(5000);
  for (size_t i = 0; i < largeData.size(); ++i) largeData[i] = static_cast<BYTE>(i * 7);
  winsim::SetValue(kOrvikKey + "\\2", longName, REG_BINARY, {1, 2, 3});
  winsim::SetValue(kOrvikKey + "\\2", "Calibration", REG_BINARY, largeData);
  winsim::SetValue(kOrvikKey + "\\2", "Unterminated", REG_SZ, Bytes("no end"));

  DWORD number = 0;
  ASSERT_EQ(InstallC(&number), machine::kPostprocessingRequired);
  ASSERT_EQ(number, 2u);
  EXPECT_EQ(reliability::ReadNumbering(kAdapterB).number, 3u);
  const std::string moved = kOrvikKey + "\\3";
  EXPECT_EQ(winsim::GetValue(moved, longName)->data, (std::vector<BYTE>{1, 2, 3}));
  EXPECT_EQ(winsim::GetValue(moved, "Calibration")->data, largeData);
  EXPECT_EQ(winsim::GetDword(moved, "Channels"), 2u);
  EXPECT_EQ(winsim::GetString(moved, "Line"), "S0 bus, point to multipoint");
  // Read through the platform's string functions, a string stored without its terminator gets
  // one: the text arrives whole, terminated.
  EXPECT_EQ(winsim::GetValue(moved, "Unterminated")->data, Bytes(std::string("no end") + '\0'));
}

// ---- autoexec.nt ---------------------------------------------------------------------------

TEST_F(BadInput, AutoexecOfSeveralMegabytesIsEditedWhole) {
  std::string head, tail;
  for (int i = 0; head.size() < 1500000; ++i)
    head += "set LINE" + std::to_string(i) + "=some value of the line\r\n";
  for (int i = 0; tail.size() < 1500000; ++i)
    tail += "lh %SystemRoot%\\system32\\tsr" + std::to_string(i) + "\r\n";
  winsim::PutFile(machine::kAutoexecPath,
                  head + "\r\n" + machine::kAutoexecBlock + tail + machine::kAutoexecBlock);

  EXPECT_EQ(EditAutoexecNt(AUTOEXEC_MODE_ADD), SETUP_STATUS_OK);
  EXPECT_EQ(winsim::GetFile(machine::kAutoexecPath), head + tail + "\r\n" + machine::kAutoexecBlock + "\r\n");
  EXPECT_EQ(EditAutoexecNt(AUTOEXEC_MODE_REMOVE), SETUP_STATUS_OK);
  EXPECT_EQ(winsim::GetFile(machine::kAutoexecPath), head + tail + "\r\n");
}

TEST_F(BadInput, AutoexecOfZeroBytesOnlyKeepsThemAll) {
  // The search ends at the first zero byte, so nothing is found; the bytes are written back and
  // every add puts one more block after them.
  const std::string zeros(100000, '\0');
  winsim::PutFile(machine::kAutoexecPath, zeros);
  const std::string block = "\r\n" + machine::kAutoexecBlock + "\r\n";
  EXPECT_EQ(EditAutoexecNt(AUTOEXEC_MODE_ADD), SETUP_STATUS_OK);
  EXPECT_EQ(winsim::GetFile(machine::kAutoexecPath), zeros + block);
  EXPECT_EQ(EditAutoexecNt(AUTOEXEC_MODE_REMOVE), SETUP_STATUS_OK);
  EXPECT_EQ(winsim::GetFile(machine::kAutoexecPath), zeros + block);
}

// ---- INF files -----------------------------------------------------------------------------

TEST_F(BadInput, InfFilesWithoutAReadableClassSurviveThePurge) {
  const std::map<std::string, std::string> broken = {
      {"oem20", ""},
      {"oem21", std::string("\x00\xff\xfe[Version]\x00", 13)},
      {"oem22", "[Strings]\r\nClass=ORVIK\r\n"},  // no Version section
      {"oem23", "[Version\r\nClass=ORVIK\r\n"},   // its header never closes
  };
  for (const auto &[name, text] : broken) {
    winsim::PutFile("C:\\WINDOWS\\inf\\" + name + ".inf", text);
    winsim::PutFile("C:\\WINDOWS\\inf\\" + name + ".pnf", "precompiled");
  }
  ASSERT_EQ(InstallC(), machine::kPostprocessingRequired);
  for (const auto &[name, text] : broken) {
    EXPECT_TRUE(winsim::HasFile("C:\\WINDOWS\\inf\\" + name + ".inf")) << name;
    EXPECT_TRUE(winsim::HasFile("C:\\WINDOWS\\inf\\" + name + ".pnf")) << name;
  }
  EXPECT_FALSE(winsim::HasFile("C:\\WINDOWS\\inf\\oem7.inf")) << "the machine's own stale maker INF goes";
}

TEST_F(BadInput, DriverChoiceReadsBrokenInfsAsTheInfReaderDoes) {
  // Beside an older and a newer whole driver: one whose install section is missing, one whose
  // date is empty, one whose date is 400 digits (one field), which all take no part; and one whose
  // quote never closes, so that field 1 runs to the end of the line, comma and version included:
  // "12/31/2009,1.0" still parses as three fields with the year 2009, and that driver wins.
  const std::string models =
      "[Version]\r\nSignature=\"$Windows NT$\"\r\nClass=ORVIK\r\nClassGuid=" + machine::kOrvikClassGuid +
      "\r\n\r\n[Manufacturer]\r\nORVIK=Models\r\n\r\n[Models]\r\n";
  auto inf = [&](const std::string &section, const std::string &body) {
    return models + "\"ORVIK adapter\"=" + section + ", " + machine::kAdapterHardwareId + "\r\n\r\n" + body;
  };
  winsim::PutFile("C:\\WINDOWS\\inf\\oem1.inf", machine::DriverInf("Older driver", "01/15/2000"));
  winsim::PutFile("C:\\WINDOWS\\inf\\oem2.inf", inf("Missing", "[Other.NT]\r\nDriverVer=01/01/2010\r\n"));
  winsim::PutFile("C:\\WINDOWS\\inf\\oem3.inf", inf("Quoted", "[Quoted.NT]\r\nDriverVer=\"12/31/2009,1.0\r\n"));
  winsim::PutFile("C:\\WINDOWS\\inf\\oem4.inf", inf("Empty", "[Empty.NT]\r\nDriverVer=\r\n"));
  winsim::PutFile("C:\\WINDOWS\\inf\\oem5.inf",
                  inf("Long", "[Long.NT]\r\nDriverVer=" + std::string(400, '1') + "\r\n"));
  winsim::PutFile("C:\\WINDOWS\\inf\\oem6.inf", machine::DriverInf("Newer driver", "06/26/2001"));
  winsim::RemoveFile("C:\\WINDOWS\\inf\\oem7.inf");

  machine::DeviceInSet device(kAdapterC);
  DWORD status = 0;
  SP_DRVINFO_DATA_A selected = device.ChooseDriver(&status);
  EXPECT_EQ(status, static_cast<DWORD>(NO_ERROR));
  ASSERT_NE(selected.Description[0], '\0');
  SP_DRVINFO_DETAIL_DATA_A detail = {};
  detail.cbSize = sizeof(detail);
  SetupDiGetDriverInfoDetailA(device.set, &device.data, &selected, &detail, sizeof(detail), nullptr);
  EXPECT_STREQ(detail.SectionName, "Quoted");
  EXPECT_STREQ(detail.InfFileName, "C:\\WINDOWS\\inf\\oem3.inf");
}

}  // namespace
