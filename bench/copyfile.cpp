// The plain copy that extraction is measured against: one CopyFileW.
//   benchcopy SOURCE TARGET
#include <windows.h>

int wmain(int argc, wchar_t** argv)
{
    if (argc != 3) {
        return ERROR_BAD_ARGUMENTS;
    }
    return ::CopyFileW(argv[1], argv[2], FALSE) ? 0 : static_cast<int>(::GetLastError());
}
