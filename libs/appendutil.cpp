#include "appendutil.h"
#include "result.h"

namespace {

// The other writer may hold the file for writing while it is reopened.
constexpr DWORD APPEND_SHARE_MODE = FILE_SHARE_READ | FILE_SHARE_WRITE;

} // namespace

// A handle with append access only writes at the end, wherever the file's end
// is by then; it is closed again at once so that it never stands in the other
// writer's way.
HRESULT AppendutilWrite(HANDLE held, const void* bytes, DWORD size)
{
    HRESULT hr = S_OK;
    DWORD written = 0;
    HANDLE appender = ::ReOpenFile(held, FILE_APPEND_DATA | SYNCHRONIZE, APPEND_SHARE_MODE, 0);

    EXIT_LAST_ERROR_IF(INVALID_HANDLE_VALUE == appender);
    EXIT_LAST_ERROR_IF(!::WriteFile(appender, bytes, size, &written, nullptr));

Exit:
    if (INVALID_HANDLE_VALUE != appender) {
        ::CloseHandle(appender);
    }
    return hr;
}
