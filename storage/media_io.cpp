// Opening, positioning and reading a medium: the open count, seeks inside
// the window, reads through the file object or through the block reader,
// the reader's set-up and its error reports, and the byte-pattern search.
//
// Positions: byte_pos is relative to start_pos; the file object and the
// reader are always given absolute positions (start_pos + offset).
//
// Implementation notes
//   - A read through the reader that gets fewer bytes than asked tells the
//     caller why, as the reader saw it (rd_last_outcome): -34 when the
//     reader failed (a device read error it could not get past, or a medium
//     that went away), -5 when the user aborted while it waited, -6 when an
//     early stop or media_rd_stop cut the wait, -18 only at the end of the
//     medium. A stop is never taken for the end: a block loop that ended on
//     -18 there would call a half-read card complete. Nothing is handed out
//     as data that the device did not deliver.
//   - Reads through the file object (media_read without a reader,
//     media_read_append) position it at start_pos + byte_pos themselves and
//     are cut at the window's end and at the file's size: the file object
//     pads a file's last block with zeros, which are not the medium's bytes.
//   - The open count changes, and the file object opens and closes, under
//     the media list's mutex (media_internal.h), as media_open_io opens it:
//     two threads may retain one medium (the scan and a checksum, a
//     recovery), and neither may close the file under the other.
//   - The last request of a medium whose length is not a multiple of the
//     request size gets the valid bytes followed by zeros (copied into a
//     scratch block of the calling thread, since the reader's ring holds
//     only block padding), with `available` telling how many are valid.
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <mutex>
#include <vector>

#include "foundation/buf.h"
#include "foundation/engine_status.h"
#include "foundation/error_list.h"
#include "foundation/file.h"
#include "foundation/log.h"
#include "foundation/progress.h"
#include "foundation/sysutil.h"
#include "storage/bmatch.h"
#include "storage/block_reader.h"
#include "storage/media.h"
#include "storage/media_internal.h"

namespace {

constexpr int32_t READER_BUFFER_BLOCKS = 512; // blocks per ring buffer
constexpr int32_t READER_BUFFERS = 8;
constexpr int32_t SEARCH_PIECE = 16384;       // bytes per byte-search read

// Why the reader's last request came back short.
int shortfall(const Media *m)
{
    switch (rd_last_outcome(m->reader)) {
    case RD_OUTCOME_END:
        return MEDIA_END;
    case RD_OUTCOME_ABORTED:
        return MEDIA_ABORTED;
    case RD_OUTCOME_STOPPED:
        return MEDIA_STOPPED;
    default: // failed; or full, which a short request cannot be
        return MEDIA_READ_FAILED;
    }
}

// The bytes a read through the file object may take at byte_pos: n cut at
// the window's end and at the end of the file's own bytes (0 or more).
int64_t readable(Media *m, int64_t n)
{
    const int64_t at = m->start_pos + m->byte_pos;
    if (m->byte_pos < 0 || at < 0)
        return 0;
    int64_t left = media_length(m) - m->byte_pos;
    const int64_t size = file_size(m->io);
    if (size >= 0)
        left = std::min(left, size - at);
    return std::max<int64_t>(0, std::min(n, left));
}

int get_bytes(const char *fn, Media *m, const uint8_t **out, int32_t n, int32_t *count, bool full)
{
    *count = 0;
    if (m->reader == nullptr) {
        log_error("%s: null md->rd", fn);
        return -15;
    }
    if (n < 0 || n > rd_max_request(m->reader)) {
        log_error("%s: read request too large: %d", fn, (int)n);
        return -15;
    }
    int32_t got = 0;
    const uint8_t *p = rd_get(m->reader, n, &got);
    m->data_pos = m->byte_pos;
    m->byte_pos += got;
    *out = p;
    *count = got;
    if (got > 0 && (!full || got >= n))
        return 0;
    return shortfall(m);
}

// The scratch block of the calling thread for a zero-padded last request.
const uint8_t *padded_tail(const uint8_t *bytes, int32_t valid, int32_t n)
{
    thread_local std::vector<uint8_t> tail;
    tail.assign((size_t)n, 0);
    std::memcpy(tail.data(), bytes, (size_t)valid);
    return tail.data();
}

} // namespace

// --- opening and positioning -------------------------------------------------------------

int media_retain(Media *media)
{
    if (media == nullptr) {
        add_error(554);
        return -1;
    }
    // The count and the open (and the close below) under one lock: two
    // threads may retain one medium.
    std::lock_guard<std::mutex> lock(media_list_mutex());
    const int rc = media_open_io_locked(media);
    if (rc != 0)
        return rc;
    media->open_count++;
    return 0;
}

void media_release(Media *media)
{
    if (media == nullptr) {
        add_error(555);
        return;
    }
    std::lock_guard<std::mutex> lock(media_list_mutex());
    media->byte_pos = media_length(media);
    if (media->open_count < 1) {
        add_error(556);
        return;
    }
    if (--media->open_count == 0)
        file_close(media->io);
}

int media_seek(Media *media, int64_t offset)
{
    if (media == nullptr)
        return -1;
    const int64_t length = media_length(media);
    if (offset < 0 || offset >= length) {
        log_info("%s: %s pos %lld out of range (%lld)\n", "media_seek", media_name(media), (long long)offset,
                 (long long)length);
        return -18;
    }
    const int64_t position = media->start_pos + offset;
    if (media->reader != nullptr) {
        if (rd_seek(media->reader, position) != 0)
            return -1;
    } else if (file_seek(media->io, position) != 0) {
        return -1;
    }
    media->byte_pos = offset;
    return 0;
}

int media_io_seek(Media *media, int64_t offset)
{
    if (media == nullptr || media->io == nullptr)
        return -1;
    if (offset < 0 || offset > INT64_MAX - media->start_pos)
        return -12;
    const int rc = file_seek(media->io, media->start_pos + offset);
    if (rc == 0)
        media->byte_pos = offset;
    return rc;
}

// --- reading --------------------------------------------------------------------------------

namespace {

// media_get_bytes and media_get_bytes_full, under their own names.
int get_bytes_named(const char *fn, Media *media, const uint8_t **out, int32_t n, int32_t *count, bool full)
{
    int32_t ignored = 0;
    const uint8_t *p = nullptr;
    if (media == nullptr)
        return -1;
    return get_bytes(fn, media, out ? out : &p, n, count ? count : &ignored, full);
}

} // namespace

int media_get_bytes(Media *media, const uint8_t **out, int32_t n, int32_t *count)
{
    return get_bytes_named("media_get_bytes", media, out, n, count, false);
}

int media_get_bytes_full(Media *media, const uint8_t **out, int32_t n, int32_t *count)
{
    return get_bytes_named("media_get_bytes_full", media, out, n, count, true);
}

int media_get_max_bytes(Media *media, const uint8_t **out, int32_t n)
{
    if (media == nullptr || media->reader == nullptr)
        return -15;
    rd_reader *reader = media->reader;
    if (n > rd_max_request(reader)) {
        log_error("%s: read request too large: %d", "media_get_max_bytes", (int)n);
        return -15;
    }
    const int32_t least = n < 1 ? 1 : n;
    int32_t offered = 0;
    const uint8_t *p = rd_get_offered(reader, least, &offered);
    media->available = offered;
    if (offered < least) {
        // The end of the medium, or a failure. Only a clean end with bytes
        // left hands them out, zero-padded to the request.
        const int code = shortfall(media);
        if (offered <= 0 || code != -18 || p == nullptr ||
            media->byte_pos + offered != media_length(media)) {
            if (offered > 0)
                rd_request(reader, 0); // nothing consumed: byte_pos stays in step
            return code;
        }
        media->data_pos = media->byte_pos;
        media->byte_pos += offered;
        if (out != nullptr)
            *out = padded_tail(p, offered, least);
        return 0;
    }
    media->data_pos = media->byte_pos;
    if (n >= 1) {
        const int32_t granted = rd_request(reader, n);
        if (granted < n) // cannot happen after an offer of n; never hand out what was not granted
            return shortfall(media);
        media->byte_pos = media->data_pos + n;
    } else {
        media->byte_pos = media->data_pos + offered;
    }
    if (out != nullptr)
        *out = p;
    return 0;
}

// Readies a read of up to n bytes straight from the file object at
// byte_pos (also when a block reader, which never moves the file object,
// positioned the medium), never past the window (a partition's read must not
// return the bytes of the next one) nor past the file's own bytes. Returns
// how many bytes to read, 0 at the end, -1 when the file cannot be sought.
static int64_t position_direct_read(Media *media, int64_t n)
{
    const int64_t want = readable(media, n);
    media->data_pos = media->byte_pos;
    if (want <= 0)
        return 0;
    if (file_seek(media->io, media->start_pos + media->byte_pos) != 0)
        return -1;
    return want;
}

int64_t media_read(Media *media, void *buffer, int64_t n)
{
    if (media == nullptr || buffer == nullptr || n < 0)
        return -1;
    if (n == 0)
        return 0;
    if (media->reader == nullptr) {
        const int64_t want = position_direct_read(media, n);
        if (want <= 0)
            return want;
        const int64_t got = file_read(media->io, buffer, want);
        if (got > 0) {
            media->byte_pos += got;
            rd_run_answered(&media->copy_run); // the device answers: a copy's run ends
        }
        return got;
    }

    const int64_t start = media->byte_pos;
    const int32_t piece = rd_max_request(media->reader);
    uint8_t *to = static_cast<uint8_t *>(buffer);
    int64_t done = 0;
    while (done < n) {
        const int32_t want = (int32_t)std::min<int64_t>(piece, n - done);
        const uint8_t *p = nullptr;
        int32_t got = 0;
        const int rc = media_get_bytes(media, &p, want, &got);
        if (rc == 0 && got >= want) {
            std::memcpy(to + done, p, (size_t)want);
            done += want;
            continue;
        }
        if (done == 0 && got == 0 && rc != 0)
            return rc; // nothing read: the position has not moved
        const int why = rc != 0 ? rc : shortfall(media);
        media_seek(media, start);
        return why == MEDIA_ABORTED || why == MEDIA_STOPPED ? why : MEDIA_READ_FAILED;
    }
    media->data_pos = start;
    return n;
}

int64_t media_read_append(Media *media, buf_t *buffer, int n)
{
    if (media == nullptr || media->io == nullptr)
        return 0;
    if (buffer == nullptr || n < 0)
        return -12;
    const int64_t want = position_direct_read(media, n);
    if (want <= 0)
        return want;
    const int got = buf_append_file(buffer, media->io, (int)want);
    if (got > 0)
        media->byte_pos += got;
    return got;
}

int64_t media_rd_read(Media *media, void *buffer, int64_t n)
{
    if (media == nullptr || media->reader == nullptr)
        return -1;
    return rd_read(media->reader, buffer, n); // the reader's range is the window
}

int64_t media_read_quiet(Media *media, void *buffer, int64_t offset, int64_t n, int *errnum)
{
    *errnum = 0;
    if (media == nullptr || media->io == nullptr) {
        *errnum = EBADF;
        return 0;
    }
    const int64_t length = media_length(media);
    if (buffer == nullptr || offset < 0 || n <= 0 || offset >= length)
        return 0;
    n = std::min(n, length - offset);
    return rd_device_read(media->io, buffer, media->start_pos + offset, n, errnum);
}

namespace {

// A copy's reads: 512-byte sectors, read back over a good area 256 at a time.
constexpr int64_t COPY_SECTOR = 512;
constexpr int64_t COPY_CHUNK_SECTORS = 256;

} // namespace

int64_t media_copy_read(Media *media, void *buffer, int64_t offset, int64_t n, int *errnum, rd_run_verdict *verdict)
{
    *verdict = RD_RUN_READ_ON;
    const int64_t sector = offset / COPY_SECTOR;
    if (media != nullptr && sector >= media->copy_skip_first && sector <= media->copy_skip_last) {
        *errnum = media->copy_run.errnum;
        *verdict = RD_RUN_SKIPPED;
        return 0;
    }
    const int64_t got = media_read_quiet(media, buffer, offset, n, errnum);
    if (media == nullptr)
        return got;
    if (got > 0)
        rd_run_answered(&media->copy_run);
    // A medium removed is the caller's to end on; a medium without a file
    // object (EBADF) fails every read as its own failure, and so does an
    // image format decoded by its file type (a damaged or cut image: its
    // parts that are there read at once). A connection to the device cut is
    // a device that stopped answering here (rd_run_failed).
    if (got == n || *errnum == 0 || *errnum == EBADF || media_gone(media, *errnum) ||
        rd_decodes_own_data(media->io))
        return got;
    const int64_t length = media_length(media);
    std::vector<uint8_t> scratch;
    rd_run_device device;
    device.caller = "media_copy_read";
    device.path = media_path(media);
    device.last_block = (length - 1) / COPY_SECTOR;
    device.chunk_blocks = COPY_CHUNK_SECTORS;
    device.read = [&](int64_t at, int64_t blocks, int *e) {
        const int64_t want = std::min(blocks * COPY_SECTOR, length - at * COPY_SECTOR);
        scratch.resize((size_t)want);
        return media_read_quiet(media, scratch.data(), at * COPY_SECTOR, want, e) == want;
    };
    device.halted = [] { return abort_requested() != 0; };
    int64_t skip_last = sector;
    *verdict = rd_run_failed(&media->copy_run, device, sector, *errnum, &skip_last);
    if (*verdict == RD_RUN_SKIPPED) {
        media->copy_skip_first = sector;
        media->copy_skip_last = skip_last;
    } else if (*verdict == RD_RUN_STOPPED) {
        *errnum = media->copy_run.errnum;
        media_note_not_answering(media);
    }
    return got;
}

int64_t media_copy_stopped_at(const Media *media)
{
    if (media == nullptr || !media->copy_run.not_answering)
        return -1;
    return std::clamp<int64_t>(media->copy_run.first_block * COPY_SECTOR, 0, media_length(media));
}

int media_rd_seek(Media *media, int64_t offset)
{
    if (media == nullptr || media->reader == nullptr)
        return -1;
    const int64_t length = media_length(media);
    if (offset < 0 || offset > length) {
        log_info("%s: %s pos %lld out of range (%lld)", "media_rd_seek", media_name(media), (long long)offset,
                 (long long)length);
        return MEDIA_END;
    }
    return rd_set_pos(media->reader, media->start_pos + offset);
}

// --- the block reader -----------------------------------------------------------------------

int setup_reader(Media *media, bool read_ahead, buf_t *buffer_holder)
{
    if (media == nullptr)
        return -1;
    const char *path = media_path(media);
    if (media->reader != nullptr)
        media_rd_close(media);
    int32_t block_size = media->block_size;
    if (block_size < 512 || block_size > 65536 || (block_size & (block_size - 1)) != 0) {
        log_info("setup_reader: block size %d of %s is not usable, using 512", (int)block_size,
                 path ? path : "(null)");
        block_size = 512;
    }
    rd_params params{};
    params.path = path;
    params.block_size = block_size;
    params.start_block = media->start_pos / block_size;
    params.stop_block = media->stop_pos > 0 ? (media->stop_pos + block_size - 1) / block_size : 0;
    params.stop_byte = media->stop_pos;
    params.buffer_size = block_size * READER_BUFFER_BLOCKS;
    params.num_buffers = READER_BUFFERS;
    params.max_request = (READER_BUFFERS - 1) * params.buffer_size; // the reader's own cap
    params.read_ahead = read_ahead;
    params.buffer_holder = buffer_holder;
    rd_reader *reader = path != nullptr ? rd_new(&params) : nullptr;
    if (reader == nullptr) {
        log_error("setup_reader: Failed to open reader for %s: %s", path ? path : "(null)",
                  error_list_str().c_str());
        return -1;
    }
    media->reader = reader;
    // The ring starts at the block holding start_pos; a window that does
    // not start on a block boundary is moved to its first byte.
    if (media->start_pos % block_size != 0 && rd_seek(reader, media->start_pos) != 0) {
        log_error("setup_reader: Failed to open reader for %s: %s", path, "bad start");
        media_rd_close(media);
        return -1;
    }
    media->byte_pos = 0;
    media->data_pos = 0;
    return 0;
}

void media_rd_stop(Media *media)
{
    if (media != nullptr && media->reader != nullptr)
        rd_stop(media->reader);
}

void media_rd_close(Media *media)
{
    if (media == nullptr || media->reader == nullptr)
        return;
    rd_reader *reader = media->reader;
    media->reader = nullptr;
    rd_stop(reader);
    rd_close_files(reader);
    rd_close(reader);
}

int media_check_reader_errors(Media *media)
{
    if (media == nullptr || media->reader == nullptr)
        return 0;
    rd_reader *reader = media->reader;
    const char *path = media_path(media);
    if (path == nullptr)
        path = "(null)";
    if (rd_slow(reader)) {
        log_info("Slow read of %s near block %lld", path, (long long)rd_slow_block(reader));
        rd_clear_slow(reader);
    }
    // Every unreadable range once, as soon as the reader has found it.
    thread_local std::vector<rd_bad_range> fresh;
    fresh.clear();
    if (rd_take_new_bad_ranges(reader, &fresh) > 0) {
        for (const rd_bad_range &range : fresh)
            log_info("Error reading %s near block %lld", path, (long long)range.first_block);
    }
    // The last failed read: logged here only when it ended the reading (a
    // bad block is among the ranges above). A device gone is never read
    // past, so its errno in the record ends the reading even when a seek
    // elsewhere has restarted the ring since.
    int fatal = rd_failed(reader);
    const int last = rd_error_number(reader);
    if (last != 0) {
        if (fatal == 0 && media_gone(nullptr, last))
            fatal = last;
        if (fatal != 0)
            log_info("Error reading %s near block %lld", path, (long long)rd_error_block(reader));
        rd_clear_error(reader);
    }
    return fatal;
}

bool media_gone(const Media *media, int errnum)
{
    if ((media != nullptr && media->attached == 0) || errnum == ENODEV || errnum == ENXIO || errnum == ENOMEDIUM)
        return true;
    // A block device that ends inside the medium has shrunk under it: a
    // reader whose card was taken out reports an empty slot (size 0), so
    // reads end early without an error. A file that ends early is the
    // medium's own failure.
    if (errnum != ENODATA || media == nullptr || media_path(media) == nullptr)
        return false;
    struct stat st;
    return stat(media_path(media), &st) == 0 && S_ISBLK(st.st_mode);
}

int64_t media_stopped_at(const Media *media)
{
    if (media == nullptr || media->reader == nullptr)
        return -1;
    const int64_t block = rd_stopped_block(media->reader);
    if (block < 0)
        return -1;
    const int64_t at = block * rd_block_size(media->reader) - media->start_pos;
    return std::clamp<int64_t>(at, 0, media_length(media));
}

int64_t media_read_errors(const Media *media, rd_bad_report *report)
{
    rd_bad_report ignored;
    rd_bad_report *out = report != nullptr ? report : &ignored;
    rd_bad_blocks(media != nullptr ? media->reader : nullptr, out);
    return out->blocks;
}

int64_t media_log_read_errors(const Media *media)
{
    rd_bad_report report;
    if (media_read_errors(media, &report) == 0)
        return 0;
    return media_log_bad_report(media_path(media), report);
}

int64_t media_log_bad_report(const char *name, const rd_bad_report &report)
{
    if (report.blocks == 0)
        return 0;
    const char *path = name != nullptr ? name : "(null)";
    log_info("Unreadable parts of %s: %lld blocks of %d bytes in %lld ranges", path, (long long)report.blocks,
             (int)report.block_size, (long long)report.ranges);
    if (report.ranges_not_kept > 0)
        log_info("Unreadable parts of %s: %lld ranges not listed", path, (long long)report.ranges_not_kept);
    for (const rd_bad_range &range : report.list) {
        char text[128];
        zv_strerror_r(range.errnum, text, sizeof text);
        log_info("  blocks %lld to %lld: %s", (long long)range.first_block,
                 (long long)(range.first_block + range.blocks - 1), text);
    }
    return report.blocks;
}

// --- searching ------------------------------------------------------------------------------

int64_t media_byte_search(Media *media, int64_t from, int64_t to, const void *pattern, int length)
{
    if (media_seek(media, from) != 0)
        return -1;
    bmatch *matcher = bmatch_new();
    if (matcher == nullptr) {
        log_error("%s: Can't create Bmatch8", "media_byte_search");
        return -1;
    }
    if (bmatch_compile(matcher, pattern, nullptr, length) != 0) {
        bmatch_free(&matcher);
        return -1;
    }
    std::vector<uint8_t> piece;
    if (media->reader == nullptr)
        piece.resize(SEARCH_PIECE);
    progress_push(0, to - from);

    int64_t result = -17;
    while (media->byte_pos < to) {
        if (abort_requested()) {
            result = -5;
            break;
        }
        progress_set_done(media->byte_pos - from);
        const uint8_t *bytes = piece.data();
        int64_t got;
        if (media->reader != nullptr) {
            int32_t count = 0;
            const int rc = media_get_bytes(media, &bytes, SEARCH_PIECE, &count);
            if (rc != 0) {
                if (rc == -5)
                    result = -5;
                break;
            }
            got = count;
        } else {
            got = media_read(media, piece.data(), SEARCH_PIECE);
            if (got <= 0)
                break;
        }
        const int end = bmatch_search(matcher, bytes, (int)got);
        if (end < 0)
            break;
        if (end > 0) {
            const int64_t at = media->data_pos + end - length;
            if (at < to) // a match starting at `to` or later is not in the range
                result = at;
            break;
        }
    }
    progress_pop();
    bmatch_free(&matcher);
    return result;
}
