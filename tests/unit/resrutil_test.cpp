#include <gtest/gtest.h>
#include <string>
#include "memutil.h"
#include "resrutil.h"
#include "result.h"
#include "scratchfolder.h"

namespace {

constexpr HRESULT NAME_NOT_FOUND = static_cast<HRESULT>(0x80070716);  // 1814
constexpr HRESULT SHARING_VIOLATION = static_cast<HRESULT>(0x80070020);
constexpr DWORD PAYLOAD_SIZE = 70000;

// The payload resource is this pattern, so a cut or shifted copy shows.
std::string ExpectedPayload()
{
    std::string bytes(PAYLOAD_SIZE, '\0');
    for (DWORD i = 0; i < PAYLOAD_SIZE; ++i) {
        bytes[i] = static_cast<char>((i * 7 + (i >> 8)) & 0xFF);
    }
    return bytes;
}

// The payload after the image: random bytes of two blocks and a part of a
// third, from the file the build appended.
std::string AfterPayload()
{
    return ScratchFolder::ReadFile(L"" UNIT_AFTER_FILE);
}

struct OwnedString {
    WideString text = nullptr;
    ~OwnedString() { if (text) StrutilFree(text); }
};

} // namespace

TEST(ResrutilLocateData, HandsOutTheBytesInPlace)
{
    const BYTE* data = nullptr;
    DWORD size = 0;
    ASSERT_EQ(S_OK, ResrutilLocateData(nullptr, "TESTPAYLOAD", &data, &size));
    ASSERT_EQ(PAYLOAD_SIZE, size);
    EXPECT_EQ(ExpectedPayload(), std::string(reinterpret_cast<const char*>(data), size));

    // The bytes lie inside the executable's mapped image, not in a heap copy.
    const BYTE* image = reinterpret_cast<const BYTE*>(::GetModuleHandleW(nullptr));
    MEMORY_BASIC_INFORMATION region = {};
    ASSERT_NE(0u, ::VirtualQuery(data, &region, sizeof(region)));
    EXPECT_EQ(image, region.AllocationBase);
}

TEST(ResrutilLocateData, MissingOrEmptyFailsAndLeavesTheCountAlone)
{
    const BYTE* data = nullptr;
    DWORD size = 1234;
    EXPECT_EQ(NAME_NOT_FOUND, ResrutilLocateData(nullptr, "NOSUCHRESOURCE", &data, &size));
    EXPECT_EQ(1234u, size);

    // An empty resource counts as missing. The platform records no error for
    // it, and the failed lookup above must not lend it its code.
    EXPECT_EQ(E_FAIL, ResrutilLocateData(nullptr, "TESTEMPTY", &data, &size));
    EXPECT_EQ(1234u, size);
}

// Read through the program's own file: in a data resource of the image, or
// listed in PAYLOADS after the image, the table before a resource of the same
// name; an existing, longer file is replaced.
TEST(ResrutilSaveDataToFile, WritesTheWholePayload)
{
    ScratchFolder folder;
    const struct {
        const char* name;
        std::string bytes;
    } cases[] = {
        {"TESTPAYLOAD", ExpectedPayload()},
        {"TESTAFTER", AfterPayload()},
        {"TESTBOTH", "listed after the image"},
    };
    for (const auto& c : cases) {
        const std::wstring target = folder / L"payload.msi";
        ScratchFolder::WriteFile(target, std::string(c.bytes.size() + 100, 'x'));
        ASSERT_EQ(S_OK, ResrutilSaveDataToFile(c.name, target.c_str(), nullptr, nullptr)) << c.name;
        EXPECT_EQ(c.bytes, ScratchFolder::ReadFile(target)) << c.name;
    }
}

// The read-back reads both files anew, each block of them: a byte past the
// first block or a missing last byte is a change.
TEST(ResrutilFileMatchesData, ComparesEveryBlock)
{
    ScratchFolder folder;
    std::string bytes = AfterPayload();
    const struct {
        const char* what;
        std::string bytes;
        HRESULT expected;
    } cases[] = {
        {"the payload", bytes, S_OK},
        {"a byte changed in the second block", std::string(bytes).replace(1048581, 1, 1, static_cast<char>(~bytes[1048581])),
         RESULT_FILE_CHANGED},
        {"the last byte missing", bytes.substr(0, bytes.size() - 1), RESULT_FILE_CHANGED},
    };
    for (const auto& c : cases) {
        const std::wstring path = folder / L"held.msi";
        ScratchFolder::WriteFile(path, c.bytes);
        HANDLE held = ::CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
        ASSERT_NE(INVALID_HANDLE_VALUE, held) << c.what;
        EXPECT_EQ(c.expected, ResrutilFileMatchesData("TESTAFTER", held)) << c.what;
        ::CloseHandle(held);
    }
}

TEST(ResrutilSaveDataToFile, FailuresCreateNoFile)
{
    ScratchFolder folder;
    struct Case {
        const char* resource;
        std::wstring target;
        HRESULT expected;
    } cases[] = {
        {"NOSUCHRESOURCE", folder / L"missing.bin", NAME_NOT_FOUND},
        {"TESTEMPTY", folder / L"empty.bin", E_FAIL},
        {"TESTSMALL", folder / L"no\\such\\folder.bin", RESULT_PATH_NOT_FOUND},
        // Listed after the image, but not to be read as it is listed.
        {"TESTBEYOND", folder / L"beyond.bin", RESULT_INVALID_DATA},
        {"TESTSPAN", folder / L"span.bin", RESULT_INVALID_DATA},
        {"TESTZERO", folder / L"zero.bin", RESULT_INVALID_DATA},
        {"TESTFLAGGED", folder / L"flagged.bin", RESULT_INVALID_DATA},
        {"TESTWRAP", folder / L"wrap.bin", RESULT_INVALID_DATA},
    };
    for (const Case& c : cases) {
        const HRESULT hr = ResrutilSaveDataToFile(c.resource, c.target.c_str(), nullptr, nullptr);
        EXPECT_EQ(c.expected, hr) << c.resource;
        EXPECT_FALSE(ScratchFolder::Exists(c.target)) << c.resource;
    }
    EXPECT_EQ(0, ScratchFolder::CountEntries(folder.Path()));
}

TEST(ResrutilSaveDataToFile, TargetThatCannotBeOpenedIsLeftAsItWas)
{
    ScratchFolder folder;
    const std::wstring target = folder / L"busy.bin";
    ScratchFolder::WriteFile(target, "keep me");
    HANDLE held = ::CreateFileW(target.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING,
                                FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(INVALID_HANDLE_VALUE, held);

    EXPECT_EQ(SHARING_VIOLATION, ResrutilSaveDataToFile("TESTSMALL", target.c_str(), nullptr, nullptr));
    ::CloseHandle(held);
    EXPECT_EQ("keep me", ScratchFolder::ReadFile(target));
}

// What is at the name is deleted, not written through: a hard link planted
// there keeps the file it leads to unchanged.
TEST(ResrutilSaveDataToFile, AHardLinkAtTheTargetIsReplacedNotWrittenThrough)
{
    ScratchFolder folder;
    const std::wstring victim = folder / L"victim.bin";
    const std::wstring target = folder / L"target.bin";
    ScratchFolder::WriteFile(victim, "old");
    ASSERT_TRUE(::CreateHardLinkW(target.c_str(), victim.c_str(), nullptr));
    EXPECT_EQ(S_OK, ResrutilSaveDataToFile("TESTSMALL", target.c_str(), nullptr, nullptr));
    EXPECT_EQ("old", ScratchFolder::ReadFile(victim));
    EXPECT_NE("old", ScratchFolder::ReadFile(target));
}

// The buffer starts at 64 characters and doubles after every load that filled
// it, so the final capacity tells how many loads it took.
TEST(ResrutilLoadText, GrowsUntilTheTextIsComplete)
{
    struct Case {
        UINT id;
        size_t length;
        DWORD capacity;
    } cases[] = {
        {60001, 5, 64},
        {60062, 62, 64},
        {60063, 63, 128},
        {60127, 127, 256},
    };
    for (const Case& c : cases) {
        OwnedString text;
        ASSERT_EQ(S_OK, ResrutilLoadText(nullptr, c.id, &text.text)) << c.id;
        EXPECT_EQ(c.length, wcslen(text.text)) << c.id;
        EXPECT_EQ(c.capacity, MemutilSize(text.text) / 2) << c.id;
    }
}

TEST(ResrutilLoadText, ReusesTheCallersBuffer)
{
    OwnedString text;
    ASSERT_EQ(S_OK, ResrutilLoadText(nullptr, 60127, &text.text));
    ASSERT_EQ(S_OK, ResrutilLoadText(nullptr, 60001, &text.text));
    EXPECT_STREQ(L"short", text.text);
    EXPECT_EQ(64u, MemutilSize(text.text) / 2);
}

TEST(ResrutilLoadText, MissingIdentifierFails)
{
    OwnedString text;
    EXPECT_TRUE(FAILED(ResrutilLoadText(nullptr, 60999, &text.text)));
    EXPECT_NE(nullptr, text.text);  // the buffer stays with the caller, who frees it
}
