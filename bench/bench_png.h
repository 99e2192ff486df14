#pragma once
// libpng's reading steps for the baselines that read PNG the plain way: each
// step returns false where libpng would longjmp out of it.

#include <png.h>

#include <cstdio>

namespace kelvara::bench {

struct PngHead {
    png_uint_32 width = 0;
    png_uint_32 height = 0;
    int depth = 0;
    int colourType = 0;
    int interlace = 0;
};

inline bool pngReadHead(png_structp png, png_infop info, std::FILE* in, PngHead* head) {
    if (setjmp(png_jmpbuf(png))) {
        return false;
    }
    png_init_io(png, in);
    png_read_info(png, info);
    png_get_IHDR(png, info, &head->width, &head->height, &head->depth, &head->colourType,
                 &head->interlace, nullptr, nullptr);
    return true;
}

inline bool pngReadRows(png_structp png, png_bytepp rows) {
    if (setjmp(png_jmpbuf(png))) {
        return false;
    }
    png_read_image(png, rows);
    png_read_end(png, nullptr);
    return true;
}

}  // namespace kelvara::bench
