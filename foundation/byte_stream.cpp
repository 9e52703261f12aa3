// ZV::ByteStream (the base behaviour) and ZV::ByteStreamBuffer.
//
// Implementation notes
// - The base alone keeps the logical position. A medium that keeps a
//   position of its own (a file, the buffer stream's offset) is brought to
//   it by _seek before the next read whenever a seek is pending; a medium
//   without one (raw disk, disk image) reads at position() and uses _seek
//   only as a range check.
// - Unaligned reads leave the medium wherever the last whole block ended,
//   which is not the logical position. Every exit of that path therefore
//   sets the position to where the caller's bytes end and marks a seek
//   pending, so the next read positions the medium afresh.
#include "foundation/byte_stream.h"

#include <climits>
#include <cstring>
#include <new>
#include <stdexcept>

namespace ZV {

namespace {

// Largest count a read or write accepts: its result must fit in an int.
constexpr uint32_t maxTransfer = INT_MAX;

} // namespace

// --- the base slots -------------------------------------------------------------

ByteStream::~ByteStream() = default;

bool ByteStream::_open(int /*mode*/) { return true; }

bool ByteStream::_close() { return true; }

uint64_t ByteStream::_length() { throw std::runtime_error("unimplemented length method"); }

uint32_t ByteStream::blockSize() { return 512; }

uint32_t ByteStream::alignment() { return 0; }

bool ByteStream::_seek(uint64_t /*position*/) { throw std::runtime_error("unimplemented seek method"); }

int ByteStream::_read(void * /*destination*/, uint32_t /*count*/)
{
    throw std::runtime_error("unimplemented read method");
}

int ByteStream::_write(const void * /*source*/, uint32_t /*count*/, uint64_t * /*length*/)
{
    throw std::runtime_error("unimplemented write method");
}

// --- public behaviour -------------------------------------------------------------

bool ByteStream::open(int mode)
{
    if (open_)
        return false;
    mode_ = mode;
    if (!_open(mode))
        return false;
    length_ = _length();
    open_ = true;
    position_ = 0;
    seekPending_ = false;
    blockSize_ = blockSize();
    alignment_ = alignment();
    return true;
}

int ByteStream::read(void *destination, uint32_t count)
{
    if (mode_ == modeWrite || mode_ == modeAppend || count > maxTransfer)
        return -1;
    if (alignment_ != 0 && (position_ % alignment_ != 0 || count % alignment_ != 0))
        return readUnaligned(static_cast<uint8_t *>(destination), count);

    if (seekPending_) {
        // A medium that cannot be positioned must not look like the end of
        // the data: -1, and the seek stays pending.
        if (!_seek(position_))
            return -1;
    }
    seekPending_ = false;
    int got = _read(destination, count);
    if (got < 0)
        return -1;
    if (static_cast<uint32_t>(got) > count) // a medium never delivers more than asked
        got = static_cast<int>(count);
    position_ += static_cast<uint32_t>(got);
    return got;
}

// Block layout of an unaligned read of n bytes at P with alignment A:
//
//   block start S = P - (P mod A)          S+A            S+2A
//   |---- R = P mod A ----|==== bytes wanted ====...====|
//
// The first block gives its last A - R bytes, middle blocks give all A, and
// the last gives what is still wanted. A block the medium delivers short (the
// end of the medium) gives what it has and ends the read.
int ByteStream::readUnaligned(uint8_t *destination, uint32_t count)
{
    const uint64_t start = position_;
    const uint32_t a = alignment_;
    uint32_t offset = static_cast<uint32_t>(start % a); // where the wanted bytes begin in the block
    uint32_t total = 0;
    bool failed = false;

    if (!_seek(start - offset)) {
        failed = true;
    } else {
        position_ = start - offset;
        if (block_.size() != a)
            block_.resize(a);
        uint32_t remaining = count;
        while (remaining != 0) {
            const int got = _read(block_.data(), a);
            if (got < 0) {
                failed = total == 0;
                break;
            }
            const uint32_t delivered = static_cast<uint32_t>(got) < a ? static_cast<uint32_t>(got) : a;
            uint32_t chunk = remaining < a - offset ? remaining : a - offset;
            const bool shortBlock = delivered < offset + chunk;
            if (shortBlock)
                chunk = delivered > offset ? delivered - offset : 0;
            if (chunk != 0) {
                std::memcpy(destination, block_.data() + offset, chunk);
                destination += chunk;
            }
            remaining -= chunk;
            total += chunk;
            position_ += a;
            offset = 0;
            if (shortBlock)
                break;
        }
    }
    // On every exit: the position is just past the bytes handed out, and the
    // medium (left at a block edge, or wherever it failed) must be positioned
    // again before the next read.
    position_ = start + total;
    seekPending_ = true;
    return failed ? -1 : static_cast<int>(total);
}

int ByteStream::peek(void *destination, uint32_t count)
{
    const uint64_t start = position_;
    const int got = read(destination, count);
    if (!seek(start))
        return -1;
    return got;
}

bool ByteStream::seek(uint64_t position)
{
    if (position > length_ || mode_ == modeAppend)
        return false;
    if (position == position_)
        return true;
    position_ = position;
    seekPending_ = true;
    return true;
}

int ByteStream::readAt(uint64_t position, void *destination, uint32_t count)
{
    if (!seek(position))
        return -1;
    return read(destination, count);
}

int ByteStream::write(const void *source, uint32_t count)
{
    if (count == 0 || count > maxTransfer || mode_ == modeRead)
        return -1;
    if (mode_ != modeAppend && !_seek(position_))
        return -1;
    // The medium now stands after the written bytes; a following read must
    // position it again (and a C stream needs that between write and read).
    seekPending_ = true;
    const int written = _write(source, count, &length_);
    if (written < 1)
        return written;
    position_ += static_cast<uint32_t>(written);
    return written;
}

bool ByteStream::readU32(uint32_t *destination) { return read(destination, 4) == 4; }

bool ByteStream::readU64(uint64_t *destination) { return read(destination, 8) == 8; }

bool ByteStream::writeU32(uint32_t value)
{
    const uint8_t bytes[4] = {uint8_t(value), uint8_t(value >> 8), uint8_t(value >> 16), uint8_t(value >> 24)};
    return write(bytes, 4) == 4;
}

uint64_t ByteStream::length() { return _length(); }

// --- ByteStreamBuffer ---------------------------------------------------------------

uint64_t ByteStreamBuffer::_length() { return buffer_ != nullptr ? buffer_->length() : 0; }

bool ByteStreamBuffer::_seek(uint64_t position)
{
    if (buffer_ == nullptr || position > 0xFFFFFFFFu || position > buffer_->length())
        return false;
    offset_ = position;
    return true;
}

int ByteStreamBuffer::_read(void *destination, uint32_t count)
{
    if (buffer_ == nullptr || mode() == modeWrite || count > maxTransfer)
        return -1;
    const size_t got = buffer_->read(offset_, count, destination);
    offset_ += got;
    return static_cast<int>(got);
}

int ByteStreamBuffer::_write(const void *source, uint32_t count, uint64_t *length)
{
    if (buffer_ == nullptr || mode() == modeRead || count > maxTransfer)
        return -1;
    if (mode() == modeAppend)
        offset_ = buffer_->length(); // appending never overwrites
    const uint64_t end = offset_ + count;
    if (end > Buffer::maxLength)
        return -1;
    try {
        buffer_->setLength(static_cast<size_t>(end));
    } catch (const std::bad_alloc &) {
        return -1;
    } catch (const std::length_error &) {
        return -1;
    }
    std::memcpy(buffer_->data() + offset_, source, count);
    offset_ = end;
    *length = buffer_->length();
    return static_cast<int>(count);
}

} // namespace ZV
