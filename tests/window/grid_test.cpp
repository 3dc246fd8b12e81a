// Mouse input on the command grid (selection, Ctrl/Shift editing mode,
// single-click sending, double clicks), the menu commands and the
// device-change message, with real window messages.
#include <gtest/gtest.h>

#include <memory>

#include "Dialogs.h"
#include "UfrmMain.h"
#include "WindowTestKit.h"

using namespace wintest;

namespace {

std::string ReadFileBytes(const std::wstring& path) {
    HANDLE h = ::CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0,
                             nullptr);
    if (h == INVALID_HANDLE_VALUE) return "<missing>";
    std::string bytes(65536, '\0');
    DWORD got = 0;
    ::ReadFile(h, bytes.data(), static_cast<DWORD>(bytes.size()), &got, nullptr);
    ::CloseHandle(h);
    bytes.resize(got);
    return bytes;
}

struct TNotifyCounter : tk::TObject {
    int changed = 0;
    void Notify(tk::TObject*, std::int32_t code) {
        if (code == 3) ++changed;
    }
};

class Grid : public ::testing::Test {
protected:
    void SetUp() override {
        if (!PairPorts(a_, b_)) GTEST_SKIP() << "outside the test harness (no QUOLM_PAIR1)";
        {
            // Bytes an earlier test left on the line would arrive at our end.
            TPeer ours(a_);
            ours.Drain();
        }
        form_ = std::make_unique<TfrmMain>(nullptr);
        form_->pwComm1->SetComPortNo(static_cast<std::uint16_t>(a_));
        form_->Show();
        Pump();
        FillGrid(
            form_->StringGrid1,
            {{L"ASCII", L"One", L"R1"}, {L"ASCII", L"Two", L"R2"}, {L"ASCII", L"Three", L"R3"}});
        Pump();
        peer_ = std::make_unique<TPeer>(b_);
        ASSERT_TRUE(peer_->ok());
        peer_->Drain();
    }
    void TearDown() override {
        form_.reset();
        peer_.reset();
    }
    tk::TStringGrid* G() { return form_->StringGrid1; }
    tk::TMenuItem* SingleClick() { return form_->mnuOption_SingleClicToSend; }
    std::wstring Status() { return form_->StatusBar1->Panels()[0].Text(); }
    bool Editing() { return G()->Options().Contains(tk::goEditing); }
    void TickSingleClick() {
        MenuCommand(form_.get(), SingleClick());
        ASSERT_TRUE(SingleClick()->Checked());
    }

    TTempWorkDir dir_;
    TBoxRecorder boxes_;
    int a_ = 0, b_ = 0;
    std::unique_ptr<TfrmMain> form_;
    std::unique_ptr<TPeer> peer_;
};

TEST_F(Grid, ClickSelectsRowWithoutSending) {
    EXPECT_EQ(form_->SelectedRow, 0);
    ClickCell(G(), 2, 3);
    EXPECT_EQ(form_->SelectedRow, 3);
    ClickCell(G(), 1, 2);
    EXPECT_EQ(form_->SelectedRow, 2);
    EXPECT_EQ(peer_->ReadQuiet(), "");
    EXPECT_EQ(RichText(form_->RichEdit1), L"");
}

TEST_F(Grid, DoubleClickSendsOnce) {
    DoubleClickCell(G(), 3, 2);
    EXPECT_EQ(peer_->Read(2), "R2");
    EXPECT_EQ(peer_->ReadQuiet(), "");
    EXPECT_EQ(RichText(form_->RichEdit1), L"R2\r");
}

TEST_F(Grid, SingleClickSendingSendsClickedRow) {
    TickSingleClick();
    ClickCell(G(), 2, 3);
    EXPECT_EQ(peer_->Read(2), "R3");
    // A right click does not move the selection: it sends the row selected before.
    RightClickCell(G(), 2, 1);
    EXPECT_EQ(form_->SelectedRow, 3);
    EXPECT_EQ(peer_->Read(2), "R3");
    // A double click sends once per press.
    DoubleClickCell(G(), 2, 1);
    EXPECT_EQ(peer_->Read(4), "R1R1");
    EXPECT_EQ(RichText(form_->RichEdit1), L"R3\rR3\rR1\rR1\r");
    // Unticked again: single clicks only select.
    MenuCommand(form_.get(), SingleClick());
    EXPECT_FALSE(SingleClick()->Checked());
    ClickCell(G(), 2, 2);
    EXPECT_EQ(peer_->ReadQuiet(), "");
}

TEST_F(Grid, CtrlClickEntersEditingModeShiftClickLeavesIt) {
    TickSingleClick();
    ClickCell(G(), 2, 2, MK_CONTROL);
    EXPECT_TRUE(Editing());
    EXPECT_EQ(Status(), L"Enable data editing. Double click to send data");
    EXPECT_FALSE(SingleClick()->Enabled());
    EXPECT_TRUE(SingleClick()->Checked());
    // A Ctrl click never sends; single clicks in editing mode neither.
    ClickCell(G(), 2, 3);
    EXPECT_EQ(peer_->ReadQuiet(), "");
    // A double click in editing mode sends once although the item is ticked.
    DoubleClickCell(G(), 1, 1);
    EXPECT_EQ(peer_->Read(2), "R1");
    EXPECT_EQ(peer_->ReadQuiet(), "");
    // Shift leaves editing mode and does not send.
    ClickCell(G(), 2, 2, MK_SHIFT);
    EXPECT_FALSE(Editing());
    EXPECT_EQ(Status(), L"");
    EXPECT_TRUE(SingleClick()->Enabled());
    EXPECT_EQ(peer_->ReadQuiet(), "");
    // Back to single-click sending.
    ClickCell(G(), 2, 3);
    EXPECT_EQ(peer_->Read(2), "R3");
}

TEST_F(Grid, ADoubleClickWhileEditingSendsWhatTheEditorShows) {
    ClickCell(G(), 3, 2, MK_CONTROL);
    ASSERT_TRUE(Editing());
    ClickCell(G(), 3, 2);  // a click on the current cell opens its editor
    ASSERT_TRUE(G()->EditorMode()) << "the in-place editor did not open";
    tk::TInplaceEdit* editor = G()->InplaceEditor();
    editor->SetText(L"EDITED");
    // The user double-clicks in the editor itself.
    const HWND h = editor->Handle();
    SendMessageW(h, WM_LBUTTONDOWN, MK_LBUTTON, MAKELPARAM(3, 3));
    SendMessageW(h, WM_LBUTTONUP, 0, MAKELPARAM(3, 3));
    SendMessageW(h, WM_LBUTTONDBLCLK, MK_LBUTTON, MAKELPARAM(3, 3));
    SendMessageW(h, WM_LBUTTONUP, 0, MAKELPARAM(3, 3));
    Pump();
    EXPECT_EQ(peer_->Read(6), "EDITED");
    EXPECT_EQ(G()->Cells(3, 2), L"EDITED");
    EXPECT_EQ(RichText(form_->RichEdit1), L"EDITED\r");
}

TEST_F(Grid, AnyButtonCountsForCtrlAndShift) {
    RightClickCell(G(), 2, 2, MK_CONTROL);
    EXPECT_TRUE(Editing());
    EXPECT_EQ(Status(), L"Enable data editing. Double click to send data");
    RightClickCell(G(), 2, 2, MK_SHIFT);
    EXPECT_FALSE(Editing());
    // Ctrl and Shift together: on, then off again.
    ClickCell(G(), 2, 2, MK_CONTROL | MK_SHIFT);
    EXPECT_FALSE(Editing());
    EXPECT_EQ(Status(), L"");
    EXPECT_TRUE(SingleClick()->Enabled());
    EXPECT_EQ(peer_->ReadQuiet(), "");
}

TEST_F(Grid, ClearMenuEmptiesTheLog) {
    DoubleClickCell(G(), 3, 1);
    (void)peer_->Read(2);
    ASSERT_NE(RichText(form_->RichEdit1), L"");
    MenuCommand(form_.get(), form_->Clear1);
    EXPECT_EQ(RichText(form_->RichEdit1), L"");
}

TEST_F(Grid, DeviceChangeUpdatesThePortList) {
    TNotifyCounter counter;
    form_->pwComm1->NotifyAdd(TpwNotifyEvent(&counter, &TNotifyCounter::Notify));
    const LRESULT r =
        ::SendMessageW(form_->Handle(), WM_DEVICECHANGE, 0x0007 /* DBT_DEVNODES_CHANGED */, 0);
    EXPECT_EQ(r, 0);
    EXPECT_EQ(counter.changed, 1);
    ::SendMessageW(form_->Handle(), WM_DEVICECHANGE, 0x8000 /* DBT_DEVICEARRIVAL */, 0);
    EXPECT_EQ(counter.changed, 2);
    EXPECT_GT(form_->pwComm1->DeviceCount(), 0);
    form_->pwComm1->NotifyDelete(TpwNotifyEvent(&counter, &TNotifyCounter::Notify));
}

TEST_F(Grid, LoadDataMenuLoadsTheChosenFileAndCancelKeepsTheTable) {
    dir_.WriteFile(L"other.dat", "RowCount=1\r\n1=HEX,Ping,01 02\r\n");
    std::wstring filter;
    auto saved = tk::TOpenDialog::SetExecuteHook([&](tk::TOpenDialog& d) {
        filter = d.Filter();
        return false;
    });
    MenuCommand(form_.get(), form_->LoadData1);
    EXPECT_EQ(filter, L"Data File|*.dat");
    EXPECT_EQ(G()->RowCount(), 4);
    EXPECT_EQ(G()->Cells(3, 1), L"R1");
    tk::TOpenDialog::SetExecuteHook([&](tk::TOpenDialog& d) {
        d.SetFileName(dir_.Path() + L"\\other.dat");
        return true;
    });
    MenuCommand(form_.get(), form_->LoadData1);
    tk::TOpenDialog::SetExecuteHook(saved);
    EXPECT_TRUE(boxes_.boxes.empty());
    EXPECT_EQ(G()->RowCount(), 2);
    EXPECT_EQ(G()->Cells(1, 1), L"HEX");
    EXPECT_EQ(form_->ListBox1->Items().Count(), 2);
    // The selected row is not reset by a load.
    ClickCell(G(), 2, 1);
    DoubleClickCell(G(), 2, 1);
    EXPECT_EQ(Hex(peer_->Read(2)), "01 02");
}

TEST_F(Grid, ARowBeyondAShorterTableIsNotSent) {
    ClickCell(G(), 2, 3);
    dir_.WriteFile(L"short.dat", "RowCount=1\r\n1=ASCII,One,S1\r\n");
    form_->LoadDataFile(dir_.Path() + L"\\short.dat");
    ASSERT_EQ(G()->RowCount(), 2);
    ASSERT_EQ(form_->SelectedRow, 3);
    // Clicks that keep the selection: the fixed column, and with single
    // clicks sending, a right click.
    DoubleClickCell(G(), 0, 1);
    TickSingleClick();
    RightClickCell(G(), 2, 1);
    EXPECT_EQ(peer_->ReadQuiet(), "");
    EXPECT_EQ(RichText(form_->RichEdit1), L"");
    ClickCell(G(), 2, 1);
    EXPECT_EQ(peer_->Read(2), "S1");
}

TEST_F(Grid, LoadDataErrorIsReportedAndTheWindowGoesOn) {
    tk::TOpenDialog::SetExecuteHook([&](tk::TOpenDialog& d) {
        d.SetFileName(dir_.Path() + L"\\missing.dat");
        return true;
    });
    MenuCommand(form_.get(), form_->LoadData1);
    tk::TOpenDialog::SetExecuteHook(nullptr);
    ASSERT_EQ(boxes_.boxes.size(), 1u);
    EXPECT_EQ(boxes_.boxes[0].text.rfind(L"Cannot open file \"", 0), 0u);
    EXPECT_EQ(boxes_.boxes[0].caption, tk::Application().Title());
    EXPECT_EQ(G()->RowCount(), 4);
    DoubleClickCell(G(), 3, 3);
    EXPECT_EQ(peer_->Read(2), "R3");
}

TEST_F(Grid, SaveDataWritesTheEditedTableAndAFailedSaveKeepsTheFile) {
    const std::wstring path = dir_.Path() + L"\\table.dat";
    dir_.WriteFile(L"table.dat",
                   "; bench\r\nRowCount=2\r\n1=ASCII,One,R1\r\nRow.1.Expect=OK\r\n2=HEX,Ping,01\r\n");
    form_->LoadDataFile(path);
    // An edit still open in the cell's editor is saved with the rest.
    ClickCell(G(), 3, 2, MK_CONTROL);
    ClickCell(G(), 3, 2);
    ASSERT_TRUE(G()->EditorMode()) << "the in-place editor did not open";
    G()->InplaceEditor()->SetText(L"01 02, 03");
    ASSERT_TRUE(form_->SaveData1->Visible());
    MenuCommand(form_.get(), form_->SaveData1);
    EXPECT_TRUE(boxes_.boxes.empty());
    const std::string edited =
        "; bench\r\nRowCount=2\r\n1=ASCII,One,R1\r\nRow.1.Expect=OK\r\n2=HEX,Ping,\"01 02, 03\"\r\n";
    EXPECT_EQ(ReadFileBytes(path), edited);

    // Read-only: the save is refused with the file named, and nothing changes.
    G()->SetCells(2, 1, L"Renamed");
    ASSERT_TRUE(::SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_READONLY));
    MenuCommand(form_.get(), form_->SaveData1);
    ::SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_NORMAL);
    ASSERT_EQ(boxes_.boxes.size(), 1u);
    EXPECT_EQ(boxes_.boxes[0].text.rfind(L"Cannot save file \"" + path + L"\". ", 0), 0u)
        << boxes_.boxes[0].text;
    EXPECT_EQ(ReadFileBytes(path), edited);

    // Save As elsewhere: the new file is the table's file from then on.
    auto saved = tk::TOpenDialog::SetExecuteHook([&](tk::TOpenDialog& d) {
        d.SetFileName(dir_.Path() + L"\\copy.dat");
        return true;
    });
    MenuCommand(form_.get(), form_->SaveDataAs1);
    tk::TOpenDialog::SetExecuteHook(saved);
    EXPECT_EQ(boxes_.boxes.size(), 1u);
    EXPECT_EQ(form_->DataFileName, dir_.Path() + L"\\copy.dat");
    EXPECT_NE(ReadFileBytes(form_->DataFileName).find("1=ASCII,Renamed,R1\r\nRow.1.Expect=OK"),
              std::string::npos);
    EXPECT_EQ(ReadFileBytes(path), edited);
}

TEST_F(Grid, AnEditedExpectIsCheckedAndSavedAsTypedTheResultIsNotEditable) {
    const std::wstring path = dir_.Path() + L"\\checks.dat";
    dir_.WriteFile(L"checks.dat", "RowCount=2\r\n1=ASCII,One,R1\r\nRow.1.Expect=OK\r\n2=ASCII,Two,R2\r\n");
    form_->LoadDataFile(path);
    ASSERT_EQ(G()->ColCount(), 6);
    ClickCell(G(), 5, 1, MK_CONTROL);
    ClickCell(G(), 5, 1);
    EXPECT_FALSE(G()->EditorMode()) << "the Result cell opened an editor";

    auto edit = [&](int row, const std::wstring& text) {
        ClickCell(G(), 4, row);
        ClickCell(G(), 4, row);
        ASSERT_TRUE(G()->EditorMode()) << "the Expect cell did not open an editor";
        G()->InplaceEditor()->SetText(text);
        ClickCell(G(), 2, row);  // leaving the cell writes the edit; the editor moves along
    };
    edit(2, L"<ZZ>");
    ASSERT_EQ(form_->RowChecks.rows.size(), 2u);
    EXPECT_EQ(form_->RowChecks.rows[1].expectText, L"<ZZ>");
    EXPECT_FALSE(form_->RowChecks.rows[1].expectError.empty());
    EXPECT_NE(RichText(form_->RichEdit1).find(L"Row.2.Expect=<ZZ>: "), std::wstring::npos)
        << "no note for the bad value";
    edit(1, L"HEX:4F ??");
    EXPECT_EQ(form_->RowChecks.rows[0].expect.pattern, (std::vector<int>{0x4F, kAnyByte}));
    MenuCommand(form_.get(), form_->SaveData1);
    EXPECT_TRUE(boxes_.boxes.empty());
    EXPECT_EQ(ReadFileBytes(path),
              "RowCount=2\r\n1=ASCII,One,R1\r\nRow.1.Expect=HEX:4F ??\r\n2=ASCII,Two,R2\r\n"
              "Row.2.Expect=<ZZ>\r\n");
}

TEST_F(Grid, ComConfigRebuildsTheSummary) {
    form_->pwComm1->SetBaudRate(19200);
    form_->pwComm1->SetParity(pEven);
    form_->pwComm1->SetByteSize(7);
    form_->pwComm1->SetStopBits(sbTwo);
    form_->pwComm1->SetStreamProtocol(spHardware);
    form_->ShowComParameter();
    EXPECT_EQ(form_->lblCOM_Parameter->Caption(),
              L"19200 bps / Even  Parity /  7 Data bit / 2 Stop bit / Flow Control= Hardware ");
    form_->pwComm1->SetParity(pMark);
    form_->pwComm1->SetStopBits(sbOneAndHalf);
    form_->pwComm1->SetStreamProtocol(spXonXoff);
    form_->ShowComParameter();
    EXPECT_EQ(form_->lblCOM_Parameter->Caption(),
              L"19200 bps / Mask  Parity /  7 Data bit / 1.5 Stop bit / Flow Control= XonXoff ");
    form_->pwComm1->SetParity(pOdd);
    form_->ShowComParameter();
    EXPECT_NE(form_->lblCOM_Parameter->Caption().find(L" / Odd  Parity"), std::wstring::npos);
    form_->pwComm1->SetParity(pSpace);
    form_->ShowComParameter();
    EXPECT_NE(form_->lblCOM_Parameter->Caption().find(L" / Space  Parity"), std::wstring::npos);
}

}  // namespace
