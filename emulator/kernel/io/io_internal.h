// Internal to the I/O manager (emulator/kernel/io/): the IRP table, the device
// records and the name space that the routines share.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "emulator/kernel/io_manager.h"

namespace kernel::io::internal {

// ---- IRP table (io_irp.cpp) ----------------------------------------------------------
enum class Origin {
  Driver,        // IoAllocateIrp: the driver frees it
  DriverMemory,  // IoInitializeIrp on the driver's own memory
  Threaded,      // IoBuildDeviceIoControlRequest: the I/O manager frees it
  User,          // a user-mode request: the I/O manager finishes and frees it
};
const char* OriginName(Origin origin);

// Allocates and initialises an IRP with `stackSize` locations; nullptr when
// the allocation is made to fail.
PIRP AllocateIrp(CCHAR stackSize, Origin origin, bool mustSucceed = false);
// Runs once the completion walk of a threaded or user IRP passes its top:
// copies results back, signals the requester, then calls ReleaseIrp.
void SetFinisher(PIRP irp, std::function<void(PIRP)> finisher);
std::function<void(PIRP)> TakeFinisher(PIRP irp);
// Frees an IRP that the I/O manager owns (after its finisher ran).
void ReleaseIrp(PIRP irp);

// IoCancelIrp for a caller that holds the IRP (see Hold).
BOOLEAN CancelHeldIrp(PIRP irp);

// True when `irp` is allocated and not freed; nullptr-safe.
bool IsLive(PIRP irp);
// Fails with a verifier rule naming `routine` unless the IRP is live.
void CheckLive(PIRP irp, const char* routine);
Origin OriginOf(PIRP irp);
// Keeps a live IRP's memory from being released while a canceller works on
// it; false when the IRP is not live.
bool Hold(PIRP irp);
void Unhold(PIRP irp);

// One call of a dispatch routine, kept until the completion walk passes its
// stack location, so that the status the routine returned can be checked
// against SL_PENDING_RETURNED as the location had it when it was completed.
struct CallFrame;
std::shared_ptr<CallFrame> BeginCall(PIRP irp, PDEVICE_OBJECT device);
void EndCall(const std::shared_ptr<CallFrame>& frame, NTSTATUS status);
// The completion walk reached stack location `location` (1-based) with
// `control` as its Control byte.
void PassLocation(PIRP irp, CHAR location, UCHAR control);
// True while a dispatch routine below has the IRP (passed down, not yet
// completed back).
bool HeldBelow(PIRP irp);

// ---- Buffers of IRPs the I/O manager builds (io_build.cpp) --------------------------
// Gives the IRP a zeroed system buffer of `bufferLength` bytes holding the
// input; false when the pool has no memory.
bool AttachSystemBuffer(PIRP irp, const void* input, ULONG inputLength, ULONG bufferLength);
// Describes `length` bytes at `buffer` by an MDL at irp->MdlAddress (none for
// 0 bytes); false when the pool has no memory.
bool AttachMdl(PIRP irp, void* buffer, ULONG length);
// A direct-I/O control request's buffers: the input in a system buffer, the
// output described by an MDL; false, with nothing attached, when the pool
// has no memory.
bool AttachDirectBuffers(PIRP irp, const void* input, ULONG inputLength, void* output, ULONG outputLength);
// Copies a buffered request's output back to UserBuffer unless it failed,
// checking IoStatus.Information against `outputLength`, and frees the system
// buffer and the MDL.
void FinishTransfer(PIRP irp, ULONG outputLength);

// ---- Devices (io_device.cpp) ---------------------------------------------------------
bool IsDevice(PDEVICE_OBJECT device);
ULONG ExtensionFlags(PDEVICE_OBJECT device);

// ---- Name space (io_namespace.cpp) -------------------------------------------------------
// Object names are compared case-insensitively; "\DosDevices\" and
// "\GLOBAL??\" are aliases of "\??\".
std::u16string CanonicalName(std::u16string_view name);
// The form under which names compare equal.
std::u16string FoldedName(std::u16string_view name);
std::u16string ToU16(PCUNICODE_STRING string);
bool ValidName(std::u16string_view name);
NTSTATUS InsertDeviceName(std::u16string_view name, PDEVICE_OBJECT device);
// A named object that is neither a device nor a link (a driver object).
NTSTATUS InsertObjectName(std::u16string_view name);
void RemoveName(std::u16string_view name);
NTSTATUS InsertLink(std::u16string_view link, std::u16string_view target);
NTSTATUS RemoveLink(std::u16string_view link);
// The device whose name is the longest whole-component prefix of the
// resolved `name`, with the rest of the name in `remainder`.
// With `reference`, the device is returned referenced.
PDEVICE_OBJECT LookupDevicePrefix(std::u16string_view name, std::u16string* remainder,
                                  bool reference = false);

// ---- Hooks between modules --------------------------------------------------------------
// A device object is being deleted: drop its interfaces' links, its instance
// path and remove-lock records inside its extension.
void ForgetDeviceInterfaces(PDEVICE_OBJECT device);
void ForgetRemoveLocks(const void* begin, size_t size);

// Per-boot reset and shutdown report of each module.
void BootIrps();
void ShutdownIrps(bool checkLeaks);
void BootDevices();
void ShutdownDevices(bool checkLeaks);
void BootNamespace();
void ShutdownNamespace(bool checkLeaks);
void BootInterfaces();
void BootRemoveLocks();
void BootCancel();
void BootFiles();
void ShutdownFiles(bool checkLeaks);
void ShutdownDrivers(bool checkLeaks);
void ResetCallFrames();

// ---- Files (io_files.cpp) -----------------------------------------------------------------
// Fails with a verifier rule naming `routine` unless the file's handle is open.
void CheckFileOpen(PFILE_OBJECT file, const char* routine);
// A request on `file` is about to be sent: false when the file's handle is
// closed. The file then stays open until DropFileReference.
bool AddFileReference(PFILE_OBJECT file, PIRP irp);
void DropFileReference(PFILE_OBJECT file, PIRP irp);
// The file's outstanding IRPs, each held (see Hold).
std::vector<PIRP> HoldOutstandingIrps(PFILE_OBJECT file);

// Text of a wide name for verifier messages.
std::string Narrow(std::u16string_view text);

}  // namespace kernel::io::internal
