// The emulated WMI service, host side: the providers registered with
// IoWMIRegistrationControl, requests to them as the WMI service sends them,
// the events they fire and the trace sessions that enable trace providers.
#pragma once

#include <cstdint>
#include <vector>

#include "platform/host/io.h"
#include "platform/host/wmi.h"

namespace kernel::wmi {

// One WMI request. The service builds the WNODE the minor function takes
// (WNODE_ALL_DATA, WNODE_SINGLE_INSTANCE, WNODE_SINGLE_ITEM, WNODE_METHOD_ITEM
// or a bare WNODE_HEADER), with static instance names and `instance` as the
// instance index; `data` is the new block or item, or a method's input.
struct Request {
  UCHAR minorFunction = IRP_MN_QUERY_ALL_DATA;
  GUID guid{};
  ULONG instance = 0;
  ULONG itemId = 0;  // IRP_MN_CHANGE_SINGLE_ITEM; the method id for IRP_MN_EXECUTE_METHOD
  std::vector<uint8_t> data;
  ULONG dataCapacity = 0;  // room for the answer behind the header (queries, methods)
};

struct Reply {
  NTSTATUS status;              // IoStatus.Status
  ULONG_PTR information;        // IoStatus.Information: bytes of the buffer used
  std::vector<uint8_t> buffer;  // the request's buffer as the provider left it
};

// Sends `request` to the provider that registered its GUID (STATUS_WMI_GUID_NOT_FOUND
// when none did), PASSIVE_LEVEL. A device provider gets IRP_MJ_SYSTEM_CONTROL
// at the top of its stack with ProviderId = the registered device object; a
// callback provider's WMIENTRY is called.
Reply Send(const Request& request);
// The same to one registered provider, whatever GUIDs it reported.
Reply SendTo(const void* provider, const Request& request);
// The registration information, with a buffer of `bufferSize` bytes, as the
// service asks a provider after its registration: IRP_MN_REGINFO_EX for a
// device object, IRP_MN_REGINFO for a callback block.
Reply RegInfo(const void* provider, ULONG bufferSize);

// Reading replies: the size a WNODE_TOO_SMALL asks for (0 for another
// reply), and the data of an instance of a WNODE_ALL_DATA or
// WNODE_SINGLE_INSTANCE reply.
ULONG SizeNeeded(const Reply& reply);
std::vector<uint8_t> InstanceData(const Reply& reply, ULONG instance = 0);

bool IsRegistered(const void* provider);
size_t ProviderCount();

struct Event {
  PDEVICE_OBJECT device;
  GUID guid;
  ULONG instanceIndex;
  std::vector<uint8_t> data;
};
// Events fired with WmiFireEvent since boot.
std::vector<Event> FiredEvents();

// ---- Tracing -------------------------------------------------------------------------
// Starts a trace session for a provider's control GUID: a callback provider
// gets IRP_MN_ENABLE_EVENTS with the logger handle in WNODE_HEADER.HistoricalContext,
// a classic provider its enable callback. STATUS_WMI_GUID_NOT_FOUND when no
// registered provider controls the GUID. PASSIVE_LEVEL.
NTSTATUS EnableTrace(const GUID& controlGuid, UCHAR level, ULONG enableFlags, TRACEHANDLE* logger = nullptr);
// Ends the session: IRP_MN_DISABLE_EVENTS or the disable callback.
NTSTATUS DisableTrace(const GUID& controlGuid);

struct TraceMessage {
  TRACEHANDLE logger;
  ULONG messageFlags;
  GUID messageGuid;
  USHORT messageNumber;
  std::vector<std::vector<uint8_t>> arguments;
};
// Messages WmiTraceMessage accepted since boot.
std::vector<TraceMessage> TraceMessages();
// Providers registered with EtwRegisterClassicProvider and not unregistered.
size_t ClassicProviderCount();

}  // namespace kernel::wmi
