// VMDK images for the tests: raw sources with distinct bytes, converted by
// qemu-img (a third-party writer), read back by qemu-img and vmdkinfo, and
// edited at the sparse extent header's documented offsets.
//
// Every helper throws std::runtime_error when a tool is missing or fails, so
// a test without its tools fails instead of passing quietly.
#pragma once

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>
#include <stdexcept>
#include <string>
#include <vector>

#include "scan/fat_image_support.h"
#include "support/test_support.h"
#include "tests/storage/images/byte_order_support.h"

namespace vmdktest {

// Header fields (little-endian), as the published layout places them.
constexpr uint64_t kVersionAt = 4;
constexpr uint64_t kCapacityAt = 12;
constexpr uint64_t kGrainAt = 20;
constexpr uint64_t kDescriptorOffsetAt = 28;
constexpr uint64_t kDescriptorSizeAt = 36;
constexpr uint64_t kTableEntriesAt = 44;
constexpr uint64_t kDirectoryAt = 56;
constexpr uint64_t kLineEndsAt = 73;
constexpr uint64_t kCompressionAt = 77;

inline void requireQemuImg() { zvtest::requireTool("qemu-img"); }

// A sparse raw file of `bytes` bytes (holes read as zeros).
inline void makeSparseFile(const std::string &path, uint64_t bytes)
{
    zvtest::mustRun("truncate -s " + std::to_string(bytes) + " " + zvtest::shellQuote(path));
}

// Writes data at offset into an existing file, keeping the rest.
inline void writeAt(const std::string &path, uint64_t offset, const std::string &data)
{
    const int fd = ::open(path.c_str(), O_WRONLY);
    const bool ok =
        fd >= 0 && pwrite(fd, data.data(), data.size(), static_cast<off_t>(offset)) == static_cast<ssize_t>(data.size());
    if (!ok) {
        if (fd >= 0)
            ::close(fd);
        throw std::runtime_error("writeAt failed: " + path);
    }
    ::close(fd);
}

// Reads size bytes at offset (fewer at the end of the file).
inline std::string readAt(const std::string &path, uint64_t offset, size_t size)
{
    std::string out(size, '\0');
    const int fd = ::open(path.c_str(), O_RDONLY);
    if (fd < 0)
        throw std::runtime_error("readAt failed: " + path);
    const ssize_t got = pread(fd, out.data(), size, static_cast<off_t>(offset));
    ::close(fd);
    if (got < 0)
        throw std::runtime_error("readAt failed: " + path);
    out.resize(static_cast<size_t>(got));
    return out;
}

inline uint64_t fileSize(const std::string &path)
{
    struct stat info;
    if (::stat(path.c_str(), &info) != 0)
        throw std::runtime_error("stat failed: " + path);
    return static_cast<uint64_t>(info.st_size);
}

inline std::string le(uint64_t value, int bytes)
{
    std::string out(static_cast<size_t>(bytes), '\0');
    zvtest::putLittleEndian(out, 0, value, bytes);
    return out;
}

inline uint64_t getLe(const std::string &data, size_t at, int bytes)
{
    uint64_t value = 0;
    for (int i = bytes - 1; i >= 0; i--)
        value = (value << 8) | static_cast<uint8_t>(data[at + i]);
    return value;
}

inline void putLe(const std::string &path, uint64_t offset, uint64_t value, int bytes)
{
    writeAt(path, offset, le(value, bytes));
}

inline uint64_t headerField(const std::string &path, uint64_t offset, int bytes)
{
    return getLe(readAt(path, 0, 512), offset, bytes);
}

// qemu-img convert -f raw -O vmdk [-o options] source image.
inline void toVmdk(const std::string &source, const std::string &image, const std::string &options = "")
{
    requireQemuImg();
    zvtest::mustRun("qemu-img convert -f raw -O vmdk " + (options.empty() ? "" : "-o " + options + " ") +
                    zvtest::shellQuote(source) + " " + zvtest::shellQuote(image));
}

// qemu-img convert -f vmdk -O raw image raw: the image as qemu reads it.
inline void toRaw(const std::string &image, const std::string &raw)
{
    requireQemuImg();
    zvtest::mustRun("qemu-img convert -f vmdk -O raw " + zvtest::shellQuote(image) + " " + zvtest::shellQuote(raw));
}

// The media size vmdkinfo (libvmdk, a second reader) reports, in bytes.
inline uint64_t vmdkinfoMediaSize(const std::string &image)
{
    zvtest::requireTool("vmdkinfo");
    const std::string out = zvtest::mustRun("vmdkinfo " + zvtest::shellQuote(image));
    const size_t at = out.find("Media size:");
    const size_t open = out.find('(', at);
    if (at == std::string::npos || open == std::string::npos)
        throw std::runtime_error("vmdkinfo gave no media size:\n" + out);
    return std::stoull(out.substr(open + 1));
}

// A monolithic sparse image of `sectors` sectors holding `data` at each
// given byte offset, beside its raw source "<image>.raw".
struct Extent {
    std::string image;
    std::string raw;
};

inline Extent makeMonolithic(const std::string &image, uint64_t sectors,
                             const std::vector<std::pair<uint64_t, std::string>> &data,
                             const std::string &options = "")
{
    Extent out{image, image + ".raw"};
    makeSparseFile(out.raw, sectors * 512);
    for (const auto &[offset, bytes] : data)
        writeAt(out.raw, offset, bytes);
    toVmdk(out.raw, out.image, options);
    return out;
}

// The grain directory's first entry and the first entry of the table it
// names, as byte offsets into the file of a sparse extent.
inline uint64_t directoryEntryAt(const std::string &image, uint64_t index)
{
    return headerField(image, kDirectoryAt, 8) * 512 + 4 * index;
}

inline uint64_t tableEntryAt(const std::string &image, uint64_t table, uint64_t index)
{
    return getLe(readAt(image, directoryEntryAt(image, table), 4), 0, 4) * 512 + 4 * index;
}

} // namespace vmdktest
