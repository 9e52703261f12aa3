// A card that dies as a real one does, for the tests of the `zorvant`
// program: an image's bytes served as one file of a FUSE mount by the test
// helper failing_card_fuse (tests/support/failing_card_fuse.cpp), whose reads
// fail from a byte on, or whose server ends itself mid-read or is stopped,
// and which counts the reads it was asked. Also a read-only loop device over
// such a file.
// Every wait is bounded; the mount, the server and the loop device are undone
// on every path (declare them after the TempDir that holds the mount point).
#pragma once

#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "scan/fat_image_support.h"
#include "support/test_support.h"

namespace zvcli {

class FailingCard {
public:
    // Serves image at folder/mnt/card.img with the helper's options
    // ("--fail-from", "4194304", ...); throws when it does not come up.
    FailingCard(const std::string &image, const std::string &folder, const std::vector<std::string> &options = {})
        : mount_(folder + "/mnt"), count_(folder + "/reads"), log_(folder + "/fuse.log")
    {
        zvtest::requireTool("fusermount3");
        std::filesystem::create_directories(mount_);
        std::vector<std::string> argv = {FAILING_CARD_FUSE, image, mount_, "--count", count_};
        argv.insert(argv.end(), options.begin(), options.end());
        pid_ = fork();
        if (pid_ == 0) {
            if (!freopen(log_.c_str(), "w", stdout) || !freopen(log_.c_str(), "a", stderr))
                _exit(127);
            std::vector<char *> args;
            for (const std::string &a : argv)
                args.push_back(const_cast<char *>(a.c_str()));
            args.push_back(nullptr);
            execv(args[0], args.data());
            _exit(127);
        }
        const auto size = std::filesystem::file_size(image);
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
        for (;;) {
            struct stat st;
            if (stat(path().c_str(), &st) == 0 && (uintmax_t)st.st_size == size)
                return;
            int status = 0;
            if (waitpid(pid_, &status, WNOHANG) == pid_) {
                pid_ = -1;
                throw std::runtime_error("failing_card_fuse ended before serving: " + zvtest::readFile(log_));
            }
            if (std::chrono::steady_clock::now() > deadline) {
                stop();
                throw std::runtime_error("failing_card_fuse did not come up: " + zvtest::readFile(log_));
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
    }
    ~FailingCard() { stop(); }
    FailingCard(const FailingCard &) = delete;
    FailingCard &operator=(const FailingCard &) = delete;

    // The served file.
    std::string path() const { return mount_ + "/card.img"; }
    // Reads of the served file so far (the server writes the count after each).
    long long reads() const { return std::atoll(zvtest::readFile(count_).c_str()); }
    // Whether the server has ended (by itself: --die-at).
    bool ended()
    {
        int status = 0;
        if (pid_ > 0 && waitpid(pid_, &status, WNOHANG) == pid_)
            pid_ = -1;
        return pid_ <= 0;
    }
    // Waits at most 20 s for the server to stop itself (--stop-at); whether it did.
    bool waitStopped()
    {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
        int status = 0;
        while (pid_ > 0 && std::chrono::steady_clock::now() < deadline) {
            if (waitpid(pid_, &status, WUNTRACED | WNOHANG) == pid_)
                return WIFSTOPPED(status);
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        return false;
    }
    // Stops the server (SIGSTOP): every request that reaches it then waits,
    // as on a server that hangs. resume() (and stop()) let it go on.
    void pause()
    {
        if (pid_ > 0)
            kill(pid_, SIGSTOP);
    }
    void resume()
    {
        if (pid_ > 0)
            kill(pid_, SIGCONT);
    }
    // Resumes the server, unmounts (lazily when the server is gone or the
    // file still in use) and waits at most 10 s for the server, then kills it.
    void stop()
    {
        resume();
        if (!mount_.empty() && zvtest::run("fusermount3 -u " + zvtest::shellQuote(mount_) + " 2>/dev/null") != 0)
            zvtest::run("fusermount3 -u -z " + zvtest::shellQuote(mount_) + " 2>/dev/null");
        if (pid_ > 0) {
            const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
            int status = 0;
            while (waitpid(pid_, &status, WNOHANG) == 0) {
                if (std::chrono::steady_clock::now() > deadline) {
                    kill(pid_, SIGKILL);
                    waitpid(pid_, &status, 0);
                    break;
                }
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
            }
            pid_ = -1;
        }
    }

private:
    std::string mount_, count_, log_;
    pid_t pid_ = -1;
};

// A FailingCard's server stopped for the lifetime of this (declared after
// the loop devices over the served file, so that it is resumed before they
// are detached).
class PausedCard {
public:
    explicit PausedCard(FailingCard &card) : card_(card) { card_.pause(); }
    ~PausedCard() { card_.resume(); }
    PausedCard(const PausedCard &) = delete;
    PausedCard &operator=(const PausedCard &) = delete;

private:
    FailingCard &card_;
};

// A read-only loop device over a file (a FUSE mount is read-only), detached
// on destruction.
class ReadOnlyLoop {
public:
    explicit ReadOnlyLoop(const std::string &file)
    {
        zvtest::requireTool("losetup");
        std::string out = zvtest::mustRun("losetup --find --show --read-only " + zvtest::shellQuote(file));
        const size_t at = out.rfind("/dev/loop");
        if (at == std::string::npos)
            throw std::runtime_error("losetup named no loop device: " + out);
        path_ = out.substr(at, out.find_first_of(" \n", at) - at);
    }
    ~ReadOnlyLoop() { zvtest::run("losetup -d " + zvtest::shellQuote(path_) + " 2>/dev/null"); }
    ReadOnlyLoop(const ReadOnlyLoop &) = delete;
    ReadOnlyLoop &operator=(const ReadOnlyLoop &) = delete;

    const std::string &path() const { return path_; }

private:
    std::string path_;
};

} // namespace zvcli
