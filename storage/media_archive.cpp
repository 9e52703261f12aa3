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
//   then the checksum record and the partition table, each in its own form
//   (storage/media_checksum.cpp, storage/partition_map.cpp).
//
// A restored medium is of kind 3, not listed, and has no file object: the
// saved path is read and dropped, since it named a device of another
// session. Its window is taken as stored; media_length treats a stored stop
// position at or below the start as an empty medium, and every read of a
// medium without a file object fails cleanly.
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
    if (rc != 0)
        log_error("%s: archive error for %d", fn, rc);
    return rc;
}

int read_items(Media *m, archive *a)
{
    static const char *const fn = "media_unarchive";
    int rc = unarchive_string(a, "media_path");
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
        media_partition_table_unarchive(&m->partitions, a) != 0)
        return -16;
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
    if (rc != 0) {
        media_free(&m);
        return rc;
    }
    m->characteristics_initialised = 1;
    *out = m;
    return 0;
}
