#include "testsupport.h"

#include <objbase.h>
#include <algorithm>
#include <cstring>

namespace {

// The installer's classes differ from each other in the first field only.
CLSID InstallerClass(unsigned long kind)
{
    CLSID id = {kind, 0, 0, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}};
    return id;
}

} // namespace

bool WriteInstallerStorage(const std::wstring& path, unsigned long kind, const std::string& text)
{
    IStorage* storage = nullptr;
    IStream* stream = nullptr;
    CoInitialize(nullptr);
    bool written = SUCCEEDED(StgCreateDocfile(path.c_str(), STGM_CREATE | STGM_READWRITE | STGM_SHARE_EXCLUSIVE, 0,
                                              &storage)) &&
                   SUCCEEDED(storage->SetClass(InstallerClass(kind))) &&
                   SUCCEEDED(storage->CreateStream(L"Text", STGM_CREATE | STGM_WRITE | STGM_SHARE_EXCLUSIVE, 0, 0,
                                                   &stream)) &&
                   SUCCEEDED(stream->Write(text.data(), static_cast<ULONG>(text.size()), nullptr));
    if (stream) stream->Release();
    if (storage) storage->Release();
    return written;
}

std::string InstallerStorageText(const std::wstring& path)
{
    IStorage* storage = nullptr;
    IStream* stream = nullptr;
    char text[256] = {};
    ULONG read = 0;
    CoInitialize(nullptr);
    if (SUCCEEDED(StgOpenStorage(path.c_str(), nullptr, STGM_READ | STGM_SHARE_DENY_WRITE, nullptr, 0, &storage)) &&
        SUCCEEDED(storage->OpenStream(L"Text", nullptr, STGM_READ | STGM_SHARE_EXCLUSIVE, 0, &stream))) {
        stream->Read(text, sizeof(text), &read);
    }
    if (stream) stream->Release();
    if (storage) storage->Release();
    return std::string(text, read);
}

std::string ResourceBytes(const std::wstring& module, LPCWSTR type, LPCWSTR name, WORD language)
{
    std::string bytes;
    HMODULE image = ::LoadLibraryExW(module.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
    if (!image) {
        return bytes;
    }
    HRSRC found = ::FindResourceExW(image, type, name, language);
    if (found) {
        const void* data = ::LockResource(::LoadResource(image, found));
        bytes.assign(static_cast<const char*>(data), ::SizeofResource(image, found));
    }
    ::FreeLibrary(image);
    return bytes;
}

namespace {

struct ListedPayload {
    char name[12];
    DWORD reserved;
    ULONGLONG offset;
    ULONGLONG size;
};

// The end of the image in the file, where the listed payloads are counted from.
ULONGLONG ImageEnd(const std::string& headers)
{
    const auto* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(headers.data());
    const auto* nt = reinterpret_cast<const IMAGE_NT_HEADERS32*>(headers.data() + dos->e_lfanew);
    const auto* section = reinterpret_cast<const IMAGE_SECTION_HEADER*>(
        reinterpret_cast<const char*>(&nt->OptionalHeader) + nt->FileHeader.SizeOfOptionalHeader);
    const ULONGLONG alignment = nt->OptionalHeader.FileAlignment;   // at the same place in both kinds
    ULONGLONG end = nt->OptionalHeader.SizeOfHeaders;
    for (WORD k = 0; k < nt->FileHeader.NumberOfSections; ++k) {
        if (section[k].SizeOfRawData) end = std::max<ULONGLONG>(end, section[k].PointerToRawData + section[k].SizeOfRawData);
    }
    return (end + alignment - 1) / alignment * alignment;
}

std::vector<ListedPayload> PayloadTable(const std::wstring& bundle)
{
    const std::string table = ResourceBytes(bundle, RT_RCDATA, L"PAYLOADS", 0);
    std::vector<ListedPayload> entries(table.size() / sizeof(ListedPayload));
    if (!entries.empty()) memcpy(entries.data(), table.data(), entries.size() * sizeof(ListedPayload));
    return entries;
}

std::string ReadRange(const std::wstring& path, ULONGLONG offset, ULONGLONG size)
{
    std::string bytes(static_cast<size_t>(size), '\0');
    HANDLE file = ::CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    OVERLAPPED at = {};
    at.Offset = static_cast<DWORD>(offset);
    at.OffsetHigh = static_cast<DWORD>(offset >> 32);
    DWORD read = 0;
    const bool whole = file != INVALID_HANDLE_VALUE && ::ReadFile(file, &bytes[0], static_cast<DWORD>(size), &read, &at) &&
                       read == size;
    if (file != INVALID_HANDLE_VALUE) ::CloseHandle(file);
    return whole ? bytes : std::string();
}

} // namespace

std::string PayloadBytes(const std::wstring& bundle, const std::string& name)
{
    for (const ListedPayload& entry : PayloadTable(bundle)) {
        if (name == entry.name) {
            return ReadRange(bundle, ImageEnd(ReadRange(bundle, 0, 4096)) + entry.offset, entry.size);
        }
    }
    return ResourceBytes(bundle, RT_RCDATA, std::wstring(name.begin(), name.end()).c_str(), 0);
}

std::vector<std::string> ListedPayloads(const std::wstring& bundle)
{
    std::vector<std::string> names;
    for (const ListedPayload& entry : PayloadTable(bundle)) names.push_back(entry.name);
    return names;
}

bool WriteManifest(const std::wstring& bundle, const std::string& bytes)
{
    HANDLE update = ::BeginUpdateResourceW(bundle.c_str(), FALSE);
    if (!update) {
        return false;
    }
    const BOOL updated = ::UpdateResourceW(update, RT_RCDATA, L"MANIFEST", 0, const_cast<char*>(bytes.data()),
                                           static_cast<DWORD>(bytes.size()));
    return ::EndUpdateResourceW(update, !updated) && updated;
}
