// The .strings parser (the format is described in strings.h).
//
// Implementation notes
// - The text arrives as a zorvant::u8string, so it is valid UTF-8. Every
//   delimiter of the format is ASCII, and in UTF-8 no byte of a multi-byte
//   sequence is below 0x80, so walking bytes finds exactly the delimiters a
//   walk over code points would find. Keys and values are cut out between
//   their quotes and turned into u8strings again, which keeps them in NFC.
// - Every step moves forward by at least one byte, so the walk ends on any
//   input; nothing is allocated beyond the keys and values themselves.
// - A text ending inside a key is refused like one ending inside a value:
//   both mean the table was cut short, and a truncated table must not be
//   reported as loaded.
#include <string>

#include "foundation/strings.h"

namespace {

// Initial bucket request of an emptied table and its maximum load factor.
constexpr size_t kTableBuckets = 8;
constexpr float kTableLoadFactor = 1.0f;

class StringsParser {
public:
    explicit StringsParser(const std::string &text) : text_(text) {}

    bool parse(zorvant::StringTable &table)
    {
        for (;;) {
            // Between entries: white space and comments, then a key or the end.
            if (!skip_space_and_comments())
                return false;
            if (at_end())
                return true;
            if (text_[pos_] != '"')
                return false; // a lone '/', a letter, a digit, ...
            std::string key, value;
            if (!read_quoted(key))
                return false;
            skip_space();
            if (at_end() || text_[pos_] != '=')
                return false;
            ++pos_;
            skip_space();
            if (at_end() || text_[pos_] != '"')
                return false;
            if (!read_quoted(value))
                return false;
            skip_space();
            if (!at_end() && text_[pos_] != ';')
                return false;
            // Stored on its ';', or when the text ends right after the value.
            table.insert_or_assign(zorvant::u8string(key), zorvant::u8string(value));
            if (at_end())
                return true;
            ++pos_; // the ';'
        }
    }

private:
    bool at_end() const { return pos_ >= text_.size(); }

    static bool is_space(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

    void skip_space()
    {
        while (!at_end() && is_space(text_[pos_]))
            ++pos_;
    }

    // False on a '/' that starts no comment. A comment reaching the end of the
    // text simply ends it.
    bool skip_space_and_comments()
    {
        for (;;) {
            skip_space();
            if (at_end() || text_[pos_] != '/')
                return true;
            if (pos_ + 1 >= text_.size())
                return false;
            char next = text_[pos_ + 1];
            if (next == '*') {
                size_t close = text_.find("*/", pos_ + 2);
                pos_ = close == std::string::npos ? text_.size() : close + 2;
            } else if (next == '/') {
                size_t feed = text_.find('\n', pos_ + 2);
                pos_ = feed == std::string::npos ? text_.size() : feed + 1;
            } else {
                return false;
            }
        }
    }

    // At an opening '"'. Reads up to the next '"' not preceded by a backslash;
    // backslash + '"' gives '"', any other backslash is kept. False when the
    // text ends first.
    bool read_quoted(std::string &out)
    {
        ++pos_;
        while (!at_end()) {
            char c = text_[pos_];
            if (c == '"') {
                ++pos_;
                return true;
            }
            if (c == '\\' && pos_ + 1 < text_.size() && text_[pos_ + 1] == '"') {
                out.push_back('"');
                pos_ += 2;
                continue;
            }
            out.push_back(c);
            ++pos_;
        }
        return false;
    }

    const std::string &text_;
    size_t pos_ = 0;
};

} // namespace

bool parse_strings(const zorvant::u8string &text, zorvant::StringTable &table)
{
    zorvant::StringTable fresh(kTableBuckets);
    fresh.max_load_factor(kTableLoadFactor);
    table.swap(fresh);
    return StringsParser(text.str()).parse(table);
}
