#include <gtest/gtest.h>
#include "manifest.h"
#include "payloadtest.h"

namespace {

const GUID ALPHA_CODE = {0xA17A0001, 0x5E7D, 0x4F00, {0x9A, 0x11, 0, 0, 0, 0, 0, 0x01}};
const GUID BETA_CODE = {0xBE7A0002, 0x5E7D, 0x4F00, {0x9A, 0x11, 0, 0, 0, 0, 0, 0x02}};

const ManifestPackageEntry* PackageOf(const std::string& manifest, DWORD k)
{
    return ManifestPackage(reinterpret_cast<const PackageManifest*>(manifest.data()), k);
}

const ManifestTransformEntry* TransformOf(const std::string& manifest, DWORD k)
{
    return ManifestTransform(reinterpret_cast<const PackageManifest*>(manifest.data()), k);
}

std::string ManifestOf(const std::wstring& bundle)
{
    return ResourceBytes(bundle, RT_RCDATA, L"MANIFEST", 0);
}

// The product name string (51001) as the bundle carries it for English.
std::wstring ProductNameOf(const std::wstring& bundle)
{
    const std::string block = ResourceBytes(bundle, RT_STRING, MAKEINTRESOURCEW(51001 / 16 + 1), 1033);
    const WCHAR* p = reinterpret_cast<const WCHAR*>(block.data());
    const WCHAR* end = p + block.size() / 2;
    for (int i = 0; i < 16 && p < end; ++i) {
        if (i == 51001 % 16) {
            return std::wstring(p + 1, *p);
        }
        p += 1 + *p;
    }
    return L"<none>";
}

int CountPackerLeftovers(const ScratchFolder& folder)
{
    int count = 0;
    WIN32_FIND_DATAW entry;
    HANDLE find = ::FindFirstFileW((folder / L"spk*.tmp").c_str(), &entry);
    if (find != INVALID_HANDLE_VALUE) {
        do {
            ++count;
        } while (::FindNextFileW(find, &entry));
        ::FindClose(find);
    }
    return count;
}

// A file of the given size that takes no room on the disk: Wine extends it with
// ftruncate, which leaves a hole.
void WriteSparseFile(const std::wstring& path, LONGLONG size)
{
    HANDLE file = ::CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    LARGE_INTEGER end = {};
    end.QuadPart = size;
    ::SetFilePointerEx(file, end, nullptr, FILE_BEGIN);
    ::SetEndOfFile(file);
    ::CloseHandle(file);
}

} // namespace

TEST(Packer, WritesManifestPackagesAndTransformsInCommandLineOrder)
{
    ScratchFolder folder;
    ScratchFolder::WriteFile(folder / L"de.mst", "german transform");
    ScratchFolder::WriteFile(folder / L"fr.mst", "french transform");
    const std::wstring bundle = folder / L"bundle.exe";

    const Captured run = Pack(L"/out" + Arg(bundle) + L" /package" + Arg(DataFile(L"beta.msi")) +
                              L" /flags cache+PerMachine+transform -PACKAGE" + Arg(DataFile(L"alpha.msi")) +
                              L" -Flags 0x89 /transform" + Arg(folder / L"de.mst") + L" /language 1031" +
                              L" /TRANSFORM" + Arg(folder / L"fr.mst") + L" /Language 0x40C");
    ASSERT_EQ(0u, run.exitCode) << run.errorText;
    EXPECT_EQ("", run.errorText);

    const std::string manifest = ManifestOf(bundle);
    ASSERT_EQ(4u + 2 * 168 + 2 * 16, manifest.size());
    EXPECT_EQ(0, manifest[0]);
    EXPECT_EQ(2, manifest[1]);
    EXPECT_EQ(2, manifest[2]);
    EXPECT_EQ(0, manifest[3]);

    const ManifestPackageEntry* beta = PackageOf(manifest, 0);
    EXPECT_STREQ("MSI00", beta->resourceName);
    EXPECT_STREQ(L"beta.msi", beta->fileName);
    EXPECT_TRUE(IsEqualGUID(BETA_CODE, beta->productCode));
    EXPECT_EQ(0x00020000u, beta->versionHigh);
    EXPECT_EQ(0x00010005u, beta->versionLow);
    EXPECT_EQ(0x85u, beta->flags);

    const ManifestPackageEntry* alpha = PackageOf(manifest, 1);
    EXPECT_STREQ("MSI01", alpha->resourceName);
    EXPECT_STREQ(L"alpha.msi", alpha->fileName);
    EXPECT_TRUE(IsEqualGUID(ALPHA_CODE, alpha->productCode));
    EXPECT_EQ(0x00010002u, alpha->versionHigh);   // "1.2.3": the missing revision is 0
    EXPECT_EQ(0x00030000u, alpha->versionLow);
    EXPECT_EQ(0x89u, alpha->flags);

    EXPECT_STREQ("MST00", TransformOf(manifest, 0)->resourceName);
    EXPECT_EQ(1031u, TransformOf(manifest, 0)->language);
    EXPECT_STREQ("MST01", TransformOf(manifest, 1)->resourceName);
    EXPECT_EQ(1036u, TransformOf(manifest, 1)->language);

    EXPECT_EQ(ReadBytes(DataFile(L"beta.msi")), ResourceBytes(bundle, RT_RCDATA, L"MSI00", 0));
    EXPECT_EQ(ReadBytes(DataFile(L"alpha.msi")), ResourceBytes(bundle, RT_RCDATA, L"MSI01", 0));
    EXPECT_EQ("german transform", ResourceBytes(bundle, RT_RCDATA, L"MST00", 0));
    EXPECT_EQ("french transform", ResourceBytes(bundle, RT_RCDATA, L"MST01", 0));
    EXPECT_EQ(0, CountPackerLeftovers(folder));
}

TEST(Packer, FlagNamesAndNumbersGiveTheSameBits)
{
    const struct {
        const wchar_t* flags;
        DWORD bits;
    } cases[] = {
        {L"permachine+cache+keepui+ignorefailure+allowupgrade+transform+patch+patchtarget", 0x3BD},
        {L"KeepUI", 0x8}, {L"137", 137}, {L"0x9", 0x9}, {L"0", 0}, {L"x86only+cache", 0x804}, {L"X64Only", 0x400},
    };
    ScratchFolder folder;
    for (const auto& c : cases) {
        const std::wstring bundle = folder / L"flags.exe";
        const Captured run = Pack(L"/out" + Arg(bundle) + L" /package" + Arg(DataFile(L"alpha.msi")) +
                                  L" /flags " + c.flags);
        ASSERT_EQ(0u, run.exitCode) << run.errorText;
        EXPECT_EQ(c.bits, PackageOf(ManifestOf(bundle), 0)->flags) << c.flags;
    }
}

TEST(Packer, CodeAndVersionOverrideThePackageAndStandInForAPatch)
{
    ScratchFolder folder;
    ScratchFolder::WriteFile(folder / L"fix.msp", "not a database at all");
    const std::wstring bundle = folder / L"patch.exe";

    const Captured run = Pack(L"/out" + Arg(bundle) + L" /package" + Arg(DataFile(L"alpha.msi")) +
                              L" /code {be7a0002-5e7d-4f00-9a11-000000000002} /version 9.8.7.6 /package" +
                              Arg(folder / L"fix.msp") + L" /flags patch /code {A17A0001-5E7D-4F00-9A11-000000000001}" +
                              L" /version 65535.0.65535.1 /package" + Arg(folder / L"fix.msp") +
                              L" /code {A17A0001-5E7D-4F00-9A11-000000000001} /version 1.0");
    ASSERT_EQ(0u, run.exitCode) << run.errorText << ": any file, when /code and /version name it";
    const std::string manifest = ManifestOf(bundle);
    EXPECT_TRUE(IsEqualGUID(BETA_CODE, PackageOf(manifest, 0)->productCode));
    EXPECT_EQ(0x00090008u, PackageOf(manifest, 0)->versionHigh);
    EXPECT_EQ(0x00070006u, PackageOf(manifest, 0)->versionLow);
    EXPECT_STREQ(L"fix.msp", PackageOf(manifest, 1)->fileName);
    EXPECT_TRUE(IsEqualGUID(ALPHA_CODE, PackageOf(manifest, 1)->productCode));
    EXPECT_EQ(0xFFFF0000u, PackageOf(manifest, 1)->versionHigh);
    EXPECT_EQ(0xFFFF0001u, PackageOf(manifest, 1)->versionLow);
}

// The packer reads the platform from a package's summary and flags a 64-bit
// one by itself; the vendor flags the 32-bit one of a pair. (A patch is never
// opened: see the case above.)
TEST(Packer, FlagsAPackageBuiltForX64AndSaysSo)
{
    ScratchFolder folder;
    const std::wstring bundle = folder / L"pair.exe";

    const Captured run = Pack(L"/out" + Arg(bundle) + L" /package" + Arg(DataFile(L"alpha.msi")) +
                              L" /flags x86only /package" + Arg(DataFile(L"delta64.msi")) + L" /flags cache");
    ASSERT_EQ(0u, run.exitCode) << run.errorText;
    EXPECT_EQ("", run.errorText);
    EXPECT_EQ("setuppack: delta64.msi is built for x64: x64only, installed on 64-bit Windows only\n",
              run.outputText);
    EXPECT_EQ(0x800u, PackageOf(ManifestOf(bundle), 0)->flags);
    EXPECT_EQ(0x404u, PackageOf(ManifestOf(bundle), 1)->flags);
}

TEST(Packer, EmptiesAStubThatCarriesPackagesAndKeepsEverythingElse)
{
    ScratchFolder folder;
    const std::wstring first = folder / L"first.exe";
    const std::wstring second = folder / L"second.exe";
    ScratchFolder::WriteFile(folder / L"de.mst", "german");

    // The default stub is setup.exe beside the packer; it carries the sample.
    ASSERT_EQ(0u, Pack(L"/out" + Arg(first) + L" /package" + Arg(DataFile(L"alpha.msi")) + L" /package" +
                       Arg(DataFile(L"beta.msi")) + L" /transform" + Arg(folder / L"de.mst") + L" /language 1031")
                      .exitCode);
    EXPECT_EQ((std::vector<std::wstring>{L"MANIFEST", L"MSI00", L"MSI01", L"MST00"}), DataResourceNames(first));

    const Captured run = Pack(L"/stub" + Arg(first) + L" /out" + Arg(second) + L" /package" +
                              Arg(DataFile(L"gamma.msi")));
    ASSERT_EQ(0u, run.exitCode) << run.errorText;
    EXPECT_EQ((std::vector<std::wstring>{L"MANIFEST", L"MSI00"}), DataResourceNames(second));
    EXPECT_EQ(ReadBytes(DataFile(L"gamma.msi")), ResourceBytes(second, RT_RCDATA, L"MSI00", 0));
    EXPECT_EQ(172u, ManifestOf(second).size());
    // The program's own resources travel on: the help text and the product name.
    const std::wstring setup = BinFile(L"setup.exe");
    EXPECT_EQ(ResourceBytes(setup, RT_STRING, MAKEINTRESOURCEW(2005 / 16 + 1), 1033),
              ResourceBytes(second, RT_STRING, MAKEINTRESOURCEW(2005 / 16 + 1), 1033));
    EXPECT_EQ(L"Tessaro", ProductNameOf(second));
}

TEST(Packer, NameReplacesTheProductNameAndAStubMayBeItsOwnOutput)
{
    ScratchFolder folder;
    const std::wstring bundle = folder / L"named.exe";
    ASSERT_EQ(0u, Pack(L"/out" + Arg(bundle) + L" /name \"Tessaro Office 2026\" /package" +
                       Arg(DataFile(L"alpha.msi"))).exitCode);
    EXPECT_EQ(L"Tessaro Office 2026", ProductNameOf(bundle));

    const Captured again = Pack(L"/stub" + Arg(bundle) + L" /out" + Arg(bundle) + L" /name Renamed /package" +
                                Arg(DataFile(L"beta.msi")));
    ASSERT_EQ(0u, again.exitCode) << again.errorText;
    EXPECT_EQ(L"Renamed", ProductNameOf(bundle));
    EXPECT_STREQ(L"beta.msi", PackageOf(ManifestOf(bundle), 0)->fileName);
    EXPECT_EQ(0, CountPackerLeftovers(folder));
}

TEST(Packer, EveryBadInputFailsWithOneLineAndWritesNothing)
{
    ScratchFolder folder;
    ScratchFolder::WriteFile(folder / L"text.msi", "plain text, not a database");
    ScratchFolder::WriteFile(folder / L"empty.msi", "");
    ScratchFolder::WriteFile(folder / L"de.mst", "german");
    const std::wstring longName = folder / (std::wstring(60, L'n') + L".msi");   // 64 characters
    ::CopyFileW(DataFile(L"alpha.msi").c_str(), longName.c_str(), FALSE);
    const std::wstring locked = folder / L"locked.msi";
    ::CopyFileW(DataFile(L"alpha.msi").c_str(), locked.c_str(), FALSE);
    HANDLE lock = ::CreateFileW(locked.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    // A bundle carries at most 2047 MiB of packages and transforms.
    const LONGLONG MiB = 1024 * 1024;
    WriteSparseFile(folder / L"large.msi", 2047 * MiB + 1);
    WriteSparseFile(folder / L"half1.msi", 1024 * MiB);
    WriteSparseFile(folder / L"half2.msi", 1024 * MiB);
    const std::wstring identity = L" /code {A17A0001-5E7D-4F00-9A11-000000000001} /version 1.0";

    const std::wstring out = L"/out" + Arg(folder / L"out.exe");
    const std::wstring alpha = L" /package" + Arg(DataFile(L"alpha.msi"));
    std::wstring tooManyPackages = out;
    std::wstring tooManyTransforms = out;
    for (int i = 0; i < 256; ++i) {
        tooManyPackages += alpha;
        tooManyTransforms += L" /transform" + Arg(folder / L"de.mst") + L" /language 1031";
    }

    const struct {
        const char* what;
        std::wstring arguments;
    } cases[] = {
        {"no arguments", L""},
        {"no /out", alpha.substr(1)},
        {"unknown switch", out + alpha + L" /bogus 1"},
        {"stray argument", out + L" stray.msi"},
        {"/out without value", L"/out"},
        {"value that is a switch", L"/out /package" + Arg(DataFile(L"alpha.msi"))},
        {"/flags without value", out + alpha + L" /flags"},
        {"/flags before /package", out + L" /flags 1" + alpha},
        {"unknown flag name", out + alpha + L" /flags cache+bogus"},
        {"empty flag name", out + alpha + L" /flags cache++keepui"},
        {"flag number overflow", out + alpha + L" /flags 0x100000000"},
        {"flag number with junk", out + alpha + L" /flags 12ab"},
        {"x64only and x86only", out + alpha + L" /flags x64only+x86only"},
        {"both architecture bits", out + alpha + L" /flags 0xC00"},
        {"x86only on an x64 package", out + L" /package" + Arg(DataFile(L"delta64.msi")) + L" /flags x86only"},
        {"bad GUID", out + alpha + L" /code {A17A0001-5E7D-4F00-9A11-00000000001}"},
        {"GUID without braces", out + alpha + L" /code A17A0001-5E7D-4F00-9A11-000000000001"},
        {"GUID with junk", out + alpha + L" /code {A17A0001-5E7D-4F00-9A11-00000000000G}"},
        {"version part over 65535", out + alpha + L" /version 1.70000"},
        {"version with five parts", out + alpha + L" /version 1.2.3.4.5"},
        {"version with empty part", out + alpha + L" /version 1..3"},
        {"version not a number", out + alpha + L" /version one"},
        {"missing package", out + L" /package" + Arg(folder / L"missing.msi")},
        {"unreadable package", out + L" /package" + Arg(locked)},
        {"empty package", out + L" /package" + Arg(folder / L"empty.msi") + L" /code {A17A0001-5E7D-4F00-9A11-000000000001} /version 1.0"},
        {"not a database", out + L" /package" + Arg(folder / L"text.msi")},
        {"package over 2047 MiB", out + L" /package" + Arg(folder / L"large.msi") + identity},
        {"not a database, only /code", out + L" /package" + Arg(folder / L"text.msi") + L" /code {A17A0001-5E7D-4F00-9A11-000000000001}"},
        {"file name over 63", out + L" /package" + Arg(longName)},
        {"256 packages", tooManyPackages},
        {"256 transforms", tooManyTransforms + alpha},
        {"transform without language", out + alpha + L" /transform" + Arg(folder / L"de.mst")},
        {"language not a number", out + alpha + L" /transform" + Arg(folder / L"de.mst") + L" /language german"},
        {"language over 65535", out + alpha + L" /transform" + Arg(folder / L"de.mst") + L" /language 65536"},
        {"missing transform", out + alpha + L" /transform" + Arg(folder / L"none.mst") + L" /language 1031"},
        {"missing stub", out + alpha + L" /stub" + Arg(folder / L"none.exe")},
        {"stub not an executable", out + alpha + L" /stub" + Arg(folder / L"text.msi")},
        {"output folder missing", L"/out" + Arg(folder / L"no\\such\\out.exe") + alpha},
    };
    for (const auto& c : cases) {
        const Captured run = Pack(c.arguments);
        EXPECT_NE(0u, run.exitCode) << c.what;
        EXPECT_NE(0xFFFFFFFFu, run.exitCode) << c.what;
        EXPECT_EQ(0u, run.errorText.rfind("setuppack: ", 0)) << c.what << ": " << run.errorText;
        EXPECT_EQ(1, std::count(run.errorText.begin(), run.errorText.end(), '\n')) << c.what << ": " << run.errorText;
        EXPECT_FALSE(ScratchFolder::Exists(folder / L"out.exe")) << c.what;
        EXPECT_EQ(0, CountPackerLeftovers(folder)) << c.what;
    }
    ::CloseHandle(lock);
    // Refused for its share of the whole, not for its own size.
    const Captured together = Pack(out + L" /package" + Arg(folder / L"half1.msi") + identity + L" /package" +
                                   Arg(folder / L"half2.msi") + identity);
    EXPECT_NE(std::string::npos, together.errorText.find("half2.msi is empty or too large")) << together.errorText;
}

TEST(Packer, AFailedRunLeavesAnExistingOutputAsItWas)
{
    ScratchFolder folder;
    const std::wstring bundle = folder / L"keep.exe";
    ScratchFolder::WriteFile(bundle, "the earlier bundle");
    const Captured run = Pack(L"/out" + Arg(bundle) + L" /package" + Arg(DataFile(L"alpha.msi")) +
                              L" /stub" + Arg(folder / L"keep.exe"));   // not an executable
    EXPECT_NE(0u, run.exitCode);
    EXPECT_EQ("the earlier bundle", ReadBytes(bundle));
    EXPECT_EQ(0, CountPackerLeftovers(folder));
}
