// The settings loader on arbitrary bytes, then reads and writes of names
// taken from the input. Checked besides memory safety: a loader refusal
// leaves an empty document; every string read is terminated inside its
// buffer (an absent key zero-fills it); a value stored is read back exactly;
// and a reset leaves no section but "Global".
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <strings.h>
#include <string>
#include <vector>

#include "foundation/prefs.h"

namespace {

void require(bool condition)
{
    if (!condition)
        std::abort();
}

// Section headers and key names as a reader of lines would see them; the
// store's own reader may disagree (comments, odd lines), which is fine:
// these are only names to ask for.
void collectNames(const std::string &text, std::vector<std::string> &sections, std::vector<std::string> &keys)
{
    size_t at = 0;
    while (at < text.size() && sections.size() + keys.size() < 64) {
        size_t end = text.find('\n', at);
        std::string line = text.substr(at, end == std::string::npos ? std::string::npos : end - at);
        at = end == std::string::npos ? text.size() : end + 1;
        size_t close = line.find(']');
        if (!line.empty() && line[0] == '[' && close != std::string::npos)
            sections.push_back(line.substr(1, close - 1));
        else if (size_t equals = line.find('='); equals != std::string::npos)
            keys.push_back(line.substr(0, equals));
    }
}

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
    std::string text(reinterpret_cast<const char *>(data), size);
    std::vector<std::string> sections{"", "Global"}, keys{"enabled"};
    collectNames(text, sections, keys);

    prefs_set_int("Global", "left over", 1); // a load must not merge into this
    if (prefs_load_data(text.data(), text.size()) != 0) {
        char probe[4];
        require(prefs_get_string("Global", "left over", probe, sizeof probe) == -1);
    }
    for (const std::string &section : sections)
        for (const std::string &key : keys)
            checkRead(section.c_str(), key.c_str());

    // Store the input's own names and text, then read them back unchanged.
    prefs_begin_update();
    for (const std::string &section : sections) {
        const std::string &key = keys.back();
        if (prefs_set_string(section.c_str(), key.c_str(), text.substr(0, 200).c_str()) == 0) {
            std::vector<char> back(256);
            require(prefs_get_string(section.c_str(), key.c_str(), back.data(), back.size()) == 0);
            require(strcmp(back.data(), text.substr(0, 200).c_str()) == 0);
        }
    }
    prefs_end_update(); // no settings folder: nothing is written

    prefs_reset();
    for (const std::string &section : sections)
        if (section != "Global" && section.find('\0') == std::string::npos)
            for (const std::string &key : keys) {
                char probe[4];
                if (strcasecmp(section.c_str(), "global") != 0)
                    require(prefs_get_string(section.c_str(), key.c_str(), probe, sizeof probe) == -1);
            }
    return 0;
}
