// A tiny image format of the tests' own, for the opener, the image stream and
// the stream-backed file type without any real format reader:
//
//   offset 0   "FAKEDISK"
//   offset 8   sector size, u32 little-endian
//   offset 12  sector count, u32 little-endian
//   offset 16  the sectors, one after the other
//
// FakeDiskImage reads it through a ZV::ByteStream like the real readers and
// throws std::invalid_argument("invalid disk image") for anything else. Its
// readSector keeps the last sector in a member buffer, as the real readers
// keep a chunk, so unserialised reads from two threads are a data race that
// ThreadSanitizer reports.
#pragma once

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstring>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "foundation/byte_stream.h"
#include "storage/images/disk_image.h"

namespace zvtest {

class FakeDiskImage : public ZV::DiskImage {
public:
    static constexpr uint32_t kHeader = 16;

    explicit FakeDiskImage(const std::shared_ptr<ZV::ByteStream> &stream)
    {
        uint8_t head[kHeader];
        if (stream == nullptr || !stream->seek(0) || stream->read(head, kHeader) != (int)kHeader ||
            std::memcmp(head, "FAKEDISK", 8) != 0)
            throw std::invalid_argument("invalid disk image");
        std::memcpy(&sectorSize_, head + 8, 4);
        uint32_t count = 0;
        std::memcpy(&count, head + 12, 4);
        sectors_ = count;
        if (sectorSize_ == 0 || stream->length() < kHeader + sectors_ * sectorSize_)
            throw std::invalid_argument("invalid disk image");
        data_.resize(sectors_ * sectorSize_);
        if (!data_.empty() && stream->read(data_.data(), (uint32_t)data_.size()) != (int)data_.size())
            throw std::invalid_argument("invalid disk image");
        last_.resize(sectorSize_);
        ++opened;
    }
    // An image of count sectors of size bytes filled from bytes (zeros past its end).
    FakeDiskImage(uint32_t size, uint64_t count, const std::string &bytes = "")
        : sectorSize_(size), sectors_(count), data_(size * count), last_(size)
    {
        std::memcpy(data_.data(), bytes.data(), std::min(bytes.size(), data_.size()));
    }

    uint32_t sectorSize() override { return sectorSize_; }
    uint64_t numSectors() override { return sectors_; }
    uint64_t imageSize() override { return kHeader + data_.size(); }
    bool verify() override { return false; }
    bool readSector(uint64_t sector, void *destination, uint32_t size) override
    {
        reads.push_back(sector);
        if (sector >= sectors_ || size != sectorSize_ || sector == failAt)
            return false;
        std::memcpy(last_.data(), data_.data() + sector * sectorSize_, sectorSize_);
        std::memcpy(destination, last_.data(), sectorSize_);
        return true;
    }

    std::vector<uint64_t> reads;  // sectors asked for, in order
    uint64_t failAt = UINT64_MAX; // a sector whose read fails
    static inline std::atomic<int> opened{0}; // images read from a stream so far

private:
    uint32_t sectorSize_ = 512;
    uint64_t sectors_ = 0;
    std::vector<uint8_t> data_;
    std::vector<uint8_t> last_; // the sector last read, as a reader's cache
};

// The bytes of a fake image file: the header, then sectors (cut or padded
// with zeros to count x size).
inline std::string fakeImageFile(uint32_t size, uint32_t count, const std::string &sectors)
{
    std::string out = "FAKEDISK";
    out.append(reinterpret_cast<const char *>(&size), 4);
    out.append(reinterpret_cast<const char *>(&count), 4);
    std::string body = sectors;
    body.resize((size_t)size * count, '\0');
    return out + body;
}

// An opener for the fake format, in the place of ZV::DiskImage::open.
inline std::shared_ptr<ZV::DiskImage> openFakeImage(const zorvant::u8string &path)
{
    auto stream = std::make_shared<ZV::ByteStreamFile>(path);
    if (!stream->open(ZV::ByteStream::modeRead))
        return nullptr;
    try {
        return std::make_shared<FakeDiskImage>(stream);
    } catch (const std::invalid_argument &) {
        return nullptr;
    }
}

} // namespace zvtest
