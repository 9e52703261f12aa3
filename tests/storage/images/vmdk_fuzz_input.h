// The input of the VMDK fuzz target: the files of one image folder in one
// byte string. The first file is the one opened ("disk.vmdk"); the files
// after it are "s1.vmdk", "s2.vmdk", ... which a descriptor may list as
// extents. Files are separated by VMDK_FUZZ_SEPARATOR. Shared by the fuzz
// target and the test that writes its seeds.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

namespace vmdkfuzz {

constexpr char VMDK_FUZZ_SEPARATOR[] = "\n#VMDK-FUZZ-FILE#\n";
constexpr size_t VMDK_FUZZ_MAX_FILES = 8;

inline std::string fileName(size_t index)
{
    return index == 0 ? "disk.vmdk" : "s" + std::to_string(index) + ".vmdk";
}

// The files of an input, at most VMDK_FUZZ_MAX_FILES (the rest of the input
// stays in the last one).
inline std::vector<std::string> split(const std::string &input)
{
    const std::string separator(VMDK_FUZZ_SEPARATOR);
    std::vector<std::string> files;
    size_t start = 0;
    while (files.size() + 1 < VMDK_FUZZ_MAX_FILES) {
        const size_t at = input.find(separator, start);
        if (at == std::string::npos)
            break;
        files.push_back(input.substr(start, at - start));
        start = at + separator.size();
    }
    files.push_back(input.substr(start));
    return files;
}

inline std::string join(const std::vector<std::string> &files)
{
    std::string out;
    for (size_t i = 0; i < files.size(); i++)
        out += (i == 0 ? "" : VMDK_FUZZ_SEPARATOR) + files[i];
    return out;
}

} // namespace vmdkfuzz
