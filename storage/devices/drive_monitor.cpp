#include "storage/devices/drive_monitor.h"

#include <algorithm>

#include "foundation/file.h"
#include "foundation/notify.h"
#include "foundation/properties.h"
#include "foundation/strings.h"

namespace HV {

namespace {

const char *const kSettingsNode = "Drive Failure Detection";
const char *const kPrefsChanged = "PrefsChanged";

// A first read at position 0 that is only a little slow is most often a
// drive spinning up or a card reader waking; it counts from this long on.
constexpr uint32_t kSlowFirstReadMs = 5000;

// The monitor whose handler the file layer calls; a monitor being destroyed
// clears the file layer's callback only when it is still its own. The mutex
// keeps the two steps of installing and of clearing together (it is taken
// before the file layer's slow-read mutex).
std::mutex installMutex;
DriveMonitor *installedMonitor = nullptr;

PropNode *settingsNode()
{
    // localize_path's result is the calling thread's buffer; prop_node
    // copies the names it keeps.
    return prop_node(localize_path(kSettingsNode), PROP_NODE_CREATE);
}

} // namespace

DriveMonitor::DriveMonitor() = default;

DriveMonitor::~DriveMonitor()
{
    if (!registered_)
        return;
    notification_remove_observer(kPrefsChanged, &DriveMonitor::prefsChanged, this);
    std::lock_guard<std::mutex> lock(installMutex);
    if (installedMonitor == this) {
        installedMonitor = nullptr;
        file_set_slow_read_callback(file_slow_read_fn()); // waits for a running handler
    }
}

void DriveMonitor::registerPrefs(ReportFn callback)
{
    callback_ = std::move(callback);
    notification_add_observer(kPrefsChanged, &DriveMonitor::prefsChanged, this);
    registered_ = true;
    readPrefs();
    minimumSlowReads_ = static_cast<int32_t>(prop_get_ll(settingsNode(), &prop_schema_slow_read_suppress_count, 3, 0));
    std::lock_guard<std::mutex> lock(installMutex);
    installedMonitor = this;
    file_set_slow_read_callback([this](const zorvant::u8string &name, int64_t position, int64_t milliseconds) {
        const int64_t clamped = std::min<int64_t>(std::max<int64_t>(milliseconds, 0), UINT32_MAX);
        onSlowRead(name.str(), position, static_cast<uint32_t>(clamped));
    });
}

void DriveMonitor::readPrefs()
{
    PropNode *node = settingsNode();
    if (node == nullptr) {
        enabled_.store(false);
        return;
    }
    enabled_.store(prop_get_ll(node, &prop_schema_slow_detection_enabled, 1, 0) == 1);
    file_set_slow_read_threshold(prop_get_ll(node, &prop_schema_slow_duration_ms, 3000, 0));
}

void DriveMonitor::prefsChanged(const char *, std::uintptr_t, void *context)
{
    static_cast<DriveMonitor *>(context)->readPrefs();
}

void DriveMonitor::onSlowRead(const std::string &name, int64_t position, uint32_t milliseconds)
{
    if (!enabled_.load() || name.empty() || milliseconds == 0)
        return;
    if (position == 0 && milliseconds < kSlowFirstReadMs)
        return;
    if (minimumSlowReads_ > 0) {
        std::lock_guard<std::mutex> lock(mutex_);
        std::vector<int64_t> &positions = slowPositions_[name];
        const size_t minimum = static_cast<size_t>(minimumSlowReads_);
        if (positions.size() < minimum) {
            if (std::find(positions.begin(), positions.end(), position) != positions.end())
                return;
            positions.push_back(position);
            if (positions.size() < minimum)
                return;
        }
    }
    // A monitor set up without a callback reports nothing (an empty
    // std::function would throw on this reading thread).
    if (callback_)
        callback_(name, position, milliseconds);
}

} // namespace HV
