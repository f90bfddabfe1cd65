#include <gtest/gtest.h>
#include <shlobj.h>
#include "cache.h"
#include "inprocess.h"
#include "payloadtest.h"
#include "result.h"

namespace {

constexpr HRESULT NAME_NOT_FOUND = static_cast<HRESULT>(0x80070716);
const std::string PACKAGE_BYTES = "package bytes for staging and caching";

std::wstring AppDataFolder(int csidl)
{
    WCHAR path[MAX_PATH] = {};
    ::SHGetFolderPathW(nullptr, csidl | CSIDL_FLAG_CREATE, nullptr, SHGFP_TYPE_CURRENT, path);
    return path;
}

std::wstring CacheFile(int csidl, const ManifestPackageEntry* entry, const wchar_t* extension)
{
    WCHAR code[PRODUCT_CODE_CHARS];
    FormatProductCode(entry, code);
    return AppDataFolder(csidl) + L"\\Applications\\Cache\\" + code + L"v1.2.3.4." + extension;
}

void Remove(const std::wstring& path)
{
    ::SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_NORMAL);
    ::DeleteFileW(path.c_str());
    ::RemoveDirectoryW(path.c_str());
}

void MakeCacheFolder(int csidl)
{
    ::CreateDirectoryW((AppDataFolder(csidl) + L"\\Applications").c_str(), nullptr);
    ::CreateDirectoryW((AppDataFolder(csidl) + L"\\Applications\\Cache").c_str(), nullptr);
}

// Each test gets a private temporary folder and its own product code, and
// removes the cache files of that code when it ends.
class Cache : public ::testing::Test {
protected:
    Cache() : manifest_({PKG_CACHE}, {})
    {
        temp_.BecomeTempFolder();
        static BYTE serial = 0x40;
        manifest_.Package(0)->productCode.Data4[6] = ++serial;
    }

    ~Cache() override
    {
        for (int csidl : {CSIDL_COMMON_APPDATA, CSIDL_LOCAL_APPDATA}) {
            for (const wchar_t* extension : {L"msi", L"mst"}) {
                Remove(CacheFile(csidl, Entry(), extension));
            }
        }
    }

    const ManifestPackageEntry* Entry() { return manifest_.Package(0); }
    std::wstring MachineCache(const wchar_t* extension = L"msi") { return CacheFile(CSIDL_COMMON_APPDATA, Entry(), extension); }
    std::wstring UserCache(const wchar_t* extension = L"msi") { return CacheFile(CSIDL_LOCAL_APPDATA, Entry(), extension); }

    std::wstring Stage()
    {
        OwnedText staged;
        EXPECT_EQ(S_OK, StagePackage(Entry(), &staged.text));
        return staged.text ? staged.text : L"";
    }

    ScratchFolder temp_;
    MemoryManifest manifest_;
};

} // namespace

TEST_F(Cache, StagesUnderTheProductCodeInTheTemporaryFolder)
{
    WCHAR code[PRODUCT_CODE_CHARS];
    FormatProductCode(Entry(), code);
    const std::wstring expected = temp_.Path() + L"\\" + code + L"\\staged.msi";

    EXPECT_EQ(expected, Stage());
    EXPECT_EQ(PACKAGE_BYTES, ReadBytes(expected));

    ScratchFolder::WriteFile(expected, "an earlier, different and longer staged file of the same name");
    EXPECT_EQ(expected, Stage());
    EXPECT_EQ(PACKAGE_BYTES, ReadBytes(expected)) << "an existing staged file is replaced";
}

TEST_F(Cache, StagingAMissingResourceFailsAndWritesNoFile)
{
    strcpy(manifest_.Package(0)->resourceName, "NOSUCHPKG");
    OwnedText staged;
    EXPECT_EQ(NAME_NOT_FOUND, StagePackage(Entry(), &staged.text));
    WCHAR code[PRODUCT_CODE_CHARS];
    FormatProductCode(Entry(), code);
    EXPECT_EQ(0, ScratchFolder::CountEntries(temp_ / code));
}

TEST_F(Cache, MovesPackageAndTransformIntoTheChosenCache)
{
    const struct {
        BOOL perMachine;
        int csidl;
    } cases[] = {{TRUE, CSIDL_COMMON_APPDATA}, {FALSE, CSIDL_LOCAL_APPDATA}};
    for (const auto& c : cases) {
        const std::wstring staged = Stage();
        OwnedText cached;
        ASSERT_EQ(S_OK, CachePackage(Entry(), staged.c_str(), c.perMachine, &cached.text));
        EXPECT_EQ(CacheFile(c.csidl, Entry(), L"msi"), cached.text);
        EXPECT_EQ(PACKAGE_BYTES, ReadBytes(cached.text));
        EXPECT_FALSE(ScratchFolder::Exists(staged)) << "moved, not copied";

        const std::wstring transform = temp_ / L"MST1.tmp";
        ScratchFolder::WriteFile(transform, "the chosen transform");
        OwnedText cachedTransform;
        ASSERT_EQ(S_OK, CacheTransform(Entry(), transform.c_str(), c.perMachine, &cachedTransform.text));
        EXPECT_EQ(CacheFile(c.csidl, Entry(), L"mst"), cachedTransform.text);
        EXPECT_EQ("the chosen transform", ReadBytes(cachedTransform.text));
        EXPECT_FALSE(ScratchFolder::Exists(transform));
    }
}

TEST_F(Cache, TheSameVersionCachedTwiceReplacesTheFirstCopy)
{
    MakeCacheFolder(CSIDL_COMMON_APPDATA);
    ScratchFolder::WriteFile(MachineCache(), "the copy of an earlier run");
    OwnedText cached;
    ASSERT_EQ(S_OK, CachePackage(Entry(), Stage().c_str(), TRUE, &cached.text));
    EXPECT_EQ(MachineCache(), cached.text);
    EXPECT_EQ(PACKAGE_BYTES, ReadBytes(MachineCache()));
}

TEST_F(Cache, APerMachineMoveThatIsRefusedFallsBackToTheUsersCache)
{
    // Two ways the all-users cache can refuse: a folder where the file should
    // go, and a file that another process holds open without sharing. (A
    // read-only file does not refuse under Wine: its move replaces it.)
    for (int way = 0; way < 2; ++way) {
        MakeCacheFolder(CSIDL_COMMON_APPDATA);
        HANDLE held = INVALID_HANDLE_VALUE;
        if (0 == way) {
            ::CreateDirectoryW(MachineCache().c_str(), nullptr);
        } else {
            ScratchFolder::WriteFile(MachineCache(), "in the way");
            held = ::CreateFileW(MachineCache().c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
        }

        const std::wstring staged = Stage();
        OwnedText cached;
        EXPECT_EQ(S_OK, CachePackage(Entry(), staged.c_str(), TRUE, &cached.text)) << way;
        EXPECT_EQ(UserCache(), cached.text ? cached.text : L"") << way;
        EXPECT_EQ(PACKAGE_BYTES, ReadBytes(UserCache())) << way;
        EXPECT_FALSE(ScratchFolder::Exists(staged)) << way;

        if (held != INVALID_HANDLE_VALUE) {
            ::CloseHandle(held);
            EXPECT_EQ("in the way", ReadBytes(MachineCache())) << way;
        }
        Remove(MachineCache());
        Remove(UserCache());
    }
}

TEST_F(Cache, WhenBothCachesRefuseTheFailureIsReturnedAndTheSourceStays)
{
    for (int csidl : {CSIDL_COMMON_APPDATA, CSIDL_LOCAL_APPDATA}) {
        MakeCacheFolder(csidl);
        ::CreateDirectoryW(CacheFile(csidl, Entry(), L"msi").c_str(), nullptr);
    }
    const std::wstring staged = Stage();
    OwnedText cached;
    EXPECT_TRUE(FAILED(CachePackage(Entry(), staged.c_str(), TRUE, &cached.text)));
    EXPECT_EQ(PACKAGE_BYTES, ReadBytes(staged));
    EXPECT_TRUE(ScratchFolder::IsFolder(UserCache()));
}
