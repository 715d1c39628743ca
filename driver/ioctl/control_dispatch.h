// IRP_MJ_DEVICE_CONTROL: one entry for every device-control request of the
// port. The dispatcher decodes the code, applies the buffer rules of its
// table to the standard serial requests, hands the request to the code's
// handler and completes it with the handler's status and byte count. Vendor
// requests get the same request record and check their own buffers. Codes without a handler
// complete with STATUS_INVALID_BUFFER_SIZE (no buffers) or
// STATUS_INVALID_PARAMETER.
#pragma once

#include "platform/platform.h"
#include "driver/context/port_context.h"

// A standard serial request as its handler sees it.
typedef struct _CONTROL_REQUEST {
  PIRP Irp;
  ULONG IoControlCode;
  ULONG InputLength;
  ULONG OutputLength;
  // The system buffer of max(InputLength, OutputLength) bytes, input on entry
  // and output on return; null when absent.
  PVOID Buffer;
  // Bytes returned to the caller: 0 on entry, set by the handler.
  ULONG_PTR Information;
} CONTROL_REQUEST, *PCONTROL_REQUEST;

// A handler does the request's work after the table's buffer rules have
// passed and returns the status to complete it with. It never completes the
// request itself.
typedef NTSTATUS (*PCONTROL_HANDLER)(PPORT_DEVICE_CONTEXT Context, PCONTROL_REQUEST Request);

// Handler helpers for requests whose buffer rule guarantees sizeof(T) bytes.
template <class T>
inline VOID CopyIn(T* to, const CONTROL_REQUEST* request) {
  RtlCopyMemory(to, request->Buffer, sizeof(T));
}

template <class T>
inline NTSTATUS CopyOut(PCONTROL_REQUEST request, const T& from) {
  RtlCopyMemory(request->Buffer, &from, sizeof(T));
  request->Information = sizeof(T);
  return STATUS_SUCCESS;
}

// Runs at PASSIVE_LEVEL in the caller's thread. Returns the status the request
// was completed with, or, for IOCTL_SERIAL_WAIT_ON_MASK, whatever the
// wait-on-mask machinery returned (STATUS_PENDING when it keeps the request).
DRIVER_DISPATCH DispatchControl;
