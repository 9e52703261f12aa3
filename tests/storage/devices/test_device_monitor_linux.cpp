#include <gtest/gtest.h>

#include "storage/devices/device_monitor_linux.h"
#include "storage/devices/device_test_support.h"

namespace {

ZV::DeviceEvent event(const char *action, const char *devtype, const char *sysname, const char *devpath,
                      uint64_t diskseq = 0)
{
    ZV::DeviceEvent e;
    e.action = action;
    e.subsystem = "block";
    e.devtype = devtype;
    e.sysname = sysname;
    e.devpath = devpath;
    e.diskseq = diskseq;
    return e;
}

std::string kinds(zvtest::RecordingObserver &observer)
{
    std::string out;
    for (const auto &e : observer.events())
        out += std::string(1, e.kind) + ":" + e.path + " ";
    return out;
}

// Event mapping over a fake sysfs, with the known-devices map in between:
// each enumerated medium is reported removed once, whichever event tells.
TEST(DeviceMonitorEvents, MappingAndRemovalsReportedOnce)
{
    zvtest::FakeSysfs sys;
    sys.addDisk("virtual", "loop3", {{"size", "128"}, {"diskseq", "40"}, {"loop/backing_file", "/tmp/card.img"}});
    sys.addDisk("virtual", "loop5", {{"size", "128"}, {"diskseq", "50"}, {"loop/backing_file", "/tmp/b.img"}});
    zvtest::RecordingObserver observer;
    ZV::DeviceMonitor monitor(ZV::SysfsRoots{sys.root(), sys.devRoot()}, &observer);
    ASSERT_EQ(monitor.enumerate().size(), 2u);

    struct Step {
        ZV::DeviceEvent event;
        std::function<void()> before;
        const char *expected;
    } steps[] = {
        {event("add", "partition", "loop3p1", "/devices/virtual/block/loop3/loop3p1"), nullptr, "A:/dev/loop3 "},
        {event("remove", "partition", "loop3p1", "/devices/virtual/block/loop3/loop3p1"), nullptr, ""},
        {event("change", "partition", "loop3p1", "/devices/virtual/block/loop3/loop3p1"), nullptr, ""},
        {event("move", "disk", "loop3", "/devices/virtual/block/loop3"), nullptr, ""},
        // same medium: an arrival (a resize, a rescan)
        {event("change", "disk", "loop3", "/devices/virtual/block/loop3", 40), nullptr, "A:/dev/loop3 "},
        // card out / losetup -d: removed with the enumerated description, once
        {event("change", "disk", "loop3", "/devices/virtual/block/loop3", 41),
         [&] { sys.set("loop3", "size", "0"); sys.set("loop3", "diskseq", "41"); }, "R:/dev/loop3 "},
        {event("change", "disk", "loop3", "/devices/virtual/block/loop3", 41), nullptr, "A:/dev/loop3 "},
        {event("remove", "disk", "loop3", "/devices/virtual/block/loop3", 41), nullptr, ""},
        // another medium in a known drive: the old one goes, the new one comes
        {event("change", "disk", "loop5", "/devices/virtual/block/loop5", 52),
         [&] { sys.set("loop5", "diskseq", "52"); }, "R:/dev/loop5 A:/dev/loop5 "},
    };
    for (Step &step : steps) {
        SCOPED_TRACE(step.event.action + " " + step.event.sysname);
        if (step.before)
            step.before();
        const size_t before = observer.events().size();
        monitor.handleEvent(step.event);
        std::string got;
        const auto events = observer.events();
        for (size_t i = before; i < events.size(); ++i)
            got += std::string(1, events[i].kind) + ":" + events[i].path + " ";
        EXPECT_EQ(got, step.expected);
    }
    EXPECT_EQ(observer.count('R', "/dev/loop3"), 1u);
    // The removal carries the description the engine listed.
    for (const auto &e : observer.events()) {
        if (e.kind == 'R' && e.path == "/dev/loop3") {
            EXPECT_EQ(e.name, "card.img");
        }
    }

    // A drive unplugged (gone from sysfs) between an enumeration that still
    // listed it and its event; then a stale remove of an older medium does
    // not take the newer one out.
    monitor.enumerate();
    sys.remove("loop5");
    EXPECT_EQ(monitor.enumerate().size(), 0u);
    const size_t removals = observer.count('R', "/dev/loop5");
    monitor.handleEvent(event("remove", "disk", "loop5", "/devices/virtual/block/loop5", 52));
    EXPECT_EQ(observer.count('R', "/dev/loop5"), removals + 1) << kinds(observer);
    sys.set("loop3", "size", "64");
    sys.set("loop3", "diskseq", "60");
    monitor.enumerate();
    monitor.handleEvent(event("remove", "disk", "loop3", "/devices/virtual/block/loop3", 41));
    EXPECT_EQ(observer.count('R', "/dev/loop3"), 1u) << kinds(observer);
}

// Lost events: every known drive is checked against sysfs; a medium that
// an enumeration finds replaced is handed over as a removal.
TEST(DeviceMonitorEvents, ResyncAndReplacedMedia)
{
    zvtest::FakeSysfs sys;
    sys.addDisk("virtual", "loop1", {{"size", "8"}, {"diskseq", "7"}, {"loop/backing_file", "/tmp/1.img"}});
    sys.addDisk("virtual", "loop2", {{"size", "8"}, {"diskseq", "8"}, {"loop/backing_file", "/tmp/2.img"}});
    sys.addDisk("virtual", "loop6", {{"size", "8"}, {"diskseq", "9"}, {"loop/backing_file", "/tmp/6.img"}});
    zvtest::RecordingObserver observer;
    ZV::DeviceMonitor monitor(ZV::SysfsRoots{sys.root(), sys.devRoot()}, &observer);
    ASSERT_TRUE(monitor.listen());
    monitor.enumerate();
    sys.set("loop1", "size", "0");
    sys.remove("loop2");
    monitor.resync();
    EXPECT_EQ(kinds(observer), "R:/dev/loop1 R:/dev/loop2 A: ");
    monitor.resync();
    EXPECT_EQ(observer.count('R', "/dev/loop1") + observer.count('R', "/dev/loop2"), 2u);

    sys.set("loop6", "diskseq", "12");
    monitor.enumerate();
    monitor.deliverPending();
    EXPECT_EQ(observer.count('R', "/dev/loop6"), 1u);
    // The event of that change finds the new medium known: no second removal.
    monitor.handleEvent(event("change", "disk", "loop6", "/devices/virtual/block/loop6", 12));
    EXPECT_EQ(observer.count('R', "/dev/loop6"), 1u);
    monitor.stop();
}

} // namespace
