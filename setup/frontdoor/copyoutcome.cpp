#include "copyoutcome.h"

#include <sddl.h>
#include <wchar.h>
#include "result.h"
#include "runlog.h"
#include "strutil.h"
#include "sysutil.h"

namespace {

constexpr WCHAR PIPE_PREFIX[] = L"\\\\.\\pipe\\TessaroSetup-";
constexpr DWORD PIPE_NAME_CHARS = 64;
// Only an elevated administrator's process may connect: the user's unelevated
// programs, in whose tokens that group only denies, cannot take the channel.
constexpr WCHAR ADMINISTRATORS_ONLY[] = L"D:P(A;;GA;;;BA)";
constexpr WCHAR SEPARATOR[] = L"|";   // in no file name and no path

HRESULT PipeName(LPCWSTR digits, WCHAR (&name)[PIPE_NAME_CHARS])
{
    return BoundedFormat(name, PIPE_NAME_CHARS, L"%ls%.*ls", PIPE_PREFIX, static_cast<int>(OUTCOME_NAME_DIGITS), digits);
}

bool IsControl(WCHAR c)
{
    return c < L' ' || (c >= 0x7F && c <= 0x9F);
}

} // namespace

// One instance, made here first, for local clients: nobody can have made the
// name before, nor make a second instance. Its buffer holds any message.
HRESULT OutcomeChannelOpen(HANDLE* pipe, WCHAR (&argument)[OUTCOME_ARGUMENT_CHARS])
{
    HRESULT hr = S_OK;
    DWORD random[4] = {};
    WCHAR name[PIPE_NAME_CHARS];
    SECURITY_ATTRIBUTES attributes = {sizeof(attributes), nullptr, FALSE};

    EXIT_IF_FAILED(SysutilRandom(random, sizeof(random)));
    EXIT_IF_FAILED(BoundedFormat(argument, OUTCOME_ARGUMENT_CHARS, L"%08lx%08lx%08lx%08lx,%lu", random[0], random[1],
                                 random[2], random[3], ::GetCurrentProcessId()));
    EXIT_IF_FAILED(PipeName(argument, name));
    EXIT_LAST_ERROR_IF(!::ConvertStringSecurityDescriptorToSecurityDescriptorW(
        ADMINISTRATORS_ONLY, SDDL_REVISION_1, &attributes.lpSecurityDescriptor, nullptr));
    *pipe = ::CreateNamedPipeW(name, PIPE_ACCESS_INBOUND | FILE_FLAG_FIRST_PIPE_INSTANCE,
                               PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE | PIPE_REJECT_REMOTE_CLIENTS, 1, 0,
                               OUTCOME_MESSAGE_CHARS * sizeof(WCHAR), 0, &attributes);
    EXIT_LAST_ERROR_IF(INVALID_HANDLE_VALUE == *pipe);

Exit:
    ::LocalFree(attributes.lpSecurityDescriptor);
    if (FAILED(hr)) {
        RunLogLine("no channel for the elevated copy's outcome: %ls", RunLogReason(hr).text);
    }
    return hr;
}

void OutcomeChannelReceive(HANDLE pipe, DWORD copyProcessId, CopyOutcome* outcome)
{
    WCHAR message[OUTCOME_MESSAGE_CHARS];
    DWORD bytes = 0;
    DWORD beyond = 0;   // of a message longer than the buffer
    ULONG client = 0;

    *outcome = {};
    // The copy has ended: what it sent waits in the pipe.
    if (!::PeekNamedPipe(pipe, message, sizeof(message), &bytes, nullptr, &beyond) || 0 == bytes) {
        RunLogLine("the elevated copy handed back nothing");
        return;
    }
    ::GetNamedPipeClientProcessId(pipe, &client);
    const HRESULT hr = OutcomeRead(message, bytes + beyond, client, copyProcessId, outcome);
    if (FAILED(hr)) {
        RunLogLine("the outcome from process %lu is refused: %ls", client, RunLogReason(hr).text);
        return;
    }
    RunLogLine("the elevated copy's log: %ls", L'\0' != outcome->log[0] ? outcome->log : L"none");
    if (L'\0' != outcome->entry[0]) {
        RunLogLine("the elevated copy failed on %ls", outcome->entry);
    }
}

void OutcomeHandBack(const OutcomeAddress* address, LPCWSTR failedEntry, LPCWSTR log)
{
    HRESULT hr = S_OK;
    WCHAR name[PIPE_NAME_CHARS];
    WCHAR message[OUTCOME_MESSAGE_CHARS + 1];
    HANDLE pipe = INVALID_HANDLE_VALUE;
    ULONG server = 0;
    DWORD mode = PIPE_NOWAIT;
    DWORD bytes = 0;
    DWORD written = 0;

    if (nullptr == address) {
        return;
    }
    EXIT_IF_FAILED(PipeName(address->name, name));
    EXIT_IF_FAILED(BoundedFormat(message, OUTCOME_MESSAGE_CHARS + 1, L"%ls%ls%ls", nullptr != failedEntry ? failedEntry : L"",
                                 SEPARATOR, nullptr != log ? log : L""));
    bytes = static_cast<DWORD>(wcslen(message) * sizeof(WCHAR));
    // Anonymous to the other end: whoever made the pipe cannot act as this process.
    pipe = ::CreateFileW(name, GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, SECURITY_SQOS_PRESENT | SECURITY_ANONYMOUS,
                         nullptr);
    EXIT_LAST_ERROR_IF(INVALID_HANDLE_VALUE == pipe);
    if (!::GetNamedPipeServerProcessId(pipe, &server) || server != address->processId) {
        EXIT_WITH(E_ACCESSDENIED);
    }
    // The starter reads only once this process has ended: a message that does
    // not fit at once is dropped rather than waited for.
    EXIT_LAST_ERROR_IF(!::SetNamedPipeHandleState(pipe, &mode, nullptr, nullptr));
    EXIT_LAST_ERROR_IF(!::WriteFile(pipe, message, bytes, &written, nullptr));
    if (written != bytes) {
        EXIT_WITH(RESULT_INSUFFICIENT_BUFFER);
    }
    RunLogLine("the outcome is handed back to process %lu", server);

Exit:
    if (FAILED(hr)) {
        RunLogLine("the outcome could not be handed back: %ls", RunLogReason(hr).text);
    }
    if (INVALID_HANDLE_VALUE != pipe) {
        ::CloseHandle(pipe);
    }
}

HRESULT OutcomeRead(const WCHAR* message, DWORD bytes, DWORD sender, DWORD copy, CopyOutcome* outcome)
{
    const DWORD chars = bytes / sizeof(WCHAR);
    DWORD separator = chars;

    *outcome = {};
    if (0 == copy || sender != copy) {
        return E_ACCESSDENIED;
    }
    if (0 != bytes % sizeof(WCHAR) || chars > OUTCOME_MESSAGE_CHARS) {
        return RESULT_INVALID_DATA;
    }
    for (DWORD k = 0; k < chars; ++k) {
        if (IsControl(message[k]) || (SEPARATOR[0] == message[k] && chars != separator)) {
            return RESULT_INVALID_DATA;
        }
        separator = SEPARATOR[0] == message[k] ? k : separator;
    }
    if (chars == separator || FAILED(BoundedCopyCount(outcome->entry, MANIFEST_NAME_CHARS, message, separator)) ||
        FAILED(BoundedCopyCount(outcome->log, MAX_PATH, message + separator + 1, chars - separator - 1))) {
        *outcome = {};
        return RESULT_INVALID_DATA;
    }
    return S_OK;
}
