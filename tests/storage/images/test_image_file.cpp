// The stream-backed file type: registering a path (images and files that are
// none), the slots as the file layer calls them, one registration per path
// while its file is unchanged, files of one image on several threads, and a
// medium attached as an image reading the image's sectors.
#include <fcntl.h>
#include <sys/stat.h>

#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "foundation/file.h"
#include "storage/images/image_file.h"
#include "storage/media.h"
#include "tests/storage/images/fake_disk_image.h"
#include "tests/storage/media_test_support.h"

using zvtest::FakeDiskImage;

namespace {

// The last image the fake opener made, to watch who still holds it.
std::weak_ptr<ZV::DiskImage> g_lastImage;

std::shared_ptr<ZV::DiskImage> openAndKeep(const zorvant::u8string &path)
{
    auto image = zvtest::openFakeImage(path);
    if (image != nullptr)
        g_lastImage = image;
    return image;
}

class ImageFile : public mediatest::MediaFixture {
protected:
    void SetUp() override
    {
        MediaFixture::SetUp();
        image_file_set_opener(openAndKeep);
    }
    void TearDown() override
    {
        image_file_set_opener(nullptr);
        MediaFixture::TearDown();
    }
    // Writes a fake image of count sectors of size bytes at dir/name; returns its path.
    std::string image(const std::string &name, uint32_t size, uint32_t count, const std::string &sectors)
    {
        const std::string path = dir / name;
        zvtest::writeFile(path, zvtest::fakeImageFile(size, count, sectors));
        return path;
    }
    // Moves the file's modification time (the size stays).
    static void touch(const std::string &path, time_t seconds)
    {
        const timespec times[2] = {{seconds, 0}, {seconds, 0}};
        ASSERT_EQ(utimensat(AT_FDCWD, path.c_str(), times, 0), 0);
    }
};

using ImageFileThreads = ImageFile;

std::string readAt(file_t *f, int64_t position, int64_t count)
{
    std::string out((size_t)count, '\0');
    if (file_seek(f, position) != 0 || file_read(f, out.data(), count) != count)
        return "(failed)";
    return out;
}

} // namespace

// A file no reader accepts registers nothing (-1) and reads its own bytes; an image's file reads its sectors
// through every slot: reads exact or -34 with the position kept, seeks inside [0, end], writes refused.
TEST_F(ImageFile, RegisteredImageReadsItsSectors)
{
    const std::string raw = dir / "raw.img", rawBytes = mediatest::pattern(8192, 1);
    zvtest::writeFile(raw, rawBytes);
    EXPECT_EQ(file_open_disk_image(raw.c_str()), -1);
    file_t *plain = file_open(raw.c_str(), "rb", 1);
    ASSERT_NE(plain, nullptr);
    EXPECT_EQ(file_size(plain), 8192);
    EXPECT_EQ(readAt(plain, 0, 8192), rawBytes);
    file_free(&plain);

    EXPECT_EQ(file_open_disk_image(nullptr), -12);
    EXPECT_EQ(file_open_disk_image("\xff\xfe.img"), -12);

    const std::string sectors = mediatest::pattern(100 * 512, 2);
    const std::string path = image("disk.img", 512, 100, sectors);
    ASSERT_EQ(file_open_disk_image(path.c_str()), 0);
    file_t *f = file_open(path.c_str(), "rb", 1);
    ASSERT_NE(f, nullptr);
    EXPECT_TRUE(file_is_open(f));
    EXPECT_EQ(file_size(f), 100 * 512);
    EXPECT_EQ(readAt(f, 0, 100 * 512), sectors);
    EXPECT_EQ(readAt(f, 99 * 512, 512), sectors.substr(99 * 512));
    EXPECT_EQ(file_tell(f), 100 * 512);
    char buffer[1024];
    ASSERT_EQ(file_seek(f, 99 * 512), 0);
    EXPECT_EQ(file_read(f, buffer, 1024), -34);
    EXPECT_EQ(file_tell(f), 99 * 512);
    EXPECT_EQ(file_read(f, buffer, 10), 10); // an unaligned read inside a sector
    EXPECT_EQ(std::string(buffer, 10), sectors.substr(99 * 512, 10));
    EXPECT_EQ(file_seek(f, 100 * 512), 0);
    EXPECT_EQ(file_seek(f, 100 * 512 + 1), -1);
    EXPECT_EQ(file_seek(f, -1), -12); // the file layer's answer for a negative position
    EXPECT_EQ(file_write(f, buffer, 512), -15);

    // A second file of the image keeps its own position.
    file_t *g = file_open(path.c_str(), "rb", 1);
    ASSERT_NE(g, nullptr);
    ASSERT_EQ(file_seek(f, 512), 0);
    EXPECT_EQ(readAt(g, 1024, 512), sectors.substr(1024, 512));
    EXPECT_EQ(file_read(f, buffer, 512), 512);
    EXPECT_EQ(std::string(buffer, 512), sectors.substr(512, 512));

    // Closing keeps the file readable (close is the file layer's own); freeing releases its stream.
    EXPECT_EQ(file_close(f), 0);
    EXPECT_TRUE(file_is_open(f));
    const long before = g_lastImage.use_count();
    EXPECT_EQ(file_free(&f), 0);
    EXPECT_EQ(f, nullptr);
    EXPECT_EQ(g_lastImage.use_count(), before - 1);
    file_free(&g);
}

// The size is sectors x sector size wherever it is asked: of an opened file, and of a file bound to the type
// that has no stream yet (as the media layer asks it when it attaches an image).
TEST_F(ImageFile, SizeIsSectorsTimesSectorSize)
{
    const std::string path = image("big-sectors.img", 4096, 10, mediatest::pattern(4096 * 10, 3));
    ASSERT_EQ(file_open_disk_image(path.c_str()), 0);
    file_t *bound = file_new(path.c_str());
    ASSERT_NE(bound, nullptr);
    ASSERT_EQ(file_set_vf(bound, path.c_str()), 0);
    EXPECT_FALSE(file_is_open(bound));
    EXPECT_EQ(file_size(bound), 10 * 4096);
    file_free(&bound);
    file_t *f = file_open(path.c_str(), "rb", 3);
    ASSERT_NE(f, nullptr);
    EXPECT_EQ(file_size(f), 10 * 4096);
    file_free(&f);
}

// A path is opened once and its image reused while the file's size and modification time stay; a changed
// file is opened again and the replaced image freed once no file reads it; a file that is no image any more
// reads its own bytes again.
TEST_F(ImageFile, RegisteredOncePerUnchangedFile)
{
    const std::string path = image("disk.img", 512, 8, mediatest::pattern(8 * 512, 4));
    touch(path, 1000000000);
    const int opened = FakeDiskImage::opened;
    ASSERT_EQ(file_open_disk_image(path.c_str()), 0);
    const std::weak_ptr<ZV::DiskImage> first = g_lastImage;
    for (int reload = 0; reload < 3; ++reload)
        ASSERT_EQ(file_open_disk_image(path.c_str()), 0);
    EXPECT_EQ(FakeDiskImage::opened - opened, 1);
    EXPECT_EQ(first.use_count(), 1); // the registration alone

    file_t *old = file_open(path.c_str(), "rb", 1);
    ASSERT_NE(old, nullptr);
    const std::string changed = mediatest::pattern(8 * 512, 5);
    zvtest::writeFile(path, zvtest::fakeImageFile(512, 8, changed));
    touch(path, 1000000100);
    ASSERT_EQ(file_open_disk_image(path.c_str()), 0);
    EXPECT_EQ(FakeDiskImage::opened - opened, 2);
    EXPECT_EQ(first.use_count(), 2); // now held by the open file only (its stream and its record)
    file_t *fresh = file_open(path.c_str(), "rb", 1);
    ASSERT_NE(fresh, nullptr);
    EXPECT_EQ(readAt(fresh, 0, 8 * 512), changed);
    file_free(&old);
    EXPECT_TRUE(first.expired());
    file_free(&fresh);

    const std::string text = "no image any more\n";
    zvtest::writeFile(path, text);
    EXPECT_EQ(file_open_disk_image(path.c_str()), -1);
    file_t *raw = file_open(path.c_str(), "rb", 1);
    ASSERT_NE(raw, nullptr);
    EXPECT_EQ(file_size(raw), (int64_t)text.size());
    EXPECT_EQ(readAt(raw, 0, (int64_t)text.size()), text);
    file_free(&raw);
}

// A medium attached as an image covers the image's sectors (all of them with 4096-byte sectors) and reads
// them through its block reader; a file that is no image attached the same way reads its own bytes.
TEST_F(ImageFile, MediumReadsThroughTheImage)
{
    const std::string sectors = mediatest::pattern(64 * 4096, 6);
    const std::string path = image("card.img", 4096, 64, sectors);
    const std::string raw = dir / "dump.img", rawBytes = mediatest::pattern(300 * 512, 7);
    zvtest::writeFile(raw, rawBytes);
    const struct {
        std::string path, content;
        int registered;
    } cases[] = {{path, sectors, 0}, {raw, rawBytes, -1}};
    for (const auto &c : cases) {
        SCOPED_TRACE(c.path);
        EXPECT_EQ(file_open_disk_image(c.path.c_str()), c.registered);
        Media *m = media_attach_image(c.path.c_str());
        ASSERT_NE(m, nullptr);
        EXPECT_EQ(m->kind, (uint32_t)MEDIA_IMAGE);
        EXPECT_EQ(media_length(m), (int64_t)c.content.size());
        ASSERT_EQ(media_retain(m), 0);
        ASSERT_EQ(setup_reader(m, false, nullptr), 0);
        std::string got(c.content.size(), '\0');
        EXPECT_EQ(media_read(m, got.data(), (int64_t)got.size()), (int64_t)got.size());
        EXPECT_TRUE(got == c.content);
        media_release(m);
    }
}

// Files of one image opened, read and freed on several threads while the path is registered again: the
// registry and the image's reader are shared safely (ThreadSanitizer checks the accesses).
TEST_F(ImageFileThreads, FilesOfOneImageOnSeveralThreads)
{
    const std::string sectors = mediatest::pattern(32 * 512, 8);
    const std::string path = image("shared.img", 512, 32, sectors);
    ASSERT_EQ(file_open_disk_image(path.c_str()), 0);
    std::vector<std::thread> threads;
    std::atomic<int> wrong{0};
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([&, t] {
            for (int round = 0; round < 50; ++round) {
                file_t *f = file_open(path.c_str(), "rb", 1);
                if (f == nullptr) {
                    ++wrong;
                    continue;
                }
                const int64_t at = ((t * 7 + round) % 32) * 512;
                if (readAt(f, at, 512) != sectors.substr((size_t)at, 512) || file_size(f) != 32 * 512)
                    ++wrong;
                file_free(&f);
            }
        });
    threads.emplace_back([&] {
        for (int round = 0; round < 50; ++round)
            if (file_open_disk_image(path.c_str()) != 0)
                ++wrong;
    });
    for (std::thread &thread : threads)
        thread.join();
    EXPECT_EQ(wrong.load(), 0);
}
