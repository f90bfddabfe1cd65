#include "person.h"

#include "options.h"
#include "runlog.h"

namespace {

enum class Answerer { Boxes, Nobody };

Answerer Current = Answerer::Boxes;

const WCHAR INSTALL_ERROR_CAPTION[] = L"Install Error";

LPCWSTR AnswerName(int answer)
{
    switch (answer) {
    case IDOK: return L"OK";
    case IDCANCEL: return L"Cancel";
    case IDABORT: return L"Abort";
    case IDRETRY: return L"Retry";
    case IDIGNORE: return L"Ignore";
    case IDYES: return L"Yes";
    case IDNO: return L"No";
    default: return L"no answer";
    }
}

// A line of the log holds the text's first line only: what follows is the
// program's own addition (the log's path) or the installer's detail.
int FirstLineChars(LPCWSTR text)
{
    int chars = 0;
    while (L'\0' != text[chars] && L'\r' != text[chars] && L'\n' != text[chars]) {
        ++chars;
    }
    return chars;
}

} // namespace

void PersonBeginRun(DWORD uiLevel)
{
    Current = IsUnattendedUiLevel(uiLevel) ? Answerer::Nobody : Answerer::Boxes;
}

void PersonEndRun()
{
    Current = Answerer::Boxes;
}

void PersonTell(TellKind kind, LPCWSTR text)
{
    PersonAsk(text, MB_OK | static_cast<UINT>(kind));
}

int PersonAsk(LPCWSTR text, UINT style)
{
    if (Answerer::Nobody == Current) {
        return 0;
    }
    const int answer = ::MessageBoxExW(nullptr, text, INSTALL_ERROR_CAPTION, style, 0);
    RunLogLine(L"asked: %.*ls: %ls", FirstLineChars(text), text, AnswerName(answer));
    return answer;
}

void PersonProgress(LPCWSTR, LPCWSTR, DWORD)
{
}
