// The archive form of a medium, saved with a scan so that the scan can be
// matched to the card again later.
//
// Block "media" (type 1), items in this order:
//   media_path      s   the file path, "" when there is none
//   name            s
//   start_pos       q   the window and positions, bytes
//   stop_pos        q
//   byte_pos        q
//   data_pos        q
//   orig_start_pos  q
//   orig_stop_pos   q
//   slice           l
//   then the checksum record, the partition table and the card's names,
//   each in its own form (storage/media_checksum.cpp,
//   storage/partition_map.cpp, storage/media_identity.cpp; the names are
//   missing from records saved before they were kept).
//
// A restored medium is of kind 3, not listed, and has no file object: the
// saved path named a device or file of another session, so it is never
// opened here; it is kept as the medium's saved_path (and written again
// when the restored medium is archived), for a caller that checks the file
// there before attaching it. Every read of a medium without a file object
// fails cleanly.
//
// A saved scan is a file a user can hand us, so the numbers read back are
// checked before the medium is handed out, and a record that breaks any of
// these rules is refused (-16, logged as "media_unarchive: refused ..."):
//   0 <= start_pos <= stop_pos and 0 <= orig_start_pos <= orig_stop_pos
//     (the lengths and every comparison of two windows then stay far from
//     overflow);
//   0 <= byte_pos, data_pos <= stop_pos - start_pos (positions inside the
//     medium, its end included);
//   every partition entry has 0 <= start, 0 <= size and start + size within
//     orig_stop_pos - orig_start_pos (the map reader never makes others).
#include <cinttypes>
#include <cstdlib>
#include <cstring>

#include "foundation/archive.h"
#include "foundation/log.h"
#include "storage/media.h"

namespace {

constexpr const char *BLOCK = "media";

struct quad_key {
    const char *name;
    int64_t Media::*field;
};

const quad_key QUADS[] = {
    {"start_pos", &Media::start_pos},         {"stop_pos", &Media::stop_pos},
    {"byte_pos", &Media::byte_pos},           {"data_pos", &Media::data_pos},
    {"orig_start_pos", &Media::orig_start_pos}, {"orig_stop_pos", &Media::orig_stop_pos},
};

int write_items(Media *m, archive *a, bool refresh)
{
    static const char *const fn = "media_archive";
    const char *path = media_path(m);
    if (path == nullptr)
        path = m->saved_path;
    int rc = archive_string(a, "media_path", path != nullptr ? path : "");
    if (rc == 0)
        rc = archive_string(a, "name", m->name != nullptr ? m->name : "");
    for (const quad_key &key : QUADS)
        if (rc == 0)
            rc = archive_quad(a, key.name, m->*key.field);
    if (rc == 0)
        rc = archive_long(a, "slice", m->slice);
    if (rc != 0) {
        log_error("%s: archive error for %d", fn, rc);
        return rc;
    }
    if (refresh && media_checksum_refresh(m, &m->checksum, true) != 0)
        log_info("%s: can't refresh csum", fn);
    rc = media_checksum_archive(&m->checksum, a);
    if (rc == 0)
        rc = media_partition_table_archive(&m->partitions, a);
    if (rc == 0)
        rc = media_identity_archive(&m->identity, a);
    if (rc != 0)
        log_error("%s: archive error for %d", fn, rc);
    return rc;
}

int read_items(Media *m, archive *a)
{
    static const char *const fn = "media_unarchive";
    int rc = unarchive_string(a, "media_path");
    if (rc >= 0 && archive_scratch_text(a)[0] != '\0') {
        m->saved_path = strdup(archive_scratch_text(a));
        rc = m->saved_path != nullptr ? 0 : -10;
    }
    if (rc >= 0) {
        rc = unarchive_string(a, "name");
        if (rc >= 0) {
            m->name = strdup(archive_scratch_text(a));
            rc = m->name != nullptr ? 0 : -10;
        }
    }
    for (const quad_key &key : QUADS)
        if (rc >= 0)
            rc = unarchive_quad(a, key.name, &(m->*key.field));
    if (rc >= 0)
        rc = unarchive_long(a, "slice", &m->slice);
    if (rc < 0) {
        log_error("%s: archive error for %d", fn, rc);
        return -16;
    }
    if (media_checksum_unarchive(&m->checksum, a) != 0 ||
        media_partition_table_unarchive(&m->partitions, a) != 0 || media_identity_unarchive(&m->identity, a) != 0)
        return -16;
    return 0;
}

// The rules of the notes above. 0, or -16 after logging the first broken one.
int check_record(const Media *m)
{
    static const char *const fn = "media_unarchive";
    const auto refuse = [](const char *what, int64_t x, int64_t y) {
        log_error("%s: refused a saved medium: %s (%" PRId64 ", %" PRId64 ")", fn, what, x, y);
        return -16;
    };
    if (m->start_pos < 0 || m->stop_pos < m->start_pos)
        return refuse("window", m->start_pos, m->stop_pos);
    if (m->orig_start_pos < 0 || m->orig_stop_pos < m->orig_start_pos)
        return refuse("first window", m->orig_start_pos, m->orig_stop_pos);
    const int64_t length = m->stop_pos - m->start_pos;
    if (m->byte_pos < 0 || m->byte_pos > length)
        return refuse("read position", m->byte_pos, length);
    if (m->data_pos < 0 || m->data_pos > length)
        return refuse("data position", m->data_pos, length);
    const int64_t first_length = m->orig_stop_pos - m->orig_start_pos;
    for (const media_partition_entry &e : m->partitions.entries) {
        if (e.start < 0 || e.size < 0 || e.start > first_length || e.size > first_length - e.start)
            return refuse("partition entry", e.start, e.size);
    }
    return 0;
}

} // namespace

int media_archive(Media *media, archive *a, bool refresh)
{
    if (media == nullptr || a == nullptr)
        return -12;
    int rc = archive_start_block(a, BLOCK, 1);
    if (rc != 0) {
        log_error("%s: archive error for %d", "media_archive", rc);
        return rc;
    }
    rc = write_items(media, a, refresh);
    const int closed = archive_end_block(a, BLOCK);
    return rc != 0 ? rc : closed;
}

int media_unarchive(archive *a, Media **out)
{
    if (out == nullptr)
        return -12;
    *out = nullptr;
    Media *m = media_new(nullptr, nullptr, MEDIA_ARCHIVED, MEDIA_FLAG_UNLISTED);
    if (m == nullptr)
        return -10;
    int rc = archive_start_block(a, BLOCK, 1);
    if (rc != 0) {
        log_error("%s: archive error for %d", "media_unarchive", rc);
        media_free(&m);
        return -16;
    }
    rc = read_items(m, a);
    archive_end_block(a, BLOCK);
    if (rc == 0)
        rc = check_record(m);
    if (rc != 0) {
        media_free(&m);
        return rc;
    }
    m->characteristics_initialised = 1;
    *out = m;
    return 0;
}
