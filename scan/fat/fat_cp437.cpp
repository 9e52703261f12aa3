// Code page 437 decoding of FAT short names, kept with the other code pages
// in foundation/codepages.cpp. Short names are decoded through it so that
// every short name becomes valid UTF-8.
#include <cstdint>
#include <string>

#include "foundation/encoding.h"
#include "scan/fat/fat_reader.h"

namespace ZV {

void Fat::appendCp437(uint8_t byte, std::string *out)
{
    cp437_append_utf8(byte, *out);
}

} // namespace ZV
