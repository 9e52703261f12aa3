// The command-line front end's link to the engine: the callback interface
// (disk filter, operation ends), waiting for a queued operation while its
// progress is shown, Ctrl-C as the Cancel button, and the engine strings
// text of the user's language.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>

#include "engine/engine.h"

namespace zvapp {

// Exit codes.
enum : int {
    EXIT_OK = 0,
    EXIT_FAILED = 1,
    EXIT_USAGE = 2,
    EXIT_INCOMPLETE = 3, // a scan finished, but part of the card was not read (unreadable, or stopped early)
    EXIT_INTERRUPTED = 130,
};

// The disk filter (callback slot 0), as device and as disk filter: hides
// virtual disks (loop devices among them), disks above 256 GiB, and entries
// without a file path that are not removable (the fixed disks).
bool disk_hidden(const HV::Disk &disk);

// The language code of the user's messages from LC_ALL, LC_MESSAGES and
// LANG (the first one set): "de" for "de_DE.UTF-8"; "" for C, POSIX and
// English.
std::string user_language();
// The engine strings text for a language: "<lang>.strings" beside the
// program or in "../share/zorvant" from it; "" for English or when none is
// installed.
std::string strings_text_for(const std::string &language);

// Sizes as the front end shows them: byteCountString mode 0, one decimal.
std::string size_text(uint64_t bytes);

class Callbacks : public HV::EngineCallbacks {
public:
    bool filterDisk(const HV::Disk &disk) override { return disk_hidden(disk); }
    void operationWillStart(HV::Command command) override;
    void operationDidFinish(HV::Command command, const HV::CommandResult &result) override;
    void slowRead(const zorvant::u8string &name, int64_t position, uint32_t milliseconds) override;
    // Prints "Recovering into FOLDER" for a folder other than the one named
    // last.
    void recoveryTargetOpened(const std::string &folder) override;

    // Waits until one more operation of the kind command has finished
    // since the last wait for it (or since the start), drawing progress
    // every 100 ms when show_progress (a recovery's only once its target
    // folder is open: one refused shows none); Ctrl-C asks the engine to abort,
    // Ctrl-\ (or the time limit, seconds > 0) to stop early. Its result.
    // Operations of other kinds (a reload after a device event) finishing
    // meanwhile do not end the wait.
    HV::CommandResult wait(HVEngine &engine, HV::Command command, bool show_progress,
                           double stop_after_seconds = 0);

private:
    std::mutex mutex_;
    std::condition_variable done_;
    std::map<HV::Command, uint64_t> finished_;
    std::map<HV::Command, uint64_t> waited_;
    std::map<HV::Command, HV::CommandResult> last_;
    bool target_open_ = false; // the running recovery has opened its target folder
    std::string target_shown_;
};

// Ctrl-C handling: the first SIGINT, SIGTERM or SIGHUP (a closed terminal)
// sets the interrupted flag (the waits turn it into an abort), a second one
// drops the workspace lock and ends the process at once with
// EXIT_INTERRUPTED (a SIGHUP within half a second of another is the same
// hang-up); SIGQUIT sets the stop flag. The signals are handled on a
// thread of their own, so a command stuck in a system call can still be
// ended; called before any other thread is started.
void install_signal_handlers();
bool interrupted();
bool stop_asked();

} // namespace zvapp
