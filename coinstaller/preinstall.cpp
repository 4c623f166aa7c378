// Before an adapter is installed: stale maker-class INF files go, the class device list and the
// selected driver are checked, and the device gets its CAPI controller number, which travels to
// the post-processing call in the context. A failure is written to the event log and refuses the
// installation; a number allocated on the way is given back first.
//
// A number the device stores is taken again only while it is still the device's (its key exists
// and no other adapter of the maker stores it; a key that is gone comes back when nobody else
// stores the number); otherwise the device is numbered as one without a number. Every installation
// first repairs the maker's numbering (see numbering.cpp). A number that the device held before
// this installation goes to post-processing with the mark kHeldBeforeMark, so that a failed
// installation leaves it with the device.
#include "capireg.h"
#include "coinstaller_constants.h"
#include "phases.h"
#include "setuplib.h"
#include "text_buffers.h"

namespace {

// Reports a failed platform call with its last-error code, as 4 bytes in memory order.
void ReportFailedCall(DWORD eventId, DWORD lastError) {
  ReportErrorEventWithData(kEventSourceName, eventId, &lastError, sizeof(lastError));
}

// Refuses the installation after the number was allocated: the number goes back, the list goes.
DWORD RefuseAfterAllocation(DWORD eventId, DWORD controller, HDEVINFO classDevices) {
  ReportErrorEvent(kEventSourceName, eventId);
  ReleaseController(kManufacturerName, controller);
  SetupDiDestroyDeviceInfoList(classDevices);
  return ERROR_DI_DONT_INSTALL;
}

// Deletes one INF of the maker's class and its precompiled copy beside it.
void DeleteVendorInf(const char *infFolder, const char *fileName) {
  char path[kTextBufferSize];
  // A name that does not fit beside the folder names no file that could be deleted whole.
  if (!BuildText(path, sizeof(path), {infFolder, fileName})) return;
  DeleteFileA(path);
  const DWORD length = TextLength(path);
  if (length < kInfExtensionFirstLetterFromEnd) return;
  path[length - kInfExtensionFirstLetterFromEnd] = kPrecompiledInfLetter;
  DeleteFileA(path);
}

}  // namespace

void PurgeStaleVendorInfs() {
  char windowsFolder[kTextBufferSize];
  const UINT length = GetWindowsDirectoryA(windowsFolder, sizeof(windowsFolder));
  // 0 is a failure; a length of the buffer's size or more is the size the path would need.
  if (length == 0 || length >= sizeof(windowsFolder)) return;

  char infFolder[kTextBufferSize];
  const char *separator = (windowsFolder[length - 1] == '\\') ? "" : "\\";
  if (!BuildText(infFolder, sizeof(infFolder), {windowsFolder, separator, kInfSubfolder})) return;
  char pattern[kTextBufferSize];
  if (!BuildText(pattern, sizeof(pattern), {infFolder, kInfSearchPattern})) return;

  WIN32_FIND_DATAA entry;
  HANDLE search = FindFirstFileA(pattern, &entry);
  if (search == INVALID_HANDLE_VALUE) return;
  do {
    // The platform finds a bare INF name in the INF folder.
    GUID classGuid;
    char className[kTextBufferSize];
    if (SetupDiGetINFClassA(entry.cFileName, &classGuid, className, sizeof(className), nullptr) &&
        EqualsIgnoringAsciiCase(className, sizeof(className), kVendorInfClassName)) {
      DeleteVendorInf(infFolder, entry.cFileName);
    }
  } while (FindNextFileA(search, &entry));
  FindClose(search);
}

DWORD PreInstallDevice(HDEVINFO set, PSP_DEVINFO_DATA device, PCOINSTALLER_CONTEXT_DATA context) {
  PurgeStaleVendorInfs();

  HDEVINFO classDevices = SetupDiGetClassDevsA(&device->ClassGuid, nullptr, nullptr, DIGCF_PRESENT);
  if (classDevices == INVALID_HANDLE_VALUE) {
    ReportFailedCall(EVENT_GET_CLASS_DEVS_FAILED, GetLastError());
    return ERROR_DI_DONT_INSTALL;
  }

  // Only that a driver is selected matters; the record itself is not used.
  SP_DRVINFO_DATA_A selectedDriver = {};
  selectedDriver.cbSize = sizeof(selectedDriver);
  if (!SetupDiGetSelectedDriverA(set, device, &selectedDriver)) {
    ReportFailedCall(EVENT_GET_SELECTED_DRIVER_FAILED, GetLastError());
    SetupDiDestroyDeviceInfoList(classDevices);
    return ERROR_DI_DONT_INSTALL;
  }

  // A device that still holds its number keeps it; nothing is allocated or named again. First the
  // numbering is looked at and repaired, which also tells whether the stored number is still the
  // device's. The class's devices are looked at once for all of it, their presence taken from the
  // list of present devices above.
  DWORD controller = 0;
  const BOOL storesNumber = ReadDeviceController(set, device, &controller);
  capireg::NumberingFacts facts;
  capireg::LearnNumberingFacts(device, classDevices, &facts);
  const StoredControllerUse use =
      PrepareControllers(&facts, set, device, kManufacturerName, storesNumber ? &controller : nullptr);
  char capiDeviceName[kTextBufferSize] = "";
  const BOOL numbered =
      use != STORED_CONTROLLER_NONE ||
      AllocateController(&facts, device, kManufacturerName, capiDeviceName, sizeof(capiDeviceName), &controller);
  capireg::ForgetNumberingFacts(&facts);
  if (!numbered) {
    ReportErrorEvent(kEventSourceName, EVENT_ADD_CAPI_DEVICE_FAILED);
    SetupDiDestroyDeviceInfoList(classDevices);
    return ERROR_DI_DONT_INSTALL;
  }
  if (use == STORED_CONTROLLER_NONE) {
    if (!WriteDeviceController(set, device, controller)) {
      return RefuseAfterAllocation(EVENT_SET_CONTROLLER_FAILED, controller, classDevices);
    }
    // The number already stored in the device's key stays there; a later installation of the
    // same device finds it and, when nobody else stores it, takes it again with its key.
    if (!SetCapiDeviceName(capiDeviceName)) {
      return RefuseAfterAllocation(EVENT_SET_CAPI_DEVICE_NAME_FAILED, controller, classDevices);
    }
  }

  // A number held before this installation stays with the device whatever the installation does.
  const DWORD privateNumber = use == STORED_CONTROLLER_HELD ? (controller | kHeldBeforeMark) : controller;
  context->PrivateData = reinterpret_cast<PVOID>(static_cast<ULONG_PTR>(privateNumber));
  SetupDiDestroyDeviceInfoList(classDevices);
  AddCapiSupportToAutoexec();
  WriteBuildNumber(kProductPath, kBuildNumber);
  return ERROR_DI_POSTPROCESSING_REQUIRED;
}
