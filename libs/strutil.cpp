#include "strutil.h"
#include "memutil.h"
#include "result.h"

#define STRSAFE_NO_DEPRECATE
#include <intsafe.h>
#include <strsafe.h>

namespace {

constexpr DWORD FORMAT_START_CAPACITY = 256;

// strsafe refuses a size above the limit without touching the buffer; the copy
// and format operations here also leave an empty text behind in that case.
HRESULT CheckSizeTerminating(LPWSTR buffer, size_t size)
{
    if (size > BOUNDED_MAX_SIZE) {
        buffer[0] = L'\0';
        return E_INVALIDARG;
    }
    return size == 0 ? E_INVALIDARG : S_OK;
}

HRESULT CheckSizeOnly(size_t size)
{
    return (size == 0 || size > BOUNDED_MAX_SIZE) ? E_INVALIDARG : S_OK;
}

// Capacity in characters of a non-empty WideString, or E_INVALIDARG when the
// heap cannot tell the block's size.
HRESULT CapacityOf(const WideString text, DWORD* capacity)
{
    const DWORD bytes = MemutilSize(text);
    if (bytes == 0xFFFFFFFF) {
        return E_INVALIDARG;
    }
    *capacity = bytes / 2;
    return S_OK;
}

void ZeroBehindTerminator(WideString text, DWORD capacity)
{
    DWORD i = 0;
    while (i < capacity && text[i] != L'\0') {
        ++i;
    }
    for (; i < capacity; ++i) {
        text[i] = L'\0';
    }
}

} // namespace

HRESULT BoundedLength(LPCWSTR text, size_t maxCount, size_t* length)
{
    const HRESULT hr = ::StringCchLengthW(text, maxCount, length);
    if (FAILED(hr)) {
        *length = 0;
    }
    return hr;
}

HRESULT BoundedCopy(LPWSTR buffer, size_t size, LPCWSTR source)
{
    const HRESULT hr = CheckSizeTerminating(buffer, size);
    return FAILED(hr) ? hr : ::StringCchCopyNW(buffer, size, source, BOUNDED_MAX_SIZE - 1);
}

HRESULT BoundedCopyCount(LPWSTR buffer, size_t size, LPCWSTR source, size_t maxCopy)
{
    HRESULT hr = CheckSizeTerminating(buffer, size);
    if (SUCCEEDED(hr) && maxCopy >= BOUNDED_MAX_SIZE) {
        buffer[0] = L'\0';
        hr = E_INVALIDARG;
    }
    return FAILED(hr) ? hr : ::StringCchCopyNW(buffer, size, source, maxCopy);
}

HRESULT BoundedAppend(LPWSTR buffer, size_t size, LPCWSTR source)
{
    const HRESULT hr = CheckSizeOnly(size);
    return FAILED(hr) ? hr : ::StringCchCatNW(buffer, size, source, BOUNDED_MAX_SIZE - 1);
}

HRESULT BoundedAppendCount(LPWSTR buffer, size_t size, LPCWSTR source, size_t maxAppend)
{
    HRESULT hr = CheckSizeOnly(size);
    if (SUCCEEDED(hr) && maxAppend > BOUNDED_MAX_SIZE - 1) {
        hr = E_INVALIDARG;
    }
    return FAILED(hr) ? hr : ::StringCchCatNW(buffer, size, source, maxAppend);
}

HRESULT BoundedFormat(LPWSTR buffer, size_t size, LPCWSTR format, ...)
{
    va_list args;
    va_start(args, format);
    const HRESULT hr = BoundedFormatArgs(buffer, size, format, args);
    va_end(args);
    return hr;
}

HRESULT BoundedFormatArgs(LPWSTR buffer, size_t size, LPCWSTR format, va_list args)
{
    const HRESULT hr = CheckSizeTerminating(buffer, size);
    return FAILED(hr) ? hr : ::StringCchVPrintfW(buffer, size, format, args);
}

HRESULT CheckedAdd(UINT a, UINT b, UINT* sum)
{
    return ::UIntAdd(a, b, sum);
}

BOOL StrutilIsBracedGuid(LPCWSTR text, size_t length)
{
    if (BRACED_GUID_CHARS != length || L'{' != text[0] || L'}' != text[BRACED_GUID_CHARS - 1]) {
        return FALSE;
    }
    for (size_t k = 1; k + 1 < BRACED_GUID_CHARS; ++k) {
        const WCHAR c = text[k];
        const BOOL dash = 9 == k || 14 == k || 19 == k || 24 == k;
        const BOOL hex = (c >= L'0' && c <= L'9') || (c >= L'a' && c <= L'f') || (c >= L'A' && c <= L'F');
        if (dash ? L'-' != c : !hex) {
            return FALSE;
        }
    }
    return TRUE;
}

HRESULT StrutilAllocate(WideString* variable, DWORD capacity)
{
    HRESULT hr = S_OK;
    void* block = nullptr;

    if (capacity >= BOUNDED_MAX_SIZE) {
        return E_OUTOFMEMORY;
    }

    if (*variable == nullptr) {
        block = MemutilAllocate(capacity * sizeof(WCHAR), TRUE);
    } else {
        block = MemutilResize(*variable, capacity * sizeof(WCHAR), FALSE);
    }
    EXIT_IF_NULL_ALLOC(block);
    *variable = static_cast<WideString>(block);

Exit:
    return hr;
}

HRESULT StrutilCopy(WideString* variable, LPCWSTR source, DWORD count)
{
    HRESULT hr = S_OK;
    DWORD capacity = 0;
    UINT needed = 0;

    if (*variable != nullptr) {
        EXIT_IF_FAILED(CapacityOf(*variable, &capacity));
    }
    if (count == 0 && source != nullptr) {
        size_t length = 0;
        EXIT_IF_FAILED(BoundedLength(source, BOUNDED_MAX_SIZE, &length));
        count = static_cast<DWORD>(length);
    }
    EXIT_IF_FAILED(CheckedAdd(count, 1, &needed));
    if (capacity < needed) {
        EXIT_IF_FAILED(StrutilAllocate(variable, needed));
        capacity = needed;
    }
    EXIT_IF_FAILED(BoundedCopyCount(*variable, capacity, source, count));
    ZeroBehindTerminator(*variable, capacity);

Exit:
    return hr;
}

HRESULT StrutilAppend(WideString* variable, LPCWSTR source, DWORD count)
{
    HRESULT hr = S_OK;
    DWORD capacity = 0;
    size_t length = 0;

    if (*variable != nullptr) {
        EXIT_IF_FAILED(CapacityOf(*variable, &capacity));
        EXIT_IF_FAILED(BoundedLength(*variable, capacity, &length));
    }
    if (count == 0) {
        size_t sourceLength = 0;
        EXIT_IF_FAILED(BoundedLength(source, BOUNDED_MAX_SIZE, &sourceLength));
        count = static_cast<DWORD>(sourceLength);
    }
    // 64-bit arithmetic: length + count + 1 can pass 32 bits before the doubling.
    if (static_cast<ULONGLONG>(capacity) - length < static_cast<ULONGLONG>(count) + 1) {
        const ULONGLONG grown = 2 * (static_cast<ULONGLONG>(length) + count + 1);
        EXIT_IF_FAILED(StrutilAllocate(variable, grown >= BOUNDED_MAX_SIZE ? BOUNDED_MAX_SIZE
                                                                           : static_cast<DWORD>(grown)));
        capacity = static_cast<DWORD>(grown);
    }
    if (*variable == nullptr) {
        EXIT_WITH(E_UNEXPECTED);
    }
    EXIT_IF_FAILED(BoundedAppendCount(*variable, capacity, source, count));
    ZeroBehindTerminator(*variable, capacity);

Exit:
    return hr;
}

HRESULT StrutilFormat(WideString* variable, LPCWSTR format, ...)
{
    va_list args;
    va_start(args, format);
    const HRESULT hr = StrutilFormatArgs(variable, format, args);
    va_end(args);
    return hr;
}

HRESULT StrutilFormatArgs(WideString* variable, LPCWSTR format, va_list args)
{
    HRESULT hr = S_OK;
    WideString setAside = nullptr;
    DWORD capacity = 0;

    if (*variable != nullptr) {
        EXIT_IF_FAILED(CapacityOf(*variable, &capacity));
    }
    if (capacity == 0) {
        EXIT_IF_FAILED(StrutilAllocate(variable, FORMAT_START_CAPACITY));
        capacity = FORMAT_START_CAPACITY;
    }

    for (;;) {
        va_list attempt;
        va_copy(attempt, args);
        hr = BoundedFormatArgs(*variable, capacity, format, attempt);
        va_end(attempt);
        if (hr != RESULT_INSUFFICIENT_BUFFER) {
            break;
        }
        // The first cut attempt keeps its block aside (the old text stays intact
        // for the caller until the new one is complete) and starts a fresh one.
        if (setAside == nullptr) {
            setAside = *variable;
            *variable = nullptr;
        }
        capacity = capacity >= BOUNDED_MAX_SIZE / 2 ? BOUNDED_MAX_SIZE : capacity * 2;
        EXIT_IF_FAILED(StrutilAllocate(variable, capacity));
    }

Exit:
    if (setAside != nullptr) {
        MemutilRelease(setAside);
    }
    return hr;
}

HRESULT StrutilFree(WideString text)
{
    return MemutilRelease(text);
}

int StrutilHexDigit(WCHAR c)
{
    if (c >= L'0' && c <= L'9') return c - L'0';
    if (c >= L'a' && c <= L'f') return c - L'a' + 10;
    if (c >= L'A' && c <= L'F') return c - L'A' + 10;
    return -1;
}
