// The resource section of a Windows image, read and written by the packer
// itself: the same resources in the same bytes on every host, no time stamp.
// The image is held in memory whole (the stub, cut to its image: a few
// hundred KiB); its resource section must be its last, as the program's
// section layout has it, so that nothing behind it has to move.
#pragma once

#include <stddef.h>
#include <stdint.h>
#include <string>
#include <vector>

// A resource's type or name: a number, or a name of UTF-16 code units.
struct ResourceKey {
    uint16_t id = 0;       // when `name` is empty
    std::u16string name;
};

struct Resource {
    ResourceKey type;
    ResourceKey name;
    uint16_t language = 0;
    std::vector<uint8_t> data;
};

// Resources keyed by type, name and language; Set replaces an equal key.
class ResourceTable {
public:
    void Set(const ResourceKey& type, const ResourceKey& name, uint16_t language, const void* data, size_t size);
    const std::vector<Resource>& All() const { return resources_; }
private:
    std::vector<Resource> resources_;
};

// Every resource of the image, in the directory's order; false, with a
// phrase in `reason`, when the directory is damaged or lies outside the file.
bool ReadImageResources(const std::vector<uint8_t>& image, std::vector<Resource>* resources, const char** reason);
// Writes `table` as the image's resource section, in place of the one it had:
// the directory sorted as the loader searches it (names before numbers, each
// in ascending order), then the data entries, the names, and the data, each
// at an 8-byte boundary; the section's sizes, the image's size and the
// header's resource entry follow. The file is cut after the section.
bool ReplaceImageResources(std::vector<uint8_t>* image, const ResourceTable& table, const char** reason);
