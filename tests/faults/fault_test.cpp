// Every platform call of the program made to fail in turn. For each scenario
// (two-package setup runs, /extract, /o1, /?) the k-th call of each operation
// fails, for k = 1, 2, ... until a run no longer reaches the fault. After every
// run: the exit code is the fault's code (or success where the program may
// tolerate it), no heap block, handle or message buffer is left, nothing is
// written outside the sandbox, no file remains that the run must remove, and
// every package the run installed before failing was asked to be removed.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <cwctype>
#include <map>

#include "detect.h"
#include "faultkit.h"
#include "manifest.h"
#include "options.h"
#include "registrationrecord.h"
#include "testsupport.h"

namespace {

const GUID ALPHA_CODE = {0x5A1F0C3E, 0x2B4D, 0x4E61, {0x9A, 0x07, 0x3C, 0x51, 0x88, 0xD2, 0x10, 0x01}};
const GUID BETA_CODE = {0x5A1F0C3E, 0x2B4D, 0x4E61, {0x9A, 0x07, 0x3C, 0x51, 0x88, 0xD2, 0x10, 0x02}};
constexpr DWORD GERMAN = 1031;
const GUID SUITE_CODE = {0x5A1F0C3E, 0x2B4D, 0x4E61, {0x9A, 0x07, 0x3C, 0x51, 0x88, 0xD2, 0x10, 0xB0}};
// The record of the folders the program made for all users.
constexpr wchar_t OWNED_FOLDERS_KEY[] = L"Software\\Tessaro\\Setup\\Folders";
const std::wstring SUITE_KEY = L"Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\" + GuidText(SUITE_CODE);
const std::wstring SUITE_COPY = L"local\\Applications\\Cache\\" + GuidText(SUITE_CODE);
// A folder's security as Windows has it for one only administrators can change.
const std::wstring SYSTEM_PROTECTED = L"O:SYD:PAI(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;0x1200a9;;;BU)";

enum class Mode { Setup, Extract, ExtractFirst, Help };

struct ScriptedResult {
    const GUID* product;
    UINT result;
};

struct Scenario {
    const char* name;
    Mode mode;
    std::wstring arguments;   // {TEMP} and {OUT} stand for the sandbox folders
    std::vector<PackageSpec> packages;
    std::vector<TransformSpec> transforms;
    int exitCode = 0;                                  // of the run without a fault
    std::vector<ScriptedResult> installerResults = {};  // for install requests; 0 otherwise
    std::vector<std::pair<std::wstring, std::wstring>> installed = {};   // product code, version
    TokenAnswer token = TokenAnswer::Real;
    DWORD elevatedCopyExit = 0;   // of the process that stands in for an elevated copy
    std::vector<std::wstring> folders = {};   // there before the run, below the sandbox root
    std::vector<std::wstring> files = {};     // the same, each holding its package's bytes
    std::vector<std::wstring> trusted = {};   // of those folders, the ones owned by SYSTEM and protected
    // The bundle has an entry of its own (SUITE_CODE), in HKLM when a package
    // is per-machine; a removal finds it there with the bundle's copy.
    bool registered = false;
    std::vector<CabinetSpec> cabinets = {};   // CABINETS
    BYTE bundleFlags = 0;                       // of the manifest (BUNDLE_WINDOW)
};

PackageSpec Alpha(DWORD flags)
{
    return {"MSI00", L"Alpha.msi", ALPHA_CODE, 0x00010002, 0x00030004, flags};
}

PackageSpec Beta(DWORD flags)
{
    return {"MSI01", L"Beta.msi", BETA_CODE, 0x00020000, 0x00000000, flags};
}

// EXE00: a program that is not there and can be removed again (/uninstall
// /quiet); EXE01: one that is there; EXE02: one that is not there, permanent.
PackageSpec Program(DWORD flags, const char* resourceName = "EXE00")
{
    return {resourceName, L"Prereq.exe", GUID{}, 0x00010000, 0x00000000, PKG_PROGRAM | flags};
}

std::vector<Scenario> Scenarios()
{
    const std::vector<TransformSpec> german = {{"MST00", GERMAN}};
    const std::vector<CabinetSpec> cabinets = {{"CAB00", 0, L"data1.cab"}, {"CAB01", 1, L"data2.cab"}};
    const std::wstring alphaFolder = L"common\\Applications\\Cache\\" + GuidText(ALPHA_CODE) + L"v1.2.3.4";
    return {
        {"setup of a registered bundle, a cached prerequisite, cached package with its transform", Mode::Setup,
         L"/lang 1031 /quiet",
         {Program(PKG_PER_MACHINE | PKG_CACHE), Alpha(PKG_PER_MACHINE | PKG_CACHE | PKG_APPLY_TRANSFORM | PKG_KEEP_UI_LEVEL),
          Beta(PKG_KEEP_UI_LEVEL | PKG_HIDDEN)},
         german, 0, {}, {}, TokenAnswer::Real, 0, {}, {}, {}, true},
        {"setup, cached package then a transform beside a staged one, each with a cabinet, logged in a trusted folder",
         Mode::Setup, L"/lang 1031 /passive /norestart /log {TEMP}run.log",
         {Alpha(PKG_PER_MACHINE | PKG_CACHE | PKG_CABINETS), Beta(PKG_APPLY_TRANSFORM | PKG_KEEP_UI_LEVEL | PKG_CABINETS)},
         german, 0, {}, {}, TokenAnswer::Elevated, 0, {L"common\\Applications"}, {}, {L"tmp"}, false, cabinets},
        {"setup started unelevated, handed to an elevated copy", Mode::Setup,
         L"/lang 1031 /passive /log {TEMP}run.log", {Alpha(PKG_PER_MACHINE | PKG_CACHE), Beta(0)}, german, 3010, {}, {},
         TokenAnswer::NotElevated, 3010},
        {"setup, the last package's failure tolerated", Mode::Setup, L"/quiet",
         {Beta(PKG_PER_MACHINE | PKG_CACHE), Alpha(PKG_CACHE | PKG_IGNORE_FAILURE)}, {}, 1,
         {{&ALPHA_CODE, 1603}}},
        {"setup, the first package asks for a restart", Mode::Setup, L"/quiet",
         {Alpha(PKG_KEEP_UI_LEVEL), Beta(PKG_KEEP_UI_LEVEL)}, {}, 3010, {{&ALPHA_CODE, 3010}}},
        {"setup, an upgrade the entry does not allow", Mode::Setup, L"/lang 1031",
         {Beta(PKG_CACHE | PKG_APPLY_TRANSFORM), Alpha(PKG_CACHE)}, german, 1638, {},
         {{GuidText(ALPHA_CODE), L"1.2.0.0"}}},
        {"/uninstall of a registered bundle", Mode::Setup, L"/uninstall /passive",
         {Alpha(PKG_CACHE | PKG_KEEP_UI_LEVEL), Beta(PKG_KEEP_UI_LEVEL)}, {}, 0, {},
         {{GuidText(ALPHA_CODE), L"1.2.3.4"}, {GuidText(BETA_CODE), L"2.0.0.0"}}, TokenAnswer::Real, 0,
         {L"local\\Applications", L"local\\Applications\\Cache", SUITE_COPY}, {SUITE_COPY + L"\\fault_tests.exe"}, {}, true},
        {"/extract", Mode::Extract, L"/extract {OUT}\\pkgs", {Alpha(PKG_CABINETS), Program(0), Beta(PKG_CABINETS)}, german, 0,
         {}, {}, TokenAnswer::Real, 0, {}, {}, {}, false, {cabinets[0], {"CAB01", 2, L"data2.cab"}}},
        {"/o1", Mode::ExtractFirst, L"/o1 {OUT}\\first.msi", {Program(0), Alpha(0), Beta(0)}, {}},
        {"/?", Mode::Help, L"/?", {Alpha(0)}, {}},
        {"setup, a prerequisite removed again after a failing package", Mode::Setup, L"/passive",
         {Program(0), Alpha(0)}, {}, 1603, {{&ALPHA_CODE, 1603}}},
        {"setup, the cached copies and their cabinets there already", Mode::Setup, L"/quiet",
         {Alpha(PKG_PER_MACHINE | PKG_CACHE | PKG_CABINETS)}, {}, 0, {}, {{GuidText(ALPHA_CODE), L"1.2.3.4"}}, TokenAnswer::Real, 0,
         {L"common\\Applications", L"common\\Applications\\Cache", alphaFolder},
         {alphaFolder + L"\\" + GuidText(ALPHA_CODE) + L"v1.2.3.4.msi", alphaFolder + L"\\data1.cab"},
         {L"common\\Applications", L"common\\Applications\\Cache", alphaFolder}, false, {cabinets[0]}},
    };
}

bool IsFailureExit(int exitCode)
{
    return exitCode != 0 && exitCode != 1 && exitCode != 3010 && exitCode != 3011 && exitCode != 1641;
}

struct OpStats {
    unsigned injected = 0;
    unsigned failed = 0;
    unsigned tolerated = 0;
};

std::wstring Replace(std::wstring text, const std::wstring& what, const std::wstring& with)
{
    for (size_t at = text.find(what); at != std::wstring::npos; at = text.find(what, at + with.size())) {
        text.replace(at, what.size(), with);
    }
    return text;
}

// "VVVVVVVV-IIIIIIIIIIIIIIII", as an elevated copy is told its program file.
std::wstring FileIdentity(const std::wstring& path)
{
    BY_HANDLE_FILE_INFORMATION information = {};
    HANDLE file = ::CreateFileW(path.c_str(), FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                nullptr, OPEN_EXISTING, 0, nullptr);
    ::GetFileInformationByHandle(file, &information);
    ::CloseHandle(file);
    WCHAR text[32];
    swprintf(text, 32, L"%08lX-%08lX%08lX", information.dwVolumeSerialNumber, information.nFileIndexHigh,
             information.nFileIndexLow);
    return text;
}

// "...\SETUP-0123456789ABCDEF..." as "...\SETUP-*...".
// The random digits of the folders the run names itself, as "*".
std::wstring WithoutRandomDigits(std::wstring path)
{
    for (const std::wstring prefix : {L"\\SETUP-", L"\\APPLICATIONS-", L"\\CACHE-"}) {
        const size_t at = path.find(prefix);
        if (at != std::wstring::npos && path.size() >= at + prefix.size() + 16) path.replace(at + prefix.size(), 16, L"*");
    }
    return path;
}

// A folder that cannot be told to be the program's own is passed over for
// one of its own beside it ("APPLICATIONS-*", "CACHE-*"): what matters is
// what lies in it.
std::wstring AsOwnFolders(const std::wstring& entry)
{
    return Replace(Replace(WithoutRandomDigits(entry), L"\\APPLICATIONS-*\\", L"\\APPLICATIONS\\"), L"\\CACHE-*\\",
                   L"\\CACHE\\");
}

std::wstring FolderOf(const std::wstring& path)
{
    const size_t slash = path.find_last_of(L"\\/");
    return slash == std::wstring::npos ? std::wstring() : path.substr(0, slash + 1);
}

// The run's own log in the sandbox's temporary folder, named after this
// executable; empty when there is none.
std::string BundleLog(const Sandbox& box)
{
    std::string content;
    for (const std::wstring& entry : box.Snapshot()) {
        if (IsRunLogEntry(entry) && entry.find(L"\\FAULT_TESTS_") != std::wstring::npos) ReadWholeFile(box.root + entry, &content);
    }
    return content;
}

size_t Occurrences(const std::string& text, const std::string& what)
{
    size_t count = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++count;
    return count;
}

bool IsRemoval(const InstallerCall& call)
{
    return call.ordinal == MSI_CONFIGURE_PRODUCT_EX ||
           (call.ordinal == MSI_INSTALL_PRODUCT && call.commandLine.find(L"REMOVE=ALL") != std::wstring::npos);
}

class FaultRunner {
public:
    explicit FaultRunner(const Scenario& scenario)
        : scenario_(scenario), box_(L"faultbox")
    {
        std::vector<BYTE> bytes = BuildManifest(scenario.packages, scenario.transforms);
        bytes[3] = scenario.bundleFlags;
        Fault.manifestOverride = manifest_.Assign(bytes.data(), bytes.size());
        Fault.manifestOverrideSize = static_cast<DWORD>(bytes.size());
        if (!scenario.cabinets.empty()) {
            const std::vector<BYTE> list = BuildCabinets(scenario.cabinets);
            Fault.cabinetsOverride = cabinets_.Assign(list.data(), list.size());
            Fault.cabinetsOverrideSize = static_cast<DWORD>(list.size());
        }
        Fault.tokenElevation = scenario.token;
        Fault.elevatedCopyExitCode = scenario.elevatedCopyExit;
        Fault.installerResult = [this](const InstallerCall& call) { return CheckRequest(call); };
        box_.PointProgramHere();
        for (const std::wstring& folder : scenario.trusted) Fault.folderSecurity[box_.root + folder] = SYSTEM_PROTECTED;
        commandLine_ = L"setup.exe " + Replace(Replace(scenario.arguments, L"{TEMP}", box_.temp), L"{OUT}", box_.out);
        if (scenario.registered) {
            BundleRegistration& record = *reinterpret_cast<BundleRegistration*>(registration_.data());
            record.size = sizeof(BundleRegistration);
            record.upgradeCode = BETA_CODE;
            record.bundleCode = SUITE_CODE;
            lstrcpyW(record.displayName, L"Fault Suite");
            Fault.registrationOverride = registration_.data();
            Fault.registrationOverrideSize = sizeof(BundleRegistration);
            WCHAR self[MAX_PATH] = {};
            ::GetModuleFileNameW(nullptr, self, MAX_PATH);
            ReadWholeFile(self, &self_);
        }
        alpha_ = ResourceBytes("MSI00");
        beta_ = ResourceBytes("MSI01");
        german_ = ResourceBytes("MST00");
        program_ = ResourceBytes("EXE00");
        for (const CabinetSpec& cabinet : scenario.cabinets) {
            cabinetBytes_[cabinet.resourceName] = ResourceBytes(cabinet.resourceName.c_str());
        }
    }

    ~FaultRunner()
    {
        Fault.manifestOverride = nullptr;
        Fault.cabinetsOverride = nullptr;
        Fault.cabinetsOverrideSize = 0;
        Fault.registrationOverride = nullptr;
        Fault.installerResult = nullptr;
        Fault.writeRoots.clear();
        Fault.tempPath.clear();
        Fault.commonAppData.clear();
        Fault.localAppData.clear();
        Fault.windowsFolder.clear();
        Fault.substDrives.clear();
        Fault.randomValues.clear();
        Fault.holdFindsAnotherFileOf.clear();
        Fault.programFileReplaced = false;
        Fault.commandLine.clear();
        Fault.tokenElevation = TokenAnswer::Real;
        Fault.elevationDeclined = false;
        Fault.elevatedCopyExitCode = 0;
        Fault.folderSecurity.clear();
        Fault.reparsePoints.clear();
        Fault.finalPaths.clear();
        Fault.networkDrives.clear();
    }

    int Run(int op, unsigned at, bool persistent)
    {
        box_.Clear();
        ::CreateDirectoryW(box_.out.c_str(), nullptr);
        for (const std::wstring& folder : scenario_.folders) ::CreateDirectoryW((box_.root + folder).c_str(), nullptr);
        for (const std::wstring& file : scenario_.files) {
            const std::string* payload = PayloadOf(file);
            WriteWholeFile(box_.root + file, payload ? *payload : std::string("x"));
        }
        requestProblems_.clear();
        Fault.installedVersions = scenario_.installed;
        for (HKEY hive : {HKEY_LOCAL_MACHINE, HKEY_CURRENT_USER}) ::RegDeleteKeyExW(hive, SUITE_KEY.c_str(), KEY_WOW64_64KEY, 0);
        ::RegDeleteKeyExW(HKEY_LOCAL_MACHINE, OWNED_FOLDERS_KEY, KEY_WOW64_64KEY, 0);   // every run starts unrecorded
        if (scenario_.registered && IsRemovalScenario()) {
            HKEY key = nullptr;
            ::RegCreateKeyExW(EntryHive(), SUITE_KEY.c_str(), 0, nullptr, 0, KEY_SET_VALUE | KEY_WOW64_64KEY, nullptr, &key, nullptr);
            ::RegCloseKey(key);
        }
        FaultBeginRun();
        if (op >= 0) FaultArm(op, at, persistent);
        Fault.commandLine = commandLine_;
        context_ = std::string(scenario_.name) + ": " + (op >= 0 ? FaultInfo(op).name : "no fault") +
                   " call " + std::to_string(at) + (persistent ? " onwards" : "");
        SetCrashContext(context_);
        return SetupMain(::GetModuleHandleW(nullptr));
    }

    // Remembers what the run without a fault left and asked for.
    void TakeBaseline()
    {
        baselineFiles_ = NormalizedFiles();
        baselineJournal_ = JournalSignature();
        baselineListings_ = Fault.productListings;
    }

    // All that is wrong with the run just made; empty when it was clean.
    std::vector<std::string> Problems(int exitCode, int op)
    {
        std::vector<std::string> problems = BookProblems();
        const bool asWithoutFault = exitCode == scenario_.exitCode;
        if (op >= 0 && FaultReached()) {
            const FaultOpInfo& info = FaultInfo(op);
            const int failureExit = static_cast<int>(info.failure & 0xFFFF);
            if (info.reaction == FaultReaction::Ignored && !asWithoutFault) {
                problems.push_back("a failure that must be ignored ended the run with exit code " + std::to_string(exitCode));
            }
            if (info.reaction == FaultReaction::Fails && !asWithoutFault && exitCode != failureExit) {
                problems.push_back("exit code " + std::to_string(exitCode) + ", expected " + std::to_string(failureExit) +
                                   " (" + Hex(info.failure) + ") or " + std::to_string(scenario_.exitCode));
            }
        } else if (!asWithoutFault) {
            problems.push_back("the run without a fault ended with exit code " + std::to_string(exitCode));
        }
        // The entry is written by a run that succeeds and removed by a removal
        // that succeeds; a run that fails leaves it as it was. A failed lookup
        // of the bundle's record is a bundle without one.
        if (scenario_.registered) {
            const bool expected = Fault.registrationLookupFailed ? IsRemovalScenario() : asWithoutFault != IsRemovalScenario();
            if (EntryThere() != expected) problems.push_back(EntryThere() ? "the entry is there" : "the entry is missing");
            if (op < 0 && IsRemovalScenario() && ::GetFileAttributesW((box_.root + SUITE_COPY).c_str()) != INVALID_FILE_ATTRIBUTES) {
                problems.push_back("the bundle's copy is left");
            }
        }
        for (const std::string& problem : requestProblems_) problems.push_back(problem);
        if (Fault.calls[FAULT_TEMP_PATH] != Fault.tempPath2Calls) {
            problems.push_back("the temporary folder asked of GetTempPathW although GetTempPath2W is there");
        }
        if (!Fault.shellExecutes.empty() && (Fault.fileTouches != 0 || Fault.installerSettings != 0)) {
            problems.push_back("written or installed although an elevated copy was asked for");
        }
        if (Fault.logFaults != 0 && Fault.logFaults == Fault.injected && !asWithoutFault) {
            problems.push_back("a log that could not be written changed the outcome: exit code " + std::to_string(exitCode));
        }
        CheckPayloadFiles(&problems);
        // A fresh install stays after a failure, with its cached copies, when
        // the products known before its call could not be listed, or when its
        // removal failed.
        const bool unlisted = Fault.productListings < baselineListings_;
        const bool productKept = unlisted || ProgramRemovalsMissed() ||
                                 std::any_of(Fault.journal.begin(), Fault.journal.end(), [](const InstallerCall& call) {
                                     return IsRemoval(call) && call.result != 0;
                                 });
        if (asWithoutFault && !productKept && !Fault.registrationLookupFailed) {
            // It must have done and left exactly what the run without a fault did.
            if (NormalizedFiles() != baselineFiles_) problems.push_back("files differ from the run without a fault: " + Listing(NormalizedFiles()));
            if (JournalSignature() != baselineJournal_) problems.push_back("installer requests differ from the run without a fault");
        } else if (!asWithoutFault) {
            CheckFailureLeftovers(&problems, productKept);
        }
        if (scenario_.mode == Mode::Setup && IsFailureExit(exitCode) && !unlisted) {
            CheckRemovals(&problems);
        }
        if (scenario_.mode != Mode::Setup && !Fault.journal.empty()) {
            problems.push_back("the installer was called outside a setup run");
        }
        if (scenario_.mode == Mode::Help && exitCode == 0 && Fault.boxes.size() != 1) {
            problems.push_back("help shown " + std::to_string(Fault.boxes.size()) + " times");
        }
        if (scenario_.mode == Mode::Help && exitCode != 0 && !Fault.boxes.empty()) {
            problems.push_back("a box was shown although help failed");
        }
        return problems;
    }

    bool IsRemovalScenario() const { return scenario_.arguments.find(L"/uninstall") != std::wstring::npos; }
    HKEY EntryHive() const
    {
        const bool perMachine = std::any_of(scenario_.packages.begin(), scenario_.packages.end(),
                                            [](const PackageSpec& package) { return package.flags & PKG_PER_MACHINE; });
        return perMachine ? HKEY_LOCAL_MACHINE : HKEY_CURRENT_USER;
    }
    bool EntryThere() const
    {
        HKEY key = nullptr;
        const bool there = ::RegOpenKeyExW(EntryHive(), SUITE_KEY.c_str(), 0, KEY_READ | KEY_WOW64_64KEY, &key) == ERROR_SUCCESS;
        if (key) ::RegCloseKey(key);
        return there;
    }

    // Program removals of the run without a fault that did not end here with
    // their exit code read: the program may still be there, like a product
    // whose removal failed.
    bool ProgramRemovalsMissed() const
    {
        const auto isRemoval = [](const std::string& text) { return text.find("/uninstall") != std::string::npos; };
        const auto removed = std::count_if(Fault.processStarts.begin(), Fault.processStarts.end(),
                                           [&](const ProcessStart& start) {
                                               return start.codeRead && isRemoval(Narrow(start.commandLine));
                                           });
        return std::count_if(baselineJournal_.begin(), baselineJournal_.end(), isRemoval) > removed;
    }

    const std::string& Context() const { return context_; }
    int ExpectedExit() const { return scenario_.exitCode; }
    const Sandbox& Box() const { return box_; }
    const std::vector<std::string>& RequestProblems() const { return requestProblems_; }

private:
    const std::string* PayloadOf(const std::wstring& path) const
    {
        const std::wstring upper = Upper(path);
        for (const CabinetSpec& cabinet : scenario_.cabinets) {
            if (EndsWith(upper, L"\\" + Upper(cabinet.fileName))) return &cabinetBytes_.at(cabinet.resourceName);
        }
        if (upper.find(Upper(GuidText(ALPHA_CODE))) != std::wstring::npos || EndsWith(upper, L"\\ALPHA.MSI") ||
            EndsWith(upper, L"\\FIRST.MSI")) {
            return &alpha_;
        }
        if (upper.find(Upper(GuidText(BETA_CODE))) != std::wstring::npos || EndsWith(upper, L"\\BETA.MSI")) {
            return &beta_;
        }
        if (EndsWith(upper, L"\\FAULT_TESTS.EXE")) return &self_;   // a registered bundle's copy of itself
        return EndsWith(upper, L"\\PREREQ.EXE") ? &program_ : nullptr;
    }

    // The stand-in installer: a request must name a complete package, and a
    // transform named with "@" must lie beside it.
    UINT CheckRequest(const InstallerCall& call)
    {
        if (call.ordinal != MSI_INSTALL_PRODUCT && call.ordinal != MSI_APPLY_PATCH) return 0;
        const std::string* payload = PayloadOf(call.target);
        std::string content;
        if (payload == nullptr || !ReadWholeFile(call.target, &content) || content != *payload) {
            requestProblems_.push_back("installer given a missing or damaged package: " + Narrow(call.target));
        }
        const std::wstring mark = L" TRANSFORMS=@";
        const size_t at = call.commandLine.find(mark);
        if (at != std::wstring::npos) {
            std::wstring name = call.commandLine.substr(at + mark.size());
            name = name.substr(0, name.find(L' '));
            // Package and transform always share a cache folder.
            if (!ReadWholeFile(FolderOf(call.target) + name, &content)) {
                requestProblems_.push_back("transform not found beside the package: " + Narrow(name));
            } else if (content != german_) {
                requestProblems_.push_back("damaged transform: " + Narrow(name));
            }
        }
        // The package's cabinets lie beside it, whole.
        for (const CabinetSpec& cabinet : scenario_.cabinets) {
            const std::string& owner = scenario_.packages[cabinet.packageIndex].resourceName;
            if (payload != (owner == "MSI00" ? &alpha_ : &beta_)) continue;
            const std::string& bytes = cabinetBytes_.at(cabinet.resourceName);
            if (!ReadWholeFile(FolderOf(call.target) + cabinet.fileName, &content) || content != bytes) {
                requestProblems_.push_back("cabinet missing or damaged beside the package: " + Narrow(cabinet.fileName));
            }
        }
        for (const ScriptedResult& scripted : scenario_.installerResults) {
            if (payload == (scripted.product == &ALPHA_CODE ? &alpha_ : &beta_)) return scripted.result;
        }
        if (IsRemoval(call)) {
            const std::wstring code = GuidText(payload == &alpha_ ? ALPHA_CODE : BETA_CODE);
            auto& installed = Fault.installedVersions;
            installed.erase(std::remove_if(installed.begin(), installed.end(), [&code](const auto& product) {
                return product.first == code;
            }), installed.end());
        }
        return 0;
    }

    // Every file the run left, with what may differ between two clean runs taken
    // out: installer logs, folders, the cache folder a move fell back to, and
    // files whose deletion a fault refused.
    std::set<std::wstring> NormalizedFiles() const
    {
        const std::wstring root = Upper(box_.root);
        std::set<std::wstring> files;
        for (std::wstring entry : box_.Snapshot()) {
            if (EndsWith(entry, L"\\") || Fault.refusedDeletes.count(root + entry)) continue;
            if (IsRunLogEntry(entry)) continue;
            // A removal deletes the bundle's copy as it deletes cached packages: as
            // far as it can, without failing over it.
            if (IsRemovalScenario() && StartsWith(entry, Upper(SUITE_COPY))) continue;
            for (const wchar_t* cache : {L"COMMON\\", L"LOCAL\\"}) {
                if (StartsWith(entry, cache)) entry = L"APPDATA\\" + entry.substr(wcslen(cache));
            }
            files.insert(AsOwnFolders(entry));
        }
        return files;
    }

    static std::string Listing(const std::set<std::wstring>& files)
    {
        std::string text;
        for (const std::wstring& file : files) text += Narrow(file) + " ";
        return text;
    }

    std::vector<std::string> JournalSignature() const
    {
        std::vector<std::string> signature;
        for (const InstallerCall& call : Fault.journal) {
            const std::string* payload = PayloadOf(call.target);
            signature.push_back(std::to_string(call.ordinal) + (IsRemoval(call) ? " remove " : " install ") +
                                (payload == &alpha_ ? "alpha" : payload == &beta_ ? "beta" : "?") +
                                (IsRemoval(call) ? "" : " -> " + std::to_string(call.result)));
        }
        for (const ProcessStart& start : Fault.processStarts) signature.push_back("start " + Narrow(start.commandLine));
        return signature;
    }

    // A package or cabinet file anywhere in the sandbox is the whole one.
    void CheckPayloadFiles(std::vector<std::string>* problems) const
    {
        for (const std::wstring& entry : box_.Snapshot()) {
            if (!EndsWith(entry, L".MSI") && !EndsWith(entry, L".EXE") && !EndsWith(entry, L".CAB")) continue;
            const std::string* payload = PayloadOf(entry);
            std::string content;
            if (payload == nullptr || !ReadWholeFile(box_.root + entry, &content) || content != *payload) {
                problems->push_back("a package file is not the whole package: " + Narrow(entry));
            }
        }
    }

    // After a failure: no staged or cached package and no temporary transform;
    // extracted packages stay (in order), the single /o1 file does not.
    void CheckFailureLeftovers(std::vector<std::string>* problems, bool productKept) const
    {
        const std::wstring root = Upper(box_.root);
        for (const std::wstring& entry : box_.Snapshot()) {
            if (EndsWith(entry, L"\\") || IsRunLogEntry(entry) || Fault.refusedDeletes.count(root + entry)) continue;
            const bool inCache = StartsWith(AsOwnFolders(entry), L"COMMON\\APPLICATIONS\\CACHE\\") ||
                                 StartsWith(entry, L"LOCAL\\APPLICATIONS\\CACHE\\");
            if (inCache && (EndsWith(entry, L".MST") || productKept)) continue;   // cached transforms stay
            if (IsRemovalScenario() && StartsWith(entry, Upper(SUITE_COPY))) continue;   // with the entry
            // A cached program stays with what it may have installed.
            if (inCache && EndsWith(entry, L".EXE") && !Fault.processStarts.empty()) continue;
            if (scenario_.mode == Mode::Extract && (entry == L"OUT\\PKGS\\ALPHA.MSI" || entry == L"OUT\\PKGS\\PREREQ.EXE" ||
                                                    entry == L"OUT\\PKGS\\BETA.MSI" || entry == L"OUT\\PKGS\\DATA1.CAB")) {
                continue;
            }
            if (scenario_.files.end() != std::find_if(scenario_.files.begin(), scenario_.files.end(),
                                                      [&entry](const std::wstring& file) { return Upper(file) == entry; })) {
                continue;   // there before the run
            }
            problems->push_back("left behind: " + Narrow(entry));
        }
        const std::vector<std::wstring> files = box_.Snapshot();
        const auto has = [&files](const wchar_t* entry) { return std::find(files.begin(), files.end(), entry) != files.end(); };
        if (has(L"OUT\\PKGS\\BETA.MSI") && !has(L"OUT\\PKGS\\ALPHA.MSI")) {
            problems->push_back("the second package was extracted without the first");
        }
    }

    void CheckRemovals(std::vector<std::string>* problems) const
    {
        for (size_t i = 0; i < Fault.journal.size(); ++i) {
            const InstallerCall& call = Fault.journal[i];
            if (IsRemoval(call) || call.result != 0) continue;
            const std::string* installed = PayloadOf(call.target);
            bool removed = false;
            for (size_t j = i + 1; j < Fault.journal.size() && !removed; ++j) {
                removed = IsRemoval(Fault.journal[j]) && PayloadOf(Fault.journal[j].target) == installed;
            }
            if (!removed) problems->push_back("package installed earlier was not asked to be removed: " + Narrow(call.target));
        }
    }

    const Scenario& scenario_;
    Sandbox box_;
    std::set<std::wstring> baselineFiles_;
    std::vector<std::string> baselineJournal_;
    unsigned baselineListings_ = 0;
    GuardedBytes manifest_;
    std::wstring commandLine_;
    GuardedBytes cabinets_;
    std::string alpha_, beta_, german_, program_, self_;
    std::map<std::string, std::string> cabinetBytes_;   // by resource name
    std::vector<BYTE> registration_ = std::vector<BYTE>(sizeof(BundleRegistration));
    std::vector<std::string> requestProblems_;
    std::string context_;
};

unsigned TotalInjected = 0;
unsigned TotalRuns = 0;

void Report(const std::string& context, const std::vector<std::string>& problems, unsigned* reported)
{
    for (const std::string& problem : problems) {
        if (++*reported <= 40) ADD_FAILURE() << context << ": " << problem;
    }
}

void Count(FaultRunner& runner, int op, int exitCode, std::map<int, OpStats>* stats, unsigned* reported)
{
    OpStats& counted = (*stats)[op];
    ++counted.injected;
    ++TotalInjected;
    ++(exitCode == runner.ExpectedExit() ? counted.tolerated : counted.failed);
    Report(runner.Context(), runner.Problems(exitCode, op), reported);
}

// msi.dll stays loaded once a run has loaded it, so the faults of its loading
// are injected before the first run of the process that succeeds in it.
void InjectInstallerLoadFaults(FaultRunner& runner, std::map<int, OpStats>* stats, unsigned* reported)
{
    static bool done = false;
    if (done) return;
    done = true;
    // The load with the search flags refused, then the one by full path too.
    int exitCode = runner.Run(FAULT_LOAD_LIBRARY, 1, true);
    ++TotalRuns;
    if (FaultReached()) Count(runner, FAULT_LOAD_LIBRARY, exitCode, stats, reported);
    // On a system without the search flags: each operation missing in turn,
    // then a run that loads the installer by its full path.
    Fault.searchFlagsRefused = true;
    for (unsigned at = 1; at < 100; ++at) {
        exitCode = runner.Run(FAULT_PROC_ADDRESS, at, false);
        ++TotalRuns;
        if (!FaultReached()) {
            runner.TakeBaseline();   // the first clean run of the process
            Report(runner.Context(), runner.Problems(exitCode, -1), reported);
            break;
        }
        Count(runner, FAULT_PROC_ADDRESS, exitCode, stats, reported);
    }
    Fault.searchFlagsRefused = false;
}

// Makes the k-th call of each operation fail, k = 1, 2, ... until a run does not
// reach the fault; once with a single failing call, once with every call from
// the k-th on failing.
void InjectEveryFault(const Scenario& scenario)
{
    FaultRunner runner(scenario);
    unsigned reported = 0;
    std::map<int, OpStats> stats;
    if (scenario.mode == Mode::Setup) {
        InjectInstallerLoadFaults(runner, &stats, &reported);
    }
    runner.Run(-1, 0, false);   // first run: settles anything done once per process
    int exitCode = runner.Run(-1, 0, false);
    runner.TakeBaseline();
    Report(runner.Context(), runner.Problems(exitCode, -1), &reported);
    unsigned baseline[FAULT_OP_COUNT];
    std::copy(std::begin(Fault.calls), std::end(Fault.calls), baseline);
    const size_t sitesBefore = FaultSitesReached().size();

    for (bool persistent : {false, true}) {
        for (int op = 0; op < FAULT_OP_COUNT; ++op) {
            // An operation the run without a fault never calls is not reached
            // with only that operation armed either: the run takes the same path.
            if (0 == baseline[op]) continue;
            for (unsigned at = 1; at < 100000; ++at) {
                exitCode = runner.Run(op, at, persistent);
                ++TotalRuns;
                if (!FaultReached()) {
                    Report(runner.Context(), runner.Problems(exitCode, -1), &reported);
                    break;
                }
                Count(runner, op, exitCode, &stats, &reported);
                if (persistent && FaultInfo(op).reaction != FaultReaction::Fails) break;
            }
        }
    }

    std::printf("[ figures  ] %s: calls without fault / faults injected / runs failed / runs that ended as without the fault\n",
                scenario.name);
    for (const auto& entry : stats) {
        std::printf("[ figures  ]   %-28s %5u %6u %6u %6u\n", FaultInfo(entry.first).name, baseline[entry.first],
                    entry.second.injected, entry.second.failed, entry.second.tolerated);
    }
    std::printf("[ figures  ]   new failure sites reached: %zu\n", FaultSitesReached().size() - sitesBefore);
}

} // namespace

const Scenario& ScenarioAt(size_t index)
{
    static const std::vector<Scenario> scenarios = Scenarios();
    return scenarios[index];
}

TEST(FaultInjection, SetupWithCachedPrerequisiteAndPackageWithTransform) { InjectEveryFault(ScenarioAt(0)); }
TEST(FaultInjection, SetupWithTransformBesideStagedPackage) { InjectEveryFault(ScenarioAt(1)); }
TEST(FaultInjection, SetupHandedToElevatedCopy) { InjectEveryFault(ScenarioAt(2)); }
TEST(FaultInjection, SetupWithToleratedFailure) { InjectEveryFault(ScenarioAt(3)); }
TEST(FaultInjection, SetupWithRestart) { InjectEveryFault(ScenarioAt(4)); }
TEST(FaultInjection, SetupWithRefusedUpgrade) { InjectEveryFault(ScenarioAt(5)); }
TEST(FaultInjection, Uninstall) { InjectEveryFault(ScenarioAt(6)); }
TEST(FaultInjection, Extract) { InjectEveryFault(ScenarioAt(7)); }
TEST(FaultInjection, ExtractFirst) { InjectEveryFault(ScenarioAt(8)); }
TEST(FaultInjection, Help) { InjectEveryFault(ScenarioAt(9)); }
TEST(FaultInjection, SetupWithPrerequisiteRemovedAgain) { InjectEveryFault(ScenarioAt(10)); }
TEST(FaultInjection, SetupWithCachedCabinetsThereAlready) { InjectEveryFault(ScenarioAt(11)); }

// Who asks for an elevated copy, with the token's answer and the prompt's
// outcome played by the shim: only a setup run with a per-machine package,
// unelevated, not /quiet, and not itself the copy. The copy is the program's
// own file by its final path, held until the copy has ended, with its identity
// and the arguments exactly as given behind the copy's marker, in the current
// folder as the copy can reach it (a network drive by its server's name, a
// SUBST drive by the folder it stands for); nothing is written before it, and
// its exit code is the run's (1602 when the prompt is declined). A copy runs
// only from the file of that identity. Every run first asks for redirection trust.
TEST(Elevation, OnlyAnUnelevatedSetupOfAPerMachinePackageThatMayPromptAsks)
{
    struct Case {
        const char* name;
        Mode mode;
        std::wstring arguments;   // {ID} stands for the identity of the test program's file
        DWORD flags;
        TokenAnswer token;
        bool declined;
        DWORD copyExit;
        int exitCode;
        bool asks;
        std::wstring server = {};   // the build's drive is a network drive of this name
        std::wstring subst = {};    // the build's drive is a SUBST drive of this folder
        std::vector<PackageSpec> entries = {};   // instead of Alpha with the flags
    };
    const TokenAnswer unelevated = TokenAnswer::NotElevated;
    const Case cases[] = {
        {"unelevated", Mode::Setup, L"/msicl \"A=1  B=2\"   /passive /log {TEMP}run.log", PKG_PER_MACHINE, unelevated,
         false, 3010, 3010, true},
        {"unelevated, no switches, the copy ends with 1", Mode::Setup, L"", PKG_PER_MACHINE, unelevated, false, 1, 1, true},
        {"unelevated, the copy succeeds", Mode::Setup, L"/uninstall", PKG_PER_MACHINE, unelevated, false, 0, 0, true},
        {"prompt declined", Mode::Setup, L"/passive", PKG_PER_MACHINE, unelevated, true, 0, 1602, true},
        {"started from a network drive", Mode::Setup, L"/passive", PKG_PER_MACHINE, unelevated, false, 0, 0, true,
         L"\\\\server\\share"},
        {"started from a SUBST drive", Mode::Setup, L"/passive", PKG_PER_MACHINE, unelevated, false, 0, 0, true, L"",
         L"D:\\real folder"},
        {"a network drive without a server's name", Mode::Setup, L"", PKG_PER_MACHINE, unelevated, false, 0, 1203, false,
         L""},
        {"the same, unattended", Mode::Setup, L"/passive", PKG_PER_MACHINE, unelevated, false, 0, 1203, false, L""},
        {"the copy itself, still not elevated", Mode::Setup, L"/elevatedcopy {ID} /passive", PKG_PER_MACHINE, unelevated,
         false, 0, 0, false},
        {"a copy started from another file", Mode::Setup, L"/elevatedcopy 00000000-0000000000000000 /passive",
         PKG_PER_MACHINE, TokenAnswer::Elevated, false, 0, 1392, false},
        {"/quiet", Mode::Setup, L"/quiet", PKG_PER_MACHINE, unelevated, false, 0, 0, false},
        {"no per-machine package", Mode::Setup, L"/passive", PKG_CACHE, unelevated, false, 0, 0, false},
        {"a per-machine package for the other kind of Windows", Mode::Setup, L"/passive",
         PKG_PER_MACHINE | PKG_32BIT_WINDOWS_ONLY, unelevated, false, 0, 0, false},
        {"already elevated", Mode::Setup, L"", PKG_PER_MACHINE, TokenAnswer::Elevated, false, 0, 0, false},
        {"/?", Mode::Help, L"/?", PKG_PER_MACHINE, unelevated, false, 0, 0, false},
        {"/extract", Mode::Extract, L"/extract {OUT}\\pkgs", PKG_PER_MACHINE, unelevated, false, 0, 0, false},
        {"/o1", Mode::ExtractFirst, L"/o1 {OUT}\\first.msi", PKG_PER_MACHINE, unelevated, false, 0, 0, false},
        {"a prerequisite for all users that is not there", Mode::Setup, L"/passive", 0, unelevated, false, 0, 0, true,
         L"", L"", {Program(PKG_PER_MACHINE), Alpha(0)}},
        {"one that is there", Mode::Setup, L"/passive", 0, unelevated, false, 0, 0, false, L"", L"",
         {Program(PKG_PER_MACHINE, "EXE01"), Alpha(0)}},
    };
    WCHAR program[MAX_PATH] = {};
    WCHAR folder[MAX_PATH] = {};
    ::GetModuleFileNameW(nullptr, program, MAX_PATH);
    ::GetCurrentDirectoryW(MAX_PATH, folder);
    ASSERT_EQ(program[0], folder[0]) << "the test program runs from its build folder";
    const wchar_t drive = static_cast<wchar_t>(towupper(program[0]));
    const std::wstring identity = FileIdentity(program);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const Scenario scenario{c.name, c.mode, Replace(c.arguments, L"{ID}", identity),
                                c.entries.empty() ? std::vector<PackageSpec>{Alpha(c.flags)} : c.entries, {},
                                c.exitCode, {}, {}, c.token, c.copyExit};
        FaultRunner runner(scenario);
        Fault.elevationDeclined = c.declined;
        const bool remote = c.server.size() || c.exitCode == 1203;
        const std::wstring reached = remote ? c.server : c.subst.size() ? c.subst : std::wstring(program, 2);
        if (remote) Fault.networkDrives[drive] = c.server;
        if (c.subst.size()) Fault.substDrives[drive] = c.subst;
        if (reached.size() > 2) Fault.finalPaths[program] = (remote ? L"\\\\?\\UNC" + reached.substr(1) : L"\\\\?\\" + reached) + (program + 2);
        EXPECT_EQ(c.exitCode, runner.Run(-1, 0, false));
        EXPECT_TRUE(BookProblems().empty());
        EXPECT_EQ((std::vector<std::pair<int, DWORD>>{{16, 1}}), Fault.mitigations);
        if (c.exitCode == 1203 || c.exitCode == 1392) {
            EXPECT_EQ(c.arguments.empty() ? 1u : 0u, Fault.boxes.size()) << "the error shown unless unattended";
            EXPECT_EQ(0u, Fault.fileTouches) << "nothing written, so nothing installed";
            continue;
        }
        ASSERT_EQ(c.asks ? 1u : 0u, Fault.shellExecutes.size());
        if (!c.asks) {
            const bool installs = c.mode == Mode::Setup && !(c.flags & PKG_32BIT_WINDOWS_ONLY);
            EXPECT_EQ(installs, !Fault.journal.empty()) << "the run goes on as started";
            continue;
        }
        EXPECT_EQ(L"runas", Fault.shellExecutes[0].verb);
        EXPECT_EQ(reached + (program + 2), Fault.shellExecutes[0].file);
        EXPECT_EQ(L"/elevatedcopy " + identity + L" " + Fault.commandLine.substr(wcslen(L"setup.exe ")),
                  Fault.shellExecutes[0].parameters);
        EXPECT_EQ(reached + (folder + 2), Fault.shellExecutes[0].directory);
        EXPECT_TRUE(Fault.programFileHeldAtStart) << "the program file is held while the copy starts";
        EXPECT_EQ(0u, Fault.fileTouches) << "written before the elevated copy";
        EXPECT_TRUE(Fault.journal.empty() && Fault.installerSettings == 0);
        // Its own log is written after the copy ended, property values left out.
        const std::string log = BundleLog(runner.Box());
        EXPECT_NE(std::string::npos, log.find("the elevated copy ended with " + std::to_string(c.exitCode))) << log;
        EXPECT_NE(std::string::npos, log.find("exit code " + std::to_string(c.exitCode) + "\r\n")) << log;
        EXPECT_EQ(std::string::npos, log.find("=1")) << log;
    }
}

// Wine keeps no descriptors, has no junctions and calls every token elevated,
// so the folders' trust is checked by what the program asks for and is told:
// the shim answers the owner, DACL, reparse and final-path queries and records
// the descriptors of the folders made. Alpha is cached with the run's
// transform, in its version's folder: in the all-users cache in an elevated
// run, per user otherwise. Without a record, Applications and Cache are the
// program's when it makes them, or when an earlier version made them
// protected as only administrators can; any other is passed over for a
// folder of the program's own under a name nobody could take first, and what
// lies in the program's own was made by it. Beta is staged in the run's own
// folder, under the Windows folder's Temp in an elevated run. Folders are
// named upper-case, as the records have them, and random digits as "*".
TEST(ProtectedFolders, MadeProtectedTrustedOnlyWhenOursAsTheyAre)
{
    const std::wstring made = L"O:BAD:PAI(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;0x1200a9;;;BU)";
    const std::wstring guarded = L"D:PAI(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;0x1200a9;;;BU)";
    const std::wstring bySystem = L"O:SY" + guarded, byAdministrators = L"O:BA" + guarded;
    const std::wstring byTrustedInstaller =
        L"O:S-1-5-80-956008885-3418522649-1831038044-1853292631-2271478464" + guarded + L"(A;OICIIO;FA;;;CO)";
    const std::wstring byOther = L"O:S-1-5-21-1-2-3-1001" + guarded;
    const std::wstring usersWrite = L"O:BA" + guarded + L"(A;;0x1301bf;;;BU)";
    const std::wstring usersWriteFiles = L"O:BA" + guarded + L"(A;OIIO;FA;;;BU)";
    const std::wstring noDacl = L"O:BA";
    const std::wstring apps = L"COMMON\\APPLICATIONS", cache = apps + L"\\CACHE", userCache = L"LOCAL\\APPLICATIONS\\CACHE";
    const std::wstring stage = L"WIN\\TEMP\\SETUP-*", userStage = L"TMP\\SETUP-*";
    // Alpha's version folder in either cache.
    const std::wstring version = L"\\" + Upper(GuidText(ALPHA_CODE)) + L"V1.2.3.4";
    const std::wstring alpha = cache + version, userAlpha = userCache + version;
    const std::wstring reparse = L"reparse", elsewhere = L"elsewhere", longer = L"longer", runningUser = L"";
    const TokenAnswer elevated = TokenAnswer::Elevated;
    struct Case {
        const char* name;
        TokenAnswer token;
        std::vector<std::pair<std::wstring, std::wstring>> existing;   // folder, SDDL or one of the words above
        std::set<std::wstring> madeProtected;
        std::wstring alphaIn;   // the folder Alpha is installed from
        std::wstring betaIn;
        unsigned namesTaken = 0;   // the staging folder's first random names are taken already
    };
    // A cache of the program's own beside another's, and one in an
    // Applications of its own beside another's.
    const std::wstring ownCache = apps + L"\\CACHE-*", ownApps = L"COMMON\\APPLICATIONS-*";
    const std::wstring inOwnCache = ownCache + version, inOwnApps = ownApps + L"\\CACHE" + version;
    const Case cases[] = {
        {"nothing there yet", elevated, {}, {apps, cache, stage}, alpha, stage + L"\\2"},
        {"SYSTEM's and the Administrators'", elevated, {{apps, bySystem}, {cache, byAdministrators}}, {stage},
         alpha, stage + L"\\2"},
        {"TrustedInstaller's, creators owning what they make", elevated, {{apps, bySystem}, {cache, byTrustedInstaller}},
         {stage}, alpha, stage + L"\\2"},
        {"the running user's", elevated, {{apps, bySystem}, {cache, runningUser}}, {ownCache, stage}, inOwnCache,
         stage + L"\\2"},
        {"another user's", elevated, {{apps, bySystem}, {cache, byOther}}, {ownCache, stage}, inOwnCache,
         stage + L"\\2"},
        {"users may write", elevated, {{apps, bySystem}, {cache, usersWrite}}, {ownCache, stage}, inOwnCache,
         stage + L"\\2"},
        {"users may write the files made there", elevated, {{apps, bySystem}, {cache, usersWriteFiles}},
         {ownCache, stage}, inOwnCache, stage + L"\\2"},
        {"no DACL", elevated, {{apps, bySystem}, {cache, noDacl}}, {ownCache, stage}, inOwnCache, stage + L"\\2"},
        {"a reparse point", elevated, {{apps, bySystem}, {cache, reparse}}, {ownCache, stage}, inOwnCache,
         stage + L"\\2"},
        {"a name that leads elsewhere", elevated, {{apps, bySystem}, {cache, elsewhere}}, {ownCache, stage},
         inOwnCache, stage + L"\\2"},
        {"a name that leads to a longer one", elevated, {{apps, bySystem}, {cache, longer}}, {ownCache, stage},
         inOwnCache, stage + L"\\2"},
        {"a link above it", elevated, {{apps, elsewhere}}, {ownApps, ownApps + L"\\CACHE", stage}, inOwnApps,
         stage + L"\\2"},
        {"Applications of another user", elevated, {{apps, byOther}}, {ownApps, ownApps + L"\\CACHE", stage},
         inOwnApps, stage + L"\\2"},
        // The package version's folder in a cache that is the program's own:
        // only administrators can have made it there.
        {"the version's folder SYSTEM's", elevated, {{apps, bySystem}, {cache, bySystem}, {alpha, bySystem}}, {stage},
         alpha, stage + L"\\2"},
        {"the version's folder another user's", elevated, {{apps, bySystem}, {cache, bySystem}, {alpha, byOther}},
         {stage}, alpha, stage + L"\\2"},
        {"not elevated", TokenAnswer::NotElevated, {}, {}, userAlpha, userStage + L"\\2"},
        {"the staging folder's first names taken", elevated, {}, {apps, cache, stage}, alpha, stage + L"\\2", 2},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<std::wstring> folders;
        for (const auto& folder : c.existing) folders.push_back(folder.first);
        for (unsigned k = 0; k < c.namesTaken; ++k) {
            wchar_t name[32];
            swprintf(name, 32, L"win\\Temp\\Setup-%016llx", 0x1111111111111111ull * (k + 1));
            folders.push_back(name);
        }
        const Scenario scenario{c.name, Mode::Setup, L"/lang 1031 /quiet",
                                {Alpha(PKG_CACHE | PKG_APPLY_TRANSFORM), Beta(0)},
                                {{"MST00", GERMAN}}, 0, {}, {}, c.token, 0, folders};
        FaultRunner runner(scenario);
        const std::wstring root = Upper(runner.Box().root);
        for (const auto& folder : c.existing) {
            // A name that leads elsewhere is SYSTEM's where it leads: only its final path is wrong.
            const std::wstring path = root + folder.first;
            if (folder.second == reparse) Fault.reparsePoints.insert(path);
            else if (folder.second == elsewhere) Fault.finalPaths[path] = L"\\\\?\\C:\\ELSEWHERE";
            else if (folder.second == longer) Fault.finalPaths[path] = L"\\\\?\\" + path + L"-LONGER";
            else if (!folder.second.empty()) Fault.folderSecurity[path] = folder.second;
            if (folder.second == elsewhere || folder.second == longer) Fault.folderSecurity[path] = bySystem;
        }
        for (unsigned k = 0; k < c.namesTaken; ++k) Fault.randomValues.push_back(0x1111111111111111ull * (k + 1));
        EXPECT_EQ(0, runner.Run(-1, 0, false));
        EXPECT_TRUE(BookProblems().empty() && runner.RequestProblems().empty());

        std::set<std::wstring> madeProtected;
        for (const auto& folder : Fault.foldersMade) {
            if (folder.second == made) madeProtected.insert(WithoutRandomDigits(folder.first.substr(root.size())));
        }
        EXPECT_EQ(c.madeProtected, madeProtected);

        // Package and transform beside each other in Alpha's folder, Beta in its
        // own; nothing new in the all-users or per-user folder that is not used.
        ASSERT_EQ(2u, Fault.journal.size());
        EXPECT_EQ(root + c.alphaIn + L"\\", WithoutRandomDigits(FolderOf(Upper(Fault.journal[0].target))));
        EXPECT_NE(std::wstring::npos, Fault.journal[0].commandLine.find(L"TRANSFORMS=@"));
        EXPECT_EQ(root + c.betaIn + L"\\BETA.MSI", WithoutRandomDigits(Upper(Fault.journal[1].target)));
        const std::wstring unused = StartsWith(c.alphaIn, L"LOCAL") ? L"COMMON\\" : L"LOCAL\\";
        for (const std::wstring& entry : runner.Box().Snapshot()) {
            const bool existed = entry == unused ||
                std::any_of(c.existing.begin(), c.existing.end(), [&entry](const auto& folder) {
                    return entry == folder.first + L"\\";
                });
            EXPECT_FALSE(!existed && StartsWith(entry, unused)) << Narrow(entry);
        }
        const std::string log = BundleLog(runner.Box());
        EXPECT_EQ(c.namesTaken, Occurrences(log, "the name is taken")) << log;
    }
}

// A prerequisite program lies alone in a folder of its own, which in an
// elevated run only administrators can change (the all-users cache of the
// program's own, never one another account made), and is started by its full path there, with that
// folder as the current one, its own name first on the command line, no
// handle inherited, and its file held and intact. A staged one is gone after
// the run; a cached one stays (for good: it is permanent). Which cache or
// staging folder a run takes is the packages' (MadeProtectedTrustedOnlyWhenOursAsTheyAre).
TEST(ProtectedFolders, AProgramRunsAloneFromAFolderOfItsOwn)
{
    const std::wstring stage = L"WIN\\TEMP\\SETUP-*\\1", cache = L"APPLICATIONS\\CACHE\\PREREQV1.0.0.0";
    const struct {
        const char* name;
        DWORD flags;
        std::vector<std::wstring> folders;   // there before the run, running user's but the first
        std::wstring folder;                 // the program's
    } cases[] = {
        {"staged", 0, {}, stage},
        {"cached", PKG_CACHE, {}, L"COMMON\\" + cache},
        {"an all-users cache not the program's own", PKG_CACHE, {L"common\\Applications", L"common\\Applications\\Cache"},
         L"COMMON\\APPLICATIONS\\CACHE-*\\PREREQV1.0.0.0"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const std::vector<std::wstring> trusted(c.folders.begin(), c.folders.begin() + (c.folders.empty() ? 0 : 1));
        const Scenario scenario{c.name, Mode::Setup, L"/quiet", {Program(c.flags, "EXE02"), Alpha(0)}, {}, 0, {}, {},
                                TokenAnswer::Elevated, 0, c.folders, {}, trusted};
        FaultRunner runner(scenario);
        EXPECT_EQ(0, runner.Run(-1, 0, false));
        EXPECT_TRUE(BookProblems().empty() && runner.RequestProblems().empty());
        ASSERT_EQ(1u, Fault.processStarts.size());
        const ProcessStart& start = Fault.processStarts[0];
        const std::wstring folder = Upper(runner.Box().root) + c.folder;
        EXPECT_EQ(folder + L"\\PREREQ.EXE", WithoutRandomDigits(Upper(start.application)));
        EXPECT_EQ(folder, WithoutRandomDigits(Upper(start.directory)));
        EXPECT_EQ(L"\"Prereq.exe\" /quiet", start.commandLine);
        EXPECT_FALSE(start.inheritsHandles);
        EXPECT_TRUE(start.held);
        EXPECT_EQ(ResourceBytes("EXE00"), start.bytes);
        EXPECT_EQ(c.folder.find(L"CACHE") != std::wstring::npos,
                  ::GetFileAttributesW(start.application.c_str()) != INVALID_FILE_ATTRIBUTES)
            << "a cached program stays, a staged one goes";
    }
}

// Another file where the program expects its own: at the program's name (it
// was renamed and another put there), nothing is read from it, so nothing is
// written or installed; at a package's name between the write and the hold,
// the hold is refused, the package fails and nothing of it is installed or
// left, and what the run installed before it is removed again. Either ends the
// run or extraction with 1392.
TEST(ProgramFile, AnotherFileAtANameWrittenOrMappedIsNeverUsed)
{
    const struct {
        Scenario scenario;
        bool programFileReplaced;
        std::wstring holdFindsAnotherFileOf;
    } cases[] = {
        {{"setup", Mode::Setup, L"/quiet", {Alpha(0), Beta(0)}, {}, 1392}, true, L""},
        {{"/extract", Mode::Extract, L"/extract {OUT}\\pkgs", {Alpha(0), Beta(0)}, {}, 1392}, true, L""},
        {{"/o1", Mode::ExtractFirst, L"/o1 {OUT}\\first.msi", {Alpha(0)}, {}, 1392}, true, L""},
        {{"a hold that finds another file", Mode::Setup, L"/quiet", {Alpha(0), Beta(0)}, {}, 1392}, false, L"\\BETA.MSI"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.scenario.name);
        FaultRunner runner(c.scenario);
        Fault.programFileReplaced = c.programFileReplaced;
        Fault.holdFindsAnotherFileOf = c.holdFindsAnotherFileOf;
        EXPECT_EQ(1392, runner.Run(-1, 0, false));
        EXPECT_TRUE(BookProblems().empty() && runner.RequestProblems().empty());
        ASSERT_EQ(c.programFileReplaced ? 0u : 2u, Fault.journal.size());
        if (!c.programFileReplaced) {
            EXPECT_TRUE(IsRemoval(Fault.journal[1]) && Fault.journal[1].target == GuidText(ALPHA_CODE));
        }
        for (const std::wstring& entry : runner.Box().Snapshot()) EXPECT_FALSE(EndsWith(entry, L".MSI")) << Narrow(entry);
    }
}

// /uninstall deletes the product's cached copies of every version in both
// caches, through the folder held and only where each file really lies: never
// in an all-users cache that is not the program's own, nor through a name that
// leads elsewhere.
TEST(ProtectedFolders, DeletionsOnlyThroughTrustedFoldersAndNeverThroughALink)
{
    const std::wstring trusted = L"O:SYD:PAI(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;0x1200a9;;;BU)";
    const std::wstring apps = L"COMMON\\APPLICATIONS", cache = apps + L"\\CACHE", userCache = L"LOCAL\\APPLICATIONS\\CACHE";
    const std::wstring code = GuidText(ALPHA_CODE);
    const std::wstring current = cache + L"\\" + code + L"v1.2.3.4.msi", older = cache + L"\\" + code + L"v1.0.0.0.msi";
    const std::wstring transform = cache + L"\\" + code + L"v1.2.3.4.mst", user = userCache + L"\\" + code + L"v1.2.3.4.msi";
    struct Case {
        const char* name;
        std::wstring cacheSecurity;   // empty: the running user's, as Wine answers
        bool cacheIsReparsePoint;
        std::wstring leadsElsewhere;  // a file whose final path is elsewhere
        std::set<std::wstring> stay;
    };
    const Case cases[] = {
        {"the program's own cache", trusted, false, L"", {}},
        {"a copy that leads elsewhere", trusted, false, current, {current}},
        {"a cache that is not the program's own", L"", false, L"", {current, older, transform}},
        {"a cache that is a reparse point", trusted, true, L"", {current, older, transform}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const Scenario scenario{c.name, Mode::Setup, L"/uninstall /quiet", {Alpha(PKG_PER_MACHINE | PKG_CACHE)}, {},
                                0, {}, {{code, L"1.2.3.4"}}, TokenAnswer::Elevated, 0,
                                {apps, cache, L"LOCAL\\APPLICATIONS", userCache}, {current, older, transform, user}};
        FaultRunner runner(scenario);
        const std::wstring root = Upper(runner.Box().root);
        Fault.folderSecurity[root + apps] = trusted;
        if (!c.cacheSecurity.empty()) Fault.folderSecurity[root + cache] = c.cacheSecurity;
        if (c.cacheIsReparsePoint) Fault.reparsePoints.insert(root + cache);
        if (!c.leadsElsewhere.empty()) Fault.finalPaths[root + c.leadsElsewhere] = L"\\\\?\\C:\\ELSEWHERE\\FILE.MSI";
        EXPECT_EQ(0, runner.Run(-1, 0, false));
        EXPECT_TRUE(BookProblems().empty());
        const std::vector<std::wstring> entries = runner.Box().Snapshot();
        std::set<std::wstring> stay;
        for (const std::wstring& file : {current, older, transform, user}) {
            if (std::find(entries.begin(), entries.end(), Upper(file)) != entries.end()) stay.insert(file);
        }
        EXPECT_EQ(c.stay, stay);
    }
}

// Another installation in progress (1618), on the shim's clock: unattended, a
// call that answers it is made again after waits growing from half a second
// to 15 s, for 10 minutes; then the run ends with 1618. The clean-up's
// removals wait the same way. Every answer is in the run's log. (Retry and
// Cancel of an interactive run: the stand-in setup-run tests.)
TEST(AnotherInstallation, IsWaitedOutForTenMinutes)
{
    constexpr unsigned always = ~0u;
    struct Case {
        const char* name;
        unsigned busyInstalls;   // Alpha's first calls that answer 1618
        UINT betaResult;
        unsigned busyRemovals;
        int exitCode;
    };
    const Case cases[] = {
        {"always", always, 0, 0, 1618},
        {"three times", 3, 0, 0, 0},
        {"the clean-up's removal always", 0, 1603, always, 1603},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const Scenario scenario{c.name, Mode::Setup, L"/passive", {Alpha(0), Beta(0)}, {}, c.exitCode};
        FaultRunner runner(scenario);
        unsigned installs = 0, removals = 0, busy = 0;
        Fault.installerResult = [&](const InstallerCall& call) -> UINT {
            const bool alpha = call.target.find(L"Alpha") != std::wstring::npos;
            const bool answersBusy = IsRemoval(call) ? removals++ < c.busyRemovals : alpha && installs++ < c.busyInstalls;
            busy += answersBusy;
            return answersBusy ? 1618 : alpha || IsRemoval(call) ? 0 : c.betaResult;
        };
        EXPECT_EQ(c.exitCode, runner.Run(-1, 0, false));
        EXPECT_TRUE(BookProblems().empty() && Fault.boxes.empty());
        EXPECT_EQ(Occurrences(BundleLog(runner.Box()), "(1618), attempt"), busy);
        const bool limitReached = c.busyInstalls == always || c.busyRemovals == always;
        ASSERT_EQ(busy - (limitReached ? 1 : 0), Fault.sleeps.size());
        ULONGLONG waited = 0;
        for (size_t k = 0; k < Fault.sleeps.size(); ++k) {
            if (k + 1 < Fault.sleeps.size() || !limitReached) {
                EXPECT_EQ(std::min(500ul << std::min<size_t>(k, 5), 15000ul), Fault.sleeps[k]) << k;
            }
            waited += Fault.sleeps[k];
        }
        EXPECT_EQ(limitReached ? 600000u : 3500u, waited);
    }
}

// Detection rules with each platform call they make failing in turn (the
// first, then the second, ... call of every operation): a failing read is no
// evidence that a program is there, so the rule then does not hold, and
// nothing is leaked. The installed products are the in-process installer's.
TEST(DetectionUnderFaults, AFailingReadMakesARuleAbsentAndLeaksNothing)
{
    const wchar_t* key = L"Software\\TessaroTests\\FaultDetect";
    const std::wstring product = GuidText(ALPHA_CODE), older = GuidText(BETA_CODE);
    const std::wstring upgrade = L"{5A1F0C3E-2B4D-4E61-9A07-3C5188D210FF}";
    HKEY values = nullptr;
    ASSERT_EQ(ERROR_SUCCESS, ::RegCreateKeyExW(HKEY_CURRENT_USER, key, 0, nullptr, 0, KEY_ALL_ACCESS | KEY_WOW64_64KEY,
                                               nullptr, &values, nullptr));
    const wchar_t version[] = L"v14.40.33810.00";
    ::RegSetValueExW(values, L"Version", 0, REG_SZ, reinterpret_cast<const BYTE*>(version), sizeof(version));
    ::RegCloseKey(values);
    Fault.installedVersions = {{older, L"14.30.1"}, {product, L"14.40.33810"}};
    Fault.relatedProducts = {{upgrade, older}, {upgrade, product}};
    const struct {
        std::wstring rule;
        bool holds;
    } cases[] = {
        {L"HKCU64\\Software\\TessaroTests\\FaultDetect", true},
        {L"HKCU64\\Software\\TessaroTests\\FaultDetect:Version >= v14.40", true},
        {L"file:[System64]\\kernel32.dll >= v1", true},
        {L"file:[ProgramFiles64]\\no such file", false},
        {L"product:" + product, true},
        {L"upgrade:" + upgrade + L" >= v14.40", true},   // the second product of the code
        {L"upgrade:" + upgrade + L" > v15", false},
    };
    unsigned injected = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(Narrow(c.rule));
        DetectRule rule = {};
        DetectRuleError error = {};
        ASSERT_EQ(S_OK, ParseDetectRule(c.rule.c_str(), static_cast<DWORD>(c.rule.size()), &rule, &error));
        DetectFinding finding = {};
        FaultBeginRun();
        EvaluateDetectRule(&rule, ProductContext::Any, &finding);
        EXPECT_EQ(c.holds, !!finding.holds) << Narrow(finding.found);
        EXPECT_TRUE(BookProblems().empty());
        for (int op = 0; op < FAULT_OP_COUNT; ++op) {
            for (unsigned at = 1;; ++at) {
                FaultBeginRun();
                FaultArm(op, at, false);
                SetCrashContext("detection rule " + Narrow(c.rule) + ": " + FaultInfo(op).name + " call " + std::to_string(at));
                EvaluateDetectRule(&rule, ProductContext::Any, &finding);
                if (!FaultReached()) break;
                ++injected;
                EXPECT_FALSE(finding.holds) << FaultInfo(op).name << " call " << at << ": " << Narrow(finding.found);
                EXPECT_TRUE(BookProblems().empty()) << FaultInfo(op).name << " call " << at;
            }
        }
    }
    EXPECT_GE(injected, 20u);
    Fault.installedVersions.clear();
    Fault.relatedProducts.clear();
    ::RegDeleteKeyExW(HKEY_CURRENT_USER, key, KEY_WOW64_64KEY, 0);
}

// A person at the window: Install on the welcome page, Restart now on the last.
static DWORD WINAPI PressInstallThenRestartNow(void*)
{
    HWND window = FindSetupWindow(::GetCurrentProcessId());
    Press(window, L"&Install");
    return FindButton(window, L"&Restart now", 30000) && Press(window, L"&Restart now") ? 0 : 1;
}

// Restart now pressed on the window's last page after a package asked for a
// restart: the system's shutdown call, a restart that waits for nobody (no
// forced close) with the planned application-installation reason, the
// shutdown privilege enabled first; the run ends with 1641, a restart started.
TEST(Restart, RestartNowInTheWindowAsksTheSystemForAPlannedInstallationRestart)
{
    Scenario scenario = {"setup with the window, Restart now pressed", Mode::Setup, L"", {Alpha(0)}, {}, 1641,
                         {{&ALPHA_CODE, 3010}}};
    scenario.bundleFlags = BUNDLE_WINDOW;
    FaultRunner runner(scenario);
    Fault.shutdowns.clear();
    // Wine loads its display driver with the first window call: here, before
    // the window's thread loads the controls' library and the person's thread
    // looks for windows, which would wait for each other's lock.
    ::GetDesktopWindow();
    HANDLE person = ::CreateThread(nullptr, 0, PressInstallThenRestartNow, nullptr, 0, nullptr);
    const int exitCode = runner.Run(-1, 0, false);
    DWORD pressed = 1;
    ::WaitForSingleObject(person, 60000);
    ::GetExitCodeThread(person, &pressed);
    ::CloseHandle(person);
    EXPECT_EQ(0u, pressed) << "no Restart now to press";
    EXPECT_EQ(1641, exitCode);
    const DWORD planned = SHTDN_REASON_MAJOR_APPLICATION | SHTDN_REASON_MINOR_INSTALLATION | SHTDN_REASON_FLAG_PLANNED;
    EXPECT_EQ((std::vector<std::vector<DWORD>>{{0, FALSE, TRUE, planned, TRUE}}), Fault.shutdowns);
    // The shim hands out no events or threads: their closes count as unknown.
    for (const std::string& problem : BookProblems()) {
        EXPECT_EQ(std::string::npos, problem.find("leaked")) << problem;
    }
}

TEST(FaultInjectionSummary, Figures)
{
    std::printf("[ figures  ] faults injected: %u in %u runs; distinct failure sites reached: %zu\n", TotalInjected,
                TotalRuns, FaultSitesReached().size());
    for (const auto& site : FaultSitesReached()) {
        std::printf("[ figures  ]   site %s:%d\n", site.first.c_str(), site.second);
    }
    EXPECT_GT(TotalInjected, 0u);
}
