// The Win32 subset of windows.h, strsafe.h and intsafe.h on a POSIX host.
#include <windows.h>
#include <intsafe.h>
#include <strsafe.h>

#include <errno.h>
#include <stdlib.h>

namespace {

thread_local DWORD lastError = ERROR_SUCCESS;
constexpr HRESULT STRSAFE_E_INSUFFICIENT_BUFFER = static_cast<HRESULT>(0x8007007A);
constexpr HRESULT ARITHMETIC_OVERFLOW = static_cast<HRESULT>(0x80070216);
// A heap block keeps its size in front of it, at an alignment any type needs.
constexpr size_t BLOCK_HEADER = 16;

WCHAR Folded(WCHAR c, BOOL ignoreCase)
{
    if (!ignoreCase) return c;
    if ((c >= L'a' && c <= L'z') || (c >= 0xE0 && c <= 0xFE && c != 0xF7)) return static_cast<WCHAR>(c - 0x20);
    return c;
}

// Output of the format: units into a bounded buffer; `full` once it ran out.
struct Output {
    LPWSTR buffer;
    size_t size;
    size_t used;
    BOOL full;
};

void Put(Output* out, WCHAR c)
{
    if (out->used + 1 < out->size) {
        out->buffer[out->used++] = c;
    } else {
        out->full = TRUE;
    }
}

void PutPadded(Output* out, const WCHAR* text, size_t length, int width, BOOL zeros)
{
    for (int pad = width - static_cast<int>(length); pad > 0; --pad) Put(out, zeros ? L'0' : L' ');
    for (size_t k = 0; k < length; ++k) Put(out, text[k]);
}

void PutNumber(Output* out, unsigned long long value, BOOL negative, int base, BOOL upper, int width, BOOL zeros)
{
    WCHAR digits[32];
    size_t count = 0;
    do {
        const int digit = static_cast<int>(value % base);
        digits[sizeof(digits) / sizeof(WCHAR) - 1 - count++] =
            static_cast<WCHAR>(digit < 10 ? L'0' + digit : (upper ? L'A' : L'a') + digit - 10);
        value /= base;
    } while (value);
    if (negative) {
        Put(out, L'-');
        --width;
    }
    PutPadded(out, digits + sizeof(digits) / sizeof(WCHAR) - count, count, width, zeros);
}

} // namespace

int CompareStringOrdinal(LPCWSTR a, int aLength, LPCWSTR b, int bLength, BOOL ignoreCase)
{
    const int aCount = aLength < 0 ? lstrlenW(a) : aLength;
    const int bCount = bLength < 0 ? lstrlenW(b) : bLength;
    for (int k = 0; k < aCount && k < bCount; ++k) {
        const WCHAR x = Folded(a[k], ignoreCase);
        const WCHAR y = Folded(b[k], ignoreCase);
        if (x != y) return x < y ? CSTR_LESS_THAN : CSTR_GREATER_THAN;
    }
    return aCount == bCount ? CSTR_EQUAL : aCount < bCount ? CSTR_LESS_THAN : CSTR_GREATER_THAN;
}

int lstrlenW(LPCWSTR text)
{
    int length = 0;
    while (text && text[length]) ++length;
    return length;
}

const WCHAR* Win32PortFindUnit(const WCHAR* text, WCHAR unit)
{
    for (;; ++text) {
        if (*text == unit) return text;
        if (L'\0' == *text) return nullptr;
    }
}

const WCHAR* Win32PortFindUnitIn(const WCHAR* units, WCHAR unit, size_t count)
{
    for (size_t k = 0; k < count; ++k) {
        if (units[k] == unit) return units + k;
    }
    return nullptr;
}

int lstrlenA(LPCSTR text)
{
    return text ? static_cast<int>(strlen(text)) : 0;
}

int WideCharToMultiByte(UINT, DWORD, LPCWSTR text, int count, LPSTR out, int outBytes, LPCSTR, BOOL*)
{
    const int units = count < 0 ? lstrlenW(text) + 1 : count;
    int written = 0;
    for (int k = 0; k < units; ++k) {
        uint32_t c = static_cast<uint16_t>(text[k]);
        if (c >= 0xD800 && c < 0xDC00 && k + 1 < units && static_cast<uint16_t>(text[k + 1]) >= 0xDC00 &&
            static_cast<uint16_t>(text[k + 1]) < 0xE000) {
            c = 0x10000 + ((c - 0xD800) << 10) + (static_cast<uint16_t>(text[++k]) - 0xDC00);
        } else if (c >= 0xD800 && c < 0xE000) {
            c = 0xFFFD;
        }
        char bytes[4];
        int n = 0;
        if (c < 0x80) {
            bytes[n++] = static_cast<char>(c);
        } else if (c < 0x800) {
            bytes[n++] = static_cast<char>(0xC0 | c >> 6);
            bytes[n++] = static_cast<char>(0x80 | (c & 0x3F));
        } else if (c < 0x10000) {
            bytes[n++] = static_cast<char>(0xE0 | c >> 12);
            bytes[n++] = static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            bytes[n++] = static_cast<char>(0x80 | (c & 0x3F));
        } else {
            bytes[n++] = static_cast<char>(0xF0 | c >> 18);
            bytes[n++] = static_cast<char>(0x80 | ((c >> 12) & 0x3F));
            bytes[n++] = static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            bytes[n++] = static_cast<char>(0x80 | (c & 0x3F));
        }
        if (outBytes > 0) {
            if (written + n > outBytes) {
                lastError = 122;   // ERROR_INSUFFICIENT_BUFFER
                return 0;
            }
            memcpy(out + written, bytes, n);
        }
        written += n;
    }
    return written;
}

int MultiByteToWideChar(UINT, DWORD, LPCSTR text, int count, LPWSTR out, int outChars)
{
    const unsigned char* bytes = reinterpret_cast<const unsigned char*>(text);
    const int length = count < 0 ? static_cast<int>(strlen(text)) + 1 : count;
    int written = 0;
    for (int k = 0; k < length;) {
        uint32_t c = bytes[k];
        int extra = c < 0x80 ? 0 : (c & 0xE0) == 0xC0 ? 1 : (c & 0xF0) == 0xE0 ? 2 : (c & 0xF8) == 0xF0 ? 3 : -1;
        ++k;
        if (extra < 0 || k + extra > length) {
            c = 0xFFFD;
            extra = 0;
        } else if (extra > 0) {
            c &= 0x3F >> extra;
            for (int i = 0; i < extra; ++i) {
                if ((bytes[k] & 0xC0) != 0x80) {
                    c = 0xFFFD;
                    break;
                }
                c = c << 6 | (bytes[k++] & 0x3F);
            }
        }
        WCHAR units[2];
        int n = 0;
        if (c >= 0x10000 && c < 0x110000) {
            units[n++] = static_cast<WCHAR>(0xD800 + ((c - 0x10000) >> 10));
            units[n++] = static_cast<WCHAR>(0xDC00 + ((c - 0x10000) & 0x3FF));
        } else {
            units[n++] = static_cast<WCHAR>(c < 0x110000 ? c : 0xFFFD);
        }
        if (outChars > 0) {
            if (written + n > outChars) {
                lastError = 122;
                return 0;
            }
            memcpy(out + written, units, n * sizeof(WCHAR));
        }
        written += n;
    }
    return written;
}

DWORD GetLastError()
{
    return lastError;
}

void SetLastError(DWORD error)
{
    lastError = error;
}

DWORD Win32ErrorFromErrno(int error)
{
    switch (error) {
    case 0: return ERROR_SUCCESS;
    case ENOENT: return ERROR_FILE_NOT_FOUND;
    case ENOTDIR: return ERROR_PATH_NOT_FOUND;
    case EACCES: case EPERM: case EROFS: return ERROR_ACCESS_DENIED;
    case EEXIST: return ERROR_FILE_EXISTS;
    case ENOSPC: case EFBIG: return ERROR_DISK_FULL;
    case ENOMEM: return ERROR_NOT_ENOUGH_MEMORY;
    case ENAMETOOLONG: return ERROR_FILENAME_EXCED_RANGE;
    case EISDIR: return ERROR_ACCESS_DENIED;
    case EINVAL: return ERROR_INVALID_PARAMETER;
    default: return ERROR_OPEN_FAILED;
    }
}

HANDLE GetProcessHeap()
{
    static int heap;
    return &heap;
}

void* HeapAlloc(HANDLE, DWORD flags, SIZE_T bytes)
{
    unsigned char* block = static_cast<unsigned char*>(
        (flags & HEAP_ZERO_MEMORY) ? calloc(1, bytes + BLOCK_HEADER) : malloc(bytes + BLOCK_HEADER));
    if (!block) return nullptr;
    memcpy(block, &bytes, sizeof(bytes));
    return block + BLOCK_HEADER;
}

void* HeapReAlloc(HANDLE, DWORD flags, void* block, SIZE_T bytes)
{
    unsigned char* start = static_cast<unsigned char*>(block) - BLOCK_HEADER;
    SIZE_T old = 0;
    memcpy(&old, start, sizeof(old));
    unsigned char* grown = static_cast<unsigned char*>(realloc(start, bytes + BLOCK_HEADER));
    if (!grown) return nullptr;
    if ((flags & HEAP_ZERO_MEMORY) && bytes > old) memset(grown + BLOCK_HEADER + old, 0, bytes - old);
    memcpy(grown, &bytes, sizeof(bytes));
    return grown + BLOCK_HEADER;
}

BOOL HeapFree(HANDLE, DWORD, void* block)
{
    if (block) free(static_cast<unsigned char*>(block) - BLOCK_HEADER);
    return TRUE;
}

SIZE_T HeapSize(HANDLE, DWORD, const void* block)
{
    SIZE_T bytes = 0;
    memcpy(&bytes, static_cast<const unsigned char*>(block) - BLOCK_HEADER, sizeof(bytes));
    return bytes;
}

HRESULT StringCchLengthW(LPCWSTR text, size_t maxCount, size_t* length)
{
    size_t k = 0;
    if (!text) return E_INVALIDARG;
    while (k < maxCount && text[k]) ++k;
    if (k == maxCount) return E_INVALIDARG;
    *length = k;
    return S_OK;
}

HRESULT StringCchCopyNW(LPWSTR buffer, size_t size, LPCWSTR source, size_t maxCopy)
{
    if (0 == size) return E_INVALIDARG;
    size_t k = 0;
    for (; k < maxCopy && source[k]; ++k) {
        if (k + 1 >= size) {
            buffer[k] = L'\0';
            return STRSAFE_E_INSUFFICIENT_BUFFER;
        }
        buffer[k] = source[k];
    }
    buffer[k] = L'\0';
    return S_OK;
}

HRESULT StringCchCatNW(LPWSTR buffer, size_t size, LPCWSTR source, size_t maxAppend)
{
    size_t length = 0;
    if (FAILED(StringCchLengthW(buffer, size, &length))) return E_INVALIDARG;
    return StringCchCopyNW(buffer + length, size - length, source, maxAppend);
}

HRESULT StringCchVPrintfW(LPWSTR buffer, size_t size, LPCWSTR format, va_list args)
{
    Output out = {buffer, size, 0, FALSE};
    if (0 == size) return E_INVALIDARG;
    for (LPCWSTR p = format; *p; ++p) {
        if (L'%' != *p) {
            Put(&out, *p);
            continue;
        }
        ++p;
        if (L'%' == *p) {
            Put(&out, L'%');
            continue;
        }
        BOOL zeros = FALSE;
        int width = 0;
        int precision = -1;
        while (L'0' == *p || L'-' == *p) zeros = L'0' == *p++ ? TRUE : zeros;
        while (*p >= L'0' && *p <= L'9') width = width * 10 + (*p++ - L'0');
        if (L'.' == *p) {
            ++p;
            if (L'*' == *p) {
                precision = va_arg(args, int);
                ++p;
            } else {
                precision = 0;
                while (*p >= L'0' && *p <= L'9') precision = precision * 10 + (*p++ - L'0');
            }
        }
        int longs = 0;   // l: a wide text, or a 32-bit number as on Windows; ll, I64: 64 bits
        BOOL narrow = FALSE;
        for (;; ++p) {
            if (L'l' == *p) ++longs;
            else if (L'h' == *p) narrow = TRUE;
            else if (L'I' == p[0] && L'6' == p[1] && L'4' == p[2]) { longs = 2; p += 2; }
            else break;
        }
        switch (*p) {
        case L's':
            if (narrow) {
                const char* text = va_arg(args, const char*);
                size_t length = strlen(text ? text : "");
                if (precision >= 0 && static_cast<size_t>(precision) < length) length = precision;
                for (int pad = width - static_cast<int>(length); pad > 0; --pad) Put(&out, L' ');
                for (size_t k = 0; k < length; ++k) Put(&out, static_cast<WCHAR>(static_cast<unsigned char>(text[k])));
            } else {
                LPCWSTR text = va_arg(args, LPCWSTR);
                if (!text) text = L"(null)";
                size_t length = 0;
                while ((precision < 0 || length < static_cast<size_t>(precision)) && text[length]) ++length;
                PutPadded(&out, text, length, width, FALSE);
            }
            break;
        case L'c':
            Put(&out, static_cast<WCHAR>(va_arg(args, int)));
            break;
        case L'd':
        case L'i': {
            const long long value = 2 == longs ? va_arg(args, long long) : va_arg(args, int);
            PutNumber(&out, value < 0 ? 0ull - static_cast<unsigned long long>(value) : value, value < 0, 10, FALSE,
                      width, zeros);
            break;
        }
        case L'u':
        case L'x':
        case L'X': {
            const unsigned long long value = 2 == longs ? va_arg(args, unsigned long long) : va_arg(args, unsigned int);
            PutNumber(&out, value, FALSE, L'u' == *p ? 10 : 16, L'X' == *p, width, zeros);
            break;
        }
        default:
            Put(&out, L'%');
            if (*p) Put(&out, *p);
            else --p;
            break;
        }
    }
    out.buffer[out.used] = L'\0';
    return out.full ? STRSAFE_E_INSUFFICIENT_BUFFER : S_OK;
}

HRESULT UIntAdd(UINT a, UINT b, UINT* sum)
{
    if (a > 0xFFFFFFFFu - b) {
        *sum = 0xFFFFFFFFu;
        return ARITHMETIC_OVERFLOW;
    }
    *sum = a + b;
    return S_OK;
}
