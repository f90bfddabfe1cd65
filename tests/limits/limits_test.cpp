// The real setup.exe at its limits and side by side with itself, under Wine with
// Wine's own installer: a manifest of 255 packages, a package file name of 63
// characters, a log that cannot be started, and two bundles run at the same
// moment.
// Bundles are made here: a copy of setup.exe whose MANIFEST and package
// resources are replaced (UpdateResourceW).
#include <gtest/gtest.h>

#include <windows.h>
#include <msi.h>
#include <objbase.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "faultkit.h"
#include "testsupport.h"

namespace {

constexpr DWORD PKG_KEEP_UI_LEVEL = 0x8;
constexpr DWORD RUN_TIMEOUT_MS = 180000;

struct LimitPackage {
    const wchar_t* file;
    const wchar_t* code;
};

const LimitPackage ALPHA = {L"relnine_alpha.msi", L"{9E1A5C00-0000-4000-8000-0000000000A1}"};
const LimitPackage BETA = {L"relnine_beta.msi", L"{9E1A5C00-0000-4000-8000-0000000000A2}"};

std::wstring PackagePath(const LimitPackage& package)
{
    return WindowsPathFromUnix(PACKAGE_DIR) + L"\\" + package.file;
}

std::wstring WorkFolder()
{
    static const std::wstring folder = [] {
        const std::wstring path = WindowsPathFromUnix(WORK_DIR);
        RemoveTree(path, false);
        ::CreateDirectoryW(path.c_str(), nullptr);
        return path;
    }();
    return folder;
}

// Where an elevated run (every run under Wine) keeps its logs and staging
// folder: the Windows folder's Temp (Wine has no SystemTemp).
std::wstring SystemTemp()
{
    WCHAR path[MAX_PATH] = {};
    ::GetSystemWindowsDirectoryW(path, MAX_PATH);
    return std::wstring(path) + L"\\Temp\\";
}

GUID GuidOf(const wchar_t* text)
{
    GUID guid = {};
    ::CLSIDFromString(text, &guid);
    return guid;
}

std::string FileBytes(const std::wstring& path)
{
    std::string bytes;
    ReadWholeFile(path, &bytes);
    return bytes;
}

struct BundlePackage {
    std::wstring fileName;        // as the manifest names it (at most 63 characters)
    const LimitPackage* package;  // its product code and bytes
};

// setup.exe with a manifest listing `packages` (every one with flags 0x8) and
// one package resource per distinct package.
bool MakeBundle(const std::wstring& bundle, const std::vector<BundlePackage>& packages)
{
    std::vector<PackageSpec> entries;
    std::vector<const LimitPackage*> resources;
    for (const BundlePackage& item : packages) {
        auto found = std::find(resources.begin(), resources.end(), item.package);
        if (found == resources.end()) found = resources.insert(resources.end(), item.package);
        const std::string name = "REL" + std::to_string(found - resources.begin());
        entries.push_back({name, item.fileName, GuidOf(item.package->code), 0x00010000, 0, PKG_KEEP_UI_LEVEL});
    }
    std::vector<BYTE> manifest = BuildManifest(entries, {});
    if (!::CopyFileW(WindowsPathFromUnix(SETUP_EXE).c_str(), bundle.c_str(), FALSE)) return false;
    HANDLE update = ::BeginUpdateResourceW(bundle.c_str(), FALSE);
    if (!update) return false;
    bool ok = ::UpdateResourceW(update, RT_RCDATA, L"MANIFEST", 0, manifest.data(), static_cast<DWORD>(manifest.size()));
    std::vector<std::string> payloads;
    for (size_t i = 0; i < resources.size(); ++i) {
        payloads.push_back(FileBytes(PackagePath(*resources[i])));
        const std::wstring name = L"REL" + std::to_wstring(i);
        ok = ok && !payloads.back().empty() &&
             ::UpdateResourceW(update, RT_RCDATA, name.c_str(), 0, payloads.back().data(),
                               static_cast<DWORD>(payloads.back().size()));
    }
    return ::EndUpdateResourceW(update, !ok) && ok;
}

// Starts setup.exe runs; every box they show is answered and recorded.
class Runs {
public:
    HANDLE Start(const std::wstring& bundle, const std::wstring& switches)
    {
        std::wstring line = Quoted(bundle) + L" " + switches;
        STARTUPINFOW startup = {};
        startup.cb = sizeof(startup);
        PROCESS_INFORMATION process = {};
        if (!::CreateProcessW(nullptr, &line[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &process)) {
            return nullptr;
        }
        ::CloseHandle(process.hThread);
        return process.hProcess;
    }

    // Waits for the process; `lifetime` receives its start and end (100 ns units).
    static DWORD Finish(HANDLE process, ULONGLONG (*lifetime)[2] = nullptr)
    {
        if (!process) return 0xFFFFFFFF;
        DWORD code = 0xFFFFFFFF;
        if (::WaitForSingleObject(process, RUN_TIMEOUT_MS) != WAIT_OBJECT_0) {
            ::TerminateProcess(process, 0xFFFFFFFE);
            ::WaitForSingleObject(process, 5000);
        }
        ::GetExitCodeProcess(process, &code);
        FILETIME created, exited, kernel, user;
        if (lifetime && ::GetProcessTimes(process, &created, &exited, &kernel, &user)) {
            (*lifetime)[0] = (static_cast<ULONGLONG>(created.dwHighDateTime) << 32) | created.dwLowDateTime;
            (*lifetime)[1] = (static_cast<ULONGLONG>(exited.dwHighDateTime) << 32) | exited.dwLowDateTime;
        }
        ::CloseHandle(process);
        return code;
    }

    DWORD Run(const std::wstring& bundle, const std::wstring& switches)
    {
        return Finish(Start(bundle, switches));
    }

    std::vector<ObservedBox> Boxes() { return watcher_.Stop(); }

private:
    MessageBoxWatcher watcher_;
};

bool IsInstalled(const LimitPackage& package)
{
    return ::MsiQueryProductStateW(package.code) == INSTALLSTATE_DEFAULT;
}

// Files (not folders) below a folder, paths relative to it; long paths allowed.
std::vector<std::wstring> FilesBelow(const std::wstring& folder, const std::wstring& relative = L"")
{
    std::vector<std::wstring> files;
    WIN32_FIND_DATAW found;
    HANDLE find = ::FindFirstFileW((L"\\\\?\\" + folder + relative + L"*").c_str(), &found);
    if (find == INVALID_HANDLE_VALUE) return files;
    do {
        const std::wstring name = found.cFileName;
        if (name == L"." || name == L"..") continue;
        if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
            for (const std::wstring& inner : FilesBelow(folder, relative + name + L"\\")) files.push_back(inner);
        } else {
            files.push_back(relative + name);
        }
    } while (::FindNextFileW(find, &found));
    ::FindClose(find);
    return files;
}

std::string Names(const std::vector<std::wstring>& files)
{
    std::string text;
    for (const std::wstring& file : files) text += Narrow(file) + " ";
    return text;
}

} // namespace

TEST(Limits, ManifestWith255PackagesIsExtracted)
{
    std::vector<BundlePackage> packages;
    for (int k = 0; k < 255; ++k) {
        wchar_t name[32];
        swprintf(name, 32, L"package_%03d.msi", k);
        packages.push_back({name, k % 2 ? &BETA : &ALPHA});
    }
    const std::wstring bundle = WorkFolder() + L"\\many.exe";
    ASSERT_TRUE(MakeBundle(bundle, packages));
    const std::wstring out = WorkFolder() + L"\\many-out";
    Runs runs;
    const DWORD started = ::GetTickCount();
    EXPECT_EQ(0u, runs.Run(bundle, L"/extract " + Quoted(out)));
    std::printf("[ figures  ] 255 packages extracted in %lu ms\n", static_cast<unsigned long>(::GetTickCount() - started));
    const std::string alpha = FileBytes(PackagePath(ALPHA)), beta = FileBytes(PackagePath(BETA));
    EXPECT_EQ(255u, FilesBelow(out + L"\\").size());
    for (size_t k = 0; k < packages.size(); ++k) {
        EXPECT_EQ(k % 2 ? beta : alpha, FileBytes(out + L"\\" + packages[k].fileName)) << Narrow(packages[k].fileName);
    }
    EXPECT_EQ(0u, runs.Run(bundle, L"/o1 " + Quoted(out + L"\\first.msi")));
    EXPECT_EQ(alpha, FileBytes(out + L"\\first.msi"));
    EXPECT_TRUE(runs.Boxes().empty());
}

TEST(Limits, PackageFileNameOf63Characters)
{
    const std::wstring name = std::wstring(59, L'n') + L".msi";
    ASSERT_EQ(63u, name.size());
    const std::wstring bundle = WorkFolder() + L"\\longname.exe";
    ASSERT_TRUE(MakeBundle(bundle, {{name, &ALPHA}}));
    Runs runs;
    const std::wstring out = WorkFolder() + L"\\longname-out";
    EXPECT_EQ(0u, runs.Run(bundle, L"/extract " + Quoted(out)));
    EXPECT_EQ(FileBytes(PackagePath(ALPHA)), FileBytes(out + L"\\" + name));

    // A setup run stages it under that name, installs it, logs under its base
    // name (and its own log under the bundle's) and leaves no staged copy.
    const std::vector<std::wstring> before = FilesBelow(SystemTemp());
    EXPECT_EQ(0u, runs.Run(bundle, L"/quiet"));
    EXPECT_TRUE(IsInstalled(ALPHA));
    std::vector<std::wstring> added;
    for (const std::wstring& file : FilesBelow(SystemTemp())) {
        if (std::find(before.begin(), before.end(), file) == before.end()) added.push_back(file);
    }
    std::sort(added.begin(), added.end());
    ASSERT_EQ(2u, added.size()) << Names(added);
    EXPECT_TRUE(StartsWith(added[0], L"longname_") && EndsWith(added[0], L".log")) << Narrow(added[0]);
    EXPECT_EQ(std::wstring(59, L'n') + L"_", added[1].substr(0, 60));
    EXPECT_TRUE(EndsWith(added[1], L".log") && added[1].size() == 59 + 25 + 4) << Narrow(added[1]);
    EXPECT_EQ(0u, runs.Run(bundle, L"/uninstall /quiet"));
    EXPECT_FALSE(IsInstalled(ALPHA));
    for (const std::wstring& file : FilesBelow(SystemTemp())) {
        if (std::find(before.begin(), before.end(), file) == before.end()) ::DeleteFileW((SystemTemp() + file).c_str());
    }
    EXPECT_TRUE(runs.Boxes().empty());
}

TEST(Limits, FileNameWithoutRoomForItsTerminatorIsRefused)
{
    const std::wstring bundle = WorkFolder() + L"\\overlong.exe";
    ASSERT_TRUE(MakeBundle(bundle, {{std::wstring(60, L'x') + L".msi", &ALPHA}}));   // 64: no NUL in the field
    Runs runs;
    const std::wstring out = WorkFolder() + L"\\overlong-out";
    EXPECT_EQ(13u, runs.Run(bundle, L"/extract " + Quoted(out)));
    EXPECT_EQ(INVALID_FILE_ATTRIBUTES, ::GetFileAttributesW(out.c_str()));
    EXPECT_EQ(13u, runs.Run(bundle, L"/quiet"));
    EXPECT_FALSE(IsInstalled(ALPHA));
}

// A log that cannot be started ends the run before any package: in a folder
// that does not exist (which is not made).
TEST(Limits, LogThatCannotBeStartedStopsTheRunFirst)
{
    const std::wstring bundle = WorkFolder() + L"\\missinglog.exe";
    ASSERT_TRUE(MakeBundle(bundle, {{L"Alpha.msi", &ALPHA}}));
    const std::wstring missing = WorkFolder() + L"\\missing";
    const std::vector<std::wstring> before = FilesBelow(SystemTemp());
    Runs runs;
    EXPECT_EQ(3u, runs.Run(bundle, L"/quiet /log " + Quoted(missing + L"\\sub\\run.log")));
    EXPECT_EQ(INVALID_FILE_ATTRIBUTES, ::GetFileAttributesW(missing.c_str())) << "the missing folder was made";
    EXPECT_FALSE(IsInstalled(ALPHA));
    if (IsInstalled(ALPHA)) runs.Run(bundle, L"/uninstall /quiet");
    for (const std::wstring& file : FilesBelow(SystemTemp())) {
        if (std::find(before.begin(), before.end(), file) != before.end()) continue;
        EXPECT_TRUE(StartsWith(file, L"missinglog_") && EndsWith(file, L".log")) << "left behind: " << Narrow(file);
        ::DeleteFileW((SystemTemp() + file).c_str());
    }
    EXPECT_TRUE(runs.Boxes().empty());
}

// Two bundles whose packages carry the same file name run at the same moment:
// both finish, each installs its own product from its own staged copy, and
// their default logs are two files, as are the runs' own.
TEST(Concurrency, TwoBundlesAtTheSameMoment)
{
    const std::wstring first = WorkFolder() + L"\\first.exe";
    const std::wstring second = WorkFolder() + L"\\second.exe";
    ASSERT_TRUE(MakeBundle(first, {{L"Shared.msi", &ALPHA}}));
    ASSERT_TRUE(MakeBundle(second, {{L"Shared.msi", &BETA}}));
    const std::vector<std::wstring> before = FilesBelow(SystemTemp());
    Runs runs;
    for (const wchar_t* switches : {L"/quiet", L"/uninstall /quiet"}) {
        HANDLE a = runs.Start(first, switches);
        HANDLE b = runs.Start(second, switches);
        ULONGLONG lifeA[2] = {}, lifeB[2] = {};
        const DWORD exitA = Runs::Finish(a, &lifeA), exitB = Runs::Finish(b, &lifeB);
        const LONGLONG overlap = static_cast<LONGLONG>(std::min(lifeA[1], lifeB[1])) -
                                 static_cast<LONGLONG>(std::max(lifeA[0], lifeB[0]));
        std::printf("[ figures  ] %s: the two runs overlapped for %lld ms\n", Narrow(switches).c_str(), overlap / 10000);
        EXPECT_EQ(0u, exitA) << Narrow(switches);
        EXPECT_EQ(0u, exitB) << Narrow(switches);
        const bool installing = std::wstring(switches) == L"/quiet";
        EXPECT_EQ(installing, IsInstalled(ALPHA)) << Narrow(switches);
        EXPECT_EQ(installing, IsInstalled(BETA)) << Narrow(switches);
    }
    std::vector<std::wstring> logs;
    for (const std::wstring& file : FilesBelow(SystemTemp())) {
        if (std::find(before.begin(), before.end(), file) != before.end()) continue;
        const bool named = StartsWith(file, L"Shared") || StartsWith(file, L"first") || StartsWith(file, L"second");
        EXPECT_TRUE(named && EndsWith(file, L".log")) << "left behind: " << Narrow(file);
        logs.push_back(file);
    }
    EXPECT_EQ(8u, logs.size()) << "two runs, each installing and then removing: " << Names(logs);
    for (const std::wstring& log : logs) ::DeleteFileW((SystemTemp() + log).c_str());
    EXPECT_TRUE(runs.Boxes().empty());
}
