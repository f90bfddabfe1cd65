// A fresh folder under the Windows temporary folder for one test, removed with
// everything in it when the test ends. It can also stand in as the temporary
// folder itself (TMP and TEMP point at it), so that code which asks the platform
// for the temporary folder works in an empty, private place.
#pragma once

#include <windows.h>
#include <string>

class ScratchFolder {
public:
    ScratchFolder()
    {
        WCHAR temp[MAX_PATH];
        ::GetTempPathW(MAX_PATH, temp);
        static int serial = 0;
        path_ = std::wstring(temp) + L"ut-" + std::to_wstring(::GetCurrentProcessId()) +
                L"-" + std::to_wstring(++serial);
        RemoveTree(path_);
        ::CreateDirectoryW(path_.c_str(), nullptr);
    }

    ~ScratchFolder()
    {
        if (redirected_) {
            ::SetEnvironmentVariableW(L"TMP", savedTmp_.empty() ? nullptr : savedTmp_.c_str());
            ::SetEnvironmentVariableW(L"TEMP", savedTemp_.empty() ? nullptr : savedTemp_.c_str());
        }
        RemoveTree(path_);
    }

    ScratchFolder(const ScratchFolder&) = delete;
    ScratchFolder& operator=(const ScratchFolder&) = delete;

    const std::wstring& Path() const { return path_; }
    std::wstring operator/(const std::wstring& name) const { return path_ + L"\\" + name; }

    // Make this folder the process's temporary folder until the test ends.
    void BecomeTempFolder()
    {
        savedTmp_ = Variable(L"TMP");
        savedTemp_ = Variable(L"TEMP");
        redirected_ = true;
        ::SetEnvironmentVariableW(L"TMP", path_.c_str());
        ::SetEnvironmentVariableW(L"TEMP", path_.c_str());
    }

    // A drive letter ("Q:") that names no drive here, or the empty text.
    static std::wstring MissingDrive()
    {
        const DWORD drives = ::GetLogicalDrives();
        for (WCHAR letter = L'Q'; letter <= L'Y'; ++letter) {
            if (!(drives & (1u << (letter - L'A')))) {
                return std::wstring(1, letter) + L":";
            }
        }
        return std::wstring();
    }

    static bool Exists(const std::wstring& path)
    {
        return ::GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
    }

    static bool IsFolder(const std::wstring& path)
    {
        const DWORD attributes = ::GetFileAttributesW(path.c_str());
        return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
    }

    static void WriteFile(const std::wstring& path, const std::string& content)
    {
        HANDLE file = ::CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                    FILE_ATTRIBUTE_NORMAL, nullptr);
        DWORD written = 0;
        ::WriteFile(file, content.data(), static_cast<DWORD>(content.size()), &written, nullptr);
        ::CloseHandle(file);
    }

    static std::string ReadFile(const std::wstring& path)
    {
        std::string content;
        HANDLE file = ::CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                    OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (file == INVALID_HANDLE_VALUE) {
            return content;
        }
        char chunk[65536];
        DWORD read = 0;
        while (::ReadFile(file, chunk, sizeof(chunk), &read, nullptr) && read > 0) {
            content.append(chunk, read);
        }
        ::CloseHandle(file);
        return content;
    }

    // Number of entries in a folder, "." and ".." not counted.
    static int CountEntries(const std::wstring& folder)
    {
        int count = 0;
        WIN32_FIND_DATAW entry;
        HANDLE find = ::FindFirstFileW((folder + L"\\*").c_str(), &entry);
        if (find == INVALID_HANDLE_VALUE) {
            return 0;
        }
        do {
            if (!IsDots(entry.cFileName)) {
                ++count;
            }
        } while (::FindNextFileW(find, &entry));
        ::FindClose(find);
        return count;
    }

    // Deletes a folder with everything in it.
    static void RemoveTree(const std::wstring& folder)
    {
        WIN32_FIND_DATAW entry;
        HANDLE find = ::FindFirstFileW((folder + L"\\*").c_str(), &entry);
        if (find != INVALID_HANDLE_VALUE) {
            do {
                if (IsDots(entry.cFileName)) {
                    continue;
                }
                const std::wstring child = folder + L"\\" + entry.cFileName;
                ::SetFileAttributesW(child.c_str(), FILE_ATTRIBUTE_NORMAL);
                if (entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
                    RemoveTree(child);
                } else {
                    ::DeleteFileW(child.c_str());
                }
            } while (::FindNextFileW(find, &entry));
            ::FindClose(find);
        }
        ::RemoveDirectoryW(folder.c_str());
    }

private:
    static bool IsDots(const WCHAR* name)
    {
        return name[0] == L'.' && (name[1] == L'\0' || (name[1] == L'.' && name[2] == L'\0'));
    }

    static std::wstring Variable(const WCHAR* name)
    {
        WCHAR value[MAX_PATH * 2];
        const DWORD length = ::GetEnvironmentVariableW(name, value, MAX_PATH * 2);
        return (length > 0 && length < MAX_PATH * 2) ? std::wstring(value, length) : std::wstring();
    }

    std::wstring path_;
    std::wstring savedTmp_;
    std::wstring savedTemp_;
    bool redirected_ = false;
};

// The same path with forward slashes only, for the cases that must not be cut.
inline std::wstring Slashed(std::wstring path)
{
    for (WCHAR& c : path) {
        if (c == L'\\') {
            c = L'/';
        }
    }
    return path;
}
