// usbd.sys for the host build: walking a configuration descriptor and building
// the select-configuration URB from it. Descriptors come from devices, so
// every walk trusts nothing but the buffer's bounds: a descriptor that is too
// short for its type or runs past the end stops it.

#include <stdint.h>

#include "emulator/kernel/pool.h"
#include "platform/host/ex.h"
#include "platform/host/usb.h"

namespace {

constexpr ULONG kUsbdTag = kernel::pool::Tag("USBD");

// A select-configuration URB's length is a USHORT.
constexpr size_t kLargestUrb = 0xFFFF;

// The descriptor at `at` when it is well formed and lies wholly before `end`.
PUSB_COMMON_DESCRIPTOR DescriptorAt(uintptr_t at, uintptr_t end) {
  if (at >= end || end - at < sizeof(USB_COMMON_DESCRIPTOR)) return nullptr;
  auto descriptor = reinterpret_cast<PUSB_COMMON_DESCRIPTOR>(at);
  if (descriptor->bLength < sizeof(USB_COMMON_DESCRIPTOR) || descriptor->bLength > end - at) return nullptr;
  return descriptor;
}

bool Matches(LONG wanted, UCHAR value) { return wanted == -1 || wanted == value; }

PUSBD_PIPE_INFORMATION PipesOf(PUSBD_INTERFACE_INFORMATION info) {
  return reinterpret_cast<PUSBD_PIPE_INFORMATION>(reinterpret_cast<PUCHAR>(info) +
                                                  offsetof(USBD_INTERFACE_INFORMATION, Pipes));
}

}  // namespace

PUSB_COMMON_DESCRIPTOR NTAPI USBD_ParseDescriptors(PVOID DescriptorBuffer, ULONG TotalLength,
                                                   PVOID StartPosition, LONG DescriptorType) {
  if (DescriptorBuffer == nullptr || StartPosition == nullptr) return nullptr;
  uintptr_t begin = reinterpret_cast<uintptr_t>(DescriptorBuffer);
  uintptr_t end = begin + TotalLength;
  uintptr_t at = reinterpret_cast<uintptr_t>(StartPosition);
  if (at < begin) return nullptr;
  while (PUSB_COMMON_DESCRIPTOR descriptor = DescriptorAt(at, end)) {
    if (descriptor->bDescriptorType == DescriptorType) return descriptor;
    at += descriptor->bLength;
  }
  return nullptr;
}

PUSB_INTERFACE_DESCRIPTOR NTAPI USBD_ParseConfigurationDescriptorEx(
    PUSB_CONFIGURATION_DESCRIPTOR ConfigurationDescriptor, PVOID StartPosition, LONG InterfaceNumber,
    LONG AlternateSetting, LONG InterfaceClass, LONG InterfaceSubClass, LONG InterfaceProtocol) {
  if (ConfigurationDescriptor == nullptr) return nullptr;
  ULONG totalLength = ConfigurationDescriptor->wTotalLength;
  PVOID at = StartPosition;
  while (PUSB_COMMON_DESCRIPTOR found =
             USBD_ParseDescriptors(ConfigurationDescriptor, totalLength, at, USB_INTERFACE_DESCRIPTOR_TYPE)) {
    if (found->bLength < sizeof(USB_INTERFACE_DESCRIPTOR)) return nullptr;
    auto candidate = reinterpret_cast<PUSB_INTERFACE_DESCRIPTOR>(found);
    if (Matches(InterfaceNumber, candidate->bInterfaceNumber) &&
        Matches(AlternateSetting, candidate->bAlternateSetting) &&
        Matches(InterfaceClass, candidate->bInterfaceClass) &&
        Matches(InterfaceSubClass, candidate->bInterfaceSubClass) &&
        Matches(InterfaceProtocol, candidate->bInterfaceProtocol))
      return candidate;
    at = reinterpret_cast<PUCHAR>(found) + found->bLength;
  }
  return nullptr;
}

PURB NTAPI USBD_CreateConfigurationRequestEx(PUSB_CONFIGURATION_DESCRIPTOR ConfigurationDescriptor,
                                             PUSBD_INTERFACE_LIST_ENTRY InterfaceList) {
  if (ConfigurationDescriptor == nullptr || InterfaceList == nullptr) return nullptr;

  size_t size = sizeof(struct _URB_SELECT_CONFIGURATION) - sizeof(USBD_INTERFACE_INFORMATION);
  size_t interfaces = 0;
  for (PUSBD_INTERFACE_LIST_ENTRY entry = InterfaceList; entry->InterfaceDescriptor; ++entry) {
    size += GET_USBD_INTERFACE_SIZE(entry->InterfaceDescriptor->bNumEndpoints);
    if (size > kLargestUrb) return nullptr;
    ++interfaces;
  }
  if (interfaces == 0) return nullptr;

  auto urb = static_cast<PURB>(ExAllocatePoolWithTag(NonPagedPool, size, kUsbdTag));
  if (urb == nullptr) return nullptr;
  RtlZeroMemory(urb, size);
  urb->UrbHeader.Length = static_cast<USHORT>(size);
  urb->UrbHeader.Function = URB_FUNCTION_SELECT_CONFIGURATION;
  urb->UrbSelectConfiguration.ConfigurationDescriptor = ConfigurationDescriptor;

  PUSBD_INTERFACE_INFORMATION info = &urb->UrbSelectConfiguration.Interface;
  for (PUSBD_INTERFACE_LIST_ENTRY entry = InterfaceList; entry->InterfaceDescriptor; ++entry) {
    PUSB_INTERFACE_DESCRIPTOR descriptor = entry->InterfaceDescriptor;
    info->Length = static_cast<USHORT>(GET_USBD_INTERFACE_SIZE(descriptor->bNumEndpoints));
    info->InterfaceNumber = descriptor->bInterfaceNumber;
    info->AlternateSetting = descriptor->bAlternateSetting;
    info->NumberOfPipes = descriptor->bNumEndpoints;
    PUSBD_PIPE_INFORMATION pipes = PipesOf(info);
    for (ULONG pipe = 0; pipe < info->NumberOfPipes; ++pipe)
      pipes[pipe].MaximumTransferSize = USBD_DEFAULT_MAXIMUM_TRANSFER_SIZE;
    entry->Interface = info;
    info = reinterpret_cast<PUSBD_INTERFACE_INFORMATION>(reinterpret_cast<PUCHAR>(info) + info->Length);
  }
  return urb;
}

PURB NTAPI USBD_CreateConfigurationRequest(PUSB_CONFIGURATION_DESCRIPTOR ConfigurationDescriptor,
                                           PUSHORT Siz) {
  if (Siz == nullptr) return nullptr;
  *Siz = 0;
  if (ConfigurationDescriptor == nullptr) return nullptr;

  // Alternate setting 0 of each interface, in the order of the interface
  // numbers, as many as the configuration says it has.
  PUSB_INTERFACE_DESCRIPTOR byNumber[256] = {};
  for (PUSB_INTERFACE_DESCRIPTOR found = USBD_ParseConfigurationDescriptorEx(
           ConfigurationDescriptor, ConfigurationDescriptor, -1, 0, -1, -1, -1);
       found != nullptr;
       found = USBD_ParseConfigurationDescriptorEx(
           ConfigurationDescriptor, reinterpret_cast<PUCHAR>(found) + found->bLength, -1, 0, -1, -1, -1)) {
    if (byNumber[found->bInterfaceNumber] == nullptr) byNumber[found->bInterfaceNumber] = found;
  }

  USBD_INTERFACE_LIST_ENTRY list[RTL_NUMBER_OF(byNumber) + 1] = {};
  size_t count = 0;
  for (PUSB_INTERFACE_DESCRIPTOR descriptor : byNumber) {
    if (count == ConfigurationDescriptor->bNumInterfaces) break;
    if (descriptor != nullptr) list[count++].InterfaceDescriptor = descriptor;
  }

  PURB urb = USBD_CreateConfigurationRequestEx(ConfigurationDescriptor, list);
  if (urb != nullptr) *Siz = urb->UrbHeader.Length;
  return urb;
}
