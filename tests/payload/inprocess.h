// Manifests built in memory for the in-process tests, naming resources of the
// test executable (payload_test.rc).
#pragma once

#include <string.h>
#include <vector>
#include "manifest.h"
#include "strutil.h"

class MemoryManifest {
public:
    MemoryManifest(std::vector<DWORD> packageFlags, std::vector<DWORD> transformLanguages)
        : bytes_(4 + packageFlags.size() * sizeof(ManifestPackageEntry) +
                 transformLanguages.size() * sizeof(ManifestTransformEntry))
    {
        bytes_[1] = static_cast<BYTE>(packageFlags.size());
        bytes_[2] = static_cast<BYTE>(transformLanguages.size());
        for (DWORD k = 0; k < packageFlags.size(); ++k) {
            ManifestPackageEntry* entry = Package(k);
            strcpy(entry->resourceName, "TESTPKG");
            wcscpy(entry->fileName, L"staged.msi");
            entry->productCode = {0x7E57CAC0, 0x1234, 0x4321, {0xAB, 0xCD, 0, 0, 0, 0, 0, static_cast<BYTE>(k)}};
            entry->versionHigh = 0x00010002;
            entry->versionLow = 0x00030004;
            entry->flags = packageFlags[k];
        }
        for (DWORD j = 0; j < transformLanguages.size(); ++j) {
            ManifestTransformEntry* entry = Transform(j);
            entry->language = transformLanguages[j];
            wsprintfA(entry->resourceName, "TF%u", static_cast<unsigned>(transformLanguages[j]));
        }
    }

    const PackageManifest* Get() const { return reinterpret_cast<const PackageManifest*>(bytes_.data()); }
    ManifestPackageEntry* Package(DWORD k)
    {
        return const_cast<ManifestPackageEntry*>(ManifestPackage(Get(), k));
    }
    ManifestTransformEntry* Transform(DWORD j)
    {
        return const_cast<ManifestTransformEntry*>(ManifestTransform(Get(), j));
    }

private:
    std::vector<BYTE> bytes_;
};

struct OwnedText {
    WideString text = nullptr;
    ~OwnedText() { if (text) StrutilFree(text); }
};

// A handle the program hands out (a held file), closed at the end of the scope.
struct OwnedHandle {
    HANDLE handle = INVALID_HANDLE_VALUE;
    ~OwnedHandle() { if (handle != INVALID_HANDLE_VALUE) CloseHandle(handle); }
};

// Whether anyone else could change the file now: open it for writing, rename
// it, delete it. Each must be refused while the program holds it.
inline bool IsChangeable(const std::wstring& path)
{
    HANDLE writer = CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                nullptr, OPEN_EXISTING, 0, nullptr);
    if (writer != INVALID_HANDLE_VALUE) {
        CloseHandle(writer);
        return true;
    }
    const std::wstring moved = path + L".moved";
    if (MoveFileExW(path.c_str(), moved.c_str(), 0)) {
        MoveFileExW(moved.c_str(), path.c_str(), 0);
        return true;
    }
    return DeleteFileW(path.c_str()) != FALSE;
}
