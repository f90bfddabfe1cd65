#include <gtest/gtest.h>
#include "memutil.h"

TEST(Memutil, ZeroFilledBlockHasExactSize)
{
    auto* block = static_cast<BYTE*>(MemutilAllocate(10, TRUE));
    ASSERT_NE(nullptr, block);
    EXPECT_EQ(10u, MemutilSize(block));
    for (int i = 0; i < 10; ++i) EXPECT_EQ(0, block[i]);

    block[0] = 1; block[3] = 4;
    block = static_cast<BYTE*>(MemutilResize(block, 4, FALSE));
    ASSERT_NE(nullptr, block);
    EXPECT_EQ(4u, MemutilSize(block));
    EXPECT_EQ(1, block[0]);
    EXPECT_EQ(4, block[3]);
    EXPECT_EQ(S_OK, MemutilRelease(block));
}

TEST(Memutil, OddSizeIsNotRounded)
{
    void* block = MemutilAllocate(7, FALSE);
    ASSERT_NE(nullptr, block);
    EXPECT_EQ(7u, MemutilSize(block));
    MemutilRelease(block);
}

TEST(Memutil, GrowingWithZeroFillZeroesTheGain)
{
    auto* block = static_cast<BYTE*>(MemutilAllocate(2, FALSE));
    ASSERT_NE(nullptr, block);
    block[0] = 7; block[1] = 8;
    block = static_cast<BYTE*>(MemutilResize(block, 64, TRUE));
    ASSERT_NE(nullptr, block);
    EXPECT_EQ(7, block[0]);
    EXPECT_EQ(8, block[1]);
    for (int i = 2; i < 64; ++i) EXPECT_EQ(0, block[i]);
    MemutilRelease(block);
}
