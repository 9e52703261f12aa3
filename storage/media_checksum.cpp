// Media checksums and matching: the content checksum every medium carries
// (16 CRC-32 values of 4096-byte samples spread over the medium) and the
// comparison that finds a saved medium again among the attached ones, even
// after the card came back under another device path.
//
// Sample positions: step = ((length - 4097) / 15 / 512) x 512 (signed
// divisions), sample i at i x step, so the 16 samples run from the first
// byte to near the end in whole 512-byte sectors. A medium shorter than one
// sample has no checksum values; up to 4096 + 15 x 512 bytes the step is 0
// and every sample is the first 4096 bytes. The state bytes of a volume's
// boot sector in a sample (clear_volume_state) count as zeros.
//
// Archive form: "ncs" (i32, the count) and "csum" (64 bytes: the 16 values
// in memory order, i.e. little-endian on every machine we build for).
//
// Scores: a comparison adds points for each field that agrees and takes
// points for each that differs; the maximum is what full agreement would
// give. Both are 16-bit halves of one packed value: score (signed) in the
// low half, maximum in the high half. Both saturate rather than wrap.
#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include <zlib.h>

#include "foundation/archive.h"
#include "foundation/buf.h"
#include "foundation/file.h"
#include "foundation/log.h"
#include "foundation/number_format.h"
#include "storage/media.h"

namespace {

// The CRC-32 of a 4096-byte sample of zeros. A blank region of a card (never
// written, or erased) gives it; two media agreeing there say little, so it
// counts like an unread value (1 point) and not like real content (4).
constexpr uint32_t CRC_OF_ZERO_SAMPLE = 0xC71C0011u;

int32_t clamp_count(int32_t count)
{
    return std::clamp<int32_t>(count, 0, MEDIA_CHECKSUM_COUNT);
}

uint32_t pack_result(int64_t score, int64_t maximum)
{
    score = std::clamp<int64_t>(score, INT16_MIN, INT16_MAX);
    maximum = std::clamp<int64_t>(maximum, INT16_MIN, INT16_MAX);
    return ((uint32_t)(uint16_t)(int16_t)maximum << 16) | (uint16_t)(int16_t)score;
}

float result_ratio(uint32_t result)
{
    const int16_t score = (int16_t)(uint16_t)(result & 0xFFFF);
    const int16_t maximum = (int16_t)(uint16_t)(result >> 16);
    return maximum > 0 ? (float)score / (float)maximum : 0.0f;
}

bool is_top_level(const Media *m)
{
    return m->parent == nullptr && m->kind != MEDIA_PARTITION;
}

const char *text_or_empty(const char *text)
{
    return text ? text : "";
}

std::string byte_size_text(int64_t bytes)
{
    return ZV::NumberFormatter::byteCountString(bytes < 0 ? 0 : (uint64_t)bytes, 0, 1);
}

// Appends one report line (the caller's text and a line feed).
void report_line(buf_t *report, const char *format, ...) ZV_PRINTF(2, 3);
void report_line(buf_t *report, const char *format, ...)
{
    if (report == nullptr)
        return;
    va_list args;
    va_start(args, format);
    buf_vprintf(report, format, args);
    va_end(args);
    buf_printf(report, "\n");
}

// A volume's boot sector keeps a state the system changes merely by
// mounting it: the FAT "dirty" flags (byte 0x25 of a FAT12/16 boot sector,
// 0x41 of a FAT32 one, which Linux sets on a read-write mount and clears
// when the volume is unmounted cleanly) and exFAT's VolumeFlags and
// PercentInUse (bytes 106-107 and 112). A card mounted since its scan (a
// desktop mounts a card as it is plugged in) holds the same files, so these
// bytes count as zeros in a sample: a sample that holds such a boot sector
// (any 512-byte sector of it, recognised by its jump, its 0x55AA signature
// and its file-system name) is checksummed with them cleared. A clean
// volume keeps its checksum: those bytes are zeros on it already.
void clear_volume_state(uint8_t *sample, size_t size)
{
    constexpr size_t kSector = 512;
    for (size_t at = 0; at + kSector <= size; at += kSector) {
        uint8_t *sector = sample + at;
        if (sector[510] != 0x55 || sector[511] != 0xAA)
            continue;
        if (std::memcmp(sector + 3, "EXFAT   ", 8) == 0) {
            sector[106] = sector[107] = sector[112] = 0;
        } else if (sector[0] == 0xEB || sector[0] == 0xE9) {
            if (std::memcmp(sector + 0x52, "FAT32   ", 8) == 0)
                sector[0x41] = 0;
            else if (std::memcmp(sector + 0x36, "FAT", 3) == 0)
                sector[0x25] = 0;
        }
    }
}

} // namespace

// --- checksum --------------------------------------------------------------------------------

void media_checksum_compute(Media *media, media_checksum *record)
{
    if (record == nullptr)
        return;
    record->count = 0;
    memset(record->values, 0, sizeof record->values);
    if (media == nullptr)
        return;
    const int64_t length = media_length(media);
    const int64_t step = ((length - (MEDIA_CHECKSUM_SAMPLE + 1)) / 15 / 512) * 512;
    std::vector<uint8_t> sample(MEDIA_CHECKSUM_SAMPLE);
    for (int i = 0; i < MEDIA_CHECKSUM_COUNT; i++) {
        std::fill(sample.begin(), sample.end(), 0);
        const int64_t offset = i * step;
        // A sample must lie wholly inside the medium; the file layer may pad
        // a partial last block with zeros, which is no content of the card.
        if (offset < 0 || offset > length - MEDIA_CHECKSUM_SAMPLE)
            break;
        if (media_seek(media, offset) != 0 ||
            media_read(media, sample.data(), MEDIA_CHECKSUM_SAMPLE) != MEDIA_CHECKSUM_SAMPLE)
            break;
        clear_volume_state(sample.data(), sample.size());
        record->values[i] = (uint32_t)crc32(crc32(0L, Z_NULL, 0), sample.data(), MEDIA_CHECKSUM_SAMPLE);
        record->count++;
    }
}

int media_checksum_refresh(Media *media, media_checksum *record, bool retain)
{
    if (media == nullptr || media->io == nullptr || file_name(media->io) == nullptr)
        return -1;
    if (retain) {
        const int status = media_retain(media);
        if (status != 0) {
            log_error("Failed to retain media: %d", status);
            return status;
        }
    }
    media_checksum_compute(media, record);
    if (retain)
        media_release(media);
    return 0;
}

int media_checksum_archive(const media_checksum *record, archive *a)
{
    if (record == nullptr)
        return -12;
    int status = archive_long(a, "ncs", clamp_count(record->count));
    if (status == 0)
        status = archive_bytes(a, "csum", record->values, sizeof record->values);
    if (status != 0)
        log_error("%s: archive error for %d", "media_checksum_archive", status);
    return status;
}

int media_checksum_unarchive(media_checksum *record, archive *a)
{
    static const char *const fn = "media_checksum_unarchive";
    if (record == nullptr)
        return -12;
    int32_t count = 0;
    int status = unarchive_long(a, "ncs", &count);
    if (status != 0) {
        log_error("%s: archive error for %d", fn, status);
        return status;
    }
    const int stored = unarchive_bytes(a, "csum");
    if (stored < 0) {
        record->count = 0;
        log_error("%s: archive error for %d", fn, stored);
        return stored;
    }
    // A saved scan is a file the user hands us: a count that does not match
    // a whole block of values is not believed, so no comparison ever reads
    // values that were not stored.
    if (stored == (int)sizeof record->values) {
        memcpy(record->values, archive_scratch_data(a), sizeof record->values);
        record->count = clamp_count(count);
    } else {
        record->count = 0;
    }
    return 0;
}

// --- matching ----------------------------------------------------------------------------------

uint32_t media_compare(Media *a, Media *b, buf_t *report)
{
    if (a == nullptr || b == nullptr)
        return 0;
    int64_t s = 0, m = 0;
    int details = 0, mismatches = 0;
    bool names_differ = false;
    if (report)
        buf_printf(report, "\nComparing %s and %s\n", media_description(a), media_description(b));

    if (a->orig_start_pos == b->orig_start_pos) {
        s += 8;
    } else {
        s -= 8, details++;
        report_line(report, "Start offset: %lld vs %lld.", (long long)a->orig_start_pos,
                    (long long)b->orig_start_pos);
    }
    if (a->orig_stop_pos == b->orig_stop_pos) {
        s += 8;
    } else {
        s -= 8, details++;
        report_line(report, "Stop offset: %lld vs %lld.", (long long)a->orig_stop_pos,
                    (long long)b->orig_stop_pos);
    }
    m = 16;

    // A window that is not 0 <= start <= stop has no length (and its
    // difference could overflow).
    const auto window_length = [](const Media *m) -> int64_t {
        return (m->orig_start_pos >= 0 && m->orig_stop_pos >= m->orig_start_pos)
                   ? m->orig_stop_pos - m->orig_start_pos
                   : 0;
    };
    const int64_t length_a = window_length(a);
    const int64_t length_b = window_length(b);
    if (length_a != length_b) {
        details++;
        report_line(report, "Size: %s vs %s", byte_size_text(length_a).c_str(),
                    byte_size_text(length_b).c_str());
        // A saved medium that was smaller may be the same card imaged short;
        // one that was larger cannot be.
        if (length_b <= length_a)
            m = 17, s -= 1;
        else
            m = 24, s -= 8;
    }

    if (a->slice == b->slice) {
        m += 4, s += 4;
    } else {
        s -= 16;
        report_line(report, "Media slice number: %d vs %d.", a->slice, b->slice);
    }

    const char *name_a = text_or_empty(a->name);
    const char *name_b = text_or_empty(b->name);
    if (*name_a && *name_b) {
        m += 8;
        if (strcmp(name_a, name_b) == 0) {
            s += 8;
        } else {
            s -= 8, names_differ = true;
            report_line(report, "Media name: %s vs %s.", name_a, name_b);
        }
    }

    if (is_top_level(a) && is_top_level(b)) {
        const media_partition_table &ta = a->partitions;
        const media_partition_table &tb = b->partitions;
        if (ta.type == tb.type) {
            const size_t n = std::min(ta.entries.size(), tb.entries.size());
            if (ta.entries.size() != tb.entries.size()) {
                s -= 2, details++;
                report_line(report, "Number of partitions: %d vs %d.", (int)ta.entries.size(),
                            (int)tb.entries.size());
            }
            for (size_t i = 0; i < n; i++) {
                const media_partition_entry &ea = ta.entries[i];
                const media_partition_entry &eb = tb.entries[i];
                m += 8;
                if (ea.start == eb.start) {
                    s += 4;
                } else {
                    s -= 4, details++;
                    report_line(report, "Partition %d start: %lld vs %lld.", (int)i,
                                (long long)ea.start, (long long)eb.start);
                }
                if (ea.size == eb.size) {
                    s += 4;
                } else {
                    s -= 4, details++;
                    report_line(report, "Partition %d size: %lld vs %lld.", (int)i,
                                (long long)ea.size, (long long)eb.size);
                }
            }
        } else {
            s -= 16, details++;
            report_line(report, "Partition table type: %d vs %d.", (int)ta.type, (int)tb.type);
        }
    }

    const int sampled = std::min(clamp_count(a->checksum.count), clamp_count(b->checksum.count));
    for (int i = 0; i < sampled; i++) {
        const uint32_t va = a->checksum.values[i];
        if (va != b->checksum.values[i]) {
            m += 1, s -= 1, mismatches++;
        } else if (va == 0 || va == CRC_OF_ZERO_SAMPLE) {
            m += 1, s += 1;
        } else {
            m += 4, s += 4;
        }
    }

    if (mismatches > 0)
        report_line(report, "%d of %d checksums mismtached.", mismatches, sampled);
    if (names_differ)
        report_line(report, "The names don't match (%s versus %s).", name_a, name_b);
    if (details > 0)
        report_line(report, "The configurations differ in %d details.", details);
    else if (mismatches > 0)
        report_line(report, "The contents differ in %d of %d places sampled.", mismatches, sampled);
    return pack_result(s, m);
}

std::string media_content_text(const media_checksum &record)
{
    const int32_t count = clamp_count(record.count);
    bool written = false;
    std::string text;
    char value[16];
    for (int i = 0; i < count; i++) {
        written = written || (record.values[i] != 0 && record.values[i] != CRC_OF_ZERO_SAMPLE);
        std::snprintf(value, sizeof value, "%s%08x", i == 0 ? "" : " ", record.values[i]);
        text += value;
    }
    return written ? text : std::string();
}

// MEDIA_SAMPLES_THAT_IDENTIFY (4): what a format lays at the start of a
// card (partition table, boot sector, FAT copies, root folder) can fill the
// first samples of a small card, and two cards formatted alike agree there
// byte for byte; a camera card's usual partition gap leaves sample 0 holding
// nothing but a partition table with the same layout on every card of its
// model. Beyond those, a sample that held data holds files, and four equal
// such samples do not happen on another card; below that the card's own
// names decide.
bool media_content_agrees(const Media *attached, const Media *saved, std::string *why)
{
    const auto refuse = [why](const std::string &text) {
        if (why != nullptr)
            *why = text;
        return false;
    };
    if (attached == nullptr || saved == nullptr)
        return refuse("no medium");
    // Samples the scan could not read (its count ends at the first failed
    // read) held nothing known. One that cannot be read now (a card failing
    // since its scan) neither agrees nor differs: the samples read must
    // identify the card, at least one of them read and equal.
    const int32_t count = clamp_count(saved->checksum.count), readable = clamp_count(attached->checksum.count);
    int written = 0, differ = 0, unread = 0;
    for (int i = 0; i < count; i++) {
        const uint32_t value = saved->checksum.values[i];
        if (value == 0 || value == CRC_OF_ZERO_SAMPLE)
            continue;
        written++;
        if (i >= readable)
            unread++;
        else if (attached->checksum.values[i] != value)
            differ++;
    }
    if (differ > 0)
        return refuse(std::to_string(differ) + " of the " + std::to_string(written) +
                      " samples that held data differ");
    // A record saved before the names were kept is matched on its samples,
    // every one of them.
    const int agreed = written - unread;
    if (unread > 0 && (agreed == 0 || !saved->identity.kept))
        return refuse(std::to_string(unread) + " of the " + std::to_string(written) +
                      " samples that held data cannot be read");
    if (agreed >= MEDIA_SAMPLES_THAT_IDENTIFY || !saved->identity.kept)
        return true;
    if (!attached->identity.kept || attached->identity.names != saved->identity.names)
        return refuse("the names on the card differ (partition table id, volume serials and labels)");
    return true;
}

bool media_same_contents(const Media *attached, const Media *saved)
{
    if (attached == nullptr || saved == nullptr || attached->orig_start_pos != saved->orig_start_pos ||
        attached->orig_stop_pos != saved->orig_stop_pos || attached->slice != saved->slice ||
        !media_content_agrees(attached, saved, nullptr))
        return false;
    return !media_content_text(saved->checksum).empty(); // a sample of written content
}

std::vector<media_match> media_find_matching(Media *saved, double level, bool report)
{
    std::vector<media_match> matches;
    if (saved == nullptr)
        return matches;
    buf_t *text = report ? buf_new(0, 1024) : nullptr;
    const float threshold = (float)level;
    // Runs under the list mutex: the attached media cannot go away meanwhile.
    media_for_each([&](Media *media) {
        if (media->attached) {
            const uint32_t result = media_compare(media, saved, text);
            std::string why;
            if (level == 0 || (result_ratio(result) >= threshold && media_content_agrees(media, saved, &why)))
                matches.push_back({media, result});
            else if (!why.empty())
                log_info("Media %s is not %s: %s", media_description(media), media_description(saved), why.c_str());
        }
        return true;
    });
    std::stable_sort(matches.begin(), matches.end(), [](const media_match &x, const media_match &y) {
        return result_ratio(x.result) > result_ratio(y.result);
    });
    if (text) {
        log_info("Media matching info: %s", buf_cstr(text));
        printf("Media matching info: %s\n", buf_cstr(text));
        buf_free(text);
    }
    return matches;
}
