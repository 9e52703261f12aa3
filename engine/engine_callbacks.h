// What the engine and its front end hand each other: the configuration the
// engine is made with and the callback interface through which it reports.
// The entries of the disk list are the disks manager's HV::Disk records.
//
// Callback slots (the numbers other parts of the engine refer to):
//    0   disk filter: true hides a disk from the disk list (also used as the
//        device filter); called on whatever thread reloads the list
//    1   an operation will start (engine thread)
//    2   an operation did finish, with its status and result (engine thread)
//   18   slow read: a read of a medium took long (reading thread)
// and, unnumbered, a recovery's target folder opened (engine thread).
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "foundation/u8string.h"
#include "storage/devices/disk.h"

namespace HV {

class DisksSource;

// The engine's operations, as reported to the front end.
enum class Command : int {
    ReloadMedia = 1,
    Scan = 2,
    RecoverNode = 3,
    RecoverMarked = 4,
    SaveScan = 5,
    LoadScan = 6,
    Format = 7,
    Test = 8,
    Clone = 9,
    BootDisk = 10,
};

// The name of a command as its frame logs it ("Scan", "RecoverNode", ...).
const char *command_name(Command command);

// A file a recovery could not write whole, or the target the host refused.
struct RecoveryNote {
    uint64_t keyref = 0;  // the file's node; 0 for the target folder itself
    std::string path;     // host path: the incomplete file kept, or what the host refused; "" when nothing was kept
    uint64_t size = 0;    // the file's size
    uint64_t missing = 0; // bytes of it that are zeros or absent
    int errnum = 0;       // the system's error (read or host); 0 when the card's data just ended
    bool host = false;    // the host refused (the target); else the card's data could not be read
};

// A run of bytes of a medium, from its start.
struct ByteRange {
    uint64_t offset = 0;
    uint64_t length = 0;
};

// Where a save or a scan failed to write.
enum FailedSide : int {
    kFailedNowhere = 0,
    kFailedTarget = 1,    // the save file: its folder, its temporary file, the rename
    kFailedWorkspace = 2, // the workspace: reading or writing the scans kept there
    kFailedFolderSync = 3, // the save file took its name, but its folder could not be put on the disk
};

// What an operation gives back at its end.
struct CommandResult {
    int status = 0;           // 0 success, -5 aborted, else the failure's code
    std::string error_text;   // the error-list text at the end ("[283]"), "" when empty
    uint64_t keyref = 0;      // the scan made or the node recovered
    std::string path;         // the file or folder written
    uint64_t files = 0;       // files recovered / scans loaded (or, too few slots free, the scans saved)
    uint64_t free_slots = 0;  // a load refused for too few free scan slots (SCX_TOO_FEW_SLOTS): those free
    uint64_t bytes = 0;       // bytes recovered
    int errnum = 0;           // a failed save: the system's error of the step that failed, 0 when unknown
    int failed_side = 0;      // a failed save or scan: where it failed (FailedSide)
    std::string refusal;      // a save refused before anything was written: why, in words
    std::vector<RecoveryNote> notes; // a recovery's files not recovered whole, and host refusals
    // A thorough scan: how much of the medium it went through (stopped_early
    // when an early stop ended it before the end) and the blocks it could
    // not read, which it scanned as zeros: their count and size, the runs of
    // them in all and those listed (at most 1024, in order; the rest only
    // counted). A quick scan fills the unreadable fields alone, with the
    // parts of the card its file-system reader could not read (folders
    // there may be listed incompletely). All 0 for the other scan types and
    // operations.
    uint64_t medium_bytes = 0;
    uint64_t scanned_bytes = 0;
    bool stopped_early = false;
    // A thorough scan of a card that stopped answering (every read from a
    // point on failed, also reads further on): stopped_answering, and the
    // byte of the medium where the failing reads began. The scan ended
    // there (scanned_bytes) and kept what it had found; when scanned_bytes
    // is medium_bytes, the card stopped while the files found were measured.
    // Either way only the files measured before it stopped are listed. A
    // recovery that the card stopped answering (status -32) fills these two
    // and medium_bytes (the scan's medium) alone.
    bool stopped_answering = false;
    uint64_t stopped_answering_at = 0;
    uint64_t unmeasured_files = 0; // files found that it stopped answering before they were measured (not listed)
    uint64_t unreadable_blocks = 0;
    uint32_t block_size = 0;
    uint64_t unreadable_runs = 0;
    std::vector<ByteRange> unreadable;
};

class EngineCallbacks {
public:
    virtual ~EngineCallbacks() = default;
    // Slot 0: the device filter (a drive before it is attached) and the disk
    // filter (a drive with its partitions and volumes).
    virtual bool filterDisk(const Disk &disk) = 0;
    // Slot 1.
    virtual void operationWillStart(Command /*command*/) {}
    // Slot 2.
    virtual void operationDidFinish(Command /*command*/, const CommandResult & /*result*/) {}
    // Slot 18: name of the medium, byte position, milliseconds the read took.
    virtual void slowRead(const zorvant::u8string & /*name*/, int64_t /*position*/, uint32_t /*milliseconds*/) {}
    // A recovery has opened its target folder and is about to copy into it:
    // the folder named for the card as really made (with "-01" when a link
    // or a file held the name; see recover_target_opened). Called for each
    // file system recovered.
    virtual void recoveryTargetOpened(const std::string & /*folder*/) {}
};

struct EngineConfig {
    std::string application_name;              // "Zorvant": the workspace is "<name>Workspace"
    std::string home_folder;                   // the folder that holds the workspace folder
    std::string strings_text;                  // the .strings table of the user's language; "" for English
    std::shared_ptr<EngineCallbacks> callbacks;// required
    std::string tag;                           // free text for the front end
    bool device_list = true;                   // false: the reload lists no drives, only the files added
    // Where the disks manager finds drives and device events; null: the
    // platform's (the kernel's drives and its device monitor).
    std::shared_ptr<DisksSource> disks_source;
};

} // namespace HV
