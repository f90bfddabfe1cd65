// Payloads: the named data the program carries in its own file (packages,
// transforms, cabinets, programs), read through a handle to that file and
// never through the pages of its mapped image. A read that fails (a network
// share that went away) is then a result code the run can clean up after,
// where a mapped page would raise an in-page exception; and a payload of any
// size costs one buffer of a fixed size (FileutilCopyToNew).
//
// A payload lies either in a data resource of the image (as bundles of
// earlier packers carry it) or after the image, where the PAYLOADS data
// resource lists it, so that a bundle is not bound by what an image may hold.
// Bytes placed after the image and before a certificate table are covered by
// the file's signature.
#pragma once

#include <windows.h>
#include <stddef.h>

// The PAYLOADS data resource: one entry per payload that lies after the image,
// counted from the image's end in the file (the end of its last section's
// data, rounded up to the file alignment), so that the table stays true
// wherever the file itself lies. Bundles of earlier packers have none.
inline constexpr char PAYLOAD_TABLE_NAME[] = "PAYLOADS";
struct PayloadTableEntry {
    char name[12];      // as a data resource would be named ("MSI00"), with its NUL
    DWORD reserved;     // 0
    ULONGLONG offset;   // from the end of the image
    ULONGLONG size;
};
static_assert(sizeof(PayloadTableEntry) == 32 && offsetof(PayloadTableEntry, offset) == 16 &&
                  offsetof(PayloadTableEntry, size) == 24,
              "payload table layout");

// The image's end in its file, where the payloads after it begin: the end of
// the last section's data (from the end of the headers), rounded up to the
// file alignment as the linker pads the file. A section at a time, so that
// the packer can read them from a file as the program reads its own image.
ULONGLONG PayloadutilSectionEnd(ULONGLONG end, const IMAGE_SECTION_HEADER& section);
ULONGLONG PayloadutilAlignImageEnd(ULONGLONG end, DWORD fileAlignment);

// Where a payload's bytes lie in the program's file.
struct PayloadRange {
    ULONGLONG offset;
    ULONGLONG size;
};

// Opens the program's own file for reading, shared for reading only, so that
// nobody can write, rename or delete it while the handle is open, and proves
// that it is the file this process's image was mapped from (the running
// program may have been renamed and another file put at its name):
// RESULT_FILE_CHANGED when it is another.
HRESULT PayloadutilOpenProgramFile(HANDLE* file);
// Where the payload `name` lies in the program's file: listed in PAYLOADS, else
// a data resource of the image. 0x80070716 (resource name not found) when it is
// neither; RESULT_INVALID_DATA for an empty one, for one outside the file, and
// for one that reaches into the file's certificate table.
HRESULT PayloadutilLocate(HANDLE programFile, LPCSTR name, PayloadRange* range);
