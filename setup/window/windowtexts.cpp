// What the window's pages say, from what the bundle carries: its name from
// its string table, its version and company from its registration record when
// it has one, and its licence.
#include "window.h"

#include "bundlemanifest.h"
#include "options.h"
#include "registration.h"
#include "resrutil.h"
#include "result.h"
#include "versionutil.h"
#include "../../res/resource.h"

HRESULT WindowHeading(WideString* heading)
{
    HRESULT hr = S_OK;
    const BundleRegistration* record = nullptr;
    WideString name = nullptr;

    EXIT_IF_FAILED(ResrutilLoadText(ModuleInstance, IDS_PRODUCT_NAME_ID, &name));
    if (S_OK == RegistrationLocateRecord(&record)) {
        EXIT_IF_FAILED(StrutilFormat(heading, L"%ls %lu.%lu.%lu.%lu", record->displayName, record->versionHigh >> 16,
                                     record->versionHigh & 0xFFFF, record->versionLow >> 16,
                                     record->versionLow & 0xFFFF));
    } else {
        EXIT_IF_FAILED(StrutilCopy(heading, name, 0));
    }

Exit:
    StrutilFree(name);
    return hr;
}

HRESULT WindowWelcomeFacts(WelcomeFacts* facts)
{
    HRESULT hr = S_OK;
    const BundleRegistration* record = nullptr;
    WideString note = nullptr;

    *facts = {};
    EXIT_IF_FAILED(WindowHeading(&facts->heading));
    EXIT_IF_FAILED(ResrutilLoadText(ModuleInstance, IDS_WINDOW_INSTALL_NOTE, &note));
    EXIT_IF_FAILED(StrutilFormat(&facts->details, L"%ls\r\n\r\n%ls",
                                 S_OK == RegistrationLocateRecord(&record) ? record->publisher : L"", note));
    EXIT_IF_FAILED(BundleLicence(&facts->licence, &facts->richLicence));
    hr = S_OK;

Exit:
    StrutilFree(note);
    return hr;
}

void WindowReleaseWelcomeFacts(WelcomeFacts* facts)
{
    StrutilFree(facts->heading);
    StrutilFree(facts->details);
    StrutilFree(facts->licence);
    *facts = {};
}
