// The registry of the simulated platform: the advapi32 key and value functions, key security as
// far as a present null DACL lifting a simulated denial, and the test-facing helpers of winsim.h.
//
// What Windows does and this file does too:
// - Key and value names are compared without regard to ASCII letter case and keep the case they
//   were created with. Subkeys enumerate in the order of their upper-cased names, values in the
//   order they were created.
// - Predefined roots are plain keys with full access; opening one with an empty subkey name gives
//   the root handle back, closing one succeeds and does nothing.
// - A subkey path must not start with a backslash (ERROR_BAD_PATHNAME); empty components, as in
//   "A\\B" or a trailing backslash, are skipped; a component over 256 characters is refused with
//   ERROR_INVALID_PARAMETER. An empty subkey name opens a new handle to the same key.
// - Rights are checked per handle: values need KEY_QUERY_VALUE to read and KEY_SET_VALUE to
//   change, subkey enumeration KEY_ENUMERATE_SUB_KEYS, security changes WRITE_DAC. Creating a
//   subkey and deleting a key are checked against the key itself, not the handle: the parent must
//   not refuse KEY_CREATE_SUB_KEY, the key deleted must not refuse DELETE.
// - A key deleted while handles are open on it answers ERROR_KEY_DELETED to everything but
//   RegCloseKey.
// - RegSetValueExA counts a string's terminating NUL that the caller left out of the size when it
//   follows the data in memory; RegQueryValueExA and RegEnumValueA store one NUL after string data
//   that lacks it when the caller's buffer has room, without counting it.
// - Registry functions return their error and leave the last-error code alone.
#include <algorithm>
#include <array>
#include <cstddef>
#include <cstring>
#include <stdexcept>

#include "internal.h"
#include "registry_store.h"

namespace winsim {
namespace detail {
namespace regstore {
namespace {

struct RootInfo {
  ULONG_PTR handleValue;  // low 32 bits of the predefined handle
  const char *name;
  const char *abbreviation;
};

constexpr std::array<RootInfo, kRootCount> kRoots{{
    {0x80000000u, "HKEY_CLASSES_ROOT", "HKCR"},
    {0x80000001u, "HKEY_CURRENT_USER", "HKCU"},
    {0x80000002u, "HKEY_LOCAL_MACHINE", "HKLM"},
    {0x80000003u, "HKEY_USERS", "HKU"},
    {0x80000005u, "HKEY_CURRENT_CONFIG", "HKCC"},
}};

// Last-write times start at 2001-01-01 00:00 UTC and advance one second per change, so that they
// are plausible, distinct and reproducible.
constexpr uint64_t kFirstWriteTime = 0x01C0735AF5C04000ull;
constexpr uint64_t kTicksPerSecond = 10000000ull;

struct Store {
  std::array<std::shared_ptr<Key>, kRoots.size()> roots;
  uint64_t changes = 0;
};

Store &TheStore() {
  static Store store;
  return store;
}

void BuildRoots() {
  Store &s = TheStore();
  for (size_t i = 0; i < kRoots.size(); ++i) {
    auto root = std::make_shared<Key>();
    root->name = kRoots[i].name;
    root->fullPath = kRoots[i].name;
    root->isRoot = true;
    root->lastWrite = kFirstWriteTime;
    s.roots[i] = root;
  }
  s.changes = 0;
}

void MarkDeleted(Key &key) {
  for (auto &entry : key.subkeys) MarkDeleted(*entry.second);
  key.subkeys.clear();
  key.values.clear();
  key.valueIndex.clear();
  key.deleted = true;
  key.parent = nullptr;
  ++key.generation;
}

// Upper-cases a name into a buffer kept between calls. Name lookups are by far the most frequent
// registry operation (the simulated SetupAPI looks up every device's keys by full path for every
// device list it builds), and this way they allocate nothing.
const std::string &UpperInBuffer(const char *name, size_t length) {
  thread_local std::string buffer;
  buffer.assign(name, length);
  for (char &c : buffer)
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  return buffer;
}

bool NameEquals(const char *text, size_t length, const char *name) {
  const size_t nameLength = std::strlen(name);
  if (length != nameLength) return false;
  for (size_t i = 0; i < length; ++i) {
    unsigned char x = static_cast<unsigned char>(text[i]), y = static_cast<unsigned char>(name[i]);
    if (x >= 'a' && x <= 'z') x = static_cast<unsigned char>(x - 'a' + 'A');
    if (y >= 'a' && y <= 'z') y = static_cast<unsigned char>(y - 'a' + 'A');
    if (x != y) return false;
  }
  return true;
}

// The root named by the first component of a path (full name or abbreviation), -1 for none.
int RootIndexNamed(const char *name, size_t length) {
  for (size_t i = 0; i < kRoots.size(); ++i) {
    if (NameEquals(name, length, kRoots[i].name) || NameEquals(name, length, kRoots[i].abbreviation)) {
      return static_cast<int>(i);
    }
  }
  return -1;
}

Key *FindSubkeyNamed(Key &parent, const char *name, size_t length) {
  auto it = parent.subkeys.find(UpperInBuffer(name, length));
  return it == parent.subkeys.end() ? nullptr : it->second.get();
}

}  // namespace

bool ParsePath(const std::string &path, ParsedPath *parsed) {
  size_t end = path.find('\\');
  parsed->root = RootIndexNamed(path.data(), end == std::string::npos ? path.size() : end);
  parsed->parts.clear();
  if (parsed->root < 0) return false;
  while (end != std::string::npos) {
    size_t start = end + 1;
    end = path.find('\\', start);
    std::string part = path.substr(start, end == std::string::npos ? std::string::npos : end - start);
    if (part.empty()) continue;
    if (part.size() > kMaxKeyNameLength) return false;
    parsed->parts.push_back(part);
  }
  return true;
}

ULONG_PTR RootHandleValue(size_t index) {
  return kRoots[index].handleValue;
}

void ResetStore() {
  BuildRoots();
}

Key &Root(int index) {
  Store &s = TheStore();
  if (!s.roots[0]) BuildRoots();
  return *s.roots[static_cast<size_t>(index)];
}

Key *FindSubkey(Key &parent, const std::string &name) {
  return FindSubkeyNamed(parent, name.data(), name.size());
}

Key *FindKey(const ParsedPath &path) {
  if (path.root < 0) return nullptr;
  Key *key = &Root(path.root);
  for (const std::string &part : path.parts) {
    key = FindSubkey(*key, part);
    if (!key) return nullptr;
  }
  return key;
}

const Value *FindValue(const Key &key, const std::string &name) {
  auto it = key.valueIndex.find(UpperInBuffer(name.data(), name.size()));
  return it == key.valueIndex.end() ? nullptr : &key.values[it->second];
}

void Touch(Key &key) {
  Store &s = TheStore();
  ++s.changes;
  key.lastWrite = kFirstWriteTime + s.changes * kTicksPerSecond;
}

Key &AddSubkey(Key &parent, const std::string &name, bool isVolatile, const std::string &className) {
  auto child = std::make_shared<Key>();
  child->name = name;
  child->fullPath = parent.fullPath + "\\" + name;
  child->parent = &parent;
  child->isVolatile = isVolatile || parent.isVolatile;
  child->className = className;
  Touch(*child);
  Key &result = *child;
  parent.subkeys.emplace(Upper(name), std::move(child));
  ++parent.generation;
  Touch(parent);
  return result;
}

Key &EnsureKey(const ParsedPath &path, bool isVolatile) {
  Key *key = &Root(path.root);
  for (const std::string &part : path.parts) {
    Key *next = FindSubkey(*key, part);
    key = next ? next : &AddSubkey(*key, part, isVolatile);
  }
  return *key;
}

void PutValue(Key &key, const std::string &name, DWORD type, std::vector<BYTE> data) {
  std::string upper = Upper(name);
  auto it = key.valueIndex.find(upper);
  if (it != key.valueIndex.end()) {
    Value &value = key.values[it->second];
    value.type = type;
    value.data = std::move(data);
  } else {
    key.valueIndex.emplace(upper, key.values.size());
    key.values.push_back(Value{name, type, std::move(data)});
  }
  Touch(key);
}

bool RemoveValue(Key &key, const std::string &name) {
  auto it = key.valueIndex.find(Upper(name));
  if (it == key.valueIndex.end()) return false;
  size_t position = it->second;
  key.values.erase(key.values.begin() + static_cast<std::ptrdiff_t>(position));
  key.valueIndex.erase(it);
  for (auto &entry : key.valueIndex)
    if (entry.second > position) --entry.second;
  Touch(key);
  return true;
}

void RemoveTree(Key &key) {
  if (key.deleted) return;
  if (key.isRoot) {
    while (!key.subkeys.empty()) RemoveTree(*key.subkeys.begin()->second);
    key.values.clear();
    key.valueIndex.clear();
    Touch(key);
    return;
  }
  Key *parent = key.parent;
  std::shared_ptr<Key> keepAlive = parent->subkeys.at(Upper(key.name));
  parent->subkeys.erase(Upper(key.name));
  ++parent->generation;
  Touch(*parent);
  MarkDeleted(*keepAlive);
}

Key *SubkeyAt(Key &key, size_t index) {
  if (index >= key.subkeys.size()) return nullptr;
  if (key.cursorGeneration != key.generation || index < key.cursorIndex) {
    key.cursor = key.subkeys.begin();
    key.cursorIndex = 0;
    key.cursorGeneration = key.generation;
  }
  while (key.cursorIndex < index) {
    ++key.cursor;
    ++key.cursorIndex;
  }
  return key.cursor->second.get();
}

}  // namespace regstore

namespace {

using regstore::Key;
using regstore::Value;

// Rights a root handle has.
constexpr REGSAM kRootAccess = KEY_ALL_ACCESS;
constexpr REGSAM kWow64Flags = KEY_WOW64_64KEY | KEY_WOW64_32KEY;
constexpr REGSAM kGenericRights = GENERIC_READ | GENERIC_WRITE | GENERIC_EXECUTE | GENERIC_ALL;
// Control flag of a security descriptor whose pointers are offsets from its start.
constexpr SECURITY_DESCRIPTOR_CONTROL kSelfRelative = 0x8000;
// Security information bits RegSetKeySecurity accepts.
constexpr SECURITY_INFORMATION kOwnerInformation = 0x1;
constexpr SECURITY_INFORMATION kGroupInformation = 0x2;
constexpr SECURITY_INFORMATION kSaclInformation = 0x8;
// Size reported for a key's security descriptor by RegQueryInfoKeyA.
constexpr DWORD kReportedDescriptorSize = 20;

struct KeyHandle final : HandleObject {
  KeyHandle(std::shared_ptr<Key> k, REGSAM granted)
      : HandleObject(HandleKind::RegKey), key(std::move(k)), access(granted) {}
  std::string Describe() const override { return key->fullPath + (key->deleted ? " (deleted)" : ""); }
  std::shared_ptr<Key> key;
  REGSAM access;
};

// The key a handle stands for and the rights it was opened with.
struct Target {
  Key *key = nullptr;
  REGSAM access = 0;
  bool isRootHandle = false;
};

int RootIndexOf(HKEY handle) {
  auto value = reinterpret_cast<ULONG_PTR>(handle);
  // Only the low 32 bits of a predefined handle count, as on 64-bit Windows.
  auto low = static_cast<ULONG_PTR>(static_cast<uint32_t>(value));
  if (value == 0) return -1;
  for (size_t i = 0; i < regstore::kRootCount; ++i)
    if (regstore::RootHandleValue(i) == low) return static_cast<int>(i);
  return -1;
}

LONG Resolve(HKEY handle, Target *target) {
  int root = RootIndexOf(handle);
  if (root >= 0) {
    target->key = &regstore::Root(root);
    target->access = kRootAccess;
    target->isRootHandle = true;
    return ERROR_SUCCESS;
  }
  auto *object = Lookup<KeyHandle>(handle, HandleKind::RegKey);
  if (!object) return ERROR_INVALID_HANDLE;
  target->key = object->key.get();
  target->access = object->access;
  target->isRootHandle = false;
  return ERROR_SUCCESS;
}

// Whether a key handle given to `function` names a key: a predefined root or an open key. Anything
// else is a verifier stop.
bool KeyHandleValid(const char *function, HKEY handle) {
  return RootIndexOf(handle) >= 0 || Verified<KeyHandle>(function, handle, HandleKind::RegKey) != nullptr;
}

bool IsString(DWORD type) {
  return type == REG_SZ || type == REG_EXPAND_SZ || type == REG_MULTI_SZ;
}

// The rights an access mask asks for, with generic rights mapped to key rights and the WOW64 view
// flags (which select nothing here) dropped.
REGSAM Requested(REGSAM desired) {
  REGSAM mask = desired & ~kWow64Flags;
  if (mask & GENERIC_READ) mask |= KEY_READ;
  if (mask & GENERIC_WRITE) mask |= KEY_WRITE;
  if (mask & GENERIC_EXECUTE) mask |= KEY_EXECUTE;
  if (mask & GENERIC_ALL) mask |= KEY_ALL_ACCESS;
  return mask & ~kGenericRights;
}

// Whether the key's security lets an open asking for `desired` through. Asking for WRITE_DAC alone
// always succeeds: the owner may always change the access list.
bool OpenAllowed(const Key &key, REGSAM desired) {
  REGSAM wanted = Requested(desired) & ~MAXIMUM_ALLOWED;
  if (wanted == WRITE_DAC) return true;
  return (wanted & key.denied) == 0;
}

REGSAM Granted(const Key &key, REGSAM desired) {
  REGSAM wanted = Requested(desired);
  if (wanted & MAXIMUM_ALLOWED) wanted = (wanted & ~MAXIMUM_ALLOWED) | (KEY_ALL_ACCESS & ~key.denied);
  return wanted;
}

HKEY NewHandle(Key &key, REGSAM desired) {
  return static_cast<HKEY>(AddHandle(std::make_unique<KeyHandle>(key.shared_from_this(), Granted(key, desired))));
}

LONG OpenExisting(Key &key, REGSAM desired, HKEY *result) {
  if (!OpenAllowed(key, desired)) return ERROR_ACCESS_DENIED;
  *result = NewHandle(key, desired);
  return ERROR_SUCCESS;
}

// Takes a subkey path given to an API function apart.
LONG SplitSubkey(const char *subKey, std::vector<std::string> *parts) {
  parts->clear();
  if (!subKey) return ERROR_SUCCESS;
  if (subKey[0] == '\\') return ERROR_BAD_PATHNAME;
  std::string part;
  for (const char *p = subKey;; ++p) {
    if (*p == '\\' || *p == '\0') {
      if (part.size() > regstore::kMaxKeyNameLength) return ERROR_INVALID_PARAMETER;
      if (!part.empty()) parts->push_back(part);
      part.clear();
      if (*p == '\0') break;
    } else {
      part += *p;
    }
  }
  return ERROR_SUCCESS;
}

LONG Walk(Key &start, const std::vector<std::string> &parts, Key **found) {
  Key *key = &start;
  for (const std::string &part : parts) {
    key = regstore::FindSubkey(*key, part);
    if (!key) return ERROR_FILE_NOT_FOUND;
  }
  *found = key;
  return ERROR_SUCCESS;
}

// Opens or creates the key at `parts` below `start`, creating every missing level.
LONG CreateAlong(Key &start, const std::vector<std::string> &parts, bool wantVolatile,
                 const std::string &className, REGSAM desired, HKEY *result, DWORD *disposition) {
  Key *key = &start;
  bool created = false;
  for (size_t i = 0; i < parts.size(); ++i) {
    Key *next = regstore::FindSubkey(*key, parts[i]);
    created = next == nullptr;
    if (created) {
      if (key->isVolatile && !wantVolatile) return ERROR_CHILD_MUST_BE_VOLATILE;
      if (key->denied & KEY_CREATE_SUB_KEY) return ERROR_ACCESS_DENIED;
      next = &regstore::AddSubkey(*key, parts[i], wantVolatile, i + 1 == parts.size() ? className : "");
    }
    key = next;
  }
  if (!created && !OpenAllowed(*key, desired)) return ERROR_ACCESS_DENIED;
  *result = NewHandle(*key, desired);
  if (disposition) *disposition = created ? REG_CREATED_NEW_KEY : REG_OPENED_EXISTING_KEY;
  return ERROR_SUCCESS;
}

// Copies value data out the way RegQueryValueExA and RegEnumValueA do.
LONG CopyData(const Value &value, LPDWORD type, LPBYTE data, LPDWORD size) {
  auto length = static_cast<DWORD>(value.data.size());
  if (type) *type = value.type;
  if (data) {
    if (length > *size) {
      *size = length;
      return ERROR_MORE_DATA;
    }
    if (length) std::memcpy(data, value.data.data(), length);
    // String data stored without its terminator gets one when the buffer has room for it.
    if (IsString(value.type) && length && length < *size && data[length - 1] != 0) data[length] = 0;
  }
  if (size) *size = length;
  return ERROR_SUCCESS;
}

FILETIME ToFileTime(uint64_t ticks) {
  FILETIME time;
  time.dwLowDateTime = static_cast<DWORD>(ticks);
  time.dwHighDateTime = static_cast<DWORD>(ticks >> 32);
  return time;
}

std::string Join(const std::string &base, const std::string &tail) {
  if (base.empty()) return tail;
  return base + "\\" + tail;
}

// Trace subject of a call on `handle` and a subkey path.
std::string KeySubject(HKEY handle, const char *subKey) {
  std::string base = KeyPathOf(handle);
  if (!subKey || !*subKey) return base;
  return Join(base, subKey);
}

// Trace subject of a call on a value: key path, backslash, value name ("" for the default value).
std::string ValueSubject(HKEY handle, const char *valueName) {
  return KeyPathOf(handle) + "\\" + (valueName ? valueName : "");
}

LONG Report(LONG result) {
  TraceResult(std::to_string(result));
  return result;
}

// ---- The functions' bodies, after the call has been entered --------------------------------

LONG OpenKeyBody(HKEY hKey, LPCSTR lpSubKey, REGSAM samDesired, PHKEY phkResult) {
  if (!phkResult) return ERROR_INVALID_PARAMETER;
  Target target;
  if (LONG rc = Resolve(hKey, &target)) return rc;
  if ((!lpSubKey || !*lpSubKey) && target.isRootHandle) {
    *phkResult = hKey;
    return ERROR_SUCCESS;
  }
  *phkResult = nullptr;
  if (target.key->deleted) return ERROR_KEY_DELETED;
  std::vector<std::string> parts;
  if (LONG rc = SplitSubkey(lpSubKey, &parts)) return rc;
  Key *key = nullptr;
  if (LONG rc = Walk(*target.key, parts, &key)) return rc;
  return OpenExisting(*key, samDesired, phkResult);
}

LONG CreateKeyBody(HKEY hKey, LPCSTR lpSubKey, LPSTR lpClass, DWORD dwOptions, REGSAM samDesired, PHKEY phkResult,
                   LPDWORD lpdwDisposition) {
  if (!phkResult) return ERROR_BADKEY;
  Target target;
  if (LONG rc = Resolve(hKey, &target)) return rc;
  *phkResult = nullptr;
  if (target.key->deleted) return ERROR_KEY_DELETED;
  std::vector<std::string> parts;
  if (LONG rc = SplitSubkey(lpSubKey, &parts)) return rc;
  return CreateAlong(*target.key, parts, (dwOptions & REG_OPTION_VOLATILE) != 0, lpClass ? lpClass : "",
                     samDesired, phkResult, lpdwDisposition);
}

LONG SetValueBody(HKEY hKey, LPCSTR lpValueName, DWORD dwType, const BYTE *lpData, DWORD cbData) {
  Target target;
  if (LONG rc = Resolve(hKey, &target)) return rc;
  if (!(target.access & KEY_SET_VALUE)) return ERROR_ACCESS_DENIED;
  if (target.key->deleted) return ERROR_KEY_DELETED;
  std::string name = lpValueName ? lpValueName : "";
  if (name.size() > regstore::kMaxValueNameLength) return ERROR_INVALID_PARAMETER;
  if (!lpData && cbData) return ERROR_NOACCESS;
  DWORD size = cbData;
  // A string whose terminating NUL follows it in memory but was left out of the size is stored
  // with the NUL, as Windows does.
  if (IsString(dwType) && size && lpData[size - 1] != 0 && lpData[size] == 0) ++size;
  std::vector<BYTE> data(lpData, lpData + (lpData ? size : 0));
  regstore::PutValue(*target.key, name, dwType, std::move(data));
  return ERROR_SUCCESS;
}

LONG QueryValueBody(HKEY hKey, LPCSTR lpValueName, LPDWORD lpReserved, LPDWORD lpType, LPBYTE lpData,
                    LPDWORD lpcbData) {
  if ((lpData && !lpcbData) || lpReserved) return ERROR_INVALID_PARAMETER;
  Target target;
  if (LONG rc = Resolve(hKey, &target)) return rc;
  if (!(target.access & KEY_QUERY_VALUE)) return ERROR_ACCESS_DENIED;
  if (target.key->deleted) return ERROR_KEY_DELETED;
  const Value *value = regstore::FindValue(*target.key, lpValueName ? lpValueName : "");
  if (!value) {
    if (lpcbData && !lpData) *lpcbData = 0;
    return ERROR_FILE_NOT_FOUND;
  }
  return CopyData(*value, lpType, lpData, lpcbData);
}

LONG DeleteValueBody(HKEY hKey, LPCSTR lpValueName) {
  Target target;
  if (LONG rc = Resolve(hKey, &target)) return rc;
  if (!(target.access & KEY_SET_VALUE)) return ERROR_ACCESS_DENIED;
  if (target.key->deleted) return ERROR_KEY_DELETED;
  return regstore::RemoveValue(*target.key, lpValueName ? lpValueName : "") ? ERROR_SUCCESS : ERROR_FILE_NOT_FOUND;
}

LONG EnumKeyBody(HKEY hKey, DWORD dwIndex, LPSTR lpName, LPDWORD lpcchName, LPDWORD lpReserved, LPSTR lpClass,
                 LPDWORD lpcchClass, PFILETIME lpftLastWriteTime) {
  if (lpReserved || !lpName || !lpcchName) return ERROR_INVALID_PARAMETER;
  Target target;
  if (LONG rc = Resolve(hKey, &target)) return rc;
  if (!(target.access & KEY_ENUMERATE_SUB_KEYS)) return ERROR_ACCESS_DENIED;
  if (target.key->deleted) return ERROR_KEY_DELETED;
  Key *subkey = regstore::SubkeyAt(*target.key, dwIndex);
  if (!subkey) return ERROR_NO_MORE_ITEMS;
  // Too small a buffer leaves both buffers and their sizes as they were.
  if (subkey->name.size() >= *lpcchName || (lpClass && lpcchClass && subkey->className.size() >= *lpcchClass))
    return ERROR_MORE_DATA;
  std::memcpy(lpName, subkey->name.c_str(), subkey->name.size() + 1);
  *lpcchName = static_cast<DWORD>(subkey->name.size());
  if (lpcchClass) {
    if (lpClass) std::memcpy(lpClass, subkey->className.c_str(), subkey->className.size() + 1);
    *lpcchClass = static_cast<DWORD>(subkey->className.size());
  }
  if (lpftLastWriteTime) *lpftLastWriteTime = ToFileTime(subkey->lastWrite);
  return ERROR_SUCCESS;
}

LONG EnumValueBody(HKEY hKey, DWORD dwIndex, LPSTR lpValueName, LPDWORD lpcchValueName, LPDWORD lpReserved,
                   LPDWORD lpType, LPBYTE lpData, LPDWORD lpcbData) {
  if (lpReserved || !lpValueName || !lpcchValueName || (lpData && !lpcbData)) return ERROR_INVALID_PARAMETER;
  Target target;
  if (LONG rc = Resolve(hKey, &target)) return rc;
  if (!(target.access & KEY_QUERY_VALUE)) return ERROR_ACCESS_DENIED;
  if (target.key->deleted) return ERROR_KEY_DELETED;
  if (dwIndex >= target.key->values.size()) return ERROR_NO_MORE_ITEMS;
  const Value &value = target.key->values[dwIndex];
  bool nameFits = value.name.size() < *lpcchValueName;
  bool dataFits = !lpData || value.data.size() <= *lpcbData;
  if (!nameFits || !dataFits) {
    // Neither buffer is written; the name size stays as passed, the data size tells what is needed.
    if (lpType) *lpType = value.type;
    if (lpcbData) *lpcbData = static_cast<DWORD>(value.data.size());
    return ERROR_MORE_DATA;
  }
  std::memcpy(lpValueName, value.name.c_str(), value.name.size() + 1);
  *lpcchValueName = static_cast<DWORD>(value.name.size());
  return CopyData(value, lpType, lpData, lpcbData);
}

LONG DeleteKeyBody(HKEY hKey, LPCSTR lpSubKey) {
  if (!lpSubKey) return ERROR_INVALID_PARAMETER;
  Target target;
  if (LONG rc = Resolve(hKey, &target)) return rc;
  if (target.key->deleted) return ERROR_KEY_DELETED;
  std::vector<std::string> parts;
  if (LONG rc = SplitSubkey(lpSubKey, &parts)) return rc;
  Key *key = nullptr;
  if (LONG rc = Walk(*target.key, parts, &key)) return rc;
  if (key->isRoot || (key->denied & DELETE) || !key->subkeys.empty()) return ERROR_ACCESS_DENIED;
  regstore::RemoveTree(*key);
  return ERROR_SUCCESS;
}

LONG QueryInfoBody(HKEY hKey, LPSTR lpClass, LPDWORD lpcchClass, LPDWORD lpReserved, LPDWORD lpcSubKeys,
                   LPDWORD lpcbMaxSubKeyLen, LPDWORD lpcbMaxClassLen, LPDWORD lpcValues,
                   LPDWORD lpcbMaxValueNameLen, LPDWORD lpcbMaxValueLen, LPDWORD lpcbSecurityDescriptor,
                   PFILETIME lpftLastWriteTime) {
  if (lpReserved || (lpClass && !lpcchClass)) return ERROR_INVALID_PARAMETER;
  Target target;
  if (LONG rc = Resolve(hKey, &target)) return rc;
  if (!(target.access & KEY_QUERY_VALUE)) return ERROR_ACCESS_DENIED;
  Key &key = *target.key;
  if (key.deleted) return ERROR_KEY_DELETED;
  LONG result = ERROR_SUCCESS;
  if (lpcchClass) {
    auto length = static_cast<DWORD>(key.className.size());
    if (!lpClass) {
      *lpcchClass = length;
    } else if (length < *lpcchClass) {
      std::memcpy(lpClass, key.className.c_str(), length + 1);
      *lpcchClass = length;
    } else if (*lpcchClass > 0) {
      // The class is cut to the buffer, which ends with a NUL.
      DWORD kept = *lpcchClass - 1;
      std::memcpy(lpClass, key.className.data(), kept);
      lpClass[kept] = '\0';
      *lpcchClass = kept;
      result = ERROR_MORE_DATA;
    }
  }
  DWORD maxSubkey = 0, maxClass = 0, maxName = 0, maxData = 0;
  for (const auto &entry : key.subkeys) {
    maxSubkey = std::max(maxSubkey, static_cast<DWORD>(entry.second->name.size()));
    maxClass = std::max(maxClass, static_cast<DWORD>(entry.second->className.size()));
  }
  for (const Value &value : key.values) {
    maxName = std::max(maxName, static_cast<DWORD>(value.name.size()));
    // Windows keeps strings in UTF-16 and reports their stored size, twice the 8-bit size.
    auto stored = static_cast<DWORD>(value.data.size() * (IsString(value.type) ? 2 : 1));
    maxData = std::max(maxData, stored);
  }
  if (lpcSubKeys) *lpcSubKeys = static_cast<DWORD>(key.subkeys.size());
  if (lpcbMaxSubKeyLen) *lpcbMaxSubKeyLen = maxSubkey;
  if (lpcbMaxClassLen) *lpcbMaxClassLen = maxClass;
  if (lpcValues) *lpcValues = static_cast<DWORD>(key.values.size());
  if (lpcbMaxValueNameLen) *lpcbMaxValueNameLen = maxName;
  if (lpcbMaxValueLen) *lpcbMaxValueLen = maxData;
  if (lpcbSecurityDescriptor) *lpcbSecurityDescriptor = kReportedDescriptorSize;
  if (lpftLastWriteTime) *lpftLastWriteTime = ToFileTime(key.lastWrite);
  return result;
}

// Reads the DACL part of an absolute or self-relative security descriptor.
void DaclOf(const void *descriptor, bool *present, bool *isNull) {
  const auto *bytes = static_cast<const BYTE *>(descriptor);
  SECURITY_DESCRIPTOR_CONTROL control;
  std::memcpy(&control, bytes + offsetof(SECURITY_DESCRIPTOR, Control), sizeof control);
  *present = (control & SE_DACL_PRESENT) != 0;
  if (control & kSelfRelative) {
    // Revision, Sbz1, Control, then 32-bit offsets of owner, group, SACL and DACL.
    constexpr size_t kDaclOffsetPosition = 16;
    DWORD offset;
    std::memcpy(&offset, bytes + kDaclOffsetPosition, sizeof offset);
    *isNull = offset == 0;
  } else {
    PACL dacl;
    std::memcpy(&dacl, bytes + offsetof(SECURITY_DESCRIPTOR, Dacl), sizeof dacl);
    *isNull = dacl == nullptr;
  }
}

LONG SetKeySecurityBody(HKEY hKey, SECURITY_INFORMATION info, PSECURITY_DESCRIPTOR descriptor) {
  Target target;
  if (LONG rc = Resolve(hKey, &target)) return rc;
  constexpr SECURITY_INFORMATION kKnown =
      kOwnerInformation | kGroupInformation | DACL_SECURITY_INFORMATION | kSaclInformation;
  if (!descriptor || info == 0 || (info & ~kKnown)) return ERROR_INVALID_PARAMETER;
  if ((info & DACL_SECURITY_INFORMATION) && !(target.access & WRITE_DAC)) return ERROR_ACCESS_DENIED;
  if ((info & (kOwnerInformation | kGroupInformation)) && !(target.access & WRITE_OWNER))
    return ERROR_ACCESS_DENIED;
  if (target.key->deleted) return ERROR_KEY_DELETED;
  if (static_cast<const BYTE *>(descriptor)[0] != SECURITY_DESCRIPTOR_REVISION) return ERROR_UNKNOWN_REVISION;
  if (info & DACL_SECURITY_INFORMATION) {
    bool present = false, isNull = false;
    DaclOf(descriptor, &present, &isNull);
    // No DACL, or a present null one, grants everyone everything. Access lists themselves are not
    // modelled: a descriptor with a real ACL leaves the key's denial as it was.
    if (!present || isNull) target.key->denied = 0;
  }
  return ERROR_SUCCESS;
}

// ---- Test-facing helpers -------------------------------------------------------------------

regstore::ParsedPath ParseOrThrow(const std::string &path) {
  regstore::ParsedPath parsed;
  if (!regstore::ParsePath(path, &parsed)) throw std::invalid_argument("winsim: not a registry key path: " + path);
  return parsed;
}

// Reads the path as regstore::ParsePath does (the root by name or abbreviation, empty components
// skipped, a component over kMaxKeyNameLength refused) but walks it in place instead of taking it
// apart into strings first.
Key *KeyAt(const std::string &path) {
  size_t end = path.find('\\');
  const int root = regstore::RootIndexNamed(path.data(), end == std::string::npos ? path.size() : end);
  if (root < 0) return nullptr;
  Key *key = &regstore::Root(root);
  while (end != std::string::npos) {
    const size_t start = end + 1;
    end = path.find('\\', start);
    const size_t length = (end == std::string::npos ? path.size() : end) - start;
    if (length == 0) continue;
    if (length > regstore::kMaxKeyNameLength) return nullptr;
    key = regstore::FindSubkeyNamed(*key, path.data() + start, length);
    if (!key) return nullptr;
  }
  return key;
}

bool ResetRegistry() {
  return RegisterFamily(FamilyHooks{[] { regstore::ResetStore(); }, nullptr, nullptr});
}

const bool registered = ResetRegistry();

}  // namespace

std::string KeyPathOf(HKEY key) {
  int root = RootIndexOf(key);
  if (root >= 0) return regstore::Root(root).fullPath;
  auto *object = Lookup<KeyHandle>(key, HandleKind::RegKey);
  return object ? object->key->fullPath : std::string();
}

LONG OpenKeyInternal(const std::string &fullPath, REGSAM access, HKEY *result) {
  *result = nullptr;
  Key *key = KeyAt(fullPath);
  if (!key) return ERROR_FILE_NOT_FOUND;
  return OpenExisting(*key, access, result);
}

namespace {

void RemoveVolatileBelow(Key &key) {
  for (auto it = key.subkeys.begin(); it != key.subkeys.end();) {
    Key &child = *it->second;
    ++it;  // RemoveTree takes the child out of the map
    if (child.isVolatile)
      regstore::RemoveTree(child);
    else
      RemoveVolatileBelow(child);
  }
}

}  // namespace

void RemoveVolatileKeys() {
  for (size_t root = 0; root < regstore::kRootCount; ++root)
    RemoveVolatileBelow(regstore::Root(static_cast<int>(root)));
}

LONG CreateKeyInternal(const std::string &fullPath, REGSAM access, HKEY *result, bool isVolatile) {
  *result = nullptr;
  regstore::ParsedPath parsed;
  if (!regstore::ParsePath(fullPath, &parsed)) return ERROR_INVALID_PARAMETER;
  return CreateAlong(regstore::Root(parsed.root), parsed.parts, isVolatile, "", access, result, nullptr);
}

}  // namespace detail

using namespace detail;

bool KeyExists(const std::string &keyPath) {
  return KeyAt(keyPath) != nullptr;
}

std::optional<RegValue> GetValue(const std::string &keyPath, const std::string &name) {
  Key *key = KeyAt(keyPath);
  if (!key) return std::nullopt;
  const regstore::Value *value = regstore::FindValue(*key, name);
  if (!value) return std::nullopt;
  return RegValue{value->type, value->data};
}

std::optional<DWORD> GetDword(const std::string &keyPath, const std::string &name) {
  auto value = GetValue(keyPath, name);
  if (!value || value->type != REG_DWORD || value->data.size() != sizeof(DWORD)) return std::nullopt;
  DWORD result;
  std::memcpy(&result, value->data.data(), sizeof result);
  return result;
}

std::optional<std::string> GetString(const std::string &keyPath, const std::string &name) {
  // Read in place rather than through a copy of the value: the simulated SetupAPI reads every
  // device's class and driver this way.
  Key *key = KeyAt(keyPath);
  if (!key) return std::nullopt;
  const regstore::Value *value = regstore::FindValue(*key, name);
  if (!value || (value->type != REG_SZ && value->type != REG_EXPAND_SZ)) return std::nullopt;
  return std::string(value->data.begin(), std::find(value->data.begin(), value->data.end(), BYTE{0}));
}

void SetValue(const std::string &keyPath, const std::string &name, DWORD type, const std::vector<BYTE> &data) {
  regstore::PutValue(regstore::EnsureKey(ParseOrThrow(keyPath)), name, type, data);
}

void SetDword(const std::string &keyPath, const std::string &name, DWORD value) {
  std::vector<BYTE> data(sizeof value);
  std::memcpy(data.data(), &value, sizeof value);
  SetValue(keyPath, name, REG_DWORD, data);
}

void SetString(const std::string &keyPath, const std::string &name, const std::string &text) {
  std::vector<BYTE> data(text.begin(), text.end());
  data.push_back(0);
  SetValue(keyPath, name, REG_SZ, data);
}

void CreateKey(const std::string &keyPath, bool isVolatile) {
  regstore::EnsureKey(ParseOrThrow(keyPath), isVolatile);
}

void DeleteTree(const std::string &keyPath) {
  if (Key *key = KeyAt(keyPath)) regstore::RemoveTree(*key);
}

std::vector<std::string> SubkeyNames(const std::string &keyPath) {
  std::vector<std::string> names;
  if (Key *key = KeyAt(keyPath))
    for (const auto &entry : key->subkeys) names.push_back(entry.second->name);
  return names;
}

void DenyAccess(const std::string &keyPath, REGSAM denied) {
  Key *key = KeyAt(keyPath);
  if (!key) throw std::invalid_argument("winsim: DenyAccess on a missing key: " + keyPath);
  key->denied = Requested(denied);
}

}  // namespace winsim

extern "C" {

using namespace winsim::detail;

LONG WINAPI RegCreateKeyExA(HKEY hKey, LPCSTR lpSubKey, DWORD Reserved, LPSTR lpClass, DWORD dwOptions,
                            REGSAM samDesired, const SECURITY_ATTRIBUTES *lpSecurityAttributes, PHKEY phkResult,
                            LPDWORD lpdwDisposition) {
  (void)lpSecurityAttributes;
  if (auto fault = Enter("RegCreateKeyExA", KeySubject(hKey, lpSubKey), ERROR_ACCESS_DENIED)) {
    if (phkResult) *phkResult = nullptr;
    return static_cast<LONG>(*fault);
  }
  if (!KeyHandleValid("RegCreateKeyExA", hKey)) return Report(ERROR_INVALID_HANDLE);
  // The reserved word must be 0, as Windows documents and Wine checks.
  if (Reserved != 0) return Report(ERROR_INVALID_PARAMETER);
  return Report(CreateKeyBody(hKey, lpSubKey, lpClass, dwOptions, samDesired, phkResult, lpdwDisposition));
}

LONG WINAPI RegOpenKeyExA(HKEY hKey, LPCSTR lpSubKey, DWORD ulOptions, REGSAM samDesired, PHKEY phkResult) {
  if (auto fault = Enter("RegOpenKeyExA", KeySubject(hKey, lpSubKey), ERROR_ACCESS_DENIED)) {
    if (phkResult) *phkResult = nullptr;
    return static_cast<LONG>(*fault);
  }
  if (!KeyHandleValid("RegOpenKeyExA", hKey)) return Report(ERROR_INVALID_HANDLE);
  // Windows documents 0 and REG_OPTION_OPEN_LINK here and nothing about other options (Wine opens
  // the key all the same), so the verifier stops the call, which fails as the kernel's open
  // documents for an invalid option.
  if ((ulOptions & ~static_cast<DWORD>(REG_OPTION_OPEN_LINK)) != 0) {
    StopByVerifier("RegOpenKeyExA",
                   "options " + std::to_string(ulOptions) + " are neither 0 nor REG_OPTION_OPEN_LINK");
    return Report(ERROR_INVALID_PARAMETER);
  }
  return Report(OpenKeyBody(hKey, lpSubKey, samDesired, phkResult));
}

LONG WINAPI RegCloseKey(HKEY hKey) {
  if (auto fault = Enter("RegCloseKey", KeyPathOf(hKey), ERROR_INVALID_HANDLE)) return static_cast<LONG>(*fault);
  if (!KeyHandleValid("RegCloseKey", hKey)) return Report(ERROR_INVALID_HANDLE);
  if (RootIndexOf(hKey) < 0) RemoveHandle(hKey, HandleKind::RegKey);
  return Report(ERROR_SUCCESS);
}

LONG WINAPI RegSetValueExA(HKEY hKey, LPCSTR lpValueName, DWORD Reserved, DWORD dwType, const BYTE *lpData,
                           DWORD cbData) {
  (void)Reserved;
  if (auto fault = Enter("RegSetValueExA", ValueSubject(hKey, lpValueName), ERROR_ACCESS_DENIED))
    return static_cast<LONG>(*fault);
  if (!KeyHandleValid("RegSetValueExA", hKey)) return Report(ERROR_INVALID_HANDLE);
  return Report(SetValueBody(hKey, lpValueName, dwType, lpData, cbData));
}

LONG WINAPI RegQueryValueExA(HKEY hKey, LPCSTR lpValueName, LPDWORD lpReserved, LPDWORD lpType, LPBYTE lpData,
                             LPDWORD lpcbData) {
  if (auto fault = Enter("RegQueryValueExA", ValueSubject(hKey, lpValueName), ERROR_FILE_NOT_FOUND))
    return static_cast<LONG>(*fault);
  if (!KeyHandleValid("RegQueryValueExA", hKey)) return Report(ERROR_INVALID_HANDLE);
  return Report(QueryValueBody(hKey, lpValueName, lpReserved, lpType, lpData, lpcbData));
}

LONG WINAPI RegDeleteValueA(HKEY hKey, LPCSTR lpValueName) {
  if (auto fault = Enter("RegDeleteValueA", ValueSubject(hKey, lpValueName), ERROR_ACCESS_DENIED))
    return static_cast<LONG>(*fault);
  if (!KeyHandleValid("RegDeleteValueA", hKey)) return Report(ERROR_INVALID_HANDLE);
  return Report(DeleteValueBody(hKey, lpValueName));
}

LONG WINAPI RegEnumKeyExA(HKEY hKey, DWORD dwIndex, LPSTR lpName, LPDWORD lpcchName, LPDWORD lpReserved,
                          LPSTR lpClass, LPDWORD lpcchClass, PFILETIME lpftLastWriteTime) {
  if (auto fault = Enter("RegEnumKeyExA", KeyPathOf(hKey), ERROR_ACCESS_DENIED)) return static_cast<LONG>(*fault);
  if (!KeyHandleValid("RegEnumKeyExA", hKey)) return Report(ERROR_INVALID_HANDLE);
  return Report(EnumKeyBody(hKey, dwIndex, lpName, lpcchName, lpReserved, lpClass, lpcchClass, lpftLastWriteTime));
}

LONG WINAPI RegEnumValueA(HKEY hKey, DWORD dwIndex, LPSTR lpValueName, LPDWORD lpcchValueName, LPDWORD lpReserved,
                          LPDWORD lpType, LPBYTE lpData, LPDWORD lpcbData) {
  if (auto fault = Enter("RegEnumValueA", KeyPathOf(hKey), ERROR_ACCESS_DENIED)) return static_cast<LONG>(*fault);
  if (!KeyHandleValid("RegEnumValueA", hKey)) return Report(ERROR_INVALID_HANDLE);
  return Report(EnumValueBody(hKey, dwIndex, lpValueName, lpcchValueName, lpReserved, lpType, lpData, lpcbData));
}

LONG WINAPI RegDeleteKeyA(HKEY hKey, LPCSTR lpSubKey) {
  if (auto fault = Enter("RegDeleteKeyA", KeySubject(hKey, lpSubKey), ERROR_ACCESS_DENIED))
    return static_cast<LONG>(*fault);
  if (!KeyHandleValid("RegDeleteKeyA", hKey)) return Report(ERROR_INVALID_HANDLE);
  return Report(DeleteKeyBody(hKey, lpSubKey));
}

LONG WINAPI RegQueryInfoKeyA(HKEY hKey, LPSTR lpClass, LPDWORD lpcchClass, LPDWORD lpReserved, LPDWORD lpcSubKeys,
                             LPDWORD lpcbMaxSubKeyLen, LPDWORD lpcbMaxClassLen, LPDWORD lpcValues,
                             LPDWORD lpcbMaxValueNameLen, LPDWORD lpcbMaxValueLen, LPDWORD lpcbSecurityDescriptor,
                             PFILETIME lpftLastWriteTime) {
  if (auto fault = Enter("RegQueryInfoKeyA", KeyPathOf(hKey), ERROR_ACCESS_DENIED))
    return static_cast<LONG>(*fault);
  if (!KeyHandleValid("RegQueryInfoKeyA", hKey)) return Report(ERROR_INVALID_HANDLE);
  return Report(QueryInfoBody(hKey, lpClass, lpcchClass, lpReserved, lpcSubKeys, lpcbMaxSubKeyLen, lpcbMaxClassLen,
                              lpcValues, lpcbMaxValueNameLen, lpcbMaxValueLen, lpcbSecurityDescriptor,
                              lpftLastWriteTime));
}

LONG WINAPI RegSetKeySecurity(HKEY hKey, SECURITY_INFORMATION SecurityInformation,
                              PSECURITY_DESCRIPTOR pSecurityDescriptor) {
  if (auto fault = Enter("RegSetKeySecurity", KeyPathOf(hKey), ERROR_ACCESS_DENIED))
    return static_cast<LONG>(*fault);
  if (!KeyHandleValid("RegSetKeySecurity", hKey)) return Report(ERROR_INVALID_HANDLE);
  return Report(SetKeySecurityBody(hKey, SecurityInformation, pSecurityDescriptor));
}

BOOL WINAPI InitializeSecurityDescriptor(PSECURITY_DESCRIPTOR pSecurityDescriptor, DWORD dwRevision) {
  if (auto fault = Enter("InitializeSecurityDescriptor", "", ERROR_INVALID_PARAMETER)) {
    SetError(*fault);
    return FALSE;
  }
  if (!pSecurityDescriptor) {
    SetError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  if (dwRevision != SECURITY_DESCRIPTOR_REVISION) {
    SetError(ERROR_UNKNOWN_REVISION);
    return FALSE;
  }
  auto *descriptor = static_cast<SECURITY_DESCRIPTOR *>(pSecurityDescriptor);
  std::memset(descriptor, 0, sizeof *descriptor);
  descriptor->Revision = SECURITY_DESCRIPTOR_REVISION;
  return TRUE;
}

BOOL WINAPI SetSecurityDescriptorDacl(PSECURITY_DESCRIPTOR pSecurityDescriptor, BOOL bDaclPresent, PACL pDacl,
                                      BOOL bDaclDefaulted) {
  if (auto fault = Enter("SetSecurityDescriptorDacl", "", ERROR_INVALID_SECURITY_DESCR)) {
    SetError(*fault);
    return FALSE;
  }
  if (!pSecurityDescriptor) {
    SetError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  auto *descriptor = static_cast<SECURITY_DESCRIPTOR *>(pSecurityDescriptor);
  if (descriptor->Revision != SECURITY_DESCRIPTOR_REVISION) {
    SetError(ERROR_UNKNOWN_REVISION);
    return FALSE;
  }
  if (descriptor->Control & kSelfRelative) {
    SetError(ERROR_INVALID_SECURITY_DESCR);
    return FALSE;
  }
  if (!bDaclPresent) {
    descriptor->Control &= static_cast<SECURITY_DESCRIPTOR_CONTROL>(~SE_DACL_PRESENT);
    return TRUE;
  }
  descriptor->Control |= SE_DACL_PRESENT;
  descriptor->Dacl = pDacl;
  if (bDaclDefaulted)
    descriptor->Control |= SE_DACL_DEFAULTED;
  else
    descriptor->Control &= static_cast<SECURITY_DESCRIPTOR_CONTROL>(~SE_DACL_DEFAULTED);
  return TRUE;
}

}  // extern "C"
