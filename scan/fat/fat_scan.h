// The "fat " module: FAT volumes found on a medium, walked into the catalog
// of a found file system of type 4.
//
// Two roads lead here. The quick scan (fs_quick_scan, scan/catalog/fs_record.h)
// makes a type-4 record and runs fat_quickscan: every FAT volume of the
// medium (one per partition entry, else the one at offset 0) is walked into
// the record's catalog. The thorough scan meets FAT boot sectors in its block
// stream (fat_cbr_detect writes a span for each) and, when the spans are
// measured, walks the volume that begins there into the catalog of the
// scan's type-4 record (fat_cbr_measure, fat_walk_span).
//
// Catalog table "nodes" (made with the create-table builder):
//
//   name TEXT, id INTEGER PRIMARY KEY, pid, fs_id, fs_pid, is_dir,
//   num_children (DEFAULT -1), size, date_created, date_modified, hidden,
//   deleted, num_exts, ext0_start, ext0_len, ... ext7_start, ext7_len
//
// One row per file and folder in directory order, depth first, a folder's
// row before its contents. Folders have size NULL, files num_children NULL;
// dates of 0 or less are NULL (unknown). Extent starts are byte positions on
// the medium (the volume's start added). The first eight extents live in the
// row; the ninth and later go to the catalog's "extents" table.
//
// Numbering. Each walk of a volume into a catalog is a namespace of its own:
//
//   fs_id  = walk << 32 | (first cluster + 1)
//   fs_pid = walk << 32 | (first cluster of the directory + 1),
//            or walk << 32 | 2 for entries of the volume's root directory
//
// The catalog's root row (id 1 = id_root) has fs_id 2 and fs_pid 1, so the
// first walk (walk 0) fills the root itself. Every later walk (another
// partition, another boot sector met by the thorough scan) first writes a
// folder row "Volume at <offset>" (with " (<label>)" when the volume has a
// label) under the root with fs_id walk << 32 | 2, and its entries hang
// below that folder. Each row is linked to the folder whose fs_id is its
// fs_pid; only folders are parents, and within a walk no two folders share
// a first cluster (a folder met again is skipped), so fs_ids of folders are
// unique in the whole catalog. A folder's row is written before its
// contents, so the walk writes each row's pid with it;
// catdb_link_parents links whatever was left without one.
//
// Status codes: -1 no FAT volume found / the volume could not be walked,
// -5 aborted (fat_quickscan), -7 the medium could not be opened, -9 module
// disabled, -12 node not found, -40 SQLite failure; catalog codes of
// scan/catalog/catdb.h. Error-list codes: 519 a catalog write failed, 521 a
// FAT volume could not be walked, 522 (with 521) the volume is laid out as
// FAT32 with too few clusters for FAT32.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "scan/catalog/fs_record.h"
#include "scan/fat/fat_reader.h"

struct fil_module;
struct sqlite3_stmt;

enum : int {
    FAT_ERROR_CATALOG_WRITE = 519,
    FAT_ERROR_WALK = 521,
    FAT_ERROR_FAT32_TOO_FEW_CLUSTERS = 522,
};

enum : uint32_t {
    FAT_SUBTYPE_FAT12 = 1,
    FAT_SUBTYPE_FAT16 = 2,
    FAT_SUBTYPE_FAT32 = 3,
};

// fat_open_boot_sector's answer for a boot sector, and the recognise score
// of a boot-sector span (words 16 and 16).
constexpr int FAT_BOOT_SECTOR_MATCH = 0x00200020;
constexpr uint32_t FAT_SPAN_SCORE = 0x00100010;
constexpr uint16_t FAT_SPAN_SUBTYPE = 1;

constexpr int64_t FAT_ID_ROOT = 1;       // keynum of the root row
constexpr int64_t FAT_ROOT_FS_ID = 2;    // fs_id of a walk's root directory (walk 0: the root row)
constexpr size_t FAT_LABEL_SIZE = 16;    // label: up to 15 bytes and a NUL
// Folders nested deeper than this are written but not entered: each level
// is a stack frame of the walk, and real cards nest a few levels only.
constexpr int FAT_MAX_DEPTH = 128;
// A volume's entries keep eight extents in their row.
constexpr int FAT_ROW_EXTENTS = 8;

// A FAT volume found on the medium.
struct fat_volume {
    int64_t offset = 0;        // byte offset of the volume (its boot sector) on the medium
    bool backup = false;       // only the backup boot sector was valid
    uint32_t subtype = 0;      // FAT_SUBTYPE_*
    char label[FAT_LABEL_SIZE] = {}; // boot-sector label
};

// A volume walked into this record's catalog: spans inside [offset,
// reserved_end) (its own boot sector, the backup copy) are not walked again.
struct fat_walked_volume {
    int64_t offset;
    int64_t reserved_end;
};

// The FAT part of a type-4 record (kept in its operation object).
struct fat_state {
    std::unique_ptr<ZV::Fat> boot_reader;   // parses boot sectors in memory (no stream)
    char label[FAT_LABEL_SIZE] = {};        // boot-sector label of the last boot sector opened
    std::vector<fat_volume> volumes;        // found by the last fat_find_volumes
    std::vector<fat_walked_volume> walked;  // walked into the catalog by this record
    uint64_t walks = 0;                     // walks made into the catalog by this record
    sqlite3_stmt *insert_node = nullptr;    // cached insert (finalized by the close hook)
    int insert_extents_bound = 0;           // extent pairs insert_node holds values for (the rest NULL)
    sqlite3_stmt *select_node = nullptr;    // cached node-information query
};

// The FAT state of a type-4 record made by fat_fs_init; NULL for another record.
fat_state *fat_state_of(fs_record *fs);

// --- module and type ------------------------------------------------------------------

// Makes the "fat " module record (detect, measure, scan attach and prepare,
// preferences) and registers found-file-system type 4. The module, or NULL.
fil_module *fat_describe();
// Record setup: operations, catalog hooks, id_root 1, names "FAT", folder.
int fat_fs_init(fs_record *fs);
// Re-reads the "enabled" property of "Scanning/FAT" into the module; the value.
int fat_refresh_enabled(fil_module *module);

// --- volumes ----------------------------------------------------------------------------

// FAT_BOOT_SECTOR_MATCH when the bytes are a FAT boot sector (the record
// then has its label and subtype), else 0.
int fat_open_boot_sector(fs_record *fs, const uint8_t *bytes, size_t size);
// True (1) when the medium's first sector is a FAT boot sector.
int fat_detect(fs_record *fs);
// 0 with *out filled when a FAT volume starts at offset (its boot sector, or
// the backup at sector 6 for a sector size of 512, 1024, 2048 or 4096), else -1.
int fat_probe_volume(fs_record *fs, int64_t offset, fat_volume *out);
// Every partition entry's start (when none holds a volume, offset 0 too);
// without entries offset 0. Fills the record's volume list. 0 when at least
// one volume was found, -1 when none, -7 when the medium cannot be opened.
int fat_find_volumes(fs_record *fs);
// The label of the last boot sector found (empty when none). The result of
// fat_find_volumes.
int fat_volume_label(fs_record *fs, char *out, size_t size);

// --- walks and catalog ------------------------------------------------------------------

// Quick scan: every volume found, each at its own offset, into the catalog.
// 0 when at least one volume was walked and the catalog closed well (a
// volume that could not be walked records 521); -1 no volume or none could
// be walked; -5 aborted; -9 disabled; the retain's code; a catalog failure's
// code (error 519 recorded).
int fat_quickscan(fs_record *fs);
// Ensures writing and writes the root row into an empty "nodes". 0 or the
// catalog's code.
int fat_opendb_for_writing(fs_record *fs);
// Walks the volume whose boot sector is at start (-1: the medium's offset 0)
// into the open catalog as a new walk. 0 done (also for a volume this
// record walked already, which is skipped), -1 the volume cannot be opened
// or its root directory read, or a catalog code below -1 when a row could
// not be written (the walk stops there; error 519 recorded). The parts of
// the medium the walk could not read (folders, FAT sectors) are added to
// fs->unreadable.
int fat_scan_volume(fs_record *fs, int64_t start);
// Links parents, counts children and closes (always); the first failure.
int fat_close_db(fs_record *fs);
// Inserts one row (extents on the volume, volume_start added). pid is the
// parent folder's row id when the caller knows it (0: NULL, left for
// catdb_link_parents); id_out, when given, receives the new row's id.
// 0 or -40.
int fatdb_write_node(fs_record *fs, const std::string &name, int64_t fs_id, int64_t fs_pid, int is_dir,
                     uint32_t size, int64_t date_created, int64_t date_modified, int hidden, int deleted,
                     const std::vector<ZV::Fat::Extent> *extents, int64_t volume_start, int64_t pid = 0,
                     int64_t *id_out = nullptr);
// Node information of a keynum (CATDB_KEYNUM_ROOT: the root). With
// selection_only the record is kept and only its selection bits are
// refreshed. 0, -12 (no such node) or -40.
int fatdb_node_info(fs_record *fs, int64_t keynum, NodeInfo *out, int selection_only);
// The data extents of a node in bytes on the medium (fork 0 only): the
// row's first eight, then those of "extents". 0 with out appended; -1 for
// another fork, a node that cannot be read, or one without extents.
int fat_node_extents(fs_record *fs, uint64_t keynum, int fork, std::vector<fs_extent> *out);
// The catalog hooks: "nodes" and "extents" made on opening for writing;
// the cached statements finalized on close.
int fat_create_tables(catdb *db, fs_record *fs);
void fat_finalize_statements(catdb *db, fs_record *fs);

// --- thorough-scan hooks ------------------------------------------------------------------

// A block that opens as a boot sector writes a span (module "fat ", subtype
// 1, score 0x00100010) at the medium's data position: 1; else 0.
int fat_cbr_detect(fil_module *module, const uint8_t *block, int32_t size);
// Walks the volume of the current span (subtype 1) into the scan's type-4
// record: fat_walk_span's result; 0 for another subtype; a seek failure's code.
int fat_cbr_measure(fil_module *module);
// Walks the volume whose boot sector is at start: the volume beginning
// there, or the FAT32 volume whose backup boot sector that is when the
// volume's own boot sector is damaged (what the quick scan also reads).
// 0 walked (or a span inside a volume walked already); 2 not a boot sector
// or the walk failed (error 521); a catalog failure's negative code (error
// 519 recorded).
int fat_walk_span(fs_record *fs, int64_t start);
// Scan attach: a thorough scan's module takes (or makes) the scan's type-4 record.
int fat_scan_attach(fil_module *module);
