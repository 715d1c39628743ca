#include "user/tool/selfcheck.h"

#include <cstdio>
#include <cstring>
#include <ostream>
#include <string>

#include "emulator/kernel/clock.h"
#include "emulator/kernel/machine.h"
#include "emulator/kernel/pool.h"
#include "platform/platform.h"

namespace t7315 {
namespace {

// Each check returns an empty string when it passed, else what went wrong.
using Check = std::string (*)();

std::string Hex(NTSTATUS status) {
  char text[16];
  std::snprintf(text, sizeof(text), "0x%08X", static_cast<unsigned>(status));
  return text;
}

LARGE_INTEGER Relative(int64_t units) {
  LARGE_INTEGER value;
  value.QuadPart = -units;
  return value;
}

std::string CheckEvents() {
  KEVENT event;
  KeInitializeEvent(&event, NotificationEvent, FALSE);
  LARGE_INTEGER none = Relative(0);
  NTSTATUS status = KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &none);
  if (status != STATUS_TIMEOUT) return "waiting on a clear event gave " + Hex(status);
  KeSetEvent(&event, 0, FALSE);
  status = KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &none);
  if (status != STATUS_SUCCESS) return "waiting on a set event gave " + Hex(status);
  if (KeReadStateEvent(&event) == 0) return "a notification event cleared itself on a wait";
  return {};
}

struct TimerRecord {
  KEVENT fired;
  KIRQL irql = PASSIVE_LEVEL;
  int64_t time = 0;
};

void NTAPI OnTimer(PKDPC, PVOID context, PVOID, PVOID) {
  auto* record = static_cast<TimerRecord*>(context);
  record->irql = KeGetCurrentIrql();
  record->time = kernel::clock::Now();
  KeSetEvent(&record->fired, 0, FALSE);
}

std::string CheckTimer() {
  constexpr int64_t kDue = 20 * kernel::clock::kMillisecond;
  TimerRecord record;
  KTIMER timer;
  KDPC dpc;
  KeInitializeEvent(&record.fired, NotificationEvent, FALSE);
  KeInitializeTimer(&timer);
  KeInitializeDpc(&dpc, OnTimer, &record);
  const int64_t start = kernel::clock::Now();
  KeSetTimer(&timer, Relative(kDue), &dpc);
  LARGE_INTEGER limit = Relative(2 * kernel::clock::kSecond);
  if (KeWaitForSingleObject(&record.fired, Executive, KernelMode, FALSE, &limit) != STATUS_SUCCESS) {
    KeCancelTimer(&timer);
    KeFlushQueuedDpcs();
    return "the timer's DPC did not run within 2 s";
  }
  if (record.irql != DISPATCH_LEVEL) return "the DPC ran at IRQL " + std::to_string(record.irql);
  if (record.time - start < kDue) return "the DPC ran before the timer was due";
  return {};
}

void NTAPI SetEventAndExit(PVOID context) {
  KeSetEvent(static_cast<PKEVENT>(context), 0, FALSE);
  PsTerminateSystemThread(STATUS_SUCCESS);
}

std::string CheckSystemThread() {
  KEVENT ran;
  KeInitializeEvent(&ran, NotificationEvent, FALSE);
  HANDLE handle = nullptr;
  NTSTATUS status = PsCreateSystemThread(&handle, 0, nullptr, nullptr, nullptr, SetEventAndExit, &ran);
  if (!NT_SUCCESS(status)) return "PsCreateSystemThread gave " + Hex(status);
  PVOID thread = nullptr;
  status = ObReferenceObjectByHandle(handle, 0, *PsThreadType, KernelMode, &thread, nullptr);
  ZwClose(handle);
  if (!NT_SUCCESS(status)) return "ObReferenceObjectByHandle gave " + Hex(status);
  LARGE_INTEGER limit = Relative(2 * kernel::clock::kSecond);
  status = KeWaitForSingleObject(thread, Executive, KernelMode, FALSE, &limit);
  ObDereferenceObject(thread);
  if (status != STATUS_SUCCESS) return "the thread did not end within 2 s";
  if (KeReadStateEvent(&ran) == 0) return "the thread ended without running its routine";
  return {};
}

std::string CheckSpinLock() {
  KSPIN_LOCK lock;
  KeInitializeSpinLock(&lock);
  const KIRQL old = KeAcquireSpinLockRaiseToDpc(&lock);
  const KIRQL held = KeGetCurrentIrql();
  KeReleaseSpinLock(&lock, old);
  if (held != DISPATCH_LEVEL) return "holding a spin lock left IRQL at " + std::to_string(held);
  if (KeGetCurrentIrql() != old) return "releasing the spin lock did not restore the IRQL";
  return {};
}

std::string CheckPool() {
  constexpr ULONG kTag = kernel::pool::Tag("7315");
  PVOID block = ExAllocatePoolWithTag(NonPagedPoolNx, 64, kTag);
  if (block == nullptr) return "a 64-byte allocation failed";
  const size_t live = kernel::pool::LiveCount(kTag);
  ExFreePoolWithTag(block, kTag);
  if (live != 1) return "the pool counted " + std::to_string(live) + " live blocks, not 1";
  if (kernel::pool::LiveCount(kTag) != 0) return "the freed block is still counted";
  return {};
}

// Written through the run-time routine, read back through the Zw routines.
std::string CheckRegistry() {
  ULONG written = 0x7315;
  NTSTATUS status = RtlWriteRegistryValue(RTL_REGISTRY_SERVICES, WIDE("T7315Selfcheck"), WIDE("Value"),
                                          REG_DWORD, &written, sizeof(written));
  if (!NT_SUCCESS(status)) return "RtlWriteRegistryValue gave " + Hex(status);

  UNICODE_STRING keyName;
  RtlInitUnicodeString(&keyName,
                       WIDE("\\Registry\\Machine\\System\\CurrentControlSet\\Services\\T7315Selfcheck"));
  OBJECT_ATTRIBUTES attributes;
  InitializeObjectAttributes(&attributes, &keyName, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, nullptr,
                             nullptr);
  HANDLE key = nullptr;
  status = ZwOpenKey(&key, KEY_READ, &attributes);
  if (!NT_SUCCESS(status)) return "ZwOpenKey gave " + Hex(status);
  UNICODE_STRING valueName;
  RtlInitUnicodeString(&valueName, WIDE("Value"));
  KEY_VALUE_PARTIAL_INFORMATION_ALIGN64 value[2] = {};
  ULONG length = 0;
  status = ZwQueryValueKey(key, &valueName, KeyValuePartialInformationAlign64, value, sizeof(value), &length);
  ZwClose(key);
  if (!NT_SUCCESS(status)) return "ZwQueryValueKey gave " + Hex(status);

  ULONG read = 0;
  if (value[0].Type != REG_DWORD || value[0].DataLength != sizeof(read))
    return "the value came back with another type or length";
  std::memcpy(&read, value[0].Data, sizeof(read));
  if (read != written) return "the value read back differs from the one written";
  return {};
}

}  // namespace

int RunSelfCheck(std::ostream& out) {
  static constexpr struct {
    const char* name;
    Check run;
  } kChecks[] = {
      {"events", CheckEvents},      {"timer", CheckTimer}, {"system thread", CheckSystemThread},
      {"spin lock", CheckSpinLock}, {"pool", CheckPool},   {"registry", CheckRegistry},
  };

  kernel::MachineOptions options;
  options.clock = kernel::ClockKind::Real;
  kernel::Machine machine(options);
  int failed = 0;
  for (const auto& check : kChecks) {
    const std::string problem = check.run();
    out << check.name << ": " << (problem.empty() ? "OK" : "FAIL (" + problem + ")") << '\n';
    failed += problem.empty() ? 0 : 1;
  }
  return failed;
}

}  // namespace t7315
