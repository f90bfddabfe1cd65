#include "ownedfolder.h"

#include "fileutil.h"
#include "result.h"
#include "strutil.h"

#include <aclapi.h>

namespace {

constexpr WCHAR RECORD_KEY[] = L"Software\\Tessaro\\Setup\\Folders";
// The record is read where the program's 64-bit and 32-bit builds both look.
constexpr REGSAM NATIVE_VIEW = KEY_WOW64_64KEY;
constexpr DWORD MAX_DESCRIPTOR_BYTES = 1024;

// What is recorded of a folder: a record of another layout never matches.
struct FolderRecord {
    DWORD size;   // of the record, as written
    DWORD volumeSerial;
    DWORD indexHigh;
    DWORD indexLow;
    WCHAR path[MAX_PATH];
    DWORD descriptorBytes;
    BYTE descriptor[MAX_DESCRIPTOR_BYTES];
};

// The folder's owner and DACL as the platform reads them back, self-relative.
HRESULT ReadDescriptor(HANDLE folder, FolderRecord* record)
{
    HRESULT hr = S_OK;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    const DWORD status = ::GetSecurityInfo(folder, SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION,
                                           nullptr, nullptr, nullptr, nullptr, &descriptor);

    EXIT_WIN32_IF_ERROR(status);
    record->descriptorBytes = ::GetSecurityDescriptorLength(descriptor);
    if (record->descriptorBytes > MAX_DESCRIPTOR_BYTES) {
        EXIT_WITH(RESULT_INVALID_DATA);
    }
    memcpy(record->descriptor, descriptor, record->descriptorBytes);

Exit:
    if (descriptor) {
        ::LocalFree(descriptor);
    }
    return hr;
}

// What the held folder is now, in the record's form.
HRESULT Describe(const HeldFolder* folder, FolderRecord* record)
{
    HRESULT hr = S_OK;
    BY_HANDLE_FILE_INFORMATION information = {};

    *record = {};
    record->size = sizeof(FolderRecord);
    EXIT_LAST_ERROR_IF(!::GetFileInformationByHandle(folder->handle, &information));
    record->volumeSerial = information.dwVolumeSerialNumber;
    record->indexHigh = information.nFileIndexHigh;
    record->indexLow = information.nFileIndexLow;
    EXIT_IF_FAILED(DirutilFinalPath(folder->handle, record->path));
    EXIT_IF_FAILED(ReadDescriptor(folder->handle, record));

Exit:
    return hr;
}

// S_FALSE when there is no record of that name, or one of another layout.
HRESULT ReadRecord(LPCWSTR name, FolderRecord* record)
{
    HRESULT hr = S_OK;
    HKEY key = nullptr;
    DWORD type = REG_NONE;
    DWORD bytes = sizeof(*record);
    LSTATUS status = ::RegOpenKeyExW(HKEY_LOCAL_MACHINE, RECORD_KEY, 0, KEY_QUERY_VALUE | NATIVE_VIEW, &key);

    if (ERROR_SUCCESS == status) {
        status = ::RegQueryValueExW(key, name, nullptr, &type, reinterpret_cast<BYTE*>(record), &bytes);
    }
    if (ERROR_FILE_NOT_FOUND == status || ERROR_MORE_DATA == status ||
        (ERROR_SUCCESS == status && (REG_BINARY != type || bytes != sizeof(*record) || record->size != bytes))) {
        hr = S_FALSE;
        goto Exit;
    }
    EXIT_WIN32_IF_ERROR(status);
    record->path[MAX_PATH - 1] = L'\0';

Exit:
    if (nullptr != key) {
        ::RegCloseKey(key);
    }
    return hr;
}

BOOL SameFolder(const FolderRecord& recorded, const FolderRecord& found)
{
    return recorded.volumeSerial == found.volumeSerial && recorded.indexHigh == found.indexHigh &&
           recorded.indexLow == found.indexLow && recorded.descriptorBytes == found.descriptorBytes &&
           0 == memcmp(recorded.descriptor, found.descriptor, found.descriptorBytes) &&
           CSTR_EQUAL == ::CompareStringOrdinal(recorded.path, -1, found.path, -1, TRUE);
}

} // namespace

HRESULT OwnedFolderOpen(LPCWSTR name, HeldFolder* folder)
{
    HRESULT hr = S_OK;
    FolderRecord recorded = {};
    FolderRecord found = {};

    *folder = NoHeldFolder();
    EXIT_IF_FAILED(ReadRecord(name, &recorded));
    if (S_FALSE == hr) {
        goto Exit;
    }
    EXIT_IF_FAILED(DirutilOpenOwned(recorded.path, folder));
    if (S_FALSE == hr) {
        goto Exit;
    }
    EXIT_IF_FAILED(Describe(folder, &found));
    hr = SameFolder(recorded, found) ? S_OK : S_FALSE;

Exit:
    if (S_OK != hr) {
        DirutilClose(folder);
    }
    return hr;
}

HRESULT OwnedFolderRecord(LPCWSTR name, const HeldFolder* folder)
{
    HRESULT hr = S_OK;
    HKEY key = nullptr;
    FolderRecord record = {};

    EXIT_IF_FAILED(Describe(folder, &record));
    EXIT_WIN32_IF_ERROR(::RegCreateKeyExW(HKEY_LOCAL_MACHINE, RECORD_KEY, 0, nullptr, REG_OPTION_NON_VOLATILE,
                                          KEY_SET_VALUE | NATIVE_VIEW, nullptr, &key, nullptr));
    EXIT_WIN32_IF_ERROR(::RegSetValueExW(key, name, 0, REG_BINARY, reinterpret_cast<const BYTE*>(&record),
                                         sizeof(record)));

Exit:
    if (nullptr != key) {
        ::RegCloseKey(key);
    }
    return hr;
}
