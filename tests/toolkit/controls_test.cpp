// Windows and controls under a real window system: forms, anchors and
// alignment, standard controls, menus, status bar, rich edit, and the
// replaceable message handler. Driven with real window messages.
#include <gtest/gtest.h>
#include <windows.h>
#include <windowsx.h>
#include <commctrl.h>
#include <zlib.h>

#include <memory>
#include <string>
#include <vector>

#include "Application.h"
#include "ComCtrls.h"
#include "Dialogs.h"
#include "ExtCtrls.h"
#include "Forms.h"
#include "Menus.h"
#include "StdCtrls.h"

using namespace tk;

namespace {

void Pump() { Application().ProcessMessages(); }

// Catches the application's message boxes (error reports and plain boxes).
class BoxCatcher {
public:
    BoxCatcher() {
        old_ = Application().SetMessageBoxHook(
            [this](HWND, const std::wstring& text, const std::wstring& caption, UINT flags) {
                boxes.push_back({text, caption, flags});
                return IDOK;
            });
    }
    ~BoxCatcher() { Application().SetMessageBoxHook(old_); }
    struct Box {
        std::wstring text, caption;
        UINT flags;
    };
    std::vector<Box> boxes;

private:
    TApplication::MessageBoxFn old_;
};

// Records the events it is bound to.
struct Recorder : TObject {
    std::vector<std::wstring> log;
    TObject* lastSender = nullptr;
    void Notify(TObject* s) {
        lastSender = s;
        log.push_back(L"notify");
    }
    void Throw(TObject*) { throw Exception(L"Handler failed"); }
    void Close(TObject*, TCloseAction& a) {
        log.push_back(L"close");
        a = closeAction;
    }
    void Device(TObject*, TMessage& m) {
        log.push_back(L"device " + std::to_wstring(m.WParam));
        m.Result = TRUE;
    }
    void Mouse(TObject*, TMouseButton b, TShiftState s, int x, int y) {
        log.push_back(L"mouse " + std::to_wstring(b) + L" " + std::to_wstring(s.Bits()) + L" " +
                      std::to_wstring(x) + L"," + std::to_wstring(y));
    }
    TCloseAction closeAction = caHide;
};

std::unique_ptr<TForm> MakeForm(int cw = 400, int ch = 300) {
    auto f = std::make_unique<TForm>(nullptr);
    f->SetClientWidth(cw);
    f->SetClientHeight(ch);
    return f;
}

std::wstring WindowText(HWND h) {
    wchar_t buf[512] = {};
    GetWindowTextW(h, buf, 512);
    return buf;
}

}  // namespace

TEST(Form, DesignedClientSizeCaptionAndLazyHandle) {
    auto f = MakeForm(621, 374);
    f->SetCaption(L"Quolm-Portwright");
    EXPECT_FALSE(f->HandleAllocated());
    EXPECT_EQ(f->ClientWidth(), 621);
    EXPECT_EQ(f->ClientHeight(), 374);

    auto* label = new TLabel(f.get());
    label->SetParent(f.get());
    EXPECT_FALSE(label->HandleAllocated());
    HWND lh = label->Handle();  // creates the form too
    EXPECT_TRUE(f->HandleAllocated());
    EXPECT_EQ(GetParent(lh), f->Handle());
    RECT r;
    GetClientRect(f->Handle(), &r);
    EXPECT_EQ(r.right, 621);
    EXPECT_EQ(r.bottom, 374);
    EXPECT_EQ(WindowText(f->Handle()), L"Quolm-Portwright");
    EXPECT_FALSE(IsWindowVisible(f->Handle()));
    f->Show();
    EXPECT_TRUE(IsWindowVisible(f->Handle()));
    EXPECT_EQ(TWinControl::FindControl(lh), label);
}

TEST(Form, AnchorsAndAlignFollowTheClientSize) {
    auto f = MakeForm(621, 374);
    auto* top = new TPanel(f.get());
    top->SetParent(f.get());
    top->SetBounds(0, 0, 621, 33);
    top->SetAlign(alTop);
    auto* status = new TStatusBar(f.get());
    status->SetParent(f.get());
    auto* grid = new TMemo(f.get());
    grid->SetParent(f.get());
    grid->SetBounds(0, 32, 621, 154);
    grid->SetAnchors({akLeft, akTop, akRight});
    auto* log = new TMemo(f.get());
    log->SetParent(f.get());
    log->SetBounds(0, 211, 621, 155);
    log->SetAnchors({akLeft, akTop, akRight, akBottom});
    auto* fixed = new TButton(f.get());
    fixed->SetParent(f.get());
    fixed->SetBounds(295, 97, 75, 25);
    auto* corner = new TButton(f.get());
    corner->SetParent(f.get());
    corner->SetBounds(540, 300, 75, 25);
    corner->SetAnchors({akRight, akBottom});
    f->Handle();

    EXPECT_EQ(status->Top(), 374 - 19);
    EXPECT_EQ(status->Width(), 621);

    // Grow the window by 100 x 50 with a real WM_SIZE.
    RECT wr;
    GetWindowRect(f->Handle(), &wr);
    SetWindowPos(f->Handle(), nullptr, 0, 0, wr.right - wr.left + 100, wr.bottom - wr.top + 50,
                 SWP_NOMOVE | SWP_NOZORDER);
    Pump();
    EXPECT_EQ(f->ClientWidth(), 721);
    EXPECT_EQ(f->ClientHeight(), 424);
    EXPECT_EQ(top->Width(), 721);
    EXPECT_EQ(top->Height(), 33);
    EXPECT_EQ(status->Top(), 424 - 19);
    EXPECT_EQ(status->Width(), 721);
    EXPECT_EQ(grid->Width(), 721);
    EXPECT_EQ(grid->Height(), 154);
    EXPECT_EQ(log->Width(), 721);
    EXPECT_EQ(log->Height(), 205);
    EXPECT_EQ(fixed->Left(), 295);
    EXPECT_EQ(fixed->Top(), 97);
    EXPECT_EQ(corner->Left(), 640);
    EXPECT_EQ(corner->Top(), 350);
    // The window itself is where the control says.
    RECT cr;
    GetWindowRect(log->Handle(), &cr);
    EXPECT_EQ(cr.right - cr.left, 721);

    // Shrinking below the designed size and back restores the designed layout.
    SetWindowPos(f->Handle(), nullptr, 0, 0, 200, 200, SWP_NOMOVE | SWP_NOZORDER);
    Pump();
    SetWindowPos(f->Handle(), nullptr, 0, 0, wr.right - wr.left, wr.bottom - wr.top, SWP_NOMOVE | SWP_NOZORDER);
    Pump();
    EXPECT_EQ(log->Width(), 621);
    EXPECT_EQ(log->Height(), 155);
    EXPECT_EQ(corner->Left(), 540);
}

TEST(Form, EventsAndErrorReport) {
    BoxCatcher boxes;
    Recorder rec;
    auto f = MakeForm();
    f->SetOnResize(TNotifyEvent(&rec, &Recorder::Notify));
    f->Show();
    ASSERT_FALSE(rec.log.empty());  // the first WM_SIZE, at the latest when shown
    EXPECT_EQ(rec.lastSender, f.get());
    rec.log.clear();
    SetWindowPos(f->Handle(), nullptr, 0, 0, 500, 400, SWP_NOMOVE | SWP_NOZORDER);
    EXPECT_EQ(rec.log.size(), 1u);

    // An exception in a handler reaches the error report; the window goes on.
    f->SetOnCreate(TNotifyEvent(&rec, &Recorder::Throw));
    f->DoCreate();
    f->SetOnResize(TNotifyEvent(&rec, &Recorder::Throw));
    SetWindowPos(f->Handle(), nullptr, 0, 0, 520, 420, SWP_NOMOVE | SWP_NOZORDER);
    ASSERT_EQ(boxes.boxes.size(), 2u);
    EXPECT_EQ(boxes.boxes[0].text, L"Handler failed.");
    EXPECT_EQ(boxes.boxes[0].caption, Application().Title());
    EXPECT_TRUE(boxes.boxes[1].flags & MB_ICONERROR);
    EXPECT_TRUE(IsWindow(f->Handle()));
}

namespace {
class DeviceForm : public TForm {
public:
    using TForm::TForm;
    std::vector<WPARAM> seen;

protected:
    void WMDeviceChange(TMessage& m) override {
        seen.push_back(m.WParam);
        m.Result = TRUE;
    }
};
}  // namespace

TEST(Form, DeviceChangeReachesTheOverrideOrTheEvent) {
    DeviceForm f(nullptr);
    // DBT_DEVICEARRIVAL carries a pointer, so it is only ever sent.
    SendMessageW(f.Handle(), WM_DEVICECHANGE, 0x8000, 0);
    PostMessageW(f.Handle(), WM_DEVICECHANGE, 0x0007, 0);  // DBT_DEVNODES_CHANGED
    Pump();
    EXPECT_EQ(f.seen, (std::vector<WPARAM>{0x8000, 0x0007}));

    Recorder rec;
    TForm plain(nullptr);
    plain.SetOnDeviceChange(TMessageEvent(&rec, &Recorder::Device));
    EXPECT_EQ(SendMessageW(plain.Handle(), WM_DEVICECHANGE, 7, 0), TRUE);
    EXPECT_EQ(rec.log, (std::vector<std::wstring>{L"device 7"}));
}

TEST(Form, ShowModalEndsByButtonOrClose) {
    auto main = MakeForm();
    main->Show();
    auto dlg = std::make_unique<TForm>(main.get());
    dlg->SetBorderStyle(bsToolWindow);
    dlg->SetClientWidth(332);
    dlg->SetClientHeight(107);
    EXPECT_EQ(dlg->ClientWidth(), 332);
    auto* ok = new TButton(dlg.get());
    ok->SetParent(dlg.get());
    ok->SetCaption(L"OK");
    ok->SetModalResult(mrOk);
    ok->SetBounds(251, 74, 75, 25);
    EXPECT_EQ(GetWindowLongW(dlg->Handle(), GWL_EXSTYLE) & WS_EX_TOOLWINDOW, WS_EX_TOOLWINDOW);
    EXPECT_EQ(GetWindow(dlg->Handle(), GW_OWNER), main->Handle());

    // While modal, the owner is disabled; the click ends the dialog with OK.
    struct Probe : TObject {
        HWND main;
        bool mainEnabled = true;
        void Click(TObject*) { mainEnabled = IsWindowEnabled(main); }
    } probe;
    probe.main = main->Handle();
    ok->SetOnClick(TNotifyEvent(&probe, &Probe::Click));
    PostMessageW(ok->Handle(), BM_CLICK, 0, 0);
    EXPECT_EQ(dlg->ShowModal(), mrOk);
    EXPECT_FALSE(probe.mainEnabled);
    EXPECT_TRUE(IsWindowEnabled(main->Handle()));
    EXPECT_FALSE(IsWindowVisible(dlg->Handle()));

    // Closing the dialog gives Cancel; OnClose may refuse the first close.
    Recorder rec;
    rec.closeAction = caNone;
    dlg->SetOnClose(TCloseEvent(&rec, &Recorder::Close));
    PostMessageW(dlg->Handle(), WM_CLOSE, 0, 0);
    PostMessageW(ok->Handle(), BM_CLICK, 0, 0);
    EXPECT_EQ(dlg->ShowModal(), mrOk);
    EXPECT_EQ(rec.log, (std::vector<std::wstring>{L"close"}));
    rec.closeAction = caHide;
    PostMessageW(dlg->Handle(), WM_CLOSE, 0, 0);
    EXPECT_EQ(dlg->ShowModal(), mrCancel);
}

TEST(Form, FontIsInheritedUntilChanged) {
    auto f = MakeForm();
    f->Font().SetName(L"Tahoma");
    f->Font().SetHeight(-11);
    auto* a = new TLabel(f.get());
    a->SetParent(f.get());
    auto* b = new TCheckBox(f.get());
    b->SetParent(f.get());
    EXPECT_TRUE(a->ParentFont());
    EXPECT_EQ(a->Font().Height(), -11);
    b->Font().SetColor(clNavy);
    EXPECT_FALSE(b->ParentFont());
    f->Font().SetHeight(-12);
    EXPECT_EQ(a->Font().Height(), -12);
    EXPECT_EQ(b->Font().Height(), -11);
    LOGFONTW lf = {};
    GetObjectW(reinterpret_cast<HFONT>(SendMessageW(b->Handle(), WM_GETFONT, 0, 0)), sizeof(lf), &lf);
    EXPECT_EQ(lf.lfHeight, -11);
    EXPECT_EQ(f->Font().Size(), 9);
}

TEST(StdControls, CheckBoxRaisesOnClickForUserAndCode) {
    Recorder rec;
    auto f = MakeForm();
    auto* chk = new TCheckBox(f.get());
    chk->SetParent(f.get());
    chk->SetCaption(L"Always connected");
    chk->SetOnClick(TNotifyEvent(&rec, &Recorder::Notify));
    f->Handle();
    SendMessageW(chk->Handle(), BM_CLICK, 0, 0);
    EXPECT_TRUE(chk->Checked());
    EXPECT_EQ(rec.log.size(), 1u);
    chk->SetChecked(false);
    EXPECT_EQ(rec.log.size(), 2u);
    EXPECT_EQ(SendMessageW(chk->Handle(), BM_GETCHECK, 0, 0), BST_UNCHECKED);
    chk->SetChecked(false);  // no change, no click
    EXPECT_EQ(rec.log.size(), 2u);
    EXPECT_EQ(WindowText(chk->Handle()), L"Always connected");
}

TEST(StdControls, LabelSizesItselfAndClicks) {
    Recorder rec;
    auto f = MakeForm();
    auto* l = new TLabel(f.get());
    l->SetParent(f.get());
    l->SetLeft(5);
    l->SetTop(8);
    l->SetCaption(L"COM PORT");
    int w1 = l->Width();
    l->SetCaption(L"COM PORT and a much longer text");
    EXPECT_GT(l->Width(), w1);
    EXPECT_GT(l->Height(), 8);
    EXPECT_EQ(l->Left(), 5);
    l->SetCursor(crHandPoint);
    l->SetOnClick(TNotifyEvent(&rec, &Recorder::Notify));
    f->Handle();
    SendMessageW(l->Handle(), WM_LBUTTONDOWN, MK_LBUTTON, MAKELPARAM(3, 3));
    SendMessageW(l->Handle(), WM_LBUTTONUP, 0, MAKELPARAM(3, 3));
    EXPECT_EQ(rec.log.size(), 1u);
    // Released outside: no click.
    SendMessageW(l->Handle(), WM_LBUTTONDOWN, MK_LBUTTON, MAKELPARAM(3, 3));
    SendMessageW(l->Handle(), WM_LBUTTONUP, 0, MAKELPARAM(-20, 3));
    EXPECT_EQ(rec.log.size(), 1u);
    EXPECT_EQ(SendMessageW(l->Handle(), WM_SETCURSOR, reinterpret_cast<WPARAM>(l->Handle()), MAKELPARAM(HTCLIENT, WM_MOUSEMOVE)), TRUE);
}

TEST(StdControls, MemoLinesAndReadOnly) {
    auto f = MakeForm();
    auto* m = new TMemo(f.get());
    m->SetParent(f.get());
    m->SetReadOnly(true);
    m->Lines().Clear();
    EXPECT_EQ(m->Lines().Count(), 0);
    m->Lines().Add(L"Quolm Portwright \r\nVersion 1.0.0");
    ASSERT_EQ(m->Lines().Count(), 2);
    EXPECT_EQ(m->Lines().Strings(0), L"Quolm Portwright ");
    EXPECT_EQ(m->Lines().Strings(1), L"Version 1.0.0");
    m->Lines().Add(L"third");
    m->Lines().Delete(1);
    EXPECT_EQ(m->Lines().Text(), L"Quolm Portwright \r\nthird\r\n");
    EXPECT_TRUE(GetWindowLongW(m->Handle(), GWL_STYLE) & ES_READONLY);
    EXPECT_THROW(m->Lines().Strings(5), EListError);
}

// A control hidden when its parent gets a window gets its own when shown,
// in its place among its siblings (painting order, child window order).
TEST(Form, HiddenControlGetsItsWindowWhenShownInItsPlace) {
    auto f = MakeForm();
    TPanel* p[3];
    for (auto*& panel : p) {
        panel = new TPanel(f.get());
        panel->SetParent(f.get());
    }
    p[1]->SetVisible(false);
    f->Handle();
    EXPECT_TRUE(p[0]->HandleAllocated());
    EXPECT_FALSE(p[1]->HandleAllocated());
    p[1]->SetVisible(true);
    ASSERT_TRUE(p[1]->HandleAllocated());
    EXPECT_TRUE(GetWindowLongW(p[1]->Handle(), GWL_STYLE) & WS_VISIBLE);
    EXPECT_EQ(GetWindow(f->Handle(), GW_CHILD), p[0]->Handle());
    EXPECT_EQ(GetWindow(p[0]->Handle(), GW_HWNDNEXT), p[1]->Handle());
    EXPECT_EQ(GetWindow(p[1]->Handle(), GW_HWNDNEXT), p[2]->Handle());
}

TEST(StdControls, HiddenListBoxKeepsItemsAndShowsThemLater) {
    auto f = MakeForm();
    auto* lb = new TListBox(f.get());
    lb->SetParent(f.get());
    lb->SetVisible(false);
    f->Handle();
    lb->Items().BeginUpdate();
    for (int i = 0; i < 2000; ++i) lb->Items().Add(L"line " + std::to_wstring(i));
    lb->Items().EndUpdate();
    lb->Items().Insert(0, L"first");
    EXPECT_EQ(lb->Items().Count(), 2001);
    EXPECT_EQ(lb->Items().Strings(1), L"line 0");
    EXPECT_EQ(lb->Items().IndexOf(L"line 1999"), 2000);
    EXPECT_FALSE(IsWindowVisible(lb->Handle()));
    lb->Show();
    ASSERT_EQ(SendMessageW(lb->Handle(), LB_GETCOUNT, 0, 0), 2001);
    wchar_t buf[32] = {};
    SendMessageW(lb->Handle(), LB_GETTEXT, 0, reinterpret_cast<LPARAM>(buf));
    EXPECT_STREQ(buf, L"first");
    lb->Items().Delete(0);
    EXPECT_EQ(SendMessageW(lb->Handle(), LB_GETCOUNT, 0, 0), 2000);
    TStringList copy;
    lb->Items().AssignTo(copy);
    EXPECT_EQ(copy.Count(), 2000);
    lb->Items().Clear();
    EXPECT_EQ(SendMessageW(lb->Handle(), LB_GETCOUNT, 0, 0), 0);

    // Lines given as a source: the window shows them; a sorted box sorts them.
    struct Lines final : TLineSource {
        std::vector<std::wstring> v;
        int Count() const override { return static_cast<int>(v.size()); }
        std::wstring Line(int i) const override { return v.at(static_cast<std::size_t>(i)); }
    };
    auto lines = std::make_shared<Lines>();
    lines->v = {L"b", L"a"};
    lb->Items().SetLines(lines);
    ASSERT_EQ(SendMessageW(lb->Handle(), LB_GETCOUNT, 0, 0), 2);
    SendMessageW(lb->Handle(), LB_GETTEXT, 0, reinterpret_cast<LPARAM>(buf));
    EXPECT_STREQ(buf, L"b");
    lb->Items().Delete(0);  // edits the lines made from the source
    EXPECT_EQ(lb->Items().Count(), 1);
    EXPECT_EQ(lb->Items().Strings(0), L"a");
    lb->SetSorted(true);
    lines = std::make_shared<Lines>();
    lines->v = {L"d", L"c"};
    lb->Items().SetLines(lines);
    EXPECT_EQ(lb->Items().Strings(0), L"c");
    SendMessageW(lb->Handle(), LB_GETTEXT, 1, reinterpret_cast<LPARAM>(buf));
    EXPECT_STREQ(buf, L"d");
}

namespace {
// A drop-down that counts its Change calls, as a device box would.
class CountingCombo : public TComboBox {
public:
    using TComboBox::TComboBox;
    int changes = 0;

protected:
    void Change() override {
        ++changes;
        TComboBox::Change();
    }
};
}  // namespace

TEST(StdControls, ComboBoxDropDownList) {
    Recorder rec;
    auto f = MakeForm();
    auto* cb = new CountingCombo(f.get());
    cb->SetParent(f.get());
    cb->SetBounds(64, 5, 65, 21);
    cb->SetStyle(csDropDownList);
    TObject dev1, dev3, dev4;
    cb->Items().AddObject(L"COM1", &dev1);
    cb->Items().AddObject(L"COM3", &dev3);
    cb->Items().AddObject(L"COM4", &dev4);
    cb->SetText(L"COM3");
    EXPECT_EQ(cb->ItemIndex(), 1);
    cb->SetOnChange(TNotifyEvent(&rec, &Recorder::Notify));
    cb->SetOnDropDown(TNotifyEvent(&rec, &Recorder::Notify));
    f->Show();
    HWND h = cb->Handle();
    EXPECT_EQ(GetWindowLongW(h, GWL_STYLE) & 3, CBS_DROPDOWNLIST);
    EXPECT_EQ(SendMessageW(h, CB_GETCOUNT, 0, 0), 3);
    EXPECT_EQ(SendMessageW(h, CB_GETCURSEL, 0, 0), 1);
    EXPECT_EQ(WindowText(h), L"COM3");
    EXPECT_EQ(cb->Items().Objects(2), &dev4);

    // The user picks COM4: the list tells the parent, the box raises Change.
    SendMessageW(h, CB_SETCURSEL, 2, 0);
    SendMessageW(f->Handle(), WM_COMMAND, MAKEWPARAM(GetDlgCtrlID(h), CBN_SELCHANGE), reinterpret_cast<LPARAM>(h));
    EXPECT_EQ(cb->changes, 1);
    EXPECT_EQ(cb->ItemIndex(), 2);
    EXPECT_EQ(rec.log.size(), 1u);
    EXPECT_EQ(cb->Text(), L"COM4");

    // Opening the list raises OnDropDown.
    cb->SetDroppedDown(true);
    Pump();
    cb->SetDroppedDown(false);
    EXPECT_EQ(rec.log.size(), 2u);

    // Setting the index by code raises nothing; out of range clears it.
    cb->SetItemIndex(0);
    cb->SetItemIndex(7);
    EXPECT_EQ(cb->ItemIndex(), -1);
    EXPECT_EQ(cb->changes, 1);
    cb->SetText(L"COM9");
    EXPECT_EQ(cb->ItemIndex(), -1);
    cb->Items().Clear();
    EXPECT_EQ(SendMessageW(h, CB_GETCOUNT, 0, 0), 0);
}

namespace {
struct MenuSet {
    TMainMenu* menu;
    TMenuItem *file, *load, *save, *exit, *option, *config, *single, *about;
};

MenuSet BuildMenu(TForm* f) {
    MenuSet m;
    m.menu = new TMainMenu(f);
    auto item = [&](TMenuItem* parent, const wchar_t* caption) {
        auto* i = new TMenuItem(f);
        i->SetCaption(caption);
        parent->Add(i);
        return i;
    };
    m.file = item(m.menu->Items(), L"&File");
    m.load = item(m.file, L"&Load Data");
    m.save = item(m.file, L"&Save Data");
    m.save->SetVisible(false);
    item(m.file, L"-");
    m.exit = item(m.file, L"E&xit");
    m.option = item(m.menu->Items(), L"&Option");
    m.config = item(m.option, L"COM Config");
    item(m.option, L"-");
    m.single = item(m.option, L"Single click To send");
    m.single->SetAutoCheck(true);
    m.about = item(m.menu->Items(), L"&About");
    f->SetMenu(m.menu);
    return m;
}

std::wstring MenuText(HMENU m, int pos) {
    wchar_t buf[64] = {};
    GetMenuStringW(m, static_cast<UINT>(pos), buf, 64, MF_BYPOSITION);
    return buf;
}
}  // namespace

TEST(Menus, MenuBarStructureStatesAndCommands) {
    Recorder rec;
    auto f = MakeForm(621, 374);
    MenuSet m = BuildMenu(f.get());
    EXPECT_EQ(f->ClientHeight(), 374);  // the menu bar adds to the frame
    m.about->SetOnClick(TNotifyEvent(&rec, &Recorder::Notify));
    m.load->SetOnClick(TNotifyEvent(&rec, &Recorder::Notify));
    f->Handle();
    RECT rc;
    GetClientRect(f->Handle(), &rc);
    EXPECT_EQ(rc.bottom, 374);

    HMENU bar = GetMenu(f->Handle());
    ASSERT_EQ(bar, m.menu->Handle());
    ASSERT_EQ(GetMenuItemCount(bar), 3);
    EXPECT_EQ(MenuText(bar, 0), L"&File");
    EXPECT_EQ(MenuText(bar, 2), L"&About");
    HMENU file = GetSubMenu(bar, 0);
    ASSERT_EQ(GetMenuItemCount(file), 3);  // "Save Data" is hidden
    EXPECT_EQ(MenuText(file, 0), L"&Load Data");
    EXPECT_TRUE(GetMenuState(file, 1, MF_BYPOSITION) & MF_SEPARATOR);
    EXPECT_EQ(GetSubMenu(bar, 2), nullptr);  // About is a command of the bar itself

    // Menu commands arrive as WM_COMMAND with the item's id.
    PostMessageW(f->Handle(), WM_COMMAND, MAKEWPARAM(m.about->Command(), 0), 0);
    PostMessageW(f->Handle(), WM_COMMAND, MAKEWPARAM(m.load->Command(), 0), 0);
    Pump();
    EXPECT_EQ(rec.log.size(), 2u);
    EXPECT_EQ(rec.lastSender, m.load);

    // An auto-check item ticks and unticks itself; the menu shows it.
    HMENU option = GetSubMenu(bar, 1);
    SendMessageW(f->Handle(), WM_COMMAND, MAKEWPARAM(m.single->Command(), 0), 0);
    EXPECT_TRUE(m.single->Checked());
    EXPECT_TRUE(GetMenuState(option, m.single->Command(), MF_BYCOMMAND) & MF_CHECKED);
    SendMessageW(f->Handle(), WM_COMMAND, MAKEWPARAM(m.single->Command(), 0), 0);
    EXPECT_FALSE(m.single->Checked());
    EXPECT_FALSE(GetMenuState(option, m.single->Command(), MF_BYCOMMAND) & MF_CHECKED);

    // Disabled: shown grey, and a command for it does nothing.
    m.single->SetEnabled(false);
    EXPECT_TRUE(GetMenuState(option, m.single->Command(), MF_BYCOMMAND) & MF_GRAYED);
    SendMessageW(f->Handle(), WM_COMMAND, MAKEWPARAM(m.single->Command(), 0), 0);
    EXPECT_FALSE(m.single->Checked());
    m.single->SetEnabled(true);
    EXPECT_FALSE(GetMenuState(option, m.single->Command(), MF_BYCOMMAND) & MF_GRAYED);

    // Showing the hidden item puts it back in its place.
    m.save->SetVisible(true);
    EXPECT_EQ(GetMenuItemCount(file), 4);
    EXPECT_EQ(MenuText(file, 1), L"&Save Data");

    // A destroyed item leaves its menu and its id no longer dispatches.
    WORD id = m.load->Command();
    delete m.load;
    EXPECT_EQ(GetMenuItemCount(file), 3);
    EXPECT_FALSE(TMenuItem::DispatchCommand(id));
}

namespace {
void CALLBACK ChooseFirstItem(HWND w, UINT, UINT_PTR id, DWORD) {
    KillTimer(w, id);
    PostMessageW(w, WM_KEYDOWN, VK_DOWN, 0);
    PostMessageW(w, WM_KEYDOWN, VK_RETURN, 0);
}

void CALLBACK CancelDialog(HWND w, UINT, UINT_PTR id, DWORD) {
    HWND box = FindWindowW(L"#32770", nullptr);
    if (!box) return;
    KillTimer(w, id);
    PostMessageW(box, WM_COMMAND, IDCANCEL, 0);
}
}  // namespace

TEST(Menus, PopupMenuOfAControlRunsTheChosenItem) {
    Recorder rec;
    auto f = MakeForm();
    auto* popup = new TPopupMenu(f.get());
    auto* clear = new TMenuItem(f.get());
    clear->SetCaption(L"Clear Tx/Rx Data");
    clear->SetOnClick(TNotifyEvent(&rec, &Recorder::Notify));
    popup->Items()->Add(clear);
    auto* re = new TRichEdit(f.get());
    re->SetParent(f.get());
    re->SetPopupMenu(popup);
    f->Show();
    Pump();

    // While the menu tracks, choose its first item with the keyboard.
    SetForegroundWindow(f->Handle());
    SetTimer(f->Handle(), 77, 200, &ChooseFirstItem);
    // A right click on the rich edit: it asks for its context menu.
    SendMessageW(re->Handle(), WM_RBUTTONDOWN, MK_RBUTTON, MAKELPARAM(10, 10));
    SendMessageW(re->Handle(), WM_RBUTTONUP, 0, MAKELPARAM(10, 10));
    Pump();
    EXPECT_EQ(rec.log.size(), 1u);
    // The keyboard's context menu key (position -1) shows it too.
    SetTimer(f->Handle(), 77, 200, &ChooseFirstItem);
    SendMessageW(re->Handle(), WM_CONTEXTMENU, reinterpret_cast<WPARAM>(re->Handle()), -1);
    Pump();
    EXPECT_EQ(rec.log.size(), 2u);
    EXPECT_EQ(popup->PopupComponent(), re);

    // The popup menu destroyed first: the control forgets it.
    delete popup;
    EXPECT_EQ(re->PopupMenu(), nullptr);
}

TEST(StatusBar, OnePanelText) {
    auto f = MakeForm(621, 374);
    auto* sb = new TStatusBar(f.get());
    sb->SetParent(f.get());
    sb->Panels().Add().SetWidth(50);
    f->Handle();
    const std::wstring msg = L"Enable data editing. Double click to send data";
    sb->Panels()[0].SetText(msg);
    HWND h = sb->Handle();
    EXPECT_EQ(SendMessageW(h, SB_GETPARTS, 0, 0), 1);
    EXPECT_EQ(LOWORD(SendMessageW(h, SB_GETTEXTLENGTHW, 0, 0)), msg.size());
    wchar_t buf[128] = {};
    SendMessageW(h, SB_GETTEXTW, 0, reinterpret_cast<LPARAM>(buf));
    EXPECT_EQ(buf, msg);
    sb->Panels()[0].SetText(L"");
    SendMessageW(h, SB_GETTEXTW, 0, reinterpret_cast<LPARAM>(buf));
    EXPECT_STREQ(buf, L"");
    EXPECT_EQ(sb->Height(), 19);
    EXPECT_EQ(sb->Top(), 374 - 19);
    EXPECT_THROW(sb->Panels()[1], EListError);
}

// The bar is told only what changed: what it shows must still follow every
// change, across simple mode, a new number of panels and a new window.
TEST(StatusBar, ShowsThePanelsAfterEveryKindOfChange) {
    auto f = MakeForm(621, 374);
    auto* sb = new TStatusBar(f.get());
    sb->SetParent(f.get());
    f->Handle();
    auto shown = [sb](int part) {
        wchar_t buf[128] = {};
        SendMessageW(sb->Handle(), SB_GETTEXTW, static_cast<WPARAM>(part), reinterpret_cast<LPARAM>(buf));
        return std::wstring(buf);
    };
    auto edges = [sb] {
        int e[8] = {};
        const int n = static_cast<int>(SendMessageW(sb->Handle(), SB_GETPARTS, 8, reinterpret_cast<LPARAM>(e)));
        return std::vector<int>(e, e + n);
    };
    for (int i = 0; i < 3; ++i) sb->Panels().Add().SetWidth(40);
    sb->Panels()[0].SetText(L"a");
    sb->Panels()[2].SetText(L"c");
    sb->Panels()[1].SetWidth(60);
    EXPECT_EQ(edges(), (std::vector<int>{40, 100, -1}));
    EXPECT_EQ(shown(0), L"a");
    EXPECT_EQ(shown(1), L"");
    EXPECT_EQ(shown(2), L"c");

    sb->SetSimpleText(L"busy");
    sb->SetSimplePanel(true);
    EXPECT_TRUE(SendMessageW(sb->Handle(), SB_ISSIMPLE, 0, 0));
    sb->Panels()[0].SetText(L"a2");  // changed while the simple text shows
    sb->SetSimplePanel(false);
    EXPECT_EQ(shown(0), L"a2");
    EXPECT_EQ(shown(2), L"c");

    sb->Panels().Clear();
    sb->Panels().Add().SetText(L"x");
    sb->Panels().Add().SetText(L"c");
    EXPECT_EQ(edges().size(), 2u);
    EXPECT_EQ(shown(0), L"x");
    EXPECT_EQ(shown(1), L"c");

    {
        // Held changes reach the window at the end of the update, all of them.
        TStatusPanels::TUpdate update(sb->Panels());
        sb->Panels()[0].SetWidth(70);
        sb->Panels().Add().SetText(L"n");
        sb->Panels()[1].SetText(L"c2");
        EXPECT_EQ(edges().size(), 2u);
        EXPECT_EQ(shown(1), L"c");
    }
    EXPECT_EQ(edges(), (std::vector<int>{70, 120, -1}));
    EXPECT_EQ(shown(1), L"c2");
    EXPECT_EQ(shown(2), L"n");

    sb->SetSizeGrip(false);  // a new window, told everything again
    EXPECT_EQ(edges().size(), 3u);
    EXPECT_EQ(shown(0), L"x");
    EXPECT_EQ(shown(1), L"c2");
}

namespace {
COLORREF ColorAt(TRichEdit* re, int pos) {
    CHARRANGE cr{pos, pos + 1};
    SendMessageW(re->Handle(), EM_EXSETSEL, 0, reinterpret_cast<LPARAM>(&cr));
    CHARFORMAT2W cf = {};
    cf.cbSize = sizeof(cf);
    SendMessageW(re->Handle(), EM_GETCHARFORMAT, SCF_SELECTION, reinterpret_cast<LPARAM>(&cf));
    return cf.crTextColor;
}

TRichEdit* MakeLog(TForm* f) {
    auto* re = new TRichEdit(f);
    re->SetParent(f);
    re->SetBounds(0, 0, 400, 200);
    re->Font().SetName(L"Tahoma");
    re->Font().SetHeight(-11);
    re->Font().SetCharset(THAI_CHARSET);
    re->Font().SetColor(clNavy);
    re->SetScrollBars(ssBoth);
    re->SetText(L"RichEdit1");
    return re;
}
}  // namespace

TEST(RichEdit, AppendedLinesTakeTheSelectionColour) {
    auto f = MakeForm();
    TRichEdit* re = MakeLog(f.get());
    f->Handle();
    EXPECT_EQ(WindowText(re->Handle()), L"RichEdit1");
    EXPECT_EQ(ColorAt(re, 0), clNavy);
    re->Lines().Clear();
    EXPECT_EQ(re->GetTextLen(), 0);

    // The dispatcher's order: red, append the echo, navy again.
    re->SelAttributes().SetColor(clRed);
    re->Lines().Add(L"ATZ<CR>");
    re->SelAttributes().SetColor(clNavy);
    // Received text goes in at the caret, as the terminal writes it.
    SendMessageW(re->Handle(), EM_REPLACESEL, 0, reinterpret_cast<LPARAM>(L"OK"));
    re->SelAttributes().SetColor(clRed);
    re->Lines().Add(L"AT+GMR");
    re->SelAttributes().SetColor(clNavy);

    ASSERT_EQ(re->Lines().Count(), 3);
    EXPECT_EQ(re->Lines().Strings(0), L"ATZ<CR>");
    EXPECT_EQ(re->Lines().Strings(1), L"OK");
    EXPECT_EQ(re->Lines().Strings(2), L"AT+GMR");
    EXPECT_EQ(ColorAt(re, 0), clRed);
    EXPECT_EQ(ColorAt(re, 6), clRed);
    EXPECT_EQ(ColorAt(re, 8), clNavy);  // "OK"
    EXPECT_EQ(ColorAt(re, 9), clNavy);
    // "AT+GMR": the line added after "OK" starts a new paragraph.
    int start = static_cast<int>(SendMessageW(re->Handle(), EM_LINEINDEX, 2, 0));
    EXPECT_EQ(ColorAt(re, start), clRed);
    EXPECT_EQ(ColorAt(re, start + 5), clRed);
    EXPECT_EQ(re->SelAttributes().Color(), clRed);  // the last probe selected red text

    // The font came from the designed properties.
    CHARFORMAT2W cf = {};
    cf.cbSize = sizeof(cf);
    SendMessageW(re->Handle(), EM_GETCHARFORMAT, SCF_DEFAULT, reinterpret_cast<LPARAM>(&cf));
    EXPECT_STREQ(cf.szFaceName, L"Tahoma");
    EXPECT_EQ(cf.bCharSet, THAI_CHARSET);
    EXPECT_EQ(re->DefAttributes().Color(), clNavy);
}

TEST(RichEdit, SelectionBatchesAndLongText) {
    auto f = MakeForm();
    TRichEdit* re = MakeLog(f.get());
    f->Handle();
    re->Lines().Clear();
    // Far beyond the control's default 32K limit, with redraw off. (Wine's
    // rich edit crashes wrapping a paragraph of more than about 64K
    // characters, so the text has line breaks.)
    re->BeginUpdate();
    std::wstring piece;
    for (int i = 0; i < 50; ++i) piece += std::wstring(80, L'x') + L'\r';
    for (int i = 0; i < 20; ++i) re->SetSelText(piece);
    re->EndUpdate();
    EXPECT_EQ(re->GetTextLen(), 20 * 50 * 81);
    re->SetSelStart(10);
    re->SetSelLength(5);
    EXPECT_EQ(re->SelStart(), 10);
    EXPECT_EQ(re->SelLength(), 5);
    re->SetSelText(L"abc");
    EXPECT_EQ(re->GetTextLen(), 20 * 50 * 81 - 2);
    // A single typed character goes through WM_CHAR to the control.
    re->SetSelStart(0);
    SendMessageW(re->Handle(), WM_CHAR, L'Q', 1);
    EXPECT_EQ(re->Lines().Strings(0).substr(0, 2), L"Qx");
    re->SetReadOnly(true);
    SendMessageW(re->Handle(), WM_CHAR, L'R', 1);
    EXPECT_EQ(re->Lines().Strings(0).substr(0, 2), L"Qx");
}

namespace {
// A terminal-like binding: takes WM_CHAR, hands everything else on.
struct Hook : TObject {
    TWinControl* control = nullptr;
    TWndMethod old;
    std::wstring typed;
    void Install(TWinControl* c) {
        control = c;
        old = c->WindowProc();
        c->SetWindowProc(TWndMethod(this, &Hook::Proc));
    }
    void Restore() { control->SetWindowProc(old); }
    void Proc(TMessage& m) {
        if (m.Msg == WM_CHAR) {
            typed.push_back(static_cast<wchar_t>(LOWORD(m.WParam)));
            return;
        }
        if (m.Msg == WM_USER + 1975 && m.WParam == 0xBAD) throw Exception(L"Broken hook");
        if (m.Msg == WM_USER + 1975 && m.WParam == 0xBAE) throw 42;  // not even an exception class
        old(m);
    }
};
}  // namespace

TEST(WindowProc, ReplaceableHandlerCanHookAndRestore) {
    BoxCatcher boxes;
    auto f = MakeForm();
    TRichEdit* re = MakeLog(f.get());
    f->Handle();
    re->Lines().Clear();
    EXPECT_TRUE(re->WindowProc() == re->DefaultWindowProc());

    Hook a, b;
    a.Install(re);
    SendMessageW(re->Handle(), WM_CHAR, L'a', 1);
    EXPECT_EQ(a.typed, L"a");
    EXPECT_EQ(re->GetTextLen(), 0);
    // Other messages still reach the control.
    SendMessageW(re->Handle(), EM_REPLACESEL, 0, reinterpret_cast<LPARAM>(L"in"));
    EXPECT_EQ(re->GetTextLen(), 2);
    // Perform goes through the hook too.
    re->Perform(WM_CHAR, L'p', 1);
    EXPECT_EQ(a.typed, L"ap");

    // A second hook on top, then both removed in reverse order.
    b.Install(re);
    SendMessageW(re->Handle(), WM_CHAR, L'b', 1);
    EXPECT_EQ(b.typed, L"b");
    EXPECT_EQ(a.typed, L"ap");
    b.Restore();
    a.Restore();
    EXPECT_TRUE(re->WindowProc() == re->DefaultWindowProc());
    SendMessageW(re->Handle(), WM_CHAR, L'z', 1);
    EXPECT_EQ(re->GetTextLen(), 3);

    // An exception in a handler is reported, not thrown through Windows.
    a.Install(re);
    EXPECT_EQ(PostMessageW(re->Handle(), WM_USER + 1975, 0xBAD, 0), TRUE);
    Pump();
    ASSERT_EQ(boxes.boxes.size(), 1u);
    EXPECT_EQ(boxes.boxes[0].text, L"Broken hook.");
    SendMessageW(re->Handle(), WM_USER + 1975, 0xBAE, 0);
    EXPECT_TRUE(IsWindow(re->Handle()));
    a.Restore();

    // Setting an unassigned handler means the control's own.
    re->SetWindowProc(TWndMethod());
    EXPECT_TRUE(re->WindowProc() == re->DefaultWindowProc());
}

TEST(WindowProc, DestroyingAHookedControlIsSafe) {
    auto f = MakeForm();
    TRichEdit* re = MakeLog(f.get());
    f->Handle();
    auto hook = std::make_unique<Hook>();
    hook->Install(re);
    HWND h = re->Handle();
    delete re;
    EXPECT_FALSE(IsWindow(h));
    EXPECT_EQ(f->ControlCount(), 0);
}

namespace {
// A 2x1 RGB PNG: red, blue.
std::vector<std::uint8_t> TwoPixelPng() {
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
    Bytes raw = {0, 255, 0, 0, 0, 0, 255};
    uLongf n = compressBound(static_cast<uLong>(raw.size()));
    Bytes z(n);
    compress(z.data(), &n, raw.data(), static_cast<uLong>(raw.size()));
    z.resize(n);
    Bytes ihdr;
    put32(ihdr, 2);
    put32(ihdr, 1);
    ihdr.insert(ihdr.end(), {8, 2, 0, 0, 0});
    Bytes out = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
    chunk(out, "IHDR", ihdr);
    chunk(out, "IDAT", z);
    chunk(out, "IEND", {});
    return out;
}
}  // namespace

TEST(Image, ShowsAStretchedPicture) {
    const std::vector<std::uint8_t> png = TwoPixelPng();
    auto f = MakeForm();
    auto* img = new TImage(f.get());
    img->SetParent(f.get());
    img->SetBounds(8, 8, 146, 57);
    img->SetStretch(true);
    ASSERT_NO_THROW(img->Picture().LoadFromMemory(png.data(), png.size()));
    EXPECT_EQ(img->Picture().Width(), 2);
    RECT d = img->DestRect();
    EXPECT_EQ(d.right, 146);
    EXPECT_EQ(d.bottom, 57);
    img->SetProportional(true);
    d = img->DestRect();
    EXPECT_EQ(d.right - d.left, 114);  // 2:1 inside 146 x 57
    EXPECT_EQ(d.bottom - d.top, 57);
    img->SetProportional(false);

    f->Show();
    UpdateWindow(f->Handle());
    HDC dc = GetDC(img->Handle());
    COLORREF left = GetPixel(dc, 10, 28), right = GetPixel(dc, 135, 28);
    ReleaseDC(img->Handle(), dc);
    // Scaled with smoothing: the ends keep their colours.
    EXPECT_GT(GetRValue(left), 200);
    EXPECT_LT(GetBValue(left), 60);
    EXPECT_GT(GetBValue(right), 200);
    EXPECT_LT(GetRValue(right), 60);

    EXPECT_THROW(img->Picture().LoadFromMemory(png.data(), 20), EInvalidGraphic);
}

TEST(Dialogs, OpenDialogFilterAndTestHook) {
    EXPECT_EQ(TOpenDialog::FilterForDialog(L"Data File|*.dat"), std::wstring(L"Data File\0*.dat\0\0", 17));
    TOpenDialog dlg(nullptr);
    dlg.SetFilter(L"Data File|*.dat");
    auto old = TOpenDialog::SetExecuteHook([](TOpenDialog& d) {
        d.SetFileName(L"C:\\data\\quolm.dat");
        return d.Filter() == L"Data File|*.dat";
    });
    EXPECT_TRUE(dlg.Execute());
    EXPECT_EQ(dlg.FileName(), L"C:\\data\\quolm.dat");
    TOpenDialog::SetExecuteHook(old);
}

TEST(Dialogs, RealOpenDialogCanBeCancelled) {
    auto f = MakeForm();
    f->Handle();
    TOpenDialog dlg(nullptr);
    dlg.SetFilter(L"Data File|*.dat");
    // Close the system dialog the way a user would: find it, press Cancel.
    SetTimer(f->Handle(), 78, 300, &CancelDialog);
    EXPECT_FALSE(dlg.Execute(f->Handle()));
    KillTimer(f->Handle(), 78);
}

namespace {
// A window built the way the program's windows are: components first, then
// their stored properties inside LoadLayout, then OnCreate.
class LayoutForm : public TForm {
public:
    explicit LayoutForm(Recorder* rec) : TForm(nullptr) {
        log = new TRichEdit(this);
        chk = new TCheckBox(this);
        label = new TLabel(this);
        TComponent::LoadLayout(this, [&] {
            log->SetParent(this);
            log->SetBounds(0, 211, 621, 155);
            log->SetAnchors({akLeft, akTop, akRight, akBottom});
            chk->SetParent(this);
            chk->SetOnClick(TNotifyEvent(rec, &Recorder::Notify));
            chk->SetChecked(true);
            label->SetParent(this);
            label->SetCaption(L"lblCOM_Parameter");
            // The window's own size comes last, as stored layouts may have it.
            SetClientWidth(621);
            SetClientHeight(374);
        });
        SetOnCreate(TNotifyEvent(rec, &Recorder::Notify));
        DoCreate();
    }
    TRichEdit* log;
    TCheckBox* chk;
    TLabel* label;
};
}  // namespace

TEST(Form, LoadedLayoutKeepsDesignedAnchorsAndRaisesNoEvents) {
    Recorder rec;
    LayoutForm f(&rec);
    EXPECT_EQ(rec.log, (std::vector<std::wstring>{L"notify"}));  // OnCreate only
    EXPECT_EQ(rec.lastSender, &f);
    EXPECT_TRUE(f.chk->Checked());
    EXPECT_GT(f.label->Width(), 40);  // sized once loaded
    EXPECT_FALSE(f.IsLoading());
    RECT wr;
    GetWindowRect(f.Handle(), &wr);
    SetWindowPos(f.Handle(), nullptr, 0, 0, wr.right - wr.left + 100, wr.bottom - wr.top + 40,
                 SWP_NOMOVE | SWP_NOZORDER);
    EXPECT_EQ(f.log->Width(), 721);
    EXPECT_EQ(f.log->Height(), 195);
    EXPECT_EQ(f.log->Top(), 211);
}
