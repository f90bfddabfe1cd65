#include "result.h"

HRESULT ResultFromWin32(LONG error)
{
    if (error <= 0) {
        return static_cast<HRESULT>(error);
    }
    return static_cast<HRESULT>((static_cast<ULONG>(error) & 0x0000FFFF) | 0x80070000);
}

HRESULT ResultFromLastError()
{
    const HRESULT hr = ResultFromWin32(static_cast<LONG>(::GetLastError()));
    return FAILED(hr) ? hr : E_FAIL;
}
