// Raw disks over real block devices: loop devices with 512- and 4096-byte
// sectors over image files, a sparse 6 GiB image for offsets past 4 GiB, and
// a real ext4 mount for the in-use check. Loop cases need root.
#include <fcntl.h>
#include <grp.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <fstream>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "storage/raw_disk.h"
#include "support/test_support.h"

namespace {

#define REQUIRE_LOOP() ASSERT_TRUE(zvtest::LoopDevice::available()) << "loop devices need root"

// Bytes of the backing file at an offset, to check what the device did.
std::string filePread(const std::string &path, size_t count, int64_t offset)
{
    std::string out(count, '\0');
    std::ifstream in(path, std::ios::binary);
    in.seekg(offset).read(out.data(), static_cast<std::streamsize>(count));
    out.resize(static_cast<size_t>(in.gcount()));
    return out;
}

// A stream that records each medium read (position, count) it makes.
struct RecordingStream : ZV::ByteStreamRawDisk {
    using ZV::ByteStreamRawDisk::ByteStreamRawDisk;
    int _read(void *destination, uint32_t count) override
    {
        reads.emplace_back(position(), count);
        return ZV::ByteStreamRawDisk::_read(destination, count);
    }
    std::vector<std::pair<uint64_t, uint32_t>> reads;
};

// rawdisk_is_mounted as an unprivileged user (a forked child that drops to
// nobody and cannot open the device at all); -2 when the child could not report.
int isMountedAsNobody(const std::string &device)
{
    const pid_t child = fork();
    if (child == 0) {
        if (setgroups(0, nullptr) != 0 || setgid(65534) != 0 || setuid(65534) != 0)
            _exit(100);
        if (::open(device.c_str(), O_RDONLY | O_CLOEXEC) >= 0)
            _exit(101);
        _exit(rawdisk_is_mounted(device.c_str()) + 2);
    }
    int status = 0;
    if (child < 0 || waitpid(child, &status, 0) != child || !WIFEXITED(status) || WEXITSTATUS(status) > 3)
        return -2;
    return WEXITSTATUS(status) - 2;
}

// What is not a block device is refused with no log line (a FIFO is not waited
// on), the path is kept as given, and the closed disk refuses every operation.
TEST(RawDisk, RefusesWhatIsNotABlockDevice)
{
    zvtest::TempDir dir;
    zvtest::writeFile(dir / "plain.img", std::string(4096, 'x'));
    ASSERT_EQ(mkfifo((dir / "fifo").c_str(), 0600), 0);
    const std::pair<std::string, int> cases[] = {
        {dir / "plain.img", EINVAL}, {dir.path(), EINVAL},     {"/dev/null", EINVAL},
        {dir / "fifo", EINVAL},      {dir / "missing", ENOENT}, {std::string("/dev/null\0x", 11), EINVAL},
        {dir / "bad\xff", EINVAL},   {"disk2", ENOENT}, // not rewritten to another system's raw-device name
    };
    for (const auto &[path, error] : cases) {
        SCOPED_TRACE(path);
        ZV::RawDisk disk(path);
        EXPECT_EQ(disk.path(), path);
        testing::internal::CaptureStdout();
        EXPECT_FALSE(disk.openRead());
        EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
        EXPECT_EQ(disk.error(), error);
        EXPECT_FALSE(disk.isOpen());
        EXPECT_EQ(disk.blockSize(), 0u);
        EXPECT_EQ(disk.size(), 0);
        EXPECT_EQ(rawdisk_is_mounted(path.c_str()), -1);

        char buffer[512] = {}; // each operation on the closed disk: -1 (false) with EINVAL
        std::vector<std::pair<int, int>> got;
        auto note = [&got, &disk](int result) { got.emplace_back(result, disk.error()); };
        note(disk.pread(buffer, 512, 0)), note(disk.read(buffer, 512, 1LL << 33)), note(disk.pwrite(buffer, 512, 0));
        note(disk.flush() ? 1 : -1), note(disk.unsupported() ? 1 : -1);
        EXPECT_EQ(got, (std::vector<std::pair<int, int>>(5, {-1, EINVAL})));
        EXPECT_TRUE(disk.close()); // nothing open
    }
    EXPECT_EQ(rawdisk_is_mounted(nullptr), -1);

    ZV::ByteStreamRawDisk stream(dir / "plain.img"); // the failure as a system error
    EXPECT_FALSE(stream.open(ZV::ByteStream::modeRead));
    ASSERT_TRUE(stream.lastError());
    EXPECT_EQ(stream.lastError()->domain(), "ZV::SYSTEM");
    EXPECT_EQ(stream.lastError()->code(), EINVAL);
}

// 100 bytes at 1000 come from whole sectors read at sector edges; seeks are
// range-checked against the size, which itself is a valid position.
TEST(RawDiskLoop, GeometryAndWholeSectorStreamReads)
{
    REQUIRE_LOOP();
    zvtest::TempDir dir;
    const size_t imageSize = 1 << 20;
    std::string pattern(imageSize, '\0'); // changes within a sector and from sector to sector
    for (size_t i = 0; i < imageSize; ++i)
        pattern[i] = static_cast<char>((i % 251) ^ (i >> 9));
    zvtest::writeFile(dir / "disk.img", pattern);
    for (const uint32_t sector : {512u, 4096u}) {
        SCOPED_TRACE(sector);
        zvtest::LoopDevice loop(dir / "disk.img", static_cast<int>(sector));
        RecordingStream stream(loop.path());
        ASSERT_TRUE(stream.open(ZV::ByteStream::modeRead));
        ZV::RawDisk &disk = stream.rawDisk();
        EXPECT_EQ(disk.blockSize(), sector);
        EXPECT_EQ(disk.sectorCount(), static_cast<int64_t>(imageSize / sector));
        EXPECT_FALSE(disk.unsupported());
        EXPECT_EQ(disk.error(), ENODEV);
        char got[100];
        EXPECT_EQ(disk.pread(got, 1, static_cast<int64_t>(imageSize)), 0); // the end
        EXPECT_EQ(disk.error(), 0);

        EXPECT_EQ(stream.currentBlockSize(), sector);
        EXPECT_EQ(stream.alignment(), sector);
        EXPECT_EQ(stream.length(), imageSize);
        ASSERT_EQ(stream.readAt(1000, got, sizeof got), 100);
        EXPECT_EQ(std::string(got, sizeof got), pattern.substr(1000, 100));
        using Reads = std::vector<std::pair<uint64_t, uint32_t>>;
        EXPECT_EQ(stream.reads, (sector == 512 ? Reads{{512, 512}, {1024, 512}} : Reads{{0, 4096}}));
        EXPECT_TRUE(stream._seek(imageSize));
        EXPECT_FALSE(stream._seek(imageSize + 1));
        EXPECT_TRUE(stream.seek(imageSize));
        EXPECT_EQ(stream.read(got, 10), 0);
        EXPECT_TRUE(stream._close());
        EXPECT_FALSE(disk.isOpen());
    }
}

// Raw and stream transfers past 4 GiB on a sparse 6 GiB image reach the right
// sectors of the backing file; a write-only stream refuses reads.
TEST(RawDiskLoop, WritesPastFourGiBReachTheRightSectors)
{
    REQUIRE_LOOP();
    zvtest::TempDir dir;
    const std::string image = dir / "big.img";
    const int64_t size = 6LL << 30, far = (5LL << 30) + 3 * 4096; // modulo 2^32: 1 GiB + 3 sectors
    zvtest::mustRun("truncate -s 6G '" + image + "'");
    std::fstream(image, std::ios::binary | std::ios::in | std::ios::out) // behind the device's back
        .seekp(far + 4096)
        .write(std::string(4096, 'F').data(), 4096);
    zvtest::LoopDevice loop(image, 4096);
    {
        ZV::RawDisk disk(loop.path());
        ASSERT_TRUE(disk.openReadWrite()) << disk.error();
        EXPECT_EQ(disk.size(), size);
        ASSERT_EQ(disk.pwrite(std::string(4096, 'D').data(), 4096, far), 4096);
        ASSERT_TRUE(disk.flush());
        std::string back(8192, '\0');
        ASSERT_EQ(disk.read(back.data(), 8192, far), 8192);
        EXPECT_EQ(back, std::string(4096, 'D') + std::string(4096, 'F'));
        ASSERT_EQ(disk.pread(back.data(), 4096, size - 4096), 4096); // the last sector
    }
    {
        ZV::ByteStreamRawDisk stream(loop.path());
        ASSERT_TRUE(stream.open(ZV::ByteStream::modeReadWrite));
        ASSERT_TRUE(stream.seek(far + 8192));
        EXPECT_EQ(stream.write(std::string(4096, 'W').data(), 4096), 4096);
        EXPECT_EQ(stream.length(), uint64_t(size)); // a device does not grow
        char back[8];
        EXPECT_EQ(stream.readAt(far + 8192 - 4, back, 8), 8); // across the start of the written sector
        EXPECT_EQ(std::string(back, 8), "FFFFWWWW");
        EXPECT_TRUE(stream.rawDisk().flush());
    }
    EXPECT_EQ(filePread(image, 12288, far), std::string(4096, 'D') + std::string(4096, 'F') + std::string(4096, 'W'));
    EXPECT_EQ(filePread(image, 4096, far - (4LL << 30)), std::string(4096, '\0')); // no 32-bit wrap

    ZV::ByteStreamRawDisk writer(loop.path()); // mode 2 opens write-only
    ASSERT_TRUE(writer.open(ZV::ByteStream::modeWrite));
    char byte;
    EXPECT_EQ(writer.read(&byte, 1), -1);
    EXPECT_EQ(writer.rawDisk().read(&byte, 1, 0), -1);
    EXPECT_EQ(writer.rawDisk().error(), EBADF);
}

// Guards the failed reopen: it leaves no descriptor and no geometry behind,
// whether the exclusive open is refused (EBUSY) or the path now names a
// plain file (EINVAL). An exclusive holder shows the device in use.
TEST(RawDiskLoop, ExclusiveOpenAndRefusedReopen)
{
    REQUIRE_LOOP();
    zvtest::TempDir dir;
    zvtest::writeFile(dir / "disk.img", std::string(64 * 1024, 'd'));
    zvtest::writeFile(dir / "plain.img", std::string(4096, 'x'));
    zvtest::LoopDevice loop(dir / "disk.img", 4096);
    const std::string link = dir / "drive";
    ASSERT_EQ(symlink(loop.path().c_str(), link.c_str()), 0);
    auto expectClosed = [](ZV::RawDisk &disk, int error) {
        EXPECT_EQ(disk.error(), error);
        EXPECT_FALSE(disk.isOpen());
        EXPECT_EQ(disk.blockSize(), 0u);
        EXPECT_EQ(disk.sectorCount(), 0);
        char byte;
        EXPECT_EQ(disk.read(&byte, 1, 0), -1);
    };

    EXPECT_EQ(rawdisk_is_mounted(loop.path().c_str()), 0);
    ZV::RawDisk holder(loop.path()), second(link);
    ASSERT_TRUE(holder.openReadWrite(true));
    EXPECT_EQ(rawdisk_is_mounted(loop.path().c_str()), 1);
    ASSERT_TRUE(second.openRead()); // a shared open is still allowed
    ASSERT_EQ(second.size(), 64 * 1024);
    EXPECT_FALSE(second.openWrite(true));
    expectClosed(second, EBUSY);
    ASSERT_TRUE(holder.close());
    EXPECT_EQ(rawdisk_is_mounted(loop.path().c_str()), 0);
    ASSERT_TRUE(second.openRead());
    EXPECT_TRUE(second.openReadWrite(true)); // reopening closes the shared open first

    ASSERT_EQ(unlink(link.c_str()), 0);
    ASSERT_EQ(symlink((dir / "plain.img").c_str(), link.c_str()), 0);
    EXPECT_FALSE(second.openRead());
    expectClosed(second, EINVAL);
}

// A mounted partition marks itself and the whole disk in use; unprivileged,
// the check (no exclusive open allowed) shows the mount table and sysfs walk alone.
TEST(RawDiskLoop, MountedFileSystemIsDetected)
{
    REQUIRE_LOOP();
    for (const char *tool : {"sfdisk", "partx", "mkfs.ext4", "mount"})
        zvtest::requireTool(tool);
    zvtest::TempDir dir;
    const std::string image = dir / "card.img", folder = dir / "mnt";
    zvtest::mustRun("truncate -s 32M '" + image + "' && mkdir '" + folder + "'");
    zvtest::mustRun("echo 'start=2048, size=20480, type=83' | sfdisk -q '" + image + "'");
    zvtest::LoopDevice loop(image); // deletes the partitions partx adds
    zvtest::mustRun("partx -d '" + loop.path() + "' >/dev/null 2>&1; partx -a '" + loop.path() + "'");
    const std::string partition = loop.path() + "p1";
    zvtest::mustRun("mkfs.ext4 -q -F '" + partition + "'");

    for (int mounted : {1, 0}) {
        if (mounted)
            zvtest::mustRun("mount -t ext4 '" + partition + "' '" + folder + "'");
        for (const std::string &device : {loop.path(), partition}) {
            SCOPED_TRACE(device + (mounted ? " mounted" : " unmounted"));
            EXPECT_EQ(rawdisk_is_mounted(device.c_str()), mounted);
            EXPECT_EQ(isMountedAsNobody(device), mounted);
            ZV::RawDisk disk(device);
            EXPECT_EQ(disk.openReadWrite(true), !mounted);
            EXPECT_EQ(disk.error(), mounted ? EBUSY : 0);
        }
        zvtest::run("umount '" + folder + "' 2>/dev/null");
    }
}

} // namespace
