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
        EXPECT_EQ(S_OK, StagePackage(Entry(), TRUE, &staged.text, nullptr));
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

    // A file planted at the name as a hard link into another file is replaced,
    // not written through; the staged file is held until the caller lets go.
    const std::wstring victim = temp_ / L"victim.bin";
    ScratchFolder::WriteFile(victim, "an earlier, different and longer file that must not change");
    ::DeleteFileW(expected.c_str());
    ASSERT_TRUE(::CreateHardLinkW(expected.c_str(), victim.c_str(), nullptr));
    OwnedText staged;
    OwnedHandle held;
    ASSERT_EQ(S_OK, StagePackage(Entry(), TRUE, &staged.text, &held.handle));
    EXPECT_EQ(PACKAGE_BYTES, ReadBytes(expected));
    EXPECT_EQ("an earlier, different and longer file that must not change", ReadBytes(victim));
    EXPECT_FALSE(IsChangeable(expected));
}

TEST_F(Cache, StagingAMissingResourceFailsAndWritesNoFile)
{
    strcpy(manifest_.Package(0)->resourceName, "NOSUCHPKG");
    OwnedText staged;
    EXPECT_EQ(NAME_NOT_FOUND, StagePackage(Entry(), TRUE, &staged.text, nullptr));
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
        OwnedHandle held;
        ASSERT_EQ(S_OK, CachePackage(Entry(), staged.c_str(), c.perMachine, &cached.text, &held.handle));
        EXPECT_EQ(CacheFile(c.csidl, Entry(), L"msi"), cached.text);
        EXPECT_EQ(PACKAGE_BYTES, ReadBytes(cached.text));
        EXPECT_FALSE(ScratchFolder::Exists(staged)) << "moved, not copied";
        EXPECT_FALSE(IsChangeable(cached.text)) << "held for the installer";

        const std::wstring transform = temp_ / L"MST1.tmp";
        ScratchFolder::WriteFile(transform, "the chosen transform");
        OwnedText cachedTransform;
        OwnedHandle transformHeld;
        ASSERT_EQ(S_OK, CacheTransform(Entry(), transform.c_str(), c.perMachine, &cachedTransform.text,
                                       &transformHeld.handle));
        EXPECT_EQ(CacheFile(c.csidl, Entry(), L"mst"), cachedTransform.text);
        EXPECT_EQ("the chosen transform", ReadBytes(cachedTransform.text));
        EXPECT_FALSE(ScratchFolder::Exists(transform));
        EXPECT_FALSE(IsChangeable(cachedTransform.text));
    }
}

// The earlier copy is deleted, not moved over: a hard link planted at the name
// keeps the file it leads to unchanged.
TEST_F(Cache, TheSameVersionCachedTwiceReplacesTheFirstCopy)
{
    MakeCacheFolder(CSIDL_COMMON_APPDATA);
    const std::wstring victim = temp_ / L"victim.bin";
    ScratchFolder::WriteFile(victim, "the copy of an earlier run");
    ASSERT_TRUE(::CreateHardLinkW(MachineCache().c_str(), victim.c_str(), nullptr));
    OwnedText cached;
    OwnedHandle held;
    ASSERT_EQ(S_OK, CachePackage(Entry(), Stage().c_str(), TRUE, &cached.text, &held.handle));
    EXPECT_EQ(MachineCache(), cached.text);
    EXPECT_EQ(PACKAGE_BYTES, ReadBytes(MachineCache()));
    EXPECT_EQ("the copy of an earlier run", ReadBytes(victim));
}

// The cache folder is chosen before anything moves; a move it refuses fails
// the package and never lands in the other folder: a folder in the way, and a
// file planted there and held open without sharing.
TEST_F(Cache, ARefusedMoveFailsAndTheSourceStays)
{
    for (int way = 0; way < 2; ++way) {
        MakeCacheFolder(CSIDL_COMMON_APPDATA);
        HANDLE planted = INVALID_HANDLE_VALUE;
        if (0 == way) {
            ::CreateDirectoryW(MachineCache().c_str(), nullptr);
        } else {
            ScratchFolder::WriteFile(MachineCache(), "in the way");
            planted = ::CreateFileW(MachineCache().c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
        }

        const std::wstring staged = Stage();
        OwnedText cached;
        OwnedHandle held;
        EXPECT_TRUE(FAILED(CachePackage(Entry(), staged.c_str(), TRUE, &cached.text, &held.handle))) << way;
        EXPECT_EQ(PACKAGE_BYTES, ReadBytes(staged)) << way;
        EXPECT_FALSE(ScratchFolder::Exists(UserCache())) << way;

        if (planted != INVALID_HANDLE_VALUE) {
            ::CloseHandle(planted);
            EXPECT_EQ("in the way", ReadBytes(MachineCache())) << way;
        }
        Remove(MachineCache());
    }
}
