// A VMDK image made of sparse extents: opened by path (a monolithic sparse
// file, or a descriptor listing sparse extent files beside it) and read one
// 512-byte sector at a time. Internal to ZV::DiskImageVMDK (vmdk.h).
//
// Implementation notes
//   - Extent files are resolved in the descriptor's folder and opened only
//     when they are regular files: a FIFO named there would block the open,
//     a device would be read as an extent.
//   - Grain tables are read when a sector they cover is first read, and at
//     most VMDK_MAX_CACHED_TABLES of them are kept (the oldest goes first),
//     so opening costs the directory reads only, whatever the image's size.
//   - One grain buffer serves the whole image: consecutive sectors of one
//     grain cost one file read, and memory stays at one grain however many
//     extents there are.
//
// Not promised: thread safety (one reader at a time), and files changed
// after the open are read as they now are.
#pragma once

#include <cstdint>
#include <deque>
#include <memory>
#include <utility>
#include <vector>

#include "foundation/u8string.h"
#include "storage/images/vmdk_format.h"

// 4096 tables (8 MiB) cover 128 GiB at 64 KiB grains; a sequential read
// needs one at a time.
constexpr size_t VMDK_MAX_CACHED_TABLES = 4096;

struct vmdk_image {
    std::vector<vmdk_extent> extents;  // in descriptor order
    std::vector<uint64_t> starts;      // first image sector of each extent
    uint64_t sectors = 0;              // sum of the extents' capacities
    uint64_t image_size = 0;           // sum of the extent files' lengths
    size_t directory_entries = 0;      // of all extents, at most VMDK_MAX_DIRECTORY_ENTRIES
    // Loaded grain tables: tables[e][t] is table t of extent e, empty while
    // not loaded; `loaded` lists (e, t) in loading order.
    std::vector<std::vector<std::unique_ptr<uint32_t[]>>> tables;
    std::deque<std::pair<size_t, size_t>> loaded;
    // The grain buffer (as many sectors of the grain as were read) and the
    // extent and grain sector it holds (extent SIZE_MAX: none).
    std::vector<uint8_t> grain;
    size_t grain_extent = SIZE_MAX;
    uint32_t grain_sector = 0;
};

// Opens the image at path. VMDK_OK, or the refusal (vmdk_format.h); the
// image is filled only on success.
int vmdk_image_open(const zorvant::u8string &path, vmdk_image *image);

// Reads sector `sector` (512 bytes) into destination. False when the sector
// lies outside the image or a read of its table or grain fails.
bool vmdk_image_read_sector(vmdk_image *image, uint64_t sector, uint8_t *destination);
