#include "PngImage.h"

#include <zlib.h>

#include <algorithm>
#include <array>
#include <cstring>

namespace tk {

namespace {

[[noreturn]] void Fail(const wchar_t* what) { throw EInvalidGraphic(std::wstring(L"Invalid PNG image: ") + what); }

std::uint32_t Be32(const std::uint8_t* p) {
    return (std::uint32_t{p[0]} << 24) | (std::uint32_t{p[1]} << 16) | (std::uint32_t{p[2]} << 8) | p[3];
}

struct Header {
    std::uint32_t width = 0, height = 0;
    int depth = 0, colorType = 0, interlace = 0;
    int Channels() const {
        switch (colorType) {
            case 0: return 1;
            case 2: return 3;
            case 3: return 1;
            case 4: return 2;
            default: return 4;
        }
    }
    int BitsPerPixel() const { return Channels() * depth; }
    // Bytes of one filtered row of `w` pixels, without the filter byte.
    std::size_t RowBytes(std::uint32_t w) const { return (std::size_t{w} * BitsPerPixel() + 7) / 8; }
};

struct Pass {
    int x0, y0, dx, dy;
};
constexpr std::array<Pass, 7> kAdam7{{{0, 0, 8, 8}, {4, 0, 8, 8}, {0, 4, 4, 8}, {2, 0, 4, 4}, {0, 2, 2, 4},
                                      {1, 0, 2, 2}, {0, 1, 1, 2}}};
constexpr Pass kWhole{0, 0, 1, 1};

std::uint32_t PassSize(std::uint32_t full, int start, int step) {
    return full > static_cast<std::uint32_t>(start) ? (full - start + step - 1) / step : 0;
}

std::uint8_t Paeth(int a, int b, int c) {
    int p = a + b - c, pa = std::abs(p - a), pb = std::abs(p - b), pc = std::abs(p - c);
    if (pa <= pb && pa <= pc) return static_cast<std::uint8_t>(a);
    return static_cast<std::uint8_t>(pb <= pc ? b : c);
}

void Unfilter(std::uint8_t* row, const std::uint8_t* prev, std::size_t n, std::size_t bpp, int filter) {
    switch (filter) {
        case 0: break;
        case 1:
            for (std::size_t i = bpp; i < n; ++i) row[i] = static_cast<std::uint8_t>(row[i] + row[i - bpp]);
            break;
        case 2:
            for (std::size_t i = 0; i < n; ++i) row[i] = static_cast<std::uint8_t>(row[i] + prev[i]);
            break;
        case 3:
            for (std::size_t i = 0; i < n; ++i) {
                int left = i >= bpp ? row[i - bpp] : 0;
                row[i] = static_cast<std::uint8_t>(row[i] + ((left + prev[i]) >> 1));
            }
            break;
        case 4:
            for (std::size_t i = 0; i < n; ++i) {
                int left = i >= bpp ? row[i - bpp] : 0;
                int upLeft = i >= bpp ? prev[i - bpp] : 0;
                row[i] = static_cast<std::uint8_t>(row[i] + Paeth(left, prev[i], upLeft));
            }
            break;
        default: Fail(L"unknown row filter");
    }
}

// Sample `index` of a row, as stored (up to 16 bits).
unsigned Sample(const std::uint8_t* row, std::size_t index, int depth) {
    switch (depth) {
        case 8: return row[index];
        case 16: return (unsigned{row[2 * index]} << 8) | row[2 * index + 1];
        default: {
            std::size_t bit = index * static_cast<std::size_t>(depth);
            unsigned byte = row[bit / 8];
            unsigned shift = 8 - static_cast<unsigned>(depth) - static_cast<unsigned>(bit % 8);
            return (byte >> shift) & ((1u << depth) - 1);
        }
    }
}

}  // namespace

TPngData DecodePng(const std::uint8_t* data, std::size_t size) {
    static const std::uint8_t kSignature[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
    if (!data || size < 8 || std::memcmp(data, kSignature, 8) != 0) Fail(L"no PNG signature");

    Header h;
    bool haveHeader = false, haveEnd = false;
    std::array<std::uint32_t, 256> palette{};
    std::size_t paletteSize = 0;
    bool haveKey = false;
    unsigned keyR = 0, keyG = 0, keyB = 0;
    bool transparentPalette = false;
    std::vector<std::uint8_t> compressed;

    std::size_t pos = 8;
    while (!haveEnd) {
        if (size - pos < 12) Fail(L"truncated chunk");
        std::uint32_t len = Be32(data + pos);
        if (len > 0x7FFFFFFFu || len > size - pos - 12) Fail(L"chunk length out of range");
        const std::uint8_t* type = data + pos + 4;
        const std::uint8_t* body = type + 4;
        std::uint32_t crc = static_cast<std::uint32_t>(crc32(0L, type, len + 4));
        if (crc != Be32(body + len)) Fail(L"CRC error");
        pos += 12 + std::size_t{len};

        if (!haveHeader && std::memcmp(type, "IHDR", 4) != 0) Fail(L"IHDR is not the first chunk");
        if (std::memcmp(type, "IHDR", 4) == 0) {
            if (haveHeader || len != 13) Fail(L"bad IHDR");
            h.width = Be32(body);
            h.height = Be32(body + 4);
            h.depth = body[8];
            h.colorType = body[9];
            h.interlace = body[12];
            if (body[10] != 0 || body[11] != 0 || h.interlace > 1) Fail(L"unknown compression, filter or interlace");
            if (h.width == 0 || h.height == 0 || h.width > kPngMaxSide || h.height > kPngMaxSide ||
                std::uint64_t{h.width} * h.height > kPngMaxPixels)
                Fail(L"image size out of range");
            bool ok = false;
            switch (h.colorType) {
                case 0: ok = h.depth == 1 || h.depth == 2 || h.depth == 4 || h.depth == 8 || h.depth == 16; break;
                case 3: ok = h.depth == 1 || h.depth == 2 || h.depth == 4 || h.depth == 8; break;
                case 2:
                case 4:
                case 6: ok = h.depth == 8 || h.depth == 16; break;
                default: break;
            }
            if (!ok) Fail(L"unsupported colour type or bit depth");
            haveHeader = true;
        } else if (std::memcmp(type, "PLTE", 4) == 0) {
            if (len % 3 != 0 || len / 3 > 256 || len == 0 || !compressed.empty()) Fail(L"bad palette");
            paletteSize = len / 3;
            for (std::size_t i = 0; i < paletteSize; ++i)
                palette[i] = 0xFF000000u | (std::uint32_t{body[3 * i]} << 16) | (std::uint32_t{body[3 * i + 1]} << 8) |
                             body[3 * i + 2];
        } else if (std::memcmp(type, "tRNS", 4) == 0) {
            if (h.colorType == 3) {
                if (len > paletteSize) Fail(L"bad transparency");
                for (std::size_t i = 0; i < len; ++i)
                    palette[i] = (palette[i] & 0x00FFFFFFu) | (std::uint32_t{body[i]} << 24);
                transparentPalette = len > 0;
            } else if (h.colorType == 0 && len == 2) {
                haveKey = true;
                keyR = keyG = keyB = (unsigned{body[0]} << 8) | body[1];
            } else if (h.colorType == 2 && len == 6) {
                haveKey = true;
                keyR = (unsigned{body[0]} << 8) | body[1];
                keyG = (unsigned{body[2]} << 8) | body[3];
                keyB = (unsigned{body[4]} << 8) | body[5];
            } else {
                Fail(L"bad transparency");
            }
        } else if (std::memcmp(type, "IDAT", 4) == 0) {
            compressed.insert(compressed.end(), body, body + len);
        } else if (std::memcmp(type, "IEND", 4) == 0) {
            haveEnd = true;
        } else if (!(type[0] & 0x20)) {
            Fail(L"unknown critical chunk");
        }
    }
    if (compressed.empty()) Fail(L"no image data");
    if (h.colorType == 3 && paletteSize == 0) Fail(L"missing palette");

    // Size of the inflated data: every pass, one filter byte per row.
    const bool interlaced = h.interlace == 1;
    std::size_t rawSize = 0;
    for (int p = 0; p < (interlaced ? 7 : 1); ++p) {
        const Pass& ps = interlaced ? kAdam7[p] : kWhole;
        std::uint32_t pw = PassSize(h.width, ps.x0, ps.dx), ph = PassSize(h.height, ps.y0, ps.dy);
        if (pw && ph) rawSize += std::size_t{ph} * (1 + h.RowBytes(pw));
    }
    std::vector<std::uint8_t> raw(rawSize);
    if (compressed.size() > 0xFFFFFFFFu || raw.size() > 0xFFFFFFFFu) Fail(L"image data too large");
    z_stream zs = {};
    if (inflateInit(&zs) != Z_OK) Fail(L"zlib initialisation failed");
    zs.next_in = compressed.data();
    zs.avail_in = static_cast<uInt>(compressed.size());
    zs.next_out = raw.data();
    zs.avail_out = static_cast<uInt>(raw.size());
    // Exactly the expected amount, then the end of the stream: more data
    // (no room left) or less (input ends early) are both errors.
    int rc = inflate(&zs, Z_FINISH);
    uInt left = zs.avail_out;
    inflateEnd(&zs);
    if (rc != Z_STREAM_END) Fail(L"corrupt image data");
    if (left != 0) Fail(L"image data too short");

    TPngData out;
    out.Width = static_cast<int>(h.width);
    out.Height = static_cast<int>(h.height);
    out.Pixels.assign(std::size_t{h.width} * h.height, 0);
    const std::size_t bpp = std::max(1, h.BitsPerPixel() / 8);
    const int maxSample = (1 << h.depth) - 1;
    auto scale = [&](unsigned v) -> std::uint32_t {
        if (h.depth == 16) return v >> 8;
        if (h.depth == 8) return v;
        return v * 255u / static_cast<unsigned>(maxSample);
    };

    std::size_t off = 0;
    for (int p = 0; p < (interlaced ? 7 : 1); ++p) {
        const Pass& ps = interlaced ? kAdam7[p] : kWhole;
        std::uint32_t pw = PassSize(h.width, ps.x0, ps.dx), ph = PassSize(h.height, ps.y0, ps.dy);
        if (!pw || !ph) continue;
        const std::size_t rowBytes = h.RowBytes(pw);
        std::vector<std::uint8_t> zero(rowBytes, 0);
        const std::uint8_t* prev = zero.data();
        for (std::uint32_t y = 0; y < ph; ++y) {
            int filter = raw[off];
            std::uint8_t* row = raw.data() + off + 1;
            Unfilter(row, prev, rowBytes, bpp, filter);
            prev = row;
            off += 1 + rowBytes;
            std::uint32_t* dst = out.Pixels.data() + std::size_t{ps.y0 + y * ps.dy} * h.width;
            for (std::uint32_t x = 0; x < pw; ++x) {
                std::uint32_t px;
                switch (h.colorType) {
                    case 0: {
                        unsigned g = Sample(row, x, h.depth);
                        std::uint32_t v = scale(g);
                        std::uint32_t a = haveKey && g == keyR ? 0 : 0xFF;
                        px = (a << 24) | (v << 16) | (v << 8) | v;
                        break;
                    }
                    case 2: {
                        unsigned r = Sample(row, 3 * x, h.depth), g = Sample(row, 3 * x + 1, h.depth),
                                 b = Sample(row, 3 * x + 2, h.depth);
                        std::uint32_t a = haveKey && r == keyR && g == keyG && b == keyB ? 0 : 0xFF;
                        px = (a << 24) | (scale(r) << 16) | (scale(g) << 8) | scale(b);
                        break;
                    }
                    case 3: {
                        unsigned i = Sample(row, x, h.depth);
                        if (i >= paletteSize) Fail(L"palette index out of range");
                        px = palette[i];
                        break;
                    }
                    case 4: {
                        std::uint32_t v = scale(Sample(row, 2 * x, h.depth)), a = scale(Sample(row, 2 * x + 1, h.depth));
                        px = (a << 24) | (v << 16) | (v << 8) | v;
                        break;
                    }
                    default: {
                        std::uint32_t r = scale(Sample(row, 4 * x, h.depth)), g = scale(Sample(row, 4 * x + 1, h.depth)),
                                      b = scale(Sample(row, 4 * x + 2, h.depth)),
                                      a = scale(Sample(row, 4 * x + 3, h.depth));
                        px = (a << 24) | (r << 16) | (g << 8) | b;
                        break;
                    }
                }
                dst[ps.x0 + x * ps.dx] = px;
            }
        }
    }
    out.HasAlpha = h.colorType == 4 || h.colorType == 6 || haveKey || transparentPalette;
    return out;
}

}  // namespace tk

#ifdef _WIN32

#include "SysUtils.h"

namespace tk {

void TPngImage::LoadFromMemory(const void* data, std::size_t size) {
    data_ = DecodePng(static_cast<const std::uint8_t*>(data), size);
    Changed();
}

void TPngImage::LoadFromFile(const std::wstring& fileName) {
    HANDLE f = CreateFileW(fileName.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    if (f == INVALID_HANDLE_VALUE) {
        DWORD err = GetLastError();
        throw EFOpenError(Format(L"Cannot open file \"%s\". %s", {ExpandFileName(fileName), SysErrorMessage(err)}));
    }
    std::vector<std::uint8_t> bytes;
    LARGE_INTEGER sz{};
    bool ok = GetFileSizeEx(f, &sz) && sz.QuadPart >= 0 && sz.QuadPart < (64 << 20);
    if (ok) {
        bytes.resize(static_cast<std::size_t>(sz.QuadPart));
        DWORD got = 0;
        ok = bytes.empty() || (ReadFile(f, bytes.data(), static_cast<DWORD>(bytes.size()), &got, nullptr) &&
                               got == bytes.size());
    }
    CloseHandle(f);
    if (!ok) throw EInvalidGraphic(L"Invalid PNG image: cannot read the file");
    LoadFromMemory(bytes.data(), bytes.size());
}

void TPngImage::LoadFromResourceName(HINSTANCE instance, const std::wstring& name) {
    HRSRC res = FindResourceW(instance, name.c_str(), MAKEINTRESOURCEW(10) /* RT_RCDATA */);
    if (!res) throw EInvalidGraphic(Format(L"Resource %s not found", {name}));
    HGLOBAL mem = LoadResource(instance, res);
    const void* p = mem ? LockResource(mem) : nullptr;
    if (!p) throw EInvalidGraphic(Format(L"Resource %s not found", {name}));
    LoadFromMemory(p, SizeofResource(instance, res));
}

void TPngImage::Clear() {
    data_ = TPngData{};
    Changed();
}

void TPngImage::Changed() {
    if (onChange_) onChange_(this);
}

void TPngImage::Draw(HDC dc, const RECT& dest, COLORREF background) const {
    if (Empty()) return;
    // Blend over the background here: StretchDIBits has no alpha.
    std::vector<std::uint32_t> px(data_.Pixels);
    if (data_.HasAlpha) {
        const std::uint32_t br = GetRValue(background), bg = GetGValue(background), bb = GetBValue(background);
        for (std::uint32_t& p : px) {
            std::uint32_t a = p >> 24, r = (p >> 16) & 0xFF, g = (p >> 8) & 0xFF, b = p & 0xFF;
            r = (r * a + br * (255 - a)) / 255;
            g = (g * a + bg * (255 - a)) / 255;
            b = (b * a + bb * (255 - a)) / 255;
            p = 0xFF000000u | (r << 16) | (g << 8) | b;
        }
    }
    BITMAPINFO bi = {};
    bi.bmiHeader.biSize = sizeof(bi.bmiHeader);
    bi.bmiHeader.biWidth = data_.Width;
    bi.bmiHeader.biHeight = -data_.Height;  // top-down
    bi.bmiHeader.biPlanes = 1;
    bi.bmiHeader.biBitCount = 32;
    bi.bmiHeader.biCompression = BI_RGB;
    int oldMode = SetStretchBltMode(dc, HALFTONE);
    SetBrushOrgEx(dc, 0, 0, nullptr);
    StretchDIBits(dc, dest.left, dest.top, dest.right - dest.left, dest.bottom - dest.top, 0, 0, data_.Width,
                  data_.Height, px.data(), &bi, DIB_RGB_COLORS, SRCCOPY);
    SetStretchBltMode(dc, oldMode);
}

}  // namespace tk
#endif
