#include "SkinUI/skin_pixels.h"

#include <climits>

#if defined(__GNUC__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wunused-function"
#pragma GCC diagnostic ignored "-Wsign-compare"
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"
#pragma GCC diagnostic ignored "-Wimplicit-fallthrough"
#pragma GCC diagnostic ignored "-Wunused-but-set-variable"
#endif
#define STB_IMAGE_IMPLEMENTATION
#define STB_IMAGE_STATIC
#define STBI_NO_STDIO
#define STBI_FAILURE_USERMSG
#define STBI_MAX_DIMENSIONS 8192
#include <stb/stb_image.h>
#if defined(__GNUC__)
#pragma GCC diagnostic pop
#endif

namespace SkinUI {

void PremultiplyRgba(const std::uint8_t* rgba, int width, int height, std::uint32_t mask, DecodedImage& out) {
    out.width = width;
    out.height = height;
    out.hasAlpha = false;
    out.pixels.assign(static_cast<std::size_t>(width) * static_cast<std::size_t>(height), 0);
    for (std::size_t i = 0; i < out.pixels.size(); ++i) {
        std::uint32_t r = rgba[i * 4], g = rgba[i * 4 + 1], b = rgba[i * 4 + 2], a = rgba[i * 4 + 3];
        if (a < 255) {
            r = r * a / 255;
            g = g * a / 255;
            b = b * a / 255;
            out.hasAlpha = true;
        }
        std::uint32_t v = (a << 24) | (r << 16) | (g << 8) | b;
        if (mask != 0 && v == mask) {
            v = 0;
            out.hasAlpha = true;   // the mask colour must show through, so blend the image
        }
        out.pixels[i] = v;
    }
}

bool DecodeImage(const void* data, std::size_t size, std::uint32_t mask, DecodedImage& out, std::string& error) {
    out = DecodedImage();
    if (!data || size == 0 || size > static_cast<std::size_t>(INT_MAX)) {
        error = "no image data";
        return false;
    }
    int w = 0, h = 0, channels = 0;
    stbi_uc* rgba = stbi_load_from_memory(static_cast<const stbi_uc*>(data), static_cast<int>(size), &w, &h,
                                          &channels, 4);
    if (!rgba) {
        const char* reason = stbi_failure_reason();
        error = reason ? reason : "undecodable image";
        return false;
    }
    if (w <= 0 || h <= 0 || w > kMaxImageSide || h > kMaxImageSide) {
        stbi_image_free(rgba);
        error = "image too large";
        return false;
    }
    PremultiplyRgba(rgba, w, h, mask, out);
    stbi_image_free(rgba);
    return true;
}

}  // namespace SkinUI
