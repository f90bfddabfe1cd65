// The watcher is what every box assertion rests on: it must see a real box with
// its caption and text, answer it, and see nothing when nothing is shown.
#include <gtest/gtest.h>
#include "testsupport.h"

TEST(MessageBoxWatcher, ReadsAndAnswersABoxOfThisProcess)
{
    MessageBoxWatcher watcher;
    const int pressed = MessageBoxW(nullptr, L"first line\nsecond line", L"Watcher caption", MB_OK);
    const std::vector<ObservedBox> boxes = watcher.Stop();
    EXPECT_EQ(IDOK, pressed);
    ASSERT_EQ(1u, boxes.size());
    EXPECT_EQ(L"Watcher caption", boxes[0].caption);
    EXPECT_EQ(L"first line\nsecond line", boxes[0].text);
    EXPECT_FALSE(boxes[0].hasIcon);
    EXPECT_EQ(GetCurrentProcessId(), boxes[0].processId);
}

TEST(MessageBoxWatcher, AnswersEachOfSeveralBoxesOnce)
{
    MessageBoxWatcher watcher;
    MessageBoxW(nullptr, L"one", L"A", MB_OK | MB_ICONERROR);
    MessageBoxW(nullptr, L"two", L"B", MB_OK);
    const std::vector<ObservedBox> boxes = watcher.Stop();
    ASSERT_EQ(2u, boxes.size());
    EXPECT_EQ(L"one", boxes[0].text);
    EXPECT_TRUE(boxes[0].hasIcon);
    EXPECT_EQ(L"two", boxes[1].text);
    EXPECT_FALSE(boxes[1].hasIcon);
}

TEST(MessageBoxWatcher, SeesNothingWhenNoBoxIsShown)
{
    MessageBoxWatcher watcher;
    Sleep(100);
    EXPECT_TRUE(watcher.Stop().empty());
}

TEST(RunProcess, ReportsTheExitCodeOfAChild)
{
    DWORD code = 0;
    ASSERT_TRUE(RunProcess(L"cmd.exe /c exit 1641", 30000, &code));
    EXPECT_EQ(1641u, code);
}

TEST(RunProcess, FailsForAProgramThatDoesNotExist)
{
    DWORD code = 0;
    EXPECT_FALSE(RunProcess(L"Z:\\no\\such\\program.exe", 30000, &code));
    const RunResult run = RunWatched(L"Z:\\no\\such\\program.exe");
    EXPECT_FALSE(run.started);
}

TEST(RunProcess, KillsAChildThatOutlivesTheTimeout)
{
    DWORD code = 0;
    EXPECT_FALSE(RunProcess(L"ping.exe -n 30 127.0.0.1", 500, &code));
}

TEST(WindowsPathFromUnix, MapsTheRootToDriveZ)
{
    EXPECT_EQ(L"Z:\\work\\build\\bin\\setup.exe", WindowsPathFromUnix("/work/build/bin/setup.exe"));
    EXPECT_EQ(L"relative\\x", WindowsPathFromUnix("relative/x"));
    EXPECT_EQ(L"\"a b\"", Quoted(L"a b"));
}
