// The packer's own resource writer, read back by the platform's loader, and
// its SHA-1 and bundle code. The packer's hosts are not linked: the few
// functions identity.cpp calls besides are stood in for below.
#include <gtest/gtest.h>
#include <string.h>
#include <algorithm>
#include <memory>
#include <string>
#include <vector>
#include "rsrcsection.h"
#include "scratchfolder.h"
#include "setuppack.h"
#include "sha1.h"

// An InputFile here holds the address of its bytes (a std::string) in place of a handle.
BOOL ReadAt(const InputFile* file, LONGLONG offset, void* out, DWORD size)
{
    const std::string& bytes = *reinterpret_cast<const std::string*>(file->file.value);
    if (offset < 0 || static_cast<ULONGLONG>(offset) > bytes.size() || size > bytes.size() - offset) return FALSE;
    memcpy(out, bytes.data() + offset, size);
    return TRUE;
}
void ReportError(LPCWSTR, ...) {}
HRESULT SetResource(ResourceTable*, LPCWSTR, LPCWSTR, WORD, const void*, DWORD) { return E_NOTIMPL; }
LPCWSTR HostNamePart(LPCWSTR path) { return path; }
BOOL EndsWithIgnoringCase(LPCWSTR, LPCWSTR) { return FALSE; }

namespace {

ResourceKey KeyOf(LPCWSTR typeOrName)
{
    ResourceKey key;
    if (IS_INTRESOURCE(typeOrName)) key.id = static_cast<uint16_t>(reinterpret_cast<ULONG_PTR>(typeOrName));
    for (LPCWSTR p = IS_INTRESOURCE(typeOrName) ? L"" : typeOrName; *p; ++p) key.name.push_back(*p);
    return key;
}

struct ResourceCase {
    LPCWSTR type;
    LPCWSTR name;
    WORD language;
    DWORD size;   // odd sizes: every datum after the first starts off an 8-byte boundary unless padded
};

// Types and names out of order, names before and after numbers, names that
// share a prefix, several languages of one name. The loader looks names up in
// capitals, so they are written so; "BX" comes before "B_X" only in the
// code-unit order its search assumes, not with case folded to lower.
const ResourceCase RESOURCES[] = {
    {MAKEINTRESOURCEW(300), L"ZETA", 1033, 1},       {MAKEINTRESOURCEW(300), L"ALPHA", 1033, 3},
    {MAKEINTRESOURCEW(300), MAKEINTRESOURCEW(9), 1033, 5}, {MAKEINTRESOURCEW(300), MAKEINTRESOURCEW(2), 1031, 13},
    {MAKEINTRESOURCEW(300), MAKEINTRESOURCEW(2), 0, 7},    {MAKEINTRESOURCEW(300), MAKEINTRESOURCEW(2), 1033, 4097},
    {L"PAYLOAD", L"MSI10", 1033, 9},                  {L"PAYLOAD", L"MSI1", 1033, 2},
    {L"PAYLOAD", L"MSI09", 1033, 11},                 {L"PAYLOAD", L"MSI1", 0, 6},
    {L"ASSET", L"B_X", 1033, 15},                     {L"ASSET", L"BX", 1033, 17},
    {L"ASSET", L"B", 1033, 19},                   {L"ASSET", L"MIXED", 1033, 21},
    {MAKEINTRESOURCEW(10), MAKEINTRESOURCEW(65535), 1033, 23},
};

std::string Pattern(size_t seed, DWORD size)
{
    std::string bytes(size, '\0');
    for (DWORD i = 0; i < size; ++i) bytes[i] = static_cast<char>((i * 31 + seed * 7 + 1) & 0xFF);
    return bytes;
}

std::vector<uint8_t> ReadBytes(const std::wstring& path)
{
    const std::string text = ScratchFolder::ReadFile(path);
    return std::vector<uint8_t>(text.begin(), text.end());
}

BOOL CALLBACK CountLanguage(HMODULE, LPCWSTR, LPCWSTR, WORD, LONG_PTR count)
{
    ++*reinterpret_cast<size_t*>(count);
    return TRUE;
}
BOOL CALLBACK CountName(HMODULE module, LPCWSTR type, LPWSTR name, LONG_PTR count)
{
    return EnumResourceLanguagesW(module, type, name, CountLanguage, count) || TRUE;
}
BOOL CALLBACK CountType(HMODULE module, LPWSTR type, LONG_PTR count)
{
    return EnumResourceNamesW(module, type, CountName, count) || TRUE;
}

// Loads the image as the platform does and looks up every resource, with `expected` its bytes.
void ExpectResources(const std::wstring& path, const std::vector<std::string>& expected, size_t total)
{
    HMODULE module = LoadLibraryExW(path.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE);
    ASSERT_NE(nullptr, module) << GetLastError();
    for (size_t k = 0; k < expected.size(); ++k) {
        const ResourceCase& c = RESOURCES[k];
        SCOPED_TRACE(testing::Message() << "resource " << k);
        HRSRC found = FindResourceExW(module, c.type, c.name, c.language);
        ASSERT_NE(nullptr, found);
        const void* data = LockResource(LoadResource(module, found));
        ASSERT_EQ(expected[k].size(), SizeofResource(module, found));
        EXPECT_EQ(expected[k], std::string(static_cast<const char*>(data), expected[k].size()));
    }
    size_t count = 0;
    EnumResourceTypesW(module, CountType, reinterpret_cast<LONG_PTR>(&count));
    EXPECT_EQ(total, count);
    FreeLibrary(module);
}

} // namespace

TEST(PackerResources, EveryResourceReadsBackThroughTheLoader)
{
    ScratchFolder folder;
    std::vector<uint8_t> image = ReadBytes(L"" SETUP_STUB_FILE);
    std::vector<Resource> own;
    const char* reason = nullptr;
    ASSERT_TRUE(ReadImageResources(image, &own, &reason)) << reason;

    // The stub's own resources stay, as in a bundle.
    ResourceTable table;
    for (const Resource& r : own) table.Set(r.type, r.name, r.language, r.data.data(), r.data.size());
    std::vector<std::string> expected;
    for (size_t k = 0; k < ARRAYSIZE(RESOURCES); ++k) {
        expected.push_back(Pattern(k, RESOURCES[k].size));
        table.Set(KeyOf(RESOURCES[k].type), KeyOf(RESOURCES[k].name), RESOURCES[k].language, expected[k].data(),
                  expected[k].size());
    }
    const size_t total = own.size() + ARRAYSIZE(RESOURCES);
    ASSERT_TRUE(ReplaceImageResources(&image, table, &reason)) << reason;
    ScratchFolder::WriteFile(folder / L"written.exe", std::string(image.begin(), image.end()));
    ExpectResources(folder / L"written.exe", expected, total);

    // Replacing one, from the resources read back out of the written image, keeps the rest.
    std::vector<Resource> written;
    ASSERT_TRUE(ReadImageResources(image, &written, &reason)) << reason;
    ASSERT_EQ(total, written.size());
    ResourceTable again;
    for (const Resource& r : written) again.Set(r.type, r.name, r.language, r.data.data(), r.data.size());
    expected[4] = Pattern(99, 1001);
    again.Set(KeyOf(RESOURCES[4].type), KeyOf(RESOURCES[4].name), RESOURCES[4].language, expected[4].data(),
              expected[4].size());
    ASSERT_TRUE(ReplaceImageResources(&image, again, &reason)) << reason;
    ScratchFolder::WriteFile(folder / L"replaced.exe", std::string(image.begin(), image.end()));
    ExpectResources(folder / L"replaced.exe", expected, total);
}

namespace {

std::string Hex(const uint8_t (&digest)[SHA1_DIGEST_BYTES])
{
    std::string text;
    for (uint8_t b : digest) text += "0123456789abcdef"[b >> 4], text += "0123456789abcdef"[b & 15];
    return text;
}

// The payloads of the bundle below: a package, a cabinet of more than one
// digest piece, a transform.
struct Payloads {
    std::string bytes[3] = {"package bytes", Pattern(0, 1024 * 1024 + 5), "transform"};
};

GUID BundleCode(const GUID& upgradeCode, DWORD versionLow, const Payloads& payloads)
{
    auto options = std::make_unique<PackOptions>();
    auto inputs = std::make_unique<PackInputs>();
    options->registration.upgradeCode = upgradeCode;
    options->identity.versionHigh = 0x00010002;
    options->identity.versionLow = versionLow;
    options->packageCount = options->cabinetCount = options->transformCount = 1;
    InputFile* files[3] = {&inputs->packages[0], &inputs->cabinets[0], &inputs->transforms[0]};
    for (int k = 0; k < 3; ++k) {
        files[k]->file.value = reinterpret_cast<intptr_t>(&payloads.bytes[k]);
        files[k]->size = payloads.bytes[k].size();
    }
    GUID code = {};
    EXPECT_EQ(S_OK, DeriveBundleCode(options.get(), inputs.get(), &code));
    return code;
}

} // namespace

TEST(PackerSha1, KnownDigestsInAnyPieces)
{
    const struct {
        std::string text;
        size_t repeat;
        std::vector<size_t> pieces;   // fed in these sizes, round and round
        const char* digest;
    } cases[] = {
        {"", 1, {1}, "da39a3ee5e6b4b0d3255bfef95601890afd80709"},
        {"abc", 1, {1}, "a9993e364706816aba3e25717850c26c9cd0d89d"},
        {"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq", 1, {3, 50, 1, 2},
         "84983e441c3bd26ebaae4aa1f95129e5e54670f1"},
        {"a", 1000000, {1, 63, 64, 65, 1000, 7}, "34aa973cd4c4daa4f61eeb2bdbad27316534016f"},
    };
    for (const auto& c : cases) {
        std::string input;
        for (size_t k = 0; k < c.repeat; ++k) input += c.text;
        Sha1 sha = {};
        Sha1Start(&sha);
        for (size_t at = 0, k = 0; at < input.size(); ++k) {
            const size_t size = std::min(c.pieces[k % c.pieces.size()], input.size() - at);
            Sha1Add(&sha, input.data() + at, size);
            at += size;
        }
        uint8_t digest[SHA1_DIGEST_BYTES];
        Sha1Finish(&sha, digest);
        EXPECT_EQ(c.digest, Hex(digest)) << input.size() << " bytes";
    }
}

// An independent computation: SHA-1 of the namespace, the upgrade code's
// bytes in text order, the version big-endian and each payload's digest (the
// cabinet's of more than one piece), as a version-5 code.
TEST(PackerBundleCode, NameBasedOnUpgradeCodeVersionAndPayloads)
{
    const GUID upgrade = {0x12345678, 0x9ABC, 0xDEF0, {0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77, 0x88}};
    const GUID known = {0xA32CF911, 0x4CA9, 0x5613, {0xB1, 0x71, 0xC8, 0xA1, 0x34, 0x9A, 0xDE, 0xCD}};
    EXPECT_TRUE(IsEqualGUID(known, BundleCode(upgrade, 0x00030004, Payloads())));
}
