// The kernel's printf family: conversions with Microsoft C run-time meanings
// and the cut-result rule (no terminator, -1 when the text did not fit).
#include <string>

#include "platform/host/ex.h"
#include "support/machine_test.h"

namespace {

using ExecFormatTest = MachineTest;

UNICODE_STRING kDevice = RTL_CONSTANT_STRING(u"\\Device\\Serial0");
char kAnsiText[] = "ansi";
ANSI_STRING kAnsi = {4, 5, kAnsiText};

struct NarrowCase {
  const char* name;
  size_t count;
  int (*format)(char* buffer, size_t count);
  int result;
  std::string text;  // what the buffer holds afterwards, up to the first '#'
};

const NarrowCase kNarrowCases[] = {
    {"widths and flags", 64,
     [](char* b, size_t n) { return _snprintf(b, n, "%d|%5d|%-5d|%05d|%+d|% d", 42, 42, 42, -42, 5, 5); }, 26,
     std::string("42|   42|42   |-0042|+5| 5") + '\0'},
    {"unsigned and radix", 64,
     [](char* b, size_t n) {
       return _snprintf(b, n, "%u %x %X %#x %o %#o", 3000000000u, 255, 255, 255, 8, 8);
     },
     28, std::string("3000000000 ff FF 0xff 10 010") + '\0'},
    {"long is 32 bits", 64,
     [](char* b, size_t n) {
       return _snprintf(b, n, "%ld %lu %lx", LONG(-1), ULONG(0xFFFFFFFF), ULONG(0xABCDEF12));
     },
     22, std::string("-1 4294967295 abcdef12") + '\0'},
    {"64-bit sizes", 64,
     [](char* b, size_t n) {
       return _snprintf(b, n, "%I64d %lld %I64X %Iu", LONGLONG(-5000000000), 7LL, ULONGLONG(0x123456789A),
                        SIZE_T(9));
     },
     26, std::string("-5000000000 7 123456789A 9") + '\0'},
    {"pointer", 64, [](char* b, size_t n) { return _snprintf(b, n, "%p", reinterpret_cast<void*>(0x1234)); },
     16, std::string("0000000000001234") + '\0'},
    {"strings", 64,
     [](char* b, size_t n) {
       return _snprintf(b, n, "%s|%6s|%-4s|%.2s|%s", "COM", "COM", "ab", "abcdef",
                        static_cast<char*>(nullptr));
     },
     25, std::string("COM|   COM|ab  |ab|(null)") + '\0'},
    {"wide arguments", 64,
     [](char* b, size_t n) { return _snprintf(b, n, "%S %ws %C%c", u"wide", u"text", char16_t(0xE9), 'K'); },
     12, std::string("wide text \xE9K") + '\0'},
    {"counted strings", 64, [](char* b, size_t n) { return _snprintf(b, n, "%wZ %Z", &kDevice, &kAnsi); }, 20,
     std::string("\\Device\\Serial0 ansi") + '\0'},
    {"star width and precision", 64,
     [](char* b, size_t n) { return _snprintf(b, n, "%*d|%.*d|%-*d|", 6, 42, 4, 7, -3, 1); }, 16,
     std::string("    42|0007|1  |") + '\0'},
    {"percent, zero precision, unknown", 64,
     [](char* b, size_t n) { return _snprintf(b, n, "%%|%.0d|%q", 0); }, 4, std::string("%||q") + '\0'},
    {"cut: -1, unterminated", 4, [](char* b, size_t n) { return _snprintf(b, n, "COM%d", 12); }, -1, "COM1"},
    {"exact fit: unterminated", 5, [](char* b, size_t n) { return _snprintf(b, n, "COM%d", 12); }, 5,
     "COM12"},
    {"one to spare: terminated", 6, [](char* b, size_t n) { return _snprintf(b, n, "COM%d", 12); }, 5,
     std::string("COM12") + '\0'},
    {"nothing fits", 0, [](char* b, size_t n) { return _snprintf(b, n, "x"); }, -1, ""},
};

TEST_F(ExecFormatTest, NarrowFormatting) {
  for (const NarrowCase& c : kNarrowCases) {
    SCOPED_TRACE(c.name);
    char buffer[64];
    std::fill(std::begin(buffer), std::end(buffer), '#');
    EXPECT_EQ(c.format(buffer, c.count), c.result);
    EXPECT_EQ(std::string(buffer, std::find(buffer, std::end(buffer), '#')), c.text);
  }
}

struct WideCase {
  const char* name;
  size_t count;
  int (*format)(WCHAR* buffer, size_t count);
  int result;
  std::u16string text;
};

int WideThroughVaList(WCHAR* buffer, size_t count, const WCHAR* format, ...) {
  va_list args;
  va_start(args, format);
  int result = _vsnwprintf(buffer, count, format, args);
  va_end(args);
  return result;
}

const WideCase kWideCases[] = {
    {"wide strings by default", 64,
     [](WCHAR* b, size_t n) { return _snwprintf(b, n, u"%s=%d %hs %S %ws", u"Port", 3, "hs", "S", u"ws"); },
     14, std::u16string(u"Port=3 hs S ws") + u'\0'},
    {"characters", 64, [](WCHAR* b, size_t n) { return _snwprintf(b, n, u"%c%C%hc", u'\x20ac', 'a', 'b'); },
     3,
     std::u16string(u"\x20ac"
                    u"ab") +
         u'\0'},
    {"name of a port", 64, [](WCHAR* b, size_t n) { return _snwprintf(b, n, u"\\DosDevices\\COM%d", 7); }, 16,
     std::u16string(u"\\DosDevices\\COM7") + u'\0'},
    {"counted and hex", 64,
     [](WCHAR* b, size_t n) { return _snwprintf(b, n, u"%wZ:%08lX", &kDevice, ULONG(0xBEEF)); }, 24,
     std::u16string(u"\\Device\\Serial0:0000BEEF") + u'\0'},
    {"through a va_list", 64, [](WCHAR* b, size_t n) { return WideThroughVaList(b, n, u"%u-%u", 1u, 2u); }, 3,
     std::u16string(u"1-2") + u'\0'},
    {"cut", 3, [](WCHAR* b, size_t n) { return _snwprintf(b, n, u"COM%d", 5); }, -1, u"COM"},
    {"exact fit", 4, [](WCHAR* b, size_t n) { return _snwprintf(b, n, u"COM%d", 5); }, 4, u"COM5"},
};

TEST_F(ExecFormatTest, WideFormatting) {
  for (const WideCase& c : kWideCases) {
    SCOPED_TRACE(c.name);
    WCHAR buffer[64];
    std::fill(std::begin(buffer), std::end(buffer), u'#');
    EXPECT_EQ(c.format(buffer, c.count), c.result);
    EXPECT_EQ(std::u16string(buffer, std::find(buffer, std::end(buffer), u'#')), c.text);
  }
}

}  // namespace
