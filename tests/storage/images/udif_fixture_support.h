// UDIF fixtures for the tests: FAT images made with mkfs.fat and mtools as
// sources, written as UDIF by the test writer (udif_writer.h), and accepted
// only when third-party readers give the source bytes back:
//   qemu    qemu-img convert -f dmg -O raw (no bzip2 chunks: Debian's qemu
//           has no bzip2 module for it)
//   dmg2img dmg2img (stored offsets counted from the file's start only)
//   7z      7z x -tdmg: one file per block table, concatenated in order
#pragma once

#include <dirent.h>

#include <algorithm>
#include <string>
#include <vector>

#include "scan/fat_image_support.h"
#include "tests/storage/images/udif_writer.h"
#include "support/test_support.h"

namespace zvtest {

enum class UdifReader { qemu, dmg2img, sevenZip };

inline const char *udifReaderName(UdifReader reader)
{
    switch (reader) {
    case UdifReader::qemu: return "qemu-img";
    case UdifReader::dmg2img: return "dmg2img";
    default: return "7z";
    }
}

// The bytes a third-party reader extracts from the image at path (work is a
// scratch folder of its own). Throws when the tool is missing or fails.
inline std::string udifThirdPartyRead(UdifReader reader, const std::string &image, const std::string &work)
{
    mustRun("rm -rf " + shellQuote(work) + " && mkdir -p " + shellQuote(work));
    const std::string out = work + "/out.raw";
    switch (reader) {
    case UdifReader::qemu:
        requireTool("qemu-img");
        mustRun("qemu-img convert -f dmg -O raw " + shellQuote(image) + " " + shellQuote(out));
        return readFile(out);
    case UdifReader::dmg2img:
        requireTool("dmg2img");
        mustRun("dmg2img -s " + shellQuote(image) + " " + shellQuote(out));
        return readFile(out);
    case UdifReader::sevenZip: {
        requireTool("7z");
        mustRun("7z x -y -tdmg -o" + shellQuote(work + "/x") + " " + shellQuote(image) + " >/dev/null");
        // Files are named "<table index>.<name>"; order them by the index.
        std::vector<std::pair<long, std::string>> files;
        if (DIR *dir = opendir((work + "/x").c_str())) {
            while (dirent *entry = readdir(dir)) {
                const std::string name = entry->d_name;
                if (name != "." && name != "..")
                    files.emplace_back(std::stol(name), name);
            }
            closedir(dir);
        }
        std::sort(files.begin(), files.end());
        std::string bytes;
        for (const auto &file : files)
            bytes += readFile(work + "/x/" + file.second);
        return bytes;
    }
    }
    return "";
}

// A 1440 KiB FAT12 floppy holding an incompressible file, a text file and a
// deleted file, so it has data, compressible and all-zero stretches.
inline std::string udifFloppySource(const TempDir &dir)
{
    const std::string image = dir / "floppy.img";
    makeFat(image, 12, 1440);
    fatPut(image, "NOISE.BIN", patternBytes(300 * 1024, 7));
    std::string text;
    for (int i = 0; i < 20000; ++i)
        text += "line " + std::to_string(i) + "\n";
    fatPut(image, "LINES.TXT", text);
    fatPut(image, "GONE.BIN", patternBytes(40 * 1024, 9));
    fatDelete(image, "GONE.BIN");
    return readFile(image);
}

// An 8 MiB FAT16 card with a few files spread out.
inline std::string udifCardSource(const TempDir &dir)
{
    const std::string image = dir / "card.img";
    makeFat(image, 16, 8192, "-s 1");
    fatMkdir(image, "DCIM");
    for (int i = 0; i < 4; ++i)
        fatPut(image, "DCIM/IMG_000" + std::to_string(i) + ".JPG", patternBytes(150 * 1024 + i * 777, 20 + i));
    return readFile(image);
}

} // namespace zvtest
