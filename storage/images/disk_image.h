// Disk images: one reader interface (ZV::DiskImage) with a reader per image
// format, the opener that tries the formats in a fixed order, and
// ZV::ByteStreamDiskImage, the read-only byte stream presenting an opened
// image as a flat run of sectors.
//
//   format         class                  sectors   opened from
//   UDIF           ZV::DiskImageUDIF      512       a stream (udif.h)
//   DiskCopy 4.2   ZV::DiskImageDC42      512       a stream (dc42.h)
//   own format     ZV::DiskImageZorvant   512/4096  a stream (zorvant_image.h)
//   VMDK           ZV::DiskImageVMDK      512       a path   (vmdk.h)
//
// Every reader's constructor throws std::invalid_argument("invalid disk
// image") when the data is not an image of its format; a constructed reader
// is always usable. A reader that knows the file as its format but not the
// kind of image it is (a stream-optimized or flat VMDK) throws
// ZV::DiskImageUnsupported, an invalid_argument of the same text that also
// says, in words, what is not read: the opener then reports the image
// instead of letting the file be read as its own bytes. Readers are shared
// (make_shared) and read from one thread at a time.
#pragma once

#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>
#include <utility>

#include "foundation/byte_stream.h"
#include "foundation/u8string.h"

namespace ZV {

// An image of a known format but of a kind no reader reads.
class DiskImageUnsupported : public std::invalid_argument {
public:
    explicit DiskImageUnsupported(std::string reason)
        : std::invalid_argument("invalid disk image"), reason_(std::move(reason))
    {
    }
    // The message for the user, e.g. "stream-optimized VMDK images are not
    // supported; convert it ...".
    const std::string &reason() const { return reason_; }

private:
    std::string reason_;
};

class DiskImage {
public:
    virtual ~DiskImage() = default;
    // Bytes per sector of the image.
    virtual uint32_t sectorSize() = 0;
    // Sectors the image presents.
    virtual uint64_t numSectors() = 0;
    // Size in bytes the image file is expected to have.
    virtual uint64_t imageSize() = 0;
    // Checks the image's own checksum; false where the format has none.
    virtual bool verify() = 0;
    // Reads one sector into destination (size bytes, see each reader).
    virtual bool readSector(uint64_t sector, void *destination, uint32_t size) = 0;

    // The image at path, tried as UDIF, DiskCopy 4.2, the own format (one
    // file stream) and then VMDK (by path); empty when no reader accepts it.
    // When a reader refused the file as an unsupported kind of its format,
    // *unsupported (when given) gets the reader's reason; it stays empty for
    // a file that is no image at all.
    static std::shared_ptr<DiskImage> open(const zorvant::u8string &path, std::string *unsupported = nullptr);
    // The UDIF reader over a stream opened for reading, or empty.
    static std::shared_ptr<DiskImage> openUDIF(const std::shared_ptr<ByteStream> &stream);
};

// A read-only stream over an opened image: block size and alignment are the
// image's sector size, the length its sectors.
class ByteStreamDiskImage : public ByteStream {
public:
    explicit ByteStreamDiskImage(std::shared_ptr<DiskImage> image);
    ~ByteStreamDiskImage() override = default;

    // 0 when position is not a whole sector inside the image (logged), 1 a
    // sector inside it, 2 exactly its end; *sector gets position / size.
    static int dmgValidatePosition(DiskImage *image, uint64_t position, uint64_t *sector);

    uint64_t _length() override;
    uint32_t blockSize() override;
    uint32_t alignment() override;
    bool _seek(uint64_t position) override;
    int _read(void *destination, uint32_t count) override;

    const std::shared_ptr<DiskImage> &image() const { return image_; }

private:
    std::shared_ptr<DiskImage> image_;
    uint32_t sectorSize_;
};

} // namespace ZV
