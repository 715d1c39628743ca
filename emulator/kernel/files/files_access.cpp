#include <sys/stat.h>

#include <fstream>
#include <iterator>

#include "emulator/kernel/files.h"
#include "emulator/kernel/files/files_internal.h"
#include "emulator/kernel/rtl/text.h"

namespace kernel::files {

std::string HostPath(std::string_view kernelName) {
  Resolved resolved;
  if (!NT_SUCCESS(Resolve(text::FromUtf8(kernelName), resolved))) return {};
  return resolved.hostPath;
}

namespace {

// Creates the folder a kernel name stands for, with its missing parents.
bool EnsureFolder(std::u16string_view name) {
  std::string path = HostPath(text::ToUtf8(name));
  if (path.empty()) {
    size_t cut = name.rfind(u'\\');
    if (cut == std::u16string_view::npos || cut == 0 || !EnsureFolder(name.substr(0, cut))) return false;
    path = HostPath(text::ToUtf8(name));
  }
  struct stat info;
  return !path.empty() &&
         (::mkdir(path.c_str(), 0755) == 0 || (::stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode)));
}

}  // namespace

bool WriteWholeFile(std::string_view kernelName, const std::vector<uint8_t>& bytes) {
  std::u16string name = text::FromUtf8(kernelName);
  size_t cut = name.rfind(u'\\');
  if (cut == std::u16string::npos || cut == 0 || !EnsureFolder(std::u16string_view(name).substr(0, cut)))
    return false;
  std::string path = HostPath(kernelName);
  if (path.empty()) return false;
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
  return bool(out.flush());
}

std::optional<std::vector<uint8_t>> ReadWholeFile(std::string_view kernelName) {
  std::string path = HostPath(kernelName);
  std::ifstream in(path, std::ios::binary);
  if (path.empty() || !in) return std::nullopt;
  return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

size_t OpenHandles(std::string_view kernelName) {
  std::string path = HostPath(kernelName);
  std::lock_guard guard(Lock());
  auto it = Shares().find(path);
  return it == Shares().end() ? 0 : it->second.openCount;
}

}  // namespace kernel::files
