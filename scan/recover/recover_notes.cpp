// The notes of a recovery: what it could not do, file by file, kept for the
// front end's report (recover.h). One list for the process, guarded by a
// mutex; bounded, so a card failing everywhere costs a bounded amount. And
// the listener told of each target folder opened.
#include <mutex>

#include "scan/recover/recover.h"

namespace {

std::mutex notes_lock;
std::vector<recover_note> notes;
recover_target_listener target_listener = nullptr;
void *target_data = nullptr;
int64_t stopped_at = -1;

} // namespace

void recover_notes_clear()
{
    std::lock_guard<std::mutex> hold(notes_lock);
    notes.clear();
    stopped_at = -1;
}

void recover_note_add(const recover_note &note)
{
    std::lock_guard<std::mutex> hold(notes_lock);
    if (notes.size() < RECOVER_NOTES_MAX)
        notes.push_back(note);
}

std::vector<recover_note> recover_notes_take()
{
    std::lock_guard<std::mutex> hold(notes_lock);
    std::vector<recover_note> out;
    out.swap(notes);
    return out;
}

void recover_set_target_listener(recover_target_listener listener, void *data)
{
    std::lock_guard<std::mutex> hold(notes_lock);
    target_listener = listener;
    target_data = data;
}

void recover_target_opened(const char *folder)
{
    recover_target_listener listener;
    void *data;
    {
        std::lock_guard<std::mutex> hold(notes_lock);
        listener = target_listener;
        data = target_data;
    }
    if (listener != nullptr)
        listener(folder, data);
}

void recover_note_stopped(int64_t device_byte)
{
    std::lock_guard<std::mutex> hold(notes_lock);
    if (stopped_at < 0)
        stopped_at = device_byte;
}

int64_t recover_stopped_take()
{
    std::lock_guard<std::mutex> hold(notes_lock);
    const int64_t at = stopped_at;
    stopped_at = -1;
    return at;
}
