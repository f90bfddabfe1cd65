#include <gtest/gtest.h>
#include "bundlemanifest.h"
#include "inprocess.h"

namespace {

// The language of the transform SelectTransform chooses; 0 when none.
DWORD Select(LONG language, std::vector<DWORD> transforms)
{
    MemoryManifest manifest({PKG_APPLY_TRANSFORM}, transforms);
    const ManifestTransformEntry* chosen = SelectTransform(manifest.Get(), language);
    return chosen ? chosen->language : 0;
}

} // namespace

TEST(SelectTransform, ChoosesByExactLanguageThenByPrimaryLanguage)
{
    const struct {
        LONG language;
        std::vector<DWORD> transforms;
        DWORD chosen;   // 0: no transform
    } cases[] = {
        {1031, {1031, 1036}, 1031},
        {1036, {1031, 1036}, 1036},
        {2055, {1031, 1036}, 1031},   // pass 2: German of any country
        {2055, {1031, 3079}, 3079},   // pass 2 matches both; the later one wins
        {1031, {1031, 2055}, 1031},   // pass 1 matched: pass 2 never runs
        {1031, {2055, 1031}, 1031},
        {3076, {1028, 2052}, 1028},
        {4100, {1028, 2052}, 2052},
        {2052, {1028}, 0},
        {31748, {1028, 2052, 31748}, 31748},
        {31748, {1028, 2052}, 0},
        {0, {1033, 1024}, 1024},      // a /lang that was no number
        {0, {1033, 1031}, 0},
        {1041, {1031, 1036}, 0},
        {1031, {}, 0},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(c.chosen, Select(c.language, c.transforms)) << c.language;
    }
}

// These run with the Linux locale de_DE (see CMakeLists.txt): the user's UI
// language is then 1031.
TEST(UserLanguage, MinusOneMeansTheUsersLanguage)
{
    ASSERT_EQ(1031, ::GetUserDefaultUILanguage());
    EXPECT_EQ(1031u, Select(-1, {1036, 1031}));
    EXPECT_EQ(3079u, Select(-1, {1036, 3079}));
    EXPECT_EQ(0u, Select(-1, {1036, 1033}));
    EXPECT_EQ(1036u, Select(1036, {1031, 1036})) << "an explicit language outranks the user's";
}
