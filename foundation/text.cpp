// Small text helpers: formatting, line taking, trimming, whole-file reading
// and Base64 decoding.
#include "foundation/text.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "foundation/error.h"
#include "foundation/fileops.h"

namespace ZV {

std::string format(const char *format, ...)
{
    va_list args;
    va_start(args, format);
    std::string result = vformat(format, args);
    va_end(args);
    return result;
}

std::string vformat(const char *format, va_list args)
{
    // zv_vasprintf makes two passes (measure, then print), each over a copy
    // of the list it is given; the copy here leaves the caller's list as it was.
    va_list copy;
    va_copy(copy, args);
    char *block = nullptr;
    int length = zv_vasprintf(&block, format, copy);
    va_end(copy);
    std::string result;
    if (block != nullptr && length > 0)
        result.assign(block, size_t(length));
    std::free(block);
    return result;
}

bool popLine(std::string &buffer, std::string &line)
{
    size_t lf = buffer.find('\n');
    if (lf == std::string::npos)
        return false;
    size_t end = lf > 0 && buffer[lf - 1] == '\r' ? lf - 1 : lf;
    line.assign(buffer, 0, end);
    buffer.erase(0, lf + 1);
    return true;
}

std::string &trim(std::string &text)
{
    static const char kBlanks[] = " \t\r\n";
    size_t last = text.find_last_not_of(kBlanks);
    if (last == std::string::npos) {
        text.clear();
        return text;
    }
    text.erase(last + 1);
    text.erase(0, text.find_first_not_of(kBlanks));
    return text;
}

int hexDigitValue(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

std::string readTextFile(const zorvant::u8string &path)
{
    // The error object of a failed open is dropped: callers take "" as "no file".
    FILE *file = ZV::fopen(path, "r");
    if (file == nullptr)
        return std::string();
    std::string content;
    char chunk[4096];
    size_t got;
    while ((got = std::fread(chunk, 1, sizeof chunk, file)) > 0)
        content.append(chunk, got);
    // fread returns 0 both at the end and on an error. Part of a file is not
    // the file: a read error gives "", like a file that could not be opened.
    bool failed = std::ferror(file) != 0;
    std::fclose(file);
    if (failed)
        return std::string();
    return content;
}

} // namespace ZV

namespace {

// Value of a Base64 alphabet character, or -1.
int base64_value(unsigned char c)
{
    if (c >= 'A' && c <= 'Z')
        return c - 'A';
    if (c >= 'a' && c <= 'z')
        return c - 'a' + 26;
    if (c >= '0' && c <= '9')
        return c - '0' + 52;
    if (c == '+')
        return 62;
    if (c == '/')
        return 63;
    return -1;
}

bool base64_is_space(unsigned char c)
{
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

// Writes the bytes of a group of n (2 to 4) values: n - 1 bytes.
size_t base64_flush(const int *v, int n, uint8_t *out)
{
    out[0] = uint8_t(v[0] << 2 | v[1] >> 4);
    if (n >= 3)
        out[1] = uint8_t((v[1] & 0x0F) << 4 | v[2] >> 2);
    if (n == 4)
        out[2] = uint8_t((v[2] & 0x03) << 6 | v[3]);
    return size_t(n - 1);
}

} // namespace

// Implementation notes: "=" ends the current group instead of being skipped.
// Skipping it would read "QQ==QQ==" as the one group "QQQQ" (three bytes)
// where the writer meant two padded one-byte blocks. White space may stand
// anywhere, even inside a group, since property lists wrap their data lines
// at any column. The output needs at most 3 bytes per 4 characters read.
uint8_t *base64_decode(const char *text, uint32_t *size)
{
    if (text == nullptr || size == nullptr)
        return nullptr;
    *size = 0;
    size_t length = std::strlen(text);
    if (length == 0)
        return nullptr;
    size_t capacity = ((length + 3) / 4) * 3; // length < SIZE_MAX - 3: it is the length of a string in memory
    auto *buffer = static_cast<uint8_t *>(std::malloc(capacity));
    if (buffer == nullptr)
        return nullptr;

    size_t written = 0;
    int group[4];
    int n = 0;
    bool ok = true;
    for (size_t i = 0; i < length && ok; i++) {
        auto c = static_cast<unsigned char>(text[i]);
        if (base64_is_space(c))
            continue;
        if (c == '=') {
            if (n == 1)
                ok = false; // one character carries only 6 bits: not even one byte
            else if (n > 1)
                written += base64_flush(group, n, buffer + written);
            n = 0;
            continue;
        }
        int v = base64_value(c);
        if (v < 0) {
            ok = false;
            break;
        }
        group[n++] = v;
        if (n == 4) {
            written += base64_flush(group, 4, buffer + written);
            n = 0;
        }
    }
    if (ok && n == 1)
        ok = false;
    else if (ok && n > 1)
        written += base64_flush(group, n, buffer + written);
    if (!ok || written > UINT32_MAX) {
        std::free(buffer);
        return nullptr;
    }
    if (written > 0) {
        // Shrinking cannot fail in practice; if it does, the larger block is as good.
        if (auto *shrunk = static_cast<uint8_t *>(std::realloc(buffer, written)))
            buffer = shrunk;
    }
    *size = uint32_t(written);
    return buffer;
}
