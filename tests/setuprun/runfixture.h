// What the end-to-end setup-run tests share: the test packages made at build
// time, bundles made from them with setuppack.exe, setup.exe runs, and the
// installed state as the installer and the registry report it.
#pragma once

#include <windows.h>
#include <string>
#include <vector>

#include "testsupport.h"

struct TestPackage {
    const wchar_t* file;     // file name in the package folder and in the bundle
    const wchar_t* name;     // product name; the package writes HKLM\Software\NAME
    const wchar_t* code;     // product code, braced upper-case GUID
    const wchar_t* version;  // ProductVersion
    bool x64;                // built for x64: its value lands in the 64-bit registry view
};

const TestPackage& Package(const std::wstring& file);
const TestPackage* FindPackage(const std::wstring& file);   // null for a file not in the table
const std::vector<TestPackage>& AllPackages();
std::wstring PackagePath(const std::wstring& file);

// A known folder (CSIDL_...), made when missing.
std::wstring KnownFolder(int csidl);
// A file or folder under the tests' own work folder in the build tree.
std::wstring WorkPath(const std::wstring& name);

// One package of a bundle and the flags setuppack gives its entry; the file
// testprereq.exe is the test prerequisite program.
struct BundleItem {
    std::wstring file;
    std::wstring flags;   // setuppack flag names joined by "+", or "0"
    std::wstring more;    // further options of this entry (/code, /version; /detect, /args, ...)
};
// Runs setuppack.exe with setup.exe as the stub; true when it made the bundle.
bool MakeBundle(const std::wstring& bundle, const std::vector<BundleItem>& items,
                const std::wstring& moreArguments = L"");

// Sets the flags of a bundle's package entries in command-line order, where the
// packer refuses what earlier packers wrote (x86only behind the x86_64 program,
// the transform flag on several packages): the program runs such bundles still.
bool RewriteFlags(const std::wstring& bundle, const std::vector<DWORD>& flags);

// setup.exe runs: the bundle with the given switches, boxes answered with OK
// (or `answer`).
RunResult RunBundle(const std::wstring& bundle, const std::wstring& switches, WPARAM answer = IDOK);
// The same without elevation, as a user's own program: the run stages in the
// user's temporary folder and caches in the user's application-data folder.
RunResult RunBundleUnelevated(const std::wstring& bundle, const std::wstring& switches, WPARAM answer = IDOK);
// Where an elevated run (every run under Wine) keeps its logs and its staging
// folder: the Windows folder's Temp (Wine has no SystemTemp), ending with '\'.
std::wstring RunFolder();
// Logs of earlier runs there whose names start with `prefix`.
void DeleteLogsStartingWith(const std::wstring& prefix, const std::wstring& folder = RunFolder());
// The run's own log of a bundle NAME.exe (NAME_DATE-TIME_RANDOM.log, told from
// the installer's logs of a package of the same name by its first line); the
// latest when there are several, empty when there is none.
std::string RunLogText(const std::wstring& bundleName, const std::wstring& folder = RunFolder());
// The installer logs a run's log names ("installer log: PATH"), in order.
std::vector<std::wstring> InstallerLogsNamedIn(const std::string& runLog);

// From installedstate.cpp, for the tests against Wine's own installer:
// the installer's view: the product's VersionString, empty when unknown.
std::wstring InstalledVersion(const TestPackage& package);
// Where the installer recorded it was installed from (a repair reads there).
std::wstring InstallSource(const TestPackage& package);
// The registry value the package writes, empty when absent.
std::wstring RegistryVersion(const TestPackage& package);
// Installs a package directly through the installer, without setup.exe.
UINT InstallDirectly(const TestPackage& package);
void RemoveIfInstalled(const TestPackage& package);

// Where a run puts a package: staged in a folder of its own in RunFolder
// ("Setup-" and 16 random digits, a folder per entry inside), cached under the
// all-users or the user's application-data folder.
std::wstring TempFolder();
// The staging folders there are now (or in `base`, a folder ending with '\').
std::vector<std::wstring> StagingFolders(const std::wstring& base = RunFolder());
// Whether `path` is the package's file in an entry folder of a staging
// folder in `base`.
bool IsStagedPath(const std::wstring& path, const TestPackage& package, const std::wstring& base = RunFolder());
// A cache (the all-users one where the program's record says it made it), and
// a package's cached copy in its version's folder there.
std::wstring CacheFolder(bool perMachine);
std::wstring CachedPath(const TestPackage& package, bool perMachine, const wchar_t* extension = L".msi");
// Deletes what earlier runs left for this package: its cached copies; and
// every staging folder with what is in it.
void ForgetFiles(const TestPackage& package);

// A registered bundle: its code (from its REGISTRATION record), and its entry
// ...\Uninstall\{CODE} in HKCU, or HKLM when `perMachine`. A value reads as
// its text, a number in decimal, a list's texts joined by '|'; "" when missing.
std::wstring BundleCodeOf(const std::wstring& bundle);
std::wstring EntryValue(const std::wstring& bundleCode, const wchar_t* name, bool perMachine = false);
// Applications\Cache\{CODE}, where the bundle keeps its copy.
std::wstring BundleCacheFolder(const std::wstring& bundleCode, bool perMachine = false);
// Removes the entry (both hives) and the bundle's cached copies.
void ForgetRegistration(const std::wstring& bundleCode);

// A Unix symbolic link at `link` (a Windows path) to `target`, made from the
// Linux side: Wine reports it as a reparse point and follows it. False when
// it could not be made. RemoveUnixLink deletes the link itself.
bool MakeUnixLink(const std::wstring& link, const std::wstring& target);
void RemoveUnixLink(const std::wstring& link);
// A folder and all in it, removed from the Linux side (links inside included).
void RemoveFolderTree(const std::wstring& folder);
// An attacker from the Linux side (tests/harness/repoint.py): once a file in
// `watched` is closed after writing, `link` is repointed to `newTarget` 10 ms
// later. True once it is watching.
bool StartRepointer(const std::wstring& watched, const std::wstring& link, const std::wstring& newTarget);
// Ends it, whether it fired or not.
void StopRepointer();
// A file's last write time (0 when it is missing), to tell the order of logs.
ULONGLONG LastWriteTime(const std::wstring& path);

bool FileExists(const std::wstring& path);
bool FolderExists(const std::wstring& path);
std::string ReadFileBytes(const std::wstring& path);
void WriteFileBytes(const std::wstring& path, const std::string& bytes);
// Names of the files in a folder (no subfolders), for "nothing left behind".
std::vector<std::wstring> FilesIn(const std::wstring& folder);
std::vector<std::wstring> FoldersIn(const std::wstring& folder);

// The platform's text for a result code, as the "Install Error" box shows it.
std::wstring SystemText(HRESULT code);
