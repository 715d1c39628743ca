// Driver entry point. The driver registers nothing yet, so loading it
// succeeds and leaves the driver object as the I/O manager built it.
#include "platform/platform.h"

extern "C" NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath) {
  UNREFERENCED_PARAMETER(DriverObject);
  UNREFERENCED_PARAMETER(RegistryPath);
  return STATUS_SUCCESS;
}
