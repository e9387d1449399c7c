// Turns the dialog's pixel art (the *.art text files beside this one) into
// the bitmaps and icons its resource script takes. A build tool: it runs on
// the build machine, so it uses the standard library only.
//
//   make_art bitmap IN.art OUT.bmp   24-bit bitmap; see-through pixels take
//                                    the art's background colour (black
//                                    unless it names one)
//   make_art mask IN.art OUT.bmp     24-bit bitmap: white where the art is
//                                    see-through, black elsewhere
//   make_art icon IN.art OUT.ico     icon with one 32-bit image whose
//                                    see-through pixels are transparent
//
// An art file: "size W H", "colour C RRGGBB" per character, optionally
// "transparent C" and "background RRGGBB", then "pixels" and H rows of W
// characters. '#' starts a comment line. Anything else is an error, so a
// damaged picture stops the build instead of shipping.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

namespace {

struct Rgba {
    uint8_t r = 0, g = 0, b = 0, a = 0;
};

struct Art {
    int width = 0;
    int height = 0;
    std::vector<Rgba> pixels;  // top row first
    Rgba background;           // of see-through pixels in a plain bitmap
};

bool fail(const std::string& file, int line, const std::string& message) {
    std::fprintf(stderr, "%s:%d: %s\n", file.c_str(), line, message.c_str());
    return false;
}

bool parseColour(const std::string& text, Rgba* colour) {
    if (text.size() != 6) return false;
    unsigned value = 0;
    for (char c : text) {
        value <<= 4;
        if (c >= '0' && c <= '9')
            value |= static_cast<unsigned>(c - '0');
        else if (c >= 'a' && c <= 'f')
            value |= static_cast<unsigned>(c - 'a' + 10);
        else if (c >= 'A' && c <= 'F')
            value |= static_cast<unsigned>(c - 'A' + 10);
        else
            return false;
    }
    *colour = {static_cast<uint8_t>(value >> 16), static_cast<uint8_t>(value >> 8), static_cast<uint8_t>(value), 255};
    return true;
}

bool readArt(const std::string& file, Art* art) {
    std::ifstream in(file);
    if (!in) return fail(file, 0, "cannot read");
    std::map<char, Rgba> colours;
    char transparent = '\0';
    bool inPixels = false;
    int row = 0;
    std::string line;
    for (int number = 1; std::getline(in, line); ++number) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (inPixels) {
            if (row >= art->height) return fail(file, number, "more rows than the size says");
            if (static_cast<int>(line.size()) != art->width) return fail(file, number, "row of the wrong width");
            for (char c : line) {
                if (c == transparent) {
                    art->pixels.push_back(Rgba{});
                    continue;
                }
                auto found = colours.find(c);
                if (found == colours.end()) return fail(file, number, std::string("no colour for '") + c + "'");
                art->pixels.push_back(found->second);
            }
            ++row;
            continue;
        }
        if (line.empty() || line[0] == '#') continue;
        std::istringstream words(line);
        std::string keyword, a, b;
        words >> keyword >> a >> b;
        if (keyword == "size") {
            art->width = std::atoi(a.c_str());
            art->height = std::atoi(b.c_str());
            if (art->width <= 0 || art->height <= 0 || art->width > 256 || art->height > 256)
                return fail(file, number, "size must be 1 to 256 pixels each way");
        } else if (keyword == "colour" && a.size() == 1) {
            Rgba colour;
            if (!parseColour(b, &colour)) return fail(file, number, "colour wants RRGGBB");
            colours[a[0]] = colour;
        } else if (keyword == "transparent" && a.size() == 1) {
            transparent = a[0];
        } else if (keyword == "background") {
            if (!parseColour(a, &art->background)) return fail(file, number, "background wants RRGGBB");
        } else if (keyword == "pixels" && art->width > 0) {
            inPixels = true;
        } else {
            return fail(file, number, "unknown line: " + line);
        }
    }
    if (!inPixels || row != art->height) return fail(file, 0, "fewer rows than the size says");
    return true;
}

void put16(std::string& out, uint32_t v) {
    out += static_cast<char>(v & 0xFF);
    out += static_cast<char>((v >> 8) & 0xFF);
}
void put32(std::string& out, uint32_t v) {
    put16(out, v & 0xFFFF);
    put16(out, v >> 16);
}

// BITMAPINFOHEADER: the height is doubled for an icon's image plus mask.
void putInfoHeader(std::string& out, const Art& art, uint32_t heightFactor, uint16_t bits, uint32_t imageBytes) {
    put32(out, 40);
    put32(out, static_cast<uint32_t>(art.width));
    put32(out, static_cast<uint32_t>(art.height) * heightFactor);
    put16(out, 1);
    put16(out, bits);
    put32(out, 0);  // BI_RGB
    put32(out, imageBytes);
    put32(out, 2835);  // 72 dpi
    put32(out, 2835);
    put32(out, 0);
    put32(out, 0);
}

// Rows bottom-up, each padded to 4 bytes, as bitmaps store them.
std::string rows24(const Art& art, bool mask) {
    std::string out;
    const int pad = (4 - (art.width * 3) % 4) % 4;
    for (int y = art.height - 1; y >= 0; --y) {
        for (int x = 0; x < art.width; ++x) {
            const Rgba& p = art.pixels[static_cast<size_t>(y * art.width + x)];
            Rgba c = p;
            if (mask)
                c = p.a == 0 ? Rgba{255, 255, 255, 255} : Rgba{0, 0, 0, 255};
            else if (p.a == 0)
                c = art.background;
            out += static_cast<char>(c.b);
            out += static_cast<char>(c.g);
            out += static_cast<char>(c.r);
        }
        out.append(static_cast<size_t>(pad), '\0');
    }
    return out;
}

std::string bitmapFile(const Art& art, bool mask) {
    const std::string rows = rows24(art, mask);
    std::string out = "BM";
    put32(out, static_cast<uint32_t>(14 + 40 + rows.size()));
    put32(out, 0);
    put32(out, 14 + 40);
    putInfoHeader(out, art, 1, 24, static_cast<uint32_t>(rows.size()));
    return out + rows;
}

std::string iconFile(const Art& art) {
    std::string image;
    for (int y = art.height - 1; y >= 0; --y) {
        for (int x = 0; x < art.width; ++x) {
            const Rgba& p = art.pixels[static_cast<size_t>(y * art.width + x)];
            image += static_cast<char>(p.b);
            image += static_cast<char>(p.g);
            image += static_cast<char>(p.r);
            image += static_cast<char>(p.a);
        }
    }
    // The AND mask, 1 bit per pixel, rows padded to 4 bytes: set where
    // transparent, for programs that ignore the alpha channel.
    const int maskRow = ((art.width + 31) / 32) * 4;
    for (int y = art.height - 1; y >= 0; --y) {
        std::string row(static_cast<size_t>(maskRow), '\0');
        for (int x = 0; x < art.width; ++x)
            if (art.pixels[static_cast<size_t>(y * art.width + x)].a == 0)
                row[static_cast<size_t>(x / 8)] = static_cast<char>(row[static_cast<size_t>(x / 8)] | (0x80 >> (x % 8)));
        image += row;
    }
    std::string entry;
    putInfoHeader(entry, art, 2, 32, 0);
    entry += image;
    std::string out;
    put16(out, 0);
    put16(out, 1);  // an icon
    put16(out, 1);  // one image
    out += static_cast<char>(art.width >= 256 ? 0 : art.width);
    out += static_cast<char>(art.height >= 256 ? 0 : art.height);
    out += '\0';  // no palette
    out += '\0';
    put16(out, 1);
    put16(out, 32);
    put32(out, static_cast<uint32_t>(entry.size()));
    put32(out, 6 + 16);
    return out + entry;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 4) {
        std::fprintf(stderr, "usage: make_art bitmap|mask|icon IN.art OUT\n");
        return 2;
    }
    const std::string what = argv[1];
    Art art;
    if (!readArt(argv[2], &art)) return 1;
    std::string data;
    if (what == "bitmap")
        data = bitmapFile(art, false);
    else if (what == "mask")
        data = bitmapFile(art, true);
    else if (what == "icon")
        data = iconFile(art);
    else {
        std::fprintf(stderr, "make_art: unknown output kind '%s'\n", what.c_str());
        return 2;
    }
    std::ofstream out(argv[3], std::ios::binary);
    out.write(data.data(), static_cast<std::streamsize>(data.size()));
    out.close();
    if (!out) {
        std::fprintf(stderr, "make_art: cannot write %s\n", argv[3]);
        return 1;
    }
    return 0;
}
