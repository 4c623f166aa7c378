// General registry operations of the support library: a key path created one level at a time, a
// subkey's default value, and the depth-first deletion of a key tree, with the option of opening
// a key's access list first so that a key that refuses deletion can still be removed.
#include <string.h>

#include "setuplib.h"
#include "setuplib_constants.h"

// Creates (or opens) every level of `path` below `root`, one backslash-separated segment at a
// time, so that each level is made with full access whatever the levels above allow. Only the
// handle of the last level stays open. An empty segment opens the current level once more.
DWORD CreateKeyPath(HKEY root, const char *path, HKEY *lastLevel) {
  if (path == nullptr || lastLevel == nullptr) return SETUP_STATUS_KEY_FAILED;

  DWORD status = SETUP_STATUS_OK;
  HKEY current = root;
  bool firstLevel = true;
  const char *segment = path;
  for (;;) {
    const char *end = strchr(segment, '\\');
    if (end == nullptr) end = segment + strlen(segment);
    const size_t length = static_cast<size_t>(end - segment);

    // The segment is copied, never cut: the caller's text stays as it is, and a segment too
    // long for the name buffer is a key that cannot be created.
    HKEY next = nullptr;
    char name[kPathBufferSize];
    if (length <= kMaxPathLength) {
      memcpy(name, segment, length);
      name[length] = '\0';
      if (RegCreateKeyExA(current, name, 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS, nullptr, &next,
                          nullptr) != ERROR_SUCCESS) {
        next = nullptr;
        status = SETUP_STATUS_KEY_FAILED;
      }
    } else {
      status = SETUP_STATUS_KEY_FAILED;
    }

    // The previous level is no longer needed; the caller's root is never closed here.
    if (!firstLevel) RegCloseKey(current);
    current = next;
    firstLevel = false;

    if (*end != '\\' || status != SETUP_STATUS_OK) break;
    segment = end + 1;
  }
  *lastLevel = current;
  return status;
}

BOOL SetKeyDefaultValue(HKEY key, const char *subkeyName, const char *text) {
  if (subkeyName == nullptr || text == nullptr) return FALSE;

  HKEY subkey = nullptr;
  if (RegCreateKeyExA(key, subkeyName, 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS, nullptr, &subkey,
                      nullptr) != ERROR_SUCCESS) {
    return FALSE;
  }
  const LONG result = RegSetValueExA(subkey, kDefaultValueName, 0, REG_SZ, reinterpret_cast<const BYTE *>(text),
                                     RegistryTextSize(text));
  RegCloseKey(subkey);
  return result == ERROR_SUCCESS ? TRUE : FALSE;
}

// Deletes `path` below `root` and everything below it, deepest level first. Subkeys are always
// taken at index 0, because each one found is gone before the next is asked for. The first subkey
// that cannot be deleted stops the walk; what was deleted before stays deleted.
DWORD DeleteKeyTree(HKEY root, const char *path, BOOL grantAccess) {
  if (path == nullptr) return SETUP_STATUS_KEY_FAILED;

  HKEY key = nullptr;
  if (RegOpenKeyExA(root, path, 0, KEY_ENUMERATE_SUB_KEYS, &key) != ERROR_SUCCESS) return SETUP_STATUS_KEY_FAILED;

  LONG enumResult;
  for (;;) {
    char subkeyName[kPathBufferSize];
    DWORD subkeyNameSize = kPathBufferSize;
    FILETIME lastWriteTime;
    enumResult = RegEnumKeyExA(key, 0, subkeyName, &subkeyNameSize, nullptr, nullptr, nullptr, &lastWriteTime);
    if (enumResult != ERROR_SUCCESS) break;
    if (DeleteKeyTree(key, subkeyName, grantAccess) != SETUP_STATUS_OK) {
      RegCloseKey(key);
      return SETUP_STATUS_KEY_DELETE_FAILED;
    }
  }
  RegCloseKey(key);

  if (grantAccess) {
    // Open the key's access list to everyone, so that a key whose list refuses deletion can go.
    HKEY daclKey = nullptr;
    if (RegOpenKeyExA(root, path, 0, WRITE_DAC, &daclKey) == ERROR_SUCCESS) {
      GrantOpenAccess(daclKey);
      RegCloseKey(daclKey);
    }
  }

  // The deletion is tried even when the enumeration ended on an error; the tree then still
  // counts as not deleted completely.
  if (RegDeleteKeyA(root, path) != ERROR_SUCCESS || enumResult != ERROR_NO_MORE_ITEMS) {
    return SETUP_STATUS_KEY_DELETE_FAILED;
  }
  return SETUP_STATUS_OK;
}

// Gives the key a present but empty (null) access list, which grants every user all access.
BOOL GrantOpenAccess(HKEY key) {
  PSECURITY_DESCRIPTOR descriptor = LocalAlloc(LMEM_ZEROINIT, sizeof(SECURITY_DESCRIPTOR));
  if (descriptor == nullptr) return FALSE;

  const BOOL granted = InitializeSecurityDescriptor(descriptor, SECURITY_DESCRIPTOR_REVISION) &&
                       SetSecurityDescriptorDacl(descriptor, TRUE, nullptr, FALSE) &&
                       RegSetKeySecurity(key, DACL_SECURITY_INFORMATION, descriptor) == ERROR_SUCCESS;
  LocalFree(descriptor);
  return granted ? TRUE : FALSE;
}
