// What the media files share among themselves (media.cpp, media_io.cpp):
// the list mutex, which also guards each medium's open count and the
// opening and closing of its file object.
#pragma once

#include <mutex>

struct Media;

// The mutex of the media list (media.cpp).
std::mutex &media_list_mutex();

// media_open_io with media_list_mutex held by the caller.
int media_open_io_locked(Media *media);
