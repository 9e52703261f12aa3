// What keeps the workspace apart from the cards it reads and from what is
// written out of it:
// - the workspace must not lie on the card or image a scan or a recovery
//   reads: its catalogs, log and settings would take clusters where deleted
//   files wait to be recovered. The recovery's guard (medium_guard.h) tells
//   it: a mount of the card's image, of a loop device over it, an overlay
//   whose upper folder is on it, a FUSE server holding it. The workspace
//   folder may not exist yet: its nearest existing parent is asked.
// - nothing recovered or saved goes inside the workspace folder: deleting a
//   scan deletes its folder with everything in it. A path is inside it when
//   its real path (its nearest existing parent's, for a path still to be
//   made), or one of the folders above that up to the root, is the
//   workspace folder by device and inode, so neither a link nor ".." nor a
//   bind mount gets around it.
#include <sys/stat.h>

#include <climits>
#include <cstdlib>
#include <string>

#include "engine/engine.h"
#include "scan/recover/medium_guard.h"
#include "storage/media.h"

namespace {

// The real path of path, or of its nearest existing parent; "" when none
// resolves.
std::string real_existing(const std::string &path)
{
    std::string at = path.empty() ? "." : path;
    for (int up = 0; up < PATH_MAX; ++up) {
        char resolved[PATH_MAX];
        if (realpath(at.c_str(), resolved) != nullptr)
            return resolved;
        while (at.size() > 1 && at.back() == '/')
            at.pop_back();
        const size_t slash = at.rfind('/');
        if (at == "/" || at == ".")
            return "";
        at = slash == std::string::npos ? "." : slash == 0 ? "/" : at.substr(0, slash);
    }
    return "";
}

// Whether the folder (a real path) is the folder held by (dev, ino) or lies
// below it.
bool inside(const std::string &folder, dev_t dev, ino_t ino)
{
    std::string at = folder;
    for (;;) {
        struct stat st;
        if (stat(at.c_str(), &st) == 0 && st.st_dev == dev && st.st_ino == ino)
            return true;
        if (at == "/" || at.empty())
            return false;
        const size_t slash = at.rfind('/');
        at = slash == 0 || slash == std::string::npos ? "/" : at.substr(0, slash);
    }
}

// The path of the medium when the workspace lies on it, else "".
std::string holding_path(Media *media, const std::string &workspace)
{
    const char *at = media != nullptr ? media_path(media) : nullptr;
    if (at == nullptr || !medium_guard_holds_path(medium_guard_of(media), workspace))
        return "";
    return at[0] != '\0' ? at : "?";
}

} // namespace

bool HVEngine::insideWorkspace(const std::string &path) const
{
    struct stat workspace;
    const std::string real = real_existing(path);
    return !real.empty() && stat(workspace_path_.c_str(), &workspace) == 0 &&
           inside(real, workspace.st_dev, workspace.st_ino);
}

std::string HVEngine::workspaceOnMedium(uint32_t media_id)
{
    return holding_path(media_find_attached_by_id(media_id), workspace_path_);
}

std::string HVEngine::workspaceOnScanMedium(uint64_t scan_keyref)
{
    std::shared_ptr<ScanContext> scan = scx_from_keyref(keyref_scan(keyref_slot(scan_keyref)));
    if (scan == nullptr)
        return "";
    if (Media *media = scx_media(scan.get()))
        return holding_path(media, workspace_path_);
    // Not attached (another card in its place, or this one written to
    // since, as a workspace kept on it writes it): what is at the path it
    // was scanned from is still the card in that reader.
    const std::string saved = scx_saved_media_path(scan.get());
    return !saved.empty() && medium_guard_holds_path(medium_guard_of_path(saved.c_str()), workspace_path_) ? saved
                                                                                                            : "";
}

bool HVEngine::folderOnMediumPath(const std::string &folder, const std::string &medium)
{
    return medium_guard_holds_path(medium_guard_of_path(medium.c_str()), folder) ||
           medium_guard_probe_on_path(folder, medium.c_str());
}
