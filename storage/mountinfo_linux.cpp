#include "storage/mountinfo_linux.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "foundation/log.h"
#include "foundation/text.h"

namespace {

struct Field {
    const char *text;
    size_t size;
};

bool is_octal(char c, char highest)
{
    return c >= '0' && c <= highest;
}

// A decimal number of at most 10 digits that fits max; false for anything
// else (empty, a sign, other characters).
bool parse_number(const char *text, size_t size, uint64_t max, uint64_t *out)
{
    if (size == 0 || size > 10)
        return false;
    uint64_t value = 0;
    for (size_t i = 0; i < size; ++i) {
        if (text[i] < '0' || text[i] > '9')
            return false;
        value = value * 10 + static_cast<uint64_t>(text[i] - '0');
    }
    if (value > max)
        return false;
    *out = value;
    return true;
}

// The blank-separated fields of a line; two blanks in a row give an empty
// field (an empty source is written so).
std::vector<Field> split_fields(const char *line, size_t size)
{
    std::vector<Field> fields;
    size_t start = 0;
    for (size_t i = 0; i <= size; ++i) {
        if (i == size || line[i] == ' ') {
            fields.push_back({line + start, i - start});
            start = i + 1;
        }
    }
    return fields;
}

std::string unescaped(const Field &field)
{
    return mountinfo_unescape(field.text, field.size);
}

} // namespace

std::string mountinfo_unescape(const char *text, size_t size)
{
    std::string out;
    if (text == nullptr)
        return out;
    out.reserve(size);
    for (size_t i = 0; i < size; ++i) {
        if (text[i] == '\\' && size - i > 3 && is_octal(text[i + 1], '3') && is_octal(text[i + 2], '7') &&
            is_octal(text[i + 3], '7')) {
            out += static_cast<char>(((text[i + 1] - '0') << 6) | ((text[i + 2] - '0') << 3) | (text[i + 3] - '0'));
            i += 3;
        } else {
            out += text[i];
        }
    }
    return out;
}

int mountinfo_parse_line(const char *line, size_t size, MountInfoEntry *entry)
{
    if (line == nullptr || entry == nullptr)
        return -1;
    const std::vector<Field> fields = split_fields(line, size);
    // Six fixed fields, then optional ones up to the separator, then the type.
    size_t separator = 6;
    while (separator < fields.size() && !(fields[separator].size == 1 && fields[separator].text[0] == '-'))
        ++separator;
    if (separator + 1 >= fields.size() || fields[separator + 1].size == 0)
        return -1;

    uint64_t id, parent, major, minor;
    const Field &device = fields[2];
    const char *colon = static_cast<const char *>(std::memchr(device.text, ':', device.size));
    if (!parse_number(fields[0].text, fields[0].size, INT32_MAX, &id) ||
        !parse_number(fields[1].text, fields[1].size, INT32_MAX, &parent) || colon == nullptr ||
        !parse_number(device.text, static_cast<size_t>(colon - device.text), UINT32_MAX, &major) ||
        !parse_number(colon + 1, device.size - static_cast<size_t>(colon + 1 - device.text), UINT32_MAX, &minor) ||
        fields[3].size == 0 || fields[4].size == 0)
        return -1;

    entry->mount_id = static_cast<int>(id);
    entry->parent_id = static_cast<int>(parent);
    entry->major = static_cast<unsigned int>(major);
    entry->minor = static_cast<unsigned int>(minor);
    entry->root = unescaped(fields[3]);
    entry->mount_point = unescaped(fields[4]);
    entry->mount_options.assign(fields[5].text, fields[5].size);
    entry->fs_type = unescaped(fields[separator + 1]);
    entry->source = separator + 2 < fields.size() ? unescaped(fields[separator + 2]) : std::string();
    entry->super_options = separator + 3 < fields.size() ? unescaped(fields[separator + 3]) : std::string();
    if (separator + 3 < fields.size())
        entry->super_options_raw.assign(fields[separator + 3].text, fields[separator + 3].size);
    else
        entry->super_options_raw.clear();
    return 0;
}

size_t mountinfo_parse(const char *text, size_t size, std::vector<MountInfoEntry> *entries)
{
    size_t skipped = 0;
    if (text == nullptr || entries == nullptr)
        return 0;
    size_t start = 0;
    while (start < size) {
        const char *end = static_cast<const char *>(std::memchr(text + start, '\n', size - start));
        const size_t length = end != nullptr ? static_cast<size_t>(end - (text + start)) : size - start;
        if (length > 0) {
            MountInfoEntry entry;
            if (entries->size() >= MOUNTINFO_MAX_ENTRIES || mountinfo_parse_line(text + start, length, &entry) != 0) {
                ++skipped;
            } else {
                entries->push_back(std::move(entry));
            }
        }
        start += length + 1;
    }
    if (skipped > 0)
        log_message(LOG_DEBUG, ZV::format("mountinfo_parse: %zu lines skipped", skipped));
    return skipped;
}

int mountinfo_read(const char *path, std::vector<MountInfoEntry> *entries)
{
    if (path == nullptr)
        path = "/proc/self/mountinfo";
    if (entries == nullptr)
        return -1;
    const int fd = ::open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        log_error("mountinfo_read: Can't open %s: %s (%d)", path, std::strerror(errno), errno);
        return -1;
    }
    // A proc file has no size; read until the end.
    std::string text;
    char chunk[16384];
    int status = 0;
    for (;;) {
        const ssize_t got = ::read(fd, chunk, sizeof chunk);
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0) {
            log_error("mountinfo_read: Can't read %s: %s (%d)", path, std::strerror(errno), errno);
            status = -1;
            break;
        }
        if (got == 0)
            break;
        if (text.size() + static_cast<size_t>(got) > MOUNTINFO_MAX_BYTES) {
            log_error("mountinfo_read: %s is larger than %zu bytes", path, static_cast<size_t>(MOUNTINFO_MAX_BYTES));
            status = -1;
            break;
        }
        text.append(chunk, static_cast<size_t>(got));
    }
    ::close(fd);
    if (status == 0)
        mountinfo_parse(text.data(), text.size(), entries);
    return status;
}

bool mountinfo_has_option(const std::string &options, const char *option)
{
    if (option == nullptr)
        return false;
    const size_t length = std::strlen(option);
    size_t start = 0;
    while (start <= options.size()) {
        size_t comma = options.find(',', start);
        if (comma == std::string::npos)
            comma = options.size();
        if (comma - start == length && options.compare(start, length, option) == 0)
            return true;
        start = comma + 1;
    }
    return false;
}

bool mountinfo_option_value(const std::string &raw_options, const char *name, std::string *value)
{
    if (name == nullptr || value == nullptr)
        return false;
    const std::string key = std::string(name) + "=";
    size_t start = 0;
    while (start < raw_options.size()) {
        size_t comma = raw_options.find(',', start);
        if (comma == std::string::npos)
            comma = raw_options.size();
        if (raw_options.compare(start, key.size(), key) == 0 && comma - start >= key.size()) {
            *value = mountinfo_unescape(raw_options.data() + start + key.size(), comma - start - key.size());
            return true;
        }
        start = comma + 1;
    }
    return false;
}

const MountInfoEntry *mountinfo_mount_for_path(const std::vector<MountInfoEntry> &entries, const std::string &path)
{
    const MountInfoEntry *best = nullptr;
    size_t best_length = 0;
    for (const MountInfoEntry &entry : entries) {
        size_t length = entry.mount_point.size();
        while (length > 1 && entry.mount_point[length - 1] == '/')
            --length;
        const bool holds = length == 1 && entry.mount_point[0] == '/'
                               ? !path.empty() && path[0] == '/'
                               : path.compare(0, length, entry.mount_point, 0, length) == 0 &&
                                     (path.size() == length || path[length] == '/');
        if (holds && (best == nullptr || length >= best_length)) {
            best = &entry;
            best_length = length;
        }
    }
    return best;
}
