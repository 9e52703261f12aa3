// The walk over a JPEG file's markers, segments and entropy-coded data
// (layout in jpeg.h).
//
// Implementation notes
// - Every step consumes at least one byte or ends the walk, so a feed of n
//   bytes costs O(n) whatever they hold; bodies are skipped by their length
//   and entropy-coded data is searched for 0xFF with memchr.
// - Where a marker may stand, each marker code is either allowed or makes
//   the file damaged: before the first scan the frame header (once), tables,
//   APPn, comments and the first scan header; between and after scans the
//   tables, DNL, APPn, comments, further scan headers and EOI. Inside the
//   data only stuffed zeros, restart markers and those markers may follow
//   0xFF. Everything else (SOI again, a second frame, reserved codes, the
//   hierarchical-mode markers, TEM) is taken as damage: a file that uses
//   such markers is not one a camera or an editor writes.
#include <cstring>

#include "modules/jpeg.h"

namespace {

constexpr uint8_t kSOI = 0xD8, kEOI = 0xD9, kSOS = 0xDA, kDQT = 0xDB, kDNL = 0xDC, kDRI = 0xDD;
constexpr uint8_t kDHT = 0xC4, kDAC = 0xCC, kCOM = 0xFE;

bool is_frame(uint8_t code)
{
    return code >= 0xC0 && code <= 0xCF && code != kDHT && code != 0xC8 && code != kDAC;
}

bool is_app(uint8_t code)
{
    return code >= 0xE0 && code <= 0xEF;
}

// The smallest length a segment of that kind can have (2: any body).
// DQT holds at least one table of 1 + 64 bytes, DHT one of 1 + 16 counts,
// DAC one condition pair, DRI and DNL exactly two bytes; frame and scan
// headers are checked against their component counts.
uint16_t minimum_length(uint8_t code)
{
    switch (code) {
    case kDQT:
        return 2 + 65;
    case kDHT:
        return 2 + 17;
    case kDAC:
        return 2 + 2;
    case kDRI:
    case kDNL:
        return 4;
    case kSOS:
        return 6 + 2;
    default:
        return is_frame(code) ? 8 + 3 : 2;
    }
}

uint16_t be16(const uint8_t *p)
{
    return (uint16_t)(p[0] << 8 | p[1]);
}

void damage(jpeg_walk *walk, jpeg_walk_damage why)
{
    walk->state = JPEG_WALK_DAMAGED;
    walk->damage = why;
}

// A marker code where a marker stands (after 0xFF, not a data code). Does
// not count the code in `pos` unless it is EOI, which ends the walk with
// the code counted. Returns false when the walk ended.
bool take_marker(jpeg_walk *walk, uint8_t code)
{
    const bool in_scans = walk->scans > 0;
    bool allowed = code == kDHT || code == kDAC || code == kDQT || code == kDRI || code == kCOM || is_app(code) ||
                   code == kSOS;
    if (!in_scans) {
        if (is_frame(code)) {
            if (walk->frame_marker != 0) {
                damage(walk, JPEG_DAMAGE_SECOND_FRAME);
                return false;
            }
            allowed = true;
        } else if (code == kEOI) {
            damage(walk, JPEG_DAMAGE_NO_SCAN);
            return false;
        }
    } else if (code == kEOI) {
        walk->state = JPEG_WALK_END;
        walk->pos++; // the EOI code is the file's last byte
        walk->end = walk->pos;
        return false;
    } else if (code == kDNL) {
        allowed = true;
    }
    if (!allowed) {
        damage(walk, JPEG_DAMAGE_CODE);
        return false;
    }
    if (code == kSOS && walk->frame_marker == 0) {
        damage(walk, JPEG_DAMAGE_NO_FRAME);
        return false;
    }
    walk->marker = code;
    walk->got = 0;
    walk->length = 0;
    walk->state = JPEG_WALK_LENGTH;
    return true;
}

// The body of the current segment has been read (its first bytes are in
// head). Returns false when the walk ended.
bool finish_segment(jpeg_walk *walk)
{
    const uint8_t *h = walk->head;
    const uint16_t length = walk->length;
    if (is_frame(walk->marker)) {
        // P, Y, X, Nf, then three bytes per component.
        const uint32_t precision = h[0], components = h[5];
        const uint32_t width = be16(h + 3);
        if (precision < 2 || precision > 16 || components == 0 || width == 0 || length != 8 + 3 * components) {
            damage(walk, JPEG_DAMAGE_FRAME);
            return false;
        }
        walk->frame_marker = walk->marker;
        walk->height = be16(h + 1);
        walk->width = width;
        walk->components = components;
    } else if (walk->marker == kSOS) {
        // Ns, two bytes per component, then Ss, Se, Ah/Al.
        const uint32_t components = h[0];
        if (components == 0 || components > 4 || length != 6 + 2 * components) {
            damage(walk, JPEG_DAMAGE_SCAN);
            return false;
        }
        walk->scans++;
        walk->next_restart = 0;
        walk->state = JPEG_WALK_DATA;
        if (walk->header_end == 0)
            walk->header_end = walk->pos;
        return true;
    } else if (walk->marker == kDNL) {
        if (walk->height == 0)
            walk->height = be16(h);
    } else if (walk->marker == 0xE0 && walk->head_size >= 5 && std::memcmp(h, "JFIF", 5) == 0) {
        walk->identified = 1;
    } else if (walk->marker == 0xE1 && walk->head_size >= 6 && std::memcmp(h, "Exif\0", 6) == 0) {
        walk->identified = 1;
    } else if (walk->marker == 0xE2 && walk->head_size >= 4 && std::memcmp(h, "MPF", 4) == 0 &&
               walk->scans == 0 && walk->mpf_size == 0) {
        // The multi-picture index of the file's first image.
        walk->mpf_size = length - 2u;
        walk->mpf_at = walk->pos - walk->mpf_size;
    }
    walk->state = JPEG_WALK_MARKER;
    return true;
}

} // namespace

bool jpeg_first_marker_allowed(uint8_t code)
{
    return is_frame(code) || code == kDHT || code == kDAC || code == kDQT || code == kDRI || code == kCOM ||
           is_app(code);
}

void jpeg_walk_init(jpeg_walk *walk)
{
    std::memset(walk, 0, sizeof *walk);
    walk->state = JPEG_WALK_SOI;
}

size_t jpeg_walk_feed(jpeg_walk *walk, const uint8_t *data, size_t size)
{
    size_t i = 0;
    while (i < size) {
        switch (walk->state) {
        case JPEG_WALK_SOI:
            if (data[i] != (walk->pos == 0 ? 0xFF : kSOI)) {
                damage(walk, JPEG_DAMAGE_SOI);
                return i;
            }
            i++;
            walk->pos++;
            if (walk->pos == 2)
                walk->state = JPEG_WALK_MARKER;
            break;
        case JPEG_WALK_MARKER:
            if (data[i] != 0xFF) {
                damage(walk, JPEG_DAMAGE_MARKER);
                return i;
            }
            i++;
            walk->pos++;
            walk->state = JPEG_WALK_CODE;
            break;
        case JPEG_WALK_CODE: {
            const uint8_t code = data[i];
            if (code != 0xFF && !take_marker(walk, code))
                return walk->state == JPEG_WALK_END ? i + 1 : i;
            i++;
            walk->pos++;
            break;
        }
        case JPEG_WALK_LENGTH:
            walk->length = (uint16_t)(walk->length << 8 | data[i++]);
            walk->pos++;
            if (++walk->got < 2)
                break;
            if (walk->length < minimum_length(walk->marker)) {
                damage(walk, JPEG_DAMAGE_LENGTH);
                return i;
            }
            walk->body_left = walk->length - 2u;
            walk->head_size = 0;
            std::memset(walk->head, 0, sizeof walk->head);
            walk->state = JPEG_WALK_BODY;
            if (walk->body_left == 0 && !finish_segment(walk))
                return i;
            break;
        case JPEG_WALK_BODY: {
            size_t n = size - i < walk->body_left ? size - i : walk->body_left;
            for (size_t k = 0; k < n && walk->head_size < sizeof walk->head; k++)
                walk->head[walk->head_size++] = data[i + k];
            i += n;
            walk->pos += n;
            walk->body_left -= (uint32_t)n;
            if (walk->body_left > 0)
                break;
            if (!finish_segment(walk))
                return i;
            if (walk->pause && walk->state == JPEG_WALK_DATA && walk->scans == 1)
                return i;
            break;
        }
        case JPEG_WALK_DATA: {
            const void *ff = std::memchr(data + i, 0xFF, size - i);
            const size_t n = ff != nullptr ? (size_t)(static_cast<const uint8_t *>(ff) - (data + i)) + 1 : size - i;
            i += n;
            walk->pos += n;
            if (ff != nullptr)
                walk->state = JPEG_WALK_DATA_FF;
            break;
        }
        case JPEG_WALK_DATA_FF: {
            const uint8_t code = data[i];
            if (code == 0x00) {
                walk->state = JPEG_WALK_DATA;
            } else if (code >= 0xD0 && code <= 0xD7) {
                if (code - 0xD0 != walk->next_restart) {
                    damage(walk, JPEG_DAMAGE_RESTART);
                    return i;
                }
                walk->next_restart = (uint8_t)((walk->next_restart + 1) & 7);
                walk->state = JPEG_WALK_DATA;
            } else if (code != 0xFF && !take_marker(walk, code)) {
                return walk->state == JPEG_WALK_END ? i + 1 : i;
            }
            i++;
            walk->pos++;
            break;
        }
        default: // END, DAMAGED
            return i;
        }
    }
    return i;
}
