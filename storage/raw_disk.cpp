// ZV::RawDisk and ZV::ByteStreamRawDisk over Linux block devices.
//
// Implementation notes
// - The device path is used exactly as given: device nodes live under /dev
//   by their own names, and no character-device ("raw") twin of a disk
//   needs to be chosen on this system.
// - A disk is "a disk" when fstat calls it a block device. Its geometry is
//   the logical sector size (BLKSSZGET, the unit of addressing; a 4Kn drive
//   or a loop device made with a 4096-byte sector says 4096) and its size in
//   bytes (BLKGETSIZE64). The physical sector size is not needed here.
// - Every failed open leaves the object closed with zero sizes, so a caller
//   never reads through a descriptor that failed its checks or trusts the
//   geometry of a device opened earlier.
// - Transfers use pread/pwrite: atomic positioned I/O that never moves the
//   descriptor's offset, with the whole 64-bit offset handed to the kernel.
#include "storage/raw_disk.h"

#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>

#include "foundation/console_log.h"
#include "foundation/fileops.h"

namespace ZV {

namespace {

// A result must fit in an int; the kernel moves at most about 2 GiB per call
// anyway, so a capped count only makes the short count explicit.
size_t cappedCount(uint32_t count) { return count > static_cast<uint32_t>(INT_MAX) ? INT_MAX : count; }

} // namespace

RawDisk::RawDisk(const std::string &name) : path_(name) {}

RawDisk::~RawDisk() { close(); }

bool RawDisk::openRead() { return _open(O_RDONLY); }

bool RawDisk::openWrite(bool exclusive) { return _open(O_WRONLY | (exclusive ? O_EXCL : 0)); }

bool RawDisk::openReadWrite(bool exclusive) { return _open(O_RDWR | (exclusive ? O_EXCL : 0)); }

void RawDisk::resetSizes()
{
    sectorSize_ = 0;
    sectorCount_ = 0;
}

bool RawDisk::_open(int flags)
{
    close();
    error_ = 0;
    errno = 0;

    // Fails the open: the descriptor (if any) is closed and the sizes are
    // cleared, with errno and the error set to EINVAL.
    auto refuse = [this]() {
        if (descriptor_ >= 0)
            ::close(descriptor_);
        descriptor_ = -1;
        resetSizes();
        errno = EINVAL;
        error_ = EINVAL;
        return false;
    };

    // What is not a block device is refused before it is opened: opening a
    // FIFO would wait for its other end, and opening some character devices
    // acts on them (a tape rewinds). A path holding a NUL byte would name a
    // different, shorter path.
    struct stat info;
    if (path_.find('\0') != std::string::npos)
        return refuse();
    if (utf8_stat(path_.c_str(), &info) != 0) { // EINVAL for a path that is not UTF-8
        error_ = errno;
        resetSizes();
        return false;
    }
    if (!S_ISBLK(info.st_mode))
        return refuse();

    // O_NONBLOCK keeps the open itself from waiting should the path be
    // swapped for a FIFO meanwhile; it is cleared once the type is checked.
    descriptor_ = utf8_open(path_.c_str(), flags | O_NONBLOCK, 0666); // close-on-exec
    if (descriptor_ < 0) {
        error_ = errno;
        resetSizes();
        return false;
    }
    if (fstat(descriptor_, &info) != 0 || !S_ISBLK(info.st_mode) ||
        fcntl(descriptor_, F_SETFL, fcntl(descriptor_, F_GETFL) & ~O_NONBLOCK) != 0)
        return refuse();

    int sectorSize = 0;
    uint64_t bytes = 0;
    unsigned long code = 0; // why the geometry is missing
    if (ioctl(descriptor_, BLKSSZGET, &sectorSize) != 0 || ioctl(descriptor_, BLKGETSIZE64, &bytes) != 0)
        code = static_cast<unsigned long>(errno);
    else if (sectorSize <= 0)
        code = EINVAL;
    if (code != 0) {
        ZV::log(2, "%s: Can't get drive geometry: %lu", "ZV::RawDisk::_open", code);
        return refuse();
    }
    sectorSize_ = static_cast<uint32_t>(sectorSize);
    // Below 2^63 on every real device; a tail smaller than a sector is not addressable.
    sectorCount_ = static_cast<int64_t>(bytes / sectorSize_);
    return true;
}

bool RawDisk::close()
{
    if (descriptor_ < 0)
        return true;
    const int result = ::close(descriptor_);
    descriptor_ = -1; // the descriptor is gone even when close reports an error
    if (result != 0) {
        error_ = errno;
        return false;
    }
    return true;
}

// One positioned transfer: -1 with error 22 while closed; otherwise errno
// and the error are cleared, the transfer runs and its errno is kept.
template <typename Transfer>
int RawDisk::transfer(Transfer run)
{
    if (descriptor_ < 0) {
        errno = EINVAL;
        error_ = EINVAL;
        return -1;
    }
    errno = 0;
    error_ = 0;
    const ssize_t moved = run();
    error_ = errno;
    return static_cast<int>(moved);
}

int RawDisk::pread(void *destination, uint32_t count, int64_t offset)
{
    return transfer([&] { return ::pread(descriptor_, destination, cappedCount(count), offset); });
}

int RawDisk::read(void *destination, uint32_t count, int64_t offset)
{
    return transfer([&] { return pread_eintr(descriptor_, destination, cappedCount(count), offset); });
}

int RawDisk::pwrite(const void *source, uint32_t count, int64_t offset)
{
    return transfer([&] { return pwrite_eintr(descriptor_, source, cappedCount(count), offset); });
}

bool RawDisk::flush()
{
    if (descriptor_ < 0) {
        errno = EINVAL;
        error_ = EINVAL;
        return false;
    }
    errno = 0;
    const bool ok = fsync(descriptor_) == 0;
    error_ = errno;
    return ok;
}

bool RawDisk::unsupported()
{
    error_ = descriptor_ < 0 ? EINVAL : ENODEV;
    errno = error_;
    return false;
}

// --- the stream ---------------------------------------------------------------------

bool ByteStreamRawDisk::_open(int mode)
{
    bool ok;
    switch (mode) {
    case modeWrite:
    case modeAppend:
        ok = disk_.openWrite();
        break;
    case modeReadWrite:
        ok = disk_.openReadWrite();
        break;
    default:
        ok = disk_.openRead();
        break;
    }
    if (!ok)
        lastError_ = systemError(disk_.error());
    return ok;
}

bool ByteStreamRawDisk::_close() { return disk_.close(); }

uint64_t ByteStreamRawDisk::_length() { return static_cast<uint64_t>(disk_.size()); }

uint32_t ByteStreamRawDisk::blockSize() { return disk_.blockSize(); }

uint32_t ByteStreamRawDisk::alignment() { return disk_.blockSize(); }

bool ByteStreamRawDisk::_seek(uint64_t position) { return position <= static_cast<uint64_t>(disk_.size()); }

int ByteStreamRawDisk::_read(void *destination, uint32_t count)
{
    return disk_.read(destination, count, static_cast<int64_t>(position()));
}

int ByteStreamRawDisk::_write(const void *source, uint32_t count, uint64_t * /*length*/)
{
    return disk_.pwrite(source, count, static_cast<int64_t>(position()));
}

} // namespace ZV
