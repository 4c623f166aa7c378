// The registry as the co-installer and the simulator use it, checked through the Win32 API alone:
// the same checks run on the simulated platform and, built as a Windows program, under Wine.
#include <cstring>
#include <string>
#include <vector>

#include "platform_test.h"

namespace {

using Names = std::vector<std::string>;

LONG Create(HKEY parent, const char *path, HKEY *key, DWORD options = REG_OPTION_NON_VOLATILE,
            DWORD *disposition = nullptr) {
  return RegCreateKeyExA(parent, path, 0, nullptr, options, KEY_ALL_ACCESS, nullptr, key, disposition);
}

LONG Open(HKEY parent, const char *path, HKEY *key, REGSAM access = KEY_ALL_ACCESS) {
  return RegOpenKeyExA(parent, path, 0, access, key);
}

// The result of a create or open whose key is not needed: the key it opened is closed at once.
LONG Closed(LONG result, const HKEY *key) {
  if (result == ERROR_SUCCESS) RegCloseKey(*key);
  return result;
}

LONG SetBytes(HKEY key, const char *name, DWORD type, const void *data, DWORD size) {
  return RegSetValueExA(key, name, 0, type, static_cast<const BYTE *>(data), size);
}

LONG SetDword(HKEY key, const char *name, DWORD value) {
  return SetBytes(key, name, REG_DWORD, &value, sizeof value);
}

DWORD StoredSize(HKEY key, const char *name) {
  DWORD size = 0xdeadbeef;
  EXPECT_EQ(RegQueryValueExA(key, name, nullptr, nullptr, nullptr, &size), ERROR_SUCCESS) << name;
  return size;
}

// Subkey names (values = false) or value names, in enumeration order.
Names Enumerate(HKEY key, bool values = false) {
  Names names;
  char name[300];
  for (DWORD i = 0;; ++i) {
    DWORD size = sizeof name;
    LONG result = values ? RegEnumValueA(key, i, name, &size, nullptr, nullptr, nullptr, nullptr)
                         : RegEnumKeyExA(key, i, name, &size, nullptr, nullptr, nullptr, nullptr);
    if (result != ERROR_SUCCESS) {
      EXPECT_EQ(result, ERROR_NO_MORE_ITEMS);
      return names;
    }
    names.push_back(name);
  }
}

LONG ApplyNullDacl(HKEY key) {
  SECURITY_DESCRIPTOR sd;
  EXPECT_TRUE(InitializeSecurityDescriptor(&sd, SECURITY_DESCRIPTOR_REVISION));
  EXPECT_TRUE(SetSecurityDescriptorDacl(&sd, TRUE, nullptr, FALSE));
  return RegSetKeySecurity(key, DACL_SECURITY_INFORMATION, &sd);
}

class Registry : public ::testing::Test {
 protected:
  void SetUp() override {
    key_ = ScratchKey();
    ASSERT_NE(key_, nullptr);
  }
  void TearDown() override {
    for (HKEY key : open_) RegCloseKey(key);
    if (key_) RegCloseKey(key_);
    DeleteScratchKey();
  }
  // Opens or creates a key that stays open until the test ends.
  HKEY Kept(const char *path, REGSAM access = KEY_ALL_ACCESS, DWORD options = REG_OPTION_NON_VOLATILE) {
    HKEY key = nullptr;
    LONG result = access == KEY_ALL_ACCESS ? Create(key_, path, &key, options) : Open(key_, path, &key, access);
    EXPECT_EQ(result, ERROR_SUCCESS) << path;
    if (key) open_.push_back(key);
    return key;
  }
  HKEY key_ = nullptr;
  std::vector<HKEY> open_;
};

TEST_F(Registry, CreateMakesEveryLevelNamesIgnoreCaseAndVolatileKeysHaveVolatileChildren) {
  HKEY key = nullptr;
  DWORD created = 0, opened = 0;
  ExpectRows({
      {"three levels at once", Closed(Create(key_, "One\\Two\\Three", &key, 0, &created), &key), ERROR_SUCCESS},
      {"disposition of a new key", created, REG_CREATED_NEW_KEY},
      {"the same path in other letter case", Closed(Create(key_, "one\\TWO\\three", &key, 0, &opened), &key),
       ERROR_SUCCESS},
      {"disposition of an existing key", opened, REG_OPENED_EXISTING_KEY},
      {"a reserved word other than 0",
       Closed(RegCreateKeyExA(key_, "Reserved", 1, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr), &key),
       ERROR_INVALID_PARAMETER},
      {"a missing key", Open(key_, "Missing", &key), ERROR_FILE_NOT_FOUND},
      {"a value", SetDword(key_, "Value", 1), ERROR_SUCCESS},
      {"the value again in other letter case", SetDword(key_, "VALUE", 2), ERROR_SUCCESS},
      {"a stable child of a volatile key",
       Closed(Create(Kept("Vol", KEY_ALL_ACCESS, REG_OPTION_VOLATILE), "Stable", &key), &key),
       ERROR_CHILD_MUST_BE_VOLATILE},
      {"a volatile one", Closed(Create(key_, "Vol\\Child", &key, REG_OPTION_VOLATILE), &key), ERROR_SUCCESS},
  });
  EXPECT_EQ(Enumerate(Kept("ONE\\two")), Names{"Three"}) << "the name keeps the case it was created with";
  EXPECT_EQ(Enumerate(key_, true), Names{"Value"});
  HKEY again = Kept("");
  EXPECT_NE(again, key_) << "an empty subkey opens another handle to the same key";
  ASSERT_EQ(SetDword(again, "v", 1), ERROR_SUCCESS);
  EXPECT_EQ(StoredSize(key_, "v"), 4u);
}

TEST_F(Registry, SubkeysEnumerateByUpperCasedNameValuesInCreationOrder) {
  for (const char *name : {"yak", "Zed", "abc", "ABD", "aZ", "a1"}) Kept(name);
  EXPECT_EQ(Enumerate(key_), (Names{"a1", "abc", "ABD", "aZ", "yak", "Zed"}));
  for (const char *name : {"C", "A", "D", "B"}) ASSERT_EQ(SetDword(key_, name, 0), ERROR_SUCCESS);
  ASSERT_EQ(SetDword(key_, "A", 1), ERROR_SUCCESS);
  ASSERT_EQ(RegDeleteValueA(key_, "D"), ERROR_SUCCESS);
  SKIP_UNDER_WINE("values enumerate in sorted order, subkeys by lower-cased name ('_' before letters)");
  EXPECT_EQ(Enumerate(key_, true), (Names{"C", "A", "B"})) << "rewriting a value keeps its place";
  Kept("_x");
  EXPECT_EQ(Enumerate(key_).back(), "_x") << "'_' sorts after the upper-case letters";
}

TEST_F(Registry, HandlesOnlyAllowWhatTheyWereOpenedForButNotBelowThem) {
  HKEY query = Kept("", KEY_QUERY_VALUE), set = Kept("", KEY_SET_VALUE), dac = Kept("", WRITE_DAC);
  HKEY child = nullptr;
  char name[16];
  DWORD size = sizeof name;
  ExpectRows({
      {"set through a query handle", SetDword(query, "v", 1), ERROR_ACCESS_DENIED},
      {"delete a value through it", RegDeleteValueA(query, "v"), ERROR_ACCESS_DENIED},
      {"enumerate subkeys through it", RegEnumKeyExA(query, 0, name, &size, nullptr, nullptr, nullptr, nullptr),
       ERROR_ACCESS_DENIED},
      {"null DACL through it", ApplyNullDacl(query), ERROR_ACCESS_DENIED},
      {"null DACL through a WRITE_DAC handle", ApplyNullDacl(dac), ERROR_SUCCESS},
      {"query through a set handle", RegQueryValueExA(set, "v", nullptr, nullptr, nullptr, &size),
       ERROR_ACCESS_DENIED},
      {"create below a query handle", Closed(Create(query, "Child", &child), &child), ERROR_SUCCESS},
      {"delete below it", RegDeleteKeyA(query, "Child"), ERROR_SUCCESS},
  });
}

TEST_F(Registry, DeleteKeyRefusesKeysWithSubkeysAndStaleHandlesReportKeyDeleted) {
  Kept("Parent\\Child");
  HKEY stale = nullptr;
  ASSERT_EQ(Create(key_, "Doomed", &stale), ERROR_SUCCESS);
  DWORD size = 0;
  ExpectRows({
      {"a key with a subkey", RegDeleteKeyA(key_, "Parent"), ERROR_ACCESS_DENIED},
      {"a missing key", RegDeleteKeyA(key_, "Missing"), ERROR_FILE_NOT_FOUND},
      {"the subkey", RegDeleteKeyA(key_, "Parent\\Child"), ERROR_SUCCESS},
      {"the key once its subkey is gone", RegDeleteKeyA(key_, "Parent"), ERROR_SUCCESS},
      {"a key open elsewhere", RegDeleteKeyA(key_, "Doomed"), ERROR_SUCCESS},
      {"set through the stale handle", SetDword(stale, "v", 1), ERROR_KEY_DELETED},
      {"query through it", RegQueryValueExA(stale, "v", nullptr, nullptr, nullptr, &size), ERROR_KEY_DELETED},
      {"close it", RegCloseKey(stale), ERROR_SUCCESS},
      {"close it again", Stopped("RegCloseKey", RegCloseKey(stale)), ERROR_INVALID_HANDLE},
  });
  EXPECT_EQ(Enumerate(key_), Names{});
}

// Sizes as callers that pass them by hand meet them: short buffers and the A functions' string
// terminators.
TEST_F(Registry, QueriesReportSizesShortBuffersGetNothingAndStringsTheirTerminator) {
  static const char kFull[] = "FullString";  // the NUL follows the ten letters in memory
  const std::pair<DWORD, DWORD> written[] = {{11, 11}, {10, 11}, {9, 9}};  // no NUL follows "FullStrin"
  for (const auto &w : written) {
    ASSERT_EQ(SetBytes(key_, "S", REG_SZ, kFull, w.first), ERROR_SUCCESS);
    EXPECT_EQ(StoredSize(key_, "S"), w.second) << "REG_SZ written with " << w.first << " bytes";
  }
  ASSERT_EQ(SetBytes(key_, "", REG_SZ, kFull, sizeof kFull), ERROR_SUCCESS);
  char exact[9], larger[12] = "xxxxxxxxxxx", shortBuffer[4] = "xxx";
  DWORD type = 0, exactSize = sizeof exact, largerSize = sizeof larger, shortSize = sizeof shortBuffer;
  ExpectRows({
      {"the default value's size", StoredSize(key_, ""), 11},
      {"a short buffer",
       RegQueryValueExA(key_, "S", nullptr, &type, reinterpret_cast<BYTE *>(shortBuffer), &shortSize),
       ERROR_MORE_DATA},
      {"the size it learns", shortSize, 9},
      {"what it gets", shortBuffer[0], 'x'},
      {"the type it learns", type, REG_SZ},
      {"an exact buffer",
       RegQueryValueExA(key_, "S", nullptr, nullptr, reinterpret_cast<BYTE *>(exact), &exactSize), ERROR_SUCCESS},
      {"a larger buffer",
       RegQueryValueExA(key_, "S", nullptr, nullptr, reinterpret_cast<BYTE *>(larger), &largerSize),
       ERROR_SUCCESS},
      {"the size a larger buffer is told", largerSize, 9},
      {"the terminator it gets, not counted", larger[9], 0},
      {"a missing value", RegQueryValueExA(key_, "Missing", nullptr, nullptr, nullptr, &shortSize),
       ERROR_FILE_NOT_FOUND},
  });
}

TEST_F(Registry, EnumerationAndKeyInformationReportShortBuffersAndSizes) {
  Kept("Short");
  Kept("LongerName");
  ASSERT_EQ(SetBytes(key_, "Value name", REG_SZ, "second value", 13), ERROR_SUCCESS);
  char name[16];
  BYTE data[16];
  DWORD keySize = 10, nameSize = 10, dataSize = sizeof data, fullName = sizeof name, shortData = 2;
  DWORD endSize = sizeof name, subkeys = 0, maxSubkey = 0, values = 0, maxName = 0, maxData = 0;
  ExpectRows({
      {"a subkey name without room for its NUL",
       RegEnumKeyExA(key_, 0, name, &keySize, nullptr, nullptr, nullptr, nullptr), ERROR_MORE_DATA},
      {"a value name without room for its NUL",
       RegEnumValueA(key_, 0, name, &nameSize, nullptr, nullptr, data, &dataSize), ERROR_MORE_DATA},
      {"the data size told all the same", dataSize, 13},
      {"data without room", RegEnumValueA(key_, 0, name, &fullName, nullptr, nullptr, data, &shortData),
       ERROR_MORE_DATA},
      {"the data size a short buffer learns", shortData, 13},
      {"the end of the values", RegEnumValueA(key_, 1, name, &endSize, nullptr, nullptr, nullptr, nullptr),
       ERROR_NO_MORE_ITEMS},
      {"the key's information",
       RegQueryInfoKeyA(key_, nullptr, nullptr, nullptr, &subkeys, &maxSubkey, nullptr, &values, &maxName,
                        &maxData, nullptr, nullptr),
       ERROR_SUCCESS},
      {"subkeys", subkeys, 2},
      {"longest subkey name", maxSubkey, 10},
      {"values", values, 1},
      {"longest value name", maxName, 10},
      {"largest data: strings count as stored in UTF-16", maxData, 26},
  });
}

}  // namespace
