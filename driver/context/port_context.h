// The port device context: everything the driver knows about one port, kept
// in the extension of the port's device object. Request handlers, completion
// routines, DPCs and worker threads reach it through the device object and
// work on its fields in place; there is no other per-port state.
//
// The I/O manager allocates it with the device object, zero-filled, so every
// field starts at zero until device creation gives it a value.
//
// Lock order: CurrentReadLock before ReadQueueLock and before
// ReceiveBufferLock (those two never held together); WriteQueueLock,
// IntUrbLock and IoCountLock alone; RegisterMutex only at PASSIVE_LEVEL with
// no spin lock held.
#pragma once

#include "platform/platform.h"
#include "driver/context/port_constants.h"
#include "driver/context/receive_ring.h"

// ---- Driver-wide -------------------------------------------------------------

// Pool tag of every block the driver allocates: "7315" in memory order, as
// pool tools show it.
constexpr ULONG DriverPoolTag = ULONG('7') | ULONG('3') << 8 | ULONG('1') << 16 | ULONG('5') << 24;
static_assert(DriverPoolTag == 0x35313337, "the tag reads \"7315\" in memory");

// Pool blocks handed out by AllocatePoolMemory and not yet given back through
// FreePoolMemory, for all ports together. For inspection only: nothing reads it.
extern ULONG OutstandingAllocations;

// Copy of the service registry path handed to DriverEntry, zero-terminated;
// the WMI provider names it as its registry path. Freed by DriverUnload.
extern UNICODE_STRING DriverRegistryPath;

// ---- Transfer slot -------------------------------------------------------------

constexpr ULONG IntUrbStatusBufferSize = 16;   // one interrupt-in status report
constexpr ULONG IntUrbDataBufferSize = 65536;  // one bulk-in transfer

// One of the port's three USB transfers. Its IRP and URB are allocated once
// and reused, so nothing on the data path allocates.
struct IntUrb {
  PIRP Irp;                                    // the slot's own IRP; null when not allocated
  PURB Urb;                                    // the slot's non-paged URB buffer; null when not allocated
  UCHAR Idle;                                  // 1 = no transfer of this slot is in flight (IntUrbLock)
  UCHAR Halted;                                // 1 = the pipe stalled; reset it before the next transfer
  PUSBD_PIPE_INFORMATION PipeInfo;             // entry of InterfaceInfo's pipe array the slot uses
  PDEVICE_OBJECT Fdo;                          // the port's device object, for the completion routine
  UCHAR StatusBuffer[IntUrbStatusBufferSize];  // interrupt-in transfer (slot 1)
  UCHAR DataBuffer[IntUrbDataBufferSize];      // bulk-in transfer (slot 0)
};

// IntUrbs indices.
constexpr ULONG BulkInSlot = 0;
constexpr ULONG InterruptInSlot = 1;
constexpr ULONG BulkOutSlot = 2;
constexpr ULONG IntUrbCount = 3;

// ---- Diagnostic log ----------------------------------------------------------------

constexpr ULONG DebugLogLineCount = 1280;
constexpr ULONG DebugLogLineSize = 128;  // a line holds at most 127 characters and its zero

// ---- The context -----------------------------------------------------------------------

typedef struct _PORT_DEVICE_CONTEXT {
  // Identity, stack and Plug and Play state.
  PDEVICE_OBJECT DeviceObject;       // the port's own device object
  PDEVICE_OBJECT LowerDeviceObject;  // every IRP and URB of the port goes here
  PDEVICE_OBJECT Pdo;
  IO_REMOVE_LOCK RemoveLock;     // Plug and Play and power dispatch, every submitted transfer
  KEVENT RemoveEvent;            // notification; signalled when OutstandingIo reaches 0
  KEVENT StopEvent;              // notification; signalled at 1, cleared above 1
  KSPIN_LOCK IoCountLock;        // OutstandingIo and the two events above
  UNICODE_STRING InterfaceName;  // the port's own device interface link
  ULONG DeviceState;             // 0 not started or stopped, 1 working, 2 stop pending, 3 remove
                                 // pending, 4 surprise-removed, 5 removed
  ULONG PrevDeviceState;         // DeviceState saved by a query-stop or query-remove
  ULONG Started;                 // 1 from the end of a successful start until stop
  ULONG DevPowerState;           // DEVICE_POWER_STATE numbering (1 = D0)
  ULONG SysPowerState;           // SYSTEM_POWER_STATE numbering (1 = working)
  DEVICE_CAPABILITIES DeviceCapabilities;
  ULONG handles;  // open count: only the open from 0 to 1 succeeds

  // USB configuration.
  USBD_CONFIGURATION_HANDLE ConfigurationHandle;
  PUSB_CONFIGURATION_DESCRIPTOR ConfigurationDescriptor;
  PUSB_DEVICE_DESCRIPTOR DeviceDescriptor;
  PUSBD_INTERFACE_INFORMATION InterfaceInfo;  // pipes: 0 interrupt-in, 1 bulk-in, 2 bulk-out

  // Naming.
  ULONG SkipExternalNaming;  // non-zero suppresses all naming
  UCHAR CreatedSymbolicLink;
  UCHAR CreatedSerialCommEntry;
  UNICODE_STRING SymbolicLinkName;  // the DOS-device link
  UNICODE_STRING ComInterfaceName;  // the COM-port class interface link
  UNICODE_STRING DeviceName;        // the kernel device name with its number
  UNICODE_STRING PortNameString;    // for example COM3

  // Serial settings and statistics.
  ULONG BaudRate;
  SERIAL_LINE_CONTROL LineControl;
  SERIAL_CHARS SpecialChars;
  ULONG BreakErrorFlag;  // 1 once a break was received
  SERIALPERF_STATS PerfStats;
  ULONG WaitMask;  // SERIAL_EV_* events a wait-on-mask request waits for
  SERIAL_HANDFLOW HandFlow;
  SERIAL_TIMEOUTS Timeouts;  // milliseconds

  // Read and write requests.
  LIST_ENTRY ReadQueue;
  KSPIN_LOCK ReadQueueLock;  // ReadQueue and the hand-over of CurrentReadIrp
  PIRP CurrentReadIrp;
  QUEUE_BUFFER ReceiveBuffer;
  KSPIN_LOCK ReceiveBufferLock;  // every access to ReceiveBuffer
  LIST_ENTRY WriteQueue;
  KSPIN_LOCK WriteQueueLock;  // WriteQueue, CurrentWriteIrp and its progress fields
  ULONG AmountInOutQueue;     // bytes accepted for writing, not yet confirmed sent
  PIRP CurrentWriteIrp;
  PUCHAR CurrentWriteIrpData;    // next unsent byte of the current write
  ULONG CurrentWriteIrpDataLen;  // bytes of the current write not yet confirmed sent
  ULONG CurrentWriteIrpLength;   // requested length of the current write
  UCHAR CurrentWriteCancelled;   // the current write's cancel routine has run: whoever
                                 // finishes the write completes it
  KSPIN_LOCK CurrentReadLock;    // held while CurrentReadIrp or ReadQueue's head changes or a read completes

  // Events and transfers.
  PIRP CurrentWaitIrp;    // the pending wait-on-mask request, at most one
  ULONG HistoryMask;      // SERIAL_EV_* events seen since the last wait completed
  KSPIN_LOCK IntUrbLock;  // the slots' Irp pointers and Idle flags
  IntUrb IntUrbs[IntUrbCount];
  LONG OutstandingIo;    // 1 while the port exists and is idle
  KEVENT ReadKillEvent;  // bulk-in worker: notification
  KEVENT ReadPollEvent;  // synchronization
  PKTHREAD ReadThread;
  KEVENT WriteKillEvent;  // bulk-out worker
  KEVENT WritePollEvent;
  PKTHREAD WriteThread;
  KEVENT IntKillEvent;  // interrupt-in worker
  KEVENT IntPollEvent;
  PKTHREAD IntThread;
  KMUTEX RegisterMutex;  // serialises chip register access
  ULONG TxHolding;       // transmitter held by: 0x01 CTS, 0x02 DSR, 0x04 DCD, 0x08 XOFF, 0x10 break

  // Power, timers and chip settings.
  UCHAR DeviceWakeEnable;
  UCHAR DeviceEnable;
  KDPC ReadTimeoutDpc;
  KTIMER ReadTimer;
  KDPC WriteTimeoutDpc;
  KTIMER WriteTimer;
  // Unused: each read carries its own deadline. Kept for the record's layout.
  LONGLONG ReadTotalTimeoutAmount;
  ULONGLONG ReadStartTime;
  UCHAR FifoPresent;     // the start-time probe found the UART FIFOs enabled
  UCHAR RestorePending;  // from a device power-up until the settings are restored
  ULONG PortIndex;       // 0-based number of this port on the chip
  UCHAR PortMode;        // 0-7
  UCHAR PortModeFlags;   // bits 0 and 1 mirrored into SERIAL_CONFIG_REG0
  ULONG MaxWriteLength;  // largest bulk-out chunk, at most 128
  KEVENT MsrKillEvent;   // modem-status worker
  KEVENT MsrPollEvent;
  KEVENT LsrPollEvent;
  PKTHREAD MsrThread;
  UCHAR LoopbackMode;     // 1 = open turns on the UART loopback
  UCHAR PortClosing;      // from close until the next open; stops the bulk-in re-arm
  ULONG WhqlTest;         // 1 if "WHQLTest" exists under the serial service key
  UCHAR MsrPollReady;     // 1 = a modem-status read may be requested
  UCHAR SaveModemStatus;  // last modem status register value read
  UCHAR ModemControl;     // last value written to MODEM_CONTROL_REGISTER
  UCHAR ReceiveFlowOff;   // 1 = the ring is filling: the far end is to stop (receive_flow.h)
  UCHAR ReceiveFlowLow;   // 1 = the modem-status thread has lowered the handshake line for it
  UCHAR XoffSent;         // 1 = the far end was last sent XoffChar (set by the bulk-out completion)
  UCHAR SlotFlowChar;     // FlowCharXon or FlowCharXoff while slot 2 carries FlowChar (WriteQueueLock)
  UCHAR FlowChar;         // the byte slot 2 carries then
  UCHAR FifoTriggerLow;   // receive-trigger bits for SERIAL_CONFIG_REG1
  UCHAR RxFifoTrigger;    // receive-trigger bits for the FIFO control register
  UCHAR RemoteWakeArmed;
  UCHAR RearmViaThread;  // 1 = the bulk-in completion re-arms through the worker thread
  UCHAR BaudClockMode;
  UCHAR BaudClockSelect;
  UCHAR BaudClockParam;
  UCHAR PortSetupHigh;  // PortSetup*: written to PORT_SETUP_REG at open
  UCHAR PortSetupLevel;
  UCHAR PortSetupBit0;
  UCHAR ChipMode;  // read at the end of each start

  // Diagnostic log: a ring of text lines, off unless DebugLogEnabled is set.
  CHAR DebugLogLines[DebugLogLineCount][DebugLogLineSize];
  ULONG DebugLogReadIndex;   // oldest line not yet taken
  ULONG DebugLogWriteIndex;  // line written next
  UCHAR DebugLogEnabled;
} PORT_DEVICE_CONTEXT, *PPORT_DEVICE_CONTEXT;

inline PPORT_DEVICE_CONTEXT GetPortContext(PDEVICE_OBJECT DeviceObject) {
  return static_cast<PPORT_DEVICE_CONTEXT>(DeviceObject->DeviceExtension);
}

// ---- What the layout must keep ---------------------------------------------------------

static_assert(sizeof(IntUrb::StatusBuffer) == 16 && sizeof(IntUrb::DataBuffer) == 65536,
              "a slot receives a 16-byte status report and a 64 KiB bulk-in transfer");
static_assert(sizeof(PORT_DEVICE_CONTEXT::IntUrbs) / sizeof(IntUrb) == 3,
              "bulk-in, interrupt-in and bulk-out slots");
static_assert(sizeof(PORT_DEVICE_CONTEXT::DebugLogLines) == size_t(1280) * 128,
              "a 160 KiB log of 1280 lines");
static_assert(sizeof(PORT_DEVICE_CONTEXT::LineControl) == 3 &&
                  sizeof(PORT_DEVICE_CONTEXT::SpecialChars) == 6 &&
                  sizeof(PORT_DEVICE_CONTEXT::PerfStats) == 24 &&
                  sizeof(PORT_DEVICE_CONTEXT::HandFlow) == 16 && sizeof(PORT_DEVICE_CONTEXT::Timeouts) == 20,
              "the serial records keep their published sizes");
// Three 64 KiB slots and the 160 KiB log make up nearly all of it. The size is
// handed to IoCreateDevice as the extension size.
static_assert(sizeof(PORT_DEVICE_CONTEXT) > size_t(353) * 1024 &&
                  sizeof(PORT_DEVICE_CONTEXT) < size_t(354) * 1024,
              "the context is a little over 353 KiB");
