#include <gtest/gtest.h>
#include "manifest.h"
#include "payloadtest.h"
#include "registration.h"

#include <imagehlp.h>
#include <objbase.h>
#include <regex>
#include <sstream>

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

// The text of the bundle's English version record under `name`; "<none>" when absent.
std::wstring VersionText(const std::wstring& bundle, const std::wstring& name, VS_FIXEDFILEINFO* fixed = nullptr)
{
    std::vector<BYTE> record(::GetFileVersionInfoSizeW(bundle.c_str(), nullptr));
    void* value = nullptr;
    UINT length = 0;
    if (record.empty() || !::GetFileVersionInfoW(bundle.c_str(), 0, static_cast<DWORD>(record.size()), record.data())) {
        return L"<no record>";
    }
    if (fixed && ::VerQueryValueW(record.data(), L"\\", &value, &length)) {
        *fixed = *static_cast<VS_FIXEDFILEINFO*>(value);
    }
    const std::wstring path = L"\\StringFileInfo\\040904B0\\" + name;
    return ::VerQueryValueW(record.data(), path.c_str(), &value, &length) ? static_cast<WCHAR*>(value) : L"<none>";
}

// An .ico file of `images` images, 1x1 pixel each: header, entries, then each
// image (bitmap header, one pixel, its mask row).
void WriteIcon(const std::wstring& path, int images)
{
    std::string file("\0\0\1\0", 4);
    file += static_cast<char>(images) + std::string(1, '\0');
    for (int k = 0; k < images; ++k) {
        const DWORD entry[4] = {1 | 1 << 8, 1 | 32 << 16, 48, static_cast<DWORD>(6 + 16 * images + 48 * k)};
        file.append(reinterpret_cast<const char*>(entry), sizeof(entry));
    }
    for (int k = 0; k < images; ++k) {
        const DWORD image[12] = {40, 1, 2, 1 | 32 << 16, 0, 8, 0, 0, 0, 0, 0xFF000000u | 0xFF0000u >> (8 * k), 0};
        file.append(reinterpret_cast<const char*>(image), sizeof(image));
    }
    ScratchFolder::WriteFile(path, file);
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

std::string ApplicationManifestOf(const std::wstring& module)
{
    return ResourceBytes(module, RT_MANIFEST, MAKEINTRESOURCEW(1), 1033);
}

// A copy of this build's setup.exe with `xml` for its application manifest.
std::wstring StubWithManifest(const std::wstring& stub, const std::string& xml)
{
    ::CopyFileW(BinFile(L"setup.exe").c_str(), stub.c_str(), FALSE);
    HANDLE update = ::BeginUpdateResourceW(stub.c_str(), FALSE);
    ::UpdateResourceW(update, RT_MANIFEST, MAKEINTRESOURCEW(1), 1033, const_cast<char*>(xml.data()),
                      static_cast<DWORD>(xml.size()));
    ::EndUpdateResourceW(update, FALSE);
    return stub;
}

// A copy of `program` whose header names a certificate table of 16 bytes:
// appended, where signing tools put it, or at 1024, inside the image.
std::wstring StubWithCertificateTable(const std::wstring& program, const std::wstring& stub, bool appended)
{
    std::string image = ReadBytes(program);
    *CertificateEntry(image) = {appended ? static_cast<DWORD>(image.size()) : 1024, 16};
    if (appended) {
        image.append(16, 'C');
    }
    ScratchFolder::WriteFile(stub, image);
    return stub;
}

std::string Replaced(std::string text, const std::string& from, const std::string& to)
{
    const size_t at = text.find(from);
    return std::string::npos == at ? "<" + from + " not found>" : text.replace(at, from.size(), to);
}

// Each packer test runs with both builds of the packer, which take the same
// switches and write the same bundles; messages name paths in the host's form.
class Packer : public ::testing::TestWithParam<PackerBuild> {
protected:
    void SetUp() override
    {
        std::wstring native;
        if (PackerBuild::Native == GetParam() && !NativePackerBuilt(&native)) {
            FAIL() << "the native packer " << Utf8FromWide(native) << " is missing: build it with `make native`";
        }
    }

    Captured Pack(const std::wstring& arguments) const
    {
        return PackWith(GetParam(), arguments);
    }

    // A path as the packer under test names it.
    std::string Named(const std::wstring& path) const
    {
        return Utf8FromWide(PathFor(GetParam(), path));
    }
};

} // namespace

INSTANTIATE_TEST_SUITE_P(Both, Packer, ::testing::Values(PackerBuild::Exe, PackerBuild::Native),
                         [](const ::testing::TestParamInfo<PackerBuild>& info) {
                             return PackerBuild::Native == info.param ? "native" : "exe";
                         });

TEST_P(Packer, WritesManifestPackagesAndTransformsInCommandLineOrder)
{
    ScratchFolder folder;
    ASSERT_TRUE(WriteInstallerStorage(folder / L"de.mst", INSTALLER_TRANSFORM, "german transform"));
    ASSERT_TRUE(WriteInstallerStorage(folder / L"fr.mst", INSTALLER_TRANSFORM, "french transform"));
    const std::wstring bundle = folder / L"bundle.exe";

    const Captured run = Pack(L"/out" + Arg(bundle) + L" /package" + Arg(DataFile(L"beta.msi")) +
                              L" /flags cache+PerMachine+transform -PACKAGE" + Arg(DataFile(L"alpha.msi")) +
                              L" -Flags 0x9 /transform" + Arg(folder / L"de.mst") + L" /language 1031" +
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
    EXPECT_EQ(0x9u, alpha->flags);

    EXPECT_STREQ("MST00", TransformOf(manifest, 0)->resourceName);
    EXPECT_EQ(1031u, TransformOf(manifest, 0)->language);
    EXPECT_STREQ("MST01", TransformOf(manifest, 1)->resourceName);
    EXPECT_EQ(1036u, TransformOf(manifest, 1)->language);

    EXPECT_EQ(ReadBytes(DataFile(L"beta.msi")), PayloadBytes(bundle, "MSI00"));
    EXPECT_EQ(ReadBytes(DataFile(L"alpha.msi")), PayloadBytes(bundle, "MSI01"));
    EXPECT_EQ(ReadBytes(folder / L"de.mst"), PayloadBytes(bundle, "MST00"));
    EXPECT_EQ(ReadBytes(folder / L"fr.mst"), PayloadBytes(bundle, "MST01"));
    EXPECT_EQ(0, CountPackerLeftovers(folder));
}

TEST_P(Packer, FlagNamesAndNumbersGiveTheSameBits)
{
    const struct {
        const wchar_t* flags;
        DWORD bits;
    } cases[] = {
        {L"permachine+cache+keepui+ignorefailure+allowupgrade+transform+patchtarget", 0x2BD},
        {L"KeepUI", 0x8}, {L"137", 137}, {L"0x9", 0x9}, {L"0", 0}, {L"x86only+cache", 0x804}, {L"X64Only", 0x400},
    };
    ScratchFolder folder;
    ASSERT_TRUE(WriteInstallerStorage(folder / L"de.mst", INSTALLER_TRANSFORM, "german"));
    for (const auto& c : cases) {
        const std::wstring bundle = folder / L"flags.exe";
        const Captured run = Pack(L"/out" + Arg(bundle) + L" /package" + Arg(DataFile(L"alpha.msi")) +
                                  L" /flags " + c.flags + L" /transform" + Arg(folder / L"de.mst") + L" /language 7");
        ASSERT_EQ(0u, run.exitCode) << run.errorText;
        EXPECT_EQ(c.bits, PackageOf(ManifestOf(bundle), 0)->flags) << c.flags;
    }
}

// /code and /version name the product a patch patches; for a package they
// may only repeat what it says itself (the refusals are in the table below).
TEST_P(Packer, CodeAndVersionNameThePatchedProduct)
{
    ScratchFolder folder;
    ASSERT_TRUE(WriteInstallerStorage(folder / L"fix.msp", INSTALLER_PATCH, "a patch"));
    const std::wstring bundle = folder / L"patch.exe";

    const Captured run = Pack(L"/out" + Arg(bundle) + L" /package" + Arg(DataFile(L"beta.msi")) +
                              L" /code {be7a0002-5e7d-4f00-9a11-000000000002} /version 2.0.1.5 /package" +
                              Arg(folder / L"fix.msp") + L" /flags patch /code {A17A0001-5E7D-4F00-9A11-000000000001}" +
                              L" /version 65535.0.65535.1");
    ASSERT_EQ(0u, run.exitCode) << run.errorText;
    const std::string manifest = ManifestOf(bundle);
    EXPECT_TRUE(IsEqualGUID(BETA_CODE, PackageOf(manifest, 0)->productCode));
    EXPECT_STREQ(L"fix.msp", PackageOf(manifest, 1)->fileName);
    EXPECT_TRUE(IsEqualGUID(ALPHA_CODE, PackageOf(manifest, 1)->productCode));
    EXPECT_EQ(0xFFFF0000u, PackageOf(manifest, 1)->versionHigh);
    EXPECT_EQ(0xFFFF0001u, PackageOf(manifest, 1)->versionLow);
}

// The packer reads the platform from a package's summary and flags a 64-bit
// one by itself; the vendor flags the 32-bit one of a pair, which may then
// share its upgrade code. (A patch is never opened: see the case above.)
TEST_P(Packer, FlagsAPackageBuiltForX64AndSaysSo)
{
    ScratchFolder folder;
    const std::wstring bundle = folder / L"pair.exe";

    const Captured run = Pack(L"/out" + Arg(bundle) + L" /package" + Arg(DataFile(L"alpha.msi")) +
                              L" /flags x86only /package" + Arg(DataFile(L"delta64.msi")) + L" /flags cache");
    ASSERT_EQ(0u, run.exitCode) << run.errorText;
    EXPECT_EQ("", run.errorText);
    EXPECT_EQ(0u, run.outputText.rfind("setuppack: delta64.msi is built for x64: x64only, installed on 64-bit "
                                       "Windows only\nsetuppack: wrote ", 0)) << run.outputText;
    EXPECT_EQ(0x800u, PackageOf(ManifestOf(bundle), 0)->flags);
    EXPECT_EQ(0x404u, PackageOf(ManifestOf(bundle), 1)->flags);
}

// A prerequisite program is a chain entry in command-line order: EXE<nn> with
// the program's bytes and ARG<nn> with its parameters, exactly as the setup run
// reads them (prereqargs.h).
TEST_P(Packer, WritesPrerequisiteProgramsAsChainEntries)
{
    ScratchFolder folder;
    const std::wstring bundle = folder / L"App-Setup.exe";
    const std::wstring program = BinFile(L"testprereq.exe");
    const std::wstring key = L"HKLM64\\Software\\TessaroTests\\Prereq";

    const Captured run = Pack(L"/out" + Arg(bundle) + L" /exe" + Arg(program) + L" /flags permachine+cache" +
                              L" /detect \"" + key + L":Installed = 1\" /detect \"" + key + L":Version >= v14.40\"" +
                              L" /args \"/install /quiet /norestart\" /uiargs \"/install /passive\"" +
                              L" /uninstallargs \"/uninstall /quiet\" /repairargs \"/repair /quiet\"" +
                              L" /exitcode 1638=success /exitcode 0x80070005=Failure" +
                              L" /exitcode 1641=RESTART /package" + Arg(DataFile(L"alpha.msi")) + L" -EXE" + Arg(program) +
                              L" /flags ignorefailure /Detect Always");
    ASSERT_EQ(0u, run.exitCode) << run.errorText;
    const bool x64 = sizeof(void*) == 8;   // the test program is built for this build's processor
    const std::string note = "setuppack: testprereq.exe is built for x86_64: x64only, run on 64-bit Windows only\n";
    EXPECT_EQ((x64 ? note + note : "") + "setuppack: wrote " + Named(bundle) + " (" +
                  std::to_string(ReadBytes(bundle).size()) + " bytes, i686 program): 2 prerequisites, 1 package, 0 cabinets, 0 transforms\n",
              run.outputText);

    const std::string manifest = ManifestOf(bundle);
    ASSERT_EQ(4u + 3 * 168, manifest.size());
    const DWORD architecture = x64 ? PKG_64BIT_WINDOWS_ONLY : 0;
    const struct {
        const char* resource;
        const wchar_t* fileName;
        DWORD flags;
    } entries[] = {
        {"EXE00", L"testprereq.exe", PKG_PROGRAM | PKG_PER_MACHINE | PKG_CACHE | architecture},
        {"MSI01", L"alpha.msi", 0},
        {"EXE02", L"testprereq.exe", PKG_PROGRAM | PKG_IGNORE_FAILURE | architecture},
    };
    for (DWORD k = 0; k < 3; ++k) {
        EXPECT_STREQ(entries[k].resource, PackageOf(manifest, k)->resourceName);
        EXPECT_STREQ(entries[k].fileName, PackageOf(manifest, k)->fileName);
        EXPECT_EQ(entries[k].flags, PackageOf(manifest, k)->flags) << k;
    }
    for (DWORD k : {0u, 2u}) {
        EXPECT_TRUE(IsEqualGUID(GUID(), PackageOf(manifest, k)->productCode));
        EXPECT_EQ(0x000E0028u, PackageOf(manifest, k)->versionHigh) << "14.40 from the version record";
        EXPECT_EQ(0x84120000u, PackageOf(manifest, k)->versionLow) << "33810.0";
        EXPECT_EQ(ReadBytes(program), PayloadBytes(bundle, k ? "EXE02" : "EXE00"));
    }
    const std::wstring expected =
        L"detect=" + key + L":Installed = 1\ndetect=" + key + L":Version >= v14.40\n"
        L"args=/install /quiet /norestart\nuiargs=/install /passive\nuninstallargs=/uninstall /quiet\n"
        L"repairargs=/repair /quiet\n"
        L"exitcode=1638=success\nexitcode=2147942405=failure\nexitcode=1641=restart";
    const std::string parameters = ResourceBytes(bundle, RT_RCDATA, L"ARG00", 0);
    EXPECT_EQ(expected, std::wstring(reinterpret_cast<const wchar_t*>(parameters.data()), parameters.size() / 2));
    const std::string second = ResourceBytes(bundle, RT_RCDATA, L"ARG02", 0);
    EXPECT_EQ(L"detect=Always", std::wstring(reinterpret_cast<const wchar_t*>(second.data()), second.size() / 2));
}

// The vendors' guide's worked examples of prerequisites, packed as written,
// with the test program standing in for each runtime's setup and a test
// package for the vendor's (an example is a "    setuppack /out" line and the
// lines indented below it).
TEST_P(Packer, PacksTheVendorGuidesPrerequisiteExamples)
{
    ScratchFolder folder;
    std::istringstream guide(ReadBytes(WindowsPathFromUnix(VENDOR_GUIDE_PATH)));
    std::vector<std::string> examples;
    bool open = false;
    for (std::string line; std::getline(guide, line);) {
        if (line.rfind("    setuppack /out", 0) == 0) examples.push_back(line.substr(13));
        else if (open && line.rfind("              ", 0) == 0) examples.back() += " " + line.substr(line.find('/'));
        open = line.rfind("    setuppack /out", 0) == 0 || (open && line.rfind("              ", 0) == 0);
    }
    const std::string exe = Utf8FromWide(Arg(BinFile(L"testprereq.exe")));
    const std::string msi = Utf8FromWide(Arg(DataFile(L"alpha.msi")));
    const std::string out = Utf8FromWide(Arg(folder / L"App-Setup.exe"));
    unsigned packed = 0;
    for (std::string example : examples) {
        if (example.find("/exe ") == std::string::npos) continue;
        example = std::regex_replace(example, std::regex("/exe \\S+"), "/exe" + exe);
        example = std::regex_replace(example, std::regex("/package \\S+"), "/package" + msi);
        example = std::regex_replace(example, std::regex("/out \\S+"), "/out" + out);
        const Captured run = Pack(WideFromUtf8(example));
        EXPECT_EQ(0u, run.exitCode) << example << "\n" << run.errorText;
        ++packed;
    }
    EXPECT_EQ(3u, packed) << "the Visual C++, .NET Framework and driver examples";
}

TEST_P(Packer, EmptiesAStubThatCarriesPackagesAndKeepsEverythingElse)
{
    ScratchFolder folder;
    const std::wstring first = folder / L"first.exe";
    const std::wstring second = folder / L"second.exe";
    ASSERT_TRUE(WriteInstallerStorage(folder / L"de.mst", INSTALLER_TRANSFORM, "german"));

    // The default stub is the i686 setup.exe; it carries the sample.
    ASSERT_EQ(0u, Pack(L"/out" + Arg(first) + L" /package" + Arg(DataFile(L"alpha.msi")) + L" /package" +
                       Arg(DataFile(L"beta.msi")) + L" /transform" + Arg(folder / L"de.mst") + L" /language 1031" +
                       L" /exe" + Arg(BinFile(L"testprereq.exe")) + L" /detect always" +
                       L" /upgradecode {A17A0000-5E7D-4F00-9A11-0000000000AA}")
                      .exitCode);
    EXPECT_EQ((std::vector<std::wstring>{L"ARG02", L"MANIFEST", L"PAYLOADS", L"REGISTRATION"}), DataResourceNames(first));
    EXPECT_EQ((std::vector<std::string>{"MSI00", "MSI01", "EXE02", "MST00"}), ListedPayloads(first));

    const Captured run = Pack(L"/stub" + Arg(first) + L" /out" + Arg(second) + L" /package" +
                              Arg(DataFile(L"gamma.msi")));
    ASSERT_EQ(0u, run.exitCode) << run.errorText;
    EXPECT_EQ((std::vector<std::wstring>{L"MANIFEST", L"PAYLOADS"}), DataResourceNames(second));
    EXPECT_EQ((std::vector<std::string>{"MSI00"}), ListedPayloads(second));
    EXPECT_EQ(ReadBytes(DataFile(L"gamma.msi")), PayloadBytes(second, "MSI00"));
    EXPECT_EQ(172u, ManifestOf(second).size());
    // The program's own resources travel on, the help text among them; the
    // product name is the package's.
    const std::wstring setup = BinFile(L"setup.exe");
    EXPECT_EQ(ResourceBytes(setup, RT_STRING, MAKEINTRESOURCEW(2005 / 16 + 1), 1033),
              ResourceBytes(second, RT_STRING, MAKEINTRESOURCEW(2005 / 16 + 1), 1033));
    EXPECT_EQ(L"Gamma", ProductNameOf(second));
}

// /upgradecode: a registered bundle carries its REGISTRATION record under a
// bundle code that the last line names (what the entry shows of the record:
// the setup-run tests); a hidden package keeps its flag. The code is made from
// the upgrade code, the version and the payloads: the same inputs give the
// same code, another version or other payloads another; /bundlecode sets it.
TEST_P(Packer, ARegisteredBundleCarriesItsRecordUnderACodeOfItsOwn)
{
    ScratchFolder folder;
    const std::wstring upgrade = L" /upgradecode {a17a0000-5e7d-4f00-9a11-0000000000aa}";
    const std::wstring alpha = L" /package" + Arg(DataFile(L"alpha.msi")) + L" /flags hidden";
    const struct {
        const wchar_t* name;
        std::wstring arguments;
    } cases[] = {
        {L"one.exe", alpha + upgrade},
        {L"two.exe", alpha + upgrade},
        {L"three.exe", alpha + upgrade + L" /bundleversion 1.2.3.4"},
        {L"four.exe", alpha + upgrade + L" /package" + Arg(DataFile(L"beta.msi"))},
        {L"five.exe", alpha + upgrade + L" /bundlecode {0123abcd-4567-89ab-cdef-0123456789AB}"},
    };
    std::vector<std::string> codes;
    for (const auto& c : cases) {
        const Captured run = Pack(L"/out" + Arg(folder / c.name) + c.arguments);
        ASSERT_EQ(0u, run.exitCode) << run.errorText;
        EXPECT_EQ(PKG_HIDDEN, PackageOf(ManifestOf(folder / c.name), 0)->flags);
        const std::string record = ResourceBytes(folder / c.name, RT_RCDATA, L"REGISTRATION", 0);
        ASSERT_EQ(S_OK, ValidateRegistration(record.data(), static_cast<DWORD>(record.size())));
        const GUID& code = reinterpret_cast<const BundleRegistration*>(record.data())->bundleCode;
        wchar_t text[40] = {};
        ::StringFromGUID2(code, text, 40);
        EXPECT_NE(std::string::npos, run.outputText.find(", bundle code " + Utf8FromWide(text) + "\n")) << run.outputText;
        codes.push_back(Utf8FromWide(text));
    }
    EXPECT_EQ(codes[0], codes[1]) << "the same inputs, the same code";
    EXPECT_EQ('5', codes[0][15]) << "a name-based GUID (version 5): " << codes[0];
    EXPECT_NE(std::string::npos, std::string("89AB").find(codes[0][20])) << codes[0];
    EXPECT_NE(codes[0], codes[2]) << "another version";
    EXPECT_NE(codes[0], codes[3]) << "other payloads";
    EXPECT_NE(codes[2], codes[3]);
    EXPECT_EQ("{0123ABCD-4567-89AB-CDEF-0123456789AB}", codes[4]);
}

// The bundle is made of its inputs alone: packed twice, the same bytes (no
// time, no chance), for each kind of entry and resource the packer writes.
TEST_P(Packer, PackingTwiceGivesTheSameBytes)
{
    ScratchFolder folder;
    WriteIcon(folder / L"vendor.ico", 2);
    ASSERT_TRUE(WriteInstallerStorage(folder / L"de.mst", INSTALLER_TRANSFORM, "german transform"));
    ASSERT_TRUE(WriteInstallerStorage(folder / L"fix.msp", INSTALLER_PATCH, "a patch"));
    const std::wstring alpha = L" /package" + Arg(DataFile(L"alpha.msi"));
    const struct {
        const char* what;
        std::wstring arguments;
    } cases[] = {
        {"a package", alpha},
        {"a transform", alpha + L" /flags transform /transform" + Arg(folder / L"de.mst") + L" /language 1031"},
        {"a patch", alpha + L" /package" + Arg(folder / L"fix.msp") +
                        L" /flags patch /code {A17A0001-5E7D-4F00-9A11-000000000001} /version 1.2.3"},
        {"external cabinets", L" /package" + Arg(DataFile(L"cabbed.msi"))},
        {"a prerequisite program", L" /exe" + Arg(BinFile(L"testprereq.exe")) + L" /detect always /args /quiet" + alpha},
        {"an icon and a version record", L" /name \"Larkspur Suite\" /company Larkspur /bundleversion 7.6.5.4"
                                         L" /copyright \"(c) Larkspur\" /icon" + Arg(folder / L"vendor.ico") + alpha},
        {"a registration", alpha + L" /flags hidden /upgradecode {A17A0000-5E7D-4F00-9A11-0000000000AA}"
                                   L" /helplink https://example.com/help"},
        {"the x86_64 stub", L" /stub" + Arg(BinFile(L"..\\..\\x86_64\\bin\\setup.exe")) + alpha},
    };
    const std::wstring bundle = folder / L"Twice-Setup.exe";
    for (const auto& c : cases) {
        ASSERT_EQ(0u, Pack(L"/out" + Arg(bundle) + c.arguments).exitCode) << c.what;
        const std::string first = ReadBytes(bundle);
        ::DeleteFileW(bundle.c_str());
        const Captured again = Pack(L"/out" + Arg(bundle) + c.arguments);
        ASSERT_EQ(0u, again.exitCode) << c.what << ": " << again.errorText;
        EXPECT_TRUE(first == ReadBytes(bundle)) << c.what;
        const LONG header = reinterpret_cast<const IMAGE_DOS_HEADER*>(first.data())->e_lfanew;
        EXPECT_EQ(0u, reinterpret_cast<const IMAGE_NT_HEADERS*>(first.data() + header)->FileHeader.TimeDateStamp)
            << c.what << ": no link time of the stub";
    }
}

TEST_P(Packer, NameReplacesTheProductNameAndAStubMayBeItsOwnOutput)
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

// By default the bundle carries the shipped i686 program, whichever packer
// made it; /stub picks another. One line says what was written.
TEST_P(Packer, TheDefaultStubIsTheI686ProgramAndTheLastLineSaysSo)
{
    ScratchFolder folder;
    const std::wstring bundle = folder / L"stub.exe";
    const struct {
        std::wstring stub;
        WORD machine;
        const char* kind;
    } cases[] = {
        {L"", IMAGE_FILE_MACHINE_I386, "i686"},
        {L" /stub" + Arg(BinFile(L"setup.exe")), sizeof(void*) == 8 ? IMAGE_FILE_MACHINE_AMD64 : IMAGE_FILE_MACHINE_I386,
         sizeof(void*) == 8 ? "x86_64" : "i686"},
    };
    for (const auto& c : cases) {
        const Captured run = Pack(L"/out" + Arg(bundle) + c.stub + L" /package" + Arg(DataFile(L"alpha.msi")));
        ASSERT_EQ(0u, run.exitCode) << run.errorText;
        const std::string image = ReadBytes(bundle);
        const LONG header = reinterpret_cast<const IMAGE_DOS_HEADER*>(image.data())->e_lfanew;
        const IMAGE_FILE_HEADER& file = reinterpret_cast<const IMAGE_NT_HEADERS*>(image.data() + header)->FileHeader;
        EXPECT_EQ(c.machine, file.Machine);
        // The payloads are read through the file: the image itself is run from
        // the swap file when it lies on a share or a removable disk.
        const WORD fromSwap = IMAGE_FILE_NET_RUN_FROM_SWAP | IMAGE_FILE_REMOVABLE_RUN_FROM_SWAP;
        EXPECT_EQ(fromSwap, file.Characteristics & fromSwap);
        DWORD written = 0;
        DWORD computed = 0;
        ASSERT_EQ(0u, ::MapFileAndCheckSumW(bundle.c_str(), &written, &computed));
        EXPECT_NE(0u, written) << "the stub has a checksum, and so has the bundle";
        EXPECT_EQ(computed, written);
        EXPECT_EQ("setuppack: wrote " + Named(bundle) + " (" + std::to_string(image.size()) + " bytes, " +
                      c.kind + " program): 0 prerequisites, 1 package, 0 cabinets, 0 transforms\n", run.outputText);
    }
}

// A package's cabinets, named in its Media table without "#", come from its
// folder and follow the image with it; CABINETS says whose each is and under
// which name it goes beside its package. The last line counts them.
TEST_P(Packer, CarriesThePackagesCabinetsUnderTheirNames)
{
    ScratchFolder folder;
    const std::wstring bundle = folder / L"cabbed.exe";
    const Captured run = Pack(L"/out" + Arg(bundle) + L" /package" + Arg(DataFile(L"alpha.msi")) + L" /package" +
                              Arg(DataFile(L"cabbed.msi")));
    ASSERT_EQ(0u, run.exitCode) << run.errorText;
    EXPECT_NE(std::string::npos, run.outputText.find(": 0 prerequisites, 2 packages, 2 cabinets, 0 transforms\n"))
        << run.outputText;
    EXPECT_EQ((std::vector<std::string>{"MSI00", "MSI01", "CAB00", "CAB01"}), ListedPayloads(bundle));
    EXPECT_EQ(0u, PackageOf(ManifestOf(bundle), 0)->flags & PKG_CABINETS);
    EXPECT_EQ(PKG_CABINETS, PackageOf(ManifestOf(bundle), 1)->flags & PKG_CABINETS) << "the run must find them";
    EXPECT_EQ(ReadBytes(DataFile(L"cabbed.msi")), PayloadBytes(bundle, "MSI01"));
    EXPECT_EQ(ReadBytes(DataFile(L"data1.cab")), PayloadBytes(bundle, "CAB00"));
    EXPECT_EQ(ReadBytes(DataFile(L"data2.cab")), PayloadBytes(bundle, "CAB01"));
    const std::string list = ResourceBytes(bundle, RT_RCDATA, L"CABINETS", 0);
    ASSERT_EQ(2 * sizeof(ManifestCabinetEntry), list.size());
    const auto* cabinets = reinterpret_cast<const ManifestCabinetEntry*>(list.data());
    for (DWORD c = 0; c < 2; ++c) {
        EXPECT_STREQ(c ? "CAB01" : "CAB00", cabinets[c].resourceName);
        EXPECT_EQ(1u, cabinets[c].packageIndex);
        EXPECT_STREQ(c ? L"data2.cab" : L"data1.cab", cabinets[c].fileName);
    }
}

// The window is a choice of the bundle as a whole; its licence goes last,
// after every payload the chain reads.
TEST_P(Packer, TheWindowAndItsLicenceAreTheBundlesOwn)
{
    ScratchFolder folder;
    ScratchFolder::WriteFile(folder / L"terms.rtf", "{\\rtf1 The terms.}");
    ScratchFolder::WriteFile(folder / L"terms.txt", "The terms.");
    const struct {
        std::wstring options;
        BYTE flags;
        const char* line;
    } cases[] = {
        {L"", 0, "0 transforms\n"},
        {L" /window", BUNDLE_WINDOW, "0 transforms, window\n"},
        {L" /window /license" + Arg(folder / L"terms.rtf"), BUNDLE_WINDOW | BUNDLE_LICENSE | BUNDLE_LICENSE_RTF,
         "0 transforms, window with licence\n"},
        {L" /license" + Arg(folder / L"terms.txt") + L" /window", BUNDLE_WINDOW | BUNDLE_LICENSE,
         "0 transforms, window with licence\n"},
    };
    for (const auto& c : cases) {
        const std::wstring bundle = folder / L"windowed.exe";
        const Captured run = Pack(L"/out" + Arg(bundle) + L" /package" + Arg(DataFile(L"alpha.msi")) + c.options);
        ASSERT_EQ(0u, run.exitCode) << run.errorText;
        EXPECT_NE(std::string::npos, run.outputText.find(c.line)) << run.outputText;
        EXPECT_EQ(c.flags, reinterpret_cast<const PackageManifest*>(ManifestOf(bundle).data())->bundleFlags);
        const std::vector<std::string> expected = c.flags & BUNDLE_LICENSE
            ? std::vector<std::string>{"MSI00", LICENSE_PAYLOAD} : std::vector<std::string>{"MSI00"};
        EXPECT_EQ(expected, ListedPayloads(bundle)) << Utf8FromWide(c.options);
        if (c.flags & BUNDLE_LICENSE) {
            EXPECT_EQ(c.flags & BUNDLE_LICENSE_RTF ? "{\\rtf1 The terms.}" : "The terms.",
                      PayloadBytes(bundle, LICENSE_PAYLOAD));
        }
    }
}

// The version record and icon are the vendor's: from the first package by
// default, from the options where given; read back as Windows reads them.
TEST_P(Packer, TheVersionRecordAndIconAreTheVendors)
{
    ScratchFolder folder;
    WriteIcon(folder / L"vendor.ico", 2);
    ASSERT_TRUE(WriteInstallerStorage(folder / L"fix.msp", INSTALLER_PATCH, "a patch"));
    const std::wstring patch = L" /package" + Arg(folder / L"fix.msp") +
                               L" /flags patch /code {A17A0001-5E7D-4F00-9A11-000000000001} /version 1.2.3";
    const struct {
        std::wstring arguments;
        std::vector<std::wstring> texts;   // the record's, in the order of `names` below
        DWORD versionMS, versionLS;
        size_t icons;
    } cases[] = {
        {patch + L" /package" + Arg(DataFile(L"beta.msi")) + L" /package" + Arg(DataFile(L"alpha.msi")),
         {L"Beta", L"Tessaro Test", L"Beta Setup", L"2.0.1.5", L"2.0.1.5", L"Beta-Setup.exe", L"<none>"},
         0x00020000, 0x00010005, 3},
        {L" /name \"Larkspur Suite\" /company \"Larkspur Ltd\" /bundleversion 7.6.5.4 /copyright \"(c) Larkspur\""
         L" /icon" + Arg(folder / L"vendor.ico") + patch,
         {L"Larkspur Suite", L"Larkspur Ltd", L"Larkspur Suite Setup", L"7.6.5.4", L"7.6.5.4", L"Beta-Setup.exe",
          L"(c) Larkspur"}, 0x00070006, 0x00050004, 2},
    };
    const wchar_t* names[] = {L"ProductName", L"CompanyName", L"FileDescription", L"FileVersion", L"ProductVersion",
                              L"OriginalFilename", L"LegalCopyright"};
    const std::wstring bundle = folder / L"Beta-Setup.exe";
    for (const auto& c : cases) {
        const Captured run = Pack(L"/out" + Arg(bundle) + c.arguments);
        ASSERT_EQ(0u, run.exitCode) << run.errorText;
        VS_FIXEDFILEINFO fixed = {};
        EXPECT_EQ(c.texts[0], VersionText(bundle, names[0], &fixed));
        for (size_t k = 1; k < c.texts.size(); ++k) {
            EXPECT_EQ(c.texts[k], VersionText(bundle, names[k])) << Utf8FromWide(names[k]);
        }
        EXPECT_EQ(c.versionMS, fixed.dwFileVersionMS);
        EXPECT_EQ(c.versionLS, fixed.dwFileVersionLS);
        EXPECT_EQ(c.versionMS, fixed.dwProductVersionMS);
        EXPECT_EQ(c.versionLS, fixed.dwProductVersionLS);
        EXPECT_EQ(c.texts[0], ProductNameOf(bundle)) << "the help box caption goes with the product name";
        EXPECT_EQ(c.icons, DataResourceNames(bundle, RT_ICON).size());
        EXPECT_EQ(1u, DataResourceNames(bundle, RT_GROUP_ICON).size());
    }
    const std::string group = ResourceBytes(bundle, RT_GROUP_ICON, MAKEINTRESOURCEW(100), 1033);
    ASSERT_EQ(6u + 2 * 14, group.size());
    EXPECT_EQ(ReadBytes(folder / L"vendor.ico").substr(6 + 2 * 16 + 48, 48), ResourceBytes(bundle, RT_ICON,
              MAKEINTRESOURCEW(group[6 + 14 + 12]), 1033)) << "the second image under the group's second number";
}

// The application manifest names the vendor's product (its own assembly, not
// the one it depends on); every other byte is the stub's.
TEST_P(Packer, TheApplicationManifestNamesTheProduct)
{
    ScratchFolder folder;
    const std::string shipped = ApplicationManifestOf(BinFile(L"setup.exe"));
    const std::string dependency = "<dependency><assemblyIdentity name=\"Dep\"/></dependency>";
    const struct {
        std::string stubManifest;   // empty: this build's setup.exe as it is
        std::wstring name;          // as the command line gives it
        std::string expected;
    } cases[] = {
        {"", L"\"Larkspur Notes\"",
         Replaced(Replaced(shipped, "name=\"Tessaro.Setup\"", "name=\"Larkspur.Notes.Setup\""),
                  "<description>Tessaro Setup</description>", "<description>Larkspur Notes Setup</description>")},
        {"<assembly><description>Old</description><!-- <assemblyIdentity name=\"x\"/> -->"
         "<v1:assemblyIdentity version='1.0' name='Old.Setup'/>" + dependency + "</assembly>",
         L"\"R&D <Tools> \\\"Pro\\\" 2\"",
         "<assembly><description>R&amp;D &lt;Tools&gt; &quot;Pro&quot; 2 Setup</description><!-- <assemblyIdentity "
         "name=\"x\"/> --><v1:assemblyIdentity version='1.0' name='R.D.Tools.Pro.2.Setup'/>" + dependency +
         "</assembly>"},
        {"<assembly><assemblyIdentity name=\"Old\"/>\r\n<description>Old Setup</description></assembly>",
         L"\"\u00DCber\u2014Notes 7\"",
         "<assembly><assemblyIdentity name=\"ber.Notes.7.Setup\"/>\r\n<description>\xC3\x9C" "ber\xE2\x80\x94Notes 7 "
         "Setup</description></assembly>"},
        {"<assembly>" + dependency + "<description/></assembly>", L"Other", "<assembly>" + dependency +
         "<description/></assembly>"},
        // No character an assembly name may hold; one that XML text cannot hold.
        {"<assembly><assemblyIdentity name=\"Old\"/><description>Old</description></assembly>",
         L"\"\u30E1\u30E2\x01\"",
         "<assembly><assemblyIdentity name=\"Setup\"/><description>\xE3\x83\xA1\xE3\x83\xA2  Setup</description>"
         "</assembly>"},
    };
    const std::wstring bundle = folder / L"named.exe";
    for (const auto& c : cases) {
        const std::wstring stub = c.stubManifest.empty() ? BinFile(L"setup.exe")
                                                         : StubWithManifest(folder / L"stub.exe", c.stubManifest);
        const Captured run = Pack(L"/out" + Arg(bundle) + L" /stub" + Arg(stub) + L" /name " + c.name + L" /package" +
                                  Arg(DataFile(L"alpha.msi")));
        ASSERT_EQ(0u, run.exitCode) << run.errorText;
        EXPECT_EQ(c.expected, ApplicationManifestOf(bundle)) << Utf8FromWide(c.name);
    }
}

// The bundle of a signed stub is the bundle of the stub before it was signed,
// for either kind of program; the last line says so.
TEST_P(Packer, DropsTheStubsSignature)
{
    ScratchFolder folder;
    const std::wstring bundle = folder / L"bundle.exe";
    const std::wstring alpha = L" /package" + Arg(DataFile(L"alpha.msi"));
    for (const wchar_t* program : {L"..\\..\\i686\\bin\\setup.exe", L"..\\..\\x86_64\\bin\\setup.exe"}) {
        const std::wstring stub = StubWithCertificateTable(BinFile(program), folder / L"signed.exe", true);
        ASSERT_EQ(0u, Pack(L"/out" + Arg(bundle) + L" /stub" + Arg(BinFile(program)) + alpha).exitCode);
        const std::string expected = ReadBytes(bundle);

        const Captured run = Pack(L"/out" + Arg(bundle) + L" /stub" + Arg(stub) + alpha);
        ASSERT_EQ(0u, run.exitCode) << run.errorText;
        EXPECT_NE(std::string::npos, run.outputText.find("0 transforms, the stub's signature dropped: sign the bundle\n"))
            << run.outputText;
        EXPECT_TRUE(expected == ReadBytes(bundle)) << Utf8FromWide(program);
    }
}

TEST_P(Packer, HelpPrintsTheUsage)
{
    for (const wchar_t* help : {L"/?", L"/h", L"-HELP"}) {
        const Captured run = Pack(help);
        EXPECT_EQ(0u, run.exitCode) << run.errorText;
        EXPECT_EQ(0u, run.outputText.rfind("usage: setuppack /out BUNDLE.exe", 0)) << run.outputText;
        for (const char* name : {"/exe PROGRAM.exe", "/detect RULE", "/args", "/uiargs", "/uninstallargs",
                                 "/exitcode N=success|restart|failure", "docs/vendors.md, \"Detection rules\""}) {
            EXPECT_NE(std::string::npos, run.outputText.find(name)) << name;
        }
    }
    // The rule grammar the usage points to is a heading of that guide.
    EXPECT_NE(std::string::npos, ReadBytes(WindowsPathFromUnix(VENDOR_GUIDE_PATH)).find("\n### Detection rules\n"));
}

TEST_P(Packer, EveryBadInputFailsWithOneLineAndWritesNothing)
{
    // The packer's exit codes: a switch or value it refuses, or an input file.
    constexpr DWORD BAD_COMMAND_LINE = 2;
    constexpr DWORD BAD_INPUT = 1;
    constexpr bool WINDOWS_ONLY = true;
    ScratchFolder folder;
    ScratchFolder::WriteFile(folder / L"text.msi", "plain text, not a database");
    ScratchFolder::WriteFile(folder / L"empty.msi", "");
    ScratchFolder::WriteFile(folder / L"de.mst", "german");
    ASSERT_TRUE(WriteInstallerStorage(folder / L"fix.msp", INSTALLER_PATCH, "a patch"));
    const std::wstring longName = folder / (std::wstring(60, L'n') + L".msi");   // 64 characters
    ::CopyFileW(DataFile(L"alpha.msi").c_str(), longName.c_str(), FALSE);
    const std::wstring locked = folder / L"locked.msi";
    ::CopyFileW(DataFile(L"alpha.msi").c_str(), locked.c_str(), FALSE);
    HANDLE lock = ::CreateFileW(locked.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    const std::wstring copy = folder / L"copy.msi";
    ::CopyFileW(DataFile(L"alpha.msi").c_str(), copy.c_str(), FALSE);
    // A bundle carries at most 4064 MiB of payloads, so that it stays below 4 GiB.
    const LONGLONG MiB = 1024 * 1024;
    WriteSparseFile(folder / L"large.msi", 4064 * MiB + 1);
    WriteSparseFile(folder / L"half1.msi", 2032 * MiB);
    WriteSparseFile(folder / L"half2.msi", 2032 * MiB + 1);
    ScratchFolder::WriteFile(folder / L"terms.txt", "The terms.");
    ScratchFolder::WriteFile(folder / L"terms.doc", "The terms.");
    ScratchFolder::WriteFile(folder / L"plain.rtf", "The terms.");
    ScratchFolder::WriteFile(folder / L"empty.txt", "");
    WriteSparseFile(folder / L"large.txt", MiB + 1);
    const std::wstring identity = L" /code {A17A0001-5E7D-4F00-9A11-000000000001} /version 1.0";
    // Packages whose cabinets are missing, no cabinets, or named like another file of /extract.
    const std::wstring lone = folder / L"lone", fake = folder / L"fake", carried = folder / L"carried";
    for (const std::wstring& place : {lone, fake, carried}) {
        ::CreateDirectoryW(place.c_str(), nullptr);
        ::CopyFileW(DataFile(L"cabbed.msi").c_str(), (place + L"\\cabbed.msi").c_str(), FALSE);
    }
    ::CopyFileW(DataFile(L"data1.cab").c_str(), (lone + L"\\data1.cab").c_str(), FALSE);
    ScratchFolder::WriteFile(fake + L"\\data1.cab", "plain text, not a cabinet");
    for (const wchar_t* cabinet : {L"\\data1.cab", L"\\data2.cab"}) {
        ::CopyFileW(DataFile(cabinet + 1).c_str(), (carried + cabinet).c_str(), FALSE);
    }
    ::CopyFileW(DataFile(L"alpha.msi").c_str(), (folder / L"data2.cab").c_str(), FALSE);
    const std::wstring misplacedCertificates = StubWithCertificateTable(BinFile(L"setup.exe"),
                                                                        folder / L"certificates.exe", false);
    const std::wstring utf16Manifest = StubWithManifest(folder / L"utf16.exe", std::string("\xFF\xFE<\0a\0>\0", 8));
    const std::wstring unendedMarkup = StubWithManifest(folder / L"unended.exe", "<assembly><assemblyIdentity a=\"1\"");
    const std::wstring markedUpText = StubWithManifest(folder / L"markup.exe",
                                                       "<assembly><description>a<!-- b --></description></assembly>");

    const std::wstring out = L"/out" + Arg(folder / L"out.exe");
    const std::wstring alpha = L" /package" + Arg(DataFile(L"alpha.msi"));
    const std::wstring fix = L" /package" + Arg(folder / L"fix.msp");
    const std::string delta64Path = Named(DataFile(L"delta64.msi"));
    const std::wstring delta64 = L" /package" + Arg(DataFile(L"delta64.msi"));
    const std::wstring german = L" /transform" + Arg(folder / L"de.mst") + L" /language 1031";
    const std::wstring x64Stub = L" /stub" + Arg(BinFile(L"..\\..\\x86_64\\bin\\setup.exe"));
    const std::wstring exe = L" /exe" + Arg(BinFile(L"testprereq.exe"));
    const std::wstring always = L" /detect always";
    const std::wstring upgrade = L" /upgradecode {A17A0000-5E7D-4F00-9A11-0000000000AA}";
    ::CopyFileW(L"C:\\windows\\system32\\version.dll", (folder / L"library.exe").c_str(), FALSE);
    ScratchFolder::WriteFile(folder / L"text.exe", "plain text, not a program");
    std::wstring manyRules = out + exe;
    std::wstring manyExitCodes = out + exe + always;
    for (int i = 0; i < 17; ++i) {
        manyRules += always;
        manyExitCodes += L" /exitcode " + std::to_wstring(i) + L"=success";
    }
    std::wstring tooManyPackages = out;
    std::wstring tooManyTransforms = out;
    for (int i = 0; i < 256; ++i) {
        tooManyPackages += alpha;
        tooManyTransforms += german;
    }

    const struct {
        const char* what;
        std::wstring arguments;
        std::string words;   // in the message
        DWORD exitCode = BAD_COMMAND_LINE;
        bool windowsOnly = false;
    } cases[] = {
        {"no arguments", L"", "nothing to pack"},
        {"no /out", alpha.substr(1), "no /out"},
        {"no /package", out, "no /package"},
        {"unknown switch", out + alpha + L" /bogus 1", "unknown argument"},
        {"stray argument", out + L" stray.msi", "unknown argument"},
        {"/out without value", L"/out", "needs a value"},
        {"value that is a switch", L"/out /package" + Arg(DataFile(L"alpha.msi")), "needs a value"},
        {"/flags without value", out + alpha + L" /flags", "needs a value"},
        {"/flags before /package", out + L" /flags 1" + alpha, "must follow a /package"},
        {"unknown flag name", out + alpha + L" /flags cache+bogus", "unknown flag"},
        {"empty flag name", out + alpha + L" /flags cache++keepui", "unknown flag"},
        {"flag number overflow", out + alpha + L" /flags 0x100000000", "bad /flags number"},
        {"flag number with junk", out + alpha + L" /flags 12ab", "bad /flags number"},
        {"flag bit the program does not know", out + alpha + L" /flags 0x1001", "does not know (0x1000)"},
        {"flag bit between known ones", out + alpha + L" /flags 0x42", "does not know (0x42)"},
        {"x64only and x86only", out + alpha + L" /flags x64only+x86only", "exclude each other"},
        {"both architecture bits", out + alpha + L" /flags 0xC00", "exclude each other"},
        {"x86only on an x64 package", out + L" /package" + Arg(DataFile(L"delta64.msi")) + L" /flags x86only",
         "cannot be x86only"},
        {"x86only behind the x86_64 program", out + x64Stub + alpha + L" /flags x86only", "x86_64 program"},
        {"transform flag, no /transform", out + alpha + L" /flags transform", "no /transform is given"},
        {"transform flag on two packages", out + alpha + L" /flags transform /package" + Arg(DataFile(L"beta.msi")) +
         L" /flags 0x80" + german, "more than one package"},
        {"a transform that is no transform", out + alpha + german, "no transform", BAD_INPUT},
        {"a database as transform", out + alpha + L" /transform" + Arg(DataFile(L"beta.msi")) + L" /language 7",
         "no transform", BAD_INPUT},
        {"bad GUID", out + alpha + L" /code {A17A0001-5E7D-4F00-9A11-00000000001}", "bad GUID"},
        {"GUID without braces", out + alpha + L" /code A17A0001-5E7D-4F00-9A11-000000000001", "bad GUID"},
        {"GUID with junk", out + alpha + L" /code {A17A0001-5E7D-4F00-9A11-00000000000G}", "bad GUID"},
        {"version part over 65535", out + alpha + L" /version 1.70000", "bad version"},
        {"version with five parts", out + alpha + L" /version 1.2.3.4.5", "bad version"},
        {"version with empty part", out + alpha + L" /version 1..3", "bad version"},
        {"version not a number", out + alpha + L" /version one", "bad version"},
        {"bundle version not a number", out + L" /bundleversion 1.x" + alpha, "bad version for /bundleversion"},
        {"bundle version of three parts", out + L" /bundleversion 1.0.0" + alpha, "bad version for /bundleversion"},
        {"/code against the package", out + alpha + L" /code {BE7A0002-5E7D-4F00-9A11-000000000002}",
         "/code disagrees with the ProductCode"},
        {"/version against the package", out + alpha + L" /version 1.2.4", "/version disagrees"},
        {"same product twice", out + alpha + alpha, "same product code"},
        {"two versions of one product", out + alpha + delta64, "alpha.msi and " + delta64Path + " have the same upgrade code"},
        {"two versions of one product, both x64only", out + alpha + L" /flags x64only" + delta64, "same upgrade code"},
        {"/flags twice", out + alpha + L" /flags cache /flags keepui", "/flags is given twice"},
        {"missing package", out + L" /package" + Arg(folder / L"missing.msi"), "package not found", BAD_INPUT},
        // Linux has no open without sharing: the file held so stays readable.
        {"unreadable package", out + L" /package" + Arg(locked), "cannot read package", BAD_INPUT, WINDOWS_ONLY},
        {"empty package", out + L" /package" + Arg(folder / L"empty.msi") + identity, "is empty", BAD_INPUT},
        {"not a database", out + L" /package" + Arg(folder / L"text.msi"), "neither an installer database nor",
         BAD_INPUT},
        {"package over 4064 MiB", out + L" /package" + Arg(folder / L"large.msi") + identity, "too large", BAD_INPUT},
        {"not a database, with /code and /version", out + L" /package" + Arg(folder / L"text.msi") + identity,
         "neither an installer database nor", BAD_INPUT},
        {"a patch without the flag", out + alpha + fix + identity, "give it the patch flag"},
        {"the patch flag on a database", out + alpha + L" /flags patch" + identity, "database, not a patch"},
        {"the patch flag on text", out + alpha + L" /package" + Arg(folder / L"text.msi") + L" /flags patch" +
         identity, "no patch", BAD_INPUT},
        {"a patch without /code", out + alpha + fix + L" /flags patch /version 1.0", "give /code and /version"},
        {"only patches, nothing names the bundle", out + fix + L" /flags patch" + identity, "give /name, /company"},
        {"file name over 63", out + L" /package" + Arg(longName), "1 to 63 characters"},
        {"a device as package", out + L" /package" + Arg(folder / L"Com1.msi"), "\"Com1.msi\" is not a plain file name"},
        {"a wildcard in a program", out + L" /exe" + Arg(folder / L"set*.exe") + always, "\"set*.exe\" is not a plain"},
        {"256 packages", tooManyPackages, "more than 255 packages"},
        {"256 transforms", tooManyTransforms + alpha, "more than 255 transforms"},
        {"transform without language", out + alpha + L" /transform" + Arg(folder / L"de.mst"), "no /language"},
        {"language not a number", out + alpha + L" /transform" + Arg(folder / L"de.mst") + L" /language german",
         "bad language"},
        {"language over 65535", out + alpha + L" /transform" + Arg(folder / L"de.mst") + L" /language 65536",
         "bad language"},
        {"missing transform", out + alpha + L" /transform" + Arg(folder / L"none.mst") + L" /language 1031",
         "transform not found", BAD_INPUT},
        {"missing stub", out + alpha + L" /stub" + Arg(folder / L"none.exe"), "stub not found", BAD_INPUT},
        {"stub not an executable", out + alpha + L" /stub" + Arg(folder / L"text.msi"), "no i686 or x86_64 program",
         BAD_INPUT},
        {"stub with a certificate table before its end", out + alpha + L" /stub" + Arg(misplacedCertificates),
         "certificate table (16 bytes at 1024) that does not end the file", BAD_INPUT},
        {"stub manifest in UTF-16", out + alpha + L" /stub" + Arg(utf16Manifest), "manifest is UTF-16 text", BAD_INPUT},
        {"stub manifest with markup that does not end", out + alpha + L" /stub" + Arg(unendedMarkup),
         "application manifest is not XML", BAD_INPUT},
        {"stub manifest with markup in the description", out + alpha + L" /stub" + Arg(markedUpText),
         "application manifest has a description that is no plain text", BAD_INPUT},
        {"icon not found", out + alpha + L" /icon" + Arg(folder / L"none.ico"), "icon not found", BAD_INPUT},
        {"icon that is no icon", out + alpha + L" /icon" + Arg(folder / L"text.msi"), "no icon file", BAD_INPUT},
        {"output folder missing", L"/out" + Arg(folder / L"no\\such\\out.exe") + alpha, "folder of /out does not exist",
         BAD_INPUT},
        {"/out names a folder", L"/out" + Arg(folder.Path()) + alpha, "/out names a folder"},
        {"/out names a package", L"/out" + Arg(copy) + L" /package" + Arg(copy), "/out names an input"},
        {"/out names a cabinet", L"/out" + Arg(carried + L"\\data2.cab") + L" /package" + Arg(carried + L"\\cabbed.msi"),
         "/out names an input"},
        // Cabinets.
        {"a missing cabinet", out + L" /package" + Arg(lone + L"\\cabbed.msi"),
         "cabinet data2.cab of " + Named(lone + L"\\cabbed.msi") + " not found: " + Named(lone + L"\\data2.cab"),
         BAD_INPUT},
        {"a cabinet that is none", out + L" /package" + Arg(fake + L"\\cabbed.msi"),
         Named(fake + L"\\cabbed.msi") + " is no cabinet", BAD_INPUT},
        {"a cabinet named with a trailing dot", out + L" /package" + Arg(DataFile(L"dotcab.msi")),
         "dotcab.msi names a cabinet \"cab1.cab.\" that the bundle cannot carry", BAD_INPUT},
        {"a cabinet with the name of another package", out + L" /package" + Arg(folder / L"data2.cab") +
         L" /package" + Arg(carried + L"\\cabbed.msi"), "cabinet data2.cab of " + Named(carried + L"\\cabbed.msi") +
         " has the name of " + Named(folder / L"data2.cab")},
        // Prerequisite programs.
        {"a program without /detect", out + exe + L" /args /quiet", "has no /detect"},
        {"/detect after a /package", out + alpha + always, "must follow an /exe"},
        {"/detect before any entry", out + always + exe, "must follow an /exe"},
        {"/args after a /package", out + alpha + L" /args /quiet", "must follow an /exe"},
        {"/exitcode after a /package", out + alpha + L" /exitcode 1638=success", "must follow an /exe"},
        {"/code after an /exe", out + exe + always + L" /code {A17A0001-5E7D-4F00-9A11-000000000001}",
         "must follow a /package"},
        {"/version after an /exe", out + exe + always + L" /version 1.0", "must follow a /package"},
        {"a package flag on a program", out + exe + L" /flags cache+keepui" + always, "keepui is not for a program"},
        {"a bad rule", out + exe + L" /detect \"HKLM64\\X:Name = 1x\"", "/detect \"HKLM64\\X:Name = 1x\" is refused at \"1x\": bad operand"},
        {"17 rules", manyRules, "more than 16 /detect"},
        {"an exit code of an unknown kind", out + exe + always + L" /exitcode 1638=fine", "bad /exitcode 1638=fine"},
        {"an exit code twice", out + exe + always + L" /exitcode 1638=success /exitcode 0x666=failure",
         "/exitcode 1638 is given twice"},
        {"17 exit codes", manyExitCodes, "more than 16 /exitcode"},
        {"arguments with a line break", out + exe + always + L" /args \"/a\n/b\"", "/args holds a line break"},
        {"a rule with a line break", out + exe + L" /detect \"always\r\nalways\"", "a /detect of "},
        {"a program not named .exe", out + L" /exe" + Arg(DataFile(L"alpha.msi")) + always, "ends in .exe"},
        {"a missing program", out + L" /exe" + Arg(folder / L"none.exe") + always, "program not found", BAD_INPUT},
        {"text as a program", out + L" /exe" + Arg(folder / L"text.exe") + always, "no Windows program", BAD_INPUT},
        {"a DLL as a program", out + L" /exe" + Arg(folder / L"library.exe") + always, "a DLL", BAD_INPUT},
        {"an x86_64 program flagged x86only",
         out + L" /exe" + Arg(BinFile(L"..\\..\\x86_64\\bin\\setup.exe")) + L" /flags x86only" + always,
         "built for x86_64, a 64-bit processor: it cannot be x86only"},
        {"only programs, nothing names the bundle", out + exe + always, "give /name, /company"},
        // A bundle's own entry.
        {"a bad upgrade code", out + alpha + L" /upgradecode {A17A0000-5E7D-4F00-9A11}", "bad GUID for /upgradecode"},
        {"the null upgrade code", out + alpha + L" /upgradecode {00000000-0000-0000-0000-000000000000}", "null GUID"},
        {"hidden without /upgradecode", out + alpha + L" /flags hidden", "has the hidden flag, but only a bundle"},
        {"hidden on a program", out + exe + L" /flags hidden" + always, "the flag hidden is not for a program"},
        {"a link without /upgradecode", out + alpha + L" /aboutlink https://example.com", "give /upgradecode"},
        {"a link too long", out + alpha + upgrade + L" /helplink " + std::wstring(260, L'x'), "longer than 259"},
        {"a link with a control character", out + alpha + upgrade + L" /helplink \"a\tb\"", "a control character"},
        {"a bad bundle code, a long switch",
         out + alpha + upgrade + L" --bundlecode {A17A0000-5E7D-4F00-9A11-00000000}",
         "bad GUID for --bundlecode"},
        {"the null bundle code", out + alpha + upgrade + L" /bundlecode {00000000-0000-0000-0000-000000000000}",
         "/bundlecode is the null GUID"},
        {"a bundle code without /upgradecode", out + alpha + L" /bundlecode {A17A0000-5E7D-4F00-9A11-0000000000AB}",
         "/bundlecode is the key of the bundle's Add/Remove Programs entry: give /upgradecode"},
        // The bundle's own window.
        {"a licence without the window", out + alpha + L" /license" + Arg(folder / L"terms.txt"), "give /window"},
        {"a licence of another kind", out + alpha + L" /window /license" + Arg(folder / L"terms.doc"),
         "an .rtf or .txt file"},
        {"a licence over 1 MiB", out + alpha + L" /window /license" + Arg(folder / L"large.txt"), "larger than 1 MiB"},
        {"rich text that is none", out + alpha + L" /window /license" + Arg(folder / L"plain.rtf"), "no rich text",
         BAD_INPUT},
        {"an empty licence", out + alpha + L" /window /license" + Arg(folder / L"empty.txt"), "empty or too large",
         BAD_INPUT},
        {"keepui under the window", out + alpha + L" /flags keepui /window", "stands for every package's interface"},
    };
    for (const auto& c : cases) {
        if (c.windowsOnly && PackerBuild::Native == GetParam()) {
            continue;
        }
        const Captured run = Pack(c.arguments);
        EXPECT_EQ(c.exitCode, run.exitCode) << c.what;
        EXPECT_EQ(0u, run.errorText.rfind("setuppack: ", 0)) << c.what << ": " << run.errorText;
        EXPECT_NE(std::string::npos, run.errorText.find(c.words)) << c.what << ": " << run.errorText;
        EXPECT_EQ(1, std::count(run.errorText.begin(), run.errorText.end(), '\n')) << c.what << ": " << run.errorText;
        EXPECT_FALSE(ScratchFolder::Exists(folder / L"out.exe")) << c.what;
        EXPECT_EQ(0, CountPackerLeftovers(folder)) << c.what;
    }
    ::CloseHandle(lock);
    EXPECT_EQ(ReadBytes(DataFile(L"alpha.msi")), ReadBytes(copy)) << "an input named by /out is left as it was";
    // Refused for its share of the whole, not for its own size.
    const Captured together = Pack(out + L" /package" + Arg(folder / L"half1.msi") + identity + L" /package" +
                                   Arg(folder / L"half2.msi") + identity);
    EXPECT_NE(std::string::npos, together.errorText.find("half2.msi is empty or too large")) << together.errorText;
    // Programs count towards the whole as packages do.
    ::MoveFileW((folder / L"half1.msi").c_str(), (folder / L"half1.exe").c_str());
    const Captured withProgram = Pack(out + L" /exe" + Arg(folder / L"half1.exe") + always + L" /package" +
                                      Arg(folder / L"half2.msi") + identity);
    EXPECT_NE(std::string::npos, withProgram.errorText.find("half2.msi is empty or too large")) << withProgram.errorText;
}

TEST_P(Packer, AFailedRunLeavesAnExistingOutputAsItWas)
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
