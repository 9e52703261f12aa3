// What a save of scans may replace. A save renames its new file over the
// path it is given; a slip of the user's (the card image named for the save
// file) would otherwise destroy what the scans were made of. Refused, before
// anything is written:
// - an existing path that is not a regular file (a device node, a FIFO, a
//   socket, a folder, a symbolic link);
// - a path inside the workspace folder (HVEngine::insideWorkspace);
// - a path that is the image file or the device of a medium the workspace
//   knows (a listed medium, or the one a scan was saved with), by device
//   and inode;
// - a path, new or existing, whose folder lies on a card a scan of the
//   workspace was made of (recover_path_on_medium: a mount of the card's image,
//   of a loop device over it, an overlay on it, a FUSE server holding it),
//   also as seen through a probe file there (medium_guard_probe_on: a FUSE
//   server holding the card only while a file of it is open), before the
//   save's temporary file is made. Other attached media (a USB stick plugged
//   in) take a save like any disk;
// - an existing regular file that is not a saved scan file (its header, as
//   the container's reader sees it through a gzip layer, is not the
//   container's).
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include "engine/engine.h"
#include "foundation/fileops.h"
#include "scan/file_arch.h"
#include "scan/recover/medium_guard.h"
#include "scan/recover/recover.h"
#include "storage/media.h"

namespace {

// The cards the workspace's scans were made of. Nothing is written onto
// them: a new file there takes clusters where deleted files wait to be
// recovered. A scan's medium when it is attached (it stays listed while
// this command runs); else the device or file at the path it was scanned
// from, counted whole: a card written to since the scan, or another card in
// its place, is no longer the scan's medium but still the card in that
// reader.
struct scanned_card {
    Media *media = nullptr;
    std::string path;
};

std::vector<scanned_card> scanned_cards()
{
    std::vector<scanned_card> cards;
    for (uint32_t slot : scx_live_slots())
        if (std::shared_ptr<ScanContext> scan = scx_in_slot(slot)) {
            scanned_card card;
            card.media = scx_media(scan.get());
            const char *at = card.media != nullptr ? media_path(card.media) : nullptr;
            card.path = at != nullptr ? at : scx_saved_media_path(scan.get());
            if (card.media != nullptr || !card.path.empty())
                cards.push_back(card);
        }
    return cards;
}

bool folder_on_card(const std::string &folder, const scanned_card &card)
{
    if (card.media != nullptr)
        return recover_path_on_medium(folder.c_str(), card.media) == 1 || medium_guard_probe_on(folder, card.media);
    return HVEngine::folderOnMediumPath(folder, card.path);
}

std::string on_card_text(const scanned_card &card)
{
    return std::string("its folder lies on the card or image being recovered") +
           (!card.path.empty() ? ", " + card.path : std::string()) +
           ": saving there would overwrite what is still to be recovered; choose a folder on another disk";
}

} // namespace

std::string HVEngine::saveTargetRefusal(const std::string &path)
{
    const size_t slash = path.rfind('/');
    const std::string folder = slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
    struct stat target;
    const bool exists = lstat(path.c_str(), &target) == 0;
    if (exists && !S_ISREG(target.st_mode))
        return std::string("it is ") + file_kind_text(target.st_mode) +
               ", not a file of saved scans; a save never replaces one: name a new FILE";

    if (insideWorkspace(folder))
        return "it lies inside the workspace " + workspace_path_ +
               ", which holds the scans themselves: name a FILE outside it";

    for (const scanned_card &card : scanned_cards())
        if (folder_on_card(folder, card))
            return on_card_text(card);
    if (!exists)
        return "";

    // The media's paths are taken under the list mutex, looked at after.
    std::vector<std::string> media;
    media_for_each([&](Media *m) {
        const char *at = media_path(m);
        if (at != nullptr && at[0] != '\0')
            media.emplace_back(at);
        return true;
    });
    for (uint32_t slot : scx_live_slots())
        if (std::shared_ptr<ScanContext> scan = scx_in_slot(slot))
            media.push_back(scx_saved_media_path(scan.get()));
    for (const std::string &medium : media) {
        struct stat st;
        if (!medium.empty() && stat(medium.c_str(), &st) == 0 && st.st_dev == target.st_dev &&
            st.st_ino == target.st_ino)
            return "it is " + (medium == path ? std::string("the image file") : "the image file " + medium) +
                   " of a card the workspace knows, which the scans were made of: name another FILE";
    }
    if (!far_is_container(path.c_str()))
        return "it is not a file of saved scans (it does not begin as one); a save replaces only an earlier "
               "save: name a new FILE";
    return "";
}

