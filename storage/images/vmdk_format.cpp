// VMDK on-disk structures: header and descriptor parsing, and reading a
// sparse extent's directory, tables and grains from its file. The layout is
// described in vmdk_format.h.
#include "storage/images/vmdk_format.h"

#include <cstring>

#include "foundation/paths.h"
#include "foundation/sysutil.h"
#include "foundation/text.h"

namespace {

constexpr uint8_t LINE_END_CHECK[4] = {'\n', ' ', '\r', '\n'};
constexpr uint32_t VERSION_PLAIN = 1;
constexpr uint32_t VERSION_ZEROED_GRAINS = 2;
constexpr uint32_t VERSION_STREAM_OPTIMIZED = 3;
const char *const SIGNATURE_LINE = "# Disk DescriptorFile";

// Blank-separated fields of an extent line; blanks between double quotes
// belong to the field, and the quotes stay in it.
std::vector<std::string> split_fields(const std::string &line)
{
    std::vector<std::string> fields;
    std::string field;
    bool quoted = false;
    bool in_field = false;
    for (char c : line) {
        if (c == '"')
            quoted = !quoted;
        if (!quoted && (c == ' ' || c == '\t')) {
            if (in_field)
                fields.push_back(field);
            field.clear();
            in_field = false;
            continue;
        }
        field += c;
        in_field = true;
    }
    if (in_field)
        fields.push_back(field);
    return fields;
}

std::string without_quotes(const std::string &text)
{
    std::string out;
    for (char c : text)
        if (c != '"')
            out += c;
    return out;
}

// One trimmed, non-empty line of a descriptor.
int parse_line(std::string &line, vmdk_descriptor *descriptor)
{
    if (line == SIGNATURE_LINE)
        descriptor->signature = true;
    if (ZV::hasPrefix(line, std::string("RW ")) || ZV::hasPrefix(line, std::string("RDONLY "))) {
        const std::vector<std::string> fields = split_fields(line);
        if (fields.size() < 4)
            return VMDK_OK;
        if (fields[2] != "SPARSE" && fields[2] != "FLAT")
            return VMDK_ERROR_EXTENT_TYPE;
        if (descriptor->extents.size() >= VMDK_MAX_EXTENTS)
            return VMDK_ERROR_LIMIT;
        descriptor->extents.push_back({fields[0], fields[2], without_quotes(fields[3])});
        return VMDK_OK;
    }
    if (line.find('=') == std::string::npos)
        return VMDK_OK;
    std::vector<std::string> parts = ZV::splitString(line, "=");
    if (parts.size() != 2)
        return VMDK_OK;
    descriptor->keys[ZV::trim(parts[0])] = without_quotes(ZV::trim(parts[1]));
    return VMDK_OK;
}

} // namespace

const char *vmdk_status_text(int status)
{
    switch (status) {
    case VMDK_OK:
        return "no error";
    case VMDK_NOT_SPARSE:
        return "not a sparse extent";
    case VMDK_ERROR_READ:
        return "a read failed or fell short";
    case VMDK_ERROR_FILE:
        return "a file is missing, cannot be opened or is not a regular file";
    case VMDK_ERROR_VERSION:
        return "unsupported sparse extent version";
    case VMDK_ERROR_ZEROED_GRAINS:
        return "sparse extents with zeroed-grain tables (version 2) are not supported";
    case VMDK_ERROR_COMPRESSED:
        return "stream-optimized images (compressed grains) are not supported";
    case VMDK_ERROR_HEADER:
        return "capacity, grain size or grain table size out of range";
    case VMDK_ERROR_LINE_ENDS:
        return "line-end check characters damaged (file converted as text)";
    case VMDK_ERROR_LAYOUT:
        return "descriptor, grain directory or grain table outside the file or too large";
    case VMDK_ERROR_DESCRIPTOR:
        return "not a disk descriptor";
    case VMDK_ERROR_EXTENT_TYPE:
        return "unsupported extent type";
    case VMDK_ERROR_FLAT:
        return "flat extents are not supported";
    case VMDK_ERROR_LIMIT:
        return "too many extents or sectors";
    case VMDK_ERROR_EMPTY:
        return "image without sectors";
    case VMDK_ERROR_EXTENT_FILE:
        return "an extent file is not a sparse extent";
    default:
        return "unknown VMDK result";
    }
}

// --- header -----------------------------------------------------------------------

int vmdk_header_parse(const uint8_t *data, size_t size, vmdk_header *header)
{
    if (size < VMDK_HEADER_SIZE || get_le32(data) != VMDK_MAGIC)
        return VMDK_NOT_SPARSE;
    vmdk_header safe;
    safe.version = get_le32(data + 4);
    safe.capacity = get_le64(data + 12);
    safe.grain_sectors = get_le64(data + 20);
    safe.descriptor_offset = get_le64(data + 28);
    safe.descriptor_sectors = get_le64(data + 36);
    safe.table_entries = get_le32(data + 44);
    safe.directory_offset = get_le64(data + 56);
    safe.compression = get_le16(data + 77);

    // The check characters come first: every writer of versions 1 to 3
    // puts them there, and a kind refused by name (stream-optimized,
    // zeroed-grain; the opener reports those) must be a header whose
    // characters are intact, not any bytes that begin with the magic.
    if (memcmp(data + 73, LINE_END_CHECK, sizeof LINE_END_CHECK) != 0)
        return VMDK_ERROR_LINE_ENDS;
    if (safe.version == VERSION_STREAM_OPTIMIZED)
        return VMDK_ERROR_COMPRESSED;
    if (safe.version == VERSION_ZEROED_GRAINS)
        return VMDK_ERROR_ZEROED_GRAINS;
    if (safe.version != VERSION_PLAIN)
        return VMDK_ERROR_VERSION;
    if (safe.compression != 0)
        return VMDK_ERROR_COMPRESSED;
    if (safe.grain_sectors < VMDK_MIN_GRAIN_SECTORS || safe.grain_sectors % 2 != 0 ||
        safe.grain_sectors > VMDK_MAX_GRAIN_SECTORS || safe.table_entries != VMDK_TABLE_ENTRIES ||
        safe.capacity == 0 || safe.capacity > VMDK_MAX_SECTORS)
        return VMDK_ERROR_HEADER;
    *header = safe;
    return VMDK_OK;
}

int vmdk_header_check_layout(const vmdk_header &header, uint64_t file_length, uint64_t *directory_entries)
{
    const uint64_t file_sectors = file_length / VMDK_SECTOR_SIZE;
    if (header.descriptor_sectors != 0) {
        if (header.descriptor_sectors > VMDK_MAX_EMBEDDED_DESCRIPTOR / VMDK_SECTOR_SIZE ||
            header.descriptor_offset > file_sectors ||
            header.descriptor_sectors > file_sectors - header.descriptor_offset)
            return VMDK_ERROR_LAYOUT;
    }
    // Both factors are capped by vmdk_header_parse: the product stays below 2^27.
    const uint64_t table_span = header.grain_sectors * header.table_entries;
    const uint64_t entries = header.capacity / table_span + (header.capacity % table_span != 0 ? 1 : 0);
    if (entries > VMDK_MAX_DIRECTORY_ENTRIES || header.directory_offset > file_sectors)
        return VMDK_ERROR_LAYOUT;
    const uint64_t directory_start = header.directory_offset * VMDK_SECTOR_SIZE;
    if (entries * 4 > file_length - directory_start)
        return VMDK_ERROR_LAYOUT;
    *directory_entries = entries;
    return VMDK_OK;
}

// --- descriptor ------------------------------------------------------------------

int vmdk_descriptor_parse(const char *text, size_t size, vmdk_descriptor *descriptor)
{
    const char *nul = static_cast<const char *>(memchr(text, '\0', size));
    const size_t end = nul != nullptr ? static_cast<size_t>(nul - text) : size;
    vmdk_descriptor safe;
    size_t start = 0;
    while (start < end) {
        const char *feed = static_cast<const char *>(memchr(text + start, '\n', end - start));
        const size_t stop = feed != nullptr ? static_cast<size_t>(feed - text) : end;
        std::string line(text + start, stop - start);
        start = stop + 1;
        if (ZV::trim(line).empty())
            continue;
        const int status = parse_line(line, &safe);
        if (status != VMDK_OK)
            return status;
    }
    *descriptor = std::move(safe);
    return VMDK_OK;
}

bool vmdk_descriptor_is_disk(const vmdk_descriptor &descriptor)
{
    return (descriptor.signature || descriptor.keys.count("createType") != 0) && !descriptor.extents.empty();
}

// --- sparse extent -----------------------------------------------------------------

int vmdk_extent_load(const std::shared_ptr<ZV::ByteStream> &stream, vmdk_extent *extent)
{
    uint8_t data[VMDK_HEADER_SIZE];
    if (stream->readAt(0, data, sizeof data) != static_cast<int>(sizeof data))
        return VMDK_NOT_SPARSE;
    vmdk_extent safe;
    int status = vmdk_header_parse(data, sizeof data, &safe.header);
    if (status != VMDK_OK)
        return status;
    safe.file_length = stream->length();
    uint64_t entries = 0;
    status = vmdk_header_check_layout(safe.header, safe.file_length, &entries);
    if (status != VMDK_OK)
        return status;

    if (safe.header.descriptor_sectors != 0) {
        std::string text(safe.header.descriptor_sectors * VMDK_SECTOR_SIZE, '\0');
        if (stream->readAt(safe.header.descriptor_offset * VMDK_SECTOR_SIZE, text.data(),
                           static_cast<uint32_t>(text.size())) != static_cast<int>(text.size()))
            return VMDK_ERROR_READ;
        vmdk_descriptor embedded;
        status = vmdk_descriptor_parse(text.data(), text.size(), &embedded);
        if (status != VMDK_OK)
            return status;
    }

    std::vector<uint8_t> raw(entries * 4);
    if (stream->readAt(safe.header.directory_offset * VMDK_SECTOR_SIZE, raw.data(),
                       static_cast<uint32_t>(raw.size())) != static_cast<int>(raw.size()))
        return VMDK_ERROR_READ;
    // A table must lie whole inside the file.
    const uint64_t last_table = safe.file_length < VMDK_TABLE_BYTES
                                    ? 0
                                    : (safe.file_length - VMDK_TABLE_BYTES) / VMDK_SECTOR_SIZE;
    safe.directory.resize(entries);
    for (size_t i = 0; i < entries; i++) {
        safe.directory[i] = get_le32(raw.data() + 4 * i);
        if (safe.directory[i] != 0 && safe.directory[i] > last_table)
            return VMDK_ERROR_LAYOUT;
    }
    safe.stream = stream;
    *extent = std::move(safe);
    return VMDK_OK;
}

int vmdk_extent_read_table(vmdk_extent *extent, size_t index, uint32_t *table)
{
    const uint32_t sector = extent->directory[index];
    if (sector == 0) {
        memset(table, 0, VMDK_TABLE_BYTES);
        return 0;
    }
    uint8_t raw[VMDK_TABLE_BYTES];
    if (extent->stream->readAt(uint64_t(sector) * VMDK_SECTOR_SIZE, raw, sizeof raw) != static_cast<int>(sizeof raw))
        return -1;
    for (uint32_t i = 0; i < VMDK_TABLE_ENTRIES; i++)
        table[i] = get_le32(raw + 4 * i);
    return 1;
}

bool vmdk_extent_read_grain(vmdk_extent *extent, uint32_t grain, uint64_t sectors, std::vector<uint8_t> *buffer)
{
    const uint64_t offset = uint64_t(grain) * VMDK_SECTOR_SIZE;
    const uint64_t bytes = sectors * VMDK_SECTOR_SIZE;
    // Checked before the buffer grows: a grain number from a damaged table
    // must not cost a grain-sized allocation.
    if (sectors > extent->header.grain_sectors || offset > extent->file_length ||
        bytes > extent->file_length - offset)
        return false;
    buffer->resize(bytes);
    return extent->stream->readAt(offset, buffer->data(), static_cast<uint32_t>(bytes)) == static_cast<int>(bytes);
}
