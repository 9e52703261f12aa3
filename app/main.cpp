// zorvant: the command-line front end of the recovery engine.
//
// Each run starts the engine on the workspace (the user's data folder, or
// --workspace), reloads the media list (which attaches again the cards and
// images named in earlier runs, so their scans can be listed and
// recovered), runs one subcommand through the engine's interface and shuts
// the engine down.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "app/cli.h"
#include "app/front_end.h"
#include "app/output_filter.h"

namespace {

const char kHelp[] =
    "Usage: zorvant [--workspace DIR] COMMAND [ARGUMENTS]\n"
    "\n"
    "Recovers photos and videos from memory cards, disks and disk images.\n"
    "A typical session:\n"
    "\n"
    "  zorvant scan /dev/sdb                 read the whole card, find files\n"
    "  zorvant ls -r 1                       see what scan 1 found\n"
    "  zorvant select '1/Reconstructed Files' tick files to recover\n"
    "  zorvant recover 1 --to ~/rescued      copy the ticked files out\n"
    "\n"
    "Commands:\n"
    "  list                      the cards, devices and images known, and the scans\n"
    "  scan TARGET [--quick | --deleted] [--stop-after SECONDS]\n"
    "                            scan a device (/dev/sdX, /dev/mmcblkN, /dev/loopN),\n"
    "                            a partition, an image file or a medium id from\n"
    "                            `list`. The thorough scan (default) reads every\n"
    "                            block and finds files by their content, also after\n"
    "                            a format; --quick only lists the FAT file systems'\n"
    "                            files (exFAT, NTFS and others are not read by name),\n"
    "                            --deleted asks the file systems for erased entries\n"
    "                            (the FAT reader lists none, so it fails on FAT:\n"
    "                            deleted photos come back through the thorough\n"
    "                            scan). Ctrl-C aborts (the scan is dropped; so do\n"
    "                            SIGTERM and a closed terminal; a second one ends\n"
    "                            zorvant at once, see Exit codes); Ctrl-\\ or\n"
    "                            --stop-after ends a thorough scan early and keeps\n"
    "                            what it found. The end of a scan names the ranges\n"
    "                            of the card that could not be read.\n"
    "  ls [-r] [PATH]            list scans, or what lies at PATH (see below), each\n"
    "                            folder by name; -r lists everything below it\n"
    "  select [--none] [--pattern GLOB] PATH...\n"
    "                            tick (or with --none untick) PATH with all below it;\n"
    "                            with --pattern only the files below PATH whose name\n"
    "                            matches GLOB (e.g. '*.jpg'), upper and lower case\n"
    "                            alike (IMG_0001.JPG matches)\n"
    "  recover [SCAN] --to DIR [PATH...]\n"
    "                            copy the ticked files of SCAN (or the files named by\n"
    "                            PATH) into \"DIR/Recovered Files from <card>\" (DIR\n"
    "                            not on the card nor inside the workspace); nothing\n"
    "                            is overwritten, no link below DIR followed (a link\n"
    "                            there gives \"...-01\"); each file copied is\n"
    "                            unticked, and every file that could not be\n"
    "                            recovered is reported (it stays ticked); a file\n"
    "                            that could not be read whole is kept as\n"
    "                            \"NAME.incomplete\"; only from the card or image\n"
    "                            scanned, known by its contents: another one in its\n"
    "                            place leaves the scan \"medium not attached\"; a\n"
    "                            card that stops answering ends the recovery there\n"
    "                            (exit 1)\n"
    "  save FILE                 save every scan into FILE: a new file, or an earlier\n"
    "                            save, which it replaces; anything else (the card's\n"
    "                            image, a device, a file in the workspace) is\n"
    "                            refused; a workspace without scans saves nothing\n"
    "  load FILE                 load the scans saved in FILE; an image file still\n"
    "                            where it was when saved is attached again\n"
    "  attach PATH               the image file (or device) a scan was made of, where\n"
    "                            it is now and under any name (the same size and\n"
    "                            contents): the scans of it can be recovered again\n"
    "  delete SCAN               delete a scan from the workspace\n"
    "\n"
    "Paths: a scan is its number (\"1\"); a found file or folder is the scan\n"
    "number, the file system and the names below it, as `ls` prints them:\n"
    "  1/Found Files/DCIM/100CAMERA/IMG_0001.JPG\n"
    "  1/Reconstructed Files/Images/JPEG/00001.jpg\n"
    "Marks in `ls`: [x] ticked, [-] partly ticked, [ ] not ticked; d folder,\n"
    "D deleted; \"damaged catalog\": what the scan found there can't be read\n"
    "any more (scan the card again). Control characters in names are shown\n"
    "escaped (\\x1b, \\u009b; a line feed or tab in a path as %0A, %09).\n"
    "\n"
    "Options:\n"
    "  --workspace DIR   keep scans and the engine log in DIR/ZorvantWorkspace\n"
    "                    (default: $XDG_DATA_HOME/zorvant, else\n"
    "                    ~/.local/share/zorvant; never on the card or image a\n"
    "                    command reads)\n"
    "  -h, --help        show this text\n"
    "\n"
    "Exit codes: 0 success, 1 failure, 2 bad usage, 3 scan finished, but part of\n"
    "the card was not read (unreadable blocks, or stopped early; what was found\n"
    "is kept), 130 interrupted. A second Ctrl-C, SIGTERM or SIGHUP ends zorvant at\n"
    "once (exit 130; a closing terminal's repeated SIGHUP counts once, but a SIGHUP\n"
    "half a second after another is a second signal), also when it is stuck on a\n"
    "card, image or folder that no longer answers; it leaves what a killed run\n"
    "leaves: a scan under way listed as unfinished, a file being recovered under a\n"
    "temporary name, a save under way as its temporary\n"
    "\".NAME.zv-partial-...\" beside FILE (FILE untouched, or, when the save had\n"
    "just ended, already the whole new save), and the workspace free. A thread\n"
    "stuck in the kernel keeps the process, and the card, image or mount it waits\n"
    "on, until that wait ends: unplug the card reader, or end the FUSE server of\n"
    "the mount or unmount it with `umount -f` (a network mount too).\n"
    "Scans stay in the workspace between runs; nothing is written outside the\n"
    "workspace, the folder given to `recover --to` and the FILE given to `save`\n"
    "(written beside it under a temporary name, which takes its place when complete).\n"
    "One command at a time works on a workspace; a second one says which process\n"
    "holds it and exits with 1. A scan whose run was killed, or whose end could\n"
    "not be saved in the workspace, is listed as unfinished or not kept until it\n"
    "is deleted.\n";

std::string default_home()
{
    const char *data = std::getenv("XDG_DATA_HOME");
    if (data != nullptr && data[0] == '/')
        return std::string(data) + "/zorvant";
    const char *home = std::getenv("HOME");
    if (home != nullptr && home[0] == '/')
        return std::string(home) + "/.local/share/zorvant";
    return "";
}

int run(int argc, char **argv)
{
    std::vector<std::string> args(argv + 1, argv + argc);
    std::string workspace;
    std::vector<std::string> rest;
    for (size_t i = 0; i < args.size(); i++) {
        const std::string &a = args[i];
        if (!rest.empty()) {
            rest.push_back(a);
        } else if (a == "-h" || a == "--help" || a == "help") {
            std::fputs(kHelp, stdout);
            return zvapp::EXIT_OK;
        } else if (a == "--workspace" || a.rfind("--workspace=", 0) == 0) {
            if (a == "--workspace") {
                if (i + 1 >= args.size())
                    return zvapp::usage_error("--workspace needs a folder");
                workspace = args[++i];
            } else {
                workspace = a.substr(std::strlen("--workspace="));
            }
            if (workspace.empty())
                return zvapp::usage_error("--workspace needs a folder");
        } else if (!a.empty() && a[0] == '-') {
            return zvapp::usage_error("unknown option " + a);
        } else {
            rest.push_back(a);
        }
    }
    if (rest.empty()) {
        std::fputs(kHelp, stderr);
        return zvapp::EXIT_USAGE;
    }
    for (const std::string &a : rest)
        if (a == "-h" || a == "--help") {
            std::fputs(kHelp, stdout);
            return zvapp::EXIT_OK;
        }
    if (workspace.empty())
        workspace = default_home();
    if (workspace.empty())
        return zvapp::usage_error("no data folder: set HOME or pass --workspace");
    std::error_code ec;
    const std::filesystem::path full = std::filesystem::absolute(workspace, ec);
    if (ec) { // a relative name in a current folder that was removed
        std::fprintf(stderr, "zorvant: can't tell where the workspace folder %s is: %s\n", workspace.c_str(),
                     ec.message().c_str());
        return zvapp::EXIT_FAILED;
    }
    workspace = full.lexically_normal().string();
    while (workspace.size() > 1 && workspace.back() == '/')
        workspace.pop_back();
    return zvapp::run_command(workspace, rest);
}

} // namespace

int main(int argc, char **argv)
{
    zvapp::output_filter_install();
    // Output that could not be written is no success.
    return zvapp::output_finish(run(argc, argv));
}
