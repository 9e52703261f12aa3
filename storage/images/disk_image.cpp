// The disk-image opener and the image stream (see disk_image.h).
#include "storage/images/disk_image.h"

namespace ZV {

std::shared_ptr<DiskImage> DiskImage::open(const zorvant::u8string &) { return nullptr; }
std::shared_ptr<DiskImage> DiskImage::openUDIF(const std::shared_ptr<ByteStream> &) { return nullptr; }

ByteStreamDiskImage::ByteStreamDiskImage(std::shared_ptr<DiskImage> image)
    : image_(std::move(image)), sectorSize_(image_ != nullptr ? image_->sectorSize() : 512)
{
}
int ByteStreamDiskImage::dmgValidatePosition(DiskImage *, uint64_t, uint64_t *) { return 0; }
uint64_t ByteStreamDiskImage::_length() { return 0; }
uint32_t ByteStreamDiskImage::blockSize() { return sectorSize_; }
uint32_t ByteStreamDiskImage::alignment() { return sectorSize_; }
bool ByteStreamDiskImage::_seek(uint64_t) { return false; }
int ByteStreamDiskImage::_read(void *, uint32_t) { return -1; }

} // namespace ZV
