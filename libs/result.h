// Result codes and the one way every function checks, traces and leaves.
//
// A function that can fail declares `HRESULT hr = S_OK;`, sets every resource it
// will own to empty, and ends with a single `Exit:` label that releases what is
// still held and returns hr. The macros below are the only ways to jump there:
//
//   EXIT_IF_FAILED(expr)          a callee's failure, passed on unchanged (already traced)
//   EXIT_LAST_ERROR_IF(cond)      a platform call reported failure; fold GetLastError
//   EXIT_LAST_ERROR_IF_NULL(p)    the same, for a call that returns null on failure
//   EXIT_WIN32_IF_ERROR(err)      a platform call returned an error number itself
//   EXIT_IF_NULL_ALLOC(p)         an allocation gave null: E_OUTOFMEMORY
//   EXIT_WITH(code)               a failure detected here without a platform call
//
// Each evaluates its argument once, traces the failure with this file and line
// (except EXIT_IF_FAILED, whose callee traced it), and is a single statement.
#pragma once

#include <windows.h>

HRESULT ResultFromWin32(LONG error);
HRESULT ResultFromLastError();

// The failure hook: every failure site calls it with its file, line and result.
// It has no effect; it exists so that a debugger breakpoint or a test build can
// see every failure where it arises.
void TraceFailure(const char* file, int line, HRESULT hr);

#define RESULT_TRACE_AND_EXIT(code)                  \
    do {                                             \
        hr = (code);                                 \
        TraceFailure(__FILE__, __LINE__, hr);        \
        goto Exit;                                   \
    } while (0)

#define EXIT_IF_FAILED(expr)                         \
    do {                                             \
        hr = (expr);                                 \
        if (FAILED(hr)) goto Exit;                   \
    } while (0)

#define EXIT_LAST_ERROR_IF(cond)                     \
    do {                                             \
        if (cond) RESULT_TRACE_AND_EXIT(ResultFromLastError()); \
    } while (0)

#define EXIT_LAST_ERROR_IF_NULL(ptr) EXIT_LAST_ERROR_IF(nullptr == (ptr))

#define EXIT_WIN32_IF_ERROR(expr)                    \
    do {                                             \
        const LONG resultError_ = static_cast<LONG>(expr); \
        if (resultError_ != 0) RESULT_TRACE_AND_EXIT(ResultFromWin32(resultError_)); \
    } while (0)

#define EXIT_IF_NULL_ALLOC(ptr)                      \
    do {                                             \
        if (nullptr == (ptr)) RESULT_TRACE_AND_EXIT(E_OUTOFMEMORY); \
    } while (0)

#define EXIT_WITH(code) RESULT_TRACE_AND_EXIT(code)

// Result codes with a meaning of their own in this program.
constexpr HRESULT RESULT_INSUFFICIENT_BUFFER = static_cast<HRESULT>(0x8007007A);
constexpr HRESULT RESULT_ARITHMETIC_OVERFLOW = static_cast<HRESULT>(0x80070216);
constexpr HRESULT RESULT_INVALID_DATA = static_cast<HRESULT>(0x8007000D);
constexpr HRESULT RESULT_FILE_EXISTS = static_cast<HRESULT>(0x80070050);
constexpr HRESULT RESULT_FILE_NOT_FOUND = static_cast<HRESULT>(0x80070002);
constexpr HRESULT RESULT_PATH_NOT_FOUND = static_cast<HRESULT>(0x80070003);
constexpr HRESULT RESULT_NOT_SUPPORTED = static_cast<HRESULT>(0x80070032);
constexpr HRESULT RESULT_DISK_FULL = static_cast<HRESULT>(0x80070070);
// A module without a data resource of that name, or without any.
constexpr HRESULT RESULT_RESOURCE_NAME_NOT_FOUND = static_cast<HRESULT>(0x80070716);   // 1814
constexpr HRESULT RESULT_RESOURCE_TYPE_NOT_FOUND = static_cast<HRESULT>(0x80070715);   // 1813
// A file that is not the one the program wrote, or no longer holds its bytes.
constexpr HRESULT RESULT_FILE_CHANGED = static_cast<HRESULT>(0x80070570);        // 1392
// A name that led through a link or a moved folder to somewhere else.
constexpr HRESULT RESULT_LINK_ENCOUNTERED = static_cast<HRESULT>(0x8007112B);    // 4395
// A path an elevated run may not hand on: its folder can be changed by others
// than administrators, or is reached through a link.
constexpr HRESULT RESULT_LOG_FOLDER_UNTRUSTED = static_cast<HRESULT>(0x800701C0);   // 448
constexpr HRESULT RESULT_INVALID_NAME = static_cast<HRESULT>(0x8007007B);           // 123
