// The scan driver: one scan of one medium, from looking the medium up to
// the verdict, on the engine's command thread.
//
// start_scan looks the medium up by id, takes a scan context in a free slot
// (scan/scan_context.h) and runs it:
//
//   type 1  quick scan: each registered file-system type tries to read its
//           file system into its catalog (fs_quick_scan)
//   type 2  deleted-file scan: the first type whose probe accepts the
//           medium runs its deleted-file operation (a type without one
//           gives -1)
//   type 3  thorough scan: the medium is read block by block with
//           read-ahead and each block offered to the file modules through
//           the thorough-scan store (scan/thorough/cbr_store.h), whose
//           "spans" collects the file starts found; after the last block
//           every found file system runs its end-of-scan step (the store
//           measures its spans and builds "Reconstructed Files"; FAT
//           volumes met on the way are walked into the FAT catalog), then
//           every module its after-processing. Abort and early stop are
//           polled once per block; an early stop keeps and catalogues what
//           was found so far, and so does a card that stops answering (its
//           block reader takes it so: media_stopped_at). A medium shorter
//           than one block has no block to read: the end-of-scan steps run
//           at once.
//
// What a run leaves behind:
//   verdict 0  the context stays in its slot with state 2; its folder
//       "Scan.NN" holds "context" and one folder per file system ("FAT.1"
//       with "cat.db", "key", "treeinfo"). Also for a thorough scan of a
//       card that stopped answering, in the block loop or while the spans
//       were measured (error 427, and 425 for the latter): what was
//       measured before is catalogued, "spans" keeps the starts not reached
//   verdict -30 (medium removed during the scan: its removal notice, or
//       reads that fail the way a removed device fails)  kept with state 3
//   verdict -1 of a thorough scan (a block could not be read)  kept with
//       state 2, unparsed: its reader and "spans" are closed; the same when
//       the medium failed while the spans were measured (its data ended
//       early), with "spans" holding the measured spans and those not
//       reached, and the measured ones catalogued
//   verdict -5, any failed quick scan, any failed deleted-file scan (no file
//       system, or a type without that operation), a retain failure, a block
//       reader that cannot be made  the context and its folder are deleted:
//       the slot is free again
//
// Log lines of a run (the texts are fixed; other tools read them):
//   "Failed to retain media: %d"                       error
//   "Starting quick scan for %s"                       information
//   "QS failed to find a filesystem on %s"             information
//   "Starting deleted scan for %s"                     information (the path)
//   "No good filesystem found on %s"                   information
//   "start_scan: can't allocate new ScanContext"       error
//   "Starting thorough scan for %s"                    information
//   "start_scan: Can't create reader for device %s: %s"            error
//   "start_scan: media_get_max_bytes failed reading %s pos=%lld: %s" error
//   "start_scan: %s stopped answering at byte %lld: the scan keeps what it
//   found before"                                                   error
//   verdicts: "aborted due to media detach", "user abort" (information),
//   "write error: %s", "Failed with errors: %s" (error),
//   "Scan of %s completed with no errors." (information),
//   before the verdict of a thorough scan that met unreadable blocks, or of
//   a quick scan whose file-system reader met parts it could not read, the
//   medium's read report ("Unreadable parts of %s: ...", media.h; error 426
//   recorded, so the verdict is one "with some errors"),
//   "Scan of %s completed with some errors: %s" (error); %s after a colon
//   is the error-list text ("[283 2*307]").
//
// Status codes: 0 done (also with entries in the error list), -1 a block
// could not be read or the medium failed while spans were measured (error
// 425), -3 a file write failed during the scan (error 307), -4 the medium
// could not be retained (error 700) or its block reader could not be made,
// -5 aborted by the user, -7 no attached medium with that id
// (error 283), -12 a scan type other than 1, 2 and 3, -30 aborted because
// the medium was removed, -38 a deleted-file scan found no file system, or a
// quick scan found none it could read (it failed -1 with nothing in the
// error list: no volume of any type was found), -39 no scan context could be
// made (no free slot; -3 when a slot was free but the workspace refused the
// scan's folder). Any other code is the
// failure of the quick scan, of the deleted-file scan or of a file system's
// end step, passed through.
#pragma once

#include <cstdint>
#include <vector>

struct ScanContext;
struct work_dir;

enum : int {
    SCAN_READ_FAILED = -1,
    SCAN_WRITE_FAILED = -3,
    SCAN_NO_ACCESS = -4,
    SCAN_ABORTED = -5,
    SCAN_NO_MEDIA = -7,
    SCAN_BAD_TYPE = -12,
    SCAN_DETACHED = -30,
    SCAN_NO_FILESYSTEM = -38,
    SCAN_NO_CONTEXT = -39,
    SCAN_CATALOG_FAILED = -40, // a found file system's catalog failed (passed through)
};

// Error-list codes.
enum : int {
    SCAN_ERROR_NO_MEDIA = 283,
    SCAN_ERROR_WRITE = 307,
    SCAN_ERROR_RETAIN = 700,
    SCAN_ERROR_UNREADABLE = 426, // a thorough or quick scan met blocks it could not read
    SCAN_ERROR_STOPPED = 427,    // the card stopped answering: the scan ended there, keeping what it found
};

// A run of bytes of a medium that could not be read (delivered as zeros).
struct scan_byte_range {
    int64_t offset = 0; // from the start of the medium
    int64_t length = 0;
    int errnum = 0;     // errno of the first failed read of the run
};

// How much of its medium a thorough scan read, for the report at its end
// (a quick scan fills only the unreadable part: what its file-system reader
// could not read; the deleted-file scan leaves it as it was made).
// Positions are bytes of the medium (its window), so they match what the
// user named.
struct scan_coverage {
    int64_t medium_bytes = 0;    // the medium's length
    int64_t scanned_bytes = 0;   // bytes the block loop went through
    bool stopped_early = false;  // an early stop ended the block loop before the end
    // The card stopped answering (media_stopped_at) at this byte: in the
    // block loop, which ended there (scanned_bytes), or while the files found
    // were measured (scanned_bytes is then the medium's length); -1 when not.
    int64_t stopped_at = -1;
    // Of such a card: the files found that it stopped answering before they
    // were measured (their starts kept in "spans", not listed).
    int64_t unmeasured_files = 0;
    // The medium's read report, taken when the scan ends: the blocks the
    // reader could not read, its block size, the runs of them in all and
    // those it kept (in order; at most RD_BAD_RANGES_MAX, block_reader.h).
    int64_t unreadable_blocks = 0;
    int32_t block_size = 0;
    int64_t unreadable_runs = 0;
    std::vector<scan_byte_range> unreadable;
};

// Scans the attached medium (whole disk or partition) with that id into a
// new scan context in the workspace. The status of the run (see above);
// coverage, when given, is filled by a thorough scan that read blocks and
// by a quick scan that could not read parts of the card.
int start_scan(uint32_t media_id, int scan_type, work_dir *workspace, scan_coverage *coverage = nullptr);

// Runs a fresh scan context made by scx_new (abort allowed, modules
// attached, write-error flag and error list cleared, medium retained for the
// run). The context may be deleted on return (see above): callers look it
// up again by slot rather than keep the pointer. -12 for NULL or an unknown
// scan type (the context is left alone).
int scan_run(ScanContext *scan, scan_coverage *coverage = nullptr);

// The two short scans, on a scan context whose medium is retained. Each
// marks the scan's start, runs and finishes it; when it deletes the context
// itself it clears *scan. A quick scan that listed its file systems but
// could not read parts of them (folders, FAT sectors) logs those parts and
// records error 426 as the thorough scan does, and keeps them in coverage
// (when given) as its unreadable blocks.
int scan_quick(ScanContext **scan, scan_coverage *coverage = nullptr);
int scan_deleted(ScanContext **scan);

// The end-of-scan verdict and its log line: -30 when the scan recorded a
// removal of its medium (scx_media_removed, scx_media_gone), -5 when an
// abort was requested, -3 when a file write failed, the result when it is
// not 0, else 0.
int scan_result_status(int result, ScanContext *scan);
