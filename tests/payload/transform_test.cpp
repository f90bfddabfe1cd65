#include <gtest/gtest.h>
#include "inprocess.h"
#include "payloadtest.h"
#include "result.h"

namespace {

constexpr HRESULT NAME_NOT_FOUND = static_cast<HRESULT>(0x80070716);

struct Selection {
    HRESULT hr = E_FAIL;
    std::string chosen;   // the chosen file's bytes, empty when none
    int filesLeft = 0;    // files in the temporary folder afterwards
};

// Runs SelectTransform with a private temporary folder.
Selection Select(LONG language, std::vector<DWORD> transforms)
{
    ScratchFolder temp;
    temp.BecomeTempFolder();
    MemoryManifest manifest({PKG_APPLY_TRANSFORM}, transforms);
    OwnedText path;
    Selection result;
    result.hr = SelectTransform(manifest.Get(), language, &path.text);
    if (path.text) {
        result.chosen = ReadBytes(path.text);
        EXPECT_EQ(0, _wcsnicmp(path.text, (temp.Path() + L"\\MST").c_str(), temp.Path().size() + 4)) << path.text;
    }
    result.filesLeft = ScratchFolder::CountEntries(temp.Path());
    return result;
}

} // namespace

TEST(SelectTransform, ChoosesByExactLanguageThenByPrimaryLanguage)
{
    const struct {
        LONG language;
        std::vector<DWORD> transforms;
        const char* chosen;   // nullptr: no transform
    } cases[] = {
        {1031, {1031, 1036}, "transform 1031"},
        {1036, {1031, 1036}, "transform 1036"},
        {2055, {1031, 1036}, "transform 1031"},   // pass 2: German of any country
        {2055, {1031, 3079}, "transform 3079"},   // pass 2 matches both; the later one wins
        {1031, {1031, 2055}, "transform 1031"},   // pass 1 matched: pass 2 never runs
        {1031, {2055, 1031}, "transform 1031"},
        {3076, {1028, 2052}, "transform 1028"},
        {4100, {1028, 2052}, "transform 2052"},
        {2052, {1028}, nullptr},
        {31748, {1028, 2052, 31748}, "transform 31748"},
        {31748, {1028, 2052}, nullptr},
        {0, {1033, 1024}, "transform 1024"},      // a /lang that was no number
        {0, {1033, 1031}, nullptr},
        {1041, {1031, 1036}, nullptr},
        {1031, {}, nullptr},
    };
    for (const auto& c : cases) {
        const Selection selection = Select(c.language, c.transforms);
        EXPECT_EQ(S_OK, selection.hr) << c.language;
        EXPECT_EQ(c.chosen ? c.chosen : "", selection.chosen) << c.language;
        // A superseded match is deleted at once; no match leaves no file.
        EXPECT_EQ(c.chosen ? 1 : 0, selection.filesLeft) << c.language;
    }
}

TEST(SelectTransform, AMissingTransformResourceFailsAndLeavesNoFile)
{
    ScratchFolder temp;
    temp.BecomeTempFolder();
    MemoryManifest manifest({}, {1031, 1031});
    strcpy(manifest.Transform(1)->resourceName, "TFNONE");
    OwnedText path;
    EXPECT_EQ(NAME_NOT_FOUND, SelectTransform(manifest.Get(), 1031, &path.text));
    EXPECT_EQ(nullptr, path.text);
    EXPECT_EQ(0, ScratchFolder::CountEntries(temp.Path()));
}

// These run with the Linux locale de_DE (see CMakeLists.txt): the user's UI
// language is then 1031.
TEST(UserLanguage, MinusOneMeansTheUsersLanguage)
{
    ASSERT_EQ(1031, ::GetUserDefaultUILanguage());
    EXPECT_EQ("transform 1031", Select(-1, {1036, 1031}).chosen);
    EXPECT_EQ("transform 3079", Select(-1, {1036, 3079}).chosen);
    EXPECT_EQ("", Select(-1, {1036, 1033}).chosen);
    EXPECT_EQ("transform 1036", Select(1036, {1031, 1036}).chosen) << "an explicit language outranks the user's";
}
