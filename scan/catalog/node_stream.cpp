#include "scan/catalog/node_stream.h"

#include <algorithm>
#include <cstring>
#include <stdexcept>

#include "foundation/buf.h"
#include "foundation/log.h"
#include "scan/catalog/fs_record.h"
#include "scan/scan_context.h"

namespace HV {

ByteStreamNode::ByteStreamNode(uint64_t keyref, int fork) : keyref_(keyref), fork_(fork)
{
    fs_ = fs_from_keyref(keyref);
    if (fs_ == nullptr)
        throw std::invalid_argument("Invalid keyref");
    length_ = fs_node_fork_size(fs_.get(), keyref_keynum(keyref), fork);
    position_ = 0;
    open(modeRead);
}

ByteStreamNode::~ByteStreamNode() = default;

bool ByteStreamNode::_open(int mode)
{
    return mode == modeRead;
}

uint64_t ByteStreamNode::_length()
{
    return length_;
}

bool ByteStreamNode::_seek(uint64_t offset)
{
    if (offset > length_) {
        log_error("%s: Invalid offset %llu for len=%llu", "HV::ByteStreamNode::_seek", (unsigned long long)offset,
                  (unsigned long long)length_);
        return false;
    }
    position_ = offset;
    return true;
}

int ByteStreamNode::_read(void *destination, uint32_t count)
{
    static const char *const fn = "HV::ByteStreamNode::_read";
    if (position_ > length_) {
        log_error("%s: Invalid length %u for len=%llu, offset=%llu", fn, count, (unsigned long long)length_,
                  (unsigned long long)position_);
        return -1;
    }
    // Fixed-size readers (thumbnail decoders, copies) need the last partial
    // piece: shorten the request to what is left instead of failing it.
    const uint64_t left = length_ - position_;
    const uint32_t want = (uint32_t)std::min<uint64_t>({(uint64_t)count, left, (uint64_t)INT32_MAX});
    if (want == 0)
        return 0;
    int status = 0;
    buf_t *data = fs_node_data(fs_.get(), keyref_keynum(keyref_), (int64_t)position_, want, fork_, &status);
    if (data == nullptr)
        return -1;
    const uint32_t got = (uint32_t)std::min<int64_t>(data->count, want);
    if (got > 0)
        std::memcpy(destination, data->data, got);
    buf_free(data);
    if (got == 0)
        return -1;
    position_ += got;
    return (int)got;
}

} // namespace HV
