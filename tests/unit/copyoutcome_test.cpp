// What the unelevated side takes from an elevated copy's channel: two fields
// of plain text from the copy's own process, or nothing at all.
#include <gtest/gtest.h>
#include <windows.h>
#include <cstring>
#include <string>
#include "copyoutcome.h"
#include "result.h"

namespace {

constexpr DWORD kCopy = 4242;

TEST(OutcomeRead, TakesPlainTextFromTheCopyAloneOrNothing)
{
    const std::wstring log = L"C:\\Windows\\SystemTemp\\fresh_20261209-180000_0a1b2c3d.log";
    struct Row {
        const char* name;
        std::wstring message;
        DWORD sender;
        HRESULT result;
        const wchar_t* entry;   // taken on success
        DWORD lessBytes = 0;    // cut from the message's bytes
    };
    const Row rows[] = {
        {"a failure", L"machine.msi|" + log, kCopy, S_OK, L"machine.msi"},
        {"a success before the copy had a log", L"|", kCopy, S_OK, L""},
        {"the longest fields", std::wstring(MANIFEST_NAME_CHARS - 1, L'e') + L"|" + std::wstring(MAX_PATH - 1, L'l'),
         kCopy, S_OK, nullptr},
        {"another process", L"machine.msi|" + log, kCopy + 1, E_ACCESSDENIED, L""},
        {"a line forged into the log", L"machine.msi\r\n2026-12-09 18:00:00 exit code 0|" + log, kCopy,
         RESULT_INVALID_DATA, L""},
        {"a control of the upper half", L"machine\u0085.msi|" + log, kCopy, RESULT_INVALID_DATA, L""},
        {"no separator", L"machine.msi", kCopy, RESULT_INVALID_DATA, L""},
        {"two", L"machine.msi|" + log + L"|x", kCopy, RESULT_INVALID_DATA, L""},
        {"an entry too long", std::wstring(MANIFEST_NAME_CHARS, L'e') + L"|" + log, kCopy, RESULT_INVALID_DATA, L""},
        {"a log too long", L"machine.msi|" + std::wstring(MAX_PATH, L'l'), kCopy, RESULT_INVALID_DATA, L""},
        {"half a character", L"machine.msi|" + log, kCopy, RESULT_INVALID_DATA, L"", 1},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        CopyOutcome outcome;
        memset(&outcome, 'Z', sizeof(outcome));   // whatever was there goes
        const DWORD bytes = static_cast<DWORD>(row.message.size() * sizeof(wchar_t)) - row.lessBytes;
        EXPECT_EQ(row.result, OutcomeRead(row.message.data(), bytes, row.sender, kCopy, &outcome));
        const size_t separator = row.message.find(L'|');
        EXPECT_EQ(row.entry ? row.entry : row.message.substr(0, separator), std::wstring(outcome.entry));
        EXPECT_EQ(S_OK == row.result ? row.message.substr(separator + 1) : L"", std::wstring(outcome.log));
    }
}

} // namespace
