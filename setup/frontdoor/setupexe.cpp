// The program's entry: split the command line, choose one action, do it, and
// turn its result into the exit code.
#include <windows.h>
#include <shellapi.h>
#include "cache.h"
#include "elevation.h"
#include "messages.h"
#include "options.h"
#include "result.h"
#include "runlog.h"
#include "setuprun.h"

HINSTANCE ModuleInstance = nullptr;

namespace {

// A setup run keeps a log of its own; help and extraction write only what
// they were asked for.
HRESULT RunLoggedSetup(const SetupOptions& options, int argc, LPWSTR* argv, HRESULT redirectionTrust)
{
    RunLogBegin(argc, argv, options.uiLevel, redirectionTrust);
    const HRESULT hr = RunSetup(options.propertyText, options.language, options.logPath, options.uiLevel,
                                options.action, options.elevatedCopyOf, options.noRestart,
                                options.hasWindowPlace ? &options.windowPlace : nullptr,
                                nullptr != options.outcomeTo.name ? &options.outcomeTo : nullptr);
    RunLogEnd(ExitCodeFromResult(hr));
    return hr;
}

HRESULT RunChosenAction(const SetupOptions& options, int argc, LPWSTR* argv, HRESULT redirectionTrust)
{
    switch (ChooseSetupAction(options)) {
    case SetupAction::Help:
        return ShowHelpMessage();
    case SetupAction::Extract:
        return ExtractPackages(options.targetPath);
    case SetupAction::ExtractFirst:
        return ExtractFirstPackage(options.targetPath);
    case SetupAction::Setup:
        break;
    }
    return RunLoggedSetup(options, argc, argv, redirectionTrust);
}

} // namespace

int ExitCodeFromResult(HRESULT hr)
{
    const int code = static_cast<int>(static_cast<DWORD>(hr) & 0xFFFF);
    // A failure whose low word is 0 (a platform error of 0x10000 folds to
    // 0x80070000) would otherwise leave the process looking successful.
    if (FAILED(hr) && 0 == code) {
        return static_cast<int>(static_cast<DWORD>(E_FAIL) & 0xFFFF);
    }
    return code;
}

int SetupMain(HINSTANCE module)
{
    HRESULT hr = S_OK;
    SetupOptions options;
    LPWSTR* argv = nullptr;
    int argc = 0;
    HRESULT redirectionTrust = S_FALSE;

    ModuleInstance = module;
    redirectionTrust = EnforceRedirectionTrust();

    argv = ::CommandLineToArgvW(::GetCommandLineW(), &argc);
    EXIT_LAST_ERROR_IF_NULL(argv);

    // Without switches the start values of SetupOptions choose a full setup run.
    if (argc >= 2) {
        EXIT_IF_FAILED(ParseSetupCommandLine(argc, argv, &options));
    }
    hr = RunChosenAction(options, argc, argv, redirectionTrust);

Exit:
    ReleaseSetupOptions(&options);
    if (argv) {
        ::LocalFree(argv);
    }
    return ExitCodeFromResult(hr);
}
