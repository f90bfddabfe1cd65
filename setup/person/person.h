// Speaking to the person at the machine: what the run tells them, what it asks
// them, and how far it has come. The run never knows who answers: the program's
// own boxes, the bundle's window, or nobody at all when the run is unattended
// (/quiet, /passive), where nothing is shown and a question has no answer.
#pragma once

#include <windows.h>

// Who answers from here on: nobody when `uiLevel` is unattended, else the boxes.
// Outside a run the boxes answer.
void PersonBeginRun(DWORD uiLevel);
void PersonEndRun();

enum class TellKind : UINT {
    Error = MB_ICONERROR,
    Warning = MB_ICONWARNING,
    Information = MB_ICONINFORMATION,
};
// A message that needs nothing back but its reading (an OK question).
void PersonTell(TellKind kind, LPCWSTR text);
// A question with exactly the buttons and icon of `style` (MB_RETRYCANCEL |
// MB_ICONWARNING and the like): the button chosen (IDRETRY, ...), or 0 when
// nobody can answer (an unattended run, or no box could be shown). The log
// records the question and the answer.
int PersonAsk(LPCWSTR text, UINT style);

// How far the whole chain has come, from 0 to PERSON_PROGRESS_END: the entry
// at work (its file name), what it is doing (null when that is not known) and
// the position, which never goes back.
constexpr DWORD PERSON_PROGRESS_END = 10000;
void PersonProgress(LPCWSTR entry, LPCWSTR actionText, DWORD position);
