// The stream-backed file type (see image_file.h).
//
// Implementation notes
//   - Three process-wide tables under one mutex: the registered paths (the
//     image of each and the state of its file when it was opened), the open
//     files of the type (each file's stream and the image it reads), and
//     the opener used by file_open_disk_image. The slots find a file's path
//     by the file's name, not through the type's argument, so that a path
//     registered again never races with a file being opened.
//   - Path records are never removed, like the file layer's type entries
//     they stand beside: one small record per path ever registered. The
//     image in a record is held by a shared pointer; replacing it frees it
//     as soon as no open file reads it any more.
//   - Each file's position is the file object's own; the read slot positions
//     the stream there before every read, so a short or failed read (which
//     moves the stream) never shifts what the next read returns.
//   - The readers keep one chunk or grain in a cache and serve one read at
//     a time, while the block reader reads one file of an image on its
//     read-ahead thread and another on the consumer's: reads of one image
//     take turns on the image's mutex.
//   - Streams and images are released outside the mutex (an image's
//     destructor may close files and free large tables).
#include "storage/images/image_file.h"

#include <sys/stat.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdint>
#include <mutex>
#include <string>
#include <unordered_map>

#include "foundation/file.h"
#include "foundation/fileops.h"
#include "foundation/log.h"
#include "storage/images/disk_image_readers.h"

namespace {

// What the read slot returns for a read that got fewer bytes than asked.
constexpr int64_t kShortRead = -34;
// Largest piece handed to one stream read (a stream counts in int); a
// multiple of every sector size.
constexpr uint32_t kReadPiece = 1u << 30;

// One opened image, shared by every file of it.
struct ImageHolder {
    std::shared_ptr<ZV::DiskImage> image;
    int64_t bytes = 0; // sectors x sector size
    std::mutex reads;  // held for each read: the reader serves one at a time
};

// The state of an image file when it was opened: the image is kept while
// the file shows the same.
struct FileStamp {
    bool known = false; // false: the file could not be looked at; never equal
    dev_t device = 0;
    ino_t inode = 0;
    off_t size = 0;
    timespec mtime{};
};

// One registered path.
struct PathRecord {
    std::shared_ptr<ImageHolder> holder; // NULL once the file is no image any more
    FileStamp stamp;
    const vf_ops *ops = nullptr;         // the table registered under the path by us
};

// One open file of the type.
struct OpenFile {
    std::shared_ptr<ZV::ByteStream> stream;
    std::shared_ptr<ImageHolder> holder;
};

std::mutex g_mutex; // guards g_paths and g_files
std::unordered_map<std::string, PathRecord> g_paths;
std::unordered_map<const file_t *, OpenFile> g_files;
std::atomic<image_file_opener> g_opener{nullptr};

FileStamp stamp_of(const char *path)
{
    FileStamp stamp;
    struct stat info;
    if (utf8_stat(path, &info) != 0)
        return stamp;
    stamp.known = true;
    stamp.device = info.st_dev;
    stamp.inode = info.st_ino;
    stamp.size = info.st_size;
    stamp.mtime = info.st_mtim;
    return stamp;
}

bool same_stamp(const FileStamp &a, const FileStamp &b)
{
    return a.known && b.known && a.device == b.device && a.inode == b.inode && a.size == b.size &&
           a.mtime.tv_sec == b.mtime.tv_sec && a.mtime.tv_nsec == b.mtime.tv_nsec;
}

// The current image of the file's path (mutex held), or NULL.
std::shared_ptr<ImageHolder> path_holder_locked(const file_t *f)
{
    if (f->name == nullptr)
        return nullptr;
    const auto it = g_paths.find(f->name);
    return it != g_paths.end() ? it->second.holder : nullptr;
}

// The file's stream and image (empty when it has none).
OpenFile opened(const file_t *f)
{
    std::lock_guard<std::mutex> lock(g_mutex);
    const auto it = g_files.find(f);
    return it != g_files.end() ? it->second : OpenFile{};
}

// Forgets the file's stream. Returned so that the caller releases it after
// the mutex.
OpenFile drop(const file_t *f)
{
    OpenFile gone;
    std::lock_guard<std::mutex> lock(g_mutex);
    const auto it = g_files.find(f);
    if (it != g_files.end()) {
        gone = std::move(it->second);
        g_files.erase(it);
    }
    return gone;
}

// --- the slots ----------------------------------------------------------------------------

file_t *image_file_open(file_t *f, const char *, int)
{
    std::shared_ptr<ImageHolder> holder;
    {
        std::lock_guard<std::mutex> lock(g_mutex);
        holder = path_holder_locked(f);
    }
    if (holder == nullptr) {
        log_error("image_file_open: no image registered for %s", f->name != nullptr ? f->name : "(null)");
        return nullptr;
    }
    OpenFile replaced;
    try {
        OpenFile file{std::make_shared<ZV::ByteStreamDiskImage>(holder->image), holder};
        if (!file.stream->isOpen())
            return nullptr;
        std::lock_guard<std::mutex> lock(g_mutex);
        OpenFile &slot = g_files[f];
        replaced = std::move(slot);
        slot = std::move(file);
    } catch (const std::bad_alloc &) {
        log_error("image_file_open: out of memory for %s", f->name);
        return nullptr;
    }
    f->pos = 0;
    return f;
}

int64_t image_file_read(file_t *f, void *buffer, int64_t count)
{
    const OpenFile file = opened(f);
    if (file.stream == nullptr) {
        f->last_error = EBADF;
        return kShortRead;
    }
    uint8_t *out = static_cast<uint8_t *>(buffer);
    int64_t done = 0;
    {
        std::lock_guard<std::mutex> turn(file.holder->reads);
        if (file.stream->seek(static_cast<uint64_t>(f->pos))) {
            while (done < count) {
                const uint32_t piece = static_cast<uint32_t>(std::min<int64_t>(count - done, kReadPiece));
                const int got = file.stream->read(out + done, piece);
                if (got > 0)
                    done += got;
                if (got < static_cast<int>(piece))
                    break;
            }
        }
    }
    if (done != count) {
        f->last_error = EIO;
        f->short_read = 1;
        return kShortRead;
    }
    f->pos += count;
    return count;
}

int64_t image_file_write(file_t *, const void *, int64_t)
{
    return -15;
}

int image_file_seek(file_t *f, int64_t position)
{
    if (position < 0)
        return -15;
    const OpenFile file = opened(f);
    if (file.stream == nullptr || !file.stream->seek(static_cast<uint64_t>(position)))
        return -1;
    f->pos = position;
    return 0;
}

int64_t image_file_tell(file_t *f)
{
    return f->pos;
}

int image_file_free(file_t **fp)
{
    drop(*fp);
    // A file without its stream is a closed object of its kind: the file
    // layer frees it as any other.
    (*fp)->vf = nullptr;
    return file_free(fp);
}

int64_t image_file_size(file_t *f)
{
    std::lock_guard<std::mutex> lock(g_mutex);
    const auto it = g_files.find(f);
    if (it != g_files.end())
        return it->second.holder->bytes;
    const auto holder = path_holder_locked(f);
    return holder != nullptr ? holder->bytes : -1;
}

int image_file_is_open(file_t *f)
{
    std::lock_guard<std::mutex> lock(g_mutex);
    const auto it = g_files.find(f);
    return it != g_files.end() && it->second.stream->isOpen();
}

const vf_ops kImageOps = [] {
    vf_ops ops{};
    ops.open = image_file_open;
    ops.read = image_file_read;
    ops.write = image_file_write;
    ops.seek = image_file_seek;
    ops.tell = image_file_tell;
    ops.free = image_file_free;
    ops.size = image_file_size;
    ops.is_open = image_file_is_open;
    return ops;
}();

// The type of a path that was an image and is none any more: every
// operation is the file's own.
const vf_ops kPlainOps{};

// Binds path to image (sound geometry) with the state its file had when it
// was opened. 0, or -1 when the type could not be registered.
int install(const char *path, std::shared_ptr<ZV::DiskImage> image, const FileStamp &stamp)
{
    auto holder = std::make_shared<ImageHolder>();
    holder->bytes = static_cast<int64_t>(image->numSectors() * image->sectorSize());
    holder->image = std::move(image);
    std::shared_ptr<ImageHolder> replaced; // released after the mutex
    std::lock_guard<std::mutex> lock(g_mutex);
    PathRecord &record = g_paths[path];
    if (record.ops != &kImageOps) {
        if (file_register_vf(path, &kImageOps, &record) == nullptr) {
            log_error("file_open_disk_image: can't register %s", path);
            return -1;
        }
        record.ops = &kImageOps;
    }
    replaced = std::move(record.holder);
    record.holder = std::move(holder);
    record.stamp = stamp;
    return 0;
}

// A registered path whose file is no image any more reads its own bytes
// again; a path never registered stays unregistered.
void forget(const char *path)
{
    std::shared_ptr<ImageHolder> replaced; // released after the mutex
    std::lock_guard<std::mutex> lock(g_mutex);
    const auto it = g_paths.find(path);
    if (it == g_paths.end() || it->second.holder == nullptr)
        return;
    replaced = std::move(it->second.holder);
    it->second.stamp = FileStamp{};
    if (file_register_vf(path, &kPlainOps, &it->second) != nullptr)
        it->second.ops = &kPlainOps;
}

} // namespace

int file_open_disk_image(const char *path, std::string *unsupported)
{
    static const char *const fn = "file_open_disk_image";
    zorvant::u8string name;
    try {
        name = zorvant::u8string(path);
    } catch (...) {
        log_error("%s: not a UTF-8 path: %s", fn, path != nullptr ? path : "(null)");
        return -12;
    }
    const FileStamp stamp = stamp_of(path);
    {
        std::lock_guard<std::mutex> lock(g_mutex);
        const auto it = g_paths.find(path);
        if (it != g_paths.end() && it->second.holder != nullptr && it->second.ops == &kImageOps &&
            same_stamp(it->second.stamp, stamp))
            return 0; // the same file: its image serves on
    }
    std::shared_ptr<ZV::DiskImage> image;
    std::string reason;
    try {
        const image_file_opener opener = g_opener.load();
        image = opener != nullptr ? opener(name) : ZV::DiskImage::open(name, &reason);
        if (image != nullptr && !ZV::disk_image_geometry_ok(*image))
            image.reset();
        if (image != nullptr)
            return install(path, std::move(image), stamp);
    } catch (const ZV::DiskImageUnsupported &e) {
        reason = e.reason(); // from an opener set for tests
    } catch (...) {
        log_error("%s: can't open %s", fn, path);
        return -1;
    }
    forget(path);
    if (!reason.empty()) {
        log_info("%s: %s: %s", fn, path, reason.c_str());
        if (unsupported != nullptr)
            *unsupported = reason;
        return -95;
    }
    log_info("%s: %s is no disk image", fn, path);
    return -1;
}

int64_t image_file_bytes(const char *path)
{
    if (path == nullptr)
        return -1;
    std::lock_guard<std::mutex> lock(g_mutex);
    const auto it = g_paths.find(path);
    if (it == g_paths.end() || it->second.holder == nullptr || it->second.ops != &kImageOps)
        return -1;
    return it->second.holder->bytes;
}

void image_file_set_opener(image_file_opener opener)
{
    g_opener.store(opener);
}
