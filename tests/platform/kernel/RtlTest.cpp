#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/kernel/Verifier.h"
#include "platform/kernel/include/wdm.h"
#include "platform/kernel/WideText.h"

namespace {

std::u16string Text(const UNICODE_STRING& s) { return plat::U16(s.Buffer, s.Length / sizeof(WCHAR)); }
std::string Text(const ANSI_STRING& s) { return std::string(s.Buffer, s.Length); }

TEST(RtlInit, CountsBytesWithoutTheTerminatorAndRefusesToWrap) {
  UNICODE_STRING u;
  RtlInitUnicodeString(&u, L"Parameters");
  EXPECT_EQ(u.Length, 20);
  EXPECT_EQ(u.MaximumLength, 22);
  RtlInitUnicodeString(&u, nullptr);
  EXPECT_EQ(u.Length, 0);
  EXPECT_EQ(u.Buffer, nullptr);
  ANSI_STRING a;
  RtlInitAnsiString(&a, "abc");
  EXPECT_EQ(a.Length, 3);
  EXPECT_EQ(a.MaximumLength, 4);

  plat::WideString longest(std::u16string(32766, u'x')), tooLong(std::u16string(32767, u'x'));
  RtlInitUnicodeString(&u, longest.c_str());
  EXPECT_EQ(u.Length, 0xFFFC);
  EXPECT_EQ(RtlInitUnicodeStringEx(&u, tooLong.c_str()), STATUS_NAME_TOO_LONG);
  EXPECT_NE(plat::ExpectViolation([&] { RtlInitUnicodeString(&u, tooLong.c_str()); }), "");
  std::string tooLongAnsi(0xFFFF, 'x');
  EXPECT_NE(plat::ExpectViolation([&] { RtlInitAnsiString(&a, tooLongAnsi.c_str()); }), "");
}

TEST(RtlConvert, AnsiAndUnicodeRoundTripThroughPoolWithWindows1252) {
  ANSI_STRING a;
  RtlInitAnsiString(&a, "QX-5310 \x80 caf\xE9");
  UNICODE_STRING u;
  ASSERT_EQ(RtlAnsiStringToUnicodeString(&u, &a, TRUE), STATUS_SUCCESS);
  EXPECT_EQ(Text(u), u"QX-5310 \u20AC caf\u00E9");
  EXPECT_EQ(u.MaximumLength, u.Length + 2);
  EXPECT_EQ(u.Buffer[u.Length / 2], 0);
  ANSI_STRING back;
  ASSERT_EQ(RtlUnicodeStringToAnsiString(&back, &u, TRUE), STATUS_SUCCESS);
  EXPECT_EQ(Text(back), "QX-5310 \x80 caf\xE9");
  RtlFreeUnicodeString(&u);
  RtlFreeAnsiString(&back);
  EXPECT_EQ(u.Buffer, nullptr);

  UNICODE_STRING greek = RTL_CONSTANT_STRING(L"\u03A9!");
  ASSERT_EQ(RtlUnicodeStringToAnsiString(&back, &greek, TRUE), STATUS_SUCCESS);
  EXPECT_EQ(Text(back), "?!");
  RtlFreeAnsiString(&back);

  plat::PoolLedger::FailNth(1);
  EXPECT_EQ(RtlAnsiStringToUnicodeString(&u, &a, TRUE), STATUS_NO_MEMORY);
}

TEST(RtlConvert, CallersBufferMustHoldTheTerminatorElseOverflow) {
  ANSI_STRING a;
  RtlInitAnsiString(&a, "abcd");
  WCHAR wide[8];
  for (USHORT max : {8, 9}) {  // 4 characters need 10 bytes with the terminator
    std::fill(std::begin(wide), std::end(wide), u'#');
    UNICODE_STRING u{0, max, wide};
    EXPECT_EQ(RtlAnsiStringToUnicodeString(&u, &a, FALSE), STATUS_BUFFER_OVERFLOW);
    EXPECT_EQ(u.Length, 0);
    EXPECT_EQ(wide[0], u'#');  // nothing written
  }
  UNICODE_STRING u{0, 10, wide};
  EXPECT_EQ(RtlAnsiStringToUnicodeString(&u, &a, FALSE), STATUS_SUCCESS);
  EXPECT_EQ(Text(u), u"abcd");
  EXPECT_EQ(wide[4], 0);

  // Unicode to ANSI cuts to fit, as Windows does, and says so.
  char narrow[8];
  ANSI_STRING n{0, 3, narrow};
  EXPECT_EQ(RtlUnicodeStringToAnsiString(&n, &u, FALSE), STATUS_BUFFER_OVERFLOW);
  EXPECT_EQ(Text(n), "ab");
  EXPECT_EQ(narrow[2], 0);
  n = {0, 5, narrow};
  EXPECT_EQ(RtlUnicodeStringToAnsiString(&n, &u, FALSE), STATUS_SUCCESS);
  EXPECT_EQ(Text(n), "abcd");
}

TEST(RtlConvert, AResultPastSixteenBitsFailsInsteadOfWrapping) {
  std::string chars(0x7FFF, 'x');  // (0x7FFF + 1) * 2 bytes do not fit a USHORT
  ANSI_STRING a{static_cast<USHORT>(chars.size()), static_cast<USHORT>(chars.size()), chars.data()};
  UNICODE_STRING u{};
  EXPECT_EQ(RtlAnsiStringToUnicodeString(&u, &a, TRUE), STATUS_INVALID_PARAMETER_2);
  a.Length = 0x7FFE;
  ASSERT_EQ(RtlAnsiStringToUnicodeString(&u, &a, TRUE), STATUS_SUCCESS);
  EXPECT_EQ(u.Length, 0xFFFC);
  RtlFreeUnicodeString(&u);
}

TEST(RtlCompare, OrdersAndMatchesWithAndWithoutCase) {
  struct Case {
    PCWSTR a;
    PCWSTR b;
    BOOLEAN insensitive;
    int sign;
  };
  const Case cases[] = {
      {L"Parameters", L"Parameters", FALSE, 0}, {L"Parameters", L"PARAMETERS", FALSE, 1},
      {L"Parameters", L"PARAMETERS", TRUE, 0},  {L"abc", L"abd", TRUE, -1},
      {L"ab", L"abc", FALSE, -1},               {L"caf\u00E9", L"CAF\u00C9", TRUE, 0},
      {L"", L"", FALSE, 0},
  };
  for (const Case& c : cases) {
    UNICODE_STRING a, b;
    RtlInitUnicodeString(&a, c.a);
    RtlInitUnicodeString(&b, c.b);
    LONG r = RtlCompareUnicodeString(&a, &b, c.insensitive);
    EXPECT_EQ((r > 0) - (r < 0), c.sign) << std::string(c.a, c.a + a.Length / 2);
    EXPECT_EQ(RtlEqualUnicodeString(&a, &b, c.insensitive), c.sign == 0 ? TRUE : FALSE);
  }
  UNICODE_STRING prefix = RTL_CONSTANT_STRING(L"\\REGISTRY\\");
  UNICODE_STRING path = RTL_CONSTANT_STRING(L"\\Registry\\Machine");
  EXPECT_TRUE(RtlPrefixUnicodeString(&prefix, &path, TRUE));
  EXPECT_FALSE(RtlPrefixUnicodeString(&prefix, &path, FALSE));
  ANSI_STRING x = RTL_CONSTANT_STRING("New "), y = RTL_CONSTANT_STRING("new ");
  EXPECT_TRUE(RtlEqualString(&x, &y, TRUE));
  EXPECT_FALSE(RtlEqualString(&x, &y, FALSE));
}

TEST(RtlCopy, CopyCutsToFitAndAppendsFailWhole) {
  DECLARE_UNICODE_STRING_SIZE(dest, 8);
  DECLARE_CONST_UNICODE_STRING(source, L"0123456789");
  RtlCopyUnicodeString(&dest, &source);
  EXPECT_EQ(Text(dest), u"01234567");
  RtlCopyUnicodeString(&dest, nullptr);
  EXPECT_EQ(dest.Length, 0);

  EXPECT_EQ(RtlAppendUnicodeToString(&dest, L"\\Regi"), STATUS_SUCCESS);
  EXPECT_EQ(dest_buffer[5], 0);  // terminated while there is room
  DECLARE_CONST_UNICODE_STRING(tail, L"stry");
  EXPECT_EQ(RtlAppendUnicodeStringToString(&dest, &tail), STATUS_BUFFER_TOO_SMALL);
  EXPECT_EQ(Text(dest), u"\\Regi");
  EXPECT_EQ(RtlAppendUnicodeToString(&dest, L"str"), STATUS_SUCCESS);
  EXPECT_EQ(Text(dest), u"\\Registr");  // full: no room for a terminator, none written
  EXPECT_EQ(RtlAppendUnicodeToString(&dest, L"y"), STATUS_BUFFER_TOO_SMALL);

  UNICODE_STRING copy;
  ASSERT_EQ(RtlDuplicateUnicodeString(RTL_DUPLICATE_UNICODE_STRING_NULL_TERMINATE, &source, &copy), STATUS_SUCCESS);
  EXPECT_EQ(Text(copy), u"0123456789");
  EXPECT_EQ(copy.Buffer[10], 0);
  RtlFreeUnicodeString(&copy);
  ASSERT_TRUE(RtlCreateUnicodeString(&copy, L"qx5310"));
  EXPECT_EQ(copy.MaximumLength, 14);
  RtlFreeUnicodeString(&copy);
}

TEST(RtlInteger, FormatsAndParsesInEveryBase) {
  struct Case {
    ULONG value;
    ULONG base;
    PCWSTR text;
  };
  const Case cases[] = {{0, 10, L"0"},         {48000, 0, L"48000"},     {0xC0120090, 16, L"C0120090"},
                        {5, 2, L"101"},        {8, 8, L"10"},            {4294967295u, 10, L"4294967295"}};
  for (const Case& c : cases) {
    DECLARE_UNICODE_STRING_SIZE(s, 33);
    ASSERT_EQ(RtlIntegerToUnicodeString(c.value, c.base, &s), STATUS_SUCCESS);
    EXPECT_EQ(Text(s), plat::U16(c.text));
    ULONG parsed = 1;
    EXPECT_EQ(RtlUnicodeStringToInteger(&s, c.base, &parsed), STATUS_SUCCESS);
    EXPECT_EQ(parsed, c.value);
  }
  struct Parse {
    PCWSTR text;
    ULONG base;
    ULONG value;
  };
  const Parse parses[] = {{L"  -12", 10, 0u - 12}, {L"0x1F", 0, 31}, {L"0b101", 0, 5}, {L"0o17", 0, 15},
                          {L"+77z", 10, 77},      {L"ff", 16, 255}, {L"9", 8, 0},     {L"", 10, 0}};
  for (const Parse& p : parses) {
    UNICODE_STRING s;
    RtlInitUnicodeString(&s, p.text);
    ULONG v = 1;
    EXPECT_EQ(RtlUnicodeStringToInteger(&s, p.base, &v), STATUS_SUCCESS);
    EXPECT_EQ(v, p.value);
  }
  UNICODE_STRING s = RTL_CONSTANT_STRING(L"1");
  ULONG v;
  EXPECT_EQ(RtlUnicodeStringToInteger(&s, 7, &v), STATUS_INVALID_PARAMETER);
  DECLARE_UNICODE_STRING_SIZE(small, 3);  // "123" needs a fourth place for the terminator
  EXPECT_EQ(RtlIntegerToUnicodeString(123, 10, &small), STATUS_BUFFER_OVERFLOW);
  EXPECT_EQ(RtlIntegerToUnicodeString(1, 3, &small), STATUS_INVALID_PARAMETER);
}

TEST(RtlGuid, RoundTripsInUpperCaseAndRejectsOtherShapes) {
  const GUID audio = {0x6994AD04, 0x93EF, 0x11D0, {0xA3, 0xCC, 0x00, 0xA0, 0xC9, 0x22, 0x31, 0x96}};
  UNICODE_STRING s;
  ASSERT_EQ(RtlStringFromGUID(audio, &s), STATUS_SUCCESS);
  EXPECT_EQ(Text(s), u"{6994AD04-93EF-11D0-A3CC-00A0C9223196}");
  EXPECT_EQ(s.Buffer[38], 0);
  GUID back{};
  EXPECT_EQ(RtlGUIDFromString(&s, &back), STATUS_SUCCESS);
  EXPECT_TRUE(IsEqualGUID(back, audio));
  RtlFreeUnicodeString(&s);

  UNICODE_STRING lower = RTL_CONSTANT_STRING(L"{6994ad04-93ef-11d0-a3cc-00a0c9223196}");
  EXPECT_EQ(RtlGUIDFromString(&lower, &back), STATUS_SUCCESS);
  EXPECT_TRUE(IsEqualGUID(back, audio));
  for (PCWSTR bad : {L"6994AD04-93EF-11D0-A3CC-00A0C9223196", L"{6994AD04-93EF-11D0-A3CC-00A0C922319G}",
                              L"{6994AD04+93EF-11D0-A3CC-00A0C9223196}", L"{6994AD04-93EF-11D0-A3CC-00A0C9223196"}) {
    UNICODE_STRING b;
    RtlInitUnicodeString(&b, bad);
    EXPECT_EQ(RtlGUIDFromString(&b, &back), STATUS_INVALID_PARAMETER);
  }
  plat::PoolLedger::FailNth(1);
  EXPECT_EQ(RtlStringFromGUID(audio, &s), STATUS_NO_MEMORY);
}

TEST(RtlMemory, FillCopyMoveAndCompare) {
  UCHAR a[8], b[8];
  RtlFillMemory(a, sizeof a, 0x5A);
  RtlCopyMemory(b, a, sizeof b);
  EXPECT_EQ(RtlCompareMemory(a, b, sizeof a), sizeof a);
  b[5] = 0;
  EXPECT_EQ(RtlCompareMemory(a, b, sizeof a), 5u);
  EXPECT_FALSE(RtlEqualMemory(a, b, sizeof a));
  RtlMoveMemory(a + 1, a, 6);  // overlapping
  RtlZeroMemory(a, 1);
  EXPECT_EQ(a[0], 0);
  EXPECT_EQ(a[7], 0x5A);
}

}  // namespace
