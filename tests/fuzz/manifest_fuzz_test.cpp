// Damaged bundles: every truncation of a manifest and many random byte changes
// (fixed seed), served as the MANIFEST resource from memory that ends at a
// no-access page, through /extract and a setup run in-process. The program
// either refuses with 0x8007000D, or works as the intact fields say; it never
// reads beyond the resource (that would fault at once), never writes outside
// the temporary, cache and output folders, and leaks nothing.
#include <gtest/gtest.h>

#include <cstdio>
#include <algorithm>
#include <cstring>
#include <map>
#include <random>

#include "faultkit.h"
#include "manifest.h"
#include "options.h"

namespace {

constexpr int EXIT_INVALID_DATA = 13;

enum class Mode { Extract, ExtractFirst, Setup };
constexpr unsigned RANDOM_DAMAGES = 1500;

const GUID FIRST_CODE = {0x7C3E2A10, 0x51D4, 0x4B2E, {0x8F, 0x61, 0x0D, 0x93, 0x27, 0xA4, 0x5E, 0x01}};
const GUID SECOND_CODE = {0x7C3E2A10, 0x51D4, 0x4B2E, {0x8F, 0x61, 0x0D, 0x93, 0x27, 0xA4, 0x5E, 0x02}};
const GUID THIRD_CODE = {0x7C3E2A10, 0x51D4, 0x4B2E, {0x8F, 0x61, 0x0D, 0x93, 0x27, 0xA4, 0x5E, 0x03}};

std::vector<BYTE> IntactManifest()
{
    return BuildManifest(
        {
            {"MSI00", L"Tessaro_client_x64.msi", FIRST_CODE, 0x00040002, 0x01360000, PKG_PER_MACHINE | PKG_KEEP_UI_LEVEL},
            {"MSI01", L"Tessaro_addin.msi", SECOND_CODE, 0x00010000, 0x00000000,
             PKG_CACHE | PKG_APPLY_TRANSFORM | PKG_IGNORE_FAILURE},
            {"MSI00", L"Tessaro_tools.msi", THIRD_CODE, 0x00020001, 0x00030000, PKG_ALLOW_UPGRADE},
        },
        {{"MST00", 1031}, {"MST00", 1036}});
}

// The rules a manifest must meet to be used at all: its size covers the entries
// its counts announce, every name field holds its NUL, every file name is a
// plain, non-empty name, no package is for 32-bit and 64-bit Windows only,
// and a program entry names a .exe and has only the flags a program takes.
bool IsWellFormed(const std::vector<BYTE>& bytes)
{
    if (bytes.size() < 4) return false;
    const size_t packages = bytes[1], transforms = bytes[2];
    if (bytes.size() < 4 + 168 * packages + 16 * transforms) return false;
    // The bundle's choices: known bits only, a licence only with the window, rich text only for a licence.
    const BYTE bundle = bytes[3];
    if ((bundle & ~BUNDLE_KNOWN_FLAGS) || ((bundle & BUNDLE_LICENSE) && !(bundle & BUNDLE_WINDOW)) ||
        ((bundle & BUNDLE_LICENSE_RTF) && !(bundle & BUNDLE_LICENSE))) {
        return false;
    }
    for (size_t k = 0; k < packages; ++k) {
        const BYTE* entry = bytes.data() + 4 + 168 * k;
        if (memchr(entry, 0, 12) == nullptr) return false;
        DWORD flags;
        memcpy(&flags, entry + 164, sizeof(flags));
        if ((flags & PKG_ARCHITECTURE_FLAGS) == PKG_ARCHITECTURE_FLAGS) return false;
        WCHAR name[64];
        memcpy(name, entry + 12, sizeof(name));
        if (name[0] == 0) return false;
        int i = 0;
        for (; i < 64 && name[i] != 0; ++i) {
            if (name[i] == L'\\' || name[i] == L'/' || name[i] == L':') return false;
        }
        if (i == 64) return false;
        const bool exe = i > 4 && _wcsicmp(name + i - 4, L".exe") == 0;
        if ((flags & PKG_PROGRAM) && ((flags & ~(PKG_PROGRAM | PKG_PROGRAM_FLAGS)) != 0 || !exe)) return false;
    }
    for (size_t j = 0; j < transforms; ++j) {
        if (memchr(bytes.data() + 4 + 168 * packages + 16 * j, 0, 12) == nullptr) return false;
    }
    return true;
}

// Characters no file name may hold, and names that are no file's name: a
// stricter program may refuse these too.
bool HasQuestionableName(const std::vector<BYTE>& bytes)
{
    if (!IsWellFormed(bytes)) return false;
    const size_t packages = bytes[1];
    for (size_t k = 0; k < packages; ++k) {
        WCHAR name[64];
        memcpy(name, bytes.data() + 4 + 168 * k + 12, sizeof(name));
        const std::wstring text(name);
        if (text == L"." || text == L".." || text.back() == L'.' || text.back() == L' ') return true;
        for (wchar_t c : text) {
            if (c < 0x20 || wcschr(L"<>\"|?*", c) != nullptr) return true;
        }
    }
    return false;
}

std::string ResourceOf(const BYTE* nameField)
{
    return ResourceBytes(reinterpret_cast<const char*>(nameField));
}

class DamageRunner {
public:
    DamageRunner() : box_(L"damagebox")
    {
        box_.PointProgramHere();
        Fault.installedVersions.clear();
        Fault.installerResult = nullptr;
    }

    ~DamageRunner()
    {
        Fault.manifestOverride = nullptr;
        Fault.writeRoots.clear();
        Fault.tempPath.clear();
        Fault.commonAppData.clear();
        Fault.localAppData.clear();
        Fault.windowsFolder.clear();
        Fault.commandLine.clear();
    }

    // Runs /extract and a setup run on the damaged bytes; returns what is wrong.
    std::vector<std::string> Try(const std::vector<BYTE>& bytes, const std::string& what)
    {
        std::vector<std::string> problems;
        const bool wellFormed = IsWellFormed(bytes);
        ++(wellFormed ? usable : refusable);
        for (Mode mode : {Mode::Extract, Mode::ExtractFirst, Mode::Setup}) {
            const int exitCode = Run(bytes, mode, what);
            const std::vector<std::wstring> left = box_.Snapshot();
            for (const std::string& problem : BookProblems()) problems.push_back(problem);
            // An empty resource counts as a missing one: the locate failure.
            const bool refusedAsMissing = bytes.empty() && exitCode != 0 && Fault.fileTouches == 0;
            if (!wellFormed && exitCode != EXIT_INVALID_DATA && !refusedAsMissing) {
                problems.push_back("a malformed manifest was not refused: exit code " + std::to_string(exitCode));
            }
            const bool firstOfNone = mode == Mode::ExtractFirst && bytes[1] == 0;
            if (wellFormed && exitCode == EXIT_INVALID_DATA && !HasQuestionableName(bytes) && !firstOfNone) {
                problems.push_back("a well-formed manifest was refused");
            }
            if (exitCode == EXIT_INVALID_DATA && Fault.fileTouches != 0) {
                problems.push_back("a refused manifest still wrote files");
            }
            if (mode == Mode::Extract) CheckExtraction(bytes, exitCode, left, &problems);
            if (mode == Mode::ExtractFirst) CheckFirstPackage(bytes, exitCode, left, &problems);
            if (mode == Mode::Setup) CheckSetupLeftovers(exitCode, left, &problems);
        }
        return problems;
    }

    unsigned usable = 0;
    unsigned refusable = 0;

private:
    int Run(const std::vector<BYTE>& bytes, Mode mode, const std::string& what)
    {
        box_.Clear();
        ::CreateDirectoryW(box_.out.c_str(), nullptr);
        Fault.manifestOverride = manifest_.Assign(bytes.data(), bytes.size());
        Fault.manifestOverrideSize = static_cast<DWORD>(bytes.size());
        FaultBeginRun();
        Fault.commandLine = mode == Mode::Extract ? L"setup.exe /extract " + box_.out + L"\\pkgs"
                          : mode == Mode::ExtractFirst ? L"setup.exe /o1 " + box_.out + L"\\first.msi"
                          : L"setup.exe /quiet /lang 1031";
        SetCrashContext(what + (mode == Mode::Extract ? " /extract" : mode == Mode::ExtractFirst ? " /o1" : " setup run"));
        return SetupMain(::GetModuleHandleW(nullptr));
    }

    // Every file extracted is named by an entry and holds, byte for byte, the
    // resource of the last entry of that name; after success every entry's file
    // is there.
    void CheckExtraction(const std::vector<BYTE>& bytes, int exitCode, const std::vector<std::wstring>& left,
                         std::vector<std::string>* problems) const
    {
        if (HasQuestionableName(bytes)) return;   // the platform may rename or refuse them; the write roots still hold
        std::map<std::wstring, std::string> expected;
        if (exitCode != EXIT_INVALID_DATA && bytes.size() >= 4) {
            for (size_t k = 0; k < bytes[1]; ++k) {
                const BYTE* entry = bytes.data() + 4 + 168 * k;
                WCHAR name[64];
                memcpy(name, entry + 12, sizeof(name));
                expected[L"OUT\\PKGS\\" + Upper(name)] = ResourceOf(entry);
            }
        }
        for (const std::wstring& entry : left) {
            if (EndsWith(entry, L"\\")) continue;
            const auto found = expected.find(entry);
            std::string content;
            if (found == expected.end()) {
                problems->push_back("unexpected file after /extract (exit " + std::to_string(exitCode) + "): " + Narrow(entry));
            } else if (!ReadWholeFile(box_.root + entry, &content) || content != found->second) {
                problems->push_back("extracted file differs from its resource: " + Narrow(entry));
            }
        }
        if (exitCode == 0) {
            for (const auto& item : expected) {
                if (std::find(left.begin(), left.end(), item.first) == left.end()) {
                    problems->push_back("extraction reported success without " + Narrow(item.first));
                }
            }
        }
    }

    // /o1 writes the first entry's package or nothing; a manifest without a
    // package entry is refused.
    void CheckFirstPackage(const std::vector<BYTE>& bytes, int exitCode, const std::vector<std::wstring>& left,
                           std::vector<std::string>* problems) const
    {
        const bool hasPackage = bytes.size() >= 4 && bytes[1] > 0;
        if (!hasPackage && exitCode == 0) problems->push_back("/o1 succeeded with no package entry");
        for (const std::wstring& entry : left) {
            if (EndsWith(entry, L"\\")) continue;
            std::string content;
            if (entry != L"OUT\\FIRST.MSI" || exitCode != 0 || !hasPackage) {
                problems->push_back("unexpected file after /o1 (exit " + std::to_string(exitCode) + "): " + Narrow(entry));
            } else if (!ReadWholeFile(box_.root + entry, &content) || content != ResourceOf(bytes.data() + 4)) {
                problems->push_back("/o1 wrote something else than the first package");
            }
        }
    }

    // Staged packages and temporary transforms are gone; cached packages stay
    // only after success.
    void CheckSetupLeftovers(int exitCode, const std::vector<std::wstring>& left, std::vector<std::string>* problems) const
    {
        for (const std::wstring& entry : left) {
            if (EndsWith(entry, L"\\")) continue;
            const bool inCache = StartsWith(entry, L"COMMON\\APPLICATIONS\\CACHE\\") ||
                                 StartsWith(entry, L"LOCAL\\APPLICATIONS\\CACHE\\");
            if (IsRunLogEntry(entry)) continue;
            if (inCache && (EndsWith(entry, L".MST") || (exitCode <= 1 && EndsWith(entry, L".MSI")))) continue;
            problems->push_back("left behind by a setup run (exit " + std::to_string(exitCode) + "): " + Narrow(entry));
        }
    }

    Sandbox box_;
    GuardedBytes manifest_;
};

void Report(const std::string& what, const std::vector<std::string>& problems, unsigned* reported)
{
    for (const std::string& problem : problems) {
        if (++*reported <= 30) ADD_FAILURE() << what << ": " << problem;
    }
}

} // namespace

TEST(DamagedManifests, IntactManifestIsUsed)
{
    DamageRunner runner;
    unsigned reported = 0;
    Report("intact manifest", runner.Try(IntactManifest(), "intact manifest"), &reported);
    EXPECT_EQ(1u, runner.usable);
}

TEST(DamagedManifests, EveryTruncation)
{
    const std::vector<BYTE> intact = IntactManifest();
    DamageRunner runner;
    unsigned reported = 0;
    for (size_t length = 0; length < intact.size(); ++length) {
        const std::vector<BYTE> cut(intact.begin(), intact.begin() + static_cast<std::ptrdiff_t>(length));
        const std::string what = "manifest cut to " + std::to_string(length) + " bytes";
        Report(what, runner.Try(cut, what), &reported);
    }
    std::printf("[ figures  ] truncations tried: %zu (well-formed %u, malformed %u)\n", intact.size(), runner.usable,
                runner.refusable);
}

TEST(DamagedManifests, RandomByteChanges)
{
    const std::vector<BYTE> intact = IntactManifest();
    std::mt19937 random(1031);
    DamageRunner runner;
    unsigned reported = 0;
    for (unsigned n = 0; n < RANDOM_DAMAGES; ++n) {
        std::vector<BYTE> damaged = intact;
        const unsigned changes = 1 + random() % 4;
        std::string what = "damage " + std::to_string(n) + ":";
        for (unsigned c = 0; c < changes; ++c) {
            // Counts and name fields are where damage matters most; aim there often.
            const size_t at = random() % 3 == 0 ? random() % 4 : random() % damaged.size();
            const BYTE value = random() % 3 == 0 ? 0 : random() % 3 == 0 ? 0xFF : static_cast<BYTE>(random());
            damaged[at] = value;
            what += " [" + std::to_string(at) + "]=" + std::to_string(value);
        }
        Report(what, runner.Try(damaged, what), &reported);
    }
    std::printf("[ figures  ] random damages tried: %u (well-formed %u, malformed %u)\n", RANDOM_DAMAGES, runner.usable,
                runner.refusable);
}
