// A stand-in for the installer service's msi.dll, for tests only. It exports the
// ten operations the setup program takes by ordinal, records every call with all
// its arguments in a journal and returns the results a test scripted. Formats and
// environment variables: standin_journal.h.
//
// It keeps no state of its own: which script line answers a call follows from
// the journal, so several processes (a test and the setup.exe it starts) share
// one script, and a test starts it over by deleting the journal.
#define STANDIN_DLL_BUILD
#include "standin_journal.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <wchar.h>

namespace {

constexpr UINT ERROR_MORE_DATA_RESULT = 234;
constexpr UINT UNKNOWN_PRODUCT_RESULT = 1605;
constexpr UINT DEFAULT_UI_LEVEL = 5;
constexpr INT UNKNOWN_PRODUCT_STATE = -1;
constexpr int PRODUCT_CODE_CHARS = 39;

// A journal line under construction; long enough for four paths and a long
// command line, cut (and still written) beyond that.
struct Line {
    char text[32768];
    size_t length = 0;
};

void AppendRaw(Line* line, const char* text, size_t count)
{
    if (count > sizeof(line->text) - 2 - line->length) count = sizeof(line->text) - 2 - line->length;
    memcpy(line->text + line->length, text, count);
    line->length += count;
}

void AppendSeparator(Line* line)
{
    if (line->length != 0) AppendRaw(line, "\t", 1);
}

void AppendNumber(Line* line, unsigned long long value)
{
    char digits[32];
    int count = snprintf(digits, sizeof(digits), "%llu", value);
    AppendSeparator(line);
    AppendRaw(line, digits, static_cast<size_t>(count));
}

void AppendSigned(Line* line, long long value)
{
    char digits[32];
    int count = snprintf(digits, sizeof(digits), "%lld", value);
    AppendSeparator(line);
    AppendRaw(line, digits, static_cast<size_t>(count));
}

void AppendText(Line* line, LPCWSTR text)
{
    AppendSeparator(line);
    if (text == nullptr) {
        AppendRaw(line, STANDIN_NULL_FIELD, sizeof(STANDIN_NULL_FIELD) - 1);
        return;
    }
    char utf8[16384];
    int count = WideCharToMultiByte(CP_UTF8, 0, text, -1, utf8, sizeof(utf8), nullptr, nullptr);
    if (count <= 0) count = 1, utf8[0] = '\0';
    for (int i = 0; i < count - 1; ++i) {
        unsigned char c = static_cast<unsigned char>(utf8[i]);
        if (c < 0x20 || c == '%') {
            char escaped[4];
            snprintf(escaped, sizeof(escaped), "%%%02X", c);
            AppendRaw(line, escaped, 3);
        } else {
            AppendRaw(line, utf8 + i, 1);
        }
    }
}

void AppendOperation(Line* line, const char* operation)
{
    AppendRaw(line, operation, strlen(operation));
}

bool ReadVariable(LPCWSTR name, WCHAR* value, DWORD size)
{
    DWORD length = GetEnvironmentVariableW(name, value, size);
    return length != 0 && length < size;
}

// An install that takes its time, as a real one does, so that a test can act
// while it runs (STANDIN_MSI_DELAY: milliseconds).
void WaitLikeAnInstall()
{
    WCHAR value[16];
    if (ReadVariable(STANDIN_DELAY_VARIABLE, value, 16)) Sleep(wcstoul(value, nullptr, 10));
}

// The whole file as a NUL-terminated heap block, or null when it cannot be read.
char* ReadWholeFile(LPCWSTR path)
{
    HANDLE file = CreateFileW(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                              nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return nullptr;
    DWORD size = GetFileSize(file, nullptr);
    char* data = nullptr;
    if (size != INVALID_FILE_SIZE) data = static_cast<char*>(HeapAlloc(GetProcessHeap(), 0, size + 1));
    DWORD read = 0;
    if (data != nullptr && !ReadFile(file, data, size, &read, nullptr)) read = 0;
    if (data != nullptr) data[read] = '\0';
    CloseHandle(file);
    return data;
}

bool LineStartsWithWord(const char* line, const char* word, char separator)
{
    size_t length = strlen(word);
    return strncmp(line, word, length) == 0 && line[length] == separator;
}

// How many calls of `operation` the journal has recorded so far.
unsigned CountRecordedCalls(const char* operation)
{
    WCHAR path[MAX_PATH];
    if (!ReadVariable(STANDIN_JOURNAL_VARIABLE, path, MAX_PATH)) return 0;
    char* journal = ReadWholeFile(path);
    if (journal == nullptr) return 0;
    unsigned count = 0;
    for (char* line = journal; *line != '\0';) {
        if (LineStartsWithWord(line, operation, '\t')) ++count;
        char* end = strchr(line, '\n');
        if (end == nullptr) break;
        line = end + 1;
    }
    HeapFree(GetProcessHeap(), 0, journal);
    return count;
}

struct Scripted {
    bool found = false;
    UINT result = 0;
    char value[256] = "";
};

// The script's answer for the next call of `operation`.
Scripted NextScriptedAnswer(const char* operation)
{
    Scripted answer;
    WCHAR path[MAX_PATH];
    if (!ReadVariable(STANDIN_SCRIPT_VARIABLE, path, MAX_PATH)) return answer;
    char* script = ReadWholeFile(path);
    if (script == nullptr) return answer;
    unsigned wanted = CountRecordedCalls(operation);
    unsigned seen = 0;
    for (char* line = script; line != nullptr && *line != '\0';) {
        char* end = strchr(line, '\n');
        if (end != nullptr) *end = '\0';
        size_t length = strlen(line);
        if (length != 0 && line[length - 1] == '\r') line[length - 1] = '\0';
        if (LineStartsWithWord(line, operation, ' ') && seen++ == wanted) {
            char* rest = line + strlen(operation);
            answer.found = true;
            answer.result = static_cast<UINT>(strtoul(rest, &rest, 10));
            while (*rest == ' ') ++rest;
            snprintf(answer.value, sizeof(answer.value), "%s", rest);
            break;
        }
        line = end != nullptr ? end + 1 : nullptr;
    }
    HeapFree(GetProcessHeap(), 0, script);
    return answer;
}

UINT ScriptedResult(const char* operation, UINT fallback)
{
    Scripted answer = NextScriptedAnswer(operation);
    return answer.found ? answer.result : fallback;
}

void WriteJournal(Line* line)
{
    WCHAR path[MAX_PATH];
    if (!ReadVariable(STANDIN_JOURNAL_VARIABLE, path, MAX_PATH)) return;
    AppendRaw(line, "\n", 1);
    HANDLE file = CreateFileW(path, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                              nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return;
    DWORD written = 0;
    WriteFile(file, line->text, static_cast<DWORD>(line->length), &written, nullptr);
    CloseHandle(file);
}

// Tells which processes loaded the installer at all, calls or not.
void RecordLoad()
{
    WCHAR path[MAX_PATH];
    WCHAR executable[MAX_PATH];
    if (!ReadVariable(STANDIN_LOADS_VARIABLE, path, MAX_PATH)) return;
    DWORD length = GetModuleFileNameW(nullptr, executable, MAX_PATH);
    if (length == 0 || length >= MAX_PATH) return;
    char line[4 * MAX_PATH + 2];
    int count = WideCharToMultiByte(CP_UTF8, 0, executable, -1, line, 4 * MAX_PATH, nullptr, nullptr);
    if (count <= 0) return;
    line[count - 1] = '\n';
    HANDLE file = CreateFileW(path, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                              nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return;
    DWORD written = 0;
    WriteFile(file, line, static_cast<DWORD>(count), &written, nullptr);
    CloseHandle(file);
}

// What a user with write access could try while the installer reads a file:
// open it for writing, rename it, delete it. Each outcome is journaled as the
// error it gave (0: it worked, and whatever was undone again).
void TryToChange(LPCWSTR path)
{
    HANDLE writer = CreateFileW(path, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    const DWORD writeError = writer == INVALID_HANDLE_VALUE ? GetLastError() : 0;
    if (writer != INVALID_HANDLE_VALUE) CloseHandle(writer);
    WCHAR renamed[MAX_PATH + 8];
    lstrcpynW(renamed, path, MAX_PATH);
    lstrcatW(renamed, L".swap");
    const BOOL moved = MoveFileExW(path, renamed, 0);
    const DWORD renameError = moved ? 0 : GetLastError();
    if (moved) MoveFileExW(renamed, path, 0);
    const DWORD deleteError = DeleteFileW(path) ? 0 : GetLastError();

    static Line line;
    line.length = 0;
    AppendOperation(&line, "tamper");
    AppendText(&line, path);
    AppendNumber(&line, writeError);
    AppendNumber(&line, renameError);
    AppendNumber(&line, deleteError);
    WriteJournal(&line);
}

// With STANDIN_MSI_TAMPER set: the package and an "@" transform beside it.
void TryToChangeInputs(LPCWSTR package, LPCWSTR commandLine)
{
    WCHAR flag[4];
    if (package == nullptr || !ReadVariable(STANDIN_TAMPER_VARIABLE, flag, 4)) return;
    TryToChange(package);
    const WCHAR* mark = commandLine ? wcsstr(commandLine, L"TRANSFORMS=@") : nullptr;
    const WCHAR* slash = wcsrchr(package, L'\\');
    if (mark == nullptr || slash == nullptr) return;
    WCHAR transform[MAX_PATH];
    const size_t folder = static_cast<size_t>(slash - package) + 1;
    const WCHAR* name = mark + 12;
    size_t nameLength = wcscspn(name, L" ");
    if (folder + nameLength >= MAX_PATH) return;
    memcpy(transform, package, folder * sizeof(WCHAR));
    memcpy(transform + folder, name, nameLength * sizeof(WCHAR));
    transform[folder + nameLength] = L'\0';
    TryToChange(transform);
}

// The program's message handler (MsiSetExternalUIRecord) and the records it
// is handed: one at a time, its three numbers and its text (every text field
// and the formatted record read as that text).
using MessageHandler = INT(WINAPI*)(void* context, UINT type, unsigned long record);
MessageHandler Handler = nullptr;
DWORD HandlerFilter = 0;
void* HandlerContext = nullptr;
constexpr unsigned long RECORD_HANDLE = 0x5EC;
struct MessageRecord {
    INT numbers[4];
    WCHAR text[1024];
};
MessageRecord Record = {};

// STANDIN_MSI_MESSAGES: a file of messages every install call sends its
// handler first, a line each: "TYPE N1 N2 N3 TEXT" (TYPE in hex, the numbers
// fields 1 to 3, the text up to the line's end). Each answer is journaled; a
// Cancel ends the install with 1602, as the service does after its rollback.
bool SendMessages()
{
    WCHAR path[MAX_PATH];
    if (Handler == nullptr || !ReadVariable(STANDIN_MESSAGES_VARIABLE, path, MAX_PATH)) return true;
    char* messages = ReadWholeFile(path);
    if (messages == nullptr) return true;
    bool cancelled = false;
    for (char* line = messages; *line != '\0' && !cancelled;) {
        char* end = strchr(line, '\n');
        if (end != nullptr) *end = '\0';
        char* rest = line;
        const UINT type = static_cast<UINT>(strtoul(rest, &rest, 16));
        for (int k = 1; k <= 3; ++k) Record.numbers[k] = static_cast<INT>(strtol(rest, &rest, 10));
        while (*rest == ' ') ++rest;
        MultiByteToWideChar(CP_UTF8, 0, rest, -1, Record.text, 1024);
        if (type == 0) {
            Sleep(static_cast<DWORD>(Record.numbers[1]));   // "0 MS 0 0": a pause between two messages
        } else if (HandlerFilter & (1u << (type >> 24))) {
            const INT answer = Handler(HandlerContext, type, RECORD_HANDLE);
            static Line line;
            line.length = 0;
            AppendOperation(&line, "message");
            AppendNumber(&line, type);
            AppendNumber(&line, static_cast<unsigned long long>(answer));
            WriteJournal(&line);
            cancelled = answer == IDCANCEL;
        }
        if (end == nullptr) break;
        line = end + 1;
    }
    HeapFree(GetProcessHeap(), 0, messages);
    return !cancelled;
}

UINT CopyRecordText(LPWSTR text, DWORD* chars)
{
    const DWORD length = static_cast<DWORD>(wcslen(Record.text));
    if (text == nullptr || *chars <= length) {
        if (text != nullptr && *chars > 0) text[0] = L'\0';
        *chars = length;
        return ERROR_MORE_DATA;
    }
    wcscpy(text, Record.text);
    *chars = length;
    return 0;
}

} // namespace

BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID)
{
    if (reason == DLL_PROCESS_ATTACH) RecordLoad();
    return TRUE;
}

extern "C" {

// Ordinal 141.
INT WINAPI MsiSetInternalUI(INT level, HWND* window)
{
    INT result = static_cast<INT>(ScriptedResult("ui", DEFAULT_UI_LEVEL));
    static Line line;
    line.length = 0;
    AppendOperation(&line, "ui");
    AppendNumber(&line, static_cast<unsigned>(level));
    AppendSeparator(&line);
    if (window == nullptr) {
        AppendRaw(&line, STANDIN_NULL_FIELD, sizeof(STANDIN_NULL_FIELD) - 1);
    } else {
        char handle[32];
        int count = snprintf(handle, sizeof(handle), "0x%llx",
                             static_cast<unsigned long long>(reinterpret_cast<ULONG_PTR>(*window)));
        AppendRaw(&line, handle, static_cast<size_t>(count));
    }
    AppendSigned(&line, result);
    WriteJournal(&line);
    return result;
}

// Ordinal 169.
UINT WINAPI MsiEnableLogW(DWORD mode, LPCWSTR path, DWORD attributes)
{
    UINT result = ScriptedResult("log", 0);
    static Line line;
    line.length = 0;
    AppendOperation(&line, "log");
    AppendNumber(&line, mode);
    AppendText(&line, path);
    AppendNumber(&line, attributes);
    AppendNumber(&line, result);
    WriteJournal(&line);
    return result;
}

// Ordinal 45. Knows no products and journals nothing: the program only
// compares the lists before and after an install, which then never differ.
UINT WINAPI MsiEnumProductsW(DWORD index, LPWSTR product)
{
    (void)index;
    (void)product;
    return ERROR_NO_MORE_ITEMS;
}

// Ordinals 70 and 248 (`context` not null: the query in that context).
static UINT AnswerProductQuery(const char* operation, LPCWSTR product, LPCWSTR userSid, const DWORD* context,
                               LPCWSTR property, LPWSTR value, DWORD* size)
{
    Scripted answer = NextScriptedAnswer(operation);
    UINT result = answer.found ? answer.result : UNKNOWN_PRODUCT_RESULT;
    DWORD sizeOnEntry = size != nullptr ? *size : 0;
    WCHAR text[256];
    bool handedBack = false;
    if (result == 0) {
        int count = MultiByteToWideChar(CP_UTF8, 0, answer.value, -1, text, 256);
        DWORD length = count > 0 ? static_cast<DWORD>(count - 1) : 0;
        text[length] = L'\0';
        if (size == nullptr) {
            result = ERROR_INVALID_PARAMETER;
        } else if (value == nullptr || length >= *size) {
            *size = length;
            result = value == nullptr ? 0 : ERROR_MORE_DATA_RESULT;
        } else {
            memcpy(value, text, (length + 1) * sizeof(WCHAR));
            *size = length;
            handedBack = true;
        }
    }
    static Line line;
    line.length = 0;
    AppendOperation(&line, operation);
    AppendText(&line, product);
    if (context != nullptr) {
        AppendText(&line, userSid);
        AppendNumber(&line, *context);
    }
    AppendText(&line, property);
    if (size == nullptr) {
        AppendSeparator(&line);
        AppendRaw(&line, STANDIN_NULL_FIELD, sizeof(STANDIN_NULL_FIELD) - 1);
    } else {
        AppendNumber(&line, sizeOnEntry);
    }
    AppendNumber(&line, result);
    AppendText(&line, handedBack ? text : nullptr);
    WriteJournal(&line);
    return result;
}

// Ordinal 70.
UINT WINAPI MsiGetProductInfoW(LPCWSTR product, LPCWSTR property, LPWSTR value, DWORD* size)
{
    return AnswerProductQuery("query", product, nullptr, nullptr, property, value, size);
}

// Ordinal 248.
UINT WINAPI MsiGetProductInfoExW(LPCWSTR product, LPCWSTR userSid, DWORD context, LPCWSTR property, LPWSTR value,
                                 DWORD* size)
{
    return AnswerProductQuery("queryex", product, userSid, &context, property, value, size);
}

// Ordinal 113: unknown (-1) unless scripted.
INT WINAPI MsiQueryProductStateW(LPCWSTR product)
{
    INT result = static_cast<INT>(ScriptedResult("state", static_cast<UINT>(UNKNOWN_PRODUCT_STATE)));
    static Line line;
    line.length = 0;
    AppendOperation(&line, "state");
    AppendText(&line, product);
    AppendSigned(&line, result);
    WriteJournal(&line);
    return result;
}

// Ordinal 205: no more products unless scripted; a script line with result 0
// hands back its value as the product code.
UINT WINAPI MsiEnumRelatedProductsW(LPCWSTR upgradeCode, DWORD reserved, DWORD index, LPWSTR product)
{
    (void)reserved;
    Scripted answer = NextScriptedAnswer("related");
    UINT result = answer.found ? answer.result : ERROR_NO_MORE_ITEMS;
    WCHAR code[PRODUCT_CODE_CHARS] = L"";
    if (result == 0) {
        MultiByteToWideChar(CP_UTF8, 0, answer.value, -1, code, PRODUCT_CODE_CHARS);
        code[PRODUCT_CODE_CHARS - 1] = L'\0';
        if (product != nullptr) memcpy(product, code, sizeof(code));
    }
    static Line line;
    line.length = 0;
    AppendOperation(&line, "related");
    AppendText(&line, upgradeCode);
    AppendNumber(&line, index);
    AppendNumber(&line, result);
    AppendText(&line, result == 0 ? code : nullptr);
    WriteJournal(&line);
    return result;
}

// Ordinal 88.
UINT WINAPI MsiInstallProductW(LPCWSTR package, LPCWSTR commandLine)
{
    TryToChangeInputs(package, commandLine);
    const bool goOn = SendMessages();
    WaitLikeAnInstall();
    UINT result = goOn ? ScriptedResult("install", 0) : 1602;
    static Line line;
    line.length = 0;
    AppendOperation(&line, "install");
    AppendText(&line, package);
    AppendText(&line, commandLine);
    AppendNumber(&line, result);
    WriteJournal(&line);
    return result;
}

// Ordinal 175.
UINT WINAPI MsiApplyPatchW(LPCWSTR patch, LPCWSTR installPackage, INT installType,
                                                 LPCWSTR commandLine)
{
    UINT result = ScriptedResult("patch", 0);
    static Line line;
    line.length = 0;
    AppendOperation(&line, "patch");
    AppendText(&line, patch);
    AppendText(&line, installPackage);
    AppendSigned(&line, installType);
    AppendText(&line, commandLine);
    AppendNumber(&line, result);
    WriteJournal(&line);
    return result;
}

// Ordinal 190.
UINT WINAPI MsiConfigureProductExW(LPCWSTR product, INT installLevel, INT installState,
                                                         LPCWSTR commandLine)
{
    UINT result = ScriptedResult("remove", 0);
    static Line line;
    line.length = 0;
    AppendOperation(&line, "remove");
    AppendText(&line, product);
    AppendSigned(&line, installLevel);
    AppendSigned(&line, installState);
    AppendText(&line, commandLine);
    AppendNumber(&line, result);
    WriteJournal(&line);
    return result;
}

// Ordinal 281.
UINT WINAPI MsiSetExternalUIRecord(MessageHandler handler, DWORD filter, void* context, MessageHandler* previous)
{
    if (previous != nullptr) *previous = Handler;
    Handler = handler;
    HandlerFilter = filter;
    HandlerContext = context;
    return 0;
}

// Ordinal 116.
INT WINAPI MsiRecordGetInteger(unsigned long record, UINT field)
{
    return record == RECORD_HANDLE && field >= 1 && field <= 3 ? Record.numbers[field] : static_cast<INT>(0x80000000);
}

// Ordinal 118.
UINT WINAPI MsiRecordGetStringW(unsigned long record, UINT, LPWSTR text, DWORD* chars)
{
    return record == RECORD_HANDLE ? CopyRecordText(text, chars) : ERROR_INVALID_HANDLE;
}

// Ordinal 171.
UINT WINAPI MsiFormatRecordW(unsigned long, unsigned long record, LPWSTR text, DWORD* chars)
{
    return record == RECORD_HANDLE ? CopyRecordText(text, chars) : ERROR_INVALID_HANDLE;
}

} // extern "C"
