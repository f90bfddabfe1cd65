// Helpers shared by the tests that drive the fault build in-process: manifests
// built byte by byte, bytes that end at an inaccessible page, a sandbox that
// stands in for the temporary, application-data and output folders, and the
// scenario runner.
#pragma once

#include <windows.h>
#include <string>
#include <vector>
#include "faultcontrol.h"

struct PackageSpec {
    std::string resourceName;
    std::wstring fileName;
    GUID productCode;
    DWORD versionHigh;
    DWORD versionLow;
    DWORD flags;
};

struct TransformSpec {
    std::string resourceName;
    DWORD language;
};

struct CabinetSpec {
    std::string resourceName;
    DWORD packageIndex;
    std::wstring fileName;
};

std::vector<BYTE> BuildManifest(const std::vector<PackageSpec>& packages,
                                const std::vector<TransformSpec>& transforms);
// The CABINETS list.
std::vector<BYTE> BuildCabinets(const std::vector<CabinetSpec>& cabinets);

std::wstring GuidText(const GUID& guid);
std::wstring VersionText(DWORD high, DWORD low);

// Bytes placed so that the first byte behind them lies on a no-access page: a
// read beyond the end faults at once.
class GuardedBytes {
public:
    GuardedBytes() = default;
    GuardedBytes(const GuardedBytes&) = delete;
    GuardedBytes& operator=(const GuardedBytes&) = delete;
    ~GuardedBytes();
    const BYTE* Assign(const BYTE* data, size_t size);
    const BYTE* Data() const { return data_; }

private:
    void Release();
    BYTE* region_ = nullptr;
    size_t regionSize_ = 0;
    const BYTE* data_ = nullptr;
};

// Folders under the real temporary folder: tmp\ (what the program is told is
// its temporary folder), common\ and local\ (the application-data folders),
// win\ (the Windows folder) and out\ (extraction targets). Cleared before every run.
struct Sandbox {
    std::wstring root;     // ends with '\'
    std::wstring temp;
    std::wstring common;
    std::wstring local;
    std::wstring out;
    std::wstring windows;  // what the program is told is the Windows folder, with a Temp inside

    explicit Sandbox(const wchar_t* name);
    ~Sandbox();
    void Clear() const;
    void PointProgramHere() const;   // sets the fault world's folders and write roots
    // Everything below root, as upper-case paths relative to root; folders end with '\'.
    std::vector<std::wstring> Snapshot() const;
};

void RemoveTree(const std::wstring& folder, bool keepFolder);
bool ReadWholeFile(const std::wstring& path, std::string* content);
void WriteWholeFile(const std::wstring& path, const std::string& content);
// The bytes of a payload of the test executable: listed in its PAYLOADS after
// its image, else an RT_RCDATA resource.
std::string ResourceBytes(const char* name);

std::wstring Upper(std::wstring text);
bool EndsWith(const std::wstring& text, const std::wstring& tail);
bool StartsWith(const std::wstring& text, const std::wstring& head);
// A log directly in the sandbox's temporary folder or the Windows folder's
// Temp (an upper-case entry of Sandbox::Snapshot), where a run keeps its logs.
bool IsRunLogEntry(const std::wstring& entry);

// Leaks and stray writes that the books show after a run; empty when clean.
std::vector<std::string> BookProblems();

std::string Narrow(const std::wstring& text);
std::string Hex(HRESULT hr);

// Prints the run in progress when the process is about to die of a fault.
void SetCrashContext(const std::string& context);
