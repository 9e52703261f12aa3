#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "storage/mountinfo_linux.h"

namespace {

std::vector<MountInfoEntry> parse(const std::string &text, size_t *skipped = nullptr)
{
    std::vector<MountInfoEntry> entries;
    const size_t bad = mountinfo_parse(text.data(), text.size(), &entries);
    if (skipped)
        *skipped = bad;
    return entries;
}

TEST(MountInfo, FieldsOfALine)
{
    const std::vector<MountInfoEntry> entries =
        parse("36 35 8:17 /sub /media/my\\040card rw,noatime shared:1 master:4 - ext4 /dev/sdb1 rw,errors=remount-ro\n"
              "27 1 254:0 / / rw,relatime - ext4 /dev/vda rw,discard\n");
    ASSERT_EQ(entries.size(), 2u);
    const MountInfoEntry &card = entries[0];
    EXPECT_EQ(card.mount_id, 36);
    EXPECT_EQ(card.parent_id, 35);
    EXPECT_EQ(card.major, 8u);
    EXPECT_EQ(card.minor, 17u);
    EXPECT_EQ(card.root, "/sub");
    EXPECT_EQ(card.mount_point, "/media/my card");
    EXPECT_EQ(card.mount_options, "rw,noatime");
    EXPECT_EQ(card.fs_type, "ext4");
    EXPECT_EQ(card.source, "/dev/sdb1");
    EXPECT_EQ(card.super_options, "rw,errors=remount-ro");
    EXPECT_EQ(entries[1].major, 254u);
    EXPECT_EQ(entries[1].mount_point, "/");
}

TEST(MountInfo, EscapesAreUndoneInEveryTextField)
{
    const std::vector<MountInfoEntry> entries =
        parse("40 27 0:45 /a\\134b /mnt/tab\\011nl\\012end rw - fuse\\040x my\\040source opt\\134x\n");
    ASSERT_EQ(entries.size(), 1u);
    EXPECT_EQ(entries[0].root, "/a\\b");
    EXPECT_EQ(entries[0].mount_point, "/mnt/tab\tnl\nend");
    EXPECT_EQ(entries[0].fs_type, "fuse x");
    EXPECT_EQ(entries[0].source, "my source");
    EXPECT_EQ(entries[0].super_options, "opt\\x");

    const struct {
        const char *text, *expected;
    } cases[] = {
        {"a\\040b", "a b"},  {"\\011\\012\\134", "\t\n\\"}, {"\\400", "\\400"}, // past one byte: kept
        {"end\\04", "end\\04"}, {"x\\", "x\\"},             {"\\0401", " 1"},  {"\\\\040", "\\ "},
        {"", ""},
    };
    for (const auto &c : cases)
        EXPECT_EQ(mountinfo_unescape(c.text, std::string(c.text).size()), c.expected) << c.text;
}

TEST(MountInfo, OddAndBadLines)
{
    size_t skipped = 0;
    const std::vector<MountInfoEntry> entries = parse(
        // an empty source is written as nothing between two blanks
        "50 27 0:50 / /run/empty rw - tmpfs  rw,size=4k\n"
        // no source and no super options at all
        "51 27 0:51 / /short rw - proc\n"
        "\n"
        "52 27 0:52 / /nosep rw shared:1 tmpfs tmpfs rw\n" // no separator
        "x 27 0:53 / /bad rw - tmpfs tmpfs rw\n"           // id not a number
        "54 27 0-54 / /bad rw - tmpfs tmpfs rw\n"          // no colon
        "55 27 0:55 / /bad rw -\n"                         // no type
        "-56 27 0:56 / /bad rw - tmpfs tmpfs rw\n"         // sign
        "57 27 0:99999999999 / /bad rw - tmpfs tmpfs rw\n" // minor too large
        "58 27 0:58 /  rw - tmpfs tmpfs rw\n"              // empty mount point
        "59 27\n"
        "60 27 0:60 / /last rw - tmpfs tmpfs rw", // no final newline
        &skipped);
    ASSERT_EQ(entries.size(), 3u);
    EXPECT_EQ(skipped, 8u);
    EXPECT_EQ(entries[0].fs_type, "tmpfs");
    EXPECT_EQ(entries[0].source, "");
    EXPECT_EQ(entries[0].super_options, "rw,size=4k");
    EXPECT_EQ(entries[1].fs_type, "proc");
    EXPECT_EQ(entries[1].source, "");
    EXPECT_EQ(entries[2].mount_point, "/last");
}

TEST(MountInfo, OptionsAndTheMachinesOwnTable)
{
    const struct {
        const char *options, *option;
        bool expected;
    } cases[] = {
        {"ro", "ro", true},         {"rw,relatime", "ro", false}, {"nosuid,ro", "ro", true},
        {"ro,nodev", "ro", true},   {"rootcontext=x", "ro", false}, {"errors=remount-ro", "ro", false},
        {"", "ro", false},          {"a,,ro", "ro", true},
    };
    for (const auto &c : cases)
        EXPECT_EQ(mountinfo_has_option(c.options, c.option), c.expected) << c.options;

    std::vector<MountInfoEntry> entries;
    ASSERT_EQ(mountinfo_read(nullptr, &entries), 0);
    bool root = false;
    for (const MountInfoEntry &entry : entries)
        root = root || entry.mount_point == "/";
    EXPECT_TRUE(root);
    EXPECT_EQ(mountinfo_read("/nonexistent/mountinfo", &entries), -1);
}

TEST(MountInfo, MountThatHoldsAPath)
{
    const std::vector<MountInfoEntry> entries = parse("1 0 254:0 / / rw - ext4 /dev/vda rw\n"
                                                      "2 1 8:17 / /media/card rw - vfat /dev/sdb1 rw\n"
                                                      "3 1 0:21 / /media/card rw - tmpfs tmpfs rw\n"
                                                      "4 1 8:33 / /media/card\\040two rw - vfat /dev/sdc1 rw\n");
    const struct {
        const char *path;
        int mount_id; // 0: none
    } cases[] = {
        {"/", 1},
        {"/home/user", 1},
        {"/media/card", 3}, // the later of two mounts on one point covers the earlier
        {"/media/card/DCIM/x.jpg", 3},
        {"/media/cardigan", 1}, // whole components only
        {"/media/card two/x", 4},
        {"", 0},
        {"relative/path", 0},
    };
    for (const auto &c : cases) {
        const MountInfoEntry *mount = mountinfo_mount_for_path(entries, c.path);
        EXPECT_EQ(mount != nullptr ? mount->mount_id : 0, c.mount_id) << c.path;
    }
    EXPECT_EQ(mountinfo_mount_for_path(std::vector<MountInfoEntry>(), "/x"), nullptr);
}

} // namespace
