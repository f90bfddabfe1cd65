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

namespace {

UINT NoteIdOf(Registered kind)
{
    switch (kind) {
    case Registered::Same: return IDS_WINDOW_MAINTENANCE_NOTE;
    case Registered::Newer: return IDS_WINDOW_NEWER_NOTE;
    default: return IDS_WINDOW_INSTALL_NOTE;
    }
}

// Which version an upgrade replaces, after the note; empty for any other page.
HRESULT UpgradeNote(const RegisteredVersion* registered, WideString* text)
{
    HRESULT hr = S_OK;
    WideString format = nullptr;
    WCHAR version[VERSION_TEXT_CHARS];

    if (Registered::Older != registered->kind) {
        return StrutilCopy(text, L"", 0);
    }
    EXIT_IF_FAILED(ResrutilLoadText(ModuleInstance, IDS_WINDOW_UPGRADES, &format));
    EXIT_IF_FAILED(VersionutilFormat(registered->version, version));
    EXIT_IF_FAILED(StrutilFormat(text, format, version));

Exit:
    StrutilFree(format);
    return hr;
}

void SetCommands(Registered kind, WORD (&commands)[WINDOW_BUTTONS])
{
    if (Registered::Same == kind) {
        commands[0] = COMMAND_REPAIR;
        commands[1] = COMMAND_UNINSTALL;
        commands[2] = COMMAND_CLOSE;
    } else if (Registered::Newer == kind) {
        commands[0] = COMMAND_CLOSE;
    } else {
        commands[0] = COMMAND_INSTALL;
        commands[1] = COMMAND_CANCEL;
    }
}

} // namespace

// An upgrade's note takes the blank line's place, so that three lines fit.
HRESULT WindowWelcomeFacts(const RegisteredVersion* registered, WelcomeFacts* facts)
{
    HRESULT hr = S_OK;
    const BundleRegistration* record = nullptr;
    WideString note = nullptr;
    WideString upgrade = nullptr;
    const BOOL upgrading = Registered::Older == registered->kind;

    *facts = {};
    SetCommands(registered->kind, facts->commands);
    EXIT_IF_FAILED(WindowHeading(&facts->heading));
    EXIT_IF_FAILED(ResrutilLoadText(ModuleInstance, NoteIdOf(registered->kind), &note));
    EXIT_IF_FAILED(UpgradeNote(registered, &upgrade));
    EXIT_IF_FAILED(StrutilFormat(&facts->details, L"%ls\r\n%ls\r\n%ls",
                                 S_OK == RegistrationLocateRecord(&record) ? record->publisher : L"",
                                 upgrading ? note : L"", upgrading ? upgrade : note));
    // Who repairs, removes or cannot install accepts no terms again.
    if (Registered::Nothing == registered->kind || upgrading) {
        EXIT_IF_FAILED(BundleLicence(&facts->licence, &facts->richLicence));
    }
    hr = S_OK;

Exit:
    StrutilFree(note);
    StrutilFree(upgrade);
    return hr;
}

void WindowReleaseWelcomeFacts(WelcomeFacts* facts)
{
    StrutilFree(facts->heading);
    StrutilFree(facts->details);
    StrutilFree(facts->licence);
    *facts = {};
}
