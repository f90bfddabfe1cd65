#include "installermessages.h"

#include "installer.h"
#include "person.h"
#include "runlog.h"

namespace {

// The kinds of message (the high byte of the type) the window takes, and the
// bit each has in the handler's filter.
constexpr UINT MESSAGE_ERROR = 0x01000000;
constexpr UINT MESSAGE_WARNING = 0x02000000;
constexpr UINT MESSAGE_USER = 0x03000000;
constexpr UINT MESSAGE_FILES_IN_USE = 0x05000000;
constexpr UINT MESSAGE_ACTION_START = 0x08000000;
constexpr UINT MESSAGE_ACTION_DATA = 0x09000000;
constexpr UINT MESSAGE_PROGRESS = 0x0A000000;
constexpr UINT MESSAGE_RESTART_MANAGER_FILES_IN_USE = 0x19000000;
constexpr UINT MESSAGE_KIND = 0xFF000000;
constexpr UINT MESSAGE_BOX_STYLE = 0x00FFFFFF;
constexpr DWORD FilterBit(UINT kind)
{
    return 1u << (kind >> 24);
}
constexpr DWORD MESSAGE_FILTER = FilterBit(MESSAGE_ERROR) | FilterBit(MESSAGE_WARNING) | FilterBit(MESSAGE_USER) |
                                 FilterBit(MESSAGE_FILES_IN_USE) | FilterBit(MESSAGE_ACTION_START) |
                                 FilterBit(MESSAGE_ACTION_DATA) | FilterBit(MESSAGE_PROGRESS) |
                                 FilterBit(MESSAGE_RESTART_MANAGER_FILES_IN_USE);

// A progress message's first field says what it is.
constexpr INT PROGRESS_RESET = 0;
constexpr INT PROGRESS_REPORT = 2;
constexpr INT PROGRESS_ADD_TOTAL = 3;
constexpr INT PROGRESS_FORWARD = 0;

constexpr DWORD MESSAGE_TEXT_CHARS = 1024;
constexpr DWORD ACTION_TEXT_CHARS = 256;

struct EntryProgress {
    LPCWSTR entry;
    DWORD start;
    DWORD end;
    ULONGLONG total;     // the installer's ticks for the whole call
    ULONGLONG done;
    BOOL forward;        // a rollback runs backwards: the bar waits
    BOOL cancelled;      // the installer has been answered with Cancel
    WCHAR action[ACTION_TEXT_CHARS];
};

EntryProgress Progress = {};

void Report()
{
    const ULONGLONG done = Progress.done < Progress.total ? Progress.done : Progress.total;
    const DWORD within = 0 == Progress.total ? 0 : static_cast<DWORD>((Progress.end - Progress.start) * done / Progress.total);
    PersonProgress(Progress.entry, Progress.action, Progress.start + within);
}

void OnProgress(InstallerRecord record)
{
    const INT ticks = InstallerRecordInteger(record, 2);
    switch (InstallerRecordInteger(record, 1)) {
    case PROGRESS_RESET:
        Progress.total = ticks > 0 ? static_cast<ULONGLONG>(ticks) : 0;
        Progress.done = 0;
        Progress.forward = PROGRESS_FORWARD == InstallerRecordInteger(record, 3);
        break;
    case PROGRESS_REPORT:
        Progress.done += Progress.forward && ticks > 0 ? static_cast<ULONGLONG>(ticks) : 0;
        break;
    case PROGRESS_ADD_TOTAL:
        Progress.total += ticks > 0 ? static_cast<ULONGLONG>(ticks) : 0;
        break;
    default:
        return;
    }
    Report();
}

INT WINAPI OnInstallerMessage(void*, UINT type, InstallerRecord record)
{
    WCHAR text[MESSAGE_TEXT_CHARS];
    if (PersonCancelled()) {
        if (!Progress.cancelled) {
            Progress.cancelled = TRUE;
            RunLogLine("  cancelled by the person: the installer is answered with Cancel");
        }
        return IDCANCEL;
    }
    switch (type & MESSAGE_KIND) {
    case MESSAGE_PROGRESS:
        OnProgress(record);
        return IDOK;
    case MESSAGE_ACTION_START:
        InstallerRecordText(record, 2, Progress.action, ACTION_TEXT_CHARS);
        Report();
        return IDOK;
    case MESSAGE_ACTION_DATA:
        InstallerRecordText(record, 0, Progress.action, ACTION_TEXT_CHARS);
        Report();
        return IDOK;
    case MESSAGE_ERROR:
    case MESSAGE_WARNING:
    case MESSAGE_USER:
    case MESSAGE_FILES_IN_USE:
    case MESSAGE_RESTART_MANAGER_FILES_IN_USE:
        InstallerRecordText(record, 0, text, MESSAGE_TEXT_CHARS);
        return PersonAsk(text, type & MESSAGE_BOX_STYLE);
    default:
        return 0;
    }
}

} // namespace

BOOL InstallerMessagesBegin(LPCWSTR entry, DWORD start, DWORD end)
{
    Progress = {entry, start, end, 0, 0, TRUE, FALSE, {}};
    const BOOL set = InstallerSetMessageHandler(OnInstallerMessage, MESSAGE_FILTER);
    if (!set) {
        RunLogLine("  the installer takes no message handler: the bar moves by entries only");
    }
    return set;
}

void InstallerMessagesEnd()
{
    InstallerSetMessageHandler(nullptr, 0);
}
