// ZV::RawDisk: byte-level access to a whole drive or volume by its device
// path (a block device such as /dev/sdb, /dev/mmcblk0 or /dev/loop3).
//
// A raw disk is opened read-only, write-only or read-write, learns the
// drive's logical sector size and size in bytes from the kernel, and reads
// and writes at 64-bit byte offsets. I/O is buffered through the kernel's
// block-device cache (no O_DIRECT), so unaligned transfers work; writers
// that want whole sectors on the medium still write whole sectors at sector
// boundaries, and flush() pushes what is cached out to the drive.
//
// Error values are errno codes kept in error(): 22 (EINVAL) when the disk is
// not open, when the path is not a block device or when the drive reports no
// geometry; 19 (ENODEV) from unsupported(); the kernel's value otherwise.
// Callers turn them into ZV::Error objects (ZV::systemError) or messages.
//
// ZV::ByteStreamRawDisk wraps one raw disk as a ZV::ByteStream whose block
// size and alignment are the sector size, so every stream read reaches the
// drive as whole sectors at sector boundaries. Stream writes are passed
// through as they are.
//
// Not promised: thread safety of one object (one thread at a time), and a
// size that follows a medium swapped in a card reader after the open.
#pragma once

#include <cstdint>
#include <string>

#include "foundation/byte_stream.h"

namespace ZV {

class RawDisk {
public:
    // Keeps the device path as given (UTF-8). Closed, error 0, sizes 0.
    explicit RawDisk(const std::string &name);
    // Closes the device.
    virtual ~RawDisk();
    RawDisk(const RawDisk &) = delete;
    RawDisk &operator=(const RawDisk &) = delete;

    // Open the device read-only, write-only or read-write (closing it first
    // when it is open). True on success, with the sector size and count set.
    // False with error() = errno when the open fails, or 22 when the path is
    // not a block device or the drive gives no geometry; the device is then
    // closed and the sizes are 0.
    // exclusive adds O_EXCL: the open then fails with EBUSY (16) while the
    // device or one of its partitions is mounted, used as swap or claimed by
    // the device mapper, and while the device is held open exclusively.
    bool openRead();
    bool openWrite(bool exclusive = false);
    bool openReadWrite(bool exclusive = false);
    // Closes the descriptor when open. True when nothing was open or the
    // close succeeded; closed afterwards either way (a failed close leaves
    // errno in error()).
    bool close();

    bool isOpen() const { return descriptor_ >= 0; }
    // Drive size in bytes divided by the sector size; 0 until opened.
    int64_t sectorCount() const { return sectorCount_; }
    // Bytes per logical sector as the drive reports it; 0 until opened.
    uint32_t blockSize() const { return sectorSize_; }
    // sectorCount() * blockSize().
    int64_t size() const { return sectorCount_ * static_cast<int64_t>(sectorSize_); }
    std::string path() const { return path_; }
    // errno of the last operation, 0 after a successful one.
    int error() const { return error_; }

    // Positioned transfers at a byte offset. Each returns the count moved
    // (short or 0 at the end of the device) or -1, sets errno and error() to
    // 0 first and stores errno in error() afterwards; -1 with error 22 when
    // the device is closed or the offset is negative. A count above INT_MAX
    // is capped to INT_MAX so that the result can report it.
    // pread: one read, not retried. read: retried while it fails with EINTR.
    // pwrite: retried while it fails with EINTR.
    int pread(void *destination, uint32_t count, int64_t offset);
    int read(void *destination, uint32_t count, int64_t offset);
    int pwrite(const void *source, uint32_t count, int64_t offset);
    // Pushes the device's cached writes to the drive (fsync). True on
    // success; error() holds errno afterwards. False with 22 when closed.
    bool flush();
    // An operation with no effect on this platform: always false, with errno
    // and error() 19 when open and 22 when closed.
    bool unsupported();

private:
    template <typename Transfer>
    int transfer(Transfer run);
    // The common open: flags are O_RDONLY, O_WRONLY or O_RDWR (with O_EXCL).
    bool _open(int flags);
    void resetSizes();

    std::string path_;        // device path, UTF-8
    int descriptor_ = -1;     // -1 while closed
    int error_ = 0;           // errno of the last operation
    uint32_t sectorSize_ = 0; // logical sector size; 0 until opened
    int64_t sectorCount_ = 0; // size in bytes / sector size; 0 until opened
};

// A ZV::ByteStream over a raw disk. It keeps no position of its own: reads
// and writes happen at the stream's position. Modes 2 and 4 open the device
// write-only, 3 read-write, 1 and any other mode read-only; a failed open
// leaves the system error for the raw disk's error value in lastError().
// The cached length is not grown by writes (a device cannot grow).
class ByteStreamRawDisk : public ByteStream {
public:
    // Does not open.
    explicit ByteStreamRawDisk(const std::string &name) : disk_(name) {}
    ~ByteStreamRawDisk() override = default; // the raw disk closes itself

    RawDisk &rawDisk() { return disk_; }
    const RawDisk &rawDisk() const { return disk_; }

    bool _open(int mode) override;
    bool _close() override;
    // The drive's size in bytes.
    uint64_t _length() override;
    // Both the sector size.
    uint32_t blockSize() override;
    uint32_t alignment() override;
    // True when the position is at most the size; nothing else is done.
    bool _seek(uint64_t position) override;
    // The raw disk's read (EINTR retried) at position().
    int _read(void *destination, uint32_t count) override;
    // The raw disk's pwrite at position(); *length is left as it is.
    int _write(const void *source, uint32_t count, uint64_t *length) override;

private:
    RawDisk disk_;
};

} // namespace ZV

// Whether a block device is in use by the system: 1 when the device or one
// of its partitions is a mount source in /proc/self/mountinfo (compared by
// major:minor number), or when an exclusive open fails with EBUSY (mounted,
// swap, device mapper, or held open exclusively); 0 otherwise; -1 when the
// path is NULL, cannot be examined or is not a block device.
int rawdisk_is_mounted(const char *path);
