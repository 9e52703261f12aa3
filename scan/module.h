// The file-module registry and the module record.
//
// A file module knows one family of file formats (JPEG, QuickTime, ...) or
// one file system ("fat "). The thorough scan walks the registered modules
// in list order: it asks each one whether a block starts a file of its kind
// (detect), later how long that file is (extract / measure) and what it is
// called (naming). Modules that own a found-file-system type ("cbr " for the
// thorough-scan store, "fat " for FAT) also act as that type's descriptor
// (scan/catalog/fs_record.h): they carry the type's init operation, its code
// and the Recovery preferences of the type.
//
// A module record is one zero-filled allocation of the size its module asks
// for (fil_module_get_or_create): the common `fil_module` fields come first
// and a module appends its own fields after them, so a module's own record
// type starts with a `fil_module` member. Records are never freed while the
// process runs; pointers to them stay valid.
//
// The list: "cbr " (the thorough-scan store's own module) is always first,
// the other modules follow in registration order. Registration happens at
// engine start; lookups may run on any thread (the list is guarded by one
// mutex; a module's own fields belong to the scan that uses it).
//
// The span record (`cbr_span`) is the 56-byte start record of the thorough
// scan's "spans" file. On disk (little-endian, written by the store):
//
//   0   8  start: position of the file's first byte on the medium
//   8   8  end: one past its last byte (start until measured)
//  16   4  module id (four characters, the first in the most significant byte)
//  20   2  state bits: 1 detected, 4 measured, 2 and 8 catalog flags
//  22   2  subtype of the module
//  24   4  recognise result (low 16 bits, signed, 1 or more for a start)
//  28   4  HFS type code      32  4  HFS creator code     36  4  0
//  40   4  first module value 44  4  second module value
//  48   4  date (seconds since 1970) or 0                52  4  0
//
// The store that keeps the current span, writes spans and numbers the
// recovered names is built with the thorough scan; it reaches this registry
// through fil_module_set_store_hooks. Until hooks are installed the store
// side is absent: detect and extract find no store and do nothing.
#pragma once

#include <cstddef>
#include <cstdint>

struct Media;
struct ScanContext;   // scan/scan_context.h
struct fs_record;     // scan/catalog/fs_record.h
struct buf_t;         // foundation/buf.h
struct nameseq_node;  // a naming folder of the thorough-scan store

// Four-character module ids, first character in the most significant byte.
constexpr uint32_t fil_module_code(const char (&text)[5])
{
    return (uint32_t)(uint8_t)text[0] << 24 | (uint32_t)(uint8_t)text[1] << 16 | (uint32_t)(uint8_t)text[2] << 8 |
           (uint32_t)(uint8_t)text[3];
}
constexpr uint32_t FIL_MODULE_CBR = fil_module_code("cbr ");
constexpr uint32_t FIL_MODULE_FAT = fil_module_code("fat ");
constexpr uint32_t FIL_MODULE_GFM = fil_module_code("gfm ");

// The three filter flags of a module.
enum : uint32_t {
    FIL_FILTER_1 = 1,  // flag 1: a module of the built-in source only
    FIL_FILTER_FS = 2, // flag 2: a file-system module (never asked in a deleted-file scan)
    FIL_FILTER_3 = 4,  // flag 3
};

// Span state bits.
enum : uint16_t {
    CBR_SPAN_DETECTED = 1,
    CBR_SPAN_FLAG_2 = 2,
    CBR_SPAN_MEASURED = 4,
    CBR_SPAN_FLAG_8 = 8,
};

constexpr size_t CBR_SPAN_SIZE = 56;

struct cbr_span {
    uint64_t start;       // first byte on the medium
    uint64_t end;         // one past the last byte
    uint32_t module_id;   // four-character code
    uint16_t state;       // CBR_SPAN_* bits
    uint16_t subtype;     // subtype of the module
    uint32_t result;      // recognise result
    uint32_t hfs_type;    // filled while measuring
    uint32_t hfs_creator; // filled while measuring
    uint32_t reserved0;
    uint32_t value1;      // width of an image
    uint32_t value2;      // height of an image
    uint32_t date;        // seconds since 1970, or 0
    uint32_t reserved1;
};

// One kind of file of a module.
struct fil_module_subtype {
    uint64_t starts;          // starts found in this scan
    nameseq_node *type_folder;// naming folder of the thorough-scan store
    const char *prefix;       // name prefix ("IMG_"), may be NULL
    const char *extension;    // extension without the dot, NULL for none
};

struct fil_module;

// Operations of a module; each may be NULL.
typedef void (*fil_prefilter_fn)(fil_module *module, int position, uint8_t allowed[256]);
typedef int (*fil_detect_fn)(fil_module *module, const uint8_t *block, int32_t size);
typedef int (*fil_recognise_fn)(fil_module *module, const uint8_t *block, int32_t size);
typedef int (*fil_measure_fn)(fil_module *module);
typedef int (*fil_extract_fn)(fil_module *module, Media *media, fs_record *store, cbr_span *span);
typedef int (*fil_naming_fn)(fil_module *module, cbr_span *span);
typedef int (*fil_name_callback_fn)(fil_module *module, fil_module_subtype *subtype, fs_record *store,
                                    cbr_span *span, char name[256], const char *prefix, const char *number,
                                    const char *extension);
typedef int (*fil_simple_fn)(fil_module *module);
typedef int (*fil_end_spans_fn)(fil_module *module, int aborted);
typedef int (*fil_fs_init_fn)(fs_record *record);
typedef void (*fil_load_prefs_fn)(fil_module *module);

struct fil_module {
    fil_module *next;               // the next registered module
    uint32_t id;                    // four-character code
    uint32_t filter;                // FIL_FILTER_* bits
    // Found-file-system type owned by this module (scan/catalog/fs_record.h):
    // its init operation fills a new record's operation table (non-zero
    // refuses the record); set on "cbr " and "fat " only.
    fil_fs_init_fn fs_init;
    int fs_type;                    // 0 ordinary module, 2 "cbr ", 4 "fat "
    fs_record *fs_last;             // the record made last with this type (not owned)
    ScanContext *scan;              // the scan it works for (set at scan start)
    uint32_t scan_counter;          // per-scan counter
    int enabled;                    // 1 enabled
    fil_module_subtype *subtypes;   // table of kinds, indexed by subtype
    uint32_t subtype_count;         // entries of the table
    // Candidate fields, set before detect and measure.
    uint64_t start_pos;             // candidate start
    uint64_t end_pos;               // after extract: the span's end
    int64_t limit;                  // detect: the store's fence; measure: the span's start
    uint16_t cur_subtype;           // 0 before detect; the span's subtype before measure
    fs_record *fs;                  // the file-system record of the current scan (fs modules)
    // Recovery preferences of a found-file-system type. Read and kept so that
    // settings.ini keeps its keys; recovery on Linux does not act on them.
    int64_t make_items_visible;
    int64_t clear_lock;
    int64_t perm_promote;
    int64_t chown;
    buf_t *folders;                 // catalog folder entries (const path_index_entry *), made on first use
    // Operations, in the order the scan uses them.
    fil_prefilter_fn prefilter;
    fil_detect_fn detect;           // own detect: does everything itself
    // The own detect finds starts anywhere in what it is given: the block
    // loop hands it whole runs of blocks at once instead of one block at a
    // time (it gets no prefilter bit). Its starts stay in position order
    // with the other modules' (see cbr_feed_run).
    int detect_runs;
    fil_recognise_fn recognise;
    fil_measure_fn measure;         // own measure: does everything itself
    fil_extract_fn extract;
    fil_naming_fn naming;           // own naming: does everything itself
    fil_name_callback_fn name_callback;
    fil_simple_fn scan_attach;
    fil_simple_fn scan_prepare;
    fil_simple_fn end_blocks;
    fil_end_spans_fn end_spans;
    fil_simple_fn after_processing;
    fil_simple_fn reset;
    fil_load_prefs_fn load_prefs;
};

// What the thorough-scan store provides to the registry. Installed by the
// store's own module at engine start; any member may be NULL.
struct fil_store_hooks {
    // The store's current span.
    cbr_span *(*current_span)(fs_record *store);
    // Appends the current span to "spans"; 0 or a negative code.
    int (*write_span)(fs_record *store);
    // The next file number of a naming folder ("00001"), or NULL.
    const char *(*next_name)(nameseq_node *folder);
    // Adds a named file to the store's catalog; the callback's result.
    int (*add_now)(nameseq_node *folder, const char *name, cbr_span *span);
};

// Installs (or, with NULL, removes) the store hooks.
void fil_module_set_store_hooks(const fil_store_hooks *hooks);
// A copy of the installed store hooks (all NULL when none): for modules with
// their own detect, which record their spans themselves.
fil_store_hooks fil_module_store_hooks();

// The first registered module, or NULL.
fil_module *fil_module_first();
// The module with that id, or NULL.
fil_module *fil_module_find(uint32_t id);
// The module with that id; else a new zero-filled record of record_size
// bytes (at least sizeof(fil_module)) registered under the id ("cbr " at the
// head of the list, others at its end). NULL when record_size is too small
// (logged) or memory runs out. A module found already keeps its size: a
// caller asking for a bigger record than the one registered gets NULL.
fil_module *fil_module_get_or_create(uint32_t id, size_t record_size);
// Number of registered modules.
int fil_module_count();

// Dispatch of one block to a module (see module.cpp). 1 when a span was
// written, 0 when not; a module's own detect gives its own result.
int fil_module_detect(fil_module *module, const uint8_t *block, int32_t size);
// Writes a detected span (state 1) of the module's current subtype at a
// medium position, with its recognise result, through the store hooks: 1,
// or 0 when the scan has no store to record starts in (a quick scan). For
// a module's own detect that finds starts anywhere in a block.
int fil_module_write_start(fil_module *module, uint64_t position, int result);
// Measure of the store's current span: 0 done, 2 nothing done, else the
// module's non-zero result.
int fil_module_extract(fil_module *module);
// Names the file of a span and adds it to the store's catalog; the add's
// result, -1 without hooks or folder, -12 for a bad subtype.
int fil_module_name_file(fil_module *module, cbr_span *span);
// Clears the per-scan state and runs the reset operation.
void fil_module_reset(fil_module *module);
// Reloads the module's preferences: its own load operation when it has one.
void fil_module_load_prefs(fil_module *module);
// fil_module_load_prefs for each registered module in list order.
void fil_module_load_all_prefs();
// (fil_module_add_folder, which fills `folders`, is in scan/catalog/fs_record.h.)

// The text of a module id ("fat "), for log lines; static per thread.
const char *fil_module_id_text(uint32_t id);

namespace fil_testing {
// Forgets every registered module (frees the records). Tests only: nothing
// may hold a module pointer across it.
void clear_registry();
} // namespace fil_testing
