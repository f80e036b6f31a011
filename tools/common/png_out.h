// Writing the pictures the PC tools make for people to look at: one byte per
// pixel, either an index into a small palette or a grey level.
#ifndef TOOLS_COMMON_PNG_OUT_H
#define TOOLS_COMMON_PNG_OUT_H

#include <png.h>
#include <string.h>

#include <string>

// Writes width x height pixels to path. With a palette of entries colours
// the pixels index it; without one they are grey levels. On failure *error
// (when given) names the file and libpng's reason.
inline bool png_out_write(const std::string &path, const png_byte *pixels, int width, int height,
                          const png_byte (*palette)[3], int entries, std::string *error)
{
    png_image image;
    memset(&image, 0, sizeof(image));
    image.version = PNG_IMAGE_VERSION;
    image.width = png_uint_32(width);
    image.height = png_uint_32(height);
    image.format = palette != nullptr ? PNG_FORMAT_RGB_COLORMAP : PNG_FORMAT_GRAY;
    image.colormap_entries = palette != nullptr ? png_uint_32(entries) : 0;
    if (png_image_write_to_file(&image, path.c_str(), 0, pixels, width, palette))
        return true;
    if (error != nullptr)
        *error = path + ": " + image.message;
    png_image_free(&image);
    return false;
}

#endif
