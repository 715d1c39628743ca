// Kernel file names to host paths below the system root.
#include <dirent.h>
#include <sys/stat.h>

#include <vector>

#include "emulator/kernel/files/files_internal.h"
#include "emulator/kernel/machine.h"
#include "emulator/kernel/rtl/text.h"

namespace kernel::files {
namespace {

// Names that stand for the system root folder itself.
constexpr std::u16string_view kRootNames[] = {u"\\SystemRoot", u"\\??\\C:\\Windows",
                                              u"\\DosDevices\\C:\\Windows", u"\\GLOBAL??\\C:\\Windows"};
constexpr size_t kMaxComponentChars = 255;

bool StartsWithNoCase(std::u16string_view text, std::u16string_view prefix) {
  return text.size() >= prefix.size() && text::EqualNoCase(text.substr(0, prefix.size()), prefix);
}

// The part of the name below the system root ("" for the root itself), or
// false when the name is elsewhere.
bool BelowSystemRoot(std::u16string_view name, std::u16string_view& rest) {
  for (std::u16string_view root : kRootNames) {
    if (!StartsWithNoCase(name, root)) continue;
    rest = name.substr(root.size());
    if (rest.empty() || rest[0] == u'\\') return true;
  }
  return false;
}

bool IsValidComponent(std::u16string_view name) {
  if (name.empty() || name.size() > kMaxComponentChars || name == u"." || name == u"..") return false;
  for (char16_t c : name)
    if (c < 0x20 || std::u16string_view(u"<>:\"/|?*").find(c) != std::u16string_view::npos) return false;
  return true;
}

NTSTATUS Split(std::u16string_view rest, std::vector<std::u16string_view>& components) {
  while (!rest.empty()) {
    rest.remove_prefix(1);  // the backslash
    size_t end = std::min(rest.find(u'\\'), rest.size());
    std::u16string_view name = rest.substr(0, end);
    if (!IsValidComponent(name)) return STATUS_OBJECT_NAME_INVALID;
    components.push_back(name);
    rest.remove_prefix(end);
  }
  return STATUS_SUCCESS;
}

// The entry of `folder` named like `name`: the exact spelling if present,
// else one that differs only in case, else `name` as written.
std::string MatchEntry(const std::string& folder, std::u16string_view name) {
  std::string exact = text::ToUtf8(name);
  struct stat info;
  if (::lstat((folder + "/" + exact).c_str(), &info) == 0) return exact;
  std::string match = exact;
  if (DIR* dir = ::opendir(folder.c_str())) {
    while (dirent* entry = ::readdir(dir)) {
      if (text::EqualNoCase(text::FromUtf8(entry->d_name), name)) {
        match = entry->d_name;
        break;
      }
    }
    ::closedir(dir);
  }
  return match;
}

}  // namespace

NTSTATUS Resolve(std::u16string_view kernelName, Resolved& resolved) {
  std::u16string_view rest;
  if (!BelowSystemRoot(kernelName, rest)) return STATUS_OBJECT_PATH_NOT_FOUND;
  std::vector<std::u16string_view> components;
  NTSTATUS status = Split(rest, components);
  if (!NT_SUCCESS(status)) return status;

  std::string path = Machine::Current().SystemRoot();
  struct stat info;
  for (size_t i = 0; i < components.size(); ++i) {
    if (::stat(path.c_str(), &info) != 0 || !S_ISDIR(info.st_mode)) return STATUS_OBJECT_PATH_NOT_FOUND;
    path += "/" + MatchEntry(path, components[i]);
  }
  resolved.hostPath = path;
  resolved.exists = ::stat(path.c_str(), &info) == 0;
  resolved.isDirectory = resolved.exists && S_ISDIR(info.st_mode);
  return STATUS_SUCCESS;
}

}  // namespace kernel::files
