// Counted-string routines at their limits, conversions and the buffers the
// system allocates for them.
#include <string>

#include "emulator/kernel/pool.h"
#include "emulator/kernel/rtl/rtl.h"
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

TEST_F(ExecStringsTest, InitCopyAndCompare) {
  UNICODE_STRING none;
  RtlInitUnicodeString(&none, nullptr);
  EXPECT_EQ(none.Length, 0);
  EXPECT_EQ(none.MaximumLength, 0);
  EXPECT_EQ(none.Buffer, nullptr);

  UNICODE_STRING source;
  RtlInitUnicodeString(&source, u"Serial0");
  EXPECT_EQ(source.Length, 14);
  EXPECT_EQ(source.MaximumLength, 16);

  char16_t small[4] = {u'#', u'#', u'#', u'#'};
  UNICODE_STRING truncated{0, 6, small};
  RtlCopyUnicodeString(&truncated, &source);
  EXPECT_EQ(Text(truncated), u"Ser");
  EXPECT_EQ(small[3], u'#') << "no room for a terminator, none written";
  RtlCopyUnicodeString(&truncated, nullptr);
  EXPECT_EQ(truncated.Length, 0);

  struct Case {
    const char16_t *a, *b;
    bool caseInsensitive;
    int sign;
  };
  const Case cases[] = {{u"COM3", u"com3", true, 0},
                        {u"COM3", u"com3", false, -1},
                        {u"COM3", u"COM10", false, 1},
                        {u"COM", u"COM3", false, -1},
                        {u"\u00e9t\u00e9", u"\u00c9T\u00c9", true, 0},
                        {u"", u"", false, 0}};
  for (const Case& c : cases) {
    UNICODE_STRING a, b;
    RtlInitUnicodeString(&a, c.a);
    RtlInitUnicodeString(&b, c.b);
    LONG result = RtlCompareUnicodeString(&a, &b, c.caseInsensitive);
    EXPECT_EQ((result > 0) - (result < 0), c.sign);
    EXPECT_EQ(RtlEqualUnicodeString(&a, &b, c.caseInsensitive), c.sign == 0);
  }
}

TEST_F(ExecStringsTest, IntegerConversions) {
  struct ToText {
    ULONG value, base;
    USHORT maximumLength;
    NTSTATUS status;
    const char16_t* text;
  };
  const ToText toText[] = {{1234, 10, 32, STATUS_SUCCESS, u"1234"},
                           {255, 16, 32, STATUS_SUCCESS, u"FF"},
                           {5, 2, 32, STATUS_SUCCESS, u"101"},
                           {8, 8, 32, STATUS_SUCCESS, u"10"},
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

  struct FromText {
    const char16_t* text;
    ULONG base;
    NTSTATUS status;
    ULONG value;
  };
  const FromText fromText[] = {{u"1234", 0, STATUS_SUCCESS, 1234},
                               {u"  -12", 10, STATUS_SUCCESS, ULONG(-12)},
                               {u"+7", 0, STATUS_SUCCESS, 7},
                               {u"0x1F", 0, STATUS_SUCCESS, 31},
                               {u"0b101", 0, STATUS_SUCCESS, 5},
                               {u"0o17", 0, STATUS_SUCCESS, 15},
                               {u"ff", 16, STATUS_SUCCESS, 255},
                               {u"12abc", 10, STATUS_SUCCESS, 12},
                               {u"", 10, STATUS_SUCCESS, 0},
                               {u"19", 8, STATUS_SUCCESS, 1},
                               {u"12", 3, STATUS_INVALID_PARAMETER, 99}};
  for (const FromText& c : fromText) {
    SCOPED_TRACE(std::string(c.text, c.text + std::char_traits<char16_t>::length(c.text)));
    UNICODE_STRING s;
    RtlInitUnicodeString(&s, c.text);
    ULONG value = 99;
    EXPECT_EQ(RtlUnicodeStringToInteger(&s, c.base, &value), c.status);
    EXPECT_EQ(value, c.value);
  }
}

TEST_F(ExecStringsTest, AnsiConversionsIntoFixedAndAllocatedBuffers) {
  ANSI_STRING ansi;
  RtlInitAnsiString(&ansi, "COM7");
  char16_t wide[8] = {};
  UNICODE_STRING fixed{0, 8, wide};
  EXPECT_EQ(RtlAnsiStringToUnicodeString(&fixed, &ansi, FALSE), STATUS_BUFFER_OVERFLOW);
  EXPECT_EQ(fixed.Length, 0) << "unchanged";
  fixed.MaximumLength = 10;
  EXPECT_EQ(RtlAnsiStringToUnicodeString(&fixed, &ansi, FALSE), STATUS_SUCCESS);
  EXPECT_EQ(Text(fixed), u"COM7");
  EXPECT_EQ(wide[4], 0);

  UNICODE_STRING allocated;
  ASSERT_EQ(RtlAnsiStringToUnicodeString(&allocated, &ansi, TRUE), STATUS_SUCCESS);
  EXPECT_EQ(Text(allocated), u"COM7");
  EXPECT_EQ(kernel::pool::LiveCount(kernel::pool::kStringTag), 1u);

  char narrow[4] = {'#', '#', '#', '#'};
  ANSI_STRING cut{0, 4, narrow};
  EXPECT_EQ(RtlUnicodeStringToAnsiString(&cut, &allocated, FALSE), STATUS_BUFFER_OVERFLOW);
  EXPECT_EQ(std::string(cut.Buffer, cut.Length), "COM");
  EXPECT_EQ(narrow[3], 0);

  UNICODE_STRING nonLatin;
  RtlInitUnicodeString(&nonLatin, u"A\u20acB");
  ANSI_STRING converted;
  ASSERT_EQ(RtlUnicodeStringToAnsiString(&converted, &nonLatin, TRUE), STATUS_SUCCESS);
  EXPECT_STREQ(converted.Buffer, "A?B");

  RtlFreeAnsiString(&converted);
  RtlFreeUnicodeString(&allocated);
  EXPECT_EQ(allocated.Buffer, nullptr);
  EXPECT_EQ(kernel::pool::LiveCount(kernel::pool::kStringTag), 0u);
}

TEST_F(ExecStringsTest, SystemAllocatedStringsAndFailures) {
  UNICODE_STRING s;
  ASSERT_EQ(kernel::rtl::AllocateUnicodeString(&s, u"\\??\\USB#VID"), STATUS_SUCCESS);
  EXPECT_EQ(Text(s), u"\\??\\USB#VID");
  EXPECT_EQ(s.Buffer[s.Length / 2], 0);
  RtlFreeUnicodeString(&s);

  kernel::pool::FailAllocationsWithTag(kernel::pool::kStringTag);
  EXPECT_EQ(kernel::rtl::AllocateUnicodeString(&s, u"x"), STATUS_INSUFFICIENT_RESOURCES);
  EXPECT_EQ(s.Buffer, nullptr);
  ANSI_STRING ansi;
  RtlInitAnsiString(&ansi, "x");
  EXPECT_EQ(RtlAnsiStringToUnicodeString(&s, &ansi, TRUE), STATUS_NO_MEMORY);
}

TEST_F(ExecStringsTest, CompareMemoryCountsTheEqualPrefix) {
  const UCHAR a[] = {1, 2, 3, 4}, b[] = {1, 2, 9, 4};
  EXPECT_EQ(RtlCompareMemory(a, b, 4), 2u);
  EXPECT_EQ(RtlCompareMemory(a, a, 4), 4u);
  EXPECT_EQ(RtlCompareMemory(a, b, 0), 0u);
  EXPECT_TRUE(RtlEqualMemory(a, b, 2));
  EXPECT_FALSE(RtlEqualMemory(a, b, 3));
}

using ExecStringsDeathTest = MachineTest;

TEST_F(ExecStringsDeathTest, FreeingADriverBufferAsASystemString) {
  auto buffer = static_cast<PWSTR>(ExAllocatePoolWithTag(PagedPool, 8, kernel::pool::Tag("7315")));
  UNICODE_STRING s{0, 8, buffer};
  EXPECT_DEATH(RtlFreeUnicodeString(&s), "VERIFIER: pool free with wrong tag: ExFreePoolWithTag");
  ExFreePoolWithTag(buffer, kernel::pool::Tag("7315"));
}

}  // namespace
