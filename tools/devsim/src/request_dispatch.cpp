#include "request_dispatch.h"

#include <winsim.h>

#include <algorithm>
#include <optional>
#include <vector>

#include "registry_read.h"
#include "status_names.h"

namespace devsim {

namespace {

using CoInstallerProc = DWORD(CALLBACK *)(DI_FUNCTION, HDEVINFO, PSP_DEVINFO_DATA, PCOINSTALLER_CONTEXT_DATA);

// Where setup classes keep their class installer registration.
constexpr const char *kClassKey = "SYSTEM\\CurrentControlSet\\Control\\Class\\";
constexpr const char *kClassInstallerValue = "Installer32";

struct CoInstaller {
  std::string registration;  // "file,entry" as registered
  std::string origin;        // "class" or "device"
  HMODULE module = nullptr;
  CoInstallerProc proc = nullptr;
  COINSTALLER_CONTEXT_DATA context{};
  bool wantsPostProcessing = false;
};

// The co-installers of one request; their modules are freed with it, also when the request ends
// with an input error.
struct CoInstallerChain : std::vector<CoInstaller> {
  CoInstallerChain() = default;
  CoInstallerChain(const CoInstallerChain &) = delete;
  CoInstallerChain &operator=(const CoInstallerChain &) = delete;
  ~CoInstallerChain() {
    for (CoInstaller &coInstaller : *this) {
      if (coInstaller.module != nullptr) FreeLibrary(coInstaller.module);
    }
  }
};

// Stops tracing the module's platform calls when the call ends, however it ends.
class CallTrace {
 public:
  CallTrace(bool on, InstallLog &log) : on_(on) {
    if (on_) winsim::SetCallTrace([&log](const std::string &line) { log.ApiLine(line); });
  }
  ~CallTrace() {
    if (on_) winsim::SetCallTrace(nullptr);
  }
  CallTrace(const CallTrace &) = delete;
  CallTrace &operator=(const CallTrace &) = delete;

 private:
  bool on_;
};

// Requests that device co-installers take no part in: the platform calls only class
// co-installers for them.
bool DeviceCoInstallersTakePart(DI_FUNCTION request) {
  return request != DIF_ALLOW_INSTALL && request != DIF_INSTALLDEVICEFILES && request != DIF_SELECTBESTCOMPATDRV;
}

std::vector<std::string> DeviceRegistrations(HDEVINFO set, PSP_DEVINFO_DATA device) {
  HKEY key = SetupDiOpenDevRegKey(set, device, DICS_FLAG_GLOBAL, 0, DIREG_DRV, KEY_READ);
  if (key == INVALID_HANDLE_VALUE) return {};
  std::vector<std::string> list = ReadStringList(key, kCoInstallers32Value).value_or(std::vector<std::string>{});
  RegCloseKey(key);
  return list;
}

std::vector<std::string> ClassRegistrations(const std::string &classGuid) {
  HKEY key = nullptr;
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, kCoDeviceInstallersKey, 0, KEY_READ, &key) != ERROR_SUCCESS) return {};
  std::vector<std::string> list = ReadStringList(key, classGuid.c_str()).value_or(std::vector<std::string>{});
  RegCloseKey(key);
  return list;
}

std::optional<std::string> ClassInstaller(const std::string &classGuid) {
  HKEY key = nullptr;
  std::string path = kClassKey + classGuid;
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS) return std::nullopt;
  std::optional<std::string> installer = ReadString(key, kClassInstallerValue);
  RegCloseKey(key);
  return installer;
}

// Loads the module of a registration and finds its entry; logs why when it cannot.
void Load(CoInstaller &coInstaller, size_t number, InstallLog &log) {
  const std::string &registration = coInstaller.registration;
  size_t comma = registration.find(',');
  std::string file = registration.substr(0, comma);
  std::string entry = comma == std::string::npos ? kDefaultCoInstallerEntry : registration.substr(comma + 1);
  std::string name = "CoInstaller " + std::to_string(number);
  coInstaller.module = LoadLibraryA(file.c_str());
  if (coInstaller.module == nullptr) {
    log.Line(name + " (" + registration + "): '" + file + "' cannot be loaded: " + DescribeStatus(GetLastError()) +
             "; not called");
    return;
  }
  // An export's address comes as FARPROC; it is cast through the generic function type to the
  // co-installer signature the registration promises.
  coInstaller.proc = reinterpret_cast<CoInstallerProc>(
      reinterpret_cast<void (*)()>(GetProcAddress(coInstaller.module, entry.c_str())));
  if (coInstaller.proc == nullptr) {
    log.Line(name + " (" + registration + "): no entry point '" + entry + "' in '" + file +
             "': " + DescribeStatus(GetLastError()) + "; not called");
    FreeLibrary(coInstaller.module);
    coInstaller.module = nullptr;
  }
}

DWORD Call(CoInstaller &coInstaller, DI_FUNCTION request, HDEVINFO set, PSP_DEVINFO_DATA device, InstallLog &log,
           const DispatchOptions &options) {
  CallTrace trace(options.traceModuleCalls, log);
  return coInstaller.proc(request, set, device, &coInstaller.context);
}

}  // namespace

DWORD CallClassInstaller(DI_FUNCTION request, HDEVINFO set, PSP_DEVINFO_DATA device,
                         const DefaultAction &defaultAction, InstallLog &log, const DispatchOptions &options) {
  const std::string requestName = RequestName(request);
  const std::string classGuid = winsim::FormatGuid(device->ClassGuid);
  log.Line("{" + requestName + "} " + ClockText());
  DWORD status = NO_ERROR;
  {
    LogIndent indent(log);

    CoInstallerChain chain;
    for (const std::string &registration : ClassRegistrations(classGuid)) {
      chain.push_back(CoInstaller{registration, "class"});
    }
    if (DeviceCoInstallersTakePart(request)) {
      for (const std::string &registration : DeviceRegistrations(set, device)) {
        chain.push_back(CoInstaller{registration, "device"});
      }
    }
    for (size_t i = 0; i < chain.size(); ++i) Load(chain[i], i + 1, log);

    // Pre-processing, in order, until one fails the request.
    for (size_t i = 0; i < chain.size(); ++i) {
      CoInstaller &coInstaller = chain[i];
      if (coInstaller.proc == nullptr) continue;
      const std::string name = "CoInstaller " + std::to_string(i + 1);
      log.Line(name + " (" + coInstaller.origin + ", " + coInstaller.registration + "): Enter " + ClockText());
      coInstaller.context = COINSTALLER_CONTEXT_DATA{FALSE, NO_ERROR, nullptr};
      DWORD result = Call(coInstaller, request, set, device, log, options);
      log.Line(name + ": Exit (" + DescribeStatus(result) + ")");
      if (result == ERROR_DI_POSTPROCESSING_REQUIRED) {
        coInstaller.wantsPostProcessing = true;
      } else if (result != NO_ERROR) {
        status = result;
        log.Line(name + " failed the request; the rest of it is not run");
        break;
      }
    }

    if (status == NO_ERROR) {
      std::optional<std::string> classInstaller = ClassInstaller(classGuid);
      log.Line("Class installer: " + (classInstaller
                                          ? *classInstaller + " (not simulated; the default action runs)"
                                          : std::string("none")));
      if (defaultAction) {
        log.Line("Default installer: Enter " + ClockText());
        {
          LogIndent inner(log);
          status = defaultAction(log);
        }
        log.Line("Default installer: Exit (" + DescribeStatus(status) + ")");
      } else {
        log.Line("Default installer: none for this request");
      }
    }

    // Post-processing, in reverse order; each sees the status so far and may change it.
    for (size_t i = chain.size(); i-- > 0;) {
      CoInstaller &coInstaller = chain[i];
      if (!coInstaller.wantsPostProcessing) continue;
      const std::string name = "CoInstaller " + std::to_string(i + 1);
      coInstaller.context.PostProcessing = TRUE;
      coInstaller.context.InstallResult = status;
      log.Line(name + ": Enter (Post Processing, InstallResult " + DescribeStatus(status) + ") " + ClockText());
      status = Call(coInstaller, request, set, device, log, options);
      log.Line(name + ": Exit (Post Processing) (" + DescribeStatus(status) + ")");
    }
  }
  log.Line("{" + requestName + " - exit(" + DescribeStatus(status) + ")} " + ClockText());
  return status;
}

}  // namespace devsim
