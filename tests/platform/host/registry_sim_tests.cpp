// What the simulated registry offers beyond Windows: refused access until the DACL is replaced,
// injected failures, handle accounting and tracing, the set-up helpers, and .reg text in and out.
#include <gtest/gtest.h>
#include <winsim.h>

#include <functional>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

constexpr char kKey[] = "HKEY_LOCAL_MACHINE\\SOFTWARE\\Sim";

class RegistrySim : public ::testing::Test {
 protected:
  void SetUp() override { winsim::Reset(); }
  void TearDown() override {
    EXPECT_EQ(winsim::OpenHandles().regKeys, 0) << winsim::DescribeOpenHandles();
    winsim::Reset();
  }
};

LONG OpenLocal(const char *path, REGSAM access, HKEY *key) {
  return RegOpenKeyExA(HKEY_LOCAL_MACHINE, path, 0, access, key);
}

LONG ApplyNullDacl(HKEY key) {
  SECURITY_DESCRIPTOR sd;
  EXPECT_TRUE(InitializeSecurityDescriptor(&sd, SECURITY_DESCRIPTOR_REVISION));
  EXPECT_TRUE(SetSecurityDescriptorDacl(&sd, TRUE, nullptr, FALSE));
  return RegSetKeySecurity(key, DACL_SECURITY_INFORMATION, &sd);
}

TEST_F(RegistrySim, DeniedAccessHoldsUntilANullDaclIsApplied) {
  winsim::SetString(std::string(kKey) + "\\Locked\\Child", "v", "x");
  winsim::DenyAccess(std::string(kKey) + "\\Locked", KEY_ALL_ACCESS);
  HKEY key = reinterpret_cast<HKEY>(static_cast<ULONG_PTR>(1));
  EXPECT_EQ(OpenLocal("SOFTWARE\\Sim\\Locked", KEY_QUERY_VALUE, &key), ERROR_ACCESS_DENIED);
  EXPECT_EQ(key, nullptr);
  EXPECT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Sim\\Locked\\New", 0, nullptr, 0, KEY_READ, nullptr,
                            &key, nullptr),
            ERROR_ACCESS_DENIED)
      << "a parent refusing KEY_CREATE_SUB_KEY gets no new subkey";
  EXPECT_EQ(RegDeleteKeyA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Sim\\Locked\\Child"), ERROR_SUCCESS)
      << "the child is free";
  EXPECT_EQ(RegDeleteKeyA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Sim\\Locked"), ERROR_ACCESS_DENIED);

  ACL acl{};
  SECURITY_DESCRIPTOR withAcl;
  ASSERT_TRUE(InitializeSecurityDescriptor(&withAcl, SECURITY_DESCRIPTOR_REVISION));
  ASSERT_TRUE(SetSecurityDescriptorDacl(&withAcl, TRUE, &acl, FALSE));
  ASSERT_EQ(OpenLocal("SOFTWARE\\Sim\\Locked", WRITE_DAC, &key), ERROR_SUCCESS) << "WRITE_DAC alone always opens";
  EXPECT_EQ(RegSetKeySecurity(key, DACL_SECURITY_INFORMATION, &withAcl), ERROR_SUCCESS);
  HKEY probe = nullptr;
  EXPECT_EQ(OpenLocal("SOFTWARE\\Sim\\Locked", KEY_READ, &probe), ERROR_ACCESS_DENIED)
      << "a real ACL changes nothing";
  EXPECT_EQ(ApplyNullDacl(key), ERROR_SUCCESS);
  EXPECT_EQ(RegCloseKey(key), ERROR_SUCCESS);
  ASSERT_EQ(OpenLocal("SOFTWARE\\Sim\\Locked", KEY_READ, &probe), ERROR_SUCCESS);
  EXPECT_EQ(RegCloseKey(probe), ERROR_SUCCESS);
  EXPECT_EQ(RegDeleteKeyA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Sim\\Locked"), ERROR_SUCCESS);
  EXPECT_THROW(winsim::DenyAccess(std::string(kKey) + "\\Locked", DELETE), std::invalid_argument);
}

TEST_F(RegistrySim, MaximumAllowedGrantsWhatIsNotDenied) {
  winsim::CreateKey(kKey);
  winsim::DenyAccess(kKey, KEY_SET_VALUE);
  HKEY key = nullptr;
  ASSERT_EQ(OpenLocal("SOFTWARE\\Sim", MAXIMUM_ALLOWED, &key), ERROR_SUCCESS);
  DWORD one = 1, size = 0;
  EXPECT_EQ(RegSetValueExA(key, "v", 0, REG_DWORD, reinterpret_cast<BYTE *>(&one), 4), ERROR_ACCESS_DENIED);
  EXPECT_EQ(RegQueryValueExA(key, "v", nullptr, nullptr, nullptr, &size), ERROR_FILE_NOT_FOUND);
  RegCloseKey(key);
}

TEST_F(RegistrySim, InjectedFailuresHitTheChosenCallOnly) {
  winsim::CreateKey(kKey);
  HKEY first = nullptr, second = reinterpret_cast<HKEY>(static_cast<ULONG_PTR>(1)), third = nullptr;
  winsim::FailNthCall("RegOpenKeyExA", 2, ERROR_WRITE_FAULT);
  SetLastError(7);
  EXPECT_EQ(OpenLocal("SOFTWARE\\Sim", KEY_ALL_ACCESS, &first), ERROR_SUCCESS);
  EXPECT_EQ(OpenLocal("SOFTWARE\\Sim", KEY_READ, &second), ERROR_WRITE_FAULT);
  EXPECT_EQ(second, nullptr);
  EXPECT_EQ(GetLastError(), 7u) << "an injected registry failure is returned, not set";
  EXPECT_EQ(OpenLocal("SOFTWARE\\Sim", KEY_READ, &third), ERROR_SUCCESS);
  ASSERT_TRUE(winsim::FailedCall());
  EXPECT_EQ(winsim::FailedCall()->function, "RegOpenKeyExA");
  EXPECT_EQ(winsim::FailedCall()->subject, "HKEY_LOCAL_MACHINE\\SOFTWARE\\Sim");

  winsim::FailCallsMatching("RegSetValueExA", "software\\sim\\Name", ERROR_DISK_FULL);
  DWORD one = 1;
  EXPECT_EQ(RegSetValueExA(first, "Name", 0, REG_DWORD, reinterpret_cast<BYTE *>(&one), 4), ERROR_DISK_FULL);
  EXPECT_EQ(RegSetValueExA(first, "Other", 0, REG_DWORD, reinterpret_cast<BYTE *>(&one), 4), ERROR_SUCCESS);
  EXPECT_FALSE(winsim::GetValue(kKey, "Name")) << "a failed call changes nothing";
  winsim::ClearFaults();

  struct Plausible {
    const char *what;
    std::function<DWORD()> call;
    DWORD expected;
  };
  SECURITY_DESCRIPTOR sd;
  DWORD size = 0;
  std::vector<Plausible> cases = {
      {"query", [&] { return DWORD(RegQueryValueExA(first, "Other", nullptr, nullptr, nullptr, &size)); },
       ERROR_FILE_NOT_FOUND},
      {"create",
       [&] {
         HKEY created = nullptr;
         return DWORD(RegCreateKeyExA(first, "New", 0, nullptr, 0, KEY_READ, nullptr, &created, nullptr));
       },
       ERROR_ACCESS_DENIED},
      {"close", [&] { return DWORD(RegCloseKey(third)); }, ERROR_INVALID_HANDLE},
      {"descriptor", [&] { return InitializeSecurityDescriptor(&sd, 1) ? 0 : GetLastError(); },
       ERROR_INVALID_PARAMETER},
  };
  for (const Plausible &c : cases) {
    winsim::FailNthPlatformCall(1);
    EXPECT_EQ(c.call(), c.expected) << c.what;
  }
  EXPECT_FALSE(winsim::KeyExists(std::string(kKey) + "\\New"));
  RegCloseKey(first);
  RegCloseKey(third);
}

TEST_F(RegistrySim, OpenKeysAreCountedDescribedAndTraced) {
  winsim::CreateKey(std::string(kKey) + "\\Doomed");
  std::vector<std::string> trace;
  winsim::SetCallTrace([&](const std::string &line) { trace.push_back(line); });
  HKEY root = nullptr, key = nullptr, missing = nullptr;
  ASSERT_EQ(OpenLocal("", KEY_READ, &root), ERROR_SUCCESS);
  ASSERT_EQ(OpenLocal("software\\sim\\doomed", KEY_READ, &key), ERROR_SUCCESS);
  EXPECT_EQ(OpenLocal("SOFTWARE\\Missing", KEY_READ, &missing), ERROR_FILE_NOT_FOUND);
  winsim::SetCallTrace(nullptr);
  EXPECT_EQ(trace.back(), "RegOpenKeyExA HKEY_LOCAL_MACHINE\\SOFTWARE\\Missing -> 2");
  EXPECT_EQ(winsim::CallCounts()["RegOpenKeyExA"], 3u);
  EXPECT_EQ(winsim::OpenHandles().regKeys, 1) << "the root handle is not a new handle";
  EXPECT_EQ(winsim::DescribeOpenHandles(), "registry key HKEY_LOCAL_MACHINE\\SOFTWARE\\Sim\\Doomed\n")
      << "described with the names as created";
  winsim::DeleteTree(kKey);
  EXPECT_EQ(winsim::DescribeOpenHandles(), "registry key HKEY_LOCAL_MACHINE\\SOFTWARE\\Sim\\Doomed (deleted)\n");
  DWORD size = 0;
  EXPECT_EQ(RegQueryValueExA(key, "v", nullptr, nullptr, nullptr, &size), ERROR_KEY_DELETED);
  EXPECT_EQ(RegCloseKey(key), ERROR_SUCCESS);
  EXPECT_EQ(winsim::OpenHandles().regKeys, 0);
}

TEST_F(RegistrySim, HelpersSetAndReadWhatTheApiSees) {
  winsim::SetString("HKLM\\SOFTWARE\\Sim", "Text", "abc");
  winsim::SetDword("hklm\\software\\sim", "Number", 0x12345678);
  winsim::CreateKey("HKEY_LOCAL_MACHINE\\SOFTWARE\\Sim\\zeta");
  winsim::CreateKey("HKEY_LOCAL_MACHINE\\SOFTWARE\\Sim\\Alpha\\Deep");
  EXPECT_EQ(winsim::GetValue(kKey, "text")->data, (std::vector<BYTE>{'a', 'b', 'c', 0}));
  EXPECT_EQ(winsim::GetString(kKey, "Text"), "abc");
  EXPECT_EQ(winsim::GetDword(kKey, "Number"), 0x12345678u);
  EXPECT_FALSE(winsim::GetDword(kKey, "Text")) << "a string is no DWORD";
  EXPECT_FALSE(winsim::GetString(kKey, "Number"));
  EXPECT_EQ(winsim::SubkeyNames(kKey), (std::vector<std::string>{"Alpha", "zeta"}));
  winsim::DeleteTree(std::string(kKey) + "\\Alpha");
  winsim::DeleteTree(std::string(kKey) + "\\Alpha");
  EXPECT_EQ(winsim::SubkeyNames(kKey), (std::vector<std::string>{"zeta"}));
  EXPECT_THROW(winsim::SetString("HKEY_NOWHERE\\X", "v", "x"), std::invalid_argument);
  winsim::Reset();
  EXPECT_TRUE(winsim::KeyExists("HKEY_CURRENT_CONFIG"));
  EXPECT_FALSE(winsim::KeyExists(kKey));
}

// ---- .reg text --------------------------------------------------------------------------------

std::string Lines(std::initializer_list<const char *> lines) {
  std::string text;
  for (const char *line : lines) text += std::string(line) + "\r\n";
  return text;
}

TEST_F(RegistrySim, ExportWritesRegedit4AsRegeditDoes) {
  winsim::SetString(kKey, "", "Default");
  winsim::SetString(kKey, "Path", "C:\\Dir \"q\"");
  winsim::SetDword(kKey, "Count", 0x1234abcd);
  winsim::SetValue(kKey, "Bin", REG_BINARY, {0, 1, 0xff});
  winsim::SetValue(kKey, "Multi", REG_MULTI_SZ, {'a', 0, 'b', 0, 0});
  winsim::SetValue(kKey, "Unterminated", REG_SZ, {'n', 'o'});
  winsim::SetValue(kKey, "Short", REG_DWORD, {1, 2});
  winsim::CreateKey(std::string(kKey) + "\\b");
  winsim::CreateKey(std::string(kKey) + "\\A");
  EXPECT_EQ(
      winsim::ExportReg("HKLM\\Software\\SIM"),
      Lines({"REGEDIT4", "", "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Sim]", "@=\"Default\"",
             "\"Path\"=\"C:\\\\Dir \\\"q\\\"\"", "\"Count\"=dword:1234abcd", "\"Bin\"=hex:00,01,ff",
             "\"Multi\"=hex(7):61,00,62,00,00", "\"Unterminated\"=hex(1):6e,6f", "\"Short\"=hex(4):01,02", "",
             "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Sim\\A]", "", "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Sim\\b]", ""}));
  EXPECT_EQ(winsim::ExportReg(std::string(kKey) + "\\Missing"), "");
}

TEST_F(RegistrySim, ExportedTextLoadsBackToTheSameRegistry) {
  std::vector<BYTE> longBinary;
  for (int i = 0; i < 200; ++i) longBinary.push_back(static_cast<BYTE>(i * 7));
  winsim::SetValue(kKey, "Long", REG_BINARY, longBinary);
  winsim::SetValue(kKey, "None", REG_NONE, {});
  winsim::SetValue(kKey, "Odd type", 0xffff, {9});
  winsim::SetValue(kKey, "Expand", REG_EXPAND_SZ, {'%', 'X', '%', 0});
  winsim::SetValue(kKey, "Latin-1 \xe9", REG_SZ, {'c', 'a', 'f', 0xe9, 0});
  winsim::SetValue(kKey, "Line break", REG_SZ, {'a', '\r', '\n', 'b', 0});
  winsim::SetValue(kKey, "Two NULs", REG_SZ, {'a', 0, 0});
  winsim::SetString(kKey, "quote\"and\\slash", "\\\\server\\\"share\"");
  winsim::SetDword(std::string(kKey) + "\\Deep\\Er\\Still", "Zero", 0);
  winsim::CreateKey(std::string(kKey) + "\\Empty");
  std::string exported = winsim::ExportReg(kKey);

  std::istringstream lines(exported);
  for (std::string line; std::getline(lines, line);) EXPECT_LE(line.size(), 81u) << line;  // 80 and the CR
  winsim::DeleteTree(kKey);
  std::string error;
  ASSERT_TRUE(winsim::LoadReg(exported, &error)) << error;
  EXPECT_EQ(winsim::ExportReg(kKey), exported);
  EXPECT_EQ(winsim::GetValue(kKey, "Long")->data, longBinary);
  EXPECT_EQ(winsim::GetValue(kKey, "Two NULs")->data, (std::vector<BYTE>{'a', 0, 0}));
}

TEST_F(RegistrySim, LoadReadsEveryFormOfEntry) {
  winsim::SetString(std::string(kKey) + "\\Old", "v", "x");
  winsim::SetString(kKey, "Gone", "x");
  std::string error;
  ASSERT_TRUE(
      winsim::LoadReg(Lines({"", "REGEDIT4", "; a comment", "", "[-HKEY_LOCAL_MACHINE\\SOFTWARE\\Sim\\Old]",
                             "[HKLM\\SOFTWARE\\Sim]", "\"Gone\"=-", "@=\"dflt\"", "\"D\" = DWORD:0000ABCD",
                             "\"H\"=hex(2):25,41,\\", "    25,00", "\"E\"=hex:", "[HKEY_USERS\\.DEFAULT]"}),
                      &error))
      << error;
  EXPECT_FALSE(winsim::KeyExists(std::string(kKey) + "\\Old"));
  EXPECT_FALSE(winsim::GetValue(kKey, "Gone"));
  EXPECT_EQ(winsim::GetString(kKey, ""), "dflt");
  EXPECT_EQ(winsim::GetDword(kKey, "D"), 0xabcdu);
  EXPECT_EQ(winsim::GetValue(kKey, "H")->type, static_cast<DWORD>(REG_EXPAND_SZ));
  EXPECT_EQ(winsim::GetValue(kKey, "H")->data, (std::vector<BYTE>{'%', 'A', '%', 0}));
  EXPECT_TRUE(winsim::GetValue(kKey, "E")->data.empty());
  EXPECT_TRUE(winsim::KeyExists("HKEY_USERS\\.DEFAULT"));
}

TEST_F(RegistrySim, LoadReadsRegeditsUnicodeExport) {
  std::u16string text =
      u"Windows Registry Editor Version 5.00\r\n\r\n[HKEY_CURRENT_USER\\Software\\Uni]\r\n"
      u"\"Name\"=\"caf\u00e9 \u20ac \U0001F600\"\r\n\"Exp\"=hex(2):25,00,41,00,25,00,00,00\r\n";
  std::string bytes = "\xff\xfe";
  for (char16_t unit : text) {
    bytes += static_cast<char>(unit & 0xff);
    bytes += static_cast<char>(unit >> 8);
  }
  std::string error;
  ASSERT_TRUE(winsim::LoadReg(bytes, &error)) << error;
  EXPECT_EQ(winsim::GetString("HKCU\\Software\\Uni", "Name"), "caf\xe9 ? ?") << "Latin-1 kept, the rest '?'";
  EXPECT_EQ(winsim::GetValue("HKCU\\Software\\Uni", "Exp")->data, (std::vector<BYTE>{'%', 'A', '%', 0}));
  EXPECT_FALSE(winsim::LoadReg(bytes + "x", &error)) << "an odd number of UTF-16 bytes";
}

TEST_F(RegistrySim, MalformedTextIsRefusedWithItsLineAndChangesNothing) {
  const std::string good = Lines({"REGEDIT4", "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Partial]", "\"a\"=\"b\""});
  struct Case {
    std::string text;
    const char *line;
  };
  const std::vector<Case> cases = {
      {Lines({"REGEDIT5", "[HKEY_LOCAL_MACHINE\\X]"}), "line 1:"},
      {Lines({"REGEDIT4", "\"early\"=\"value\""}), "line 2:"},
      {good + Lines({"[HKEY_NOWHERE\\X]"}), "line 4:"},
      {good + Lines({"[HKEY_LOCAL_MACHINE\\X"}), "line 4:"},
      {good + Lines({"[-HKEY_LOCAL_MACHINE]"}), "line 4:"},
      {good + Lines({"\"bad\"=\"a\\tb\""}), "line 4:"},
      {good + Lines({"\"open\"=\"never closed"}), "line 4:"},
      {good + Lines({"\"d\"=dword:123456789"}), "line 4:"},
      {good + Lines({"\"h\"=hex:01,zz"}), "line 4:"},
      {good + Lines({"\"h\"=hex(x):01"}), "line 4:"},
      {good + "\"h\"=hex:01,\\", "line 4:"},
      {good + Lines({"\"h\"=hex:01,\\", "  02,0g"}), "line 5:"},
      {good + Lines({"\"s\"=\"x\" trailing"}), "line 4:"},
      {good + Lines({"just text"}), "line 4:"},
      {good + Lines({"\"n\" \"v\""}), "line 4:"},
      {"", "line 1:"},
  };
  for (const Case &c : cases) {
    std::string error;
    EXPECT_FALSE(winsim::LoadReg(c.text, &error)) << c.text;
    EXPECT_EQ(error.rfind(c.line, 0), 0u) << "got \"" << error << "\" for\n" << c.text;
    EXPECT_FALSE(winsim::KeyExists("HKEY_LOCAL_MACHINE\\SOFTWARE\\Partial")) << c.text;
  }
}

}  // namespace
