// The notes of a recovery: what it could not do, file by file, kept for the
// front end's report (recover.h). One list for the process, guarded by a
// mutex; bounded, so a card failing everywhere costs a bounded amount.
#include <mutex>

#include "scan/recover/recover.h"

namespace {

std::mutex notes_lock;
std::vector<recover_note> notes;

} // namespace

void recover_notes_clear()
{
    std::lock_guard<std::mutex> hold(notes_lock);
    notes.clear();
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
