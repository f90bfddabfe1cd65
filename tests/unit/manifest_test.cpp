#include <gtest/gtest.h>
#include <string.h>
#include <vector>
#include "bundlemanifest.h"
#include "registration.h"
#include "result.h"

namespace {

// A manifest in memory, built entry by entry, that a case then damages.
struct ManifestBytes {
    std::vector<BYTE> bytes;

    ManifestBytes(BYTE packages, BYTE transforms)
        : bytes(4 + packages * sizeof(ManifestPackageEntry) + transforms * sizeof(ManifestTransformEntry))
    {
        bytes[1] = packages;
        bytes[2] = transforms;
        for (DWORD k = 0; k < packages; ++k) {
            strcpy(Package(k)->resourceName, "MSI00");
            wcscpy(Package(k)->fileName, L"product.msi");
        }
        for (DWORD j = 0; j < transforms; ++j) {
            strcpy(Transform(j)->resourceName, "MST00");
        }
    }

    PackageManifest* Header() { return reinterpret_cast<PackageManifest*>(bytes.data()); }
    ManifestPackageEntry* Package(DWORD k)
    {
        return const_cast<ManifestPackageEntry*>(ManifestPackage(Header(), k));
    }
    ManifestTransformEntry* Transform(DWORD j)
    {
        return const_cast<ManifestTransformEntry*>(ManifestTransform(Header(), j));
    }
    HRESULT Validate(DWORD size) const { return ValidateManifest(bytes.data(), size); }
    HRESULT Validate() const { return Validate(static_cast<DWORD>(bytes.size())); }
};

} // namespace

TEST(ManifestLayout, EntriesLieWhereThePackerPutsThem)
{
    ManifestBytes manifest(2, 3);
    const BYTE* base = manifest.bytes.data();
    EXPECT_EQ(base + 4, reinterpret_cast<const BYTE*>(manifest.Package(0)));
    EXPECT_EQ(base + 4 + 168, reinterpret_cast<const BYTE*>(manifest.Package(1)));
    EXPECT_EQ(base + 4 + 2 * 168, reinterpret_cast<const BYTE*>(manifest.Transform(0)));
    EXPECT_EQ(base + 4 + 2 * 168 + 2 * 16, reinterpret_cast<const BYTE*>(manifest.Transform(2)));
}

TEST(ValidateManifest, AcceptsWellFormedManifests)
{
    EXPECT_EQ(S_OK, ManifestBytes(0, 0).Validate());
    EXPECT_EQ(S_OK, ManifestBytes(1, 0).Validate());
    EXPECT_EQ(S_OK, ManifestBytes(3, 2).Validate());

    ManifestBytes longest(1, 1);
    memcpy(longest.Package(0)->resourceName, "MSI45678901", 12);   // 11 characters and the NUL
    std::fill_n(longest.Package(0)->fileName, 63, L'n');
    longest.Package(0)->fileName[63] = L'\0';
    memcpy(longest.Transform(0)->resourceName, "MST45678901", 12);
    EXPECT_EQ(S_OK, longest.Validate());

    ManifestBytes oneArchitectureEach(2, 0);
    oneArchitectureEach.Package(0)->flags = PKG_64BIT_WINDOWS_ONLY;
    oneArchitectureEach.Package(1)->flags = PKG_32BIT_WINDOWS_ONLY | PKG_HIDDEN | 0x3FF;
    EXPECT_EQ(S_OK, oneArchitectureEach.Validate());

    ManifestBytes window(1, 0);
    window.Header()->bundleFlags = BUNDLE_WINDOW | BUNDLE_LICENSE | BUNDLE_LICENSE_RTF;
    EXPECT_EQ(S_OK, window.Validate());

    ManifestBytes padded(1, 0);
    padded.bytes.resize(padded.bytes.size() + 10, 0xCC);   // bytes beyond the entries are not read
    EXPECT_EQ(S_OK, padded.Validate());
}

TEST(ValidateManifest, RefusesSizesThatCannotHoldTheCountedEntries)
{
    const struct {
        BYTE packages, transforms;
        DWORD size;
    } cases[] = {
        {0, 0, 0}, {0, 0, 3}, {1, 0, 171}, {2, 0, 4 + 168}, {1, 1, 4 + 168 + 15},
        {0, 1, 4}, {255, 255, 4 + 255 * 168 + 254 * 16},
    };
    for (const auto& c : cases) {
        ManifestBytes manifest(c.packages, c.transforms);
        EXPECT_EQ(RESULT_INVALID_DATA, manifest.Validate(c.size))
            << int(c.packages) << " packages, " << int(c.transforms) << " transforms, size " << c.size;
    }
}

TEST(ValidateManifest, RefusesDamagedEntries)
{
    const struct {
        const char* what;
        void (*damage)(ManifestBytes&);
    } cases[] = {
        {"package name without NUL", [](ManifestBytes& m) { memcpy(m.Package(1)->resourceName, "MSI456789012", 12); }},
        {"transform name without NUL",
         [](ManifestBytes& m) { memcpy(m.Transform(0)->resourceName, "MST456789012", 12); }},
        {"file name without NUL", [](ManifestBytes& m) { std::fill_n(m.Package(0)->fileName, 64, L'x'); }},
        {"empty file name", [](ManifestBytes& m) { m.Package(1)->fileName[0] = L'\0'; }},
        {"backslash", [](ManifestBytes& m) { wcscpy(m.Package(0)->fileName, L"..\\evil.msi"); }},
        {"slash", [](ManifestBytes& m) { wcscpy(m.Package(0)->fileName, L"sub/evil.msi"); }},
        {"drive mark", [](ManifestBytes& m) { wcscpy(m.Package(0)->fileName, L"C:evil.msi"); }},
        {"both architecture flags", [](ManifestBytes& m) { m.Package(1)->flags = 0xC09; }},
        {"cabinets beside a program", [](ManifestBytes& m) { m.Package(0)->flags = PKG_PROGRAM | PKG_CABINETS; }},
        {"cabinets beside a patch", [](ManifestBytes& m) { m.Package(1)->flags = PKG_PATCH | PKG_CABINETS; }},
        {"licence without the window", [](ManifestBytes& m) { m.Header()->bundleFlags = BUNDLE_LICENSE; }},
        {"rich text without a licence", [](ManifestBytes& m) { m.Header()->bundleFlags = BUNDLE_WINDOW | 4; }},
        {"unknown bundle flag", [](ManifestBytes& m) { m.Header()->bundleFlags = BUNDLE_WINDOW | 0x80; }},
    };
    for (const auto& c : cases) {
        ManifestBytes manifest(2, 1);
        c.damage(manifest);
        EXPECT_EQ(RESULT_INVALID_DATA, manifest.Validate()) << c.what;
    }
}

// A name the run writes or starts in a folder of its choosing: that one file, and nothing else.
TEST(ManifestIsPlainName, TakesOnlyNamesWindowsOpensAsThatFile)
{
    const struct {
        const wchar_t* name;
        BOOL plain;
    } cases[] = {
        {L"App.msi", TRUE}, {L"data1.cab", TRUE}, {L"a b.msi", TRUE}, {L".hidden.cab", TRUE}, {L"x", TRUE},
        {L"Caf\u00E9 \u00DC.msi", TRUE}, {L"con1.cab", TRUE}, {L"CONSOLE.msi", TRUE}, {L"COM10.cab", TRUE},
        {L"LPT.cab", TRUE}, {L"nul_.cab", TRUE}, {L"my.aux", TRUE}, {L"CONOUT.cab", TRUE},
        // Nothing, a folder or a drive.
        {L"", FALSE}, {L".", FALSE}, {L"..", FALSE}, {L"a\\b.msi", FALSE}, {L"a/b.msi", FALSE}, {L"C:b.msi", FALSE},
        {L"a.msi:data", FALSE},
        // Devices in any case, also with an extension.
        {L"CON", FALSE}, {L"prn.msi", FALSE}, {L"Aux.cab", FALSE}, {L"NUL", FALSE}, {L"nul.tar.cab", FALSE},
        {L"NUL .cab", FALSE}, {L"COM1.cab", FALSE}, {L"com9", FALSE}, {L"COM0.cab", FALSE}, {L"LPT1.msi", FALSE}, {L"lPt9.cab", FALSE},
        {L"COM\u00B9.cab", FALSE}, {L"LPT\u00B3", FALSE}, {L"CONIN$", FALSE}, {L"conout$.exe", FALSE},
        // Wildcards, control characters and the others Windows forbids.
        {L"c*b?.cab", FALSE}, {L"a\tb.cab", FALSE}, {L"a\x1F.cab", FALSE}, {L"a<b.cab", FALSE}, {L"a>b.cab", FALSE},
        {L"a\"b.cab", FALSE}, {L"a|b.cab", FALSE},
        // A trailing dot or space, which Windows drops.
        {L"cab1.cab.", FALSE}, {L"App.msi ", FALSE}, {L"App.msi. .", FALSE},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(c.plain, ManifestIsPlainName(c.name)) << testing::PrintToString(std::wstring(c.name));
    }
}

// The registration record as the packer writes it, then damaged field by field.
TEST(ValidateRegistration, RefusesADamagedRecord)
{
    const struct {
        const char* what;
        DWORD size;   // of the resource; 0: the record's
        void (*damage)(BundleRegistration&);
    } cases[] = {
        {"as written", 0, [](BundleRegistration&) {}},
        {"a later packer's longer record", sizeof(BundleRegistration) + 8, [](BundleRegistration& r) { r.size += 8; }},
        {"a resource shorter than the record", sizeof(BundleRegistration) - 1, [](BundleRegistration&) {}},
        {"a size beyond the resource", 0, [](BundleRegistration& r) { r.size += 2; }},
        {"a size short of the layout", 0, [](BundleRegistration& r) { r.size = 48; }},
        {"a name without NUL", 0, [](BundleRegistration& r) { std::fill_n(r.displayName, 256, L'n'); }},
        {"no name", 0, [](BundleRegistration& r) { r.displayName[0] = L'\0'; }},
        {"a link without NUL", 0, [](BundleRegistration& r) { std::fill_n(r.aboutLink, 260, L'l'); }},
        {"no upgrade code", 0, [](BundleRegistration& r) { r.upgradeCode = GUID(); }},
        {"no bundle code", 0, [](BundleRegistration& r) { r.bundleCode = GUID(); }},
    };
    for (const auto& c : cases) {
        std::vector<BYTE> bytes(sizeof(BundleRegistration) + 8);
        BundleRegistration& record = *reinterpret_cast<BundleRegistration*>(bytes.data());
        record.size = sizeof(BundleRegistration);
        record.upgradeCode.Data1 = 1;
        record.bundleCode.Data1 = 2;
        wcscpy(record.displayName, L"Product");
        c.damage(record);
        EXPECT_EQ(c.what == std::string("as written") || c.size > sizeof(BundleRegistration) ? S_OK : RESULT_INVALID_DATA,
                  ValidateRegistration(bytes.data(), c.size ? c.size : static_cast<DWORD>(sizeof(BundleRegistration))))
            << c.what;
    }
}

// Both directions, whatever Windows the tests run on (the 64-bit build is always
// on a 64-bit one).
TEST(PackageFitsWindows, EachArchitectureFlagKeepsItsPackageToItsWindows)
{
    const struct {
        DWORD flags;
        BOOL windows64Bit;
        BOOL fits;
    } cases[] = {
        {0, FALSE, TRUE},
        {0x3FF, TRUE, TRUE},
        {PKG_64BIT_WINDOWS_ONLY | 0x9, FALSE, FALSE},
        {PKG_64BIT_WINDOWS_ONLY, TRUE, TRUE},
        {PKG_32BIT_WINDOWS_ONLY, FALSE, TRUE},
        {PKG_32BIT_WINDOWS_ONLY, TRUE, FALSE},
    };
    for (const auto& c : cases) {
        ManifestPackageEntry entry = {};
        entry.flags = c.flags;
        EXPECT_EQ(c.fits, PackageFitsWindows(&entry, c.windows64Bit)) << std::hex << c.flags << " " << c.windows64Bit;
    }
}

TEST(FormatPackageVersion, WritesTheFourParts)
{
    const struct {
        DWORD high, low;
        const wchar_t* text;
    } cases[] = {
        {0x00020001, 0x00030000, L"2.1.3.0"},
        {0, 0, L"0.0.0.0"},
        {0xFFFFFFFF, 0xFFFFFFFF, L"65535.65535.65535.65535"},
    };
    for (const auto& c : cases) {
        ManifestPackageEntry entry = {};
        entry.versionHigh = c.high;
        entry.versionLow = c.low;
        WCHAR text[VERSION_TEXT_CHARS];
        EXPECT_EQ(S_OK, FormatPackageVersion(&entry, text));
        EXPECT_STREQ(c.text, text);
    }
}

TEST(FormatProductCode, WritesTheBracedUpperCaseForm)
{
    ManifestPackageEntry entry = {};
    entry.productCode = {0x1189e917, 0xfc1a, 0x4448, {0x8d, 0x11, 0xa8, 0x72, 0xb4, 0x28, 0x47, 0x69}};
    WCHAR text[PRODUCT_CODE_CHARS];
    EXPECT_EQ(S_OK, FormatProductCode(&entry, text));
    EXPECT_STREQ(L"{1189E917-FC1A-4448-8D11-A872B4284769}", text);
}

TEST(LanguageMatches, ExactAndPrimaryLanguageAndChineseScripts)
{
    const struct {
        LONG wanted;
        DWORD candidate;
        BOOL exact;
        BOOL matches;
    } cases[] = {
        {1031, 1031, TRUE, TRUE},    {2055, 1031, TRUE, FALSE},   {2055, 1031, FALSE, TRUE},
        {2055, 3079, FALSE, TRUE},   {1031, 1036, FALSE, FALSE},  {1031, 0x10407, TRUE, FALSE},
        // Chinese: traditional script shares 1028, simplified 2052.
        {3076, 1028, FALSE, TRUE},   {5124, 1028, FALSE, TRUE},   {4100, 2052, FALSE, TRUE},
        {3076, 2052, FALSE, FALSE},  {2052, 1028, FALSE, FALSE},  {1028, 3076, FALSE, FALSE},
        {31748, 31748, FALSE, TRUE}, {31748, 1028, FALSE, FALSE}, {31748, 2052, FALSE, FALSE},
        // A language switch that was not a number gives 0: only primary language 0 matches.
        {0, 0x0400, FALSE, TRUE},    {0, 1033, FALSE, FALSE},     {0, 1033, TRUE, FALSE},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(c.matches, LanguageMatches(c.wanted, c.candidate, c.exact))
            << c.wanted << " vs " << c.candidate << (c.exact ? " exact" : " primary");
    }
}

TEST(LanguageMatches, MinusOneStandsForTheUserLanguage)
{
    const DWORD user = ::GetUserDefaultUILanguage();
    EXPECT_TRUE(LanguageMatches(-1, user, TRUE));
    EXPECT_FALSE(LanguageMatches(-1, user ^ 0x400, TRUE));
    EXPECT_TRUE(LanguageMatches(-1, (user & 0x3FF) | 0x0C00, FALSE) || (user & 0x3FF) == 4);
}
