// What the read-back of an elevated run costs: this program, packed as the
// stub of a bundle, writes the bundle's first payload (MSI00) into the
// temporary folder as a setup run does (ResrutilWriteHeldFile), once without
// and once with the read-back, ROUNDS times in alternation, and prints the
// medians in milliseconds:
//   benchreadback ROUNDS   ->  "write 123.4 ms, write and read back 234.5 ms"
#include <windows.h>
#include <stdio.h>
#include <stdlib.h>
#include <algorithm>
#include <vector>
#include "dirutil.h"
#include "fileutil.h"
#include "resrutil.h"

namespace {

double Milliseconds(LARGE_INTEGER from, LARGE_INTEGER to)
{
    LARGE_INTEGER frequency = {};
    ::QueryPerformanceFrequency(&frequency);
    return 1000.0 * static_cast<double>(to.QuadPart - from.QuadPart) / static_cast<double>(frequency.QuadPart);
}

// One write into the folder, timed; the file is deleted again.
bool TimeWrite(const HeldFolder* folder, BOOL verify, double* milliseconds)
{
    WCHAR path[MAX_PATH];
    HANDLE held = INVALID_HANDLE_VALUE;
    LARGE_INTEGER start = {};
    LARGE_INTEGER end = {};
    ::QueryPerformanceCounter(&start);
    const HRESULT hr = ResrutilWriteHeldFile(folder, "MSI00", L"readback.msi", verify, path, &held);
    ::QueryPerformanceCounter(&end);
    if (FAILED(hr)) {
        fprintf(stderr, "benchreadback: writing failed with 0x%08lX\n", static_cast<unsigned long>(hr));
        return false;
    }
    ::CloseHandle(held);
    FileutilDeleteInFolder(folder, path);
    *milliseconds = Milliseconds(start, end);
    return true;
}

double Median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

} // namespace

int wmain(int argc, wchar_t** argv)
{
    const int rounds = argc > 1 ? _wtoi(argv[1]) : 5;
    WCHAR temp[MAX_PATH];
    HeldFolder folder = NoHeldFolder();
    std::vector<double> plain;
    std::vector<double> checked;
    if (rounds < 1 || FAILED(DirutilGetTempFolder(temp)) || S_OK != DirutilOpenWhereItIs(temp, &folder)) {
        fprintf(stderr, "benchreadback: usage: benchreadback ROUNDS, packed as a bundle's stub\n");
        return 1;
    }
    for (int k = 0; k < rounds; ++k) {
        double milliseconds = 0;
        for (const BOOL verify : {k % 2 == 0, k % 2 != 0}) {
            if (!TimeWrite(&folder, verify, &milliseconds)) {
                DirutilClose(&folder);
                return 1;
            }
            (verify ? checked : plain).push_back(milliseconds);
        }
    }
    DirutilClose(&folder);
    printf("write %.1f ms, write and read back %.1f ms\n", Median(plain), Median(checked));
    return 0;
}
