// The MFC growth, relocation and construction rules of the driver's CArray and
// the host's byte and string arrays.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "CArray.h"
#include "HostArrays.h"

namespace {

struct Counted {
    static int alive;
    int value;
    Counted() : value(7) { ++alive; }
    ~Counted() { --alive; }
    Counted& operator=(const Counted& other) {
        value = other.value;
        return *this;
    }
};
int Counted::alive = 0;

// Grows {"a", "b", "c"}, held at exactly its capacity so that any growth
// moves it, with one of its own elements as the argument.
struct SelfGrowCase {
    int op;
    std::vector<std::string> expected;
};
const SelfGrowCase kSelfGrowCases[] = {
    {0, {"a", "b", "c", "", "", "b"}},    // SetAtGrow(5, [1])
    {1, {"a", "b", "c", "a"}},            // Add([0])
    {2, {"c", "c", "a", "b", "c"}},       // InsertAt(0, [2], 2)
    {3, {"a", "a", "b", "c"}},            // InsertAt(1, [0])
    {4, {"a", "c", "b", "c"}},            // InsertAt(1, [2])
    {5, {"a", "b", "c", "a", "b", "c"}},  // Append(itself)
};

template <class Array>
std::vector<std::string> GrowWithOwnElement(Array& a, int op) {
    for (const char* text : {"a", "b", "c"}) {
        CString element(text);
        a.Add(element);
    }
    a.FreeExtra();
    switch (op) {
        case 0:
            a.SetAtGrow(5, a[1]);
            break;
        case 1:
            a.Add(a[0]);
            break;
        case 2:
            a.InsertAt(0, a[2], 2);
            break;
        case 3:
            a.InsertAt(1, a[0]);
            break;
        case 4:
            a.InsertAt(1, a[2]);
            break;
        default:
            a.Append(a);
            break;
    }
    std::vector<std::string> out;
    for (int i = 0; i < a.GetSize(); ++i) out.emplace_back(static_cast<const char*>(a[i]));
    return out;
}

}  // namespace

TEST(DriverArray, GrowingWithItsOwnElementCopiesThatElement) {
    for (const SelfGrowCase& c : kSelfGrowCases) {
        CArray<CString, CString&> a;
        EXPECT_EQ(GrowWithOwnElement(a, c.op), c.expected) << "case " << c.op;
    }
}

TEST(HostArrays, StringArrayGrowingWithItsOwnStringCopiesThatString) {
    for (const SelfGrowCase& c : kSelfGrowCases) {
        CStringArray a;
        EXPECT_EQ(GrowWithOwnElement(a, c.op), c.expected) << "case " << c.op;
    }
}

TEST(DriverArray, GrowsByAnEighthOfItsSizeClampedToFourAndTo1024) {
    CArray<int, int> a;
    a.SetSize(1);
    EXPECT_EQ(a.GetCapacity(), 1);
    a.SetSize(2);
    EXPECT_EQ(a.GetCapacity(), 5);  // 1 + 4
    a.SetSize(100);
    EXPECT_EQ(a.GetCapacity(), 100);  // larger than 5 + 4
    a.SetSize(101);
    EXPECT_EQ(a.GetCapacity(), 112);  // 100 + 100 / 8
    a.SetSize(20000);
    a.SetSize(20001);
    EXPECT_EQ(a.GetCapacity(), 21024);  // 20000 + 1024
    CArray<int, int> b;
    b.SetSize(3, 10);
    EXPECT_EQ(b.GetCapacity(), 10);
    b.SetSize(11, -1);
    EXPECT_EQ(b.GetCapacity(), 20);  // the grow-by is kept
}

TEST(DriverArray, NewElementsAreZeroAndOldOnesSurviveRelocation) {
    CArray<double, double> a;
    a.SetSize(3);
    a[0] = 1.5;
    a[2] = -2.0;
    a.SetSize(50);
    EXPECT_EQ(a[0], 1.5);
    EXPECT_EQ(a[2], -2.0);
    for (int i = 3; i < 50; ++i) EXPECT_EQ(a[i], 0.0);
    a.SetSize(2);
    a.SetSize(4);
    EXPECT_EQ(a[2], 0.0);  // shrinking then growing gives fresh zeros
}

TEST(DriverArray, ConstructsAndDestroysElementsOnResize) {
    {
        CArray<Counted, Counted&> a;
        a.SetSize(5);
        EXPECT_EQ(Counted::alive, 5);
        EXPECT_EQ(a[4].value, 7);
        a.SetSize(2);
        EXPECT_EQ(Counted::alive, 2);
        Counted x;
        x.value = 42;
        a.InsertAt(1, x);
        EXPECT_EQ(Counted::alive, 4);
        EXPECT_EQ(a[1].value, 42);
        a.RemoveAt(0, 2);
        EXPECT_EQ(a.GetSize(), 1);
        EXPECT_EQ(Counted::alive, 2);
    }
    EXPECT_EQ(Counted::alive, 0);
}

TEST(DriverArray, InsertSetAtGrowRemoveAndFreeExtraKeepOrder) {
    CArray<int, int> a;
    a.SetAtGrow(3, 9);
    EXPECT_EQ(a.GetSize(), 4);
    EXPECT_EQ(a[0], 0);
    EXPECT_EQ(a[3], 9);
    a.InsertAt(0, 5, 2);
    EXPECT_EQ(a.GetSize(), 6);
    EXPECT_EQ(a[0], 5);
    EXPECT_EQ(a[1], 5);
    EXPECT_EQ(a[5], 9);
    a.InsertAt(10, 1);
    EXPECT_EQ(a.GetSize(), 11);
    EXPECT_EQ(a[10], 1);
    a.RemoveAt(1, 100);
    EXPECT_EQ(a.GetSize(), 1);
    a.FreeExtra();
    EXPECT_EQ(a.GetCapacity(), 1);
    a.RemoveAll();
    EXPECT_EQ(a.GetData(), nullptr);
    a.SetAtGrow(-1, 3);
    EXPECT_EQ(a.GetSize(), 0);
}

TEST(HostArrays, ByteArrayGrowsZeroFilledAndInsertsBytes) {
    CByteArray b;
    b.SetSize(6);
    b[5] = 0xAB;
    b.SetSize(16534, -1);
    EXPECT_EQ(b[5], 0xAB);
    EXPECT_EQ(b[16533], 0);
    b.SetSize(2);
    b.InsertAt(0, 0x11, 2);
    ASSERT_EQ(b.GetSize(), 4);
    EXPECT_EQ(b[0], 0x11);
    EXPECT_EQ(b[1], 0x11);
    b.SetAtGrow(9, 0x22);
    EXPECT_EQ(b.GetSize(), 10);
    EXPECT_EQ(b[9], 0x22);
}

TEST(HostArrays, StringArrayAppendsCopiesAndRelocatesStrings) {
    CStringArray a;
    a.SetSize(2);
    EXPECT_TRUE(a[0].IsEmpty());
    a[1] = "one";
    for (int i = 0; i < 100; ++i) a.Add("x");
    EXPECT_STREQ(a[1], "one");
    CStringArray b;
    b.Add("first");
    b.Append(a);
    EXPECT_EQ(b.GetSize(), 103);
    EXPECT_STREQ(b[2], "one");
    b.SetAtGrow(200, b[2]);
    EXPECT_STREQ(b[200], "one");
    b.InsertAt(0, "zero");
    EXPECT_STREQ(b[0], "zero");
    EXPECT_STREQ(b[1], "first");
    b.RemoveAt(0, 2);
    EXPECT_TRUE(b[0].IsEmpty());
    b.SetSize(0);
    EXPECT_EQ(b.GetData(), nullptr);
}
