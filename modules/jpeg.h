// The JPEG file module ("jpeg"): finds JPEG files wherever they start on the
// medium in the thorough scan, measures each one to its end-of-image marker
// (with the images a multi-picture index lists after it) and files it as
// "Images/JPEG/<number>.jpg" under "Reconstructed Files".
//
// A JPEG file is a sequence of markers (0xFF and a code byte). Most markers
// begin a segment whose two-byte big-endian length counts itself and the
// body; the frame header (SOF) gives the image size, each scan header (SOS)
// is followed by entropy-coded data in which 0xFF is always followed by
// 0x00 (a stuffed data byte), a restart marker 0xD0-0xD7 (in order, 0 to 7
// and round again) or a marker that ends the data:
//
//   FF D8                      SOI, start of image (first two bytes)
//   FF Ex len body             APP0-APP15: JFIF (APP0 "JFIF\0"), Exif (APP1
//                              "Exif\0\0", which may hold a whole JPEG
//                              preview with its own SOI and EOI), ICC, the
//                              multi-picture index (APP2 "MPF\0"), ...
//   FF DB / C4 / CC / DD ...   tables: quantisation, Huffman, arithmetic
//                              coding, restart interval
//   FF FE len body             comment
//   FF Cn len P Y(2) X(2) Nf   frame header: sample precision, height,
//        Nf x 3 bytes          width, components (n = 0-3, 5-7, 9-11, 13-15)
//   FF DA len Ns Ns x 2 bytes  scan header, then the scan's entropy-coded
//        3 bytes               data; a progressive image has several scans,
//                              with tables and comments between them
//   FF D9                      EOI, end of image (the file's last two bytes)
//
// Before the first scan a run of 0xFF fill bytes may stand before a marker
// code; so may it anywhere a marker is expected.
//
// A multi-picture file (cameras append previews, the second view of a
// stereo pair, ...) is a first image whose headers hold the index, followed
// by the other images, each a whole JPEG of its own. The index (body of the
// APP2 segment):
//
//   0   4  "MPF\0"
//   4   8  TIFF header: "II" or "MM" (byte order), 42, offset of the first
//          IFD; every offset of the index counts from this header's first
//          byte (the byte-order mark)
//   IFD    u16 entry count, 12-byte entries: tag, type, count, value or
//          offset; tag 0xB002 (MP Entry) points at count bytes of 16-byte
//          image entries:
//            0  4  attributes        4  4  image size in bytes
//            8  4  offset of the image's SOI (0 for the first image)
//           12  4  two dependent-image entry numbers
//
// Implementation notes
// - The walk (jpeg_walk_feed) is a byte-driven state machine over the file
//   from its SOI: the measure reads the medium in chunks and feeds them to
//   it, recognise feeds it the bytes it has. It reads each byte once, skips
//   segment bodies by their length (so a preview's SOI and EOI inside APP1
//   are never taken for markers of the file) and keeps no pointer into the
//   bytes it was given, so any split of the file into pieces gives the same
//   result.
// - The walk is strict where a damaged or foreign byte would show: a marker
//   not allowed where it stands, a segment length below its table's
//   minimum, a frame or scan header whose length disagrees with its
//   component count, a second frame header, a scan before the frame, or a
//   restart marker out of order all end it as damaged. A file is measured
//   only when its EOI is found before the bound; a truncated or damaged file
//   is not offered.
// - Starts are searched in every block at every byte (jpeg_detect.cpp), not
//   only at block boundaries: a file may follow another inside a block, and
//   a plain image file need not keep the card's block alignment.
#pragma once

#include <cstddef>
#include <cstdint>

#include "scan/module.h"

struct Media;
struct fs_record;
struct path_index_entry;

constexpr uint32_t JPEG_MODULE_ID = fil_module_code("jpeg");
constexpr uint16_t JPEG_SUBTYPE = 1;        // the module's one kind of file
constexpr uint32_t JPEG_SUBTYPE_COUNT = 2;  // entry 0 ("before detect") unused
constexpr int64_t JPEG_DEFAULT_MAX_FILE_SIZE = 0x40000000; // 1 GiB
constexpr int64_t JPEG_DEFAULT_MIN_IMAGE_DIM = 64;
// Bytes recognise sees from a start: a block's worth wherever the start
// lies, so a start scores the same at any offset (fewer only at the end of
// the medium).
constexpr uint32_t JPEG_RECOGNISE_WINDOW = 512;

// Recognise results: the low 16 bits are the score (1 or more for a start).
enum : int {
    JPEG_SCORE = 0x10,            // a plausible JPEG start
    JPEG_SCORE_IDENTIFIED = 0x20, // with a JFIF or Exif identifier
};

// Results of jpeg_extract besides 0 (measured) and the medium's negative
// read codes (MEDIA_ABORTED, MEDIA_READ_FAILED, ...).
enum : int {
    JPEG_NOT_MEASURED = 1, // damaged, or no EOI before the bound
    JPEG_TOO_SMALL = 3,    // width and height both below min_image_dim
};

// --- the walk (jpeg_walk.cpp) ----------------------------------------------------

enum jpeg_walk_state : uint8_t {
    JPEG_WALK_SOI,      // expecting the two SOI bytes
    JPEG_WALK_MARKER,   // expecting the 0xFF of a marker
    JPEG_WALK_CODE,     // after 0xFF: a marker code (0xFF: a fill byte)
    JPEG_WALK_LENGTH,   // the two length bytes of a segment
    JPEG_WALK_BODY,     // a segment's body
    JPEG_WALK_DATA,     // entropy-coded data
    JPEG_WALK_DATA_FF,  // entropy-coded data after 0xFF
    JPEG_WALK_END,      // EOI read: the file is complete
    JPEG_WALK_DAMAGED,  // not a JPEG, or damaged from `pos` on
};

// Why a walk ended as damaged.
enum jpeg_walk_damage : uint8_t {
    JPEG_DAMAGE_NONE,
    JPEG_DAMAGE_SOI,          // the file does not begin with FF D8
    JPEG_DAMAGE_MARKER,       // a byte other than 0xFF where a marker must stand
    JPEG_DAMAGE_CODE,         // a marker code not allowed where it stands
    JPEG_DAMAGE_LENGTH,       // a segment length below the minimum of its kind
    JPEG_DAMAGE_FRAME,        // a frame header that contradicts itself
    JPEG_DAMAGE_SECOND_FRAME, // a second frame header
    JPEG_DAMAGE_SCAN,         // a scan header that contradicts itself
    JPEG_DAMAGE_NO_FRAME,     // a scan header before the frame header
    JPEG_DAMAGE_NO_SCAN,      // EOI before any scan
    JPEG_DAMAGE_RESTART,      // a restart marker out of order
};

// What the walk knows of the file so far. Offsets count from the SOI.
struct jpeg_walk {
    uint8_t state;          // jpeg_walk_state
    uint8_t damage;         // jpeg_walk_damage once DAMAGED
    uint8_t marker;         // code of the segment being read
    uint8_t frame_marker;   // code of the frame header (0xC0 baseline, 0xC2 progressive ...), 0 before
    uint8_t identified;     // 1 after an APP0 "JFIF\0" or APP1 "Exif\0\0" segment
    uint8_t pause;          // set by the caller: a feed returns when the first scan's data begins
    uint8_t next_restart;   // the restart marker expected next (0-7)
    uint8_t head_size;      // bytes kept of the current body
    uint8_t head[8];        // the first bytes of the current body
    uint16_t length;        // the current segment's length (with its two bytes)
    uint16_t got;           // bytes of the length field read so far
    uint32_t body_left;     // bytes of the current body still to read
    uint64_t pos;           // bytes walked
    uint64_t header_end;    // where the first scan's data begins, 0 before
    uint64_t end;           // one past the EOI once END, else 0
    uint32_t width;         // from the frame header
    uint32_t height;        // from the frame header (0: given later by a DNL segment)
    uint32_t components;    // from the frame header
    uint32_t scans;         // scan headers read
    uint64_t mpf_at;        // the first multi-picture index in the headers: where its "MPF\0" stands
    uint32_t mpf_size;      // its bytes from "MPF\0" to the segment's end, 0: none
};

void jpeg_walk_init(jpeg_walk *walk);
// Walks the next size bytes of the file. Returns the bytes used: all of
// them, or fewer when the walk ends (END or DAMAGED) or pauses (`pause`
// set and the first scan's data begins right after the bytes used; the
// next call goes on). Never reads outside [data, data + size).
size_t jpeg_walk_feed(jpeg_walk *walk, const uint8_t *data, size_t size);
// Whether a marker code may follow SOI as the code of the first segment.
bool jpeg_first_marker_allowed(uint8_t code);

// --- the start search (jpeg_detect.cpp) ---------------------------------------------

// The search for FF D8 FF in consecutive blocks. A start whose recognise
// window (JPEG_RECOGNISE_WINDOW bytes) passes its block's end, and the last
// one or two bytes of a block that may begin FF D8 FF, are carried over to
// the next block, which completes them when it follows at once.
struct jpeg_start_search {
    uint8_t carry[2 * JPEG_RECOGNISE_WINDOW]; // from the first carried position on
    uint32_t carry_size;                      // bytes in carry (0: none), fewer than a window
    int64_t carry_pos;                        // medium position of carry[0]
    int64_t carry_end;                        // position the next block must have to continue it
};

// A start found: the bytes from the start on (at most the window) and its
// medium position.
typedef void (*jpeg_start_fn)(void *context, const uint8_t *bytes, size_t size, int64_t position);

void jpeg_start_search_reset(jpeg_start_search *search);
// Reports every FF D8 FF that begins in the carry or in the block (at
// position on the medium), in medium order, each with its window; carries
// the block's end over. Before a block that does not follow the last one,
// the carry is flushed (below). Returns the starts reported.
int jpeg_start_search_feed(jpeg_start_search *search, const uint8_t *block, size_t size, int64_t position,
                           jpeg_start_fn found, void *context);
// No block follows: reports the carried starts with the bytes there are.
int jpeg_start_search_flush(jpeg_start_search *search, jpeg_start_fn found, void *context);

// --- the multi-picture index (jpeg_mpf.cpp) -----------------------------------------

// A resource cap: a camera's multi-picture file holds a handful of images
// (a stereo pair, a few previews, the parts of a panorama); an index that
// lists more is taken as damaged, which also bounds the images a measure
// checks.
constexpr int JPEG_MPF_MAX_IMAGES = 32;

struct jpeg_mpf_image {
    uint32_t attributes;
    uint32_t size;   // bytes from its SOI to after its EOI
    uint32_t offset; // of its SOI from the byte-order mark; 0 for the first image
};

// Parses the body of an APP2 segment from "MPF\0" on (size bytes). The
// number of images listed (written to images[0..n)), or -1 when the body is
// not an index, is damaged (an offset or count leading outside it, no MP
// Entry tag, an entry size that is not 16 bytes a piece) or lists more than
// capacity images. Promises nothing about where the images lie.
int jpeg_mpf_parse(const uint8_t *body, size_t size, jpeg_mpf_image *images, int capacity);

// --- the module (jpeg.cpp) ----------------------------------------------------------

typedef const cbr_span *(*jpeg_next_span_fn)(fs_record *store, const path_index_entry *const *excluded,
                                             size_t excluded_count, int64_t after, int64_t limit, int16_t min_score,
                                             int64_t *last_start);
typedef void (*jpeg_raise_fn)(fs_record *store, int64_t position);

// The module's record: the common fields, then its own.
struct jpeg_module {
    fil_module base;
    fil_module_subtype kinds[JPEG_SUBTYPE_COUNT]; // the subtype table (base.subtypes)
    int64_t max_file_size;   // "max_file_size" of "File Modules/Images": the largest file measured
    int64_t min_image_dim;   // "min_image_dim": width and height both below it is a thumbnail (0: off)
    // The store's look-ahead and fence: cbr_next_span and cbr_raise_high_water
    // (tests put stand-ins here).
    jpeg_next_span_fn next_span;
    jpeg_raise_fn raise_high_water;
    // Counts of the current span parsing (the first three logged at its end).
    uint64_t measured;
    uint64_t not_measured;
    uint64_t too_small;
    uint64_t bytes_read;     // read from the medium by the measures
    jpeg_start_search search; // the block loop's start search
};

// The module's record, or NULL when the module is not the JPEG module.
inline jpeg_module *jpeg_module_of(fil_module *module)
{
    return module != nullptr && module->id == JPEG_MODULE_ID ? reinterpret_cast<jpeg_module *>(module) : nullptr;
}

// Registers the module (after cbr_init: its type folder lies below the
// images category) and loads its preferences. The module, or NULL.
fil_module *jpeg_describe();
// The module's preferences from the node "File Modules/Images" (localized):
// "enabled", "max_file_size", "min_image_dim".
void jpeg_load_prefs(fil_module *module);

// The module's operations. It has no prefilter: every block reaches its
// own detect (jpeg_detect.cpp), which writes a span for each start it
// recognises (jpeg.cpp), through the store hooks as fil_module_detect does.
// The measure (jpeg_measure.cpp) walks the file from its start.
int jpeg_detect(fil_module *module, const uint8_t *block, int32_t size);
int jpeg_end_blocks(fil_module *module);
int jpeg_recognise(fil_module *module, const uint8_t *block, int32_t size);
int jpeg_extract(fil_module *module, Media *media, fs_record *store, cbr_span *span);
