// Writes 24-bit RGB pictures as PNG files, with nothing but the standard
// library: the image data goes into stored (uncompressed) deflate blocks,
// which every PNG reader takes. For screenshots of the settings dialog.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

// `rgb` holds height rows of width pixels, top row first, 3 bytes each.
bool writePngFile(const std::string& path, uint32_t width, uint32_t height, const std::vector<uint8_t>& rgb);
