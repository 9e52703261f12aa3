// The thorough-scan store: the found file system of type 2 ("CBR", shown as
// "Reconstructed Files") that a deleted-file or thorough scan keeps its
// finds in.
//
// A thorough scan runs through the store in this order:
//
//   cbr_attach_modules   every scan run: the store becomes the current store
//                        of the recovered-name numbering (nameseq.h)
//   cbr_prepare          preferences of the modules, restriction flags
//   cbr_open_spans       prefilter, "spans" created, numbering reset
//   cbr_feed_run         once per run of medium blocks: each block that
//                        some module's prefilter lets through to its
//                        candidate modules, the blocks between them at
//                        once to the modules that search runs (detect_runs);
//                        each start found appended to "spans"
//   cbr_end_blocks       "spans" closed
//   cbr_end_of_scan      the spans parsed and measured ("spans1" renamed to
//                        "spans", "gaps", "cbrnames"), the catalog tree
//                        built, its pid index and child counts; also when
//                        the medium failed while they were measured (the
//                        spans measured before it are catalogued, those not
//                        reached name no file, and the result is still -1)
//   cbr_analyse_gaps     after processing of the "cbr " module: "gaps"
//                        sorted and its most frequent values logged
//
// Files in the store's folder ("CBR.<index>" in the scan folder):
//
//   spans      56-byte span records (scan/module.h), no header
//   spans1     the measured spans while parsing (renamed to "spans")
//   gaps       u64 little-endian start-sector differences of measured files
//   cbrnames   NUL-terminated names modules stored; "xx" first
//   cat.db     the catalog ("nodes": name, id, pid, is_dir, num_children,
//              start, size, date_created, flags, hfs_type, hfs_creator)
//   0 .. 3     temporaries of the external sort
//
// The state below belongs to the record's operations object; it is used
// by the scan's thread only (the engine's command thread).
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "scan/module.h"

struct fs_record;
struct file_t;
struct archive;
struct sqlite3_stmt;
struct ScanContext;
struct path_index_entry;
struct NodeInfo;
struct nameseq_node;
struct catdb;

constexpr int CBR_PREFILTER_POSITIONS = 8;
constexpr int CBR_MAX_MODULES = 64;       // modules with a prefilter bit
constexpr uint32_t CBR_RING_SIZE = 1600;  // span ring; at most 1599 filled
constexpr int CBR_START_BINS = 64;
constexpr uint64_t CBR_NO_SECTOR = ~0ull; // no previous start sector
constexpr size_t CBR_FMLIST_ENTRY_SIZE = 264;
constexpr size_t CBR_FMLIST_PATH_SIZE = 256;
constexpr int32_t CBR_FMLIST_MAX = 10000;

// Error-list codes of the store.
enum : int {
    CBR_ERROR_SPANS_OPEN = 171,   // "spans" cannot be read to build the tree
    CBR_ERROR_TREE_ABORT = 173,   // tree building aborted
    CBR_ERROR_MEASURE_WRITE = 423,// a file write failed while measuring
    CBR_ERROR_GAP_SORT = 424,     // sorting "gaps" failed
    CBR_ERROR_MEASURE_READ = 425, // the medium failed or went away while measuring
    CBR_ERROR_CAT_MODE = 575,     // unknown catalog mode
    CBR_ERROR_NAMES_OPEN = 576,   // "cbrnames" cannot be opened for appending
    CBR_ERROR_SPAN_WRITE = 593,   // a span could not be written
};

// Catalog modes of the store (cbr_set_cat_mode).
enum : int {
    CBR_CAT_CLOSED = 0,
    CBR_CAT_WRITE_NAMES_READ = 1,   // catalog writing, "cbrnames" read
    CBR_CAT_WRITE_NAMES_APPEND = 2, // catalog writing, "cbrnames" appended
    CBR_CAT_READ = 3,
};

// One module-id translation (a scan saved by a program whose modules carried
// other ids or subtypes).
struct cbr_translation {
    uint32_t archived_id;
    uint32_t current_id;
    uint16_t archived_subtype;
    uint16_t current_subtype;
};

// One module-list entry (264 bytes, little-endian, as saved in "fmlist"):
// the path under which a module files one of its kinds
// ("Images/JPEG/.jpg"), NUL-terminated, its module id and subtype.
struct cbr_fmlist_entry {
    char path[CBR_FMLIST_PATH_SIZE];
    uint32_t id;
    uint16_t subtype;
    uint16_t pad;  // 0
};
static_assert(sizeof(cbr_fmlist_entry) == CBR_FMLIST_ENTRY_SIZE, "a module-list entry is 264 bytes");

// One entry of the most frequent start gaps.
struct cbr_gap_count {
    uint64_t value;
    uint64_t count;
};

struct cbr_store {
    fs_record *record = nullptr;        // the found file system this state belongs to

    // Block loop.
    file_t *spans = nullptr;            // the span writer: "spans" in the block loop, "spans1" while parsing
    uint64_t span_count = 0;            // records written ("n_spans")
    cbr_span span = {};                 // the current span
    uint64_t prefilter[CBR_PREFILTER_POSITIONS][256] = {}; // module bits per byte position and value
    int restricted = 0;                 // built-in modules off: only flag 2/3 modules without flag 1
    int restricted_too = 0;             // always set with `restricted`
    int64_t fence = 0;                  // high-water position

    // Parsing and measuring. From `clear` to `start_bins` is the parse
    // region, cleared whenever parsing begins.
    file_t *reader = nullptr;           // "spans" for reading
    file_t *gaps = nullptr;             // "gaps"
    file_t *names = nullptr;            // "cbrnames"
    uint32_t clear = 0;                 // archived as "_clear"
    uint32_t strong_files = 0;          // per-parse counter ("n_strong_fils")
    uint64_t parse_start = 0;           // parse start index ("i_span")
    uint32_t ring_read = 0, ring_write = 0; // "sc_r", "sc_w"
    uint64_t prev_start_sector = CBR_NO_SECTOR; // "bn0"
    uint32_t start_bins[CBR_START_BINS] = {};   // start sectors modulo 64
    cbr_span ring[CBR_RING_SIZE] = {};  // "span_cache"
    cbr_span ahead = {};                // record read past the ring by cbr_next_span
    bool measure_cut = false;           // the last parse was cut short by the medium's failure (not its
                                        // removal): the spans measured before it are catalogued
    uint64_t unmeasured = 0;            // file starts the last parse did not reach (kept unmeasured; a
                                        // file-system module's starts are not files)

    // Catalog tree.
    uint64_t node_counter = 1;          // the last catalog id given (the root is 1)
    sqlite3_stmt *insert_folder = nullptr;
    sqlite3_stmt *insert_file = nullptr;
    sqlite3_stmt *select_node = nullptr;

    // Saved-scan translation and gap analysis.
    std::vector<cbr_translation> translations; // sorted by archived id, then subtype
    std::vector<cbr_gap_count> gap_counts;     // most frequent first, at most 32
};

static_assert(sizeof(cbr_span) == CBR_SPAN_SIZE, "a span record is 56 bytes");
static_assert(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__, "span records are stored as they lie in memory");

// --- the store as a found file system (cbr_store.cpp) ------------------------------

// The store state of a type-2 record made by cbr_fs_init; NULL for another record.
cbr_store *cbr_store_of(fs_record *record);
// Record setup (the type's init): operations, catalog hooks, names "CBR" and
// the localized "Reconstructed Files", id_root 1, node counter 1, folder;
// the store becomes the naming context's current store.
int cbr_fs_init(fs_record *record);
// The "cbr " module record with the store's setup operation, and found-file-
// system type 2 registered. The module, or NULL.
fil_module *cbr_describe();
// A prefilter that refuses every byte value: for modules that never find a
// file start in a block ("cbr ", "gfm ").
void cbr_prefilter_refuse_all(fil_module *module, int position, uint8_t allowed[256]);

// --- engine start of the component (cbr_init.cpp) ------------------------------------

// Built-in source, top folder name, naming context and categories, "cbr ",
// preferences, the registry's store hooks, "PrefsChanged" observed. Once per
// process; 0 or -1.
int cbr_init();
// The localized "Reconstructed Files" (set by cbr_init).
const char *cbr_root_name();

// --- block loop (cbr_spans.cpp) ---------------------------------------------------

void cbr_attach_modules(ScanContext *scan);
int cbr_prepare(fs_record *record);
int cbr_open_spans(fs_record *record);
// One block: its candidate modules and the modules that search runs are
// asked, in list order. The block's position is the medium's data
// position. The candidate bits left when the module list ended (0: none).
uint64_t cbr_feed_block(fs_record *record, const uint8_t *bytes, int32_t size);
// A run of whole blocks of block bytes each (the last one may be short)
// starting at the medium's data position: every block with candidates is
// fed as by cbr_feed_block, and the blocks between such blocks go to the
// modules that search runs in one piece each, so that spans are written in
// position order. Stops after the block in hand when a file write fails.
// The medium's data position is left at the run's start. The OR of the
// blocks' candidate bits.
uint64_t cbr_feed_run(fs_record *record, const uint8_t *bytes, int32_t size, int32_t block);
// The candidate bits of a block: bit i set when the module at list position
// i allows the block's first eight bytes (a block shorter than that reads as
// zero-padded). 0 for a block no module is asked about, which the block loop
// then need not hand to cbr_feed_block at all.
uint64_t cbr_block_candidates(const cbr_store *store, const uint8_t *block, int32_t size);
// Appends the current span to the span writer (nothing when it is not open).
int cbr_write_span(fs_record *record);
void cbr_raise_high_water(fs_record *record, int64_t position);
int cbr_end_blocks(fs_record *record);

// --- parsing and measuring (cbr_parse.cpp) -------------------------------------------

int cbr_end_of_scan(fs_record *record);
int cbr_parse_spans(fs_record *record);
int cbr_measure_span(fs_record *record);
// The first later span starting after `after` (see cbr_parse.cpp); NULL when
// none, the ring is empty, or a span beyond `limit` (not 0) comes first. The
// record stays valid until the next call or ring refill. *last_start (when
// given) gets the last start seen, except when the ring is empty.
const cbr_span *cbr_next_span(fs_record *record, const path_index_entry *const *excluded, size_t excluded_count,
                              int64_t after, int64_t limit, int16_t min_score, int64_t *last_start);

// --- catalog tree and names (cbr_tree.cpp) ---------------------------------------------

int cbr_build_tree(fs_record *record);
// The naming context's callbacks (nameseq.h): a folder row for a naming
// folder made in its store's catalog, and a file row below its folder.
// The row's result: 0, -1 without a store, or -40.
int cbr_folder_callback(nameseq_node *node);
int cbr_file_callback(nameseq_node *node, const char *name, cbr_span *span, int64_t date);
// Catalog hooks of a store's record (scan/catalog/catdb.h): "nodes" and,
// in an empty table, the root row, made when the catalog opens for writing;
// the store's prepared statements finalized when it closes.
int cbr_catalog_created(catdb *db, fs_record *record);
void cbr_catalog_closing(catdb *db, fs_record *record);
// Switches the store's catalog and names file to a mode (CBR_CAT_*).
int cbr_set_cat_mode(fs_record *record, int mode);
int cbr_db_write_folder(fs_record *record, const char *name, uint64_t id, uint64_t parent_id);
int cbr_db_write_node(fs_record *record, const char *name, uint64_t id, uint64_t parent_id, const cbr_span *span,
                      int64_t date);
int cbr_db_node_info(fs_record *record, uint64_t keynum, NodeInfo *out, int refresh);
// Appends name to "cbrnames": its offset, or -1.
int64_t cbr_write_name(fs_record *record, const char *name);
int cbr_read_name(fs_record *record, int64_t offset, char *buffer, size_t size);

// --- saved form (cbr_archive.cpp) ------------------------------------------------------

int cbr_archive(fs_record *record, archive *a);
int cbr_archive_fm_list(fs_record *record, archive *a);
int cbr_unarchive(fs_record *record, archive *a);
int cbr_unarchive_fm_list(fs_record *record, archive *a);
void cbr_translate_span(fs_record *record, cbr_span *span);

// --- start gaps (cbr_gaps.cpp) -----------------------------------------------------------

int cbr_analyse_gaps(fs_record *record);
// The "cbr " module's after-processing operation: cbr_analyse_gaps of the
// store of the module's scan (0 when it has none).
int cbr_module_after_processing(fil_module *module);
