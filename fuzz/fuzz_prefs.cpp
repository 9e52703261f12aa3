// The settings loader on arbitrary bytes, then reads and writes of names
// taken from the input. Checked besides memory safety: a loader refusal
// leaves an empty document; every string read is terminated inside its
// buffer (an absent key zero-fills it); a value stored is read back exactly,
// in memory and after a save to a real settings file and a load of it; and a
// reset leaves no section but "Global".
#include <stdlib.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "foundation/prefs.h"

namespace {

void require(bool condition)
{
    if (!condition)
        std::abort();
}

// Section headers, key names and values as a reader of lines would see
// them; the store's own reader may disagree (comments, odd lines), which is
// fine: these are only names to ask for and texts to store.
void collectNames(const std::string &text, std::vector<std::string> &sections,
                  std::vector<std::pair<std::string, std::string>> &entries)
{
    size_t at = 0;
    while (at < text.size() && sections.size() + entries.size() < 64) {
        size_t end = text.find('\n', at);
        std::string line = text.substr(at, end == std::string::npos ? std::string::npos : end - at);
        at = end == std::string::npos ? text.size() : end + 1;
        size_t close = line.find(']');
        if (!line.empty() && line[0] == '[' && close != std::string::npos)
            sections.push_back(line.substr(1, close - 1));
        else if (size_t equals = line.find('='); equals != std::string::npos)
            entries.emplace_back(line.substr(0, equals), line.substr(equals + 1, 200));
    }
}

// Section and key names compare without regard to ASCII case.
std::string folded(const std::string &name)
{
    std::string out = name;
    for (char &c : out)
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
    return out;
}

// A settings folder of its own for the whole run (in memory where there is
// one, so saves cost little), removed at exit.
struct SettingsFolder {
    std::string path;
    SettingsFolder()
    {
        struct stat info;
        std::string pattern = stat("/dev/shm", &info) == 0 && S_ISDIR(info.st_mode) ? "/dev/shm" : "/tmp";
        pattern += "/zv-fuzz-prefs-XXXXXX";
        require(mkdtemp(pattern.data()) != nullptr);
        path = pattern;
    }
    ~SettingsFolder()
    {
        unlink((path + "/settings.ini").c_str());
        rmdir(path.c_str());
    }
};

void checkRead(const char *section, const char *key)
{
    for (size_t size : {size_t(1), size_t(7), size_t(300)}) {
        std::vector<char> buffer(size + 1, 'x');
        int rc = prefs_get_string(section, key, buffer.data(), size);
        require(buffer[size] == 'x'); // nothing past the size
        if (rc == 0)
            require(memchr(buffer.data(), 0, size) != nullptr);
        else
            for (size_t i = 0; i < size; ++i)
                require(buffer[i] == 0);
    }
    int64_t value = 12345;
    if (prefs_get_int(section, key, &value) != 0)
        require(value == 12345);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static SettingsFolder folder;
    std::string text(reinterpret_cast<const char *>(data), size);
    std::vector<std::string> sections{"", "Global"};
    std::vector<std::pair<std::string, std::string>> entries{{"enabled", text.substr(0, 200)}};
    collectNames(text, sections, entries);

    prefs_set_dir(nullptr); // no file: the load below is of the input alone
    prefs_set_int("Global", "left over", 1); // a load must not merge into this
    if (prefs_load_data(text.data(), text.size()) != 0) {
        char probe[4];
        require(prefs_get_string("Global", "left over", probe, sizeof probe) == -1);
    }
    for (const std::string &section : sections)
        for (const auto &entry : entries)
            checkRead(section.c_str(), entry.first.c_str());

    // Store the input's own names and texts, read them back unchanged, then
    // save them, load the file and read them back unchanged again.
    require(prefs_set_dir(folder.path.c_str()) == 0);
    std::map<std::pair<std::string, std::string>, std::string> stored;
    prefs_begin_update();
    for (const std::string &section : sections)
        for (const auto &entry : entries) {
            if (section.find('\0') != std::string::npos || entry.first.find('\0') != std::string::npos ||
                entry.second.find('\0') != std::string::npos)
                continue;
            if (prefs_set_string(section.c_str(), entry.first.c_str(), entry.second.c_str()) != 0)
                continue;
            std::vector<char> back(256);
            require(prefs_get_string(section.c_str(), entry.first.c_str(), back.data(), back.size()) == 0);
            require(entry.second == back.data());
            stored[{folded(section), folded(entry.first)}] = entry.second;
        }
    prefs_end_update(); // saves
    require(prefs_save() == 0);
    require(prefs_load() == 0);
    for (const auto &entry : stored) {
        std::vector<char> back(256);
        require(prefs_get_string(entry.first.first.c_str(), entry.first.second.c_str(), back.data(), back.size()) == 0);
        require(entry.second == back.data());
    }

    prefs_reset();
    for (const std::string &section : sections)
        if (section != "Global" && section.find('\0') == std::string::npos)
            for (const auto &entry : entries) {
                char probe[4];
                if (strcasecmp(section.c_str(), "global") != 0)
                    require(prefs_get_string(section.c_str(), entry.first.c_str(), probe, sizeof probe) == -1);
            }
    return 0;
}
