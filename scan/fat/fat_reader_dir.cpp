// ZV::Fat, part two: directory entries, short and long names, directory
// walks and the volume label.
//
// Implementation notes
//
//   Long names. Parts come last part first, each with the checksum of the
//   short name they belong to. Live parts fill the assembly from their
//   sequence number (slot (sequence - 1) x 13) and must count down to 1; a
//   gap, a change of checksum or a part without a short entry after it
//   clears the assembly. The long name is attached to a short entry only
//   when its own checksum matches the parts'. Each walk assembles on its
//   own: a sub-folder walked from the callback starts empty, and parts it
//   leaves at its end are dropped when it returns, so they can never name
//   the entry that follows the sub-folder in its parent.
//
//   Erased parts (walkErased) have lost their order byte, so they fill the
//   assembly from its end (slot (20 - count) x 13). The checksum then gives
//   back the erased first byte of an erased short entry: the checksum is a
//   bijection in the first byte, so exactly one byte value matches. When it
//   is not a byte a short name can start with, the parts belonged to some
//   other, older entry: the entry keeps "?" and gets no long name. A live
//   short entry takes erased parts only when its checksum matches.
//
//   Short names of live entries accept lower case and OEM bytes 0x80..0xFF
//   (legal in 8.3 names; Linux and cameras write them) and are decoded from
//   code page 437. Erased entries keep the strict 8.3 alphabet: in erased
//   space it is what tells an old entry from garbage. Only trailing blanks
//   are removed from the base and the extension ("MY FILE.TXT" stays so).
//
//   A live entry is in use whatever its name holds, and other readers list
//   it: a name with a "/", "\", "." or a control byte (some devices and
//   damaged volumes write them) is kept when every other field is plainly
//   that of a file or folder (isPlainLiveEntry: attributes, a stamp that
//   is a real date, data on the volume), which a run of garbage bytes
//   seldom passes. Its separators, dots and control bytes read "_", so the
//   text is one name; other signs are kept (recovery makes every name safe
//   for the disk it writes to).
//
//   Walks. A live walk ends at the first entry whose first byte is 0x00:
//   by the FAT rules nothing after it is in use, and stale bytes there
//   would show as files. An erased walk reads on. A directory's chain is
//   read cluster by cluster; a cluster met twice in the same directory, or
//   more than kMaxDirectoryBytes of entries, ends the walk. So does, with
//   the caller's set of a volume's directory clusters, a cluster another
//   directory read: chains of several folders that run into one shared
//   tail (cross-linked directories) give the tail's entries once.
#include <algorithm>
#include <cstring>
#include <unordered_set>

#include "foundation/clock.h"
#include "foundation/console_log.h"
#include "foundation/encoding.h"
#include "scan/fat/fat_reader.h"

namespace ZV {

namespace {

constexpr int kLogLevel = 7;

// Byte offsets of the 13 UTF-16 units in a long-name part.
const int kUnitOffsets[13] = {1, 3, 5, 7, 9, 14, 16, 18, 20, 22, 24, 28, 30};
constexpr int kMaxParts = 20;
constexpr int kUnitsPerPart = 13;

uint16_t le16(const uint8_t *p)
{
    return static_cast<uint16_t>(p[0] | p[1] << 8);
}

uint32_t le32(const uint8_t *p)
{
    return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 | static_cast<uint32_t>(p[2]) << 16 |
           static_cast<uint32_t>(p[3]) << 24;
}

// Characters of the strict 8.3 alphabet besides digits and capitals.
bool isShortNameSpecial(uint8_t c)
{
    return c != 0 && std::strchr("$%'-_@~`!(){}^#& ", c) != nullptr;
}

// A byte the strict alphabet allows (the blank included).
bool isStrictShortNameByte(uint8_t c)
{
    return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') || isShortNameSpecial(c);
}

// A FAT date and time as a local-time stamp; 0 (unknown) for a date of 0
// or a day or month of 0 (or a month past 12), which a converter would
// otherwise normalise into some other day.
int64_t fatTime(uint16_t date, uint16_t time)
{
    const unsigned day = date & 31, month = (date >> 5) & 15;
    if (date == 0 || day == 0 || month == 0 || month > 12)
        return 0;
    const int64_t t = dosDateTimeToTime(date, time);
    return t == -1 ? 0 : t;
}

// A FAT date and time that name a real moment (the date not 0).
bool isRealStamp(uint16_t date, uint16_t time)
{
    const unsigned day = date & 31, month = (date >> 5) & 15;
    const unsigned seconds = (time & 31) * 2, minutes = (time >> 5) & 63, hours = time >> 11;
    return day != 0 && month >= 1 && month <= 12 && hours < 24 && minutes < 60 && seconds < 60;
}

// A byte of an 8.3 name that cannot stand in the name's text as it is: a
// path separator, a dot (the text's own dot parts base and extension) or
// a control byte. Only names that fail the lenient test hold them.
bool isUnsafeNameByte(uint8_t c)
{
    return c < 0x20 || c == 0x7F || c == '/' || c == '\\' || c == '.';
}

bool isDotName(const uint8_t *name, int dots)
{
    for (int i = 0; i < 11; ++i)
        if (name[i] != (i < dots ? '.' : ' '))
            return false;
    return true;
}

} // namespace

uint8_t Fat::shortNameChecksum(const uint8_t *name11)
{
    uint8_t sum = 0;
    for (int i = 0; i < 11; ++i)
        sum = static_cast<uint8_t>(((sum & 1) << 7) + (sum >> 1) + name11[i]);
    return sum;
}

bool Fat::isValidShortName(const uint8_t *name11, bool erased)
{
    if (isDotName(name11, 1) || isDotName(name11, 2))
        return true;
    for (int i = 0; i < 11; ++i) {
        const uint8_t c = name11[i];
        if (i == 0 && c == 0x05)
            continue;
        if (i == 0 && c == 0xE5 && erased)
            continue;
        if (isStrictShortNameByte(c))
            continue;
        if (!erased && (c >= 0x80 || (c >= 'a' && c <= 'z')))
            continue;
        return false;
    }
    return true;
}

uint32_t Fat::entryFirstCluster(const uint8_t *raw) const
{
    // The high word is FAT32's; FAT12/16 keep other data there.
    return (fatType_ == typeFat32 ? static_cast<uint32_t>(le16(raw + 20)) << 16 : 0u) | le16(raw + 26);
}

bool Fat::isPlainLiveEntry(const uint8_t *raw) const
{
    const uint8_t attributes = raw[11];
    if ((attributes & 0xC8) != 0 || raw[0] == ' ')
        return false;
    bool named = false;
    for (int i = 0; i < 11 && !named; ++i) {
        const uint8_t c = i == 0 && raw[i] == 0x05 ? 0xE5 : raw[i];
        named = (c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c >= 0x80;
    }
    if (!named)
        return false;
    const uint16_t date = le16(raw + 24), time = le16(raw + 22);
    if ((date != 0 || time != 0) && !isRealStamp(date, time))
        return false;
    const uint32_t cluster = entryFirstCluster(raw);
    const uint32_t size = le32(raw + 28);
    const bool onVolume = cluster >= 2 && cluster - 2 < declaredClusterCount_;
    if (attributes & 0x10)
        return size == 0 && onVolume;
    if (size == 0)
        return cluster == 0 || onVolume;
    return onVolume && size <= static_cast<uint64_t>(totalSectors_) * bytesPerSector_;
}

void Fat::clearLongName()
{
    lfn_ = LongNameAssembly{};
}

bool Fat::parseLongNamePart(const uint8_t *raw, uint32_t flags)
{
    if (raw[12] != 0 || raw[26] != 0 || raw[27] != 0) {
        clearLongName();
        return false;
    }
    const uint8_t order = raw[0];
    const bool erased = order == 0xE5;
    if (erased && !(flags & walkErased))
        return false;
    const uint8_t checksum = raw[13];
    if (lfn_.haveChecksum && checksum != lfn_.checksum)
        clearLongName();

    int slot;
    int units = kUnitsPerPart;
    if (erased) {
        if (lfn_.erasedCount >= kMaxParts) {
            clearLongName();
            return false;
        }
        ++lfn_.erasedCount;
        slot = (kMaxParts - lfn_.erasedCount) * kUnitsPerPart;
    } else {
        const int sequence = order & 0x3F;
        if (sequence == 0 || sequence > kMaxParts) {
            clearLongName();
            return false;
        }
        if (order & 0x40) {
            clearLongName();
        } else if (lfn_.expected == 0 || sequence != lfn_.expected - 1) {
            clearLongName();
            return false;
        }
        lfn_.expected = static_cast<uint8_t>(sequence);
        slot = (sequence - 1) * kUnitsPerPart;
        if (sequence == kMaxParts)
            units = 8; // 19 x 13 + 8 = 255 units at most
    }
    for (int i = 0; i < units; ++i)
        lfn_.units[slot + i] = le16(raw + kUnitOffsets[i]);
    lfn_.checksum = checksum;
    lfn_.haveChecksum = true;
    return true;
}

void Fat::attachLongName(const uint8_t *raw, Entry *entry, bool erased, uint32_t flags)
{
    int from = -1;      // first unit of the name in the assembly
    int end = 0;        // one past the last unit it may use
    if ((flags & walkErased) && lfn_.erasedCount > 0) {
        bool matches = false;
        if (erased) {
            // The one first byte that gives the parts' checksum.
            uint8_t name[11];
            std::memcpy(name, raw, 11);
            for (int c = 0; c < 256; ++c) {
                name[0] = static_cast<uint8_t>(c);
                if (shortNameChecksum(name) != lfn_.checksum)
                    continue;
                if ((c > 0x20 && isStrictShortNameByte(static_cast<uint8_t>(c))) || c >= 0x80) {
                    entry->shortName[0] = static_cast<char>(c); // decoded by the caller
                    matches = true;
                }
                break;
            }
        } else {
            matches = shortNameChecksum(raw) == lfn_.checksum;
        }
        if (matches) {
            from = (kMaxParts - lfn_.erasedCount) * kUnitsPerPart;
            end = kMaxParts * kUnitsPerPart;
        }
    } else if (lfn_.haveChecksum && lfn_.expected == 1 && shortNameChecksum(raw) == lfn_.checksum) {
        from = 0;
        end = static_cast<int>(kMaxLongNameUnits);
    }
    if (from >= 0) {
        int n = 0;
        for (int i = from; i < end && lfn_.units[i] != 0 && n < static_cast<int>(kMaxLongNameUnits); ++i)
            entry->longName[n++] = lfn_.units[i];
        entry->longNameLength = static_cast<uint8_t>(n);
    }
    clearLongName();
}

bool Fat::parseEntry(const uint8_t *raw, Entry *entry, uint32_t flags)
{
    std::memset(entry, 0, sizeof *entry);
    if (raw[0] == 0x00) {
        entry->kind = kindFree;
        return true;
    }
    bool erased = false;
    if (raw[0] == 0xE5) {
        if (!(flags & walkErased)) {
            // An erased entry ends any long name being assembled.
            clearLongName();
            entry->kind = kindFree;
            return true;
        }
        erased = true;
        entry->flags |= flagErased;
    }
    const uint8_t attributes = raw[11];
    if (attributes == 0x0F) {
        entry->kind = kindLongNamePart;
        return parseLongNamePart(raw, flags);
    }
    if (attributes & 0x02)
        entry->flags |= flagHidden;
    // A name outside the 8.3 alphabet: erased entries are refused (in
    // erased space the alphabet is what tells an old entry from garbage);
    // a live one is kept when the rest of it is plainly an entry, and its
    // unsafe bytes are mapped below.
    const bool odd = !isValidShortName(raw, erased);
    if (odd && (erased || !isPlainLiveEntry(raw))) {
        clearLongName();
        return false;
    }

    // The recovered first byte of an erased name, if any, lands in
    // shortName[0]; the text is built below.
    attachLongName(raw, entry, erased, flags);
    const uint8_t recovered = static_cast<uint8_t>(entry->shortName[0]);
    entry->shortName[0] = 0;

    entry->firstCluster = entryFirstCluster(raw);
    entry->size = le32(raw + 28);
    entry->created = fatTime(le16(raw + 16), le16(raw + 14));
    entry->modified = fatTime(le16(raw + 24), le16(raw + 22));
    entry->accessed = fatTime(le16(raw + 18), 0);

    std::string text;
    if (attributes & 0x08) {
        int n = 11;
        while (n > 0 && (raw[n - 1] == ' ' || raw[n - 1] == 0))
            --n;
        for (int i = 0; i < n && raw[i] != 0; ++i)
            appendCp437(raw[i], &text);
        std::memcpy(entry->shortName, text.data(), std::min(text.size(), kShortNameBytes - 1));
        entry->kind = kindVolumeLabel;
        return true;
    }

    const uint8_t caseFlags = raw[12];
    // Blanks pad the base and the extension (an odd name may pad with 0).
    auto padding = [odd](uint8_t c) { return c == ' ' || (odd && c == 0); };
    auto append = [odd, &text](uint8_t c, bool lowerCase) {
        if (odd && isUnsafeNameByte(c))
            text.push_back('_');
        else
            appendCp437(c, &text, lowerCase);
    };
    int baseLength = 8, extLength = 3;
    while (baseLength > 0 && padding(raw[baseLength - 1]))
        --baseLength;
    while (extLength > 0 && padding(raw[8 + extLength - 1]))
        --extLength;
    for (int i = 0; i < baseLength; ++i) {
        uint8_t c = raw[i];
        if (i == 0 && erased) {
            if (recovered == 0)
                text.push_back('?');
            else
                appendCp437(recovered, &text, (caseFlags & 0x08) != 0);
            continue;
        }
        if (i == 0 && c == 0x05)
            c = 0xE5;
        append(c, (caseFlags & 0x08) != 0);
    }
    if (extLength > 0) {
        text.push_back('.');
        for (int i = 0; i < extLength; ++i)
            append(raw[8 + i], (caseFlags & 0x10) != 0);
    }
    std::memcpy(entry->shortName, text.data(), std::min(text.size(), kShortNameBytes - 1));

    if (!(attributes & 0x10))
        entry->kind = kindFile;
    else if (isDotName(raw, 1))
        entry->kind = kindDot;
    else if (isDotName(raw, 2))
        entry->kind = kindDotDot;
    else
        entry->kind = kindDirectory;
    return true;
}

bool Fat::walkArea(const uint8_t *area, size_t size, const Entry *directory, DirectoryCallback callback,
                   void *context, uint32_t flags, bool *stop)
{
    Entry entry;
    for (size_t at = 0; at + 32 <= size; at += 32) {
        const uint8_t *raw = area + at;
        if (raw[0] == 0x00 && !(flags & walkErased)) {
            *stop = true;
            return true;
        }
        if (!parseEntry(raw, &entry, flags))
            continue;
        if (!callback(*this, flags, entry, directory, context)) {
            *stop = true;
            return true;
        }
    }
    return true;
}

bool Fat::parseDirectory(uint32_t cluster, const Entry *directory, DirectoryCallback callback, void *context,
                         uint32_t flags, ClusterSet *walked)
{
    if (!stream_ || callback == nullptr || fatType_ < 0)
        return false;
    // The callback may walk a sub-folder before this walk goes on: parts
    // left at the end of the sub-folder must not name the parent's next
    // entry, nor the sub-folder's walk start with the parent's parts.
    const LongNameAssembly outer = lfn_;
    clearLongName();
    const bool read = walkDirectory(cluster, directory, callback, context, flags, walked);
    lfn_ = outer;
    return read;
}

bool Fat::walkDirectory(uint32_t cluster, const Entry *directory, DirectoryCallback callback, void *context,
                        uint32_t flags, ClusterSet *walked)
{
    static const char *const fn = "ZV::Fat::parseDirectory";
    bool stop = false;
    const bool root = (cluster == 0 && directory == nullptr) || (directory != nullptr && directory->kind == kindRoot);

    if (root && fatType_ != typeFat32) {
        // The fixed root area: at most 65535 entries, read a chunk at a time.
        const uint64_t areaBytes = static_cast<uint64_t>(rootEntries_) * 32;
        std::vector<uint8_t> chunk(std::min<uint64_t>(areaBytes, kFatCacheBlockBytes));
        for (uint64_t done = 0; done < areaBytes && !stop;) {
            const uint32_t want = static_cast<uint32_t>(std::min<uint64_t>(chunk.size(), areaBytes - done));
            uint32_t got = 0;
            const bool ok = readBytes(rootDirectoryOffset_ + done, chunk.data(), want, &got);
            walkArea(chunk.data(), got, directory, callback, context, flags, &stop);
            if (!ok && !stop) {
                ZV::log(kLogLevel, "%s: Can't seek and read directory sector", fn);
                return false;
            }
            done += want;
        }
        return true;
    }

    uint32_t current;
    if (root) {
        current = rootCluster_;
    } else if (directory != nullptr) {
        if (directory->kind != kindDirectory) {
            ZV::log(kLogLevel, "%s: Invalid input", fn);
            return false;
        }
        current = directory->firstCluster;
    } else {
        current = cluster;
    }

    std::vector<uint8_t> buffer(bytesPerCluster_);
    std::unordered_set<uint32_t> seen;
    uint64_t bytesWalked = 0;
    for (;;) {
        uint64_t offset = 0;
        if (!clusterOffset(current, &offset)) {
            ZV::log(kLogLevel, "%s: Can't get cluster offset %u", fn, current);
            return false;
        }
        if (!seen.insert(current).second) {
            ZV::log(kLogLevel, "%s: Cluster %u met twice in one directory", fn, current);
            return true;
        }
        if (walked != nullptr) {
            if (walked->contains(current)) {
                ZV::log(kLogLevel, "%s: Cluster %u was read in another directory", fn, current);
                return true;
            }
            walked->insert(current);
        }
        uint32_t got = 0;
        const bool ok = readBytes(offset, buffer.data(), bytesPerCluster_, &got);
        walkArea(buffer.data(), got, directory, callback, context, flags, &stop);
        if (stop)
            return true;
        if (!ok) {
            ZV::log(kLogLevel, "%s: Can't seek and read directory sector", fn);
            return false;
        }
        bytesWalked += bytesPerCluster_;
        if (bytesWalked >= kMaxDirectoryBytes) {
            ZV::log(kLogLevel, "%s: Directory longer than %llu bytes", fn,
                    static_cast<unsigned long long>(kMaxDirectoryBytes));
            return true;
        }
        uint32_t next = 0;
        if (!nextInChain(current, &next) || next == clusterBad || next == clusterEnd)
            return true;
        uint64_t unused = 0;
        if (!clusterOffset(next, &unused)) {
            if (flags & walkErased)
                return true;
            ZV::log(kLogLevel, "%s: Can't get cluster offset %u", fn, next);
            return false;
        }
        current = next;
    }
}

namespace {

bool visitorTrampoline(Fat &, uint32_t, const Fat::Entry &entry, const Fat::Entry *, void *context)
{
    return (*static_cast<const Fat::DirectoryVisitor *>(context))(entry);
}

} // namespace

bool Fat::parseDirectory(uint32_t cluster, const Entry *directory, const DirectoryVisitor &visitor, uint32_t flags,
                         ClusterSet *walked)
{
    return parseDirectory(cluster, directory, visitorTrampoline,
                          const_cast<void *>(static_cast<const void *>(&visitor)), flags, walked);
}

zorvant::u8string Fat::volumeLabel()
{
    if (!rootLabelKnown_ && stream_ && fatType_ >= 0) {
        rootLabelKnown_ = true;
        std::string found;
        parseDirectory(0, nullptr,
                       [&found](const Entry &e) {
                           if (e.kind != kindVolumeLabel)
                               return true;
                           found = e.shortName;
                           return false;
                       },
                       0);
        rootLabel_ = found;
    }
    if (!rootLabel_.empty())
        return zorvant::u8string(rootLabel_);
    std::string text;
    for (int i = 0; i < 11 && bootLabel_[i] != 0; ++i)
        appendCp437(static_cast<uint8_t>(bootLabel_[i]), &text);
    return zorvant::u8string(text);
}

zorvant::u8string Fat::longName(const Entry &entry)
{
    if (entry.longNameLength == 0)
        return zorvant::u8string();
    uint8_t bytes[kMaxLongNameUnits * 2];
    for (int i = 0; i < entry.longNameLength; ++i) {
        bytes[2 * i] = static_cast<uint8_t>(entry.longName[i]);
        bytes[2 * i + 1] = static_cast<uint8_t>(entry.longName[i] >> 8);
    }
    return zorvant::u8string::from_encoding(bytes, TEXT_UTF16LE, entry.longNameLength * 2);
}

zorvant::u8string Fat::displayName(const Entry &entry)
{
    if (entry.longNameLength != 0)
        return longName(entry);
    return zorvant::u8string(entry.shortName);
}

} // namespace ZV
