// Registry behaviour as Windows has it, checked through the Win32 API alone: the same checks run
// on the simulated platform and, built as a Windows program, under Wine.
#include <cstring>
#include <string>
#include <vector>

#include "platform_test.h"

namespace {

// Closes the key it holds when it goes out of scope.
struct ScopedKey {
  HKEY handle = nullptr;
  ScopedKey() = default;
  ScopedKey(const ScopedKey &) = delete;
  ScopedKey &operator=(const ScopedKey &) = delete;
  ~ScopedKey() {
    if (handle) RegCloseKey(handle);
  }
  HKEY *out() { return &handle; }
  operator HKEY() const { return handle; }
};

LONG Create(HKEY parent, const char *path, HKEY *key, DWORD options = REG_OPTION_NON_VOLATILE,
            DWORD *disposition = nullptr, REGSAM access = KEY_ALL_ACCESS) {
  return RegCreateKeyExA(parent, path, 0, nullptr, options, access, nullptr, key, disposition);
}

LONG Open(HKEY parent, const char *path, HKEY *key, REGSAM access = KEY_ALL_ACCESS) {
  return RegOpenKeyExA(parent, path, 0, access, key);
}

LONG SetBytes(HKEY key, const char *name, DWORD type, const void *data, DWORD size) {
  return RegSetValueExA(key, name, 0, type, static_cast<const BYTE *>(data), size);
}

DWORD StoredSize(HKEY key, const char *name) {
  DWORD size = 0xdeadbeef;
  EXPECT_EQ(RegQueryValueExA(key, name, nullptr, nullptr, nullptr, &size), ERROR_SUCCESS) << name;
  return size;
}

std::vector<std::string> Subkeys(HKEY key) {
  std::vector<std::string> names;
  char name[300];
  for (DWORD i = 0;; ++i) {
    DWORD size = sizeof name;
    LONG result = RegEnumKeyExA(key, i, name, &size, nullptr, nullptr, nullptr, nullptr);
    if (result != ERROR_SUCCESS) {
      EXPECT_EQ(result, ERROR_NO_MORE_ITEMS);
      return names;
    }
    names.push_back(name);
  }
}

std::vector<std::string> ValueNames(HKEY key) {
  std::vector<std::string> names;
  char name[300];
  for (DWORD i = 0;; ++i) {
    DWORD size = sizeof name;
    LONG result = RegEnumValueA(key, i, name, &size, nullptr, nullptr, nullptr, nullptr);
    if (result != ERROR_SUCCESS) {
      EXPECT_EQ(result, ERROR_NO_MORE_ITEMS);
      return names;
    }
    names.push_back(name);
  }
}

using Names = std::vector<std::string>;

class Registry : public ::testing::Test {
 protected:
  void SetUp() override {
    key_ = ScratchKey();
    ASSERT_NE(key_, nullptr);
  }
  void TearDown() override {
    if (key_) RegCloseKey(key_);
    DeleteScratchKey();
  }
  HKEY key_ = nullptr;
};

TEST_F(Registry, PredefinedRootsArePlainKeysThatCloseWithoutEffect) {
  HKEY same = nullptr;
  EXPECT_EQ(Open(HKEY_CURRENT_USER, "", &same), ERROR_SUCCESS);
  EXPECT_EQ(same, HKEY_CURRENT_USER) << "an empty subkey of a root gives the root back";
  EXPECT_EQ(Open(HKEY_CURRENT_USER, nullptr, &same), ERROR_SUCCESS);
  EXPECT_EQ(same, HKEY_CURRENT_USER);
  for (HKEY root : {HKEY_CLASSES_ROOT, HKEY_CURRENT_USER, HKEY_LOCAL_MACHINE, HKEY_USERS, HKEY_CURRENT_CONFIG})
    EXPECT_EQ(RegCloseKey(root), ERROR_SUCCESS);
  ScopedKey again;
  EXPECT_EQ(Open(HKEY_CURRENT_USER, ScratchKeyPath().c_str(), again.out()), ERROR_SUCCESS)
      << "a closed root stays usable";
}

TEST_F(Registry, CreateMakesMissingLevelsAndNamesIgnoreCaseButKeepIt) {
  ScopedKey deep, again, other;
  DWORD disposition = 0;
  ASSERT_EQ(Create(key_, "One\\Two\\Three", deep.out(), 0, &disposition), ERROR_SUCCESS);
  EXPECT_EQ(disposition, static_cast<DWORD>(REG_CREATED_NEW_KEY));
  ASSERT_EQ(Create(key_, "one\\TWO\\three", again.out(), 0, &disposition), ERROR_SUCCESS);
  EXPECT_EQ(disposition, static_cast<DWORD>(REG_OPENED_EXISTING_KEY));
  ASSERT_EQ(Open(key_, "ONE\\two", other.out()), ERROR_SUCCESS);
  EXPECT_EQ(Subkeys(other), Names{"Three"}) << "the name keeps the case it was created with";
  DWORD one = 1, two = 2, read = 0, size = sizeof read;
  ASSERT_EQ(SetBytes(key_, "Value", REG_DWORD, &one, sizeof one), ERROR_SUCCESS);
  ASSERT_EQ(SetBytes(key_, "VALUE", REG_DWORD, &two, sizeof two), ERROR_SUCCESS);
  EXPECT_EQ(RegQueryValueExA(key_, "value", nullptr, nullptr, reinterpret_cast<BYTE *>(&read), &size),
            ERROR_SUCCESS);
  EXPECT_EQ(read, 2u);
  EXPECT_EQ(ValueNames(key_), Names{"Value"});
}

TEST_F(Registry, SubkeysEnumerateByUpperCasedName) {
  for (const char *name : {"yak", "Zed", "abc", "ABD", "aZ", "a1"}) {
    ScopedKey sub;
    ASSERT_EQ(Create(key_, name, sub.out()), ERROR_SUCCESS);
  }
  EXPECT_EQ(Subkeys(key_), (Names{"a1", "abc", "ABD", "aZ", "yak", "Zed"}));
  SKIP_UNDER_WINE("subkeys sort by lower-cased name, so '_' comes before letters");
  ScopedKey underscore;
  ASSERT_EQ(Create(key_, "_x", underscore.out()), ERROR_SUCCESS);
  EXPECT_EQ(Subkeys(key_).back(), "_x") << "'_' sorts after the upper-case letters";
}

TEST_F(Registry, ValuesEnumerateInCreationOrder) {
  const char *const names[] = {"C", "A", "D", "B"};
  for (DWORD i = 0; i < 4; ++i) ASSERT_EQ(SetBytes(key_, names[i], REG_DWORD, &i, 4), ERROR_SUCCESS);
  DWORD again = 1;
  ASSERT_EQ(SetBytes(key_, "A", REG_DWORD, &again, 4), ERROR_SUCCESS);
  ASSERT_EQ(RegDeleteValueA(key_, "D"), ERROR_SUCCESS);
  for (DWORD i : {0u, 1u, 3u}) {
    DWORD read = 99, size = sizeof read;
    EXPECT_EQ(RegQueryValueExA(key_, names[i], nullptr, nullptr, reinterpret_cast<BYTE *>(&read), &size),
              ERROR_SUCCESS);
    EXPECT_EQ(read, i) << names[i] << " after deleting another value";
  }
  SKIP_UNDER_WINE("values enumerate in sorted order");
  EXPECT_EQ(ValueNames(key_), (Names{"C", "A", "B"})) << "rewriting a value keeps its place";
}

TEST_F(Registry, SubkeyPathsFollowWindowsSyntax) {
  HKEY key = reinterpret_cast<HKEY>(static_cast<ULONG_PTR>(0x1234));
  EXPECT_EQ(Open(key_, "Missing", &key), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(key, nullptr) << "a failed open clears the result";
  EXPECT_EQ(Open(key_, "Missing", &key), ERROR_FILE_NOT_FOUND) << "a failed open creates nothing";
  EXPECT_EQ(Create(key_, "\\Lead", &key), ERROR_BAD_PATHNAME);
  EXPECT_EQ(Open(key_, "\\Lead", &key), ERROR_BAD_PATHNAME);
  ScopedKey trail, middle, again;
  ASSERT_EQ(Create(key_, "Trail\\\\", trail.out()), ERROR_SUCCESS);
  ASSERT_EQ(Create(key_, "P\\\\Q", middle.out()), ERROR_SUCCESS);
  EXPECT_EQ(Subkeys(key_), (Names{"P", "Trail"})) << "empty path components are skipped";
  ASSERT_EQ(Open(trail, "", again.out()), ERROR_SUCCESS);
  EXPECT_NE(again.handle, trail.handle) << "an empty subkey opens a new handle to the same key";
  DWORD one = 1;
  ASSERT_EQ(SetBytes(again, "v", REG_DWORD, &one, 4), ERROR_SUCCESS);
  EXPECT_EQ(StoredSize(trail, "v"), 4u);
}

TEST_F(Registry, KeyNamesMayHave256CharactersButNoMore) {
  std::string longest(256, 'n'), tooLong(257, 'n');
  ScopedKey created, opened;
  HKEY refused = nullptr;
  EXPECT_EQ(Create(key_, longest.c_str(), created.out()), ERROR_SUCCESS);
  EXPECT_EQ(Open(key_, longest.c_str(), opened.out()), ERROR_SUCCESS);
  EXPECT_EQ(Create(key_, tooLong.c_str(), &refused), ERROR_INVALID_PARAMETER);
  EXPECT_EQ(Open(key_, tooLong.c_str(), &refused), ERROR_INVALID_PARAMETER);
}

TEST_F(Registry, ChildrenOfVolatileKeysMustBeVolatile) {
  ScopedKey vol, child, deep;
  HKEY refused = nullptr;
  ASSERT_EQ(Create(key_, "Vol", vol.out(), REG_OPTION_VOLATILE), ERROR_SUCCESS);
  EXPECT_EQ(Create(vol, "Stable", &refused), ERROR_CHILD_MUST_BE_VOLATILE);
  ASSERT_EQ(Create(vol, "Child", child.out(), REG_OPTION_VOLATILE), ERROR_SUCCESS);
  HKEY existing = nullptr;
  EXPECT_EQ(Create(vol, "Child", &existing), ERROR_SUCCESS) << "an existing volatile key opens";
  RegCloseKey(existing);
  ASSERT_EQ(Create(key_, "Vol2\\Deep", deep.out(), REG_OPTION_VOLATILE), ERROR_SUCCESS);
  EXPECT_EQ(Create(key_, "Vol2\\Stable", &refused), ERROR_CHILD_MUST_BE_VOLATILE)
      << "levels created on the way are volatile too";
}

TEST_F(Registry, HandlesOnlyAllowWhatTheyWereOpenedFor) {
  ScopedKey query, set, enumerate, child;
  ASSERT_EQ(Open(key_, "", query.out(), KEY_QUERY_VALUE), ERROR_SUCCESS);
  ASSERT_EQ(Open(key_, "", set.out(), KEY_SET_VALUE), ERROR_SUCCESS);
  ASSERT_EQ(Open(key_, "", enumerate.out(), KEY_ENUMERATE_SUB_KEYS), ERROR_SUCCESS);
  DWORD one = 1, size = 4;
  char name[16];
  SECURITY_DESCRIPTOR sd;
  ASSERT_TRUE(InitializeSecurityDescriptor(&sd, SECURITY_DESCRIPTOR_REVISION));
  ASSERT_TRUE(SetSecurityDescriptorDacl(&sd, TRUE, nullptr, FALSE));
  EXPECT_EQ(SetBytes(query, "v", REG_DWORD, &one, 4), ERROR_ACCESS_DENIED);
  EXPECT_EQ(RegDeleteValueA(query, "v"), ERROR_ACCESS_DENIED);
  EXPECT_EQ(RegEnumKeyExA(query, 0, name, &size, nullptr, nullptr, nullptr, nullptr), ERROR_ACCESS_DENIED);
  EXPECT_EQ(RegSetKeySecurity(query, DACL_SECURITY_INFORMATION, &sd), ERROR_ACCESS_DENIED);
  ASSERT_EQ(SetBytes(set, "v", REG_DWORD, &one, 4), ERROR_SUCCESS);
  EXPECT_EQ(RegQueryValueExA(set, "v", nullptr, nullptr, nullptr, &size), ERROR_ACCESS_DENIED);
  size = sizeof name;
  EXPECT_EQ(RegEnumValueA(set, 0, name, &size, nullptr, nullptr, nullptr, nullptr), ERROR_ACCESS_DENIED);
  EXPECT_EQ(Create(query, "Child", child.out()), ERROR_SUCCESS)
      << "creating a subkey does not depend on the parent handle's rights";
  EXPECT_EQ(Subkeys(enumerate), Names{"Child"});
  EXPECT_EQ(RegDeleteKeyA(query, "Child"), ERROR_SUCCESS) << "deleting does not depend on them either";
  SKIP_UNDER_WINE("RegQueryInfoKeyA does not check for KEY_QUERY_VALUE");
  DWORD values = 0;
  EXPECT_EQ(RegQueryInfoKeyA(set, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, &values, nullptr, nullptr,
                             nullptr, nullptr),
            ERROR_ACCESS_DENIED);
}

TEST_F(Registry, DeleteKeyRefusesKeysWithSubkeysAndRoots) {
  ScopedKey parent, child;
  ASSERT_EQ(Create(key_, "Parent\\Child", child.out()), ERROR_SUCCESS);
  EXPECT_EQ(RegDeleteKeyA(key_, "Parent"), ERROR_ACCESS_DENIED);
  EXPECT_EQ(Subkeys(key_), Names{"Parent"});
  EXPECT_EQ(RegDeleteKeyA(key_, "Missing"), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(RegDeleteKeyA(key_, nullptr), ERROR_INVALID_PARAMETER);
  EXPECT_EQ(RegDeleteKeyA(HKEY_CURRENT_USER, ""), ERROR_ACCESS_DENIED);
  EXPECT_EQ(RegDeleteKeyA(key_, "Parent\\Child"), ERROR_SUCCESS);
  ASSERT_EQ(Open(key_, "Parent", parent.out(), KEY_QUERY_VALUE), ERROR_SUCCESS);
  EXPECT_EQ(RegDeleteKeyA(parent, ""), ERROR_SUCCESS) << "a key can delete itself through its own handle";
  EXPECT_EQ(Subkeys(key_), Names{});
}

TEST_F(Registry, HandlesOfDeletedKeysReportKeyDeleted) {
  ScopedKey sub;
  HKEY stale = nullptr, other = nullptr;
  ASSERT_EQ(Create(key_, "Doomed", &stale), ERROR_SUCCESS);
  ASSERT_EQ(RegDeleteKeyA(key_, "Doomed"), ERROR_SUCCESS);
  ASSERT_EQ(Create(key_, "Doomed", sub.out()), ERROR_SUCCESS) << "a new key of the same name is another key";
  char name[16];
  BYTE data[16];
  DWORD one = 1, nameSize = sizeof name, dataSize = sizeof data, count = 0;
  EXPECT_EQ(SetBytes(stale, "v", REG_DWORD, &one, 4), ERROR_KEY_DELETED);
  EXPECT_EQ(RegQueryValueExA(stale, "v", nullptr, nullptr, data, &dataSize), ERROR_KEY_DELETED);
  EXPECT_EQ(RegDeleteValueA(stale, "v"), ERROR_KEY_DELETED);
  EXPECT_EQ(RegEnumKeyExA(stale, 0, name, &nameSize, nullptr, nullptr, nullptr, nullptr), ERROR_KEY_DELETED);
  EXPECT_EQ(RegEnumValueA(stale, 0, name, &nameSize, nullptr, nullptr, data, &dataSize), ERROR_KEY_DELETED);
  EXPECT_EQ(RegQueryInfoKeyA(stale, nullptr, nullptr, nullptr, &count, nullptr, nullptr, nullptr, nullptr, nullptr,
                             nullptr, nullptr),
            ERROR_KEY_DELETED);
  EXPECT_EQ(Open(stale, "", &other), ERROR_KEY_DELETED);
  EXPECT_EQ(Create(stale, "Sub", &other), ERROR_KEY_DELETED);
  EXPECT_EQ(RegDeleteKeyA(stale, ""), ERROR_KEY_DELETED);
  EXPECT_EQ(SetBytes(sub, "v", REG_DWORD, &one, 4), ERROR_SUCCESS);
  EXPECT_EQ(RegQueryValueExA(stale, "v", nullptr, nullptr, data, &dataSize), ERROR_KEY_DELETED);
  SECURITY_DESCRIPTOR sd;
  ASSERT_TRUE(InitializeSecurityDescriptor(&sd, SECURITY_DESCRIPTOR_REVISION));
  ASSERT_TRUE(SetSecurityDescriptorDacl(&sd, TRUE, nullptr, FALSE));
  LONG security = RegSetKeySecurity(stale, DACL_SECURITY_INFORMATION, &sd);
  EXPECT_EQ(RegCloseKey(stale), ERROR_SUCCESS);
  EXPECT_EQ(Stopped("RegCloseKey", RegCloseKey(stale)), ERROR_INVALID_HANDLE) << "closing twice";
  EXPECT_EQ(Stopped("RegCloseKey", RegCloseKey(nullptr)), ERROR_INVALID_HANDLE);
  EXPECT_EQ(Stopped("RegOpenKeyExA", Open(stale, "", &other)), ERROR_INVALID_HANDLE) << "a closed handle";
  SKIP_UNDER_WINE("RegSetKeySecurity succeeds on a deleted key");
  EXPECT_EQ(security, ERROR_KEY_DELETED);
}

TEST_F(Registry, QueryValueReportsSizesAndShortBuffers) {
  const BYTE bytes[] = {1, 2, 3, 4, 5, 6};
  ASSERT_EQ(SetBytes(key_, "Bin", REG_BINARY, bytes, sizeof bytes), ERROR_SUCCESS);
  ASSERT_EQ(SetBytes(key_, "", REG_SZ, "dflt", 5), ERROR_SUCCESS);
  DWORD type = 0, size = 0;
  EXPECT_EQ(RegQueryValueExA(key_, "Bin", nullptr, &type, nullptr, &size), ERROR_SUCCESS);
  EXPECT_EQ(type, static_cast<DWORD>(REG_BINARY));
  EXPECT_EQ(size, sizeof bytes);
  BYTE buffer[8];
  std::memset(buffer, 0xbd, sizeof buffer);
  size = 3;
  EXPECT_EQ(RegQueryValueExA(key_, "Bin", nullptr, &type, buffer, &size), ERROR_MORE_DATA);
  EXPECT_EQ(size, sizeof bytes) << "a short buffer learns the size it needs";
  EXPECT_EQ(buffer[0], 0xbd) << "and gets nothing";
  size = sizeof bytes;
  EXPECT_EQ(RegQueryValueExA(key_, "Bin", nullptr, &type, buffer, &size), ERROR_SUCCESS);
  EXPECT_EQ(std::memcmp(buffer, bytes, sizeof bytes), 0);
  EXPECT_EQ(StoredSize(key_, nullptr), 5u) << "NULL and \"\" both name the default value";
  EXPECT_EQ(StoredSize(key_, ""), 5u);
  size = 77;
  EXPECT_EQ(RegQueryValueExA(key_, "Missing", nullptr, &type, nullptr, &size), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(size, 0u) << "asking only for the size of a missing value gives 0";
  size = sizeof buffer;
  EXPECT_EQ(RegQueryValueExA(key_, "Missing", nullptr, &type, buffer, &size), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(size, sizeof buffer) << "with a buffer the size stays";
  EXPECT_EQ(RegQueryValueExA(key_, "Bin", nullptr, &type, buffer, nullptr), ERROR_INVALID_PARAMETER);
  EXPECT_EQ(RegDeleteValueA(key_, "Missing"), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(RegDeleteValueA(key_, "Bin"), ERROR_SUCCESS);
  EXPECT_EQ(RegQueryValueExA(key_, "Bin", nullptr, &type, nullptr, &size), ERROR_FILE_NOT_FOUND);
}

// The A functions' handling of string terminators, which callers that pass sizes by hand meet.
TEST_F(Registry, StringTerminatorsAreAddedWhereWindowsAddsThem) {
  static const char kFull[] = "FullString";  // the NUL follows the ten letters in memory
  ASSERT_EQ(SetBytes(key_, "Counted", REG_SZ, kFull, sizeof kFull), ERROR_SUCCESS);
  EXPECT_EQ(StoredSize(key_, "Counted"), 11u);
  ASSERT_EQ(SetBytes(key_, "Uncounted", REG_SZ, kFull, 10), ERROR_SUCCESS);
  EXPECT_EQ(StoredSize(key_, "Uncounted"), 11u) << "a NUL left out of the size is stored when it follows the data";
  ASSERT_EQ(SetBytes(key_, "Expand", REG_EXPAND_SZ, kFull, 10), ERROR_SUCCESS);
  EXPECT_EQ(StoredSize(key_, "Expand"), 11u);
  ASSERT_EQ(SetBytes(key_, "Cut", REG_SZ, kFull, 9), ERROR_SUCCESS);
  EXPECT_EQ(StoredSize(key_, "Cut"), 9u) << "no NUL follows \"FullStrin\", so none is added";
  ASSERT_EQ(SetBytes(key_, "Binary", REG_BINARY, kFull, 10), ERROR_SUCCESS);
  EXPECT_EQ(StoredSize(key_, "Binary"), 10u) << "only string types get a terminator";
  ASSERT_EQ(SetBytes(key_, "Empty", REG_SZ, kFull, 0), ERROR_SUCCESS);
  EXPECT_EQ(StoredSize(key_, "Empty"), 0u);

  BYTE buffer[16];
  std::memset(buffer, 0xbd, sizeof buffer);
  DWORD size = 9;
  ASSERT_EQ(RegQueryValueExA(key_, "Cut", nullptr, nullptr, buffer, &size), ERROR_SUCCESS);
  EXPECT_EQ(buffer[9], 0xbd) << "an exact buffer gets no terminator";
  size = 10;
  ASSERT_EQ(RegQueryValueExA(key_, "Cut", nullptr, nullptr, buffer, &size), ERROR_SUCCESS);
  EXPECT_EQ(size, 9u);
  EXPECT_EQ(buffer[9], 0) << "a larger buffer gets one, not counted in the size";
  ScopedKey alone;
  ASSERT_EQ(Create(key_, "Alone", alone.out()), ERROR_SUCCESS);
  ASSERT_EQ(SetBytes(alone, "Cut", REG_SZ, kFull, 9), ERROR_SUCCESS);
  std::memset(buffer, 0xbd, sizeof buffer);
  char name[16];
  DWORD nameSize = sizeof name;
  size = sizeof buffer;
  ASSERT_EQ(RegEnumValueA(alone, 0, name, &nameSize, nullptr, nullptr, buffer, &size), ERROR_SUCCESS);
  EXPECT_EQ(size, 9u);
  EXPECT_EQ(buffer[9], 0) << "RegEnumValueA terminates the same way";
  size = sizeof buffer;
  ASSERT_EQ(RegQueryValueExA(key_, "Empty", nullptr, nullptr, buffer, &size), ERROR_SUCCESS);
  EXPECT_EQ(size, 0u);
  EXPECT_EQ(buffer[0], 'F') << "empty data leaves the buffer alone";
  SKIP_UNDER_WINE("RegSetValueExA dereferences a NULL data pointer");
  EXPECT_EQ(SetBytes(key_, "Null", REG_SZ, nullptr, 4), ERROR_NOACCESS);
}

TEST_F(Registry, EnumerationReportsShortBuffersAndTheEnd) {
  ScopedKey sub;
  ASSERT_EQ(Create(key_, "Sub", sub.out()), ERROR_SUCCESS);
  ASSERT_EQ(SetBytes(key_, "Test", REG_SZ, "foobar", 7), ERROR_SUCCESS);
  char name[16];
  BYTE data[16];
  DWORD nameSize = 3, dataSize = sizeof data, type = 0;
  std::strcpy(name, "xxxx");
  EXPECT_EQ(RegEnumKeyExA(key_, 0, name, &nameSize, nullptr, nullptr, nullptr, nullptr), ERROR_MORE_DATA);
  EXPECT_EQ(nameSize, 3u) << "the size stays as passed";
  EXPECT_STREQ(name, "xxxx");
  nameSize = 4;
  EXPECT_EQ(RegEnumKeyExA(key_, 0, name, &nameSize, nullptr, nullptr, nullptr, nullptr), ERROR_SUCCESS);
  EXPECT_EQ(nameSize, 3u);
  EXPECT_STREQ(name, "Sub");
  nameSize = sizeof name;
  EXPECT_EQ(RegEnumKeyExA(key_, 1, name, &nameSize, nullptr, nullptr, nullptr, nullptr), ERROR_NO_MORE_ITEMS);

  std::strcpy(name, "xxxx");
  nameSize = 4;  // "Test" needs 5 with its NUL
  EXPECT_EQ(RegEnumValueA(key_, 0, name, &nameSize, nullptr, &type, data, &dataSize), ERROR_MORE_DATA);
  EXPECT_EQ(nameSize, 4u);
  EXPECT_EQ(dataSize, 7u) << "the data size is told even when the name does not fit";
  EXPECT_EQ(type, static_cast<DWORD>(REG_SZ));
  std::strcpy(name, "xxxx");
  nameSize = sizeof name;
  dataSize = 2;
  EXPECT_EQ(RegEnumValueA(key_, 0, name, &nameSize, nullptr, &type, data, &dataSize), ERROR_MORE_DATA);
  EXPECT_EQ(nameSize, static_cast<DWORD>(sizeof name));
  EXPECT_EQ(dataSize, 7u);
  EXPECT_STREQ(name, "xxxx");
  dataSize = sizeof data;
  EXPECT_EQ(RegEnumValueA(key_, 0, name, &nameSize, nullptr, &type, data, &dataSize), ERROR_SUCCESS);
  EXPECT_EQ(nameSize, 4u);
  EXPECT_STREQ(reinterpret_cast<char *>(data), "foobar");
  nameSize = sizeof name;
  EXPECT_EQ(RegEnumValueA(key_, 1, name, &nameSize, nullptr, &type, data, &dataSize), ERROR_NO_MORE_ITEMS);
  EXPECT_EQ(RegEnumValueA(key_, 0, nullptr, &nameSize, nullptr, &type, data, &dataSize), ERROR_INVALID_PARAMETER);
}

TEST_F(Registry, RegistryCallsLeaveTheLastErrorAlone) {
  constexpr DWORD kMarker = 0x5eed;
  SetLastError(kMarker);
  HKEY key = nullptr;
  DWORD size = 0, one = 1;
  EXPECT_EQ(Open(key_, "Missing", &key), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(RegQueryValueExA(key_, "Missing", nullptr, nullptr, nullptr, &size), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(RegDeleteKeyA(key_, "Missing"), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(SetBytes(key_, "v", REG_DWORD, &one, 4), ERROR_SUCCESS);
  EXPECT_EQ(GetLastError(), kMarker);
}

TEST_F(Registry, QueryInfoCountsSubkeysAndValues) {
  ScopedKey a, b;
  ASSERT_EQ(Create(key_, "Short", a.out()), ERROR_SUCCESS);
  ASSERT_EQ(Create(key_, "LongerName", b.out()), ERROR_SUCCESS);
  DWORD four = 4;
  ASSERT_EQ(SetBytes(key_, "Value name", REG_SZ, "second value", 13), ERROR_SUCCESS);
  ASSERT_EQ(SetBytes(key_, "n", REG_DWORD, &four, 4), ERROR_SUCCESS);
  DWORD subkeys = 0, maxSubkey = 0, values = 0, maxName = 0, maxData = 0;
  FILETIME written{0, 0};
  ASSERT_EQ(RegQueryInfoKeyA(key_, nullptr, nullptr, nullptr, &subkeys, &maxSubkey, nullptr, &values, &maxName,
                             &maxData, nullptr, &written),
            ERROR_SUCCESS);
  EXPECT_EQ(subkeys, 2u);
  EXPECT_EQ(maxSubkey, 10u);
  EXPECT_EQ(values, 2u);
  EXPECT_EQ(maxName, 10u);
  EXPECT_EQ(maxData, 26u) << "string data counts as stored in UTF-16";
  EXPECT_NE(written.dwHighDateTime, 0u);
}

TEST_F(Registry, NullDaclDescriptorIsBuiltAsWindowsLaysItOut) {
  SECURITY_DESCRIPTOR sd;
  std::memset(&sd, 0xcc, sizeof sd);
  ASSERT_TRUE(InitializeSecurityDescriptor(&sd, SECURITY_DESCRIPTOR_REVISION));
  EXPECT_EQ(sd.Revision, SECURITY_DESCRIPTOR_REVISION);
  EXPECT_EQ(sd.Control, 0);
  EXPECT_EQ(sd.Dacl, nullptr);
  EXPECT_EQ(sd.Owner, nullptr);
  ASSERT_TRUE(SetSecurityDescriptorDacl(&sd, TRUE, nullptr, FALSE));
  EXPECT_EQ(sd.Control, SE_DACL_PRESENT);
  EXPECT_EQ(sd.Dacl, nullptr);
  SetLastError(0);
  EXPECT_FALSE(InitializeSecurityDescriptor(&sd, 2));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_UNKNOWN_REVISION));
  ScopedKey dacOnly;
  ASSERT_TRUE(InitializeSecurityDescriptor(&sd, SECURITY_DESCRIPTOR_REVISION));
  ASSERT_TRUE(SetSecurityDescriptorDacl(&sd, TRUE, nullptr, FALSE));
  ASSERT_EQ(Open(key_, "", dacOnly.out(), WRITE_DAC), ERROR_SUCCESS);
  EXPECT_EQ(RegSetKeySecurity(dacOnly, DACL_SECURITY_INFORMATION, &sd), ERROR_SUCCESS);
  EXPECT_EQ(RegSetKeySecurity(dacOnly, DACL_SECURITY_INFORMATION, nullptr), ERROR_INVALID_PARAMETER);
}

}  // namespace
