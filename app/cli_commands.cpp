// The subcommands list, ls, select, save, load, attach and delete, and the
// start of every command (the workspace lock, the engine, the media reload).
// Each talks to the engine only through HVEngine: queued operations are
// waited for with their progress shown, short requests run at once. The
// scan and the recovery are in cmd_scan.cpp and cmd_recover.cpp.
#include <fnmatch.h>
#include <locale.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <set>

#include "app/cli.h"
#include "app/cli_internal.h"
#include "app/node_paths.h"
#include "app/workspace_lock.h"
#include "foundation/paths.h"
#include "foundation/sysutil.h"
#include "foundation/u8string.h"
#include "foundation/workspace.h"

namespace zvapp {

namespace {

constexpr const char *kApplicationName = "Zorvant";

// --- list ---------------------------------------------------------------------------------

void print_disk(const HV::Disk &disk, int indent)
{
    if (disk.id() < 0)
        return; // its medium could not be attached
    const std::string where = one_line(disk.path().empty() ? disk.name() : disk.path());
    std::printf("%*s%-4d %-28s %10s  %-7s %s\n", indent, "", disk.id(), where.c_str(),
                size_text((uint64_t)disk.size()).c_str(), disk.typeString().c_str(), one_line(disk.name()).c_str());
    for (size_t i = 0; i < disk.childCount(); i++)
        print_disk(*disk.child(i), indent + 2);
}

void print_scans(Session &s)
{
    const std::vector<ScanInfo> scans = scans_by_number(s);
    if (scans.empty()) {
        std::printf("No scans in the workspace.\n");
        return;
    }
    std::printf("Scans:\n");
    // The state column as wide as the longest state shown.
    int width = 0;
    for (const ScanInfo &scan : scans)
        width = std::max(width, (int)scan_state_name(scan).size());
    for (const ScanInfo &scan : scans)
        std::printf("  %-3u %-9s %-*s  %s  %s\n", scan.slot, scan_type_name(scan.scan_type), width,
                    scan_state_name(scan).c_str(), date_text(scan.start_seconds).c_str(),
                    one_line(scan.media_name).c_str());
}

int cmd_list(Session &s, const Parsed &)
{
    const std::vector<std::shared_ptr<HV::Disk>> disks = s.engine->mediaList();
    // Loop devices, fixed disks and disks over 256 GiB are left out of the
    // list, though they may have been scanned.
    if (disks.empty() && s.engine->scans().empty())
        std::printf("No cards or image files known yet: name a device or an image file to `zorvant scan`.\n");
    else if (disks.empty())
        std::printf("No card or image file is listed now (loop devices, fixed disks and disks over 256 GiB are "
                    "never listed, but can be named to `zorvant scan`).\n");
    else
        std::printf("Media (id, device or file, size, file system or partition map, name; partitions indented):\n");
    for (const std::shared_ptr<HV::Disk> &disk : disks)
        print_disk(*disk, 2);
    print_scans(s);
    return EXIT_OK;
}

// --- ls, select ---------------------------------------------------------------------------

int cmd_ls(Session &s, const Parsed &p)
{
    if (p.operands.size() > 1)
        return usage_error("ls takes at most one PATH");
    const bool recursive = p.options.count("-r") != 0 || p.options.count("--recursive") != 0;
    if (p.operands.empty()) {
        print_scans(s);
        for (const ScanInfo &scan : scans_by_number(s))
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
    const std::string unfinished = unfinished_text(s, keyref_slot(keyref));
    if (!unfinished.empty())
        return fail(unfinished);
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

// A name or a --pattern as select compares them: in lower case letter by
// letter, as FAT names are not case-sensitive (a camera's IMG_0001.JPG
// matches '*.jpg'). False for text that is not UTF-8.
bool lowered(const std::string &text, std::string *out)
{
    try {
        *out = zorvant::lower_case(zorvant::u8string(text)).str();
        return true;
    } catch (const std::exception &) {
        return false;
    }
}

// For the span of a pattern match on this thread, the UTF-8 character
// rules, so that "?" and "[...]" stand for one letter of a name, not one
// byte of it. Without that locale the match stays byte by byte.
class Utf8Matching {
public:
    Utf8Matching() : locale_(newlocale(LC_CTYPE_MASK, "C.UTF-8", (locale_t)0))
    {
        if (locale_ != (locale_t)0)
            previous_ = uselocale(locale_);
    }
    ~Utf8Matching()
    {
        if (locale_ != (locale_t)0) {
            uselocale(previous_);
            freelocale(locale_);
        }
    }
    Utf8Matching(const Utf8Matching &) = delete;
    Utf8Matching &operator=(const Utf8Matching &) = delete;

private:
    locale_t locale_;
    locale_t previous_ = (locale_t)0;
};

int cmd_select(Session &s, const Parsed &p)
{
    if (p.operands.empty())
        return usage_error("select needs at least one PATH");
    const bool value = p.options.count("--none") == 0;
    const std::string pattern = p.options.count("--pattern") != 0 ? p.options.at("--pattern") : "";
    std::string folded;
    if (!lowered(pattern, &folded))
        return usage_error("--pattern " + pattern + " is not UTF-8 text");
    int changed = 0;
    bool damaged_left = false;
    std::set<uint32_t> slots; // the scans whose ticks change
    for (const std::string &path : p.operands) {
        uint64_t keyref = 0;
        std::string why;
        if (!resolve_path(*s.engine, path, &keyref, &why))
            return fail(path + ": " + why);
        slots.insert(keyref_slot(keyref));
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
        const Utf8Matching letters;
        walk_nodes(*s.engine, keyref, "", true, [&](const NodeInfo &node, const std::string &) {
            if ((node.flags & NODE_FOLDER) != 0)
                return true;
            std::string name;
            if (lowered(node.name, &name) ? fnmatch(folded.c_str(), name.c_str(), 0) == 0
                                          : fnmatch(pattern.c_str(), node.name.c_str(), FNM_CASEFOLD) == 0)
                matches.push_back(node.keyref);
            return true;
        });
        if (matches.empty())
            return fail("no file below " + path + " matches " + pattern + ": nothing was " +
                        (value ? "ticked" : "unticked"));
        for (uint64_t match : matches) {
            if (s.engine->selectNode(match, value) != 0)
                return fail("can't change the ticks below " + path);
            changed++;
        }
    }
    // The ticks are saved in the background; whether the workspace took
    // them is known only once they are saved.
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

// --- save, load, delete ------------------------------------------------------------------------

int cmd_save(Session &s, const Parsed &p)
{
    if (p.operands.size() != 1)
        return usage_error("save needs one FILE");
    const std::string file = absolute(p.operands[0]);
    // An empty save would replace an earlier one (a forgotten --workspace).
    if (s.engine->scans().empty())
        return fail("there are no scans in the workspace " + s.workspace + ": nothing to save, " + file +
                    " was left as it was (name the workspace that holds the scans with --workspace)");
    const std::string folder = std::filesystem::path(file).parent_path().string();
    struct stat st;
    if (stat(folder.c_str(), &st) != 0)
        return fail("can't save the scans into " + file + ": the folder " + folder +
                    (errno == ENOENT ? " does not exist" : ": " + std::string(std::strerror(errno))) +
                    "; name a FILE in an existing folder");
    if (!S_ISDIR(st.st_mode))
        return fail("can't save the scans into " + file + ": " + folder + " is not a folder; name a FILE in a folder");
    if (stat(file.c_str(), &st) == 0 && S_ISDIR(st.st_mode))
        return fail("can't save the scans into " + file + ": it is a folder; name a FILE in it");
    if (s.engine->saveScans(file, {}) != 0)
        return fail("can't queue the save");
    const HV::CommandResult r = wait_for(s, HV::Command::SaveScan, true);
    // The engine's status is the truth: a Ctrl-C that came once the new
    // file had taken the name did not stop the save.
    if (r.status == ENGINE_ABORTED || (r.status != 0 && interrupted())) {
        std::printf("Save interrupted; %s was left as it was.\n", file.c_str());
        return EXIT_INTERRUPTED;
    }
    if (!r.refusal.empty())
        return fail("can't save the scans into " + file + ": " + r.refusal + " (nothing was written)");
    if (r.status != 0 && r.failed_side == HV::kFailedWorkspace) {
        const std::string why = r.errnum != 0 ? std::string(std::strerror(r.errnum)) : write_refusal(s.workspace);
        return fail("can't save the scans into " + file + ": the workspace " + s.workspace +
                    ", which holds the scans, could not be written or read" + (why.empty() ? "" : " (" + why + ")") +
                    "; make the workspace writable, with some room left, and save again (any earlier " + file +
                    " was left as it was)" + codes(r));
    }
    if (r.status != 0 && r.failed_side == HV::kFailedFolderSync)
        return fail("the scans were saved into " + file + ", but its folder could not be put on the disk (" +
                    std::strerror(r.errnum) + "): after a crash it may hold the earlier " + file +
                    " again, or none; check the disk and save again" + codes(r));
    if (r.status != 0)
        return fail("can't save the scans into " + file +
                    (r.errnum != 0 ? ": " + std::string(std::strerror(r.errnum)) : "") +
                    "; choose a folder you can write to with room for the save (any earlier " + file +
                    " was left as it was)" + codes(r));
    std::printf("Saved the scans into %s\n", file.c_str());
    return EXIT_OK;
}

int cmd_load(Session &s, const Parsed &p)
{
    if (p.operands.size() != 1)
        return usage_error("load needs one FILE");
    const std::string file = absolute(p.operands[0]);
    if (access(file.c_str(), R_OK) != 0)
        return fail("can't read " + p.operands[0] + ": " + std::strerror(errno));
    std::set<uint32_t> before;
    for (const ScanInfo &scan : s.engine->scans())
        before.insert(scan.slot);
    if (s.engine->loadScans(file) != 0)
        return fail("can't queue the load");
    const HV::CommandResult r = wait_for(s, HV::Command::LoadScan, true);
    // A load that finished before Ctrl-C took effect has loaded its scans.
    if (r.status == ENGINE_ABORTED || (r.status != 0 && interrupted()))
        return EXIT_INTERRUPTED;
    if (r.status == SCX_TOO_FEW_SLOTS)
        return fail("can't load scans from " + file + ": it holds " + std::to_string(r.files) + " scan" +
                    (r.files == 1 ? "" : "s") + ", but only " + std::to_string(r.free_slots) + " of the workspace's " +
                    std::to_string(SCX_SLOTS) + " scan slots " + (r.free_slots == 1 ? "is" : "are") +
                    " free: delete scans first (`zorvant delete SCAN`), then load again; nothing was loaded");
    if (r.status != 0) {
        const std::string refusal = write_refusal(s.workspace);
        return fail("can't load scans from " + file +
                    (refusal.empty() ? ": it is not a file of saved scans, or it is damaged"
                                     : ": the workspace " + s.workspace + " refused their files (" + refusal + ")") +
                    codes(r));
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
        // A path named here is taken by its size and contents whatever its
        // name: what is refused is another card.
        std::set<std::string> names;
        for (const ScanInfo &scan : s.engine->scans())
            if (scan.media_status != SCX_MEDIA_ATTACHED && scan.media_name[0] != '\0')
                names.insert(one_line(scan.media_name));
        std::string known;
        for (const std::string &name : names)
            known += (known.empty() ? "" : ", ") + name;
        return fail(p.operands[0] +
                    " is not the card or image of any scan here: its size or contents differ from those saved "
                    "with the scans" +
                    (known.empty() ? std::string(".")
                                   : "; the scans without their medium were made of " + known +
                                         ": name that card or image file."));
    }
    // The scans take the medium in this run; a workspace that refuses
    // writes cannot keep it for the next one.
    std::string numbers;
    for (uint32_t slot : slots)
        numbers += (numbers.empty() ? "" : ", ") + std::to_string(slot);
    const std::string refusal = write_refusal(s.workspace);
    if (!refusal.empty())
        return fail("the workspace " + s.workspace + " refused to keep that scan" + (slots.size() == 1 ? " " : "s ") +
                    numbers + " read" + (slots.size() == 1 ? "s " : " ") + path + " (" + refusal +
                    "): make the workspace writable and attach again");
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

// The card or image file a command names to be read (scan PATH, attach
// PATH), as an absolute path; "" for the others.
std::string card_named(const std::string &command, const Parsed &p)
{
    if ((command != "scan" && command != "attach") || p.operands.size() != 1 ||
        (command == "scan" && all_digits(p.operands[0])))
        return "";
    return absolute(p.operands[0]);
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
    // A card or image named here is known before anything is made: a
    // workspace on it is refused before its folder, lock or log are written
    // (a medium named by its id, and a scan's, are asked once the engine runs).
    const std::string card = card_named(args[0], parsed);
    if (!card.empty() && HVEngine::folderOnMediumPath(s.workspace, card))
        return fail(workspace_on_card_text(s.workspace, card));
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
        s.engine->endReloads(); // one command, then the end: device events queue no reload behind it
        rc = interrupted() ? EXIT_INTERRUPTED : command->run(s, parsed);
    }
    const int refused = s.engine->saveSettings();
    if (refused != 0 && !s.engine->namedMediaUnsaved()) {
        std::fprintf(stderr,
                     "zorvant: warning: the workspace %s refused to keep the media ids of this run (%s): an id "
                     "shown here may name another medium in a later run; make the workspace writable to keep "
                     "them\n",
                     s.workspace.c_str(), ZV::errorString(refused).str().c_str());
    } else if (refused != 0) {
        fail("the workspace " + s.workspace + " refused to keep the cards and image files named in this run (" +
             ZV::errorString(refused).str() + "): a later run does not attach them again; make the workspace "
             "writable and name them again");
        if (rc == EXIT_OK)
            rc = EXIT_FAILED;
    }
    s.engine.reset();
    return rc;
}

} // namespace zvapp
