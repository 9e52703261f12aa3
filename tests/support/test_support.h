// Small fixtures shared by the test suites: a scratch folder, a scoped
// environment variable, whole-file reading, running a shell command, loop
// devices over image files and mounts.
#pragma once

#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mount.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <set>
#include <stdexcept>
#include <string>

namespace zvtest {

// A fresh folder under the system's temp folder, removed with its contents.
class TempDir {
public:
    // A fresh folder in base, or in the system's temporary folder without one.
    explicit TempDir(const std::string &base = "")
    {
        std::string pattern =
            ((base.empty() ? std::filesystem::temp_directory_path() : std::filesystem::path(base)) / "zv-test-XXXXXX")
                .string();
        if (mkdtemp(pattern.data()) == nullptr)
            throw std::runtime_error("mkdtemp failed");
        path_ = pattern;
    }
    ~TempDir()
    {
        std::error_code ec;
        std::filesystem::remove_all(path_, ec);
    }
    TempDir(const TempDir &) = delete;
    TempDir &operator=(const TempDir &) = delete;

    const std::string &path() const { return path_; }
    std::string operator/(const std::string &name) const { return path_ + "/" + name; }

private:
    std::string path_;
};

// Sets (or, with NULL, unsets) an environment variable for one scope. TZ is
// re-read by the C library on the way in and out.
class ScopedEnv {
public:
    ScopedEnv(const char *name, const char *value) : name_(name)
    {
        const char *old = getenv(name);
        had_ = old != nullptr;
        if (had_)
            old_ = old;
        set(value);
    }
    ~ScopedEnv() { set(had_ ? old_.c_str() : nullptr); }
    ScopedEnv(const ScopedEnv &) = delete;
    ScopedEnv &operator=(const ScopedEnv &) = delete;

private:
    void set(const char *value)
    {
        if (value)
            setenv(name_.c_str(), value, 1);
        else
            unsetenv(name_.c_str());
        if (name_ == "TZ")
            tzset();
    }
    std::string name_;
    std::string old_;
    bool had_ = false;
};

inline std::string readFile(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

inline void writeFile(const std::string &path, const std::string &bytes)
{
    std::ofstream(path, std::ios::binary) << bytes;
}

// The names in a folder, "." and ".." left out; none when it cannot be read.
inline std::set<std::string> folderNames(const std::string &dir)
{
    std::set<std::string> names;
    std::error_code ec;
    for (std::filesystem::directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec))
        names.insert(it->path().filename().string());
    return names;
}

// Runs a shell command; returns its exit status (-1 when it could not run)
// and, when out is given, what it wrote to standard output.
inline int run(const std::string &command, std::string *out = nullptr)
{
    FILE *pipe = popen(command.c_str(), "r");
    if (pipe == nullptr)
        return -1;
    std::string text;
    char chunk[4096];
    size_t got;
    while ((got = fread(chunk, 1, sizeof chunk, pipe)) > 0)
        text.append(chunk, got);
    int status = pclose(pipe);
    if (out)
        *out = text;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// Throws when a command-line tool the test needs is not installed: a test
// whose tool is missing fails instead of passing quietly.
inline void requireTool(const std::string &tool)
{
    if (run("command -v " + tool + " >/dev/null 2>&1") != 0)
        throw std::runtime_error("required tool not installed: " + tool);
}

// Runs a command that must succeed; throws with its output otherwise.
inline std::string mustRun(const std::string &command)
{
    std::string out;
    int status = run(command + " 2>&1", &out);
    if (status != 0)
        throw std::runtime_error("command failed (" + std::to_string(status) + "): " + command + "\n" + out);
    return out;
}

// A loop device over an image file (root only), detached on destruction.
// sector_size 0 keeps the kernel's default (512).
class LoopDevice {
public:
    explicit LoopDevice(const std::string &image, int sector_size = 0)
    {
        requireTool("losetup");
        std::string command = "losetup --find --show";
        if (sector_size)
            command += " --sector-size " + std::to_string(sector_size);
        std::string out = mustRun(command + " '" + image + "'");
        while (!out.empty() && (out.back() == '\n' || out.back() == ' '))
            out.pop_back();
        path_ = out;
    }
    // Partitions a test added with partx stay on an unbound loop device, so
    // they are deleted first.
    ~LoopDevice() { run("partx -d '" + path_ + "' >/dev/null 2>&1; losetup -d '" + path_ + "' 2>/dev/null"); }
    LoopDevice(const LoopDevice &) = delete;
    LoopDevice &operator=(const LoopDevice &) = delete;

    const std::string &path() const { return path_; }
    static bool available() { return geteuid() == 0; }
    // The same device bound to another image (another card in the reader).
    void bind(const std::string &image)
    {
        mustRun("losetup -d '" + path_ + "' && losetup '" + path_ + "' '" + image + "'");
    }

private:
    std::string path_;
};

// A mount (root only) made with mount(2) and undone on destruction (lazily
// when still busy), so no test path leaves it behind. Throws when the mount
// cannot be made: the test then fails. Declare it after the TempDir holding
// its mount point, so it is undone before the folder is removed.
class Mount {
public:
    // mount --bind source target
    static Mount bind(const std::string &source, const std::string &target)
    {
        return Mount(source, target, nullptr, MS_BIND, "");
    }
    // mount -t tmpfs -o options tmpfs target
    static Mount tmpfs(const std::string &target, const std::string &options)
    {
        return Mount("tmpfs", target, "tmpfs", 0, options);
    }
    // mount -t type device target
    static Mount device(const std::string &device, const std::string &target, const char *type)
    {
        return Mount(device, target, type, 0, "");
    }
    Mount(Mount &&other) noexcept : target_(std::move(other.target_)) { other.target_.clear(); }
    Mount &operator=(Mount &&) = delete;
    ~Mount() { unmount(); }
    void unmount()
    {
        if (!target_.empty() && ::umount2(target_.c_str(), 0) != 0)
            ::umount2(target_.c_str(), MNT_DETACH);
        target_.clear();
    }
    // Makes the mount read-only, or writable again.
    void setReadOnly(bool readOnly)
    {
        const unsigned long flags = MS_REMOUNT | MS_BIND | (readOnly ? MS_RDONLY : 0);
        if (::mount(nullptr, target_.c_str(), nullptr, flags, nullptr) != 0)
            throw std::runtime_error("remount failed: " + target_ + ": " + strerror(errno));
    }

private:
    Mount(const std::string &source, const std::string &target, const char *type, unsigned long flags,
          const std::string &options)
    {
        if (::mount(source.c_str(), target.c_str(), type, flags, options.empty() ? nullptr : options.c_str()) != 0)
            throw std::runtime_error("mount failed: " + source + " on " + target + ": " + strerror(errno));
        target_ = target;
    }
    std::string target_;
};

} // namespace zvtest
