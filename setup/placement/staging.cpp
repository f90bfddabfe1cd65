#include "staging.h"
#include "result.h"
#include "strutil.h"

namespace {

constexpr WCHAR STAGING_PREFIX[] = L"Setup-";

} // namespace

HRESULT OpenLogFolder(BOOL elevated, HeldFolder* folder)
{
    HRESULT hr = S_OK;
    WCHAR temp[MAX_PATH];

    if (elevated) {
        EXIT_IF_FAILED(DirutilOpenSystemTemp(folder));
        goto Exit;
    }
    EXIT_IF_FAILED(DirutilGetTempFolder(temp));
    EXIT_IF_FAILED(DirutilOpenWhereItIs(temp, folder));
    if (S_FALSE == hr) {
        EXIT_WITH(RESULT_PATH_NOT_FOUND);
    }

Exit:
    return hr;
}

HRESULT OpenStagingRoot(BOOL elevated, DirutilRefusalReport report, HeldFolder* root)
{
    HRESULT hr = S_OK;
    HeldFolder base = NoHeldFolder();

    EXIT_IF_FAILED(OpenLogFolder(elevated, &base));
    EXIT_IF_FAILED(DirutilCreateUnique(&base, STAGING_PREFIX, elevated, report, root));

Exit:
    DirutilClose(&base);
    return hr;
}

namespace {

// The folder `index + 1` followed by `suffix` in the staging folder, made and
// held.
HRESULT OpenNumberedFolder(const HeldFolder* root, DWORD index, LPCWSTR suffix, HeldFolder* folder)
{
    HRESULT hr = S_OK;
    WCHAR name[24];

    EXIT_IF_FAILED(BoundedFormat(name, ARRAYSIZE(name), L"%lu%ls", index + 1, suffix));
    EXIT_IF_FAILED(DirutilOpenChild(root, name, TRUE, folder));
    if (S_FALSE == hr) {
        EXIT_WITH(RESULT_LINK_ENCOUNTERED);   // nobody but the run can have put anything there
    }

Exit:
    return hr;
}

} // namespace

HRESULT OpenEntryFolder(const HeldFolder* root, DWORD index, HeldFolder* folder)
{
    return OpenNumberedFolder(root, index, L"", folder);
}

HRESULT OpenProgramTempFolder(const HeldFolder* root, DWORD index, HeldFolder* folder)
{
    return OpenNumberedFolder(root, index, L".temp", folder);
}
