// The rule for a run of failed device reads (rd_run_failed in block_reader.h):
// when a device that fails read after read is taken to have stopped
// answering, and how a long bad range of one that still answers is passed.
// The block reader's filler and the recovery of files both follow it, each
// with its own run and its own reads.
//
// Implementation notes
// - A card that stops answering fails every read from some point on. Read
//   around block by block like a bad range, it would cost one failed read
//   per block to the end of the card: hours for a large card, days on a
//   reader that takes seconds per failure. A bad range of a card that still
//   answers is mostly a few sectors to a few flash pages (tens of KiB), but
//   a card can also have long ones (a flash die gone bad in large
//   interleave units: every other few hundred KiB unreadable).
// - So a run of failed reads with none delivering bytes among them is long
//   after kRunReads failed reads (256 blocks: 128 KiB of 512-byte sectors,
//   well past a common bad range), or after kRunSlowReads of them lasting
//   kRunUsec or more (a reader that takes seconds per failure). From the
//   failing block F of a long run, reading does not go on block by block:
//   1. Reads further on, nearest first: one in each octave [F + 2^(k-1),
//      F + 2^k) and one in each of kSpreadReads equal parts of the rest of
//      the range, each at a place drawn at random (from a
//      generator seeded with F, so a reading makes the same reads again),
//      and the range's last block. The octaves find the nearest good area
//      at any distance; the parts make the verdict sure on a card with
//      much of it bad in stripes (each read there lands on a good one as
//      often as the card is good; random places, so that no stripes of any
//      size and period keep them all on bad ones). When none delivers, the
//      device stopped answering at the run's first block.
//   2. When one delivers, at L, the device answers. One place answering is
//      not enough to go on from: an octave's place may lie beyond a whole
//      good stripe. So the first place after F that answers is looked for
//      up to L, kSweepBlocks apart at first and then at places growing by a
//      constant ratio to L: kSweepReads of them, or more where a larger
//      ratio than kSweepGrowth would be needed to reach L (84 on a 64 GB
//      card of 512-byte blocks).
//   3. From the first place that answers (else L), reads go back toward F,
//      a chunk at a time and block by block inside a chunk that fails,
//      until one fails at E. Blocks F..E are taken as unreadable without
//      being read, reading goes on from E + 1 and the run starts afresh.
//   So a good area after F is never passed over when it is at least 256
//   blocks long and a quarter of its distance from F; what lies between E
//   and the first place that answered is read as usual.
//   Bound: a device that stopped answering costs the run and the reads
//   further on, about log2(blocks left) + 18, each followed by the slow
//   pause when it is slow, whatever came before (every long run is judged
//   afresh): a 64 GB card (2^27 blocks) at 4 s per failed read ends after
//   4 + 45 failed reads, about 4 minutes with the pauses; with quick
//   failures after 256 + 45, within seconds. A long bad range of a card
//   that answers costs at most that many failed reads, the sweep's and one
//   more.
// - A failed read whose errno says the device is gone (rd_device_gone: a
//   connection to it cut, its handle closed) ends the run at once: no read
//   of it can succeed, so there is no run to wait for and nothing further on
//   to read. The block reader's filler ends on those itself; a copy's reads
//   (media_copy_read) leave them to this rule.
// - Nothing here is timed against a limit: a verdict never depends on how
//   long the reads further on took, only on what they delivered.
#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <random>
#include <vector>

#include "foundation/log.h"
#include "foundation/sysutil.h"
#include "storage/block_reader.h"
#include "storage/block_reader_internal.h"

namespace {

constexpr int64_t kRunReads = 256;
constexpr int64_t kRunSlowReads = 4;
constexpr int64_t kRunUsec = 10 * 1000000;
// The reads further on: one in each octave, and kSpreadReads spread over
// the rest of the range.
constexpr int64_t kSpreadReads = 16;
// The sweep for the first good place: places kSweepBlocks apart at first,
// then growing by a constant ratio to the landing: kSweepReads of them, or
// as many as keep the ratio at kSweepGrowth (each place at most a quarter
// further from the failing block than the one before, so that no good area
// a quarter of its distance long lies between two of them).
constexpr int64_t kSweepBlocks = 256;
constexpr int kSweepReads = 64;
constexpr double kSweepGrowth = 1.25;

std::atomic<int64_t (*)()> g_time_source{nullptr};

// What the reads made for a long run found.
enum class found { answers, silent, halted };

// One read of blocks at block: whether it delivered them all. A device gone
// makes *gone_errno its errno.
bool delivers(const rd_run_device &d, int64_t block, int64_t blocks, int *gone_errno)
{
    int errnum = 0;
    if (d.read(block, blocks, &errnum))
        return true;
    if (rd_device_gone(errnum))
        *gone_errno = errnum;
    return false;
}

// The places of the reads further on from block (see the notes), in
// ascending order, the last at last_block.
std::vector<int64_t> further_places(int64_t block, int64_t last_block)
{
    std::mt19937_64 draw(static_cast<uint64_t>(block));
    const int64_t left = last_block - block;
    std::vector<int64_t> places;
    for (int k = 1; k < 63 && (int64_t(1) << (k - 1)) <= left; ++k) {
        const int64_t low = int64_t(1) << (k - 1);
        places.push_back((int64_t(1) << k) > left ? last_block
                                                   : block + low + static_cast<int64_t>(draw() % uint64_t(low)));
    }
    for (int64_t part = 0; part < kSpreadReads; ++part) {
        const int64_t from = block + 1 + left * part / kSpreadReads;
        const int64_t to = block + 1 + left * (part + 1) / kSpreadReads;
        if (to > from)
            places.push_back(from + static_cast<int64_t>(draw() % uint64_t(to - from)));
    }
    places.push_back(last_block);
    std::sort(places.begin(), places.end());
    places.erase(std::unique(places.begin(), places.end()), places.end());
    return places;
}

// Step 1: the reads further on. *landing: the first that delivered.
found read_further_on(const rd_run_device &d, int64_t block, int *made, int64_t *landing, int *gone_errno)
{
    for (int64_t at : further_places(block, d.last_block)) {
        if (d.halted())
            return found::halted;
        ++*made;
        if (delivers(d, at, 1, gone_errno)) {
            *landing = at;
            return found::answers;
        }
        if (*gone_errno != 0)
            break;
    }
    return found::silent;
}

// Steps 2 and 3: the first place after block that answers, up to landing,
// and the failing block nearest before it: *last_bad.
found find_good_edge(const rd_run_device &d, int64_t block, int64_t landing, int64_t *last_bad, int *gone_errno)
{
    const int64_t way = landing - block;
    int64_t good = landing, before = block;
    const int reads =
        std::max(kSweepReads, static_cast<int>(std::ceil(std::log(double(way)) / std::log(kSweepGrowth))));
    for (int i = 1; i < reads; ++i) {
        const int64_t step =
            std::max(kSweepBlocks * i, static_cast<int64_t>(std::pow(double(way), double(i) / reads)));
        if (step >= way)
            break;
        if (d.halted())
            return found::halted;
        if (delivers(d, block + step, 1, gone_errno)) {
            good = block + step;
            break;
        }
        if (*gone_errno != 0)
            return found::silent;
        before = block + step;
    }
    // Back from good (which delivered) toward before (which failed).
    int64_t high = good;
    while (high - 1 > before) {
        const int64_t low = std::max(before + 1, high - std::max<int64_t>(1, d.chunk_blocks));
        if (d.halted())
            return found::halted;
        if (!delivers(d, low, high - low, gone_errno)) {
            if (*gone_errno != 0)
                return found::silent;
            for (int64_t at = high - 1; at >= low; --at) {
                if (d.halted())
                    return found::halted;
                if (!delivers(d, at, 1, gone_errno)) {
                    *last_bad = at;
                    return *gone_errno != 0 ? found::silent : found::answers;
                }
            }
        }
        high = low;
    }
    *last_bad = before;
    return found::answers;
}

} // namespace

bool rd_device_gone(int errnum)
{
    return errnum == ENODEV || errnum == ENXIO || errnum == ENOMEDIUM || errnum == EBADF || errnum == ENOTCONN ||
           errnum == ECONNABORTED;
}

void rd_set_time_source(int64_t (*now)())
{
    g_time_source.store(now, std::memory_order_release);
}

int64_t rd_now_usec()
{
    int64_t (*source)() = g_time_source.load(std::memory_order_acquire);
    if (source != nullptr)
        return source();
    // Durations only: a clock that a time server or a resume sets forward
    // would make a run look longer than it was.
    return std::chrono::duration_cast<std::chrono::microseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

void rd_run_answered(rd_run *run)
{
    run->reads = 0;
    run->not_answering = false;
}

rd_run_verdict rd_run_failed(rd_run *run, const rd_run_device &device, int64_t block, int errnum, int64_t *skip_last)
{
    const int64_t now = rd_now_usec();
    if (run->reads++ == 0) {
        run->first_block = block;
        run->started = now;
    }
    run->errnum = errnum;
    if (run->not_answering)
        return RD_RUN_STOPPED;
    const char *path = device.path != nullptr ? device.path : "(null)";
    if (rd_device_gone(errnum)) {
        // No read can succeed any more: no run to wait for, no read further on.
        run->not_answering = true;
        char text[128];
        zv_strerror_r(errnum, text, sizeof text);
        log_error("%s: read(%s): %s at block %lld: the device is gone (it stopped answering at block %lld)",
                  device.caller, path, text, static_cast<long long>(block), static_cast<long long>(run->first_block));
        return RD_RUN_STOPPED;
    }
    const int64_t lasted = now - run->started;
    if (run->reads < kRunReads && (run->reads < kRunSlowReads || lasted < kRunUsec))
        return RD_RUN_READ_ON;
    if (device.last_block <= block)
        return RD_RUN_READ_ON; // the run ends with the range: reading on costs nothing
    int made = 0, gone_errno = 0;
    int64_t landing = -1, last_bad = block;
    found result = read_further_on(device, block, &made, &landing, &gone_errno);
    if (result == found::answers)
        result = find_good_edge(device, block, landing, &last_bad, &gone_errno);
    if (result == found::halted)
        return RD_RUN_HALTED;
    if (result == found::silent) {
        if (gone_errno != 0)
            run->errnum = gone_errno;
        run->not_answering = true;
        char text[128];
        zv_strerror_r(run->errnum, text, sizeof text);
        log_error("%s: read(%s): %s: %lld reads from block %lld on failed in %lld ms and none delivered, nor did "
                  "the %d read(s) further on: the device stopped answering",
                  device.caller, path, text, static_cast<long long>(run->reads),
                  static_cast<long long>(run->first_block), static_cast<long long>(lasted / 1000), made);
        return RD_RUN_STOPPED;
    }
    log_error("%s: read(%s): %lld reads from block %lld on failed in %lld ms and none delivered, but block %lld "
              "further on did: a long bad range, blocks %lld to %lld taken as unreadable, read on from there",
              device.caller, path, static_cast<long long>(run->reads), static_cast<long long>(run->first_block),
              static_cast<long long>(lasted / 1000), static_cast<long long>(landing),
              static_cast<long long>(block), static_cast<long long>(last_bad));
    run->reads = 0; // counted afresh from the next failure
    *skip_last = last_bad;
    return RD_RUN_SKIPPED;
}
