#include <afxwin.h>
#include <gtest/gtest.h>

#include <cstring>

namespace {

TEST(CStringTest, FormatWritesPrintfStyleTextOfAnyLength) {
  struct Case {
    const char* expected;
    CString formatted;
  };
  CString longText;
  longText.Format("%0300d", 7);
  const Case cases[] = {
      {"48000 Hz", [] { CString s; s.Format("%d Hz", 48000); return s; }()},
      {"-6.5 dB", [] { CString s; s.Format("%.1f dB", -6.5); return s; }()},
      {"KR-6 #3", [] { CString s; s.Format("%s #%u", "KR-6", 3u); return s; }()},
      {"", [] { CString s("old"); s.Format("%s", ""); return s; }()},
  };
  for (const Case& c : cases) {
    EXPECT_STREQ(c.expected, c.formatted);
    EXPECT_EQ(static_cast<int>(std::strlen(c.expected)), c.formatted.GetLength());
  }
  EXPECT_EQ(300, longText.GetLength());
  EXPECT_EQ('7', longText[299]);
}

TEST(CStringTest, ComparesByCharsWithAndWithoutCase) {
  struct Case {
    const char* a;
    const char* b;
    int compare;
    int compareNoCase;
  };
  const Case cases[] = {
      {"abc", "abc", 0, 0}, {"abc", "ABC", 1, 0}, {"abc", "abd", -1, -1},
      {"ab", "abc", -1, -1}, {"", "", 0, 0},       {"Zoom", "zoo", -1, 1},
  };
  for (const Case& c : cases) {
    const CString a(c.a);
    EXPECT_EQ(c.compare, (a.Compare(c.b) > 0) - (a.Compare(c.b) < 0)) << c.a << " " << c.b;
    EXPECT_EQ(c.compareNoCase, a.CompareNoCase(c.b)) << c.a << " " << c.b;
    EXPECT_EQ(c.compare == 0, a == c.b);
    EXPECT_EQ(c.compare < 0, a < CString(c.b));
  }
}

TEST(CStringTest, GetBufferHoldsTheTextAndReleaseBufferTakesTheNewLength) {
  CString s("main");
  char* buffer = s.GetBuffer(16);
  EXPECT_STREQ("main", buffer);
  std::strcpy(buffer, "main unit");
  s.ReleaseBuffer();
  EXPECT_STREQ("main unit", s);
  EXPECT_EQ(9, s.GetLength());

  std::strcpy(s.GetBuffer(0), "KR");
  s.ReleaseBuffer(1);
  EXPECT_STREQ("K", s);

  std::memcpy(s.GetBufferSetLength(3), "abc", 3);
  s.ReleaseBuffer(3);
  EXPECT_STREQ("abc", s);
}

TEST(CStringTest, PiecesAndSearchesStayInsideTheText) {
  const CString s("  Sample rate  ");
  CString trimmed(s);
  trimmed.Trim();
  EXPECT_STREQ("Sample rate", trimmed);
  EXPECT_STREQ("Sam", trimmed.Left(3));
  EXPECT_STREQ("rate", trimmed.Right(4));
  EXPECT_STREQ("ple", trimmed.Mid(3, 3));
  EXPECT_STREQ("", trimmed.Mid(40));
  EXPECT_STREQ("Sample rate", trimmed.Left(99));
  EXPECT_EQ(7, trimmed.Find("rate"));
  EXPECT_EQ(-1, trimmed.Find('x'));
  EXPECT_EQ(-1, trimmed.Find('S', 99));
  EXPECT_STREQ("SAMPLE RATE", CString(trimmed).MakeUpper());
  EXPECT_STREQ("a-b", CString("a") + '-' + "b");
}

TEST(CRectTest, GeometryFollowsWin32Rectangles) {
  CRect r(10, 20, 110, 70);
  EXPECT_EQ(100, r.Width());
  EXPECT_EQ(50, r.Height());
  EXPECT_EQ(CPoint(60, 45), r.CenterPoint());
  EXPECT_TRUE(r.PtInRect(CPoint(10, 20)));
  EXPECT_FALSE(r.PtInRect(CPoint(110, 20)));
  EXPECT_FALSE(r.PtInRect(CPoint(10, 70)));

  r.OffsetRect(-10, -20);
  EXPECT_EQ(CRect(0, 0, 100, 50), r);
  r.InflateRect(2, 3);
  EXPECT_EQ(CRect(-2, -3, 102, 53), r);
  r.DeflateRect(2, 3);
  EXPECT_EQ(CRect(0, 0, 100, 50), r);

  struct Case {
    CRect a;
    CRect b;
    BOOL overlaps;
    CRect intersection;
    CRect bounds;
  };
  const Case cases[] = {
      {{0, 0, 10, 10}, {5, 5, 15, 15}, TRUE, {5, 5, 10, 10}, {0, 0, 15, 15}},
      {{0, 0, 10, 10}, {10, 0, 20, 10}, FALSE, {0, 0, 0, 0}, {0, 0, 20, 10}},
      {{0, 0, 10, 10}, {0, 0, 0, 0}, FALSE, {0, 0, 0, 0}, {0, 0, 10, 10}},
  };
  for (const Case& c : cases) {
    CRect intersection(1, 1, 2, 2);
    EXPECT_EQ(c.overlaps, intersection.IntersectRect(c.a, c.b));
    EXPECT_EQ(c.intersection, intersection);
    CRect bounds;
    bounds.UnionRect(c.a, c.b);
    EXPECT_EQ(c.bounds, bounds);
  }
}

TEST(CPointTest, UnpacksSignedCoordinatesFromAPackedValue) {
  EXPECT_EQ(CPoint(-1, 2), CPoint(static_cast<DWORD>(0x0002FFFF)));
  EXPECT_EQ(CSize(3, -4), CPoint(5, 0) - CPoint(2, 4));
  CPoint p(1, 1);
  p += CSize(2, 3);
  EXPECT_EQ(CPoint(3, 4), p);
}

}  // namespace
