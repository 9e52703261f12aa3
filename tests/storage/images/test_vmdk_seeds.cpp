// The seeds of the VMDK fuzz target (fuzz/corpus/vmdk/): images qemu-img
// writes, each file of an image folder joined into one input. qemu-img gives
// each image a fresh content id, so the seeds are written anew only with
// ZV_WRITE_VMDK_SEEDS=1; every run checks that they are there and that the
// reader takes or refuses each as it should.
#include <sys/stat.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "storage/images/vmdk_image.h"
#include "vmdk_fuzz_input.h"
#include "vmdk_test_support.h"

namespace {

struct Seed {
    const char *name;
    int status;
};

const Seed kSeeds[] = {
    {"monolithic", VMDK_OK},
    {"split", VMDK_OK},
    {"stream", VMDK_ERROR_COMPRESSED},
    {"flat", VMDK_ERROR_FLAT},
};

// The files of one seed, made in dir.
std::vector<std::string> makeSeed(const std::string &name, const zvtest::TempDir &dir)
{
    const std::vector<std::pair<uint64_t, std::string>> data = {{0, zvtest::patternBytes(3000, 41)},
                                                                {300 * 512, zvtest::patternBytes(700, 42)}};
    if (name == "monolithic" || name == "split") {
        const vmdktest::Extent x = vmdktest::makeMonolithic(dir / "m.vmdk", 512, data);
        const std::string m = zvtest::readFile(x.image);
        if (name == "monolithic")
            return {m};
        return {"# Disk DescriptorFile\nversion=1\ncreateType=\"twoGbMaxExtentSparse\"\n"
                "RW 512 SPARSE \"s1.vmdk\"\nRW 512 SPARSE \"s2.vmdk\"\n",
                m, m};
    }
    if (name == "stream") {
        const vmdktest::Extent x = vmdktest::makeMonolithic(dir / "s.vmdk", 512, data, "subformat=streamOptimized");
        return {zvtest::readFile(x.image)};
    }
    vmdktest::makeMonolithic(dir / "disk.vmdk", 8, {{0, "flat"}}, "subformat=monolithicFlat");
    std::string text = zvtest::readFile(dir / "disk.vmdk");
    const std::string flat = "disk-flat.vmdk";
    text.replace(text.find(flat), flat.size(), "s1.vmdk");
    return {text, zvtest::readFile(dir / "disk-flat.vmdk")};
}

TEST(VmdkFuzzSeeds, SeedsAreImagesTheReaderOpens)
{
    const std::string folder = (std::filesystem::path(ZV_SOURCE_DIR) / "fuzz/corpus/vmdk/").string();
    for (const Seed &seed : kSeeds) {
        SCOPED_TRACE(seed.name);
        if (std::getenv("ZV_WRITE_VMDK_SEEDS")) {
            zvtest::TempDir made;
            std::filesystem::create_directories(folder);
            zvtest::writeFile(folder + seed.name, vmdkfuzz::join(makeSeed(seed.name, made)));
        }
        const std::vector<std::string> files = vmdkfuzz::split(zvtest::readFile(folder + seed.name));
        ASSERT_GE(files.size(), 1u);
        ASSERT_NE(files[0], "");
        zvtest::TempDir dir;
        for (size_t i = 0; i < files.size(); i++)
            zvtest::writeFile(dir / vmdkfuzz::fileName(i), files[i]);
        vmdk_image image;
        const std::string path = dir / vmdkfuzz::fileName(0);
        EXPECT_EQ(vmdk_image_open(zorvant::u8string(path.begin(), path.end()), &image), seed.status);
    }
}

} // namespace
