// Every control on one window, laid out as the program's main window and
// About dialog are. Checks that each control lies inside its parent; with
// QUOLM_SHOWCASE_SECONDS set it stays on screen that long (for screenshots).
#include <gtest/gtest.h>
#include <windows.h>
#include <zlib.h>

#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "Application.h"
#include "ComCtrls.h"
#include "ExtCtrls.h"
#include "Forms.h"
#include "Grids.h"
#include "Menus.h"
#include "StdCtrls.h"

using namespace tk;

namespace {

// A gradient logo, encoded with zlib.
std::vector<std::uint8_t> LogoPng(int w, int h) {
    using Bytes = std::vector<std::uint8_t>;
    auto put32 = [](Bytes& b, std::uint32_t v) {
        for (int s = 24; s >= 0; s -= 8) b.push_back(static_cast<std::uint8_t>(v >> s));
    };
    auto chunk = [&](Bytes& out, const char* type, const Bytes& body) {
        put32(out, static_cast<std::uint32_t>(body.size()));
        Bytes tb(type, type + 4);
        tb.insert(tb.end(), body.begin(), body.end());
        out.insert(out.end(), tb.begin(), tb.end());
        put32(out, static_cast<std::uint32_t>(crc32(0L, tb.data(), static_cast<uInt>(tb.size()))));
    };
    Bytes raw;
    for (int y = 0; y < h; ++y) {
        raw.push_back(0);
        for (int x = 0; x < w; ++x) {
            bool ring = (x - w / 4) * (x - w / 4) + (y - h / 2) * (y - h / 2) < (h * h) / 5;
            raw.push_back(static_cast<std::uint8_t>(ring ? 20 : 255 * x / w));
            raw.push_back(static_cast<std::uint8_t>(ring ? 60 : 120));
            raw.push_back(static_cast<std::uint8_t>(ring ? 160 : 255 - 255 * y / h));
            raw.push_back(static_cast<std::uint8_t>(ring ? 255 : 200));
        }
    }
    uLongf n = compressBound(static_cast<uLong>(raw.size()));
    Bytes z(n);
    compress(z.data(), &n, raw.data(), static_cast<uLong>(raw.size()));
    z.resize(n);
    Bytes ihdr;
    put32(ihdr, static_cast<std::uint32_t>(w));
    put32(ihdr, static_cast<std::uint32_t>(h));
    ihdr.insert(ihdr.end(), {8, 6, 0, 0, 0});
    Bytes out = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
    chunk(out, "IHDR", ihdr);
    chunk(out, "IDAT", z);
    chunk(out, "IEND", {});
    return out;
}

template <class T>
T* Add(TWinControl* parent, int l, int t, int w, int h) {
    auto* c = new T(parent->Owner() ? parent->Owner() : parent);
    c->SetParent(parent);
    c->SetBounds(l, t, w, h);
    return c;
}

void ExpectInside(TWinControl* c) {
    for (int i = 0; i < c->ControlCount(); ++i) {
        TWinControl* k = c->Controls(i);
        if (!k->Visible()) continue;
        RECT r;
        GetWindowRect(k->Handle(), &r);
        MapWindowPoints(nullptr, c->Handle(), reinterpret_cast<POINT*>(&r), 2);
        RECT client;
        GetClientRect(c->Handle(), &client);
        EXPECT_GE(r.left, 0) << "child " << i;
        EXPECT_GE(r.top, 0) << "child " << i;
        EXPECT_LE(r.right, client.right) << "child " << i;
        EXPECT_LE(r.bottom, client.bottom) << "child " << i;
        ExpectInside(k);
    }
}

}  // namespace

TEST(Showcase, MainWindowAndAboutDialogLayout) {
    auto form = std::make_unique<TForm>(nullptr);
    TForm* f = form.get();
    f->SetCaption(L"Quolm-Portwright 1.0.0");
    f->SetClientWidth(621);
    f->SetClientHeight(374);
    f->SetLeft(20);
    f->SetTop(20);

    auto* menu = new TMainMenu(f);
    auto item = [&](TMenuItem* parent, const wchar_t* caption) {
        auto* i = new TMenuItem(f);
        i->SetCaption(caption);
        parent->Add(i);
        return i;
    };
    TMenuItem* file = item(menu->Items(), L"File");
    item(file, L"Load Data");
    item(file, L"-");
    item(file, L"Exit");
    TMenuItem* option = item(menu->Items(), L"Option");
    item(option, L"COM Config");
    item(menu->Items(), L"About");
    f->SetMenu(menu);

    auto* panel = Add<TPanel>(f, 0, 0, 621, 33);
    panel->SetAlign(alTop);
    auto* l1 = Add<TLabel>(panel, 5, 8, 0, 0);
    l1->SetCaption(L"COM PORT");
    auto* box = Add<TComboBox>(panel, 64, 5, 65, 21);
    box->SetStyle(csDropDownList);
    box->Items().Add(L"COM1");
    box->Items().Add(L"COM3");
    box->SetItemIndex(0);
    auto* chk = Add<TCheckBox>(panel, 137, 5, 107, 17);
    chk->SetCaption(L"Always connected");
    auto* param = Add<TLabel>(panel, 247, 8, 0, 0);
    param->SetCaption(L"9600 bps / Non  Parity /  8 Data bit / 1 Stop bit / Flow Control= None");

    auto* grid = Add<TStringGrid>(f, 0, 32, 621, 154);
    grid->SetAnchors({akLeft, akTop, akRight});
    grid->SetColCount(4);
    grid->SetRowCount(12);
    grid->SetFixedRows(0);
    grid->SetScrollBars(ssVertical);
    const wchar_t* head[] = {L"No.", L"Type", L"Function", L"Command Data"};
    for (int c = 0; c < 4; ++c) grid->SetCells(c, 0, head[c]);
    for (int r = 0; r < 12; ++r) grid->SetRowHeights(r, 18);
    const wchar_t* types[] = {L"ASCII", L"ASCII+CR", L"ASCII+CRLF", L"HEX"};
    for (int r = 1; r < 12; ++r) {
        grid->SetCells(0, r, std::to_wstring(r));
        grid->SetCells(1, r, types[r % 4]);
        grid->SetCells(2, r, L"Function " + std::to_wstring(r));
        grid->SetCells(3, r, r % 4 == 3 ? L"01 02 0A FF" : L"AT+GMR");
    }
    const int widths[] = {30, 70, 180, 317};
    for (int c = 0; c < 4; ++c) grid->SetColWidths(c, widths[c]);
    grid->SetRow(2);

    auto* list = Add<TListBox>(f, 295, 97, 298, 55);
    list->SetVisible(false);
    auto* l2 = Add<TLabel>(f, 5, 192, 0, 0);
    l2->SetCaption(L"Tx/Rx Data");
    auto* re = Add<TRichEdit>(f, 0, 211, 621, 145);
    re->SetAnchors({akLeft, akTop, akRight, akBottom});
    re->Font().SetColor(clNavy);
    re->Font().SetCharset(THAI_CHARSET);
    re->SetScrollBars(ssBoth);
    auto* sb = Add<TStatusBar>(f, 0, 0, 621, 19);
    sb->Panels().Add().SetWidth(50);
    sb->Panels()[0].SetText(L"Enable data editing. Double click to send data");
    f->Show();
    re->Lines().Clear();
    re->SelAttributes().SetColor(clRed);
    re->Lines().Add(L"ATZ<CR>");
    re->SelAttributes().SetColor(clNavy);
    re->SetSelText(L"OK\rreceived text in navy\r");
    re->SelAttributes().SetColor(clRed);
    re->Lines().Add(L"01 02 0A FF");
    re->SelAttributes().SetColor(clNavy);

    auto about = std::make_unique<TForm>(f);
    about->SetBorderStyle(bsToolWindow);
    about->SetCaption(L"About");
    about->SetClientWidth(332);
    about->SetClientHeight(107);
    about->SetLeft(f->Left() + f->Width() / 2 - about->Width() / 2);
    about->SetTop(f->Top() + f->Height() + 30);
    auto* img = Add<TImage>(about.get(), 8, 8, 146, 57);
    img->SetStretch(true);
    auto png = LogoPng(146, 57);
    img->Picture().LoadFromMemory(png.data(), png.size());
    auto* link = Add<TLabel>(about.get(), 8, 78, 146, 14);
    link->Font().SetColor(clNavy);
    link->Font().SetHeight(-12);
    link->SetCursor(crHandPoint);
    link->SetCaption(L"https://example.org/");
    auto* ok = Add<TButton>(about.get(), 251, 74, 75, 25);
    ok->SetCaption(L"OK");
    ok->SetModalResult(mrOk);
    auto* memo = Add<TMemo>(about.get(), 160, 8, 166, 57);
    memo->Lines().Clear();
    memo->Lines().Add(L"Quolm Portwright \r\nVersion 1.0.0");
    about->Show();

    Application().ProcessMessages();
    ExpectInside(f);
    ExpectInside(about.get());
    EXPECT_EQ(sb->Top() + sb->Height(), f->ClientHeight());

    if (const char* hold = std::getenv("QUOLM_SHOWCASE_SECONDS")) {
        DWORD end = GetTickCount() + static_cast<DWORD>(std::atoi(hold)) * 1000u;
        while (static_cast<int>(end - GetTickCount()) > 0) {
            Application().ProcessMessages();
            Sleep(20);
        }
    }
}
