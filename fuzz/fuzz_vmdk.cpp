// The VMDK reader on arbitrary bytes: the input holds the files of one image
// folder (tests/storage/images/vmdk_fuzz_input.h), written to a scratch
// folder; the first is opened as the image, a sparse extent or a descriptor
// that may list the others. The header and descriptor parsers also get the
// raw input. An opened image is read at its start, its end and sectors
// spread over it. Checked besides memory safety and termination: an opened
// image has sectors, reads inside it succeed or fail cleanly, reads outside
// it fail, and nothing is written beside the files (the sentinel stays).
//
// Seeds (corpus/vmdk/), written by qemu-img through the test
// VmdkFuzzSeeds.SeedsAreImagesTheReaderOpens:
//   monolithic      a monolithic sparse image of 512 sectors, two grains written;
//   split           a descriptor listing two such files as extents;
//   stream          a stream-optimized image (refused);
//   flat            a monolithic flat descriptor with its flat file (refused).
#include <unistd.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "scratch_support.h"
#include "storage/images/vmdk_format.h"
#include "storage/images/vmdk_image.h"
#include "tests/storage/images/vmdk_fuzz_input.h"

namespace {

using fuzzsupport::require;

// Sectors read from an opened image: this many at its start and end, and
// this many more spread evenly over it.
constexpr uint64_t kEdgeSectors = 256;
constexpr uint64_t kSpreadSectors = 256;

void read_some(vmdk_image *image)
{
    require(image->sectors > 0 && !image->extents.empty());
    uint8_t sector[VMDK_SECTOR_SIZE];
    const uint64_t n = image->sectors;
    for (uint64_t s = 0; s < n && s < kEdgeSectors; s++)
        vmdk_image_read_sector(image, s, sector);
    for (uint64_t s = n > kEdgeSectors ? n - kEdgeSectors : 0; s < n; s++)
        vmdk_image_read_sector(image, s, sector);
    for (uint64_t i = 0; i < kSpreadSectors; i++)
        vmdk_image_read_sector(image, n / kSpreadSectors * i + i % 7, sector);
    require(!vmdk_image_read_sector(image, n, sector));
    require(image->loaded.size() <= VMDK_MAX_CACHED_TABLES);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static fuzzsupport::ScratchDir scratch;
    static const std::string sentinel = scratch.path() + "/victim";
    static const bool made = (fuzzsupport::write_sentinel(sentinel), true);
    (void)made;

    vmdk_header header;
    vmdk_header_parse(data, size, &header);
    vmdk_descriptor descriptor;
    vmdk_descriptor_parse(reinterpret_cast<const char *>(data), size, &descriptor);

    const std::string folder = scratch.path() + "/image";
    for (const std::string &name : fuzzsupport::entries(folder))
        require(unlink((folder + "/" + name).c_str()) == 0);
    rmdir(folder.c_str());
    require(mkdir(folder.c_str(), 0700) == 0);
    const std::vector<std::string> files =
        vmdkfuzz::split(std::string(reinterpret_cast<const char *>(data), size));
    for (size_t i = 0; i < files.size(); i++)
        fuzzsupport::write_file(folder + "/" + vmdkfuzz::fileName(i), files[i].data(), files[i].size());

    const std::string path = folder + "/" + vmdkfuzz::fileName(0);
    vmdk_image image;
    if (vmdk_image_open(zorvant::u8string(path.begin(), path.end()), &image) == VMDK_OK)
        read_some(&image);

    require(fuzzsupport::entries(folder).size() == files.size());
    std::FILE *f = std::fopen(sentinel.c_str(), "rb");
    char bytes[9] = {};
    require(f != nullptr && std::fread(bytes, 1, 8, f) == 8 && std::fclose(f) == 0);
    require(std::strcmp(bytes, "precious") == 0);
    return 0;
}
