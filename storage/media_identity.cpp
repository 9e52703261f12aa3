// The names a card gives itself, read when a medium is attached and kept
// with a scan's medium: with the content checksum they tell the scanned
// card from another card of the same size put in its place (a card swapped
// in the reader, an image file dumped again from another card, a loop
// device bound to another image). On a lightly used card most of the 16
// content samples fall on blank space, and what the format laid at the
// start (partition table, boot sector) is alike on every card of one size;
// these names are what differs.
//
// Names, in this order, as texts:
//   "disk id 1A2B3C4D"    MBR disk signature, 4 bytes LE at 0x1B8 of sector
//                         0, when the medium's map is an MBR and it is not 0
//                         (0 is what tools write that set none)
//   "disk GUID <text>"    GPT header at LBA 1 ("EFI PART"), disk GUID at 56
//   "FAT volume at byte N: serial XXXX-XXXX, label "..."" and
//   "exFAT volume at byte N: serial XXXX-XXXX"
//                         a volume boot sector at byte N of the medium: at 0,
//                         and at the start of each partition entry of a
//                         card's map (at most MEDIA_IDENTITY_VOLUMES_MAX).
//
// FAT boot sector fields used (LE): 0 jump (EB xx 90 or E9 xx xx), 11 bytes
// per sector (512..4096, a power of two), 13 sectors per cluster (a power of
// two), 22 sectors per FAT (0 on FAT32), 510 55 AA. FAT12/16: extended
// signature at 38 (0x28 or 0x29), serial at 39, label at 43 (11 bytes, only
// with 0x29); FAT32: the same at 66, 67 and 71. exFAT: "EXFAT   " at 3,
// serial at 100 (its label lives in the root folder and is not read).
//
// Archive form, inside the medium's block after its partition table:
// "identity_names" (l, the count, at most MEDIA_IDENTITY_NAMES_MAX) and one
// "identity_name" (s) per name. A record saved before the names were kept
// has none: it reads as not kept, and its matches rest on the samples
// alone (media_content_agrees).
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "foundation/archive.h"
#include "foundation/log.h"
#include "foundation/sysutil.h"
#include "storage/guid.h"
#include "storage/media.h"

namespace {

constexpr int SECTOR = 512;
// Partition entries whose volume is read: cards carry one to four; 64 bounds
// the sector reads a damaged map can cause at every attach.
constexpr int MEDIA_IDENTITY_VOLUMES_MAX = 64;
// Names a record may hold: a disk id, a volume at byte 0 and one per entry
// read. A saved record with more is damaged.
constexpr int32_t MEDIA_IDENTITY_NAMES_MAX = 2 + MEDIA_IDENTITY_VOLUMES_MAX;

bool power_of_two(uint32_t x)
{
    return x != 0 && (x & (x - 1)) == 0;
}

// Reads one sector at byte offset of the medium: whether all of it came.
bool read_sector(Media *media, int64_t offset, uint8_t sector[SECTOR])
{
    int errnum = 0;
    return media_read_quiet(media, sector, offset, SECTOR, &errnum) == SECTOR;
}

std::string serial_text(uint32_t serial)
{
    char text[16];
    std::snprintf(text, sizeof text, "%04X-%04X", serial >> 16, serial & 0xFFFF);
    return text;
}

// The label's bytes, trailing blanks cut; bytes outside printable ASCII as
// \xNN so that the name stays one line of text.
std::string label_text(const uint8_t *label)
{
    size_t n = 11;
    while (n > 0 && label[n - 1] == ' ')
        n--;
    std::string text;
    for (size_t i = 0; i < n; i++) {
        char escaped[8];
        if (label[i] >= 0x20 && label[i] < 0x7F && label[i] != '\\')
            text += (char)label[i];
        else
            std::snprintf(escaped, sizeof escaped, "\\x%02X", label[i]), text += escaped;
    }
    return text;
}

// The name of the volume whose boot sector is s at byte offset, or "".
std::string volume_name(const uint8_t *s, int64_t offset)
{
    const std::string at = " volume at byte " + std::to_string(offset) + ": serial ";
    if (std::memcmp(s + 3, "EXFAT   ", 8) == 0)
        return "exFAT" + at + serial_text(get_le32(s + 100));
    const bool jump = (s[0] == 0xEB && s[2] == 0x90) || s[0] == 0xE9;
    const uint32_t sector_bytes = get_le16(s + 11);
    if (!jump || s[510] != 0x55 || s[511] != 0xAA || !power_of_two(s[13]) || sector_bytes < 512 ||
        sector_bytes > 4096 || !power_of_two(sector_bytes))
        return "";
    const int ext = get_le16(s + 22) == 0 ? 66 : 38; // FAT32 keeps its extended fields further on
    if (s[ext] != 0x28 && s[ext] != 0x29)
        return "";
    std::string name = "FAT" + at + serial_text(get_le32(s + ext + 1));
    if (s[ext] == 0x29)
        name += ", label \"" + label_text(s + ext + 5) + "\"";
    return name;
}

} // namespace

void media_identity_read(Media *media, media_identity *record)
{
    if (record == nullptr)
        return;
    record->kept = true;
    record->names.clear();
    if (media == nullptr)
        return;
    uint8_t sector[SECTOR];
    const uint32_t map = media->partitions.entries.empty() ? PARTITION_MAP_NONE : media->partitions.type;
    if (map == PARTITION_MAP_MBR && read_sector(media, 0, sector) && get_le32(sector + 0x1B8) != 0) {
        char text[32];
        std::snprintf(text, sizeof text, "disk id %08X", get_le32(sector + 0x1B8));
        record->names.push_back(text);
    } else if (map == PARTITION_MAP_GPT) {
        const int64_t lba1 = media->block_size >= SECTOR ? media->block_size : SECTOR;
        if (read_sector(media, lba1, sector) && std::memcmp(sector, "EFI PART", 8) == 0)
            record->names.push_back("disk GUID " + ZV::Guid(sector + 56, 16).toString());
    }
    std::vector<int64_t> starts = {0};
    for (const media_partition_entry &e : media->partitions.entries)
        if (e.start > 0 && (int)starts.size() <= MEDIA_IDENTITY_VOLUMES_MAX)
            starts.push_back(e.start);
    for (int64_t start : starts) {
        const std::string name = read_sector(media, start, sector) ? volume_name(sector, start) : "";
        if (!name.empty())
            record->names.push_back(name);
    }
}

int media_identity_archive(const media_identity *record, archive *a)
{
    // A record read without names is saved without them: it stays one that
    // is matched on its samples alone.
    if (record == nullptr || !record->kept)
        return 0;
    int rc = archive_long(a, "identity_names", (int32_t)record->names.size());
    for (size_t i = 0; rc == 0 && i < record->names.size(); i++)
        rc = archive_string(a, "identity_name", record->names[i].c_str());
    if (rc != 0)
        log_error("%s: archive error for %d", "media_identity_archive", rc);
    return rc;
}

int media_identity_unarchive(media_identity *record, archive *a)
{
    static const char *const fn = "media_identity_unarchive";
    if (record == nullptr)
        return -12;
    record->kept = false;
    record->names.clear();
    // The names follow the partition table; the next item of an older
    // record is whatever comes after the medium.
    if (unarchive_peek_name(a) < 0 || std::strcmp(archive_scratch_text(a), "identity_names") != 0)
        return 0;
    int32_t count = 0;
    int rc = unarchive_long(a, "identity_names", &count);
    if (rc == 0 && (count < 0 || count > MEDIA_IDENTITY_NAMES_MAX)) {
        log_error("%s: refused %d names", fn, (int)count);
        return -16;
    }
    for (int32_t i = 0; rc == 0 && i < count; i++) {
        rc = unarchive_string(a, "identity_name") < 0 ? -16 : 0;
        if (rc == 0)
            record->names.push_back(archive_scratch_text(a));
    }
    if (rc != 0) {
        log_error("%s: archive error for %d", fn, rc);
        record->names.clear();
        return -16;
    }
    record->kept = true;
    return 0;
}
