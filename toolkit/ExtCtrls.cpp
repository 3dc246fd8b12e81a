#include "ExtCtrls.h"

namespace tk {

TPanel::TPanel(TComponent* owner) : TCustomControl(owner) {
    SetDefaultColor(clBtnFace, true);
    SetBoundsInternal(0, 0, 185, 41);
}

void TPanel::SetBevelOuter(TBevelCut value) {
    bevelOuter_ = value;
    Invalidate();
}

void TPanel::Resize() {
    TCustomControl::Resize();
    Invalidate();
    if (onResize_) onResize_(this);
}

void TPanel::Paint(HDC dc, const RECT& client) {
    RECT r = client;
    if (bevelOuter_ != bvNone)
        DrawEdge(dc, &r, bevelOuter_ == bvRaised ? BDR_RAISEDINNER : BDR_SUNKENOUTER, BF_RECT | BF_ADJUST);
    std::wstring t = Text();
    if (!t.empty()) {
        TSelectObject sel(dc, Font().Handle());
        SetBkMode(dc, TRANSPARENT);
        SetTextColor(dc, ColorToRGB(Font().Color()));
        DrawTextW(dc, t.c_str(), static_cast<int>(t.size()), &r, DT_CENTER | DT_VCENTER | DT_SINGLELINE);
    }
}

TImage::TImage(TComponent* owner) : TCustomControl(owner) {
    SetDefaultColor(clBtnFace, true);
    SetBoundsInternal(0, 0, 105, 105);
    clickOnMouseUp_ = true;
    picture_.SetOnChange(TNotifyEvent(this, &TImage::PictureChanged));
}

void TImage::SetStretch(bool value) {
    stretch_ = value;
    Invalidate();
}

void TImage::SetCenter(bool value) {
    center_ = value;
    Invalidate();
}

void TImage::SetProportional(bool value) {
    proportional_ = value;
    Invalidate();
}

RECT TImage::DestRect() const {
    int cw = Width(), ch = Height();
    if (HandleAllocated()) {
        RECT c = ClientRect();
        cw = c.right;
        ch = c.bottom;
    }
    int w = picture_.Width(), h = picture_.Height();
    if (stretch_ && w > 0 && h > 0) {
        if (!proportional_) return RECT{0, 0, cw, ch};
        // Fit inside, keeping the ratio.
        if (static_cast<long long>(cw) * h <= static_cast<long long>(ch) * w) {
            h = static_cast<int>(static_cast<long long>(h) * cw / w);
            w = cw;
        } else {
            w = static_cast<int>(static_cast<long long>(w) * ch / h);
            h = ch;
        }
    }
    int x = 0, y = 0;
    if (center_ || (stretch_ && proportional_)) {
        x = (cw - w) / 2;
        y = (ch - h) / 2;
    }
    return RECT{x, y, x + w, y + h};
}

void TImage::Paint(HDC dc, const RECT&) {
    if (picture_.Empty()) return;
    picture_.Draw(dc, DestRect(), ColorToRGB(Color()));
}

}  // namespace tk
