// Image decoding for the skins: any format the stb_image decoder reads becomes premultiplied
// 32-bit pixels, top-down, each pixel 0xAARRGGBB (bytes blue, green, red, alpha in memory).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace SkinUI {

struct DecodedImage {
    int width = 0;
    int height = 0;
    bool hasAlpha = false;   // some pixel is not opaque, so the image must be blended
    std::vector<std::uint32_t> pixels;
};

// Largest accepted width or height; larger images are refused rather than allocated.
constexpr int kMaxImageSide = 8192;

// Converts 8-bit RGBA to premultiplied pixels (colour × alpha / 255, integer division). A
// pixel whose resulting value equals `mask` (when mask is not 0) becomes 0 and counts as
// transparent.
void PremultiplyRgba(const std::uint8_t* rgba, int width, int height, std::uint32_t mask, DecodedImage& out);

// Decodes image bytes. On failure returns false and sets `error` to the decoder's reason.
bool DecodeImage(const void* data, std::size_t size, std::uint32_t mask, DecodedImage& out, std::string& error);

}  // namespace SkinUI
