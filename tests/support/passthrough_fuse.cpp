// passthrough_fuse: a test helper that shows a folder through a FUSE mount,
// passing every request on to the folder by path. It holds nothing open
// between requests: the file behind a file is open only from the kernel's
// open (or create) to its release, and a folder only while one request
// reads it. Its mount names no device or file ("passthrough"). Built with
// the tests only.
//
//   passthrough_fuse FOLDER MOUNTPOINT
//
// It goes into the background once mounted, single-threaded, and ends when
// it is unmounted.
#define FUSE_USE_VERSION 31

#include <fuse.h>

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <string>
#include <vector>

namespace {

std::string g_root;

std::string backing(const char *path)
{
    return g_root + path;
}

int result(int rc)
{
    return rc < 0 ? -errno : rc;
}

int pt_getattr(const char *path, struct stat *st, struct fuse_file_info *fi)
{
    return result(fi != nullptr ? fstat((int)fi->fh, st) : lstat(backing(path).c_str(), st));
}

int pt_readdir(const char *path, void *buf, fuse_fill_dir_t fill, off_t, struct fuse_file_info *, fuse_readdir_flags)
{
    DIR *dir = opendir(backing(path).c_str());
    if (dir == nullptr)
        return -errno;
    while (struct dirent *entry = readdir(dir))
        fill(buf, entry->d_name, nullptr, 0, (fuse_fill_dir_flags)0);
    closedir(dir);
    return 0;
}

int pt_mkdir(const char *path, mode_t mode) { return result(mkdir(backing(path).c_str(), mode)); }
int pt_rmdir(const char *path) { return result(rmdir(backing(path).c_str())); }
int pt_unlink(const char *path) { return result(unlink(backing(path).c_str())); }
int pt_link(const char *from, const char *to) { return result(link(backing(from).c_str(), backing(to).c_str())); }
int pt_access(const char *path, int mask) { return result(access(backing(path).c_str(), mask)); }

int pt_rename(const char *from, const char *to, unsigned int flags)
{
    return result(renameat2(AT_FDCWD, backing(from).c_str(), AT_FDCWD, backing(to).c_str(), flags));
}

int pt_truncate(const char *path, off_t size, struct fuse_file_info *fi)
{
    return result(fi != nullptr ? ftruncate((int)fi->fh, size) : truncate(backing(path).c_str(), size));
}

int pt_utimens(const char *path, const struct timespec tv[2], struct fuse_file_info *fi)
{
    return result(fi != nullptr ? futimens((int)fi->fh, tv) : utimensat(AT_FDCWD, backing(path).c_str(), tv, 0));
}

int pt_create(const char *path, mode_t mode, struct fuse_file_info *fi)
{
    const int fd = open(backing(path).c_str(), fi->flags, mode);
    if (fd < 0)
        return -errno;
    fi->fh = (uint64_t)fd;
    return 0;
}

int pt_open(const char *path, struct fuse_file_info *fi)
{
    return pt_create(path, 0, fi);
}

int pt_read(const char *, char *buf, size_t size, off_t offset, struct fuse_file_info *fi)
{
    return result((int)pread((int)fi->fh, buf, size, offset));
}

int pt_write(const char *, const char *buf, size_t size, off_t offset, struct fuse_file_info *fi)
{
    return result((int)pwrite((int)fi->fh, buf, size, offset));
}

int pt_fsync(const char *, int, struct fuse_file_info *fi) { return result(fsync((int)fi->fh)); }
int pt_release(const char *, struct fuse_file_info *fi) { return result(close((int)fi->fh)); }
int pt_statfs(const char *path, struct statvfs *st) { return result(statvfs(backing(path).c_str(), st)); }

} // namespace

int main(int argc, char **argv)
{
    if (argc != 3) {
        fprintf(stderr, "usage: passthrough_fuse FOLDER MOUNTPOINT\n");
        return 2;
    }
    char *root = realpath(argv[1], nullptr);
    if (root == nullptr) {
        perror(argv[1]);
        return 1;
    }
    g_root = root;
    free(root);
    fuse_operations ops = {};
    ops.getattr = pt_getattr;
    ops.readdir = pt_readdir;
    ops.mkdir = pt_mkdir;
    ops.rmdir = pt_rmdir;
    ops.unlink = pt_unlink;
    ops.link = pt_link;
    ops.access = pt_access;
    ops.rename = pt_rename;
    ops.truncate = pt_truncate;
    ops.utimens = pt_utimens;
    ops.create = pt_create;
    ops.open = pt_open;
    ops.read = pt_read;
    ops.write = pt_write;
    ops.fsync = pt_fsync;
    ops.release = pt_release;
    ops.statfs = pt_statfs;
    std::vector<char *> args = {argv[0], argv[2], const_cast<char *>("-s"), const_cast<char *>("-o"),
                                const_cast<char *>("fsname=passthrough")};
    return fuse_main((int)args.size(), args.data(), &ops, nullptr);
}
