// The ids of `zorvant list` as the user reads them: each command is a run
// of its own, and an id names one medium from run to run as long as the
// workspace knows it; the "Scanning" line names the medium in words.
#include <regex>

#include "app/zorvant_cli_support.h"

namespace {

using zvcli::Outcome;
using zvtest::shellQuote;
using ZorvantCliIds = zvcli::ZorvantCli;

using zvcli::idOf;
using zvcli::mediaPart;
using zvcli::twoPartitionCard;

// One medium keeps its id through scans of it, of its partitions and of
// another image; a scan by id reads the same medium each time; the
// "Scanning" line names a partition by its volume and card, a card by its
// path.
TEST_F(ZorvantCliIds, IdsStayFromRunToRunAndScansNameTheMedium)
{
    const std::string card = twoPartitionCard(dir / "cardC.img");
    ASSERT_EQ(zorvant({"scan", "--quick", card}).status, 0);
    const Outcome first = zorvant({"list"});
    ASSERT_EQ(first.status, 0) << first.err;
    const std::string card_id = idOf(first, "cardC.img"), one = idOf(first, "PART_ONE"),
                      two = idOf(first, "PART_TWO");
    ASSERT_FALSE(card_id.empty() || one.empty() || two.empty()) << first.out;

    // The first partition twice: the same id names it both times, and both
    // scans read it (its file, not the other partition's).
    for (int round = 0; round < 2; round++) {
        const Outcome scan = zorvant({"scan", "--quick", one});
        ASSERT_EQ(scan.status, 0) << scan.out << scan.err;
        EXPECT_EQ(scan.out.rfind("Scanning PART_ONE of cardC.img (quick scan)\n", 0), 0u) << scan.out;
        const std::string n = scanNumber(scan);
        const Outcome ls = zorvant({"ls", "-r", n});
        EXPECT_NE(ls.out.find("ONE.BIN"), std::string::npos) << round << ls.out;
        EXPECT_EQ(ls.out.find("TWO.BIN"), std::string::npos) << round << ls.out;
        const Outcome list = zorvant({"list"});
        EXPECT_EQ(mediaPart(list), mediaPart(first)) << round;
    }

    // Another image joins with an id of its own; the card's ids stay.
    const std::string other = dir / "other.img";
    zvtest::makeFat(other, 16, 16384, "-n OTHER");
    zvtest::fatPut(other, "OTHER.BIN", zvtest::patternBytes(5000, 3));
    ASSERT_EQ(zorvant({"scan", "--quick", other}).status, 0);
    const Outcome both = zorvant({"list"});
    EXPECT_EQ(idOf(both, "cardC.img"), card_id) << both.out;
    EXPECT_EQ(idOf(both, "PART_ONE"), one) << both.out;
    EXPECT_EQ(idOf(both, "PART_TWO"), two) << both.out;
    const std::string other_id = idOf(both, "OTHER");
    EXPECT_FALSE(other_id.empty()) << both.out;
    EXPECT_EQ((std::set<std::string>{card_id, one, two, other_id}).size(), 4u) << both.out;

    const Outcome scan_two = zorvant({"scan", "--quick", two});
    ASSERT_EQ(scan_two.status, 0) << scan_two.out << scan_two.err;
    EXPECT_EQ(scan_two.out.rfind("Scanning PART_TWO of cardC.img (quick scan)\n", 0), 0u) << scan_two.out;
    const Outcome ls_two = zorvant({"ls", "-r", scanNumber(scan_two)});
    EXPECT_NE(ls_two.out.find("TWO.BIN"), std::string::npos) << ls_two.out;
    EXPECT_EQ(ls_two.out.find("ONE.BIN"), std::string::npos) << ls_two.out;

    // A card named by id is named by its path.
    const Outcome scan_card = zorvant({"scan", "--quick", card_id});
    ASSERT_EQ(scan_card.status, 0) << scan_card.out << scan_card.err;
    EXPECT_EQ(scan_card.out.rfind("Scanning " + card + " (quick scan)\n", 0), 0u) << scan_card.out;
    EXPECT_EQ(mediaPart(zorvant({"list"})), mediaPart(both));
}

// A card whose layout changed keeps its own id, and its partitions take
// fresh ones: the id of a partition that is gone names nothing, and no id
// of another medium is handed out again.
TEST_F(ZorvantCliIds, ChangedLayoutGivesFreshPartitionIds)
{
    const std::string card = twoPartitionCard(dir / "cardC.img");
    ASSERT_EQ(zorvant({"scan", "--quick", card}).status, 0);
    const Outcome before = zorvant({"list"});
    const std::string card_id = idOf(before, "cardC.img"), one = idOf(before, "PART_ONE"),
                      two = idOf(before, "PART_TWO");
    ASSERT_FALSE(card_id.empty() || one.empty() || two.empty()) << before.out;

    // One partition from sector 4096 now, with a volume of another name.
    zvtest::mustRun("rm -f " + shellQuote(card) + " && truncate -s 8M " + shellQuote(card));
    zvtest::mustRun("printf 'label: dos\\nstart=4096, type=c\\n' | sfdisk -q " + shellQuote(card));
    zvtest::mustRun("mkfs.fat -n MOVED --offset=4096 " + shellQuote(card) + " 6144 >/dev/null 2>&1");
    const Outcome after = zorvant({"list"});
    ASSERT_EQ(after.status, 0) << after.err;
    EXPECT_EQ(idOf(after, "cardC.img"), card_id) << after.out;
    const std::string moved = idOf(after, "MOVED");
    ASSERT_FALSE(moved.empty()) << after.out;
    EXPECT_EQ((std::set<std::string>{card_id, one, two, moved}).size(), 4u) << after.out;
    const Outcome gone = zorvant({"scan", "--quick", two});
    EXPECT_NE(gone.status, 0);
    EXPECT_NE(gone.err.find("no medium with id " + two), std::string::npos) << gone.err;
    EXPECT_EQ(mediaPart(zorvant({"list"})), mediaPart(after));
}

// The ids the workspace keeps, damaged in its settings file (a count far
// too large, an entry that is no entry, an id the list cannot show, a
// negative next id): the program neither hangs nor fails, lists every
// medium under an id of its own, and keeps them from then on.
TEST_F(ZorvantCliIds, DamagedKeptIdsAreNotTrusted)
{
    const std::string card = twoPartitionCard(dir / "cardC.img");
    ASSERT_EQ(zorvant({"scan", "--quick", card}).status, 0);
    const std::string settings = ws + "/ZorvantWorkspace/settings.ini";
    std::string text = zvtest::readFile(settings);
    ASSERT_NE(text.find("media_id_1 = "), std::string::npos) << text;
    const std::pair<const char *, const char *> damage[] = {
        {"media_ids_count = [0-9]+", "media_ids_count = 9223372036854775807"},
        {"media_id_1 = [^\n]*", "media_id_1 = junk"},
        {"media_id_2 = [0-9]+", "media_id_2 = 2147483648"},
        {"media_ids_next = [0-9]+", "media_ids_next = -3"},
    };
    for (const auto &[pattern, replacement] : damage)
        text = std::regex_replace(text, std::regex(pattern), replacement);
    zvtest::writeFile(settings, text);

    const Outcome list = zorvant({"list"});
    ASSERT_EQ(list.status, 0) << list.err;
    const std::string media = mediaPart(list);
    std::set<std::string> ids;
    int lines = 0;
    const std::regex id_line("\n *([0-9]+) ");
    for (auto it = std::sregex_iterator(media.begin(), media.end(), id_line); it != std::sregex_iterator(); ++it) {
        ids.insert((*it)[1].str());
        lines++;
    }
    EXPECT_EQ(lines, 3) << media;
    EXPECT_EQ(ids.size(), 3u) << media;
    EXPECT_EQ(mediaPart(zorvant({"list"})), media);
}

// Ids of ten digits kept in a damaged settings file (and a next id beyond
// nine digits) are not restored: every id listed is one a command takes, so
// a scan by the card's id reads the card instead of looking for a file
// named by the number.
TEST_F(ZorvantCliIds, RestoredIdsStayWithinNineDigits)
{
    const std::string card = twoPartitionCard(dir / "cardC.img");
    ASSERT_EQ(zorvant({"scan", "--quick", card}).status, 0);
    const std::string settings = ws + "/ZorvantWorkspace/settings.ini";
    std::string text = zvtest::readFile(settings);
    ASSERT_TRUE(std::regex_search(text, std::regex("media_id_[0-9]+ = [0-9]+ file "))) << text;
    text = std::regex_replace(text, std::regex("(media_id_[0-9]+ = )[0-9]+( file )"), "$011500000000$2");
    text = std::regex_replace(text, std::regex("media_ids_next = [0-9]+"), "media_ids_next = 1500000001");
    zvtest::writeFile(settings, text);

    const Outcome list = zorvant({"list"});
    ASSERT_EQ(list.status, 0) << list.err;
    const std::string media = mediaPart(list);
    std::set<std::string> ids;
    const std::regex id_line("\n *([0-9]+) ");
    for (auto it = std::sregex_iterator(media.begin(), media.end(), id_line); it != std::sregex_iterator(); ++it) {
        EXPECT_LE((*it)[1].str().size(), 9u) << media;
        ids.insert((*it)[1].str());
    }
    EXPECT_EQ(ids.size(), 3u) << media;
    const std::string card_id = idOf(list, "cardC.img");
    ASSERT_FALSE(card_id.empty()) << media;
    const Outcome scan = zorvant({"scan", "--quick", card_id});
    EXPECT_EQ(scan.status, 0) << scan.out << scan.err;
    EXPECT_EQ(scan.out.rfind("Scanning " + card + " (quick scan)\n", 0), 0u) << scan.out;
    EXPECT_EQ(mediaPart(zorvant({"list"})), media);
}

} // namespace
