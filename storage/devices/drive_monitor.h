// Drive failure detection: slow reads, the sign of a failing card or disk.
//
// The file layer times every read and hands those that took at least its
// slow-read threshold to one process-wide callback (file.h). The monitor
// owns that threshold and that callback: it reads its settings from the
// property node "Drive Failure Detection", drops reports that say little (a
// slow first read of a drive at position 0 is often only the drive waking
// up), and reports a drive only once it was slow at a minimum number of
// distinct positions; after that every slow read of it is reported.
//
// Settings (re-read on every "PrefsChanged" except the minimum, which is
// read once, by registerPrefs):
//   slow_detection_enabled   bool, default 1
//   slow_duration_ms         the file layer's threshold, default 3000
//   slow_read_suppress_count the minimum, 0 to 100, default 3
//
// Threads: onSlowRead runs on any reading thread, under the file layer's
// slow-read mutex; it takes the monitor's mutex after it, and calls the
// report callback after releasing the monitor's mutex (still under the file
// layer's mutex: the callback must not read files through the file layer).
// The "PrefsChanged" observer runs on the posting thread and touches only
// the enabled flag and the file layer's threshold.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <vector>

namespace HV {

class DriveMonitor {
public:
    // (file name, read position, milliseconds)
    typedef std::function<void(const std::string &name, int64_t position, uint32_t milliseconds)> ReportFn;

    DriveMonitor();
    // Stops the "PrefsChanged" observer and, when it is still this
    // monitor's, the file layer's callback; both wait for a call in progress.
    ~DriveMonitor();
    DriveMonitor(const DriveMonitor &) = delete;
    DriveMonitor &operator=(const DriveMonitor &) = delete;

    // Set-up, once: stores the callback, follows "PrefsChanged", reads the
    // settings and the minimum, and installs the file layer's callback.
    void registerPrefs(ReportFn callback);

    // Re-reads the enabled flag and the file layer's threshold. Without the
    // settings node the monitor is disabled.
    void readPrefs();

    // One slow read (see the file comment). Reports nothing while disabled,
    // for an empty name or 0 ms, for position 0 under 5000 ms, or when no
    // callback was given.
    void onSlowRead(const std::string &name, int64_t position, uint32_t milliseconds);

    bool enabled() const { return enabled_.load(); }
    int32_t minimumSlowReads() const { return minimumSlowReads_; }

private:
    static void prefsChanged(const char *name, std::uintptr_t argument, void *context);

    ReportFn callback_;
    std::atomic<bool> enabled_{false};
    std::map<std::string, std::vector<int64_t>> slowPositions_;
    std::mutex mutex_;
    int32_t minimumSlowReads_ = 0;
    bool registered_ = false;
};

} // namespace HV
