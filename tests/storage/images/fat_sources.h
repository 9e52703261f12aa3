// Source media for the sector-image tests: FAT floppies and small cards made
// with mkfs.fat and filled with mtools (tests/scan/fat_image_support.h), so
// that an image holds zero runs, compressible text and incompressible data.
#pragma once

#include <string>

#include "scan/fat_image_support.h"
#include "support/test_support.h"

namespace zvtest {

// A FAT12 floppy of kib KiB (400, 720, 800 or 1440) with a folder, a text
// file and an incompressible file of an eighth of the disk (whole 64 KiB
// runs of it do not compress); its bytes.
inline std::string makeFloppySource(const std::string &path, unsigned kib)
{
    makeFat(path, 12, kib, "--invariant -i 20250101");
    fatMkdir(path, "DCIM");
    fatPut(path, "DCIM/README.TXT", std::string(3000, 'a') + "floppy", 1262347200);
    fatPut(path, "DCIM/IMG_0001.JPG", patternBytes(kib * 128, kib), 1262347200);
    return readFile(path);
}

// A 16 MiB card with sectors of sectorSize bytes (FAT16 at 512, FAT12 at
// 4096, as mkfs.fat allows for that size), holding 1 MiB of incompressible
// data, some text and free (zero) space; its bytes.
inline std::string makeCardSource(const std::string &path, unsigned sectorSize)
{
    makeFat(path, sectorSize == 512 ? 16 : 12, 16384, "--invariant -i 20250102 -S " + std::to_string(sectorSize));
    fatMkdir(path, "DCIM");
    fatMkdir(path, "DCIM/100CANON");
    fatPut(path, "DCIM/100CANON/IMG_0001.JPG", patternBytes(1 << 20, sectorSize), 1262347200);
    std::string text;
    for (int i = 0; i < 4000; ++i)
        text += "line " + std::to_string(i) + " of the card's notes\n";
    fatPut(path, "NOTES.TXT", text, 1262347200);
    return readFile(path);
}

} // namespace zvtest
