// The subcommands. Each talks to the engine only through HVEngine: queued
// operations are waited for with their progress shown, short requests run
// at once.
#include <fnmatch.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <map>
#include <set>

#include "app/cli.h"
#include "app/front_end.h"
#include "app/node_paths.h"

namespace zvapp {

namespace {

struct Session {
    std::shared_ptr<Callbacks> callbacks;
    std::shared_ptr<HVEngine> engine;
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
    char line[96];
    std::snprintf(line, sizeof line, "%s %c%c %12s  %s  ", mark, folder ? 'd' : '-',
                  (node.flags & NODE_DELETED) != 0 ? 'D' : ' ',
                  folder ? (std::to_string(node.child_count) + " items").c_str() : size_text(node.data_size).c_str(),
                  date_text(node.date_modified).c_str());
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
void print_summary(Session &s, uint64_t scan_keyref)
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
    if (all_digits(target)) {
        media_id = (uint32_t)std::strtoul(target.c_str(), nullptr, 10);
        bool known = false;
        for (const std::shared_ptr<HV::Disk> &disk : s.engine->mediaList()) {
            known = known || disk->id() == (int32_t)media_id;
            for (size_t i = 0; i < disk->childCount(); i++)
                known = known || disk->child(i)->id() == (int32_t)media_id;
        }
        if (!known)
            return fail("no medium with id " + target + " (see `zorvant list`)");
    } else {
        std::string why;
        name = absolute(target);
        if (s.engine->addMediaPath(name, &media_id, &why) != 0)
            return fail("can't scan " + target + ": " + why);
    }
    std::printf("Scanning %s (%s scan)%s\n", name.c_str(), scan_type_name((uint32_t)type),
                type == SCX_TYPE_THOROUGH ? "; Ctrl-C aborts, Ctrl-\\ stops early keeping what was found" : "");
    std::fflush(stdout);
    if (s.engine->scanMedia(media_id, type) != 0)
        return fail("can't queue the scan");
    const HV::CommandResult r = wait_for(s, HV::Command::Scan, true, stop_after);
    if (r.status == ENGINE_ABORTED || (interrupted() && r.status != 0)) {
        std::printf("Scan aborted; nothing was kept.\n");
        return EXIT_INTERRUPTED;
    }
    if (r.status != 0) {
        const char *text = r.status == -39  ? "no free scan slot: delete a scan first (`zorvant delete`)"
                           : r.status == -7 ? "the medium is not attached"
                           : r.status == -30 ? "the medium was removed during the scan"
                           : r.status == -38 ? "no file system was found"
                                             : "the scan failed";
        fail(with_errors(std::string(text) + " (" + std::to_string(r.status) + ")", r));
        if (r.keyref != 0)
            print_summary(s, r.keyref);
        return EXIT_FAILED;
    }
    if (r.error_text.empty())
        std::printf("Scan of %s completed with no errors.\n", name.c_str());
    else
        std::printf("Scan of %s completed with some errors: %s\n", name.c_str(), r.error_text.c_str());
    if (r.keyref != 0) {
        std::printf("This is scan %u.\n", keyref_slot(r.keyref));
        print_summary(s, r.keyref);
    }
    return interrupted() ? EXIT_INTERRUPTED : EXIT_OK;
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
    if (s.engine->nodeInfo(keyref, &self) == 0 && (self.flags & NODE_FOLDER) == 0 && !keyref_is_scan(keyref)) {
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
    for (const std::string &path : p.operands) {
        uint64_t keyref = 0;
        std::string why;
        if (!resolve_path(*s.engine, path, &keyref, &why))
            return fail(path + ": " + why);
        if (pattern.empty()) {
            if (s.engine->selectNode(keyref, value) != 0)
                return fail("can't change the ticks of " + path);
            changed++;
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
    std::printf("%s %d item%s.\n", value ? "Ticked" : "Unticked", changed, changed == 1 ? "" : "s");
    return EXIT_OK;
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
    int failures = 0;
    if (!paths.empty()) {
        std::string shown;
        for (const std::string &path : paths) {
            uint64_t keyref = 0;
            std::string why;
            if (!resolve_path(*s.engine, path, &keyref, &why)) {
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
                std::fprintf(stderr, "zorvant: not recovered: %s: %s\n", path.c_str(),
                             with_errors("error " + std::to_string(r.status), r).c_str());
                failures++;
            } else {
                std::printf("%s -> %s\n", path.c_str(), r.path.c_str());
            }
        }
        return failures == 0 ? EXIT_OK : EXIT_FAILED;
    }
    const std::string target = recovery_folder(dir, *scan);
    std::printf("Recovering into %s\n", target.c_str());
    std::fflush(stdout);
    if (s.engine->recoverMarked(scan->keyref, target) != 0)
        return fail("can't queue the recovery");
    const HV::CommandResult r = wait_for(s, HV::Command::RecoverMarked, true);
    if (r.status == ENGINE_ABORTED || interrupted()) {
        std::printf("Recovery aborted after %llu files.\n", (unsigned long long)r.files);
        return EXIT_INTERRUPTED;
    }
    std::printf("Recovered %llu files (%s).\n", (unsigned long long)r.files, size_text(r.bytes).c_str());
    if (r.status == 0)
        return EXIT_OK;
    // What keeps its tick was not recovered.
    walk_nodes(*s.engine, scan->keyref, std::to_string(scan->slot), true,
               [&](const NodeInfo &node, const std::string &path) {
                   if ((node.flags & NODE_FOLDER) == 0 && (node.flags & NODE_SELECTION_MASK) != 0) {
                       std::fprintf(stderr, "zorvant: not recovered: %s\n", path.c_str());
                       failures++;
                   }
                   return true;
               });
    std::string why = r.status == -3    ? "the target folder could not be written (disk full?)"
                      : r.status == -7  ? "the scan's medium is not attached"
                      : r.status == -30 ? "the medium was removed"
                      : r.status == -12 ? "the target folder lies on the medium being recovered"
                                        : "some files could not be read whole";
    return fail(with_errors("recovery incomplete: " + why + " (" + std::to_string(r.status) + ")", r));
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
    if (r.status != 0)
        return fail(with_errors("can't load scans from " + file + " (" + std::to_string(r.status) + ")", r));
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
    if (slot < 1 || slot > SCX_SLOTS || s.engine->deleteScan(keyref_scan(slot)) != 0)
        return fail("can't delete scan " + p.operands[0]);
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
    Session s;
    s.callbacks = std::make_shared<Callbacks>();
    HV::EngineConfig config;
    config.application_name = "Zorvant";
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
    s.engine.reset();
    return rc;
}

} // namespace zvapp
