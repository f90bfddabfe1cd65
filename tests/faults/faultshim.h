// Forced into every product source of the fault build (-include): after the
// platform headers have declared the real functions, each platform operation the
// program uses is renamed to a counting wrapper in faultshim.cpp. The wrappers
// pass through to the real call unless a test has armed a fault for that
// operation, and they keep the books on heap blocks, handles and file writes.
#pragma once

#include <windows.h>
#include <shellapi.h>
#include <shlobj.h>
#include <objbase.h>
#include <aclapi.h>
#include <sddl.h>

LPVOID WINAPI FaultHeapAlloc(HANDLE heap, DWORD flags, SIZE_T bytes);
LPVOID WINAPI FaultHeapReAlloc(HANDLE heap, DWORD flags, LPVOID block, SIZE_T bytes);
BOOL WINAPI FaultHeapFree(HANDLE heap, DWORD flags, LPVOID block);
HANDLE WINAPI FaultCreateFileW(LPCWSTR path, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES security,
                               DWORD disposition, DWORD attributes, HANDLE templateFile);
BOOL WINAPI FaultWriteFile(HANDLE file, LPCVOID data, DWORD bytes, LPDWORD written, LPOVERLAPPED overlapped);
BOOL WINAPI FaultCloseHandle(HANDLE handle);
BOOL WINAPI FaultDeleteFileW(LPCWSTR path);
BOOL WINAPI FaultCreateDirectoryW(LPCWSTR path, LPSECURITY_ATTRIBUTES security);
DWORD WINAPI FaultGetFileAttributesW(LPCWSTR path);
HANDLE WINAPI FaultFindFirstFileW(LPCWSTR pattern, LPWIN32_FIND_DATAW data);
BOOL WINAPI FaultFindClose(HANDLE find);
DWORD WINAPI FaultGetTempPathW(DWORD size, LPWSTR buffer);
HRSRC WINAPI FaultFindResourceExA(HMODULE module, LPCSTR type, LPCSTR name, WORD language);
HGLOBAL WINAPI FaultLoadResource(HMODULE module, HRSRC resource);
DWORD WINAPI FaultSizeofResource(HMODULE module, HRSRC resource);
LPVOID WINAPI FaultLockResource(HGLOBAL loaded);
int WINAPI FaultLoadStringW(HINSTANCE module, UINT id, LPWSTR buffer, int size);
HRESULT WINAPI FaultSHGetFolderPathW(HWND window, int folder, HANDLE token, DWORD flags, LPWSTR path);
LPWSTR WINAPI FaultGetCommandLineW();
LPWSTR* WINAPI FaultCommandLineToArgvW(LPCWSTR commandLine, int* count);
DWORD WINAPI FaultFormatMessageW(DWORD flags, LPCVOID source, DWORD id, DWORD language, LPWSTR buffer,
                                 DWORD size, va_list* arguments);
HLOCAL WINAPI FaultLocalFree(HLOCAL block);
int WINAPI FaultMessageBoxW(HWND owner, LPCWSTR text, LPCWSTR caption, UINT type);
int WINAPI FaultMessageBoxExW(HWND owner, LPCWSTR text, LPCWSTR caption, UINT type, WORD language);
HMODULE WINAPI FaultLoadLibraryExW(LPCWSTR name, HANDLE file, DWORD flags);
HMODULE WINAPI FaultLoadLibraryW(LPCWSTR name);
FARPROC WINAPI FaultGetProcAddress(HMODULE module, LPCSTR name);
BOOL WINAPI FaultFreeLibrary(HMODULE module);
BOOL WINAPI FaultOpenProcessToken(HANDLE process, DWORD access, PHANDLE token);
BOOL WINAPI FaultGetTokenInformation(HANDLE token, TOKEN_INFORMATION_CLASS type, LPVOID information, DWORD size,
                                     PDWORD returned);
DWORD WINAPI FaultGetModuleFileNameW(HMODULE module, LPWSTR name, DWORD size);
DWORD WINAPI FaultGetCurrentDirectoryW(DWORD size, LPWSTR buffer);
BOOL WINAPI FaultShellExecuteExW(SHELLEXECUTEINFOW* info);
BOOL WINAPI FaultInitiateSystemShutdownExW(LPWSTR machine, LPWSTR message, DWORD timeout, BOOL force, BOOL restart,
                                           DWORD reason);
BOOL WINAPI FaultCreateProcessW(LPCWSTR application, LPWSTR commandLine, LPSECURITY_ATTRIBUTES processSecurity,
                                LPSECURITY_ATTRIBUTES threadSecurity, BOOL inheritHandles, DWORD flags,
                                LPVOID environment, LPCWSTR directory, LPSTARTUPINFOW startup,
                                LPPROCESS_INFORMATION information);
DWORD WINAPI FaultWaitForSingleObject(HANDLE handle, DWORD milliseconds);
BOOL WINAPI FaultGetExitCodeProcess(HANDLE process, LPDWORD exitCode);
DWORD WINAPI FaultGetFileType(HANDLE file);
BOOL WINAPI FaultGetFileInformationByHandle(HANDLE file, LPBY_HANDLE_FILE_INFORMATION information);
BOOL WINAPI FaultConvertStringSecurityDescriptorToSecurityDescriptorW(LPCWSTR text, DWORD revision,
                                                                     PSECURITY_DESCRIPTOR* descriptor, PULONG size);
DWORD WINAPI FaultGetSecurityInfo(HANDLE handle, SE_OBJECT_TYPE type, SECURITY_INFORMATION parts, PSID* owner,
                                  PSID* group, PACL* dacl, PACL* sacl, PSECURITY_DESCRIPTOR* descriptor);
DWORD WINAPI FaultGetFinalPathNameByHandleW(HANDLE file, LPWSTR path, DWORD size, DWORD flags);
BOOL WINAPI FaultSetFileInformationByHandle(HANDLE file, FILE_INFO_BY_HANDLE_CLASS type, LPVOID information,
                                            DWORD size);
BOOL WINAPI FaultReadFile(HANDLE file, LPVOID data, DWORD bytes, LPDWORD read, LPOVERLAPPED overlapped);
BOOL WINAPI FaultGetFileSizeEx(HANDLE file, PLARGE_INTEGER size);
BOOL WINAPI FaultSetFilePointerEx(HANDLE file, LARGE_INTEGER distance, PLARGE_INTEGER position, DWORD method);
BOOL WINAPI FaultRemoveDirectoryW(LPCWSTR path);
BOOL WINAPI FaultFindNextFileW(HANDLE find, LPWIN32_FIND_DATAW data);
UINT WINAPI FaultGetDriveTypeW(LPCWSTR root);
HANDLE WINAPI FaultReOpenFile(HANDLE original, DWORD access, DWORD share, DWORD flags);
int WINAPI FaultWideCharToMultiByte(UINT codePage, DWORD flags, LPCWCH text, int length, LPSTR bytes, int size,
                                    LPCCH defaultChar, LPBOOL usedDefault);
BOOL WINAPI FaultGetVersionExW(LPOSVERSIONINFOW version);
void WINAPI FaultGetLocalTime(LPSYSTEMTIME time);
DWORD WINAPI FaultGetCurrentProcessId();
ULONGLONG WINAPI FaultGetTickCount64();
void WINAPI FaultSleep(DWORD milliseconds);
UINT WINAPI FaultGetSystemWindowsDirectoryW(LPWSTR buffer, UINT size);
DWORD WINAPI FaultQueryDosDeviceW(LPCWSTR device, LPWSTR target, DWORD size);
LSTATUS WINAPI FaultRegOpenKeyExW(HKEY key, LPCWSTR subKey, DWORD options, REGSAM access, PHKEY opened);
LSTATUS WINAPI FaultRegQueryValueExW(HKEY key, LPCWSTR name, LPDWORD reserved, LPDWORD type, LPBYTE data,
                                     LPDWORD size);
LSTATUS WINAPI FaultRegCloseKey(HKEY key);
LSTATUS WINAPI FaultRegCreateKeyExW(HKEY key, LPCWSTR subKey, DWORD reserved, LPWSTR keyClass, DWORD options,
                                    REGSAM access, const LPSECURITY_ATTRIBUTES security, PHKEY created,
                                    LPDWORD disposition);
LSTATUS WINAPI FaultRegSetValueExW(HKEY key, LPCWSTR name, DWORD reserved, DWORD type, const BYTE* data, DWORD size);
LSTATUS WINAPI FaultRegDeleteKeyExW(HKEY key, LPCWSTR subKey, REGSAM view, DWORD reserved);
LSTATUS WINAPI FaultRegEnumKeyExW(HKEY key, DWORD index, LPWSTR name, LPDWORD chars, LPDWORD reserved,
                                  LPWSTR keyClass, LPDWORD classChars, PFILETIME written);
BOOL WINAPI FaultMoveFileExW(LPCWSTR from, LPCWSTR to, DWORD flags);
HRESULT WINAPI FaultSHGetKnownFolderPath(REFKNOWNFOLDERID id, DWORD flags, HANDLE token, PWSTR* path);
void WINAPI FaultCoTaskMemFree(LPVOID block);
HANDLE WINAPI FaultCreateFileMappingW(HANDLE file, LPSECURITY_ATTRIBUTES security, DWORD protect, DWORD sizeHigh,
                                     DWORD sizeLow, LPCWSTR name);
LPVOID WINAPI FaultMapViewOfFile(HANDLE mapping, DWORD access, DWORD offsetHigh, DWORD offsetLow, SIZE_T bytes);
BOOL WINAPI FaultUnmapViewOfFile(LPCVOID view);
LPWCH WINAPI FaultGetEnvironmentStringsW();
BOOL WINAPI FaultFreeEnvironmentStringsW(LPWCH block);
UINT WINAPI FaultGetSystemDirectoryW(LPWSTR buffer, UINT size);

#define HeapAlloc FaultHeapAlloc
#define HeapReAlloc FaultHeapReAlloc
#define HeapFree FaultHeapFree
#define CreateFileW FaultCreateFileW
#define WriteFile FaultWriteFile
#define CloseHandle FaultCloseHandle
#define DeleteFileW FaultDeleteFileW
#define CreateDirectoryW FaultCreateDirectoryW
#define GetFileAttributesW FaultGetFileAttributesW
#define FindFirstFileW FaultFindFirstFileW
#define FindClose FaultFindClose
#define GetTempPathW FaultGetTempPathW
#define FindResourceExA FaultFindResourceExA
#define LoadResource FaultLoadResource
#define SizeofResource FaultSizeofResource
#define LockResource FaultLockResource
#define LoadStringW FaultLoadStringW
#define SHGetFolderPathW FaultSHGetFolderPathW
#define GetCommandLineW FaultGetCommandLineW
#define CommandLineToArgvW FaultCommandLineToArgvW
#define FormatMessageW FaultFormatMessageW
#define LocalFree FaultLocalFree
#define MessageBoxW FaultMessageBoxW
#define MessageBoxExW FaultMessageBoxExW
#define LoadLibraryExW FaultLoadLibraryExW
#define LoadLibraryW FaultLoadLibraryW
#define GetProcAddress FaultGetProcAddress
#define FreeLibrary FaultFreeLibrary
#define OpenProcessToken FaultOpenProcessToken
#define GetTokenInformation FaultGetTokenInformation
#define GetModuleFileNameW FaultGetModuleFileNameW
#define GetCurrentDirectoryW FaultGetCurrentDirectoryW
#define ShellExecuteExW FaultShellExecuteExW
#define InitiateSystemShutdownExW FaultInitiateSystemShutdownExW
#define CreateProcessW FaultCreateProcessW
#define WaitForSingleObject FaultWaitForSingleObject
#define GetExitCodeProcess FaultGetExitCodeProcess
#define GetFileType FaultGetFileType
#define GetFileInformationByHandle FaultGetFileInformationByHandle
#define ConvertStringSecurityDescriptorToSecurityDescriptorW FaultConvertStringSecurityDescriptorToSecurityDescriptorW
#define GetSecurityInfo FaultGetSecurityInfo
#define GetFinalPathNameByHandleW FaultGetFinalPathNameByHandleW
#define SetFileInformationByHandle FaultSetFileInformationByHandle
#define ReadFile FaultReadFile
#define GetFileSizeEx FaultGetFileSizeEx
#define SetFilePointerEx FaultSetFilePointerEx
#define RemoveDirectoryW FaultRemoveDirectoryW
#define FindNextFileW FaultFindNextFileW
#define GetDriveTypeW FaultGetDriveTypeW
#define ReOpenFile FaultReOpenFile
#define WideCharToMultiByte FaultWideCharToMultiByte
#define GetVersionExW FaultGetVersionExW
#define GetLocalTime FaultGetLocalTime
#define GetCurrentProcessId FaultGetCurrentProcessId
#define GetTickCount64 FaultGetTickCount64
#define Sleep FaultSleep
#define GetSystemWindowsDirectoryW FaultGetSystemWindowsDirectoryW
#define QueryDosDeviceW FaultQueryDosDeviceW
#define RegOpenKeyExW FaultRegOpenKeyExW
#define RegQueryValueExW FaultRegQueryValueExW
#define RegCloseKey FaultRegCloseKey
#define RegCreateKeyExW FaultRegCreateKeyExW
#define RegSetValueExW FaultRegSetValueExW
#define RegDeleteKeyExW FaultRegDeleteKeyExW
#define RegEnumKeyExW FaultRegEnumKeyExW
#define MoveFileExW FaultMoveFileExW
#define SHGetKnownFolderPath FaultSHGetKnownFolderPath
#define CoTaskMemFree FaultCoTaskMemFree
#define CreateFileMappingW FaultCreateFileMappingW
#define MapViewOfFile FaultMapViewOfFile
#define UnmapViewOfFile FaultUnmapViewOfFile
#define GetEnvironmentStringsW FaultGetEnvironmentStringsW
#define FreeEnvironmentStringsW FaultFreeEnvironmentStringsW
#define GetSystemDirectoryW FaultGetSystemDirectoryW
