// The main window: the port bar, the command grid, the Tx/Rx log view, the
// menus, and the dispatch of a grid row to the serial port.
#pragma once

#include <windows.h>

#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "ComCtrls.h"
#include "Dialogs.h"
#include "ExtCtrls.h"
#include "Forms.h"
#include "Grids.h"
#include "Menus.h"
#include "PortReconnect.h"
#include "StdCtrls.h"
#include "Capture.h"
#include "EventLog.h"
#include "LogView.h"
#include "PortStatus.h"
#include "RowChecks.h"
#include "RunController.h"
#include "SendLine.h"
#include "pwcomm.h"
#include "pwcommbox.h"

class TSendPath;
class TFormKeys;

// The caption as designed; FormCreate appends the version.
inline const wchar_t* const kMainCaption = L"Quolm-Portwright";
// The default command table, read from the working directory at start.
inline const wchar_t* const kDefaultDataFile = L"quolm.dat";
inline const wchar_t* const kEditingHint = L"Enable data editing. Double click to send data";
inline const wchar_t* const kOpenFailedText = L"Can not open COM port!";
inline const wchar_t* const kHexErrorText = L"Error";
// Log view colours: echoes of sent commands, and everything else (received data).
constexpr tk::TColor kSentColor = 0x0000FF;
constexpr tk::TColor kLogColor = 0x800000;
// Notes of the program itself (the port's state, failures of the send path).
constexpr tk::TColor kNoteColor = TLogView::kNoteColor;
// The capture's file types, in the order of CaptureFormat.
inline const wchar_t* const kCaptureFilter =
    L"Log lines, UTF-8 text (*.txt)|*.txt|Raw received bytes (*.bin)|*.bin";

class TfrmMain : public tk::TForm, private TRunHost {
public:
    // Creates the controls, applies the designed layout (every component in
    // its loading state, then Loaded), then runs FormCreate.
    explicit TfrmMain(tk::TComponent* AOwner);
    ~TfrmMain() override;

    // Controls and components, as designed.
    tk::TPanel* Panel1;
    tk::TLabel* Label1;
    TpwDeviceBox* pwDeviceBox1;
    tk::TCheckBox* chkConnected;
    tk::TLabel* lblCOM_Parameter;
    tk::TStringGrid* StringGrid1;
    tk::TListBox* ListBox1;
    tk::TLabel* Label2;
    tk::TRichEdit* RichEdit1;
    tk::TStatusBar* StatusBar1;
    tk::TMainMenu* MainMenu1;
    tk::TMenuItem* File1;
    tk::TMenuItem* LoadData1;
    tk::TMenuItem* SaveData1;
    tk::TMenuItem* SaveDataAs1;
    tk::TMenuItem* N1;
    tk::TMenuItem* Exit1;
    tk::TMenuItem* Option1;
    tk::TMenuItem* COMConfig1;
    tk::TMenuItem* N2;
    tk::TMenuItem* mnuOption_SingleClicToSend;
    tk::TMenuItem* View1;
    tk::TMenuItem* mnuView_Terminal;
    tk::TMenuItem* mnuView_TextLog;
    tk::TMenuItem* mnuView_HexLog;
    tk::TMenuItem* N3;
    tk::TMenuItem* mnuView_Timestamps;
    tk::TMenuItem* mnuView_LineGap;
    tk::TMenuItem* CaptureToFile1;
    tk::TMenuItem* StopCapture1;
    tk::TMenuItem* ExportResults1;
    tk::TMenuItem* Run1;
    tk::TMenuItem* mnuRun_All;
    tk::TMenuItem* mnuRun_Selected;
    tk::TMenuItem* mnuRun_Repeat;
    tk::TMenuItem* mnuRun_Stop;
    tk::TMenuItem* mnuRun_StopAtFailure;
    tk::TMenuItem* About1;
    tk::TPopupMenu* PopupMenu1;
    tk::TMenuItem* Clear1;
    tk::TOpenDialog* OpenDialog1;
    tk::TSaveDialog* SaveDialog1;
    tk::TSaveDialog* SaveDataDialog1;
    tk::TSaveDialog* ExportDialog1;
    TpwComm* pwComm1;
    // The log modes' view, in RichEdit1's place while one is chosen, and
    // the send line under the log.
    TLogView* LogView1;
    TSendLine* SendLine1;

    // Event handlers.
    void FormCreate(tk::TObject* Sender);
    void FormResize(tk::TObject* Sender);
    void StringGrid1MouseDown(tk::TObject* Sender, tk::TMouseButton Button, tk::TShiftState Shift,
                              int X, int Y);
    void StringGrid1DblClick(tk::TObject* Sender);
    void StringGrid1SelectCell(tk::TObject* Sender, int ACol, int ARow, bool& CanSelect);
    void StringGrid1CanEditCell(tk::TObject* Sender, int ACol, int ARow, bool& CanEdit);
    void StringGrid1SetEditText(tk::TObject* Sender, int ACol, int ARow, const std::wstring& Value);
    void chkConnectedClick(tk::TObject* Sender);
    void LoadData1Click(tk::TObject* Sender);
    void SaveData1Click(tk::TObject* Sender);
    void SaveDataAs1Click(tk::TObject* Sender);
    void COMConfig1Click(tk::TObject* Sender);
    void Exit1Click(tk::TObject* Sender);
    void Clear1Click(tk::TObject* Sender);
    void About1Click(tk::TObject* Sender);
    // Failures the serial component reports about the user's bytes.
    void pwComm1CommError(tk::TObject* Sender, std::uint32_t CommCode, std::uint32_t SysError,
                          TComStateFlags State, bool& flFlashBuffers);
    void pwComm1Notify(tk::TObject* Sender, std::int32_t Code);
    void ReconnectTimerTimer(tk::TObject* Sender);
    void SetReconnectTimer(bool on);
    void ViewModeClick(tk::TObject* Sender);
    void TimestampsClick(tk::TObject* Sender);
    void LineGapClick(tk::TObject* Sender);
    void CaptureToFile1Click(tk::TObject* Sender);
    void StopCapture1Click(tk::TObject* Sender);
    void SendLine1Send(tk::TObject* Sender, const std::wstring& Type, const std::wstring& Text);
    void LogView1KeyChar(tk::TObject* Sender, wchar_t Ch);
    // A key typed in the terminal went to the port.
    void pwComm1TerminalChar(tk::TObject* Sender, wchar_t Ch);
    void pwComm1AfterReceive(tk::TObject* Com, const void* Buffer, std::uint32_t Received);
    void pwComm1Open(tk::TObject* Sender);
    void pwComm1Close(tk::TObject* Sender);
    void RunAllClick(tk::TObject* Sender);
    void RunSelectedClick(tk::TObject* Sender);
    void RunRepeatClick(tk::TObject* Sender);
    void RunStopClick(tk::TObject* Sender);
    void ExportResults1Click(tk::TObject* Sender);

    void ShowComParameter();
    // The port panel of the status bar: the port, and under Wine the Linux
    // device it is mapped to.
    void ShowPortMapping();
    void SendSelectedRow();
    // Sends a command of one of the table's forms (ASCII, ASCII+CR,
    // ASCII+CRLF, HEX) and echoes it: the path of a table row and the send line.
    void SendCommand(const std::wstring& Type, const std::wstring& Text);
    void SendAsciiCommand(const std::wstring& Text);
    void SendHexCommand(const std::wstring& Text);
    // Reads a command table file into the line store and the grid; errors
    // are not caught here.
    void LoadDataFile(const std::wstring& FileName);
    // Writes the table (the grid's rows and their checks) into FileName,
    // keeping the other lines of the table's file; from then on that is the
    // table's file. A failure is told in a message box; false then, and the
    // file is unchanged.
    bool SaveDataFile(const std::wstring& FileName);
    // A note line (note colour) in the active view and in the capture.
    void AddNote(const std::wstring& Text);
    // Starts capturing to a file; false (and a note) when it cannot be created.
    bool StartCapture(const std::wstring& FileName, CaptureFormat Format);
    void StopCapture();
    // Runs table rows 1..n (0: all), `repeats` times; false if a run goes on.
    bool RunRows(const std::vector<int>& rows, int repeats, int periodMs);
    // Writes the last run's results as CSV; false (and a note) on failure.
    bool ExportResults(const std::wstring& FileName);
    const TRunController& Runs() const { return *fRun; }
    bool InLogMode() const { return !mnuView_Terminal->Checked(); }
    const EventLog& Events() const { return eventLog_; }

    // The row of the cell selected last; 0 (the header) before any selection.
    int SelectedRow = 0;
    // The table's file (full path): the one loaded last or saved as last,
    // the default table's until then.
    std::wstring DataFileName;
    // The table's rows, as the last load filled them; the grid may show more
    // rows than that. The designed grid has one.
    int DataRowCount = 1;
    // The loaded table's checks (Row.N.Expect, Timeout, Delay), one per row;
    // what runs read, and what saving the table writes back.
    TRowChecks RowChecks;
    // Reads the checks of the loaded rows from the loaded lines, shows the
    // check columns when there are any, and notes the bad values.
    void LoadRowChecksFromLines(const TDataLines& lines);

protected:
    // Every device change refreshes the port list; the message ends here.
    void WMDeviceChange(tk::TMessage& Message) override;
    void WndProc(tk::TMessage& Message) override;
    void CreateWnd() override;

private:
    void CreateComponents();
    void ApplyDesignedLayout();
    void AddBenchControls();
    void ShowMessage(const std::wstring& Text);
    // "Can not open COM port!" with the system's reason on the next line.
    void ShowOpenFailure();

    std::unique_ptr<TSendPath> fSendPath;
    std::unique_ptr<TRunController> fRun;
    std::unique_ptr<TFormKeys> fRunKeys;
    // What each row of the run in hand sends: its Type and Command Data.
    std::vector<std::pair<std::wstring, std::wstring>> runCommands_;
    // Writes handed to the driver so far: a send that adds none failed.
    std::uint64_t writes_ = 0;
    TRunOptions repeatOptions_;

    // The send itself, on the send path.
    void SendCommandNow(const std::wstring& Type, const std::wstring& Text);
    TRunRow RunRowOf(int row) const;
    bool StartRun(const std::vector<int>& rows, const TRunOptions& options, TRunKind kind);
    bool RunKey(WPARAM Key);

    // TRunHost
    TRunTime Now() override;
    void SendRow(std::size_t step, const TRunRow& row) override;
    void WakeAt(TRunTime at) override;
    void HoldPort(bool hold) override;
    void ShowResult(int row, const std::wstring& text) override;
    void ShowProgress(const std::wstring& text) override;
    void Note(const std::wstring& text) override;
    void RunningChanged(bool running) override;

    void TryReopen();

    TPortReconnect Reconnect;
    std::unique_ptr<TpwTimer> ReconnectTimer;

    void SetViewMode(tk::TMenuItem* Item);
    // A note line in the terminal only.
    void ShowNoteInTerminal(const std::wstring& Text);
    // A note in the store and the capture (not in the terminal).
    void LogNote(const std::wstring& Text);
    void LogSent(const std::string& Bytes);
    // Hands the closed events to a text capture and the store's changes to the view.
    void EventsChanged();
    void FlushCapture();
    // Writes what is left and closes the capture; false when that failed.
    bool FinishCapture();
    void UpdateStatusPanels();
    void OnTick();

    EventLog eventLog_;
    Capture capture_;
    std::wstring captureName_;
    std::uint64_t captureSeq_ = 0;  // first event the text capture has not written
    LineErrorCounts lineErrors_;
    std::uint64_t shownVersion_ = 0;
    // The port panel's text: the port, and the device Wine maps it to.
    std::wstring portMapping_;
};

// The main window of the running program.
extern TfrmMain* frmMain;
