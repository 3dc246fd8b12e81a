#include "UfrmMain.h"

#include <algorithm>
#include <string>
#include <utility>

#include "Application.h"
#include "CommReport.h"
#include "DataFile.h"
#include "SendPath.h"
#include "SysUtils.h"
#include "UAppFunction.h"
#include "USerial_Function.h"
#include "UfrmAbout.h"
#include "WinePorts.h"

TfrmMain* frmMain = nullptr;

namespace {

// Grid columns.
constexpr int kColNo = 0, kColType = 1, kColFunction = 2, kColData = 3;
// Rows of the grid as designed (header and one data row).
constexpr int kDesignedRows = 2;
// Status bar panels: hints, then the port and its device.
constexpr int kHintPanel = 0, kPortPanel = 1;
// Wide enough for the editing hint now that a panel follows it.
constexpr int kHintPanelWidth = 260;

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
    tk::TComponent::LoadLayout(this, [this] { ApplyDesignedLayout(); });
    DoCreate();
}

TfrmMain::~TfrmMain() {
    ReconnectTimer.reset();
    // The component outlives this part of the form and notifies as it closes.
    pwComm1->NotifyDelete(TpwNotifyEvent(this, &TfrmMain::pwComm1Notify));
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
    StatusBar1 = new tk::TStatusBar(this);
    MainMenu1 = new tk::TMainMenu(this);
    File1 = new tk::TMenuItem(this);
    LoadData1 = new tk::TMenuItem(this);
    SaveData1 = new tk::TMenuItem(this);
    N1 = new tk::TMenuItem(this);
    Exit1 = new tk::TMenuItem(this);
    Option1 = new tk::TMenuItem(this);
    COMConfig1 = new tk::TMenuItem(this);
    N2 = new tk::TMenuItem(this);
    mnuOption_SingleClicToSend = new tk::TMenuItem(this);
    About1 = new tk::TMenuItem(this);
    PopupMenu1 = new tk::TPopupMenu(this);
    Clear1 = new tk::TMenuItem(this);
    OpenDialog1 = new tk::TOpenDialog(this);
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
    SaveData1->SetVisible(false);
    N1->SetName(L"N1");
    N1->SetCaption(L"-");
    Exit1->SetName(L"Exit1");
    Exit1->SetCaption(L"Exit");
    Exit1->SetOnClick(TNotifyEvent(this, &TfrmMain::Exit1Click));
    for (TMenuItem* item : {LoadData1, SaveData1, N1, Exit1}) File1->Add(item);
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
    for (TMenuItem* item : {File1, Option1, About1}) MainMenu1->Items()->Add(item);
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
    StatusBar1->Panels().Add();

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
    ReconnectTimer = std::make_unique<TpwTimer>();
    ReconnectTimer->SetEnabled(false);
    ReconnectTimer->SetInterval(TPortReconnect::kRetryIntervalMs);
    ReconnectTimer->SetOnTimer(TNotifyEvent(this, &TfrmMain::ReconnectTimerTimer));

    SetOnCreate(TNotifyEvent(this, &TfrmMain::FormCreate));
    SetOnResize(TNotifyEvent(this, &TfrmMain::FormResize));
}

// --- start-up and layout -------------------------------------------------------------------------

void TfrmMain::FormCreate(tk::TObject*) {
    for (int r = 0; r < kDesignedRows; ++r) StringGrid1->SetRowHeights(r, kDataRowHeight);
    StringGrid1->SetCells(kColNo, 0, L"No.");
    StringGrid1->SetCells(kColType, 0, L"Type");
    StringGrid1->SetCells(kColFunction, 0, L"Function");
    StringGrid1->SetCells(kColData, 0, L"Command Data");
    if (tk::FileExists(kDefaultDataFile)) LoadDataFile(kDefaultDataFile);
    ShowComParameter();
    ShowPortMapping();
    RichEdit1->Clear();
    SetCaption(std::wstring(kMainCaption) + L" " + GetAppVersion());
}

void TfrmMain::FormResize(tk::TObject*) {
    StringGrid1->SetColWidths(0, 30);
    StringGrid1->SetColWidths(1, 70);
    StringGrid1->SetColWidths(2, 180);
    StringGrid1->SetColWidths(3, StringGrid1->Width() - StringGrid1->ColWidths(0) -
                                     StringGrid1->ColWidths(1) - StringGrid1->ColWidths(2) - 24);
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
    StatusBar1->Panels()[kPortPanel].SetText(PortMappingText(port, WinePortDevice(port)));
}

void TfrmMain::LoadDataFile(const std::wstring& FileName) {
    // The loader works on a plain list; the hidden list box mirrors it
    // afterwards, also when the load fails half-way (the lines stay read).
    tk::TStringList lines;
    ListBox1->Items().AssignTo(lines);
    auto mirror = [&] {
        tk::TItemStrings& items = ListBox1->Items();
        items.BeginUpdate();
        items.Assign(lines);
        items.EndUpdate();
    };
    try {
        ::LoadDataFile(FileName, lines, *StringGrid1);
    } catch (...) {
        mirror();
        throw;
    }
    mirror();
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
        StatusBar1->Panels()[kHintPanel].SetText(kEditingHint);
        StringGrid1->SetOptions(StringGrid1->Options() + tk::TGridOptions{tk::goEditing});
        mnuOption_SingleClicToSend->SetEnabled(false);
    }
    if (Shift.Contains(tk::ssShift)) {
        StatusBar1->Panels()[kHintPanel].SetText(L"");
        StringGrid1->SetOptions(StringGrid1->Options() - tk::TGridOptions{tk::goEditing});
        mnuOption_SingleClicToSend->SetEnabled(true);
    } else if (!StringGrid1->Options().Contains(tk::goEditing) &&
               mnuOption_SingleClicToSend->Checked()) {
        SendSelectedRow();
    }
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
    const int row = SelectedRow;
    fSendPath->Serialize([this, row] {
        // After a shorter table was loaded the selection can lie below its
        // last row, where the grid still keeps the cells of the earlier table.
        if (row >= StringGrid1->RowCount()) return;
        RichEdit1->SelAttributes().SetColor(kSentColor);
        const std::wstring C = StringGrid1->Cells(kColData, row);
        // Each form is tested on a fresh read of the Type cell.
        if (StringGrid1->Cells(kColType, row) == L"ASCII") {
            SendAsciiCommand(C);
            RichEdit1->Lines().Add(C);
        }
        if (StringGrid1->Cells(kColType, row) == L"ASCII+CR") {
            SendAsciiCommand(C + L"\r");
            RichEdit1->Lines().Add(C + L"<CR>");
        }
        if (StringGrid1->Cells(kColType, row) == L"ASCII+CRLF") {
            SendAsciiCommand(C + L"\r\n");
            RichEdit1->Lines().Add(C + L"<CR><LF>");
        }
        if (StringGrid1->Cells(kColType, row) == L"HEX") {
            SendHexCommand(C);
            RichEdit1->Lines().Add(C);
        }
        RichEdit1->SelAttributes().SetColor(kLogColor);
    });
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
        ReconnectTimer->SetEnabled(false);
    } else if (Code == pwNotifyLost && chkConnected->Checked()) {
        const std::uint32_t error = pwComm1->LostError();
        AddNote(Reconnect.Lost(pwComm1->ComName(), error ? tk::SysErrorMessage(error) : L""));
        ReconnectTimer->SetEnabled(true);
    }
}

void TfrmMain::ReconnectTimerTimer(tk::TObject*) { TryReopen(); }

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
    ReconnectTimer->SetEnabled(false);
}

// A click during a send takes effect once the send is done.
void TfrmMain::chkConnectedClick(tk::TObject*) {
    if (!chkConnected->Checked()) {
        Reconnect.Stop();
        ReconnectTimer->SetEnabled(false);
    }
    fSendPath->Serialize([this] { pwComm1->SetActive(chkConnected->Checked()); });
}

void TfrmMain::pwComm1CommError(tk::TObject*, std::uint32_t CommCode, std::uint32_t SysError,
                                TComStateFlags State, bool&) {
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

void TfrmMain::COMConfig1Click(tk::TObject*) {
    pwComm1->ConfigDialog();
    ShowComParameter();
}

void TfrmMain::Exit1Click(tk::TObject*) { tk::Application().Terminate(); }

void TfrmMain::Clear1Click(tk::TObject*) { RichEdit1->Clear(); }

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
