// Media records: the process-wide list, creation, the matching of a
// returning disk, attach and detach, the partition media and the
// characteristics (partition map and checksum) of a medium.
//
// Implementation notes
//   - The list holds every listed medium, oldest first in the vector; every
//     walk goes from the back so that lookups see the newest medium first.
//     One mutex guards the vector and the `attached` flags it hands out,
//     and each medium's open count with the opening and closing of its
//     file object (media_retain and media_release take it too). No read
//     of a device ever runs under it, only the open and the close of a
//     file object: media_find_or_new only picks a medium
//     and marks it uninitialised; its caller sets the window and reads the
//     partition map and checksum afterwards, so a slow or failing card never
//     blocks the lookups of other threads.
//   - A medium owns its file object and holds its free lock, so no other
//     code path can free it by accident.
//   - Top-level media are all media that are not partitions. A partition
//     keeps a plain pointer to its parent; freeing the parent clears it.
//   - When a returning disk is matched under a new device path (a card
//     reader that came back as another node), the medium and its partition
//     media are pointed at the new path, so that their reads reach the card
//     and their ids survive.
//   - Ids are kept per identity: the kind and path of a top-level medium
//     (and a disk's size), a partition's slice and window on its parent's
//     identity. A medium made again for an identity seen before takes the
//     id it had, unless a listed medium holds that id now; the engine keeps
//     the table in the workspace (media_ids_known, media_ids_restore), so
//     the ids of a card stay the same from one run of the program to the
//     next. Unlisted media (the saved copies of scans) take no id: they are
//     never looked up by one, and must not move the numbering of the others.
//     A disk's contents (size and checksum) are kept as an identity too, so
//     that a card whose reader comes back as another device node in a later
//     run, when no medium of this run was matched to it, keeps its id and
//     its partitions theirs (keep_content_id).
#include "storage/media.h"

#include <algorithm>
#include <atomic>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <string>

#include "foundation/file.h"
#include "foundation/log.h"
#include "foundation/strings.h"
#include "storage/block_reader.h"
#include "storage/media_internal.h"

namespace {

Media *new_medium(const char *path, const char *name, uint32_t kind, uint32_t flags, bool initialising,
                  const std::string &identity);
void publish(Media *m);
void read_characteristics(Media *media);

std::mutex g_list_mutex;
std::atomic<media_prescan_fn> g_prescan{nullptr};

// The ids kept per identity (see the notes above), under the list mutex.
// `used` orders them by their last use; beyond MEDIA_IDS_KEPT_MAX the least
// recently used identity is forgotten (its id is not handed out again: fresh ids
// count on from g_next_id, which stays above every id of the table).
struct known_id {
    uint32_t id;
    uint64_t used;
};
uint64_t g_known_clock = 0;
uint32_t g_next_id = 1;

// The listed media, oldest first. A function-local object, so that it exists
// whatever the order of static initialisation.
std::vector<Media *> &media_list()
{
    static std::vector<Media *> list;
    return list;
}

// The kept ids by identity; function-local for the same reason.
std::map<std::string, known_id> &known_ids()
{
    static std::map<std::string, known_id> known;
    return known;
}

bool is_top_level(const Media *m)
{
    return m->kind != MEDIA_PARTITION && m->parent == nullptr;
}

const char *path_of(const Media *m)
{
    return m->io != nullptr ? file_name(m->io) : nullptr;
}

bool same_path(const Media *m, const char *path)
{
    const char *own = path_of(m);
    return own != nullptr && path != nullptr && std::strcmp(own, path) == 0;
}

bool has_text(const char *text)
{
    return text != nullptr && text[0] != '\0';
}

// Accepted block sizes: powers of two from 512 to 65536.
bool valid_block_size(int64_t size)
{
    return size >= 512 && size <= 65536 && (size & (size - 1)) == 0;
}

int32_t checked_block_size(int32_t size, const char *path)
{
    if (valid_block_size(size))
        return size;
    log_info("media: block size %d of %s is not usable, using 512", (int)size, path ? path : "(null)");
    return 512;
}

// A fresh file object for path, free-locked by the medium and, for images,
// bound to the virtual-file type registered under the path. A path with no
// type (a file no image reader accepts) reads its own bytes. NULL on failure.
file_t *make_io(Media *m, const char *path, uint32_t kind)
{
    file_t *io = file_new(path);
    if (io == nullptr)
        return nullptr;
    file_free_lock(io, m);
    if (kind == MEDIA_IMAGE && file_set_vf(io, path) != 0)
        log_info("media_new: no image type registered for %s, reading the file itself", path);
    return io;
}

// Whether the file's size comes from a type's size slot (an image's sectors).
bool sized_by_type(const file_t *io)
{
    return io->vf != nullptr && io->vf->ops != nullptr && io->vf->ops->size != nullptr;
}

// Opens the medium's file object for its size, and closes it again unless
// a reader holds the medium (its open count, under the list mutex like the
// open itself: a reader on another thread may retain or release it
// meanwhile). 0 with *size, or the file layer's code.
int open_for_size(Media *m, int64_t *size)
{
    std::lock_guard<std::mutex> lock(g_list_mutex);
    const int rc = media_open_io_locked(m);
    if (rc != 0)
        return rc;
    *size = file_size(m->io);
    if (m->open_count == 0)
        file_close(m->io);
    return 0;
}

void free_io(Media *m)
{
    if (m->io != nullptr)
        file_free_unlock(&m->io, m);
    m->io = nullptr;
}

// Points the medium at another path (list mutex held). The old file object
// is closed; an open count the medium still has stays, and the next release
// closes nothing that is open. Keeps the old object when a new one cannot
// be made.
void repoint_locked(Media *m, const char *path)
{
    file_t *io = make_io(m, path, m->kind);
    if (io == nullptr)
        return;
    free_io(m);
    m->io = io;
    std::free(m->description);
    m->description = nullptr;
}

const char *base_name(const char *path)
{
    const char *slash = std::strrchr(path, '/');
    return slash != nullptr ? slash + 1 : path;
}

// "Partition %d" through the translated-text cache. The translation is
// text from a table, not a format we wrote: only its first "%d" is replaced,
// so a stray "%s" in a translation cannot be taken as a directive.
std::string partition_name(int32_t slice)
{
    std::string text = localize_cstring("Partition %d");
    const size_t at = text.find("%d");
    const std::string number = std::to_string(slice);
    if (at == std::string::npos)
        return text + " " + number;
    return text.replace(at, 2, number);
}

// The reuse candidate of a partition child (list mutex held): a partition
// of the parent's path with the same slice and the same window.
Media *find_child_locked(const Media *parent, const media_partition_entry &entry, int64_t start)
{
    const char *path = path_of(parent);
    auto &list = media_list();
    for (auto it = list.rbegin(); it != list.rend(); ++it) {
        Media *m = *it;
        if (m->kind == MEDIA_PARTITION && m->slice == entry.slice && same_path(m, path) &&
            m->orig_start_pos == start && m->orig_stop_pos - m->orig_start_pos == entry.size)
            return m;
    }
    return nullptr;
}

// The top-level medium of a path and kind (list mutex held), or NULL.
Media *find_path_locked(const char *path, uint32_t kind)
{
    auto &list = media_list();
    for (auto it = list.rbegin(); it != list.rend(); ++it) {
        Media *m = *it;
        if (m->kind == kind && is_top_level(m) && same_path(m, path))
            return m;
    }
    return nullptr;
}

// --- identities and ids (list mutex held) ---

// A top-level medium: its kind and path, and a disk's size (another card of
// another size under the same device node is another medium). "" for a
// medium without a path, which keeps no id.
std::string top_identity(uint32_t kind, const char *path, int64_t size)
{
    if (!has_text(path))
        return "";
    switch (kind) {
    case MEDIA_DISK:
        return "disk " + std::to_string(size) + " " + path;
    case MEDIA_IMAGE:
        return std::string("image ") + path;
    case MEDIA_FILE:
        return std::string("file ") + path;
    default:
        return "";
    }
}

// A partition: its slice and window (bytes from the start of the parent's
// path) on the parent's identity, so a card whose layout changed gets
// fresh ids for its partitions.
std::string partition_identity(const std::string &parent, int32_t slice, int64_t start, int64_t length)
{
    if (parent.empty())
        return "";
    return "partition " + std::to_string(slice) + " " + std::to_string(start) + " " + std::to_string(length) +
           " of " + parent;
}

std::string identity_locked(const Media *m)
{
    if (m->kind == MEDIA_PARTITION)
        return m->parent != nullptr ? partition_identity(identity_locked(m->parent), m->slice, m->orig_start_pos,
                                                         m->orig_stop_pos - m->orig_start_pos)
                                    : "";
    return is_top_level(m) ? top_identity(m->kind, path_of(m), m->orig_stop_pos) : "";
}

bool id_listed_locked(uint32_t id)
{
    for (const Media *m : media_list())
        if (m->id == id)
            return true;
    return false;
}

bool id_known_locked(uint32_t id)
{
    for (const auto &entry : known_ids())
        if (entry.second.id == id)
            return true;
    return false;
}

// Binds the identity to the id, as its most recent use.
void remember_id_locked(const std::string &identity, uint32_t id)
{
    if (identity.empty() || id == 0)
        return;
    std::map<std::string, known_id> &known = known_ids();
    known[identity] = known_id{id, ++g_known_clock};
    if (known.size() <= (size_t)MEDIA_IDS_KEPT_MAX)
        return;
    auto oldest = known.begin();
    for (auto it = known.begin(); it != known.end(); ++it)
        if (it->second.used < oldest->second.used)
            oldest = it;
    known.erase(oldest);
}

// The id of a medium about to be listed: the identity's own when it has one
// that no listed medium holds, else a fresh one (then kept for the identity).
uint32_t take_id_locked(const std::string &identity)
{
    if (!identity.empty()) {
        std::map<std::string, known_id> &known = known_ids();
        auto it = known.find(identity);
        if (it != known.end() && !id_listed_locked(it->second.id)) {
            it->second.used = ++g_known_clock;
            return it->second.id;
        }
    }
    uint32_t id = g_next_id++;
    while (id == 0 || id_known_locked(id) || id_listed_locked(id))
        id = g_next_id++;
    remember_id_locked(identity, id);
    return id;
}

// A disk's contents: its size and checksum, when the checksum saw written
// content (a blank card says nothing of which card it is); "" otherwise.
std::string content_identity_locked(const Media *m)
{
    const std::string values = media_content_text(m->checksum);
    if (m->kind != MEDIA_DISK || !is_top_level(m) || values.empty())
        return "";
    return "disk contents " + std::to_string(m->orig_stop_pos) + " " + values;
}

// A disk under a device path its identity never had (its reader came back
// as another device node, in this run or a later one) holds a fresh id: it
// takes the id its contents had instead, when no listed medium holds that
// id, and the ids of the partitions on it follow (their identities on the
// earlier paths are copied onto this one). Its contents keep its id for the
// next time. Called after its checksum is read, before its partitions are
// made.
void keep_content_id(Media *m)
{
    std::lock_guard<std::mutex> lock(g_list_mutex);
    const std::string content = content_identity_locked(m);
    const std::string own = identity_locked(m);
    if (content.empty() || own.empty())
        return;
    std::map<std::string, known_id> &known = known_ids();
    const auto found = known.find(content);
    if (found != known.end() && found->second.id != m->id && !id_listed_locked(found->second.id)) {
        bool fresh = true; // no identity but the path's own names the medium's id
        for (const auto &entry : known)
            fresh = fresh && (entry.second.id != m->id || entry.first == own);
        const uint32_t earlier = found->second.id;
        if (fresh) {
            std::vector<std::pair<std::string, uint32_t>> copies;
            for (const auto &disk : known) {
                if (disk.second.id != earlier || disk.first.rfind("disk ", 0) != 0 || disk.first == own)
                    continue;
                const std::string tail = " of " + disk.first;
                for (const auto &part : known)
                    if (part.first.rfind("partition ", 0) == 0 && part.first.size() > tail.size() &&
                        part.first.compare(part.first.size() - tail.size(), tail.size(), tail) == 0)
                        copies.push_back({part.first.substr(0, part.first.size() - tail.size()) + " of " + own,
                                          part.second.id});
            }
            log_info("media: %s holds the contents of medium %u: it takes that id", own.c_str(), (unsigned)earlier);
            m->id = earlier;
            remember_id_locked(own, earlier);
            for (const auto &[identity, id] : copies)
                if (known.count(identity) == 0)
                    remember_id_locked(identity, id);
        }
    }
    remember_id_locked(content, m->id);
}

// Whether the medium's device stopped answering (media_note_not_answering).
bool not_answering(const Media *m)
{
    std::lock_guard<std::mutex> lock(g_list_mutex);
    return m->not_answering != 0;
}

// An attach whose file cannot be opened: a medium made for it is freed; a
// medium found again stays in the list (scans refer to it), detached.
void abandon_attach(Media *m, bool found)
{
    if (!found) {
        media_free(&m);
        return;
    }
    std::lock_guard<std::mutex> lock(g_list_mutex);
    m->attached = 0;
    m->initialising = 0;
}

// attach image and attach file: an existing medium of the path comes back,
// else a new one; then the window, the characteristics and the partitions.
Media *attach_path(const char *path, uint32_t kind)
{
    if (!has_text(path))
        return nullptr;
    Media *m;
    {
        std::lock_guard<std::mutex> lock(g_list_mutex);
        m = find_path_locked(path, kind);
        if (m != nullptr) {
            m->attached = 1;
            remember_id_locked(top_identity(kind, path, 0), m->id);
            // A device that stopped answering is not read again before it
            // has been taken out (media_note_not_answering).
            if (m->not_answering)
                return m;
            m->characteristics_initialised = 0;
            m->initialising = 1;
        }
    }
    const bool found = m != nullptr;
    if (m == nullptr)
        m = new_medium(path, base_name(path), kind, 0, true, top_identity(kind, path, 0));
    if (m == nullptr)
        return nullptr;

    int64_t size = 0;
    if (kind == MEDIA_IMAGE && sized_by_type(m->io)) {
        size = file_size(m->io); // through the image's type
    } else if (open_for_size(m, &size) == 0) {
        // The size of what the file layer opened and checked (a regular file
        // or a disk), not of whatever the name shows to a later stat.
    } else {
        // A FIFO, a device of another kind, a folder or a missing file:
        // nothing to read (the file layer logged why).
        log_error("media_attach_file: Can't open %s", path);
        abandon_attach(m, found);
        return nullptr;
    }
    m->stop_pos = m->orig_stop_pos = size < 0 ? 0 : size;
    m->block_size = 512;
    m->write_protected = 1;
    read_characteristics(m);
    media_make_partitions(m);
    publish(m); // its file-system type and partition scheme are set now
    return m;
}

} // namespace

// --- creation and lookup -------------------------------------------------------------

Media *media_new(const char *path, const char *name, uint32_t kind, uint32_t flags)
{
    return new_medium(path, name, kind, flags, false, "");
}

namespace {

// media_new; an attach makes its medium with `initialising` set, so no other
// thread walking the list compares it before media_init_characteristics has
// set it up and published it. A listed medium takes the id kept for its
// identity (a fresh one when it has none), an unlisted one none.
Media *new_medium(const char *path, const char *name, uint32_t kind, uint32_t flags, bool initialising,
                  const std::string &identity)
{
    Media *m = new (std::nothrow) Media();
    if (m == nullptr)
        return nullptr;
    if (path != nullptr) {
        m->io = make_io(m, path, kind);
        if (m->io == nullptr) {
            delete m;
            return nullptr;
        }
    }
    if (name != nullptr) {
        m->name = strdup(name);
        if (m->name == nullptr) {
            free_io(m);
            delete m;
            return nullptr;
        }
    }
    m->flags = flags;
    m->kind = kind;
    m->attached = 1;
    m->initialising = initialising;
    if (!(flags & MEDIA_FLAG_UNLISTED)) {
        std::lock_guard<std::mutex> lock(g_list_mutex);
        m->id = take_id_locked(identity);
        media_list().push_back(m);
    }
    return m;
}

// Ends the set-up begun by an attach: other threads may compare it now.
void publish(Media *m)
{
    std::lock_guard<std::mutex> lock(g_list_mutex);
    m->initialising = 0;
}

} // namespace

// The scoring of a returning physical disk. Under the list mutex, each
// top-level medium is looked at:
//   1. With a path given and a path of its own: the same path and attached
//      is taken at once; the same path and detached scores 1; another path
//      and attached is skipped; another path and detached scores 0.
//   2. With a size given and an original stop position of its own, the two
//      must be equal, else it is skipped.
//   3. With a name given and a name of its own: equal names add 4 (only 1
//      when the given name begins with "Apple Read", a reader's generic
//      name), different names subtract 4.
// The highest score of at least 1 wins; among equal scores the newest
// medium. With no winner a new medium is made.
Media *media_find_or_new(const char *path, const char *name, int64_t size, int write_protected,
                         uint32_t kind)
{
    const bool with_path = has_text(path);
    const bool with_name = has_text(name);
    {
        std::lock_guard<std::mutex> lock(g_list_mutex);
        Media *taken = nullptr;
        Media *best = nullptr;
        int best_score = 0;
        auto &list = media_list();
        for (auto it = list.rbegin(); it != list.rend(); ++it) {
            Media *m = *it;
            if (!is_top_level(m))
                continue;
            int score = 0;
            if (with_path && path_of(m) != nullptr) {
                const bool equal = same_path(m, path);
                if (equal && m->attached) {
                    taken = m;
                    break;
                }
                if (!equal && m->attached)
                    continue;
                score = equal ? 1 : 0;
            }
            if (size > 0 && m->orig_stop_pos != 0 && m->orig_stop_pos != size)
                continue;
            if (with_name && has_text(m->name)) {
                if (std::strcmp(m->name, name) == 0)
                    score += std::strncmp(name, "Apple Read", 10) == 0 ? 1 : 4;
                else
                    score -= 4;
            }
            if (best == nullptr || score > best_score) {
                best = m;
                best_score = score;
            }
        }
        if (taken == nullptr && best != nullptr && best_score >= 1)
            taken = best;
        if (taken != nullptr) {
            if (with_path && !same_path(taken, path)) {
                repoint_locked(taken, path);
                for (Media *child : list)
                    if (child->parent == taken)
                        repoint_locked(child, path);
            }
            // Its id under the path and size it has now (its partitions'
            // follow when they are made again on it).
            remember_id_locked(top_identity(kind, path, size), taken->id);
            taken->attached = 1;
            taken->write_protected = write_protected == 1;
            if (!taken->not_answering) { // else left as it is (media_attach_disk)
                taken->characteristics_initialised = 0;
                taken->initialising = 1;
            }
            return taken;
        }
    }
    Media *m = new_medium(path, name, kind, 0, true, top_identity(kind, path, size));
    if (m != nullptr)
        m->write_protected = write_protected == 1;
    return m;
}

Media *media_attach_disk(const char *device_path, const char *name, int write_protected, int64_t size,
                         int32_t block_size)
{
    const int32_t checked = checked_block_size(block_size, device_path);
    Media *m = media_find_or_new(device_path, name, size, write_protected, MEDIA_DISK);
    if (m == nullptr || not_answering(m))
        return m; // a device that stopped answering is not read again before it has been taken out
    m->stop_pos = m->orig_stop_pos = size < 0 ? 0 : size;
    m->block_size = checked;
    read_characteristics(m);
    keep_content_id(m);
    media_make_partitions(m);
    publish(m); // its file-system type and partition scheme are set now
    return m;
}

Media *media_attach_image(const char *path)
{
    return attach_path(path, MEDIA_IMAGE);
}

Media *media_attach_file(const char *path)
{
    return attach_path(path, MEDIA_FILE);
}

Media *media_find_by_id(uint32_t id, int flags)
{
    const bool any = (flags & 3) == 0;
    std::lock_guard<std::mutex> lock(g_list_mutex);
    auto &list = media_list();
    for (auto it = list.rbegin(); it != list.rend(); ++it) {
        Media *m = *it;
        if (m->id != id)
            continue;
        if (any || ((flags & 1) && m->attached) || ((flags & 2) && !m->attached))
            return m;
    }
    return nullptr;
}

Media *media_find_attached_by_id(uint32_t id)
{
    return media_find_by_id(id, 1);
}

int media_open_io(Media *media)
{
    if (media == nullptr)
        return -12;
    // Looked at under the lock too: two threads opening one medium find it
    // open once the first has opened it.
    std::lock_guard<std::mutex> lock(g_list_mutex);
    return media_open_io_locked(media);
}

int media_open_io_locked(Media *media)
{
    if (file_is_open(media->io))
        return 0;
    return file_reopen(media->io, "rb", 3);
}

std::mutex &media_list_mutex()
{
    return g_list_mutex;
}

void media_detach_path(const char *path)
{
    if (path == nullptr)
        return;
    std::lock_guard<std::mutex> lock(g_list_mutex);
    for (Media *m : media_list()) {
        if (same_path(m, path)) {
            m->attached = 0;
            m->not_answering = 0; // taken out: read again when it comes back
        }
    }
}

void media_note_not_answering(Media *media)
{
    std::lock_guard<std::mutex> lock(g_list_mutex);
    while (media != nullptr && media->parent != nullptr)
        media = media->parent;
    if (media != nullptr && media->attached)
        media->not_answering = 1;
}

void media_for_each(const std::function<bool(Media *)> &visit)
{
    std::lock_guard<std::mutex> lock(g_list_mutex);
    auto &list = media_list();
    for (auto it = list.rbegin(); it != list.rend(); ++it)
        if (!(*it)->initialising && !visit(*it))
            return;
}

void media_free(Media **media)
{
    if (media == nullptr || *media == nullptr)
        return;
    Media *m = *media;
    *media = nullptr;
    if (!(m->flags & MEDIA_FLAG_UNLISTED)) {
        std::lock_guard<std::mutex> lock(g_list_mutex);
        auto &list = media_list();
        list.erase(std::remove(list.begin(), list.end(), m), list.end());
        for (Media *other : list)
            if (other->parent == m)
                other->parent = nullptr;
    }
    if (m->reader != nullptr)
        media_rd_close(m);
    free_io(m);
    std::free(m->name);
    std::free(m->description);
    std::free(m->saved_path);
    delete m;
}

void media_free_all()
{
    std::vector<Media *> all;
    {
        std::lock_guard<std::mutex> lock(g_list_mutex);
        all.swap(media_list());
    }
    for (Media *m : all) {
        m->flags |= MEDIA_FLAG_UNLISTED; // already out of the list
        media_free(&m);
    }
}

// --- ids kept by the workspace ---------------------------------------------------------

void media_ids_restore(const std::vector<media_known_id> &known, uint32_t next_id)
{
    std::lock_guard<std::mutex> lock(g_list_mutex);
    known_ids().clear();
    for (const media_known_id &entry : known)
        remember_id_locked(entry.identity, entry.id); // the last one the most recent
    uint32_t next = std::max(g_next_id, next_id);
    for (const auto &entry : known_ids())
        next = std::max(next, entry.second.id + 1);
    g_next_id = next;
}

std::vector<media_known_id> media_ids_known(uint32_t *next_id)
{
    std::lock_guard<std::mutex> lock(g_list_mutex);
    std::vector<std::pair<uint64_t, media_known_id>> by_use;
    for (const auto &entry : known_ids())
        by_use.push_back({entry.second.used, media_known_id{entry.second.id, entry.first}});
    std::sort(by_use.begin(), by_use.end(),
              [](const auto &a, const auto &b) { return a.first < b.first; });
    std::vector<media_known_id> out;
    for (auto &entry : by_use)
        out.push_back(std::move(entry.second));
    if (next_id != nullptr)
        *next_id = g_next_id;
    return out;
}

// --- description and accessors ---------------------------------------------------------

uint32_t media_child_id(const Media *media, int index)
{
    if (media == nullptr || index < 0 || (size_t)index >= media->children.size()) {
        log_info("Invalid media child id %u", (unsigned)index);
        return 0;
    }
    return media->children[(size_t)index];
}

const char *media_description(Media *media)
{
    if (media == nullptr)
        return "(null)";
    const char *path = path_of(media);
    char *text = strdup_printf("id=%d, path=%s, name=%s", (int)media->id, path ? path : "(null)",
                               media->name ? media->name : "(null)");
    if (text == nullptr)
        return media->description != nullptr ? media->description : "(null)";
    std::free(media->description);
    media->description = text;
    return text;
}

const char *media_name(const Media *media)
{
    if (media == nullptr)
        return "(null)";
    return media->name != nullptr ? media->name : "";
}

uint32_t media_top_kind(const Media *media)
{
    if (media == nullptr)
        return 0;
    std::lock_guard<std::mutex> lock(g_list_mutex); // a partition's parent changes under it
    if (media->kind != MEDIA_PARTITION)
        return media->kind;
    return media->parent != nullptr && media->parent->kind != MEDIA_PARTITION ? media->parent->kind : 0;
}

const char *media_path(const Media *media)
{
    return media != nullptr ? path_of(media) : nullptr;
}

int64_t media_length(const Media *media)
{
    // A window cannot begin before the file: with start_pos >= 0 the
    // difference cannot overflow, whatever a damaged record holds.
    if (media == nullptr || media->start_pos < 0 || media->stop_pos < 0 || media->stop_pos <= media->start_pos)
        return 0;
    return media->stop_pos - media->start_pos;
}

int64_t media_byte_pos(const Media *media)
{
    return media != nullptr ? media->byte_pos : -1;
}

int64_t media_data_pos(const Media *media)
{
    return media != nullptr ? media->data_pos : -1;
}

uint32_t media_fs_code(const Media *media)
{
    return media != nullptr ? media->fs_type * 16 + media->fs_subtype : 0;
}

int media_partition_count(const Media *media)
{
    return media != nullptr ? (int)media->partitions.entries.size() : 0;
}

const media_partition_entry *media_partition_at(const Media *media, int index)
{
    if (media == nullptr || index < 0 || (size_t)index >= media->partitions.entries.size())
        return nullptr;
    return &media->partitions.entries[(size_t)index];
}

int media_get_params(const Media *media, MediaParams *params)
{
    if (media == nullptr || params == nullptr)
        return -12;
    params->block_size = media->block_size;
    params->orig_start_pos = media->orig_start_pos;
    params->orig_stop_pos = media->orig_stop_pos;
    params->start_pos = media->start_pos;
    params->stop_pos = media->stop_pos;
    return 0;
}

int media_set_params(Media *media, const MediaParams *params)
{
    if (media == nullptr || params == nullptr)
        return -12;
    media->start_pos = params->start_pos;
    media->stop_pos = params->stop_pos;
    return 0;
}

// --- partitions and characteristics --------------------------------------------------------

void media_set_prescan_hook(media_prescan_fn hook)
{
    g_prescan.store(hook);
}

void media_make_partitions(Media *media)
{
    if (media == nullptr)
        return;
    {
        // A partition of what the medium held before that its table has no
        // more is not on it now (one it still has is attached again below),
        // also where the card changed without being taken out.
        std::lock_guard<std::mutex> lock(g_list_mutex);
        for (Media *m : media_list())
            if (m->parent == media)
                m->attached = 0;
    }
    if (media->partitions.entries.empty()) {
        const media_partition_entry whole{0, 0, media_length(media)};
        Media *child = media_partition_child(media, whole, true);
        if (child != nullptr && (child->fs_type != 0 || child->fs_subtype != 0)) {
            media->fs_type = child->fs_type;
            media->fs_subtype = child->fs_subtype;
            media->partition_scheme = PARTITION_SCHEME_WHOLE;
        }
        return;
    }
    // A copy: making a child must not depend on the parent's table staying put.
    const std::vector<media_partition_entry> entries = media->partitions.entries;
    for (const media_partition_entry &entry : entries) {
        if (media_partition_child(media, entry, false) == nullptr)
            log_info("Can't synthesize partition %d: {%lld, %lld}", (int)entry.slice, (long long)entry.start,
                     (long long)entry.size);
    }
}

Media *media_partition_child(Media *parent, const media_partition_entry &entry, bool whole)
{
    if (parent == nullptr || entry.start < 0 || entry.size < 0)
        return nullptr;
    const int64_t start = parent->orig_start_pos + entry.start;
    Media *child;
    std::string identity;
    {
        std::lock_guard<std::mutex> lock(g_list_mutex);
        identity = partition_identity(identity_locked(parent), entry.slice, start, entry.size);
        child = find_child_locked(parent, entry, start);
        if (child != nullptr) {
            child->attached = 1;
            child->parent = parent; // listed and compared by other threads: changed under the mutex only
            remember_id_locked(identity, child->id);
            // The same layout may be another card's: what it holds is read
            // again, as its parent's was, before a scan is matched to it.
            child->characteristics_initialised = 0;
            child->initialising = 1;
        }
    }
    if (child != nullptr) {
        read_characteristics(child);
        publish(child);
    } else {
        child = new_medium(path_of(parent), partition_name(entry.slice).c_str(), MEDIA_PARTITION, 0, true, identity);
        if (child == nullptr)
            return nullptr;
        child->start_pos = child->orig_start_pos = start;
        child->stop_pos = child->orig_stop_pos = start + entry.size;
        child->block_size = parent->block_size;
        child->write_protected = parent->write_protected;
        child->slice = entry.slice;
        child->parent = parent;
        read_characteristics(child);
        const media_prescan_fn prescan = g_prescan.load();
        const int found = prescan != nullptr ? prescan(child) : -1;
        if (whole && found != 0) {
            media_free(&child);
            return nullptr;
        }
        publish(child); // linked and its file system known: other threads may compare it now
    }
    if (std::find(parent->children.begin(), parent->children.end(), child->id) == parent->children.end())
        parent->children.push_back(child->id);
    return child;
}

void media_init_characteristics(Media *media)
{
    if (media == nullptr)
        return;
    read_characteristics(media);
    publish(media);
}

namespace {

// The partition map and checksum of a medium, without publishing it: the
// attach functions publish a medium once everything about it is set.
void read_characteristics(Media *media)
{
    if (media->characteristics_initialised)
        return;
    media->partitions.type = PARTITION_MAP_NONE;
    media->partitions.entries.clear();
    // Nothing of the card read here before stays with a card that cannot
    // be read: its samples and names would match that card's scans.
    media->checksum = media_checksum();
    media->identity = media_identity();
    // What an earlier copy's reads learned of the card that was here (a run
    // of failed reads, sectors taken as unreadable) is not this card's.
    media->copy_run = rd_run();
    media->copy_skip_first = media->copy_skip_last = -1;
    const int rc = media_retain(media);
    if (rc != 0) {
        log_error("Failed to retain media: %d", rc);
        log_info("%s: Can't open %s", "_init_characteristics", media_name(media));
        return;
    }
    if (is_top_level(media)) {
        // What a card held before it was swapped says nothing about it now.
        media->partition_scheme = 0;
        media->fs_type = media->fs_subtype = 0;
        media_read_partition_map(media, &media->partitions);
        if (media->partitions.entries.empty())
            media->partitions.type = PARTITION_MAP_NONE;
        else
            media->partition_scheme = media->partitions.type;
    }
    media_checksum_compute(media, &media->checksum);
    media_identity_read(media, &media->identity);
    media->characteristics_initialised = 1;
    media_release(media);
}

} // namespace
