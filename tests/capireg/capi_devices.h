// Building blocks for the CAPI registry tests: adapters of a setup class with their CAPI values,
// the device being installed as a SetupAPI element, and the controller registry's paths.
#ifndef TESTS_CAPIREG_CAPI_DEVICES_H
#define TESTS_CAPIREG_CAPI_DEVICES_H

#include <gtest/gtest.h>
#include <winsim.h>

#include <optional>
#include <string>

namespace capitest {

inline const std::string kIsdnClass = "{6BDD1FC1-810F-11D0-BEC7-08002BE2092F}";
inline const std::string kOtherClass = "{4D36E972-E325-11CE-BFC1-08002BE10318}";
inline const std::string kCapiRoot = "HKEY_LOCAL_MACHINE\\SOFTWARE\\CAPI20";

inline std::string CapiKeyOf(const std::string &instanceId) {
  return winsim::DriverKeyPath(instanceId) + "\\VendorSpecific\\CAPI";
}

// Adds an adapter of a class. `holds` is the controller number it stores (as number - 1); a
// device with neither a product code nor a number gets no VendorSpecific\CAPI key at all.
inline std::string AddAdapter(const std::string &instanceId, bool present, std::optional<DWORD> holds,
                              std::optional<DWORD> productCode = 1,
                              std::optional<DWORD> wanEndPoints = std::nullopt,
                              const std::string &classGuid = kIsdnClass) {
  winsim::NewDevice device;
  device.instanceId = instanceId;
  device.classGuid = classGuid;
  device.hardwareIds = {"ORVIK\\ISDN"};
  device.service = "onlbase";
  device.present = present;
  const std::string id = winsim::AddDevice(device);
  if (productCode) winsim::SetDword(CapiKeyOf(id), "ProductCode", *productCode);
  if (holds) winsim::SetDword(CapiKeyOf(id), "Controller", *holds - 1);
  if (wanEndPoints) winsim::SetDword(winsim::DriverKeyPath(id), "WanEndPoints", *wanEndPoints);
  return id;
}

// The number that a device stores, as the numbering reads it (stored value + 1).
inline std::optional<DWORD> HeldNumber(const std::string &instanceId) {
  auto stored = winsim::GetDword(CapiKeyOf(instanceId), "Controller");
  if (!stored) return std::nullopt;
  return *stored + 1;
}

// A manufacturer key m with its values and controller keys.
inline std::string ManufacturerKey(int m) {
  return kCapiRoot + "\\" + std::to_string(m);
}
inline std::string ControllerKey(int m, DWORD n) {
  return ManufacturerKey(m) + "\\" + std::to_string(n);
}
inline void AddManufacturer(int m, const std::string &name, std::optional<DWORD> count,
                            std::initializer_list<DWORD> controllers = {}) {
  winsim::SetString(ManufacturerKey(m), "Manufacturer", name);
  winsim::SetString(ManufacturerKey(m), "DeviceName", "CAPI20" + std::to_string(m));
  if (count) winsim::SetDword(ManufacturerKey(m), "NumberOfControllers", *count);
  for (DWORD n : controllers) winsim::CreateKey(ControllerKey(m, n));
}

// The list of all devices of a class with the element of one of them, as SetupAPI hands it to
// the co-installer; destroyed with the object.
class ClassElement {
 public:
  ClassElement(const std::string &instanceId, const std::string &classGuid = kIsdnClass) {
    GUID guid{};
    EXPECT_TRUE(winsim::ParseGuid(classGuid, &guid));
    set_ = SetupDiGetClassDevsA(&guid, nullptr, nullptr, 0);
    EXPECT_NE(set_, INVALID_HANDLE_VALUE);
    for (DWORD i = 0;; ++i) {
      SP_DEVINFO_DATA element{};
      element.cbSize = sizeof(element);
      if (!SetupDiEnumDeviceInfo(set_, i, &element)) break;
      if (InstanceId(&element) == instanceId) {
        data_ = element;
        return;
      }
    }
    ADD_FAILURE() << instanceId << " is not in the list of class " << classGuid;
  }
  ~ClassElement() {
    if (set_ != INVALID_HANDLE_VALUE) SetupDiDestroyDeviceInfoList(set_);
  }
  ClassElement(const ClassElement &) = delete;
  ClassElement &operator=(const ClassElement &) = delete;

  HDEVINFO set() const { return set_; }
  PSP_DEVINFO_DATA device() { return &data_; }

 private:
  std::string InstanceId(PSP_DEVINFO_DATA element) const {
    char id[MAX_PATH] = "";
    EXPECT_TRUE(SetupDiGetDeviceInstanceIdA(set_, element, id, sizeof(id), nullptr));
    return id;
  }
  HDEVINFO set_ = INVALID_HANDLE_VALUE;
  SP_DEVINFO_DATA data_{};
};

}  // namespace capitest

#endif  // TESTS_CAPIREG_CAPI_DEVICES_H
