// What the subcommands share (see cli_internal.h).
#include "app/cli_internal.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>

#include "foundation/number_format.h"

namespace zvapp {

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

bool has_error_code(const HV::CommandResult &result, int code)
{
    // "[283 2*307 30560]"
    const std::string &text = result.error_text;
    size_t at = text.find_first_of("0123456789");
    while (at != std::string::npos) {
        const size_t end = text.find_first_not_of("0123456789", at);
        const bool counted = end != std::string::npos && text[end] == '*';
        if (!counted) {
            const long value = std::strtol(text.substr(at, end - at).c_str(), nullptr, 10);
            if (value % 1000 == code)
                return true;
        }
        at = end == std::string::npos ? end : text.find_first_of("0123456789", end);
    }
    return false;
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

std::string one_line(const std::string &name)
{
    std::string out;
    for (char c : name)
        out += c == '\n' ? "\\x0a" : c == '\t' ? "\\x09" : std::string(1, c);
    return out;
}

std::string workspace_on_card_text(const std::string &workspace, const std::string &card)
{
    return "the workspace " + workspace + " lies on " + card +
           ", the card or image to be read: what the workspace keeps (scans, catalogs, the log) would be written "
           "over the files still to be recovered; keep the workspace on another disk with --workspace DIR";
}

std::vector<ScanInfo> scans_by_number(Session &s)
{
    std::vector<ScanInfo> scans = s.engine->scans();
    std::sort(scans.begin(), scans.end(), [](const ScanInfo &a, const ScanInfo &b) { return a.slot < b.slot; });
    return scans;
}

const char *scan_type_name(uint32_t type)
{
    return type == SCX_TYPE_QUICK ? "quick" : type == SCX_TYPE_DELETED ? "deleted" : "thorough";
}

const ScanInfo *scan_in_slot(const std::vector<ScanInfo> &scans, uint32_t slot)
{
    for (const ScanInfo &scan : scans)
        if (scan.slot == slot)
            return &scan;
    return nullptr;
}

std::string scan_state_name(const ScanInfo &scan)
{
    // Running in the workspace: its run was stopped before the end, or its
    // end could not be saved there.
    if (scan.scan_state == SCX_STATE_RUNNING)
        return "unfinished or not kept";
    if (scan.scan_state == SCX_STATE_ABORTED)
        return "ended early";
    std::string text = "done";
    // Whole per cent, rounded down: a scan stopped at 99.9% did not read it all.
    const uint64_t percent =
        scan.medium_bytes == 0 ? 0 : (uint64_t)((long double)scan.scanned_bytes * 100 / scan.medium_bytes);
    if (scan.stopped_answering != 0)
        text += ", card stopped answering at " + std::to_string(percent) + "%";
    else if (scan.stopped_early != 0)
        text += ", stopped early at " + std::to_string(percent) + "%";
    return scan.media_status == SCX_MEDIA_ATTACHED ? text : text + ", medium not attached";
}

// A scan the workspace holds as running: its run was stopped before the end
// (its process was killed or lost its terminal), or it ran to its end but
// that end could not be saved in the workspace (the run itself said so).
// Which of the two is not known here. Nothing of it can be ticked or
// recovered. The message for it, or "" for a scan that finished (or no
// scan).
std::string unfinished_text(Session &s, uint32_t slot)
{
    for (const ScanInfo &scan : s.engine->scans())
        if (scan.slot == slot && scan.scan_state == SCX_STATE_RUNNING)
            return "scan " + std::to_string(slot) +
                   " is unfinished or was not kept (its run was stopped before the end, or its end could not be "
                   "saved in the workspace) and holds nothing to tick or recover: delete it (`zorvant delete " +
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
                             : folder ? grouped(node.child_count) + (node.child_count == 1 ? " item" : " items")
                                      : size_text(node.data_size);
    char line[96];
    std::snprintf(line, sizeof line, "%s %c%c %12s  %s  ", mark, folder ? 'd' : '-',
                  (node.flags & NODE_DELETED) != 0 ? 'D' : ' ', size.c_str(), date_text(node.date_modified).c_str());
    return line + path;
}

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
HV::CommandResult wait_for(Session &s, HV::Command command, bool progress, double stop_after)
{
    return s.callbacks->wait(*s.engine, command, progress, stop_after);
}

// The status code of an operation and its error-list text, for the end of a
// message: " (-1)", " (-1 [521])".
std::string codes(const HV::CommandResult &result)
{
    // A long error list ("[5481 197 5481 253 ...]") is cut to its first
    // entries: the engine log holds them all.
    constexpr size_t kShown = 4;
    std::string errors = result.error_text;
    if (errors.size() > 2 && errors.front() == '[' && errors.back() == ']') {
        size_t at = 1;
        for (size_t n = 0; n < kShown && at != std::string::npos; n++)
            at = errors.find(' ', at + 1);
        if (at != std::string::npos)
            errors = errors.substr(0, at) + " ...]";
    }
    return " (" + std::to_string(result.status) + (errors.empty() ? "" : " " + errors) + ")";
}

// To a tenth, rounded down as `list` rounds its whole per cent down: a scan
// stopped at 19.96% says 19.9%, not 20.0%, and is listed at 19%.
std::string percent_text(uint64_t part, uint64_t whole)
{
    if (whole == 0)
        return "0%";
    const uint64_t tenths = (uint64_t)((long double)part * 1000 / whole);
    return ZV::NumberFormatter::decimalString((double)tenths / 10.0, 1) + "%";
}

std::string grouped(uint64_t value)
{
    return ZV::NumberFormatter::integerString(value);
}

} // namespace zvapp
