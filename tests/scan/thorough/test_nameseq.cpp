// The recovered-name numbering on contexts of its own: paths of names, the
// number format, folder roll-over (type folders roll, categories never),
// the folder limit read from the preferences, and the reset.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "foundation/prefs.h"
#include "foundation/properties.h"
#include "scan/thorough/nameseq.h"

namespace {

// What the callbacks saw, as "folder <name> <number> under <parent>" and
// "file <name> in <folder><number>".
std::vector<std::string> g_events;
int g_folder_result = 0;

int record_folder(nameseq_node *node)
{
    if (g_folder_result != 0)
        return g_folder_result;
    char name[38];
    nameseq_folder_name(node, name, sizeof name);
    g_events.push_back(std::string("folder ") + name + " under " + node->parent->name);
    return 0;
}

int record_file(nameseq_node *node, const char *name, cbr_span *, int64_t)
{
    char folder[38];
    nameseq_folder_name(node, folder, sizeof folder);
    g_events.push_back(std::string("file ") + name + " in " + folder);
    return 0;
}

class Nameseq : public testing::Test {
protected:
    void SetUp() override
    {
        g_events.clear();
        g_folder_result = 0;
        ctx = nameseq_new();
        ctx->folder_callback = record_folder;
        ctx->file_callback = record_file;
        const char *images = "Images";
        category = nameseq_find(ctx, &images, 1, true);
        const char *jpeg = "JPEG";
        type = nameseq_find_in(category, &jpeg, 1, true);
    }
    void TearDown() override
    {
        nameseq_free(&ctx);
        prefs_reset();
    }
    // Adds a file named as a module names it: the next number and ".jpg".
    void addJpeg(nameseq_node *node)
    {
        const std::string name = std::string(nameseq_next_name(node)) + ".jpg";
        ASSERT_EQ(nameseq_add(node, name.c_str(), nullptr, 0), 0);
    }

    nameseq_ctx *ctx = nullptr;
    nameseq_node *category = nullptr;
    nameseq_node *type = nullptr;
};

TEST_F(Nameseq, PathsOfNamesFindOrMakeTheirNodes)
{
    const char *path[] = {"Images", "JPEG"};
    EXPECT_EQ(nameseq_find(ctx, path, 2, false), type);
    EXPECT_EQ(nameseq_find_in(category, path + 1, 1, false), type);
    EXPECT_EQ(nameseq_find_in(type, nullptr, 0, false), type);
    const char *missing[] = {"Images", "jpeg"}; // names compare exactly
    EXPECT_EQ(nameseq_find(ctx, missing, 2, false), nullptr);

    // A new child goes first among its siblings; all missing steps are made.
    const char *deep[] = {"Images", "Raw", "CR2"};
    nameseq_node *cr2 = nameseq_find(ctx, deep, 3, true);
    ASSERT_NE(cr2, nullptr);
    EXPECT_STREQ(cr2->name, "CR2");
    EXPECT_STREQ(cr2->parent->name, "Raw");
    EXPECT_EQ(category->first_child, cr2->parent);
    EXPECT_EQ(category->first_child->next_sibling, type);
    EXPECT_EQ(cr2->ctx, ctx);

    // A name longer than the field is cut, and found again the same way.
    const std::string longName(40, 'x');
    const char *longPath[] = {longName.c_str()};
    nameseq_node *cut = nameseq_find_in(type, longPath, 1, true);
    ASSERT_NE(cut, nullptr);
    EXPECT_EQ(std::string(cut->name), std::string(31, 'x'));
    EXPECT_EQ(nameseq_find_in(type, longPath, 1, false), cut);
}

TEST_F(Nameseq, NumbersAndFolderNames)
{
    EXPECT_STREQ(ctx->format, "%05lld");
    EXPECT_STREQ(nameseq_next_name(type), "00001");
    char name[38];
    nameseq_folder_name(type, name, sizeof name);
    EXPECT_STREQ(name, "JPEG");
    type->folder_number = 12;
    nameseq_folder_name(type, name, sizeof name);
    EXPECT_STREQ(name, "JPEG12");
    type->folder_number = 0;

    // Past 99999 files of one type the names grow a digit and stay unique.
    type->file_counter = 99999;
    addJpeg(type);
    addJpeg(type);
    EXPECT_EQ(g_events.back(), "file 100000.jpg in JPEG");
    EXPECT_EQ(g_events[g_events.size() - 2], "file 99999.jpg in JPEG");
}

TEST_F(Nameseq, TypeFoldersRollOverAndCategoriesNever)
{
    ctx->max_dir_entries = 2;
    for (int i = 0; i < 9; i++)
        addJpeg(type);
    // Images is made once; JPEG, JPEG1, ... every two files, numbers running on.
    EXPECT_EQ(g_events, (std::vector<std::string>{
                            "folder Images under ", "folder JPEG under Images", "file 00001.jpg in JPEG",
                            "file 00002.jpg in JPEG", "folder JPEG1 under Images", "file 00003.jpg in JPEG1",
                            "file 00004.jpg in JPEG1", "folder JPEG2 under Images", "file 00005.jpg in JPEG2",
                            "file 00006.jpg in JPEG2", "folder JPEG3 under Images", "file 00007.jpg in JPEG3",
                            "file 00008.jpg in JPEG3", "folder JPEG4 under Images", "file 00009.jpg in JPEG4"}));
    EXPECT_EQ(category->folder_number, 0);
    EXPECT_TRUE(category->created);
    EXPECT_EQ(category->folder_position, 4); // one entry per roll-over

    // Files filed into the category itself do not roll it either.
    g_events.clear();
    for (int i = 0; i < 3; i++)
        addJpeg(category);
    EXPECT_EQ(g_events, (std::vector<std::string>{"file 00001.jpg in Images", "file 00002.jpg in Images",
                                                  "file 00003.jpg in Images"}));
}

TEST_F(Nameseq, AFolderLimitBelowOneReadsAsTheDefault)
{
    for (int64_t limit : {0, -5}) {
        nameseq_reset(ctx);
        ctx->max_dir_entries = limit;
        g_events.clear();
        for (int i = 0; i < 3; i++)
            addJpeg(type);
        EXPECT_EQ(g_events, (std::vector<std::string>{"folder Images under ", "folder JPEG under Images",
                                                      "file 00001.jpg in JPEG", "file 00002.jpg in JPEG",
                                                      "file 00003.jpg in JPEG"}))
            << limit;
    }
}

TEST_F(Nameseq, ResetRestartsNumberingAndRereadsTheLimit)
{
    addJpeg(type);
    type->folder_number = 3;
    type->cat_id = 17;
    ASSERT_EQ(prefs_set_int("Scanning/Reconstructed Files", "max_dir_entries", 3), 0);
    nameseq_reset(ctx);
    EXPECT_EQ(ctx->max_dir_entries, 3);
    for (nameseq_node *n : {category, type}) {
        EXPECT_EQ(n->file_counter, 1u);
        EXPECT_EQ(n->folder_position, 0);
        EXPECT_EQ(n->folder_number, 0);
        EXPECT_FALSE(n->created);
        EXPECT_EQ(n->cat_id, 0u);
    }
    EXPECT_TRUE(ctx->root.created);
    // A stored value out of the property's range is replaced by the default.
    ASSERT_EQ(prefs_set_int("Scanning/Reconstructed Files", "max_dir_entries", 0), 0);
    nameseq_reset(ctx);
    EXPECT_EQ(ctx->max_dir_entries, 10000);
}

TEST_F(Nameseq, AFailedFolderAddsNoFileAndMissingCallbacksFail)
{
    g_folder_result = -40;
    EXPECT_EQ(nameseq_add(type, "00001.jpg", nullptr, 0), -40);
    EXPECT_TRUE(g_events.empty());
    EXPECT_FALSE(type->created);
    EXPECT_EQ(type->file_counter, 1u);

    g_folder_result = 0;
    ctx->file_callback = nullptr;
    EXPECT_EQ(nameseq_add(type, "00001.jpg", nullptr, 0), -1);
    EXPECT_EQ(nameseq_add(nullptr, "x", nullptr, 0), -1);
    EXPECT_EQ(nameseq_next_name(nullptr), nullptr);
}

} // namespace
