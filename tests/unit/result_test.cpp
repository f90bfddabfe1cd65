#include <gtest/gtest.h>
#include "result.h"

TEST(ResultFromWin32, FoldsPositiveErrorsAndPassesOthers)
{
    EXPECT_EQ(static_cast<HRESULT>(0x80070005), ResultFromWin32(5));
    EXPECT_EQ(S_OK, ResultFromWin32(0));
    EXPECT_EQ(E_FAIL, ResultFromWin32(static_cast<LONG>(0x80004005)));
    // Only the low 16 bits of a large error number survive.
    EXPECT_EQ(static_cast<HRESULT>(0x80072345), ResultFromWin32(0x12345));
    EXPECT_EQ(static_cast<HRESULT>(0x80070BC2), ResultFromWin32(3010));
}

TEST(ResultFromLastError, ZeroBecomesEFail)
{
    ::SetLastError(0);
    EXPECT_EQ(E_FAIL, ResultFromLastError());
    ::SetLastError(ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(static_cast<HRESULT>(0x80070002), ResultFromLastError());
}

namespace {

int g_evaluations = 0;

HRESULT Counted(HRESULT value)
{
    ++g_evaluations;
    return value;
}

HRESULT PassesPositiveResult()
{
    HRESULT hr = S_OK;
    EXIT_IF_FAILED(Counted(1));
    hr = static_cast<HRESULT>(42);
Exit:
    return hr;
}

HRESULT LeavesOnLastError()
{
    HRESULT hr = S_OK;
    ::SetLastError(ERROR_ACCESS_DENIED);
    EXIT_LAST_ERROR_IF(Counted(1) == 1);
    hr = S_FALSE;
Exit:
    return hr;
}

HRESULT LeavesOnWin32Error()
{
    HRESULT hr = S_OK;
    EXIT_WIN32_IF_ERROR(Counted(1603));
    hr = S_FALSE;
Exit:
    return hr;
}

} // namespace

TEST(ExitMacros, PositiveResultIsNotAFailure)
{
    g_evaluations = 0;
    EXPECT_EQ(42, PassesPositiveResult());
    EXPECT_EQ(1, g_evaluations);
}

TEST(ExitMacros, EvaluateOnceAndFold)
{
    g_evaluations = 0;
    EXPECT_EQ(static_cast<HRESULT>(0x80070005), LeavesOnLastError());
    EXPECT_EQ(static_cast<HRESULT>(0x80070643), LeavesOnWin32Error());
    EXPECT_EQ(2, g_evaluations);
}
