#include <gtest/gtest.h>
#include <cwchar>
#include "memutil.h"
#include "strutil.h"

namespace {

constexpr HRESULT CUT = static_cast<HRESULT>(0x8007007A);
constexpr HRESULT OVERFLOWED = static_cast<HRESULT>(0x80070216);

DWORD Capacity(WideString text)
{
    return MemutilSize(text) / 2;
}

// Every character behind the terminator, up to the capacity, must be zero.
void ExpectZeroTail(WideString text)
{
    const DWORD capacity = Capacity(text);
    DWORD i = static_cast<DWORD>(wcslen(text));
    for (; i < capacity; ++i) {
        ASSERT_EQ(L'\0', text[i]) << "at " << i;
    }
}

struct OwnedString {
    WideString text = nullptr;
    ~OwnedString() { if (text) StrutilFree(text); }
};

} // namespace

TEST(Bounded, CopyFitsExactlyOrIsCut)
{
    WCHAR buffer[8];
    EXPECT_EQ(S_OK, BoundedCopy(buffer, 6, L"abcde"));
    EXPECT_STREQ(L"abcde", buffer);
    EXPECT_EQ(CUT, BoundedCopy(buffer, 5, L"abcde"));
    EXPECT_STREQ(L"abcd", buffer);
    EXPECT_EQ(CUT, BoundedCopy(buffer, 1, L"a"));
    EXPECT_STREQ(L"", buffer);
}

TEST(Bounded, SizeZeroAndTooLarge)
{
    WCHAR buffer[4] = {L'x', L'y', L'\0', L'\0'};
    EXPECT_EQ(E_INVALIDARG, BoundedCopy(buffer, 0, L"a"));
    EXPECT_EQ(L'x', buffer[0]);
    EXPECT_EQ(E_INVALIDARG, BoundedAppend(buffer, 0x80000000u, L"a"));
    EXPECT_EQ(L'x', buffer[0]);   // appends never touch the buffer on a bad size
    EXPECT_EQ(E_INVALIDARG, BoundedCopy(buffer, 0x80000000u, L"a"));
    EXPECT_EQ(L'\0', buffer[0]);  // copies leave an empty text
    buffer[0] = L'x';
    EXPECT_EQ(E_INVALIDARG, BoundedFormat(buffer, 0x80000000u, L"%d", 1));
    EXPECT_EQ(L'\0', buffer[0]);
    buffer[0] = L'x';
    EXPECT_EQ(E_INVALIDARG, BoundedCopyCount(buffer, 4, L"a", 0x7FFFFFFF));
    EXPECT_EQ(L'\0', buffer[0]);
    buffer[0] = L'x';
    EXPECT_EQ(E_INVALIDARG, BoundedAppendCount(buffer, 4, L"a", 0x7FFFFFFF));
    EXPECT_EQ(L'x', buffer[0]);
}

TEST(Bounded, CopyCountTakesAtMostCount)
{
    WCHAR buffer[10];
    EXPECT_EQ(S_OK, BoundedCopyCount(buffer, 10, L"abcdef", 3));
    EXPECT_STREQ(L"abc", buffer);
    EXPECT_EQ(CUT, BoundedCopyCount(buffer, 3, L"abcdef", 5));
    EXPECT_STREQ(L"ab", buffer);
}

TEST(Bounded, AppendIntoFullBuffer)
{
    WCHAR buffer[4] = L"abc";
    EXPECT_EQ(CUT, BoundedAppend(buffer, 4, L"d"));
    EXPECT_STREQ(L"abc", buffer);
    EXPECT_EQ(S_OK, BoundedAppend(buffer, 4, L""));
    EXPECT_STREQ(L"abc", buffer);

    WCHAR partial[6] = L"ab";
    EXPECT_EQ(CUT, BoundedAppend(partial, 6, L"cdefg"));
    EXPECT_STREQ(L"abcde", partial);
    WCHAR counted[8] = L"ab";
    EXPECT_EQ(S_OK, BoundedAppendCount(counted, 8, L"cdefg", 2));
    EXPECT_STREQ(L"abcd", counted);
}

TEST(Bounded, AppendWithoutTerminatorIsRefused)
{
    WCHAR buffer[3] = {L'a', L'b', L'c'};
    EXPECT_EQ(E_INVALIDARG, BoundedAppend(buffer, 3, L"d"));
    EXPECT_EQ(L'c', buffer[2]);
}

TEST(Bounded, FormatExactFitAndOneOver)
{
    WCHAR buffer[6];
    EXPECT_EQ(S_OK, BoundedFormat(buffer, 6, L"%d%s", 123, L"ab"));
    EXPECT_STREQ(L"123ab", buffer);
    EXPECT_EQ(CUT, BoundedFormat(buffer, 6, L"%d%s", 1234, L"ab"));
    EXPECT_STREQ(L"1234a", buffer);
}

TEST(Bounded, FormatUsesWideStringsForPercentS)
{
    WCHAR buffer[64];
    EXPECT_EQ(S_OK, BoundedFormat(buffer, 64, L"%s%s%05d.%s", L"C:\\t\\", L"setup", 7, L"log"));
    EXPECT_STREQ(L"C:\\t\\setup00007.log", buffer);
    EXPECT_EQ(S_OK, BoundedFormat(buffer, 64, L"%d.%d.%d.%d", 4, 2, 310, 0));
    EXPECT_STREQ(L"4.2.310.0", buffer);
    EXPECT_EQ(S_OK, BoundedFormat(buffer, 64, L"[%.*ls]", 2, L"abcdef"));
    EXPECT_STREQ(L"[ab]", buffer);
}

TEST(Bounded, Length)
{
    size_t length = 99;
    EXPECT_EQ(S_OK, BoundedLength(L"abc", 4, &length));
    EXPECT_EQ(3u, length);
    EXPECT_EQ(E_INVALIDARG, BoundedLength(L"abc", 3, &length));
    EXPECT_EQ(0u, length);
    length = 99;
    EXPECT_EQ(E_INVALIDARG, BoundedLength(nullptr, 4, &length));
    EXPECT_EQ(0u, length);
    EXPECT_EQ(E_INVALIDARG, BoundedLength(L"abc", 0x80000000u, &length));
}

TEST(Bounded, CheckedAdd)
{
    UINT sum = 0;
    EXPECT_EQ(S_OK, CheckedAdd(0xFFFFFFFE, 1, &sum));
    EXPECT_EQ(0xFFFFFFFFu, sum);
    EXPECT_EQ(OVERFLOWED, CheckedAdd(0xFFFFFFFF, 1, &sum));
    EXPECT_EQ(0xFFFFFFFFu, sum);
}

TEST(StrutilAllocate, ExactCapacityAndLimit)
{
    OwnedString s;
    EXPECT_EQ(S_OK, StrutilAllocate(&s.text, 260));
    EXPECT_EQ(260u, Capacity(s.text));
    for (int i = 0; i < 260; ++i) ASSERT_EQ(L'\0', s.text[i]);
    s.text[0] = L'q';
    EXPECT_EQ(S_OK, StrutilAllocate(&s.text, 3));
    EXPECT_EQ(3u, Capacity(s.text));
    EXPECT_EQ(L'q', s.text[0]);
    WideString before = s.text;
    EXPECT_EQ(E_OUTOFMEMORY, StrutilAllocate(&s.text, 0x7FFFFFFF));
    EXPECT_EQ(before, s.text);
}

TEST(StrutilAppend, GrowsByDoubling)
{
    OwnedString s;
    ASSERT_EQ(S_OK, StrutilAppend(&s.text, L"abc", 0));
    EXPECT_EQ(8u, Capacity(s.text));
    EXPECT_STREQ(L"abc", s.text);
    ExpectZeroTail(s.text);

    ASSERT_EQ(S_OK, StrutilAppend(&s.text, L"de", 0));
    EXPECT_EQ(8u, Capacity(s.text));
    EXPECT_STREQ(L"abcde", s.text);

    ASSERT_EQ(S_OK, StrutilAppend(&s.text, L"fghij", 0));
    EXPECT_EQ(22u, Capacity(s.text));
    EXPECT_STREQ(L"abcdefghij", s.text);
    ExpectZeroTail(s.text);

    ASSERT_EQ(S_OK, StrutilAppend(&s.text, L"xyz", 2));
    EXPECT_STREQ(L"abcdefghijxy", s.text);
}

TEST(StrutilAppend, NullSourceAndMissingTerminator)
{
    OwnedString s;
    EXPECT_EQ(E_INVALIDARG, StrutilAppend(&s.text, nullptr, 0));
    EXPECT_EQ(nullptr, s.text);

    ASSERT_EQ(S_OK, StrutilAllocate(&s.text, 2));
    s.text[0] = L'a';
    s.text[1] = L'b';
    EXPECT_EQ(E_INVALIDARG, StrutilAppend(&s.text, L"c", 0));
    EXPECT_EQ(2u, Capacity(s.text));
}

TEST(StrutilCopy, ExactCapacities)
{
    OwnedString a;
    ASSERT_EQ(S_OK, StrutilCopy(&a.text, L"abcde", 0));
    EXPECT_EQ(6u, Capacity(a.text));
    EXPECT_STREQ(L"abcde", a.text);

    OwnedString b;
    ASSERT_EQ(S_OK, StrutilCopy(&b.text, L"abcde", 3));
    EXPECT_EQ(4u, Capacity(b.text));
    EXPECT_STREQ(L"abc", b.text);

    OwnedString c;
    const WCHAR* path = L"C:\\users\\root\\Temp\\setup.msi!!"; // 30 characters
    ASSERT_EQ(30u, wcslen(path));
    ASSERT_EQ(S_OK, StrutilCopy(&c.text, path, 260));
    EXPECT_EQ(261u, Capacity(c.text));
    EXPECT_STREQ(path, c.text);
    ExpectZeroTail(c.text);
}

TEST(StrutilCopy, NullSourceGivesEmptyText)
{
    OwnedString s;
    ASSERT_EQ(S_OK, StrutilCopy(&s.text, nullptr, 0));
    EXPECT_EQ(1u, Capacity(s.text));
    EXPECT_STREQ(L"", s.text);
}

TEST(StrutilCopy, KeepsLargerCapacityAndZeroesBehind)
{
    OwnedString s;
    ASSERT_EQ(S_OK, StrutilCopy(&s.text, L"a long old text here", 0));
    const DWORD capacity = Capacity(s.text);
    ASSERT_EQ(S_OK, StrutilCopy(&s.text, L"new", 0));
    EXPECT_EQ(capacity, Capacity(s.text));
    EXPECT_STREQ(L"new", s.text);
    ExpectZeroTail(s.text);
}

TEST(StrutilCopy, CountOverflow)
{
    OwnedString s;
    EXPECT_EQ(OVERFLOWED, StrutilCopy(&s.text, L"x", 0xFFFFFFFF));
    EXPECT_EQ(nullptr, s.text);
}

TEST(StrutilFormat, RetriesAtDoubleCapacity)
{
    OwnedString s;
    WCHAR text300[301];
    for (int i = 0; i < 300; ++i) text300[i] = static_cast<WCHAR>(L'a' + i % 26);
    text300[300] = L'\0';
    ASSERT_EQ(S_OK, StrutilFormat(&s.text, L"%s", text300));
    EXPECT_EQ(512u, Capacity(s.text));
    EXPECT_STREQ(text300, s.text);
}

TEST(StrutilFormat, ReusesALargeEnoughBlock)
{
    OwnedString s;
    ASSERT_EQ(S_OK, StrutilAllocate(&s.text, 1000));
    ASSERT_EQ(S_OK, BoundedCopy(s.text, 1000, L"old text"));
    WideString block = s.text;
    ASSERT_EQ(S_OK, StrutilFormat(&s.text, L"%s-%d", L"new", 5));
    EXPECT_EQ(block, s.text);
    EXPECT_EQ(1000u, Capacity(s.text));
    EXPECT_STREQ(L"new-5", s.text);
}

TEST(StrutilFormat, ExactFillOfStartCapacity)
{
    // 255 characters fit 256 exactly: no retry.
    OwnedString s;
    WCHAR text255[256];
    for (int i = 0; i < 255; ++i) text255[i] = L'z';
    text255[255] = L'\0';
    ASSERT_EQ(S_OK, StrutilFormat(&s.text, L"%s", text255));
    EXPECT_EQ(256u, Capacity(s.text));
    EXPECT_EQ(255u, wcslen(s.text));
}
