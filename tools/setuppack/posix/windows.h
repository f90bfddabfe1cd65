// The few Win32 types, constants and functions the packer's core, the
// contract and the parts of libs/ it links are written in, for a POSIX host
// (the native packer's build puts this folder first on the include path).
// WCHAR is a UTF-16 code unit here as on Windows: the build gives wchar_t 16
// bits (-fshort-wchar), so that L"" texts are UTF-16 and the manifest's and
// the registration record's fields have their Windows layout. No C library
// function on wide texts is used: they would take 32-bit units.
#pragma once

#include <stdarg.h>
#include <stddef.h>
#include <stdint.h>
#include <string.h>
// Before the names below: <cwchar> takes back any macro of these names, and
// only its first inclusion does anything.
#include <cwchar>

static_assert(sizeof(wchar_t) == 2, "the native packer is built with -fshort-wchar");

typedef uint8_t BYTE;
typedef uint16_t WORD;
typedef uint32_t DWORD;
typedef int32_t LONG;
typedef uint32_t ULONG;
typedef unsigned int UINT;
typedef int INT;
typedef int BOOL;
typedef int32_t HRESULT;
typedef uint64_t ULONGLONG;
typedef int64_t LONGLONG;
typedef size_t SIZE_T;
typedef uintptr_t ULONG_PTR;
typedef char CHAR;
typedef wchar_t WCHAR;
typedef WCHAR* LPWSTR;
typedef const WCHAR* LPCWSTR;
typedef char* LPSTR;
typedef const char* LPCSTR;
typedef void* HANDLE;

#define TRUE 1
#define FALSE 0
#define MAX_PATH 4096

struct GUID {
    DWORD Data1;
    WORD Data2;
    WORD Data3;
    BYTE Data4[8];
};
inline BOOL IsEqualGUID(const GUID& a, const GUID& b)
{
    return 0 == memcmp(&a, &b, sizeof(GUID));
}

#define S_OK static_cast<HRESULT>(0)
#define S_FALSE static_cast<HRESULT>(1)
#define E_FAIL static_cast<HRESULT>(0x80004005)
#define E_OUTOFMEMORY static_cast<HRESULT>(0x8007000E)
#define E_INVALIDARG static_cast<HRESULT>(0x80070057)
#define E_UNEXPECTED static_cast<HRESULT>(0x8000FFFF)
#define SUCCEEDED(hr) (static_cast<HRESULT>(hr) >= 0)
#define FAILED(hr) (static_cast<HRESULT>(hr) < 0)

#define ERROR_SUCCESS 0
#define ERROR_FILE_NOT_FOUND 2
#define ERROR_PATH_NOT_FOUND 3
#define ERROR_ACCESS_DENIED 5
#define ERROR_INVALID_DATA 13
#define ERROR_NOT_ENOUGH_MEMORY 8
#define ERROR_SHARING_VIOLATION 32
#define ERROR_HANDLE_EOF 38
#define ERROR_FILE_EXISTS 80
#define ERROR_INVALID_PARAMETER 87
#define ERROR_DISK_FULL 112
#define ERROR_BAD_PATHNAME 161
#define ERROR_FILENAME_EXCED_RANGE 206
#define ERROR_NO_MORE_ITEMS 259
#define ERROR_OPEN_FAILED 110
#define ERROR_INSTALL_PACKAGE_INVALID 1620
#define ERROR_BAD_QUERY_SYNTAX 1615

#define ARRAYSIZE(a) (sizeof(a) / sizeof((a)[0]))
#define MAKELONG(low, high) (static_cast<DWORD>(static_cast<WORD>(low)) | static_cast<DWORD>(static_cast<WORD>(high)) << 16)
#define MAKELANGID(primary, sub) ((static_cast<WORD>(sub) << 10) | static_cast<WORD>(primary))
#define LANG_NEUTRAL 0x00
#define SUBLANG_NEUTRAL 0x00
#define MAKEINTRESOURCEW(i) (reinterpret_cast<LPWSTR>(static_cast<ULONG_PTR>(static_cast<WORD>(i))))
#define IS_INTRESOURCE(p) ((reinterpret_cast<ULONG_PTR>(p) >> 16) == 0)
#define RT_ICON MAKEINTRESOURCEW(3)
#define RT_STRING MAKEINTRESOURCEW(6)
#define RT_RCDATA MAKEINTRESOURCEW(10)
#define RT_GROUP_ICON MAKEINTRESOURCEW(14)
#define RT_VERSION MAKEINTRESOURCEW(16)
#define RT_MANIFEST MAKEINTRESOURCEW(24)
#define VS_VERSION_INFO 1
#define CREATEPROCESS_MANIFEST_RESOURCE_ID MAKEINTRESOURCEW(1)

#define CSTR_LESS_THAN 1
#define CSTR_EQUAL 2
#define CSTR_GREATER_THAN 3
// Ordinal comparison of UTF-16 texts, `ignoreCase` for the letters of the
// Basic Latin and Latin-1 blocks (what the packer's names hold); -1 counts up
// to the terminator.
int CompareStringOrdinal(LPCWSTR a, int aLength, LPCWSTR b, int bLength, BOOL ignoreCase);
int lstrlenW(LPCWSTR text);
int lstrlenA(LPCSTR text);

// The C library's wide functions count in 32-bit units, so each one the code
// calls is the stand-in's own (tests/native/compare-packers.sh checks that
// none of the C library's reaches the link).
#define wcschr Win32PortFindUnit
#define wmemchr Win32PortFindUnitIn
const WCHAR* Win32PortFindUnit(const WCHAR* text, WCHAR unit);
const WCHAR* Win32PortFindUnitIn(const WCHAR* units, WCHAR unit, size_t count);

#define CP_UTF8 65001
// UTF-16 <-> UTF-8 only (the code page is CP_UTF8); a count of -1 takes the
// terminator along. Unpaired surrogates become U+FFFD.
int WideCharToMultiByte(UINT codePage, DWORD flags, LPCWSTR text, int count, LPSTR out, int outBytes,
                        LPCSTR defaultChar, BOOL* usedDefault);
int MultiByteToWideChar(UINT codePage, DWORD flags, LPCSTR text, int count, LPWSTR out, int outChars);

DWORD GetLastError();
void SetLastError(DWORD error);
// errno as the Win32 error the packer's messages and codes expect.
DWORD Win32ErrorFromErrno(int error);

// The heap of memutil: blocks that know their size.
#define HEAP_ZERO_MEMORY 0x8
HANDLE GetProcessHeap();
void* HeapAlloc(HANDLE heap, DWORD flags, SIZE_T bytes);
void* HeapReAlloc(HANDLE heap, DWORD flags, void* block, SIZE_T bytes);
BOOL HeapFree(HANDLE heap, DWORD flags, void* block);
SIZE_T HeapSize(HANDLE heap, DWORD flags, const void* block);

// The image headers and the version record's fixed part.
#define IMAGE_DOS_SIGNATURE 0x5A4D
#define IMAGE_NT_SIGNATURE 0x00004550
#define IMAGE_NT_OPTIONAL_HDR32_MAGIC 0x10b
#define IMAGE_NT_OPTIONAL_HDR64_MAGIC 0x20b
#define IMAGE_FILE_MACHINE_I386 0x014c
#define IMAGE_FILE_MACHINE_AMD64 0x8664
#define IMAGE_FILE_MACHINE_ARM64 0xAA64
#define IMAGE_FILE_EXECUTABLE_IMAGE 0x0002
#define IMAGE_FILE_REMOVABLE_RUN_FROM_SWAP 0x0400
#define IMAGE_FILE_NET_RUN_FROM_SWAP 0x0800
#define IMAGE_FILE_DLL 0x2000
#define IMAGE_DIRECTORY_ENTRY_SECURITY 4
#define IMAGE_NUMBEROF_DIRECTORY_ENTRIES 16
#define IMAGE_SIZEOF_SHORT_NAME 8

#pragma pack(push, 2)
struct IMAGE_DOS_HEADER {
    WORD e_magic, e_cblp, e_cp, e_crlc, e_cparhdr, e_minalloc, e_maxalloc, e_ss, e_sp, e_csum, e_ip, e_cs, e_lfarlc,
        e_ovno, e_res[4], e_oemid, e_oeminfo, e_res2[10];
    LONG e_lfanew;
};
#pragma pack(pop)
struct IMAGE_FILE_HEADER {
    WORD Machine;
    WORD NumberOfSections;
    DWORD TimeDateStamp;
    DWORD PointerToSymbolTable;
    DWORD NumberOfSymbols;
    WORD SizeOfOptionalHeader;
    WORD Characteristics;
};
struct IMAGE_DATA_DIRECTORY {
    DWORD VirtualAddress;
    DWORD Size;
};
struct IMAGE_OPTIONAL_HEADER32 {
    WORD Magic;
    BYTE MajorLinkerVersion, MinorLinkerVersion;
    DWORD SizeOfCode, SizeOfInitializedData, SizeOfUninitializedData, AddressOfEntryPoint, BaseOfCode, BaseOfData,
        ImageBase, SectionAlignment, FileAlignment;
    WORD MajorOperatingSystemVersion, MinorOperatingSystemVersion, MajorImageVersion, MinorImageVersion,
        MajorSubsystemVersion, MinorSubsystemVersion;
    DWORD Win32VersionValue, SizeOfImage, SizeOfHeaders, CheckSum;
    WORD Subsystem, DllCharacteristics;
    DWORD SizeOfStackReserve, SizeOfStackCommit, SizeOfHeapReserve, SizeOfHeapCommit, LoaderFlags,
        NumberOfRvaAndSizes;
    IMAGE_DATA_DIRECTORY DataDirectory[IMAGE_NUMBEROF_DIRECTORY_ENTRIES];
};
#pragma pack(push, 4)
struct IMAGE_OPTIONAL_HEADER64 {
    WORD Magic;
    BYTE MajorLinkerVersion, MinorLinkerVersion;
    DWORD SizeOfCode, SizeOfInitializedData, SizeOfUninitializedData, AddressOfEntryPoint, BaseOfCode;
    ULONGLONG ImageBase;
    DWORD SectionAlignment, FileAlignment;
    WORD MajorOperatingSystemVersion, MinorOperatingSystemVersion, MajorImageVersion, MinorImageVersion,
        MajorSubsystemVersion, MinorSubsystemVersion;
    DWORD Win32VersionValue, SizeOfImage, SizeOfHeaders, CheckSum;
    WORD Subsystem, DllCharacteristics;
    ULONGLONG SizeOfStackReserve, SizeOfStackCommit, SizeOfHeapReserve, SizeOfHeapCommit;
    DWORD LoaderFlags, NumberOfRvaAndSizes;
    IMAGE_DATA_DIRECTORY DataDirectory[IMAGE_NUMBEROF_DIRECTORY_ENTRIES];
};
#pragma pack(pop)
struct IMAGE_SECTION_HEADER {
    BYTE Name[IMAGE_SIZEOF_SHORT_NAME];
    DWORD VirtualSize;
    DWORD VirtualAddress;
    DWORD SizeOfRawData;
    DWORD PointerToRawData;
    DWORD PointerToRelocations;
    DWORD PointerToLinenumbers;
    WORD NumberOfRelocations;
    WORD NumberOfLinenumbers;
    DWORD Characteristics;
};
static_assert(sizeof(IMAGE_DOS_HEADER) == 64 && sizeof(IMAGE_FILE_HEADER) == 20 && sizeof(IMAGE_SECTION_HEADER) == 40 &&
                  sizeof(IMAGE_OPTIONAL_HEADER32) == 224 && sizeof(IMAGE_OPTIONAL_HEADER64) == 240,
              "image header layouts");

struct VS_FIXEDFILEINFO {
    DWORD dwSignature, dwStrucVersion, dwFileVersionMS, dwFileVersionLS, dwProductVersionMS, dwProductVersionLS,
        dwFileFlagsMask, dwFileFlags, dwFileOS, dwFileType, dwFileSubtype, dwFileDateMS, dwFileDateLS;
};
#define VS_FFI_SIGNATURE 0xFEEF04BD
#define VS_FFI_STRUCVERSION 0x00010000
#define VS_FFI_FILEFLAGSMASK 0x0000003F
#define VOS_NT_WINDOWS32 0x00040004
#define VFT_APP 0x00000001
