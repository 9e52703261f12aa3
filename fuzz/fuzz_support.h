// Shared by the fuzzers: the check that stops the run on a broken rule, and
// a sector-image reader opened over the input as if it were an image file.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <stdexcept>

#include "foundation/buffer.h"
#include "foundation/byte_stream.h"

namespace fuzzsupport {

// Aborts (a finding for libFuzzer, a failed replay) when a rule is broken.
inline void require(bool condition)
{
    if (!condition)
        std::abort();
}

// An image reader (a ZV::DiskImage constructed from a read stream) over a
// copy of the input held in memory. image is null when the reader refused
// the bytes with std::invalid_argument, the one way it may refuse them;
// anything else it throws escapes and is a finding.
template <class Image>
struct ImageOverBytes {
    ImageOverBytes(const uint8_t *data, size_t size) : file(data, size)
    {
        auto stream = std::make_shared<ZV::ByteStreamBuffer>(&file, ZV::ByteStream::modeRead);
        try {
            image = std::make_unique<Image>(stream);
        } catch (const std::invalid_argument &) {
        }
    }
    ImageOverBytes(const ImageOverBytes &) = delete;
    ImageOverBytes &operator=(const ImageOverBytes &) = delete;

    ZV::Buffer file;              // the image file; outlives the reader below
    std::unique_ptr<Image> image; // null when refused
};

} // namespace fuzzsupport
