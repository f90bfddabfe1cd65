// Helpers for tests that run real Windows programs under Wine and need to see
// the message boxes they show.
//
//   MessageBoxWatcher watcher;            // starts polling at once
//   ... run something that may show boxes ...
//   std::vector<ObservedBox> boxes = watcher.Stop();
//
// The watcher is a background thread that polls EnumWindows every 20 ms for
// visible top-level windows of class "#32770" (message boxes and other dialogs)
// in the whole session, records each one once (caption, the non-empty texts of
// its "Static" children joined by '\n', whether it shows an icon, owning
// process id) and answers it by
// posting WM_COMMAND with the chosen button (IDOK by default). Boxes of every
// process are recorded: under scripts/session.sh a test has the Wine session
// to itself, so a box that appears belongs to the test.
//
//   RunResult run = RunWatched(L"\"Z:\\...\\setup.exe\" /?");
//   run.started, run.finished (false: killed after the timeout), run.exitCode,
//   run.boxes (what the watcher saw while the process ran).
//
//   DWORD code; RunProcess(commandLine, timeoutMs, &code) -> false when the
//   process could not be started or did not end in time (it is then killed).
//
//   WindowsPathFromUnix("/work/build/bin/setup.exe") -> L"Z:\\work\\build\\bin\\setup.exe"
//   (Wine maps the Unix root to drive Z:, so a build path that CMake passes in
//   as a definition or argument can be used by CreateProcessW.)
//   Quoted(path) -> the path in double quotes, for a command line.
//
// Everything here is for tests only: it uses the C++ library freely.
#pragma once

#include <windows.h>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

// Calls `poll` on a thread of its own every `intervalMs`, and once more as it
// stops: what appears just before the stop is still seen.
class PollingThread {
public:
    PollingThread(DWORD intervalMs, std::function<void()> poll);
    ~PollingThread() { Stop(); }
    PollingThread(const PollingThread&) = delete;
    PollingThread& operator=(const PollingThread&) = delete;
    void Stop();

private:
    static DWORD WINAPI ThreadMain(void* self);
    DWORD interval_;
    std::function<void()> poll_;
    HANDLE stop_;
    HANDLE thread_;
};

struct ObservedBox {
    std::wstring caption;
    std::wstring text;
    bool hasIcon = false;   // a visible icon (MB_ICONERROR and the like)
    DWORD processId = 0;
};

class MessageBoxWatcher {
public:
    explicit MessageBoxWatcher(WPARAM answer = IDOK);
    MessageBoxWatcher(const MessageBoxWatcher&) = delete;
    MessageBoxWatcher& operator=(const MessageBoxWatcher&) = delete;

    // Stops polling (after one last look) and hands out every box seen so far.
    std::vector<ObservedBox> Stop();

private:
    void PollOnce();

    WPARAM answer_;
    std::mutex lock_;
    std::vector<HWND> answered_;
    std::vector<ObservedBox> boxes_;
    PollingThread poller_;   // last: it starts once the rest is there
};

// Reads one dialog window: its caption and the non-empty Static texts.
ObservedBox ReadBox(HWND box);

struct RunResult {
    bool started = false;
    bool finished = false;
    DWORD exitCode = 0xFFFFFFFF;
    std::vector<ObservedBox> boxes;
};

bool RunProcess(const std::wstring& commandLine, DWORD timeoutMs, DWORD* exitCode);

struct Captured {
    DWORD exitCode = 0xFFFFFFFF;
    std::string errorText;    // standard error, UTF-8
    std::string outputText;   // standard output, UTF-8
};
// A Linux program (a Windows path to it) run with the arguments of a Windows
// command line, each Windows path among them in the Linux form; exitCode
// 0xFFFFFFFF when it did not end within a minute.
Captured RunLinuxProgram(const std::wstring& program, const std::wstring& arguments);
// The Linux path of a Windows path (a text that is none stays as it is).
std::wstring UnixPathOf(const std::wstring& windowsPath);
// A process started and left running (null when it could not be started), and
// the wait for its exit code; one that does not end in time is killed.
HANDLE StartProcess(const std::wstring& commandLine, bool limited);
bool WaitForExit(HANDLE process, DWORD timeoutMs, DWORD* exitCode);
// `limited`: with the unelevated half of the test's token, as a user's
// unelevated program runs.
RunResult RunWatched(const std::wstring& commandLine, DWORD timeoutMs = 60000, WPARAM answer = IDOK,
                     bool limited = false);

std::wstring WindowsPathFromUnix(const char* unixPath);
std::wstring Quoted(const std::wstring& path);
// An installer storage of the given kind (INSTALLER_TRANSFORM, INSTALLER_PATCH)
// holding `text`, as the packer takes it for a transform or a patch; and the
// text read back from such a file (empty when it holds none).
constexpr unsigned long INSTALLER_TRANSFORM = 0x000C1082;
constexpr unsigned long INSTALLER_PATCH = 0x000C1086;
bool WriteInstallerStorage(const std::wstring& path, unsigned long kind, const std::string& text);
std::string InstallerStorageText(const std::wstring& path);

// One resource's bytes, and a bundle's language-neutral MANIFEST replaced.
std::string ResourceBytes(const std::wstring& module, LPCWSTR type, LPCWSTR name, WORD language);
// A payload of a bundle where the setup program finds it: listed in PAYLOADS
// after the image, else a data resource; empty when it is neither. And the
// names PAYLOADS lists, in their order.
std::string PayloadBytes(const std::wstring& bundle, const std::string& name);
std::vector<std::string> ListedPayloads(const std::wstring& bundle);
bool WriteManifest(const std::wstring& bundle, const std::string& bytes);

// UTF-8 to UTF-16 and back, for texts that cross the Linux/Windows border.
std::wstring WideFromUtf8(const std::string& text);
std::string Utf8FromWide(const std::wstring& text);

// The bundle's own window, as a person meets it: the visible top-level window
// of the run's process that is not one of its boxes (null after the timeout);
// the texts of its visible controls, one a line; a visible button by its text
// ('&' included), waited for; and a press of it (false when it is missing or
// disabled).
HWND FindSetupWindow(DWORD processId, DWORD timeoutMs = 30000);
std::vector<HWND> VisibleControls(HWND window);
std::wstring VisibleTexts(HWND window);
HWND FindButton(HWND window, const std::wstring& text, DWORD timeoutMs = 10000);
bool Press(HWND window, const std::wstring& text);

// The window's progress bar read every 50 ms (PBM_GETPOS, PBM_GETRANGE) until
// Stop; and its position now (-1 without a bar).
struct ProgressSample {
    int position;
    int high;
};
int ProgressPosition(HWND window);
class ProgressSampler {
public:
    explicit ProgressSampler(HWND window);
    ProgressSampler(const ProgressSampler&) = delete;
    ProgressSampler& operator=(const ProgressSampler&) = delete;
    std::vector<ProgressSample> Stop();

private:
    void SampleOnce();
    HWND window_;
    std::vector<ProgressSample> samples_;
    PollingThread poller_;
};
