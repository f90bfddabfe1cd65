// The test side of the fault build: arms a countdown fault on one platform
// operation, points the temporary and application-data folders into a sandbox,
// plays the Windows Installer in-process (msi.dll is never loaded: the program's
// LoadLibrary/GetProcAddress of it are answered with the scripted operations
// below), and keeps the books that prove nothing leaked.
#pragma once

#include <windows.h>
#include <functional>
#include <deque>
#include <map>
#include <set>
#include <string>
#include <utility>
#include <vector>

enum FaultOp : int {
    FAULT_HEAP_ALLOC,
    FAULT_HEAP_REALLOC,
    FAULT_CREATE_FILE,
    FAULT_WRITE_FILE,
    FAULT_DELETE_FILE,
    FAULT_CREATE_DIRECTORY,
    FAULT_FILE_ATTRIBUTES,
    FAULT_FIND_FIRST_FILE,
    FAULT_TEMP_PATH,
    FAULT_FIND_RESOURCE,
    FAULT_LOAD_RESOURCE,
    FAULT_SIZEOF_RESOURCE,
    FAULT_LOCK_RESOURCE,
    FAULT_LOAD_STRING,
    FAULT_FOLDER_PATH,
    FAULT_SPLIT_COMMAND_LINE,
    FAULT_FORMAT_MESSAGE,
    FAULT_LOAD_LIBRARY,
    FAULT_PROC_ADDRESS,
    FAULT_MSI_ENABLE_LOG,
    FAULT_MSI_QUERY,
    FAULT_MSI_INSTALL,
    FAULT_MSI_PATCH,
    FAULT_MSI_CONFIGURE,
    FAULT_OPEN_TOKEN,
    FAULT_TOKEN_INFORMATION,
    FAULT_MODULE_FILE_NAME,
    FAULT_CURRENT_DIRECTORY,
    FAULT_SHELL_EXECUTE,
    FAULT_WAIT,
    FAULT_EXIT_CODE,
    FAULT_FILE_TYPE,
    FAULT_FILE_INFORMATION,
    FAULT_DESCRIPTOR_FROM_TEXT,
    FAULT_GET_SECURITY,
    FAULT_FINAL_PATH,
    FAULT_SET_FILE_INFORMATION,
    FAULT_READ_FILE,          // ReadFile, GetFileSizeEx and SetFilePointerEx: a file read back
    FAULT_REMOVE_DIRECTORY,
    FAULT_FIND_NEXT_FILE,
    FAULT_DRIVE_TYPE,
    FAULT_UNIVERSAL_NAME,
    FAULT_MSI_ENUM,
    FAULT_MITIGATION,
    FAULT_REOPEN_FILE,
    FAULT_TO_UTF8,
    FAULT_VERSION_INFO,
    FAULT_WINDOWS_FOLDER,
    FAULT_QUERY_DOS_DEVICE,
    FAULT_CREATE_PROCESS,
    FAULT_MSI_STATE,
    FAULT_MSI_RELATED,
    FAULT_REG_OPEN,
    FAULT_REG_QUERY,
    FAULT_KNOWN_FOLDER,
    FAULT_LOAD_VERSION,       // LoadLibrary of version.dll
    FAULT_FILE_VERSION,       // GetFileVersionInfoSizeW, GetFileVersionInfoW and VerQueryValueW
    FAULT_MAP_FILE,           // CreateFileMappingW and MapViewOfFile
    FAULT_SAME_FILE,          // NtAreMappedFilesTheSame: the program's file proven to be its image's
    FAULT_REG_CREATE,
    FAULT_REG_SET,
    FAULT_REG_DELETE,
    FAULT_REG_ENUM,
    FAULT_MOVE_FILE,
    FAULT_SHORT_WRITE,        // WriteFile succeeds with part of the data written
    FAULT_ENVIRONMENT,        // GetEnvironmentStringsW: a prerequisite program's environment
    FAULT_SYSTEM_FOLDER,      // GetSystemDirectoryW
    FAULT_OP_COUNT
};

// How the program must react when the operation fails.
enum class FaultReaction {
    Fails,        // the run ends with `failure`, or succeeds where the failure is tolerated
    Ignored,      // the outcome is never examined: the run must end as without the fault
    Probe,        // a yes/no test: any clean result is acceptable
};

struct FaultOpInfo {
    const char* name;
    HRESULT failure;   // the result the program reports for this fault
    FaultReaction reaction;
};

const FaultOpInfo& FaultInfo(int op);

// Ordinals of the installer's operations, as msi.dll exports them.
constexpr int MSI_ENUM_PRODUCTS = 45;
constexpr int MSI_GET_PRODUCT_INFO = 70;
constexpr int MSI_INSTALL_PRODUCT = 88;
constexpr int MSI_SET_INTERNAL_UI = 141;
constexpr int MSI_ENABLE_LOG = 169;
constexpr int MSI_APPLY_PATCH = 175;
constexpr int MSI_CONFIGURE_PRODUCT_EX = 190;
constexpr int MSI_QUERY_PRODUCT_STATE = 113;
constexpr int MSI_ENUM_RELATED_PRODUCTS = 205;
constexpr int MSI_GET_PRODUCT_INFO_EX = 248;

struct InstallerCall {
    int ordinal = 0;
    std::wstring target;        // package path, patch path or product code
    std::wstring commandLine;
    DWORD uiLevel = 0;
    std::wstring logPath;
    DWORD logMode = 0;
    DWORD logAttributes = 0;
    UINT result = 0;
};

// What the token query answers about elevation.
enum class TokenAnswer { Real, Elevated, NotElevated };

// A ShellExecuteExW request as the program made it.
struct ShellExecuteCall {
    std::wstring verb;
    std::wstring file;
    std::wstring parameters;
    std::wstring directory;
};

// A CreateProcessW request as the program made it.
struct ProcessStart {
    std::wstring application;
    std::wstring commandLine;
    std::wstring directory;
    bool inheritsHandles;
    std::string bytes;    // of the program file at the start
    bool held;            // nobody could open the program file for writing then
    HANDLE process = nullptr;   // an event standing in for the process, when it was started
    bool codeRead = false;      // the program read its exit code
};

struct FaultWorld {
    // Set by the test.
    std::wstring tempPath;             // what GetTempPathW answers (ends with '\'); empty: the real one
    std::wstring commonAppData;        // CSIDL_COMMON_APPDATA; empty: the real one
    std::wstring localAppData;         // CSIDL_LOCAL_APPDATA; empty: the real one
    std::wstring windowsFolder;        // GetSystemWindowsDirectoryW; empty: the real one
    std::wstring commandLine;          // what GetCommandLineW answers; empty: the real one
    std::vector<std::wstring> writeRoots;   // every write must land under one of them (if any given)
    std::vector<std::pair<std::wstring, std::wstring>> installedVersions;  // product code, version text
    std::vector<std::pair<std::wstring, std::wstring>> relatedProducts;    // upgrade code, product code
    // Decides the result of an install or patch request that is not a fault.
    std::function<UINT(const InstallerCall&)> installerResult;
    const BYTE* manifestOverride = nullptr;   // served as the "MANIFEST" resource when set
    const BYTE* cabinetsOverride = nullptr;   // served as the "CABINETS" resource when set
    DWORD cabinetsOverrideSize = 0;
    const BYTE* registrationOverride = nullptr;   // served as the "REGISTRATION" resource when set
    DWORD registrationOverrideSize = 0;
    bool searchFlagsRefused = false;          // LoadLibraryExW refuses LOAD_LIBRARY_SEARCH_SYSTEM32, as old systems do
    DWORD manifestOverrideSize = 0;
    TokenAnswer tokenElevation = TokenAnswer::Real;
    // ShellExecuteExW never starts the program itself: it fails as a declined
    // elevation prompt does (ERROR_CANCELLED), or starts a process that exits
    // with this code.
    bool elevationDeclined = false;
    DWORD elevatedCopyExitCode = 0;
    // Wine keeps no descriptors and has no junctions: by full path, the owner
    // and DACL GetSecurityInfo reports for a folder (SDDL; a folder not named
    // gets Wine's answer, owned by the running user), the folders that
    // GetFileInformationByHandle reports as reparse points, and the final path
    // GetFinalPathNameByHandleW reports for an entry that a link leads elsewhere.
    std::map<std::wstring, std::wstring> folderSecurity;
    std::set<std::wstring> reparsePoints;
    std::map<std::wstring, std::wstring> finalPaths;
    // Drive letters (upper case) that are network drives, and the server's
    // name of each ("\\server\share").
    std::map<wchar_t, std::wstring> networkDrives;
    // A hold on a file whose upper-cased path ends so finds another file than
    // the one written (another volume serial or file index).
    std::wstring holdFindsAnotherFileOf;
    // Drive letters (upper case) made with SUBST, and the folder each stands for.
    std::map<wchar_t, std::wstring> substDrives;
    // The file at the program's name is not the one its image was mapped from
    // (renamed, and another put in its place): so NtAreMappedFilesTheSame answers.
    bool programFileReplaced = false;
    // What the platform's random numbers are to be: each 8-byte request takes
    // the next value while there is one.
    std::deque<ULONGLONG> randomValues;

    // The armed fault: the armedAt-th call of armedOp fails (and every later
    // one too when persistent).
    int armedOp = -1;
    unsigned armedAt = 0;
    bool persistent = false;
    unsigned injected = 0;

    // Books of the current run.
    unsigned calls[FAULT_OP_COUNT] = {};
    std::set<void*> liveBlocks;
    std::set<HANDLE> liveFiles;
    std::set<HANDLE> liveFinds;
    std::set<LPWCH> liveEnvironments;   // environment blocks not yet freed
    std::set<void*> liveViews;          // mapped views of files not yet unmapped
    std::set<HLOCAL> liveMessages;
    std::set<HLOCAL> liveArgv;
    std::set<HLOCAL> liveDescriptors;   // security descriptors handed out for LocalFree
    int liveModules = 0;                // over the whole process: msi.dll may stay loaded
    int liveVersionLibraries = 0;       // version.dll loads not yet freed
    std::set<HKEY> liveKeys;
    std::set<void*> liveFolderPaths;    // known-folder texts to be freed with CoTaskMemFree
    unsigned unknownReleases = 0;       // frees and closes of things the program did not get here
    unsigned fileTouches = 0;           // creates, writes, moves, deletes, folder creates; numbered logs aside
    std::vector<std::wstring> writesOutsideRoots;
    std::set<std::wstring> refusedDeletes;   // upper-cased full paths whose delete a fault refused
    std::vector<std::pair<std::wstring, std::wstring>> boxes;   // caption, text
    std::vector<InstallerCall> journal;      // install, patch and configure requests
    std::vector<ShellExecuteCall> shellExecutes;
    // Each shutdown request: timeout, force, restart, reason, and whether the
    // process's token had the shutdown privilege enabled at the call. Nothing
    // restarts.
    std::vector<std::vector<DWORD>> shutdowns;
    std::vector<ProcessStart> processStarts;
    bool programFileHeldAtStart = false;     // at the last ShellExecuteExW
    // Upper-cased full path and the security asked for, rendered as SDDL: the
    // descriptor of each folder CreateDirectoryW made (empty without one).
    std::vector<std::pair<std::wstring, std::wstring>> foldersMade;
    std::vector<std::wstring> deletedByHandle;   // upper-cased paths the program deleted through a handle
    std::vector<std::pair<int, DWORD>> mitigations;   // SetProcessMitigationPolicy: policy, first flags word
    unsigned tempPath2Calls = 0;             // temporary folder asked of GetTempPath2W
    unsigned logFaults = 0;                  // injected faults that hit the writing of a log
    // The clock: GetTickCount64 answers it, Sleep advances it and is recorded
    // instead of sleeping, so that long waits take no time.
    ULONGLONG clock = 0;
    std::vector<DWORD> sleeps;
    unsigned installerSettings = 0;          // UI level and log calls
    unsigned productListings = 0;            // complete listings of the installed products
    std::set<std::pair<std::string, int>> runSites;
    bool registrationLookupFailed = false;   // a fault hit the lookup of "REGISTRATION": the bundle is none
};

extern FaultWorld Fault;

// Failure sites reached by TraceFailure over the whole process.
const std::set<std::pair<std::string, int>>& FaultSitesReached();

// Clears the books and the armed fault before a run; the configuration stays.
void FaultBeginRun();
void FaultArm(int op, unsigned at, bool persistent);
bool FaultReached();

// Upper-cased full path of a Windows path (for comparisons).
std::wstring FaultNormalizePath(const std::wstring& path);
