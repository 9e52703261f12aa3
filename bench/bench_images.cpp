// The worker of bench/bench_images.sh. A plain program, not a Google
// Benchmark one: each pass is one long transfer.
//
//   bench_images read <image>          reads the image through a medium as
//                                      the engine adds one: the path is
//                                      registered as a disk image
//                                      (file_open_disk_image), attached as an
//                                      image medium and read from start to
//                                      end by its block reader with
//                                      read-ahead, one 512-byte block per
//                                      request as the thorough scan does,
//                                      with a trivial consumer. A file no
//                                      reader accepts is read as its own
//                                      bytes (a raw image).
//   bench_images dump <image> <out>    the same reads, every block written to
//                                      out (to compare with the source)
//   bench_images make-udif <raw> <out> zlib|raw
//                                      writes a UDIF image of the raw file
//                                      (size a multiple of 512): chunks of
//                                      kChunkSectors sectors, one block table
//                                      per kTableSectors sectors; a chunk of
//                                      zeros is a zero-fill chunk, with zlib
//                                      a chunk that does not shrink is stored
//                                      raw
//
// read prints "key value" lines: bytes, open (seconds to register and
// attach), read (seconds of the read), cpu (CPU seconds of the process).
// Every mode exits 0 on success, 1 on failure (said on stderr).
#include <time.h>

#include <zlib.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "storage/images/image_file.h"
#include "storage/media.h"

namespace {

constexpr int32_t kBlock = 512;
constexpr uint64_t kChunkSectors = 2048;           // 1 MiB chunks, as imaging tools write them
constexpr uint64_t kTableSectors = 256 * 2048;     // 256 MiB per block table
constexpr uint32_t kChunkZero = 0, kChunkRaw = 1, kChunkZlib = 0x80000005, kChunkEnd = 0xFFFFFFFF;

double seconds(clockid_t clock)
{
    timespec now{};
    clock_gettime(clock, &now);
    return double(now.tv_sec) + double(now.tv_nsec) * 1e-9;
}

int failed(const char *what, const std::string &path)
{
    std::fprintf(stderr, "bench_images: %s %s\n", what, path.c_str());
    return 1;
}

// Registers and attaches the image, reads every block, hands each to
// consume. 0 when all bytes were read.
template <class Consume> int readImage(const char *path, double *opened, int64_t *bytes, Consume consume)
{
    const double start = seconds(CLOCK_MONOTONIC);
    file_open_disk_image(path); // -1: no image, read as its own bytes
    Media *media = media_attach_image(path);
    if (media == nullptr || media_retain(media) != 0)
        return failed("can't attach", path);
    if (setup_reader(media, true, nullptr) != 0 || media_seek(media, 0) != 0)
        return failed("can't start the reader on", path);
    *opened = seconds(CLOCK_MONOTONIC) - start;
    const int64_t length = media_length(media);
    int status = 0;
    while (media->byte_pos < length) {
        const uint8_t *block = nullptr;
        const int64_t at = media->byte_pos;
        status = media_get_max_bytes(media, &block, kBlock);
        if (status != 0)
            break;
        consume(block, static_cast<size_t>(std::min<int64_t>(kBlock, length - at)));
    }
    *bytes = media->byte_pos;
    media_rd_close(media);
    media_release(media);
    media_free_all();
    if (status != 0 || *bytes < length) {
        std::fprintf(stderr, "bench_images: read stopped at %lld of %lld (status %d)\n", (long long)*bytes,
                     (long long)length, status);
        return 1;
    }
    return 0;
}

// --- a UDIF writer ------------------------------------------------------------------------

void putBE(std::vector<uint8_t> &out, size_t at, uint64_t value, int bytes)
{
    for (int i = 0; i < bytes; ++i)
        out[at + i] = static_cast<uint8_t>(value >> (8 * (bytes - 1 - i)));
}

std::string base64(const std::vector<uint8_t> &data)
{
    static const char digits[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    for (size_t i = 0; i < data.size(); i += 3) {
        const uint32_t n = (uint32_t)data[i] << 16 | (i + 1 < data.size() ? (uint32_t)data[i + 1] << 8 : 0) |
                           (i + 2 < data.size() ? data[i + 2] : 0);
        out += digits[n >> 18 & 63];
        out += digits[n >> 12 & 63];
        out += i + 1 < data.size() ? digits[n >> 6 & 63] : '=';
        out += i + 2 < data.size() ? digits[n & 63] : '=';
    }
    return out;
}

struct Chunk {
    uint32_t type;
    uint64_t first, count, offset, length; // first: sector inside its table
};

std::vector<uint8_t> blockTable(uint64_t first, uint64_t count, const std::vector<Chunk> &chunks)
{
    std::vector<uint8_t> t(204 + 40 * (chunks.size() + 1), 0);
    putBE(t, 0, 0x6D697368, 4); // "mish"
    putBE(t, 4, 1, 4);
    putBE(t, 8, first, 8);
    putBE(t, 16, count, 8);
    putBE(t, 32, kChunkSectors + 8, 4); // buffers needed
    putBE(t, 200, chunks.size() + 1, 4);
    size_t at = 204;
    for (const Chunk &c : chunks) {
        putBE(t, at, c.type, 4);
        putBE(t, at + 8, c.first, 8);
        putBE(t, at + 16, c.count, 8);
        putBE(t, at + 24, c.offset, 8);
        putBE(t, at + 32, c.length, 8);
        at += 40;
    }
    putBE(t, at, kChunkEnd, 4);
    putBE(t, at + 8, count, 8);
    return t;
}

int makeUdif(const char *rawPath, const char *outPath, bool zlib)
{
    FILE *in = std::fopen(rawPath, "rb");
    if (in == nullptr)
        return failed("can't open", rawPath);
    FILE *out = std::fopen(outPath, "wb");
    if (out == nullptr)
        return std::fclose(in), failed("can't create", outPath);
    std::vector<uint8_t> raw(kChunkSectors * 512), packed(compressBound(raw.size()));
    std::string tables;
    uint64_t sector = 0, written = 0;
    bool end = false;
    while (!end) {
        const uint64_t tableFirst = sector;
        std::vector<Chunk> chunks;
        while (sector - tableFirst < kTableSectors) {
            const size_t got = std::fread(raw.data(), 1, raw.size(), in);
            if (got % 512 != 0)
                return std::fclose(in), std::fclose(out), failed("size is no multiple of 512:", rawPath);
            if (got == 0) {
                end = true;
                break;
            }
            Chunk c{kChunkRaw, sector - tableFirst, got / 512, written, got};
            const uint8_t *data = raw.data();
            if (std::all_of(raw.begin(), raw.begin() + got, [](uint8_t b) { return b == 0; })) {
                c.type = kChunkZero;
                c.length = 0;
            } else if (zlib) {
                uLongf size = packed.size();
                if (compress2(packed.data(), &size, raw.data(), got, Z_DEFAULT_COMPRESSION) == Z_OK && size < got) {
                    c.type = kChunkZlib;
                    c.length = size;
                    data = packed.data();
                }
            }
            if (c.length != 0 && std::fwrite(data, 1, c.length, out) != c.length)
                return std::fclose(in), std::fclose(out), failed("can't write", outPath);
            written += c.length;
            sector += c.count;
            chunks.push_back(c);
        }
        if (!chunks.empty())
            tables += "\t\t\t<dict>\n\t\t\t\t<key>Attributes</key>\n\t\t\t\t<string>0x0050</string>\n"
                      "\t\t\t\t<key>Data</key>\n\t\t\t\t<data>" +
                      base64(blockTable(tableFirst, sector - tableFirst, chunks)) +
                      "</data>\n\t\t\t\t<key>Name</key>\n\t\t\t\t<string>part</string>\n\t\t\t</dict>\n";
    }
    std::fclose(in);
    const std::string xml = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
                            "<!DOCTYPE plist PUBLIC \"-//Apple//DTD PLIST 1.0//EN\" "
                            "\"http://www.apple.com/DTDs/PropertyList-1.0.dtd\">\n"
                            "<plist version=\"1.0\">\n<dict>\n\t<key>resource-fork</key>\n\t<dict>\n"
                            "\t\t<key>blkx</key>\n\t\t<array>\n" +
                            tables + "\t\t</array>\n\t</dict>\n</dict>\n</plist>\n";
    std::vector<uint8_t> koly(512, 0);
    putBE(koly, 0, 0x6B6F6C79, 4); // "koly"
    putBE(koly, 4, 4, 4);
    putBE(koly, 8, 512, 4);
    putBE(koly, 12, 1, 4);         // flags
    putBE(koly, 32, written, 8);   // data fork length (its offset is 0)
    putBE(koly, 56, 1, 4);         // segment 1 of 1
    putBE(koly, 60, 1, 4);
    putBE(koly, 216, written, 8);  // XML offset
    putBE(koly, 224, xml.size(), 8);
    putBE(koly, 488, 1, 4);        // image variant
    putBE(koly, 492, sector, 8);
    const bool ok = std::fwrite(xml.data(), 1, xml.size(), out) == xml.size() &&
                    std::fwrite(koly.data(), 1, koly.size(), out) == koly.size();
    if (std::fclose(out) != 0 || !ok)
        return failed("can't write", outPath);
    return 0;
}

} // namespace

int main(int argc, char **argv)
{
    const std::string mode = argc > 1 ? argv[1] : "";
    if (mode == "read" && argc == 3) {
        const double cpu0 = seconds(CLOCK_PROCESS_CPUTIME_ID);
        double opened = 0;
        int64_t bytes = 0;
        uint64_t touched = 0;
        const double start = seconds(CLOCK_MONOTONIC);
        const int rc = readImage(argv[2], &opened, &bytes, [&](const uint8_t *b, size_t n) { touched += b[0] ^ b[n - 1]; });
        const double wall = seconds(CLOCK_MONOTONIC) - start;
        if (rc == 0)
            std::printf("bytes %lld\nopen %.6f\nread %.6f\ncpu %.6f\ntouched %llu\n", (long long)bytes, opened,
                        wall - opened, seconds(CLOCK_PROCESS_CPUTIME_ID) - cpu0, (unsigned long long)(touched & 1));
        return rc;
    }
    if (mode == "dump" && argc == 4) {
        FILE *out = std::fopen(argv[3], "wb");
        if (out == nullptr)
            return failed("can't create", argv[3]);
        double opened = 0;
        int64_t bytes = 0;
        bool ok = true;
        const int rc = readImage(argv[2], &opened, &bytes, [&](const uint8_t *b, size_t n) {
            ok = ok && std::fwrite(b, 1, n, out) == n;
        });
        if (std::fclose(out) != 0 || !ok)
            return failed("can't write", argv[3]);
        return rc;
    }
    if (mode == "make-udif" && argc == 5 && (std::strcmp(argv[4], "zlib") == 0 || std::strcmp(argv[4], "raw") == 0))
        return makeUdif(argv[2], argv[3], std::strcmp(argv[4], "zlib") == 0);
    std::fprintf(stderr,
                 "usage: %s read <image> | dump <image> <out> | make-udif <raw> <out> zlib|raw\n", argv[0]);
    return 2;
}
