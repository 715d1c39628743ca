// The part of the object name space the I/O manager uses: named device
// objects and driver objects, and symbolic links. Names are compared without
// regard to case, as the object manager does for these directories; the
// directories themselves are fixed.
#include <cstdio>
#include <map>
#include <mutex>

#include "emulator/kernel/io/io_internal.h"
#include "emulator/kernel/ex/object_manager.h"
#include "emulator/kernel/ke/verifier.h"

namespace kernel::io::internal {
namespace {

struct Entry {
  std::u16string name;  // as created
  PDEVICE_OBJECT device = nullptr;
  bool isLink = false;
  std::u16string target;
};

struct Space {
  std::mutex lock;
  std::map<std::u16string, Entry> entries;  // by folded canonical name
  bool reportLinks = true;
};

Space& S() {
  static auto* space = new Space;
  return *space;
}

constexpr std::u16string_view kDosDevices = u"\\??\\";
constexpr std::u16string_view kAliases[] = {u"\\DosDevices\\", u"\\GLOBAL??\\"};
constexpr std::u16string_view kDirectories[] = {u"\\Device", u"\\??", u"\\Driver"};
constexpr int kMaximumLinkDepth = 32;

char16_t Upcase(char16_t c) { return c >= u'a' && c <= u'z' ? char16_t(c - u'a' + u'A') : c; }

std::u16string Fold(std::u16string_view name) {
  std::u16string folded(name);
  for (char16_t& c : folded) c = Upcase(c);
  return folded;
}

bool StartsWithNoCase(std::u16string_view text, std::u16string_view prefix) {
  return text.size() >= prefix.size() && Fold(text.substr(0, prefix.size())) == Fold(prefix);
}

// Lock held.
const Entry* FindLocked(Space& s, std::u16string_view name) {
  auto it = s.entries.find(Fold(CanonicalName(name)));
  return it == s.entries.end() ? nullptr : &it->second;
}

// Lock held. Calls `visit` with each whole-component prefix of `name`, from
// the root down, until it returns true; returns that prefix's length or 0.
template <class Visit>
size_t WalkPrefixes(std::u16string_view name, Visit visit) {
  for (size_t end = name.find(u'\\', 1);; end = name.find(u'\\', end + 1)) {
    const size_t length = end == std::u16string_view::npos ? name.size() : end;
    if (visit(name.substr(0, length))) return length;
    if (end == std::u16string_view::npos) return 0;
  }
}

// Lock held.
std::u16string ResolveLocked(Space& s, std::u16string_view name) {
  std::u16string current = CanonicalName(name);
  for (int depth = 0; depth < kMaximumLinkDepth; ++depth) {
    const Entry* link = nullptr;
    const size_t length = WalkPrefixes(current, [&](std::u16string_view prefix) {
      const Entry* entry = FindLocked(s, prefix);
      if (entry != nullptr && entry->isLink) link = entry;
      return link != nullptr;
    });
    if (link == nullptr) return current;
    current = CanonicalName(link->target) + current.substr(length);
  }
  return current;
}

NTSTATUS NameStatus(std::u16string_view name) {
  if (!ValidName(name)) return STATUS_OBJECT_NAME_INVALID;
  const std::u16string canonical = CanonicalName(name);
  const std::u16string_view parent = std::u16string_view(canonical).substr(0, canonical.rfind(u'\\'));
  for (std::u16string_view directory : kDirectories)
    if (Fold(parent) == Fold(directory)) return STATUS_SUCCESS;
  return STATUS_OBJECT_PATH_NOT_FOUND;
}

NTSTATUS Insert(Entry entry) {
  NTSTATUS status = NameStatus(entry.name);
  if (!NT_SUCCESS(status)) return status;
  Space& s = S();
  std::lock_guard guard(s.lock);
  auto [it, inserted] = s.entries.try_emplace(Fold(CanonicalName(entry.name)), std::move(entry));
  return inserted ? STATUS_SUCCESS : STATUS_OBJECT_NAME_COLLISION;
}

}  // namespace

std::u16string CanonicalName(std::u16string_view name) {
  for (std::u16string_view alias : kAliases)
    if (StartsWithNoCase(name, alias))
      return std::u16string(kDosDevices) + std::u16string(name.substr(alias.size()));
  return std::u16string(name);
}

std::u16string FoldedName(std::u16string_view name) { return Fold(CanonicalName(name)); }

std::u16string ToU16(PCUNICODE_STRING string) {
  if (string == nullptr || string->Buffer == nullptr) return {};
  return std::u16string(string->Buffer, string->Length / sizeof(WCHAR));
}

bool ValidName(std::u16string_view name) {
  if (name.size() < 2 || name.front() != u'\\' || name.back() == u'\\') return false;
  return name.find(u"\\\\") == std::u16string_view::npos && name.find(u'\0') == std::u16string_view::npos;
}

NTSTATUS InsertDeviceName(std::u16string_view name, PDEVICE_OBJECT device) {
  return Insert(Entry{std::u16string(name), device, false, {}});
}

void RemoveName(std::u16string_view name) {
  Space& s = S();
  std::lock_guard guard(s.lock);
  s.entries.erase(Fold(CanonicalName(name)));
}

NTSTATUS InsertObjectName(std::u16string_view name) { return Insert(Entry{std::u16string(name)}); }

NTSTATUS InsertLink(std::u16string_view link, std::u16string_view target) {
  return Insert(Entry{std::u16string(link), nullptr, true, std::u16string(target)});
}

NTSTATUS RemoveLink(std::u16string_view link) {
  Space& s = S();
  std::lock_guard guard(s.lock);
  auto it = s.entries.find(Fold(CanonicalName(link)));
  if (it == s.entries.end() || !it->second.isLink) return STATUS_OBJECT_NAME_NOT_FOUND;
  s.entries.erase(it);
  return STATUS_SUCCESS;
}

PDEVICE_OBJECT LookupDevicePrefix(std::u16string_view name, std::u16string* remainder, bool reference) {
  Space& s = S();
  std::lock_guard guard(s.lock);
  const std::u16string resolved = ResolveLocked(s, name);
  PDEVICE_OBJECT device = nullptr;
  const size_t length = WalkPrefixes(resolved, [&](std::u16string_view prefix) {
    const Entry* entry = FindLocked(s, prefix);
    if (entry != nullptr && entry->device != nullptr) device = entry->device;
    return device != nullptr;
  });
  if (remainder != nullptr) *remainder = device ? resolved.substr(length) : std::u16string();
  if (device != nullptr && reference) ob::Reference(device, "IopParseDevice");
  return device;
}

std::string Narrow(std::u16string_view text) {
  std::string narrow;
  for (char16_t c : text) narrow += c < 0x80 ? char(c) : '?';
  return narrow;
}

void BootNamespace() {
  Space& s = S();
  std::lock_guard guard(s.lock);
  s.entries.clear();
}

// Links left behind are reported, not failed: a driver may leave a link on
// purpose, and the object manager keeps it until reboot.
void ShutdownNamespace(bool checkLeaks) {
  Space& s = S();
  std::lock_guard guard(s.lock);
  for (const auto& [key, entry] : s.entries)
    if (checkLeaks && entry.isLink)
      std::fprintf(stderr, "I/O manager: symbolic link %s -> %s still exists at shutdown\n",
                   Narrow(entry.name).c_str(), Narrow(entry.target).c_str());
  s.entries.clear();
}

}  // namespace kernel::io::internal

namespace kernel::io {

using namespace internal;

PDEVICE_OBJECT FindDevice(std::u16string_view name) {
  std::u16string remainder;
  PDEVICE_OBJECT device = LookupDevicePrefix(name, &remainder);
  return remainder.empty() ? device : nullptr;
}

std::u16string ResolveName(std::u16string_view name) {
  Space& s = S();
  std::lock_guard guard(s.lock);
  return ResolveLocked(s, name);
}

std::u16string SymbolicLinkTarget(std::u16string_view link) {
  Space& s = S();
  std::lock_guard guard(s.lock);
  const Entry* entry = FindLocked(s, link);
  return entry != nullptr && entry->isLink ? entry->target : std::u16string();
}

std::vector<std::u16string> SymbolicLinks() {
  Space& s = S();
  std::lock_guard guard(s.lock);
  std::vector<std::u16string> links;
  for (const auto& [key, entry] : s.entries)
    if (entry.isLink) links.push_back(CanonicalName(entry.name));
  return links;
}

}  // namespace kernel::io

using namespace kernel::io::internal;

NTSTATUS IoCreateSymbolicLink(PUNICODE_STRING SymbolicLinkName, PUNICODE_STRING DeviceName) {
  kernel::verifier::CheckIrql("IoCreateSymbolicLink", SymbolicLinkName, PASSIVE_LEVEL);
  const std::u16string target = ToU16(DeviceName);
  if (!ValidName(target)) return STATUS_OBJECT_NAME_INVALID;
  return InsertLink(ToU16(SymbolicLinkName), target);
}

NTSTATUS IoDeleteSymbolicLink(PUNICODE_STRING SymbolicLinkName) {
  kernel::verifier::CheckIrql("IoDeleteSymbolicLink", SymbolicLinkName, PASSIVE_LEVEL);
  return RemoveLink(ToU16(SymbolicLinkName));
}
