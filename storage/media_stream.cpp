#include "storage/media_stream.h"

#include <cstdint>

#include "foundation/log.h"
#include "storage/media.h"

namespace HV {

ByteStreamMedia::ByteStreamMedia(Media *media)
    : media_(media), start_(0), length_(static_cast<uint64_t>(media_length(media)))
{
    if (media != nullptr && !(media->flags & MEDIA_FLAG_UNLISTED)) {
        mediaId_ = media->id;
        listed_ = true;
    }
    open(modeRead);
}

ByteStreamMedia::ByteStreamMedia(Media *media, uint64_t start, uint64_t length)
    : media_(media), start_(start), length_(length)
{
    if (media != nullptr && !(media->flags & MEDIA_FLAG_UNLISTED)) {
        mediaId_ = media->id;
        listed_ = true;
    }
    open(modeRead);
}

ByteStreamMedia::~ByteStreamMedia()
{
    if (!isOpen())
        return;
    if (Media *m = media())
        media_release(m); // a medium freed meanwhile took its references with it
}

Media *ByteStreamMedia::media() const
{
    if (!listed_)
        return media_;
    // The id names the same record for as long as it is listed; the pointer
    // is only handed out when the list still holds it.
    Media *found = media_find_by_id(mediaId_, 0);
    return found == media_ ? found : nullptr;
}

bool ByteStreamMedia::_open(int mode)
{
    Media *m = media();
    if (mode != modeRead || m == nullptr)
        return false;
    if (media_retain(m) != 0)
        return false;
    if (media_seek(m, 0) != 0) {
        media_release(m); // the stream stays closed: keep no reference
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
    if (relativePosition_ > length_) {
        log_error("%s: Invalid length %u for start=%llu, len=%llu, relative_pos=%llu", fn, count,
                  (unsigned long long)start_, (unsigned long long)length_,
                  (unsigned long long)relativePosition_);
        return -1;
    }
    // Shortened to the window: 0 at its end, the rest across it.
    if ((uint64_t)count > length_ - relativePosition_)
        count = (uint32_t)(length_ - relativePosition_);
    if (count == 0)
        return 0;
    Media *m = media();
    if (m == nullptr) {
        log_error("%s: medium %u is gone", fn, mediaId_);
        return -1;
    }
    const uint64_t position = start_ + relativePosition_;
    if (position < start_ || position > (uint64_t)INT64_MAX || media_seek(m, (int64_t)position) != 0) {
        log_error("%s: Can't seek", fn);
        return -1;
    }
    const int64_t got = media_read(m, destination, count);
    if (got < 0) {
        log_error("%s: media_read error %d", fn, (int)got);
        return -1;
    }
    relativePosition_ += (uint64_t)got;
    return (int)got;
}

uint32_t ByteStreamMedia::blockSize()
{
    const Media *m = media();
    const int32_t size = m != nullptr ? m->block_size : 0;
    if (size < 512 || size > 65536 || (size & (size - 1)) != 0)
        return 512;
    return (uint32_t)size;
}

} // namespace HV
