// The fixture of the sector-image reader tests: image bytes written to files
// in a scratch folder and opened through a file stream, as the readers meet
// them, and sectors read back as text for comparisons.
#pragma once

#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>

#include <gtest/gtest.h>

#include "foundation/byte_stream.h"
#include "storage/images/disk_image.h"
#include "support/test_support.h"

namespace zvtest {

// Image is a reader constructed from a read stream (ZV::DiskImageDC42, ...).
template <class Image>
class ImageReaderTest : public ::testing::Test {
protected:
    // A new file holding bytes, its stream opened for reading.
    std::shared_ptr<ZV::ByteStream> stream(const std::string &bytes)
    {
        const std::string path = dir / ("image" + std::to_string(++count));
        writeFile(path, bytes);
        return streamAt(path);
    }
    static std::shared_ptr<ZV::ByteStream> streamAt(const std::string &path)
    {
        auto s = std::make_shared<ZV::ByteStreamFile>(path);
        if (!s->open(ZV::ByteStream::modeRead))
            throw std::runtime_error("cannot open " + path);
        return s;
    }
    std::unique_ptr<Image> open(const std::string &bytes) { return std::make_unique<Image>(stream(bytes)); }
    // Whether the reader refuses bytes as "invalid disk image".
    bool refused(const std::string &bytes)
    {
        try {
            open(bytes);
            return false;
        } catch (const std::invalid_argument &e) {
            return std::string(e.what()) == "invalid disk image";
        }
    }
    // Sector n, or "(failed)". The buffer starts filled with 0x77 so that a
    // read reporting success without filling it shows.
    static std::string sector(ZV::DiskImage &image, uint64_t n)
    {
        std::string out(image.sectorSize(), '\x77');
        if (!image.readSector(n, &out[0], image.sectorSize()))
            return "(failed)";
        return out;
    }
    static std::string allSectors(ZV::DiskImage &image)
    {
        std::string out;
        for (uint64_t n = 0; n < image.numSectors(); ++n)
            out += sector(image, n);
        return out;
    }

    TempDir dir;
    int count = 0;
};

} // namespace zvtest
