#include "storage/media_stream.h"

#include <cstdint>

#include "foundation/log.h"
#include "storage/media.h"

namespace HV {

ByteStreamMedia::ByteStreamMedia(Media *media)
    : media_(media), start_(0), length_(static_cast<uint64_t>(media_length(media)))
{
    open(modeRead);
}

ByteStreamMedia::ByteStreamMedia(Media *media, uint64_t start, uint64_t length)
    : media_(media), start_(start), length_(length)
{
    open(modeRead);
}

ByteStreamMedia::~ByteStreamMedia()
{
    if (isOpen())
        media_release(media_);
}

bool ByteStreamMedia::_open(int mode)
{
    if (mode != modeRead || media_ == nullptr)
        return false;
    if (media_retain(media_) != 0)
        return false;
    if (media_seek(media_, 0) != 0) {
        media_release(media_); // the stream stays closed: keep no reference
        return false;
    }
    return true;
}

uint64_t ByteStreamMedia::_length()
{
    return length_;
}

bool ByteStreamMedia::_seek(uint64_t offset)
{
    if (offset > length_) {
        log_error("%s: Invalid offset %llu for start=%llu, len=%llu", "HV::ByteStreamMedia::_seek",
                  (unsigned long long)offset, (unsigned long long)start_, (unsigned long long)length_);
        return false;
    }
    relativePosition_ = offset;
    return true;
}

int ByteStreamMedia::_read(void *destination, uint32_t count)
{
    static const char *const fn = "HV::ByteStreamMedia::_read";
    if (relativePosition_ > length_ || count > length_ - relativePosition_) {
        log_error("%s: Invalid length %u for start=%llu, len=%llu, relative_pos=%llu", fn, count,
                  (unsigned long long)start_, (unsigned long long)length_,
                  (unsigned long long)relativePosition_);
        return -1;
    }
    if (count == 0)
        return 0;
    const uint64_t position = start_ + relativePosition_;
    if (position < start_ || position > (uint64_t)INT64_MAX || media_seek(media_, (int64_t)position) != 0) {
        log_error("%s: Can't seek", fn);
        return -1;
    }
    const int64_t got = media_read(media_, destination, count);
    if (got < 0) {
        log_error("%s: media_read error %d", fn, (int)got);
        return -1;
    }
    relativePosition_ += (uint64_t)got;
    return (int)got;
}

uint32_t ByteStreamMedia::blockSize()
{
    const int32_t size = media_ != nullptr ? media_->block_size : 0;
    if (size < 512 || size > 65536 || (size & (size - 1)) != 0)
        return 512;
    return (uint32_t)size;
}

} // namespace HV
