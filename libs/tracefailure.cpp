// The failure hook lives in a file of its own so that a test build can link a
// recording hook in its place.
#include "result.h"

void TraceFailure(const char* file, int line, HRESULT hr)
{
    (void)file;
    (void)line;
    (void)hr;
}
