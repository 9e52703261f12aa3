// HV::ByteStreamNode: a read-only ZV::ByteStream over one fork of one
// catalog node, named by its keyref, read through the file system the scan
// found (fs_node_data over the node's extents on the medium). The front end
// reads thumbnails and previews through it.
//
// What is promised
//   - The length is the fork's size when the stream was made (fork 1 of a
//     node without a resource fork: 0).
//   - A read is shortened to what is left of the fork: a read that starts
//     at the end returns 0, one that straddles it returns the bytes up to
//     it. A read that finds no data at all (detached medium, a hole in the
//     extents) returns -1; one that ends early returns what it got.
//   - The stream holds its file-system record by a shared pointer, so
//     deleting the scan on another thread does not free it under the
//     stream; reads after that fail (-1).
// Not promised: writing (the base throws "unimplemented write method").
#pragma once

#include <cstdint>
#include <memory>

#include "foundation/byte_stream.h"

struct fs_record;

namespace HV {

class ByteStreamNode : public ZV::ByteStream {
public:
    // Looks the keyref's file system up; throws std::invalid_argument
    // "Invalid keyref" when there is none. Opens with mode 1 at once.
    ByteStreamNode(uint64_t keyref, int fork);
    ~ByteStreamNode() override;

    bool _open(int mode) override;
    uint64_t _length() override;
    bool _seek(uint64_t offset) override;
    int _read(void *destination, uint32_t count) override;

    uint64_t keyref() const { return keyref_; }
    int fork() const { return fork_; }

private:
    uint64_t keyref_;
    int fork_;
    std::shared_ptr<fs_record> fs_;
    uint64_t length_ = 0;
    uint64_t position_ = 0;
};

} // namespace HV
