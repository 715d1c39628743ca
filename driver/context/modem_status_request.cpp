#include "driver/context/modem_status_request.h"

#include "driver/context/shared_flags.h"

VOID RequestModemStatusRead(PPORT_DEVICE_CONTEXT Context) {
  if (ReadShared(&Context->handles) == 0) {
    return;
  }
  if (ExchangeSharedByte(&Context->MsrPollReady, 0) != 0) {
    KeSetEvent(&Context->MsrPollEvent, IO_NO_INCREMENT, FALSE);
  }
}
