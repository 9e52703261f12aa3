// Pieces of the engine shared by its source files, and the two places where
// the device layer plugs in.
#pragma once

#include <functional>
#include <memory>
#include <vector>

#include "engine/engine_callbacks.h"

// The disks manager's filter: the callback interface's slot 0 is asked for
// every device and disk of the list (NULL removes the filter). Until the
// disks manager is part of the build the filter is kept here and applied to
// the device list that engine_reload_devices gives.
void engine_install_disk_filter(std::shared_ptr<HV::EngineCallbacks> callbacks);
// Whether the installed filter hides the entry (false without a filter).
bool engine_disk_hidden(const HV::DiskEntry &disk);

// The devices of the disks manager's reload, filtered. Without device
// discovery in the build: none (the user names devices by path).
std::vector<HV::DiskEntry> engine_reload_devices();

// The drive monitor's preferences ("Drive Failure Detection") and its
// slow-read report function; an empty function stops the reports.
using engine_slow_read_fn = std::function<void(const zorvant::u8string &name, int64_t position, uint32_t ms)>;
void engine_register_drive_monitor_prefs(engine_slow_read_fn report);
