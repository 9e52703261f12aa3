// The engine object on real card images: its start, the command thread's
// order, the command frame's log lines and engine states, the disk filter,
// the device events and the reload timer (through a drives source the test
// fills, and through real loop devices), and the requests it refuses.
// Checked from the engine log of real runs.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <climits>
#include <condition_variable>
#include <cstdio>
#include <filesystem>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "engine/engine.h"
#include "foundation/engine_status.h"
#include "scan/fat_image_support.h"
#include "storage/media.h"
#include "storage/devices/device_test_support.h"
#include "storage/devices/disks_manager_support.h"
#include "support/test_support.h"

namespace {

// Records what the engine reports; each operation's state as seen at its end.
// Its disk filter hides as the front end's does (virtual drives, and fixed
// drives: no file behind them and not removable) and records what it was
// asked.
class Recorder : public HV::EngineCallbacks {
public:
    bool filterDisk(const HV::Disk &disk) override
    {
        std::lock_guard<std::mutex> lock(mutex);
        filtered.push_back(disk.path());
        return disk.busType() == HV::kDiskBusVirtual || (!disk.hasFilePath() && disk.isRemovable() == 0);
    }
    void operationWillStart(HV::Command command) override
    {
        std::lock_guard<std::mutex> lock(mutex);
        started.push_back(command);
    }
    void operationDidFinish(HV::Command command, const HV::CommandResult &result) override
    {
        std::lock_guard<std::mutex> lock(mutex);
        finished.push_back(command);
        results.push_back(result);
        states_after.push_back(get_engine_state());
        done.notify_all();
    }
    // Waits (at most a minute) for n finished operations.
    bool waitFor(size_t n)
    {
        std::unique_lock<std::mutex> lock(mutex);
        return done.wait_for(lock, std::chrono::seconds(60), [&] { return finished.size() >= n; });
    }

    std::mutex mutex;
    std::condition_variable done;
    std::vector<HV::Command> started, finished;
    std::vector<HV::CommandResult> results;
    std::vector<int> states_after;
    std::vector<std::string> filtered;
};

class EngineThreads : public ::testing::Test {
protected:
    void SetUp() override
    {
        zvtest::requireFatTools();
        recorder = std::make_shared<Recorder>();
        config.application_name = "ZorvantTest";
        config.home_folder = dir.path();
        config.callbacks = recorder;
        // Drives and device events only from the test: those of the machine
        // would queue reloads of their own.
        source = std::make_shared<diskstest::FakeSource>();
        config.disks_source = source;
    }
    std::string log() const { return zvtest::readFile(dir / "ZorvantTestWorkspace/ScanEngineLog.txt"); }
    // A started engine with path added as a medium (its id in *id); null
    // after a failure, which the helper reports.
    std::shared_ptr<HVEngine> startWith(const std::string &path, uint32_t *id)
    {
        std::string error;
        std::shared_ptr<HVEngine> engine = HVEngine::create(config, &error);
        EXPECT_NE(engine, nullptr) << error;
        if (engine == nullptr)
            return nullptr;
        EXPECT_EQ(engine->addMediaPath(path, id), 0) << path;
        return engine;
    }
    // Positions of the lines holding text, in order.
    static std::vector<size_t> find_all(const std::string &text, const std::string &what)
    {
        std::vector<size_t> out;
        for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1))
            out.push_back(at);
        return out;
    }
    std::string card()
    {
        const std::string image = dir / "card.img";
        zvtest::makeFat(image, 16, 16384);
        zvtest::fatMkdir(image, "DCIM");
        zvtest::fatPut(image, "DCIM/A.BIN", zvtest::patternBytes(70000, 1));
        zvtest::fatPut(image, "DCIM/B.BIN", zvtest::patternBytes(3000, 2));
        return image;
    }

    zvtest::TempDir dir;
    std::shared_ptr<Recorder> recorder;
    std::shared_ptr<diskstest::FakeSource> source;
    HV::EngineConfig config;
};

TEST_F(EngineThreads, RefusesAnIncompleteConfiguration)
{
    std::string error;
    HV::EngineConfig none = config;
    none.callbacks = nullptr;
    EXPECT_EQ(HVEngine::create(none, &error), nullptr);
    EXPECT_NE(error.find("callback"), std::string::npos);
    HV::EngineConfig nameless = config;
    nameless.application_name = "";
    EXPECT_EQ(HVEngine::create(nameless, &error), nullptr);
    HV::EngineConfig bad_strings = config;
    bad_strings.strings_text = "\"unterminated = ";
    EXPECT_EQ(HVEngine::create(bad_strings, &error), nullptr);
    EXPECT_EQ(error, "Failed to load strings");
    EXPECT_NE(log().find("Failed to load strings"), std::string::npos);
}

// Commands queued at once run one after another in queue order, each in its
// frame: started, the state while it runs, its end line, state 0 after it.
TEST_F(EngineThreads, CommandsRunInOrderInTheirFrames)
{
    const std::string image = card();
    uint32_t id = 0;
    std::shared_ptr<HVEngine> engine = startWith(image, &id);
    ASSERT_NE(engine, nullptr);
    const uint64_t scan = keyref_scan(1);
    ASSERT_EQ(engine->reloadMedia(), 0);
    ASSERT_EQ(engine->scanMedia(id, SCX_TYPE_QUICK), 0);
    ASSERT_EQ(engine->recoverMarked(keyref_scan(9), dir / "none"), 0); // no such scan
    ASSERT_TRUE(recorder->waitFor(3));
    ASSERT_EQ(engine->selectNode(scan, true), 0);
    ASSERT_EQ(engine->recoverMarked(scan, dir / "out"), 0);
    ASSERT_EQ(engine->saveScans(dir / "saved.scan", {}), 0);
    ASSERT_TRUE(recorder->waitFor(5));
    EXPECT_EQ(engine->formatDisk(id), ENGINE_NOT_SUPPORTED);
    EXPECT_EQ(engine->testDisk(id), ENGINE_NOT_SUPPORTED);

    using C = HV::Command;
    EXPECT_EQ(recorder->finished,
              (std::vector<C>{C::ReloadMedia, C::Scan, C::RecoverMarked, C::RecoverMarked, C::SaveScan}));
    EXPECT_EQ(recorder->started, recorder->finished);
    EXPECT_EQ(recorder->results[1].status, 0);
    EXPECT_EQ(recorder->results[1].keyref, scan);
    EXPECT_EQ(recorder->results[2].status, ENGINE_BAD_ARGUMENT);
    EXPECT_EQ(recorder->results[3].status, 0);
    EXPECT_EQ(recorder->results[3].files, 2u);
    EXPECT_EQ(zvtest::readFile(dir / "out/Found Files/DCIM/A.BIN"), zvtest::patternBytes(70000, 1));
    EXPECT_EQ(recorder->states_after, std::vector<int>(5, 0));

    engine.reset();
    const std::string text = log();
    EXPECT_NE(text.find("exec path: "), std::string::npos);
    EXPECT_NE(text.find("workspace dir = " + dir / "ZorvantTestWorkspace"), std::string::npos);
    // Each frame's start and end, in queue order, never interleaved.
    const char *const lines[] = {"ReloadMedia CMD Started", "ReloadMedia CMD Succeeded", "Scan CMD Started",
                                 "Scan CMD Succeeded",      "RecoverMarked CMD Started",  "RecoverMarked CMD Failed (-12) line ",
                                 "RecoverMarked CMD Started", "RecoverMarked CMD Succeeded", "SaveScan CMD Started",
                                 "SaveScan CMD Succeeded"};
    size_t at = 0;
    for (const char *line : lines) {
        const size_t found = text.find(line, at);
        ASSERT_NE(found, std::string::npos) << line << "\n" << text;
        at = found + 1;
    }
    EXPECT_EQ(find_all(text, "CMD Started").size(), 5u); // one per queued command
    EXPECT_NE(text.find("Format: not supported"), std::string::npos);
}

// A scan aborted through the front end's Cancel ends "CMD Aborted" with -5;
// the abort does not reach the next command.
TEST_F(EngineThreads, AbortEndsTheRunningCommandOnly)
{
    const std::string big = dir / "big.img";
    zvtest::mustRun("truncate -s 8G '" + big + "'");
    const std::string image = card();
    std::string error;
    std::shared_ptr<HVEngine> engine = HVEngine::create(config, &error);
    ASSERT_NE(engine, nullptr) << error;
    uint32_t big_id = 0, card_id = 0;
    ASSERT_EQ(engine->addMediaPath(big, &big_id), 0);
    ASSERT_EQ(engine->addMediaPath(image, &card_id), 0);
    ASSERT_EQ(engine->scanMedia(big_id, SCX_TYPE_THOROUGH), 0);
    ASSERT_EQ(engine->scanMedia(card_id, SCX_TYPE_QUICK), 0);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (!engine->canCancel() && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    engine->abort();
    ASSERT_TRUE(recorder->waitFor(2));
    EXPECT_EQ(recorder->results[0].status, ENGINE_ABORTED);
    EXPECT_EQ(recorder->results[1].status, 0);
    EXPECT_EQ(engine->scans().size(), 1u);
    engine.reset();
    EXPECT_NE(log().find("Scan CMD Aborted"), std::string::npos);
}

// The engine shut down while commands are queued and running: each still
// runs to its end before the scans are freed, so the scan keeps its context
// under it and is in the workspace for the next start.
TEST_F(EngineThreads, ShutdownWaitsForTheQueuedCommands)
{
    const std::string image = card();
    uint32_t id = 0;
    std::shared_ptr<HVEngine> engine = startWith(image, &id);
    ASSERT_NE(engine, nullptr);
    ASSERT_EQ(engine->scanMedia(id, SCX_TYPE_THOROUGH), 0);
    ASSERT_EQ(engine->scanMedia(id, SCX_TYPE_QUICK), 0);
    engine.reset();
    ASSERT_EQ(recorder->finished, (std::vector<HV::Command>{HV::Command::Scan, HV::Command::Scan}));
    EXPECT_EQ(recorder->results[0].status, 0);
    EXPECT_EQ(recorder->results[1].status, 0);
    EXPECT_EQ(recorder->results[1].keyref, keyref_scan(2));
    EXPECT_EQ(find_all(log(), "Scan CMD Succeeded").size(), 2u) << log();
    std::string error;
    engine = HVEngine::create(config, &error);
    ASSERT_NE(engine, nullptr) << error;
    EXPECT_EQ(engine->scans().size(), 2u);
}

// A burst of device events from the disks manager gives one reload, 1500 ms
// after the last; a removal detaches the medium of that path at once.
TEST_F(EngineThreads, DeviceEventsReloadOnceAndDetach)
{
    const std::string image = card();
    uint32_t id = 0;
    std::shared_ptr<HVEngine> engine = startWith(image, &id);
    ASSERT_NE(engine, nullptr);
    for (int i = 0; i < 5; i++)
        source->notifyAdded(diskstest::description("/dev/sdz", "", "", 1));
    source->notifyRemoved(diskstest::description(image, "Card", "Reader", 1));
    ASSERT_TRUE(recorder->waitFor(1));
    EXPECT_EQ(recorder->finished, std::vector<HV::Command>{HV::Command::ReloadMedia});
    engine.reset();
    const std::string text = log();
    EXPECT_EQ(find_all(text, "ReloadMedia CMD Started").size(), 1u);
    EXPECT_NE(text.find("Device removed: " + image), std::string::npos);
}

// A removal event for the medium a scan is reading ends that scan with the
// removal's status; the engine logs the device with the running state.
TEST_F(EngineThreads, RemovalDuringAScanEndsIt)
{
    const std::string big = dir / "big.img";
    zvtest::mustRun("truncate -s 8G '" + big + "'");
    uint32_t id = 0;
    std::shared_ptr<HVEngine> engine = startWith(big, &id);
    ASSERT_NE(engine, nullptr);
    ASSERT_EQ(engine->scanMedia(id, SCX_TYPE_THOROUGH), 0);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    // Once the scan reads blocks (its medium is the running scan's).
    for (EngineProgress progress; std::chrono::steady_clock::now() < deadline;
         std::this_thread::sleep_for(std::chrono::milliseconds(1))) {
        engine->progress(progress);
        if (progress.task_fraction > 0 && progress.task_text.find("Scanned") != std::string::npos)
            break;
    }
    source->notifyRemoved(diskstest::description(big, "Card", "Reader", 1));
    ASSERT_TRUE(recorder->waitFor(1));
    EXPECT_EQ(recorder->results[0].status, -30);
    engine.reset();
    EXPECT_NE(log().find("Device " + big + " removed while state = 1."), std::string::npos) << log();
}

// The front end's filter is the disks manager's device and disk filter: a
// hidden drive is neither attached nor listed; the image the user added is
// listed after the drives.
TEST_F(EngineThreads, ReloadListsTheDrivesTheFilterKeeps)
{
    const std::string shown = diskstest::makePartitionedImage(dir / "shown.img");
    const std::string hidden = diskstest::makePartitionedImage(dir / "hidden.img");
    source->descriptions = {diskstest::description(shown, "Card", "Reader", HV::kDiskBusUSB),
                            diskstest::description(hidden, "Loop", "Disk", HV::kDiskBusVirtual)};
    source->descriptions[0].setRemovable(1);
    source->descriptions[1].setRemovable(1);
    const std::string image = card();
    std::string error;
    std::shared_ptr<HVEngine> engine = HVEngine::create(config, &error);
    ASSERT_NE(engine, nullptr) << error;
    ASSERT_EQ(engine->addMediaPath(image, nullptr), 0);
    ASSERT_EQ(engine->reloadMedia(), 0);
    ASSERT_TRUE(recorder->waitFor(1));
    const std::vector<std::shared_ptr<HV::Disk>> list = engine->mediaList();
    ASSERT_EQ(list.size(), 2u);
    EXPECT_EQ(list[0]->path(), shown);
    EXPECT_EQ(list[0]->childCount(), 2u);
    EXPECT_EQ(list[1]->filePath().str(), image);
    EXPECT_NE(media_find_attached_by_id((uint32_t)list[1]->id()), nullptr);
    bool hidden_attached = false; // the device filter runs before attaching
    media_for_each([&](Media *m) {
        hidden_attached = hidden_attached || (media_path(m) != nullptr && hidden == media_path(m));
        return true;
    });
    EXPECT_FALSE(hidden_attached);
    // Asked as device filter and, once partitioned, as disk filter.
    EXPECT_EQ(std::count(recorder->filtered.begin(), recorder->filtered.end(), shown), 2);
    EXPECT_EQ(std::count(recorder->filtered.begin(), recorder->filtered.end(), hidden), 1);
}

// A scan whose found file system's catalog was cut short after the scan,
// seen by the next engine: the engine itself lists the file system marked
// NODE_DAMAGED_CATALOG, names the catalog's file, and every call that needs
// the catalog fails: its children, its ticks, the recovery of the scan
// (SCX_CATALOG_DAMAGED, the catalog named in the log) and of the root.
TEST_F(EngineThreads, DamagedCatalogFailsTheCallsThatNeedItNamingIt)
{
    const std::string image = card();
    uint32_t id = 0;
    std::shared_ptr<HVEngine> engine = startWith(image, &id);
    ASSERT_NE(engine, nullptr);
    const uint64_t scan = keyref_scan(1);
    ASSERT_EQ(engine->scanMedia(id, SCX_TYPE_QUICK), 0);
    ASSERT_TRUE(recorder->waitFor(1));
    ASSERT_EQ(recorder->results[0].status, 0);
    ASSERT_EQ(engine->selectNode(scan, true), 0);
    ASSERT_EQ(engine->saveSettings(), 0); // the image is attached again by the next engine's reload
    engine.reset();
    std::string folder;
    for (const auto &entry : std::filesystem::directory_iterator(dir / "ZorvantTestWorkspace/Scan.01"))
        if (entry.path().filename().string().rfind("FAT.", 0) == 0)
            folder = entry.path().filename().string();
    ASSERT_FALSE(folder.empty());
    const std::string catalog = "Scan.01/" + folder + "/cat.db";
    const std::string file = dir / ("ZorvantTestWorkspace/" + catalog);
    std::filesystem::resize_file(file, std::filesystem::file_size(file) / 2);

    std::string error;
    engine = HVEngine::create(config, &error);
    ASSERT_NE(engine, nullptr) << error;
    ASSERT_EQ(engine->reloadMedia(), 0);
    ASSERT_TRUE(recorder->waitFor(2));
    std::vector<NodeInfo> systems;
    ASSERT_EQ(engine->children(scan, &systems), 0);
    ASSERT_EQ(systems.size(), 1u);
    const uint64_t root = systems[0].keyref;
    EXPECT_EQ(systems[0].flags, (uint32_t)(NODE_FOLDER | NODE_DAMAGED_CATALOG));
    EXPECT_EQ(systems[0].name, "Found Files");
    NodeInfo info;
    ASSERT_EQ(engine->nodeInfo(root, &info), 0);
    EXPECT_EQ(info.flags, (uint32_t)(NODE_FOLDER | NODE_DAMAGED_CATALOG));
    std::string named;
    EXPECT_TRUE(engine->damagedCatalog(root, &named));
    EXPECT_EQ(named, catalog);
    EXPECT_FALSE(engine->damagedCatalog(scan, &named));

    std::vector<NodeInfo> below;
    EXPECT_NE(engine->children(root, &below), 0);
    EXPECT_TRUE(below.empty());
    EXPECT_NE(engine->selectNode(root, false), 0);
    ASSERT_EQ(engine->recoverMarked(scan, dir / "out"), 0);
    ASSERT_EQ(engine->recoverNode(root, dir / "one"), 0);
    ASSERT_TRUE(recorder->waitFor(4));
    EXPECT_EQ(recorder->finished[2], HV::Command::RecoverMarked);
    EXPECT_EQ(recorder->results[2].status, SCX_CATALOG_DAMAGED);
    EXPECT_EQ(recorder->results[2].files, 0u);
    EXPECT_EQ(recorder->finished[3], HV::Command::RecoverNode);
    EXPECT_NE(recorder->results[3].status, 0);
    EXPECT_EQ(recorder->results[3].files, 0u);
    for (const char *target : {"out", "one"})
        EXPECT_TRUE(!std::filesystem::exists(dir / target) || std::filesystem::is_empty(dir / target)) << target;
    engine.reset();
    const std::string text = log();
    EXPECT_NE(text.find("scx_recover_marked: the catalog of " + folder + " in Scan.01 can't be read"),
              std::string::npos)
        << text;
    EXPECT_NE(text.find("RecoverMarked CMD Failed (" + std::to_string(SCX_CATALOG_DAMAGED) + ")"), std::string::npos)
        << text;
}

// Time of day in milliseconds of each engine log line holding what (the
// lines are ":MM:SS.mmm: text" under "YYYY-MM-DD HH:00:00 ..." hour lines).
std::vector<int64_t> line_times(const std::string &log, const std::string &what)
{
    std::vector<int64_t> out;
    int64_t hour = 0;
    size_t at = 0;
    while (at < log.size()) {
        size_t end = log.find('\n', at);
        if (end == std::string::npos)
            end = log.size();
        const std::string line = log.substr(at, end - at);
        at = end + 1;
        int y, mo, d, h, mi, se, ms;
        if (std::sscanf(line.c_str(), "%d-%d-%d %d:00:00", &y, &mo, &d, &h) == 4) {
            hour = h;
        } else if (std::sscanf(line.c_str(), ":%d:%d.%d", &mi, &se, &ms) == 3 &&
                   line.find(what) != std::string::npos) {
            out.push_back(((hour * 60 + mi) * 60 + se) * 1000 + ms);
        }
    }
    return out;
}

// A card whose reader comes back as another device node in a later run of
// the engine (here: the card image through a second loop device, the first
// one gone) keeps its id and its partitions keep theirs, and the scan made
// of one of them finds its medium again.
TEST_F(EngineThreads, CardUnderAnotherDevicePathKeepsItsIds)
{
    ASSERT_TRUE(zvtest::LoopDevice::available()) << "loop devices need root";
    zvtest::requireTool("sfdisk");
    const std::string image = dir / "card.img";
    zvtest::mustRun("truncate -s 8M '" + image + "'");
    zvtest::mustRun("printf 'label: dos\\nstart=2048, size=6144, type=c\\nstart=8192, type=c\\n' | sfdisk -q '" +
                    image + "'");
    zvtest::mustRun("mkfs.fat -n PART_TWO --offset=8192 '" + image + "' 4096 >/dev/null 2>&1");
    zvtest::fatPut(image, "TWO.BIN", zvtest::patternBytes(7000, 2), 0, 8192ull * 512);
    // One run of the engine with the card in a reader at path: the ids
    // listed (the card's, then its partitions'), and the first scan's media
    // status; with scan, a quick scan of the second partition first.
    const auto run = [&](const std::string &path, bool scan, std::vector<int> *ids, int *status) {
        auto recorded = std::make_shared<Recorder>();
        config.callbacks = recorded;
        ZV::DiskDescription reader = diskstest::description(path, "Card", "Reader", HV::kDiskBusUSB, 8 << 20);
        reader.setRemovable(1);
        source->descriptions = {reader};
        std::string error;
        std::shared_ptr<HVEngine> engine = HVEngine::create(config, &error);
        ASSERT_NE(engine, nullptr) << error;
        ASSERT_EQ(engine->reloadMedia(), 0);
        ASSERT_TRUE(recorded->waitFor(1));
        const std::vector<std::shared_ptr<HV::Disk>> list = engine->mediaList();
        ASSERT_EQ(list.size(), 1u);
        EXPECT_EQ(list[0]->path(), path);
        ASSERT_EQ(list[0]->childCount(), 2u);
        ids->push_back(list[0]->id());
        for (size_t i = 0; i < list[0]->childCount(); i++)
            ids->push_back(list[0]->child(i)->id());
        if (scan) {
            ASSERT_EQ(engine->scanMedia((uint32_t)ids->back(), SCX_TYPE_QUICK), 0);
            ASSERT_TRUE(recorded->waitFor(2));
            EXPECT_EQ(recorded->results[1].status, 0) << recorded->results[1].error_text;
        }
        const std::vector<ScanInfo> scans = engine->scans();
        *status = scans.empty() ? -1 : (int)scans[0].media_status;
        // A partition of a card in a reader: the scan's medium is a device.
        if (!scans.empty() && scans[0].media_status == SCX_MEDIA_ATTACHED) {
            EXPECT_EQ(scans[0].media_kind, (uint32_t)SCX_KIND_DEVICE);
        }
    };
    std::vector<int> first, second;
    int before = 0, after = 0;
    zvtest::TestLoop one(image);
    run(one.path(), true, &first, &before);
    EXPECT_EQ(before, SCX_MEDIA_ATTACHED);
    zvtest::TestLoop other(image); // made while the first is there: another device node
    one.detach();
    ASSERT_NE(other.path(), one.path());
    run(other.path(), false, &second, &after);
    EXPECT_EQ(second, first) << one.path() << " then " << other.path();
    EXPECT_EQ(after, SCX_MEDIA_ATTACHED);
}

// Fault guarded: a card taken out of its reader and another one of the same
// layout put in got the scanned partition's medium back as it was read from
// the first card, and the scan of that partition was attached to the other
// card; a card of another layout in its place without a removal (an image
// rewritten in place) kept the old partition listed and attached. The scan
// stays detached over the other cards, the reader lists their own
// partitions, and the scan takes the scanned card again when it is back.
TEST_F(EngineThreads, AnotherCardInTheReaderIsNotTheScannedPartition)
{
    zvtest::requireTool("sfdisk");
    const auto camera_card = [&](const std::string &path, int start, const char *serial, uint32_t seed) {
        const std::string at = std::to_string(start);
        zvtest::mustRun("truncate -s 8M '" + path + "' && printf 'label: dos\nlabel-id: 0\nstart=" + at +
                        ", type=c\n' | sfdisk -q '" + path + "'");
        zvtest::mustRun("mkfs.fat -i " + std::string(serial) + " --offset=" + at + " '" + path + "' 4096 >/dev/null");
        zvtest::fatPut(path, "A.BIN", zvtest::patternBytes(7000, seed), 0, start * 512ull);
    };
    const std::string reader = dir / "reader", scanned = dir / "a.img", other = dir / "b.img", moved = dir / "c.img";
    camera_card(scanned, 8192, "1111AAAA", 1);
    camera_card(other, 8192, "2222BBBB", 2);
    camera_card(moved, 2048, "1111AAAA", 1);
    std::filesystem::copy_file(scanned, reader);
    ZV::DiskDescription drive = diskstest::description(reader, "Card", "Reader", HV::kDiskBusUSB, 8 << 20);
    drive.setRemovable(1);
    source->descriptions = {drive};
    std::string error;
    std::shared_ptr<HVEngine> engine = HVEngine::create(config, &error);
    ASSERT_NE(engine, nullptr) << error;
    ASSERT_EQ(engine->reloadMedia(), 0);
    ASSERT_TRUE(recorder->waitFor(1));
    std::vector<std::shared_ptr<HV::Disk>> list = engine->mediaList();
    ASSERT_EQ(list.size(), 1u);
    ASSERT_EQ(list[0]->childCount(), 1u);
    ASSERT_EQ(engine->scanMedia((uint32_t)list[0]->child(0)->id(), SCX_TYPE_QUICK), 0);
    ASSERT_TRUE(recorder->waitFor(2));
    size_t done = 2;
    // The card in the reader replaced by `card` (taken out first, or not):
    // the scan's status after the reload.
    const auto swap_to = [&](const std::string &card, bool taken_out) {
        if (taken_out)
            source->notifyRemoved(drive);
        std::filesystem::copy_file(card, reader, std::filesystem::copy_options::overwrite_existing);
        source->notifyAdded(drive);
        EXPECT_TRUE(recorder->waitFor(++done));
        return engine->scans().at(0).media_status;
    };
    EXPECT_EQ(swap_to(other, true), (uint32_t)SCX_MEDIA_DETACHED);
    EXPECT_EQ(swap_to(scanned, true), (uint32_t)SCX_MEDIA_ATTACHED);
    EXPECT_EQ(swap_to(moved, false), (uint32_t)SCX_MEDIA_DETACHED);
    list = engine->mediaList();
    ASSERT_EQ(list.size(), 1u);
    ASSERT_EQ(list[0]->childCount(), 1u);
    EXPECT_EQ(list[0]->child(0)->startOffset(), 2048 * 512);
}

// What a scan's medium is, as the engine says it for the front end's
// advice: an image file, and the file system filling it (a partition of an
// image), are images; nothing is known of a scan whose medium is gone.
TEST_F(EngineThreads, ScansSayWhatTheirMediumIs)
{
    const std::string image = card();
    uint32_t id = 0;
    std::shared_ptr<HVEngine> engine = startWith(image, &id);
    ASSERT_NE(engine, nullptr);
    const std::vector<std::shared_ptr<HV::Disk>> list = engine->mediaList();
    ASSERT_EQ(list.size(), 1u);
    ASSERT_EQ(list[0]->childCount(), 1u);
    const uint32_t whole = (uint32_t)list[0]->child(0)->id();
    ASSERT_EQ(engine->scanMedia(id, SCX_TYPE_QUICK), 0);
    ASSERT_EQ(engine->scanMedia(whole, SCX_TYPE_QUICK), 0);
    ASSERT_TRUE(recorder->waitFor(2));
    std::vector<ScanInfo> scans = engine->scans();
    ASSERT_EQ(scans.size(), 2u);
    for (const ScanInfo &scan : scans) {
        EXPECT_EQ(scan.media_status, (uint32_t)SCX_MEDIA_ATTACHED) << scan.slot;
        EXPECT_EQ(scan.media_kind, (uint32_t)SCX_KIND_IMAGE) << scan.slot;
        EXPECT_EQ(scan.stopped_early, 0u) << scan.slot;
    }
    engine.reset();
    std::filesystem::rename(image, dir / "moved.img");
    std::string error;
    engine = HVEngine::create(config, &error);
    ASSERT_NE(engine, nullptr) << error;
    scans = engine->scans();
    ASSERT_EQ(scans.size(), 2u);
    for (const ScanInfo &scan : scans) {
        EXPECT_NE(scan.media_status, (uint32_t)SCX_MEDIA_ATTACHED) << scan.slot;
        EXPECT_EQ(scan.media_kind, (uint32_t)SCX_KIND_UNKNOWN) << scan.slot;
    }
}

// Loop devices appearing while the engine runs, through the platform's
// device monitor: a burst of arrivals (devices and their partitions) queues
// exactly one reload, 1500 ms after the last arrival; the reload's filter
// keeps the loop devices (virtual) out of the list.
TEST_F(EngineThreads, LoopDevicesAppearingReloadOnce)
{
    ASSERT_TRUE(zvtest::LoopDevice::available()) << "loop devices need root";
    const std::string image = diskstest::makePartitionedImage(dir / "parts.img");
    config.disks_source = nullptr; // the machine's drives and events
    std::string error;
    std::shared_ptr<HVEngine> engine = HVEngine::create(config, &error);
    ASSERT_NE(engine, nullptr) << error;
    std::vector<std::unique_ptr<zvtest::TestLoop>> loops;
    for (int i = 0; i < 3; i++) {
        loops.push_back(std::make_unique<zvtest::TestLoop>(image));
        loops.back()->addPartitions();
    }
    ASSERT_TRUE(recorder->waitFor(1));
    // Time for a second reload, were the burst to give one.
    std::this_thread::sleep_for(std::chrono::milliseconds(3000));
    for (const std::shared_ptr<HV::Disk> &disk : engine->mediaList())
        for (const auto &loop : loops)
            EXPECT_NE(disk->path(), loop->path());
    engine.reset();
    std::vector<std::string> names;
    for (const auto &loop : loops)
        names.push_back(loop->name());
    loops.clear();
    const std::string text = log();
    // Other devices and mounts of the machine may come and go meanwhile:
    // each event restarts the timer as these do. So, over every event since
    // the burst began: no reload during the burst, a reload after it, each
    // reload at least 1500 ms after the event before it, and never two
    // reloads without an event between them.
    std::vector<int64_t> mine, events;
    for (const std::string &name : names) {
        const std::vector<int64_t> times = line_times(text, "Disk " + name + " connected");
        mine.insert(mine.end(), times.begin(), times.end());
    }
    ASSERT_GE(mine.size(), 3u) << text;
    std::sort(mine.begin(), mine.end());
    for (const char *event : {" connected", " disconnected"})
        for (int64_t t : line_times(text, event))
            if (t >= mine.front())
                events.push_back(t);
    std::sort(events.begin(), events.end());
    std::vector<int64_t> reloads;
    for (int64_t t : line_times(text, "ReloadMedia CMD Started"))
        if (t > mine.front())
            reloads.push_back(t);
    ASSERT_FALSE(reloads.empty()) << text;
    EXPECT_GT(reloads.front(), mine.back()) << text;
    int64_t previous_reload = -1;
    for (int64_t reload : reloads) {
        const int64_t before = *(std::upper_bound(events.begin(), events.end(), reload) - 1);
        EXPECT_GE(reload - before, 1500 - 1) << text; // the log keeps milliseconds
        EXPECT_GT(before, previous_reload) << "two reloads for one burst\n" << text;
        previous_reload = reload;
    }
}

} // namespace
