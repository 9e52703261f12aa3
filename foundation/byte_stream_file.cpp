// ZV::ByteStreamFile: a byte stream over a file opened by path.
//
// The file is a C stdio stream over a descriptor opened through ZV::open
// (close-on-exec; never a FIFO, socket or folder, and the open never waits
// for a FIFO's writer), so
// reads and writes are buffered by the C library. Offsets are 64-bit
// (fseeko with a 64-bit off_t), so files past 4 GiB work. The length comes
// from fstat on the stream's descriptor after a flush of pending writes; a block device reports st_size 0, so its size is asked
// from the device (BLKGETSIZE64).
//
// C requires a positioning call between a write and a following read on a
// stream opened for update ("r+b"); the base class guarantees it, since
// every write leaves a seek pending.
#include "foundation/byte_stream.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdint>

#include "foundation/fileops.h"

namespace ZV {

ByteStreamFile::~ByteStreamFile()
{
    if (file_ != nullptr)
        std::fclose(file_);
}

bool ByteStreamFile::_open(int mode)
{
    static const char *const fdopenModes[] = {"rb", "wb", "r+b", "ab"};
    static const int openFlags[] = {O_RDONLY, O_WRONLY | O_CREAT | O_TRUNC, O_RDWR, O_WRONLY | O_CREAT | O_APPEND};
    if (mode < modeRead || mode > modeAppend || file_ != nullptr)
        return false;
    // O_NONBLOCK: a FIFO put where a file was expected must not hold the
    // open for ever. FIFOs, sockets and folders are refused; transfers on
    // what is kept block as usual.
    const int fd = ZV::open(path_, openFlags[mode - 1] | O_NONBLOCK);
    if (fd < 0) {
        setSystemError(&lastError_, errno);
        return false;
    }
    struct stat info;
    int error = 0;
    if (fstat(fd, &info) != 0)
        error = errno;
    else if (S_ISFIFO(info.st_mode) || S_ISSOCK(info.st_mode) || S_ISDIR(info.st_mode))
        error = EINVAL;
    else if (const int status = fcntl(fd, F_GETFL); status < 0 || fcntl(fd, F_SETFL, status & ~O_NONBLOCK) != 0)
        error = errno;
    else if ((file_ = fdopen(fd, fdopenModes[mode - 1])) == nullptr)
        error = errno;
    if (error != 0) {
        ::close(fd);
        setSystemError(&lastError_, error);
        return false;
    }
    return true;
}

bool ByteStreamFile::_close()
{
    if (file_ == nullptr)
        return true;
    const int result = std::fclose(file_);
    file_ = nullptr;
    return result == 0;
}

uint64_t ByteStreamFile::_length()
{
    if (file_ == nullptr)
        return 0;
    // Bytes still in the stdio buffer count. A stream opened for reading
    // only has none, and flushing it would throw away its read-ahead.
    if (mode() != modeRead)
        std::fflush(file_);
    uint64_t size = 0;
    return ZV::descriptorSize(fileno(file_), &size) ? size : 0;
}

bool ByteStreamFile::_seek(uint64_t position)
{
    if (file_ == nullptr || position > static_cast<uint64_t>(INT64_MAX))
        return false;
    return fseeko(file_, static_cast<off_t>(position), SEEK_SET) == 0;
}

int ByteStreamFile::_read(void *destination, uint32_t count)
{
    if (file_ == nullptr || count > INT_MAX)
        return -1;
    const size_t got = std::fread(destination, 1, count, file_);
    if (got == 0 && std::ferror(file_)) {
        // A read error must not look like the end of the file. The flag is
        // cleared so that a later read (after a seek) can try again.
        std::clearerr(file_);
        return -1;
    }
    return static_cast<int>(got);
}

int ByteStreamFile::_write(const void *source, uint32_t count, uint64_t *length)
{
    if (file_ == nullptr || count > INT_MAX)
        return -1;
    const size_t written = std::fwrite(source, 1, count, file_);
    if (written == 0) {
        if (std::ferror(file_)) {
            std::clearerr(file_);
            return -1;
        }
        return 0;
    }
    if (mode() == modeAppend) {
        // Appended bytes always land at the end, wherever the position is.
        *length += written;
    } else if (position() + written > *length) {
        *length = position() + written;
    }
    return static_cast<int>(written);
}

} // namespace ZV
