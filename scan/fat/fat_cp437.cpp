// Code page 437 decoding of FAT short names, kept with the other code pages
// in foundation/codepages.cpp. Short names are decoded through it so that
// every short name becomes valid UTF-8.
//
// Lower case (the case flags of an 8.3 name) applies to every letter of the
// code page, not only to A..Z: "É" (0x90) lowers to "é" as other readers of
// the volume show it. Characters without a lower-case form stay as they are.
#include <utf8cpp/utf8.h>
#include <utf8proc.h>

#include <cstdint>
#include <iterator>
#include <string>

#include "foundation/encoding.h"
#include "scan/fat/fat_reader.h"

namespace ZV {

void Fat::appendCp437(uint8_t byte, std::string *out, bool lowerCase)
{
    if (!lowerCase) {
        cp437_append_utf8(byte, *out);
        return;
    }
    const uint32_t cp = byte < 0x80 ? byte : cp437_high_table()[byte - 0x80];
    const utf8proc_int32_t lower = utf8proc_tolower(static_cast<utf8proc_int32_t>(cp));
    utf8::unchecked::append(static_cast<uint32_t>(lower), std::back_inserter(*out));
}

} // namespace ZV
