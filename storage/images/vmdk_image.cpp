// A VMDK image made of sparse extents: opening by path and reading sectors.
#include "storage/images/vmdk_image.h"

#include <sys/stat.h>

#include <algorithm>
#include <cstring>
#include <string>

#include <utf8cpp/utf8.h>

#include "foundation/fileops.h"
#include "foundation/paths.h"

namespace {

// Opens path for reading when it names a regular file (symbolic links are
// followed).
int open_regular_file(const zorvant::u8string &path, std::shared_ptr<ZV::ByteStream> *stream)
{
    struct stat info;
    if (path.empty() || ZV::stat(path, &info) != 0 || !S_ISREG(info.st_mode))
        return VMDK_ERROR_FILE;
    auto file = std::make_shared<ZV::ByteStreamFile>(path);
    if (!file->open(ZV::ByteStream::modeRead))
        return VMDK_ERROR_FILE;
    *stream = file;
    return VMDK_OK;
}

int add_extent(vmdk_image *image, vmdk_extent &&extent)
{
    if (image->extents.size() >= VMDK_MAX_EXTENTS || extent.header.capacity > VMDK_MAX_SECTORS - image->sectors ||
        extent.directory.size() > VMDK_MAX_DIRECTORY_ENTRIES - image->directory_entries)
        return VMDK_ERROR_LIMIT;
    image->directory_entries += extent.directory.size();
    image->starts.push_back(image->sectors);
    image->sectors += extent.header.capacity;
    image->image_size += extent.file_length;
    image->tables.emplace_back(extent.directory.size());
    image->extents.push_back(std::move(extent));
    return VMDK_OK;
}

// The extents a descriptor file lists, resolved beside it.
int open_described(const zorvant::u8string &path, const std::shared_ptr<ZV::ByteStream> &stream, vmdk_image *image)
{
    const uint64_t length = stream->length();
    if (length >= VMDK_MAX_DESCRIPTOR_FILE)
        return VMDK_ERROR_DESCRIPTOR;
    std::string text(length, '\0');
    if (length != 0 && stream->readAt(0, text.data(), static_cast<uint32_t>(length)) != static_cast<int>(length))
        return VMDK_ERROR_READ;
    vmdk_descriptor descriptor;
    int status = vmdk_descriptor_parse(text.data(), text.size(), &descriptor);
    if (status != VMDK_OK)
        return status;
    if (!vmdk_descriptor_is_disk(descriptor))
        return VMDK_ERROR_DESCRIPTOR;
    for (const vmdk_extent_line &line : descriptor.extents)
        if (line.type != "SPARSE")
            return VMDK_ERROR_FLAT;

    const std::string folder = ZV::parentPath(path.str());
    for (const vmdk_extent_line &line : descriptor.extents) {
        // Paths are UTF-8 text; a name that is not cannot be one of ours.
        if (!utf8::is_valid(line.file_name.begin(), line.file_name.end()))
            return VMDK_ERROR_FILE;
        const std::string joined = ZV::joinPath(folder, line.file_name);
        std::shared_ptr<ZV::ByteStream> file;
        status = open_regular_file(zorvant::u8string(joined.begin(), joined.end()), &file);
        if (status != VMDK_OK)
            return status;
        vmdk_extent extent;
        status = vmdk_extent_load(file, &extent);
        if (status == VMDK_NOT_SPARSE)
            return VMDK_ERROR_EXTENT_FILE;
        if (status != VMDK_OK)
            return status;
        status = add_extent(image, std::move(extent));
        if (status != VMDK_OK)
            return status;
    }
    return VMDK_OK;
}

// Grain table t of extent e, loaded when not yet there; null when its read fails.
const uint32_t *table_of(vmdk_image *image, size_t e, size_t t)
{
    std::unique_ptr<uint32_t[]> &slot = image->tables[e][t];
    if (slot)
        return slot.get();
    std::unique_ptr<uint32_t[]> table(new uint32_t[VMDK_TABLE_ENTRIES]);
    if (vmdk_extent_read_table(&image->extents[e], t, table.get()) < 0)
        return nullptr;
    if (image->loaded.size() >= VMDK_MAX_CACHED_TABLES) {
        const std::pair<size_t, size_t> oldest = image->loaded.front();
        image->loaded.pop_front();
        image->tables[oldest.first][oldest.second].reset();
    }
    image->loaded.emplace_back(e, t);
    slot = std::move(table);
    return slot.get();
}

} // namespace

int vmdk_image_open(const zorvant::u8string &path, vmdk_image *image)
{
    std::shared_ptr<ZV::ByteStream> stream;
    int status = open_regular_file(path, &stream);
    if (status != VMDK_OK)
        return status;
    vmdk_image safe;
    vmdk_extent extent;
    status = vmdk_extent_load(stream, &extent);
    if (status == VMDK_OK)
        status = add_extent(&safe, std::move(extent));
    else if (status == VMDK_NOT_SPARSE)
        status = open_described(path, stream, &safe);
    if (status != VMDK_OK)
        return status;
    if (safe.sectors == 0)
        return VMDK_ERROR_EMPTY;
    *image = std::move(safe);
    return VMDK_OK;
}

bool vmdk_image_read_sector(vmdk_image *image, uint64_t sector, uint8_t *destination)
{
    if (sector >= image->sectors)
        return false;
    const size_t e = std::upper_bound(image->starts.begin(), image->starts.end(), sector) - image->starts.begin() - 1;
    vmdk_extent &extent = image->extents[e];
    const uint64_t grain_sectors = extent.header.grain_sectors;
    const uint64_t table_span = grain_sectors * VMDK_TABLE_ENTRIES;
    const uint64_t r = sector - image->starts[e];
    const uint32_t *table = table_of(image, e, r / table_span);
    if (table == nullptr)
        return false;
    const uint32_t grain = table[(r % table_span) / grain_sectors];
    if (grain <= 1) {
        memset(destination, 0, VMDK_SECTOR_SIZE);
        return true;
    }
    const uint64_t offset = (r % grain_sectors) * VMDK_SECTOR_SIZE;
    // The last grain of an extent is read only as far as its capacity; a
    // table may name that grain for another place too, so the buffer must
    // also reach the wanted sector.
    if (image->grain_extent != e || image->grain_sector != grain || offset + VMDK_SECTOR_SIZE > image->grain.size()) {
        const uint64_t first = r - r % grain_sectors;
        const uint64_t wanted = std::min(grain_sectors, extent.header.capacity - first);
        image->grain_extent = SIZE_MAX;
        if (!vmdk_extent_read_grain(&extent, grain, wanted, &image->grain))
            return false;
        image->grain_extent = e;
        image->grain_sector = grain;
    }
    memcpy(destination, image->grain.data() + offset, VMDK_SECTOR_SIZE);
    return true;
}
