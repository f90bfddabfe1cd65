// What the program says: the help text in the user's language, the platform's
// own text for an installer failure, and that text with Retry and Cancel while
// another installation is busy. The person room decides who sees them.
#include "messages.h"
#include "options.h"
#include "person.h"
#include "resrutil.h"
#include "result.h"
#include "results.h"
#include "runlog.h"
#include "../../res/resource.h"

namespace {

constexpr DWORD MESSAGE_FROM_SYSTEM = FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM;
constexpr DWORD USER_DEFAULT_LANGUAGE = MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT);

// The platform's text in the user's language, freed with LocalFree; null when
// it has none for the code.
LPWSTR LoadSystemText(HRESULT code)
{
    LPWSTR text = nullptr;
    const DWORD length = ::FormatMessageW(MESSAGE_FROM_SYSTEM, nullptr, static_cast<DWORD>(code),
                                          USER_DEFAULT_LANGUAGE, reinterpret_cast<LPWSTR>(&text), 0, nullptr);
    if (0 == length && nullptr != text) {
        ::LocalFree(text);
        text = nullptr;
    }
    return text;
}

} // namespace

HRESULT ShowHelpMessage()
{
    HRESULT hr = S_OK;
    WideString caption = nullptr;
    WideString text = nullptr;

    EXIT_IF_FAILED(ResrutilLoadText(ModuleInstance, IDS_PRODUCT_NAME_ID, &caption));
    EXIT_IF_FAILED(ResrutilLoadText(ModuleInstance, IDS_HELP_TEXT_ID, &text));

    // A box that could not be shown at all (no desktop) is a failure, not help shown.
    EXIT_LAST_ERROR_IF(0 == ::MessageBoxW(nullptr, text, caption, MB_OK));

Exit:
    if (text) {
        StrutilFree(text);
    }
    if (caption) {
        StrutilFree(caption);
    }
    return hr;
}

void ShowSystemErrorMessage(HRESULT code)
{
    const LPWSTR text = LoadSystemText(code);
    WideString withLog = nullptr;

    // No text for this code in the user's language: nothing is shown.
    if (nullptr != text) {
        const BOOL logNamed =
            nullptr != RunLogPath() && SUCCEEDED(StrutilFormat(&withLog, L"%ls\r\nLog: %ls", text, RunLogPath()));
        PersonTell(TellKind::Error, logNamed ? withLog : text);
        ::LocalFree(text);
    }
    StrutilFree(withLog);
}

int AskRetryOrCancel(HRESULT code)
{
    const LPWSTR text = LoadSystemText(code);
    int answer = 0;

    if (nullptr != text) {
        answer = PersonAsk(text, MB_RETRYCANCEL | MB_ICONWARNING);
        ::LocalFree(text);
    }
    return answer;
}

HRESULT FinishText(HRESULT result, LPCWSTR failedEntry, WideString* text)
{
    HRESULT hr = S_OK;
    WideString line = nullptr;
    WideString blamed = nullptr;
    LPWSTR reason = nullptr;
    const UINT id = RESULT_CANCELLED_BY_USER == result ? IDS_WINDOW_CANCELLED
                    : IsRestartRequired(result)        ? IDS_WINDOW_RESTART_NEEDED
                    : SUCCEEDED(result)                ? IDS_WINDOW_DONE
                                                       : IDS_WINDOW_FAILED;

    EXIT_IF_FAILED(ResrutilLoadText(ModuleInstance, id, &line));
    if (IDS_WINDOW_FAILED != id) {
        EXIT_IF_FAILED(StrutilCopy(text, line, 0));
        goto Exit;
    }
    reason = LoadSystemText(result);
    EXIT_IF_FAILED(StrutilFormat(&blamed, line, nullptr != failedEntry ? failedEntry : L"-"));
    EXIT_IF_FAILED(StrutilFormat(text, L"%ls\r\n%ls", blamed, nullptr != reason ? reason : RunLogReason(result).text));

Exit:
    StrutilFree(line);
    StrutilFree(blamed);
    if (nullptr != reason) {
        ::LocalFree(reason);
    }
    return hr;
}

void ShowLogRefused(LPCWSTR logPath)
{
    WideString reason = nullptr;
    WideString text = nullptr;

    if (SUCCEEDED(ResrutilLoadText(ModuleInstance, IDS_LOG_REFUSED_ID, &reason)) &&
        SUCCEEDED(StrutilFormat(&text, L"%ls\r\n%ls", reason, logPath))) {
        PersonTell(TellKind::Error, text);
    }
    StrutilFree(reason);
    StrutilFree(text);
}

void ShowProgramFailed(LPCWSTR programName, DWORD exitCode)
{
    WideString reason = nullptr;
    WideString text = nullptr;

    if (SUCCEEDED(ResrutilLoadText(ModuleInstance, IDS_PROGRAM_FAILED_ID, &reason)) &&
        SUCCEEDED(StrutilFormat(&text, L"%ls\r\n%ls: %lu (0x%08lX)\r\nLog: %ls", reason, programName, exitCode,
                                exitCode, nullptr != RunLogPath() ? RunLogPath() : L"-"))) {
        PersonTell(TellKind::Error, text);
    }
    StrutilFree(reason);
    StrutilFree(text);
}
