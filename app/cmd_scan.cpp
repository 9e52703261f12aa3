// `zorvant scan`: the scan of a card, image or medium id, and the report at
// its end (what was found, what could not be read, how far an early stop got).
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>

#include "app/cli.h"
#include "app/cli_internal.h"
#include "app/node_paths.h"
#include "app/workspace_lock.h"
#include "foundation/number_format.h"
#include "scan/fat/fat_scan.h"
#include "scan/scan_driver.h"

namespace zvapp {

namespace {

// --- scan ---------------------------------------------------------------------------------

struct Tally {
    uint64_t files = 0, deleted = 0, bytes = 0;
};

// Files found, by file system and, for the reconstructed files, by category.
std::map<std::string, Tally> tally_found(Session &s, uint64_t scan_keyref)
{
    std::vector<NodeInfo> systems;
    s.engine->children(scan_keyref, &systems);
    std::map<std::string, Tally> tallies;
    for (const NodeInfo &fs : systems) {
        const bool by_category = fs.name == "Reconstructed Files";
        walk_nodes(*s.engine, fs.keyref, "", true, [&](const NodeInfo &node, const std::string &path) {
            if ((node.flags & NODE_FOLDER) != 0)
                return true;
            std::string key = fs.name;
            if (by_category) {
                const size_t slash = path.find('/', 1);
                key += "/" + path.substr(1, slash == std::string::npos ? std::string::npos : slash - 1);
            }
            Tally &t = tallies[key];
            t.files++;
            t.bytes += node.data_size;
            if ((node.flags & NODE_DELETED) != 0)
                t.deleted++;
            return true;
        });
    }
    return tallies;
}

void print_summary(const std::map<std::string, Tally> &tallies)
{
    if (tallies.empty()) {
        std::printf("Nothing was found.\n");
        return;
    }
    std::printf("Found:\n");
    for (const auto &[name, t] : tallies)
        std::printf("  %-32s %8s file%s %12s%s\n", name.c_str(), grouped(t.files).c_str(), t.files == 1 ? " " : "s",
                    size_text(t.bytes).c_str(),
                    t.deleted != 0 ? (" (" + grouped(t.deleted) + " deleted)").c_str() : "");
}

void print_summary(Session &s, uint64_t scan_keyref)
{
    print_summary(tally_found(s, scan_keyref));
}


// A scan met a volume laid out as FAT32 with too few clusters for FAT32
// (the file system named by subject): what that means, in words, and what
// finds the photos on it: a quick scan names the thorough scan to run
// (again), a thorough scan has found them by their content.
std::string fat32_layout_text(const std::string &subject, int type, const std::string &again)
{
    return subject +
           " is laid out as FAT32 but has too few clusters for FAT32, so its layout is not valid FAT32 and its "
           "folders can't be read by name: " +
           (type == SCX_TYPE_QUICK ? "the thorough scan finds the photos by their content; run " + again
                                   : std::string("the photos on it are found by their content only (under "
                                                 "\"Reconstructed Files\")"));
}

// Why a scan failed and what to do about it, in words; the status code and
// error list follow.
std::string scan_failure_text(const HV::CommandResult &r, int type, const std::string &operand)
{
    const std::string again = "`zorvant scan " + operand + "`";
    const std::string target = all_digits(operand) ? "medium " + operand : operand;
    const std::string not_written = "the scan's files could not be written into the workspace (is its disk full?): "
                                    "free some space and scan again";
    std::string text;
    switch (r.status) {
    case SCAN_NO_CONTEXT:
        text = "there is no free scan slot (the workspace holds 15 scans): delete one with `zorvant delete SCAN` and "
               "scan again";
        break;
    case SCAN_NO_MEDIA:
        text = "the medium is not attached: connect the card (or name its image file) and scan again";
        break;
    case SCAN_DETACHED:
        text = "the medium was removed during the scan: put the card back in and scan again";
        break;
    case SCAN_NO_ACCESS:
        text = target + " could not be opened for reading: check that it is still there and that you may read it, "
                        "and scan again";
        break;
    case SCAN_WRITE_FAILED:
    case SCAN_CATALOG_FAILED:
        text = not_written;
        break;
    case SCAN_NO_FILESYSTEM:
        text = type == SCX_TYPE_QUICK
                   ? "no FAT file system was found on " + target +
                         " (exFAT, which cameras write on cards over 32 GB, NTFS and other file systems are not read "
                         "by name): the thorough scan finds the photos by their content; run " +
                         again
                   : "no file system the deleted-file scan can read was found on " + target +
                         ": the thorough scan finds the photos by their content; run " + again;
        break;
    default:
        // A catalog the workspace did not take fails the walk of the file
        // system: the card is not to blame.
        if (has_error_code(r, FAT_ERROR_CATALOG_WRITE))
            text = not_written;
        else if (type == SCX_TYPE_DELETED)
            text = "the file system on " + target +
                   " does not list its deleted files: deleted photos come back through the thorough scan; run " +
                   again;
        else if (type == SCX_TYPE_QUICK && r.status == SCAN_READ_FAILED &&
                 has_error_code(r, FAT_ERROR_FAT32_TOO_FEW_CLUSTERS))
            text = fat32_layout_text("the FAT file system on " + target, type, again);
        else if (type == SCX_TYPE_QUICK && r.status == SCAN_READ_FAILED)
            text = "the FAT file system on " + target +
                   " could not be read (it may be damaged): the thorough scan finds the photos by their content; run " +
                   again;
        else if (type == SCX_TYPE_THOROUGH && r.status == SCAN_READ_FAILED)
            text = target + " could not be read to its end (the image is shorter than it says, or the card failed): "
                            "check the card and its reader, or copy the card to an image, and scan again";
        else
            text = "the scan of " + target + " failed: the engine log ScanEngineLog.txt in the workspace says why";
        break;
    }
    return text + codes(r);
}

// The blocks a scan of the medium shown could not read: how many, and
// where (the first ranges, and where the rest lie), and what to do about
// them, by what the medium is (kind, SCX_KIND_*). A thorough scan read
// them as zeros; a quick scan met them among its file system's folders and
// FAT sectors.
void print_unreadable(const std::string &name, uint32_t kind, int type, const HV::CommandResult &r)
{
    const bool quick = type == SCX_TYPE_QUICK;
    constexpr size_t kShown = 8;
    std::printf("Scan of %s finished, but %s block%s of %u bytes (%s) could not be read%s%s:\n", name.c_str(),
                grouped(r.unreadable_blocks).c_str(), r.unreadable_blocks == 1 ? "" : "s", r.block_size,
                size_text(r.unreadable_blocks * r.block_size).c_str(), quick ? "" : " and ",
                quick ? "" : r.unreadable_blocks == 1 ? "was scanned as zeros" : "were scanned as zeros");
    for (size_t i = 0; i < r.unreadable.size() && i < kShown; i++) {
        const HV::ByteRange &range = r.unreadable[i];
        std::printf("  bytes %s to %s (%s)\n", grouped(range.offset).c_str(),
                    grouped(range.offset + range.length - 1).c_str(), size_text(range.length).c_str());
    }
    if (r.unreadable.size() > kShown) {
        const HV::ByteRange &last = r.unreadable.back();
        const size_t more = r.unreadable.size() - kShown;
        std::printf("  and %s more range%s between bytes %s and %s\n", grouped(more).c_str(), more == 1 ? "" : "s",
                    grouped(r.unreadable[kShown].offset).c_str(), grouped(last.offset + last.length - 1).c_str());
    }
    if (r.unreadable_runs > r.unreadable.size()) {
        const uint64_t unlisted = r.unreadable_runs - r.unreadable.size();
        std::printf("  and %s more range%s, too many to list\n", grouped(unlisted).c_str(), unlisted == 1 ? "" : "s");
    }
    std::printf("%s", quick ? "Folders in these ranges may be listed incompletely, and files listed there may be "
                              "missing or damaged. "
                            : "Files in these ranges may be missing or damaged. ");
    if (kind == SCX_KIND_IMAGE)
        std::printf("The image file is damaged or cut short there: if you still have the card, copy it again and "
                    "scan the new image.\n");
    else if (kind == SCX_KIND_DEVICE)
        std::printf("Try another card reader, or copy the card to an image with a tool that retries bad blocks and "
                    "scan the image.\n");
    else
        std::printf("If it is a card, try another card reader, or copy it to an image with a tool that retries bad "
                    "blocks; if it is an image file, it is damaged or cut short there.\n");
}

// The end of a thorough scan of a card that stopped answering (every read
// from a point on failed, and so did reads further on): where, what of the
// found files is kept, and what to do. files: the files listed.
void print_stopped_answering(const std::string &name, const HV::CommandResult &r, uint64_t files)
{
    const uint64_t at = r.stopped_answering_at;
    const std::string where = "at byte " + grouped(at) + " (" + percent_text(at, r.medium_bytes) + " of the card)";
    if (r.scanned_bytes < r.medium_bytes)
        std::printf("Scan of %s ended early: the card stopped answering %s. Every read from there on failed, also "
                    "reads further on the card, so the rest of it was not scanned.",
                    name.c_str(), where.c_str());
    else
        std::printf("Scan of %s read the whole card, but the card stopped answering %s while the files found were "
                    "measured.",
                    name.c_str(), where.c_str());
    const uint64_t lost = r.unmeasured_files;
    std::string kept;
    if (files != 0)
        kept = " The " + (files == 1 ? std::string("1 file") : grouped(files) + " files") +
               " found before it stopped " + (files == 1 ? "is" : "are") + " kept and listed below.";
    else if (lost == 0)
        kept = " Nothing was found before it stopped.";
    if (lost != 0)
        kept += std::string(files != 0 ? " " + grouped(lost) + " more" : " The " + grouped(lost)) +
                (lost == 1 ? " file" : " files") + " found could not be measured any more and " +
                (lost == 1 ? "is" : "are") + " not listed: scan the card again once it answers to find " +
                (lost == 1 ? "it." : "them.");
    std::printf("%s\n", kept.c_str());
    // Blocks that could not be read before the card stopped: files there may be damaged.
    uint64_t before = 0;
    for (const HV::ByteRange &range : r.unreadable)
        if (range.offset < at)
            before += std::min(range.offset + range.length, at) - range.offset;
    if (before != 0)
        std::printf("Before that, %s of the card could not be read and %s scanned as zeros: files there may be "
                    "damaged.\n",
                    size_text(before).c_str(), before <= r.block_size ? "was" : "were");
    std::printf("Check the card and its reader (take the card out and put it back, or try another reader) and scan "
                "again, or copy the card to an image with a tool that retries bad blocks and scan the image.%s\n",
                files != 0 ? " The files listed can be recovered once the card answers again." : "");
}

// A listed medium named by its id, in words: a card by its device or file
// path (its name when it has none), a partition as "<volume or partition
// name> of <card name>"; *card_path: the device or file path of the card
// that holds it. False when no listed medium has the id.
bool medium_in_words(const std::vector<std::shared_ptr<HV::Disk>> &disks, int32_t id, std::string *words,
                     std::string *card_path)
{
    for (const std::shared_ptr<HV::Disk> &disk : disks) {
        *card_path = disk->path();
        if (disk->id() == id) {
            *words = one_line(disk->path().empty() ? disk->name() : disk->path());
            return true;
        }
        for (size_t i = 0; i < disk->childCount(); i++) {
            const HV::Disk &part = *disk->child(i);
            if (part.id() != id)
                continue;
            const std::string volume = part.volumeName().str();
            *words = one_line((volume.empty() ? part.name() : volume) + " of " + disk->name());
            return true;
        }
    }
    return false;
}

} // namespace

int cmd_scan(Session &s, const Parsed &p)
{
    if (p.operands.size() != 1)
        return usage_error("scan needs one TARGET");
    if (p.options.count("--quick") != 0 && p.options.count("--deleted") != 0)
        return usage_error("--quick and --deleted exclude each other");
    const int type = p.options.count("--quick") != 0     ? SCX_TYPE_QUICK
                     : p.options.count("--deleted") != 0 ? SCX_TYPE_DELETED
                                                         : SCX_TYPE_THOROUGH;
    double stop_after = 0;
    if (p.options.count("--stop-after") != 0) {
        char *end = nullptr;
        stop_after = std::strtod(p.options.at("--stop-after").c_str(), &end);
        if (end == p.options.at("--stop-after").c_str() || *end != '\0' || !(stop_after > 0))
            return usage_error("--stop-after needs a number of seconds above 0");
        if (type != SCX_TYPE_THOROUGH)
            return usage_error("--stop-after ends a thorough scan early; the quick and deleted-file scans can't stop "
                               "early (Ctrl-C aborts them)");
    }
    const std::string &target = p.operands[0];
    uint32_t media_id = 0;
    std::string name = target;
    std::string shown = target; // the medium in words, for the messages
    if (all_digits(target)) {
        media_id = (uint32_t)std::strtoul(target.c_str(), nullptr, 10);
        if (!medium_in_words(s.engine->mediaList(), (int32_t)media_id, &shown, &name))
            return fail("no medium with id " + target + " (see `zorvant list`)");
    } else {
        std::string why;
        name = absolute(target);
        if (s.engine->addMediaPath(name, &media_id, &why) != 0)
            return fail("can't scan " + target + ": " + why);
        shown = name;
    }
    const std::string holding = s.engine->workspaceOnMedium(media_id);
    if (!holding.empty())
        return fail(workspace_on_card_text(s.workspace, holding));
    std::printf("Scanning %s (%s scan)%s\n", shown.c_str(), scan_type_name((uint32_t)type),
                type == SCX_TYPE_THOROUGH ? "; Ctrl-C aborts, Ctrl-\\ stops early keeping what was found" : "");
    std::fflush(stdout);
    if (s.engine->scanMedia(media_id, type) != 0)
        return fail("can't queue the scan");
    const HV::CommandResult r = wait_for(s, HV::Command::Scan, true, stop_after);
    if (r.status == ENGINE_ABORTED || (interrupted() && r.status != 0)) {
        std::printf("Scan aborted; nothing was kept.\n");
        return EXIT_INTERRUPTED;
    }
    if (r.status == SCAN_WRITE_FAILED && r.keyref == 0) {
        const std::string refusal = write_refusal(s.workspace);
        return fail(with_errors("the scan could not be started: the workspace " + s.workspace + " refused its files" +
                                    (refusal.empty() ? "" : " (" + refusal + ")") +
                                    "; make it writable or free some space, then scan again (-3)",
                                r));
    }
    if (r.status == ENGINE_NOT_KEPT) {
        // Whatever the run found is lost: the workspace holds the scan as
        // running, and the next command shows it so.
        const std::string why = r.errnum != 0 ? std::string(std::strerror(r.errnum)) : write_refusal(s.workspace);
        const std::string n = std::to_string(keyref_slot(r.keyref));
        return fail("the scan of " + shown + " ended, but what it found could not be kept in the workspace " +
                    s.workspace + (why.empty() ? "" : " (" + why + ")") +
                    "; it is lost. Make the workspace writable, with room for the scan, then delete scan " + n +
                    " (`zorvant delete " + n + "`) and scan again" + codes(r));
    }
    if (r.status != 0) {
        fail(scan_failure_text(r, type, target));
        if (r.keyref != 0)
            print_summary(s, r.keyref);
        return EXIT_FAILED;
    }
    const std::map<std::string, Tally> found =
        r.keyref != 0 ? tally_found(s, r.keyref) : std::map<std::string, Tally>{};
    if (r.stopped_answering) {
        uint64_t files = 0;
        for (const auto &[fs, t] : found)
            files += t.files;
        print_stopped_answering(shown, r, files);
        if (r.keyref != 0) {
            std::printf("This is scan %u.\n", keyref_slot(r.keyref));
            print_summary(found);
        }
        return interrupted() ? EXIT_INTERRUPTED : EXIT_INCOMPLETE;
    }
    if (r.stopped_early) {
        uint64_t files = 0;
        for (const auto &[fs, t] : found)
            files += t.files;
        const std::string kept = files == 0   ? "nothing was found so far"
                                 : files == 1 ? "1 file found so far is kept"
                                              : grouped(files) + " files found so far are kept";
        std::printf("Scan of %s stopped early at %s of the card (%s of %s scanned); %s. The rest of the card was "
                    "not scanned: scan it again and let it run to the end to find everything.\n",
                    shown.c_str(), percent_text(r.scanned_bytes, r.medium_bytes).c_str(),
                    size_text(r.scanned_bytes).c_str(), size_text(r.medium_bytes).c_str(), kept.c_str());
    }
    // The whole scan's message only for a scan that read the whole card.
    const std::vector<ScanInfo> scans = s.engine->scans();
    const ScanInfo *made = r.keyref != 0 ? scan_in_slot(scans, keyref_slot(r.keyref)) : nullptr;
    if (r.unreadable_blocks != 0)
        print_unreadable(shown, made != nullptr ? made->media_kind : (uint32_t)SCX_KIND_UNKNOWN, type, r);
    else if (!r.stopped_early && r.error_text.empty())
        std::printf("Scan of %s completed with no errors.\n", shown.c_str());
    else if (!r.stopped_early && type != SCX_TYPE_DELETED && has_error_code(r, FAT_ERROR_FAT32_TOO_FEW_CLUSTERS))
        std::printf("Scan of %s completed, but %s %s\n", shown.c_str(),
                    fat32_layout_text("a FAT file system on it", type, "`zorvant scan " + target + "`").c_str(),
                    r.error_text.c_str());
    else if (!r.stopped_early)
        std::printf("Scan of %s completed with some errors, listed in the engine log ScanEngineLog.txt in the "
                    "workspace: %s\n",
                    shown.c_str(), r.error_text.c_str());
    if (r.keyref != 0) {
        std::printf("This is scan %u.\n", keyref_slot(r.keyref));
        print_summary(found);
    }
    if (interrupted())
        return EXIT_INTERRUPTED;
    return r.stopped_early || r.unreadable_blocks != 0 ? EXIT_INCOMPLETE : EXIT_OK;
}

} // namespace zvapp
