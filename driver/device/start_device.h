// Starting a port: the USB descriptors, the configuration, the UART probe,
// the settings, the interface and the worker threads; and dropping the
// configuration again for stop and removal.
#pragma once

#include "platform/platform.h"
#include "driver/context/port_context.h"

// Bytes read of the configuration descriptor at first; a longer descriptor is
// read again with its whole length.
constexpr ULONG InitialConfigurationReadSize = 521;
// Select-configuration requests sent before a start gives up.
constexpr ULONG SelectConfigurationAttempts = 4;

// The IRP_MN_START_DEVICE handler; completes the IRP itself.
NTSTATUS StartDevice(PDEVICE_OBJECT DeviceObject, PIRP Irp);

// Passes the IRP to the lower driver and waits until it comes back; returns
// its status. The caller still owns the IRP and completes it.
NTSTATUS ForwardAndWait(PDEVICE_OBJECT DeviceObject, PIRP Irp);

// Descriptors, configuration, UART probe and settings. Returns the status of
// the descriptor and configuration part; the probe and the settings run in
// any case once the device descriptor has been read.
NTSTATUS ConfigureDevice(PDEVICE_OBJECT DeviceObject);

// Reads the device and configuration descriptors, sets PortIndex and
// ConfigurationDescriptor, then selects the configuration.
NTSTATUS ReadDescriptors(PDEVICE_OBJECT DeviceObject);

// Selects the configuration (up to SelectConfigurationAttempts requests) and
// keeps a copy of the interface with its pipes in InterfaceInfo.
NTSTATUS SelectConfiguration(PDEVICE_OBJECT DeviceObject,
                             PUSB_CONFIGURATION_DESCRIPTOR ConfigurationDescriptor);

// Checks that a UART answers and whether its FIFOs work (FifoPresent); true
// when a UART answered.
BOOLEAN ProbeUartFifo(PPORT_DEVICE_CONTEXT Context);

// Drops the USB configuration: sends the deconfigure request when Send is
// TRUE (its status is not reported).
VOID DeconfigureDevice(PDEVICE_OBJECT DeviceObject, BOOLEAN Send);
