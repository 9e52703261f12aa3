// The folder path index. The index is process-wide, so every test uses paths
// of its own.
#include <gtest/gtest.h>

#include <thread>
#include <vector>

#include "scan/path_index.h"

namespace {

constexpr uint32_t kJpeg = 0x4A504547; // 'JPEG'
constexpr uint32_t kRaw = 0x52415720;  // 'RAW '

TEST(PathIndex, RegistersParentsOnceAndFindsKindsBelowAFolder)
{
    const uint64_t jpeg = path_index_kind_key(kJpeg, 1);
    const uint64_t raw = path_index_kind_key(kRaw, 3);
    EXPECT_EQ(jpeg, 0x4A5045470001ull);

    const path_index_entry *file = path_index_register("T1Images/JPEG/J.jpg", jpeg, PATH_INDEX_PARENTS);
    ASSERT_NE(file, nullptr);
    EXPECT_EQ(file->path, "T1Images/JPEG/J.jpg");
    for (const char *path : {"T1Images/JPEG/J.jpg", "T1Images/JPEG", "T1Images"}) {
        const path_index_entry *entry = path_index_lookup(path);
        ASSERT_NE(entry, nullptr) << path;
        EXPECT_EQ(path_index_entry_kinds(entry), std::vector<uint64_t>{jpeg}) << path;
    }
    // twice: one copy; the entry is the same object
    EXPECT_EQ(path_index_register("T1Images/JPEG/J.jpg", jpeg, PATH_INDEX_PARENTS), file);
    EXPECT_EQ(path_index_entry_kinds(path_index_lookup("T1Images")).size(), 1u);
    // a smaller key goes first in the sorted list; without flag 1 no parent changes
    ASSERT_NE(path_index_register("T1Images/Raw/R.cr2", raw, PATH_INDEX_PARENTS), nullptr);
    ASSERT_NE(path_index_register("T1Images/JPEG", path_index_kind_key(kJpeg, 0), 0), nullptr);
    EXPECT_EQ(path_index_entry_kinds(path_index_lookup("T1Images/JPEG")),
              (std::vector<uint64_t>{path_index_kind_key(kJpeg, 0), jpeg}));
    EXPECT_EQ(path_index_entry_kinds(path_index_lookup("T1Images")), (std::vector<uint64_t>{jpeg, raw}));

    // a list holding "T1Images" finds every kind registered below it
    const path_index_entry *images = path_index_lookup("T1Images");
    const path_index_entry *other = path_index_register("T1Audio", 0, 0); // key 0: entry without kinds
    ASSERT_NE(other, nullptr);
    EXPECT_TRUE(path_index_entry_kinds(other).empty());
    std::vector<const path_index_entry *> list{nullptr, other, images};
    EXPECT_EQ(path_index_find_kind(jpeg, list), images);
    EXPECT_EQ(path_index_find_kind(raw, list), images);
    EXPECT_EQ(path_index_find_kind(path_index_kind_key(kJpeg, 0), list), nullptr);
    EXPECT_EQ(path_index_find_kind(jpeg, nullptr, 3), nullptr);
    // the first entry of the list that holds the key wins
    const path_index_entry *jpeg_folder = path_index_lookup("T1Images/JPEG");
    EXPECT_EQ(path_index_find_kind(jpeg, {jpeg_folder, images}), jpeg_folder);
}

TEST(PathIndex, RefusedKeysAndPaths)
{
    EXPECT_EQ(path_index_register("T2a", path_index_kind_key(0xFFFFFFFFu, 1), 0), nullptr);
    EXPECT_EQ(path_index_register("T2a", path_index_kind_key(kJpeg, 0xFFFF), 0), nullptr);
    EXPECT_EQ(path_index_register("T2a", path_index_kind_key(0, 5), 0), nullptr);
    EXPECT_EQ(path_index_lookup("T2a"), nullptr); // nothing made for a refused key
    EXPECT_EQ(path_index_register(nullptr, 0, 0), nullptr);
    EXPECT_EQ(path_index_register("", 0, 0), nullptr);
    EXPECT_EQ(path_index_register("//", 0, 0), nullptr);
    // a leading '/' makes no empty parent
    const uint64_t key = path_index_kind_key(kJpeg, 9);
    const path_index_entry *entry = path_index_register("/T2b/x", key, PATH_INDEX_PARENTS);
    ASSERT_NE(entry, nullptr);
    EXPECT_EQ(entry->path, "T2b/x");
    EXPECT_EQ(path_index_lookup(""), nullptr);
    EXPECT_EQ(path_index_entry_kinds(path_index_lookup("T2b")), std::vector<uint64_t>{key});
}

TEST(PathIndex, ThreadsRegisterAndFindTogether)
{
    const path_index_entry *root = path_index_register("T3", 0, 0);
    ASSERT_NE(root, nullptr);
    std::vector<std::thread> threads;
    for (uint32_t t = 0; t < 4; t++)
        threads.emplace_back([t, root] {
            for (uint16_t s = 0; s < 200; s++) {
                std::string path = "T3/m" + std::to_string(t) + "/s" + std::to_string(s);
                uint64_t key = path_index_kind_key(kJpeg + t, s);
                path_index_register(path.c_str(), key, PATH_INDEX_PARENTS);
                path_index_find_kind(key, &root, 1);
            }
        });
    for (auto &thread : threads)
        thread.join();
    EXPECT_EQ(path_index_entry_kinds(root).size(), 800u);
}

} // namespace
