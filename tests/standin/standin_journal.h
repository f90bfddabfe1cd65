// The stand-in installer (msi_standin.dll, placed as msi.dll in the system
// folder of the prefix that tests/standin/standin.cmake keeps) and the tests
// that drive it share this header: the environment variables, the journal and
// script formats, and a reader for both sides of the test.
//
// Environment (read by the stand-in at every call, so a test process may change
// them between calls; they belong to the stand-in, the product never reads them):
//   STANDIN_MSI_JOURNAL  file the stand-in appends one line per call to (no
//                        journal when unset)
//   STANDIN_MSI_SCRIPT   file with the results the stand-in returns (defaults
//                        below when unset or when it has no line for a call)
//   STANDIN_MSI_LOADS    file the stand-in appends one line to whenever a process
//                        loads it, before any call: the path of that process's
//                        executable, UTF-8 (no file when unset)
//   STANDIN_MSI_TAMPER   when set, every install call first tries to open its
//                        package (and an "@" transform beside it) for writing,
//                        to rename it and to delete it, and journals a tamper
//                        line for each file before the install line
//   STANDIN_MSI_DELAY    milliseconds every install call takes before it answers
//   STANDIN_MSI_MESSAGES file of messages every install call first sends the
//                        program's handler (MsiSetExternalUIRecord, when set):
//                        a line each, "TYPE N1 N2 N3 TEXT", TYPE in hex (0:
//                        a pause of N1 milliseconds); each
//                        answer is a journal line "message TYPE ANSWER", and
//                        an answer of Cancel (2) makes the install answer 1602
//
// Journal: UTF-8, one line per call, fields separated by a tab, '\n' at the end.
// The first field names the operation, the last one is the value it returned:
//
//   ui       level  window                                        result
//   log      mode  path  attributes                               result
//   query    product  property  size                              result  value
//   queryex  product  userSid  context  property  size            result  value
//   install  package  commandLine                                 result
//   patch    patch  installPackage  installType  commandLine      result
//   remove   product  installLevel  installState  commandLine     result
//   state    product                                              result
//   related  upgradeCode  index                                   result  product
//   tamper   path  writeError  renameError  deleteError  (0: it worked)
//
// ui is ordinal 141 (MsiSetInternalUI): `window` is the text %null when the
// window pointer was null, else the window handle it pointed to in hex (0x...).
// log is 169 (MsiEnableLogW), query 70 (MsiGetProductInfoW: `size` is the buffer
// size in characters on entry, `value` the text handed back, %null when none),
// queryex 248 (MsiGetProductInfoExW, the same in one context: 4 the machine's),
// install 88 (MsiInstallProductW), patch 175 (MsiApplyPatchW), remove 190
// (MsiConfigureProductExW), state 113 (MsiQueryProductStateW: the result is the
// installation state, 5 installed, -1 unknown), related 205
// (MsiEnumRelatedProductsW: `product` is the code handed back, %null when none). Numbers are decimal. Texts are written as UTF-8
// with '%', tab, CR, LF and every other character below 0x20 as %XX (two upper
// case hex digits); a null text pointer is the field %null, which no text can
// produce since a text's own '%' is written %25.
//
// Script: UTF-8, one line per scripted call; empty lines and lines starting with
// '#' are skipped. A line is
//
//   <operation> <result> [<value>]
//
// with the operation's journal name. The k-th call of an operation returns the
// result of the k-th script line of that operation, k counted from the lines of
// that operation already in the journal (so scripting needs a journal, and a new
// journal starts the script over). For query, the value is the version text to
// hand back with result 0 (queryex alike: "5" for the "State" property of an
// installed product): when it does not fit into the caller's buffer the
// stand-in answers 234 with the needed size, as the service does. For related,
// the value is the product code handed back with result 0. Without a script
// line: query and queryex answer 1605 (product unknown), state -1 (unknown), related 259
// (no more items), ui answers 5, the others 0.
//
// Example: "query 0 4.1.0.0", "install 3010", "query 1608", "patch 1642",
// "state 5", "related 0 {6A33A003-5E7D-4F00-9A11-000000000003}".
#pragma once

#include <windows.h>

#define STANDIN_JOURNAL_VARIABLE L"STANDIN_MSI_JOURNAL"
#define STANDIN_SCRIPT_VARIABLE L"STANDIN_MSI_SCRIPT"
#define STANDIN_LOADS_VARIABLE L"STANDIN_MSI_LOADS"
#define STANDIN_TAMPER_VARIABLE L"STANDIN_MSI_TAMPER"
#define STANDIN_DELAY_VARIABLE L"STANDIN_MSI_DELAY"
#define STANDIN_MESSAGES_VARIABLE L"STANDIN_MSI_MESSAGES"
#define STANDIN_NULL_FIELD "%null"

// What the tests use to read a journal: everything below is test-side only.
#ifndef STANDIN_DLL_BUILD
#include <string>
#include <vector>

struct StandinCall {
    std::string operation;
    std::vector<std::wstring> fields;   // after the operation, the result last

    // The field at `index`, or L"<missing>" so that a comparison fails readably.
    std::wstring Field(size_t index) const
    {
        return index < fields.size() ? fields[index] : std::wstring(L"<missing>");
    }
    std::wstring Result() const { return fields.empty() ? L"<missing>" : fields.back(); }
};

inline std::wstring StandinDecodeField(const std::string& field)
{
    if (field == STANDIN_NULL_FIELD) return L"%null";
    std::string bytes;
    for (size_t i = 0; i < field.size(); ++i) {
        if (field[i] == '%' && i + 2 < field.size()) {
            bytes += static_cast<char>(std::stoi(field.substr(i + 1, 2), nullptr, 16));
            i += 2;
        } else {
            bytes += field[i];
        }
    }
    if (bytes.empty()) return std::wstring();
    int count = MultiByteToWideChar(CP_UTF8, 0, bytes.data(), static_cast<int>(bytes.size()), nullptr, 0);
    std::wstring text(count, L'\0');
    MultiByteToWideChar(CP_UTF8, 0, bytes.data(), static_cast<int>(bytes.size()), &text[0], count);
    return text;
}

// Every call the journal at `path` records, in order; empty when there is none.
inline std::vector<StandinCall> StandinReadJournal(const std::wstring& path)
{
    std::vector<StandinCall> calls;
    HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return calls;
    std::string content;
    char chunk[4096];
    DWORD read = 0;
    while (ReadFile(file, chunk, sizeof(chunk), &read, nullptr) && read != 0) content.append(chunk, read);
    CloseHandle(file);

    size_t lineStart = 0;
    while (lineStart < content.size()) {
        size_t lineEnd = content.find('\n', lineStart);
        if (lineEnd == std::string::npos) lineEnd = content.size();
        std::string line = content.substr(lineStart, lineEnd - lineStart);
        lineStart = lineEnd + 1;
        if (line.empty()) continue;
        StandinCall call;
        size_t fieldStart = 0;
        bool first = true;
        for (;;) {
            size_t tab = line.find('\t', fieldStart);
            std::string field = line.substr(fieldStart, tab == std::string::npos ? std::string::npos : tab - fieldStart);
            if (first) call.operation = field;
            else call.fields.push_back(StandinDecodeField(field));
            first = false;
            if (tab == std::string::npos) break;
            fieldStart = tab + 1;
        }
        calls.push_back(call);
    }
    return calls;
}
#endif
