#include "foundation/properties.h"

#include <gtest/gtest.h>

#include <string>

#include "foundation/error_list.h"
#include "foundation/log.h"
#include "foundation/prefs.h"
#include "support/test_support.h"

namespace {

// The tree lives for the whole process: each test uses its own node names.
class Prop : public testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_EQ(prefs_set_dir(dir_.path().c_str()), 0);
        prefs_load();
        clear_errors();
    }
    void load(const std::string &text)
    {
        zvtest::writeFile(dir_ / "settings.ini", text);
        ASSERT_EQ(prefs_load(), 0);
    }
    static std::string stored(const char *section, const char *key)
    {
        char buffer[64];
        return prefs_get_string(section, key, buffer, sizeof buffer) == 0 ? buffer : "<absent>";
    }
    zvtest::TempDir dir_;
};
using PropTree = Prop;
using PropValues = Prop;
using PropLog = Prop;

} // namespace

TEST_F(PropTree, NodesByPath)
{
    EXPECT_EQ(prop_node("Nodes/FAT", 0), nullptr);
    PropNode *fat = prop_node("Nodes/FAT", PROP_NODE_CREATE);
    ASSERT_NE(fat, nullptr);
    EXPECT_STREQ(prop_node_path(fat), "Nodes/FAT");
    EXPECT_EQ(prop_node("nodes//fat/", 0), fat); // names ignore case, as sections do
    EXPECT_STREQ(prop_node_path(prop_node("Nodes", 0)), "Nodes");
    EXPECT_EQ(prop_node("/", PROP_NODE_CREATE), nullptr);
    EXPECT_EQ(prop_node(nullptr, PROP_NODE_CREATE), nullptr);
}

TEST_F(PropValues, DefaultOnFirstUseThenStoredValue)
{
    PropNode *node = prop_node("Values/FAT", PROP_NODE_CREATE);
    EXPECT_EQ(prop_get_ll(node, &prop_schema_max_dir_entries, 10000, 0), 10000);
    EXPECT_EQ(stored("Values/FAT", "max_dir_entries"), "10000"); // created with its default
    load("[values/fat]\nmax_dir_entries = 500\n");
    EXPECT_EQ(prop_get_ll(node, &prop_schema_max_dir_entries, 10000, 0), 500);
    EXPECT_EQ(error_list_str(), "[]");
}

// A stored text that is not a number in the schema's range gives the default,
// which is written over it.
TEST_F(PropValues, OutOfRangeOrJunkGivesDefault)
{
    PropNode *node = prop_node("Range", PROP_NODE_CREATE);
    const PropSchema *suppress = &prop_schema_slow_read_suppress_count, *slow = &prop_schema_slow_duration_ms;
    const struct { const PropSchema *schema; const char *text; int64_t fallback, expected; } cases[] = {
        {suppress, "100", 3, 100},    {suppress, "101", 3, 3},        {suppress, "-1", 3, 3},
        {&prop_schema_slow_detection_enabled, "0", 1, 0},             {&prop_schema_slow_detection_enabled, "yes", 1, 1},
        {slow, "12abc", 3000, 3000},  {slow, "2147483648", 3000, 3000}, {slow, "42", 3000, 42},
        {&prop_schema_perm_promote, "3", 0, 0},                       {&prop_schema_chown, "1", 0, 1},
        {&prop_schema_max_dir_entries, "99999999999999999999", 10000, 10000},
    };
    for (const auto &c : cases) {
        load(std::string("[Range]\n") + c.schema->name + " = " + c.text + "\n");
        EXPECT_EQ(prop_get_ll(node, c.schema, c.fallback, 0), c.expected) << c.schema->name << " " << c.text;
        EXPECT_EQ(stored("Range", c.schema->name), c.expected == c.fallback ? std::to_string(c.expected) : c.text);
    }
}

TEST_F(PropValues, Error308WhenItCannotBeStored)
{
    // A section name holding "]" cannot be written to the file.
    PropNode *bad = prop_node("Bad]Name", PROP_NODE_CREATE);
    EXPECT_EQ(prop_get_ll(bad, &prop_schema_enabled, 1, 0), 1);
    EXPECT_EQ(prop_get_ll(nullptr, &prop_schema_enabled, 7, 0), 7);
    EXPECT_EQ(error_list_str(), "[2*308]");
    EXPECT_EQ(stored("Bad]Name", "enabled"), "<absent>");
}

TEST_F(PropLog, LogsEveryPropertyInDefContext)
{
    const std::string logPath = dir_ / "ScanEngineLog.txt";
    PropNode *node = prop_node("Logged/Copy", PROP_NODE_CREATE);
    prop_get_ll(node, &prop_schema_perm_promote, 1, 0);
    prop_get_ll(node, &prop_schema_chown, 0, 0);
    prop_get_ll(prop_node("Bad]Log", PROP_NODE_CREATE), &prop_schema_enabled, 1, 0); // never created
    prefs_set_int("Logged/Copy", "chown", 5); // out of range: the default is shown
    log_open(logPath.c_str());
    prop_log_all();
    log_info("after");
    log_close();
    std::string text = zvtest::readFile(logPath);
    EXPECT_NE(text.find("[I] Def Logged/Copy/perm_promote = 1 (For items with no access)\n"), std::string::npos)
        << text;
    EXPECT_NE(text.find("[I] Def Logged/Copy/chown = 0 (None)\n"), std::string::npos) << text;
    EXPECT_EQ(text.find("Bad]Log"), std::string::npos);
    EXPECT_NE(text.find("[I] after\n"), std::string::npos); // the context was popped
}
