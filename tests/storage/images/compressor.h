// zlib and bzip2 compression for the tests' image writers (whole buffers,
// through the libraries' one-call functions).
#pragma once

#include <bzlib.h>
#include <zlib.h>

#include <stdexcept>
#include <string>

namespace zvtest {

inline std::string zlibCompress(const std::string &bytes)
{
    uLongf size = compressBound(uLong(bytes.size()));
    std::string out(size, '\0');
    if (compress2(reinterpret_cast<Bytef *>(&out[0]), &size, reinterpret_cast<const Bytef *>(bytes.data()),
                  uLong(bytes.size()), 6) != Z_OK)
        throw std::runtime_error("compress2 failed");
    out.resize(size);
    return out;
}

inline std::string bzip2Compress(const std::string &bytes)
{
    unsigned size = unsigned(bytes.size() + bytes.size() / 100 + 600);
    std::string out(size, '\0');
    if (BZ2_bzBuffToBuffCompress(&out[0], &size, const_cast<char *>(bytes.data()), unsigned(bytes.size()), 9, 0,
                                 0) != BZ_OK)
        throw std::runtime_error("BZ2_bzBuffToBuffCompress failed");
    out.resize(size);
    return out;
}

} // namespace zvtest
