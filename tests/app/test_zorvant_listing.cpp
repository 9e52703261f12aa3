// The program's listings and its engine log as a user meets them across
// commands: `ls` lists a folder by name, and the log of the day's scan
// survives the commands that follow it. Child processes of `zorvant` on FAT
// images made with mkfs.fat and mtools.
#include "app/zorvant_cli_support.h"

#include <sstream>

namespace {

using zvcli::Outcome;
using ZorvantCliListing = zvcli::ZorvantCli;
using ZorvantCliLog = zvcli::ZorvantCli;

// The paths `ls` printed, one a line, in their order.
std::vector<std::string> listedPaths(const std::string &out)
{
    std::vector<std::string> paths;
    std::istringstream in(out);
    for (std::string line; std::getline(in, line);) {
        const size_t at = line.find("  1/");
        if (at != std::string::npos)
            paths.push_back(line.substr(at + 2));
    }
    return paths;
}

// Fault guarded: `ls` listed a folder in the order its entries were written
// (IMG_0010, IMG_0011, IMG_0014, IMG_0006, ...). Now by name in byte order,
// case counting: upper-case names before lower-case ones, as `LC_ALL=C ls`.
TEST_F(ZorvantCliListing, FoldersAreListedByName)
{
    const std::string card = dir / "card.img";
    zvtest::makeFat(card, 16, 16384);
    zvtest::fatMkdir(card, "DCIM");
    for (const char *name : {"IMG_0010.JPG", "IMG_0011.JPG", "a first.jpg", "IMG_0014.JPG", "IMG_0006.JPG"})
        zvtest::fatPut(card, std::string("DCIM/") + name, zvtest::patternBytes(3000, name[6]));
    zvtest::fatMkdir(card, "DCIM/SUB");
    zvtest::fatPut(card, "DCIM/SUB/B.JPG", zvtest::patternBytes(2000, 2));
    zvtest::fatPut(card, "DCIM/SUB/A.JPG", zvtest::patternBytes(2000, 1));
    zvtest::fatPut(card, "DCIM/Beach photo.jpg", zvtest::patternBytes(2000, 3));
    const Outcome scan = zorvant({"scan", "--quick", card});
    ASSERT_EQ(scan.status, 0) << scan.out << scan.err;

    const std::string top = "1/Found Files/DCIM/";
    const Outcome ls = zorvant({"ls", "1/Found Files/DCIM"});
    ASSERT_EQ(ls.status, 0) << ls.err;
    EXPECT_EQ(listedPaths(ls.out),
              (std::vector<std::string>{top + "Beach photo.jpg", top + "IMG_0006.JPG", top + "IMG_0010.JPG",
                                        top + "IMG_0011.JPG", top + "IMG_0014.JPG", top + "SUB", top + "a first.jpg"}))
        << ls.out;
    // Recursive: each folder's entries by name, right after the folder.
    const Outcome all = zorvant({"ls", "-r", "1/Found Files"});
    ASSERT_EQ(all.status, 0) << all.err;
    EXPECT_EQ(listedPaths(all.out),
              (std::vector<std::string>{"1/Found Files/DCIM", top + "Beach photo.jpg", top + "IMG_0006.JPG",
                                        top + "IMG_0010.JPG", top + "IMG_0011.JPG", top + "IMG_0014.JPG", top + "SUB",
                                        top + "SUB/A.JPG", top + "SUB/B.JPG", top + "a first.jpg"}))
        << all.out;
}

// Fault guarded: the program opens the engine log at every command and the
// log was set aside at every opening, so a scan's lines were gone five
// commands later. Within a day they stay; a log begun on an earlier day is
// set aside at the next command.
TEST_F(ZorvantCliLog, TheDaysScanSurvivesTheCommandsAfterIt)
{
    const std::string card = dir / "card.img";
    zvtest::makeFat(card, 16, 16384);
    zvtest::fatPut(card, "A.JPG", zvtest::patternBytes(2000, 1));
    ASSERT_EQ(zorvant({"scan", "--quick", card}).status, 0);
    for (int n = 0; n < 6; n++)
        ASSERT_EQ(zorvant({n % 2 ? "list" : "ls"}).status, 0);
    const std::string log = ws + "/ZorvantWorkspace/ScanEngineLog.txt";
    const std::string text = zvtest::readFile(log);
    EXPECT_NE(text.find("Starting quick scan for"), std::string::npos) << text;
    EXPECT_FALSE(zvcli::fs::exists(ws + "/ZorvantWorkspace/ScanEngineLog0.txt"));

    // The same log as if begun on an earlier day: its first line, the hour header, says when.
    zvtest::writeFile(log, "2000-01-01 00:00:00 +000\n" + text.substr(text.find('\n') + 1));
    ASSERT_EQ(zorvant({"ls"}).status, 0);
    const std::string kept = zvtest::readFile(ws + "/ZorvantWorkspace/ScanEngineLog0.txt");
    EXPECT_EQ(kept.rfind("2000-01-01 00:00:00 +000\n", 0), 0u) << kept;
    EXPECT_NE(kept.find("Starting quick scan for"), std::string::npos) << kept;
    const std::string fresh = zvtest::readFile(log);
    EXPECT_EQ(fresh.find("Starting quick scan for"), std::string::npos) << fresh;
    EXPECT_NE(fresh.rfind("2000-01-01", 0), 0u) << fresh;
}

} // namespace
