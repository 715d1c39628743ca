// The counted-string routines the driver builds its names with, at their
// limits.
#include <string>

#include "emulator/kernel/pool.h"
#include "platform/host/ex.h"
#include "support/machine_test.h"

namespace {

using ExecStringsTest = MachineTest;

std::u16string Text(const UNICODE_STRING& s) { return std::u16string(s.Buffer, s.Length / 2); }

TEST_F(ExecStringsTest, AppendsFailWithoutWritingWhenTheBufferIsFull) {
  struct Case {
    const char* name;
    USHORT maximumLength;  // bytes of the destination buffer
    const char16_t* initial;
    const char16_t* appended;
    NTSTATUS status;
    const char16_t* result;
    bool terminated;
  };
  const Case cases[] = {
      {"room for the terminator", 14, u"COM", u"12", STATUS_SUCCESS, u"COM12", true},
      {"exact fit, no terminator", 10, u"COM", u"12", STATUS_SUCCESS, u"COM12", false},
      {"one byte short", 9, u"COM", u"12", STATUS_BUFFER_TOO_SMALL, u"COM", false},
      {"already full", 6, u"COM", u"1", STATUS_BUFFER_TOO_SMALL, u"COM", false},
      {"empty append", 6, u"COM", u"", STATUS_SUCCESS, u"COM", false},
  };
  for (const Case& c : cases) {
    for (bool fromCountedString : {false, true}) {
      SCOPED_TRACE(std::string(c.name) + (fromCountedString ? " (counted)" : " (zero-terminated)"));
      char16_t buffer[16];
      std::fill(std::begin(buffer), std::end(buffer), u'#');
      size_t initialChars = std::char_traits<char16_t>::length(c.initial);
      std::char_traits<char16_t>::copy(buffer, c.initial, initialChars);
      const std::u16string before(buffer, 16);
      UNICODE_STRING destination{USHORT(initialChars * 2), c.maximumLength, buffer};
      UNICODE_STRING source;
      RtlInitUnicodeString(&source, c.appended);
      NTSTATUS status = fromCountedString ? RtlAppendUnicodeStringToString(&destination, &source)
                                          : RtlAppendUnicodeToString(&destination, c.appended);
      EXPECT_EQ(status, c.status);
      EXPECT_EQ(Text(destination), c.result);
      EXPECT_EQ(destination.MaximumLength, c.maximumLength);
      if (status != STATUS_SUCCESS) {
        EXPECT_EQ(std::u16string(buffer, 16), before) << "nothing written";
      } else {
        EXPECT_EQ(buffer[destination.Length / 2], c.terminated ? 0 : u'#');
      }
    }
  }
}

TEST_F(ExecStringsTest, IntegerToText) {
  struct ToText {
    ULONG value, base;
    USHORT maximumLength;
    NTSTATUS status;
    const char16_t* text;
  };
  const ToText toText[] = {{1234, 10, 32, STATUS_SUCCESS, u"1234"},
                           {0, 0, 32, STATUS_SUCCESS, u"0"},
                           {4294967295u, 10, 32, STATUS_SUCCESS, u"4294967295"},
                           {1234, 10, 10, STATUS_SUCCESS, u"1234"},
                           {1234, 10, 8, STATUS_BUFFER_OVERFLOW, u"old"},
                           {12, 7, 32, STATUS_INVALID_PARAMETER, u"old"}};
  for (const ToText& c : toText) {
    SCOPED_TRACE(c.value);
    char16_t buffer[16] = u"old";
    UNICODE_STRING s{6, c.maximumLength, buffer};
    EXPECT_EQ(RtlIntegerToUnicodeString(c.value, c.base, &s), c.status);
    EXPECT_EQ(Text(s), c.text);
  }
}

using ExecStringsDeathTest = MachineTest;

TEST_F(ExecStringsDeathTest, FreeingADriverBufferAsASystemString) {
  auto buffer = static_cast<PWSTR>(ExAllocatePoolWithTag(PagedPool, 8, kernel::pool::Tag("7315")));
  UNICODE_STRING s{0, 8, buffer};
  EXPECT_DEATH(RtlFreeUnicodeString(&s), "VERIFIER: pool free with wrong tag: ExFreePoolWithTag");
  ExFreePoolWithTag(buffer, kernel::pool::Tag("7315"));
}

}  // namespace
