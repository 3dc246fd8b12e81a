// PNG decoding: every colour type, filters, interlacing, and malformed files.
#include <gtest/gtest.h>
#include <zlib.h>

#include <cstdint>
#include <string>
#include <vector>

#include "PngImage.h"

using tk::DecodePng;
using tk::EInvalidGraphic;

namespace {

using Bytes = std::vector<std::uint8_t>;

void Put32(Bytes& b, std::uint32_t v) {
    b.push_back(static_cast<std::uint8_t>(v >> 24));
    b.push_back(static_cast<std::uint8_t>(v >> 16));
    b.push_back(static_cast<std::uint8_t>(v >> 8));
    b.push_back(static_cast<std::uint8_t>(v));
}

void Chunk(Bytes& out, const char* type, const Bytes& body) {
    Put32(out, static_cast<std::uint32_t>(body.size()));
    Bytes tb(type, type + 4);
    tb.insert(tb.end(), body.begin(), body.end());
    out.insert(out.end(), tb.begin(), tb.end());
    Put32(out, static_cast<std::uint32_t>(crc32(0L, tb.data(), static_cast<uInt>(tb.size()))));
}

Bytes Compress(const Bytes& raw) {
    uLongf n = compressBound(static_cast<uLong>(raw.size()));
    Bytes z(n);
    EXPECT_EQ(compress(z.data(), &n, raw.data(), static_cast<uLong>(raw.size())), Z_OK);
    z.resize(n);
    return z;
}

Bytes Ihdr(std::uint32_t w, std::uint32_t h, int depth, int colorType, int interlace = 0) {
    Bytes b;
    Put32(b, w);
    Put32(b, h);
    b.push_back(static_cast<std::uint8_t>(depth));
    b.push_back(static_cast<std::uint8_t>(colorType));
    b.push_back(0);
    b.push_back(0);
    b.push_back(static_cast<std::uint8_t>(interlace));
    return b;
}

// A whole file from its header fields and the raw (filtered) scan lines.
Bytes Png(const Bytes& ihdr, const Bytes& raw, const Bytes& plte = {}, const Bytes& trns = {}) {
    Bytes out = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
    Chunk(out, "IHDR", ihdr);
    if (!plte.empty()) Chunk(out, "PLTE", plte);
    if (!trns.empty()) Chunk(out, "tRNS", trns);
    Chunk(out, "IDAT", Compress(raw));
    Chunk(out, "IEND", {});
    return out;
}

tk::TPngData Decode(const Bytes& b) { return DecodePng(b.data(), b.size()); }

// 2x2 RGB: red, green / blue, white.
Bytes Rgb2x2(int filter0 = 0, int filter1 = 0) {
    Bytes raw = {static_cast<std::uint8_t>(filter0), 255, 0, 0, 0, 255, 0,
                 static_cast<std::uint8_t>(filter1), 0, 0, 255, 255, 255, 255};
    return raw;
}

}  // namespace

TEST(PngDecode, ColourTypesAtEightBits) {
    auto rgb = Decode(Png(Ihdr(2, 2, 8, 2), Rgb2x2()));
    ASSERT_EQ(rgb.Width, 2);
    ASSERT_EQ(rgb.Height, 2);
    EXPECT_FALSE(rgb.HasAlpha);
    EXPECT_EQ(rgb.Pixels, (std::vector<std::uint32_t>{0xFFFF0000, 0xFF00FF00, 0xFF0000FF, 0xFFFFFFFF}));

    Bytes rawRgba = {0, 10, 20, 30, 128, 1, 2, 3, 0};
    auto rgba = Decode(Png(Ihdr(2, 1, 8, 6), rawRgba));
    EXPECT_TRUE(rgba.HasAlpha);
    EXPECT_EQ(rgba.Pixels, (std::vector<std::uint32_t>{0x800A141E, 0x00010203}));

    Bytes rawGrey = {0, 0, 128, 255};
    auto grey = Decode(Png(Ihdr(3, 1, 8, 0), rawGrey));
    EXPECT_EQ(grey.Pixels, (std::vector<std::uint32_t>{0xFF000000, 0xFF808080, 0xFFFFFFFF}));

    Bytes rawGreyAlpha = {0, 200, 100};
    auto ga = Decode(Png(Ihdr(1, 1, 8, 4), rawGreyAlpha));
    EXPECT_EQ(ga.Pixels, (std::vector<std::uint32_t>{0x64C8C8C8}));

    Bytes plte = {255, 0, 0, 0, 0, 255};
    Bytes rawPal = {0, 1, 0};
    auto pal = Decode(Png(Ihdr(2, 1, 8, 3), rawPal, plte, Bytes{0x40}));
    EXPECT_EQ(pal.Pixels, (std::vector<std::uint32_t>{0xFF0000FF, 0x40FF0000}));
    EXPECT_TRUE(pal.HasAlpha);
}

TEST(PngDecode, LowAndHighBitDepths) {
    // 1-bit grey, 10 pixels: 1010101011 -> packed MSB first.
    Bytes raw1 = {0, 0xAA, 0xC0};
    auto g1 = Decode(Png(Ihdr(10, 1, 1, 0), raw1));
    ASSERT_EQ(g1.Pixels.size(), 10u);
    EXPECT_EQ(g1.Pixels[0], 0xFFFFFFFFu);
    EXPECT_EQ(g1.Pixels[1], 0xFF000000u);
    EXPECT_EQ(g1.Pixels[9], 0xFFFFFFFFu);

    // 2-bit palette of four colours.
    Bytes plte = {0, 0, 0, 10, 10, 10, 20, 20, 20, 30, 30, 30};
    Bytes raw2 = {0, 0x1B};  // indices 0,1,2,3
    auto p2 = Decode(Png(Ihdr(4, 1, 2, 3), raw2, plte));
    EXPECT_EQ(p2.Pixels, (std::vector<std::uint32_t>{0xFF000000, 0xFF0A0A0A, 0xFF141414, 0xFF1E1E1E}));

    // 4-bit grey: 0xF -> 255, 0x5 -> 85.
    auto g4 = Decode(Png(Ihdr(2, 1, 4, 0), Bytes{0, 0xF5}));
    EXPECT_EQ(g4.Pixels, (std::vector<std::uint32_t>{0xFFFFFFFF, 0xFF555555}));

    // 16-bit RGB takes the high byte; the tRNS key compares all 16 bits.
    Bytes raw16 = {0, 0x12, 0x34, 0x56, 0x78, 0x9A, 0xBC, 0x00, 0x01, 0x00, 0x02, 0x00, 0x03};
    auto c16 = Decode(Png(Ihdr(2, 1, 16, 2), raw16, {}, Bytes{0x00, 0x01, 0x00, 0x02, 0x00, 0x03}));
    EXPECT_EQ(c16.Pixels, (std::vector<std::uint32_t>{0xFF12569A, 0x00000000}));
}

TEST(PngDecode, EveryRowFilterGivesTheSamePicture) {
    // Unfiltered reference, then the same picture written with filters 1-4.
    const Bytes plain = {10, 20, 30, 40, 50, 60, 70, 80, 90, 15, 25, 35, 45, 55, 65, 75, 85, 95};
    auto ref = Decode(Png(Ihdr(3, 2, 8, 2), Bytes{0, 10, 20, 30, 40, 50, 60, 70, 80, 90, 0, 15, 25, 35, 45, 55,
                                                  65, 75, 85, 95}));
    auto filterRow = [](const Bytes& cur, const Bytes& prev, int f) {
        Bytes out(cur.size());
        for (std::size_t i = 0; i < cur.size(); ++i) {
            int a = i >= 3 ? cur[i - 3] : 0, b = prev[i], c = i >= 3 ? prev[i - 3] : 0;
            int pred = 0;
            if (f == 1) pred = a;
            if (f == 2) pred = b;
            if (f == 3) pred = (a + b) / 2;
            if (f == 4) {
                int p = a + b - c, pa = std::abs(p - a), pb = std::abs(p - b), pc = std::abs(p - c);
                pred = (pa <= pb && pa <= pc) ? a : (pb <= pc ? b : c);
            }
            out[i] = static_cast<std::uint8_t>(cur[i] - pred);
        }
        return out;
    };
    Bytes row0(plain.begin(), plain.begin() + 9), row1(plain.begin() + 9, plain.end()), zero(9, 0);
    for (int f = 1; f <= 4; ++f) {
        Bytes raw;
        raw.push_back(static_cast<std::uint8_t>(f));
        Bytes r0 = filterRow(row0, zero, f), r1 = filterRow(row1, row0, f);
        raw.insert(raw.end(), r0.begin(), r0.end());
        raw.push_back(static_cast<std::uint8_t>(f));
        raw.insert(raw.end(), r1.begin(), r1.end());
        EXPECT_EQ(Decode(Png(Ihdr(3, 2, 8, 2), raw)).Pixels, ref.Pixels) << "filter " << f;
    }
}

TEST(PngDecode, Adam7InterlacedMatchesPlain) {
    // 5x5 grey with distinct values; interlaced passes built by hand.
    const int w = 5, h = 5;
    auto value = [](int x, int y) { return static_cast<std::uint8_t>(y * 40 + x * 7); };
    Bytes plain;
    for (int y = 0; y < h; ++y) {
        plain.push_back(0);
        for (int x = 0; x < w; ++x) plain.push_back(value(x, y));
    }
    const int passes[7][4] = {{0, 0, 8, 8}, {4, 0, 8, 8}, {0, 4, 4, 8}, {2, 0, 4, 4},
                              {0, 2, 2, 4}, {1, 0, 2, 2}, {0, 1, 1, 2}};
    Bytes inter;
    for (auto& p : passes) {
        for (int y = p[1]; y < h; y += p[3]) {
            Bytes row;
            for (int x = p[0]; x < w; x += p[2]) row.push_back(value(x, y));
            if (row.empty()) continue;
            inter.push_back(0);
            inter.insert(inter.end(), row.begin(), row.end());
        }
    }
    auto a = Decode(Png(Ihdr(w, h, 8, 0), plain));
    auto b = Decode(Png(Ihdr(w, h, 8, 0, 1), inter));
    EXPECT_EQ(a.Pixels, b.Pixels);
}

TEST(PngDecode, MalformedFilesAreRejected) {
    const Bytes good = Png(Ihdr(2, 2, 8, 2), Rgb2x2());
    ASSERT_NO_THROW(Decode(good));

    // Every truncation of a valid file fails cleanly.
    for (std::size_t n = 0; n < good.size(); ++n) {
        Bytes cut(good.begin(), good.begin() + static_cast<std::ptrdiff_t>(n));
        EXPECT_THROW(Decode(cut), EInvalidGraphic) << "length " << n;
    }
    // Any flipped bit in the chunks is caught (CRC, or a checked field).
    for (std::size_t i = 8; i < good.size(); ++i) {
        Bytes bad = good;
        bad[i] ^= 0x04;
        EXPECT_THROW(Decode(bad), EInvalidGraphic) << "byte " << i;
    }
    EXPECT_THROW(DecodePng(nullptr, 0), EInvalidGraphic);

    // Correct CRCs, wrong contents.
    EXPECT_THROW(Decode(Png(Ihdr(0, 2, 8, 2), Rgb2x2())), EInvalidGraphic);         // zero width
    EXPECT_THROW(Decode(Png(Ihdr(100000, 1, 8, 2), Rgb2x2())), EInvalidGraphic);    // too wide
    EXPECT_THROW(Decode(Png(Ihdr(16384, 16384, 8, 2), Rgb2x2())), EInvalidGraphic); // too many pixels
    EXPECT_THROW(Decode(Png(Ihdr(2, 2, 7, 2), Rgb2x2())), EInvalidGraphic);         // bad depth
    EXPECT_THROW(Decode(Png(Ihdr(2, 2, 8, 5), Rgb2x2())), EInvalidGraphic);         // bad colour type
    EXPECT_THROW(Decode(Png(Ihdr(2, 2, 8, 2, 2), Rgb2x2())), EInvalidGraphic);      // bad interlace
    EXPECT_THROW(Decode(Png(Ihdr(2, 2, 8, 2), Rgb2x2(5, 0))), EInvalidGraphic);     // unknown filter
    Bytes shortRaw = Rgb2x2();
    shortRaw.pop_back();
    EXPECT_THROW(Decode(Png(Ihdr(2, 2, 8, 2), shortRaw)), EInvalidGraphic);          // too little data
    Bytes longRaw = Rgb2x2();
    longRaw.push_back(0);
    EXPECT_THROW(Decode(Png(Ihdr(2, 2, 8, 2), longRaw)), EInvalidGraphic);           // too much data
    EXPECT_THROW(Decode(Png(Ihdr(2, 1, 8, 3), Bytes{0, 0, 1})), EInvalidGraphic);    // palette missing
    EXPECT_THROW(Decode(Png(Ihdr(2, 1, 8, 3), Bytes{0, 0, 2}, Bytes{1, 2, 3, 4, 5, 6})),
                 EInvalidGraphic);                                                   // index beyond palette
    EXPECT_THROW(Decode(Png(Ihdr(1, 1, 8, 3), Bytes{0, 0}, Bytes{1, 2, 3}, Bytes{1, 2})),
                 EInvalidGraphic);                                                   // tRNS longer than palette

    // Chunk order and unknown critical chunks.
    Bytes noHeader = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
    Chunk(noHeader, "IEND", {});
    EXPECT_THROW(Decode(noHeader), EInvalidGraphic);
    Bytes critical = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
    Chunk(critical, "IHDR", Ihdr(2, 2, 8, 2));
    Chunk(critical, "ABCD", {1});
    Chunk(critical, "IDAT", Compress(Rgb2x2()));
    Chunk(critical, "IEND", {});
    EXPECT_THROW(Decode(critical), EInvalidGraphic);

    // A chunk length beyond the file, with its bytes otherwise valid.
    Bytes huge = good;
    huge[33] = 0x7F;  // length field of IDAT (8 signature + 25 IHDR)
    EXPECT_THROW(Decode(huge), EInvalidGraphic);
}

TEST(PngDecode, AncillaryChunksAreSkippedAndIdatMaySplit) {
    Bytes raw = Rgb2x2();
    Bytes z = Compress(raw);
    Bytes out = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
    Chunk(out, "IHDR", Ihdr(2, 2, 8, 2));
    Chunk(out, "tEXt", Bytes{'a', 0, 'b'});
    Chunk(out, "IDAT", Bytes(z.begin(), z.begin() + 3));
    Chunk(out, "IDAT", Bytes(z.begin() + 3, z.end()));
    Chunk(out, "IEND", {});
    EXPECT_EQ(Decode(out).Pixels, Decode(Png(Ihdr(2, 2, 8, 2), raw)).Pixels);
}
