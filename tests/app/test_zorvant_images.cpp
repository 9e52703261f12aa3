// The `zorvant` program on card images of the kinds it must not misread: VMDK
// images it does not read (refused by name, never scanned as an empty card)
// and a FAT32 card whose first boot sector is wiped, which the thorough scan
// reads through the backup boot sector as the quick scan does, while a sound
// one is never taken for the backup of a volume before it.
#include <fstream>
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

// Where cameraCard puts the volume: sector 2048.
constexpr uint64_t kOffset = 2048ull * 512;

// A card image of the size (MiB) as cameras format it: blank sectors, then
// a FAT32 partition at kOffset filling the rest (sfdisk, mkfs.fat). Its path.
std::string cameraCard(const std::string &card, uint64_t mebibytes)
{
    zvtest::requireTool("sfdisk");
    zvtest::mustRun("truncate -s " + std::to_string(mebibytes) + "M " + shellQuote(card));
    zvtest::mustRun("printf 'label: dos\\nstart=2048, type=c\\n' | sfdisk -q " + shellQuote(card));
    zvtest::mustRun("mkfs.fat -F 32 --offset=2048 " + shellQuote(card) + " " +
                    std::to_string((mebibytes * 1024 * 1024 - kOffset) / 1024) + " >/dev/null");
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

// A 300 MB card as cameras format it: a FAT32 partition at sector 2048,
// blank sectors before it, and one photo. Its FAT holds an ordinary
// end-of-chain value (0x0FFFFFF8) in the entry 6 sectors before the end of
// each FAT: seen from 6 sectors before the volume, where a volume whose
// backup boot sector is this primary would start, that is where its second
// FAT begins, and the value would pass a header check of that FAT (the check
// that runs looks at its first FAT, which falls in the blank reserved
// sectors). The primary has its own backup 6 sectors on, so it is no backup:
// the thorough scan lists the photo under its name as the quick scan does,
// and recovers it whole; with that backup wiped, it still lists the photo.
TEST_F(ZorvantCliImages, ThoroughScanListsASoundVolumeWhoseFatLooksLikeAnotherVolumes)
{
    const std::string card = cameraCard(dir / "card.img", 300);
    zvtest::fatMkdir(card, "DCIM", kOffset);
    const std::string ppm = dir / "photo.ppm", jpeg = dir / "photo.jpg";
    zvtest::writeFile(ppm, zvtest::ppm(320, 240, 5));
    zvtest::mustRun("cjpeg -quality 90 -outfile " + shellQuote(jpeg) + " " + shellQuote(ppm));
    const std::string photo = zvtest::readFile(jpeg);
    zvtest::fatPut(card, "DCIM/IMG_0001.JPG", photo, 0, kOffset);

    std::fstream file(card, std::ios::in | std::ios::out | std::ios::binary);
    auto read = [&](uint64_t at, size_t size) {
        std::string out(size, '\0');
        file.seekg((std::streamoff)at);
        file.read(&out[0], (std::streamsize)size);
        return out;
    };
    auto le = [&](uint64_t at, int size) {
        const std::string raw = read(at, size);
        uint32_t v = 0;
        for (int i = size - 1; i >= 0; i--)
            v = v << 8 | (uint8_t)raw[i];
        return v;
    };
    const uint32_t sectorBytes = le(kOffset + 11, 2), reserved = le(kOffset + 14, 2), fats = le(kOffset + 16, 1);
    const uint32_t fatSectors = le(kOffset + 36, 4);
    ASSERT_EQ(le(kOffset + 21, 1), 0xF8u); // the media byte the value repeats
    ASSERT_EQ(fats, 2u);
    ASSERT_GT(fatSectors, 6u);
    // The primary's own backup is in place, and the 6 sectors before the
    // volume are blank.
    ASSERT_EQ(read(kOffset + 6 * sectorBytes, 512), read(kOffset, 512));
    ASSERT_EQ(read(kOffset - 6 * sectorBytes, 512), std::string(512, '\0'));
    const uint32_t entry = (fatSectors - 6) * sectorBytes / 4;
    ASSERT_LT(entry, (le(kOffset + 32, 4) - reserved - fats * fatSectors) / le(kOffset + 13, 1) + 2)
        << "the entry names a cluster of the volume";
    for (uint32_t copy = 0; copy < fats; copy++) {
        const uint64_t at = kOffset + (uint64_t)(reserved + copy * fatSectors) * sectorBytes + 4ull * entry;
        ASSERT_EQ(le(at, 4), 0u);
        const char end[4] = {'\xF8', '\xFF', '\xFF', '\x0F'}; // 0x0FFFFFF8
        file.seekp((std::streamoff)at);
        file.write(end, sizeof end);
    }
    // Seen from 6 sectors before the volume, the second FAT starts there.
    ASSERT_EQ(kOffset - 6 * sectorBytes + (uint64_t)(reserved + fatSectors) * sectorBytes,
              kOffset + (uint64_t)reserved * sectorBytes + 4ull * entry);
    file.close();
    ASSERT_FALSE(file.fail());

    const std::string name = "1/Found Files/DCIM/IMG_0001.JPG";
    const Outcome q = zorvant({"scan", "--quick", card}, dir / "quick");
    ASSERT_EQ(q.status, 0) << q.out << q.err;
    EXPECT_TRUE(zvcli::has(zorvant({"ls", "-r", "1"}, dir / "quick").out, name));

    const Outcome t = zorvant({"scan", card}); // thorough
    ASSERT_EQ(t.status, 0) << t.out << t.err;
    EXPECT_FALSE(zvcli::has(t.out, "Nothing was found")) << t.out;
    const Outcome ls = zorvant({"ls", "-r", "1/Found Files"});
    EXPECT_EQ(ls.status, 0) << ls.err;
    EXPECT_TRUE(zvcli::has(ls.out, name)) << ls.out;
    const Outcome rec = zorvant({"recover", "--to", dir / "out", name});
    EXPECT_EQ(rec.status, 0) << rec.out << rec.err;
    const std::map<std::string, std::string> got = filesBelow(dir / "out");
    ASSERT_EQ(got.count("Recovered Files from card.img/IMG_0001.JPG"), 1u) << got.size();
    EXPECT_TRUE(got.at("Recovered Files from card.img/IMG_0001.JPG") == photo);

    // Its backup wiped, the primary is still no backup: the first FAT of the
    // volume 6 sectors before it lies in the blank reserved sectors and
    // fails the header check.
    zvtest::mustRun("dd if=/dev/zero of=" + shellQuote(card) + " bs=" + std::to_string(sectorBytes) +
                    " seek=" + std::to_string(kOffset / sectorBytes + 6) + " count=1 conv=notrunc status=none");
    ASSERT_EQ(zorvant({"scan", card}, dir / "wiped").status, 0);
    EXPECT_TRUE(zvcli::has(zorvant({"ls", "-r", "1/Found Files"}, dir / "wiped").out, name));
}

// A sound FAT32 card at sector 2048 after blank sectors, whose reserved
// sector (reserved - 6) holds the start of a FAT. Seen from 6 sectors before
// the volume, where a volume whose backup boot sector is this primary would
// start, that is the first FAT, and its header is valid: that volume opens.
// Only the primary's own backup, 6 sectors on, tells the primary is no
// backup: the thorough scan lists the card's files under their names as the
// quick scan does.
TEST_F(ZorvantCliImages, ThoroughScanListsASoundVolumeWhoseReservedSectorsHoldAFatHeader)
{
    const std::string card = cameraCard(dir / "card.img", 80);
    zvtest::fatMkdir(card, "DCIM", kOffset);
    zvtest::fatPut(card, "DCIM/IMG_0001.JPG", zvtest::patternBytes(9000, 3), 0, kOffset);
    zvtest::fatPut(card, kReadMe, zvtest::patternBytes(2000, 4), 0, kOffset);

    const std::string image = zvtest::readFile(card);
    auto le = [&](uint64_t at, int size) {
        uint32_t v = 0;
        for (int i = size - 1; i >= 0; i--)
            v = v << 8 | (uint8_t)image[at + i];
        return v;
    };
    const uint32_t sectorBytes = le(kOffset + 11, 2), reserved = le(kOffset + 14, 2);
    ASSERT_EQ(le(kOffset + 21, 1), 0xF8u);
    ASSERT_GT(reserved, 9u); // past the backup boot sector and its FSInfo copy
    ASSERT_EQ(image.substr(kOffset + 6 * sectorBytes, 512), image.substr(kOffset, 512));
    ASSERT_EQ(image.substr(kOffset - 6 * sectorBytes, 6 * sectorBytes), std::string(6 * sectorBytes, '\0'));
    const uint64_t earlierFat = kOffset + (uint64_t)(reserved - 6) * sectorBytes;
    ASSERT_EQ(image.substr(earlierFat, sectorBytes), std::string(sectorBytes, '\0'));
    {
        std::fstream file(card, std::ios::in | std::ios::out | std::ios::binary);
        const char header[8] = {'\xF8', '\xFF', '\xFF', '\x0F', '\xFF', '\xFF', '\xFF', '\x0F'};
        file.seekp((std::streamoff)earlierFat);
        file.write(header, sizeof header);
        file.close();
        ASSERT_FALSE(file.fail());
    }

    const std::vector<std::string> names = {"1/Found Files/DCIM/IMG_0001.JPG",
                                            std::string("1/Found Files/") + kReadMe};
    const Outcome q = zorvant({"scan", "--quick", card}, dir / "quick");
    ASSERT_EQ(q.status, 0) << q.out << q.err;
    const std::string quick = zorvant({"ls", "-r", "1"}, dir / "quick").out;
    for (const std::string &name : names)
        EXPECT_TRUE(zvcli::has(quick, name)) << name << "\n" << quick;

    const Outcome t = zorvant({"scan", card}); // thorough
    ASSERT_EQ(t.status, 0) << t.out << t.err;
    const Outcome ls = zorvant({"ls", "-r", "1/Found Files"});
    EXPECT_EQ(ls.status, 0) << ls.err;
    for (const std::string &name : names)
        EXPECT_TRUE(zvcli::has(ls.out, name)) << name << "\n" << ls.out;
}

} // namespace
