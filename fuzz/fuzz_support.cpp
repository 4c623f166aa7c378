#include "fuzz_support.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>

#include "onlcoin_module.h"

namespace fuzz {

namespace {

// A folder of this process for drive C:, in memory where the host has a memory file system.
const std::string &DriveFolder() {
  static const std::string folder = [] {
    std::error_code error;
    const std::filesystem::path base =
        std::filesystem::is_directory("/dev/shm", error) ? "/dev/shm" : std::filesystem::temp_directory_path();
    return (base / ("onlcoin-fuzz-" + std::to_string(getpid()))).string();
  }();
  // Registered once the name exists, so that the folder goes before the name does at exit.
  static const bool removedAtExit = std::atexit([] {
                                      std::error_code ignored;
                                      std::filesystem::remove_all(DriveFolder(), ignored);
                                    }) == 0;
  (void)removedAtExit;
  return folder;
}

}  // namespace

void FreshMachine() {
  winsim::Reset();
  std::error_code ignored;
  std::filesystem::remove_all(DriveFolder(), ignored);
  winsim::SetFileRoot(DriveFolder());
  RegisterOnlcoinModule();
}

std::string AddAdapter(const std::string &instanceId, bool present) {
  winsim::NewDevice device;
  device.instanceId = instanceId;
  device.classGuid = kOrvikClassGuid;
  device.hardwareIds = {kAdapterHardwareId};
  device.service = "onlbase";
  device.description = "ORVIK ISDN adapter";
  device.present = present;
  return winsim::AddDevice(device);
}

std::string DeviceCapiKey(const std::string &instanceId) {
  return winsim::DriverKeyPath(instanceId) + "\\VendorSpecific\\CAPI";
}

void Fail(const std::string &what) {
  std::fprintf(stderr, "\n*** %s\n", what.c_str());
  std::abort();
}

void CheckNothingOpen(const std::string &after) {
  if (winsim::OpenHandles().Total() != 0) Fail("left open after " + after + ":\n" + winsim::DescribeOpenHandles());
  if (!winsim::VerifierStops().empty())
    Fail("calls stopped up to " + after + ":\n" + winsim::DescribeVerifierStops(winsim::VerifierStops()));
}

}  // namespace fuzz
