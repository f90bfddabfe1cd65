#include <gtest/gtest.h>
#include <string.h>
#include "bundlemanifest.h"
#include "payloadtest.h"

namespace {

constexpr DWORD EXIT_INVALID_DATA = 13;        // 0x8007000D
constexpr DWORD EXIT_PATH_NOT_FOUND = 3;       // 0x80070003
constexpr DWORD EXIT_NAME_NOT_FOUND = 1814;    // 0x80070716

// A bundle of alpha and beta with one transform, made once per test.
class Extraction : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(WriteInstallerStorage(folder_ / L"de.mst", INSTALLER_TRANSFORM, "german transform"));
        const Captured run = Pack(L"/out" + Arg(bundle_) + L" /stub" + Arg(BinFile(L"setup.exe")) +
                                  L" /package" + Arg(DataFile(L"alpha.msi")) +
                                  L" /flags cache+transform /package" + Arg(DataFile(L"beta.msi")) +
                                  L" /transform" + Arg(folder_ / L"de.mst") + L" /language 1031");
        ASSERT_EQ(0u, run.exitCode) << run.errorText;
    }

    DWORD Setup(const std::wstring& arguments) { return RunProgram(bundle_, arguments); }

    ScratchFolder folder_;
    const std::wstring bundle_ = folder_ / L"bundle.exe";
};

// The bundle's manifest, for a case to damage and write back.
std::string ManifestOf(const std::wstring& bundle)
{
    return ResourceBytes(bundle, RT_RCDATA, L"MANIFEST", 0);
}

ManifestPackageEntry* PackageIn(std::string& manifest, DWORD k)
{
    return const_cast<ManifestPackageEntry*>(ManifestPackage(reinterpret_cast<PackageManifest*>(&manifest[0]), k));
}

} // namespace

TEST_F(Extraction, WritesEveryPackageIntoAFolderMadeWithItsParents)
{
    for (const wchar_t* sw : {L"/extract", L"/out", L"-EXTRACT"}) {
        ScratchFolder target;
        const std::wstring where = target / L"a\\b\\c";
        ASSERT_EQ(0u, Setup(std::wstring(sw) + Arg(where))) << sw;
        EXPECT_EQ(ReadBytes(DataFile(L"alpha.msi")), ReadBytes(where + L"\\alpha.msi")) << sw;
        EXPECT_EQ(ReadBytes(DataFile(L"beta.msi")), ReadBytes(where + L"\\beta.msi")) << sw;
        EXPECT_EQ(2, ScratchFolder::CountEntries(where)) << sw << ": the transform is never extracted";
    }
}

// An existing file is replaced by a new one, never written through: a hard
// link planted at a package's name keeps the file it leads to unchanged.
TEST_F(Extraction, ReplacesAnExistingFileAndAcceptsATrailingSeparator)
{
    ScratchFolder target;
    ScratchFolder elsewhere;
    const std::wstring victim = elsewhere / L"victim.bin";
    ScratchFolder::WriteFile(victim, "an older file, longer than nothing");
    ASSERT_TRUE(::CreateHardLinkW((target / L"alpha.msi").c_str(), victim.c_str(), nullptr));
    // Two backslashes before the closing quote stand for one on the command line.
    ASSERT_EQ(0u, Setup(L"/extract \"" + target.Path() + L"\\\\\""));
    EXPECT_EQ(ReadBytes(DataFile(L"alpha.msi")), ReadBytes(target / L"alpha.msi"));
    EXPECT_EQ(ReadBytes(DataFile(L"beta.msi")), ReadBytes(target / L"beta.msi"));
    EXPECT_EQ("an older file, longer than nothing", ReadBytes(victim));
}

// A package's cabinets go beside it, where the installer looks for them: into
// the folder with /extract, beside the named file with /o1.
TEST(ExtractionOfCabinets, WritesThemBesideTheirPackage)
{
    ScratchFolder folder;
    const std::wstring bundle = folder / L"cabbed.exe";
    const Captured run = Pack(L"/out" + Arg(bundle) + L" /stub" + Arg(BinFile(L"setup.exe")) + L" /package" +
                              Arg(DataFile(L"cabbed.msi")) + L" /package" + Arg(DataFile(L"alpha.msi")));
    ASSERT_EQ(0u, run.exitCode) << run.errorText;
    const struct {
        std::wstring arguments;
        std::wstring package;
        int files;
    } cases[] = {
        {L"/extract" + Arg(folder / L"all"), folder / L"all\\cabbed.msi", 4},
        {L"/o1" + Arg(folder / L"one\\first.msi"), folder / L"one\\first.msi", 3},
    };
    ::CreateDirectoryW((folder / L"one").c_str(), nullptr);
    for (const auto& c : cases) {
        ASSERT_EQ(0u, RunProgram(bundle, c.arguments)) << Utf8FromWide(c.arguments);
        const std::wstring beside = c.package.substr(0, c.package.rfind(L'\\') + 1);
        EXPECT_EQ(ReadBytes(DataFile(L"cabbed.msi")), ReadBytes(c.package));
        EXPECT_EQ(ReadBytes(DataFile(L"data1.cab")), ReadBytes(beside + L"data1.cab"));
        EXPECT_EQ(ReadBytes(DataFile(L"data2.cab")), ReadBytes(beside + L"data2.cab"));
        EXPECT_EQ(c.files, ScratchFolder::CountEntries(beside.substr(0, beside.size() - 1)));
    }
}

TEST_F(Extraction, FirstPackageOnlyToTheNamedFile)
{
    ScratchFolder target;
    ASSERT_EQ(0u, Setup(L"/o1" + Arg(target / L"first.bin")));
    EXPECT_EQ(ReadBytes(DataFile(L"alpha.msi")), ReadBytes(target / L"first.bin"));
    EXPECT_EQ(1, ScratchFolder::CountEntries(target.Path()));

    // No folder is made for the file: a missing one is "path not found".
    EXPECT_EQ(EXIT_PATH_NOT_FOUND, Setup(L"/o1" + Arg(target / L"missing\\first.bin")));
    EXPECT_FALSE(ScratchFolder::Exists(target / L"missing"));
}

TEST_F(Extraction, DamagedManifestsAreRefusedBeforeAnythingIsWritten)
{
    const struct {
        const char* what;
        void (*damage)(std::string&);
    } cases[] = {
        {"one byte short", [](std::string& m) { m.pop_back(); }},
        {"count beyond the resource", [](std::string& m) { m[1] = 3; }},
        {"transform count beyond the resource", [](std::string& m) { m[2] = 2; }},
        {"package name without NUL", [](std::string& m) { memcpy(PackageIn(m, 1)->resourceName, "MSI012345678", 12); }},
        {"transform name without NUL", [](std::string& m) { memset(&m[4 + 2 * 168], 'T', 12); }},
        {"file name without NUL", [](std::string& m) { std::fill_n(PackageIn(m, 0)->fileName, 64, L'x'); }},
        {"empty file name", [](std::string& m) { PackageIn(m, 1)->fileName[0] = L'\0'; }},
        {"file name with backslash", [](std::string& m) { wcscpy(PackageIn(m, 1)->fileName, L"..\\..\\x.msi"); }},
        {"file name with slash", [](std::string& m) { wcscpy(PackageIn(m, 0)->fileName, L"../x.msi"); }},
        {"file name with drive", [](std::string& m) { wcscpy(PackageIn(m, 0)->fileName, L"C:x.msi"); }},
    };
    for (const auto& c : cases) {
        std::string manifest = ManifestOf(bundle_);
        ASSERT_EQ(4u + 2 * 168 + 16, manifest.size());
        c.damage(manifest);
        const std::wstring damaged = folder_ / L"damaged.exe";
        ASSERT_TRUE(::CopyFileW(bundle_.c_str(), damaged.c_str(), FALSE));
        ASSERT_TRUE(WriteManifest(damaged, manifest)) << c.what;

        ScratchFolder target;
        EXPECT_EQ(EXIT_INVALID_DATA, RunProgram(damaged, L"/extract" + Arg(target / L"out"))) << c.what;
        EXPECT_EQ(EXIT_INVALID_DATA, RunProgram(damaged, L"/o1" + Arg(target / L"first.msi"))) << c.what;
        EXPECT_EQ(0, ScratchFolder::CountEntries(target.Path())) << c.what;
    }
}

// A signature's certificate table that begins inside a package cuts it
// short: neither /extract nor /o1 writes any of it.
TEST_F(Extraction, APackageReachingIntoTheCertificateTableIsRefused)
{
    std::string image = ReadBytes(bundle_);
    const std::string alpha = ReadBytes(DataFile(L"alpha.msi"));
    const size_t alphaAt = image.rfind(alpha);
    ASSERT_NE(std::string::npos, alphaAt);
    *CertificateEntry(image) = {static_cast<DWORD>(alphaAt + alpha.size() - 16), 16};
    const std::wstring signedBundle = folder_ / L"signed.exe";
    ScratchFolder::WriteFile(signedBundle, image);

    ScratchFolder target;
    EXPECT_EQ(EXIT_INVALID_DATA, RunProgram(signedBundle, L"/extract" + Arg(target / L"out")));
    EXPECT_EQ(EXIT_INVALID_DATA, RunProgram(signedBundle, L"/o1" + Arg(target / L"first.msi")));
    EXPECT_EQ(0, ScratchFolder::CountEntries(target / L"out"));
    EXPECT_FALSE(ScratchFolder::Exists(target / L"first.msi"));
}

TEST_F(Extraction, ABundleWithoutPackagesExtractsNothingAndHasNoFirstPackage)
{
    // The packer refuses to make one; a manifest that lists nothing stands in.
    const std::wstring empty = folder_ / L"empty.exe";
    ASSERT_TRUE(::CopyFileW(bundle_.c_str(), empty.c_str(), FALSE));
    ASSERT_TRUE(WriteManifest(empty, std::string(4, '\0')));
    ScratchFolder target;
    EXPECT_EQ(0u, RunProgram(empty, L"/extract" + Arg(target / L"out")));
    EXPECT_EQ(0, ScratchFolder::CountEntries(target / L"out"));
    EXPECT_EQ(EXIT_INVALID_DATA, RunProgram(empty, L"/o1" + Arg(target / L"first.msi")));
    EXPECT_FALSE(ScratchFolder::Exists(target / L"first.msi"));
}

TEST_F(Extraction, APackageResourceThatIsMissingEndsTheExtraction)
{
    std::string manifest = ManifestOf(bundle_);
    memcpy(PackageIn(manifest, 1)->resourceName, "MSI77", 6);
    const std::wstring damaged = folder_ / L"missing.exe";
    ASSERT_TRUE(::CopyFileW(bundle_.c_str(), damaged.c_str(), FALSE));
    ASSERT_TRUE(WriteManifest(damaged, manifest));

    ScratchFolder target;
    EXPECT_EQ(EXIT_NAME_NOT_FOUND, RunProgram(damaged, L"/extract" + Arg(target.Path())));
    EXPECT_EQ(ReadBytes(DataFile(L"alpha.msi")), ReadBytes(target / L"alpha.msi")) << "files written before the failure stay";
    EXPECT_FALSE(ScratchFolder::Exists(target / L"beta.msi"));
}

TEST(SampleBundle, CarriesTheTessaroPackageWithA172ByteManifest)
{
    const std::wstring setup = BinFile(L"setup.exe");
    const std::string manifest = ResourceBytes(setup, RT_RCDATA, L"MANIFEST", 0);
    ASSERT_EQ(172u, manifest.size());
    const ManifestPackageEntry* entry = ManifestPackage(reinterpret_cast<const PackageManifest*>(manifest.data()), 0);
    EXPECT_EQ(1, manifest[1]);
    EXPECT_EQ(0, manifest[2]);
    EXPECT_EQ(PKG_PER_MACHINE | PKG_KEEP_UI_LEVEL, entry->flags);
    EXPECT_EQ(0x00010000u, entry->versionHigh);
    EXPECT_EQ(0u, entry->versionLow);
    WCHAR code[PRODUCT_CODE_CHARS];
    ASSERT_EQ(S_OK, FormatProductCode(entry, code));
    EXPECT_STREQ(L"{1189E917-FC1A-4448-8D11-A872B4284769}", code);

    ScratchFolder target;
    ASSERT_EQ(0u, RunProgram(setup, L"/o1" + Arg(target / L"sample.msi")));
    EXPECT_EQ(ResourceBytes(setup, RT_RCDATA, L"MSI00", 0), ReadBytes(target / L"sample.msi"));
    EXPECT_TRUE(DataResourceNames(BinFile(L"setupstub.exe")).empty());
}
