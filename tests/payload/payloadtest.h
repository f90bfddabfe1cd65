// Helpers of the payload tests: the programs under test, the test packages,
// running a console program with its standard error, and reading or damaging
// the resources of a bundle.
#pragma once

#include <windows.h>
#include <string>
#include <vector>
#include "scratchfolder.h"
#include "testsupport.h"

std::wstring BinFile(const wchar_t* name);    // build/bin/<name>
std::wstring DataFile(const wchar_t* name);   // the test packages

struct Captured {
    DWORD exitCode = 0xFFFFFFFF;
    std::string errorText;    // standard error, UTF-8
    std::string outputText;   // standard output, UTF-8
};

// Runs a command line with standard error and output captured; exitCode 0xFFFFFFFF when
// the process could not be started or did not end within a minute.
Captured RunCapturing(const std::wstring& commandLine);
// setuppack.exe with the given arguments (already quoted as needed); its
// default stub is the i686 setup.exe. Bundles that are run take this build's
// own setup.exe: " /stub" + Arg(BinFile(L"setup.exe")).
Captured Pack(const std::wstring& arguments);
// The program under test with the given arguments; its exit code.
DWORD RunProgram(const std::wstring& exe, const std::wstring& arguments);

std::string ReadBytes(const std::wstring& path);
// The header's entry for the certificate table, in a 32-bit or a 64-bit program.
IMAGE_DATA_DIRECTORY* CertificateEntry(std::string& image);

// The names of a module's resources of one type (RT_RCDATA names upper case).
std::vector<std::wstring> DataResourceNames(const std::wstring& module, LPCWSTR type = RT_RCDATA);

std::wstring Arg(const std::wstring& path);   // a quoted argument with a leading space
