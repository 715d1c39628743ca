// InstallFromInf: the part of Windows' INF syntax a device driver package
// uses. Sections in brackets, "key = field, field, ..." lines, ';' comments
// outside quotes, quoted fields, %string% tokens from [Strings] and %dirid%
// tokens; section and key names compare without case.
#include <cctype>
#include <cstdlib>
#include <fstream>
#include <map>
#include <optional>

#include "emulator/kernel/ke/verifier.h"
#include "emulator/kernel/pnp_manager.h"
#include "emulator/kernel/rtl/text.h"

namespace kernel::pnp {
namespace {

constexpr char kArchitecture[] = "ntamd64";
constexpr char kDriversDirId[] = "12";
constexpr char kDriversFolder[] = "\\SystemRoot\\System32\\drivers";
// AddReg flags.
constexpr ULONG kBinaryValue = 0x00000001, kNoClobber = 0x00000002, kMultiString = 0x00010000,
                kDword = 0x00010001, kExpandString = 0x00020000;

struct Line {
  std::string key;  // empty for a line without '='
  std::vector<std::string> fields;
};
using Sections = std::map<std::string, std::vector<Line>>;

std::string Lower(std::string text) {
  for (char& c : text) c = char(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

std::string Trim(const std::string& text) {
  const size_t first = text.find_first_not_of(" \t\r");
  if (first == std::string::npos) return "";
  return text.substr(first, text.find_last_not_of(" \t\r") - first + 1);
}

// Splits at commas outside quotes, dropping the quotes and a comment.
std::vector<std::string> Fields(const std::string& text) {
  std::vector<std::string> fields(1);
  bool quoted = false;
  for (char c : text) {
    if (c == '"') {
      quoted = !quoted;
    } else if (!quoted && c == ';') {
      break;
    } else if (!quoted && c == ',') {
      fields.back() = Trim(fields.back());
      fields.emplace_back();
    } else {
      fields.back() += c;
    }
  }
  fields.back() = Trim(fields.back());
  return fields;
}

// The '=' that separates the key, if any, outside quotes and comments.
size_t KeyEnd(const std::string& line) {
  bool quoted = false;
  for (size_t i = 0; i < line.size(); ++i) {
    if (line[i] == '"') quoted = !quoted;
    if (!quoted && line[i] == ';') return std::string::npos;
    if (!quoted && line[i] == '=') return i;
  }
  return std::string::npos;
}

Sections Parse(std::istream& in) {
  Sections sections;
  std::vector<Line>* current = nullptr;
  for (std::string raw; std::getline(in, raw);) {
    const std::string line = Trim(raw);
    if (line.empty() || line[0] == ';') continue;
    if (line[0] == '[') {
      current = &sections[Lower(Trim(line.substr(1, line.find(']') - 1)))];
      continue;
    }
    if (current == nullptr) continue;
    const size_t equals = KeyEnd(line);
    if (equals == std::string::npos)
      current->push_back({"", Fields(line)});
    else
      current->push_back({Lower(Trim(line.substr(0, equals))), Fields(line.substr(equals + 1))});
  }
  return sections;
}

class Inf {
 public:
  explicit Inf(Sections sections) : sections_(std::move(sections)) {
    for (const Line& line : Section("strings"))
      if (!line.key.empty() && !line.fields.empty()) strings_[line.key] = line.fields[0];
  }

  const std::vector<Line>& Section(const std::string& name) const {
    static const std::vector<Line> kNone;
    auto it = sections_.find(Lower(name));
    return it == sections_.end() ? kNone : it->second;
  }
  bool Has(const std::string& name) const { return sections_.count(Lower(name)) != 0; }

  // The first field of `key` in `section`, tokens expanded.
  std::optional<std::string> Value(const std::string& section, const std::string& key) const {
    for (const Line& line : Section(section))
      if (line.key == Lower(key) && !line.fields.empty()) return Expand(line.fields[0]);
    return std::nullopt;
  }

  std::string Expand(const std::string& text) const {
    std::string out;
    for (size_t i = 0; i < text.size(); ++i) {
      const size_t end = text[i] == '%' ? text.find('%', i + 1) : std::string::npos;
      if (end == std::string::npos) {
        out += text[i];
        continue;
      }
      const std::string token = text.substr(i + 1, end - i - 1);
      auto it = strings_.find(Lower(token));
      if (token.empty())
        out += '%';
      else if (token == kDriversDirId)
        out += kDriversFolder;
      else
        out += it != strings_.end() ? it->second : "%" + token + "%";
      i = end;
    }
    return out;
  }

 private:
  Sections sections_;
  std::map<std::string, std::string> strings_;
};

std::optional<ULONG> Number(const std::string& text) {
  if (text.empty()) return std::nullopt;
  char* end = nullptr;
  const unsigned long value = std::strtoul(text.c_str(), &end, 0);
  if (*end != '\0') return std::nullopt;
  return ULONG(value);
}

std::vector<uint8_t> Utf16Bytes(const std::u16string& text) {
  std::vector<uint8_t> bytes(reinterpret_cast<const uint8_t*>(text.data()),
                             reinterpret_cast<const uint8_t*>(text.data() + text.size()));
  bytes.insert(bytes.end(), {0, 0});
  return bytes;
}

// One "HKR,,name,flags,value" line of an AddReg section.
std::optional<std::string> AddRegValue(const Inf& inf, const Line& line, DriverPackage* package) {
  const std::vector<std::string>& f = line.fields;
  if (f.size() < 4 || Lower(f[0]) != "hkr" || !f[1].empty())
    return "only HKR values of the key itself are installed: " + (f.empty() ? "" : f[0]);
  const std::optional<ULONG> flags = Number(f[3]);
  if (!flags) return "AddReg flags " + f[3];
  DriverPackage::RegistryValue value{inf.Expand(f[2]), REG_SZ, {}, (*flags & kNoClobber) != 0};
  const ULONG kind = *flags & ~kNoClobber;
  const auto text = [&](size_t i) { return text::FromUtf8(i < f.size() ? inf.Expand(f[i]) : ""); };
  if (kind == kDword) {
    const std::optional<ULONG> number = Number(f.size() > 4 ? f[4] : "0");
    if (!number) return "REG_DWORD value " + f[4];
    value.type = REG_DWORD;
    value.data.assign(reinterpret_cast<const uint8_t*>(&*number),
                      reinterpret_cast<const uint8_t*>(&*number) + 4);
  } else if (kind == kBinaryValue) {
    value.type = REG_BINARY;
    for (size_t i = 4; i < f.size(); ++i) {
      const std::optional<ULONG> byte = Number("0x" + f[i]);
      if (!byte || *byte > 0xFF) return "REG_BINARY byte " + f[i];
      value.data.push_back(uint8_t(*byte));
    }
  } else if (kind == 0 || kind == kExpandString) {
    value.type = kind == 0 ? REG_SZ : REG_EXPAND_SZ;
    value.data = Utf16Bytes(text(4));
  } else if (kind == kMultiString) {
    value.type = REG_MULTI_SZ;
    for (size_t i = 4; i < f.size(); ++i) {
      const std::vector<uint8_t> one = Utf16Bytes(text(i));
      value.data.insert(value.data.end(), one.begin(), one.end());
    }
    value.data.insert(value.data.end(), {0, 0});
  } else {
    return "AddReg flags " + f[3];
  }
  package->hardwareKeyValues.push_back(std::move(value));
  return std::nullopt;
}

// The x64 variant of an install section: "<name>.NTamd64" or else "<name>".
std::string Decorated(const Inf& inf, const std::string& name) {
  const std::string decorated = name + "." + kArchitecture;
  return inf.Has(decorated) ? decorated : name;
}

std::optional<std::string> ReadModels(const Inf& inf, DriverPackage* package, std::string* install) {
  const std::vector<Line>& manufacturers = inf.Section("Manufacturer");
  if (manufacturers.size() != 1 || manufacturers[0].fields.empty())
    return "one manufacturer in [Manufacturer] expected";
  const Line& manufacturer = manufacturers[0];
  bool forX64 = false;
  for (size_t i = 1; i < manufacturer.fields.size(); ++i)
    forX64 |= Lower(manufacturer.fields[i]) == kArchitecture;
  if (!forX64) return "no models for NTamd64";
  package->manufacturer = text::FromUtf8(inf.Expand(manufacturer.key));
  for (const Line& model : inf.Section(manufacturer.fields[0] + "." + kArchitecture)) {
    if (model.fields.size() < 2) return "model without hardware id: " + model.key;
    if (!install->empty() && Lower(*install) != Lower(model.fields[0]))
      return "models with different install sections";
    *install = model.fields[0];
    package->description = text::FromUtf8(inf.Expand(model.key));
    for (size_t i = 1; i < model.fields.size(); ++i)
      package->hardwareIds.push_back(text::FromUtf8(inf.Expand(model.fields[i])));
  }
  if (install->empty()) return "no models for NTamd64";
  return std::nullopt;
}

std::optional<std::string> ReadService(const Inf& inf, const std::string& install, DriverPackage* package) {
  for (const Line& line : inf.Section(install + ".Services")) {
    if (line.key != "addservice" || line.fields.size() < 3) continue;
    const std::string& section = line.fields[2];
    const std::optional<ULONG> start = Number(inf.Value(section, "StartType").value_or(""));
    const std::optional<ULONG> errors = Number(inf.Value(section, "ErrorControl").value_or(""));
    const std::optional<std::string> binary = inf.Value(section, "ServiceBinary");
    if (!start || !errors || !binary) return "service section " + section + " incomplete";
    package->service = text::FromUtf8(inf.Expand(line.fields[0]));
    package->startType = *start;
    package->errorControl = *errors;
    package->imagePath = text::FromUtf8(*binary);
    return std::nullopt;
  }
  return "no AddService in " + install + ".Services";
}

std::optional<std::string> ReadPackage(const Inf& inf, DriverPackage* package) {
  const std::string signature = Lower(inf.Value("Version", "Signature").value_or(""));
  if (signature != "$windows nt$" && signature != "$chicago$")
    return "not an INF file (no [Version] signature)";
  package->className = text::FromUtf8(inf.Value("Version", "Class").value_or(""));
  package->classGuid = text::FromUtf8(inf.Value("Version", "ClassGuid").value_or(""));
  if (package->className.empty() || package->classGuid.empty()) return "[Version] without Class or ClassGuid";
  std::string install;
  if (auto problem = ReadModels(inf, package, &install)) return problem;
  install = Decorated(inf, install);
  if (!inf.Has(install)) return "no install section " + install;
  for (const Line& line : inf.Section(install + ".HW")) {
    if (line.key != "addreg") continue;
    for (const std::string& section : line.fields)
      for (const Line& value : inf.Section(section))
        if (auto problem = AddRegValue(inf, value, package)) return problem;
  }
  return ReadService(inf, install, package);
}

}  // namespace

bool InstallFromInf(const std::string& infPath, PDRIVER_INITIALIZE entry, std::string* problem) {
  verifier::CheckIrql("kernel::pnp::InstallFromInf", nullptr, PASSIVE_LEVEL);
  std::ifstream file(infPath);
  if (!file) {
    *problem = "cannot read " + infPath;
    return false;
  }
  DriverPackage package;
  package.entry = entry;
  if (auto why = ReadPackage(Inf(Parse(file)), &package)) {
    *problem = infPath + ": " + *why;
    return false;
  }
  if (!InstallDriver(package)) {
    *problem = infPath + ": service " + text::ToUtf8(package.service) + " is installed already";
    return false;
  }
  return true;
}

}  // namespace kernel::pnp
