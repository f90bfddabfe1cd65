// The registration record's checks, made before any field is used.
#include "registrationrecord.h"
#include "result.h"

namespace {

BOOL HasTerminator(const WCHAR* field, DWORD chars)
{
    for (DWORD k = 0; k < chars; ++k) {
        if (L'\0' == field[k]) {
            return TRUE;
        }
    }
    return FALSE;
}

} // namespace

HRESULT ValidateRegistration(const void* data, DWORD size)
{
    HRESULT hr = S_OK;
    const BundleRegistration* record = static_cast<const BundleRegistration*>(data);

    if (size < sizeof(BundleRegistration) || record->size < sizeof(BundleRegistration) || record->size > size ||
        !HasTerminator(record->displayName, REGISTRATION_NAME_CHARS) || L'\0' == record->displayName[0] ||
        !HasTerminator(record->publisher, REGISTRATION_NAME_CHARS) ||
        !HasTerminator(record->helpLink, REGISTRATION_LINK_CHARS) ||
        !HasTerminator(record->aboutLink, REGISTRATION_LINK_CHARS) || IsEqualGUID(GUID(), record->upgradeCode) ||
        IsEqualGUID(GUID(), record->bundleCode)) {
        EXIT_WITH(RESULT_INVALID_DATA);
    }

Exit:
    return hr;
}

