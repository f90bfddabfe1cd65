#include <gtest/gtest.h>
#include <shlobj.h>
#include "cache.h"
#include "resrutil.h"
#include "staging.h"
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

std::wstring CacheFolder(int csidl)
{
    return AppDataFolder(csidl) + L"\\Applications\\Cache";
}

std::wstring CacheName(const ManifestPackageEntry* entry, const wchar_t* extension)
{
    WCHAR name[CACHE_NAME_CHARS];
    FormatCacheName(entry, extension, name);
    return name;
}

// A folder the program holds, closed (and removed when empty, as a run does
// with its staging folders) at the end of the scope.
struct Held {
    HeldFolder folder = NoHeldFolder();
    ~Held() { DirutilCloseAndRemoveIfEmpty(&folder); }
};

// Each test gets a private temporary folder and its own product code, and
// starts without the all-users Applications folder: Wine keeps no owners, so
// only a folder the program makes itself is its own there.
class Cache : public ::testing::Test {
protected:
    Cache() : manifest_({PKG_CACHE}, {})
    {
        temp_.BecomeTempFolder();
        static BYTE serial = 0x40;
        manifest_.Package(0)->productCode.Data4[6] = ++serial;
        ScratchFolder::RemoveTree(AppDataFolder(CSIDL_COMMON_APPDATA) + L"\\Applications");
    }

    ~Cache() override { ScratchFolder::RemoveTree(AppDataFolder(CSIDL_COMMON_APPDATA) + L"\\Applications"); }

    const ManifestPackageEntry* Entry() { return manifest_.Package(0); }

    ScratchFolder temp_;
    MemoryManifest manifest_;
};

} // namespace

// An elevated run's staging folder is new, under a name nobody can guess, in
// the Windows folder's temporary folder, held: it cannot be renamed while the
// run works in it, and neither can the entry's folder in it. A hard link
// planted at the file's name is replaced, not written through, and the
// written file is held and checked.
TEST_F(Cache, StagesInAFolderOfTheRunsOwnPerEntry)
{
    WCHAR windows[MAX_PATH];
    ::GetSystemWindowsDirectoryW(windows, MAX_PATH);
    Held root;
    Held other;
    ASSERT_EQ(S_OK, OpenStagingRoot(TRUE, nullptr, &root.folder));
    ASSERT_EQ(S_OK, OpenStagingRoot(TRUE, nullptr, &other.folder));
    EXPECT_NE(std::wstring(root.folder.path), other.folder.path);
    const std::wstring prefix = std::wstring(windows) + L"\\Temp\\Setup-";
    EXPECT_EQ(0, _wcsnicmp(prefix.c_str(), root.folder.path, prefix.size())) << root.folder.path;
    Held entry;
    ASSERT_EQ(S_OK, OpenEntryFolder(&root.folder, 1, &entry.folder));
    EXPECT_EQ(std::wstring(root.folder.path) + L"\\2", entry.folder.path);
    EXPECT_FALSE(::MoveFileExW(root.folder.path, (temp_ / L"moved").c_str(), 0));
    EXPECT_FALSE(::MoveFileExW(entry.folder.path, (temp_ / L"moved").c_str(), 0));

    const std::wstring staged = std::wstring(entry.folder.path) + L"\\staged.msi";
    const std::wstring victim = temp_ / L"victim.bin";
    ScratchFolder::WriteFile(victim, "an earlier, different and longer file that must not change");
    ASSERT_TRUE(::CreateHardLinkW(staged.c_str(), victim.c_str(), nullptr));
    WCHAR path[MAX_PATH];
    {
        OwnedHandle held;
        ASSERT_EQ(S_OK, ResrutilWriteHeldFile(&entry.folder, "TESTPKG", L"staged.msi", TRUE, path, &held.handle));
        EXPECT_EQ(staged, path);
        EXPECT_EQ(PACKAGE_BYTES, ReadBytes(path));
        EXPECT_EQ("an earlier, different and longer file that must not change", ReadBytes(victim));
        EXPECT_FALSE(IsChangeable(path));
    }
    ::DeleteFileW(staged.c_str());

    // A missing resource writes nothing.
    OwnedHandle none;
    EXPECT_EQ(NAME_NOT_FOUND, ResrutilWriteHeldFile(&entry.folder, "NOSUCHPKG", L"other.msi", TRUE, path, &none.handle));
    EXPECT_FALSE(ScratchFolder::Exists(std::wstring(entry.folder.path) + L"\\other.msi"));
}

// Written straight into the chosen cache, held. A copy that is there is held
// when intact and left as it is otherwise. The all-users cache the program
// made is its own again later, by its record, where no owner tells it.
TEST_F(Cache, WritesIntoTheChosenCacheAndHoldsOnlyIntactCopies)
{
    const std::wstring name = CacheName(Entry(), L"msi");
    for (const BOOL perMachine : {TRUE, FALSE}) {
        const std::wstring folder = CacheFolder(perMachine ? CSIDL_COMMON_APPDATA : CSIDL_LOCAL_APPDATA);
        Held cache;
        ASSERT_EQ(S_OK, OpenCacheFolder(perMachine, TRUE, TRUE, &cache.folder));
        EXPECT_EQ(folder, cache.folder.path);
        WCHAR path[MAX_PATH];
        {
            OwnedHandle held;
            ASSERT_EQ(S_OK, ResrutilWriteHeldFile(&cache.folder, "TESTPKG", name.c_str(), FALSE, path, &held.handle));
            EXPECT_EQ(folder + L"\\" + name, path);
            EXPECT_FALSE(IsChangeable(path));
        }
        OwnedHandle intact;
        EXPECT_EQ(S_OK, ResrutilHoldIntactFile(&cache.folder, "TESTPKG", name.c_str(), path, &intact.handle));
        EXPECT_FALSE(IsChangeable(path));
        ::CloseHandle(intact.handle);
        intact.handle = INVALID_HANDLE_VALUE;

        ScratchFolder::WriteFile(folder + L"\\" + name, "a copy that is no longer the package");
        EXPECT_EQ(RESULT_FILE_CHANGED, ResrutilHoldIntactFile(&cache.folder, "TESTPKG", name.c_str(), path, &intact.handle));
        EXPECT_EQ("a copy that is no longer the package", ReadBytes(folder + L"\\" + name));
        ::DeleteFileW((folder + L"\\" + name).c_str());
        EXPECT_EQ(S_FALSE, ResrutilHoldIntactFile(&cache.folder, "TESTPKG", name.c_str(), path, &intact.handle));
        EXPECT_EQ(INVALID_HANDLE_VALUE, intact.handle);
        Held again;
        EXPECT_EQ(S_OK, OpenCacheFolder(perMachine, TRUE, FALSE, &again.folder));
        EXPECT_EQ(folder, again.folder.path);
        DirutilClose(&again.folder);
    }
}

// A folder another account made first at Applications is neither used nor
// changed, nor does it stop the run: the cache goes into a folder of the
// program's own under a name nobody could take first, and stays its own.
// Without a record, an unchanged cache is not made.
TEST_F(Cache, AnApplicationsFolderMadeFirstByOthersIsPassedOver)
{
    const std::wstring planted = AppDataFolder(CSIDL_COMMON_APPDATA) + L"\\Applications";
    ::CreateDirectoryW(planted.c_str(), nullptr);
    ::CreateDirectoryW((planted + L"\\Cache").c_str(), nullptr);
    ScratchFolder::WriteFile(planted + L"\\Cache\\planted.txt", "theirs");
    Held made, again, missing;
    ASSERT_EQ(S_OK, OpenCacheFolder(TRUE, TRUE, TRUE, &made.folder));
    const std::wstring path = made.folder.path;
    EXPECT_EQ(0u, path.find(planted + L"-")) << Utf8FromWide(path);
    EXPECT_EQ(L"\\Cache", path.substr(path.size() - 6));
    EXPECT_EQ("theirs", ReadBytes(planted + L"\\Cache\\planted.txt"));
    ASSERT_EQ(S_OK, OpenCacheFolder(TRUE, TRUE, FALSE, &again.folder));
    EXPECT_EQ(path, again.folder.path);
    DirutilClose(&made.folder);
    DirutilClose(&again.folder);
    ScratchFolder::RemoveTree(path.substr(0, path.size() - 6));
    EXPECT_EQ(S_FALSE, OpenCacheFolder(TRUE, TRUE, FALSE, &missing.folder));
}

// Every version's copies of the product, or every other version's: files
// kept directly in the cache by earlier versions of the program, and version
// folders with all their files (cabinets among them); nothing of another
// product, and no folder that is no version's.
TEST_F(Cache, DeletesTheCachedVersionsOfTheProduct)
{
    Held cache;
    ASSERT_EQ(S_OK, OpenCacheFolder(FALSE, TRUE, TRUE, &cache.folder));
    const std::wstring folder = cache.folder.path;
    const std::wstring own = CacheName(Entry(), L"msi"), ownTransform = CacheName(Entry(), L"mst");
    const std::wstring code = own.substr(0, PRODUCT_CODE_CHARS - 1);
    const std::wstring ownFolder = own.substr(0, own.size() - 4), olderFolder = code + L"v1.0.0.0";
    const std::wstring older = code + L"v1.0.0.0.msi", olderTransform = code + L"v1.0.0.0.mst";
    const std::wstring otherProduct = L"{00000000-0000-0000-0000-000000000000}v1.0.0.0.msi";
    for (const std::wstring& name : {ownFolder, olderFolder, code + L"v9.0.0.0.msi"}) {
        ::CreateDirectoryW((folder + L"\\" + name).c_str(), nullptr);
    }
    const std::wstring files[] = {own, ownTransform, older, olderTransform, otherProduct, ownFolder + L"\\" + own,
                                  ownFolder + L"\\data1.cab", olderFolder + L"\\" + older, olderFolder + L"\\data1.cab"};
    for (const std::wstring& file : files) {
        ScratchFolder::WriteFile(folder + L"\\" + file, "copy");
    }
    const auto exists = [&folder](const std::wstring& name) { return ScratchFolder::Exists(folder + L"\\" + name); };

    DeleteCachedVersions(&cache.folder, code.c_str(), Entry());
    EXPECT_TRUE(exists(own) && exists(ownTransform) && exists(ownFolder + L"\\data1.cab"));
    EXPECT_FALSE(exists(older) || exists(olderTransform) || exists(olderFolder));

    DeleteCachedVersions(&cache.folder, code.c_str(), nullptr);
    EXPECT_FALSE(exists(own) || exists(ownTransform) || exists(ownFolder));
    EXPECT_TRUE(exists(otherProduct));
    EXPECT_TRUE(ScratchFolder::IsFolder(folder + L"\\" + code + L"v9.0.0.0.msi"));
    ::DeleteFileW((folder + L"\\" + otherProduct).c_str());
    ::RemoveDirectoryW((folder + L"\\" + code + L"v9.0.0.0.msi").c_str());
}

// What is in the way at the name and cannot be cleared fails the write: a
// folder, and a file held open without sharing. Nothing lands anywhere else.
TEST_F(Cache, ARefusedWriteFailsAndLeavesWhatIsInTheWay)
{
    Held cache;
    ASSERT_EQ(S_OK, OpenCacheFolder(TRUE, TRUE, TRUE, &cache.folder));
    const std::wstring name = CacheName(Entry(), L"msi");
    const std::wstring target = std::wstring(cache.folder.path) + L"\\" + name;
    for (int way = 0; way < 2; ++way) {
        HANDLE planted = INVALID_HANDLE_VALUE;
        if (0 == way) {
            ::CreateDirectoryW(target.c_str(), nullptr);
        } else {
            ScratchFolder::WriteFile(target, "in the way");
            planted = ::CreateFileW(target.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
        }
        WCHAR path[MAX_PATH];
        OwnedHandle held;
        EXPECT_TRUE(FAILED(ResrutilWriteHeldFile(&cache.folder, "TESTPKG", name.c_str(), TRUE, path, &held.handle))) << way;
        EXPECT_FALSE(ScratchFolder::Exists(CacheFolder(CSIDL_LOCAL_APPDATA) + L"\\" + name)) << way;
        if (planted != INVALID_HANDLE_VALUE) {
            ::CloseHandle(planted);
            EXPECT_EQ("in the way", ReadBytes(target)) << way;
        }
        ::RemoveDirectoryW(target.c_str());
        ::DeleteFileW(target.c_str());
    }
}
