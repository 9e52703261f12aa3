// HV::ByteStreamMedia: a read-only ZV::ByteStream over a window of a medium
// (a media record, storage/media.h): the whole medium, or a byte range of it
// such as one partition. The partition map reader and the file-system
// readers read media through it.
//
// The stream keeps its own position inside the window and positions the
// medium before every read, so several streams over one medium do not
// disturb each other between reads (they are still used by one thread at a
// time, as the medium is).
//
// What is promised
//   - A read is shortened to what is left of the window: at the end it
//     returns 0, across the end the bytes up to it (fixed-size readers need
//     the last partial piece, as with file streams).
//   - While open the stream holds one open reference of the medium
//     (media_retain) and drops it when destroyed.
//   - A listed medium is not trusted by pointer alone: the stream keeps its
//     id and finds the medium again (ids are never reused) before each use,
//     so a medium freed with media_free while a stream is still held (the
//     front end keeps streams) makes reads fail instead of touching freed
//     memory. An unlisted medium belongs to the caller, who keeps it alive
//     longer than the stream.
//   - blockSize() is the medium's own block size (a 4096-byte-sector device
//     counts its partition-table LBAs in 4096-byte units); alignment() is 0,
//     so reads are never split into blocks.
// Not promised: writing (the base throws "unimplemented write method").
#pragma once

#include <cstdint>

#include "foundation/byte_stream.h"

struct Media;

namespace HV {

class ByteStreamMedia : public ZV::ByteStream {
public:
    // The whole medium: start 0, length media_length(media). Opens with mode
    // 1 at once; test isOpen() when it matters.
    explicit ByteStreamMedia(Media *media);
    // The window [start, start + length) of the medium; opens like above.
    ByteStreamMedia(Media *media, uint64_t start, uint64_t length);
    ~ByteStreamMedia() override;

    // Mode 1 only: retains the medium and positions it at its offset 0.
    bool _open(int mode) override;
    uint64_t _length() override;
    // Any offset up to the window length (the length itself included).
    bool _seek(uint64_t offset) override;
    int _read(void *destination, uint32_t count) override;
    uint32_t blockSize() override;

    // The medium while it is still there, else NULL.
    Media *media() const;
    uint64_t start() const { return start_; }

private:
    Media *media_;               // not owned; retained while the stream is open
    uint32_t mediaId_ = 0;       // id of a listed medium, looked up before use
    bool listed_ = false;        // false: an unlisted medium, used by pointer
    uint64_t start_;             // window offset in the medium
    uint64_t length_;            // window length
    uint64_t relativePosition_ = 0; // inside the window
};

} // namespace HV
