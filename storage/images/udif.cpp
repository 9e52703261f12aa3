// Reading UDIF images (layout in udif_format.h).
//
// Implementation notes:
// - A sector is found by binary search over the index of readable chunks
//   (sorted and disjoint, built at load); the chunk found last is tried
//   first, then the one after it, so sequential reads search nothing.
// - Raw chunks are read with one read of their stored bytes. Compressed
//   chunks are fed to the decompressor kUDIFInputBlock bytes at a time, each
//   block until it is used up, and reading stops at the stream's end.
// - Whatever part of the chunk buffer the stored bytes do not fill is
//   zeroed, and the cached chunk is forgotten before a new one is read: a
//   chunk that fails or comes out short never shows bytes of an earlier one.
#include "storage/images/udif.h"

#include <bzlib.h>
#include <zlib.h>

#include <algorithm>
#include <cstring>
#include <stdexcept>

#include "foundation/console_log.h"

namespace ZV {

namespace {

// Compressed bytes handed to the decompressor per call. Large enough that
// the per-call cost is lost in the decompression itself.
constexpr uint32_t kUDIFInputBlock = 64 * 1024;

const char *const kReadSector = "ZV::DiskImageUDIF::readSector";
const char *const kReadUDIFSector = "ZV::DiskImageUDIF::readUDIFSector_";

// Result of one decompression step.
enum class Step { more, ended, failed };

// Reads the run's stored bytes in blocks and hands each to step(input, n)
// until it reports the end or a failure, or the bytes run out (then
// Step::more is returned: the stream ended incomplete).
template <class StepFunction>
Step feedStored(ByteStream &stream, const UDIFRun &run, StepFunction step)
{
    std::vector<uint8_t> input(size_t(std::min<uint64_t>(run.storedLength, kUDIFInputBlock)));
    uint64_t remaining = run.storedLength;
    Step last = Step::more;
    while (remaining > 0 && last == Step::more) {
        const uint32_t n = uint32_t(std::min<uint64_t>(remaining, kUDIFInputBlock));
        if (stream.read(input.data(), n) != int(n)) {
            ZV::log(7, "Can't read %u bytes", n);
            return Step::failed;
        }
        remaining -= n;
        last = step(input.data(), n);
    }
    return last;
}

} // namespace

DiskImageUDIF::DiskImageUDIF(const std::shared_ptr<ByteStream> &stream) : stream_(stream)
{
    if (!stream_ || !stream_->isOpen())
        throw std::invalid_argument("invalid disk image");
    const uint64_t fileLength = stream_->length();
    uint8_t trailerBytes[kUDIFTrailerSize];
    UDIFTrailer trailer;
    if (fileLength < kUDIFTrailerSize ||
        stream_->readAt(fileLength - kUDIFTrailerSize, trailerBytes, kUDIFTrailerSize) != int(kUDIFTrailerSize) ||
        udif_trailer_parse(trailerBytes, kUDIFTrailerSize, fileLength, &trailer) != kUDIFOk)
        throw std::invalid_argument("invalid disk image");

    // The trailer parse bounded the length by kUDIFMaxXMLLength and the file.
    Buffer xml(size_t(trailer.xmlLength));
    if (stream_->readAt(trailer.xmlOffset, xml.data(), uint32_t(trailer.xmlLength)) != int(trailer.xmlLength))
        throw std::invalid_argument("invalid disk image");
    if (udif_tables_from_xml(xml.data(), xml.length(), &tables_) != kUDIFOk ||
        udif_index_build(tables_, trailer.sectorCount, fileLength, &runs_) != kUDIFOk)
        throw std::invalid_argument("invalid disk image");

    numSectors_ = trailer.sectorCount;
    imageSize_ = trailer.xmlOffset + trailer.xmlLength + kUDIFTrailerSize;
    cachedRun_ = -1;
    lastRun_ = -1;
}

uint32_t DiskImageUDIF::sectorSize() { return kUDIFSectorSize; }
uint64_t DiskImageUDIF::numSectors() { return numSectors_; }
uint64_t DiskImageUDIF::imageSize() { return imageSize_; }
bool DiskImageUDIF::verify() { return false; }

bool DiskImageUDIF::readSector(uint64_t sector, void *destination, uint32_t size)
{
    if (destination == nullptr || size != kUDIFSectorSize) {
        ZV::log(7, "%s: Invalid input (sector=%llu)", kReadSector, (unsigned long long)sector);
        return false;
    }
    if (sector >= numSectors_) {
        ZV::log(7, "%s: Invalid sector %llu (numSectors=%llu)", kReadSector, (unsigned long long)sector,
                (unsigned long long)numSectors_);
        return false;
    }
    return readUDIFSector_(sector, destination);
}

bool DiskImageUDIF::readUDIFSector_(uint64_t sector, void *destination)
{
    auto holds = [&](long i) {
        return i >= 0 && size_t(i) < runs_.size() && sector - runs_[i].firstSector < runs_[i].sectorCount &&
               sector >= runs_[i].firstSector;
    };
    long found = lastRun_;
    if (!holds(found))
        found = holds(lastRun_ + 1) ? lastRun_ + 1 : udif_index_find(runs_, sector);
    if (found < 0) {
        ZV::log(7, "%s: Can't find sector %llu", kReadUDIFSector, (unsigned long long)sector);
        return false;
    }
    lastRun_ = found;
    const UDIFRun &run = runs_[found];
    if (run.type == kUDIFChunkZero || run.type == kUDIFChunkIgnore) {
        std::memset(destination, 0, kUDIFSectorSize);
        return true;
    }
    if (cachedRun_ != found) {
        cachedRun_ = -1; // the buffer is about to change: it holds no whole chunk until the read succeeds
        if (!readChunk_(run)) {
            ZV::log(7, "%s: Didn't get data for sector %llu", kReadUDIFSector, (unsigned long long)sector);
            return false;
        }
        cachedRun_ = found;
    }
    const uint64_t offset = (sector - run.firstSector) * kUDIFSectorSize;
    if (offset + kUDIFSectorSize > chunk_.length()) {
        ZV::log(7, "%s: Bad mem offset %u for sector %llu", kReadUDIFSector, unsigned(offset),
                (unsigned long long)sector);
        return false;
    }
    std::memcpy(destination, chunk_.data() + offset, kUDIFSectorSize);
    return true;
}

bool DiskImageUDIF::readChunk_(const UDIFRun &run)
{
    // At most kUDIFMaxChunkBytes, checked at load.
    const uint32_t length = uint32_t(run.sectorCount * kUDIFSectorSize);
    chunk_.setLength(length);
    if (!stream_->seek(run.fileOffset)) {
        ZV::log(7, "Can't seek for data");
        return false;
    }
    uint64_t produced = 0;
    bool ok = false;
    if (run.type == kUDIFChunkRaw) {
        // At most length bytes, checked at load.
        const uint32_t n = uint32_t(run.storedLength);
        ok = n == 0 || stream_->read(chunk_.data(), n) == int(n);
        if (!ok)
            ZV::log(7, "Can't read %u bytes", n);
        produced = n;
    } else if (run.type == kUDIFChunkZlib) {
        ok = inflateChunk_(run, &produced);
    } else if (run.type == kUDIFChunkBzip2) {
        ok = bunzipChunk_(run, &produced);
    } else {
        ZV::log(7, "%s: Unknown type 0x%08X", kReadUDIFSector, run.type);
    }
    if (ok)
        std::memset(chunk_.data() + produced, 0, length - produced);
    return ok;
}

bool DiskImageUDIF::inflateChunk_(const UDIFRun &run, uint64_t *produced)
{
    z_stream z;
    std::memset(&z, 0, sizeof z);
    const int init = inflateInit(&z);
    if (init != Z_OK) {
        ZV::log(7, "inflateInit failed: %d", init);
        return false;
    }
    z.next_out = chunk_.data();
    z.avail_out = chunk_.length();
    int result = Z_OK;
    const Step end = feedStored(*stream_, run, [&](uint8_t *input, uint32_t n) {
        z.next_in = input;
        z.avail_in = n;
        do {
            const uInt inBefore = z.avail_in, outBefore = z.avail_out;
            result = inflate(&z, Z_NO_FLUSH);
            if (result == Z_OK && z.avail_in == inBefore && z.avail_out == outBefore)
                result = Z_BUF_ERROR; // the output is full and the stream goes on
        } while (result == Z_OK && z.avail_in > 0);
        if (result == Z_STREAM_END)
            return Step::ended;
        if (result != Z_OK) {
            ZV::log(7, "Inflate error: %d", result);
            return Step::failed;
        }
        return Step::more;
    });
    *produced = chunk_.length() - z.avail_out;
    inflateEnd(&z);
    if (end == Step::more)
        ZV::log(7, "Zlib stream ended incomplete");
    return end == Step::ended;
}

bool DiskImageUDIF::bunzipChunk_(const UDIFRun &run, uint64_t *produced)
{
    bz_stream bz;
    std::memset(&bz, 0, sizeof bz);
    const int init = BZ2_bzDecompressInit(&bz, 0, 0);
    if (init != BZ_OK) {
        ZV::log(7, "BZ2_bzDecompressInit failed: %d", init);
        return false;
    }
    bz.next_out = reinterpret_cast<char *>(chunk_.data());
    bz.avail_out = chunk_.length();
    int result = BZ_OK;
    const Step end = feedStored(*stream_, run, [&](uint8_t *input, uint32_t n) {
        bz.next_in = reinterpret_cast<char *>(input);
        bz.avail_in = n;
        do {
            const unsigned inBefore = bz.avail_in, outBefore = bz.avail_out;
            result = BZ2_bzDecompress(&bz);
            if (result == BZ_OK && bz.avail_in == inBefore && bz.avail_out == outBefore)
                result = BZ_OUTBUFF_FULL; // the output is full and the stream goes on
        } while (result == BZ_OK && bz.avail_in > 0);
        if (result == BZ_STREAM_END)
            return Step::ended;
        if (result != BZ_OK) {
            ZV::log(7, "bzDecompress error: %d", result);
            return Step::failed;
        }
        return Step::more;
    });
    *produced = chunk_.length() - bz.avail_out;
    BZ2_bzDecompressEnd(&bz);
    if (end == Step::more)
        ZV::log(7, "BZlib stream ended incomplete");
    return end == Step::ended;
}

} // namespace ZV
