// Runs a fuzz target's entry point over every file of the folders given on the
// command line, so seeds and past crash inputs are checked by every test run.
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size);

int main(int argc, char **argv)
{
    size_t count = 0;
    for (int i = 1; i < argc; i++) {
        std::error_code ec;
        if (!std::filesystem::is_directory(argv[i], ec))
            continue; // a target may have no regressions yet
        for (const auto &entry : std::filesystem::directory_iterator(argv[i])) {
            if (!entry.is_regular_file())
                continue;
            std::ifstream in(entry.path(), std::ios::binary);
            std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
            LLVMFuzzerTestOneInput(bytes.data(), bytes.size());
            count++;
        }
    }
    std::printf("replayed %zu inputs\n", count);
    return count == 0 ? 1 : 0; // a target without any seed is a set-up fault
}
