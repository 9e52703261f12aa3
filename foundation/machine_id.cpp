// The machine id from the system's machine-id file (see machine_id.h).
//
// The file holds one line of 32 hex digits. Only the first line counts, with
// white space around it trimmed; a line with control bytes is refused. At most
// kMaxRead bytes are read, so a file that is huge, endless (a device) or a
// FIFO never stalls the caller.
#include "foundation/machine_id.h"

#include <errno.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <string>

#include <openssl/evp.h>

#include "foundation/fileops.h"

namespace {

constexpr size_t kMaxRead = 4096;

// Hashed after the machine's own id, so the result cannot be matched with
// the id itself.
constexpr unsigned char kSalt[24] = {0x5a, 0x17, 0xc0, 0xde, 0x93, 0xb4, 0xe8, 0xf2, 0x06, 0x1d, 0x7a, 0x3c,
                                     0xc9, 0x5e, 0x1b, 0x80, 0x47, 0xf2, 0xd6, 0xa9, 0x0e, 0x3c, 0x5b, 0x71};

// The first line of the file, trimmed; empty when it cannot be read.
std::string readFirstLine(const char *path)
{
    const int fd = utf8_open(path, O_RDONLY | O_NONBLOCK, 0);
    if (fd < 0)
        return std::string();
    std::string bytes(kMaxRead, '\0');
    size_t used = 0;
    while (used < kMaxRead) {
        const ssize_t n = ::read(fd, &bytes[used], kMaxRead - used);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        used += static_cast<size_t>(n);
    }
    ::close(fd);
    bytes.resize(used);
    const size_t newline = bytes.find('\n');
    if (newline != std::string::npos)
        bytes.resize(newline);
    const char *const blanks = " \t\r\n\v\f";
    const size_t first = bytes.find_first_not_of(blanks);
    if (first == std::string::npos)
        return std::string();
    const size_t last = bytes.find_last_not_of(blanks);
    std::string line = bytes.substr(first, last - first + 1);
    // An id is text: a line with NULs or control bytes (a device, a binary
    // file) is no id.
    for (const char c : line)
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F)
            return std::string();
    return line;
}

} // namespace

char *hex_grouped(const void *bytes, size_t count)
{
    if (bytes == nullptr && count > 0)
        return nullptr;
    // Two digits and at most one dash per byte, plus the terminating NUL.
    if (count > (SIZE_MAX - 1) / 4)
        return nullptr;
    char *text = static_cast<char *>(std::malloc(4 * count + 1));
    if (text == nullptr)
        return nullptr;
    static const char digits[] = "0123456789ABCDEF";
    const unsigned char *p = static_cast<const unsigned char *>(bytes);
    char *out = text;
    for (size_t i = 0; i < count; i++) {
        if (i >= 4 && ((i < 12 && i % 2 == 0) || (i >= 16 && i % 4 == 0)))
            *out++ = '-';
        *out++ = digits[p[i] >> 4];
        *out++ = digits[p[i] & 0x0F];
    }
    *out = '\0';
    return text;
}

char *machine_id_from_file(const char *path)
{
    if (path == nullptr)
        return nullptr;
    std::string input = readFirstLine(path);
    if (input.empty())
        return nullptr;
    input.append(reinterpret_cast<const char *>(kSalt), sizeof kSalt);
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    // A failed digest gives no id (rather than the id of 20 zero bytes), so
    // the caller falls back to the fixed text.
    if (EVP_Digest(input.data(), input.size(), digest, &length, EVP_sha1(), nullptr) != 1 || length != 20)
        return nullptr;
    return hex_grouped(digest, length);
}

char *machine_id()
{
    char *id = machine_id_from_file("/etc/machine-id");
    return id != nullptr ? id : machine_id_from_file("/var/lib/dbus/machine-id");
}

const char *default_machine_id()
{
    return "00000000-0000-0000-C000-000000000046";
}
