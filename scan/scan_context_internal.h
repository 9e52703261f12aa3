// Shared by scan_context*.cpp only: the slot table and its mutex. The
// found file systems (catalog/fs_record.cpp) use copy_text too.
//
// Lock order: a record's mutex (fs_record.h) may be held when the slot
// mutex is taken, never the other way round; the slot mutex is never held
// while calling into a found file system.
#pragma once

#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "scan/scan_context.h"

namespace scx_internal {

// Guards the slot table, the reservations, the current-scan pointer, every
// context's medium, media status, saved copy, folder pointer, fs_list and
// detached paths.
std::mutex &slot_mutex();
// Slot n (1..15) holds the live context or is empty. Under slot_mutex.
std::shared_ptr<ScanContext> &slot_entry(uint32_t slot);
// Slots being filled by a load (scx_load_scans): taken for scx_new.
bool &slot_reserved(uint32_t slot);
// The folder name of a slot: "Scan.NN".
std::string slot_folder_name(uint32_t slot);
// The next scan number (process-wide counter).
uint32_t next_scan_number();
// Time now.
scx_time time_now();
// Copies text into a fixed field, cut at a UTF-8 character boundary; the
// rest of the field is zeroed.
void copy_text(char *field, size_t size, const char *text);
// The live contexts of the slots, ascending (copy taken under the mutex).
std::vector<std::shared_ptr<ScanContext>> live_scans();
// The file systems of a scan (copy taken under the mutex).
std::vector<std::shared_ptr<fs_record>> fs_list_copy(const ScanContext *scan);
// The current scan (under slot_mutex).
ScanContext *&current();
// Contexts outside the slots, owned here until scx_free (under slot_mutex).
std::vector<std::shared_ptr<ScanContext>> &prescans();
// Takes ownership of a medium read back from an archive (freed with
// media_free by its last holder).
std::shared_ptr<Media> own_media(Media *media);
// Detaches with the slot mutex held.
int detach_media_locked(ScanContext *scan, Media *media);
// Gives every file system its display name for the scan's flag.
void set_display_names(ScanContext *scan);
// Rematches one scan; true when its status or medium changed.
bool rematch_one(ScanContext *scan);

} // namespace scx_internal
