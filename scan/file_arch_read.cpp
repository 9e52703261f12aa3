// FileArch: reading members and extracting containers (see file_arch.h).
//
// Implementation notes:
// - The container is opened as a plain file first (24 header bytes, magic and
//   version 1); when that fails it is opened again as a gzip stream.
// - far_extract reads the container twice. The first pass checks every record
//   header and member name, that each "fnam" is followed by its "fdat", that
//   every payload is there in full and that "eof " ends the records; only a
//   container that passes is extracted in the second pass, which checks it all
//   again as it goes (the file could change between the passes).
// - Everything below the target is made relative to a descriptor of the
//   target, one component at a time, with O_NOFOLLOW: a symbolic link already
//   inside the target cannot lead a write out of it.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>
#include <new>
#include <string>

#include "foundation/buf.h"
#include "foundation/dirutil.h"
#include "foundation/file.h"
#include "foundation/log.h"
#include "scan/file_arch.h"
#include "scan/file_arch_internal.h"

using namespace far_internal;

namespace {

// --- reading records -----------------------------------------------------------

struct Reader {
    file_t *file = nullptr;
    int kind = 0;
    uint8_t buffer[FAR_COPY_BUFFER_SIZE];

    ~Reader() { file_free(&file); }

    bool header_ok()
    {
        uint8_t header[FAR_HEADER_SIZE];
        if (file_read_full(file, header, sizeof header) != 0)
            return false;
        return memcmp(header, kMagic, sizeof kMagic) == 0 && header[8] == kVersion;
    }

    // Opens the container and checks its header: plain, then gzip.
    int open(const char *who, const char *path)
    {
        for (int k : {1, int(FAR_FILE_GZIP)}) {
            file = file_open(path, "rb", k);
            if (file == nullptr)
                break;
            kind = k;
            if (header_ok())
                return 0;
            file_free(&file);
        }
        log_error("%s: %s is not a readable container", who, path);
        return -1;
    }

    int read_exact(void *out, uint64_t size) { return file_read_full(file, out, int64_t(size)) == 0 ? 0 : -1; }

    // Passes over size bytes; -1 when the container ends before them.
    int skip(uint64_t size)
    {
        if (kind == 1) {
            int64_t at = file_tell(file);
            int64_t end = file_size(file);
            if (at < 0 || end < at || size > uint64_t(end - at))
                return -1;
            return file_seek(file, at + int64_t(size)) == 0 ? 0 : -1;
        }
        while (size > 0) {
            uint64_t piece = std::min<uint64_t>(size, sizeof buffer);
            if (read_exact(buffer, piece) != 0)
                return -1;
            size -= piece;
        }
        return 0;
    }

    // The next record header; RECORD_NONE (logged) when it is missing or bad.
    RecordType next(const char *who, uint64_t *length)
    {
        uint8_t header[FAR_RECORD_HEADER_SIZE];
        if (read_exact(header, sizeof header) != 0) {
            log_error("%s: container ends without its end record", who);
            return RECORD_NONE;
        }
        RecordType type = record_header_decode(header, length);
        if (type == RECORD_NONE)
            log_error("%s: bad record header", who);
        return type;
    }

    // A "dnam"/"fnam" payload: a member name with its NUL, checked.
    int read_name(const char *who, uint64_t length, std::string *name)
    {
        if (length < 2 || length > FAR_MAX_NAME) {
            log_error("%s: member name of %llu bytes refused", who, static_cast<unsigned long long>(length));
            return -1;
        }
        char text[FAR_MAX_NAME];
        if (read_exact(text, length) != 0) {
            log_error("%s: container ends inside a member name", who);
            return -1;
        }
        if (text[length - 1] != '\0' || !far_member_name_ok(text, size_t(length - 1))) {
            log_error("%s: unsafe member name refused", who);
            return -1;
        }
        name->assign(text, size_t(length - 1));
        std::replace(name->begin(), name->end(), '\\', '/');
        return 0;
    }
};

// --- writing below the target ------------------------------------------------------

class Target {
public:
    explicit Target(const char *target) : prefix_(target)
    {
        while (prefix_.size() > 1 && prefix_.back() == '/')
            prefix_.pop_back();
        if (prefix_ == "/")
            prefix_.clear();
    }
    ~Target()
    {
        if (fd_ >= 0)
            close(fd_);
    }

    const std::string &prefix() const { return prefix_; }

    // The path of a member below the target, in a FAR_MAX_PATH buffer for the
    // filter. -1 when it does not fit.
    int join(const std::string &member, char *path) const
    {
        if (prefix_.size() + 1 + member.size() + 1 > size_t(FAR_MAX_PATH)) {
            log_error("far_extract: path of %s too long", member.c_str());
            return -1;
        }
        memcpy(path, prefix_.data(), prefix_.size());
        path[prefix_.size()] = '/';
        memcpy(path + prefix_.size() + 1, member.c_str(), member.size() + 1);
        return 0;
    }

    // The member part of a path (as a filter may have rewritten it): it must
    // still begin with the target and a '/' and obey the member-name rules.
    int member_of(const char *path, std::string *member) const
    {
        size_t length = strnlen(path, FAR_MAX_PATH);
        if (length >= size_t(FAR_MAX_PATH) || length <= prefix_.size() + 1 ||
            memcmp(path, prefix_.data(), prefix_.size()) != 0 || path[prefix_.size()] != '/') {
            log_error("far_extract: path outside the target refused");
            return -1;
        }
        const char *rest = path + prefix_.size() + 1;
        size_t rest_length = length - prefix_.size() - 1;
        if (!far_member_name_ok(rest, rest_length, FAR_MAX_PATH)) {
            log_error("far_extract: unsafe path refused: %s", path);
            return -1;
        }
        member->assign(rest, rest_length);
        std::replace(member->begin(), member->end(), '\\', '/');
        return 0;
    }

    // Makes the folder member (and its parents). 0 or -1.
    int make_folder(const std::string &member)
    {
        int fd = walk(member, true);
        if (fd < 0)
            return -1;
        close(fd);
        return 0;
    }

    // Creates (or truncates) the regular file member, its parent folders made.
    // A descriptor open for writing, or -1.
    int create_file(const std::string &member)
    {
        size_t cut = member.rfind('/');
        int parent = cut == std::string::npos ? dup_root() : walk(member.substr(0, cut), true);
        if (parent < 0)
            return -1;
        const char *leaf = member.c_str() + (cut == std::string::npos ? 0 : cut + 1);
        // O_NONBLOCK: a FIFO in the way fails instead of blocking.
        int fd = openat(parent, leaf, O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0666);
        int saved = errno;
        close(parent);
        struct stat st;
        if (fd < 0 || fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
            log_error("far_extract: Can't create %s/%s: %d", prefix_.c_str(), member.c_str(), fd < 0 ? saved : 0);
            if (fd >= 0)
                close(fd);
            return -1;
        }
        int flags = fcntl(fd, F_GETFL);
        if (flags >= 0)
            fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
        return fd;
    }

private:
    int root()
    {
        if (fd_ >= 0)
            return fd_;
        const char *path = prefix_.empty() ? "/" : prefix_.c_str();
        if (make_dir_path(path) != 0) {
            log_error("far_extract: Can't make %s", path);
            return -1;
        }
        fd_ = open(path, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (fd_ < 0)
            log_error("far_extract: Can't open %s: %d", path, errno);
        return fd_;
    }

    int dup_root()
    {
        int fd = root();
        return fd < 0 ? -1 : fcntl(fd, F_DUPFD_CLOEXEC, 0);
    }

    // Opens the folder at relative path (checked: no empty, "." or ".."
    // components), making missing components; never follows a link.
    int walk(const std::string &relative, bool make)
    {
        int fd = dup_root();
        size_t start = 0;
        while (fd >= 0 && start < relative.size()) {
            size_t end = relative.find('/', start);
            if (end == std::string::npos)
                end = relative.size();
            std::string component = relative.substr(start, end - start);
            start = end + 1;
            if (make && mkdirat(fd, component.c_str(), 0777) != 0 && errno != EEXIST) {
                log_error("far_extract: Can't make %s/%s: %d", prefix_.c_str(), relative.c_str(), errno);
                close(fd);
                return -1;
            }
            int next = openat(fd, component.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
            if (next < 0)
                log_error("far_extract: Can't open %s/%s: %d", prefix_.c_str(), relative.c_str(), errno);
            close(fd);
            fd = next;
        }
        return fd;
    }

    std::string prefix_;
    int fd_ = -1;
};

int write_all(int fd, const uint8_t *data, size_t size)
{
    while (size > 0) {
        ssize_t wrote = write(fd, data, size);
        if (wrote < 0 && errno == EINTR)
            continue;
        if (wrote <= 0)
            return -1;
        data += wrote;
        size -= size_t(wrote);
    }
    return 0;
}

// Copies length bytes of payload into fd. -1 on a short container or a
// failed write.
int copy_payload(Reader &reader, int fd, uint64_t length, const std::string &member)
{
    while (length > 0) {
        size_t piece = size_t(std::min<uint64_t>(length, sizeof reader.buffer));
        if (reader.read_exact(reader.buffer, piece) != 0) {
            log_error("far_extract: container ends inside %s", member.c_str());
            return -1;
        }
        if (write_all(fd, reader.buffer, piece) != 0) {
            log_error("far_extract: Can't write %s: %d", member.c_str(), errno);
            return -1;
        }
        length -= piece;
    }
    return 0;
}

int filter_call(far_filter_fn filter, void *context, char *path, int kind, int64_t length)
{
    if (filter == nullptr)
        return 0;
    int result = filter(context, path, FAR_MAX_PATH, kind, length);
    path[FAR_MAX_PATH - 1] = '\0';
    return result;
}

// One pass over the records. Without write nothing is written and the filter
// is not called (the check pass); otherwise members are made below the target
// through the filter.
int extract_pass(const char *path, Target *target, bool write, far_filter_fn filter, void *context)
{
    Reader *reader = new (std::nothrow) Reader();
    if (reader == nullptr)
        return -1;
    std::unique_ptr<Reader> owner(reader);
    if (reader->open("far_extract", path) != 0)
        return -1;
    std::string name;        // the "fnam" waiting for its "fdat"
    bool have_name = false;
    char full[FAR_MAX_PATH];
    std::string member;
    for (;;) {
        uint64_t length = 0;
        RecordType type = reader->next("far_extract", &length);
        if (type == RECORD_NONE)
            return -1;
        if (type == RECORD_EOF) {
            if (have_name) {
                log_error("far_extract: file %s has no data", name.c_str());
                return -1;
            }
            return 0;
        }
        if (type == RECORD_DNAM || type == RECORD_FNAM) {
            if (have_name) {
                log_error("far_extract: file %s has no data", name.c_str());
                return -1;
            }
            if (reader->read_name("far_extract", length, &name) != 0)
                return -1;
            if (target->join(name, full) != 0)
                return -1;
            if (type == RECORD_FNAM) {
                have_name = true;
                continue;
            }
            if (!write)
                continue;
            int result = filter_call(filter, context, full, FAR_KIND_FOLDER, 0);
            if (result < 0)
                return result;
            if (result & FAR_FILTER_STOP_BEFORE)
                return result & FAR_FILTER_RESULT_MASK;
            if (!(result & FAR_FILTER_SKIP_FOLDER)) {
                if (target->member_of(full, &member) != 0 || target->make_folder(member) != 0)
                    return -1;
            }
            if (result & FAR_FILTER_STOP_AFTER)
                return result & FAR_FILTER_RESULT_MASK;
            continue;
        }
        // "fdat"
        if (!have_name) {
            log_error("far_extract: file data without a name");
            return -1;
        }
        have_name = false;
        if (!write) {
            if (reader->skip(length) != 0) {
                log_error("far_extract: container ends inside %s", name.c_str());
                return -1;
            }
            continue;
        }
        if (length > uint64_t(INT64_MAX))
            return -1;
        int result = filter_call(filter, context, full, FAR_KIND_FILE, int64_t(length));
        if (result < 0)
            return result;
        if (result & FAR_FILTER_STOP_BEFORE)
            return result & FAR_FILTER_RESULT_MASK;
        if (result & FAR_FILTER_SKIP_DATA) {
            if (reader->skip(length) != 0) {
                log_error("far_extract: container ends inside %s", name.c_str());
                return -1;
            }
        } else {
            if (target->member_of(full, &member) != 0)
                return -1;
            int fd = target->create_file(member);
            if (fd < 0)
                return -1;
            int status = copy_payload(*reader, fd, length, member);
            if (close(fd) != 0 && status == 0) {
                log_error("far_extract: Can't close %s: %d", member.c_str(), errno);
                status = -1;
            }
            if (status != 0)
                return -1;
        }
        if (result & FAR_FILTER_STOP_AFTER)
            return result & FAR_FILTER_RESULT_MASK;
    }
}

} // namespace

int far_extract(const char *path, const char *target, far_filter_fn filter, void *context)
{
    if (path == nullptr || target == nullptr || target[0] == '\0') {
        log_error("far_extract: no container or target");
        return -1;
    }
    try {
        Target folder(target);
        if (extract_pass(path, &folder, false, nullptr, nullptr) != 0) {
            log_error("far_extract: %s refused, nothing extracted", path);
            return -1;
        }
        return extract_pass(path, &folder, true, filter, context);
    } catch (const std::bad_alloc &) {
        log_error("far_extract: no memory");
        return -1;
    }
}

bool far_is_container(const char *path)
{
    if (path == nullptr)
        return false;
    struct stat st;
    if (stat(path, &st) != 0 || !S_ISREG(st.st_mode))
        return false;
    std::unique_ptr<Reader> reader(new (std::nothrow) Reader());
    return reader != nullptr && reader->open("far_is_container", path) == 0;
}

buf_t *far_get_member(const char *path, const char *name, buf_t *buffer)
{
    if (path == nullptr || name == nullptr)
        return nullptr;
    Reader *reader = new (std::nothrow) Reader();
    if (reader == nullptr)
        return nullptr;
    std::unique_ptr<Reader> owner(reader);
    if (reader->open("far_get_member", path) != 0)
        return nullptr;
    std::string wanted = name;
    std::replace(wanted.begin(), wanted.end(), '/', '\\');
    std::string current;   // the last "fnam", when short enough to be read
    bool have_name = false;
    for (;;) {
        uint64_t length = 0;
        RecordType type = reader->next("far_get_member", &length);
        if (type == RECORD_NONE || type == RECORD_EOF)
            return nullptr;
        if (type == RECORD_FNAM && length >= 1 && length <= FAR_MAX_LOOKUP_NAME) {
            char text[FAR_MAX_LOOKUP_NAME];
            if (reader->read_exact(text, length) != 0)
                return nullptr;
            have_name = text[length - 1] == '\0';
            current.assign(text, have_name ? strlen(text) : 0);
            continue;
        }
        if (type != RECORD_FDAT || !have_name || current != wanted) {
            have_name = false;
            if (reader->skip(length) != 0)
                return nullptr;
            continue;
        }
        buf_t *out = buffer != nullptr ? buffer : buf_pool_get();
        if (out == nullptr)
            return nullptr;
        buf_clear(out);
        if (buf_set_element_size(out, 1) != 0) {
            if (out != buffer)
                buf_free(out);
            return nullptr;
        }
        if (length > FAR_MAX_MEMBER_SIZE)
            return out; // too large to be a member read whole: empty
        if (buf_reserve(out, size_t(length) + 1) != 0 ||
            (length > 0 && reader->read_exact(out->data, length) != 0)) {
            log_error("far_get_member: Can't read %s", wanted.c_str());
            if (out != buffer)
                buf_free(out);
            return nullptr;
        }
        out->data[length] = 0;
        out->count = int(length);
        return out;
    }
}
