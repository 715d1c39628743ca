#include "driver/device/remote_wake.h"

#include "driver/uart/register_access.h"

NTSTATUS SendRemoteWakeFeature(PPORT_DEVICE_CONTEXT Context, BOOLEAN Enable) {
  URB urb;
  RtlZeroMemory(&urb, sizeof urb);
  UsbBuildFeatureRequest(&urb,
                         Enable ? URB_FUNCTION_SET_FEATURE_TO_DEVICE : URB_FUNCTION_CLEAR_FEATURE_TO_DEVICE,
                         USB_FEATURE_REMOTE_WAKEUP, 0, nullptr);
  NTSTATUS status = SubmitUrbSync(Context, &urb);
  // A request that completed later only says so; the URB says how it went.
  if (NT_SUCCESS(status) && !USBD_SUCCESS(urb.UrbHeader.Status)) status = STATUS_UNSUCCESSFUL;
  return status;
}
