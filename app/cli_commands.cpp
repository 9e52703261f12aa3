// The subcommands. Each talks to the engine only through HVEngine: queued
// operations are waited for with their progress shown, short requests run
// at once.
#include <fnmatch.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <map>
#include <set>

#include "app/cli.h"
#include "app/front_end.h"
#include "app/node_paths.h"
#include "app/workspace_lock.h"
#include "foundation/number_format.h"
#include "foundation/paths.h"
#include "foundation/sysutil.h"
#include "foundation/workspace.h"

namespace zvapp {

namespace {

constexpr const char *kApplicationName = "Zorvant";

struct Session {
    std::shared_ptr<Callbacks> callbacks;
    std::shared_ptr<HVEngine> engine;
    std::string workspace; // the workspace folder
};

int fail(const std::string &message)
{
    std::fprintf(stderr, "zorvant: %s\n", message.c_str());
    return EXIT_FAILED;
}

std::string with_errors(const std::string &text, const HV::CommandResult &result)
{
    return result.error_text.empty() ? text : text + " " + result.error_text;
}

std::string absolute(const std::string &path)
{
    std::error_code ec;
    return std::filesystem::absolute(path, ec).lexically_normal().string();
}

bool all_digits(const std::string &text)
{
    if (text.empty() || text.size() > 9)
        return false;
    for (char c : text)
        if (c < '0' || c > '9')
            return false;
    return true;
}

const char *scan_type_name(uint32_t type)
{
    return type == SCX_TYPE_QUICK ? "quick" : type == SCX_TYPE_DELETED ? "deleted" : "thorough";
}

const char *scan_state_name(const ScanInfo &scan)
{
    if (scan.scan_state == SCX_STATE_RUNNING)
        return "unfinished";
    if (scan.scan_state == SCX_STATE_ABORTED)
        return "ended early";
    return scan.media_status == SCX_MEDIA_ATTACHED ? "done" : "done, medium not attached";
}

// A scan whose run never finished (its process was killed or lost its
// terminal): nothing of it can be ticked or recovered. The message for it,
// or "" for a scan that finished (or no scan).
std::string unfinished_text(Session &s, uint32_t slot)
{
    for (const ScanInfo &scan : s.engine->scans())
        if (scan.slot == slot && scan.scan_state == SCX_STATE_RUNNING)
            return "scan " + std::to_string(slot) +
                   " never finished (its run was stopped before the end) and holds nothing to tick or "
                   "recover: delete it (`zorvant delete " +
                   std::to_string(slot) + "`) and scan again";
    return "";
}

std::string date_text(int64_t seconds)
{
    if (seconds <= 0)
        return "-               ";
    const time_t t = (time_t)seconds;
    struct tm local;
    if (localtime_r(&t, &local) == nullptr)
        return "-               ";
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%d %H:%M", &local);
    return text;
}

std::string node_line(const NodeInfo &node, const std::string &path)
{
    const uint32_t sel = node.flags & NODE_SELECTION_MASK;
    const char *mark = sel == 1 ? "[x]" : sel == 2 ? "[-]" : "[ ]";
    const bool folder = (node.flags & NODE_FOLDER) != 0;
    const std::string size = (node.flags & NODE_DAMAGED_CATALOG) != 0 ? "damaged catalog"
                             : folder ? std::to_string(node.child_count) + " items"
                                      : size_text(node.data_size);
    char line[96];
    std::snprintf(line, sizeof line, "%s %c%c %12s  %s  ", mark, folder ? 'd' : '-',
                  (node.flags & NODE_DELETED) != 0 ? 'D' : ' ', size.c_str(), date_text(node.date_modified).c_str());
    return line + path;
}

// Splits the arguments of a subcommand into options (with their values)
// and operands; false with a usage error for an unknown option.
struct Parsed {
    std::map<std::string, std::string> options;
    std::vector<std::string> operands;
};

bool parse(const std::vector<std::string> &args, const std::set<std::string> &flags,
           const std::set<std::string> &with_value, Parsed *out, std::string *error)
{
    bool operands_only = false;
    for (size_t i = 1; i < args.size(); i++) {
        const std::string &a = args[i];
        if (operands_only || a.empty() || a[0] != '-' || a == "-") {
            out->operands.push_back(a);
            continue;
        }
        if (a == "--") {
            operands_only = true;
            continue;
        }
        const size_t eq = a.find('=');
        const std::string name = a.substr(0, eq);
        if (flags.count(name) != 0 && eq == std::string::npos) {
            out->options[name] = "1";
        } else if (with_value.count(name) != 0) {
            if (eq != std::string::npos) {
                out->options[name] = a.substr(eq + 1);
            } else if (i + 1 < args.size()) {
                out->options[name] = args[++i];
            } else {
                *error = name + " needs a value";
                return false;
            }
        } else {
            *error = "unknown option " + a + " for " + args[0];
            return false;
        }
    }
    return true;
}

// Waits for the queued operation of the kind command.
HV::CommandResult wait_for(Session &s, HV::Command command, bool progress, double stop_after = 0)
{
    return s.callbacks->wait(*s.engine, command, progress, stop_after);
}

// --- list ---------------------------------------------------------------------------------

void print_disk(const HV::Disk &disk, int indent)
{
    if (disk.id() < 0)
        return; // its medium could not be attached
    const std::string where = disk.path().empty() ? disk.name() : disk.path();
    std::printf("%*s%-4d %-28s %10s  %-7s %s\n", indent, "", disk.id(), where.c_str(),
                size_text((uint64_t)disk.size()).c_str(), disk.typeString().c_str(), disk.name().c_str());
    for (size_t i = 0; i < disk.childCount(); i++)
        print_disk(*disk.child(i), indent + 2);
}

void print_scans(Session &s)
{
    const std::vector<ScanInfo> scans = s.engine->scans();
    if (scans.empty()) {
        std::printf("No scans in the workspace.\n");
        return;
    }
    std::printf("Scans:\n");
    for (const ScanInfo &scan : scans)
        std::printf("  %-3u %-9s %-26s %s  %s\n", scan.slot, scan_type_name(scan.scan_type), scan_state_name(scan),
                    date_text(scan.start_seconds).c_str(), scan.media_name);
}

int cmd_list(Session &s, const Parsed &)
{
    const std::vector<std::shared_ptr<HV::Disk>> disks = s.engine->mediaList();
    if (disks.empty())
        std::printf("No cards or image files known yet: name a device or an image file to `zorvant scan`.\n");
    else
        std::printf("Media (id, device or file, size, file system or partition map, name; partitions indented):\n");
    for (const std::shared_ptr<HV::Disk> &disk : disks)
        print_disk(*disk, 2);
    print_scans(s);
    return EXIT_OK;
}

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
        std::printf("  %-32s %8llu files  %12s%s\n", name.c_str(), (unsigned long long)t.files,
                    size_text(t.bytes).c_str(),
                    t.deleted != 0 ? (" (" + std::to_string(t.deleted) + " deleted)").c_str() : "");
}

void print_summary(Session &s, uint64_t scan_keyref)
{
    print_summary(tally_found(s, scan_keyref));
}

// The status code of an operation and its error-list text, for the end of a
// message: " (-1)", " (-1 [521])".
std::string codes(const HV::CommandResult &result)
{
    return " (" + std::to_string(result.status) + (result.error_text.empty() ? "" : " " + result.error_text) + ")";
}

std::string grouped(uint64_t value)
{
    return ZV::NumberFormatter::integerString(value);
}

std::string percent_text(uint64_t part, uint64_t whole)
{
    if (whole == 0)
        return "0%";
    return ZV::NumberFormatter::decimalString(100.0 * (double)part / (double)whole, 1) + "%";
}

// Why a scan failed and what to do about it, in words; the status code and
// error list follow.
std::string scan_failure_text(const HV::CommandResult &r, int type, const std::string &operand)
{
    const std::string again = "`zorvant scan " + operand + "`";
    const std::string target = all_digits(operand) ? "medium " + operand : operand;
    std::string text;
    switch (r.status) {
    case -39:
        text = "there is no free scan slot (the workspace holds 15 scans): delete one with `zorvant delete SCAN` and "
               "scan again";
        break;
    case -7:
        text = "the medium is not attached: connect the card (or name its image file) and scan again";
        break;
    case -30:
        text = "the medium was removed during the scan: put the card back in and scan again";
        break;
    case -4:
        text = target + " could not be opened for reading: check that it is still there and that you may read it, "
                        "and scan again";
        break;
    case -3:
    case -40:
        text = "the scan's files could not be written into the workspace (is its disk full?): free some space and "
               "scan again";
        break;
    case -38:
        text = type == SCX_TYPE_QUICK
                   ? "no FAT file system was found on " + target +
                         " (exFAT, which cameras write on cards over 32 GB, NTFS and other file systems are not read "
                         "by name): the thorough scan finds the photos by their content; run " +
                         again
                   : "no file system the deleted-file scan can read was found on " + target +
                         ": the thorough scan finds the photos by their content; run " + again;
        break;
    default:
        if (type == SCX_TYPE_DELETED)
            text = "the file system on " + target +
                   " does not list its deleted files: deleted photos come back through the thorough scan; run " +
                   again;
        else if (type == SCX_TYPE_QUICK && r.status == -1)
            text = "the FAT file system on " + target +
                   " could not be read (it may be damaged): the thorough scan finds the photos by their content; run " +
                   again;
        else if (type == SCX_TYPE_THOROUGH && r.status == -1)
            text = target + " could not be read to its end (the image is shorter than it says, or the card failed): "
                            "check the card and its reader, or copy the card to an image, and scan again";
        else
            text = "the scan of " + target + " failed: the engine log ScanEngineLog.txt in the workspace says why";
        break;
    }
    return text + codes(r);
}

// The blocks a scan of the medium shown (on the card at path) could not
// read: how many, and where (the first ranges, and where the rest lie), and
// what to do about them.
void print_unreadable(const std::string &name, const std::string &path, const HV::CommandResult &r)
{
    std::error_code ec;
    const bool image = std::filesystem::is_regular_file(path, ec);
    constexpr size_t kShown = 8;
    std::printf("Scan of %s finished, but %s block%s of %u bytes (%s) could not be read and %s scanned as zeros:\n",
                name.c_str(), grouped(r.unreadable_blocks).c_str(), r.unreadable_blocks == 1 ? "" : "s",
                r.block_size, size_text(r.unreadable_blocks * r.block_size).c_str(),
                r.unreadable_blocks == 1 ? "was" : "were");
    for (size_t i = 0; i < r.unreadable.size() && i < kShown; i++) {
        const HV::ByteRange &range = r.unreadable[i];
        std::printf("  bytes %s to %s (%s)\n", grouped(range.offset).c_str(),
                    grouped(range.offset + range.length - 1).c_str(), size_text(range.length).c_str());
    }
    if (r.unreadable.size() > kShown) {
        const HV::ByteRange &last = r.unreadable.back();
        std::printf("  and %s more ranges between bytes %s and %s\n", grouped(r.unreadable.size() - kShown).c_str(),
                    grouped(r.unreadable[kShown].offset).c_str(), grouped(last.offset + last.length - 1).c_str());
    }
    if (r.unreadable_runs > r.unreadable.size())
        std::printf("  and %s more ranges, too many to list\n", grouped(r.unreadable_runs - r.unreadable.size()).c_str());
    if (image)
        std::printf("Files in these ranges may be missing or damaged. The image file is damaged or cut short there: "
                    "if you still have the card, copy it again and scan the new image.\n");
    else
        std::printf("Files in these ranges may be missing or damaged. Try another card reader, or copy the card to "
                    "an image with a tool that retries bad blocks and scan the image.\n");
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
            *words = disk->path().empty() ? disk->name() : disk->path();
            return true;
        }
        for (size_t i = 0; i < disk->childCount(); i++) {
            const HV::Disk &part = *disk->child(i);
            if (part.id() != id)
                continue;
            const std::string volume = part.volumeName().str();
            *words = (volume.empty() ? part.name() : volume) + " of " + disk->name();
            return true;
        }
    }
    return false;
}

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
    if (r.status == -3 && r.keyref == 0) {
        const std::string refusal = write_refusal(s.workspace);
        return fail(with_errors("the scan could not be started: the workspace " + s.workspace + " refused its files" +
                                    (refusal.empty() ? "" : " (" + refusal + ")") +
                                    "; make it writable or free some space, then scan again (-3)",
                                r));
    }
    if (r.status != 0) {
        fail(scan_failure_text(r, type, target));
        if (r.keyref != 0)
            print_summary(s, r.keyref);
        return EXIT_FAILED;
    }
    const std::map<std::string, Tally> found =
        r.keyref != 0 ? tally_found(s, r.keyref) : std::map<std::string, Tally>{};
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
    if (r.unreadable_blocks != 0)
        print_unreadable(shown, name, r);
    else if (!r.stopped_early && r.error_text.empty())
        std::printf("Scan of %s completed with no errors.\n", shown.c_str());
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

// --- ls, select ---------------------------------------------------------------------------

int cmd_ls(Session &s, const Parsed &p)
{
    if (p.operands.size() > 1)
        return usage_error("ls takes at most one PATH");
    const bool recursive = p.options.count("-r") != 0 || p.options.count("--recursive") != 0;
    if (p.operands.empty()) {
        print_scans(s);
        for (const ScanInfo &scan : s.engine->scans())
            walk_nodes(*s.engine, scan.keyref, std::to_string(scan.slot), recursive,
                       [](const NodeInfo &node, const std::string &path) {
                           std::printf("%s\n", node_line(node, path).c_str());
                           return true;
                       });
        return EXIT_OK;
    }
    uint64_t keyref = 0;
    std::string why;
    std::string prefix = p.operands[0];
    while (prefix.size() > 1 && prefix.back() == '/')
        prefix.pop_back();
    if (!resolve_path(*s.engine, prefix, &keyref, &why))
        return fail(p.operands[0] + ": " + why);
    NodeInfo self;
    const bool known = s.engine->nodeInfo(keyref, &self) == 0;
    if (known && (self.flags & NODE_DAMAGED_CATALOG) != 0)
        return fail(prefix + ": damaged catalog: " + damaged_catalog_text(*s.engine, keyref));
    if (known && (self.flags & NODE_FOLDER) == 0 && !keyref_is_scan(keyref)) {
        std::printf("%s\n", node_line(self, prefix).c_str());
        return EXIT_OK;
    }
    walk_nodes(*s.engine, keyref, prefix, recursive, [](const NodeInfo &node, const std::string &path) {
        std::printf("%s\n", node_line(node, path).c_str());
        return true;
    });
    return EXIT_OK;
}

int cmd_select(Session &s, const Parsed &p)
{
    if (p.operands.empty())
        return usage_error("select needs at least one PATH");
    const bool value = p.options.count("--none") == 0;
    const std::string pattern = p.options.count("--pattern") != 0 ? p.options.at("--pattern") : "";
    int changed = 0;
    bool damaged_left = false;
    for (const std::string &path : p.operands) {
        uint64_t keyref = 0;
        std::string why;
        if (!resolve_path(*s.engine, path, &keyref, &why))
            return fail(path + ": " + why);
        const std::string unfinished = unfinished_text(s, keyref_slot(keyref));
        if (!unfinished.empty())
            return fail(unfinished);
        NodeInfo self;
        if (s.engine->nodeInfo(keyref, &self) == 0 && (self.flags & NODE_DAMAGED_CATALOG) != 0)
            return fail(path + ": damaged catalog: " + damaged_catalog_text(*s.engine, keyref));
        // A scan's file systems with a damaged catalog keep their ticks; the
        // others change, and the command then fails naming those.
        const std::vector<std::pair<NodeInfo, std::string>> damaged =
            keyref_is_scan(keyref) ? damaged_file_systems(*s.engine, keyref)
                                   : std::vector<std::pair<NodeInfo, std::string>>();
        for (const auto &[fs, fs_path] : damaged) {
            std::fprintf(stderr, "zorvant: not %s: %s: damaged catalog: %s\n", value ? "ticked" : "unticked",
                         fs_path.c_str(), damaged_catalog_text(*s.engine, fs.keyref).c_str());
            damaged_left = true;
        }
        if (pattern.empty()) {
            const int rc = s.engine->selectNode(keyref, value);
            if (rc != 0 && damaged.empty())
                return fail("can't change the ticks of " + path);
            std::vector<NodeInfo> systems;
            if (rc == 0 || (s.engine->children(keyref, &systems) == 0 && systems.size() > damaged.size()))
                changed++; // the scan's sound file systems changed
            continue;
        }
        std::vector<uint64_t> matches;
        walk_nodes(*s.engine, keyref, "", true, [&](const NodeInfo &node, const std::string &) {
            if ((node.flags & NODE_FOLDER) == 0 && fnmatch(pattern.c_str(), node.name.c_str(), 0) == 0)
                matches.push_back(node.keyref);
            return true;
        });
        for (uint64_t match : matches) {
            if (s.engine->selectNode(match, value) != 0)
                return fail("can't change the ticks below " + path);
            changed++;
        }
    }
    // The ticks are saved in the background; whether the workspace took
    // them is known only once they are saved.
    std::set<uint32_t> slots;
    for (const std::string &path : p.operands) {
        uint64_t keyref = 0;
        std::string why;
        if (resolve_path(*s.engine, path, &keyref, &why))
            slots.insert(keyref_slot(keyref));
    }
    for (uint32_t slot : slots) {
        const int refused = s.engine->saveSelection(keyref_scan(slot));
        if (refused != 0)
            return fail("the ticks of scan " + std::to_string(slot) + " could not be saved in the workspace " +
                        s.workspace + ": " + ZV::errorString(refused).str() +
                        "; nothing was changed (make the workspace writable, then tick again)");
    }
    std::printf("%s %d item%s.\n", value ? "Ticked" : "Unticked", changed, changed == 1 ? "" : "s");
    return damaged_left ? EXIT_FAILED : EXIT_OK;
}

// --- recover --------------------------------------------------------------------------------

std::string recovery_folder(const std::string &dir, const ScanInfo &scan)
{
    std::string card = scan.media_name;
    for (char &c : card)
        if (c == '/')
            c = '_';
    return dir + "/Recovered Files from " + card;
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
std::string recovery_trouble(const HV::CommandResult &r, bool damaged_catalog = false)
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
    if (r.status == -12)
        why = "the target folder lies on the card being recovered, and writing there would overwrite the files "
              "being recovered; choose a folder on another disk with --to";
    else if (r.status == -7)
        why = "the scan's card is not attached; attach it and run the recovery again";
    else if (r.status == -30)
        why = "the card went away during the recovery; attach it again and run the recovery again";
    else if (damaged_catalog && host == nullptr && unreadable == 0)
        why = "a found file system has a damaged catalog; scan the card again";
    else if (host != nullptr)
        why = "the target could not be written: " + host->path + ": " + system_text(host->errnum) +
              "; choose a folder you can write to with --to (or make room there) and run the recovery again";
    else if (r.status == -3)
        why = "the target folder could not be written (disk full?); make room there or choose another folder "
              "with --to";
    else if (unreadable > 0 || r.status == -34 || r.status == -18)
        why = std::string(one ? "a file" : "some files") + " could not be read whole from the card" +
              (kept == 0 ? ""
               : one     ? "; what could be read of it is kept under a name ending in \".incomplete\""
                         : "; what could be read of them is kept under names ending in \".incomplete\"") +
              ". Try another card reader, or copy the card to an image file with a tool that retries bad "
              "sectors and recover from the image";
    else if (r.status == -37)
        why = "no free name was left in the target folder; choose an empty folder with --to";
    else
        why = "some files could not be recovered; the workspace's ScanEngineLog.txt tells why";
    return why + " (" + std::to_string(r.status) + (r.error_text.empty() ? "" : " " + r.error_text) + ")";
}

int cmd_recover(Session &s, const Parsed &p)
{
    if (p.options.count("--to") == 0)
        return usage_error("recover needs --to DIR");
    const std::string dir = absolute(p.options.at("--to"));
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
    if (paths.empty() && !unfinished_text(s, scan->slot).empty())
        return fail(unfinished_text(s, scan->slot));
    int failures = 0;
    if (!paths.empty()) {
        std::string shown;
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
            const std::string target = recovery_folder(dir, *own);
            if (target != shown) {
                std::printf("Recovering into %s\n", target.c_str());
                std::fflush(stdout);
                shown = target;
            }
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
                             recovery_trouble(r).c_str());
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
    const std::string target = recovery_folder(dir, *scan);
    std::printf("Recovering into %s\n", target.c_str());
    std::fflush(stdout);
    if (s.engine->recoverMarked(scan->keyref, target) != 0)
        return fail("can't queue the recovery");
    const HV::CommandResult r = wait_for(s, HV::Command::RecoverMarked, true);
    if (r.status == ENGINE_ABORTED || interrupted()) {
        std::printf("Recovery aborted after %llu file%s.\n", (unsigned long long)r.files, r.files == 1 ? "" : "s");
        return EXIT_INTERRUPTED;
    }
    std::printf("Recovered %llu file%s (%s).\n", (unsigned long long)r.files, r.files == 1 ? "" : "s",
                size_text(r.bytes).c_str());
    // Each recovered file loses its tick, saved in the workspace.
    const int refused = s.engine->saveSelection(scan->keyref);
    if (refused != 0)
        fail("the workspace " + s.workspace + " refused to keep which files were recovered (" +
             ZV::errorString(refused).str() + "): they stay ticked");
    // The ticked files of a file system whose catalog is damaged can't be
    // found: the recovery of the others is done, and it fails naming those.
    const std::vector<std::pair<NodeInfo, std::string>> damaged = damaged_file_systems(*s.engine, scan->keyref);
    if (r.status == 0 && damaged.empty())
        return refused == 0 ? EXIT_OK : EXIT_FAILED;
    std::map<uint64_t, const HV::RecoveryNote *> notes;
    for (const HV::RecoveryNote &n : r.notes)
        notes.emplace(n.keyref, &n);
    // The target itself refused: no file was tried, one message says why.
    const bool target_refused = notes.count(0) != 0;
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
    return fail((r.files == 0 ? "nothing recovered: " : "recovery incomplete: ") + recovery_trouble(r, !damaged.empty()));
}

// --- save, load, delete ------------------------------------------------------------------------

int cmd_save(Session &s, const Parsed &p)
{
    if (p.operands.size() != 1)
        return usage_error("save needs one FILE");
    const std::string file = absolute(p.operands[0]);
    if (s.engine->saveScans(file, {}) != 0)
        return fail("can't queue the save");
    const HV::CommandResult r = wait_for(s, HV::Command::SaveScan, true);
    if (r.status == ENGINE_ABORTED || interrupted())
        return EXIT_INTERRUPTED;
    if (r.status != 0)
        return fail(with_errors("can't save the scans into " + file, r));
    std::printf("Saved the scans into %s\n", file.c_str());
    return EXIT_OK;
}

int cmd_load(Session &s, const Parsed &p)
{
    if (p.operands.size() != 1)
        return usage_error("load needs one FILE");
    const std::string file = absolute(p.operands[0]);
    if (access(file.c_str(), R_OK) != 0)
        return fail("can't read " + p.operands[0]);
    std::set<uint32_t> before;
    for (const ScanInfo &scan : s.engine->scans())
        before.insert(scan.slot);
    if (s.engine->loadScans(file) != 0)
        return fail("can't queue the load");
    const HV::CommandResult r = wait_for(s, HV::Command::LoadScan, true);
    if (r.status == ENGINE_ABORTED || interrupted())
        return EXIT_INTERRUPTED;
    if (r.status != 0) {
        const std::string refusal = write_refusal(s.workspace);
        return fail(with_errors("can't load scans from " + file +
                                    (refusal.empty() ? ""
                                                     : ": the workspace " + s.workspace + " refused their files (" +
                                                           refusal + ")") +
                                    " (" + std::to_string(r.status) + ")",
                                r));
    }
    std::printf("Loaded %llu scan%s.\n", (unsigned long long)r.files, r.files == 1 ? "" : "s");
    print_scans(s);
    for (const ScanInfo &scan : s.engine->scans())
        if (before.count(scan.slot) == 0 && scan.media_status != SCX_MEDIA_ATTACHED)
            std::printf("The card or image of scan %u is not attached: plug the card in, or name where its image "
                        "file is now with `zorvant attach PATH`, to recover from it.\n",
                        scan.slot);
    return EXIT_OK;
}

int cmd_attach(Session &s, const Parsed &p)
{
    if (p.operands.size() != 1)
        return usage_error("attach needs one PATH");
    const std::string path = absolute(p.operands[0]);
    std::vector<uint32_t> slots;
    std::string why;
    if (s.engine->attachForScans(path, &slots, &why) != 0)
        return fail("can't attach " + p.operands[0] + ": " + why);
    if (slots.empty()) {
        // The matching counts the file name of an image too: a renamed image
        // needs its old name again.
        std::set<std::string> names;
        for (const ScanInfo &scan : s.engine->scans())
            if (scan.media_status != SCX_MEDIA_ATTACHED && scan.media_name[0] != '\0')
                names.insert(scan.media_name);
        std::string known;
        for (const std::string &name : names)
            known += (known.empty() ? "" : ", ") + name;
        return fail(p.operands[0] +
                    " is not the card or image of any scan here: its size, contents or name differ from those "
                    "saved with the scans" +
                    (known.empty() ? std::string(".")
                                   : "; the scans without their medium were made of " + known +
                                         " (an image renamed since needs that name back)."));
    }
    for (uint32_t slot : slots)
        std::printf("Scan %u reads %s now.\n", slot, path.c_str());
    return EXIT_OK;
}

int cmd_delete(Session &s, const Parsed &p)
{
    if (p.operands.size() != 1 || !all_digits(p.operands[0]))
        return usage_error("delete needs one SCAN number");
    const uint32_t slot = (uint32_t)std::strtoul(p.operands[0].c_str(), nullptr, 10);
    const std::vector<ScanInfo> scans = s.engine->scans();
    if (std::none_of(scans.begin(), scans.end(), [slot](const ScanInfo &one) { return one.slot == slot; }))
        return fail("there is no scan " + p.operands[0] + " (see `zorvant list`)");
    if (s.engine->deleteScan(keyref_scan(slot)) != 0) {
        const std::string refusal = write_refusal(s.workspace);
        return fail("can't delete scan " + p.operands[0] +
                    (refusal.empty() ? "" : ": the workspace " + s.workspace + " refused it (" + refusal + ")"));
    }
    std::printf("Deleted scan %u.\n", slot);
    return EXIT_OK;
}

struct Subcommand {
    const char *name;
    int (*run)(Session &, const Parsed &);
    std::set<std::string> flags;
    std::set<std::string> with_value;
};

const std::vector<Subcommand> &subcommands()
{
    static const std::vector<Subcommand> table = {
        {"list", cmd_list, {}, {}},
        {"scan", cmd_scan, {"--quick", "--deleted"}, {"--stop-after"}},
        {"ls", cmd_ls, {"-r", "--recursive"}, {}},
        {"select", cmd_select, {"--none"}, {"--pattern"}},
        {"recover", cmd_recover, {}, {"--to"}},
        {"save", cmd_save, {}, {}},
        {"load", cmd_load, {}, {}},
        {"attach", cmd_attach, {}, {}},
        {"delete", cmd_delete, {}, {}},
    };
    return table;
}

} // namespace

int usage_error(const std::string &message)
{
    std::fprintf(stderr, "zorvant: %s\nTry `zorvant --help`.\n", message.c_str());
    return EXIT_USAGE;
}

int run_command(const std::string &home, const std::vector<std::string> &args)
{
    const Subcommand *command = nullptr;
    for (const Subcommand &one : subcommands())
        if (args[0] == one.name)
            command = &one;
    if (command == nullptr)
        return usage_error("unknown command " + args[0]);
    Parsed parsed;
    std::string error;
    if (!parse(args, command->flags, command->with_value, &parsed, &error))
        return usage_error(error);

    install_signal_handlers();
    // Taken before the engine touches anything in the workspace, and held
    // until it has shut down (settings and scans saved).
    engine_set_workspace_name(kApplicationName);
    Session s;
    s.workspace = zorvant::path_join(home.c_str(), engine_workspace_name()).str();
    WorkspaceLock lock;
    if (!lock.take(s.workspace, &error))
        return fail(error);
    s.callbacks = std::make_shared<Callbacks>();
    HV::EngineConfig config;
    config.application_name = kApplicationName;
    config.home_folder = home;
    config.strings_text = strings_text_for(user_language());
    config.callbacks = s.callbacks;
    s.engine = HVEngine::create(config, &error);
    if (s.engine == nullptr)
        return fail("Zorvant has failed to initialize: " + error);
    int rc;
    if (s.engine->reloadMedia() != 0) {
        rc = fail("can't queue the media reload");
    } else {
        wait_for(s, HV::Command::ReloadMedia, false);
        rc = interrupted() ? EXIT_INTERRUPTED : command->run(s, parsed);
    }
    const int refused = s.engine->saveSettings();
    if (refused != 0) {
        fail("the settings could not be saved in the workspace " + s.workspace + ": " +
             ZV::errorString(refused).str() + " (make the workspace writable)");
        if (rc == EXIT_OK)
            rc = EXIT_FAILED;
    }
    s.engine.reset();
    return rc;
}

} // namespace zvapp
