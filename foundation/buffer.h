// ZV::Buffer: the growable byte buffer of the class layer.
//
// A buffer keeps two things apart: the storage (a vector of bytes) and the
// used length, the number of bytes from the start of the storage that count
// as the buffer's contents. The storage is never shorter than the used
// length and may be longer; bytes added to it are zero. Shortening the used
// length (setLength) keeps the storage, so growing it again shows the old
// bytes -- streams rely on this to cut and re-extend without reallocating.
//
// Limits: the used length is 32 bits, so a buffer holds at most 0xFFFFFFFF
// bytes. Every sum of an offset and a length is computed in 64 bits, so a
// request that would pass that limit is refused (false, or 0 / no change for
// the calls that report that way) instead of wrapping. Calls without a
// result to report (constructors, append, reserve, setLength) throw
// std::length_error for such a request, before touching the contents.
//
// Source pointers may point into the buffer's own storage (appending a
// buffer to itself works): such bytes are copied aside before the storage
// can move.
//
// Not promised: thread safety. A buffer is used by one thread at a time.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace ZV {

class Buffer {
public:
    // Largest used length a buffer can hold.
    static constexpr uint64_t maxLength = 0xFFFFFFFFu;

    // Empty storage, used length 0.
    Buffer() = default;
    // Storage of n zero bytes, used length n. std::length_error past maxLength.
    explicit Buffer(size_t n);
    // An empty buffer with the bytes appended (see append).
    Buffer(const void *data, size_t length);
    // A copy of the other's used bytes only (not its spare storage).
    Buffer(const Buffer &other);
    // Takes the other's storage and used length; the other is left empty.
    Buffer(Buffer &&other) noexcept;

    Buffer &operator=(const Buffer &other);
    Buffer &operator=(Buffer &&other) noexcept;
    ~Buffer() = default;

    // Copies length bytes to the end of the contents. NULL data or length 0
    // does nothing. The storage grows (zero-filled) only when the new used
    // length does not fit in it. std::length_error past maxLength.
    void append(const void *data, size_t length);

    // Copies min(length, used length - offset) bytes from offset to
    // destination and returns that count; 0 for a NULL destination or an
    // offset at or past the used length.
    size_t read(uint64_t offset, size_t length, void *destination) const;

    // Replaces the bytes [offset, offset + oldLength) with newLength bytes
    // from source. The tail after the range moves down or up as needed and
    // the used length becomes used - oldLength + newLength. Returns false and
    // changes nothing for a NULL source, a newLength of 0, a range that ends
    // past the used length, or a result longer than maxLength.
    // replace(length(), 0, src, n) appends.
    bool replace(uint64_t offset, uint64_t oldLength, const void *source, size_t newLength);

    // Removes [offset, offset + count) when that range lies within the used
    // length (the tail moves down, the storage shrinks by count); otherwise
    // does nothing.
    void erase(uint64_t offset, uint64_t count);

    // Grows the storage to n bytes (zero-filled) when it is shorter; never
    // shrinks; the used length is unchanged. std::length_error past maxLength.
    void reserve(size_t n);

    // Reserves n and makes n the used length. A smaller n shortens the
    // contents but keeps the storage, so the old bytes reappear when the
    // length grows again. std::length_error past maxLength.
    void setLength(size_t n);

    // Start of the storage (valid until the next call that may grow it).
    uint8_t *data() { return storage_.data(); }
    const uint8_t *data() const { return storage_.data(); }
    // The used length.
    uint32_t length() const { return used_; }
    bool empty() const { return used_ == 0; }
    // Size of the storage behind the contents (>= length()).
    size_t storageSize() const { return storage_.size(); }

private:
    // True when [p, p + n) overlaps the storage.
    bool pointsInside(const void *p, size_t n) const;

    std::vector<uint8_t> storage_; // never shorter than used_
    uint32_t used_ = 0;            // bytes that count as contents
};

} // namespace ZV
