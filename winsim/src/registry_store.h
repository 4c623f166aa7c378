// The registry's in-memory store, shared by the advapi32 registry functions (registry.cpp) and the
// .reg text reader and writer (regfile.cpp). Nothing here counts as a platform call.
//
// Keys live in a tree under five predefined roots. Subkeys are kept in a map keyed by the
// upper-cased name, which is the order in which the registry enumerates them; values are kept in
// creation order with an index by upper-cased name. Names keep the letter case they were created
// with. A deleted key is detached from the tree and marked, so that handles still open on it can
// report ERROR_KEY_DELETED.
#ifndef WINSIM_REGISTRY_STORE_H
#define WINSIM_REGISTRY_STORE_H

#include <windows.h>

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace winsim::detail::regstore {

// Longest key name component, in characters; a longer one makes the call fail with
// ERROR_INVALID_PARAMETER.
constexpr size_t kMaxKeyNameLength = 256;
// Longest value name, in characters.
constexpr size_t kMaxValueNameLength = 16383;

struct Value {
  std::string name;
  DWORD type = REG_NONE;
  std::vector<BYTE> data;
};

struct Key : std::enable_shared_from_this<Key> {
  std::string name;       // as created ("CAPI20"); the root's canonical name for a root
  std::string fullPath;   // "HKEY_LOCAL_MACHINE\SOFTWARE\CAPI20"
  Key *parent = nullptr;  // null for roots and for deleted keys
  bool isRoot = false;
  bool isVolatile = false;
  bool deleted = false;
  REGSAM denied = 0;        // rights refused to opens until the DACL is replaced
  std::string className;    // class string given at creation
  uint64_t lastWrite = 0;   // FILETIME ticks of the last change
  uint64_t generation = 0;  // bumped whenever the set of subkeys changes

  std::map<std::string, std::shared_ptr<Key>> subkeys;  // by upper-cased name
  std::vector<Value> values;                            // creation order
  std::map<std::string, size_t> valueIndex;             // upper-cased name -> position

  // Enumeration cursor, so that walking subkeys by increasing index stays linear overall.
  size_t cursorIndex = 0;
  std::map<std::string, std::shared_ptr<Key>>::iterator cursor;
  uint64_t cursorGeneration = ~uint64_t(0);
};

// A registry path taken apart: the root's index and the name components (empty ones dropped).
struct ParsedPath {
  int root = -1;
  std::vector<std::string> parts;
};

// Splits "HKEY_LOCAL_MACHINE\A\B" (or "HKLM\A\B"); false when the root is unknown or a component
// is longer than kMaxKeyNameLength.
bool ParsePath(const std::string &path, ParsedPath *parsed);

// The predefined roots: HKEY_CLASSES_ROOT, HKEY_CURRENT_USER, HKEY_LOCAL_MACHINE, HKEY_USERS,
// HKEY_CURRENT_CONFIG.
constexpr size_t kRootCount = 5;
Key &Root(int index);
// The low 32 bits of the predefined handle of a root.
ULONG_PTR RootHandleValue(size_t index);
// Forgets every key; only the empty roots remain.
void ResetStore();

Key *FindKey(const ParsedPath &path);
Key *FindSubkey(Key &parent, const std::string &name);
const Value *FindValue(const Key &key, const std::string &name);

// Creates a missing subkey; the new key is volatile when asked or when its parent is volatile.
Key &AddSubkey(Key &parent, const std::string &name, bool isVolatile, const std::string &className = "");
// Creates every missing key of the path, each with its parent's volatility (or `isVolatile`).
Key &EnsureKey(const ParsedPath &path, bool isVolatile = false);

// Replaces or creates a value; an existing value keeps its place and the letter case of its name.
void PutValue(Key &key, const std::string &name, DWORD type, std::vector<BYTE> data);
bool RemoveValue(Key &key, const std::string &name);

// Detaches the key and everything below it from the tree and marks them deleted. Removing a root
// only empties it.
void RemoveTree(Key &key);

// The subkey at an enumeration index, or null past the end.
Key *SubkeyAt(Key &key, size_t index);

void Touch(Key &key);

}  // namespace winsim::detail::regstore

#endif  // WINSIM_REGISTRY_STORE_H
