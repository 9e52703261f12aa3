// The selection writer: one thread per catalog open for reading that saves
// "sel-state" after changes, so that a click never waits for the disk.
//
// Implementation notes:
// - Each change posts a request after it is made. The writer takes one,
//   drops the requests queued behind it (they ask for the same thing: save
//   the state as it is now), copies the array under the selection lock and
//   writes the copy. The last write therefore always saves the state after
//   the last change, and a burst of clicks costs one or two writes.
// - The stop is a message of its own (WorkQueue::postStop), queued behind
//   the pending requests, so closing waits for them; no request number can
//   be taken for it.
// - The writer never takes the catalog lock (only the selection lock and
//   the write lock), so a close holding the catalog lock can join it.
#include <exception>
#include <string>
#include <system_error>

#include "foundation/log.h"
#include "scan/catalog/catdb_internal.h"
#include "scan/catalog/selection.h"

namespace {

void catdb_selection_writer_(catdb_state *state, std::string path)
{
    uint32_t request;
    while (state->queue.take(&request)) {
        state->queue.coalesce();
        // File errors are logged by the write and otherwise ignored.
        catdb_write_selection_snapshot_(state, path);
    }
}

} // namespace

int catdb_start_selection_writer_(catdb *db)
{
    catdb_state *state = db->state;
    if (state->writer_started)
        return 0;
    std::string path = catdb_file_path_(state, "sel-state");
    if (path.empty())
        return -12;
    try {
        state->writer = std::thread(catdb_selection_writer_, state, path);
    } catch (const std::exception &error) {
        log_error("catdb_start_selection_writer_: Can't start the selection writer: %s", error.what());
        return -10;
    }
    state->writer_started = true;
    return 0;
}

void catdb_stop_selection_writer_(catdb *db)
{
    catdb_state *state = db->state;
    if (!state->writer_started)
        return;
    state->queue.postStop();
    if (state->writer.joinable())
        state->writer.join();
    state->writer_started = false;
}

int catdb_post_selection_write_(catdb *db)
{
    if (db == nullptr || db->state == nullptr)
        return -12;
    catdb_state *state = db->state;
    std::lock_guard<std::recursive_mutex> hold(state->lock);
    if (!state->writer_started)
        return 0;
    state->queue.post(++state->next_request);
    return 0;
}

int catdb_save_selection_now_(catdb *db)
{
    if (db == nullptr || db->state == nullptr)
        return 0;
    catdb_state *state = db->state;
    std::lock_guard<std::recursive_mutex> hold(state->lock);
    if (!state->writer_started)
        return 0;
    const std::string path = catdb_file_path_(state, "sel-state");
    if (path.empty())
        return -12;
    return catdb_write_selection_snapshot_(state, path);
}
