#include "testsupport.h"

#include <objbase.h>

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
