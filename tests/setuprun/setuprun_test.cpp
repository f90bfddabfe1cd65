// Setup runs end to end: bundles of real packages, run as setup.exe under Wine
// and installed by Wine's own Windows Installer. The installed state is read
// back through the installer (VersionString) and the registry value each
// package writes.
#include <gtest/gtest.h>
#include <shlobj.h>

#include <algorithm>
#include <atomic>
#include <sstream>
#include <thread>

#include "runfixture.h"

namespace {

constexpr DWORD kToleratedFailure = 1;
constexpr DWORD kFatalError = 1603;
constexpr DWORD kProductVersion = 1638;
constexpr HRESULT kProductVersionResult = static_cast<HRESULT>(0x80070666);
constexpr HRESULT kProcessEndedResult = static_cast<HRESULT>(0x8007042B);
const std::wstring kSuiteUpgradeCode = L"{7E5A0C11-0000-4000-8000-0000000000B1}";
const std::wstring kMachineSuiteUpgradeCode = L"{7E5A0C11-0000-4000-8000-0000000000B2}";

// The program's own boxes; the installer's own windows (the error it shows for a
// failing custom action at the basic UI level) are not the program's.
std::vector<ObservedBox> ProgramBoxes(const RunResult& run)
{
    std::vector<ObservedBox> boxes;
    for (const auto& box : run.boxes) {
        if (box.caption == L"Install Error") boxes.push_back(box);
    }
    return boxes;
}

bool ShowedInstallerError(const RunResult& run, const std::wstring& text)
{
    for (const auto& box : run.boxes) {
        if (box.caption != L"Install Error" && box.text.find(text) != std::wstring::npos) return true;
    }
    return false;
}

std::wstring Trimmed(std::wstring text)
{
    while (!text.empty() && (text.back() == L'\r' || text.back() == L'\n' || text.back() == L' ')) {
        text.pop_back();
    }
    return text;
}

// Another program: a thread that keeps overwriting, with bytes of its own,
// every file it finds in the folders and of the names its targets give (a
// folder may end in a wildcard), opened for writing with full sharing.
class Overwriter {
public:
    struct Target {
        std::wstring folders;
        std::wstring files;
        std::string bytes;
    };
    explicit Overwriter(std::vector<Target> targets) : targets_(std::move(targets)) {}
    void Start() { stop_ = false, thread_ = std::thread([this]() { while (!stop_) OverwriteAll(); }); }
    void Stop() { stop_ = true, thread_.join(); }
    unsigned Writes() const { return writes_; }

private:
    // The folders (or files) that a pattern with a wildcard in its last part finds.
    static std::vector<std::wstring> Matches(const std::wstring& pattern, bool folders)
    {
        std::vector<std::wstring> paths;
        WIN32_FIND_DATAW found = {};
        HANDLE search = FindFirstFileW(pattern.c_str(), &found);
        for (BOOL more = search != INVALID_HANDLE_VALUE; more; more = FindNextFileW(search, &found)) {
            if (((found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) == folders && found.cFileName[0] != L'.') {
                paths.push_back(pattern.substr(0, pattern.find_last_of(L'\\') + 1) + found.cFileName);
            }
        }
        if (search != INVALID_HANDLE_VALUE) FindClose(search);
        return paths;
    }

    // The folders of a pattern, and with "\\*" at its end their subfolders.
    static std::vector<std::wstring> Folders(const std::wstring& pattern)
    {
        const bool nested = pattern.size() > 2 && pattern.compare(pattern.size() - 2, 2, L"\\*") == 0;
        if (!nested) return Matches(pattern, true);
        std::vector<std::wstring> folders;
        for (const std::wstring& folder : Matches(pattern.substr(0, pattern.size() - 2), true)) {
            for (const std::wstring& inner : Matches(folder + L"\\*", true)) folders.push_back(inner);
        }
        return folders;
    }

    void OverwriteAll()
    {
        for (const Target& target : targets_) {
            for (const std::wstring& folder : Folders(target.folders)) {
                for (const std::wstring& path : Matches(folder + L"\\" + target.files, false)) {
                    HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                              nullptr, OPEN_EXISTING, 0, nullptr);
                    if (file == INVALID_HANDLE_VALUE) continue;
                    DWORD written = 0;
                    WriteFile(file, target.bytes.data(), static_cast<DWORD>(target.bytes.size()), &written, nullptr);
                    SetEndOfFile(file);
                    CloseHandle(file);
                    ++writes_;
                }
            }
        }
    }

    std::vector<Target> targets_;
    std::thread thread_;
    std::atomic<bool> stop_{false};
    unsigned writes_ = 0;
};

// The platform's text, then a line naming the run's own log, which ended with
// the run's exit code.
void ExpectErrorBoxNamingTheLog(const ObservedBox& box, HRESULT code, DWORD exitCode)
{
    EXPECT_EQ(L"Install Error", box.caption);
    const size_t mark = box.text.rfind(L"\nLog: ");
    ASSERT_NE(std::wstring::npos, mark) << Utf8FromWide(box.text);
    EXPECT_EQ(SystemText(code), Trimmed(box.text.substr(0, mark)));
    const std::string log = ReadFileBytes(Trimmed(box.text.substr(mark + 6)));
    EXPECT_NE(std::string::npos, log.rfind("exit code " + std::to_string(exitCode) + "\r\n")) << log;
}

void ExpectInLog(const std::string& log, const std::vector<std::string>& texts)
{
    for (const std::string& text : texts) EXPECT_NE(std::string::npos, log.find(text)) << text << "\n" << log;
}

struct Bundles {
    std::wstring fresh;            // fresh.msi alone
    std::wstring upgradeAllowed;   // upgrade42.msi with allowupgrade
    std::wstring upgradeRefused;   // early.msi, then upgrade42.msi without allowupgrade
    std::wstring major;            // major42.msi
    std::wstring older;            // older43.msi and older50.msi
    std::wstring cached;           // machine.msi cached per machine, user.msi cached per user
    std::wstring failing;          // machine.msi cached, then failing.msi
    std::wstring failingTolerated; // machine.msi cached, then failing.msi cached and tolerated
    std::wstring restart;          // reboot.msi (asks for a restart), fresh.msi, early.msi
    std::wstring pair;             // x86.msi (x86only), x64.msi (x64only from its platform)
    std::wstring majorFailing;     // newmajor.msi (replaces oldmajor.msi), then failing.msi
    std::wstring twoThenFailing;   // fresh.msi, early.msi, then failing.msi
    std::wstring attacked;         // fresh.msi, then machine.msi cached per machine with the German transform
    std::wstring freshCached;      // fresh.msi cached (per user)
    std::wstring cached41;         // upgrade41.msi cached per user
    std::wstring cached42;         // upgrade42.msi cached per user, allowupgrade
    std::wstring cabinets;         // cabinets.msi, its files in two cabinets beside it
    std::wstring cabinetsCached;   // the same, cached
    std::wstring suite1;           // registered 1.0: filed.msi, early.msi hidden, oldmajor.msi
    std::wstring suite2;           // registered 2.0 of the same upgrade code: filed.msi, newmajor.msi
    std::wstring suite1Again;      // 1.0 packed again: the same packages under a bundle code of its own
    std::wstring oldMajorCached;   // oldmajor.msi cached
    std::wstring newMajorCached;   // newmajor.msi cached, which replaces oldmajor.msi
    std::wstring machineSuite1;    // registered for all users 1.0: filed.msi per machine, not cached
    std::wstring machineSuite2;    // and 2.0
    std::wstring majorSuite1;      // registered 1.0: oldmajor.msi, early.msi
    std::wstring majorSuite2;      // registered 2.0 of its upgrade code: newmajor.msi, then failing.msi
};

class SetupRunTest : public ::testing::Test {
protected:
    // Bundles are made once for the whole executable: each setuppack run is a
    // Wine process start.
    static void SetUpTestSuite()
    {
        bundles_.fresh = WorkPath(L"fresh.exe");
        bundles_.upgradeAllowed = WorkPath(L"upgrade-allowed.exe");
        bundles_.upgradeRefused = WorkPath(L"upgrade-refused.exe");
        bundles_.major = WorkPath(L"major.exe");
        bundles_.older = WorkPath(L"older.exe");
        bundles_.cached = WorkPath(L"cached.exe");
        bundles_.failing = WorkPath(L"failing.exe");
        bundles_.failingTolerated = WorkPath(L"failing-tolerated.exe");
        bundles_.restart = WorkPath(L"restart.exe");
        bundles_.pair = WorkPath(L"pair.exe");
        bundles_.majorFailing = WorkPath(L"major-failing.exe");
        bundles_.twoThenFailing = WorkPath(L"two-then-failing.exe");
    
        bundles_.attacked = WorkPath(L"attacked.exe");
        bundles_.freshCached = WorkPath(L"fresh-cached.exe");
        bundles_.cached41 = WorkPath(L"cached41.exe");
        bundles_.cached42 = WorkPath(L"cached42.exe");
        bundles_.cabinets = WorkPath(L"cabinets.exe");
        bundles_.cabinetsCached = WorkPath(L"cabinets-cached.exe");
        bundles_.suite1 = WorkPath(L"suite-1.exe");
        bundles_.suite2 = WorkPath(L"suite-2.exe");
        bundles_.suite1Again = WorkPath(L"suite-1-again.exe");
        bundles_.oldMajorCached = WorkPath(L"oldmajor-cached.exe");
        bundles_.newMajorCached = WorkPath(L"newmajor-cached.exe");
        bundles_.machineSuite1 = WorkPath(L"machine-suite-1.exe");
        bundles_.machineSuite2 = WorkPath(L"machine-suite-2.exe");
        const std::wstring machineSuite = L"/name \"Machine Suite\" /upgradecode " + kMachineSuiteUpgradeCode;
        bundles_.majorSuite1 = WorkPath(L"major-suite-1.exe");
        bundles_.majorSuite2 = WorkPath(L"major-suite-2.exe");
        const std::wstring majorSuite = L"/upgradecode {7E5A0C11-0000-4000-8000-0000000000B3} /bundleversion ";
        const std::wstring suite = L"/name \"Run Seven Suite\" /company \"Tessaro Test\" /upgradecode " + kSuiteUpgradeCode;

        bundlesMade_ =
            MakeBundle(bundles_.fresh, {{L"fresh.msi", L"0"}}) &&
            MakeBundle(bundles_.upgradeAllowed, {{L"upgrade42.msi", L"allowupgrade"}}) &&
            MakeBundle(bundles_.upgradeRefused, {{L"early.msi", L"0"}, {L"upgrade42.msi", L"0"}}) &&
            MakeBundle(bundles_.major, {{L"major42.msi", L"0"}}) &&
            MakeBundle(bundles_.older, {{L"older43.msi", L"0"}, {L"older50.msi", L"0"}}) &&
            MakeBundle(bundles_.cached, {{L"machine.msi", L"cache+permachine"}, {L"user.msi", L"cache"}}) &&
            MakeBundle(bundles_.failing, {{L"machine.msi", L"cache+permachine"}, {L"failing.msi", L"0"}}) &&
            MakeBundle(bundles_.failingTolerated,
                       {{L"machine.msi", L"cache+permachine"}, {L"failing.msi", L"cache+ignorefailure"}}) &&
            MakeBundle(bundles_.restart, {{L"reboot.msi", L"0"}, {L"fresh.msi", L"0"}, {L"early.msi", L"0"}}) &&
            MakeBundle(bundles_.pair, {{L"x86.msi", L"0"}, {L"x64.msi", L"0"}}) &&
            RewriteFlags(bundles_.pair, {0x800, 0x400}) &&   // x86only, x64only
            MakeBundle(bundles_.majorFailing, {{L"newmajor.msi", L"0"}, {L"failing.msi", L"0"}}) &&
            MakeBundle(bundles_.twoThenFailing, {{L"fresh.msi", L"0"}, {L"early.msi", L"0"}, {L"failing.msi", L"0"}}) &&
            MakeBundle(bundles_.freshCached, {{L"fresh.msi", L"cache"}}) &&
            MakeBundle(bundles_.cached41, {{L"upgrade41.msi", L"cache"}}) &&
            MakeBundle(bundles_.cached42, {{L"upgrade42.msi", L"cache+allowupgrade"}}) &&
            MakeBundle(bundles_.cabinets, {{L"cabinets.msi", L"0"}}) &&
            MakeBundle(bundles_.cabinetsCached, {{L"cabinets.msi", L"cache"}}) &&
            WriteInstallerStorage(WorkPath(L"german.mst"), INSTALLER_TRANSFORM, "German transform") &&
            MakeBundle(bundles_.attacked, {{L"fresh.msi", L"0"}, {L"machine.msi", L"permachine+cache+transform"}},
                       L"/transform " + Quoted(WorkPath(L"german.mst")) + L" /language 1031") &&
            MakeBundle(bundles_.suite1, {{L"filed.msi", L"0"}, {L"early.msi", L"hidden"}, {L"oldmajor.msi", L"0"}},
                       suite + L" /bundleversion 1.0.0.0 /helplink https://example.com/help /aboutlink https://example.com") &&
            MakeBundle(bundles_.suite2, {{L"filed.msi", L"0"}, {L"newmajor.msi", L"0"}}, suite + L" /bundleversion 2.0.0.0") &&
            MakeBundle(bundles_.suite1Again, {{L"filed.msi", L"0"}, {L"early.msi", L"hidden"}, {L"oldmajor.msi", L"0"}},
                       suite + L" /bundleversion 1.0.0.0 /bundlecode {5E7D1A6A-0000-4000-8000-0000000000A1}") &&
            MakeBundle(bundles_.oldMajorCached, {{L"oldmajor.msi", L"cache"}}) &&
            MakeBundle(bundles_.newMajorCached, {{L"newmajor.msi", L"cache"}}) &&
            MakeBundle(bundles_.machineSuite1, {{L"filed.msi", L"permachine"}}, machineSuite + L" /bundleversion 1.0.0.0") &&
            MakeBundle(bundles_.machineSuite2, {{L"filed.msi", L"permachine"}}, machineSuite + L" /bundleversion 2.0.0.0") &&
            MakeBundle(bundles_.majorSuite1, {{L"oldmajor.msi", L"0"}, {L"early.msi", L"0"}}, majorSuite + L"1.0.0.0") &&
            MakeBundle(bundles_.majorSuite2, {{L"newmajor.msi", L"0"}, {L"failing.msi", L"0"}}, majorSuite + L"2.0.0.0");
    }

    // Every test starts from a machine without the test products and without
    // files of earlier runs, and leaves it so.
    void SetUp() override
    {
        ASSERT_TRUE(bundlesMade_) << "setuppack could not make the test bundles";
        ForgetEverything();
    }
    void TearDown() override { ForgetEverything(); }

    static void ForgetEverything()
    {
        for (const auto& package : AllPackages()) {
            RemoveIfInstalled(package);
            ForgetFiles(package);
        }
        for (const std::wstring& bundle : {bundles_.suite1, bundles_.suite2, bundles_.suite1Again, bundles_.machineSuite1,
                                           bundles_.machineSuite2, bundles_.majorSuite1, bundles_.majorSuite2}) {
            ForgetRegistration(BundleCodeOf(bundle));
        }
    }

    static Bundles bundles_;
    static bool bundlesMade_;
};

Bundles SetupRunTest::bundles_;
bool SetupRunTest::bundlesMade_ = false;

TEST_F(SetupRunTest, FreshInstallThenSameVersionRun)
{
    const TestPackage& fresh = Package(L"fresh.msi");
    DeleteLogsStartingWith(L"fresh");

    RunResult first = RunBundle(bundles_.fresh, L"/quiet /msicl \"PASSWORD=hunter2 USER=mallory\" TOKEN=s3cret "
                                                L"\"SPACED_VALUE=a \\\"b\\\" c\"");
    ASSERT_TRUE(first.finished);
    EXPECT_EQ(0u, first.exitCode);
    EXPECT_TRUE(first.boxes.empty());
    // The run's own log beside the installer's, in the Windows folder's Temp
    // (the run is elevated), each named after its own. Property values are left out.
    const std::string log = RunLogText(L"fresh");
    ExpectInLog(log, {"setup 1.0.0.0 (", "bundle " + Utf8FromWide(bundles_.fresh) + " version 1.0.0.0", "Windows ", "UI level 2 (none, /quiet)",
                      "switches: /quiet /msicl (PASSWORD, USER) TOKEN=... SPACED_VALUE=...\r\n", "package 1: fresh.msi, product " +
                      Utf8FromWide(fresh.code) + ", version 1.0.0.0", "installed version: none (query result 1605)",
                      "action: install\r\n", "staging folder: " + Utf8FromWide(RunFolder()) + "Setup-",
                      "installer log: " + Utf8FromWide(RunFolder()) + "fresh_", "installer result 0 in ", "exit code 0\r\n"});
    for (const char* secret : {"hunter2", "mallory", "s3cret"}) EXPECT_EQ(std::string::npos, log.find(secret));
    ASSERT_EQ(1u, InstallerLogsNamedIn(log).size());
    const std::string installerLog = ReadFileBytes(InstallerLogsNamedIn(log)[0]);
    EXPECT_NE(std::string::npos, installerLog.find(Utf8FromWide(fresh.code)));
    EXPECT_NE(std::string::npos, installerLog.find("SPACED_VALUE = a \"b\" c")) << "msiexec's NAME=VALUE, intact";
    EXPECT_EQ(L"1.0.0.0", InstalledVersion(fresh));
    EXPECT_EQ(L"1.0.0.0", RegistryVersion(fresh));
    EXPECT_TRUE(StagingFolders().empty()) << "the staging folder goes with the staged package";

    DeleteLogsStartingWith(L"fresh");
    RunResult again = RunBundle(bundles_.fresh, L"/quiet");
    ASSERT_TRUE(again.finished);
    EXPECT_EQ(0u, again.exitCode);
    ExpectInLog(RunLogText(L"fresh"), {"action: install again: the same version is installed"});
    EXPECT_EQ(L"1.0.0.0", InstalledVersion(fresh));
    EXPECT_TRUE(StagingFolders().empty());
}

TEST_F(SetupRunTest, AllowedMinorUpgradeInstallsTheNewVersionInPlace)
{
    const TestPackage& upgrade = Package(L"upgrade42.msi");
    ASSERT_EQ(0u, InstallDirectly(Package(L"upgrade41.msi")));
    ASSERT_EQ(L"4.1.0.0", InstalledVersion(upgrade));

    RunResult run = RunBundle(bundles_.upgradeAllowed, L"/quiet");
    ASSERT_TRUE(run.finished);
    EXPECT_EQ(0u, run.exitCode);
    EXPECT_TRUE(run.boxes.empty());
    EXPECT_EQ(L"4.2.310.0", InstalledVersion(upgrade));
    EXPECT_EQ(L"4.2.310.0", RegistryVersion(upgrade));
}

// Shown to someone who started the bundle by hand; under /quiet nobody would
// click it, and the exit code says the same.
TEST_F(SetupRunTest, RefusedMinorUpgradeShowsTheBoxUnlessQuietAndRemovesWhatTheRunInstalled)
{
    const TestPackage& early = Package(L"early.msi");
    const TestPackage& upgrade = Package(L"upgrade42.msi");
    ASSERT_EQ(0u, InstallDirectly(Package(L"upgrade41.msi")));

    for (const wchar_t* switches : {L"", L"/quiet"}) {
        SCOPED_TRACE(Utf8FromWide(switches));
        DeleteLogsStartingWith(L"upgrade-refused");
        RunResult run = RunBundle(bundles_.upgradeRefused, switches);
        ASSERT_TRUE(run.finished);
        EXPECT_EQ(kProductVersion, run.exitCode);
        if (switches[0] == L'\0') {
            ASSERT_EQ(1u, run.boxes.size());
            ExpectErrorBoxNamingTheLog(run.boxes[0], kProductVersionResult, kProductVersion);
        } else {
            EXPECT_TRUE(run.boxes.empty());
        }
        ExpectInLog(RunLogText(L"upgrade-refused"),
                    {"package 2: upgrade42.msi", "installed version: 4.1.0.0 (query result 0)",
                     "refused: the package does not allow an in-place upgrade (1638)",
                     "removing " + Utf8FromWide(early.code) + " (early.msi)"});
        EXPECT_EQ(L"", InstalledVersion(early)) << "installed earlier in the run, removed again";
        EXPECT_EQ(L"", RegistryVersion(early));
        EXPECT_TRUE(StagingFolders().empty()) << "the refused package is never staged, and early.msi's copy is gone";
        EXPECT_EQ(L"4.1.0.0", InstalledVersion(upgrade)) << "the installed version is left alone";
    }
}

// The bundle's package has the installed product's code but another version of
// another major: the run asks for a plain install, and Wine's installer, like
// Windows', refuses a second package under an installed product code with 1638.
// Its result is neither a restart nor one with its own box, so the "Install
// Error" box carries the text for a process that ended unexpectedly.
TEST_F(SetupRunTest, MajorUpgradeUnderTheSameProductCodeIsRefusedByTheInstaller)
{
    const TestPackage& major = Package(L"major42.msi");
    ASSERT_EQ(0u, InstallDirectly(Package(L"major39.msi")));

    RunResult run = RunBundle(bundles_.major, L"");
    ASSERT_TRUE(run.finished);
    EXPECT_EQ(kProductVersion, run.exitCode);
    ASSERT_EQ(1u, run.boxes.size());
    ExpectErrorBoxNamingTheLog(run.boxes[0], kProcessEndedResult, kProductVersion);
    EXPECT_EQ(L"3.9.0.0", InstalledVersion(major));
    EXPECT_EQ(L"3.9.0.0", RegistryVersion(major));
    EXPECT_TRUE(StagingFolders().empty()) << "a failed run deletes its staged files";
}

TEST_F(SetupRunTest, OlderPackagesAreSkippedAndNothingIsWritten)
{
    const TestPackage& olderA = Package(L"older43.msi");
    const TestPackage& olderB = Package(L"older50.msi");
    ASSERT_EQ(0u, InstallDirectly(Package(L"newer43.msi")));
    ASSERT_EQ(0u, InstallDirectly(Package(L"newer50.msi")));

    RunResult run = RunBundle(bundles_.older, L"/quiet");
    ASSERT_TRUE(run.finished);
    EXPECT_EQ(0u, run.exitCode);
    EXPECT_TRUE(run.boxes.empty());
    EXPECT_EQ(L"4.3.0.0", InstalledVersion(olderA));
    EXPECT_EQ(L"5.0.0.0", InstalledVersion(olderB));
    EXPECT_TRUE(StagingFolders().empty());
}

TEST_F(SetupRunTest, UninstallRemovesTheProduct)
{
    const TestPackage& fresh = Package(L"fresh.msi");
    ASSERT_EQ(0u, InstallDirectly(fresh));
    ASSERT_EQ(L"1.0.0.0", RegistryVersion(fresh));

    RunResult run = RunBundle(bundles_.fresh, L"/uninstall /quiet");
    ASSERT_TRUE(run.finished);
    EXPECT_EQ(0u, run.exitCode);
    EXPECT_TRUE(run.boxes.empty());
    EXPECT_EQ(L"", InstalledVersion(fresh));
    EXPECT_EQ(L"", RegistryVersion(fresh));
    EXPECT_TRUE(StagingFolders().empty());
}

// One bundle for both kinds of Windows: only the package for this one is
// installed, the other is never staged (a 32-bit Windows' installer would refuse
// the x64 one with 1633), and /uninstall removes what is there.
TEST_F(SetupRunTest, PairInstallsOnlyThePackageForThisWindows)
{
    SYSTEM_INFO system = {};
    GetNativeSystemInfo(&system);
    const bool windows64 = system.wProcessorArchitecture != PROCESSOR_ARCHITECTURE_INTEL;
    const TestPackage& wanted = Package(windows64 ? L"x64.msi" : L"x86.msi");
    const TestPackage& other = Package(windows64 ? L"x86.msi" : L"x64.msi");

    RunResult run = RunBundle(bundles_.pair, L"/quiet");
    ASSERT_TRUE(run.finished);
    EXPECT_EQ(0u, run.exitCode);
    EXPECT_TRUE(ProgramBoxes(run).empty());
    EXPECT_EQ(L"1.0.0.0", InstalledVersion(wanted));
    EXPECT_EQ(L"1.0.0.0", RegistryVersion(wanted));
    EXPECT_EQ(L"", InstalledVersion(other));
    EXPECT_EQ(L"", RegistryVersion(other));
    EXPECT_TRUE(StagingFolders().empty());

    RunResult removal = RunBundle(bundles_.pair, L"/uninstall /quiet");
    ASSERT_TRUE(removal.finished);
    EXPECT_EQ(0u, removal.exitCode);
    EXPECT_EQ(L"", InstalledVersion(wanted));
    EXPECT_EQ(L"", RegistryVersion(wanted));
    EXPECT_TRUE(StagingFolders().empty());
}

TEST_F(SetupRunTest, CachedPackagesStayInTheirCachesAfterSuccess)
{
    const TestPackage& machine = Package(L"machine.msi");
    const TestPackage& user = Package(L"user.msi");

    RunResult run = RunBundle(bundles_.cached, L"/quiet");
    ASSERT_TRUE(run.finished);
    EXPECT_EQ(0u, run.exitCode);
    EXPECT_EQ(L"2.1.3.0", InstalledVersion(machine));
    EXPECT_EQ(L"2.1.3.0", InstalledVersion(user));
    // An elevated run caches the per-user package for all users too: it never
    // installs from the user's profile.
    EXPECT_EQ(ReadFileBytes(PackagePath(machine.file)), ReadFileBytes(CachedPath(machine, true)));
    EXPECT_EQ(ReadFileBytes(PackagePath(user.file)), ReadFileBytes(CachedPath(user, true)));
    EXPECT_FALSE(FileExists(CachedPath(user, false)));
    EXPECT_TRUE(StagingFolders().empty()) << "written straight into the cache";

    // Removing the products caches nothing anew, and their copies go: the
    // all-users cache the run before made is the program's own by its record.
    RunResult removal = RunBundle(bundles_.cached, L"/uninstall /quiet");
    ASSERT_TRUE(removal.finished);
    EXPECT_EQ(0u, removal.exitCode);
    EXPECT_EQ(L"", InstalledVersion(machine));
    EXPECT_EQ(L"", InstalledVersion(user));
    EXPECT_FALSE(FileExists(CachedPath(machine, true)) || FileExists(CachedPath(user, true)));
    EXPECT_FALSE(FileExists(CachedPath(machine, false)) || FileExists(CachedPath(user, false)));
    EXPECT_TRUE(StagingFolders().empty());
}

// A package that keeps its files in two cabinets beside it installs through a
// bundle: the installer finds the cabinets beside the package, staged or
// cached, and installs their files; cached ones stay beside the cached
// package.
TEST_F(SetupRunTest, APackageWithCabinetsInstallsStagedAndCached)
{
    const TestPackage& product = Package(L"cabinets.msi");
    WCHAR programFiles[MAX_PATH] = {};
    SHGetFolderPathW(nullptr, CSIDL_PROGRAM_FILESX86, nullptr, SHGFP_TYPE_CURRENT, programFiles);
    const std::wstring installed = std::wstring(programFiles) + L"\\RunSevenCabinets\\";
    for (const bool cached : {false, true}) {
        SCOPED_TRACE(cached ? "cached" : "staged");
        const std::wstring& bundle = cached ? bundles_.cabinetsCached : bundles_.cabinets;
        ASSERT_EQ(0u, RunBundle(bundle, L"/quiet").exitCode);
        EXPECT_EQ(L"1.0.0.0", InstalledVersion(product));
        EXPECT_EQ("the first file, from data1.cab\n", ReadFileBytes(installed + L"first.txt"));
        EXPECT_EQ("the second file, from data2.cab\n", ReadFileBytes(installed + L"second.txt"));
        const std::wstring copy = CachedPath(product, true);
        const std::wstring folder = copy.substr(0, copy.find_last_of(L'\\') + 1);
        EXPECT_EQ(cached, FileExists(copy));
        for (const wchar_t* cabinet : {L"data1.cab", L"data2.cab"}) {
            EXPECT_EQ(cached ? ReadFileBytes(PackagePath(cabinet)) : "", ReadFileBytes(folder + cabinet));
        }
        ForgetEverything();
    }
}

// A fresh install before the failing package is removed again with its cached
// copy, and the removal writes a log of its own beside the failing package's.
// A product the machine already had (the same version, run again) stays, with
// the cached copy it was installed from.
TEST_F(SetupRunTest, FailingSecondPackageUndoesOnlyWhatTheRunInstalledFresh)
{
    const TestPackage& machine = Package(L"machine.msi");
    const TestPackage& failing = Package(L"failing.msi");
    DeleteLogsStartingWith(L"failing");

    RunResult run = RunBundle(bundles_.failing, L"");
    ASSERT_TRUE(run.finished);
    EXPECT_EQ(kFatalError, run.exitCode);
    EXPECT_TRUE(ProgramBoxes(run).empty()) << "1603 shows no box of the program's own";
    EXPECT_TRUE(ShowedInstallerError(run, L"fails on purpose")) << "the installer's own error, basic UI";
    EXPECT_EQ(L"", InstalledVersion(machine));
    EXPECT_EQ(L"", RegistryVersion(machine));
    EXPECT_EQ(L"", InstalledVersion(failing));
    EXPECT_FALSE(FileExists(CachedPath(machine, true)));
    EXPECT_TRUE(StagingFolders().empty());
    // The run's own log: what failed, and the clean-up.
    const std::string log = RunLogText(L"failing");
    ExpectInLog(log, {"package 2: failing.msi", "installer result 1603 in ", "taken as 1603", "clean-up after the failure",
                      "removing " + Utf8FromWide(machine.code), "removal result 0 in ",
                      "deleted " + Utf8FromWide(CachedPath(machine, true)), "exit code 1603\r\n"});
    // Wine's installer logs each session's properties, the product code among
    // them: the install of each package, then the removal, each in a log of its own.
    const std::vector<std::wstring> logs = InstallerLogsNamedIn(log);
    ASSERT_EQ(3u, logs.size());
    const std::string failingLog = ReadFileBytes(logs[1]);
    EXPECT_NE(std::string::npos, failingLog.find(Utf8FromWide(failing.code))) << "the failure's log is intact";
    EXPECT_EQ(std::string::npos, failingLog.find(Utf8FromWide(machine.code)));
    EXPECT_NE(std::string::npos, ReadFileBytes(logs[2]).find(Utf8FromWide(machine.code)))
        << "the removal has a log of its own";

    ForgetFiles(machine);   // the all-users cache is made anew, by the run that caches into it
    ASSERT_EQ(0u, RunBundle(bundles_.cached, L"/quiet").exitCode);
    RunResult again = RunBundle(bundles_.failing, L"/quiet");
    ASSERT_TRUE(again.finished);
    EXPECT_EQ(kFatalError, again.exitCode);
    EXPECT_TRUE(again.boxes.empty()) << "/quiet: not even the installer's own error";
    EXPECT_EQ(L"2.1.3.0", InstalledVersion(machine)) << "installed before the run, so left alone";
    EXPECT_EQ(ReadFileBytes(PackagePath(machine.file)), ReadFileBytes(CachedPath(machine, true)));
}

// 3010 from the first package: the machine needs a restart later, and the run
// still installs the rest before it says so.
TEST_F(SetupRunTest, RestartRequestOfTheFirstPackageStillInstallsTheRest)
{
    RunResult run = RunBundle(bundles_.restart, L"/quiet /norestart");
    ASSERT_TRUE(run.finished);
    EXPECT_EQ(3010u, run.exitCode);
    EXPECT_TRUE(run.boxes.empty());
    for (const wchar_t* file : {L"reboot.msi", L"fresh.msi", L"early.msi"}) {
        EXPECT_EQ(L"1.0.0.0", InstalledVersion(Package(file))) << Utf8FromWide(file);
    }
    EXPECT_TRUE(StagingFolders().empty());
}

TEST_F(SetupRunTest, ToleratedFailureOfTheLastPackageEndsWithOne)
{
    const TestPackage& machine = Package(L"machine.msi");
    const TestPackage& failing = Package(L"failing.msi");

    RunResult run = RunBundle(bundles_.failingTolerated, L"/quiet");
    ASSERT_TRUE(run.finished);
    EXPECT_EQ(kToleratedFailure, run.exitCode);
    EXPECT_TRUE(ProgramBoxes(run).empty()) << "a tolerated failure is not reported";
    EXPECT_EQ(L"2.1.3.0", InstalledVersion(machine)) << "a tolerated failure undoes nothing";
    EXPECT_TRUE(FileExists(CachedPath(machine, true)));
    EXPECT_EQ(L"", InstalledVersion(failing));
    EXPECT_FALSE(FileExists(CachedPath(failing, false))) << "the failed package's cached copy goes";
    EXPECT_FALSE(FileExists(CachedPath(failing, true)));
    EXPECT_TRUE(StagingFolders().empty());
}

// An elevated run writes its /log file in any folder reached without links,
// folders others may write in included: it holds the folder, makes the file
// new there (a hard link at the name is deleted, the file behind it left as
// it was), and the installer writes its session into it (Wine's from the
// file's start, over the run's first lines). Through a link the log is
// refused before anything is installed, the file behind the link untouched,
// and someone at the screen is told why.
TEST_F(SetupRunTest, AnElevatedRunLogsInAnyFolderReachedWithoutLinks)
{
    const TestPackage& fresh = Package(L"fresh.msi");
    const std::wstring madeUnderRoot = L"C:\\TessaroRunLogs";
    const std::wstring elsewhere = WorkPath(L"log-elsewhere");
    const std::wstring linkedFolder = WorkPath(L"log-link");
    RemoveFolderTree(madeUnderRoot);
    ASSERT_TRUE(CreateDirectoryW(madeUnderRoot.c_str(), nullptr));
    CreateDirectoryW(elsewhere.c_str(), nullptr);
    ASSERT_TRUE(MakeUnixLink(linkedFolder, elsewhere));
    const std::wstring victim = madeUnderRoot + L"\\victim.txt", behindLink = elsewhere + L"\\install.log";
    WriteFileBytes(victim, "a file the run must not touch");
    WriteFileBytes(behindLink, "a file the run must not touch");
    wchar_t shortFolder[MAX_PATH] = {};
    ASSERT_NE(0u, GetShortPathNameW(madeUnderRoot.c_str(), shortFolder, MAX_PATH));
    struct Row {
        const char* name;
        std::wstring given;
        std::wstring checked;   // the file the run and the installer write; empty when refused
        bool hardLinked;        // a hard link to the victim waits at the name
    };
    const Row rows[] = {
        {"the Windows folder's Temp", RunFolder() + L"given-fresh.log", RunFolder() + L"given-fresh.log", false},
        {"a folder made under C:\\, a hard link at the name, a name to spell out",
         madeUnderRoot + L"\\sub\\..\\run.log", madeUnderRoot + L"\\run.log", true},
        {"the same folder by its short name", std::wstring(shortFolder) + L"\\short.log", madeUnderRoot + L"\\short.log",
         false},
        {"a folder reached through a link", linkedFolder + L"\\install.log", L"", false},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        if (row.hardLinked) ASSERT_TRUE(CreateHardLinkW(row.checked.c_str(), victim.c_str(), nullptr));
        RunResult run = RunBundle(bundles_.fresh, std::wstring(row.checked.empty() ? L"" : L"/quiet ") + L"/log " +
                                                      Quoted(row.given));
        ASSERT_TRUE(run.finished);
        EXPECT_EQ(row.checked.empty() ? 448u : 0u, run.exitCode);
        EXPECT_EQ(row.checked.empty() ? L"" : L"1.0.0.0", InstalledVersion(fresh));
        EXPECT_EQ("a file the run must not touch", ReadFileBytes(victim));
        EXPECT_EQ("a file the run must not touch", ReadFileBytes(behindLink));
        if (row.checked.empty()) {
            EXPECT_EQ(std::vector<std::wstring>{L"install.log"}, FilesIn(elsewhere));
            ASSERT_EQ(1u, ProgramBoxes(run).size());
            EXPECT_EQ(0u, run.boxes[0].text.find(L"An elevated setup writes its log only into a folder reached"));
            EXPECT_EQ(row.given, Trimmed(run.boxes[0].text.substr(run.boxes[0].text.rfind(L'\n') + 1)));
            continue;
        }
        // The run's lines and the installer's session in the one file.
        const std::string log = ReadFileBytes(row.checked);
        EXPECT_NE(std::string::npos, log.find(Utf8FromWide(fresh.code))) << log;
        EXPECT_EQ(log.size() - 13, log.rfind("exit code 0\r\n")) << log;
        DeleteFileW(row.checked.c_str());
        RemoveIfInstalled(fresh);
    }
    RemoveUnixLink(linkedFolder);
    RemoveFolderTree(madeUnderRoot);
}

// A new major version removes the old product on its way in: a later failure
// must not remove it again, or neither would be left. The fresh installs
// before a failure are removed the last first, each in a log of its own.
TEST_F(SetupRunTest, AFailureKeepsAMajorUpgradeAndUndoesFreshInstallsTheLastFirst)
{
    const TestPackage& oldMajor = Package(L"oldmajor.msi");
    const TestPackage& newMajor = Package(L"newmajor.msi");
    ASSERT_EQ(0u, InstallDirectly(oldMajor));
    RunResult run = RunBundle(bundles_.majorFailing, L"/quiet");
    ASSERT_TRUE(run.finished);
    EXPECT_EQ(kFatalError, run.exitCode);
    EXPECT_EQ(L"", InstalledVersion(oldMajor)) << "replaced by the new major version";
    EXPECT_EQ(L"2.0.0.0", InstalledVersion(newMajor)) << "kept: its removal would leave neither";
    EXPECT_EQ(L"2.0.0.0", RegistryVersion(newMajor));

    DeleteLogsStartingWith(L"two-then-failing");
    RunResult chain = RunBundle(bundles_.twoThenFailing, L"/quiet");
    ASSERT_TRUE(chain.finished);
    EXPECT_EQ(kFatalError, chain.exitCode);
    EXPECT_EQ(L"", InstalledVersion(Package(L"fresh.msi")));
    EXPECT_EQ(L"", InstalledVersion(Package(L"early.msi")));
    // The installer's logs: the three installs, then the two removals; the
    // installer's own write times tell their order.
    const std::vector<std::wstring> logs = InstallerLogsNamedIn(RunLogText(L"two-then-failing"));
    ASSERT_EQ(5u, logs.size());
    EXPECT_NE(std::string::npos, ReadFileBytes(logs[3]).find(Utf8FromWide(Package(L"early.msi").code)));
    EXPECT_NE(0u, LastWriteTime(logs[3]));
    EXPECT_LT(LastWriteTime(logs[3]), LastWriteTime(logs[4])) << "early.msi, installed last, is removed first";
}

// Install cached, then upgrade cached: 4.1 in place to 4.2, and by a
// package's own major upgrade, which removes the older product on its way in;
// the copy of the version or product replaced goes. Then /uninstall of 4.2: no
// copy of any version is left in the cache, and nothing of the product in the
// temporary folder. (Unelevated runs, which cache per user: under Wine only
// the run that makes the all-users cache trusts it.)
TEST_F(SetupRunTest, UpgradeThenUninstallLeavesNoCopyOfAnyVersion)
{
    const struct {
        const wchar_t *before, *after;
        std::wstring first, second;
    } upgrades[] = {{L"upgrade41.msi", L"upgrade42.msi", bundles_.cached41, bundles_.cached42},
                    {L"oldmajor.msi", L"newmajor.msi", bundles_.oldMajorCached, bundles_.newMajorCached}};
    for (const auto& upgrade : upgrades) {
        SCOPED_TRACE(Utf8FromWide(upgrade.after));
        const TestPackage& before = Package(upgrade.before);
        const TestPackage& after = Package(upgrade.after);
        ASSERT_EQ(0u, RunBundleUnelevated(upgrade.first, L"/quiet").exitCode);
        ASSERT_TRUE(FileExists(CachedPath(before, false)));
        ASSERT_EQ(0u, RunBundleUnelevated(upgrade.second, L"/quiet").exitCode);
        EXPECT_EQ(after.version, InstalledVersion(after));
        EXPECT_TRUE(FileExists(CachedPath(after, false)));
        EXPECT_FALSE(FileExists(CachedPath(before, false))) << "the version or product it replaced";
    }
    EXPECT_EQ(L"", InstalledVersion(Package(L"oldmajor.msi")));

    // A copy an earlier version of the program kept directly in the cache goes too.
    const TestPackage& v42 = Package(L"upgrade42.msi");
    const std::wstring cache = CacheFolder(false) + L"\\";
    WriteFileBytes(cache + v42.code + L"v4.0.0.0.msi", "a copy an earlier bundle left");
    ASSERT_EQ(0u, RunBundleUnelevated(bundles_.cached42, L"/uninstall /quiet").exitCode);
    EXPECT_EQ(L"", InstalledVersion(v42));
    for (const auto& name : FilesIn(cache)) {
        EXPECT_NE(0u, name.find(v42.code)) << Utf8FromWide(name) << " stays";
    }
    for (const auto& name : FoldersIn(cache)) {
        EXPECT_NE(0u, name.find(v42.code)) << Utf8FromWide(name) << " stays";
    }
    EXPECT_TRUE(StagingFolders(TempFolder()).empty());
}

// The all-users cache leads to another folder through a link (a Unix symbolic
// link, which Wine reports as a reparse point and follows): at Applications,
// or at Applications\Cache. Install and /uninstall of a cached per-machine
// package write and delete nothing there; the files of the same names in the
// other folder stay as they were, and the package is installed from the run's
// staging folder without being cached.
TEST_F(SetupRunTest, ACacheThatLeadsElsewhereIsNeitherWrittenNorDeletedThrough)
{
    const TestPackage& machine = Package(L"machine.msi");
    const std::wstring machineCache = CachedPath(machine, true);
    const std::wstring cache = CacheFolder(true);
    const std::wstring applications = cache.substr(0, cache.find_last_of(L'\\'));
    const std::wstring elsewhere = WorkPath(L"elsewhere");
    const std::wstring name = machineCache.substr(cache.size());   // "\\{CODE}vVERSION\\{CODE}vVERSION.msi"
    const std::wstring version = name.substr(0, name.find_last_of(L'\\'));
    const auto removeLinks = [&]() {
        RemoveUnixLink(cache);
        RemoveUnixLink(applications);
        ForgetFiles(machine);
    };
    for (const bool linkAtCache : {false, true}) {
        SCOPED_TRACE(linkAtCache ? "Cache" : "Applications");
        removeLinks();
        RemoveFolderTree(elsewhere);
        CreateDirectoryW(elsewhere.c_str(), nullptr);
        CreateDirectoryW((elsewhere + L"\\Cache").c_str(), nullptr);
        CreateDirectoryW((elsewhere + L"\\Cache" + version).c_str(), nullptr);
        WriteFileBytes(elsewhere + L"\\Cache" + name, "not the bundle's");
        if (linkAtCache) {
            CreateDirectoryW(applications.c_str(), nullptr);
            ASSERT_TRUE(MakeUnixLink(cache, elsewhere + L"\\Cache"));
        } else {
            ASSERT_TRUE(MakeUnixLink(applications, elsewhere));
        }
        EXPECT_EQ(0u, RunBundle(bundles_.cached, L"/quiet").exitCode);
        EXPECT_EQ(L"2.1.3.0", InstalledVersion(machine));
        EXPECT_FALSE(FileExists(CachedPath(machine, false))) << "never cached in the user's profile either";
        EXPECT_EQ(0u, RunBundle(bundles_.cached, L"/uninstall /quiet").exitCode);
        EXPECT_EQ(L"", InstalledVersion(machine));
        EXPECT_EQ("not the bundle's", ReadFileBytes(elsewhere + L"\\Cache" + name));
        EXPECT_EQ(std::vector<std::wstring>{version.substr(1)}, FoldersIn(elsewhere + L"\\Cache"));
        EXPECT_EQ(std::vector<std::wstring>{name.substr(version.size() + 1)}, FilesIn(elsewhere + L"\\Cache" + version));
        removeLinks();
    }
}

// Another program keeps overwriting every package it can find where a run
// stages and caches them, with packages of the same products that write
// "ATTACKER", and every transform in the temporary folder. Round after round
// the installer never installs its bytes (the run succeeds, or fails the
// package it could not prove, 1392, or hold, 32), and the cached transform is
// the bundle's. (Once the installer is done with a cached file only the cache
// folder's permissions protect it, which Wine does not keep: the cached
// transform itself is left alone here.)
TEST_F(SetupRunTest, AnotherProgramNeverGetsItsBytesInstalled)
{
    const TestPackage& fresh = Package(L"fresh.msi");
    const TestPackage& machine = Package(L"machine.msi");
    const std::string evilFresh = ReadFileBytes(PackagePath(L"evil-fresh.msi"));
    const std::string evilMachine = ReadFileBytes(PackagePath(L"evil-machine.msi"));
    const std::string german = ReadFileBytes(WorkPath(L"german.mst"));
    const std::wstring machineCache = CachedPath(machine, true);
    const std::wstring cacheFolder = machineCache.substr(0, machineCache.find_last_of(L'\\'));
    const std::wstring temp = TempFolder().substr(0, TempFolder().size() - 1);
    Overwriter attacker({{RunFolder() + L"Setup-*\\*", L"*.msi", evilFresh},
                         {RunFolder() + L"Setup-*\\*", L"*.mst", "junk"},
                         {temp, L"*.mst", "junk"},
                         {cacheFolder, L"*.msi", evilMachine}});
    for (int round = 0; round < 4; ++round) {
        SCOPED_TRACE(round);
        ForgetEverything();
        attacker.Start();
        RunResult run = RunBundle(bundles_.attacked, L"/quiet /lang 1031");
        attacker.Stop();
        ASSERT_TRUE(run.finished);
        const DWORD exitCode = run.exitCode;
        EXPECT_TRUE(exitCode == 0 || exitCode == 1392 || exitCode == 32) << exitCode;
        EXPECT_NE(L"ATTACKER", RegistryVersion(fresh));
        EXPECT_NE(L"ATTACKER", RegistryVersion(machine));
        const std::wstring cachedTransform = CachedPath(machine, true, L".mst");
        if (exitCode == 0) {
            EXPECT_EQ(L"1.0.0.0", RegistryVersion(fresh));
            EXPECT_EQ(L"2.1.3.0", RegistryVersion(machine));
            EXPECT_TRUE(german == ReadFileBytes(cachedTransform)) << "the cached transform is the bundle's";
        }
    }
    EXPECT_GT(attacker.Writes(), 0u) << "the attacker found something to write to";
}

// A link above where a run could write what the installer reads, repointed
// 10 ms after a file is closed there (an inotify watcher on the Linux side):
// as the user's Applications, as a temporary folder the user chose, and as
// the Windows folder's SystemTemp. An elevated run writes into none of them:
// nothing appears where the link led, and the other folder's product
// ("ATTACKER") is never installed.
TEST_F(SetupRunTest, ALinkRepointedRightAfterTheWriteNeverGetsAnotherProductInstalled)
{
    const TestPackage& fresh = Package(L"fresh.msi");
    const std::string evil = ReadFileBytes(PackagePath(L"evil-fresh.msi"));
    const std::wstring userCache = CachedPath(fresh, false);
    const std::wstring applications = userCache.substr(0, userCache.find(L"\\Applications\\") + 13);
    const std::wstring real = WorkPath(L"repoint-real"), other = WorkPath(L"repoint-other");
    struct Row {
        const char* name;
        std::wstring link;
        std::wstring watched;   // where a run would write, below the link
        std::wstring bundle;
    };
    const Row rows[] = {
        {"the user's Applications", applications, real + L"\\Cache", bundles_.freshCached},
        {"a temporary folder the user chose", WorkPath(L"temp-link"), real, bundles_.fresh},
        {"the Windows folder's SystemTemp", RunFolder() + L"..\\SystemTemp", real, bundles_.fresh},
    };
    const std::wstring savedTemp = TempFolder();
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        ForgetEverything();
        RemoveFolderTree(real);
        for (const std::wstring& folder : {real, real + L"\\Cache", other, other + L"\\Cache"}) CreateDirectoryW(folder.c_str(), nullptr);
        const std::wstring version = userCache.substr(0, userCache.find_last_of(L'\\'));
        CreateDirectoryW((other + L"\\Cache" + version.substr(version.find_last_of(L'\\'))).c_str(), nullptr);
        WriteFileBytes(other + L"\\Cache" + userCache.substr(version.find_last_of(L'\\')), evil);
        WriteFileBytes(other + L"\\" + fresh.file, evil);
        RemoveFolderTree(applications);   // the user's cache of earlier unelevated runs makes way for the link
        ASSERT_TRUE(MakeUnixLink(row.link, real));
        ASSERT_TRUE(StartRepointer(row.watched, row.link, other));
        const bool userTemp = row.link == WorkPath(L"temp-link");
        for (const wchar_t* variable : {L"TEMP", L"TMP"}) SetEnvironmentVariableW(variable, userTemp ? row.link.c_str() : savedTemp.c_str());
        RunResult run = RunBundle(row.bundle, L"/quiet");
        for (const wchar_t* variable : {L"TEMP", L"TMP"}) SetEnvironmentVariableW(variable, savedTemp.c_str());
        StopRepointer();
        RemoveUnixLink(row.link);
        ASSERT_TRUE(run.finished);
        EXPECT_EQ(0u, run.exitCode);
        EXPECT_EQ(L"1.0.0.0", RegistryVersion(fresh));
        EXPECT_EQ(evil, ReadFileBytes(other + L"\\" + fresh.file)) << "the other folder is left alone";
        const std::vector<std::wstring> madeBefore = row.watched == real ? std::vector<std::wstring>{L"Cache"}
                                                                         : std::vector<std::wstring>{};
        EXPECT_TRUE(FilesIn(row.watched).empty() && FoldersIn(row.watched) == madeBefore)
            << "an elevated run writes nothing where the link leads";
    }
}

// What others put into the temporary folders changes nothing: folders under
// every name an earlier program staged under ("{CODE}", "{CODE}.1" ...
// "{CODE}.999", in both), a file held there without sharing, and another
// account's handle on the Windows folder's Temp that may add files and shares
// everything, kept open through an install and a removal.
TEST_F(SetupRunTest, WhatOthersPutIntoTheTemporaryFoldersChangesNothing)
{
    const TestPackage& fresh = Package(L"fresh.msi");
    std::vector<std::wstring> planted;
    for (const std::wstring& temp : {TempFolder(), RunFolder()}) {
        for (int k = 0; k < 1000; ++k) {
            planted.push_back(temp + fresh.code + (k ? L"." + std::to_wstring(k) : L""));
            CreateDirectoryW(planted.back().c_str(), nullptr);
        }
    }
    const std::wstring plantedFile = RunFolder() + L"fresh.log";
    WriteFileBytes(plantedFile, "planted");
    HANDLE heldFile = CreateFileW(plantedFile.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    HANDLE watcher = CreateFileW(RunFolder().c_str(), FILE_LIST_DIRECTORY | FILE_ADD_FILE,
                                 FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                 FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    DeleteLogsStartingWith(L"fresh_");
    const DWORD installed = RunBundle(bundles_.fresh, L"/quiet").exitCode;
    const std::wstring version = RegistryVersion(fresh);
    const DWORD removed = RunBundle(bundles_.fresh, L"/uninstall /quiet").exitCode;
    CloseHandle(watcher);
    CloseHandle(heldFile);
    for (const std::wstring& folder : planted) RemoveDirectoryW(folder.c_str());
    EXPECT_NE(INVALID_HANDLE_VALUE, watcher);
    EXPECT_EQ(0u, installed);
    EXPECT_EQ(L"1.0.0.0", version);
    EXPECT_EQ(0u, removed);
    EXPECT_EQ(L"", RegistryVersion(fresh));
    EXPECT_NE("", RunLogText(L"fresh"));
    EXPECT_EQ("planted", ReadFileBytes(plantedFile));
    DeleteFileW(plantedFile.c_str());
}

// A registered bundle through its life, run unelevated (a per-user bundle: its
// entry in HKCU, its copy in the user's cache). 1.0, of two packages, one of
// them hidden, shows one entry; runs of 1.0 again while its copy is read;
// its Change (/repair), while the copy is read, puts back a deleted file;
// 2.0, which drops the hidden package, replaces 1.0's entry and copy and
// removes the dropped product; 1.0 again is refused with 1638 and changes
// nothing; 2.0's QuietUninstallString leaves no product, copy or entry.
TEST_F(SetupRunTest, ARegisteredBundleFromInstallThroughUpgradeToRemoval)
{
    const TestPackage& filed = Package(L"filed.msi");
    const TestPackage& early = Package(L"early.msi");
    const TestPackage& oldMajor = Package(L"oldmajor.msi");
    const TestPackage& newMajor = Package(L"newmajor.msi");
    const std::wstring v1 = BundleCodeOf(bundles_.suite1), v2 = BundleCodeOf(bundles_.suite2);
    wchar_t programFiles[MAX_PATH] = {};
    SHGetFolderPathW(nullptr, CSIDL_PROGRAM_FILESX86, nullptr, SHGFP_TYPE_CURRENT, programFiles);
    const std::wstring file = std::wstring(programFiles) + L"\\RunSevenFiled\\filed.txt";
    const auto productEntry = [](const TestPackage& package) {
        wchar_t value[8] = {};
        DWORD size = sizeof(value);
        const std::wstring key = std::wstring(L"Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\") + package.code;
        return RegGetValueW(HKEY_LOCAL_MACHINE, key.c_str(), L"SystemComponent", RRF_RT_REG_DWORD | RRF_SUBKEY_WOW6432KEY,
                            nullptr, value, &size) == ERROR_SUCCESS ? *reinterpret_cast<DWORD*>(value) : 0u;
    };

    ASSERT_EQ(0u, RunBundleUnelevated(bundles_.suite1, L"/quiet").exitCode);
    const std::wstring copy = BundleCacheFolder(v1) + L"\\suite-1.exe";
    const std::pair<const wchar_t*, std::wstring> values[] = {
        {L"DisplayName", L"Run Seven Suite"}, {L"DisplayVersion", L"1.0.0.0"}, {L"Publisher", L"Tessaro Test"},
        {L"DisplayIcon", copy}, {L"UninstallString", Quoted(copy) + L" /uninstall"},
        {L"QuietUninstallString", Quoted(copy) + L" /uninstall /quiet"}, {L"ModifyPath", Quoted(copy) + L" /repair"},
        {L"NoRepair", L"1"}, {L"HelpLink", L"https://example.com/help"}, {L"URLInfoAbout", L"https://example.com"},
        {L"BundleUpgradeCode", kSuiteUpgradeCode},
        {L"BundleProductCodes", filed.code + std::wstring(L"|") + early.code + L"|" + oldMajor.code},
        {L"EstimatedSize", std::to_wstring((ReadFileBytes(bundles_.suite1).size() + 1023) / 1024)},
    };
    for (const auto& value : values) EXPECT_EQ(value.second, EntryValue(v1, value.first)) << Utf8FromWide(value.first);
    EXPECT_EQ(8u, EntryValue(v1, L"InstallDate").size());
    EXPECT_TRUE(ReadFileBytes(bundles_.suite1) == ReadFileBytes(copy));
    EXPECT_EQ(1u, productEntry(early)) << "hidden behind the bundle's entry";
    EXPECT_EQ(0u, productEntry(filed));

    // Users may read the copy: while a reader holds it, a run of the same
    // bundle keeps it when it holds the bundle's bytes and replaces it only
    // when not; what cannot be replaced is named in the log with the reason.
    const auto hold = [&copy](DWORD share) {
        return CreateFileW(copy.c_str(), GENERIC_READ, share, nullptr, OPEN_EXISTING, 0, nullptr);
    };
    HANDLE reader = hold(FILE_SHARE_READ);
    EXPECT_EQ(0u, RunBundleUnelevated(bundles_.suite1, L"/quiet").exitCode);
    CloseHandle(reader);
    WriteFileBytes(copy, "damaged");
    reader = hold(FILE_SHARE_READ);
    DeleteLogsStartingWith(L"suite-1", TempFolder());
    EXPECT_EQ(32u, RunBundleUnelevated(bundles_.suite1, L"/quiet").exitCode);
    ExpectInLog(RunLogText(L"suite-1", TempFolder()), {"the bundle's copy could not be written: " + Utf8FromWide(copy) +
                                                       ": error 32: "});
    CloseHandle(reader);
    EXPECT_EQ(0u, RunBundleUnelevated(bundles_.suite1, L"/quiet").exitCode);
    EXPECT_TRUE(ReadFileBytes(bundles_.suite1) == ReadFileBytes(copy));

    ASSERT_TRUE(DeleteFileW(file.c_str()));
    reader = hold(FILE_SHARE_READ | FILE_SHARE_DELETE);
    EXPECT_EQ(0u, RunWatched(EntryValue(v1, L"ModifyPath") + L" /quiet", 180000, IDOK, true).exitCode);
    CloseHandle(reader);
    EXPECT_EQ("RunSevenFiled 1.0.0.0\n", ReadFileBytes(file)) << "put back by the repair";

    DeleteLogsStartingWith(L"suite-2", TempFolder());
    ASSERT_EQ(0u, RunBundleUnelevated(bundles_.suite2, L"/quiet").exitCode);
    EXPECT_EQ(L"1.0.0.0", InstalledVersion(filed)) << "both carry it: it stays";
    EXPECT_EQ(L"", InstalledVersion(early)) << "only 1.0 carried it";
    EXPECT_EQ(L"", InstalledVersion(oldMajor)) << "2.0's package replaced it";
    ExpectInLog(RunLogText(L"suite-2", TempFolder()),
                {"replaced once this run succeeds", Utf8FromWide(oldMajor.code) + " of bundle " + Utf8FromWide(v1) +
                                                        " is gone already"});
    EXPECT_TRUE(EntryValue(v1, L"DisplayName").empty() && !FolderExists(BundleCacheFolder(v1)));
    EXPECT_EQ(L"2.0.0.0", EntryValue(v2, L"DisplayVersion"));
    EXPECT_EQ(filed.code + std::wstring(L"|") + newMajor.code, EntryValue(v2, L"BundleProductCodes"));

    DeleteLogsStartingWith(L"suite-1", TempFolder());
    const RunResult refused = RunBundleUnelevated(bundles_.suite1, L"");
    EXPECT_EQ(kProductVersion, refused.exitCode);
    ASSERT_EQ(1u, refused.boxes.size());
    ExpectErrorBoxNamingTheLog(refused.boxes[0], kProductVersionResult, kProductVersion);
    ExpectInLog(RunLogText(L"suite-1", TempFolder()), {"is version 2.0.0.0, newer than this one"});
    EXPECT_EQ(L"", InstalledVersion(early));
    EXPECT_TRUE(EntryValue(v1, L"DisplayName").empty() && !EntryValue(v2, L"DisplayName").empty());

    EXPECT_EQ(0u, RunWatched(EntryValue(v2, L"QuietUninstallString"), 180000, IDOK, true).exitCode);
    EXPECT_EQ(L"", InstalledVersion(filed));
    EXPECT_FALSE(FileExists(file));
    EXPECT_TRUE(EntryValue(v2, L"DisplayName").empty() && !FolderExists(BundleCacheFolder(v2)));

    // HKCU is the user's: an elevated run writes no copy where it points
    // outside the user's profile, and leaves out the entry instead.
    const wchar_t* shellFolders = L"Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\User Shell Folders";
    wchar_t tasks[MAX_PATH] = {};
    GetSystemDirectoryW(tasks, MAX_PATH);
    wcscat_s(tasks, L"\\Tasks");
    wchar_t saved[MAX_PATH] = {};
    DWORD savedSize = sizeof(saved);
    RegGetValueW(HKEY_CURRENT_USER, shellFolders, L"Local AppData", RRF_RT_ANY | RRF_NOEXPAND, nullptr, saved, &savedSize);
    RegSetKeyValueW(HKEY_CURRENT_USER, shellFolders, L"Local AppData", REG_EXPAND_SZ, tasks,
                    static_cast<DWORD>((wcslen(tasks) + 1) * sizeof(wchar_t)));
    DeleteLogsStartingWith(L"suite-1");
    EXPECT_EQ(0u, RunBundle(bundles_.suite1, L"/quiet").exitCode);
    RegSetKeyValueW(HKEY_CURRENT_USER, shellFolders, L"Local AppData", REG_EXPAND_SZ, saved, savedSize);
    EXPECT_FALSE(FolderExists(std::wstring(tasks) + L"\\Applications"));
    EXPECT_TRUE(EntryValue(v1, L"DisplayName").empty());
    ExpectInLog(RunLogText(L"suite-1"), {"is not in the user's profile", "the bundle's entry is not written"});
}

// The all-users folders are the program's own by its record, not by owners
// (Wine keeps none): an Applications folder another account made first is
// neither used nor changed, and a per-machine registered bundle installs,
// runs again, repairs, upgrades and uninstalls beside it, and leaves no
// cached package. A per-machine package is installed from the program's
// cache, where it stays while the product is there: never from a staging
// folder that the run deletes and anyone may make again.
TEST_F(SetupRunTest, APerMachineBundleWorksBesideAnApplicationsFolderOthersMadeFirst)
{
    const TestPackage& filed = Package(L"filed.msi");
    const std::wstring v1 = BundleCodeOf(bundles_.machineSuite1), v2 = BundleCodeOf(bundles_.machineSuite2);
    const std::wstring planted = KnownFolder(CSIDL_COMMON_APPDATA) + L"\\Applications";
    CreateDirectoryW(planted.c_str(), nullptr);
    CreateDirectoryW((planted + L"\\Cache").c_str(), nullptr);
    WriteFileBytes(planted + L"\\Cache\\planted.txt", "theirs");

    ASSERT_EQ(0u, RunBundle(bundles_.machineSuite1, L"/quiet").exitCode);
    const std::wstring cache = CacheFolder(true);
    EXPECT_EQ(0u, cache.find(planted + L"-")) << Utf8FromWide(cache);
    EXPECT_EQ(0u, InstallSource(filed).find(cache + L"\\")) << Utf8FromWide(InstallSource(filed));
    EXPECT_TRUE(FileExists(CachedPath(filed, true)));
    {
        // A reader may hold the cache and the package's folder in it without
        // sharing them: the run goes on.
        const std::wstring version = CachedPath(filed, true).substr(0, CachedPath(filed, true).rfind(L'\\'));
        HANDLE readers[2] = {};
        for (int k = 0; k < 2; ++k) {
            readers[k] = CreateFileW((k ? version : cache).c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING,
                                     FILE_FLAG_BACKUP_SEMANTICS, nullptr);
            EXPECT_NE(INVALID_HANDLE_VALUE, readers[k]);
        }
        EXPECT_EQ(0u, RunBundle(bundles_.machineSuite1, L"/quiet").exitCode) << "the same version again";
        for (HANDLE reader : readers) CloseHandle(reader);
    }
    EXPECT_EQ(0u, RunWatched(EntryValue(v1, L"ModifyPath", true) + L" /quiet", 180000).exitCode);
    EXPECT_EQ(0u, RunBundle(bundles_.machineSuite2, L"/quiet").exitCode);
    EXPECT_TRUE(EntryValue(v1, L"DisplayName", true).empty());
    EXPECT_EQ(0u, RunWatched(EntryValue(v2, L"QuietUninstallString", true), 180000).exitCode);
    EXPECT_EQ(L"", InstalledVersion(filed));
    EXPECT_TRUE(EntryValue(v2, L"DisplayName", true).empty());
    EXPECT_FALSE(FileExists(CachedPath(filed, true)));
    EXPECT_FALSE(FolderExists(BundleCacheFolder(v2, true)));
    EXPECT_EQ("theirs", ReadFileBytes(planted + L"\\Cache\\planted.txt"));
}

// 1.0 packed again (a new bundle code) is no newer bundle than 1.0: it
// replaces 1.0's entry. An elevated run takes no product list from a per-user
// entry: 2.0 run elevated leaves that entry and the product only it names, and
// says why in its log.
TEST_F(SetupRunTest, ASameVersionReplacesAnEntryAndAnElevatedRunNeverRetiresAPerUserOne)
{
    const TestPackage& early = Package(L"early.msi");
    const std::wstring v1 = BundleCodeOf(bundles_.suite1), again = BundleCodeOf(bundles_.suite1Again);

    ASSERT_EQ(0u, RunBundleUnelevated(bundles_.suite1, L"/quiet").exitCode);
    ASSERT_EQ(0u, RunBundleUnelevated(bundles_.suite1Again, L"/quiet").exitCode);
    EXPECT_TRUE(EntryValue(v1, L"DisplayName").empty() && !FolderExists(BundleCacheFolder(v1)));
    EXPECT_EQ(L"1.0.0.0", EntryValue(again, L"DisplayVersion"));

    ASSERT_EQ(0u, RunBundle(bundles_.suite2, L"/quiet").exitCode);
    EXPECT_EQ(L"1.0.0.0", InstalledVersion(early));
    EXPECT_EQ(L"1.0.0.0", EntryValue(again, L"DisplayVersion"));
    ExpectInLog(RunLogText(L"suite-2"), {"an elevated run does not take its product list from HKCU: left as it is"});
}

// A failed upgrade keeps its major upgrade (2.0 replaced 1.0's oldmajor.msi,
// then its last package failed): 2.0's entry is written for the product of it
// that stays. 1.0's entry stays while early.msi, its other product, is there,
// and goes when it stands for nothing. Each uninstall ends with 0, skipping
// what is not installed (2.0's failed package, 1.0's replaced one); nothing
// is left. (Per-user bundles, run unelevated: under Wine only the run that
// makes the all-users cache trusts it, and 2.0 would find 1.0's.)
TEST_F(SetupRunTest, AFailedUpgradeLeavesEntriesForWhatIsInstalled)
{
    const TestPackage& newMajor = Package(L"newmajor.msi");
    const TestPackage& early = Package(L"early.msi");
    const std::wstring v1 = BundleCodeOf(bundles_.majorSuite1), v2 = BundleCodeOf(bundles_.majorSuite2);
    for (const bool earlyStays : {true, false}) {
        SCOPED_TRACE(earlyStays ? "early.msi stays" : "early.msi removed before");
        ASSERT_EQ(0u, RunBundleUnelevated(bundles_.majorSuite1, L"/quiet").exitCode);
        if (!earlyStays) RemoveIfInstalled(early);
        ASSERT_EQ(kFatalError, RunBundleUnelevated(bundles_.majorSuite2, L"/quiet").exitCode);
        EXPECT_EQ(L"", InstalledVersion(Package(L"oldmajor.msi")));
        EXPECT_EQ(L"2.0.0.0", InstalledVersion(newMajor));
        EXPECT_EQ(newMajor.code, EntryValue(v2, L"BundleProductCodes"));
        EXPECT_EQ(earlyStays, !EntryValue(v1, L"DisplayName").empty() && FolderExists(BundleCacheFolder(v1)));

        for (const std::wstring& code : {v2, v1}) {
            if (EntryValue(code, L"DisplayName").empty()) continue;
            EXPECT_EQ(0u, RunWatched(EntryValue(code, L"QuietUninstallString"), 180000, IDOK, true).exitCode);
            EXPECT_TRUE(EntryValue(code, L"DisplayName").empty() && !FolderExists(BundleCacheFolder(code)));
        }
        EXPECT_EQ(L"", InstalledVersion(newMajor));
        EXPECT_EQ(L"", InstalledVersion(early));
    }
}

// The test prerequisite program, testprereq.exe: its rule reads the value it
// writes when it installs, and each start is recorded with its command line.
constexpr wchar_t kPrereqKey[] = L"Software\\TessaroTests\\Prereq";

BundleItem Prerequisite(const std::wstring& more)
{
    return {L"testprereq.exe", L"0", L"/detect \"HKLM64\\Software\\TessaroTests\\Prereq:Installed = 1\" " + more};
}

bool PrerequisiteInstalled()
{
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kPrereqKey, 0, KEY_READ | KEY_WOW64_64KEY, &key) != ERROR_SUCCESS) return false;
    RegCloseKey(key);
    return true;
}

// A field ("\tNAME=...") of a recorded start.
std::string RecordField(const std::string& line, const std::string& name)
{
    const size_t at = line.find("\t" + name + "=") + name.size() + 2;
    return line.substr(at, line.find('\t', at) - at);
}

// The command lines, without the program's own quoted name, of the starts
// recorded since the last call, which empties the record. Each start ran with
// TEMP and TMP a folder in a staging folder of the run, gone since with what
// the program unpacked there, and PATH the system folders only.
std::vector<std::string> TakeCommands(const std::wstring& record)
{
    wchar_t system[MAX_PATH] = {}, windows[MAX_PATH] = {};
    GetSystemDirectoryW(system, MAX_PATH);
    GetWindowsDirectoryW(windows, MAX_PATH);
    const std::wstring systemPath = std::wstring(system) + L";" + windows + L";" + system + L"\\Wbem";
    const std::wstring stagingFolders = RunFolder() + L"Setup-";
    std::vector<std::string> commands;
    std::istringstream lines(ReadFileBytes(record));
    for (std::string line; std::getline(lines, line);) {
        const std::wstring temp = WideFromUtf8(RecordField(line, "temp"));
        EXPECT_EQ(0, _wcsnicmp(temp.c_str(), stagingFolders.c_str(), stagingFolders.size())) << line;
        EXPECT_EQ(RecordField(line, "temp"), RecordField(line, "tmp"));
        EXPECT_FALSE(FolderExists(temp)) << line;
        EXPECT_EQ(0, _wcsicmp(systemPath.c_str(), WideFromUtf8(RecordField(line, "path")).c_str())) << line;
        const std::string command = line.substr(line.find("\tcommand=") + 9);
        commands.push_back(command.substr(16 + (command.size() > 16)));   // after "\"testprereq.exe\" "
    }
    DeleteFileW(record.c_str());
    return commands;
}

// A prerequisite runs when its rules say it is not there, before the entries
// after it; its exit code decides the run; a failure or /uninstall removes only
// one with uninstall arguments; /repair runs only one that is there and has
// repair arguments.
TEST_F(SetupRunTest, APrerequisiteRunsWhenNotThereAndItsExitCodeDecidesTheRun)
{
    const std::wstring record = WorkPath(L"prereq-starts.txt");
    SetEnvironmentVariableW(L"TESSARO_PREREQ_RECORD", record.c_str());
    const struct {
        const char* name;
        std::vector<BundleItem> items;
        const wchar_t* switches;
        bool installedBefore;
        DWORD exitCode;
        std::vector<std::string> commands;
        bool installedAfter;
        std::vector<std::wstring> packagesAfter;
    } rows[] = {
        {"not there: run before the packages", {Prerequisite(L"/args \"/install /quiet\" /uninstallargs /uninstall"),
         {L"fresh.msi", L"0"}, {L"early.msi", L"0"}}, L"/quiet", false, 0, {"/install /quiet"}, true,
         {L"fresh.msi", L"early.msi"}},
        {"there: skipped", {Prerequisite(L"/args \"/exit 5\""), {L"fresh.msi", L"0"}}, L"/quiet", true, 0, {}, true,
         {L"fresh.msi"}},
        {"/uninstall removes one with uninstall arguments", {Prerequisite(L"/uninstallargs /uninstall"),
         {L"fresh.msi", L"0"}}, L"/uninstall /quiet", true, 0, {"/uninstall"}, false, {}},
        {"3010: the run goes on and ends with it", {Prerequisite(L"/args \"/exit 3010\""), {L"fresh.msi", L"0"}},
         L"/quiet", false, 3010, {"/exit 3010"}, true, {L"fresh.msi"}},
        {"1638, which the vendor calls success", {Prerequisite(L"/args \"/exit 1638\" /exitcode 1638=success"),
         {L"fresh.msi", L"0"}}, L"/quiet", false, 0, {"/exit 1638"}, false, {L"fresh.msi"}},
        {"a failure stops the chain and undoes the run", {{L"fresh.msi", L"0"},
         Prerequisite(L"/args \"/exit 7\" /uiargs \"/exit 5\""),
         {L"early.msi", L"0"}}, L"", false, 5, {"/exit 5"}, false, {}},
        {"a later failure keeps a permanent one", {Prerequisite(L""), {L"failing.msi", L"0"}}, L"/quiet", false,
         kFatalError, {""}, true, {}},
        {"and removes one with uninstall arguments", {Prerequisite(L"/uninstallargs /uninstall"),
         {L"failing.msi", L"0"}}, L"/quiet", false, kFatalError, {"", "/uninstall"}, false, {}},
        {"/uninstall keeps a permanent one", {Prerequisite(L""), {L"fresh.msi", L"0"}}, L"/uninstall /quiet", true, 0,
         {}, true, {}},
        {"/repair runs one that is there with its repair arguments", {Prerequisite(L"/repairargs /repair"),
         {L"fresh.msi", L"0"}}, L"/repair /quiet", true, 0, {"/repair"}, true, {}},
        {"and leaves one alone that is not there", {Prerequisite(L"/repairargs /repair"), {L"fresh.msi", L"0"}},
         L"/repair /quiet", false, 0, {}, false, {}},
        {"or that has none", {Prerequisite(L"/args /install"), {L"fresh.msi", L"0"}}, L"/repair /quiet", true, 0, {},
         true, {}},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        const std::wstring bundle = WorkPath(L"prereq-codes.exe");
        ASSERT_TRUE(MakeBundle(bundle, row.items));
        RegDeleteKeyExW(HKEY_LOCAL_MACHINE, kPrereqKey, KEY_WOW64_64KEY, 0);
        if (row.installedBefore) {
            // In the 64-bit view, which the rule reads, also from the 32-bit build.
            HKEY key = nullptr;
            const DWORD one = 1;
            RegCreateKeyExW(HKEY_LOCAL_MACHINE, kPrereqKey, 0, nullptr, 0, KEY_SET_VALUE | KEY_WOW64_64KEY, nullptr, &key,
                            nullptr);
            RegSetValueExW(key, L"Installed", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&one), sizeof(one));
            RegCloseKey(key);
        }
        TakeCommands(record);
        const RunResult run = RunBundle(bundle, row.switches);
        ASSERT_TRUE(run.finished);
        EXPECT_EQ(row.exitCode, run.exitCode);
        EXPECT_EQ(row.commands, TakeCommands(record));
        EXPECT_EQ(row.installedAfter, PrerequisiteInstalled());
        for (const auto& package : {L"fresh.msi", L"early.msi", L"failing.msi"}) {
            const bool expected = std::find(row.packagesAfter.begin(), row.packagesAfter.end(), package) != row.packagesAfter.end();
            EXPECT_EQ(expected ? L"1.0.0.0" : L"", InstalledVersion(Package(package))) << Utf8FromWide(package);
        }
        const std::vector<ObservedBox> boxes = ProgramBoxes(run);
        if (*row.switches == L'\0') {
            ASSERT_EQ(1u, boxes.size());
            EXPECT_NE(std::wstring::npos, boxes[0].text.find(L"\ntestprereq.exe: 5 (0x00000005)\r\nLog: ")) << Utf8FromWide(boxes[0].text);
        }
        ForgetEverything();
    }
    RegDeleteKeyExW(HKEY_LOCAL_MACHINE, kPrereqKey, KEY_WOW64_64KEY, 0);
    SetEnvironmentVariableW(L"TESSARO_PREREQ_RECORD", nullptr);
}

} // namespace
