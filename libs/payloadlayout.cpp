// Where the payloads after an image begin: pure arithmetic on the section
// headers, which the packer builds on every host (payloadutil.h).
#include "payloadutil.h"

ULONGLONG PayloadutilSectionEnd(ULONGLONG end, const IMAGE_SECTION_HEADER& section)
{
    const ULONGLONG sectionEnd = static_cast<ULONGLONG>(section.PointerToRawData) + section.SizeOfRawData;
    return section.SizeOfRawData != 0 && sectionEnd > end ? sectionEnd : end;
}

ULONGLONG PayloadutilAlignImageEnd(ULONGLONG end, DWORD fileAlignment)
{
    const ULONGLONG alignment = fileAlignment ? fileAlignment : 1;
    return (end + alignment - 1) / alignment * alignment;
}
