// The `zorvant` program on card images of the kinds it must not misread: VMDK
// images it does not read (refused by name, never scanned as an empty card)
// and a FAT32 card whose first boot sector is wiped, which the thorough scan
// reads through the backup boot sector as the quick scan does.
#include <sstream>

#include "app/zorvant_cli_support.h"

namespace {

namespace fs = std::filesystem;
using zvcli::Outcome;
using zvtest::shellQuote;

using ZorvantCliImages = zvcli::ZorvantCli;

const char kReadMe[] = "Read me.txt";

// A small FAT16 card holding one text file; its path.
std::string smallCard(const std::string &folder)
{
    const std::string card = folder + "/card.img";
    zvtest::makeFat(card, 16, 16384);
    zvtest::fatPut(card, kReadMe, zvtest::patternBytes(3000, 7));
    return card;
}

// Stream-optimized and flat VMDK images written by qemu-img: the scan stops
// at once with a message naming the kind (exit 1), where it used to read the
// image file as a card and report it empty. The data file of a flat image is
// the card's bytes as they are and still scans as a card, and so does a
// plain card dump.
TEST_F(ZorvantCliImages, UnsupportedVmdkKindsAreRefusedByName)
{
    zvtest::requireTool("qemu-img");
    const std::string card = smallCard(dir.path());
    struct Case {
        const char *subformat;
        const char *text;
    };
    const Case cases[] = {
        {"streamOptimized", "stream-optimized VMDK images are not supported"},
        {"monolithicFlat", "flat VMDK images are not supported"},
        {"twoGbMaxExtentFlat", "flat VMDK images are not supported"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.subformat);
        const std::string folder = dir / c.subformat;
        fs::create_directories(folder);
        const std::string vmdk = folder + "/card.vmdk";
        zvtest::mustRun("qemu-img convert -f raw -O vmdk -o subformat=" + std::string(c.subformat) + " " +
                        shellQuote(card) + " " + shellQuote(vmdk));
        for (const std::vector<std::string> &args :
             {std::vector<std::string>{"scan", "--quick", vmdk}, std::vector<std::string>{"scan", vmdk}}) {
            const std::string kind = args[1];
            const Outcome r = zorvant(args);
            EXPECT_EQ(r.status, 1) << kind << "\n" << r.out << r.err;
            EXPECT_NE(r.err.find("can't scan " + vmdk + ": " + c.text), std::string::npos) << kind << "\n" << r.err;
            EXPECT_NE(r.err.find("qemu-img convert -O raw"), std::string::npos) << r.err;
            EXPECT_EQ(r.out.find("Nothing was found"), std::string::npos) << r.out;
        }
    }
    // No scan was made of any of them.
    EXPECT_EQ(zorvant({"ls", "1/Found Files"}).status, 1);

    // monolithicFlat keeps the card's bytes in "card-flat.vmdk".
    const Outcome flat = zorvant({"scan", "--quick", dir / "monolithicFlat/card-flat.vmdk"});
    ASSERT_EQ(flat.status, 0) << flat.out << flat.err;
    const std::string n = scanNumber(flat);
    const Outcome ls = zorvant({"ls", "-r", n + "/Found Files"});
    EXPECT_NE(ls.out.find(n + "/Found Files/" + kReadMe), std::string::npos) << ls.out;
    const Outcome raw = zorvant({"scan", "--quick", card});
    EXPECT_EQ(raw.status, 0) << raw.out << raw.err;
}

// A FAT32 card whose first boot sector is zeroed: the quick scan finds the
// volume through the backup boot sector (sector 6). The thorough scan meets
// only that copy on its way through the card; it lists at least the named
// files the quick scan lists, under the same paths, and recovers them whole.
TEST_F(ZorvantCliImages, ThoroughScanReadsAVolumeThroughItsBackupBootSector)
{
    const std::string card = dir / "card.img";
    zvtest::makeFat(card, 32, 34 * 1024, "-s 1");
    zvtest::fatMkdir(card, "DCIM");
    const std::string text = zvtest::patternBytes(5000, 11);
    const std::string photo = zvtest::patternBytes(20000, 12);
    zvtest::fatPut(card, kReadMe, text);
    zvtest::fatPut(card, "DCIM/IMG_0001.JPG", photo);
    zvtest::mustRun("dd if=/dev/zero of=" + shellQuote(card) + " bs=512 count=1 conv=notrunc status=none");

    // Named files listed by a scan: the lines of `ls -r` below its Found Files.
    auto named = [&](const std::string &workspace) {
        const Outcome ls = zorvant({"ls", "-r", "1/Found Files"}, workspace);
        EXPECT_EQ(ls.status, 0) << ls.out << ls.err;
        std::set<std::string> out;
        std::istringstream lines(ls.out);
        for (std::string line; std::getline(lines, line);) {
            const size_t at = line.find("1/Found Files/");
            if (at != std::string::npos)
                out.insert(line.substr(at));
        }
        return out;
    };
    const std::string quick = dir / "quick";
    const Outcome q = zorvant({"scan", "--quick", card}, quick);
    ASSERT_EQ(q.status, 0) << q.out << q.err;
    const std::set<std::string> quickNames = named(quick);
    ASSERT_EQ(quickNames.count(std::string("1/Found Files/") + kReadMe), 1u) << quickNames.size();

    const Outcome t = zorvant({"scan", card}); // thorough
    ASSERT_EQ(t.status, 0) << t.out << t.err;
    const std::set<std::string> thoroughNames = named(ws);
    for (const std::string &name : quickNames)
        EXPECT_EQ(thoroughNames.count(name), 1u) << name << " is missing from the thorough scan";

    const Outcome rec = zorvant({"recover", "--to", dir / "out", std::string("1/Found Files/") + kReadMe,
                                 "1/Found Files/DCIM/IMG_0001.JPG"});
    EXPECT_EQ(rec.status, 0) << rec.out << rec.err;
    const std::map<std::string, std::string> got = filesBelow(dir / "out");
    const std::string top = "Recovered Files from card.img/";
    ASSERT_EQ(got.count(top + kReadMe), 1u) << got.size();
    EXPECT_TRUE(got.at(top + kReadMe) == text);
    ASSERT_EQ(got.count(top + "IMG_0001.JPG"), 1u);
    EXPECT_TRUE(got.at(top + "IMG_0001.JPG") == photo);
}

} // namespace
