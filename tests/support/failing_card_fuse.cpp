// failing_card_fuse: a test helper that serves the bytes of a card image as
// one read-only file of a FUSE mount whose reads can be made to fail the way
// a dying card's do. Built with the tests only. The file is named card.img.
//
//   failing_card_fuse IMAGE MOUNTPOINT [options]
//     --fail-from BYTE   every read from that byte on fails; a read that
//                        begins before it stops short there, as a device does
//     --errno N          the error of those reads (default EIO)
//     --bad FROM TO      reads of the bytes FROM to TO (exclusive) fail with
//                        EIO, always: a bad range of a card that answers
//                        (repeatable: one range each)
//     --after-end        the failures (and --die-at) begin only once the
//                        image was read through from byte 0 to its last byte
//                        (see --die-at): the card dies after it was read
//                        through once
//     --die-at BYTE      the server ends itself, unanswered, at the first
//                        read that holds that byte while the card is read
//                        through (reads each going on where the one before
//                        ended, from byte 0 on; the looks at a few spots made
//                        when the card is attached do not count; with
//                        --after-end, any read once the image was read through
//                        to its end): the kernel then fails the read with
//                        ECONNABORTED and every later one with ENOTCONN
//     --stop-at BYTE     the server stops itself (SIGSTOP) at the first read
//                        that holds that byte while the card is read through
//                        (as for --die-at), until it is let go on (SIGCONT):
//                        the reader of the card then waits there
//     --count FILE       after every read of the served file, FILE holds the
//                        number of reads so far (decimal, space-padded)
//
// It runs in the foreground, single-threaded, until it is unmounted
// (fusermount3 -u) or killed. The file is opened with direct I/O, so every
// read of it, also through a loop device, reaches this program: the count
// is what the device was asked.
#define FUSE_USE_VERSION 31

#include <fuse.h>

#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

namespace {

struct Card {
    int image = -1;
    int64_t size = 0;
    std::string name = "card.img";
    int64_t fail_from = -1;
    std::vector<std::pair<int64_t, int64_t>> bad; // [from, to) ranges
    int errnum = EIO;
    bool after_end = false;
    int64_t die_at = -1;
    int64_t stop_at = -1;
    int count_fd = -1;
    long long reads = 0;
    bool end_seen = false;
    int64_t last_end = -1;  // where the read before ended
    int64_t run_start = -1; // where the run of reads each going on from the one before began
} g;

bool is_card(const char *path)
{
    return path[0] == '/' && g.name == path + 1;
}

int card_getattr(const char *path, struct stat *st, struct fuse_file_info *)
{
    std::memset(st, 0, sizeof *st);
    if (std::strcmp(path, "/") == 0) {
        st->st_mode = S_IFDIR | 0555;
        st->st_nlink = 2;
        return 0;
    }
    if (!is_card(path))
        return -ENOENT;
    st->st_mode = S_IFREG | 0444;
    st->st_nlink = 1;
    st->st_size = g.size;
    return 0;
}

int card_readdir(const char *path, void *buffer, fuse_fill_dir_t fill, off_t, struct fuse_file_info *,
                 enum fuse_readdir_flags)
{
    if (std::strcmp(path, "/") != 0)
        return -ENOENT;
    fill(buffer, ".", nullptr, 0, static_cast<fuse_fill_dir_flags>(0));
    fill(buffer, "..", nullptr, 0, static_cast<fuse_fill_dir_flags>(0));
    fill(buffer, g.name.c_str(), nullptr, 0, static_cast<fuse_fill_dir_flags>(0));
    return 0;
}

int card_open(const char *path, struct fuse_file_info *fi)
{
    if (!is_card(path))
        return -ENOENT;
    if ((fi->flags & O_ACCMODE) != O_RDONLY)
        return -EROFS;
    fi->direct_io = 1;
    return 0;
}

void write_count()
{
    if (g.count_fd < 0)
        return;
    char text[32];
    const int n = std::snprintf(text, sizeof text, "%20lld\n", g.reads);
    if (pwrite(g.count_fd, text, (size_t)n, 0) != n)
        std::perror("failing_card_fuse: count");
}

void note_read()
{
    ++g.reads;
    write_count();
}

int card_read(const char *path, char *buffer, size_t size, off_t offset, struct fuse_file_info *)
{
    if (!is_card(path))
        return -ENOENT;
    note_read();
    const bool dying = !g.after_end || g.end_seen;
    const int64_t end = (int64_t)offset + (int64_t)size;
    // Reads that each go on where the one before ended, from byte 0 on,
    // read the card through (a look at a few spots does not).
    if (offset != g.last_end)
        g.run_start = offset;
    g.last_end = end;
    const bool read_through = g.run_start == 0;
    const bool through = g.after_end ? g.end_seen : read_through;
    if (through && g.die_at >= offset && g.die_at < end)
        _exit(0); // unanswered: the kernel aborts the connection
    if (read_through && g.stop_at >= offset && g.stop_at < end) {
        g.stop_at = -1;
        kill(getpid(), SIGSTOP);
    }
    if (dying && g.fail_from >= 0 && end > g.fail_from) {
        if (offset >= g.fail_from)
            return -g.errnum;
        size = (size_t)(g.fail_from - offset);
    }
    for (const auto &[from, to] : g.bad) {
        if (from < (int64_t)offset + (int64_t)size && to > offset) {
            if (from <= offset)
                return -EIO;
            size = (size_t)(from - offset);
        }
    }
    const ssize_t got = pread(g.image, buffer, size, offset);
    if (got < 0)
        return -errno;
    if ((int64_t)offset + got >= g.size && read_through)
        g.end_seen = true;
    return (int)got;
}

int64_t number(const char *text)
{
    char *end = nullptr;
    const long long value = std::strtoll(text, &end, 10);
    if (end == text || *end != '\0' || value < 0) {
        std::fprintf(stderr, "failing_card_fuse: not a number: %s\n", text);
        std::exit(2);
    }
    return value;
}

} // namespace

int main(int argc, char **argv)
{
    if (argc < 3) {
        std::fprintf(stderr, "usage: failing_card_fuse IMAGE MOUNTPOINT [--fail-from BYTE] [--errno N] [--bad FROM TO] [--after-end] "
                             "[--die-at BYTE] [--stop-at BYTE] [--count FILE]\n");
        return 2;
    }
    for (int i = 3; i < argc; i++) {
        const std::string option = argv[i];
        const bool has_value = i + 1 < argc;
        if (option == "--after-end") {
            g.after_end = true;
        } else if (option == "--fail-from" && has_value) {
            g.fail_from = number(argv[++i]);
        } else if (option == "--bad" && i + 2 < argc) {
            const int64_t from = number(argv[++i]);
            g.bad.emplace_back(from, number(argv[++i]));
        } else if (option == "--errno" && has_value) {
            g.errnum = (int)number(argv[++i]);
        } else if (option == "--die-at" && has_value) {
            g.die_at = number(argv[++i]);
        } else if (option == "--stop-at" && has_value) {
            g.stop_at = number(argv[++i]);
        } else if (option == "--count" && has_value) {
            g.count_fd = open(argv[++i], O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
            if (g.count_fd < 0) {
                std::perror("failing_card_fuse: --count");
                return 2;
            }
            write_count();
        } else {
            std::fprintf(stderr, "failing_card_fuse: unknown or incomplete option %s\n", option.c_str());
            return 2;
        }
    }
    g.image = open(argv[1], O_RDONLY | O_CLOEXEC);
    struct stat st;
    if (g.image < 0 || fstat(g.image, &st) != 0) {
        std::perror("failing_card_fuse: image");
        return 2;
    }
    g.size = st.st_size;

    fuse_operations ops{};
    ops.getattr = card_getattr;
    ops.readdir = card_readdir;
    ops.open = card_open;
    ops.read = card_read;
    std::vector<char *> args = {argv[0], argv[2], const_cast<char *>("-f"), const_cast<char *>("-s"),
                                const_cast<char *>("-o"), const_cast<char *>("ro,fsname=failing_card")};
    return fuse_main((int)args.size(), args.data(), &ops, nullptr);
}
