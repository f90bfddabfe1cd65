// Setup runs against the stand-in installer, unelevated as a user's own
// program runs (they stage in the user's temporary folder and cache in the
// user's application-data folder), for what Wine's own installer cannot
// show: the version answers the run decides on, restart results, patches,
// the removal requests after a failure, the UI level and log of every call,
// and where the transform lies when the installer is called.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "runfixture.h"
#include "standin_journal.h"

namespace {

using Calls = std::vector<StandinCall>;

const wchar_t kVomus[] = L" REINSTALL=ALL REINSTALLMODE=\"vomus\"";

Calls Only(const Calls& calls, const char* operation)
{
    Calls picked;
    for (const auto& call : calls) {
        if (call.operation == operation) picked.push_back(call);
    }
    return picked;
}

std::wstring FolderOf(const std::wstring& path)
{
    return path.substr(0, path.find_last_of(L'\\'));
}

std::wstring NameOf(const std::wstring& path)
{
    return path.substr(path.find_last_of(L'\\') + 1);
}

// The name after "TRANSFORMS=@" in a command line, empty when there is none.
std::wstring TransformNameIn(const std::wstring& commandLine)
{
    const std::wstring mark = L"TRANSFORMS=@";
    const size_t at = commandLine.find(mark);
    if (at == std::wstring::npos) return std::wstring();
    const size_t start = at + mark.size();
    return commandLine.substr(start, commandLine.find(L' ', start) - start);
}

std::vector<std::wstring> TemporaryTransforms()
{
    std::vector<std::wstring> names;
    for (const auto& name : FilesIn(TempFolder())) {
        if (name.compare(0, 3, L"MST") == 0) names.push_back(name);
    }
    return names;
}

struct Bundles {
    std::wstring one;          // upgrade42.msi, allowupgrade
    std::wstring two;          // fresh.msi, early.msi (ignorefailure)
    std::wstring patch;        // fresh.msi, hotfix.msp as a cached patch
    std::wstring mixed;        // fresh (ignorefailure), machine (cache+permachine), user (keepui), early
    std::wstring transforms;   // fresh, early, machine (cache), user: all with the transform flag
    std::wstring sameCached;   // user.msi cached per user with the transform
    std::wstring registered;   // registered: fresh.msi (hidden), early.msi, user.msi, hotfix.msp
    std::wstring removable;    // registered: fresh.msi (ignorefailure), early.msi
    std::wstring perMachine;   // a program (product: and upgrade: rules), machine.msi: both permachine
};

class StandinRunTest : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        bundles_.one = WorkPath(L"standin-one.exe");
        bundles_.two = WorkPath(L"standin-two.exe");
        bundles_.patch = WorkPath(L"standin-patch.exe");
        bundles_.mixed = WorkPath(L"standin-mixed.exe");
        bundles_.transforms = WorkPath(L"standin-transforms.exe");
        bundles_.sameCached = WorkPath(L"standin-same-cached.exe");
        bundles_.registered = WorkPath(L"standin-registered.exe");
        bundles_.removable = WorkPath(L"standin-removable.exe");
        bundles_.perMachine = WorkPath(L"standin-per-machine.exe");
        const std::wstring rules = std::wstring(L"/detect product:") + Package(L"machine.msi").code +
                                   L" /detect upgrade:{7E5A0C11-0000-4000-8000-0000000000A7}";
        const std::wstring registration = L" /upgradecode {7E5A0C11-0000-4000-8000-0000000000B2}";
        const std::wstring patchIdentity = L"/code {7E5A0C11-0000-4000-8000-0000000000FB} /version 1.0.0.1";
        const std::wstring languages = L" /transform " + Quoted(PackagePath(L"de.mst")) + L" /language 1031" +
                                       L" /transform " + Quoted(PackagePath(L"fr.mst")) + L" /language 1036";
        // Transforms and a patch for the stand-in installer, which only passes
        // their names on: what the packer takes for them, with distinct bytes.
        bundlesMade_ =
            WriteInstallerStorage(PackagePath(L"de.mst"), INSTALLER_TRANSFORM, "German transform") &&
            WriteInstallerStorage(PackagePath(L"fr.mst"), INSTALLER_TRANSFORM, "French transform, a longer one") &&
            WriteInstallerStorage(PackagePath(L"hotfix.msp"), INSTALLER_PATCH, "Patch of the setup-run tests") &&
            MakeBundle(bundles_.one, {{L"upgrade42.msi", L"allowupgrade"}}) &&
            MakeBundle(bundles_.two, {{L"fresh.msi", L"0"}, {L"early.msi", L"ignorefailure"}}) &&
            MakeBundle(bundles_.patch, {{L"fresh.msi", L"0"}, {L"hotfix.msp", L"patch+cache", patchIdentity}}) &&
            MakeBundle(bundles_.mixed, {{L"fresh.msi", L"ignorefailure"},
                                        {L"machine.msi", L"cache+permachine"},
                                        {L"user.msi", L"keepui"},
                                        {L"early.msi", L"0"}}) &&
            MakeBundle(bundles_.transforms, {{L"fresh.msi", L"0"},
                                             {L"early.msi", L"0"},
                                             {L"machine.msi", L"cache+permachine"},
                                             {L"user.msi", L"0"}},
                       languages) &&
            RewriteFlags(bundles_.transforms, {0x80, 0x80, 0x85, 0x80}) &&   // each with the transform flag
            MakeBundle(bundles_.sameCached, {{L"user.msi", L"cache+transform"}}, languages) &&
            MakeBundle(bundles_.registered, {{L"fresh.msi", L"hidden"}, {L"early.msi", L"0"}, {L"user.msi", L"0"},
                                             {L"hotfix.msp", L"patch", patchIdentity}}, registration) &&
            MakeBundle(bundles_.removable, {{L"fresh.msi", L"ignorefailure"}, {L"early.msi", L"0"}}, registration) &&
            MakeBundle(bundles_.perMachine, {{L"testprereq.exe", L"permachine", rules},
                                             {L"machine.msi", L"permachine"}});
    }

    void SetUp() override
    {
        ASSERT_TRUE(bundlesMade_) << "setuppack could not make the test bundles";
        journal_ = WorkPath(L"standin-journal.txt");
        script_ = WorkPath(L"standin-script.txt");
        log_ = WorkPath(L"standin-run.log");
        DeleteFileW(journal_.c_str());
        DeleteFileW(script_.c_str());
        SetEnvironmentVariableW(STANDIN_JOURNAL_VARIABLE, journal_.c_str());
        SetEnvironmentVariableW(STANDIN_SCRIPT_VARIABLE, script_.c_str());
        for (const auto& package : AllPackages()) ForgetFiles(package);
    }

    void TearDown() override
    {
        SetEnvironmentVariableW(STANDIN_JOURNAL_VARIABLE, nullptr);
        SetEnvironmentVariableW(STANDIN_SCRIPT_VARIABLE, nullptr);
        for (const auto& package : AllPackages()) ForgetFiles(package);
    }

    // Runs a bundle with a fresh journal and the given script lines.
    RunResult Run(const std::wstring& bundle, const std::string& script, const std::wstring& switches,
                  WPARAM answer = IDOK)
    {
        DeleteFileW(journal_.c_str());
        WriteFileBytes(script_, script);
        return RunBundleUnelevated(bundle, switches, answer);
    }
    Calls Journal() const { return StandinReadJournal(journal_); }

    static Bundles bundles_;
    static bool bundlesMade_;
    std::wstring journal_;
    std::wstring script_;
    std::wstring log_;
};

Bundles StandinRunTest::bundles_;
bool StandinRunTest::bundlesMade_ = false;

// The installed version the installer reports decides the command line, or
// whether the package is installed at all.
TEST_F(StandinRunTest, InstalledVersionChoosesTheAction)
{
    struct Row {
        const char* script;
        DWORD exitCode;
        bool installs;
        std::wstring commandLine;
    };
    const std::wstring properties = L"A=1 ";
    const Row rows[] = {
        {"query 1605\n", 0, true, properties},                       // not installed
        {"query 1608\n", 0, true, properties},                       // property unknown
        {"query 0 4.2.310.0\n", 0, true, properties},                // same version
        {"query 0 4.1.0.0\n", 0, true, properties + kVomus},         // newer minor
        {"query 0 4.2.300.5\n", 0, true, properties + kVomus},       // newer build
        {"query 0 3.9.0.0\n", 0, true, properties},                  // higher major: plain install
        {"query 0 4.2.310.1\n", 0, false, L""},                      // older revision: skipped
        {"query 0 4.3.0.0\n", 0, false, L""},                        // older minor: skipped
        {"query 0 5.0.0.0\n", 0, false, L""},                        // older major: skipped
        {"query 1610\n", 1610, false, L""},                          // the query fails
        {"query 234\n", 234, false, L""},                            // the version does not fit
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.script);
        ForgetFiles(Package(L"upgrade42.msi"));
        RunResult run = Run(bundles_.one, row.script, L"/quiet /msicl A=1");
        ASSERT_TRUE(run.finished);
        EXPECT_EQ(row.exitCode, run.exitCode);
        const Calls calls = Journal();
        const Calls queries = Only(calls, "query");
        ASSERT_EQ(1u, queries.size());
        EXPECT_EQ(Package(L"upgrade42.msi").code, queries[0].Field(0));
        EXPECT_EQ(L"VersionString", queries[0].Field(1));
        EXPECT_EQ(L"36", queries[0].Field(2));
        const Calls installs = Only(calls, "install");
        ASSERT_EQ(row.installs ? 1u : 0u, installs.size());
        if (row.installs) {
            EXPECT_TRUE(IsStagedPath(installs[0].Field(0), Package(L"upgrade42.msi"), TempFolder()))
                << Utf8FromWide(installs[0].Field(0));
            EXPECT_EQ(row.commandLine, installs[0].Field(1));
        } else {
            EXPECT_TRUE(StagingFolders(TempFolder()).empty()) << "nothing is written";
        }
        EXPECT_TRUE(Only(calls, "remove").empty());
    }
}

// 3010 and 3011 mean a restart is needed later: the run goes on and ends with
// the first of them, even over a tolerated failure after it. 1641 means the
// installer has started one: the run stops there, and the staged package of
// that call stays.
TEST_F(StandinRunTest, RestartResultsOfTheFirstPackage)
{
    struct Row {
        const char* script;
        DWORD exitCode;
        size_t installs;
    };
    const Row rows[] = {
        {"install 3010\n", 3010, 2},
        {"install 3011\ninstall 3010\n", 3011, 2},
        {"install 3010\ninstall 1603\n", 3010, 2},
        {"install 1641\n", 1641, 1},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.script);
        RunResult run = Run(bundles_.two, row.script, L"/quiet");
        ASSERT_TRUE(run.finished);
        EXPECT_EQ(row.exitCode, run.exitCode);
        EXPECT_TRUE(run.boxes.empty());
        const Calls calls = Journal();
        EXPECT_EQ(row.installs, Only(calls, "install").size());
        EXPECT_EQ(row.installs, Only(calls, "query").size());
        EXPECT_TRUE(Only(calls, "remove").empty());
        EXPECT_EQ(row.exitCode == 1641, !StagingFolders(TempFolder()).empty()) << "what the call read stays";
        ForgetFiles(Package(L"fresh.msi"));
        ForgetFiles(Package(L"early.msi"));
    }
}

// An elevated run decides an entry for all users by the machine's
// installations alone: a product of the same code that the user installed for
// himself, which the questions across every context see (query, state,
// related), makes neither the prerequisite's product: and upgrade: rules hold
// nor the package skip; the machine's own products do.
TEST_F(StandinRunTest, AnEntryForAllUsersDecidesByTheMachinesInstallationsAlone)
{
    const std::wstring record = WorkPath(L"standin-prereq-starts.txt");
    const std::wstring machineCode = Package(L"machine.msi").code;
    const std::string everyContext = "query 0 9.0.0.0\nstate 5\nrelated 0 " + Utf8FromWide(machineCode) + "\n";
    const struct {
        const char* name;
        std::string script;
        bool programRuns;
        size_t installs;
    } rows[] = {
        {"the user's own products", everyContext, true, 1},
        {"the machine's, a newer version", everyContext + "queryex 0 5\nqueryex 0 5\nqueryex 0 9.0.0.0\n", false, 0},
    };
    SetEnvironmentVariableW(L"TESSARO_PREREQ_RECORD", record.c_str());
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        DeleteFileW(record.c_str());
        DeleteFileW(journal_.c_str());
        WriteFileBytes(script_, row.script);
        RunResult run = RunBundle(bundles_.perMachine, L"/quiet");
        ASSERT_TRUE(run.finished);
        EXPECT_EQ(0u, run.exitCode);
        EXPECT_EQ(row.programRuns, FileExists(record));
        const Calls calls = Journal();
        EXPECT_EQ(row.installs, Only(calls, "install").size());
        EXPECT_TRUE(Only(calls, "query").empty() && Only(calls, "state").empty());
        const Calls queries = Only(calls, "queryex");
        ASSERT_EQ(3u, queries.size());
        const wchar_t* properties[] = {L"State", L"State", L"VersionString"};   // product:, upgrade:, the package
        for (size_t k = 0; k < 3; ++k) {
            const StandinCall& query = queries[k];
            EXPECT_EQ(machineCode + L" %null 4 " + properties[k],
                      query.Field(0) + L" " + query.Field(1) + L" " + query.Field(2) + L" " + query.Field(3));
        }
    }
    SetEnvironmentVariableW(L"TESSARO_PREREQ_RECORD", nullptr);
    RegDeleteKeyExW(HKEY_LOCAL_MACHINE, L"Software\\TessaroTests\\Prereq", KEY_WOW64_64KEY, 0);
    ForgetFiles(Package(L"machine.msi"));
}

// A failure removes only what the run installed fresh (fresh.msi, although it
// asked for a restart), not a product that was there before: machine.msi at
// the same version keeps its cached copy, user.msi stays upgraded. A product
// the installer knew without a version (advertised, 1608) is installed, but
// was there before: it stays too.
TEST_F(StandinRunTest, OnlyFreshInstallsAreRemovedAfterAFailure)
{
    const TestPackage& machine = Package(L"machine.msi");
    for (const char* fresh : {"query 1605\n", "query 1608\n"}) {
        SCOPED_TRACE(fresh);
        RunResult run = Run(bundles_.mixed,
                            std::string(fresh) + "queryex 0 2.1.3.0\nquery 0 1.0.0.0\nquery 1605\n"
                            "install 3010\ninstall 0\ninstall 0\ninstall 1603\n",
                            L"/quiet");
        ASSERT_TRUE(run.finished);
        EXPECT_EQ(1603u, run.exitCode);
        const Calls removals = Only(Journal(), "remove");
        ASSERT_EQ(fresh[9] == '5' ? 1u : 0u, removals.size());
        if (!removals.empty()) EXPECT_EQ(Package(L"fresh.msi").code, removals[0].Field(0));
        EXPECT_TRUE(FileExists(CachedPath(machine, false))) << "the installed product's source stays";
        EXPECT_TRUE(StagingFolders(TempFolder()).empty());
        ForgetFiles(machine);
    }
}

// A file name the run could not write as that one file ends the run before
// any entry, with 13 (invalid data) and a log line naming it.
TEST_F(StandinRunTest, ABadFileNameInTheManifestEndsTheRunBeforeAnyEntry)
{
    const std::wstring bundle = WorkPath(L"standin-badname.exe");
    ASSERT_TRUE(CopyFileW(bundles_.two.c_str(), bundle.c_str(), FALSE));
    std::string manifest = ResourceBytes(bundle, RT_RCDATA, L"MANIFEST", 0);
    const wchar_t device[] = L"COM1.msi";
    memcpy(&manifest[4 + 168 + 12], device, sizeof(device));   // the second entry's file name
    ASSERT_TRUE(WriteManifest(bundle, manifest));
    DeleteLogsStartingWith(L"standin-badname", TempFolder());

    const RunResult run = Run(bundle, "", L"/quiet");
    ASSERT_TRUE(run.finished);
    EXPECT_EQ(13u, run.exitCode);
    EXPECT_TRUE(Journal().empty()) << "not even the first, sound entry is asked about";
    const std::string log = RunLogText(L"standin-badname", TempFolder());
    EXPECT_NE(std::string::npos, log.find("manifest entry 2: \"COM1.msi\" is not a plain file name\r\n")) << log;
}

// A same-version run of a cached package: the cached copies are the installed
// product's source. An intact one is installed from, also while another
// program reads it; a missing one is put back; one that is no longer the
// bundle's (here a transform of another language) or that another program
// holds shut is left as it is, and the package is installed from the
// temporary folder instead. None is ever deleted or replaced.
TEST_F(StandinRunTest, ASameVersionRunNeverReplacesTheCachedSource)
{
    const TestPackage& user = Package(L"user.msi");
    const std::string package = ReadFileBytes(PackagePath(user.file));
    const std::string german = ReadFileBytes(PackagePath(L"de.mst"));
    const std::wstring cached = CachedPath(user, false), cachedTransform = CachedPath(user, false, L".mst");
    struct Row {
        const char* name;
        bool packageThere;
        DWORD share;          // of another program's handle on the cached package; 0xFF: none
        const wchar_t* lang;
        bool fromCache;
    };
    const Row rows[] = {
        {"intact", true, 0xFF, L"1031", true},
        {"intact, another program reads it", true, FILE_SHARE_READ, L"1031", true},
        {"missing", false, 0xFF, L"1031", true},
        {"another language", true, 0xFF, L"1036", false},
        {"held shut by another program", true, 0, L"1031", false},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        ForgetFiles(user);
        ASSERT_EQ(0u, Run(bundles_.sameCached, "", L"/quiet /lang 1031").exitCode);
        if (!row.packageThere) DeleteFileW(cached.c_str());
        const ULONGLONG written = LastWriteTime(cached);
        HANDLE other = row.share == 0xFF ? INVALID_HANDLE_VALUE
                                         : CreateFileW(cached.c_str(), GENERIC_READ, row.share, nullptr, OPEN_EXISTING, 0,
                                                       nullptr);
        RunResult run = Run(bundles_.sameCached, "query 0 2.1.3.0\n", std::wstring(L"/quiet /lang ") + row.lang);
        if (other != INVALID_HANDLE_VALUE) CloseHandle(other);
        ASSERT_TRUE(run.finished);
        EXPECT_EQ(0u, run.exitCode);
        const Calls installs = Only(Journal(), "install");
        ASSERT_EQ(1u, installs.size());
        EXPECT_TRUE(row.fromCache ? cached == installs[0].Field(0) : IsStagedPath(installs[0].Field(0), user, TempFolder()))
            << Utf8FromWide(installs[0].Field(0));
        EXPECT_TRUE(package == ReadFileBytes(cached));
        EXPECT_TRUE(german == ReadFileBytes(cachedTransform)) << "the transform it was installed with";
        if (row.packageThere) EXPECT_EQ(written, LastWriteTime(cached)) << "not written anew";
        EXPECT_TRUE(StagingFolders(TempFolder()).empty());
    }
}

// A patch is applied without a version query, also when the run removes, and
// a removal never caches, a patch's entry included.
TEST_F(StandinRunTest, PatchIsAppliedAlsoUnderUninstall)
{
    RunResult run = Run(bundles_.patch, "state 5\n", L"/uninstall /quiet");
    ASSERT_TRUE(run.finished);
    EXPECT_EQ(0u, run.exitCode);
    const Calls calls = Journal();
    EXPECT_TRUE(Only(calls, "query").empty());
    const Calls installs = Only(calls, "install");
    ASSERT_EQ(1u, installs.size());
    EXPECT_EQ(L" REMOVE=ALL", installs[0].Field(1));
    const Calls patches = Only(calls, "patch");
    ASSERT_EQ(1u, patches.size());
    const TestPackage hotfix = {L"hotfix.msp", L"", L"{7E5A0C11-0000-4000-8000-0000000000FB}", L"1.0.0.1", false};
    EXPECT_TRUE(IsStagedPath(patches[0].Field(0), hotfix, TempFolder())) << Utf8FromWide(patches[0].Field(0));
    EXPECT_EQ(L"%null", patches[0].Field(1));
    EXPECT_EQ(L"0", patches[0].Field(2));
    EXPECT_EQ(L"", patches[0].Field(3));
    for (const bool perMachine : {true, false}) {
        EXPECT_FALSE(FileExists(CachedPath(hotfix, perMachine)));
    }
}

// fresh fails tolerated, machine and user install, early fails: the run asks
// the installer to remove user, then machine (not fresh, which never installed)
// and deletes every file it wrote, the cached copy included. /quiet and
// /passive hold for every call, the removals included; without them the
// flags choose. Each removal has its own log: the run's, appended to (by the
// full path the run made it at, whatever way it was given), or a new one
// named after the removed package.
TEST_F(StandinRunTest, FailureRemovesWhatTheRunInstalledWithTheRightSettings)
{
    struct Row {
        std::wstring switches;
        bool givenLog;
        std::vector<std::wstring> levels;   // fresh, machine, user, early, then the removals
    };
    const size_t folderEnd = log_.rfind(L'\\');
    const std::wstring spelledOut = log_.substr(0, folderEnd) + L"\\sub\\..\\." + log_.substr(folderEnd);
    const Row rows[] = {
        {L"/quiet /log " + Quoted(spelledOut), true, {L"2", L"2", L"2", L"2", L"2"}},
        {L"/passive", false, {L"67", L"67", L"67", L"67", L"67"}},
        {L"", false, {L"67", L"3", L"5", L"3", L"3"}},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(Utf8FromWide(row.switches));
        const bool givenLog = row.givenLog;
        WriteFileBytes(log_, "stale");
        RunResult run = Run(bundles_.mixed, "install 1603\ninstall 0\ninstall 0\ninstall 1603\n", row.switches);
        ASSERT_TRUE(run.finished);
        EXPECT_EQ(1603u, run.exitCode);
        EXPECT_TRUE(run.boxes.empty()) << "1603 shows no box";
        // A given log is started anew; the stand-in writes none of its own, so
        // the run's lines fill it, whole.
        const std::string given = ReadFileBytes(log_);
        if (givenLog) {
            EXPECT_EQ(std::string::npos, given.find("stale"));
            EXPECT_EQ(given.size() - 16, given.rfind("exit code 1603\r\n")) << given;
        } else {
            EXPECT_EQ("stale", given);
        }
        DeleteFileW(log_.c_str());

        // Every call is preceded by its UI level and its log.
        const Calls calls = Journal();
        std::vector<std::wstring> logs;
        size_t callIndex = 0;
        for (size_t i = 0; i < calls.size(); ++i) {
            if (calls[i].operation != "install" && calls[i].operation != "remove") continue;
            SCOPED_TRACE(callIndex);
            ASSERT_GE(i, 2u);
            ASSERT_LT(callIndex, 6u);
            EXPECT_EQ("ui", calls[i - 2].operation);
            EXPECT_EQ(row.levels[std::min<size_t>(callIndex, 4)], calls[i - 2].Field(0));
            EXPECT_EQ(L"%null", calls[i - 2].Field(1));
            EXPECT_EQ("log", calls[i - 1].operation);
            EXPECT_EQ(L"8159", calls[i - 1].Field(0));
            EXPECT_EQ(givenLog ? L"1" : L"0", calls[i - 1].Field(2));
            logs.push_back(calls[i - 1].Field(1));
            ++callIndex;
        }
        ASSERT_EQ(6u, logs.size());
        for (size_t k = 0; k < logs.size(); ++k) {
            if (givenLog) {
                EXPECT_EQ(log_, logs[k]);
            } else {
                EXPECT_EQ(1, std::count(logs.begin(), logs.end(), logs[k])) << "every call a log of its own";
            }
        }
        // The last installed first: a later package may build on an earlier one.
        if (!givenLog) {
            EXPECT_EQ(0u, logs[4].find(TempFolder() + L"user")) << Utf8FromWide(logs[4]);
            EXPECT_EQ(0u, logs[5].find(TempFolder() + L"machine")) << Utf8FromWide(logs[5]);
        }
        EXPECT_EQ(CachedPath(Package(L"machine.msi"), false), Only(calls, "install")[1].Field(0));

        const Calls removals = Only(calls, "remove");
        ASSERT_EQ(2u, removals.size());
        const wchar_t* removed[] = {Package(L"user.msi").code, Package(L"machine.msi").code};
        for (size_t k = 0; k < 2; ++k) {
            EXPECT_EQ(removed[k], removals[k].Field(0));
            EXPECT_EQ(L"0", removals[k].Field(1));
            EXPECT_EQ(L"2", removals[k].Field(2));
            EXPECT_EQ(L" REMOVE=ALL", removals[k].Field(3));
        }
        EXPECT_TRUE(StagingFolders(TempFolder()).empty());
        EXPECT_FALSE(FileExists(CachedPath(Package(L"machine.msi"), false)));
        ForgetFiles(Package(L"machine.msi"));
    }
}

// A tolerated failure that is not the last package's leaves the run's result
// to the packages after it, and nothing is removed.
TEST_F(StandinRunTest, ToleratedFailureOfAnEarlierPackageEndsWithZero)
{
    RunResult run = Run(bundles_.mixed, "install 1603\n", L"/quiet");
    ASSERT_TRUE(run.finished);
    EXPECT_EQ(0u, run.exitCode);
    EXPECT_TRUE(run.boxes.empty());
    const Calls calls = Journal();
    EXPECT_EQ(4u, Only(calls, "install").size());
    EXPECT_TRUE(Only(calls, "remove").empty());
    EXPECT_TRUE(FileExists(CachedPath(Package(L"machine.msi"), false))) << "kept after a successful run";
}

// Another installation in progress (1618): unattended, the call is made again
// after waits of 0.5, 1 and 2 s; interactively after Retry in a box with the
// platform's text, while Cancel ends the run with 1618. Every answer is in the
// run's own log, and so is the question with its answer, as every question
// asked of the person is. (Ten minutes of 1618: tests/faults, on a clock of its own.)
TEST_F(StandinRunTest, AnotherInstallationIsWaitedOut)
{
    struct Row {
        const wchar_t* switches;
        const char* script;
        WPARAM answer;
        DWORD exitCode;
        size_t installs;
        const char* logged;
        const wchar_t* asked;   // the answer on the question's line, null when nobody was asked
    };
    const Row rows[] = {
        {L"/quiet", "install 1618\ninstall 1618\ninstall 1618\n", IDOK, 0, 4, "attempt 3: waiting 2000 ms\r\n",
         nullptr},
        {L"", "install 1618\n", IDRETRY, 0, 2, "attempt 1: Retry chosen\r\n", L": Retry\r\n"},
        {L"", "install 1618\n", IDCANCEL, 1618, 1, "attempt 1: Cancel chosen\r\n", L": Cancel\r\n"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.logged);
        DeleteLogsStartingWith(L"standin-one", TempFolder());
        RunResult run = Run(bundles_.one, row.script, row.switches, row.answer);
        ASSERT_TRUE(run.finished);
        EXPECT_EQ(row.exitCode, run.exitCode);
        EXPECT_EQ(row.installs, Only(Journal(), "install").size());
        ASSERT_EQ(row.switches[0] == L'\0' ? 1u : 0u, run.boxes.size()) << "a box for each 1618, nothing more";
        EXPECT_TRUE(run.boxes.empty() || run.boxes[0].text.find(SystemText(static_cast<HRESULT>(0x80070652))) == 0);
        const std::string log = RunLogText(L"standin-one", TempFolder());
        EXPECT_NE(std::string::npos, log.find(std::string("(1618), ") + row.logged)) << log;
        const std::wstring question = SystemText(static_cast<HRESULT>(0x80070652));
        const std::string askedLine =
            "asked: " + Utf8FromWide(question.substr(0, question.find_first_of(L"\r\n")) + (row.asked ? row.asked : L""));
        EXPECT_EQ(row.asked != nullptr, log.find(askedLine) != std::string::npos) << log;
        ForgetFiles(Package(L"upgrade42.msi"));
    }
}

// No transform of the bundle suits Japanese (1041): the packages that ask for
// one get no TRANSFORMS text, and no temporary transform is made.
TEST_F(StandinRunTest, NoTransformForTheLanguageMeansNoTransformText)
{
    const size_t transformsBefore = TemporaryTransforms().size();
    RunResult run = Run(bundles_.transforms, "", L"/quiet /lang 1041");
    ASSERT_TRUE(run.finished);
    EXPECT_EQ(0u, run.exitCode);
    const Calls installs = Only(Journal(), "install");
    ASSERT_EQ(4u, installs.size());
    for (const auto& install : installs) {
        EXPECT_EQ(std::wstring::npos, install.Field(1).find(L"TRANSFORMS")) << Utf8FromWide(install.Field(1));
    }
    EXPECT_FALSE(FileExists(CachedPath(Package(L"machine.msi"), false, L".mst")));
    EXPECT_EQ(transformsBefore, TemporaryTransforms().size());
}

// The transform chosen for the language (/lang 1036: fr.mst) must lie beside
// the package the installer is given, under the name after "TRANSFORMS=@".
// An installer call that starts a restart ends the run without deleting
// anything, so the files as they were at the call can be inspected after it.
TEST_F(StandinRunTest, TransformLiesBesideThePackageAtTheCall)
{
    const std::string french = ReadFileBytes(PackagePath(L"fr.mst"));
    const size_t transformsBefore = TemporaryTransforms().size();

    // The first uncached package, stopped at its call.
    RunResult first = Run(bundles_.transforms, "install 1641\n", L"/quiet /lang 1036");
    ASSERT_TRUE(first.finished);
    EXPECT_EQ(1641u, first.exitCode);
    Calls installs = Only(Journal(), "install");
    ASSERT_EQ(1u, installs.size());
    std::wstring name = TransformNameIn(installs[0].Field(1));
    ASSERT_FALSE(name.empty()) << Utf8FromWide(installs[0].Field(1));
    EXPECT_EQ(french, ReadFileBytes(FolderOf(installs[0].Field(0)) + L"\\" + name));
    ForgetFiles(Package(L"fresh.msi"));

    // The second uncached package has its own copy; the first one's went with
    // its staged package after its call.
    RunResult second = Run(bundles_.transforms, "install 0\ninstall 1641\n", L"/quiet /lang 1036");
    ASSERT_TRUE(second.finished);
    EXPECT_EQ(1641u, second.exitCode);
    installs = Only(Journal(), "install");
    ASSERT_EQ(2u, installs.size());
    EXPECT_FALSE(FileExists(installs[0].Field(0)));
    EXPECT_FALSE(FileExists(FolderOf(installs[0].Field(0)) + L"\\" + TransformNameIn(installs[0].Field(1))));
    name = TransformNameIn(installs[1].Field(1));
    ASSERT_FALSE(name.empty());
    EXPECT_TRUE(IsStagedPath(installs[1].Field(0), Package(L"early.msi"), TempFolder()));
    EXPECT_EQ(french, ReadFileBytes(FolderOf(installs[1].Field(0)) + L"\\" + name));
    ForgetFiles(Package(L"early.msi"));

    // The whole run: the cached package takes the transform into the cache,
    // named after itself; the package after it gets none; no copy is left.
    RunResult whole = Run(bundles_.transforms, "", L"/quiet /lang 1036");
    ASSERT_TRUE(whole.finished);
    EXPECT_EQ(0u, whole.exitCode);
    installs = Only(Journal(), "install");
    ASSERT_EQ(4u, installs.size());
    const TestPackage& machine = Package(L"machine.msi");
    EXPECT_EQ(CachedPath(machine, false), installs[2].Field(0));
    EXPECT_EQ(NameOf(CachedPath(machine, false, L".mst")), TransformNameIn(installs[2].Field(1)));
    EXPECT_EQ(french, ReadFileBytes(CachedPath(machine, false, L".mst")));
    EXPECT_EQ(L"", TransformNameIn(installs[3].Field(1)));
    EXPECT_TRUE(StagingFolders(TempFolder()).empty());
    EXPECT_EQ(transformsBefore, TemporaryTransforms().size()) << "the run's temporary transforms are gone";
}

// While the installer reads the package and its transform, nobody can open
// them for writing, rename or delete them: staged or cached, package or
// transform, each is held until the call returns.
TEST_F(StandinRunTest, NothingTheInstallerReadsCanBeChangedDuringTheCall)
{
    SetEnvironmentVariableW(STANDIN_TAMPER_VARIABLE, L"1");
    RunResult run = Run(bundles_.transforms, "", L"/quiet /lang 1036");
    SetEnvironmentVariableW(STANDIN_TAMPER_VARIABLE, nullptr);
    ASSERT_TRUE(run.finished);
    EXPECT_EQ(0u, run.exitCode);
    const Calls tampers = Only(Journal(), "tamper");
    EXPECT_EQ(7u, tampers.size()) << "four packages, three of them with a transform";
    for (const auto& tamper : tampers) {
        SCOPED_TRACE(Utf8FromWide(tamper.Field(0)));
        EXPECT_EQ(L"32", tamper.Field(1)) << "write";
        EXPECT_EQ(L"32", tamper.Field(2)) << "rename";
        EXPECT_EQ(L"32", tamper.Field(3)) << "delete";
    }
}

// A temporary folder deep enough that the staged package's path passes the 259
// characters a run records: the run ends with 0x8007007A (exit 122) before the
// installer is called, and the package written there does not stay behind.
TEST_F(StandinRunTest, StagedPathTooLongForTheRecordEndsTheRunCleanly)
{
    const TestPackage& fresh = Package(L"fresh.msi");
    std::wstring deep = WorkPath(L"deep");
    CreateDirectoryW(deep.c_str(), nullptr);
    while (deep.size() < 225) {
        deep += L"\\folder-of-a-deep-temporary-path";
        CreateDirectoryW(deep.c_str(), nullptr);
    }
    ASSERT_TRUE(FolderExists(deep));
    ASSERT_GT(deep.size() + wcslen(L"\\Setup-0123456789ABCDEF\\1\\") + wcslen(fresh.file), 259u);

    wchar_t savedTmp[MAX_PATH] = {};
    wchar_t savedTemp[MAX_PATH] = {};
    GetEnvironmentVariableW(L"TMP", savedTmp, MAX_PATH);
    GetEnvironmentVariableW(L"TEMP", savedTemp, MAX_PATH);
    SetEnvironmentVariableW(L"TMP", deep.c_str());
    SetEnvironmentVariableW(L"TEMP", deep.c_str());
    RunResult run = Run(bundles_.two, "", L"/quiet");
    SetEnvironmentVariableW(L"TMP", savedTmp[0] ? savedTmp : nullptr);
    SetEnvironmentVariableW(L"TEMP", savedTemp[0] ? savedTemp : nullptr);

    ASSERT_TRUE(run.finished);
    EXPECT_EQ(122u, run.exitCode);
    EXPECT_TRUE(Only(Journal(), "install").empty());
    EXPECT_TRUE(StagingFolders(deep + L"\\").empty());
}

// /repair installs again only what is installed at the package's own version
// (fresh.msi, hidden: kept out of Add/Remove Programs again), with the
// installer's repair of all features; it leaves an absent product (early.msi)
// and one of another version (user.msi) alone, and applies no patch.
TEST_F(StandinRunTest, RepairInstallsAgainOnlyWhatIsThereAtItsVersion)
{
    RunResult run = Run(bundles_.registered, "query 0 1.0.0.0\nquery 1605\nquery 0 2.0.0.0\n", L"/repair /quiet");
    ASSERT_TRUE(run.finished);
    EXPECT_EQ(0u, run.exitCode);
    const Calls calls = Journal();
    EXPECT_EQ(3u, Only(calls, "query").size());
    EXPECT_TRUE(Only(calls, "patch").empty());
    const Calls installs = Only(calls, "install");
    ASSERT_EQ(1u, installs.size());
    EXPECT_TRUE(IsStagedPath(installs[0].Field(0), Package(L"fresh.msi"), TempFolder()));
    EXPECT_EQ(L" ARPSYSTEMCOMPONENT=1 REINSTALL=ALL REINSTALLMODE=\"omus\"", installs[0].Field(1));
    ForgetRegistration(BundleCodeOf(bundles_.registered));
}

// Removed from its entry, the last package first: a removal that fails keeps
// the entry and the bundle's copy so that the user can try again, and the exit
// code says so (the failure, or 1 when it was tolerated and the product is
// still there); once nothing of it is left, both go. A product that is no
// longer installed (a later version's major upgrade replaced it) is not handed
// to the installer, whose package would refuse its removal: it is skipped, and
// the run's log says so.
TEST_F(StandinRunTest, ARemovalThatLeavesAProductKeepsTheEntry)
{
    const std::wstring code = BundleCodeOf(bundles_.removable);
    const struct {
        const char* script;   // a state for each entry, early.msi's first
        DWORD exitCode;
        bool entryStays;
        std::vector<const wchar_t*> removed;
        bool skipped;
    } rows[] = {
        {"state 5\nstate 5\ninstall 1603\n", 1603, true, {L"early.msi"}, false},
        {"state 5\nstate 5\ninstall 0\ninstall 1603\nstate 5\n", 1, true, {L"early.msi", L"fresh.msi"}, false},
        {"state 5\nstate 5\n", 0, false, {L"early.msi", L"fresh.msi"}, false},
        {"state -1\nstate 5\n", 0, false, {L"fresh.msi"}, true},
        {"state 2\nstate -1\n", 0, false, {}, true},   // installed for another user only, and not at all
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.script);
        ASSERT_EQ(0u, Run(bundles_.removable, "", L"/quiet").exitCode);
        RunResult run = Run(bundles_.removable, row.script, L"/uninstall /quiet");
        ASSERT_TRUE(run.finished);
        EXPECT_EQ(row.exitCode, run.exitCode);
        EXPECT_EQ(row.entryStays, !EntryValue(code, L"DisplayName").empty());
        EXPECT_EQ(row.entryStays, FolderExists(BundleCacheFolder(code)));
        const Calls installs = Only(Journal(), "install");
        ASSERT_EQ(row.removed.size(), installs.size());
        for (size_t k = 0; k < installs.size(); ++k) {
            EXPECT_TRUE(IsStagedPath(installs[k].Field(0), Package(row.removed[k]), TempFolder())) << "the last first";
        }
        const std::string log = RunLogText(L"standin-removable", TempFolder());
        EXPECT_EQ(row.skipped, std::string::npos != log.find("skip: not installed: nothing to remove")) << log;
    }
    ForgetRegistration(code);
}

} // namespace
