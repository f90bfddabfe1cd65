// What the packer asks of the machine it runs on: files, its standard
// streams, and installer databases. One header, two implementations:
// hostwin.cpp (Win32 and msi.dll) and hostposix.cpp (POSIX calls and libmsi,
// the msitools library). The rest of the packer is the same code on every
// host. Paths are in the host's form; texts are UTF-16 (WCHAR is a UTF-16
// code unit on every host: the POSIX build makes wchar_t 16 bits wide).
#pragma once

#include <windows.h>

// An open file: a handle on Windows, a descriptor elsewhere.
struct HostFile {
    intptr_t value;
    BOOL open;
};

enum class HostStream { Output, Error };
enum class HostPathKind { Missing, File, Folder };

// The host's path separator, and the places a default stub is looked for
// beside the packer: setup.exe there, and the i686 build's beside this build's.
extern const WCHAR HOST_PATH_SEPARATOR;
extern const LPCWSTR HOST_DEFAULT_STUB_PLACES[2];
extern const LPCWSTR HOST_DEFAULT_STUB_TEXT;   // the places as the message names them

// One line of UTF-8 on the stream.
void HostWriteLine(HostStream stream, LPCWSTR text);

// Opens an existing file to read, shared for reading only where the host
// knows sharing; its size. 0x80070002 or 0x80070003 when it is not there.
HRESULT HostOpenRead(LPCWSTR path, HostFile* file, ULONGLONG* size);
// Opens an existing file to read and change it.
HRESULT HostOpenReadWrite(LPCWSTR path, HostFile* file);
// Opens whatever is at the path only to compare it with other files; S_FALSE
// when nothing is there.
HRESULT HostOpenIdentity(LPCWSTR path, HostFile* file);
void HostClose(HostFile* file);
// `shortRead` when the file holds fewer bytes there.
HRESULT HostReadAt(const HostFile* file, ULONGLONG offset, void* data, DWORD size, HRESULT shortRead);
HRESULT HostWriteAt(const HostFile* file, ULONGLONG offset, const void* data, DWORD size);
HRESULT HostFileSize(const HostFile* file, ULONGLONG* size);
// Cuts or extends (with zeros) the file to `size` bytes.
HRESULT HostSetFileSize(const HostFile* file, ULONGLONG size);
BOOL HostIsSameFile(const HostFile* a, const HostFile* b);

// The full form of a path, and where its name part begins in it (null for
// a path that ends in a separator).
HRESULT HostFullPath(LPCWSTR path, WCHAR (&full)[MAX_PATH], LPWSTR* namePart);
HostPathKind HostKindOf(LPCWSTR path);
// What follows the last separator (on Windows also "/" and ":").
LPCWSTR HostNamePart(LPCWSTR path);
// The folder of the running packer, with a separator at its end.
HRESULT HostProgramFolder(WCHAR (&folder)[MAX_PATH]);
// A new file "spk....tmp" in `folder` (ending in a separator) holding a copy
// of `source`; its path in `scratch`. `failedStep` says which part failed: 0
// making the file, 1 the copy.
HRESULT HostCreateScratchCopy(LPCWSTR folder, LPCWSTR source, WCHAR (&scratch)[MAX_PATH], int* failedStep);
// Replaces `target` by `source` in one move.
HRESULT HostReplaceFile(LPCWSTR source, LPCWSTR target);
void HostDeleteFile(LPCWSTR path);

// An installer database, open to read its tables and summary.
struct HostDatabase;
// Errors are the installer's numbers (ERROR_...).
UINT HostOpenDatabase(LPCWSTR path, HostDatabase** database);
void HostCloseDatabase(HostDatabase* database);
// A value of the Property table: S_FALSE when the database has no such row.
HRESULT HostReadProperty(HostDatabase* database, LPCWSTR name, LPWSTR value, DWORD chars);
// The summary's Template (empty when it has none as a text).
UINT HostReadTemplate(HostDatabase* database, LPWSTR value, DWORD chars);
// The Media table's Cabinet column, in the order of DiskId, one at a time:
// S_FALSE after the last, and at once when the database has no Media table.
struct HostMediaRows;
HRESULT HostOpenMediaRows(HostDatabase* database, HostMediaRows** rows);
HRESULT HostNextCabinet(HostMediaRows* rows, LPWSTR name, DWORD chars);
void HostCloseMediaRows(HostMediaRows* rows);

// The command line as UTF-16 texts; the process's exit code.
int PackerMain(int argc, LPWSTR* argv);
