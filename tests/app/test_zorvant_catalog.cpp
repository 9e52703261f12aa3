// The `zorvant` program on a scan whose catalog (cat.db of a found file
// system in the workspace) was damaged after the scan: the file system is
// still listed, marked "damaged catalog", every command that needs it fails
// naming the catalog and saying to scan again, and the scan's sound file
// systems stay usable.
#include "app/zorvant_cli_support.h"

namespace {

namespace fs = std::filesystem;
using zvcli::Outcome;
using ZorvantCliCatalog = zvcli::ZorvantCli;

// The catalog of the file system whose folder in scan 1 begins with prefix
// ("FAT." for "Found Files", "CBR." for "Reconstructed Files").
std::string catalogOf(const std::string &workspace, const std::string &prefix)
{
    const fs::path slot = fs::path(workspace) / "ZorvantWorkspace" / "Scan.01";
    for (const auto &e : fs::directory_iterator(slot))
        if (e.path().filename().string().rfind(prefix, 0) == 0)
            return (e.path() / "cat.db").string();
    ADD_FAILURE() << "no " << prefix << "* folder in " << slot;
    return "";
}

// Damages a catalog on disk the ways a card reader, a crash or a full disk
// leave one.
void damage(const std::string &file, const std::string &how)
{
    std::string bytes = zvtest::readFile(file);
    ASSERT_GT(bytes.size(), 1024u) << file;
    if (how == "truncated") {
        bytes.resize(bytes.size() / 2);
    } else if (how == "header flipped") {
        for (size_t i = 0; i < 100; i++)
            bytes[i] = (char)~bytes[i];
    } else if (how == "layout flipped") {
        bytes[62] = (char)(bytes[62] ^ 0x80); // the high byte of the layout number
    } else {
        bytes.clear(); // emptied
    }
    zvtest::writeFile(file, bytes);
}

// The error names the damaged catalog's file and says to scan again.
void expectNamed(const Outcome &r, const std::string &path, const std::string &file)
{
    EXPECT_EQ(r.status, 1) << r.out << r.err;
    EXPECT_NE(r.err.find(path + ": damaged catalog: " + file + " can't be read; scan the card again"),
              std::string::npos)
        << r.err;
}

// Truncated, bytes flipped (the file header; the layout number) or emptied,
// the catalog of "Found Files" is shown marked and refused by name.
TEST_F(ZorvantCliCatalog, DamagedCatalogIsShownAndNamed)
{
    const std::string card = makeCard("card.img");
    for (const char *how : {"truncated", "header flipped", "layout flipped", "emptied"}) {
        SCOPED_TRACE(how);
        ws = dir / (std::string("ws-") + how);
        ASSERT_EQ(zorvant({"scan", "--quick", card}).status, 0);
        ASSERT_EQ(zorvant({"select", "1"}).status, 0);
        const std::string file = catalogOf(ws, "FAT.");
        damage(file, how);

        // Listed as a child of its scan, with its mark.
        const Outcome ls = zorvant({"ls", "1"});
        EXPECT_EQ(ls.status, 0) << ls.err;
        EXPECT_NE(ls.out.find("damaged catalog  "), std::string::npos) << ls.out;
        EXPECT_NE(ls.out.find("1/Found Files\n"), std::string::npos) << ls.out;
        const Outcome all = zorvant({"ls", "-r"});
        EXPECT_EQ(all.status, 0) << all.err;
        EXPECT_NE(all.out.find("damaged catalog  "), std::string::npos) << all.out;

        // Everything that needs it fails naming it.
        expectNamed(zorvant({"ls", "1/Found Files"}), "1/Found Files", file);
        const Outcome inside = zorvant({"ls", "-r", "1/Found Files/DCIM"});
        EXPECT_EQ(inside.status, 1);
        EXPECT_NE(inside.err.find("1/Found Files/DCIM: 1/Found Files has a damaged catalog: " + file), std::string::npos)
            << inside.err;
        expectNamed(zorvant({"select", "1/Found Files"}), "1/Found Files", file);
        expectNamed(zorvant({"select", "--pattern", "*.JPG", "1"}), "not ticked: 1/Found Files", file);
        const Outcome scan = zorvant({"select", "1"});
        expectNamed(scan, "not ticked: 1/Found Files", file);
        EXPECT_NE(scan.out.find("Ticked 0 items."), std::string::npos) << scan.out;
        const Outcome marked = zorvant({"recover", "1", "--to", dir / "out"});
        expectNamed(marked, "not recovered: 1/Found Files", file);
        EXPECT_NE(marked.err.find("nothing recovered: a found file system has a damaged catalog"), std::string::npos)
            << marked.err;
        EXPECT_NE(marked.out.find("Recovered 0 files"), std::string::npos) << marked.out;
        const Outcome named = zorvant({"recover", "--to", dir / "out", "1/Found Files/DCIM/NEW1.JPG"});
        EXPECT_EQ(named.status, 1);
        EXPECT_NE(named.err.find("not recovered: 1/Found Files/DCIM/NEW1.JPG: 1/Found Files has a damaged catalog: " +
                                 file + " can't be read; scan the card again"),
                  std::string::npos)
            << named.err;
        expectNamed(zorvant({"recover", "--to", dir / "out", "1/Found Files"}), "not recovered: 1/Found Files", file);
        EXPECT_TRUE(filesBelow(dir / "out").empty());
    }
}

// A thorough scan has "Found Files" and "Reconstructed Files": with the
// catalog of the reconstructed files damaged, the found files are still
// listed, ticked and recovered; a recovery of the whole scan brings them back
// and then fails naming the damaged one.
TEST_F(ZorvantCliCatalog, SoundFileSystemOfTheScanStaysUsable)
{
    const std::string card = makeCard("card.img");
    const Outcome scan = zorvant({"scan", card});
    ASSERT_EQ(scan.status, 0) << scan.out << scan.err;
    ASSERT_EQ(zorvant({"select", "1"}).status, 0);
    const std::string file = catalogOf(ws, "CBR.");
    damage(file, "truncated");

    const Outcome ls = zorvant({"ls", "-r", "1"});
    EXPECT_EQ(ls.status, 0) << ls.err;
    EXPECT_NE(ls.out.find("damaged catalog  "), std::string::npos) << ls.out;
    EXPECT_NE(ls.out.find("1/Reconstructed Files\n"), std::string::npos) << ls.out;
    EXPECT_NE(ls.out.find("[x] -"), std::string::npos) << ls.out;
    EXPECT_NE(ls.out.find("1/Found Files/DCIM/NEW1.JPG\n"), std::string::npos) << ls.out;
    expectNamed(zorvant({"ls", "1/Reconstructed Files"}), "1/Reconstructed Files", file);

    const Outcome rec = zorvant({"recover", "1", "--to", dir / "out"});
    expectNamed(rec, "not recovered: 1/Reconstructed Files", file);
    EXPECT_NE(rec.out.find("Recovered 1 file ("), std::string::npos) << rec.out;
    const std::string top = "Recovered Files from card.img/";
    std::map<std::string, std::string> got = filesBelow(dir / "out");
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[top + "Found Files/DCIM/NEW1.JPG"], photos.at("DCIM/NEW1.JPG"));

    // Unticking the whole scan names the damaged one; a file of the sound
    // one is ticked and recovered by name.
    const Outcome none = zorvant({"select", "--none", "1"});
    expectNamed(none, "not unticked: 1/Reconstructed Files", file);
    EXPECT_NE(none.out.find("Unticked 1 item."), std::string::npos) << none.out;
    ASSERT_EQ(zorvant({"select", "1/Found Files/DCIM/NEW1.JPG"}).status, 0);
    const Outcome named = zorvant({"recover", "--to", dir / "named", "1/Found Files/DCIM/NEW1.JPG"});
    EXPECT_EQ(named.status, 0) << named.err;
    got = filesBelow(dir / "named");
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[top + "NEW1.JPG"], photos.at("DCIM/NEW1.JPG"));
}

} // namespace
