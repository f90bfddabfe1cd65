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

HRESULT OpenEntryFolder(const HeldFolder* root, DWORD index, HeldFolder* folder)
{
    HRESULT hr = S_OK;
    WCHAR name[16];

    EXIT_IF_FAILED(BoundedFormat(name, ARRAYSIZE(name), L"%lu", index + 1));
    EXIT_IF_FAILED(DirutilOpenChild(root, name, TRUE, folder));
    if (S_FALSE == hr) {
        EXIT_WITH(RESULT_LINK_ENCOUNTERED);   // nobody but the run can have put anything there
    }

Exit:
    return hr;
}
