// What the `zorvant` program says where a command can't do what was asked:
// a load of a file that holds no scans, a pattern that matches nothing, an
// early stop asked of a scan that can't stop early, a recovery whose image
// is gone, a workspace folder that is a file; scans listed by number, counts
// in words that agree with them, a scan whose output reader went away, and
// output that could not be written.
#include "app/zorvant_cli_support.h"

namespace {

namespace fs = std::filesystem;
using zvcli::has;
using zvcli::Outcome;
using zvtest::shellQuote;

using ZorvantCliMessages = zvcli::ZorvantCli;

// Refusals name the cause in words: a file that is no saved scan, a missing
// one, a pattern matching nothing, --stop-after on a quick scan, a recovery
// whose image moved away (one message, not a line per ticked file).
TEST_F(ZorvantCliMessages, RefusalsSayWhyInWords)
{
    const std::string card = makeCard("card.img");
    zvtest::writeFile(dir / "notes.txt", "not a saved scan\n");
    const Outcome junk = zorvant({"load", dir / "notes.txt"});
    EXPECT_EQ(junk.status, 1);
    EXPECT_TRUE(has(junk.err, "it is not a file of saved scans, or it is damaged")) << junk.err;
    const Outcome missing = zorvant({"load", dir / "missing.zvscan"});
    EXPECT_EQ(missing.status, 1);
    EXPECT_TRUE(has(missing.err, "No such file or directory")) << missing.err;

    const Outcome early = zorvant({"scan", "--quick", "--stop-after", "5", card});
    EXPECT_EQ(early.status, 2) << early.out << early.err;
    EXPECT_TRUE(has(early.err, "--stop-after ends a thorough scan early")) << early.err;

    ASSERT_EQ(zorvant({"scan", "--quick", card}).status, 0);
    const Outcome none = zorvant({"select", "--pattern", "*.MOV", "1"});
    EXPECT_EQ(none.status, 1) << none.out;
    EXPECT_TRUE(has(none.err, "no file below 1 matches *.MOV")) << none.err;

    ASSERT_EQ(zorvant({"select", "1"}).status, 0);
    fs::rename(card, dir / "moved.img");
    const Outcome gone = zorvant({"recover", "1", "--to", dir / "out"});
    EXPECT_EQ(gone.status, 1) << gone.out;
    EXPECT_FALSE(has(gone.err, "not recovered: 1/")) << gone.err;
    EXPECT_TRUE(has(gone.err, "`zorvant attach PATH`")) << gone.err;
    // Checked before anything is begun: only the error is said.
    EXPECT_EQ(gone.out, "") << "a recovery begun and ended with nothing:\n" << gone.out;
    EXPECT_FALSE(has(gone.err, "refused to keep")) << gone.err;
    const Outcome named = zorvant({"recover", "--to", dir / "out", "1/Found Files/DCIM/NEW1.JPG"});
    EXPECT_EQ(named.status, 1) << named.out;
    EXPECT_EQ(named.out, "");
    EXPECT_TRUE(has(named.err, "zorvant: not recovered: 1/Found Files/DCIM/NEW1.JPG: the scan's card or image is "
                               "not attached"))
        << named.err;
    EXPECT_FALSE(fs::exists(dir / "out"));

    // A workspace folder given that is a file is not a folder, not a permission.
    zvtest::writeFile(dir / "plain", "a file\n");
    const Outcome file = zorvant({"list"}, dir / "plain");
    EXPECT_EQ(file.status, 1) << file.out;
    EXPECT_TRUE(has(file.err, "Not a directory")) << file.err;
    EXPECT_FALSE(has(file.err, "Permission denied")) << file.err;
}

// Scans are listed by number whatever slot a new one takes; a folder of one
// item and a file system of one file are counted in the singular.
TEST_F(ZorvantCliMessages, ScansByNumberAndCountsInWords)
{
    for (const char *name : {"a.img", "b.img", "c.img"}) {
        const std::string image = dir / name;
        zvtest::makeFat(image, 16, 16384);
        zvtest::fatMkdir(image, "DCIM");
        put(image, std::string("DCIM/") + name + ".JPG", 64, 48, name[0]);
    }
    const Outcome first = zorvant({"scan", "--quick", dir / "a.img"});
    ASSERT_EQ(first.status, 0) << first.err;
    EXPECT_TRUE(has(first.out, "Found Files") && has(first.out, "1 file ")) << first.out;
    ASSERT_EQ(zorvant({"scan", "--quick", dir / "b.img"}).status, 0);
    ASSERT_EQ(zorvant({"delete", "1"}).status, 0);
    ASSERT_EQ(zorvant({"scan", "--quick", dir / "c.img"}).status, 0); // takes the free slot 1
    const Outcome list = zorvant({"list"});
    const size_t one = list.out.find("\n  1 "), two = list.out.find("\n  2 ");
    ASSERT_NE(one, std::string::npos) << list.out;
    ASSERT_NE(two, std::string::npos) << list.out;
    EXPECT_LT(one, two) << list.out;
    const Outcome ls = zorvant({"ls", "1/Found Files"});
    EXPECT_TRUE(has(ls.out, "1 item ")) << ls.out;
}

// Counts of thousands are grouped as the scan's own counts are: a recovery
// of 1,200 files says "Recovered 1,200 files".
TEST_F(ZorvantCliMessages, RecoveredCountIsGrouped)
{
    const std::string image = dir / "many.img";
    zvtest::makeFat(image, 16, 16384);
    const std::string folder = dir / "MANY";
    fs::create_directories(folder);
    for (int n = 0; n < 1200; n++)
        zvtest::writeFile(folder + "/F" + std::to_string(n) + ".TXT", "file " + std::to_string(n));
    zvtest::mtools("mcopy -s -i " + zvtest::mtoolsImage(image) + " " + shellQuote(folder) + " ::");
    const Outcome scan = zorvant({"scan", "--quick", image});
    ASSERT_EQ(scan.status, 0) << scan.out << scan.err;
    EXPECT_TRUE(has(scan.out, " 1,200 files ")) << scan.out;
    ASSERT_EQ(zorvant({"select", "1"}).status, 0);
    const Outcome rec = zorvant({"recover", "1", "--to", dir / "out"});
    EXPECT_EQ(rec.status, 0) << rec.out << rec.err;
    EXPECT_TRUE(has(rec.out, "Recovered 1,200 files (")) << rec.out;
}

// A scan whose output goes to a reader that ends (`| head -c 1`) runs to
// its own end instead of dying of the broken pipe half-way, and its scan is
// kept, not left unfinished. The pipe's reader is gone before the program
// writes its first line (a FIFO opened for reading and writing, then for
// writing, and its reading end closed), so every write meets it.
TEST_F(ZorvantCliMessages, ScanIntoAClosedPipeEndsAsItWould)
{
    const std::string card = makeCard("card.img");
    const std::string fifo = dir / "pipe", status = dir / "status";
    zvtest::mustRun("mkfifo " + shellQuote(fifo));
    zvtest::mustRun("bash -c " +
                    shellQuote("exec 3<>" + shellQuote(fifo) + " 4>" + shellQuote(fifo) + " 3<&-; " +
                               shellQuote(ZORVANT_BINARY) + " --workspace " + shellQuote(ws) + " scan " +
                               shellQuote(card) + " >&4 2>/dev/null 4>&-; echo $? > " + shellQuote(status)));
    EXPECT_EQ(zvtest::readFile(status), "0\n"); // not killed (141)
    const Outcome list = zorvant({"list"});
    EXPECT_FALSE(has(list.out, "unfinished")) << list.out;
    EXPECT_TRUE(has(list.out, "thorough  done")) << list.out;
}

// Faults guarded: output that could not be written (a full disk) ended
// with exit status 0 and no word of it; and with standard output and error
// closed (`>&- 2>&-`) the workspace lock took their descriptor and what the
// scan printed was written into the workspace.
TEST_F(ZorvantCliMessages, OutputThatCanNotBeWrittenIsNoSuccess)
{
    const std::string card = makeCard("card.img");
    const std::string err = dir / "err", run = shellQuote(ZORVANT_BINARY) + " --workspace " + shellQuote(ws);
    EXPECT_EQ(zvtest::run(run + " list >/dev/full 2>" + shellQuote(err)), 1);
    EXPECT_TRUE(has(zvtest::readFile(err), "can't write the output: No space left on device")) << zvtest::readFile(err);
    EXPECT_EQ(zvtest::run(run + " scan " + shellQuote(card) + " >&- 2>&-"), 1);
    for (const auto &[name, bytes] : filesBelow(ws))
        EXPECT_FALSE(has(bytes, "Scanning ") || has(bytes, "This is scan")) << name;
    EXPECT_TRUE(has(zorvant({"list"}).out, "thorough  done"));
}

// Fault guarded: an escape sequence in a FAT long name reached the terminal
// as it was, so a card could rewrite the user's terminal. A long name with
// ESC, the C1 control U+009B and DEL, on an image whose own name holds ESC:
// `ls -r`, the scan's and the recovery's messages and an error show them
// escaped, and no control byte reaches the output (progress lines
// included); the recovered file keeps its safe name. A line feed and tab in
// a long name are shown as %0A and %09, in a volume label as \x0a and \x09.
TEST_F(ZorvantCliMessages, ControlCharactersOfTheCardAreShownEscaped)
{
    const std::string card = makeCard("card\x1b[2J.img");
    zvtest::fatPut(card, "DCIM/AXXXX_name_BQ\x7f.JPG", zvtest::patternBytes(5000, 3));
    zvtest::FatPatcher fat(card);
    fat.setLongName(fat.find("DCIM/AXXXX_name_BQ\x7f.JPG"), u"A\x1b[31m_name_B\u009b\x7f.JPG");
    zvtest::fatPut(card, "DCIM/AYYYY_FAKE_LINE.JPG", zvtest::patternBytes(3000, 4));
    fat.setLongName(fat.find("DCIM/AYYYY_FAKE_LINE.JPG"), u"A\nFAKE\tLINE.JPG");
    // A volume label with a line feed and tab, in the boot sector and the root folder.
    zvtest::mustRun("mlabel -i " + shellQuote(card) + " ::LABEL_LINE_");
    std::string bytes = zvtest::readFile(card);
    for (size_t at = bytes.find("LABEL_LINE_"); at != std::string::npos; at = bytes.find("LABEL_LINE_", at))
        bytes.replace(at, 11, "LABEL\nLINE\t");
    zvtest::writeFile(card, bytes);
    const std::string shown = "1/Found Files/DCIM/A\\x1b[31m_name_B\\u009b\\x7f.JPG";
    std::vector<Outcome> runs = {zorvant({"scan", "--quick", card}), zorvant({"ls", "-r", "1"}),
                                 zorvant({"recover", "1", "--to", dir / "out",
                                          "1/Found Files/DCIM/A\x1b[31m_name_B\u009b\x7f.JPG"}),
                                 zorvant({"ls", "1/\x1b]0;owned\x07"})};
    EXPECT_TRUE(has(runs[0].out, "Scanning " + (dir / "card\\x1b[2J.img (quick scan)\n"))) << runs[0].out;
    EXPECT_TRUE(has(runs[1].out, "  " + shown + "\n")) << runs[1].out;
    EXPECT_TRUE(has(runs[2].out, shown + " -> " + (dir / "out/Recovered Files from card_[2J.img/A_[31m_name_B__.JPG\n")))
        << runs[2].out;
    EXPECT_EQ(filesBelow(dir / "out").size(), 1u);
    for (const auto &[path, bytes] : filesBelow(dir / "out"))
        EXPECT_EQ(fs::path(path).filename(), "A_[31m_name_B__.JPG");
    EXPECT_TRUE(has(runs[3].err, "1/\\x1b]0;owned\\x07: ")) << runs[3].err;
    // A line feed or tab in a name would start a forged line of `ls`: it is
    // shown as %0A / %09, and the path shown names the file.
    const std::string forged = "1/Found Files/DCIM/A%0AFAKE%09LINE.JPG";
    EXPECT_TRUE(has(zorvant({"ls", "-r", "1"}).out, "  " + forged + "\n"));
    EXPECT_EQ(zorvant({"ls", forged}).status, 0);
    EXPECT_TRUE(has(zorvant({"list"}).out, " LABEL\\x0aLINE\\x09\n"));
    for (const Outcome &r : runs)
        for (const std::string raw : {"\x1b", "\x7f", "\x07", "\xc2\x9b"})
            EXPECT_FALSE(has(r.out + r.err, raw)) << r.out << r.err;

    // A name longer than one write of the filter, of characters whose
    // second byte lies in 0x80-0x9F ("\u0159"): one cut at a write's end is
    // still shown whole, not as a C1 byte.
    std::string cut = "1/";
    for (int i = 0; i < 5000; i++)
        cut += "\u0159";
    const Outcome long_name = zorvant({"ls", cut});
    EXPECT_TRUE(has(long_name.err, cut) && !has(long_name.err, "\\x")) << long_name.err.size();

    // On a terminal the progress line's own carriage return and erase-line
    // go out as they are; the card's name is escaped all the same. The card
    // is made long enough that its scan outlasts the first progress draws.
    zvtest::requireTool("script");
    fs::resize_file(card, 256u << 20);
    const std::string tty = zvtest::mustRun("script -qec " + shellQuote(shellQuote(ZORVANT_BINARY) + " --workspace " +
                                                                        shellQuote(dir / "tty") + " scan " +
                                                                        shellQuote(card)) + " /dev/null");
    EXPECT_TRUE(has(tty, "Scanning " + (dir / "card\\x1b[2J.img")) && has(tty, "%") && has(tty, "\x1b[K\r\x1b[K"))
        << tty;
    EXPECT_FALSE(has(tty, "\\x1b[K") || has(tty, "\\x0d") || has(tty, "\x1b[2J")) << tty;
}

} // namespace
