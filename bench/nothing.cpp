// A process that does nothing: the cost of starting and ending any program,
// against which setup.exe's own start-up is measured. It has no run-time
// start-up code and imports kernel32 only.
#include <windows.h>

extern "C" void NothingStartup()
{
    ::ExitProcess(0);
}
