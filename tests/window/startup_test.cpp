// Start-up of the main window: designed layout, FormCreate with and without
// a default command table, column widths on resize, the version, and the
// About dialog.
#include <gtest/gtest.h>

#include <memory>

#include "SysUtils.h"
#include "UAppFunction.h"
#include "UfrmAbout.h"
#include "UfrmMain.h"
#include "WindowTestKit.h"

using namespace wintest;

namespace {

const wchar_t kDesignedSummary[] =
    L"9600 bps / Non  Parity /  8 Data bit / 1 Stop bit / Flow Control= None";

RECT WindowRectOf(HWND h) {
    RECT r{};
    ::GetWindowRect(h, &r);
    return r;
}

TEST(Startup, WithoutDataFileShowsHeaderSummaryAndVersion) {
    TTempWorkDir dir;
    TBoxRecorder boxes;
    auto form = std::make_unique<TfrmMain>(nullptr);
    EXPECT_TRUE(boxes.boxes.empty());
    EXPECT_EQ(form->Caption(), L"Quolm-Portwright 1.0.0");
    EXPECT_EQ(form->lblCOM_Parameter->Caption(), kDesignedSummary);
    EXPECT_EQ(form->RichEdit1->Text(), L"");
    // Header row and one empty data row, both 18 high.
    ASSERT_EQ(form->StringGrid1->RowCount(), 2);
    ASSERT_EQ(form->StringGrid1->ColCount(), 4);
    EXPECT_EQ(form->StringGrid1->Cells(0, 0), L"No.");
    EXPECT_EQ(form->StringGrid1->Cells(1, 0), L"Type");
    EXPECT_EQ(form->StringGrid1->Cells(2, 0), L"Function");
    EXPECT_EQ(form->StringGrid1->Cells(3, 0), L"Command Data");
    for (int c = 0; c < 4; ++c) EXPECT_EQ(form->StringGrid1->Cells(c, 1), L"");
    EXPECT_EQ(form->StringGrid1->RowHeights(0), 18);
    EXPECT_EQ(form->StringGrid1->RowHeights(1), 18);
    EXPECT_EQ(form->ListBox1->Items().Count(), 0);
    EXPECT_EQ(form->SelectedRow, 0);
}

TEST(Startup, GoodDataFileFillsGridAndLineStore) {
    TTempWorkDir dir;
    dir.WriteFile(L"quolm.dat",
                  "no entry here\r\nRowCount=3\r\n1=ASCII,Reset,ATZ\r\n2=ASCII+CR,Query,AT+GMR\r\n"
                  "3=HEX,Ping,01 02 0A FF\r\n");
    TBoxRecorder boxes;
    auto form = std::make_unique<TfrmMain>(nullptr);
    EXPECT_TRUE(boxes.boxes.empty());
    ASSERT_EQ(form->StringGrid1->RowCount(), 4);
    EXPECT_EQ(form->StringGrid1->Cells(0, 3), L"3");
    EXPECT_EQ(form->StringGrid1->Cells(1, 3), L"HEX");
    EXPECT_EQ(form->StringGrid1->Cells(2, 3), L"Ping");
    EXPECT_EQ(form->StringGrid1->Cells(3, 3), L"01 02 0A FF");
    EXPECT_EQ(form->StringGrid1->Cells(3, 2), L"AT+GMR");
    EXPECT_EQ(form->StringGrid1->Cells(1, 0), L"Type");
    ASSERT_EQ(form->ListBox1->Items().Count(), 5);
    EXPECT_EQ(form->ListBox1->Items().Strings(0), L"no entry here");
    EXPECT_FALSE(form->ListBox1->Visible());
    // The rest of the start-up ran.
    EXPECT_EQ(form->lblCOM_Parameter->Caption(), kDesignedSummary);
    EXPECT_EQ(form->Caption(), L"Quolm-Portwright 1.0.0");
}

// A bad check value in the table read at start is told in the terminal,
// although start-up clears the terminal after the load.
TEST(Startup, BadCheckValueOfTheStartTableStaysInTheLog) {
    TTempWorkDir dir;
    dir.WriteFile(L"quolm.dat", "RowCount=1\r\n1=ASCII,Reset,ATZ\r\nRow.1.Timeout=soon\r\n");
    auto form = std::make_unique<TfrmMain>(nullptr);
    EXPECT_NE(RichText(form->RichEdit1).find(L"Line 3: Row.1.Timeout=soon"), std::wstring::npos)
        << "waited for the note on the bad Timeout in the terminal";
}

TEST(Startup, MalformedDataFileStopsStartUpAndIsReported) {
    TTempWorkDir dir;
    dir.WriteFile(L"quolm.dat", "RowCount=abc\r\n1=ASCII,Reset,ATZ\r\n");
    TBoxRecorder boxes;
    auto form = std::make_unique<TfrmMain>(nullptr);
    ASSERT_EQ(boxes.boxes.size(), 1u);
    EXPECT_EQ(boxes.boxes[0].text, L"''abc'' is not a valid integer value.");
    EXPECT_EQ(boxes.boxes[0].caption, tk::Application().Title());
    EXPECT_EQ(boxes.boxes[0].flags & MB_ICONMASK, static_cast<UINT>(MB_ICONERROR));
    // The steps after the load did not run; the window exists all the same.
    EXPECT_EQ(form->lblCOM_Parameter->Caption(), L"lblCOM_Parameter");
    EXPECT_EQ(form->RichEdit1->Text(), L"RichEdit1");
    EXPECT_EQ(form->Caption(), L"Quolm-Portwright");
    EXPECT_EQ(form->StringGrid1->Cells(0, 0), L"No.");
    EXPECT_EQ(form->ListBox1->Items().Count(), 2);
    EXPECT_TRUE(::IsWindow(form->Handle()));
}

// A start table that exists but cannot be opened is told, and nothing of it
// is loaded.
TEST(Startup, StartTableThatCannotBeOpenedIsReportedAndLoadsNothing) {
    TTempWorkDir dir;
    dir.WriteFile(L"quolm.dat", "RowCount=1\r\n1=ASCII,Reset,ATZ\r\n");
    HANDLE held = ::CreateFileW(L"quolm.dat", GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(held, INVALID_HANDLE_VALUE);
    TBoxRecorder boxes;
    auto form = std::make_unique<TfrmMain>(nullptr);
    ::CloseHandle(held);
    ASSERT_EQ(boxes.boxes.size(), 1u);
    const std::wstring start = L"Cannot open file \"" + tk::ExpandFileName(L"quolm.dat") + L"\". ";
    EXPECT_EQ(boxes.boxes[0].text.substr(0, start.size()), start);
    EXPECT_EQ(form->StringGrid1->RowCount(), 2);
    EXPECT_EQ(form->StringGrid1->Cells(3, 1), L"");
    EXPECT_EQ(form->ListBox1->Items().Count(), 0);
}

TEST(Startup, ShortRowInDataFileReportsMissingField) {
    TTempWorkDir dir;
    dir.WriteFile(L"quolm.dat", "RowCount=2\r\n1=ASCII,Reset\r\n2=HEX,Ping,01\r\n");
    TBoxRecorder boxes;
    auto form = std::make_unique<TfrmMain>(nullptr);
    ASSERT_EQ(boxes.boxes.size(), 1u);
    EXPECT_EQ(boxes.boxes[0].text, L"List index out of bounds (2)");
    EXPECT_EQ(form->StringGrid1->Cells(2, 1), L"Reset");
    EXPECT_EQ(form->StringGrid1->Cells(1, 2), L"");
    EXPECT_EQ(form->Caption(), L"Quolm-Portwright");
}

TEST(Startup, DesignedLayoutAndComponents) {
    TTempWorkDir dir;
    auto form = std::make_unique<TfrmMain>(nullptr);
    form->Show();
    Pump();
    EXPECT_EQ(form->ClientWidth(), 621);
    EXPECT_EQ(form->ClientHeight(), 374);
    EXPECT_EQ(form->Font().Name(), L"Tahoma");
    EXPECT_EQ(form->Font().Height(), -11);
    EXPECT_EQ(form->Panel1->Align(), tk::alTop);
    EXPECT_EQ(form->Panel1->Height(), 33);
    EXPECT_EQ(form->Label1->Caption(), L"COM PORT");
    EXPECT_EQ(form->Label1->Left(), 5);
    EXPECT_EQ(form->Label1->Top(), 8);
    EXPECT_EQ(form->chkConnected->Caption(), L"Always connected");
    EXPECT_FALSE(form->chkConnected->Checked());
    EXPECT_EQ(form->chkConnected->Left(), 137);
    EXPECT_EQ(form->chkConnected->Width(), 107);
    EXPECT_EQ(form->lblCOM_Parameter->Left(), 247);
    EXPECT_EQ(form->StringGrid1->Top(), 32);
    EXPECT_EQ(form->StringGrid1->Width(), 621);
    EXPECT_EQ(form->StringGrid1->Height(), 154);
    EXPECT_EQ(form->StringGrid1->FixedCols(), 1);
    EXPECT_EQ(form->StringGrid1->FixedRows(), 0);
    EXPECT_EQ(form->StringGrid1->ScrollBars(), tk::ssVertical);
    EXPECT_FALSE(form->StringGrid1->Options().Contains(tk::goEditing));
    EXPECT_FALSE(form->ListBox1->Visible());
    EXPECT_FALSE(::IsWindowVisible(form->ListBox1->Handle()));
    EXPECT_EQ(form->Label2->Caption(), L"Tx/Rx Data");
    EXPECT_EQ(form->RichEdit1->Top(), 211);
    EXPECT_EQ(form->RichEdit1->Height(), 155);
    // Thai where the system has Tahoma in Thai, else the default set.
    const BYTE charset = form->RichEdit1->Font().Charset();
    EXPECT_TRUE(charset == THAI_CHARSET || charset == DEFAULT_CHARSET) << int(charset);
    EXPECT_EQ(form->RichEdit1->Font().Name(), L"Tahoma");
    EXPECT_EQ(form->RichEdit1->Font().Height(), -11);
    EXPECT_EQ(form->RichEdit1->Font().Color(), 0x800000u);
    EXPECT_EQ(form->RichEdit1->PopupMenu(), form->PopupMenu1);
    EXPECT_EQ(form->StatusBar1->Align(), tk::alBottom);
    EXPECT_EQ(form->StatusBar1->Height(), 19);
    // The designed panel, then the port at a glance.
    ASSERT_EQ(form->StatusBar1->Panels().Count(), 6);
    EXPECT_EQ(form->StatusBar1->Panels()[0].Width(), 50);
    // With the editing hint shown and every panel filled, all but the last
    // (which takes the rest) fit in the designed width.
    form->StringGrid1MouseDown(nullptr, tk::mbLeft, tk::TShiftState{tk::ssCtrl}, 0, 0);
    form->Clear1Click(nullptr);  // the panels are refreshed
    int used = 0;
    for (int i = 0; i + 1 < form->StatusBar1->Panels().Count(); ++i) used += form->StatusBar1->Panels()[i].Width();
    EXPECT_GT(form->StatusBar1->Panels()[0].Width(), 200);
    EXPECT_GT(form->StatusBar1->Panels()[1].Width(), 0);
    EXPECT_LE(used, 621 - 100);
    form->StringGrid1MouseDown(nullptr, tk::mbLeft, tk::TShiftState{tk::ssShift}, 0, 0);
    EXPECT_EQ(form->StatusBar1->Panels()[0].Width(), 50);
    // Menus.
    EXPECT_EQ(form->LoadData1->Caption(), L"Load Data");
    // Save Data is shown, with Save Data As right after it.
    EXPECT_TRUE(form->SaveData1->Visible());
    EXPECT_EQ(form->File1->Items(1), form->SaveData1);
    EXPECT_EQ(form->File1->Items(2), form->SaveDataAs1);
    EXPECT_EQ(form->SaveDataAs1->Caption(), L"Save Data &As...");
    EXPECT_TRUE(form->N1->IsLine());
    EXPECT_EQ(form->Exit1->Caption(), L"Exit");
    EXPECT_EQ(form->Option1->Items(0), form->COMConfig1);
    EXPECT_EQ(form->COMConfig1->Caption(), L"COM Config");
    EXPECT_TRUE(form->Option1->Items(1)->IsLine());
    EXPECT_EQ(form->mnuOption_SingleClicToSend->Caption(), L"Single click To send");
    EXPECT_FALSE(form->mnuOption_SingleClicToSend->Checked());
    EXPECT_TRUE(form->mnuOption_SingleClicToSend->Enabled());
    EXPECT_EQ(form->About1->Count(), 0);
    // The bench additions: View between Option and About, the log view hidden
    // until a log mode is chosen, capture and the export of run results
    // before the separator above Exit, Run before About.
    EXPECT_EQ(form->MainMenu1->Items()->Items(2), form->View1);
    EXPECT_EQ(form->MainMenu1->Items()->Items(3), form->Run1);
    EXPECT_EQ(form->MainMenu1->Items()->Items(4), form->About1);
    EXPECT_EQ(form->Run1->Items(0), form->mnuRun_All);
    EXPECT_EQ(form->mnuRun_All->Caption(), L"Run &All Rows\tF5");
    EXPECT_FALSE(form->mnuRun_Stop->Enabled());
    EXPECT_TRUE(form->mnuRun_StopAtFailure->AutoCheck());
    EXPECT_EQ(form->View1->Caption(), L"&View");
    EXPECT_TRUE(form->mnuView_Terminal->Checked());
    EXPECT_TRUE(form->mnuView_Timestamps->Checked());
    // The line gap last, after Timestamps: its own setting, not a mode.
    ASSERT_EQ(form->View1->Count(), 6);
    EXPECT_TRUE(form->View1->Items(3)->IsLine());
    EXPECT_EQ(form->View1->Items(4), form->mnuView_Timestamps);
    EXPECT_EQ(form->View1->Items(5), form->mnuView_LineGap);
    EXPECT_EQ(form->mnuView_LineGap->Caption(), L"Line &Gap...");
    EXPECT_FALSE(form->LogView1->Visible());
    EXPECT_FALSE(form->SendLine1->Visible());
    EXPECT_EQ(form->File1->Items(3), form->CaptureToFile1);
    EXPECT_EQ(form->File1->Items(5), form->ExportResults1);
    EXPECT_EQ(form->File1->Items(6), form->N1);
    EXPECT_FALSE(form->StopCapture1->Enabled());
    EXPECT_EQ(form->Clear1->Caption(), L"Clear Tx/Rx Data");
    EXPECT_EQ(form->OpenDialog1->Filter(), L"Data File|*.dat");
    EXPECT_EQ(::GetMenu(form->Handle()), form->MainMenu1->Handle());
    // The serial component as designed, with the log view as its terminal.
    TpwComm* c = form->pwComm1;
    EXPECT_FALSE(c->Active());
    EXPECT_EQ(c->BaudRate(), 9600u);
    EXPECT_EQ(c->Parity(), pNone);
    EXPECT_EQ(c->StopBits(), sbOne);
    EXPECT_EQ(c->ByteSize(), 8);
    EXPECT_EQ(c->ComPortNo(), 1);
    EXPECT_EQ(c->ComPort(), cpCOM1);
    EXPECT_TRUE(c->TraceStates().Empty());
    EXPECT_EQ(c->StreamProtocol(), spNone);
    EXPECT_EQ(c->BufferInSize(), 8192);
    EXPECT_EQ(c->BufferOutSize(), 8192);
    EXPECT_EQ(c->TimeoutRead(), 0u);
    EXPECT_EQ(c->TimeoutWrite(), 0u);
    EXPECT_FALSE(c->RS485Mode());
    EXPECT_EQ(c->EnumPorts(), epQuickAll);
    EXPECT_TRUE(c->UseMainThread());
    EXPECT_EQ(c->Terminal(), form->RichEdit1);
    EXPECT_EQ(c->TerminalUsage(), tuBoth);
    EXPECT_FALSE(c->TerminalEcho());
    EXPECT_EQ(c->TerminalHandle(), form->RichEdit1->Handle());
}

TEST(Startup, ResizeSetsColumnWidths) {
    TTempWorkDir dir;
    auto form = std::make_unique<TfrmMain>(nullptr);
    form->Show();
    Pump();
    tk::TStringGrid* g = form->StringGrid1;
    EXPECT_EQ(g->ColWidths(0), 30);
    EXPECT_EQ(g->ColWidths(1), 70);
    EXPECT_EQ(g->ColWidths(2), 180);
    EXPECT_EQ(g->ColWidths(3), 317);
    // Wider: the grid follows the window, column 3 takes the difference.
    form->SetClientWidth(821);
    Pump();
    EXPECT_EQ(g->Width(), 821);
    EXPECT_EQ(g->ColWidths(3), 821 - 304);
    EXPECT_EQ(form->RichEdit1->Width(), 821);
    // Taller: the log view grows, the grid keeps its height.
    form->SetClientHeight(474);
    Pump();
    EXPECT_EQ(form->RichEdit1->Height(), 255);
    EXPECT_EQ(g->Height(), 154);
    // Narrower than the fixed columns: the width is passed on as computed.
    form->SetClientWidth(250);
    Pump();
    EXPECT_EQ(g->Width(), 250);
    EXPECT_LT(g->ColWidths(3), 1);
    form->SetClientWidth(621);
    Pump();
    EXPECT_EQ(g->ColWidths(3), 317);
}

TEST(Startup, VersionFromOwnResource) { EXPECT_EQ(GetAppVersion(), L"1.0.0"); }

// --- About dialog
// ---------------------------------------------------------------------------------

struct AboutSeen {
    bool found = false;
    RECT dialog{}, main{};
    std::wstring caption, memo, label;
    bool toolWindow = false, sizeable = true;
    int logoWidth = 0, logoHeight = 0;
    bool owned = false;
    std::vector<std::wstring> opened;
    HWND openParent = nullptr;
    TfrmMain* form = nullptr;
};
AboutSeen* g_seen = nullptr;

TfrmAbout* FindAbout(TfrmMain* form) {
    for (int i = 0; i < form->ComponentCount(); ++i)
        if (auto* a = dynamic_cast<TfrmAbout*>(form->Components(i))) return a;
    return nullptr;
}

// Runs inside the dialog's modal loop: looks at it, clicks the address,
// then presses OK.
void CALLBACK InspectAbout(HWND, UINT, UINT_PTR id, DWORD) {
    ::KillTimer(nullptr, id);
    AboutSeen& s = *g_seen;
    TfrmAbout* about = FindAbout(s.form);
    if (!about) return;
    s.found = true;
    s.owned = about->Owner() == s.form;
    s.dialog = WindowRectOf(about->Handle());
    s.main = WindowRectOf(s.form->Handle());
    s.caption = about->Caption();
    s.memo = about->Memo1->Text();
    s.label = about->Label1->Caption();
    const LONG_PTR ex = ::GetWindowLongPtrW(about->Handle(), GWL_EXSTYLE);
    const LONG_PTR st = ::GetWindowLongPtrW(about->Handle(), GWL_STYLE);
    s.toolWindow = (ex & WS_EX_TOOLWINDOW) != 0;
    s.sizeable = (st & WS_THICKFRAME) != 0;
    s.logoWidth = about->Image1->Picture().Width();
    s.logoHeight = about->Image1->Picture().Height();
    ::SendMessageW(about->Label1->Handle(), WM_LBUTTONDOWN, MK_LBUTTON, MAKELPARAM(3, 3));
    ::SendMessageW(about->Label1->Handle(), WM_LBUTTONUP, 0, MAKELPARAM(3, 3));
    ::SendMessageW(about->btnAboutOK->Handle(), BM_CLICK, 0, 0);
}

TEST(About, CentredOverMainWindowWithVersionAndAddress) {
    TTempWorkDir dir;
    auto form = std::make_unique<TfrmMain>(nullptr);
    form->SetBounds(37, 23, form->Width() + 1, form->Height());  // odd width: the halves truncate
    form->Show();
    Pump();
    AboutSeen seen;
    seen.form = form.get();
    g_seen = &seen;
    TShellExecuteFn saved = SetShellExecuteHook([&seen](HWND parent, const wchar_t* verb,
                                                        const wchar_t* file, const wchar_t* params,
                                                        const wchar_t* d, int show) -> HINSTANCE {
        seen.opened.push_back(std::wstring(verb) + L"|" + file + L"|" + (params ? L"params" : L"") +
                              (d ? L"dir" : L"") + L"|" + std::to_wstring(show));
        seen.openParent = parent;
        return reinterpret_cast<HINSTANCE>(33);
    });
    ::SetTimer(nullptr, 0, 50, &InspectAbout);
    MenuCommand(form.get(), form->About1);
    SetShellExecuteHook(saved);
    g_seen = nullptr;

    ASSERT_TRUE(seen.found);
    EXPECT_TRUE(seen.owned);
    EXPECT_EQ(seen.caption, L"About");
    EXPECT_TRUE(seen.toolWindow);
    EXPECT_FALSE(seen.sizeable);
    const int mw = seen.main.right - seen.main.left, mh = seen.main.bottom - seen.main.top;
    const int dw = seen.dialog.right - seen.dialog.left, dh = seen.dialog.bottom - seen.dialog.top;
    EXPECT_EQ(seen.dialog.left, seen.main.left + mw / 2 - dw / 2);
    EXPECT_EQ(seen.dialog.top, seen.main.top + mh / 2 - dh / 2);
    EXPECT_EQ(seen.memo.substr(0, 32), L"Quolm Portwright \r\nVersion 1.0.0");
    EXPECT_EQ(seen.memo.find_first_not_of(L"\r\n", 32), std::wstring::npos);
    EXPECT_EQ(seen.label, kMakerAddress);
    EXPECT_EQ(seen.logoWidth, 146);
    EXPECT_EQ(seen.logoHeight, 57);
    ASSERT_EQ(seen.opened.size(), 1u);
    EXPECT_EQ(seen.opened[0],
              std::wstring(L"open|") + kMakerAddress + L"||" + std::to_wstring(SW_SHOW));
    // Closed and destroyed again.
    EXPECT_EQ(FindAbout(form.get()), nullptr);
    EXPECT_TRUE(::IsWindowEnabled(form->Handle()));
}

TEST(About, DesignedLayout) {
    TTempWorkDir dir;
    auto form = std::make_unique<TfrmMain>(nullptr);
    TfrmAbout about(form.get());
    EXPECT_EQ(about.ClientWidth(), 332);
    EXPECT_EQ(about.ClientHeight(), 107);
    EXPECT_EQ(about.BorderStyle(), tk::bsToolWindow);
    EXPECT_EQ(about.Image1->Width(), 146);
    EXPECT_TRUE(about.Image1->Stretch());
    EXPECT_EQ(about.Label1->Font().Height(), -12);
    EXPECT_EQ(about.Label1->Font().Color(), tk::clNavy);
    EXPECT_EQ(about.Label1->Cursor(), tk::crHandPoint);
    EXPECT_EQ(about.btnAboutOK->Caption(), L"OK");
    EXPECT_EQ(about.btnAboutOK->ModalResult(), tk::mrOk);
    EXPECT_EQ(about.Memo1->Left(), 160);
    EXPECT_EQ(about.Memo1->Lines().Count(), 2);
    EXPECT_EQ(about.Memo1->Lines().Strings(0), L"Quolm Portwright ");
    EXPECT_EQ(about.Memo1->Lines().Strings(1), L"Version 1.0.0");
}

}  // namespace
