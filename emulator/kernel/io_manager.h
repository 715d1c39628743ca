// Host-side face of the emulated I/O manager, for the Plug and Play manager,
// the simulated chip's bus driver, the user-mode API and tests: loading and
// unloading drivers, looking up devices and names, registered interfaces,
// "user-mode" requests on file objects, live IRPs and fault injection.
#pragma once

#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/host/io.h"

namespace kernel::io {

// ---- Drivers -------------------------------------------------------------------
// Creates the driver object "\Driver\<name>" with every dispatch entry set to
// the default handler (STATUS_INVALID_DEVICE_REQUEST) and runs `entry` at
// PASSIVE_LEVEL. When DriverEntry fails the object is deleted again and its
// status returned; device objects it left behind are a verifier failure.
NTSTATUS LoadDriver(std::u16string_view name, PDRIVER_INITIALIZE entry, std::u16string_view registryPath,
                    PDRIVER_OBJECT* driver);
// Runs DriverUnload (when set) and deletes the driver object. Every device
// object of the driver must have been deleted before.
void UnloadDriver(PDRIVER_OBJECT driver);

// ---- Devices and names ---------------------------------------------------------------
// Device-node states kept in DEVOBJ_EXTENSION.ExtensionFlags; opens of a
// stack with any of them set fail.
constexpr ULONG kDoeUnloadPending = 0x01;
constexpr ULONG kDoeDeletePending = 0x02;  // set by IoDeleteDevice
constexpr ULONG kDoeRemovePending = 0x04;
constexpr ULONG kDoeRemoveProcessed = 0x08;
constexpr ULONG kDoeStartPending = 0x10;  // the Plug and Play manager has not started it
void SetExtensionFlags(PDEVICE_OBJECT device, ULONG set, ULONG clear);

// Kernel name of a device object ("\Device\Serial0"), empty when unnamed.
std::u16string DeviceName(PDEVICE_OBJECT device);
// The device object named `name` after following symbolic links
// ("\??\COM3", "\DosDevices\COM3", "\GLOBAL??\COM3"), or nullptr. The name
// must match a device exactly; no reference is taken.
PDEVICE_OBJECT FindDevice(std::u16string_view name);
// Follows symbolic links in `name` until it names no link; the result may
// still name nothing. Links are matched on whole path components, so
// "\??\COM3\x" resolves to "<target of \??\COM3>\x".
std::u16string ResolveName(std::u16string_view name);
// Target of one symbolic link (aliases of "\??\" accepted), empty if none.
std::u16string SymbolicLinkTarget(std::u16string_view link);
// Every symbolic link, as "\??\<name>".
std::vector<std::u16string> SymbolicLinks();

// ---- Device interfaces -------------------------------------------------------------------
// Instance path of a physical device object ("USB\VID_1234&PID_5678\5&1a2b&0&1").
// The Plug and Play manager sets it when it creates the device's node;
// IoRegisterDeviceInterface refuses device objects without one.
void SetDeviceInstancePath(PDEVICE_OBJECT pdo, std::u16string_view instancePath);
std::u16string DeviceInstancePath(PDEVICE_OBJECT pdo);

struct DeviceInterface {
  std::u16string symbolicLink;  // "\??\USB#VID_1234&PID_5678#5&1a2b&0&1#{guid}"
  GUID classGuid;
  std::u16string instancePath;
  bool enabled;
};
// Registered interfaces of one class, in registration order.
std::vector<DeviceInterface> DeviceInterfaces(const GUID& classGuid);

// ---- Files and user-mode requests --------------------------------------------------------
// Opens `name` the way a user-mode CreateFile does: resolves links, sends
// IRP_MJ_CREATE to the top of the device's stack and waits for it. Exclusive
// devices admit one open file at a time (STATUS_ACCESS_DENIED); devices being
// initialised, deleted or not started fail with STATUS_NO_SUCH_DEVICE or
// STATUS_DELETE_PENDING. Runs at PASSIVE_LEVEL.
NTSTATUS OpenFile(std::u16string_view name, ACCESS_MASK desiredAccess, ULONG shareAccess, PFILE_OBJECT* file);
// Closes the handle: sends IRP_MJ_CLEANUP and waits for it. IRP_MJ_CLOSE
// follows once nothing references the file object any more: at once unless
// requests are still outstanding, else from a system worker thread
// (kernel::worker) after the last of them completes. Runs at PASSIVE_LEVEL.
void CloseFile(PFILE_OBJECT file);
// Requests not yet completed on `file`.
size_t OutstandingRequests(PFILE_OBJECT file);

struct UserRequest {
  // IRP_MJ_READ, IRP_MJ_WRITE, IRP_MJ_DEVICE_CONTROL, IRP_MJ_FLUSH_BUFFERS,
  // IRP_MJ_QUERY_INFORMATION or IRP_MJ_SET_INFORMATION.
  UCHAR majorFunction = IRP_MJ_READ;
  ULONG ioControlCode = 0;                    // device control
  FILE_INFORMATION_CLASS informationClass{};  // query / set information
  const void* input = nullptr;                // write data, control input
  ULONG inputLength = 0;
  void* output = nullptr;  // read buffer, control output
  ULONG outputLength = 0;
  LONGLONG byteOffset = 0;
  // Recorded as the IRP's UserIosb, as the system services record the caller's
  // I/O status block (for a Win32 caller, its OVERLAPPED), so that
  // CancelUserRequests can pick the request out. Nothing writes through it:
  // onComplete receives the result.
  PIO_STATUS_BLOCK userIosb = nullptr;
  // Runs exactly once when the request has finished and its output has been
  // copied back, at the IRQL of whoever completed it (up to DISPATCH_LEVEL):
  // it must not block. It is not called when submission itself fails.
  std::function<void(const IO_STATUS_BLOCK&)> onComplete;
};
// Builds the IRP as the I/O system services do for a user-mode caller
// (buffered or neither I/O per device and control code) and calls the top
// driver of the file's stack. Returns what the driver returned, or an error
// with no IRP sent (bad request, no memory).
NTSTATUS SubmitUserRequest(PFILE_OBJECT file, UserRequest request);
// Submits and waits: the request's final status and information.
IO_STATUS_BLOCK SendUserRequest(PFILE_OBJECT file, UserRequest request);
// IoCancelIrp on every request still outstanding on `file` (CancelIoEx).
void CancelUserRequests(PFILE_OBJECT file);
// IoCancelIrp on the requests outstanding on `file` that `thread` issued
// (nullptr: any thread) with `userIosb` (nullptr: any), as CancelIo and
// CancelIoEx with an OVERLAPPED do. Returns how many it found.
size_t CancelUserRequests(PFILE_OBJECT file, PETHREAD thread, PIO_STATUS_BLOCK userIosb);

// ---- IRPs --------------------------------------------------------------------------------
struct IrpInfo {
  PIRP irp;
  UCHAR majorFunction;    // of the current stack location, or 0xFF when none
  PDEVICE_OBJECT holder;  // device of the current stack location, or nullptr
  const char* origin;     // "driver", "threaded" or "user"
};
// IRPs allocated and not yet freed.
std::vector<IrpInfo> LiveIrps();

// Fault injection: with nth = 1 the next IoAllocateIrp (and every request
// built on it) fails, with 2 the one after, ...; 0 switches it off.
void FailNthIrpAllocation(unsigned nth);

}  // namespace kernel::io
