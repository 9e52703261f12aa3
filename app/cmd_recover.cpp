// `zorvant recover`: the ticked files of a scan, or the files named, copied
// into a folder, and the report of every file not recovered whole.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>

#include "app/cli.h"
#include "app/cli_internal.h"
#include "app/node_paths.h"
#include "foundation/sysutil.h"
#include "scan/recover/recover.h"

namespace zvapp {

namespace {

// --- recover --------------------------------------------------------------------------------

// The folder named for the card, made safe as every name the recovery
// writes ("/" and control characters of the card's name become "_").
std::string recovery_folder(const std::string &dir, const ScanInfo &scan)
{
    return dir + "/" + recover_safe_name(std::string("Recovered Files from ") + scan.media_name);
}

std::string system_text(int errnum)
{
    return std::strerror(errnum);
}

// What a note says about its file, after "PATH: ".
std::string note_text(const HV::RecoveryNote &n)
{
    if (n.host)
        return "could not be written to " + n.path + ": " + system_text(n.errnum);
    const std::string cause = n.errnum != 0 ? " (" + system_text(n.errnum) + ")" : " (its data on the card ends early)";
    if (n.path.empty())
        return "could not be read from the card" + cause + "; nothing of it was kept";
    return "kept as " + n.path + ", " + grouped(n.missing) + " of its " + grouped(n.size) +
           " bytes could not be read from the card and are missing or zeros" + cause;
}

// "not recovered whole" for a file kept incomplete, else "not recovered".
const char *note_verdict(const HV::RecoveryNote &n)
{
    return !n.host && !n.path.empty() ? "not recovered whole" : "not recovered";
}

// Why a recovery did not recover everything and what to do, in words; the
// status and the error list follow in parentheses.
std::string recovery_trouble(const HV::CommandResult &r, const ScanInfo &scan, bool damaged_catalog = false)
{
    const HV::RecoveryNote *host = nullptr;
    size_t unreadable = 0, kept = 0;
    for (const HV::RecoveryNote &n : r.notes) {
        if (n.host && host == nullptr)
            host = &n;
        unreadable += n.host ? 0 : 1;
        kept += !n.host && !n.path.empty() ? 1 : 0;
    }
    const bool one = unreadable == 1;
    std::string why;
    if (r.status == RECOVER_TARGET_ON_MEDIUM)
        why = "the target folder lies on the card being recovered" +
              // A folder inside the target that is a mount of the card.
              (host != nullptr && !host->path.empty() ? " (" + host->path + " in it is a mount of the card)"
                                                      : std::string()) +
              ", and writing there would overwrite the files being recovered; choose a folder on another disk "
              "with --to";
    else if (r.status == RECOVER_NO_MEDIA && scan.other_medium != 0)
        why = "the scan's card or image is not attached: the one in its place now is not the one scanned (another "
              "card, or this one written to since); name the right image file with `zorvant attach PATH`, plug the "
              "right card in, or scan this one again";
    else if (r.status == RECOVER_NO_MEDIA)
        why = "the scan's card or image is not attached: plug the card in, or name where its image file is now with "
              "`zorvant attach PATH`, and run the recovery again";
    else if (r.status == RECOVER_DETACHED)
        why = "the card went away during the recovery; attach it again and run the recovery again";
    else if (r.status == RECOVER_STOPPED_ANSWERING && r.stopped_answering)
        why = "the card " + one_line(scan.media_name) + " stopped answering at byte " +
              grouped(r.stopped_answering_at) + " (" + percent_text(r.stopped_answering_at, r.medium_bytes) +
              " of the card): every read from there on failed, also reads further on the card, so the recovery "
              "stopped there; what was recovered is kept, and the files not recovered stay ticked. Check the card "
              "and its reader (take the card out and put it back, or try another reader) and run the recovery "
              "again, or copy the card to an image with a tool that retries bad blocks and recover from the image";
    else if (damaged_catalog && host == nullptr && unreadable == 0)
        why = "a found file system has a damaged catalog; scan the card again";
    else if (host != nullptr)
        why = "the target could not be written: " + host->path + ": " + system_text(host->errnum) +
              "; choose a folder you can write to with --to (or make room there) and run the recovery again";
    else if (r.status == RECOVER_WRITE_FAILED)
        why = "the target folder could not be written (disk full?); make room there or choose another folder "
              "with --to";
    else if (unreadable > 0 || r.status == RECOVER_INCOMPLETE || r.status == RECOVER_BEYOND_MEDIUM)
        why = std::string(one ? "a file" : "some files") + " could not be read whole from the card" +
              (kept == 0 ? ""
               : one     ? "; what could be read of it is kept under a name ending in \".incomplete\""
                         : "; what could be read of them is kept under names ending in \".incomplete\"") +
              (scan.media_kind == SCX_KIND_IMAGE
                   ? ". The image file is damaged or cut short there: if you still have the card, copy it again "
                     "and recover from the new image"
               : scan.media_kind == SCX_KIND_DEVICE
                   ? ". Try another card reader, or copy the card to an image file with a tool that retries bad "
                     "sectors and recover from the image"
                   : ". If it is a card, try another card reader or copy it to an image file with a tool that "
                     "retries bad sectors; if it is an image file, it is damaged or cut short there");
    else if (r.status == RECOVER_NO_FREE_NAME)
        why = "no free name was left in the target folder; choose an empty folder with --to";
    else
        why = "some files could not be recovered; the workspace's ScanEngineLog.txt tells why";
    return why + codes(r);
}

// The message for a scan whose card or image is not attached.
std::string not_attached_text(const ScanInfo &scan)
{
    HV::CommandResult none;
    none.status = RECOVER_NO_MEDIA;
    return recovery_trouble(none, scan);
}

} // namespace

int cmd_recover(Session &s, const Parsed &p)
{
    if (p.options.count("--to") == 0)
        return usage_error("recover needs --to DIR");
    const std::string dir = absolute(p.options.at("--to"));
    if (s.engine->insideWorkspace(dir))
        return fail("can't recover into " + dir + ": it lies inside the workspace " + s.workspace +
                    ", which holds the scans (deleting a scan deletes everything in its folder): choose a folder "
                    "outside it with --to");
    std::vector<std::string> paths = p.operands;
    const std::vector<ScanInfo> scans = s.engine->scans();
    if (scans.empty())
        return fail("there are no scans; run `zorvant scan` first");
    const ScanInfo *scan = &scans.front();
    if (!paths.empty() && all_digits(paths[0])) {
        const uint32_t slot = (uint32_t)std::strtoul(paths[0].c_str(), nullptr, 10);
        scan = nullptr;
        for (const ScanInfo &one : scans)
            if (one.slot == slot)
                scan = &one;
        if (scan == nullptr)
            return fail("there is no scan " + paths[0]);
        paths.erase(paths.begin());
    } else if (paths.empty() && scans.size() > 1) {
        return usage_error("several scans exist: name the SCAN to recover from");
    }
    if (paths.empty()) {
        const std::string holding = s.engine->workspaceOnScanMedium(scan->keyref);
        if (!holding.empty())
            return fail(workspace_on_card_text(s.workspace, holding));
        const std::string unfinished = unfinished_text(s, scan->slot);
        if (!unfinished.empty())
            return fail(unfinished);
    }
    int failures = 0;
    if (!paths.empty()) {
        for (const std::string &path : paths) {
            uint64_t keyref = 0;
            std::string why;
            NodeInfo self;
            if (resolve_path(*s.engine, path, &keyref, &why) && (why = unfinished_text(s, keyref_slot(keyref))).empty() &&
                s.engine->nodeInfo(keyref, &self) == 0 && (self.flags & NODE_DAMAGED_CATALOG) != 0)
                why = "damaged catalog: " + damaged_catalog_text(*s.engine, keyref);
            if (!why.empty()) {
                std::fprintf(stderr, "zorvant: not recovered: %s: %s\n", path.c_str(), why.c_str());
                failures++;
                continue;
            }
            // A path names its own scan: its files go into the folder of that scan's card.
            const ScanInfo *own = scan;
            for (const ScanInfo &one : scans)
                if (one.slot == keyref_slot(keyref))
                    own = &one;
            const std::string holding = s.engine->workspaceOnScanMedium(own->keyref);
            if (!holding.empty())
                return fail(workspace_on_card_text(s.workspace, holding));
            if (own->media_status != SCX_MEDIA_ATTACHED) {
                std::fprintf(stderr, "zorvant: not recovered: %s: %s\n", path.c_str(), not_attached_text(*own).c_str());
                failures++;
                continue;
            }
            // "Recovering into" the folder really made comes once it is open.
            const std::string target = recovery_folder(dir, *own);
            if (s.engine->recoverNode(keyref, target) != 0)
                return fail("can't queue the recovery");
            const HV::CommandResult r = wait_for(s, HV::Command::RecoverNode, true);
            if (r.status == ENGINE_ABORTED || interrupted()) {
                std::printf("Recovery aborted.\n");
                return EXIT_INTERRUPTED;
            }
            if (r.status != 0) {
                bool noted = false;
                for (const HV::RecoveryNote &n : r.notes)
                    if (n.keyref != 0) {
                        std::fprintf(stderr, "zorvant: %s: %s%s: %s\n", note_verdict(n), path.c_str(),
                                     n.keyref == keyref ? "" : " (a file below it)", note_text(n).c_str());
                        noted = true;
                    }
                std::fprintf(stderr, "zorvant: %s%s: %s\n", noted ? "" : "not recovered: ", path.c_str(),
                             recovery_trouble(r, *own).c_str());
                failures++;
            } else {
                std::printf("%s -> %s\n", path.c_str(), r.path.c_str());
            }
        }
        return failures == 0 ? EXIT_OK : EXIT_FAILED;
    }
    // Nothing ticked: no recovery to run (its "Recovered 0 files" would pass
    // for a success). The ticks of a file system with a damaged catalog are
    // unknown: the recovery runs and then fails naming it.
    std::vector<NodeInfo> systems;
    s.engine->children(scan->keyref, &systems);
    bool ticked = false;
    for (const NodeInfo &fs : systems)
        ticked = ticked || (fs.flags & (NODE_SELECTION_MASK | NODE_DAMAGED_CATALOG)) != 0;
    if (!ticked)
        return fail("nothing is ticked in scan " + std::to_string(scan->slot) + ": tick files with `zorvant select " +
                    std::to_string(scan->slot) + "` (or a path below it), or name the files to recover");
    // Nothing can be read of a medium that is not attached: that alone is said.
    if (scan->media_status != SCX_MEDIA_ATTACHED)
        return fail("nothing recovered: " + not_attached_text(*scan));
    const std::string target = recovery_folder(dir, *scan);
    if (s.engine->recoverMarked(scan->keyref, target) != 0)
        return fail("can't queue the recovery");
    const HV::CommandResult r = wait_for(s, HV::Command::RecoverMarked, true);
    if (r.status == ENGINE_ABORTED || interrupted()) {
        std::printf("Recovery aborted after %s file%s.\n", grouped(r.files).c_str(), r.files == 1 ? "" : "s");
        return EXIT_INTERRUPTED;
    }
    std::map<uint64_t, const HV::RecoveryNote *> notes;
    for (const HV::RecoveryNote &n : r.notes)
        notes.emplace(n.keyref, &n);
    // The target itself refused, or the recovery refused before its first
    // file (the target on the card, the card not attached): no file was
    // tried, one message says why.
    const bool target_refused =
        notes.count(0) != 0 || (r.files == 0 && (r.status == RECOVER_TARGET_ON_MEDIUM || r.status == RECOVER_NO_MEDIA));
    if (!target_refused || r.files != 0)
        std::printf("Recovered %s file%s (%s).\n", grouped(r.files).c_str(), r.files == 1 ? "" : "s",
                    size_text(r.bytes).c_str());
    // Each recovered file loses its tick, saved in the workspace (nothing
    // recovered: no tick changed, nothing to keep).
    const int refused = r.files != 0 ? s.engine->saveSelection(scan->keyref) : 0;
    if (refused != 0)
        fail("the workspace " + s.workspace + " refused to keep which files were recovered (" +
             ZV::errorString(refused).str() + "): they stay ticked");
    // The ticked files of a file system whose catalog is damaged can't be
    // found: the recovery of the others is done, and it fails naming those.
    const std::vector<std::pair<NodeInfo, std::string>> damaged = damaged_file_systems(*s.engine, scan->keyref);
    if (r.status == 0 && damaged.empty())
        return refused == 0 ? EXIT_OK : EXIT_FAILED;
    // What keeps its tick was not recovered; a file kept incomplete says
    // where and what it misses.
    if (!target_refused)
        walk_nodes(*s.engine, scan->keyref, std::to_string(scan->slot), true,
                   [&](const NodeInfo &node, const std::string &path) {
                       if ((node.flags & NODE_FOLDER) == 0 && (node.flags & NODE_SELECTION_MASK) != 0) {
                           const auto n = notes.find(node.keyref);
                           if (n != notes.end())
                               std::fprintf(stderr, "zorvant: %s: %s: %s\n", note_verdict(*n->second), path.c_str(),
                                            note_text(*n->second).c_str());
                           else
                               std::fprintf(stderr, "zorvant: not recovered: %s\n", path.c_str());
                           failures++;
                       }
                       return true;
                   });
    for (const auto &[fs, fs_path] : damaged)
        std::fprintf(stderr, "zorvant: not recovered: %s: damaged catalog: %s\n", fs_path.c_str(),
                     damaged_catalog_text(*s.engine, fs.keyref).c_str());
    return fail((r.files == 0 ? "nothing recovered: " : "recovery incomplete: ") + recovery_trouble(r, *scan, !damaged.empty()));
}

} // namespace zvapp
