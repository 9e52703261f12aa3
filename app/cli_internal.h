// What the subcommands share (cli_common.cpp): the session with the engine,
// the parsed arguments, the waits and the texts more than one command prints.
// The subcommands themselves are in cli_commands.cpp, cmd_scan.cpp and
// cmd_recover.cpp.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "app/front_end.h"

namespace zvapp {

struct Session {
    std::shared_ptr<Callbacks> callbacks;
    std::shared_ptr<HVEngine> engine;
    std::string workspace; // the workspace folder
};

// The options (with their values) and operands of a subcommand.
struct Parsed {
    std::map<std::string, std::string> options;
    std::vector<std::string> operands;
};

// Splits the arguments of a subcommand (args[0] its name) into options and
// operands; false with *error for an unknown option or a missing value.
bool parse(const std::vector<std::string> &args, const std::set<std::string> &flags,
           const std::set<std::string> &with_value, Parsed *out, std::string *error);

// Writes "zorvant: <message>" to standard error; EXIT_FAILED.
int fail(const std::string &message);
// text, then the operation's error-list text when it has one.
std::string with_errors(const std::string &text, const HV::CommandResult &result);
// The status code of an operation and its error-list text, for the end of a
// message: " (-1)", " (-1 [521])".
std::string codes(const HV::CommandResult &result);
// Whether the operation's error list holds code (alone, counted "2*521",
// or with an errno, code + errno * 1000).
bool has_error_code(const HV::CommandResult &result, int code);
std::string absolute(const std::string &path);
bool all_digits(const std::string &text);
// A whole number with thousands separators ("88,718").
std::string grouped(uint64_t value);
// A medium's name as shown on one line: a line feed or tab in it (a volume
// label read from the card may hold them) is written "\x0a" / "\x09", as
// the output shows the other control characters.
std::string one_line(const std::string &name);
// Why a command must not run with its workspace on the card or image it
// reads (card), and what to do.
std::string workspace_on_card_text(const std::string &workspace, const std::string &card);
// part of whole in per cent to a tenth, rounded down ("19.9%").
std::string percent_text(uint64_t part, uint64_t whole);
// The scans of the workspace by number.
std::vector<ScanInfo> scans_by_number(Session &s);
// The scan with that slot among scans, or null.
const ScanInfo *scan_in_slot(const std::vector<ScanInfo> &scans, uint32_t slot);
const char *scan_type_name(uint32_t type);
// "done", "done, stopped early at 42%", "done, card stopped answering at
// 6%", "done, medium not attached", ...
std::string scan_state_name(const ScanInfo &scan);
// The message for a scan whose run never finished, or "".
std::string unfinished_text(Session &s, uint32_t slot);
std::string date_text(int64_t seconds);
// One line of `ls`: tick mark, kind, size, date, path.
std::string node_line(const NodeInfo &node, const std::string &path);
// Waits for the queued operation of the kind command.
HV::CommandResult wait_for(Session &s, HV::Command command, bool progress, double stop_after = 0);

int cmd_scan(Session &s, const Parsed &p);
int cmd_recover(Session &s, const Parsed &p);

} // namespace zvapp
