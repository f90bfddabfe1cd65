// A DLL that plays a msi.dll planted beside a program: loading it at all leaves
// the file "<its own path>.loaded", which the tests look for.
#include <windows.h>

BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID)
{
    if (reason == DLL_PROCESS_ATTACH) {
        WCHAR marker[MAX_PATH + 16];
        DWORD length = GetModuleFileNameW(instance, marker, MAX_PATH);
        if (length != 0 && length < MAX_PATH) {
            lstrcatW(marker, L".loaded");
            HANDLE file = CreateFileW(marker, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
            if (file != INVALID_HANDLE_VALUE) CloseHandle(file);
        }
    }
    return TRUE;
}
