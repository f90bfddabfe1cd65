#include <gtest/gtest.h>
#include <shlobj.h>
#include "payloadtest.h"

// The payload through the real setup run and Wine's installer: which transform
// a run chooses for /lang or the user's language (seen in the transform that a
// cached package takes into the cache), and where the package is cached.
namespace {

const std::wstring ALPHA_CACHE_NAME = L"{A17A0001-5E7D-4F00-9A11-000000000001}v1.2.3.0";

std::wstring CacheFolder(int csidl)
{
    WCHAR path[MAX_PATH] = {};
    ::SHGetFolderPathW(nullptr, csidl | CSIDL_FLAG_CREATE, nullptr, SHGFP_TYPE_CURRENT, path);
    return std::wstring(path) + L"\\Applications\\Cache\\";
}

// In the package version's folder of the cache.
std::wstring MachineCache(const wchar_t* extension)
{
    return CacheFolder(CSIDL_COMMON_APPDATA) + ALPHA_CACHE_NAME + L"\\" + ALPHA_CACHE_NAME + extension;
}

std::wstring UserCache(const wchar_t* extension)
{
    return CacheFolder(CSIDL_LOCAL_APPDATA) + ALPHA_CACHE_NAME + L"\\" + ALPHA_CACHE_NAME + extension;
}

bool AlphaIsInstalled()
{
    HKEY key = nullptr;
    if (ERROR_SUCCESS != ::RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"Software\\TessaroTests\\Alpha", 0,
                                         KEY_READ | KEY_WOW64_32KEY, &key)) {
        return false;
    }
    const bool hasValue = ERROR_SUCCESS == ::RegQueryValueExW(key, L"Version", nullptr, nullptr, nullptr, nullptr);
    ::RegCloseKey(key);
    return hasValue;
}

// Also the all-users Applications folder: Wine keeps no owners, so only a
// folder that a run made itself is the program's own there.
void RemoveCachedAlpha()
{
    for (const std::wstring& path : {UserCache(L".msi"), UserCache(L".mst")}) {
        ::DeleteFileW(path.c_str());
    }
    ::RemoveDirectoryW((CacheFolder(CSIDL_LOCAL_APPDATA) + ALPHA_CACHE_NAME).c_str());
    ScratchFolder::RemoveTree(CacheFolder(CSIDL_COMMON_APPDATA) + L"..");
}

// A bundle of the package alpha with the given flags and one transform per
// language, each transform's bytes naming its language.
class SetupRunPayload : public ::testing::Test {
protected:
    void SetUp() override { RemoveCachedAlpha(); }

    void TearDown() override
    {
        if (ScratchFolder::Exists(bundle_)) {
            RunProgram(bundle_, L"/quiet /uninstall");
        }
        RemoveCachedAlpha();
    }

    void MakeBundle(const wchar_t* flags, std::vector<int> languages)
    {
        std::wstring arguments = L"/out" + Arg(bundle_) + L" /stub" + Arg(BinFile(L"setup.exe")) + L" /package" +
                                 Arg(DataFile(L"alpha.msi")) + L" /flags " + flags;
        for (int language : languages) {
            const std::wstring file = folder_ / (std::to_wstring(language) + L".mst");
            ASSERT_TRUE(WriteInstallerStorage(file, INSTALLER_TRANSFORM, "transform " + std::to_string(language)));
            arguments += L" /transform" + Arg(file) + L" /language " + std::to_wstring(language);
        }
        const Captured run = Pack(arguments);
        ASSERT_EQ(0u, run.exitCode) << run.errorText;
    }

    DWORD Install(const std::wstring& arguments) { return RunProgram(bundle_, L"/quiet " + arguments); }

    ScratchFolder folder_;
    const std::wstring bundle_ = folder_ / L"bundle.exe";
};

} // namespace

TEST_F(SetupRunPayload, LangChoosesTheTransformThatIsCachedWithThePackage)
{
    const struct {
        const wchar_t* lang;
        std::vector<int> transforms;
        const char* cached;   // nullptr: no transform
    } cases[] = {
        {L"1036", {1031, 1036}, "transform 1036"},
        {L"2055", {1031, 1036}, "transform 1031"},
        {L"2055", {1031, 3079}, "transform 3079"},
        {L"3076", {1028, 2052}, "transform 1028"},
        {L"1041", {1031, 1036}, nullptr},
        {L"abc", {1031, 1024}, "transform 1024"},
    };
    for (const auto& c : cases) {
        MakeBundle(L"permachine+cache+transform", c.transforms);
        ASSERT_EQ(0u, Install(std::wstring(L"/lang ") + c.lang)) << c.lang;
        EXPECT_EQ(ReadBytes(DataFile(L"alpha.msi")), ReadBytes(MachineCache(L".msi"))) << c.lang;
        if (c.cached) {
            EXPECT_EQ(c.cached, InstallerStorageText(MachineCache(L".mst"))) << c.lang;
        } else {
            EXPECT_FALSE(ScratchFolder::Exists(MachineCache(L".mst"))) << c.lang;
        }
        EXPECT_EQ(0u, RunProgram(bundle_, L"/quiet /uninstall")) << c.lang;
        RemoveCachedAlpha();
    }
}

// An elevated run installs nothing from the user's profile: a per-user
// package is cached for all users too, where the user can still read it for
// repairs, and what someone planted and holds in the user's cache under the
// package's cache name is neither used nor touched.
TEST_F(SetupRunPayload, AnElevatedRunCachesPerUserPackagesForAllUsersAndIgnoresTheUsersCache)
{
    MakeBundle(L"cache+transform", {1031, 1036});
    ::CreateDirectoryW((CacheFolder(CSIDL_LOCAL_APPDATA) + L"..").c_str(), nullptr);
    ::CreateDirectoryW(CacheFolder(CSIDL_LOCAL_APPDATA).c_str(), nullptr);
    ::CreateDirectoryW((CacheFolder(CSIDL_LOCAL_APPDATA) + ALPHA_CACHE_NAME).c_str(), nullptr);
    ScratchFolder::WriteFile(UserCache(L".mst"), "a planted transform");
    HANDLE planted = ::CreateFileW(UserCache(L".mst").c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                   OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(INVALID_HANDLE_VALUE, planted);
    const DWORD exitCode = Install(L"/lang 1036");
    ::CloseHandle(planted);
    ASSERT_EQ(0u, exitCode);
    EXPECT_TRUE(AlphaIsInstalled());
    EXPECT_EQ(ReadBytes(DataFile(L"alpha.msi")), ReadBytes(MachineCache(L".msi")));
    EXPECT_EQ("transform 1036", InstallerStorageText(MachineCache(L".mst")));
    EXPECT_EQ("a planted transform", ReadBytes(UserCache(L".mst")));
    EXPECT_FALSE(ScratchFolder::Exists(UserCache(L".msi")));
}

// A per-machine package without the cache flag is installed from the
// all-users cache all the same, since the installer keeps where it came from
// for repairs; the copy goes with the product, and no staging folder stays.
TEST_F(SetupRunPayload, APerMachinePackageIsInstalledFromTheCacheAndGoesWithItsProduct)
{
    const auto stagingFolders = [] {
        WCHAR windows[MAX_PATH];
        ::GetSystemWindowsDirectoryW(windows, MAX_PATH);
        WIN32_FIND_DATAW found;
        int count = 0;
        HANDLE find = ::FindFirstFileW((std::wstring(windows) + L"\\Temp\\Setup-*").c_str(), &found);
        for (BOOL more = find != INVALID_HANDLE_VALUE; more; more = ::FindNextFileW(find, &found)) ++count;
        if (find != INVALID_HANDLE_VALUE) ::FindClose(find);
        return count;
    };
    const int before = stagingFolders();
    MakeBundle(L"permachine", {});
    ASSERT_EQ(0u, Install(L""));
    EXPECT_TRUE(AlphaIsInstalled());
    EXPECT_EQ(ReadBytes(DataFile(L"alpha.msi")), ReadBytes(MachineCache(L".msi")));
    EXPECT_EQ(before, stagingFolders()) << "nothing staged";
    EXPECT_EQ(0u, RunProgram(bundle_, L"/quiet /uninstall"));
    EXPECT_FALSE(AlphaIsInstalled());
    EXPECT_FALSE(ScratchFolder::Exists(MachineCache(L".msi")));
    EXPECT_EQ(before, stagingFolders()) << "the staging folder goes with the staged file";
}

// Runs with the Linux locale de_DE (see CMakeLists.txt).
TEST_F(SetupRunPayload, UserLanguageChoosesTheTransformWithoutLang)
{
    if (::GetUserDefaultUILanguage() != 1031) {
        GTEST_SKIP() << "needs the German locale run";
    }
    MakeBundle(L"permachine+cache+transform", {1036, 3079});
    ASSERT_EQ(0u, Install(L""));
    EXPECT_EQ("transform 3079", InstallerStorageText(MachineCache(L".mst")));
}
