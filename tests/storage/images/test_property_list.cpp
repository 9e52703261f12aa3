// XML property lists: documents written by Python's plistlib, the document
// form's edge cases, hostile documents (all give an empty result), and the
// lookups callers chain.
#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <map>

#include "storage/images/property_list.h"
#include "tests/storage/images/udif_writer.h"
#include "scan/fat_image_support.h"

using namespace zvtest;
using ZV::PropertyList;

namespace {

PropertyList parseText(const std::string &text) { return PropertyList::parse(text.data(), text.size()); }

template <class T>
T as(const PropertyList &value)
{
    return std::any_cast<T>(value.value());
}

std::string stringOf(const PropertyList &value) { return as<std::shared_ptr<zorvant::u8string>>(value)->str(); }

std::string bytesOf(const PropertyList &value)
{
    return std::string(reinterpret_cast<const char *>(value.data()->data()), value.data()->length());
}

// A document written by Python's plistlib (the system's python3, not ours).
const char *const kPlistlibScript = R"PY(
import datetime, plistlib, sys
doc = {
    "name": "Gr\u00fc\u00dfe & <tags>",
    "small": -42, "big": 2**62, "ratio": 3.25,
    "yes": True, "no": False,
    "blob": bytes(range(256)) * 3,
    "empty_blob": b"",
    "when": datetime.datetime(2021, 3, 4, 5, 6, 7),
    "nested": [{"k": [1, [2, [3]]]}, {}, [], ""],
}
sys.stdout.buffer.write(plistlib.dumps(doc, fmt=plistlib.FMT_XML))
)PY";

std::string plistlibDocument()
{
    requireTool("/usr/bin/python3");
    TempDir dir;
    writeFile(dir / "make.py", kPlistlibScript);
    return mustRun("/usr/bin/python3 " + shellQuote(dir / "make.py"));
}

} // namespace

TEST(PropertyListDocuments, PlistlibDocumentGivesEveryKind)
{
    const std::string text = plistlibDocument();
    ASSERT_NE(text.find("<data>\n"), std::string::npos) << "plistlib wraps long data over lines";
    const PropertyList plist = parseText(text);
    ASSERT_TRUE(plist.isDict());
    EXPECT_EQ(plist.dict()->size(), 10u);
    EXPECT_EQ(stringOf(plist["name"]), "Gr\xc3\xbc\xc3\x9f" "e & <tags>");
    EXPECT_EQ(as<int64_t>(plist["small"]), -42);
    EXPECT_EQ(as<int64_t>(plist["big"]), int64_t(1) << 62);
    EXPECT_EQ(as<double>(plist["ratio"]), 3.25);
    EXPECT_TRUE(as<bool>(plist["yes"]));
    EXPECT_FALSE(as<bool>(plist["no"]));
    std::string blob;
    for (int r = 0; r < 3; ++r)
        for (int i = 0; i < 256; ++i)
            blob += char(i);
    ASSERT_TRUE(plist["blob"].isData());
    EXPECT_EQ(bytesOf(plist["blob"]), blob);
    ASSERT_TRUE(plist["empty_blob"].isData());
    EXPECT_EQ(plist["empty_blob"].data()->length(), 0u);
    EXPECT_EQ(*as<std::shared_ptr<std::string>>(plist["when"]), "2021-03-04T05:06:07Z");
    const PropertyList nested = plist["nested"];
    ASSERT_TRUE(nested.isArray());
    ASSERT_EQ(nested.array()->size(), 4u);
    const PropertyList inner = (*nested.array())[0]["k"];
    ASSERT_TRUE(inner.isArray());
    EXPECT_EQ(as<int64_t>((*(*(*inner.array())[1].array())[1].array())[0]), 3);
    EXPECT_TRUE((*nested.array())[1].isDict());
    EXPECT_TRUE((*nested.array())[1].dict()->empty());
    EXPECT_TRUE((*nested.array())[2].array()->empty());
    EXPECT_EQ(stringOf((*nested.array())[3]), "");
}

TEST(PropertyListDocuments, FromDataParsesTheUsedBytesOnly)
{
    const std::string text = "<plist><integer>17</integer></plist>";
    ZV::Buffer buffer(text.data(), text.size());
    buffer.append("garbage", 7);
    buffer.setLength(text.size());
    EXPECT_EQ(as<int64_t>(PropertyList::fromData(buffer)), 17);
}

// Documents and whether they give a value (else the result is empty).
struct PlistEdge {
    const char *name;
    std::string text;
    bool valid;
};

// The case's name in test output, not its bytes.
void PrintTo(const PlistEdge &c, std::ostream *os)
{
    *os << c.name;
}

class PropertyListEdges : public testing::TestWithParam<PlistEdge> {};

TEST_P(PropertyListEdges, ValidOrEmpty)
{
    const PlistEdge &e = GetParam();
    const PropertyList plist = parseText(e.text);
    EXPECT_EQ(plist.isValid(), e.valid) << e.text.substr(0, 200);
}

std::string nestedArrays(int depth)
{
    std::string text;
    for (int i = 0; i < depth; ++i)
        text += "<array>";
    text += "<true/>";
    for (int i = 0; i < depth; ++i)
        text += "</array>";
    return text;
}

INSTANTIATE_TEST_SUITE_P(
    PropertyList, PropertyListEdges,
    testing::Values(
        PlistEdge{"dict_without_wrapper", "<dict><key>a</key><integer>1</integer></dict>", true},
        PlistEdge{"empty_true", "<plist><true/></plist>", true},
        PlistEdge{"true_holding_text", "<plist><true>1</true></plist>", false},
        // The XML parser keeps no text node of white space only.
        PlistEdge{"false_holding_white_space", "<plist><false> </false></plist>", true},
        PlistEdge{"integer_without_text_deep",
                  "<plist><array><integer>1</integer><dict><key>x</key><integer/></dict></array></plist>", false},
        PlistEdge{"integer_out_of_range", "<integer>99999999999999999999</integer>", false},
        PlistEdge{"integer_not_a_number", "<integer>x12</integer>", false},
        PlistEdge{"real_without_text", "<real></real>", false},
        PlistEdge{"real_out_of_range", "<real>1e999</real>", false},
        PlistEdge{"last_key_without_value", "<dict><key>a</key><true/><key>b</key></dict>", false},
        PlistEdge{"dict_with_a_value_first", "<dict><true/><key>a</key></dict>", false},
        PlistEdge{"unknown_element", "<array><set/></array>", false},
        PlistEdge{"bad_base64", "<data>ab$d</data>", false},
        PlistEdge{"base64_single_character_group", "<data>QUJD Q</data>", false},
        PlistEdge{"plist_without_child", "<plist version=\"1.0\">\n</plist>", false},
        PlistEdge{"empty_plist_element", "<plist/>", false},
        PlistEdge{"no_element", "<?xml version=\"1.0\"?>", false},
        PlistEdge{"broken_xml", "<plist><dict></plist>", false},
        PlistEdge{"empty_text", "", false},
        PlistEdge{"key_not_utf8", "<dict><key>\xff\xfe</key><true/></dict>", false},
        PlistEdge{"nested_90_deep", nestedArrays(90), true},
        PlistEdge{"nested_501_deep", nestedArrays(501), false},
        PlistEdge{"nested_100000_deep", nestedArrays(100000), false}),
    [](const testing::TestParamInfo<PlistEdge> &info) { return std::string(info.param.name); });

TEST(PropertyListValues, TextsAndKeysAsTheDocumentHasThem)
{
    const PropertyList plist = parseText("<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist>\n<dict>\n"
                                         "  <key/><string>no key</string>\n"
                                         "  <key>dup</key><integer>1</integer><key>dup</key><integer>2</integer>\n"
                                         "  <key>esc</key><string>a &amp; b &lt;c&gt;</string>\n"
                                         "  <key>empty</key><string/>\n"
                                         "  <key>data</key><data>\n\tQUJD\n\tREVG\r\n  R0g=\n</data>\n"
                                         "  <key>padded</key><data>QQ==QkM=</data>\n"
                                         "  <key>date</key><date> 2020-01-01T00:00:00Z </date>\n"
                                         "  <key>neg</key><real>-0.5e2</real>\n"
                                         "</dict>\n</plist>\n");
    ASSERT_TRUE(plist.isDict());
    EXPECT_EQ(stringOf(plist[""]), "no key");
    EXPECT_EQ(as<int64_t>(plist["dup"]), 2);
    EXPECT_EQ(stringOf(plist["esc"]), "a & b <c>");
    EXPECT_EQ(stringOf(plist["empty"]), "");
    EXPECT_EQ(bytesOf(plist["data"]), "ABCDEFGH");
    EXPECT_EQ(bytesOf(plist["padded"]), "ABC");
    EXPECT_EQ(*as<std::shared_ptr<std::string>>(plist["date"]), " 2020-01-01T00:00:00Z ");
    EXPECT_EQ(as<double>(plist["neg"]), -50.0);
}

TEST(PropertyListValues, LookupsNeverThrowAndAccessorsCheckTheKind)
{
    const PropertyList array = parseText("<array><dict><key>blkx</key><true/></dict></array>");
    ASSERT_TRUE(array.isArray());
    EXPECT_FALSE(array["blkx"].isValid());
    EXPECT_FALSE(array["blkx"]["Data"].isValid());
    EXPECT_FALSE(PropertyList()["x"].isValid());
    EXPECT_FALSE(array[nullptr].isValid());
    EXPECT_FALSE((*array.array())[0]["\xff"].isValid()); // not UTF-8: in no dictionary
    EXPECT_TRUE((*array.array())[0]["blkx"].isValid());
    EXPECT_THROW(array.dict(), std::bad_any_cast);
    EXPECT_THROW(array.data(), std::bad_any_cast);
    EXPECT_THROW(PropertyList().array(), std::bad_any_cast);
    EXPECT_FALSE(PropertyList::parse(nullptr, 10).isValid());
    // Copies share the containers.
    const PropertyList copy = array;
    EXPECT_EQ(copy.array().get(), array.array().get());
}

// The seeds in fuzz/corpus/plist: "plistlib" (the document above),
// "udif_blkx" (the property list of a UDIF image from the test writer),
// "edges" (the values document). ZV_WRITE_PLIST_SEEDS=1 writes them anew.
TEST(PropertyListFuzzSeeds, CorpusIsWhatTheWritersMake)
{
    UdifParts parts = udifBuild(std::string(8 * 512, '\0') + patternBytes(8 * 512, 3),
                                {{"a (0)", {{udifZero, 8}}}, {"b (1)", {{udifComment, 0}, {udifZlib, 8}}}});
    const std::map<std::string, std::string> made = {
        {"plistlib", plistlibDocument()},
        {"udif_blkx", udifPlist(parts)},
        {"edges", "<dict><key/><string>a &amp; b</string><key>d</key><data>QUJD\nREVG</data>"
                  "<key>n</key><array><integer>-1</integer><real>2.5</real><false/><date>x</date></array></dict>"},
    };
    const std::string folder = (std::filesystem::path(ZV_SOURCE_DIR) / "fuzz/corpus/plist/").string();
    for (const auto &[name, bytes] : made) {
        if (std::getenv("ZV_WRITE_PLIST_SEEDS"))
            writeFile(folder + name, bytes);
        EXPECT_EQ(readFile(folder + name), bytes) << name;
        EXPECT_TRUE(parseText(bytes).isDict()) << name;
    }
}
