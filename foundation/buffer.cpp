// ZV::Buffer: storage plus used length. See buffer.h for the contract.
//
// Implementation notes
// - Ranges are checked in subtraction form against 64-bit values
//   (offset > used || length > used - offset): a caller's offset or length
//   may be anything up to 2^64 - 1, so even a 64-bit sum could wrap. Every
//   result is compared against maxLength before it is stored in the 32-bit
//   used length.
// - A source that lies inside our own storage is copied aside first: growing
//   the vector may move the storage, and moving the tail may overwrite the
//   source, either of which would otherwise copy freed or shifted bytes.
// - append grows the storage only when the new contents do not fit, so the
//   spare bytes left by a shortening setLength are reused before anything is
//   allocated.
#include "foundation/buffer.h"

#include <cstring>
#include <stdexcept>

namespace ZV {

namespace {

// Throws when n cannot be a used length.
void checkLength(uint64_t n, const char *what)
{
    if (n > Buffer::maxLength)
        throw std::length_error(what);
}

} // namespace

Buffer::Buffer(size_t n)
{
    checkLength(n, "ZV::Buffer too long");
    storage_.resize(n);
    used_ = static_cast<uint32_t>(n);
}

Buffer::Buffer(const void *data, size_t length)
{
    append(data, length);
}

Buffer::Buffer(const Buffer &other) : storage_(other.storage_.data(), other.storage_.data() + other.used_), used_(other.used_)
{
}

Buffer::Buffer(Buffer &&other) noexcept : storage_(std::move(other.storage_)), used_(other.used_)
{
    other.storage_.clear();
    other.used_ = 0;
}

Buffer &Buffer::operator=(const Buffer &other)
{
    if (this == &other)
        return *this;
    storage_.assign(other.storage_.data(), other.storage_.data() + other.used_);
    used_ = other.used_;
    return *this;
}

Buffer &Buffer::operator=(Buffer &&other) noexcept
{
    if (this == &other)
        return *this;
    storage_ = std::move(other.storage_);
    used_ = other.used_;
    other.storage_.clear();
    other.used_ = 0;
    return *this;
}

bool Buffer::pointsInside(const void *p, size_t n) const
{
    if (storage_.empty() || n == 0)
        return false;
    // Compare as integers: relational operators on pointers into different
    // objects are unspecified.
    const uintptr_t first = reinterpret_cast<uintptr_t>(p);
    const uintptr_t begin = reinterpret_cast<uintptr_t>(storage_.data());
    const uintptr_t end = begin + storage_.size();
    return first < end && first + n > begin;
}

void Buffer::append(const void *data, size_t length)
{
    if (data == nullptr || length == 0)
        return;
    // Subtraction form: used_ + length could wrap for a length near SIZE_MAX.
    if (length > maxLength - used_)
        throw std::length_error("ZV::Buffer append too long");
    const uint64_t newUsed = uint64_t(used_) + length;
    if (pointsInside(data, length)) {
        const std::vector<uint8_t> copy(static_cast<const uint8_t *>(data),
                                        static_cast<const uint8_t *>(data) + length);
        append(copy.data(), copy.size());
        return;
    }
    if (storage_.size() < newUsed)
        storage_.resize(newUsed);
    std::memcpy(storage_.data() + used_, data, length);
    used_ = static_cast<uint32_t>(newUsed);
}

size_t Buffer::read(uint64_t offset, size_t length, void *destination) const
{
    if (destination == nullptr || offset >= used_)
        return 0;
    const uint64_t available = used_ - offset;
    const size_t count = length < available ? length : static_cast<size_t>(available);
    if (count > 0)
        std::memcpy(destination, storage_.data() + offset, count);
    return count;
}

bool Buffer::replace(uint64_t offset, uint64_t oldLength, const void *source, size_t newLength)
{
    if (source == nullptr || newLength == 0)
        return false;
    // Subtraction form: neither offset nor oldLength may pass the used length.
    if (offset > used_ || oldLength > used_ - offset)
        return false;
    // used_ - oldLength is at most maxLength, so this cannot wrap either.
    if (newLength > maxLength - (used_ - oldLength))
        return false;
    const uint64_t newUsed = uint64_t(used_) - oldLength + newLength;
    if (pointsInside(source, newLength)) {
        const std::vector<uint8_t> copy(static_cast<const uint8_t *>(source),
                                        static_cast<const uint8_t *>(source) + newLength);
        return replace(offset, oldLength, copy.data(), copy.size());
    }

    uint8_t *base = storage_.data();
    if (newLength < oldLength) {
        std::memcpy(base + offset, source, newLength);
        erase(offset + newLength, oldLength - newLength);
        return true;
    }
    if (newLength == oldLength) {
        std::memcpy(base + offset, source, newLength);
        return true;
    }
    if (storage_.size() < newUsed)
        storage_.resize(newUsed);
    base = storage_.data();
    const uint64_t tail = used_ - offset - oldLength;
    if (tail > 0)
        std::memmove(base + offset + newLength, base + offset + oldLength, tail);
    std::memcpy(base + offset, source, newLength);
    used_ = static_cast<uint32_t>(newUsed);
    return true;
}

void Buffer::erase(uint64_t offset, uint64_t count)
{
    if (offset > used_ || count > used_ - offset || count == 0)
        return;
    const auto first = storage_.begin() + static_cast<std::ptrdiff_t>(offset);
    storage_.erase(first, first + static_cast<std::ptrdiff_t>(count));
    used_ -= static_cast<uint32_t>(count);
}

void Buffer::reserve(size_t n)
{
    checkLength(n, "ZV::Buffer reserve too long");
    if (storage_.size() < n)
        storage_.resize(n);
}

void Buffer::setLength(size_t n)
{
    reserve(n);
    used_ = static_cast<uint32_t>(n);
}

} // namespace ZV
