#include "host/routine_table.h"

#include <map>
#include <mutex>
#include <string>

#include "host/text.h"
#include "host/verifier.h"
#include "host/version.h"
#include "platform/host/ex.h"
#include "platform/host/ke.h"

namespace host::routines {
namespace {

struct Entry {
  const void* address;
  unsigned long sinceMajor, sinceMinor;
};

struct Table {
  std::mutex lock;
  std::map<std::string, Entry> entries;  // export names are case-sensitive
};

Table& TheTable() {
  static auto* table = new Table;
  return *table;
}

}  // namespace

bool Register(const char* name, const void* address, unsigned long sinceMajor, unsigned long sinceMinor) {
  Table& table = TheTable();
  std::lock_guard guard(table.lock);
  return table.entries.emplace(name, Entry{address, sinceMajor, sinceMinor}).second;
}

const void* Find(const char* name, unsigned long major, unsigned long minor) {
  Table& table = TheTable();
  std::lock_guard guard(table.lock);
  auto it = table.entries.find(name);
  if (it == table.entries.end()) return nullptr;
  const Entry& entry = it->second;
  bool exported = major > entry.sinceMajor || (major == entry.sinceMajor && minor >= entry.sinceMinor);
  return exported ? entry.address : nullptr;
}

}  // namespace host::routines

PVOID MmGetSystemRoutineAddress(PUNICODE_STRING systemRoutineName) {
  host::verifier::CheckIrql("MmGetSystemRoutineAddress", systemRoutineName, PASSIVE_LEVEL);
  std::string name = host::text::ToUtf8(host::text::View(*systemRoutineName));
  host::version::WindowsVersion version = host::version::Current();
  return const_cast<void*>(host::routines::Find(name.c_str(), version.major, version.minor));
}
