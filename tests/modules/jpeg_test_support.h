// Shared by the JPEG module's tests: the JPEGs they use, made at test time
// with cjpeg (baseline, progressive, arithmetic-coded, greyscale, with
// restart markers) and exiftool (an Exif block holding a JPEG preview);
// hand-made marker streams; and multi-picture files put together from them
// (the index is written here: no Debian tool writes one).
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "modules/jpeg.h"
#include "support/jpeg_support.h"
#include "support/test_support.h"

namespace jpegtest {

using Bytes = std::string;

// --- test images -------------------------------------------------------------------

using zvtest::ppm;

struct Sample {
    Bytes bytes;
    uint32_t width, height;
    uint8_t frame;       // frame header code
    bool identified;     // JFIF or Exif
    size_t preview = 0;  // offset of the Exif preview's SOI, 0 when none
};

// The JPEGs every test uses, made once per test program.
class Samples {
public:
    static const Samples &get()
    {
        static Samples samples;
        return samples;
    }
    std::map<std::string, Sample> all;
    const Sample &operator[](const std::string &name) const { return all.at(name); }

private:
    Samples()
    {
        for (const char *tool : {"cjpeg", "exiftool"})
            zvtest::requireTool(tool);
        const std::string d = dir.path();
        zvtest::writeFile(d + "/big.ppm", ppm(640, 480, 1));
        zvtest::writeFile(d + "/preview.ppm", ppm(160, 120, 2));
        zvtest::writeFile(d + "/thumb.ppm", ppm(48, 36, 3));
        zvtest::writeFile(d + "/wide.ppm", ppm(200, 40, 4));
        const auto make = [&](const std::string &name, const std::string &options, const std::string &ppm_name) {
            zvtest::mustRun("cjpeg " + options + " -outfile " + d + "/" + name + ".jpg " + d + "/" + ppm_name);
        };
        make("baseline", "-quality 90", "big.ppm");
        make("progressive", "-quality 90 -progressive", "big.ppm");
        make("restart", "-quality 85 -restart 1", "big.ppm");
        make("arithmetic", "-quality 85 -arithmetic", "big.ppm");
        make("grey", "-grayscale -quality 80", "big.ppm");
        make("preview", "-quality 70", "preview.ppm");
        make("thumb", "-quality 70", "thumb.ppm");
        make("wide", "-quality 70", "wide.ppm");
        make("exif", "-quality 90", "big.ppm");
        make("exif_progressive", "-quality 90 -progressive", "big.ppm");
        for (const char *name : {"exif", "exif_progressive"})
            zvtest::mustRun("exiftool -q -overwrite_original -Make=Zorvant '-ThumbnailImage<=" + d +
                            "/preview.jpg' " + d + "/" + name + ".jpg");
        const auto add = [&](const std::string &name, uint32_t w, uint32_t h, uint8_t frame, bool identified) {
            Sample s{zvtest::readFile(d + "/" + name + ".jpg"), w, h, frame, identified};
            const size_t preview = s.bytes.find("\xFF\xD8\xFF", 2);
            if (name.rfind("exif", 0) == 0)
                s.preview = preview;
            all[name] = s;
        };
        add("baseline", 640, 480, 0xC0, true);
        add("progressive", 640, 480, 0xC2, true);
        add("restart", 640, 480, 0xC0, true);
        add("arithmetic", 640, 480, 0xC9, true);
        add("grey", 640, 480, 0xC0, true);
        add("thumb", 48, 36, 0xC0, true);
        add("wide", 200, 40, 0xC0, true);
        add("exif", 640, 480, 0xC0, true);
        add("exif_progressive", 640, 480, 0xC2, true);
    }
    zvtest::TempDir dir;
};

// Hand-made streams: segments, frame and scan headers of 1 to n components.
inline Bytes segment(uint8_t code, const Bytes &body)
{
    const size_t n = body.size() + 2;
    return Bytes("\xFF", 1) + (char)code + (char)(n >> 8) + (char)(n & 0xFF) + body;
}
inline Bytes frame(uint8_t code, uint16_t w, uint16_t h, int components = 1)
{
    Bytes body = Bytes(1, 8) + (char)(h >> 8) + (char)h + (char)(w >> 8) + (char)w + (char)components;
    for (int c = 0; c < components; c++)
        body += Bytes{(char)(c + 1), 0x11, 0};
    return segment(code, body);
}
inline Bytes scan_header(int components = 1)
{
    Bytes body(1, (char)components);
    for (int c = 0; c < components; c++)
        body += Bytes{(char)(c + 1), 0};
    return segment(0xDA, body + Bytes("\x00\x3F\x00", 3));
}
inline const Bytes kSOI("\xFF\xD8", 2), kEOI("\xFF\xD9", 2);
inline Bytes dqt() { return segment(0xDB, Bytes(65, '\x01').replace(0, 1, 1, '\0')); }
inline Bytes dht() { return segment(0xC4, Bytes(17, '\0') + Bytes(1, '\0')); }
inline Bytes data(const Bytes &bytes = Bytes("\x12\x34\xFF\x00\x56\xFF\xD0\x78\xFF\xD1\x9A", 11)) { return bytes; }
// SOI, DQT, SOF0 (16 x 8, 1 component), DHT, SOS, the data given and EOI.
// The entropy-coded bytes are not decoded by the walk.
inline Bytes minimal(const Bytes &scan_data = data())
{
    return kSOI + dqt() + frame(0xC0, 16, 8) + dht() + scan_header() + scan_data + kEOI;
}

inline jpeg_walk walk_all(const Bytes &bytes, size_t piece = 0)
{
    jpeg_walk w;
    jpeg_walk_init(&w);
    size_t at = 0;
    const size_t step = piece == 0 ? bytes.size() : piece;
    while (at < bytes.size() && w.state != JPEG_WALK_END && w.state != JPEG_WALK_DAMAGED) {
        const size_t n = std::min(step, bytes.size() - at);
        const size_t used = jpeg_walk_feed(&w, reinterpret_cast<const uint8_t *>(bytes.data()) + at, n);
        EXPECT_LE(used, n);
        at += used;
        if (used < n && w.state != JPEG_WALK_END && w.state != JPEG_WALK_DAMAGED)
            ADD_FAILURE() << "a feed stopped early without an ending";
    }
    return w;
}

// --- multi-picture files ------------------------------------------------------------

// One image entry of a multi-picture index as written.
struct MpEntry {
    uint32_t attributes, size, offset;
};

inline void put(Bytes &out, uint64_t value, int bytes, bool big)
{
    for (int i = 0; i < bytes; i++)
        out += (char)(value >> (8 * (big ? bytes - 1 - i : i)));
}

// The body of an APP2 multi-picture index from "MPF\0" on: version, image
// count and the entry list, in either byte order.
inline Bytes mpf_body(const std::vector<MpEntry> &entries, bool big = false)
{
    Bytes tiff = big ? Bytes("MM\0\x2A", 4) : Bytes("II\x2A\0", 4);
    put(tiff, 8, 4, big);  // the IFD right after the header
    put(tiff, 3, 2, big);  // three entries
    const uint32_t list = 8 + 2 + 3 * 12 + 4;
    put(tiff, 0xB000, 2, big), put(tiff, 7, 2, big), put(tiff, 4, 4, big), tiff += "0100";
    put(tiff, 0xB001, 2, big), put(tiff, 4, 2, big), put(tiff, 1, 4, big), put(tiff, entries.size(), 4, big);
    put(tiff, 0xB002, 2, big), put(tiff, 7, 2, big), put(tiff, 16 * entries.size(), 4, big), put(tiff, list, 4, big);
    put(tiff, 0, 4, big); // no next IFD
    for (const MpEntry &e : entries) {
        put(tiff, e.attributes, 4, big), put(tiff, e.size, 4, big), put(tiff, e.offset, 4, big);
        put(tiff, 0, 4, big);
    }
    return Bytes("MPF\0", 4) + tiff;
}

// A multi-picture file of the images (whole JPEGs): the index goes into the
// first image right after its SOI, the other images follow it, each after
// `gap` bytes of 0x33. `damage` may change the entries before they are
// written (their number must stay).
inline Bytes mpo(const std::vector<Bytes> &images, bool big = false,
                 const std::function<void(std::vector<MpEntry> &)> &damage = {}, size_t gap = 0)
{
    std::vector<MpEntry> entries(images.size(), MpEntry{0, 0, 0});
    const size_t body = mpf_body(entries, big).size();
    const size_t first = images[0].size() + 4 + body;
    const size_t origin = 2 + 4 + 4; // SOI, marker and length, "MPF\0"
    size_t at = first;
    for (size_t i = 0; i < images.size(); i++) {
        entries[i].attributes = i == 0 ? 0x20030000u : 0x00020002u;
        entries[i].size = (uint32_t)(i == 0 ? first : images[i].size());
        if (i > 0)
            at += gap;
        entries[i].offset = (uint32_t)(i == 0 ? 0 : at - origin);
        if (i > 0)
            at += images[i].size();
    }
    if (damage)
        damage(entries);
    const Bytes index = mpf_body(entries, big);
    Bytes out = images[0].substr(0, 2) + Bytes("\xFF\xE2", 2) + (char)((index.size() + 2) >> 8) +
                (char)((index.size() + 2) & 0xFF) + index + images[0].substr(2);
    for (size_t i = 1; i < images.size(); i++)
        out += Bytes(gap, '\x33') + images[i];
    return out;
}

} // namespace jpegtest
