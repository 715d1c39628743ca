#include "emulator/kernel/ex/handles.h"

#include <map>
#include <mutex>
#include <string>

#include "emulator/kernel/machine.h"
#include "emulator/kernel/ke/verifier.h"
#include "platform/host/ex.h"
#include "platform/host/ke.h"

namespace kernel::handles {
namespace {

// Handle values are multiples of 4, as in Windows, and are not reused within
// one boot so that a stale handle can never reach a newer object.
constexpr uintptr_t kHandleStep = 4;

struct Table {
  std::mutex lock;
  std::map<uintptr_t, std::shared_ptr<Object>> open;
  uintptr_t last = 0;
  bool checkLeaks = true;
};

Table& TheTable() {
  static auto* table = new Table;
  return *table;
}

void Boot(const MachineOptions& options) {
  Table& table = TheTable();
  std::lock_guard guard(table.lock);
  table.open.clear();
  table.last = 0;
  table.checkLeaks = options.checkLeaksAtShutdown;
}

void Shutdown() {
  Table& table = TheTable();
  std::map<uintptr_t, std::shared_ptr<Object>> leaked;
  bool check;
  {
    std::lock_guard guard(table.lock);
    leaked.swap(table.open);
    check = table.checkLeaks;
  }
  if (!check || leaked.empty()) return;
  std::string list;
  for (const auto& [value, object] : leaked)
    list += " " + std::to_string(value) + " (" + object->TypeName() + ")";
  verifier::Fail("handle leak", "Machine shutdown", reinterpret_cast<void*>(leaked.begin()->first),
                 "%zu handle(s) still open:%s", leaked.size(), list.c_str());
}

const bool registered = RegisterSubsystem({"handles", 20, Boot, Shutdown});

}  // namespace

HANDLE Insert(std::shared_ptr<Object> object) {
  Table& table = TheTable();
  std::lock_guard guard(table.lock);
  table.last += kHandleStep;
  table.open.emplace(table.last, std::move(object));
  return reinterpret_cast<HANDLE>(table.last);
}

std::shared_ptr<Object> Lookup(HANDLE handle) {
  Table& table = TheTable();
  std::lock_guard guard(table.lock);
  auto it = table.open.find(reinterpret_cast<uintptr_t>(handle));
  return it == table.open.end() ? nullptr : it->second;
}

NTSTATUS Close(HANDLE handle) {
  std::shared_ptr<Object> closing;  // released outside the lock
  Table& table = TheTable();
  std::lock_guard guard(table.lock);
  auto it = table.open.find(reinterpret_cast<uintptr_t>(handle));
  if (it == table.open.end()) return STATUS_INVALID_HANDLE;
  closing = std::move(it->second);
  table.open.erase(it);
  return STATUS_SUCCESS;
}

size_t OpenCount() {
  Table& table = TheTable();
  std::lock_guard guard(table.lock);
  return table.open.size();
}

}  // namespace kernel::handles

// Closing a handle that is not open is a driver bug that Windows stops on
// (INVALID_KERNEL_HANDLE); so does this kernel.
NTSTATUS ZwClose(HANDLE handle) {
  kernel::verifier::CheckIrql("ZwClose", handle, PASSIVE_LEVEL);
  if (kernel::handles::Close(handle) != STATUS_SUCCESS)
    kernel::verifier::Fail("invalid handle", "ZwClose", handle, "the handle is not open");
  return STATUS_SUCCESS;
}
