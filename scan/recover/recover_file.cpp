// Recovery of one file: its data fork copied from the medium into a new
// file of the current folder, under a temporary name until it is complete.
//
// One file, in order:
//
//   create   ".zv-partial-<pid>-<n>" in the folder (recover_host)
//   reserve  the bytes the extents can supply, clipped to the medium: never
//            the size the entry merely claims (4 GiB over one cluster), and
//            without writing zeros (the length grows as data is written)
//   copy     extent by extent:
//              read:  [start rounded down to 512, end rounded up to 512) in
//                     chunks of at most 128 KiB, cut at the end of the medium
//              write: only the extent's own bytes of each chunk, at the file
//                     offset reached so far (unaligned starts and odd lengths
//                     copied exactly)
//   close    times set, then the descriptor closed and checked
//   commit   the final name (or the first free "-01".. name) given by a
//            rename that never replaces anything (recover_host); a file
//            not copied whole takes "<name>.incomplete" instead, and is
//            noted with the bytes it misses
//
// The file never grows past what its extents cover: a size the extents do
// not reach is logged with the missing length and the file kept shorter,
// as incomplete.
//
// Damaged cards. A chunk that comes back short is read again sector by
// sector from the sector where it stopped, the way the block reader reads a
// damaged chunk (media_read_quiet): only the sectors that still fail are
// zeros in the file. They are kept as ranges of medium blocks (neighbours
// merged) and logged once the file has its name, in the lines of the
// medium's own report ("Unreadable parts of <file>: ..."). A sector read
// that ends the data (the medium's bytes end early) zeroes the rest of the
// chunk. The medium going away (ENODEV, ENXIO, ENOMEDIUM, or detached) ends
// the file and the walk. The sector reads follow the block reader's rule
// for runs of failed reads (media_copy_read, with the medium's own run, so
// it carries from file to file): a long bad range is passed after a few
// reads (its sectors zeros, unread), and a card that stopped answering ends
// the walk (-32) with the file under way kept incomplete, instead of one
// failed read per sector of every file left. An image format decoded by its
// file type is read around sector by sector: its failures are damaged parts.
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "foundation/buf.h"
#include "foundation/engine_status.h"
#include "foundation/error_list.h"
#include "foundation/log.h"
#include "foundation/progress.h"
#include "foundation/strings.h"
#include "scan/catalog/catdb_internal.h"
#include "scan/catalog/fs_record.h"
#include "scan/recover/recover_internal.h"
#include "storage/block_reader.h"
#include "storage/media.h"

namespace {

constexpr int64_t SECTOR = 512;
// Ranges listed per file in the log; past this a card is failing
// everywhere and the rest are only counted (one log line each otherwise).
constexpr size_t LISTED_RANGES_MAX = 64;

// The unreadable sectors of one file, in medium blocks of 512 bytes.
struct unreadable {
    rd_bad_report report;

    unreadable() { report.block_size = (int32_t)SECTOR; }
    void add(int64_t block, int errnum)
    {
        ++report.blocks;
        if (!report.list.empty()) {
            rd_bad_range &last = report.list.back();
            if (last.first_block + last.blocks == block) {
                ++last.blocks;
                return;
            }
        }
        ++report.ranges;
        if (report.list.size() < LISTED_RANGES_MAX)
            report.list.push_back(rd_bad_range{block, 1, errnum});
        else
            ++report.ranges_not_kept;
    }
};

// The node's extents in media bytes, in file order. 0, or a negative code.
int fork_extents(recover_walk &w, uint64_t keynum, const NodeInfo &info, std::vector<fs_extent> *out)
{
    fs_record *record = w.record;
    out->clear();
    if (record->ops->node_extents(record, keynum, 0, out) != 0) {
        out->clear();
        const uint32_t own = std::min<uint32_t>(info.num_extents, 8);
        out->assign(info.extents, info.extents + own);
        if (info.num_extents > 8) {
            std::vector<catdb_extent> more;
            const int rc = catdb_get_extents(w.db, (int64_t)keynum, 0, &more);
            if (rc != 0)
                return rc;
            for (const catdb_extent &e : more)
                out->push_back(fs_extent{e.start, e.length});
        }
    }
    uint64_t unit = 0, data_start = 0;
    if (record->ops->alloc_geometry(record, &unit, &data_start) == 0 && unit > 0) {
        // Extents in allocation units from the data start.
        for (fs_extent &e : *out) {
            if (e.start > (UINT64_MAX - data_start) / unit || e.length > UINT64_MAX / unit)
                return -18;
            e.start = data_start + e.start * unit;
            e.length *= unit;
        }
    }
    return 0;
}

// The bytes of the file the extents can supply from the medium: each
// extent cut at the medium's end, all of them at the file's size.
uint64_t covered_bytes(const std::vector<fs_extent> &extents, uint64_t size, int64_t medium_length)
{
    uint64_t covered = 0;
    for (const fs_extent &e : extents) {
        if (covered >= size)
            break;
        const uint64_t on_medium =
            e.start < (uint64_t)medium_length ? std::min<uint64_t>(e.length, (uint64_t)medium_length - e.start) : 0;
        covered += std::min<uint64_t>(on_medium, size - covered);
    }
    return covered;
}

// The bytes of [from, to) that fall in the window [keep_from, keep_to).
int64_t overlap(int64_t from, int64_t to, int64_t keep_from, int64_t keep_to)
{
    return std::max<int64_t>(0, std::min(to, keep_to) - std::max(from, keep_from));
}

// Reads [from, n) of the chunk at aligned again sector by sector after a
// short read, zeroing what cannot be read. 0, or -30 when the medium went
// away, -32 when the card stopped answering, -5 on abort. *lost: sectors
// left as zeros (or the rest of the chunk when the medium's bytes end in
// it); *in_file: the part of them inside the window [keep_from, keep_to) of
// the chunk that goes into the file; *ended: the data ended (not a device
// error); *reached: where in the chunk the reading stopped (n when it did
// not): the chunk's bytes before it are read or zeros for unreadable sectors.
int reread_by_sector(Media *media, uint8_t *buffer, int64_t aligned, int64_t from, int64_t n, unreadable *bad,
                     int64_t keep_from, int64_t keep_to, int64_t *lost, int64_t *in_file, bool *ended,
                     int *first_errnum, int64_t *reached)
{
    *lost = 0;
    *in_file = 0;
    *ended = false;
    *reached = n;
    for (int64_t at = from - from % SECTOR; at < n; at += SECTOR) {
        if (abort_requested())
            return -5;
        const int64_t size = std::min(SECTOR, n - at);
        int errnum = 0;
        rd_run_verdict verdict = RD_RUN_READ_ON;
        const int64_t got = media_copy_read(media, buffer + at, aligned + at, size, &errnum, &verdict);
        if (got == size)
            continue;
        if (verdict == RD_RUN_HALTED)
            return -5;
        if (errnum == 0) { // the medium's bytes end here
            std::memset(buffer + at + got, 0, (size_t)(n - at - got));
            *lost += n - at - got;
            *in_file += overlap(at + got, n, keep_from, keep_to);
            *ended = true;
            return 0;
        }
        if (media_gone(media, errnum) || verdict == RD_RUN_STOPPED) {
            *first_errnum = errnum;
            *reached = at;
            return media_gone(media, errnum) ? -30 : RECOVER_STOPPED_ANSWERING;
        }
        std::memset(buffer + at + got, 0, (size_t)(size - got));
        *lost += size - got;
        *in_file += overlap(at + got, at + size, keep_from, keep_to);
        if (*first_errnum == 0)
            *first_errnum = errnum;
        bad->add((media->start_pos + aligned + at) / SECTOR, errnum);
    }
    return 0;
}

// Copies the data fork of a file into fd. *written = bytes written (zeros
// for unreadable parts included); *missing = bytes of the file's size that
// are zeros for unreadable sectors or were never written; *errnum_out the
// first read error's errno (0 when the data only ended early), or with -3
// the write's. 0, -34 incomplete, -18 beyond the medium, or a result that
// ends the walk (-3, -5, -7, -30, -32). name: the file's intended host path, for
// the log.
int copy_fork(recover_walk &w, uint64_t keynum, const NodeInfo &info, int fd, const std::string &name,
              uint64_t *written, uint64_t *missing, int *errnum_out, unreadable *bad)
{
    *written = 0;
    *missing = 0;
    *errnum_out = 0;
    Media *media = w.record->media;
    if (media == nullptr)
        return -7;
    std::vector<fs_extent> extents;
    int rc = fork_extents(w, keynum, info, &extents);
    if (rc != 0) {
        log_error("%s: Can't get extents for \"%s\": %d", "copy_fork", name.c_str(), rc);
        return rc == -18 ? -18 : -34;
    }
    if (media_retain(media) != 0) {
        log_error("%s: Can't open the medium for \"%s\"", "copy_fork", name.c_str());
        return -7;
    }
    const uint64_t covered = covered_bytes(extents, info.data_size, media_length(media));
    if (recover_host::reserve(fd, covered) != 0) {
        const int e_no = errno;
        log_error("Write error for file: %s (error=%d)", name.c_str(), e_no);
        errno = e_no;
        add_error_errno(RECOVER_ERROR_WRITE);
        media_release(media);
        *errnum_out = e_no;
        return -3;
    }
    uint8_t *buffer = w.buffer->data;
    uint64_t remaining = info.data_size;
    int result = 0;
    bool read_error_noted = false;
    for (const fs_extent &e : extents) {
        if (remaining == 0)
            break;
        if (e.start > (uint64_t)INT64_MAX || e.length > (uint64_t)INT64_MAX - e.start) {
            log_error("File extends beyond media: %s", name.c_str());
            add_error(RECOVER_ERROR_BEYOND_MEDIA);
            result = -18;
            goto done;
        }
        int64_t pos = (int64_t)e.start;
        int64_t left = (int64_t)std::min<uint64_t>(e.length, remaining);
        while (left > 0) {
            if (abort_requested()) {
                result = -5;
                goto done;
            }
            const int64_t length = media_length(media);
            if (pos >= length) {
                log_error("File extends beyond media: %s", name.c_str());
                add_error(RECOVER_ERROR_BEYOND_MEDIA);
                result = -18;
                goto done;
            }
            const int64_t aligned = pos - pos % SECTOR;
            // What this pass may take ends at the medium's end: a claimed
            // extent running up to 2^63 is cut there before it is rounded.
            const int64_t want_end = pos + std::min(left, length - pos);
            int64_t end = std::min<int64_t>(aligned + (int64_t)RECOVER_CHUNK,
                                            want_end + (SECTOR - want_end % SECTOR) % SECTOR);
            end = std::min(end, length);
            const int64_t n = end - aligned;
            if (media_seek(media, aligned) != 0) {
                const int e_no = errno;
                log_error("Bad starting address for file: %s (error=%d)", name.c_str(), e_no);
                add_error(RECOVER_ERROR_BAD_START);
                result = media_gone(media, e_no) ? -30 : -18;
                goto done;
            }
            errno = 0;
            const int64_t got = media_read(media, buffer, n);
            if (got != n) {
                const int64_t valid = std::max<int64_t>(0, std::min(got, n));
                int64_t lost = 0, in_file = 0, reached = n;
                bool ended = false;
                int e_no = 0;
                const int64_t keep_from = pos - aligned, keep_to = std::min(end, want_end) - aligned;
                rc = reread_by_sector(media, buffer, aligned, valid, n, bad, keep_from, keep_to, &lost, &in_file,
                                      &ended, &e_no, &reached);
                *missing += (uint64_t)in_file;
                if (*errnum_out == 0)
                    *errnum_out = e_no;
                if (rc != 0) {
                    if (rc == -30 || rc == RECOVER_STOPPED_ANSWERING) {
                        log_error("Read error in file: %s (error=%d)", name.c_str(), e_no);
                        add_error(RECOVER_ERROR_READ);
                        read_error_noted = true;
                    }
                    result = rc;
                    if (rc != RECOVER_STOPPED_ANSWERING)
                        goto done;
                    recover_note_stopped(media->start_pos + media_copy_stopped_at(media));
                    // What was read of the chunk before the card stopped goes into the file.
                    end = aligned + reached;
                }
                if (ended) {
                    log_error("Short read in file: %s (%lld of %lld bytes)", name.c_str(), (long long)(n - lost),
                              (long long)n);
                    add_error(RECOVER_ERROR_READ);
                } else if (lost > 0 && !read_error_noted) {
                    read_error_noted = true;
                    log_error("Read error in file: %s (error=%d)", name.c_str(), e_no);
                    add_error(RECOVER_ERROR_READ);
                }
                if (lost > 0 && result == 0)
                    result = -34;
            }
            const int64_t take = std::max<int64_t>(0, std::min(end, want_end) - pos);
            if (take > 0 && recover_host::write_all(fd, buffer + (pos - aligned), (size_t)take, *written) != 0) {
                const int e_no = errno;
                log_error("Write error for file: %s (error=%d)", name.c_str(), e_no);
                errno = e_no;
                add_error_errno(RECOVER_ERROR_WRITE);
                *errnum_out = e_no;
                result = -3;
                goto done;
            }
            *written += (uint64_t)take;
            progress_add(take);
            pos += take;
            left -= take;
            remaining -= (uint64_t)take;
            if (result == RECOVER_STOPPED_ANSWERING)
                goto done;
        }
    }
    if (remaining > 0 && result == 0) {
        log_error("%s: data of \"%s\" ends %llu bytes before its size", "copy_fork", name.c_str(),
                  (unsigned long long)remaining);
        result = -34;
    }
done:
    *missing += remaining;
    // A copy that stopped early gives back the disk reserved past its end.
    if (*written < covered && (!recover_ends_walk(result) || result == RECOVER_STOPPED_ANSWERING) &&
        ::ftruncate(fd, (off_t)*written) != 0)
        log_warning("%s: Can't release the space reserved for \"%s\": %s", "copy_fork", name.c_str(),
                    recover_errno_text(errno).c_str());
    media_release(media);
    return result;
}

void discard(int dir_fd, int fd, const std::string &name)
{
    if (fd >= 0)
        ::close(fd);
    ::unlinkat(dir_fd, name.c_str(), 0);
}

// Notes a file the host refused: its host path and the system's error.
void note_host(const NodeInfo &info, const std::string &path, int errnum)
{
    recover_note note;
    note.keyref = info.keyref;
    note.path = path;
    note.size = info.data_size;
    note.missing = info.data_size;
    note.errnum = errnum;
    note.host = 1;
    recover_note_add(note);
}

} // namespace

int recover_file(recover_walk &w, uint64_t keynum, std::string *out_path)
{
    NodeInfo info;
    int rc = fs_node_info(w.record, keynum, &info, 0);
    if (rc != 0) {
        log_error("%s: Can't get node info for keynum %llx", "recover_file", (unsigned long long)keynum);
        add_error(RECOVER_ERROR_FILE_INFO);
        return -1;
    }
    std::string name;
    if (w.record->options & 1) {
        rc = fs_recovered_name(w.record, &name, keynum);
        if (rc != 0) {
            add_error(RECOVER_ERROR_NUMBERED_NAME);
            return rc;
        }
    } else {
        name = recover_safe_name(info.name);
    }
    {
        std::string text = localize_cstring("Recovering \"%s\" ($z of $Z)");
        const size_t at = text.find("%s");
        if (at != std::string::npos)
            text.replace(at, 2, progress_escape_name(name.c_str()));
        progress_set_text(text.c_str());
    }
    const std::string intended = w.path + "/" + name;
    int fd = -1;
    std::string temp;
    if (recover_host::create_temp_at(w.dir_fd, &fd, &temp) != 0) {
        const int e = errno;
        log_error("recover_file: Can't open \"%s\": %s", intended.c_str(), recover_errno_text(e).c_str());
        note_host(info, w.path, e);
        errno = e;
        add_error_errno(RECOVER_ERROR_OPEN);
        return recover_host::is_target_full(e) ? -3 : -1;
    }
    if (recover_host::created_on_medium(fd, w.record->media)) {
        // Its FUSE server holds the card now that a file of it is open: the
        // file goes, and the recovery stops as for a target on the card.
        discard(w.dir_fd, fd, temp);
        log_error("recover_file: \"%s\" is on the medium being recovered (%s)", intended.c_str(),
                  media_path(w.record->media));
        return RECOVER_TARGET_ON_MEDIUM;
    }

    uint64_t written = 0, missing = 0;
    int errnum_out = 0;
    unreadable bad;
    int copy = 0;
    if (info.data_size > 0)
        copy = copy_fork(w, keynum, info, fd, intended, &written, &missing, &errnum_out, &bad);
    recover_note note;
    note.keyref = info.keyref;
    note.size = info.data_size;
    // Nothing of the file was read when every byte written is a zero that
    // stands for an unreadable sector.
    const bool nothing_read = written == 0 || missing >= info.data_size;
    note.missing = nothing_read ? info.data_size : missing;
    note.errnum = errnum_out;
    if (copy < 0) {
        log_error("Can't copy data fork for \"%s\": %d", intended.c_str(), copy);
        if (copy != -5)
            add_error(RECOVER_ERROR_COPY);
        if ((recover_ends_walk(copy) && copy != RECOVER_STOPPED_ANSWERING) || nothing_read) {
            // Nothing of worth, or a copy cut short by a full disk, an abort
            // or a vanished medium: no partial file stays behind. (What was
            // read of a card that stopped answering is kept.)
            discard(w.dir_fd, fd, temp);
            // Nothing of it is kept: all of it is absent.
            note.missing = info.data_size;
            if (copy == -3)
                note_host(info, intended, errnum_out);
            else if (copy != -5)
                recover_note_add(note);
            return copy;
        }
        // Kept, but never under a name that looks complete.
        name = recover_safe_name(name + RECOVER_INCOMPLETE_SUFFIX);
    }
    if (recover_host::set_times(fd, info.date_modified) != 0)
        log_warning("recover_file: Can't set times of \"%s\": %s", intended.c_str(),
                    recover_errno_text(errno).c_str());
    if (info.date_created > 0 && !w.creation_time_noted) {
        w.creation_time_noted = true;
        log_message(LOG_VERBOSE, "recover_file: creation times cannot be set on this system; not kept");
    }
    if (recover_host::close_checked(fd) != 0) {
        const int e = errno;
        discard(w.dir_fd, -1, temp);
        note_host(info, intended, e);
        log_error("Write error for file: %s (error=%d)", intended.c_str(), e);
        errno = e;
        add_error_errno(RECOVER_ERROR_WRITE);
        return -3;
    }
    std::string made;
    rc = recover_host::commit_file_at(w.dir_fd, temp, name, &made);
    if (rc != 0) {
        const int e = errno;
        discard(w.dir_fd, -1, temp);
        if (rc != -1)
            return rc; // -37, logged
        note_host(info, w.path + "/" + name, e);
        log_error("recover_file: Can't name \"%s\": %s", intended.c_str(), recover_errno_text(e).c_str());
        errno = e;
        add_error_errno(RECOVER_ERROR_NAME);
        return recover_host::is_target_full(e) ? -3 : -1;
    }
    *out_path = w.path + "/" + made;
    media_log_bad_report(out_path->c_str(), bad.report);
    if (copy != 0) {
        log_error("Incomplete file kept: \"%s\" (%llu of %llu bytes missing)", out_path->c_str(),
                  (unsigned long long)note.missing, (unsigned long long)info.data_size);
        note.path = *out_path;
        recover_note_add(note);
        return copy; // neither counted nor unticked
    }
    w.record->recovered[0] += 1;
    w.record->recovered[4] += info.data_size;
    return 0;
}
