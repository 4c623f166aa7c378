#include "numbering_check.h"

#include <winsim.h>
// setupapi.h needs windows.h first, as on Windows.
#include <setupapi.h>

#include <optional>

namespace devsim {

namespace {

constexpr const char *kCapiRoot = "HKEY_LOCAL_MACHINE\\SOFTWARE\\CAPI20";
constexpr const char *kMakerName = "ORVIK AG";
constexpr size_t kManufacturerBufferSize = 260;
constexpr DWORD kMakerProductCode = 1;

bool SameNameIgnoringCase(const std::string &a, const std::string &b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    char x = a[i], y = b[i];
    if (x >= 'A' && x <= 'Z') x = static_cast<char>(x - 'A' + 'a');
    if (y >= 'A' && y <= 'Z') y = static_cast<char>(y - 'A' + 'a');
    if (x != y) return false;
  }
  return true;
}

// A value as the co-installer reads a REG_DWORD: 4 bytes or fewer of any type, zero-extended.
std::optional<DWORD> FourByteValue(const std::string &key, const std::string &name) {
  const std::optional<winsim::RegValue> value = winsim::GetValue(key, name);
  if (!value || value->data.size() > sizeof(DWORD)) return std::nullopt;
  DWORD result = 0;
  for (size_t i = 0; i < value->data.size(); ++i) result |= DWORD(value->data[i]) << (8 * i);
  return result;
}

bool NamesTheMaker(const std::string &manufacturerKey) {
  const std::optional<winsim::RegValue> value = winsim::GetValue(manufacturerKey, "Manufacturer");
  if (!value || value->data.size() >= kManufacturerBufferSize) return false;
  std::string text(value->data.begin(), value->data.end());
  text = text.substr(0, text.find('\0'));
  return SameNameIgnoringCase(text, kMakerName);
}

// A controller key's name read as a number: leading white space, an optional sign, the digits up
// to the first other character, unsigned 32-bit.
DWORD KeyNumber(const std::string &name) {
  size_t i = 0;
  while (i < name.size() && (name[i] == ' ' || (name[i] >= '\t' && name[i] <= '\r'))) ++i;
  bool negative = false;
  if (i < name.size() && (name[i] == '+' || name[i] == '-')) negative = name[i++] == '-';
  DWORD value = 0;
  for (; i < name.size() && name[i] >= '0' && name[i] <= '9'; ++i) value = value * 10 + DWORD(name[i] - '0');
  return negative ? 0u - value : value;
}

// The key name of a number as the co-installer writes it ("%d").
std::string KeyName(DWORD number) {
  return std::to_string(static_cast<int>(number));
}

// The names of the manufacturer keys that name the maker, in enumeration order.
std::vector<std::string> MakerKeyNames() {
  std::vector<std::string> makerKeys;
  if (!winsim::KeyExists(kCapiRoot)) return makerKeys;
  for (const std::string &name : winsim::SubkeyNames(kCapiRoot)) {
    if (NamesTheMaker(std::string(kCapiRoot) + "\\" + name)) makerKeys.push_back(name);
  }
  return makerKeys;
}

struct Holder {
  std::string id;
  std::string label;  // "'name' ID (absent)"
  DWORD number;
};

// The adapters of the maker in the class that store a number, in the class's enumeration order.
std::vector<Holder> ReadHolders(const std::string &classGuid, const std::map<std::string, std::string> &names) {
  std::vector<Holder> holders;
  GUID guid;
  if (!winsim::ParseGuid(classGuid, &guid)) return holders;
  HDEVINFO set = SetupDiGetClassDevsA(&guid, nullptr, nullptr, 0);
  if (set == INVALID_HANDLE_VALUE) return holders;
  SP_DEVINFO_DATA data{};
  data.cbSize = sizeof data;
  for (DWORD i = 0; SetupDiEnumDeviceInfo(set, i, &data); ++i) {
    char id[MAX_PATH] = "";
    if (!SetupDiGetDeviceInstanceIdA(set, &data, id, sizeof id, nullptr)) continue;
    const std::string driverKey = winsim::DriverKeyPath(id);
    if (driverKey.empty()) continue;
    const std::string capiKey = driverKey + "\\VendorSpecific\\CAPI";
    const std::optional<DWORD> stored = FourByteValue(capiKey, "Controller");
    if (FourByteValue(capiKey, "ProductCode") != kMakerProductCode || !stored) continue;
    std::string label;
    const auto named = names.find(id);
    if (named != names.end()) label = "'" + named->second + "' ";
    label += id;
    if (!winsim::IsDevicePresent(id)) label += " (absent)";
    holders.push_back(Holder{id, label, *stored + 1});
  }
  SetupDiDestroyDeviceInfoList(set);
  return holders;
}

}  // namespace

std::vector<NumberingProblem> CheckNumbering(const std::string &classGuid,
                                             const std::map<std::string, std::string> &names) {
  std::vector<NumberingProblem> problems;
  auto add = [&problems](NumberingFault fault, const std::string &text, std::vector<std::string> devices = {}) {
    problems.push_back({fault, text, std::move(devices)});
  };

  const std::vector<std::string> makerKeys = MakerKeyNames();
  const std::string shortRoot = "SOFTWARE\\CAPI20\\";
  for (size_t i = 1; i < makerKeys.size(); ++i) {
    add(NumberingFault::SecondMakerKey, "manufacturer keys " + shortRoot + makerKeys[0] + " and " + shortRoot +
                                            makerKeys[i] + " both name \"" + kMakerName +
                                            "\"; the co-installer uses the first");
  }
  const std::string makerKey = makerKeys.empty() ? "" : std::string(kCapiRoot) + "\\" + makerKeys[0];
  const std::string shownKey = makerKeys.empty() ? "" : shortRoot + makerKeys[0];
  const std::vector<std::string> controllerKeys =
      makerKey.empty() ? std::vector<std::string>{} : winsim::SubkeyNames(makerKey);

  const std::vector<Holder> holders = ReadHolders(classGuid, names);
  std::map<DWORD, std::vector<const Holder *>> byNumber;
  for (const Holder &holder : holders) byNumber[holder.number].push_back(&holder);
  for (const auto &[number, sharing] : byNumber) {
    if (sharing.size() > 1) {
      std::string text;
      std::vector<std::string> ids;
      for (size_t i = 0; i < sharing.size(); ++i) {
        text += (i == 0 ? "" : i + 1 == sharing.size() ? " and " : ", ") + sharing[i]->label;
        ids.push_back(sharing[i]->id);
      }
      add(NumberingFault::SharedNumber,
          text + (sharing.size() == 2 ? " both" : " all") + " store CAPI controller " + std::to_string(number),
          ids);
    }
    const bool hasKey = !makerKey.empty() && winsim::KeyExists(makerKey + "\\" + KeyName(number));
    if (!hasKey) {
      for (const Holder *holder : sharing) {
        add(NumberingFault::NumberWithoutKey,
            holder->label + " stores CAPI controller " + std::to_string(number) + ", which has no key " +
                (makerKey.empty() ? std::string("(there is no manufacturer key \"") + kMakerName + "\")"
                                  : "under " + shownKey),
            {holder->id});
      }
    }
  }

  if (makerKey.empty()) return problems;
  for (const std::string &name : controllerKeys) {
    if (!byNumber.count(KeyNumber(name))) {
      add(NumberingFault::KeyHeldByNobody, "controller key " + shownKey + "\\" + name + " is held by no device");
    }
  }
  const std::optional<DWORD> count = FourByteValue(makerKey, "NumberOfControllers");
  if (count != controllerKeys.size()) {
    add(NumberingFault::CountMismatch,
        "NumberOfControllers of " + shownKey + " is " + (count ? std::to_string(*count) : std::string("missing")) +
            ", but it has " + std::to_string(controllerKeys.size()) + " controller keys");
  }
  return problems;
}

std::string MakerManufacturerKey() {
  const std::vector<std::string> makerKeys = MakerKeyNames();
  return makerKeys.empty() ? "" : std::string(kCapiRoot) + "\\" + makerKeys[0];
}

}  // namespace devsim
