// The host string's semantics that the driver relies on.
#include <gtest/gtest.h>

#include <string>

#include "HostString.h"

TEST(HostString, EmptyStringsShareTheLockedNilText) {
    CString a, b;
    EXPECT_EQ(a.c_str(), _afxPchNil);
    EXPECT_EQ(b.c_str(), _afxPchNil);
    EXPECT_EQ(a.GetRefCount(), -1);
    CString c("x");
    c.Empty();
    EXPECT_EQ(c.c_str(), _afxPchNil);
}

TEST(HostString, CopiesShareCharactersUntilOneOfThemChanges) {
    CString a("hello");
    CString b(a);
    EXPECT_EQ(a.c_str(), b.c_str());
    EXPECT_EQ(a.GetRefCount(), 2);
    b.MakeUpper();
    EXPECT_NE(a.c_str(), b.c_str());
    EXPECT_STREQ(a, "hello");
    EXPECT_STREQ(b, "HELLO");
    EXPECT_EQ(a.GetRefCount(), 1);
    CString c;
    c = a;
    c += "!";
    EXPECT_STREQ(a, "hello");
    EXPECT_STREQ(c, "hello!");
}

TEST(HostString, LengthIsReadFromTheHeaderBeforeTheCharacters) {
    CString a("abc");
    const CStringData* header = reinterpret_cast<const CStringData*>(a.c_str()) - 1;
    EXPECT_EQ(header->nDataLength, 3);
    EXPECT_GE(header->nAllocLength, 3);
    EXPECT_EQ(header->nRefs, 1);
}

TEST(HostString, ConstructorsTakeTextCountsAndRepeatedCharacters) {
    EXPECT_STREQ(CString('0', 4), "0000");
    EXPECT_TRUE(CString('x', 0).IsEmpty());
    EXPECT_STREQ(CString("abcdef", 3), "abc");
    EXPECT_TRUE(CString(static_cast<const char*>(nullptr)).IsEmpty());
}

TEST(HostString, AppendingToItselfAndConcatenationWork) {
    CString a("ab");
    a += a;
    EXPECT_STREQ(a, "abab");
    a += a.c_str() + 2;
    EXPECT_STREQ(a, "ababab");
    CString s;
    for (int i = 0; i < 1000; ++i) s += 'z';
    EXPECT_EQ(s.GetLength(), 1000);
    EXPECT_STREQ(CString("a") + "b" + CString("c") + 'd', "abcd");
    EXPECT_STREQ("x" + CString("y"), "xy");
}

TEST(HostString, FormatHandlesShortLongAndSelfReferencingArguments) {
    CString a;
    a.Format("%.2x%.6x%.4x", 1, 100, 10);
    EXPECT_STREQ(a, "01000064000a");
    CString longText;
    longText.Format("%0500d", 7);
    EXPECT_EQ(longText.GetLength(), 500);
    EXPECT_EQ(longText[499], '7');
    CString self("abc");
    self.Format("%s-%s", self.c_str(), self.c_str());
    EXPECT_STREQ(self, "abc-abc");
}

TEST(HostString, MidLeftAndRightClampTheirBounds) {
    CString a("0123456789");
    EXPECT_STREQ(a.Mid(3, 2), "34");
    EXPECT_STREQ(a.Mid(8, 10), "89");
    EXPECT_STREQ(a.Mid(-2, 3), "012");
    EXPECT_TRUE(a.Mid(10, 2).IsEmpty());
    EXPECT_TRUE(a.Mid(20).IsEmpty());
    EXPECT_TRUE(a.Mid(2, -1).IsEmpty());
    EXPECT_STREQ(a.Mid(7), "789");
    EXPECT_STREQ(a.Left(3), "012");
    EXPECT_STREQ(a.Left(99), "0123456789");
    EXPECT_TRUE(a.Left(-1).IsEmpty());
    EXPECT_STREQ(a.Right(2), "89");
    EXPECT_TRUE(a.Right(-5).IsEmpty());
}

TEST(HostString, FindSearchesFromAStartPosition) {
    CString a("D,100,WUB=Level");
    EXPECT_EQ(a.Find(','), 1);
    EXPECT_EQ(a.Find(',', 2), 5);
    EXPECT_EQ(a.Find("WUB"), 6);
    EXPECT_EQ(a.Find('='), 9);
    EXPECT_EQ(a.Find('x'), -1);
    EXPECT_EQ(a.Find(',', 100), -1);
    EXPECT_EQ(a.Find("Level", -3), 10);
    EXPECT_EQ(a.ReverseFind(','), 5);
    EXPECT_EQ(CString().Find('a'), -1);
}

TEST(HostString, TrimmingRemovesBlanksTabsAndLineEnds) {
    CString a(" \t\r\n READ \r\n");
    a.TrimLeft();
    EXPECT_STREQ(a, "READ \r\n");
    a.TrimRight();
    EXPECT_STREQ(a, "READ");
    CString b("xxabxx");
    b.TrimLeft('x');
    b.TrimRight("x");
    EXPECT_STREQ(b, "ab");
    CString blank("   ");
    blank.Trim();
    EXPECT_TRUE(blank.IsEmpty());
}

TEST(HostString, InsertDeleteAndSpanEditInPlace) {
    CString a("012080");
    a.Insert(4, "000a02");
    EXPECT_STREQ(a, "0120000a0280");
    a.Insert(100, "!");
    EXPECT_STREQ(a, "0120000a0280!");
    a.Delete(0, 2);
    EXPECT_STREQ(a, "20000a0280!");
    a.Delete(9, 50);
    EXPECT_STREQ(a, "20000a028");
    a.Delete(-1, 1);
    EXPECT_STREQ(a, "0000a028");
    EXPECT_STREQ(CString("1234abc").SpanIncluding("0123456789"), "1234");
    EXPECT_TRUE(CString("abc").SpanIncluding("0123456789").IsEmpty());
}

TEST(HostString, BuffersCanBeWrittenAndReleased) {
    CString a;
    char* p = a.GetBuffer(10);
    std::snprintf(p, 11, "%s", "hello");
    a.ReleaseBuffer();
    EXPECT_EQ(a.GetLength(), 5);
    EXPECT_STREQ(a, "hello");
    CString shared(a);
    char* q = a.GetBufferSetLength(3);
    q[0] = 'J';
    a.ReleaseBuffer(3);
    EXPECT_STREQ(a, "Jel");
    EXPECT_STREQ(shared, "hello");
}

TEST(HostString, ComparisonIsBytewiseOrCaseInsensitive) {
    EXPECT_TRUE(CString("READ") == "READ");
    EXPECT_TRUE(CString("READ") != "read");
    EXPECT_EQ(CString("read").CompareNoCase("READ"), 0);
    EXPECT_LT(CString("A").Compare("B"), 0);
    CString upper("通道a");
    upper.MakeUpper();
    EXPECT_STREQ(upper, "通道A");
}
