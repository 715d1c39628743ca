#include "emulator/kernel/ex/routine_table.h"

#include <map>
#include <mutex>
#include <string>

#include "emulator/kernel/rtl/text.h"
#include "emulator/kernel/ke/verifier.h"
#include "emulator/kernel/ex/version.h"
#include "platform/host/ex.h"
#include "platform/host/ke.h"

namespace kernel::routines {
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

}  // namespace kernel::routines

PVOID MmGetSystemRoutineAddress(PUNICODE_STRING systemRoutineName) {
  kernel::verifier::CheckIrql("MmGetSystemRoutineAddress", systemRoutineName, PASSIVE_LEVEL);
  std::string name = kernel::text::ToUtf8(kernel::text::View(*systemRoutineName));
  kernel::version::WindowsVersion version = kernel::version::Current();
  return const_cast<void*>(kernel::routines::Find(name.c_str(), version.major, version.minor));
}
