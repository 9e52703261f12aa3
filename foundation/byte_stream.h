// ZV::ByteStream: a seekable stream of bytes over one kind of medium.
//
// One abstract class carries the whole public behaviour; each medium
// supplies nine virtual operations (the "slots", listed below in their
// fixed order). The base keeps the logical 64-bit position, the length
// cached at open, and the block size and alignment the medium asked for.
//
// Open modes: 1 read, 2 write, 3 read and write, 4 append; 0 while the
// stream has never been opened. A stream is opened once.
//
// Positioning is lazy: seek only records the new position and marks a seek
// pending; the medium is positioned by the next read (or by every write).
// A write also marks a seek pending, so a read that follows a write always
// positions the medium first (C streams opened "r+b" require this).
//
// Aligned media (alignment A != 0, e.g. a raw disk with 4096-byte sectors)
// are only ever read in whole blocks at multiples of A. A read whose position
// or count is not a multiple of A goes through a one-block bounce buffer:
// the medium is positioned at the block holding the position, whole blocks
// are read, and the wanted bytes are copied out. Writes are never split into
// blocks: the medium receives the caller's buffer and count as they are.
//
// Counts are 32-bit, results are int: a read or write of more than INT_MAX
// bytes is refused (-1), since its count could not be reported.
//
// Not promised: thread safety (one thread at a time per stream), and the
// cached length does not follow changes other writers make to the medium
// (length() asks the medium afresh).
#pragma once

#include <cstdint>
#include <cstdio>
#include <memory>
#include <vector>

#include "foundation/buffer.h"
#include "foundation/error.h"
#include "foundation/u8string.h"

namespace ZV {

class ByteStream {
public:
    // Open modes.
    static constexpr int modeNone = 0;      // never opened
    static constexpr int modeRead = 1;
    static constexpr int modeWrite = 2;
    static constexpr int modeReadWrite = 3;
    static constexpr int modeAppend = 4;

    ByteStream() = default;
    ByteStream(const ByteStream &) = delete;
    ByteStream &operator=(const ByteStream &) = delete;

    // --- the nine slots a medium overrides ------------------------------------

    // Slot 0. Frees the block buffer and releases the last error. A subclass
    // that holds a medium closes it in its own destructor.
    virtual ~ByteStream();
    // Slot 1. Opens the medium in a mode; the base accepts any mode.
    virtual bool _open(int mode);
    // Slot 2. Closes the medium; callers may call it directly. Base: true.
    virtual bool _close();
    // Slot 3. Current length of the medium in bytes. Base throws
    // std::runtime_error "unimplemented length method".
    virtual uint64_t _length();
    // Slot 4. Natural block size of the medium. Base: 512.
    virtual uint32_t blockSize();
    // Slot 5. Read alignment of the medium, 0 for none. Base: 0.
    virtual uint32_t alignment();
    // Slot 6. Positions the medium at an absolute offset. Base throws
    // std::runtime_error "unimplemented seek method".
    virtual bool _seek(uint64_t position);
    // Slot 7. Reads up to count bytes from where the medium stands (a medium
    // without a position of its own reads at position()). Returns the count
    // read (0 at the end) or -1. Base throws "unimplemented read method".
    virtual int _read(void *destination, uint32_t count);
    // Slot 8. Writes count bytes where the medium stands and grows *length
    // when the write passes it. Returns the count written or -1. Base throws
    // "unimplemented write method".
    virtual int _write(const void *source, uint32_t count, uint64_t *length);

    // --- the public behaviour ---------------------------------------------------

    // False at once, with nothing changed, when already open. Otherwise keeps
    // the mode and calls _open; when that fails the stream stays closed. On
    // success caches the length, block size and alignment, sets the position
    // to 0 and returns true.
    bool open(int mode);

    // Reads up to count bytes at the position and advances it by the count
    // read. Returns the count (short or 0 at the end of the medium), or -1:
    // in write or append mode, for a count above INT_MAX, when the medium
    // cannot be positioned, or when the medium fails before any byte was
    // read. A failure after some bytes returns those bytes' count.
    int read(void *destination, uint32_t count);
    // read, then seek back to where it started: the position is unchanged.
    // -1 when the seek back fails, else what read returned.
    int peek(void *destination, uint32_t count);
    // Records a new position. False when it lies past the cached length (the
    // length itself is allowed) or in append mode. The medium is not touched
    // until the next read or write.
    bool seek(uint64_t position);
    // seek, then read. -1 when the seek fails.
    int readAt(uint64_t position, void *destination, uint32_t count);
    // Writes count bytes at the position (at the end in append mode) and
    // advances the position by the count written. -1 for a count of 0 or
    // above INT_MAX, in read mode, or when the medium cannot be positioned;
    // a medium's result below 1 is returned unchanged.
    int write(const void *source, uint32_t count);

    // read of 4 (8) bytes returned 4 (8). The bytes are stored as they were
    // read; the caller converts their byte order.
    bool readU32(uint32_t *destination);
    bool readU64(uint64_t *destination);
    // write of the value's 4 bytes, little-endian, returned 4.
    bool writeU32(uint32_t value);

    // The medium's length, asked afresh (not the cached value).
    uint64_t length();
    uint64_t position() const { return position_; }
    bool isOpen() const { return open_; }
    int mode() const { return mode_; }
    // The block size cached at open, or 512 before the first open.
    uint32_t currentBlockSize() const { return blockSize_ != 0 ? blockSize_ : 512; }
    // The failure a subclass's _open recorded (file and raw-disk streams);
    // empty otherwise.
    const std::shared_ptr<Error> &lastError() const { return lastError_; }

protected:
    std::shared_ptr<Error> lastError_; // set by a failing _open, for the caller to log

private:
    // The read path for aligned media when position or count is not a
    // multiple of the alignment.
    int readUnaligned(uint8_t *destination, uint32_t count);

    bool open_ = false;               // true once open succeeded
    uint64_t position_ = 0;           // logical read/write position
    uint64_t length_ = 0;             // length cached at open, grown by writes
    std::vector<uint8_t> block_;      // bounce buffer of unaligned reads (alignment bytes)
    int mode_ = modeNone;             // the mode given to open
    bool seekPending_ = false;        // the medium is not yet positioned at position_
    uint32_t blockSize_ = 0;          // blockSize() cached at open
    uint32_t alignment_ = 0;          // alignment() cached at open; 0 = none
};

// A stream over a ZV::Buffer in memory. The buffer is not owned: the caller
// keeps it alive longer than the stream. A write sets the buffer's used
// length to the end of the written range, so a write before the end drops
// whatever followed it (the buffer keeps exactly what was last written). An
// append-mode write goes to the end of the used bytes.
class ByteStreamBuffer : public ByteStream {
public:
    // Does not open.
    explicit ByteStreamBuffer(Buffer *buffer) : buffer_(buffer) {}
    // Also opens with the mode.
    ByteStreamBuffer(Buffer *buffer, int mode) : buffer_(buffer) { open(mode); }

    uint64_t _length() override;
    bool _seek(uint64_t position) override;
    int _read(void *destination, uint32_t count) override;
    int _write(const void *source, uint32_t count, uint64_t *length) override;

    Buffer *buffer() const { return buffer_; }

private:
    Buffer *buffer_;        // not owned
    uint64_t offset_ = 0;   // own position inside the buffer
};

// A stream over a file (or a device) opened by path; a FIFO, socket or
// folder is refused at once. Modes 1 to 4 open
// it as "rb", "wb" (created or truncated), "r+b" (must exist) and "ab"; the
// handle is close-on-exec. The destructor closes the file (a failure to
// flush at that point cannot be reported: call _close first to see it).
class ByteStreamFile : public ByteStream {
public:
    // Keeps the path; does not open.
    explicit ByteStreamFile(const zorvant::u8string &path) : path_(path) {}
    ~ByteStreamFile() override;

    // A failed open leaves the system error in lastError().
    bool _open(int mode) override;
    // True when no file is open; otherwise whether fclose (with its final
    // flush) succeeded.
    bool _close() override;
    // The file's size (a block device's size asked from the device); 0 when
    // closed or when the size cannot be had.
    uint64_t _length() override;
    bool _seek(uint64_t position) override;
    int _read(void *destination, uint32_t count) override;
    int _write(const void *source, uint32_t count, uint64_t *length) override;

    const zorvant::u8string &path() const { return path_; }

private:
    zorvant::u8string path_;
    FILE *file_ = nullptr;  // null while closed
};

} // namespace ZV
