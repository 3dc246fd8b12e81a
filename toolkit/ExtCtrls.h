// Panels and pictures.
#pragma once

#include "Controls.h"
#include "PngImage.h"

namespace tk {

enum TBevelCut { bvNone, bvLowered, bvRaised };

class TPanel : public TCustomControl {
public:
    explicit TPanel(TComponent* owner);
    TBevelCut BevelOuter() const { return bevelOuter_; }
    void SetBevelOuter(TBevelCut value);
    TNotifyEvent OnResize() const { return onResize_; }
    void SetOnResize(TNotifyEvent e) { onResize_ = e; }

protected:
    void Paint(HDC dc, const RECT& client) override;
    void Resize() override;
    void TextChanged() override { Invalidate(); }

private:
    TBevelCut bevelOuter_ = bvRaised;
    TNotifyEvent onResize_;
};

// Shows a PNG picture: at its own size, centred, or stretched to fit.
class TImage : public TCustomControl {
public:
    explicit TImage(TComponent* owner);
    TPngImage& Picture() { return picture_; }
    bool Stretch() const { return stretch_; }
    void SetStretch(bool value);
    bool Center() const { return center_; }
    void SetCenter(bool value);
    // With Stretch: keep the picture's aspect ratio.
    bool Proportional() const { return proportional_; }
    void SetProportional(bool value);
    // The rectangle the picture is drawn in.
    RECT DestRect() const;

protected:
    void Paint(HDC dc, const RECT& client) override;

private:
    void PictureChanged(TObject*) { Invalidate(); }
    TPngImage picture_;
    bool stretch_ = false;
    bool center_ = false;
    bool proportional_ = false;
};

}  // namespace tk
