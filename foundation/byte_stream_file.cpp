// ZV::ByteStreamFile: a byte stream over a file opened by path.
//
// The file is a C stdio stream opened through ZV::fopen (close-on-exec), so
// reads and writes are buffered by the C library. Offsets are 64-bit
// (fseeko with a 64-bit off_t), so files past 4 GiB work. The length comes
// from fstat on the stream's descriptor after a flush of pending writes; a block device reports st_size 0, so its size is asked
// from the device (BLKGETSIZE64).
//
// C requires a positioning call between a write and a following read on a
// stream opened for update ("r+b"); the base class guarantees it, since
// every write leaves a seek pending.
#include "foundation/byte_stream.h"

#include <sys/stat.h>

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
    static const char *const fopenModes[] = {"rb", "wb", "r+b", "ab"};
    if (mode < modeRead || mode > modeAppend || file_ != nullptr)
        return false;
    file_ = ZV::fopen(path_, fopenModes[mode - 1], &lastError_);
    return file_ != nullptr;
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
