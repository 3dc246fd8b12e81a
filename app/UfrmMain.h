// The main window: the port bar, the command grid, the Tx/Rx log view, the
// menus, and the dispatch of a grid row to the serial port.
#pragma once

#include <windows.h>

#include <memory>
#include <string>

#include "ComCtrls.h"
#include "Dialogs.h"
#include "ExtCtrls.h"
#include "Forms.h"
#include "Grids.h"
#include "Menus.h"
#include "PortReconnect.h"
#include "StdCtrls.h"
#include "pwcomm.h"
#include "pwcommbox.h"

class TSendPath;

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
// Notes of the program itself (failures of the send path, the port's state).
constexpr tk::TColor kNoteColor = 0x008000;

class TfrmMain : public tk::TForm {
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
    tk::TMenuItem* N1;
    tk::TMenuItem* Exit1;
    tk::TMenuItem* Option1;
    tk::TMenuItem* COMConfig1;
    tk::TMenuItem* N2;
    tk::TMenuItem* mnuOption_SingleClicToSend;
    tk::TMenuItem* About1;
    tk::TPopupMenu* PopupMenu1;
    tk::TMenuItem* Clear1;
    tk::TOpenDialog* OpenDialog1;
    TpwComm* pwComm1;

    // Event handlers.
    void FormCreate(tk::TObject* Sender);
    void FormResize(tk::TObject* Sender);
    void StringGrid1MouseDown(tk::TObject* Sender, tk::TMouseButton Button, tk::TShiftState Shift,
                              int X, int Y);
    void StringGrid1DblClick(tk::TObject* Sender);
    void StringGrid1SelectCell(tk::TObject* Sender, int ACol, int ARow, bool& CanSelect);
    void chkConnectedClick(tk::TObject* Sender);
    void LoadData1Click(tk::TObject* Sender);
    void COMConfig1Click(tk::TObject* Sender);
    void Exit1Click(tk::TObject* Sender);
    void Clear1Click(tk::TObject* Sender);
    void About1Click(tk::TObject* Sender);
    // Failures the serial component reports about the user's bytes.
    void pwComm1CommError(tk::TObject* Sender, std::uint32_t CommCode, std::uint32_t SysError,
                          TComStateFlags State, bool& flFlashBuffers);
    void pwComm1Notify(tk::TObject* Sender, std::int32_t Code);
    void ReconnectTimerTimer(tk::TObject* Sender);

    void ShowComParameter();
    // The port panel of the status bar: the port, and under Wine the Linux
    // device it is mapped to.
    void ShowPortMapping();
    void SendSelectedRow();
    void SendAsciiCommand(const std::wstring& Text);
    void SendHexCommand(const std::wstring& Text);
    // Reads a command table file into the line store and the grid; errors
    // are not caught here.
    void LoadDataFile(const std::wstring& FileName);
    // A line of the program's own in the log view, in the note colour.
    void AddNote(const std::wstring& Text);

    // The row of the cell selected last; 0 (the header) before any selection.
    int SelectedRow = 0;

protected:
    // Every device change refreshes the port list; the message ends here.
    void WMDeviceChange(tk::TMessage& Message) override;

private:
    void CreateComponents();
    void ApplyDesignedLayout();
    void ShowMessage(const std::wstring& Text);
    // "Can not open COM port!" with the system's reason on the next line.
    void ShowOpenFailure();

    std::unique_ptr<TSendPath> fSendPath;

    void TryReopen();

    TPortReconnect Reconnect;
    std::unique_ptr<TpwTimer> ReconnectTimer;
};

// The main window of the running program.
extern TfrmMain* frmMain;
