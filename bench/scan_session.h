// Shared by bench_fat_scan, bench_recover and bench_thorough: one engine
// session in a folder of its own, the way the engine runs a scan of a card
// image.
//
//   <folder>/engine.log          the engine log
//   <folder>/ZorvantWorkspace/   the workspace (scan folders "Scan.NN")
//
// open(): workspace, the FAT type registered (for a thorough scan the
// modules in the engine's start order: the thorough-scan store, "fat ",
// "jpeg", "gfm "), the image attached as a plain file medium. quick_scan():
// start_scan type 1 and the FAT record it found. thorough_scan(): start_scan
// type 3 and its scan.
// The destructor frees the scans (their folders stay), the media and the
// workspace object.
#pragma once

#include <sys/stat.h>
#include <time.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>

#include "foundation/log.h"
#include "foundation/workdir.h"
#include "foundation/workspace.h"
#include "modules/gfm.h"
#include "modules/jpeg.h"
#include "scan/catalog/fs_record.h"
#include "scan/fat/fat_scan.h"
#include "scan/scan_context.h"
#include "scan/scan_driver.h"
#include "scan/thorough/cbr_store.h"
#include "storage/media.h"

namespace zvbench {

inline double now()
{
    timespec t{};
    clock_gettime(CLOCK_MONOTONIC, &t);
    return double(t.tv_sec) + double(t.tv_nsec) * 1e-9;
}

class ScanSession {
public:
    explicit ScanSession(const char *program) : program_(program) {}
    ~ScanSession()
    {
        scx_free_all();
        media_free_all();
        dir_free(&workspace_);
        log_close();
    }

    [[noreturn]] void fail(const char *what, long long value) const
    {
        std::fprintf(stderr, "%s: %s (%lld); see %s\n", program_, what, value, log_path_.c_str());
        std::exit(1);
    }

    // A new folder (it must not exist yet) with the log and the workspace,
    // the FAT type (thorough: all the modules) registered and the image
    // attached.
    void open(const std::string &name, const char *image, bool thorough = false)
    {
        if (mkdir(name.c_str(), 0755) != 0)
            fail("can't make the session folder (it must not exist)", errno);
        char *absolute = realpath(name.c_str(), nullptr); // the workspace needs an absolute path
        if (absolute == nullptr)
            fail("can't resolve the session folder", errno);
        const std::string folder = absolute;
        std::free(absolute);
        log_path_ = folder + "/engine.log";
        engine_set_workspace_name("Zorvant");
        log_open(log_path_.c_str());
        workspace_ = dir_new(nullptr, (folder + "/ZorvantWorkspace").c_str());
        if (workspace_ == nullptr)
            fail("can't make the workspace", 0);
        if (thorough && cbr_init() != 0)
            fail("cbr_init failed", 0);
        if (fat_describe() == nullptr)
            fail("fat_describe failed", 0);
        if (thorough && (jpeg_describe() == nullptr || gfm_describe() == nullptr))
            fail("the file modules could not be registered", 0);
        media_ = media_attach_file(image);
        if (media_ == nullptr)
            fail("can't attach the image", 0);
    }

    // Quick scan of the whole medium; the first found file system.
    std::shared_ptr<fs_record> quick_scan()
    {
        const int rc = start_scan(media_->id, SCX_TYPE_QUICK, workspace_);
        if (rc != 0)
            fail("start_scan (quick) failed", rc);
        for (uint32_t slot : scx_live_slots()) {
            std::shared_ptr<ScanContext> scan = scx_in_slot(slot);
            if (scan != nullptr && !scan->fs_list.empty()) {
                scan_ = scan;
                return scan->fs_list.front();
            }
        }
        fail("the quick scan found no file system", 0);
    }

    // Thorough scan of the whole medium (the scan in slot 1).
    std::shared_ptr<ScanContext> thorough_scan()
    {
        const int rc = start_scan(media_->id, SCX_TYPE_THOROUGH, workspace_);
        if (rc != 0)
            fail("start_scan (thorough) failed", rc);
        scan_ = scx_in_slot(1);
        if (scan_ == nullptr || scan_->store == nullptr)
            fail("the thorough scan left no store", 0);
        return scan_;
    }

    ScanContext *scan() const { return scan_.get(); }

private:
    const char *program_;
    std::string log_path_;
    work_dir *workspace_ = nullptr;
    Media *media_ = nullptr;
    std::shared_ptr<ScanContext> scan_;
};

} // namespace zvbench
