// The settings store over one INI document (see prefs.h for the file
// layout and what is promised).
//
// Implementation notes
// - The document is SimpleIni's, in UTF-8 mode with multiple keys and
//   multi-line values off, and case-insensitive names. SimpleIni appends
//   on every load, so each load empties the document first.
// - The INI form has no escapes: a line break in a value would start new
//   lines (and so new keys or sections) in the file. Text that could not be
//   read back as it was stored is refused when it is stored, with the same
//   rules the reader applies, so a file written here always loads whole.
// - SimpleIni's writer ignores the results of its stdio calls, so a save
//   checks the stream's error flag, fflush, fsync and fclose itself.
// - The temporary file of a save has a random name and is made with
//   O_CREAT | O_EXCL | O_NOFOLLOW (foundation/atomic_file.h): a fixed name
//   would be shared by two engines saving into one folder, and opening it
//   with "w" would truncate whatever a link placed at that name points to.
//   It is written through the descriptor it was made with, never opened
//   again by name.
#include "foundation/prefs.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>
#include <string>
#include <vector>

// SimpleIni is used header-only. Debian's header keeps the template's
// member definitions behind SI_IMPLEMENTATION (its library instantiates
// them), and by default selects a wide-character converter whose source
// (ConvertUTF) the package does not ship. Only the char document with its
// pass-through converter is used here, so no converter is selected; the
// case-insensitive comparison is then the ASCII one, as it is by default.
#define SI_IMPLEMENTATION
#define SI_NO_CONVERSION
#include <SimpleIni.h>
#include <utf8cpp/utf8.h>

#include "foundation/atomic_file.h"
#include "foundation/fileops.h"
#include "foundation/log.h"
#include "foundation/paths.h"
#include "foundation/sysutil.h"
#include "foundation/u8string.h"

namespace {

using IniDocument = CSimpleIniTempl<char, SI_NoCase<char>, SI_ConvertA<char>>;

// A settings file holds a few hundred short lines, a few kilobytes. One
// larger than this was not written by this store, and loading it would
// cost its size several times over in memory.
constexpr size_t kMaxSettingsFileSize = 16u << 20;

// Numbers are formatted into (and read from) a buffer of this size.
constexpr size_t kNumberTextSize = 50;

struct Store {
    std::mutex mutex;
    IniDocument document{true /* UTF-8 */, false /* multi-key */, false /* multi-line */};
    zorvant::u8string dir;         // settings folder; "" until prefs_set_dir
    zorvant::u8string path;        // dir + "/settings.ini"
    zorvant::u8string loaded_path; // the file the document was last loaded from
    int32_t depth = 0;             // open batches
    bool changed = false;          // something was stored or reset (never cleared)
};

// Made on first use and never destroyed, so a thread still running at exit
// cannot reach a destroyed store.
Store &store()
{
    static Store *instance = new Store;
    return *instance;
}

// --- text rules ---------------------------------------------------------------

bool isBlank(char c) { return c == ' ' || c == '\t'; }

// UTF-8 without line breaks.
bool isLineText(const char *text)
{
    if (text == nullptr)
        return false;
    size_t length = strlen(text);
    return strpbrk(text, "\r\n") == nullptr && utf8::is_valid(text, text + length);
}

// A name the reader gives back unchanged: it trims blanks at both ends.
bool hasNoOuterBlanks(const char *text)
{
    size_t length = strlen(text);
    return length == 0 || (!isBlank(text[0]) && !isBlank(text[length - 1]));
}

// The signature a UTF-8 file may begin with; the reader drops it there.
constexpr char kUtf8Signature[] = "\xEF\xBB\xBF";

// Would [section] key = value read back as these three texts? Checked
// against a save and a load of each kind of text: what passes here comes
// back byte for byte.
bool isStorable(const char *section, const char *key, const char *value)
{
    if (!isLineText(section) || !isLineText(key) || !isLineText(value))
        return false;
    if (strchr(section, ']') != nullptr || !hasNoOuterBlanks(section) || !hasNoOuterBlanks(value))
        return false;
    // The unnamed section's keys come first in the file, and the reader
    // takes a byte-order mark at the file's start for its signature.
    if (section[0] == '\0' && strncmp(key, kUtf8Signature, 3) == 0)
        return false;
    // A key line is cut at its first "="; ";" and "#" begin comments, "[" a section.
    return key[0] != '\0' && strchr(key, '=') == nullptr && strchr(";#[", key[0]) == nullptr &&
           hasNoOuterBlanks(key);
}

// Text this store could have written: no NUL (the reader would stop there),
// UTF-8 throughout, and of a plausible size.
bool isSettingsText(const char *data, size_t size)
{
    return size <= kMaxSettingsFileSize && memchr(data, 0, size) == nullptr && utf8::is_valid(data, data + size);
}

// --- loading ------------------------------------------------------------------

// Replaces the document by the text. -1 (document empty) when it is damaged.
int loadLocked(Store &s, const char *data, size_t size)
{
    s.document.Reset();
    if (size == 0)
        return 0;
    if (data == nullptr || !isSettingsText(data, size))
        return -1;
    SI_Error rc;
    try {
        rc = s.document.LoadData(data, size);
    } catch (const std::bad_alloc &) {
        rc = SI_NOMEM;
    }
    if (rc < 0) {
        s.document.Reset();
        return -1;
    }
    return 0;
}

enum class ReadResult { Read, NotThere, TooLarge };

// Reads a whole regular file of at most kMaxSettingsFileSize bytes. A
// missing file, a folder, a device or a read error is NotThere. O_NONBLOCK
// keeps a FIFO left in the file's place from blocking the open.
ReadResult readSettingsFile(const zorvant::u8string &path, std::string &bytes)
{
    int fd = ZV::open(path, O_RDONLY | O_NONBLOCK);
    if (fd < 0)
        return ReadResult::NotThere;
    struct stat info;
    if (fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
        log_warning("prefs: %s is not a regular file", path.c_str());
        close(fd);
        return ReadResult::NotThere;
    }
    // Read to the end rather than trusting st_size: the file may grow or
    // shrink while we read. One byte over the cap tells "too large".
    bytes.clear();
    char chunk[65536];
    for (;;) {
        ssize_t got = read(fd, chunk, sizeof chunk);
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0) {
            log_warning("prefs: can't read %s (%s)", path.c_str(), ZV::errorString(errno).c_str());
            close(fd);
            return ReadResult::NotThere;
        }
        if (got == 0)
            break;
        bytes.append(chunk, static_cast<size_t>(got));
        if (bytes.size() > kMaxSettingsFileSize) {
            close(fd);
            return ReadResult::TooLarge;
        }
    }
    close(fd);
    return ReadResult::Read;
}

// --- saving -------------------------------------------------------------------

int saveLocked(Store &s)
{
    if (s.depth >= 1)
        return 0;
    if (s.path.empty())
        return -1;
    // A file that holds this text already is left as it is, so a workspace
    // that cannot be written still serves what changes nothing.
    std::string text, onDisk;
    if (s.document.Save(text, false) >= 0 && readSettingsFile(s.path, onDisk) == ReadResult::Read && onDisk == text)
        return 0;
    if (ZV::makeDirectories(s.dir) != 0) {
        const int failure = errno;
        log_error("prefs: couldn't create path to file %s", s.path.c_str());
        errno = failure;
        return -1;
    }
    // The stream writes through a duplicate of the temporary's descriptor;
    // its name is never opened again.
    atomic_file target;
    const std::string name = s.path.str().substr(s.path.str().rfind('/') + 1) + ".tmp-";
    const bool created = atomic_file_create(&target, s.path.c_str(), name.c_str(), ATOMIC_FILE_RANDOM, 0666) == 0;
    const int copy = created ? fcntl(target.fd, F_DUPFD_CLOEXEC, 0) : -1;
    FILE *file = copy >= 0 ? fdopen(copy, "w") : nullptr;
    if (file == nullptr) {
        const int failure = created ? errno : target.error;
        if (copy >= 0)
            close(copy);
        log_error("prefs: can't open file %s (%s)", target.temp_path.c_str(),
                  ZV::errorString(failure).c_str());
        atomic_file_abandon(&target);
        errno = failure;
        return -1;
    }
    errno = 0;
    bool written = s.document.SaveFile(file, false) >= 0;
    written = written && ferror(file) == 0 && fflush(file) == 0;
    int failure = written ? 0 : errno;
    if (fclose(file) != 0 && written) {
        written = false;
        failure = errno;
    }
    if (written && atomic_file_finish(&target) != 0) {
        written = false;
        failure = target.error;
    }
    if (!written) {
        atomic_file_abandon(&target);
        log_error("prefs: couldn't save to %s", s.path.c_str());
        errno = failure != 0 ? failure : EIO;
        return -1;
    }
    return 0;
}

// --- values -------------------------------------------------------------------

int setStringLocked(Store &s, const char *section, const char *key, const char *value)
{
    SI_Error rc = SI_FAIL;
    if (isStorable(section, key, value)) {
        try {
            rc = s.document.SetValue(section, key, value, nullptr, false);
        } catch (const std::bad_alloc &) {
            rc = SI_NOMEM;
        }
    }
    if (rc != SI_UPDATED && rc != SI_INSERTED) {
        log_error("prefs: can't set value (%d)", rc);
        return -1;
    }
    s.changed = true;
    return 0;
}

int setNumber(const char *section, const char *key, const char *format, ...) ZV_PRINTF(3, 4);
int setNumber(const char *section, const char *key, const char *format, ...)
{
    char text[kNumberTextSize];
    va_list args;
    va_start(args, format);
    vsnprintf(text, sizeof text, format, args);
    va_end(args);
    Store &s = store();
    std::lock_guard<std::mutex> lock(s.mutex);
    return setStringLocked(s, section, key, text);
}

} // namespace

int prefs_set_dir(const char *dir)
{
    Store &s = store();
    std::lock_guard<std::mutex> lock(s.mutex);
    s.dir = zorvant::u8string();
    s.path = zorvant::u8string();
    if (dir == nullptr || !utf8::is_valid(dir, dir + strlen(dir)))
        return -1;
    s.dir = zorvant::u8string(dir);
    s.path = zorvant::path_join(s.dir, zorvant::u8string("settings.ini"));
    return 0;
}

int prefs_load()
{
    Store &s = store();
    std::lock_guard<std::mutex> lock(s.mutex);
    if (s.path.empty())
        return 0;
    std::string bytes;
    ReadResult read = readSettingsFile(s.path, bytes);
    bool otherFile = !s.loaded_path.empty() && s.loaded_path != s.path;
    s.loaded_path = s.path;
    if (read == ReadResult::NotThere) {
        if (otherFile)
            s.document.Reset();
        return 0;
    }
    if (read == ReadResult::Read && loadLocked(s, bytes.data(), bytes.size()) == 0)
        return 0;
    s.document.Reset();
    log_warning("prefs: %s is damaged; starting with empty settings", s.path.c_str());
    return -1;
}

int prefs_load_data(const char *data, size_t size)
{
    Store &s = store();
    std::lock_guard<std::mutex> lock(s.mutex);
    return loadLocked(s, data, size);
}

int prefs_save()
{
    Store &s = store();
    std::lock_guard<std::mutex> lock(s.mutex);
    return saveLocked(s);
}

void prefs_begin_update()
{
    Store &s = store();
    std::lock_guard<std::mutex> lock(s.mutex);
    ++s.depth;
}

void prefs_end_update()
{
    Store &s = store();
    std::lock_guard<std::mutex> lock(s.mutex);
    if (s.depth <= 0)
        return;
    if (--s.depth == 0 && s.changed)
        saveLocked(s);
}

void prefs_reset()
{
    Store &s = store();
    std::lock_guard<std::mutex> lock(s.mutex);
    // Copy the names first: deleting a section frees the text the list points to.
    IniDocument::TNamesDepend sections;
    s.document.GetAllSections(sections);
    std::vector<std::string> doomed;
    for (const auto &section : sections)
        if (strcmp(section.pItem, "Global") != 0)
            doomed.emplace_back(section.pItem);
    for (const std::string &name : doomed)
        s.document.Delete(name.c_str(), nullptr);
    s.changed = true;
}

int prefs_set_string(const char *section, const char *key, const char *value)
{
    Store &s = store();
    std::lock_guard<std::mutex> lock(s.mutex);
    return setStringLocked(s, section, key, value);
}

int prefs_set_int(const char *section, const char *key, int64_t value)
{
    return setNumber(section, key, "%lld", static_cast<long long>(value));
}

int prefs_set_float(const char *section, const char *key, float value)
{
    return setNumber(section, key, "%.4f", static_cast<double>(value));
}

int prefs_get_string(const char *section, const char *key, char *buffer, size_t size)
{
    if (buffer == nullptr || size == 0)
        return -1;
    Store &s = store();
    std::lock_guard<std::mutex> lock(s.mutex);
    const char *value = section && key ? s.document.GetValue(section, key, nullptr) : nullptr;
    if (value == nullptr) {
        memset(buffer, 0, size);
        return -1;
    }
    size_t length = strnlen(value, size - 1);
    memcpy(buffer, value, length);
    buffer[length] = '\0';
    return 0;
}

int prefs_get_int(const char *section, const char *key, int64_t *value)
{
    char text[kNumberTextSize];
    if (prefs_get_string(section, key, text, sizeof text) != 0)
        return -1;
    long long number = strtoll(text, nullptr, 10);
    if (value != nullptr)
        *value = number;
    return 0;
}
