// The disk-image opener and the image stream (see disk_image.h).
//
// Implementation notes
//   - The opener gives the file to the stream readers only when it is a
//     regular file: opening a FIFO for reading waits for a writer, and a
//     device or a folder is no image file. Whatever the path names, it is
//     still offered to the VMDK reader, which opens its descriptor and
//     extents itself and refuses anything but regular files.
//   - All stream readers share one stream; each starts at position 0,
//     wherever the one before it gave up. A reader that accepts keeps its
//     own reference to the stream; the opener's reference is dropped before
//     the VMDK reader runs, so no descriptor is left open for nothing.
//   - A reader that throws DiskImageUnsupported knows the file as its
//     format: its reason is kept for the caller (the first one wins), so a
//     stream-optimized VMDK is reported as such rather than read as bytes.
//   - A reader's image is used only when its geometry is sound (see
//     disk_image_geometry_ok). Every reader refuses a 0-sector image by
//     itself; the opener checks again, since an empty "image" would hide
//     the real bytes of the file under a medium of length 0.
//   - The stream keeps no position of its own: _seek only validates and
//     _read reads whole sectors at the base position.
#include "storage/images/disk_image.h"

#include <sys/stat.h>

#include <climits>
#include <cstring>

#include "foundation/console_log.h"
#include "foundation/fileops.h"
#include "storage/images/dc42.h"
#include "storage/images/disk_image_readers.h"
#include "storage/images/udif.h"
#include "storage/images/vmdk.h"
#include "storage/images/zorvant_image.h"

namespace ZV {

namespace {

// Sector sizes a stream can present (the readers give 512 or 4096; the
// media layer reads blocks of up to 64 KiB).
constexpr uint32_t kMinSectorSize = 512;
constexpr uint32_t kMaxSectorSize = 65536;

// Whether path names a regular file (links followed).
bool isRegularFile(const zorvant::u8string &path)
{
    struct stat info;
    return utf8_stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode);
}

// Runs one reader: its image when it accepts and the geometry is sound,
// else empty. A reader refuses by throwing; anything it throws is caught,
// and the reason of an unsupported kind goes to *unsupported (when given
// and still empty).
template <class Reader>
std::shared_ptr<DiskImage> tryReader(const zorvant::u8string &path, const Reader &reader,
                                     std::string *unsupported = nullptr)
{
    std::shared_ptr<DiskImage> image;
    try {
        image = reader();
        if (image != nullptr && !disk_image_geometry_ok(*image)) {
            ZV::log(2, "%s: %s: refused an image of %llu sectors of %lu bytes", "ZV::DiskImage::open", path.c_str(),
                static_cast<unsigned long long>(image->numSectors()), static_cast<unsigned long>(image->sectorSize()));
            image.reset();
        }
    } catch (const DiskImageUnsupported &e) {
        image.reset();
        if (unsupported != nullptr && unsupported->empty())
            *unsupported = e.reason();
    } catch (...) {
        image.reset();
    }
    return image;
}

// The tries of the stream readers over one stream of the file at path.
std::shared_ptr<DiskImage> openByStream(const zorvant::u8string &path, const DiskImageReaders &readers,
                                        std::string *unsupported)
{
    std::shared_ptr<ByteStream> stream;
    try {
        stream = std::make_shared<ByteStreamFile>(path);
    } catch (...) {
        return nullptr;
    }
    if (!stream->open(ByteStream::modeRead))
        return nullptr;
    for (const auto &reader : readers.stream) {
        if (!stream->seek(0))
            return nullptr;
        auto image = tryReader(path, [&] { return reader(stream); }, unsupported);
        if (image != nullptr)
            return image;
    }
    return nullptr;
}

} // namespace

const DiskImageReaders &disk_image_readers()
{
    static const DiskImageReaders readers = {
        {
            [](const std::shared_ptr<ByteStream> &s) -> std::shared_ptr<DiskImage> {
                return std::make_shared<DiskImageUDIF>(s);
            },
            [](const std::shared_ptr<ByteStream> &s) -> std::shared_ptr<DiskImage> {
                return std::make_shared<DiskImageDC42>(s);
            },
            [](const std::shared_ptr<ByteStream> &s) -> std::shared_ptr<DiskImage> {
                return std::make_shared<DiskImageZorvant>(s);
            },
        },
        [](const zorvant::u8string &path) -> std::shared_ptr<DiskImage> {
            return std::make_shared<DiskImageVMDK>(path);
        },
    };
    return readers;
}

bool disk_image_geometry_ok(DiskImage &image)
{
    const uint32_t size = image.sectorSize();
    const uint64_t count = image.numSectors();
    return size >= kMinSectorSize && size <= kMaxSectorSize && (size & (size - 1)) == 0 && count > 0 &&
           count <= static_cast<uint64_t>(INT64_MAX) / size;
}

std::shared_ptr<DiskImage> disk_image_open_with(const zorvant::u8string &path, const DiskImageReaders &readers,
                                                std::string *unsupported)
{
    std::string reason;
    std::shared_ptr<DiskImage> image;
    if (isRegularFile(path))
        image = openByStream(path, readers, &reason);
    if (image == nullptr && readers.path)
        image = tryReader(path, [&] { return readers.path(path); }, &reason);
    if (unsupported != nullptr)
        *unsupported = image == nullptr ? reason : std::string(); // a reader that accepts wins
    return image;
}

std::shared_ptr<DiskImage> DiskImage::open(const zorvant::u8string &path, std::string *unsupported)
{
    return disk_image_open_with(path, disk_image_readers(), unsupported);
}

std::shared_ptr<DiskImage> DiskImage::openUDIF(const std::shared_ptr<ByteStream> &stream)
{
    if (stream == nullptr)
        return nullptr;
    return tryReader(zorvant::u8string("(stream)"), [&] { return disk_image_readers().stream.front()(stream); });
}

// --- the image stream -------------------------------------------------------------------

ByteStreamDiskImage::ByteStreamDiskImage(std::shared_ptr<DiskImage> image)
    : image_(std::move(image)), sectorSize_(image_ != nullptr ? image_->sectorSize() : 512)
{
    // A stream over no image, or over sectors it could not address, stays
    // closed: every read of a closed stream fails.
    if (image_ != nullptr && disk_image_geometry_ok(*image_))
        open(modeRead);
}

int ByteStreamDiskImage::dmgValidatePosition(DiskImage *image, uint64_t position, uint64_t *sector)
{
    static const char *const fn = "ZV::ByteStreamDiskImage::dmgValidatePosition";
    const uint32_t size = image != nullptr ? image->sectorSize() : 0;
    if (size == 0)
        return 0;
    const uint64_t s = position / size;
    if (position % size != 0) {
        ZV::log(2, "%s: Position is not sector aligned %llu", fn, static_cast<unsigned long long>(position));
        return 0;
    }
    if (sector != nullptr)
        *sector = s;
    const uint64_t count = image->numSectors();
    if (s == count)
        return 2;
    if (s < count)
        return 1;
    ZV::log(2, "%s: Out of range sector %llu for position %llu", fn, static_cast<unsigned long long>(s),
        static_cast<unsigned long long>(position));
    return 0;
}

uint64_t ByteStreamDiskImage::_length()
{
    if (image_ == nullptr || sectorSize_ == 0)
        return 0;
    const uint64_t count = image_->numSectors();
    return count <= static_cast<uint64_t>(INT64_MAX) / sectorSize_ ? count * sectorSize_ : 0;
}

uint32_t ByteStreamDiskImage::blockSize() { return sectorSize_; }

uint32_t ByteStreamDiskImage::alignment() { return sectorSize_; }

bool ByteStreamDiskImage::_seek(uint64_t position)
{
    uint64_t sector = 0;
    if (dmgValidatePosition(image_.get(), position, &sector) != 0)
        return true;
    ZV::log(6, "%s: Invalid seek position %llu", "ZV::ByteStreamDiskImage::_seek",
        static_cast<unsigned long long>(position));
    return false;
}

int ByteStreamDiskImage::_read(void *destination, uint32_t count)
{
    static const char *const fn = "ZV::ByteStreamDiskImage::_read";
    // The base reads a stream that was never opened as well: one over an
    // image whose geometry was refused must read nothing.
    if (!isOpen())
        return -1;
    uint64_t sector = 0;
    if (dmgValidatePosition(image_.get(), position(), &sector) == 0) {
        ZV::log(6, "%s: Invalid read position %llu", fn, static_cast<unsigned long long>(position()));
        return -1;
    }
    if (count % sectorSize_ != 0 || count > static_cast<uint32_t>(INT_MAX)) {
        ZV::log(6, "%s: Invalid read length %llu", fn, static_cast<unsigned long long>(count));
        return -1;
    }
    const uint64_t total = image_->numSectors();
    uint8_t *out = static_cast<uint8_t *>(destination);
    uint32_t done = 0;
    for (uint64_t s = sector; done < count && s < total; ++s) {
        if (!image_->readSector(s, out + done, sectorSize_))
            return -1;
        done += sectorSize_;
    }
    return static_cast<int>(done);
}

} // namespace ZV
