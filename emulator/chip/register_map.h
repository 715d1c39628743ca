// Addresses of the registers the vendor request reaches. They are the same
// for every port: each port is a USB device of its own.
#pragma once

#include <cstdint>

namespace chip::reg {

constexpr uint16_t kPortSetup = 0x105;
constexpr uint16_t kSerialConfig0 = 0x106;  // bits 1-0: UART clock select
constexpr uint16_t kSerialConfig1 = 0x107;
constexpr uint16_t kPortAux0 = 0x10B;
constexpr uint16_t kPortAux1 = 0x10C;
constexpr uint16_t kPortControl = 0x10D;  // bit 5: double-rate clock
constexpr uint16_t kPinOutput = 0x10E;
constexpr uint16_t kPinInput = 0x10F;
constexpr uint16_t kUartBase = 0x120;  // DIVISOR_LATCH_LSB / RBR / THR
constexpr uint16_t kInterruptEnable = 0x121;
constexpr uint16_t kFifoControl = 0x122;
constexpr uint16_t kLineControl = 0x123;
constexpr uint16_t kModemControl = 0x124;
constexpr uint16_t kLineStatus = 0x125;
constexpr uint16_t kModemStatus = 0x126;

constexpr uint8_t kPortControlDoubleRate = 0x20;

// The vendor control request that reads (0xC0) or writes (0x40) registers.
constexpr uint8_t kVendorRequest = 0xA0;

}  // namespace chip::reg
