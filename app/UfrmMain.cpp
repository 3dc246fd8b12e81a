#include "UfrmMain.h"

#include <algorithm>
#include <climits>
#include <filesystem>
#include <fstream>
#include <string>
#include <utility>

#include "Application.h"
#include "CheckGrid.h"
#include "CommReport.h"
#include "DataFile.h"
#include "FormKeys.h"
#include "RowChecks.h"
#include "SendPath.h"
#include "SysUtils.h"
#include "TableWriter.h"
#include "UAppFunction.h"
#include "USerial_Function.h"
#include "UfrmAbout.h"
#include "UfrmRepeat.h"
#include "WinePorts.h"
#include "LineGapDialog.h"
#include "LogFormat.h"
#include "pwwin32.h"

TfrmMain* frmMain = nullptr;

namespace {

// Grid columns.
constexpr int kColNo = 0, kColType = 1, kColFunction = 2, kColData = 3;
// Rows of the grid as designed (header and one data row).
constexpr int kDesignedRows = 2;
// Status, silence and capture upkeep; the capture is flushed on every tick.
constexpr UINT_PTR kTickTimer = 1;
constexpr UINT kTickMs = 250;
// The run's wake-up, and a run key seen in any control of the window.
constexpr UINT_PTR kRunTimer = 2;
constexpr UINT kRunKeyMessage = WM_APP + 0x51;
// Status-bar panels beside the designed one.
enum { kPanelHint, kPanelPort, kPanelCounts, kPanelErrors, kPanelModem, kPanelCapture };

// Local time in ms, as precise as the system gives it (the gaps between
// log lines are differences of these).
std::int64_t NowMs() {
    using PreciseTime = VOID(WINAPI*)(LPFILETIME);
    static const auto precise = reinterpret_cast<PreciseTime>(reinterpret_cast<void*>(
        GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "GetSystemTimePreciseAsFileTime")));
    FILETIME utc, local;
    if (precise)
        precise(&utc);
    else
        GetSystemTimeAsFileTime(&utc);
    FileTimeToLocalFileTime(&utc, &local);
    ULARGE_INTEGER t;
    t.LowPart = local.dwLowDateTime;
    t.HighPart = local.dwHighDateTime;
    return static_cast<std::int64_t>(t.QuadPart / 10000);
}

std::string WideToUtf8(const std::wstring& text) {
    if (text.empty()) return {};
    const int n = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0,
                                      nullptr, nullptr);
    std::string out(static_cast<std::size_t>(std::max(0, n)), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), out.data(), n, nullptr,
                        nullptr);
    return out;
}
// The port panel shows the device Wine maps the port to.
constexpr int kHintPanel = kPanelHint, kPortPanel = kPanelPort;
// The designed width of the hint panel; it widens while it shows the hint.
constexpr int kHintPanelWidth = 50;
// A long device path must leave room for the panels after it.
constexpr int kPortPanelMaxWidth = 220;

// Pixels a status-bar panel needs for its text (borders and margins included).
int PanelWidth(tk::TStatusBar& bar, const std::wstring& text) {
    if (text.empty() || !bar.HandleAllocated()) return 0;
    const auto font = reinterpret_cast<HFONT>(SendMessageW(bar.Handle(), WM_GETFONT, 0, 0));
    return tk::MeasureText(font, text, DT_SINGLELINE | DT_NOPREFIX).cx + 12;
}

void ShowHint(tk::TStatusBar& bar, const std::wstring& text) {
    bar.Panels()[kHintPanel].SetText(text);
    bar.Panels()[kHintPanel].SetWidth(std::max(kHintPanelWidth, PanelWidth(bar, text)));
}

// The terminal binding needs the window of the control it hooks; ours
// create it on demand.
void InstallTerminalResolver() {
    static const bool installed = [] {
        TpwBaseIO::SetTerminalWindowResolver([](tk::TComponent* control) -> HWND {
            auto* wc = dynamic_cast<tk::TWinControl*>(control);
            return wc ? wc->Handle() : nullptr;
        });
        return true;
    }();
    (void)installed;
}

// The character set a font face is asked for in, when the system has the
// face in that set; otherwise the default set. A face requested in a set
// none of its fonts covers (Thai on a system without Thai fonts) is drawn
// from a font without Latin glyphs, and the log view shows only boxes.
int CALLBACK FontFound(const LOGFONTW*, const TEXTMETRICW*, DWORD, LPARAM param) {
    *reinterpret_cast<bool*>(param) = true;
    return 0;
}

BYTE CharsetIfAvailable(const wchar_t* face, BYTE charset) {
    LOGFONTW lf = {};
    lf.lfCharSet = charset;
    lstrcpynW(lf.lfFaceName, face, LF_FACESIZE);
    bool found = false;
    HDC dc = GetDC(nullptr);
    if (!dc) return charset;
    EnumFontFamiliesExW(dc, &lf, &FontFound, reinterpret_cast<LPARAM>(&found), 0);
    ReleaseDC(nullptr, dc);
    return found ? charset : static_cast<BYTE>(DEFAULT_CHARSET);
}

// The log view and the send line in the place of the terminal as it is now.
void PlaceLogControls(TfrmMain& form) {
    using namespace tk;
    const int logTop = form.RichEdit1->Top(), width = form.RichEdit1->Width(), sendHeight = 23;
    const int logBottom = form.ClientHeight() - form.StatusBar1->Height();
    form.LogView1->SetParent(&form);
    form.LogView1->SetBounds(0, logTop, width, logBottom - sendHeight - 2 - logTop);
    form.LogView1->SetAnchors({akLeft, akTop, akRight, akBottom});
    form.SendLine1->SetParent(&form);
    form.SendLine1->SetBounds(0, logBottom - sendHeight - 1, width, sendHeight);
    form.SendLine1->SetAnchors({akLeft, akRight, akBottom});
}

// Closes the port on every way out of a send unless "Always connected" is
// ticked.
class TCloseAfterSend {
public:
    explicit TCloseAfterSend(TSendPath& path) : path_(path) {}
    TCloseAfterSend(const TCloseAfterSend&) = delete;
    TCloseAfterSend& operator=(const TCloseAfterSend&) = delete;
    ~TCloseAfterSend() noexcept(false) {
        if (std::uncaught_exceptions() > 0) {
            // Already leaving with an error: that one is reported, not a second.
            try {
                path_.CloseUnlessKept();
            } catch (...) {
            }
        } else {
            path_.CloseUnlessKept();
        }
    }

private:
    TSendPath& path_;
};

}  // namespace

TfrmMain::TfrmMain(tk::TComponent* AOwner) : tk::TForm(AOwner) {
    InstallTerminalResolver();
    CreateComponents();
    fSendPath = std::make_unique<TSendPath>(*pwComm1, [this] { return chkConnected->Checked(); });
    fSendPath->OnWritten = [this](const std::string& bytes) {
        ++writes_;
        LogSent(bytes);
    };
    fRun = std::make_unique<TRunController>(static_cast<TRunHost&>(*this));
    tk::TComponent::LoadLayout(this, [this] { ApplyDesignedLayout(); });
    DoCreate();
}

TfrmMain::~TfrmMain() {
    // The component is destroyed after this form's members (the store, the
    // capture): a close or a last event then must not call back in here.
    pwComm1->SetOnOpen(tk::TNotifyEvent());
    pwComm1->SetOnClose(tk::TNotifyEvent());
    pwComm1->SetOnAfterReceive(TOnReceived());
    pwComm1->SetOnCommError(TOnCommErrorEvent());
    pwComm1->SetOnTerminalChar(TOnTerminalChar());
    fSendPath->OnWritten = nullptr;
    fRunKeys.reset();
    ReconnectTimer.reset();
    // The component outlives this part of the form and notifies as it closes.
    pwComm1->NotifyDelete(TpwNotifyEvent(this, &TfrmMain::pwComm1Notify));
    FinishCapture();
    // The store goes before the controls do.
    LogView1->SetLog(nullptr);
    if (frmMain == this) frmMain = nullptr;
}

void TfrmMain::CreateComponents() {
    // Creation order is the order of the end-of-loading notifications:
    // pwComm1 comes after RichEdit1, which it binds as its terminal.
    Panel1 = new tk::TPanel(this);
    Label1 = new tk::TLabel(this);
    pwDeviceBox1 = new TpwDeviceBox(this);
    chkConnected = new tk::TCheckBox(this);
    lblCOM_Parameter = new tk::TLabel(this);
    StringGrid1 = new tk::TStringGrid(this);
    ListBox1 = new tk::TListBox(this);
    Label2 = new tk::TLabel(this);
    RichEdit1 = new tk::TRichEdit(this);
    LogView1 = new TLogView(this);
    SendLine1 = new TSendLine(this);
    StatusBar1 = new tk::TStatusBar(this);
    MainMenu1 = new tk::TMainMenu(this);
    File1 = new tk::TMenuItem(this);
    LoadData1 = new tk::TMenuItem(this);
    SaveData1 = new tk::TMenuItem(this);
    SaveDataAs1 = new tk::TMenuItem(this);
    N1 = new tk::TMenuItem(this);
    Exit1 = new tk::TMenuItem(this);
    Option1 = new tk::TMenuItem(this);
    COMConfig1 = new tk::TMenuItem(this);
    N2 = new tk::TMenuItem(this);
    mnuOption_SingleClicToSend = new tk::TMenuItem(this);
    View1 = new tk::TMenuItem(this);
    mnuView_Terminal = new tk::TMenuItem(this);
    mnuView_TextLog = new tk::TMenuItem(this);
    mnuView_HexLog = new tk::TMenuItem(this);
    N3 = new tk::TMenuItem(this);
    mnuView_Timestamps = new tk::TMenuItem(this);
    mnuView_LineGap = new tk::TMenuItem(this);
    CaptureToFile1 = new tk::TMenuItem(this);
    StopCapture1 = new tk::TMenuItem(this);
    ExportResults1 = new tk::TMenuItem(this);
    Run1 = new tk::TMenuItem(this);
    mnuRun_All = new tk::TMenuItem(this);
    mnuRun_Selected = new tk::TMenuItem(this);
    mnuRun_Repeat = new tk::TMenuItem(this);
    mnuRun_Stop = new tk::TMenuItem(this);
    mnuRun_StopAtFailure = new tk::TMenuItem(this);
    About1 = new tk::TMenuItem(this);
    PopupMenu1 = new tk::TPopupMenu(this);
    Clear1 = new tk::TMenuItem(this);
    OpenDialog1 = new tk::TOpenDialog(this);
    SaveDialog1 = new tk::TSaveDialog(this);
    SaveDataDialog1 = new tk::TSaveDialog(this);
    ExportDialog1 = new tk::TSaveDialog(this);
    pwComm1 = new TpwComm(this);
}

void TfrmMain::ApplyDesignedLayout() {
    using namespace tk;
    SetName(L"frmMain");
    SetCaption(kMainCaption);
    SetColor(clBtnFace);
    Font().SetName(L"Tahoma");
    Font().SetHeight(-11);
    SetPosition(poDefaultPosOnly);

    // Menus first: the menu bar is outside the designed client area.
    MainMenu1->SetName(L"MainMenu1");
    File1->SetName(L"File1");
    File1->SetCaption(L"File");
    LoadData1->SetName(L"LoadData1");
    LoadData1->SetCaption(L"Load Data");
    LoadData1->SetOnClick(TNotifyEvent(this, &TfrmMain::LoadData1Click));
    SaveData1->SetName(L"SaveData1");
    SaveData1->SetCaption(L"Save Data");
    SaveData1->SetOnClick(TNotifyEvent(this, &TfrmMain::SaveData1Click));
    SaveDataAs1->SetName(L"SaveDataAs1");
    SaveDataAs1->SetCaption(L"Save Data &As...");
    SaveDataAs1->SetOnClick(TNotifyEvent(this, &TfrmMain::SaveDataAs1Click));
    N1->SetName(L"N1");
    N1->SetCaption(L"-");
    Exit1->SetName(L"Exit1");
    Exit1->SetCaption(L"Exit");
    Exit1->SetOnClick(TNotifyEvent(this, &TfrmMain::Exit1Click));
    CaptureToFile1->SetName(L"CaptureToFile1");
    CaptureToFile1->SetCaption(L"&Capture to File...");
    CaptureToFile1->SetOnClick(TNotifyEvent(this, &TfrmMain::CaptureToFile1Click));
    StopCapture1->SetName(L"StopCapture1");
    StopCapture1->SetCaption(L"Stop Ca&pture");
    StopCapture1->SetEnabled(false);
    StopCapture1->SetOnClick(TNotifyEvent(this, &TfrmMain::StopCapture1Click));
    ExportResults1->SetName(L"ExportResults1");
    ExportResults1->SetCaption(L"&Export Results...");
    ExportResults1->SetOnClick(TNotifyEvent(this, &TfrmMain::ExportResults1Click));
    for (TMenuItem* item : {LoadData1, SaveData1, SaveDataAs1, CaptureToFile1, StopCapture1, ExportResults1, N1,
                            Exit1})
        File1->Add(item);
    Option1->SetName(L"Option1");
    Option1->SetCaption(L"Option");
    COMConfig1->SetName(L"COMConfig1");
    COMConfig1->SetCaption(L"COM Config");
    COMConfig1->SetOnClick(TNotifyEvent(this, &TfrmMain::COMConfig1Click));
    N2->SetName(L"N2");
    N2->SetCaption(L"-");
    mnuOption_SingleClicToSend->SetName(L"mnuOption_SingleClicToSend");
    mnuOption_SingleClicToSend->SetCaption(L"Single click To send");
    mnuOption_SingleClicToSend->SetAutoCheck(true);
    for (TMenuItem* item : {COMConfig1, N2, mnuOption_SingleClicToSend}) Option1->Add(item);
    About1->SetName(L"About1");
    About1->SetCaption(L"About");
    About1->SetOnClick(TNotifyEvent(this, &TfrmMain::About1Click));
    View1->SetName(L"View1");
    View1->SetCaption(L"&View");
    mnuView_Terminal->SetName(L"mnuView_Terminal");
    mnuView_Terminal->SetCaption(L"&Terminal");
    mnuView_Terminal->SetChecked(true);
    mnuView_TextLog->SetName(L"mnuView_TextLog");
    mnuView_TextLog->SetCaption(L"Te&xt Log");
    mnuView_HexLog->SetName(L"mnuView_HexLog");
    mnuView_HexLog->SetCaption(L"&Hex Log");
    for (TMenuItem* item : {mnuView_Terminal, mnuView_TextLog, mnuView_HexLog})
        item->SetOnClick(TNotifyEvent(this, &TfrmMain::ViewModeClick));
    N3->SetName(L"N3");
    N3->SetCaption(L"-");
    mnuView_Timestamps->SetName(L"mnuView_Timestamps");
    mnuView_Timestamps->SetCaption(L"Time&stamps");
    mnuView_Timestamps->SetAutoCheck(true);
    mnuView_Timestamps->SetChecked(true);
    mnuView_Timestamps->SetOnClick(TNotifyEvent(this, &TfrmMain::TimestampsClick));
    mnuView_LineGap->SetName(L"mnuView_LineGap");
    mnuView_LineGap->SetCaption(L"Line &Gap...");
    mnuView_LineGap->SetOnClick(TNotifyEvent(this, &TfrmMain::LineGapClick));
    for (TMenuItem* item :
         {mnuView_Terminal, mnuView_TextLog, mnuView_HexLog, N3, mnuView_Timestamps, mnuView_LineGap})
        View1->Add(item);
    Run1->SetName(L"Run1");
    Run1->SetCaption(L"&Run");
    mnuRun_All->SetName(L"mnuRun_All");
    mnuRun_All->SetCaption(L"Run &All Rows\tF5");
    mnuRun_All->SetOnClick(TNotifyEvent(this, &TfrmMain::RunAllClick));
    mnuRun_Selected->SetName(L"mnuRun_Selected");
    mnuRun_Selected->SetCaption(L"Run &Selected Rows");
    mnuRun_Selected->SetOnClick(TNotifyEvent(this, &TfrmMain::RunSelectedClick));
    mnuRun_Repeat->SetName(L"mnuRun_Repeat");
    mnuRun_Repeat->SetCaption(L"R&epeat...");
    mnuRun_Repeat->SetOnClick(TNotifyEvent(this, &TfrmMain::RunRepeatClick));
    mnuRun_Stop->SetName(L"mnuRun_Stop");
    mnuRun_Stop->SetCaption(L"S&top\tEsc");
    mnuRun_Stop->SetEnabled(false);
    mnuRun_Stop->SetOnClick(TNotifyEvent(this, &TfrmMain::RunStopClick));
    mnuRun_StopAtFailure->SetName(L"mnuRun_StopAtFailure");
    mnuRun_StopAtFailure->SetCaption(L"Stop at First &Failure");
    mnuRun_StopAtFailure->SetAutoCheck(true);
    for (TMenuItem* item : {mnuRun_All, mnuRun_Selected, mnuRun_Repeat, mnuRun_Stop, mnuRun_StopAtFailure})
        Run1->Add(item);
    for (TMenuItem* item : {File1, Option1, View1, Run1, About1}) MainMenu1->Items()->Add(item);
    SetMenu(MainMenu1);

    PopupMenu1->SetName(L"PopupMenu1");
    Clear1->SetName(L"Clear1");
    Clear1->SetCaption(L"Clear Tx/Rx Data");
    Clear1->SetOnClick(TNotifyEvent(this, &TfrmMain::Clear1Click));
    PopupMenu1->Items()->Add(Clear1);

    SetClientWidth(621);
    SetClientHeight(374);

    Panel1->SetName(L"Panel1");
    Panel1->SetParent(this);
    Panel1->SetBounds(0, 0, 621, 33);
    Panel1->SetAlign(alTop);

    Label1->SetName(L"Label1");
    Label1->SetParent(Panel1);
    Label1->SetBounds(5, 8, Label1->Width(), Label1->Height());
    Label1->SetCaption(L"COM PORT");

    pwDeviceBox1->SetName(L"pwDeviceBox1");
    pwDeviceBox1->SetParent(Panel1);
    pwDeviceBox1->SetBounds(64, 5, 65, 21);
    pwDeviceBox1->SetResetOnChanged(false);
    pwDeviceBox1->SetText(L"COM1");

    chkConnected->SetName(L"chkConnected");
    chkConnected->SetParent(Panel1);
    chkConnected->SetBounds(137, 5, 107, 17);
    chkConnected->SetCaption(L"Always connected");
    chkConnected->SetOnClick(TNotifyEvent(this, &TfrmMain::chkConnectedClick));

    lblCOM_Parameter->SetName(L"lblCOM_Parameter");
    lblCOM_Parameter->SetParent(Panel1);
    lblCOM_Parameter->SetBounds(247, 8, lblCOM_Parameter->Width(), lblCOM_Parameter->Height());
    lblCOM_Parameter->SetCaption(L"lblCOM_Parameter");

    StringGrid1->SetName(L"StringGrid1");
    StringGrid1->SetParent(this);
    StringGrid1->SetBounds(0, 32, 621, 154);
    StringGrid1->SetAnchors({akLeft, akTop, akRight});
    StringGrid1->SetColCount(4);
    StringGrid1->SetRowCount(kDesignedRows);
    StringGrid1->SetFixedRows(0);
    StringGrid1->SetFixedCols(1);
    StringGrid1->SetDefaultColWidth(64);
    StringGrid1->SetScrollBars(ssVertical);
    StringGrid1->SetOnDblClick(TNotifyEvent(this, &TfrmMain::StringGrid1DblClick));
    StringGrid1->SetOnMouseDown(TMouseEvent(this, &TfrmMain::StringGrid1MouseDown));
    StringGrid1->SetOnSelectCell(TSelectCellEvent(this, &TfrmMain::StringGrid1SelectCell));
    StringGrid1->SetOnCanEditCell(TCanEditCellEvent(this, &TfrmMain::StringGrid1CanEditCell));
    StringGrid1->SetOnSetEditText(TSetEditTextEvent(this, &TfrmMain::StringGrid1SetEditText));

    ListBox1->SetName(L"ListBox1");
    ListBox1->SetParent(this);
    ListBox1->SetBounds(295, 97, 298, 55);
    ListBox1->SetVisible(false);

    Label2->SetName(L"Label2");
    Label2->SetParent(this);
    Label2->SetBounds(5, 192, Label2->Width(), Label2->Height());
    Label2->SetCaption(L"Tx/Rx Data");

    RichEdit1->SetName(L"RichEdit1");
    RichEdit1->SetParent(this);
    RichEdit1->SetBounds(0, 211, 621, 155);
    RichEdit1->SetAnchors({akLeft, akTop, akRight, akBottom});
    RichEdit1->Font().SetName(L"Tahoma");
    RichEdit1->Font().SetHeight(-11);
    RichEdit1->Font().SetCharset(CharsetIfAvailable(L"Tahoma", THAI_CHARSET));
    RichEdit1->Font().SetColor(kLogColor);
    RichEdit1->SetScrollBars(ssBoth);
    // Lines as received, scrolled sideways: the view has a horizontal bar.
    RichEdit1->SetWordWrap(false);
    RichEdit1->SetPopupMenu(PopupMenu1);
    RichEdit1->SetText(L"RichEdit1");

    StatusBar1->SetName(L"StatusBar1");
    StatusBar1->SetParent(this);
    StatusBar1->SetAlign(alBottom);
    StatusBar1->SetHeight(19);
    StatusBar1->Panels().Add().SetWidth(kHintPanelWidth);

    OpenDialog1->SetName(L"OpenDialog1");
    OpenDialog1->SetFilter(kDataFileFilter);

    pwComm1->SetName(L"pwComm1");
    pwComm1->SetActive(false);
    pwComm1->SetBaudRate(9600);
    pwComm1->SetParity(pNone);
    pwComm1->SetStopBits(sbOne);
    pwComm1->SetByteSize(8);
    pwComm1->SetComPortNo(1);
    pwComm1->SetComPort(cpCOM1);
    pwComm1->SetTraceStates(TTraceStates());
    pwComm1->SetEventChar(L'\0');
    pwComm1->SetStreamProtocol(spNone);
    pwComm1->SetBufferInSize(8192);
    pwComm1->SetBufferOutSize(8192);
    pwComm1->SetTimeoutRead(0);
    pwComm1->SetTimeoutWrite(0);
    pwComm1->SetRS485Mode(false);
    pwComm1->SetEnumPorts(epQuickAll);
    pwComm1->SetUseMainThread(true);
    pwComm1->SetTerminal(RichEdit1);
    pwComm1->SetTerminalUsage(tuBoth);
    pwComm1->SetTerminalEcho(false);
    pwComm1->SetOnCommError(TOnCommErrorEvent(this, &TfrmMain::pwComm1CommError));
    // References last: binding the selector loads the component's port list.
    pwDeviceBox1->SetpwComm(pwComm1);
    pwComm1->NotifyAdd(TpwNotifyEvent(this, &TfrmMain::pwComm1Notify));

    AddBenchControls();

    SetOnCreate(TNotifyEvent(this, &TfrmMain::FormCreate));
    SetOnResize(TNotifyEvent(this, &TfrmMain::FormResize));
}

// The log modes' view and the send line take the log view's place when a
// log mode is chosen; the store behind them records in every mode. Their
// windows are made when a log mode is first chosen: a start-up in the
// terminal does not pay for them.
void TfrmMain::AddBenchControls() {
    using namespace tk;
    LogView1->SetName(L"LogView1");
    LogView1->SetPopupMenu(PopupMenu1);
    LogView1->SetLog(&eventLog_);
    LogView1->SetOnKeyChar(TKeyCharEvent(this, &TfrmMain::LogView1KeyChar));
    LogView1->SetVisible(false);
    SendLine1->SetName(L"SendLine1");
    SendLine1->SetOnSend(TSendLineEvent(this, &TfrmMain::SendLine1Send));
    SendLine1->SetVisible(false);

    SaveDialog1->SetName(L"SaveDialog1");
    SaveDialog1->SetFilter(kCaptureFilter);
    SaveDialog1->SetDefaultExt(L"txt");
    SaveDataDialog1->SetName(L"SaveDataDialog1");
    SaveDataDialog1->SetFilter(kDataFileFilter);
    SaveDataDialog1->SetDefaultExt(L"dat");
    ExportDialog1->SetName(L"ExportDialog1");
    ExportDialog1->SetFilter(L"Results, CSV (*.csv)|*.csv");
    ExportDialog1->SetDefaultExt(L"csv");

    // Sized to their texts as those change.
    {
        tk::TStatusPanels::TUpdate update(StatusBar1->Panels());
        for (int i = 0; i < 5; ++i) StatusBar1->Panels().Add().SetWidth(0);
    }
    // Terminal first: the store keeps about what the terminal shows.
    eventLog_.SetLimits(EventLog::kTerminalMaxBytes, EventLog::kTerminalMaxEvents);

    pwComm1->SetOnAfterReceive(TOnReceived(this, &TfrmMain::pwComm1AfterReceive));
    pwComm1->SetOnOpen(TNotifyEvent(this, &TfrmMain::pwComm1Open));
    pwComm1->SetOnClose(TNotifyEvent(this, &TfrmMain::pwComm1Close));
    pwComm1->SetOnCommError(TOnCommErrorEvent(this, &TfrmMain::pwComm1CommError));
    pwComm1->SetOnTerminalChar(TOnTerminalChar(this, &TfrmMain::pwComm1TerminalChar));
}

// --- start-up and layout -------------------------------------------------------------------------

void TfrmMain::FormCreate(tk::TObject*) {
    for (int r = 0; r < kDesignedRows; ++r) StringGrid1->SetRowHeights(r, kDataRowHeight);
    StringGrid1->SetCells(kColNo, 0, L"No.");
    StringGrid1->SetCells(kColType, 0, L"Type");
    StringGrid1->SetCells(kColFunction, 0, L"Function");
    StringGrid1->SetCells(kColData, 0, L"Command Data");
    DataFileName = tk::ExpandFileName(kDefaultDataFile);
    if (tk::FileExists(kDefaultDataFile)) LoadDataFile(kDefaultDataFile);
    ShowComParameter();
    ShowPortMapping();
    RichEdit1->Clear();
    // The notes of the load (bad check values) outlive the clear.
    for (const std::wstring& error : RowChecks.errors) ShowNoteInTerminal(error);
    SetCaption(std::wstring(kMainCaption) + L" " + GetAppVersion());
}

void TfrmMain::FormResize(tk::TObject*) {
    StringGrid1->SetColWidths(0, 30);
    StringGrid1->SetColWidths(1, 70);
    StringGrid1->SetColWidths(2, 180);
    int rest = StringGrid1->Width() - StringGrid1->ColWidths(0) - StringGrid1->ColWidths(1) -
               StringGrid1->ColWidths(2) - 24;
    if (StringGrid1->ColCount() > kColResult) {
        StringGrid1->SetColWidths(kColExpect, 110);
        StringGrid1->SetColWidths(kColResult, 90);
        rest = std::max(64, rest - 200);
    }
    StringGrid1->SetColWidths(3, rest);
}

void TfrmMain::ShowComParameter() {
    std::wstring s = tk::IntToStr(pwComm1->BaudRate()) + L" bps";
    switch (pwComm1->Parity()) {
        case pNone:
            s += L" / Non ";
            break;
        case pOdd:
            s += L" / Odd ";
            break;
        case pEven:
            s += L" / Even ";
            break;
        case pMark:
            s += L" / Mask ";
            break;
        case pSpace:
            s += L" / Space ";
            break;
    }
    s += L" Parity / ";
    s += L" " + tk::IntToStr(pwComm1->ByteSize()) + L" Data bit /";
    switch (pwComm1->StopBits()) {
        case sbOne:
            s += L" 1 Stop bit";
            break;
        case sbOneAndHalf:
            s += L" 1.5 Stop bit";
            break;
        case sbTwo:
            s += L" 2 Stop bit";
            break;
    }
    s += L" / Flow Control=";
    switch (pwComm1->StreamProtocol()) {
        case spNone:
            s += L" None";
            break;
        case spXonXoff:
            s += L" XonXoff ";
            break;
        case spHardware:
            s += L" Hardware ";
            break;
    }
    lblCOM_Parameter->SetCaption(s);
}

void TfrmMain::ShowPortMapping() {
    const std::wstring port = pwComm1->ComName();
    portMapping_ = PortMappingText(port, WinePortDevice(port));
    UpdateStatusPanels();
}

void TfrmMain::LoadDataFile(const std::wstring& FileName) {
    // Nothing changes when the file cannot be read. Once read, its lines are
    // kept (in the hidden list box, and for the rows' checks) also when the
    // load fails half-way.
    std::shared_ptr<const TDataLines> lines;
    auto keep = [&] {
        DataFileName = tk::ExpandFileName(FileName);
        ListBox1->Items().SetLines(lines);
        LoadRowChecksFromLines(*lines);
    };
    try {
        ::LoadDataFile(FileName, lines, *StringGrid1, &DataRowCount);
    } catch (...) {
        if (lines) keep();
        throw;
    }
    keep();
}

void TfrmMain::LoadRowChecksFromLines(const TDataLines& lines) {
    RowChecks = LoadRowChecks(lines, DataRowCount);
    ShowRowChecks(RowChecks, *StringGrid1);
    FormResize(this);
    // Loading goes on past a bad value; the user reads why in the log.
    for (const std::wstring& error : RowChecks.errors) AddNote(error);
}

bool TfrmMain::SaveDataFile(const std::wstring& FileName) {
    // What the in-place editor shows is part of the table.
    if (StringGrid1->EditorMode()) StringGrid1->SetEditorMode(false);
    const std::vector<TTableRow> rows = TableRowsOfGrid(*StringGrid1, DataRowCount, RowChecks);
    try {
        // Read again at save time: lines that are no rows stay as they are now.
        std::string original;
        try {
            if (tk::FileExists(DataFileName)) original = ReadDataFileBytes(DataFileName);
        } catch (const tk::EFOpenError& e) {
            throw tk::Exception(L"Cannot save file \"" + tk::ExpandFileName(FileName) + L"\". " +
                                e.Message());
        }
        SaveTableFile(FileName, original, rows);
    } catch (const tk::Exception& e) {
        ShowMessage(e.Message());
        return false;
    }
    DataFileName = tk::ExpandFileName(FileName);
    return true;
}

// --- grid input ----------------------------------------------------------------------------------

void TfrmMain::StringGrid1SelectCell(tk::TObject*, int, int ARow, bool& CanSelect) {
    SelectedRow = ARow;
    CanSelect = true;
}

void TfrmMain::StringGrid1MouseDown(tk::TObject*, tk::TMouseButton, tk::TShiftState Shift, int,
                                    int) {
    // Every mouse button counts.
    if (Shift.Contains(tk::ssCtrl)) {
        ShowHint(*StatusBar1, kEditingHint);
        StringGrid1->SetOptions(StringGrid1->Options() + tk::TGridOptions{tk::goEditing});
        mnuOption_SingleClicToSend->SetEnabled(false);
    }
    if (Shift.Contains(tk::ssShift)) {
        ShowHint(*StatusBar1, L"");
        StringGrid1->SetOptions(StringGrid1->Options() - tk::TGridOptions{tk::goEditing});
        mnuOption_SingleClicToSend->SetEnabled(true);
    } else if (!StringGrid1->Options().Contains(tk::goEditing) &&
               mnuOption_SingleClicToSend->Checked()) {
        SendSelectedRow();
    }
}

// The results are the program's to write; the rest is the user's in editing mode.
void TfrmMain::StringGrid1CanEditCell(tk::TObject*, int ACol, int, bool& CanEdit) {
    if (ACol == kColResult) CanEdit = false;
}

// An edited expected reply is checked from now on and saved as typed.
void TfrmMain::StringGrid1SetEditText(tk::TObject*, int ACol, int ARow, const std::wstring& Value) {
    if (ACol != kColExpect || ARow < 1 || ARow > DataRowCount) return;
    if (RowChecks.rows.size() < static_cast<std::size_t>(DataRowCount))
        RowChecks.rows.resize(static_cast<std::size_t>(DataRowCount));
    const std::wstring error = SetExpectText(RowChecks.rows[static_cast<std::size_t>(ARow - 1)], Value);
    if (!error.empty()) AddNote(RowKeyName(ARow, kExpectKey) + L"=" + Value + L": " + error);
}

void TfrmMain::StringGrid1DblClick(tk::TObject*) {
    if (!(mnuOption_SingleClicToSend->Enabled() && mnuOption_SingleClicToSend->Checked()))
        SendSelectedRow();
}

// --- dispatch ------------------------------------------------------------------------------------

void TfrmMain::ShowMessage(const std::wstring& Text) {
    tk::Application().MessageBox(Handle(), Text, tk::Application().Title(), MB_OK);
}

void TfrmMain::ShowOpenFailure() {
    const std::wstring reason = fSendPath->OpenFailureReason();
    ShowMessage(reason.empty() ? std::wstring(kOpenFailedText)
                               : std::wstring(kOpenFailedText) + L"\r\n" + reason);
}

void TfrmMain::SendSelectedRow() {
    // A cell being edited is sent as it is shown: the in-place editor
    // writes its text back first.
    if (StringGrid1->EditorMode()) StringGrid1->SetEditorMode(false);
    // After a shorter table was loaded the selection can lie below its last
    // row, where the grid still keeps the cells of the earlier table.
    if (SelectedRow >= StringGrid1->RowCount()) return;
    // A row with an expected reply is a check of one row; during a run the
    // run owns the replies, and the row is only sent.
    const auto index = static_cast<std::size_t>(SelectedRow - 1);
    if (SelectedRow > 0 && index < RowChecks.rows.size() && RowChecks.rows[index].Checked()) {
        if (fRun->Running() && fRun->Kind() == TRunKind::SingleRow) fRun->Stop();
        if (StartRun({SelectedRow}, TRunOptions{}, TRunKind::SingleRow)) return;
    }
    SendCommand(StringGrid1->Cells(kColType, SelectedRow), StringGrid1->Cells(kColData, SelectedRow));
}

void TfrmMain::SendCommand(const std::wstring& Type, const std::wstring& Text) {
    fSendPath->Serialize([this, Type, Text] { SendCommandNow(Type, Text); });
}

void TfrmMain::SendCommandNow(const std::wstring& Type, const std::wstring& Text) {
    {
        // In the log modes the sent bytes are the echo.
        const bool echo = !InLogMode();
        const std::wstring& C = Text;
        auto echoLine = [&](const std::wstring& line) {
            if (echo) RichEdit1->Lines().Add(line);
        };
        if (echo) RichEdit1->SelAttributes().SetColor(kSentColor);
        if (Type == L"ASCII") {
            SendAsciiCommand(C);
            echoLine(C);
        }
        if (Type == L"ASCII+CR") {
            SendAsciiCommand(C + L"\r");
            echoLine(C + L"<CR>");
        }
        if (Type == L"ASCII+CRLF") {
            SendAsciiCommand(C + L"\r\n");
            echoLine(C + L"<CR><LF>");
        }
        if (Type == L"HEX") {
            SendHexCommand(C);
            echoLine(C);
        }
        if (echo) RichEdit1->SelAttributes().SetColor(kLogColor);
    }
}

void TfrmMain::SendAsciiCommand(const std::wstring& Text) {
    try {
        fSendPath->Open();
        fSendPath->Write(tk::WideToAnsi(Text), true);
    } catch (...) {
        ShowOpenFailure();
        return;
    }
    fSendPath->CloseUnlessKept();
}

// A HEX command is any number of blank-separated tokens, each read by its
// first two characters. The bytes are collected in a buffer that grows with
// the command, so neither the number of tokens nor a token's length is
// limited and nothing can overrun.
void TfrmMain::SendHexCommand(const std::wstring& Text) {
    try {
        fSendPath->Open();
    } catch (...) {
        ShowOpenFailure();
        return;
    }
    TCloseAfterSend closer(*fSendPath);
    tk::TStringList tokens;
    SplitDelimitedText(L' ', Text, tokens);
    std::string buffer;
    buffer.reserve(static_cast<std::size_t>(tokens.Count()));
    for (int i = 0; i < tokens.Count(); ++i) {
        const int b = HexByteValue(tokens.Strings(i));
        if (b < 0) {
            ShowMessage(kHexErrorText);
            return;
        }
        buffer.push_back(static_cast<char>(b));
    }
    // The write may still be in flight when this returns; the close waits
    // for the driver to send it all.
    fSendPath->Write(buffer, false);
}

// --- a port that comes back ----------------------------------------------------------------------

void TfrmMain::pwComm1Notify(tk::TObject*, std::int32_t Code) {
    if (Code == pwNotifyChanged) {
        ShowPortMapping();
    } else if (Code == pwNotifyOpened && Reconnect.Trying()) {
        // Opened by other means (a send): the tries are over all the same.
        AddNote(Reconnect.OpenSucceeded(pwComm1->ComName()));
        SetReconnectTimer(false);
    } else if (Code == pwNotifyLost) {
        const std::uint32_t error = pwComm1->LostError();
        const std::wstring reason = error ? tk::SysErrorMessage(error) : L"";
        if (fRun->Running())
            fRun->DeviceGone(pwComm1->ComName() + L" is gone" + (reason.empty() ? L"" : L": " + reason));
        if (!chkConnected->Checked()) {
            AddNote(PortLostNote(pwComm1->ComName(), reason));
            return;
        }
        AddNote(Reconnect.Lost(pwComm1->ComName(), reason));
        SetReconnectTimer(true);
    }
}

void TfrmMain::ReconnectTimerTimer(tk::TObject*) { TryReopen(); }

// The timer's window is made when a port is first lost, not at start-up.
void TfrmMain::SetReconnectTimer(bool on) {
    if (!ReconnectTimer) {
        if (!on) return;
        ReconnectTimer = std::make_unique<TpwTimer>();
        ReconnectTimer->SetInterval(TPortReconnect::kRetryIntervalMs);
        ReconnectTimer->SetOnTimer(tk::TNotifyEvent(this, &TfrmMain::ReconnectTimerTimer));
    }
    ReconnectTimer->SetEnabled(on);
}

void TfrmMain::TryReopen() {
    if (!Reconnect.TimeToTry()) return;
    try {
        pwComm1->SetActive(true);
    } catch (...) {
        Reconnect.OpenFailed();
        return;
    }
    if (!pwComm1->Active()) {
        Reconnect.OpenFailed();
        return;
    }
    // The opened notification has normally ended the tries already.
    AddNote(Reconnect.OpenSucceeded(pwComm1->ComName()));
    SetReconnectTimer(false);
}

// A click during a send takes effect once the send is done.
void TfrmMain::chkConnectedClick(tk::TObject*) {
    if (!chkConnected->Checked()) {
        Reconnect.Stop();
        SetReconnectTimer(false);
    }
    fSendPath->Serialize([this] { pwComm1->SetActive(chkConnected->Checked()); });
}

void TfrmMain::pwComm1CommError(tk::TObject*, std::uint32_t CommCode, std::uint32_t SysError,
                                TComStateFlags State, bool&) {
    lineErrors_.Add(CommCode);
    TCommFailure f;
    f.commCode = CommCode;
    f.sysError = SysError;
    f.stateBits = State.ToBits();
    if (SysError != 0) {
        f.sysText = SysErrorText(SysError);
        const TpwTransmitReport& t = pwComm1->LastTransmit();
        f.requested = t.Requested;
        // What a settle past its bound took back never reached the line.
        f.taken = t.Taken - std::min(t.Abandoned, t.Taken);
    }
    f.port = pwComm1->ComName();
    const std::wstring text = DescribeCommFailure(f);
    if (!text.empty()) AddNote(text);
}

void TfrmMain::AddNote(const std::wstring& Text) {
    if (Text.empty()) return;
    LogNote(Text);
    if (!InLogMode()) ShowNoteInTerminal(Text);
}

void TfrmMain::ShowNoteInTerminal(const std::wstring& Text) {
    tk::TTextAttributes attributes = RichEdit1->SelAttributes();
    const tk::TColor colour = attributes.Color();
    attributes.SetColor(kNoteColor);
    RichEdit1->Lines().Add(Text);
    attributes.SetColor(colour);
}

// --- menus and messages --------------------------------------------------------------------------

void TfrmMain::LoadData1Click(tk::TObject*) {
    if (OpenDialog1->Execute(Handle()) && !OpenDialog1->FileName().empty())
        LoadDataFile(OpenDialog1->FileName());
}

void TfrmMain::SaveData1Click(tk::TObject*) { SaveDataFile(DataFileName); }

void TfrmMain::SaveDataAs1Click(tk::TObject*) {
    SaveDataDialog1->SetFileName(DataFileName);
    if (SaveDataDialog1->Execute(Handle()) && !SaveDataDialog1->FileName().empty())
        SaveDataFile(SaveDataDialog1->FileName());
}

void TfrmMain::COMConfig1Click(tk::TObject*) {
    pwComm1->ConfigDialog();
    ShowComParameter();
}

void TfrmMain::Exit1Click(tk::TObject*) { tk::Application().Terminate(); }

void TfrmMain::Clear1Click(tk::TObject*) {
    RichEdit1->Clear();
    eventLog_.Clear();
    lineErrors_.Clear();
    LogView1->LogChanged();
    UpdateStatusPanels();
}

void TfrmMain::About1Click(tk::TObject*) {
    auto* dialog = new TfrmAbout(this);
    try {
        dialog->HandleNeeded();  // outer size as the system frames it
        dialog->SetBounds(Left() + Width() / 2 - dialog->Width() / 2,
                          Top() + Height() / 2 - dialog->Height() / 2, dialog->Width(),
                          dialog->Height());
        dialog->ShowModal();
    } catch (...) {
        delete dialog;
        throw;
    }
    delete dialog;
}

void TfrmMain::WMDeviceChange(tk::TMessage& Message) {
    Message.Result = 0;
    pwComm1->Update();
    ShowPortMapping();
    // An adapter plugged back in: no need to wait for the next tick.
    TryReopen();
}

// --- the bench log -------------------------------------------------------------------------------

void TfrmMain::CreateWnd() {
    tk::TForm::CreateWnd();
    SetTimer(Handle(), kTickTimer, kTickMs, nullptr);
    // A new window (the handle is recreated) gets its keys anew.
    fRunKeys.reset();
    fRunKeys = std::make_unique<TFormKeys>(Handle(), [this](WPARAM key) { return RunKey(key); });
}

void TfrmMain::WndProc(tk::TMessage& Message) {
    if (Message.Msg == WM_TIMER && Message.WParam == kTickTimer) {
        OnTick();
        Message.Result = 0;
        return;
    }
    if (Message.Msg == WM_TIMER && Message.WParam == kRunTimer) {
        KillTimer(Handle(), kRunTimer);
        fRun->Tick();
        Message.Result = 0;
        return;
    }
    if (Message.Msg == kRunKeyMessage) {
        if (Message.WParam == VK_F5) RunAllClick(this);
        if (Message.WParam == VK_ESCAPE) RunStopClick(this);
        Message.Result = 0;
        return;
    }
    tk::TForm::WndProc(Message);
}

void TfrmMain::OnTick() {
    eventLog_.Tick(NowMs());
    EventsChanged();
    FlushCapture();
    UpdateStatusPanels();
}

void TfrmMain::ViewModeClick(tk::TObject* Sender) { SetViewMode(dynamic_cast<tk::TMenuItem*>(Sender)); }

void TfrmMain::SetViewMode(tk::TMenuItem* Item) {
    if (!Item) return;
    for (tk::TMenuItem* i : {mnuView_Terminal, mnuView_TextLog, mnuView_HexLog}) i->SetChecked(i == Item);
    const bool log = Item != mnuView_Terminal;
    // The log modes keep a long history. The terminal shows only its newest
    // lines, so while it shows the store stops growing but drops nothing it
    // holds: switching back to a log mode still shows the history, and the
    // terminal's own lines are kept at least.
    if (log)
        eventLog_.SetLimits(EventLog::kDefaultMaxBytes, EventLog::kDefaultMaxEvents);
    else
        eventLog_.LimitToHeld(EventLog::kTerminalMaxBytes, EventLog::kTerminalMaxEvents);
    if (log && !LogView1->Parent()) PlaceLogControls(*this);
    if (log) {
        eventLog_.SetSplitAtLineEnd(Item == mnuView_TextLog);
        LogView1->SetOptions({Item == mnuView_HexLog ? LogMode::Hex : LogMode::Text,
                              mnuView_Timestamps->Checked()});
    }
    // Received bytes go to the terminal only while it shows; typing reaches
    // the port from whichever view is shown.
    pwComm1->SetTerminalUsage(log ? tuSend : tuBoth);
    LogView1->SetVisible(log);
    SendLine1->SetVisible(log);
    RichEdit1->SetVisible(!log);
    if (log) LogView1->SetFocus();
}

void TfrmMain::TimestampsClick(tk::TObject*) {
    LogFormatOptions options = LogView1->Options();
    options.Timestamps = mnuView_Timestamps->Checked();
    LogView1->SetOptions(options);
}

void TfrmMain::LineGapClick(tk::TObject*) {
    std::int64_t ms = eventLog_.SilenceMs();
    if (AskLineGapMs(Handle(), ms)) eventLog_.SetSilenceMs(ms);
}

void TfrmMain::pwComm1AfterReceive(tk::TObject*, const void* Buffer, std::uint32_t Received) {
    const std::string_view bytes(static_cast<const char*>(Buffer), Received);
    eventLog_.AddRx(bytes, NowMs());
    capture_.AddRaw(bytes);
    EventsChanged();
    fRun->Received(bytes, Now());
}

void TfrmMain::LogSent(const std::string& Bytes) {
    eventLog_.AddTx(Bytes, NowMs());
    EventsChanged();
}

void TfrmMain::LogView1KeyChar(tk::TObject* Sender, wchar_t Ch) {
    if (!pwComm1->Active()) return;
    pwComm1->SendChar(Ch);
    pwComm1TerminalChar(Sender, Ch);
}

void TfrmMain::pwComm1TerminalChar(tk::TObject*, wchar_t Ch) {
    // What SendChar puts on the line.
    LogSent(std::string(1, static_cast<char>(Ch & 0xFF)));
}

void TfrmMain::LogNote(const std::wstring& Text) {
    eventLog_.AddNote(WideToUtf8(Text), NowMs());
    EventsChanged();
}


void TfrmMain::pwComm1Open(tk::TObject*) {
    LogNote(pwComm1->ComName() + L" opened: " + lblCOM_Parameter->Caption());
}

void TfrmMain::pwComm1Close(tk::TObject*) { LogNote(pwComm1->ComName() + L" closed"); }


void TfrmMain::EventsChanged() {
    if (capture_.Active() && capture_.Format() == CaptureFormat::Text) {
        const LogFormatOptions text{LogMode::Text, true};
        for (std::uint64_t seq = std::max(captureSeq_, eventLog_.FirstSeq()); seq < eventLog_.ClosedSeq(); ++seq)
            capture_.AddText(FormatLogEvent(eventLog_, static_cast<std::size_t>(seq - eventLog_.FirstSeq()), text));
    }
    captureSeq_ = eventLog_.ClosedSeq();
    if (eventLog_.Version() != shownVersion_) {
        shownVersion_ = eventLog_.Version();
        if (LogView1->Visible()) LogView1->LogChanged();
    }
    if (!captureName_.empty() && !capture_.Active()) FlushCapture();  // it failed on the way
}

bool TfrmMain::StartCapture(const std::wstring& FileName, CaptureFormat Format) {
    StopCapture();
    std::string error;
    auto sink = OpenCaptureFile(std::filesystem::path(FileName), error);
    if (!sink) {
        AddNote(L"Cannot capture to " + FileName + L": " + tk::AnsiToWide(error));
        return false;
    }
    capture_.Start(std::move(sink), Format);
    captureName_ = FileName;
    captureSeq_ = eventLog_.ClosedSeq();
    StopCapture1->SetEnabled(true);
    AddNote(L"Capture to " + FileName + (Format == CaptureFormat::Raw ? L" (raw received bytes)" : L""));
    UpdateStatusPanels();
    return true;
}

bool TfrmMain::FinishCapture() {
    if (captureName_.empty()) return true;
    if (capture_.Active() && capture_.Format() == CaptureFormat::Text) {
        // The line still being received goes in as it stands.
        const LogFormatOptions text{LogMode::Text, true};
        for (std::uint64_t seq = std::max(captureSeq_, eventLog_.FirstSeq()); seq < eventLog_.EndSeq(); ++seq)
            capture_.AddText(FormatLogEvent(eventLog_, static_cast<std::size_t>(seq - eventLog_.FirstSeq()), text));
        captureSeq_ = eventLog_.EndSeq();
    }
    captureName_.clear();
    return capture_.Stop();
}

void TfrmMain::StopCapture() {
    if (captureName_.empty()) return;
    const std::wstring name = captureName_;
    const bool ok = FinishCapture();
    StopCapture1->SetEnabled(false);
    AddNote(ok ? L"Capture to " + name + L" stopped"
               : L"Capture to " + name + L" failed: " + tk::AnsiToWide(capture_.Error()));
    UpdateStatusPanels();
}

void TfrmMain::FlushCapture() {
    if (captureName_.empty()) return;
    if (capture_.Active()) capture_.Flush();
    if (!capture_.Active()) StopCapture();  // says why
}

void TfrmMain::CaptureToFile1Click(tk::TObject*) {
    if (!SaveDialog1->Execute(Handle()) || SaveDialog1->FileName().empty()) return;
    StartCapture(SaveDialog1->FileName(),
                 SaveDialog1->FilterIndex() == 2 ? CaptureFormat::Raw : CaptureFormat::Text);
}

void TfrmMain::StopCapture1Click(tk::TObject*) { StopCapture(); }

void TfrmMain::SendLine1Send(tk::TObject*, const std::wstring& Type, const std::wstring& Text) {
    SendCommand(Type, Text);
}

void TfrmMain::UpdateStatusPanels() {
    auto show = [this](int panel, const std::wstring& text) {
        tk::TStatusPanel& p = StatusBar1->Panels()[panel];
        // Measured once the bar has its window.
        if (p.Text() == text && (text.empty() || p.Width() > 0)) return;
        p.SetText(text);
        const int width = PanelWidth(*StatusBar1, text);
        p.SetWidth(panel == kPortPanel ? std::min(width, kPortPanelMaxWidth) : width);
    };
    const bool open = pwComm1->Active();
    const tk::TStatusPanels::TUpdate update(StatusBar1->Panels());
    show(kPortPanel, PortPanelText(portMapping_.empty() ? pwComm1->ComName() : portMapping_, open));
    show(kPanelCounts, CountsPanelText(eventLog_.TotalRx(), eventLog_.TotalTx()));
    show(kPanelErrors, lineErrors_.Text());
    std::optional<ModemLines> lines;
    DWORD status = 0;
    if (open && pwCommApi().GetCommModemStatus(pwComm1->Handle(), &status))
        lines = ModemLines{(status & MS_CTS_ON) != 0, (status & MS_DSR_ON) != 0, (status & MS_RLSD_ON) != 0,
                           (status & MS_RING_ON) != 0};
    show(kPanelModem, ModemPanelText(open, lines));
    show(kPanelCapture, captureName_.empty()
                            ? std::wstring()
                            : CapturePanelText(std::filesystem::path(captureName_).filename().wstring(),
                                               capture_.Size()));
}

// --- runs of rows as checks ----------------------------------------------------------------------

TRunRow TfrmMain::RunRowOf(int row) const {
    const auto index = static_cast<std::size_t>(row - 1);
    return MakeRunRow(row, StringGrid1->Cells(kColType, row), StringGrid1->Cells(kColFunction, row),
                      StringGrid1->Cells(kColData, row),
                      index < RowChecks.rows.size() ? &RowChecks.rows[index] : nullptr);
}

bool TfrmMain::StartRun(const std::vector<int>& rows, const TRunOptions& options, TRunKind kind) {
    if (fRun->Running()) return false;
    if (StringGrid1->EditorMode()) StringGrid1->SetEditorMode(false);
    std::vector<TRunRow> runRows;
    runCommands_.clear();
    for (int r : rows) {
        if (r < 1 || r >= StringGrid1->RowCount()) continue;
        runRows.push_back(RunRowOf(r));
        runCommands_.emplace_back(StringGrid1->Cells(kColType, r), StringGrid1->Cells(kColData, r));
    }
    TRunOptions o = options;
    o.stopAtFirstFailure = mnuRun_StopAtFailure->Checked();
    return fRun->Start(std::move(runRows), o, kind);
}

bool TfrmMain::RunRows(const std::vector<int>& rows, int repeats, int periodMs) {
    std::vector<int> chosen = rows;
    if (chosen.empty())
        for (int r = 1; r < StringGrid1->RowCount(); ++r) chosen.push_back(r);
    TRunOptions options;
    options.repeats = repeats;
    options.periodMs = periodMs;
    return StartRun(chosen, options, TRunKind::Run);
}

void TfrmMain::RunAllClick(tk::TObject*) { RunRows({}, 1, 0); }

// The rows of the grid's selection (Shift with a click or the arrows, or a drag).
void TfrmMain::RunSelectedClick(tk::TObject*) {
    if (SelectedRow <= 0) return;
    const auto selection = StringGrid1->Selection();
    std::vector<int> rows;
    for (int r = std::max(1, selection.Top); r <= selection.Bottom && r < StringGrid1->RowCount(); ++r)
        rows.push_back(r);
    if (!rows.empty()) RunRows(rows, 1, 0);
}

void TfrmMain::RunRepeatClick(tk::TObject*) {
    if (fRun->Running()) return;
    auto* dialog = new TfrmRepeat(this);
    bool ok = false;
    try {
        ok = dialog->Ask(repeatOptions_);
    } catch (...) {
        delete dialog;
        throw;
    }
    delete dialog;
    if (ok) RunRows({}, repeatOptions_.repeats, repeatOptions_.periodMs);
}

void TfrmMain::RunStopClick(tk::TObject*) { fRun->Stop(); }

bool TfrmMain::RunKey(WPARAM Key) {
    // Esc belongs to the grid's editor and the dialogs unless a run goes on.
    if (Key != VK_F5 && !(Key == VK_ESCAPE && fRun->Running())) return false;
    PostMessageW(Handle(), kRunKeyMessage, Key, 0);
    return true;
}

void TfrmMain::ExportResults1Click(tk::TObject*) {
    if (ExportDialog1->Execute(Handle()) && !ExportDialog1->FileName().empty())
        ExportResults(ExportDialog1->FileName());
}

bool TfrmMain::ExportResults(const std::wstring& FileName) {
    // Run times are on the steady clock; the file gets local times.
    const std::int64_t offsetMs = NowMs() - Now() / 1000;
    const std::string csv = fRun->ResultsCsv([offsetMs](TRunTime t) {
        const std::int64_t ms = offsetMs + t / 1000;
        ULARGE_INTEGER v;
        v.QuadPart = static_cast<ULONGLONG>(ms) * 10000;
        FILETIME ft{v.LowPart, v.HighPart};
        SYSTEMTIME st;
        FileTimeToSystemTime(&ft, &st);
        wchar_t text[40];
        swprintf(text, 40, L"%04u-%02u-%02u %02u:%02u:%02u.%03u", st.wYear, st.wMonth, st.wDay, st.wHour,
                 st.wMinute, st.wSecond, st.wMilliseconds);
        return std::wstring(text);
    });
    std::ofstream out(std::filesystem::path(FileName), std::ios::binary | std::ios::trunc);
    out.write(csv.data(), static_cast<std::streamsize>(csv.size()));
    out.close();
    if (!out) {
        AddNote(L"Cannot export the results to " + FileName);
        return false;
    }
    AddNote(L"Results exported to " + FileName);
    return true;
}

TRunTime TfrmMain::Now() {
    static const LONGLONG frequency = [] {
        LARGE_INTEGER f;
        QueryPerformanceFrequency(&f);
        return f.QuadPart;
    }();
    LARGE_INTEGER c;
    QueryPerformanceCounter(&c);
    return static_cast<TRunTime>(c.QuadPart / frequency * 1000000 + c.QuadPart % frequency * 1000000 / frequency);
}

void TfrmMain::SendRow(std::size_t step, const TRunRow&) {
    const auto command = runCommands_.at(step);
    fSendPath->Serialize([this, step, command] {
        const std::uint64_t before = writes_;
        SendCommandNow(command.first, command.second);
        if (writes_ > before) {
            fRun->RowSent(step, Now());
            return;
        }
        const std::wstring reason = fSendPath->OpenFailureReason();
        fRun->RowSendFailed(step, !pwComm1->Active() ? (reason.empty() ? std::wstring(kOpenFailedText) : reason)
                                                     : std::wstring(L"nothing was sent"));
    });
}

void TfrmMain::WakeAt(TRunTime at) {
    const TRunTime micros = at - Now();
    const UINT ms = micros <= 0 ? 1u : static_cast<UINT>(std::min<TRunTime>((micros + 999) / 1000, 0x7FFFFFFF));
    SetTimer(Handle(), kRunTimer, ms, nullptr);
}

void TfrmMain::HoldPort(bool hold) {
    if (hold)
        fSendPath->Hold();
    else
        fSendPath->Release();
}

void TfrmMain::ShowResult(int row, const std::wstring& text) {
    if (StringGrid1->ColCount() > kColResult && row < StringGrid1->RowCount())
        StringGrid1->SetCells(kColResult, row, text);
}

// As wide as the text, like the editing hint in the same panel.
void TfrmMain::ShowProgress(const std::wstring& text) { ShowHint(*StatusBar1, text); }

void TfrmMain::Note(const std::wstring& text) { AddNote(text); }

void TfrmMain::RunningChanged(bool running) {
    mnuRun_Stop->SetEnabled(running);
    for (tk::TMenuItem* item : {mnuRun_All, mnuRun_Selected, mnuRun_Repeat}) item->SetEnabled(!running);
}
