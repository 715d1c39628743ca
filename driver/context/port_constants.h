// Facts about a port that several parts of the driver share, each named once.
#pragma once

#include "platform/platform.h"

// Plug and Play states kept in DeviceState.
constexpr ULONG PnpStateNotStarted = 0;  // also: stopped
constexpr ULONG PnpStateWorking = 1;
constexpr ULONG PnpStateStopPending = 2;
constexpr ULONG PnpStateRemovePending = 3;
constexpr ULONG PnpStateSurpriseRemoved = 4;
constexpr ULONG PnpStateRemoved = 5;

// Why the transmitter is held: the bits of TxHolding.
constexpr ULONG HeldForCts = 0x01;
constexpr ULONG HeldForDsr = 0x02;
constexpr ULONG HeldForDcd = 0x04;
constexpr ULONG HeldForXoff = 0x08;
constexpr ULONG HeldForBreak = 0x10;
constexpr ULONG ModemLineHolds = HeldForCts | HeldForDsr | HeldForDcd;
// The holds that stop the next chunk; a break holds the line, not the queue.
constexpr ULONG TransmitHolds = ModemLineHolds | HeldForXoff;

// The bits of PortModeFlags, mirrored into SERIAL_CONFIG_REG0.
constexpr UCHAR PortModeFlag0 = 0x01;           // set by the mode pins read in input mode
constexpr UCHAR PortModeBreakLevelHigh = 0x02;  // the level the break-level bit takes during a break

// The receive trigger. RxFifoTrigger holds the FIFO control register's bits
// 7-6, a base level of 1, 4, 8 or 14 bytes; FifoTriggerLow bits 3-2
// (SERIAL_CONFIG_REG1) multiply it by 1, 2, 4 or 8.
constexpr UCHAR RxTriggerMask = 0xC0;
constexpr UCHAR RxTriggerShift = 6;
constexpr UCHAR RxTrigger1 = 0x00;
constexpr UCHAR RxTrigger8 = 0x80;
constexpr UCHAR RxTrigger14 = 0xC0;
constexpr UCHAR RxTriggerBaseLevels[] = {1, 4, 8, 14};  // by the value of bits 7-6
constexpr UCHAR TriggerFactorMask = 0x0C;
constexpr UCHAR TriggerFactorShift = 2;  // the factor is 1 << (bits 3-2)
constexpr ULONG TriggerFactorCount = 4;
// At this rate and below the receive trigger is one byte, so that slow lines
// see every character at once.
constexpr ULONG SingleByteTriggerMaxRate = 1200;

// The FIFO control register's trigger bits at Rate.
inline UCHAR ReceiveTriggerBits(ULONG Rate, UCHAR RxFifoTrigger) {
  return Rate > SingleByteTriggerMaxRate ? UCHAR(RxFifoTrigger & RxTriggerMask) : UCHAR(RxTrigger1);
}

// Kernel times count 100-ns units.
constexpr LONGLONG TimerUnitsPerMillisecond = 10000;
constexpr LONGLONG Never = 0x7FFFFFFFFFFFFFFF;  // a deadline or total no clock reaches

// Defaults: from the creation of the device object, and the settings every
// start begins from before the settings file is applied.
constexpr ULONG DefaultBaudRate = 9600;
constexpr ULONG DefaultMaxWriteLength = 32;  // bytes per bulk-out transfer
// Largest bulk-out chunk a setting may ask for; larger values are clipped.
constexpr ULONG MaxWriteLengthLimit = 128;
constexpr UCHAR DefaultRxFifoTrigger = RxTrigger14;
constexpr UCHAR DefaultFifoTriggerLow = 0x0B;
constexpr UCHAR DefaultPortSetupLevel = 16;
