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

// Runs a command line with standard error and output captured; exitCode 0xFFFFFFFF when
// the process could not be started or did not end within a minute.
Captured RunCapturing(const std::wstring& commandLine);
// setuppack.exe with the given arguments (already quoted as needed); its
// default stub is the i686 setup.exe. Bundles that are run take this build's
// own setup.exe: " /stub" + Arg(BinFile(L"setup.exe")).
Captured Pack(const std::wstring& arguments);

// The packer's two builds: setuppack.exe, and build/native/setuppack, the
// Linux program, which Wine starts as well (the same switches, messages and
// bundles; its paths in the Linux form).
enum class PackerBuild { Exe, Native };
// Whether build/native/setuppack is there; `where` gets its path.
bool NativePackerBuilt(std::wstring* where);
// A path as this build of the packer takes it and names it in its messages.
std::wstring PathFor(PackerBuild packer, const std::wstring& windowsPath);
// Pack() with either build: each argument that is a Windows path is given to
// the native packer in the Linux form.
Captured PackWith(PackerBuild packer, const std::wstring& arguments);
// The program under test with the given arguments; its exit code.
DWORD RunProgram(const std::wstring& exe, const std::wstring& arguments);

std::string ReadBytes(const std::wstring& path);
// The header's entry for the certificate table, in a 32-bit or a 64-bit program.
IMAGE_DATA_DIRECTORY* CertificateEntry(std::string& image);

// The names of a module's resources of one type (RT_RCDATA names upper case).
std::vector<std::wstring> DataResourceNames(const std::wstring& module, LPCWSTR type = RT_RCDATA);

std::wstring Arg(const std::wstring& path);   // a quoted argument with a leading space
