// Reads a built onlcoin.dll as a PE file and checks what SetupAPI and the event viewer rely on:
// the export directory (module name "nlcoin.dll", the single plain export DeviceCoInstallerFunc),
// an import list of system DLLs only, the message table (type 11, id 1, language 1033, ANSI
// entries ending in CR LF, the five event texts) and the version resource.
// Usage: pecheck DLL [--machine i386|amd64]. Exit 0 when all checks pass, 1 when one fails,
// 77 when the file does not exist (the Windows build was not made).
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <map>
#include <set>
#include <string>
#include <vector>

namespace {

constexpr int kSkipped = 77;
constexpr uint16_t kMachineI386 = 0x014C;
constexpr uint16_t kMachineAmd64 = 0x8664;
constexpr uint16_t kMagicPe32 = 0x10B;
constexpr uint16_t kMagicPe32Plus = 0x20B;
constexpr int kDirExport = 0, kDirImport = 1, kDirResource = 2;
constexpr uint32_t kResourceMessageTable = 11, kResourceVersion = 16;
constexpr uint32_t kLanguageEnglishUs = 1033;
constexpr uint32_t kFixedFileInfoSignature = 0xFEEF04BD;

const std::map<uint32_t, std::string> kExpectedMessages = {
    {2000, "SetupDiGetClassDevs failed.\r\nStatus code returned in data.\r\n"},
    {2001, "SetupDiGetSelectedDriver failed.\r\nStatus code returned in data.\r\n"},
    {2003, "Unable to add the CAPI20 device.\r\n"},
    {2004, "Unable to set the controller for the new device.\r\n"},
    {2005, "Unable to set the capi device name.\r\n"},
};
const std::map<std::string, std::string> kExpectedVersionStrings = {
    {"FileDescription", "Common ISDN API 1.1 / 2.0"},
    {"ProductName", "CAPI"},
    {"InternalName", "nlcoin"},
    {"OriginalFileName", "nlcoin.dll"},
};
// DLLs every Windows installation has; the compiler's own runtimes must not be among the imports.
const std::set<std::string> kSystemDlls = {"KERNEL32.DLL", "USER32.DLL", "GDI32.DLL", "ADVAPI32.DLL",
                                           "SETUPAPI.DLL", "MSVCRT.DLL", "NTDLL.DLL"};

struct Section {
  uint32_t virtualAddress, virtualSize, rawOffset, rawSize;
};

class PeFile {
 public:
  explicit PeFile(std::vector<uint8_t> bytes) : bytes_(std::move(bytes)) {}

  bool Parse(std::string *error) {
    if (U16(0) != 0x5A4D) return Fail(error, "no MZ header");
    uint32_t pe = U32(0x3C);
    if (U32(pe) != 0x00004550) return Fail(error, "no PE signature");
    machine_ = U16(pe + 4);
    uint16_t sectionCount = U16(pe + 6);
    uint16_t optionalSize = U16(pe + 20);
    uint32_t optional = pe + 24;
    uint16_t magic = U16(optional);
    uint32_t dirs;
    if (magic == kMagicPe32) {
      dirs = optional + 96;
    } else if (magic == kMagicPe32Plus) {
      dirs = optional + 112;
    } else {
      return Fail(error, "unknown optional header magic");
    }
    for (int i = 0; i < 16; ++i) dirRva_[i] = U32(dirs + i * 8);
    uint32_t table = optional + optionalSize;
    for (uint16_t i = 0; i < sectionCount; ++i) {
      uint32_t s = table + i * 40;
      sections_.push_back({U32(s + 12), U32(s + 8), U32(s + 20), U32(s + 16)});
    }
    return ok_ || Fail(error, "file is truncated");
  }

  uint16_t Machine() const { return machine_; }
  uint32_t DirRva(int index) const { return dirRva_[index]; }

  // File offset of an RVA, 0 when it lies in no section.
  uint32_t Offset(uint32_t rva) const {
    for (const Section &s : sections_) {
      uint32_t size = s.virtualSize > s.rawSize ? s.virtualSize : s.rawSize;
      if (rva >= s.virtualAddress && rva < s.virtualAddress + size) return rva - s.virtualAddress + s.rawOffset;
    }
    return 0;
  }

  uint16_t U16(uint32_t off) {
    if (off + 2 > bytes_.size()) return ok_ = false, 0;
    return static_cast<uint16_t>(bytes_[off] | bytes_[off + 1] << 8);
  }
  uint32_t U32(uint32_t off) { return U16(off) | static_cast<uint32_t>(U16(off + 2)) << 16; }
  std::string CString(uint32_t off) {
    std::string s;
    while (off < bytes_.size() && bytes_[off] != 0) s += static_cast<char>(bytes_[off++]);
    return s;
  }
  std::string Bytes(uint32_t off, uint32_t length) {
    if (off + length > bytes_.size()) return ok_ = false, std::string();
    return std::string(bytes_.begin() + off, bytes_.begin() + off + length);
  }
  // UTF-16LE text of ASCII characters, up to a NUL or `limit` characters.
  std::string Wide(uint32_t off, uint32_t limit = 0xFFFF) {
    std::string s;
    for (uint32_t i = 0; i < limit; ++i) {
      uint16_t c = U16(off + 2 * i);
      if (c == 0 || !ok_) break;
      s += c < 0x80 ? static_cast<char>(c) : '?';
    }
    return s;
  }
  bool Ok() const { return ok_; }

 private:
  static bool Fail(std::string *error, const char *what) {
    *error = what;
    return false;
  }
  std::vector<uint8_t> bytes_;
  std::vector<Section> sections_;
  uint32_t dirRva_[16] = {};
  uint16_t machine_ = 0;
  bool ok_ = true;
};

int failures = 0;

void Check(bool condition, const std::string &what, const std::string &detail = "") {
  std::printf("%s: %s%s\n", condition ? "ok" : "FAIL", what.c_str(),
              detail.empty() ? "" : (" (" + detail + ")").c_str());
  if (!condition) ++failures;
}

std::string UpperAscii(std::string s) {
  for (char &c : s)
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  return s;
}

void CheckExports(PeFile &pe) {
  uint32_t dir = pe.Offset(pe.DirRva(kDirExport));
  Check(dir != 0, "export directory present");
  if (dir == 0) return;
  std::string moduleName = pe.CString(pe.Offset(pe.U32(dir + 12)));
  Check(moduleName == "nlcoin.dll", "export directory names the module nlcoin.dll", moduleName);
  uint32_t nameCount = pe.U32(dir + 24);
  uint32_t names = pe.Offset(pe.U32(dir + 32));
  std::vector<std::string> exported;
  for (uint32_t i = 0; i < nameCount && names != 0; ++i)
    exported.push_back(pe.CString(pe.Offset(pe.U32(names + 4 * i))));
  std::string list;
  for (const std::string &n : exported) list += (list.empty() ? "" : ", ") + n;
  Check(exported.size() == 1 && exported[0] == "DeviceCoInstallerFunc",
        "the only export is the plain name DeviceCoInstallerFunc", list);
}

void CheckImports(PeFile &pe) {
  uint32_t desc = pe.Offset(pe.DirRva(kDirImport));
  Check(desc != 0, "import directory present");
  for (; desc != 0 && pe.U32(desc + 12) != 0; desc += 20) {
    std::string dll = pe.CString(pe.Offset(pe.U32(desc + 12)));
    Check(kSystemDlls.count(UpperAscii(dll)) == 1, "imports only system DLLs", dll);
  }
}

// Walks one level of the resource directory; calls visit(id, offsetOfEntryTarget, isDirectory).
template <typename Visit>
void ForEachResourceEntry(PeFile &pe, uint32_t base, uint32_t dir, Visit visit) {
  uint16_t named = pe.U16(dir + 12), ids = pe.U16(dir + 14);
  for (uint32_t i = 0; i < static_cast<uint32_t>(named) + ids; ++i) {
    uint32_t entry = dir + 16 + 8 * i;
    uint32_t id = pe.U32(entry), target = pe.U32(entry + 4);
    visit(id, base + (target & 0x7FFFFFFF), (target & 0x80000000) != 0);
  }
}

// Data of resource type/id/language, empty when absent.
std::string ResourceData(PeFile &pe, uint32_t type, uint32_t id, uint32_t language) {
  uint32_t base = pe.Offset(pe.DirRva(kDirResource));
  if (base == 0) return "";
  std::string data;
  ForEachResourceEntry(pe, base, base, [&](uint32_t t, uint32_t typeDir, bool) {
    if (t != type) return;
    ForEachResourceEntry(pe, base, typeDir, [&](uint32_t i, uint32_t idDir, bool) {
      if (i != id) return;
      ForEachResourceEntry(pe, base, idDir, [&](uint32_t lang, uint32_t leaf, bool isDir) {
        if (lang != language || isDir) return;
        data = pe.Bytes(pe.Offset(pe.U32(leaf)), pe.U32(leaf + 4));
      });
    });
  });
  return data;
}

void CheckMessageTable(PeFile &pe) {
  std::string table = ResourceData(pe, kResourceMessageTable, 1, kLanguageEnglishUs);
  Check(!table.empty(), "message table: type 11, id 1, language 1033");
  if (table.empty()) return;
  auto u16 = [&](size_t o) {
    return o + 2 <= table.size() ? uint32_t(uint8_t(table[o]) | uint8_t(table[o + 1]) << 8) : 0u;
  };
  auto u32 = [&](size_t o) { return u16(o) | u16(o + 2) << 16; };
  std::map<uint32_t, std::string> found;
  bool ansi = true;
  uint32_t blocks = u32(0);
  for (uint32_t b = 0; b < blocks; ++b) {
    uint32_t low = u32(4 + 12 * b), high = u32(8 + 12 * b), offset = u32(12 + 12 * b);
    for (uint32_t id = low; id <= high && offset < table.size(); ++id) {
      uint32_t length = u16(offset), flags = u16(offset + 2);
      if (length < 4) break;
      if (flags != 0) ansi = false;
      std::string text = table.substr(offset + 4, length - 4);
      text = text.substr(0, text.find('\0'));
      found[id] = text;
      offset += length;
    }
  }
  Check(ansi, "message table entries are ANSI");
  Check(found.size() == kExpectedMessages.size(), "message table holds exactly the five event texts",
        std::to_string(found.size()) + " entries");
  for (const auto &[id, text] : kExpectedMessages) {
    auto it = found.find(id);
    Check(it != found.end() && it->second == text, "message " + std::to_string(id) + " text with CR LF line ends");
  }
}

void CheckVersion(PeFile &pe) {
  std::string data = ResourceData(pe, kResourceVersion, 1, kLanguageEnglishUs);
  if (data.empty()) data = ResourceData(pe, kResourceVersion, 1, 0);
  Check(!data.empty(), "version resource present");
  if (data.empty()) return;
  auto u32 = [&](size_t o) {
    return o + 4 <= data.size() ? uint32_t(uint8_t(data[o]) | uint8_t(data[o + 1]) << 8 |
                                           uint8_t(data[o + 2]) << 16 | uint32_t(uint8_t(data[o + 3])) << 24)
                                : 0u;
  };
  // VS_VERSIONINFO: header (6 bytes), key "VS_VERSION_INFO" in UTF-16 with NUL, padding to 4.
  size_t fixed = data.find(std::string("\xBD\x04\xEF\xFE", 4));
  Check(fixed != std::string::npos && u32(fixed) == kFixedFileInfoSignature, "VS_FIXEDFILEINFO present");
  if (fixed == std::string::npos) return;
  uint32_t msHigh = u32(fixed + 8), msLow = u32(fixed + 12), prodHigh = u32(fixed + 16), prodLow = u32(fixed + 20);
  Check(msHigh == (3u << 16 | 38u) && msLow == (1146u << 16), "file version 3.38.1146.0");
  Check(prodHigh == (3u << 16 | 38u) && prodLow == (1146u << 16), "product version 3.38.1146.0");
  // String values: find each key in UTF-16 and read the value that follows its padding.
  auto wide = [](const std::string &s) {
    std::string w;
    for (char c : s) w += c, w += '\0';
    return w + std::string("\0\0", 2);
  };
  for (const auto &[key, value] : kExpectedVersionStrings) {
    size_t at = data.find(wide(key));
    std::string got;
    if (at != std::string::npos) {
      size_t v = at + wide(key).size();
      while (v % 4 != 0) ++v;
      for (; v + 1 < data.size() && (data[v] || data[v + 1]); v += 2) got += data[v];
    }
    Check(got == value, "version string " + key, got);
  }
}

}  // namespace

int main(int argc, char **argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: pecheck DLL [--machine i386|amd64]\n");
    return 2;
  }
  std::string path = argv[1];
  std::string machine = (argc >= 4 && std::strcmp(argv[2], "--machine") == 0) ? argv[3] : "";
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    std::printf("skipped: %s does not exist (the Windows build was not made)\n", path.c_str());
    return kSkipped;
  }
  PeFile pe(std::vector<uint8_t>(std::istreambuf_iterator<char>(in), {}));
  std::string error;
  if (!pe.Parse(&error)) {
    std::printf("FAIL: %s is not a readable PE file: %s\n", path.c_str(), error.c_str());
    return 1;
  }
  if (machine == "i386") Check(pe.Machine() == kMachineI386, "32-bit x86 image");
  if (machine == "amd64") Check(pe.Machine() == kMachineAmd64, "64-bit x64 image");
  CheckExports(pe);
  CheckImports(pe);
  CheckMessageTable(pe);
  CheckVersion(pe);
  Check(pe.Ok(), "every structure lies within the file");
  std::printf("%s: %d check(s) failed\n", path.c_str(), failures);
  return failures == 0 ? 0 : 1;
}
