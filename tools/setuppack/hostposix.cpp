// The packer's host on Linux and macOS: POSIX files and libmsi (msitools)
// for the installer databases. Paths are the host's, in UTF-8 outside and
// UTF-16 inside the packer.
#include "host.h"
#include "result.h"
#include "strutil.h"

#include <errno.h>
#include <fcntl.h>
#include <libmsi.h>
#include <limits.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>
#if defined(__APPLE__)
#include <mach-o/dyld.h>
#endif

const WCHAR HOST_PATH_SEPARATOR = L'/';
const LPCWSTR HOST_DEFAULT_STUB_PLACES[2] = {L"setup.exe", L"../i686/bin/setup.exe"};
const LPCWSTR HOST_DEFAULT_STUB_TEXT = L"beside the packer or in ../i686/bin";

namespace {

constexpr DWORD COPY_PIECE_BYTES = 1024 * 1024;

// A path in UTF-8 for the system calls; false when it does not fit.
BOOL Utf8Path(LPCWSTR path, char (&bytes)[PATH_MAX])
{
    return WideCharToMultiByte(CP_UTF8, 0, path, -1, bytes, PATH_MAX, nullptr, nullptr) > 0;
}

BOOL Utf16Text(const char* text, LPWSTR out, DWORD chars)
{
    return MultiByteToWideChar(CP_UTF8, 0, text, -1, out, static_cast<int>(chars)) > 0;
}

HRESULT ResultFromErrno(int error)
{
    return ResultFromWin32(static_cast<LONG>(Win32ErrorFromErrno(error)));
}

// The installer's numbers for what libmsi says went wrong.
UINT InstallerError(GError* error)
{
    UINT code = error ? ERROR_INSTALL_PACKAGE_INVALID : ERROR_SUCCESS;
    if (error) g_error_free(error);
    return code;
}

HRESULT OpenPath(LPCWSTR path, int flags, HostFile* file)
{
    char bytes[PATH_MAX];
    *file = HostFile{};
    if (!Utf8Path(path, bytes)) return RESULT_INSUFFICIENT_BUFFER;
    const int fd = open(bytes, flags | O_CLOEXEC);
    if (fd < 0) return ResultFromErrno(errno);
    struct stat status = {};
    if (0 != fstat(fd, &status) || S_ISDIR(status.st_mode)) {
        close(fd);
        return ResultFromWin32(ERROR_ACCESS_DENIED);
    }
    file->value = fd;
    file->open = TRUE;
    return S_OK;
}

} // namespace

void HostWriteLine(HostStream stream, LPCWSTR text)
{
    char bytes[8192];
    const int count = WideCharToMultiByte(CP_UTF8, 0, text, -1, bytes, sizeof(bytes) - 1, nullptr, nullptr);
    if (count > 0) {
        bytes[count - 1] = '\n';
        FILE* out = HostStream::Error == stream ? stderr : stdout;
        fwrite(bytes, 1, static_cast<size_t>(count), out);
        fflush(out);
    }
}

HRESULT HostOpenRead(LPCWSTR path, HostFile* file, ULONGLONG* size)
{
    HRESULT hr = OpenPath(path, O_RDONLY, file);
    if (SUCCEEDED(hr)) {
        hr = HostFileSize(file, size);
        if (FAILED(hr)) HostClose(file);
    }
    return hr;
}

HRESULT HostOpenReadWrite(LPCWSTR path, HostFile* file)
{
    return OpenPath(path, O_RDWR, file);
}

HRESULT HostOpenIdentity(LPCWSTR path, HostFile* file)
{
    return FAILED(OpenPath(path, O_RDONLY, file)) ? S_FALSE : S_OK;
}

void HostClose(HostFile* file)
{
    if (file->open) close(static_cast<int>(file->value));
    *file = HostFile{};
}

HRESULT HostReadAt(const HostFile* file, ULONGLONG offset, void* data, DWORD size, HRESULT shortRead)
{
    DWORD done = 0;
    while (done < size) {
        const ssize_t got = pread(static_cast<int>(file->value), static_cast<BYTE*>(data) + done, size - done,
                                  static_cast<off_t>(offset + done));
        if (got < 0 && EINTR == errno) continue;
        if (got < 0) return ResultFromErrno(errno);
        if (0 == got) return shortRead;
        done += static_cast<DWORD>(got);
    }
    return S_OK;
}

HRESULT HostWriteAt(const HostFile* file, ULONGLONG offset, const void* data, DWORD size)
{
    DWORD done = 0;
    while (done < size) {
        const ssize_t put = pwrite(static_cast<int>(file->value), static_cast<const BYTE*>(data) + done, size - done,
                                   static_cast<off_t>(offset + done));
        if (put < 0 && EINTR == errno) continue;
        if (put <= 0) return put < 0 ? ResultFromErrno(errno) : RESULT_DISK_FULL;
        done += static_cast<DWORD>(put);
    }
    return S_OK;
}

HRESULT HostFileSize(const HostFile* file, ULONGLONG* size)
{
    struct stat status = {};
    if (0 != fstat(static_cast<int>(file->value), &status)) return ResultFromErrno(errno);
    *size = static_cast<ULONGLONG>(status.st_size);
    return S_OK;
}

HRESULT HostSetFileSize(const HostFile* file, ULONGLONG size)
{
    return 0 == ftruncate(static_cast<int>(file->value), static_cast<off_t>(size)) ? S_OK : ResultFromErrno(errno);
}

BOOL HostIsSameFile(const HostFile* a, const HostFile* b)
{
    struct stat x = {};
    struct stat y = {};
    return a->open && b->open && 0 == fstat(static_cast<int>(a->value), &x) &&
           0 == fstat(static_cast<int>(b->value), &y) && x.st_dev == y.st_dev && x.st_ino == y.st_ino;
}

// Absolute, with "." and ".." taken out by name (as Windows does), links left as they are.
HRESULT HostFullPath(LPCWSTR path, WCHAR (&full)[MAX_PATH], LPWSTR* namePart)
{
    HRESULT hr = S_OK;
    char cwd[PATH_MAX];
    WCHAR joined[MAX_PATH] = {};
    size_t length = 0;
    size_t part = 0;
    LPCWSTR end = nullptr;

    if (L'/' != path[0]) {
        if (!getcwd(cwd, sizeof(cwd)) || !Utf16Text(cwd, joined, MAX_PATH)) EXIT_WITH(RESULT_INSUFFICIENT_BUFFER);
        EXIT_IF_FAILED(BoundedAppend(joined, MAX_PATH, L"/"));
    }
    EXIT_IF_FAILED(BoundedAppend(joined, MAX_PATH, path));
    // Each part in turn onto `full`.
    full[0] = L'\0';
    for (LPCWSTR p = joined; *p;) {
        while (L'/' == *p) ++p;
        end = p;
        while (*end && L'/' != *end) ++end;
        part = static_cast<size_t>(end - p);
        if (0 == part) break;
        if (1 == part && L'.' == p[0]) {
        } else if (2 == part && L'.' == p[0] && L'.' == p[1]) {
            while (length > 0 && L'/' != full[length - 1]) --length;
            if (length > 0) --length;
        } else {
            if (length + 1 + part + 1 > MAX_PATH) EXIT_WITH(RESULT_INSUFFICIENT_BUFFER);
            full[length++] = L'/';
            memcpy(full + length, p, part * sizeof(WCHAR));
            length += part;
        }
        p = end;
    }
    if (0 == length) full[length++] = L'/';
    if (L'/' == joined[lstrlenW(joined) - 1] && L'/' != full[length - 1]) full[length++] = L'/';
    full[length] = L'\0';
    if (namePart) {
        *namePart = L'/' == full[length - 1] ? nullptr : const_cast<LPWSTR>(HostNamePart(full));
    }

Exit:
    return hr;
}

HostPathKind HostKindOf(LPCWSTR path)
{
    char bytes[PATH_MAX];
    struct stat status = {};
    if (!Utf8Path(path, bytes) || 0 != stat(bytes, &status)) return HostPathKind::Missing;
    return S_ISDIR(status.st_mode) ? HostPathKind::Folder : HostPathKind::File;
}

LPCWSTR HostNamePart(LPCWSTR path)
{
    LPCWSTR name = path;
    for (LPCWSTR p = path; *p; ++p) {
        if (L'/' == *p) name = p + 1;
    }
    return name;
}

HRESULT HostProgramFolder(WCHAR (&folder)[MAX_PATH])
{
    char bytes[PATH_MAX] = {};
#if defined(__APPLE__)
    uint32_t size = sizeof(bytes);
    char link[PATH_MAX] = {};
    if (0 != _NSGetExecutablePath(link, &size) || !realpath(link, bytes)) return ResultFromErrno(errno);
#else
    const ssize_t length = readlink("/proc/self/exe", bytes, sizeof(bytes) - 1);
    if (length <= 0) return ResultFromErrno(errno);
    bytes[length] = '\0';
#endif
    if (!Utf16Text(bytes, folder, MAX_PATH)) return RESULT_INSUFFICIENT_BUFFER;
    folder[HostNamePart(folder) - folder] = L'\0';
    return S_OK;
}

HRESULT HostCreateScratchCopy(LPCWSTR folder, LPCWSTR source, WCHAR (&scratch)[MAX_PATH], int* failedStep)
{
    HRESULT hr = S_OK;
    char name[PATH_MAX];
    WCHAR pattern[MAX_PATH] = {};
    HostFile from = {};
    HostFile to = {};
    ULONGLONG size = 0;
    BYTE* piece = nullptr;

    *failedStep = 0;
    scratch[0] = L'\0';
    EXIT_IF_FAILED(BoundedFormat(pattern, MAX_PATH, L"%lsspkXXXXXX.tmp", folder));
    if (!Utf8Path(pattern, name)) EXIT_WITH(RESULT_INSUFFICIENT_BUFFER);
    to.value = mkstemps(name, 4);
    if (to.value < 0) EXIT_WITH(ResultFromErrno(errno));
    to.open = TRUE;
    {
        const mode_t mask = umask(0);   // as a file made by open(): mkstemps makes it 0600
        umask(mask);
        fchmod(static_cast<int>(to.value), 0666 & ~mask);
    }
    Utf16Text(name, scratch, MAX_PATH);
    *failedStep = 1;
    piece = static_cast<BYTE*>(malloc(COPY_PIECE_BYTES));
    EXIT_IF_NULL_ALLOC(piece);
    EXIT_IF_FAILED(HostOpenRead(source, &from, &size));
    for (ULONGLONG done = 0; done < size; done += COPY_PIECE_BYTES) {
        const DWORD bytes = size - done < COPY_PIECE_BYTES ? static_cast<DWORD>(size - done) : COPY_PIECE_BYTES;
        EXIT_IF_FAILED(HostReadAt(&from, done, piece, bytes, RESULT_INVALID_DATA));
        EXIT_IF_FAILED(HostWriteAt(&to, done, piece, bytes));
    }

Exit:
    free(piece);
    HostClose(&from);
    HostClose(&to);
    if (FAILED(hr) && scratch[0]) {
        HostDeleteFile(scratch);
        scratch[0] = L'\0';
    }
    return hr;
}

HRESULT HostReplaceFile(LPCWSTR source, LPCWSTR target)
{
    char from[PATH_MAX];
    char to[PATH_MAX];
    if (!Utf8Path(source, from) || !Utf8Path(target, to)) return RESULT_INSUFFICIENT_BUFFER;
    return 0 == rename(from, to) ? S_OK : ResultFromErrno(errno);
}

void HostDeleteFile(LPCWSTR path)
{
    char bytes[PATH_MAX];
    if (Utf8Path(path, bytes)) unlink(bytes);
}

struct HostDatabase {
    LibmsiDatabase* database;
};

struct HostMediaRows {
    LibmsiQuery* query;
};

UINT HostOpenDatabase(LPCWSTR path, HostDatabase** database)
{
    char bytes[PATH_MAX];
    GError* error = nullptr;
    *database = nullptr;
    if (!Utf8Path(path, bytes)) return ERROR_FILENAME_EXCED_RANGE;
    LibmsiDatabase* opened = libmsi_database_new(bytes, LIBMSI_DB_FLAGS_READONLY, nullptr, &error);
    if (!opened) return error ? InstallerError(error) : ERROR_OPEN_FAILED;
    *database = new HostDatabase{opened};
    return ERROR_SUCCESS;
}

void HostCloseDatabase(HostDatabase* database)
{
    if (database) {
        g_object_unref(database->database);
        delete database;
    }
}

HRESULT HostReadProperty(HostDatabase* database, LPCWSTR name, LPWSTR value, DWORD chars)
{
    HRESULT hr = S_OK;
    char bytes[1024];
    GError* error = nullptr;
    LibmsiQuery* query = nullptr;
    LibmsiRecord* parameters = nullptr;
    LibmsiRecord* row = nullptr;
    gchar* text = nullptr;

    if (WideCharToMultiByte(CP_UTF8, 0, name, -1, bytes, sizeof(bytes), nullptr, nullptr) <= 0) EXIT_WITH(E_INVALIDARG);
    query = libmsi_query_new(database->database, "SELECT `Value` FROM `Property` WHERE `Property` = ?", &error);
    if (!query) {
        g_clear_error(&error);
        hr = S_FALSE;   // no Property table
        goto Exit;
    }
    parameters = libmsi_record_new(1);
    libmsi_record_set_string(parameters, 1, bytes);
    if (!libmsi_query_execute(query, parameters, &error)) EXIT_WIN32_IF_ERROR(InstallerError(error));
    row = libmsi_query_fetch(query, &error);
    if (!row) {
        g_clear_error(&error);
        hr = S_FALSE;
        goto Exit;
    }
    text = libmsi_record_get_string(row, 1);
    if (!text || !Utf16Text(text, value, chars)) EXIT_WITH(RESULT_INSUFFICIENT_BUFFER);

Exit:
    g_free(text);
    if (row) g_object_unref(row);
    if (parameters) g_object_unref(parameters);
    if (query) g_object_unref(query);
    return hr;
}

UINT HostReadTemplate(HostDatabase* database, LPWSTR value, DWORD chars)
{
    GError* error = nullptr;
    LibmsiSummaryInfo* summary = libmsi_summary_info_new(database->database, 0, &error);
    UINT result = ERROR_SUCCESS;

    value[0] = L'\0';
    if (!summary) return InstallerError(error);
    if (LIBMSI_PROPERTY_TYPE_STRING == libmsi_summary_info_get_property_type(summary, LIBMSI_PROPERTY_TEMPLATE, &error)) {
        const gchar* text = libmsi_summary_info_get_string(summary, LIBMSI_PROPERTY_TEMPLATE, &error);
        if (text && !Utf16Text(text, value, chars)) result = ERROR_INSTALL_PACKAGE_INVALID;
    }
    g_clear_error(&error);
    g_object_unref(summary);
    return result;
}

HRESULT HostOpenMediaRows(HostDatabase* database, HostMediaRows** rows)
{
    HRESULT hr = S_OK;
    GError* error = nullptr;

    *rows = new HostMediaRows{};
    if (!libmsi_database_is_table_persistent(database->database, "Media", &error)) {
        g_clear_error(&error);
        hr = S_FALSE;
        goto Exit;
    }
    (*rows)->query = libmsi_query_new(database->database, "SELECT `Cabinet` FROM `Media` ORDER BY `DiskId`", &error);
    if (!(*rows)->query || !libmsi_query_execute((*rows)->query, nullptr, &error)) {
        EXIT_WIN32_IF_ERROR(InstallerError(error));
    }

Exit:
    return hr;
}

HRESULT HostNextCabinet(HostMediaRows* rows, LPWSTR name, DWORD chars)
{
    HRESULT hr = S_OK;
    GError* error = nullptr;
    LibmsiRecord* row = nullptr;
    gchar* text = nullptr;

    if (!rows->query) {
        hr = S_FALSE;
        goto Exit;
    }
    row = libmsi_query_fetch(rows->query, &error);
    if (!row) {
        g_clear_error(&error);   // no more rows
        hr = S_FALSE;
        goto Exit;
    }
    text = libmsi_record_is_null(row, 1) ? nullptr : libmsi_record_get_string(row, 1);
    name[0] = L'\0';
    if (text && !Utf16Text(text, name, chars)) EXIT_WITH(RESULT_INSUFFICIENT_BUFFER);

Exit:
    g_free(text);
    if (row) g_object_unref(row);
    return hr;
}

void HostCloseMediaRows(HostMediaRows* rows)
{
    if (rows) {
        if (rows->query) g_object_unref(rows->query);
        delete rows;
    }
}

// libmsi's own warnings (a table a package lacks) are no lines of the packer's.
void DropLibraryMessage(const gchar*, GLogLevelFlags, const gchar*, gpointer)
{
}

// The arguments in UTF-8, as the shell gives them, to UTF-16.
int main(int argc, char** argv)
{
    g_log_set_default_handler(DropLibraryMessage, nullptr);
    LPWSTR* arguments = static_cast<LPWSTR*>(calloc(static_cast<size_t>(argc) + 1, sizeof(LPWSTR)));
    for (int k = 0; arguments && k < argc; ++k) {
        const int chars = MultiByteToWideChar(CP_UTF8, 0, argv[k], -1, nullptr, 0);
        arguments[k] = static_cast<LPWSTR>(calloc(static_cast<size_t>(chars) + 1, sizeof(WCHAR)));
        if (!arguments[k]) return 1;
        MultiByteToWideChar(CP_UTF8, 0, argv[k], -1, arguments[k], chars + 1);
    }
    return arguments ? PackerMain(argc, arguments) : 1;
}
