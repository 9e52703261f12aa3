#include "app/node_paths.h"

#include <algorithm>
#include <cstdlib>

namespace zvapp {

namespace {

// Folder levels walked at most (the FAT scan lists 128).
constexpr int kDepthMax = 256;

std::vector<std::string> split(const std::string &path)
{
    std::vector<std::string> parts;
    size_t at = 0;
    while (at <= path.size()) {
        const size_t slash = path.find('/', at);
        const std::string part = path.substr(at, slash == std::string::npos ? std::string::npos : slash - at);
        if (!part.empty())
            parts.push_back(unescape_name(part));
        if (slash == std::string::npos)
            break;
        at = slash + 1;
    }
    return parts;
}

void walk(HVEngine &engine, uint64_t keyref, const std::string &prefix, bool recursive, int depth, bool *going,
          const std::function<bool(const NodeInfo &, const std::string &)> &visit)
{
    std::vector<NodeInfo> children;
    if (depth > kDepthMax || engine.children(keyref, &children) != 0)
        return;
    // A folder's entries by name, as `ls` lists them, not in the order the
    // file system stored them: plain byte order of the UTF-8 names, case
    // counting (as `LC_ALL=C ls`: "IMG_0010.JPG" before "img_0002.jpg"), the
    // same in every locale. A scan's file systems keep the order they were
    // found in (the card's order).
    if (!keyref_is_scan(keyref))
        std::stable_sort(children.begin(), children.end(),
                         [](const NodeInfo &a, const NodeInfo &b) { return a.name < b.name; });
    for (const NodeInfo &child : children) {
        if (!*going)
            return;
        const std::string path = prefix + "/" + escape_name(child.name);
        if (!visit(child, path)) {
            *going = false;
            return;
        }
        if (recursive && (child.flags & NODE_FOLDER) != 0)
            walk(engine, child.keyref, path, true, depth + 1, going, visit);
    }
}

} // namespace

std::string escape_name(const std::string &name)
{
    std::string out;
    for (char c : name) {
        if (c == '/')
            out += "%2F";
        else if (c == '%')
            out += "%25";
        else if (c == '\n') // a line feed or tab the terminal would obey
            out += "%0A";
        else if (c == '\t')
            out += "%09";
        else
            out += c;
    }
    return out;
}

std::string unescape_name(const std::string &name)
{
    std::string out;
    for (size_t i = 0; i < name.size(); i++) {
        if (name[i] == '%' && name.compare(i, 3, "%2F") == 0) {
            out += '/';
            i += 2;
        } else if (name[i] == '%' && name.compare(i, 3, "%25") == 0) {
            out += '%';
            i += 2;
        } else if (name[i] == '%' && name.compare(i, 3, "%0A") == 0) {
            out += '\n';
            i += 2;
        } else if (name[i] == '%' && name.compare(i, 3, "%09") == 0) {
            out += '\t';
            i += 2;
        } else {
            out += name[i];
        }
    }
    return out;
}

std::string damaged_catalog_text(HVEngine &engine, uint64_t keyref)
{
    std::string file;
    if (!engine.damagedCatalog(keyref, &file))
        return "its catalog can't be read; scan the card again";
    return engine.workspacePath() + "/" + file + " can't be read; scan the card again";
}

std::vector<std::pair<NodeInfo, std::string>> damaged_file_systems(HVEngine &engine, uint64_t scan_keyref)
{
    std::vector<std::pair<NodeInfo, std::string>> out;
    std::vector<NodeInfo> systems;
    engine.children(scan_keyref, &systems);
    for (const NodeInfo &fs : systems)
        if ((fs.flags & NODE_DAMAGED_CATALOG) != 0)
            out.emplace_back(fs, std::to_string(keyref_slot(scan_keyref)) + "/" + escape_name(fs.name));
    return out;
}

bool resolve_path(HVEngine &engine, const std::string &path, uint64_t *keyref, std::string *why)
{
    const std::vector<std::string> parts = split(path);
    if (parts.empty()) {
        *why = "empty path";
        return false;
    }
    char *end = nullptr;
    const unsigned long slot = std::strtoul(parts[0].c_str(), &end, 10);
    if (end == parts[0].c_str() || *end != '\0' || slot < 1 || slot > SCX_SLOTS) {
        *why = "a path begins with a scan number (see `zorvant ls`)";
        return false;
    }
    uint64_t current = keyref_scan((uint32_t)slot);
    bool live = false;
    for (const ScanInfo &scan : engine.scans())
        live = live || scan.slot == slot;
    if (!live) {
        *why = "there is no scan " + parts[0];
        return false;
    }
    for (size_t i = 1; i < parts.size(); i++) {
        std::vector<NodeInfo> children;
        engine.children(current, &children);
        bool found = false;
        bool damaged = false;
        for (const NodeInfo &child : children)
            if (child.name == parts[i]) {
                current = child.keyref;
                damaged = (child.flags & NODE_DAMAGED_CATALOG) != 0;
                found = true;
                break;
            }
        if (!found) {
            *why = "nothing is called \"" + parts[i] + "\" there";
            return false;
        }
        if (damaged && i + 1 < parts.size()) {
            *why = std::to_string(slot) + "/" + escape_name(parts[i]) +
                   " has a damaged catalog: " + damaged_catalog_text(engine, current);
            return false;
        }
    }
    *keyref = current;
    return true;
}

void walk_nodes(HVEngine &engine, uint64_t keyref, const std::string &prefix, bool recursive,
                const std::function<bool(const NodeInfo &, const std::string &)> &visit)
{
    bool going = true;
    walk(engine, keyref, prefix, recursive, 0, &going, visit);
}

} // namespace zvapp
