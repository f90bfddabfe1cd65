// intsafe's checked addition, for libs/strutil.cpp on a POSIX host.
#pragma once

#include <windows.h>

HRESULT UIntAdd(UINT a, UINT b, UINT* sum);
