// The engine object on real card images: its start, the command thread's
// order, the command frame's log lines and engine states, the reload timer
// and the requests it refuses. Checked from the engine log of real runs.
#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <vector>

#include "engine/engine.h"
#include "foundation/engine_status.h"
#include "scan/fat_image_support.h"
#include "support/test_support.h"

namespace {

// Records what the engine reports; each operation's state as seen at its end.
class Recorder : public HV::EngineCallbacks {
public:
    bool filterDisk(const HV::DiskEntry &) override { return false; }
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
    }
    std::string log() const { return zvtest::readFile(dir / "ZorvantTestWorkspace/ScanEngineLog.txt"); }
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
    std::string error;
    std::shared_ptr<HVEngine> engine = HVEngine::create(config, &error);
    ASSERT_NE(engine, nullptr) << error;
    uint32_t id = 0;
    ASSERT_EQ(engine->addMediaPath(image, &id), 0);
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

// A burst of device events gives one reload, 1500 ms after the last; a
// removal detaches the medium of that path at once.
TEST_F(EngineThreads, DeviceEventsReloadOnceAndDetach)
{
    const std::string image = card();
    std::string error;
    std::shared_ptr<HVEngine> engine = HVEngine::create(config, &error);
    ASSERT_NE(engine, nullptr) << error;
    uint32_t id = 0;
    ASSERT_EQ(engine->addMediaPath(image, &id), 0);
    for (int i = 0; i < 5; i++)
        engine->deviceAdded();
    engine->deviceRemoved(image.c_str());
    ASSERT_TRUE(recorder->waitFor(1));
    EXPECT_EQ(recorder->finished, std::vector<HV::Command>{HV::Command::ReloadMedia});
    engine.reset();
    const std::string text = log();
    EXPECT_EQ(find_all(text, "ReloadMedia CMD Started").size(), 1u);
    EXPECT_NE(text.find("Device removed: " + image), std::string::npos);
}

} // namespace
