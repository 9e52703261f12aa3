// Pictures for the tests of the JPEG module and the thorough scan: PPM
// images to feed cjpeg (libjpeg-turbo-progs), so every test JPEG is a real
// encoder's output.
#pragma once

#include <cstdint>
#include <string>

namespace zvtest {

// A PPM (P6) of w x h pixels: gradients with noise, so the JPEG made from
// it has real entropy-coded data (the larger the picture, the more of it;
// 3000 x 2000 gives a few MB at quality 90). The same seed gives the same
// picture.
inline std::string ppm(int w, int h, uint32_t seed)
{
    std::string out = "P6\n" + std::to_string(w) + " " + std::to_string(h) + "\n255\n";
    out.reserve(out.size() + (size_t)w * (size_t)h * 3);
    uint32_t x = seed;
    for (int y = 0; y < h; y++)
        for (int i = 0; i < w; i++) {
            x = x * 1103515245u + 12345u;
            out += (char)((i * 255 / w) ^ (x >> 27));
            out += (char)(y * 255 / h);
            out += (char)((i + y + (x >> 29)) & 0xFF);
        }
    return out;
}

} // namespace zvtest
