#include "rsrcsection.h"

#include <algorithm>
#include <string.h>

namespace {

constexpr uint32_t SUBDIRECTORY = 0x80000000u;
constexpr uint32_t NAMED = 0x80000000u;
constexpr uint32_t DIRECTORY_BYTES = 16;
constexpr uint32_t ENTRY_BYTES = 8;
constexpr uint32_t DATA_ENTRY_BYTES = 16;
constexpr uint32_t SECTION_HEADER_BYTES = 40;
constexpr uint32_t RESOURCE_DIRECTORY_INDEX = 2;
constexpr uint32_t DATA_ALIGNMENT = 8;
constexpr int MAX_DEPTH = 3;

uint16_t Get16(const std::vector<uint8_t>& bytes, size_t at)
{
    return static_cast<uint16_t>(bytes[at] | bytes[at + 1] << 8);
}

uint32_t Get32(const std::vector<uint8_t>& bytes, size_t at)
{
    return static_cast<uint32_t>(bytes[at]) | static_cast<uint32_t>(bytes[at + 1]) << 8 |
           static_cast<uint32_t>(bytes[at + 2]) << 16 | static_cast<uint32_t>(bytes[at + 3]) << 24;
}

void Put16(std::vector<uint8_t>* bytes, size_t at, uint16_t value)
{
    (*bytes)[at] = static_cast<uint8_t>(value);
    (*bytes)[at + 1] = static_cast<uint8_t>(value >> 8);
}

void Put32(std::vector<uint8_t>* bytes, size_t at, uint32_t value)
{
    for (int i = 0; i < 4; ++i) {
        (*bytes)[at + i] = static_cast<uint8_t>(value >> (8 * i));
    }
}

uint32_t AlignUp(uint32_t value, uint32_t alignment)
{
    return alignment ? (value + alignment - 1) / alignment * alignment : value;
}

// Where the headers' fields lie.
struct ImageLayout {
    size_t fileHeader;
    size_t optional;
    size_t sections;
    uint16_t sectionCount;
    size_t resourceEntry;   // the data directory's resource entry
    uint32_t sectionAlignment;
    uint32_t fileAlignment;
};

bool Within(const std::vector<uint8_t>& image, size_t at, size_t size)
{
    return at <= image.size() && size <= image.size() - at;
}

bool ReadLayout(const std::vector<uint8_t>& image, ImageLayout* layout, const char** reason)
{
    *reason = "no Windows program";
    if (!Within(image, 0, 64) || Get16(image, 0) != 0x5A4D) return false;
    const uint32_t nt = Get32(image, 0x3C);
    if (!Within(image, nt, 24) || Get32(image, nt) != 0x00004550) return false;
    layout->fileHeader = nt + 4;
    layout->sectionCount = Get16(image, layout->fileHeader + 2);
    const uint16_t optionalSize = Get16(image, layout->fileHeader + 16);
    layout->optional = layout->fileHeader + 20;
    layout->sections = layout->optional + optionalSize;
    if (!Within(image, layout->optional, optionalSize) ||
        !Within(image, layout->sections, static_cast<size_t>(layout->sectionCount) * SECTION_HEADER_BYTES)) {
        return false;
    }
    const uint16_t magic = Get16(image, layout->optional);
    const size_t directories = 0x10b == magic ? 96 : 0x20b == magic ? 112 : 0;
    if (0 == directories || optionalSize < directories + (RESOURCE_DIRECTORY_INDEX + 1) * 8 ||
        Get32(image, layout->optional + directories - 4) <= RESOURCE_DIRECTORY_INDEX) {
        return false;
    }
    layout->resourceEntry = layout->optional + directories + RESOURCE_DIRECTORY_INDEX * 8;
    layout->sectionAlignment = Get32(image, layout->optional + 32);
    layout->fileAlignment = Get32(image, layout->optional + 36);
    return true;
}

// The file offset of `size` bytes at `rva`; false when no section's data in the file holds them.
bool FileOffsetOf(const std::vector<uint8_t>& image, const ImageLayout& layout, uint32_t rva, uint32_t size,
                  size_t* offset)
{
    for (uint16_t k = 0; k < layout.sectionCount; ++k) {
        const size_t header = layout.sections + k * SECTION_HEADER_BYTES;
        const uint32_t address = Get32(image, header + 12);
        const uint32_t rawSize = Get32(image, header + 16);
        const uint32_t raw = Get32(image, header + 20);
        if (rva >= address && rva - address < rawSize && size <= rawSize - (rva - address)) {
            *offset = raw + (rva - address);
            return Within(image, *offset, size);
        }
    }
    return false;
}

struct DirectoryReader {
    const std::vector<uint8_t>& image;
    size_t root;       // the file offset of the root directory
    size_t limit;      // bytes of the directory's section from the root on
    const ImageLayout& layout;
    std::vector<Resource>* resources;
    int visited;
};

bool ReadKey(const DirectoryReader& reader, uint32_t nameField, ResourceKey* key)
{
    if (!(nameField & NAMED)) {
        key->id = static_cast<uint16_t>(nameField);
        key->name.clear();
        return true;
    }
    const uint32_t at = nameField & ~NAMED;
    if (at + 2 > reader.limit) return false;
    const uint16_t length = Get16(reader.image, reader.root + at);
    if (0 == length || at + 2 + 2u * length > reader.limit) return false;
    key->name.resize(length);
    for (uint16_t i = 0; i < length; ++i) {
        key->name[i] = static_cast<char16_t>(Get16(reader.image, reader.root + at + 2 + 2 * i));
    }
    return true;
}

bool ReadDirectory(DirectoryReader* reader, uint32_t at, int depth, Resource* path)
{
    // A damaged directory may point back into itself: every table is visited once at most.
    if (depth >= MAX_DEPTH || at + DIRECTORY_BYTES > reader->limit || ++reader->visited > 65536) return false;
    const size_t table = reader->root + at;
    const uint32_t count = static_cast<uint32_t>(Get16(reader->image, table + 12)) + Get16(reader->image, table + 14);
    if (at + DIRECTORY_BYTES + count * ENTRY_BYTES > reader->limit) return false;
    for (uint32_t k = 0; k < count; ++k) {
        const size_t entry = table + DIRECTORY_BYTES + k * ENTRY_BYTES;
        const uint32_t nameField = Get32(reader->image, entry);
        const uint32_t target = Get32(reader->image, entry + 4);
        ResourceKey key;
        if (!ReadKey(*reader, nameField, &key)) return false;
        if (0 == depth) path->type = key;
        else if (1 == depth) path->name = key;
        else path->language = key.id;
        if (target & SUBDIRECTORY) {
            if (2 == depth || !ReadDirectory(reader, target & ~SUBDIRECTORY, depth + 1, path)) return false;
            continue;
        }
        size_t data = 0;
        if (2 != depth || target + DATA_ENTRY_BYTES > reader->limit) return false;
        const uint32_t rva = Get32(reader->image, reader->root + target);
        const uint32_t size = Get32(reader->image, reader->root + target + 4);
        if (!FileOffsetOf(reader->image, reader->layout, rva, size, &data)) return false;
        path->data.assign(reader->image.begin() + data, reader->image.begin() + data + size);
        reader->resources->push_back(*path);
    }
    return true;
}

bool KeyLess(const ResourceKey& a, const ResourceKey& b)
{
    if (a.name.empty() != b.name.empty()) return !a.name.empty();   // names first
    return a.name.empty() ? a.id < b.id : a.name < b.name;
}

bool KeyEqual(const ResourceKey& a, const ResourceKey& b)
{
    return a.id == b.id && a.name == b.name;
}

bool ResourceLess(const Resource& a, const Resource& b)
{
    if (!KeyEqual(a.type, b.type)) return KeyLess(a.type, b.type);
    if (!KeyEqual(a.name, b.name)) return KeyLess(a.name, b.name);
    return a.language < b.language;
}

// The section's bytes for resources sorted by ResourceLess, placed at `rva`.
std::vector<uint8_t> BuildSection(const std::vector<Resource>& sorted, uint32_t rva)
{
    // The tables: the root, one per type, one per name; their entries count.
    struct Table {
        size_t first, end;   // the resources below it
        int depth;
        uint32_t offset;
    };
    std::vector<Table> tables;
    std::vector<std::pair<size_t, size_t>> groups[2];   // per type; per name
    for (size_t k = 0; k < sorted.size();) {
        size_t end = k;
        while (end < sorted.size() && KeyEqual(sorted[end].type, sorted[k].type)) ++end;
        groups[0].push_back({k, end});
        for (size_t n = k; n < end;) {
            size_t nameEnd = n;
            while (nameEnd < end && KeyEqual(sorted[nameEnd].name, sorted[n].name)) ++nameEnd;
            groups[1].push_back({n, nameEnd});
            n = nameEnd;
        }
        k = end;
    }
    uint32_t size = DIRECTORY_BYTES + static_cast<uint32_t>(groups[0].size()) * ENTRY_BYTES;
    const uint32_t typeTables = size;
    for (const auto& group : groups[0]) {
        size_t names = 0;
        for (const auto& name : groups[1]) names += name.first >= group.first && name.first < group.second ? 1 : 0;
        size += DIRECTORY_BYTES + static_cast<uint32_t>(names) * ENTRY_BYTES;
    }
    const uint32_t nameTables = size;
    for (const auto& group : groups[1]) {
        size += DIRECTORY_BYTES + static_cast<uint32_t>(group.second - group.first) * ENTRY_BYTES;
    }
    const uint32_t dataEntries = size;
    size += static_cast<uint32_t>(sorted.size()) * DATA_ENTRY_BYTES;
    // The names, each once, in the order the directory first names them.
    std::vector<std::u16string> names;
    std::vector<uint32_t> nameOffsets;
    auto nameOffset = [&](const ResourceKey& key) -> uint32_t {
        for (size_t k = 0; k < names.size(); ++k) {
            if (names[k] == key.name) return nameOffsets[k];
        }
        names.push_back(key.name);
        nameOffsets.push_back(size);
        size += 2 + 2 * static_cast<uint32_t>(key.name.size());
        return nameOffsets.back();
    };
    std::vector<uint32_t> typeNameFields, nameNameFields;
    for (const auto& group : groups[0]) {
        const ResourceKey& key = sorted[group.first].type;
        typeNameFields.push_back(key.name.empty() ? key.id : NAMED | nameOffset(key));
    }
    for (const auto& group : groups[1]) {
        const ResourceKey& key = sorted[group.first].name;
        nameNameFields.push_back(key.name.empty() ? key.id : NAMED | nameOffset(key));
    }
    std::vector<uint32_t> dataOffsets;
    for (const Resource& resource : sorted) {
        size = AlignUp(size, DATA_ALIGNMENT);
        dataOffsets.push_back(size);
        size += static_cast<uint32_t>(resource.data.size());
    }
    std::vector<uint8_t> section(size, 0);

    auto writeTable = [&](uint32_t at, const std::vector<uint32_t>& nameFields, const std::vector<uint32_t>& targets) {
        uint16_t named = 0;
        for (uint32_t field : nameFields) named += (field & NAMED) ? 1 : 0;
        Put16(&section, at + 12, named);
        Put16(&section, at + 14, static_cast<uint16_t>(nameFields.size() - named));
        for (size_t k = 0; k < nameFields.size(); ++k) {
            Put32(&section, at + DIRECTORY_BYTES + k * ENTRY_BYTES, nameFields[k]);
            Put32(&section, at + DIRECTORY_BYTES + k * ENTRY_BYTES + 4, targets[k]);
        }
    };
    // The root: one entry per type, each pointing at its table of names.
    std::vector<uint32_t> targets;
    uint32_t at = typeTables;
    size_t nameGroup = 0;
    for (const auto& group : groups[0]) {
        targets.push_back(SUBDIRECTORY | at);
        size_t names = 0;
        while (nameGroup + names < groups[1].size() && groups[1][nameGroup + names].first < group.second) ++names;
        at += DIRECTORY_BYTES + static_cast<uint32_t>(names) * ENTRY_BYTES;
        nameGroup += names;
    }
    writeTable(0, typeNameFields, targets);
    // Each type's names, each pointing at its table of languages.
    at = typeTables;
    uint32_t languageTable = nameTables;
    nameGroup = 0;
    for (const auto& group : groups[0]) {
        std::vector<uint32_t> fields, nameTargets;
        while (nameGroup < groups[1].size() && groups[1][nameGroup].first < group.second) {
            fields.push_back(nameNameFields[nameGroup]);
            nameTargets.push_back(SUBDIRECTORY | languageTable);
            languageTable += DIRECTORY_BYTES +
                             static_cast<uint32_t>(groups[1][nameGroup].second - groups[1][nameGroup].first) * ENTRY_BYTES;
            ++nameGroup;
        }
        writeTable(at, fields, nameTargets);
        at += DIRECTORY_BYTES + static_cast<uint32_t>(fields.size()) * ENTRY_BYTES;
    }
    // Each name's languages, each pointing at its data entry.
    for (const auto& group : groups[1]) {
        std::vector<uint32_t> fields, dataTargets;
        for (size_t k = group.first; k < group.second; ++k) {
            fields.push_back(sorted[k].language);
            dataTargets.push_back(dataEntries + static_cast<uint32_t>(k) * DATA_ENTRY_BYTES);
        }
        writeTable(at, fields, dataTargets);
        at += DIRECTORY_BYTES + static_cast<uint32_t>(fields.size()) * ENTRY_BYTES;
    }
    for (size_t k = 0; k < sorted.size(); ++k) {
        Put32(&section, dataEntries + k * DATA_ENTRY_BYTES, rva + dataOffsets[k]);
        Put32(&section, dataEntries + k * DATA_ENTRY_BYTES + 4, static_cast<uint32_t>(sorted[k].data.size()));
        if (!sorted[k].data.empty()) {
            memcpy(section.data() + dataOffsets[k], sorted[k].data.data(), sorted[k].data.size());
        }
    }
    for (size_t k = 0; k < names.size(); ++k) {
        Put16(&section, nameOffsets[k], static_cast<uint16_t>(names[k].size()));
        for (size_t i = 0; i < names[k].size(); ++i) {
            Put16(&section, nameOffsets[k] + 2 + 2 * i, static_cast<uint16_t>(names[k][i]));
        }
    }
    return section;
}

} // namespace

void ResourceTable::Set(const ResourceKey& type, const ResourceKey& name, uint16_t language, const void* data,
                        size_t size)
{
    const uint8_t* bytes = static_cast<const uint8_t*>(data);
    for (Resource& resource : resources_) {
        if (KeyEqual(resource.type, type) && KeyEqual(resource.name, name) && resource.language == language) {
            resource.data.assign(bytes, bytes + size);
            return;
        }
    }
    Resource resource;
    resource.type = type;
    resource.name = name;
    resource.language = language;
    resource.data.assign(bytes, bytes + size);
    resources_.push_back(resource);
}

bool ReadImageResources(const std::vector<uint8_t>& image, std::vector<Resource>* resources, const char** reason)
{
    ImageLayout layout = {};
    resources->clear();
    if (!ReadLayout(image, &layout, reason)) return false;
    const uint32_t rva = Get32(image, layout.resourceEntry);
    const uint32_t size = Get32(image, layout.resourceEntry + 4);
    if (0 == rva && 0 == size) return true;   // no resources
    size_t root = 0;
    *reason = "its resource directory is damaged";
    if (!FileOffsetOf(image, layout, rva, size, &root)) return false;
    DirectoryReader reader = {image, root, size, layout, resources, 0};
    Resource path;
    return ReadDirectory(&reader, 0, 0, &path);
}

bool ReplaceImageResources(std::vector<uint8_t>* image, const ResourceTable& table, const char** reason)
{
    ImageLayout layout = {};
    if (!ReadLayout(*image, &layout, reason)) return false;
    // The section that holds the directory, which must begin it and be the last.
    const uint32_t rva = Get32(*image, layout.resourceEntry);
    size_t header = 0;
    uint32_t lastAddress = 0;
    uint32_t lastRaw = 0;
    for (uint16_t k = 0; k < layout.sectionCount; ++k) {
        const size_t at = layout.sections + k * SECTION_HEADER_BYTES;
        lastAddress = std::max(lastAddress, Get32(*image, at + 12));
        lastRaw = std::max(lastRaw, Get32(*image, at + 20));
        if (Get32(*image, at + 12) == rva && 0 != rva) header = at;
    }
    *reason = "its resources are not its last section";
    if (0 == header || Get32(*image, header + 12) != lastAddress || Get32(*image, header + 20) != lastRaw ||
        Get32(*image, header + 20) > image->size()) {
        return false;
    }
    std::vector<Resource> sorted = table.All();
    std::stable_sort(sorted.begin(), sorted.end(), ResourceLess);
    const std::vector<uint8_t> section = BuildSection(sorted, rva);
    const uint32_t size = static_cast<uint32_t>(section.size());
    const uint32_t rawSize = AlignUp(size, layout.fileAlignment);
    const uint32_t raw = Get32(*image, header + 20);
    const uint32_t oldRawSize = Get32(*image, header + 16);

    image->resize(raw);
    image->insert(image->end(), section.begin(), section.end());
    image->resize(static_cast<size_t>(raw) + rawSize, 0);
    Put32(image, header + 8, size);        // VirtualSize
    Put32(image, header + 16, rawSize);    // SizeOfRawData
    Put32(image, layout.resourceEntry + 4, size);
    Put32(image, layout.optional + 56, AlignUp(rva + size, layout.sectionAlignment));   // SizeOfImage
    Put32(image, layout.optional + 8, Get32(*image, layout.optional + 8) - oldRawSize + rawSize);   // SizeOfInitializedData
    return true;
}
