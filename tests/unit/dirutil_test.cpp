#include <gtest/gtest.h>
#include <string>
#include <vector>
#include "dirutil.h"
#include "result.h"
#include "scratchfolder.h"

namespace {

// The call works on a writable copy, like the callers' path buffers.
HRESULT CreateTree(const std::wstring& path, std::wstring* afterwards)
{
    std::vector<WCHAR> text(path.begin(), path.end());
    text.push_back(L'\0');
    const HRESULT hr = DirutilCreateTree(text.data(), nullptr);
    afterwards->assign(text.data(), text.size() - 1);
    return hr;
}

} // namespace

TEST(DirutilCreateTree, OutcomesAndTheCallersTextIsUnchanged)
{
    ScratchFolder folder;
    const std::wstring drive = ScratchFolder::MissingDrive();
    ASSERT_FALSE(drive.empty());
    ScratchFolder::WriteFile(folder / L"file", "x");

    struct Case {
        std::wstring path;
        HRESULT expected;
        std::wstring mustBeFolder;  // empty: nothing to check
    } cases[] = {
        {folder.Path(), S_OK, folder.Path()},                                 // exists already
        {L"C:\\", S_OK, L"C:\\"},                                             // a drive root
        {folder / L"a\\b\\c", S_OK, folder / L"a\\b\\c"},                     // whole chain
        {folder / L"t\\u\\", S_OK, folder / L"t\\u"},                         // trailing backslash
        {folder / L"a\\b\\c", S_OK, folder / L"a\\b\\c"},                     // again: nothing to do
        {drive + L"\\x\\y", RESULT_PATH_NOT_FOUND, L""},                      // no such drive
        {Slashed(folder / L"f\\g\\h"), RESULT_PATH_NOT_FOUND, L""},           // no backslash to cut at
        {folder / L"file\\sub\\deeper", S_FALSE, L""},                        // a file in the way
        {L"", RESULT_PATH_NOT_FOUND, L""},
    };
    for (const Case& c : cases) {
        std::wstring afterwards;
        const HRESULT hr = CreateTree(c.path, &afterwards);
        if (c.expected == S_FALSE) {
            EXPECT_TRUE(FAILED(hr)) << std::hex << hr;
        } else {
            EXPECT_EQ(c.expected, hr) << std::hex << hr;
        }
        EXPECT_EQ(c.path, afterwards);
        if (!c.mustBeFolder.empty()) {
            EXPECT_TRUE(ScratchFolder::IsFolder(c.mustBeFolder));
        }
    }
    EXPECT_FALSE(ScratchFolder::Exists(folder / L"f"));
    EXPECT_TRUE(ScratchFolder::IsFolder(folder / L"a\\b"));
}

TEST(DirutilIsFolder, AnswersOnlyForFolders)
{
    ScratchFolder folder;
    ScratchFolder::WriteFile(folder / L"file", "x");

    DWORD attributes = 0xDEAD;
    EXPECT_FALSE(DirutilIsFolder((folder / L"file").c_str(), &attributes));
    EXPECT_FALSE(DirutilIsFolder((folder / L"missing").c_str(), &attributes));
    EXPECT_EQ(0xDEADu, attributes);

    EXPECT_TRUE(DirutilIsFolder(folder.Path().c_str(), &attributes));
    EXPECT_TRUE(attributes & FILE_ATTRIBUTE_DIRECTORY);
    EXPECT_TRUE(DirutilIsFolder(folder.Path().c_str(), nullptr));
}
