// Saving and loading the registry tree as text (format in emulator/kernel/registry.h).
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>

#include "emulator/kernel/registry.h"
#include "emulator/kernel/registry/registry_tree.h"
#include "emulator/kernel/rtl/text.h"

namespace kernel::registry {
namespace {

constexpr const char* kHeader = "t7315-registry 1";

// ---- Writing ------------------------------------------------------------------

std::string Quote(std::string_view utf8) {
  std::string out = "\"";
  for (char c : utf8) {
    auto byte = uint8_t(c);
    if (c == '"' || c == '%' || byte < 0x20 || byte == 0x7F) {
      char escaped[4];
      std::snprintf(escaped, sizeof(escaped), "%%%02X", byte);
      out += escaped;
    } else {
      out += c;
    }
  }
  return out + "\"";
}

// The text of a string value that survives the round trip through `sz`: one
// terminator at the end, none inside, well-formed UTF-16.
std::optional<std::u16string> PlainText(const tree::StoredValue& value) {
  if ((value.type != REG_SZ && value.type != REG_EXPAND_SZ) || value.data.size() < 2 ||
      value.data.size() % 2 != 0)
    return std::nullopt;
  std::u16string wide(value.data.size() / 2, u'\0');
  std::memcpy(wide.data(), value.data.data(), value.data.size());
  if (wide.back() != 0) return std::nullopt;
  wide.pop_back();
  if (wide.find(u'\0') != std::u16string::npos || !text::IsWellFormed(wide)) return std::nullopt;
  return wide;
}

void WriteValue(std::ostream& out, const tree::StoredValue& value) {
  std::string name = Quote(text::ToUtf8(value.name));
  if (std::optional<std::u16string> plain = PlainText(value)) {
    out << (value.type == REG_SZ ? "sz " : "expand_sz ") << name << ' ' << Quote(text::ToUtf8(*plain))
        << '\n';
  } else if (value.type == REG_DWORD && value.data.size() == 4) {
    uint32_t dword;
    std::memcpy(&dword, value.data.data(), 4);
    char digits[16];
    std::snprintf(digits, sizeof(digits), "0x%08X", dword);
    out << "dword " << name << ' ' << digits << '\n';
  } else {
    out << "hex(" << value.type << ") " << name << ' ';
    for (uint8_t byte : value.data) {
      char digits[4];
      std::snprintf(digits, sizeof(digits), "%02x", byte);
      out << digits;
    }
    out << '\n';
  }
}

void WriteKey(std::ostream& out, const tree::Node& node) {
  if (node.isVolatile) return;
  out << "key " << Quote(text::ToUtf8(node.Path())) << '\n';
  for (const tree::StoredValue& value : node.values) WriteValue(out, value);
  for (const auto& [name, child] : node.children) WriteKey(out, *child);
}

// ---- Reading ------------------------------------------------------------------

struct Item {
  std::string keyPath;
  bool isValue = false;
  std::string name;
  ULONG type = REG_NONE;
  std::vector<uint8_t> data;
};

class LineReader {
 public:
  explicit LineReader(std::string_view line) : rest_(line) {}

  std::string_view Word() {
    SkipBlanks();
    size_t end = std::min(rest_.find(' '), rest_.size());
    std::string_view word = rest_.substr(0, end);
    rest_.remove_prefix(end);
    return word;
  }

  bool Quoted(std::string& out) {
    SkipBlanks();
    if (rest_.empty() || rest_[0] != '"') return false;
    size_t end = rest_.find('"', 1);
    if (end == std::string_view::npos) return false;
    std::string_view body = rest_.substr(1, end - 1);
    rest_.remove_prefix(end + 1);
    out.clear();
    for (size_t i = 0; i < body.size(); ++i) {
      if (body[i] != '%') {
        out += body[i];
        continue;
      }
      int byte;
      if (!HexByte(body.substr(i + 1, 2), byte)) return false;
      out += char(byte);
      i += 2;
    }
    return true;
  }

  bool AtEnd() {
    SkipBlanks();
    return rest_.empty();
  }

  static bool HexByte(std::string_view digits, int& byte) {
    if (digits.size() != 2) return false;
    byte = 0;
    for (char c : digits) {
      int v = c >= '0' && c <= '9'   ? c - '0'
              : c >= 'a' && c <= 'f' ? c - 'a' + 10
              : c >= 'A' && c <= 'F' ? c - 'A' + 10
                                     : -1;
      if (v < 0) return false;
      byte = byte * 16 + v;
    }
    return true;
  }

 private:
  void SkipBlanks() {
    while (!rest_.empty() && (rest_[0] == ' ' || rest_[0] == '\t')) rest_.remove_prefix(1);
  }
  std::string_view rest_;
};

bool IsRegistryPath(const std::string& path) {
  std::u16string wide = text::FromUtf8(path);
  std::vector<std::u16string_view> components;
  return NT_SUCCESS(tree::SplitAbsolute(wide, components));
}

bool ParseHex(std::string_view digits, std::vector<uint8_t>& data) {
  if (digits.size() % 2 != 0) return false;
  for (size_t i = 0; i < digits.size(); i += 2) {
    int byte;
    if (!LineReader::HexByte(digits.substr(i, 2), byte)) return false;
    data.push_back(uint8_t(byte));
  }
  return true;
}

bool ParseDword(std::string_view digits, std::vector<uint8_t>& data) {
  std::string text(digits);
  char* end = nullptr;
  unsigned long long value = std::strtoull(text.c_str(), &end, 0);
  if (text.empty() || *end != 0 || value > 0xFFFFFFFFull) return false;
  auto dword = uint32_t(value);
  data.assign(reinterpret_cast<uint8_t*>(&dword), reinterpret_cast<uint8_t*>(&dword) + 4);
  return true;
}

// Type and data of a value line after its name; false on a malformed line.
bool ParseData(std::string_view kind, LineReader& reader, Item& item) {
  if (kind == "sz" || kind == "expand_sz") {
    std::string content;
    if (!reader.Quoted(content)) return false;
    std::u16string wide = text::FromUtf8(content);
    item.type = kind == "sz" ? REG_SZ : REG_EXPAND_SZ;
    auto bytes = reinterpret_cast<const uint8_t*>(wide.c_str());
    item.data.assign(bytes, bytes + (wide.size() + 1) * sizeof(char16_t));
    return true;
  }
  if (kind == "dword") {
    item.type = REG_DWORD;
    return ParseDword(reader.Word(), item.data);
  }
  if (kind.size() > 5 && kind.substr(0, 4) == "hex(" && kind.back() == ')') {
    std::string number(kind.substr(4, kind.size() - 5));
    char* end = nullptr;
    unsigned long long type = std::strtoull(number.c_str(), &end, 10);
    if (number.empty() || *end != 0 || type > 0xFFFFFFFFull) return false;
    item.type = ULONG(type);
    return ParseHex(reader.Word(), item.data);
  }
  return false;
}

// One line into `items`; an empty message means success.
std::string ParseLine(std::string_view line, std::string& currentKey, std::vector<Item>& items) {
  LineReader reader(line);
  std::string_view kind = reader.Word();
  Item item;
  if (kind == "key") {
    if (!reader.Quoted(item.keyPath) || !reader.AtEnd()) return "malformed key line";
    if (!IsRegistryPath(item.keyPath)) return "key path outside \\Registry";
    currentKey = item.keyPath;
  } else {
    if (currentKey.empty()) return "value before any key";
    item.keyPath = currentKey;
    item.isValue = true;
    if (!reader.Quoted(item.name) || !ParseData(kind, reader, item) || !reader.AtEnd())
      return "malformed value line";
  }
  items.push_back(std::move(item));
  return {};
}

bool Parse(std::istream& in, std::vector<Item>& items, std::string& message) {
  std::string line, currentKey;
  bool sawHeader = false;
  for (int number = 1; std::getline(in, line); ++number) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    size_t start = line.find_first_not_of(" \t");
    if (start == std::string::npos || line[start] == '#') continue;
    std::string_view content = std::string_view(line).substr(start);
    std::string problem;
    if (!sawHeader) {
      sawHeader = content == kHeader;
      if (!sawHeader) problem = "not a registry file (missing header)";
    } else {
      problem = ParseLine(content, currentKey, items);
    }
    if (!problem.empty()) {
      message = "line " + std::to_string(number) + ": " + problem;
      return false;
    }
  }
  if (!sawHeader) message = "not a registry file (missing header)";
  return sawHeader;
}

bool Fail(std::string* error, std::string message) {
  if (error != nullptr) *error = std::move(message);
  return false;
}

}  // namespace

bool Save(const std::string& file, std::string* error) {
  std::ostringstream out;
  out << kHeader << '\n';
  {
    std::lock_guard guard(tree::Lock());
    WriteKey(out, *tree::Root());
  }
  // Written aside and renamed, so a failed save never damages the last good file.
  std::string temporary = file + ".tmp";
  {
    std::ofstream stream(temporary, std::ios::binary | std::ios::trunc);
    stream << out.str();
    if (!stream.flush()) return Fail(error, file + ": cannot write " + temporary);
  }
  if (std::rename(temporary.c_str(), file.c_str()) != 0) {
    std::remove(temporary.c_str());
    return Fail(error, file + ": cannot replace the file");
  }
  return true;
}

bool Load(const std::string& file, std::string* error) {
  std::ifstream in(file, std::ios::binary);
  if (!in) return Fail(error, file + ": cannot open");
  std::vector<Item> items;
  std::string message;
  if (!Parse(in, items, message)) return Fail(error, file + ": " + message);
  for (const Item& item : items) {
    if (item.isValue)
      SetValue(item.keyPath, item.name, item.type, item.data.data(), item.data.size());
    else
      CreateKey(item.keyPath);
  }
  return true;
}

}  // namespace kernel::registry
