// PNG pictures: a decoder (portable, bounded on every length, CRC checked)
// and, on Windows, a picture object that draws itself into a DC.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "SysUtils.h"

namespace tk {

class EInvalidGraphic : public Exception {
public:
    using Exception::Exception;
};

// A decoded picture: top-down rows of 32-bit pixels 0xAARRGGBB (straight
// alpha), which is the memory layout of a 32-bit DIB.
struct TPngData {
    int Width = 0;
    int Height = 0;
    bool HasAlpha = false;
    std::vector<std::uint32_t> Pixels;
};

// Limits that keep a hostile file from asking for huge memory.
constexpr int kPngMaxSide = 16384;
constexpr std::uint64_t kPngMaxPixels = 16u * 1024u * 1024u;

// Decodes every standard colour type and bit depth, interlaced or not.
// Raises EInvalidGraphic for anything malformed.
TPngData DecodePng(const std::uint8_t* data, std::size_t size);

}  // namespace tk

#ifdef _WIN32
#include <windows.h>

#include "Method.h"

namespace tk {

class TPngImage : public TObject {
public:
    void LoadFromMemory(const void* data, std::size_t size);
    void LoadFromFile(const std::wstring& fileName);
    // A resource of type RT_RCDATA.
    void LoadFromResourceName(HINSTANCE instance, const std::wstring& name);
    void Clear();

    bool Empty() const { return data_.Pixels.empty(); }
    int Width() const { return data_.Width; }
    int Height() const { return data_.Height; }
    const TPngData& Data() const { return data_; }

    // Draws the picture scaled into dest, blended over the background colour.
    void Draw(HDC dc, const RECT& dest, COLORREF background) const;

    TNotifyEvent OnChange() const { return onChange_; }
    void SetOnChange(TNotifyEvent e) { onChange_ = e; }

private:
    void Changed();
    TPngData data_;
    TNotifyEvent onChange_;
};

}  // namespace tk
#endif
