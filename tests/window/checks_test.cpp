// Rows with expected replies in the real window against a pty peer: a
// checked row waits for its reply without blocking the window and keeps the
// port open meanwhile; a run started with F5 from the grid shows its
// progress, and Esc ends it between whole commands.
#include <gtest/gtest.h>

#include <memory>

#include "CheckGrid.h"
#include "UfrmMain.h"
#include "WindowTestKit.h"

using namespace wintest;

namespace {

template <class F>
bool WaitFor(F cond) {
    for (DWORD start = GetTickCount(); GetTickCount() - start < 30000;) {
        Pump();
        if (cond()) return true;
        Sleep(5);
    }
    return cond();
}

std::string Narrow(const std::wstring& s) { return std::string(s.begin(), s.end()); }

class Checks : public ::testing::Test {
protected:
    void SetUp() override {
        if (!PairPorts(a_, b_)) GTEST_SKIP() << "outside the test harness (no QUOLM_PAIR1)";
        {
            TPeer ours(a_);
            ours.Drain();
        }
        form_ = std::make_unique<TfrmMain>(nullptr);
        form_->pwComm1->SetComPortNo(static_cast<std::uint16_t>(a_));
        form_->Show();
        Pump();
        peer_ = std::make_unique<TPeer>(b_);
        ASSERT_TRUE(peer_->ok());
        peer_->Drain();
    }
    void TearDown() override {
        form_.reset();
        peer_.reset();
    }
    void Load(const std::string& table) {
        dir_.WriteFile(L"checks.dat", table);
        form_->LoadDataFile(L"checks.dat");
        Pump();
    }
    std::wstring Result(int row) { return form_->StringGrid1->Cells(kColResult, row); }
    std::string Log() { return Narrow(RichText(form_->RichEdit1)); }

    TTempWorkDir dir_;
    TBoxRecorder boxes_;
    int a_ = 0, b_ = 0;
    std::unique_ptr<TfrmMain> form_;
    std::unique_ptr<TPeer> peer_;
};

TEST_F(Checks, ACheckedRowPassesOnItsReplyAndThePortClosesAfter) {
    Load("RowCount=2\r\n1=ASCII+CR,Ping,PING\r\n2=ASCII,Plain,X\r\nRow.1.Expect=OK<CR>\r\n"
         "Row.2.Timeout=abc\r\n");
    ASSERT_EQ(form_->StringGrid1->ColCount(), kCheckedColCount);
    EXPECT_EQ(form_->StringGrid1->Cells(kColExpect, 0), L"Expect");
    EXPECT_EQ(form_->StringGrid1->Cells(kColExpect, 1), L"OK<CR>");
    EXPECT_NE(Log().find("Line 5: Row.2.Timeout=abc: "), std::string::npos) << Log();

    DoubleClickCell(form_->StringGrid1, 1, 1);
    EXPECT_EQ(peer_->Read(5), "PING\r");
    // Back from the click with the check still open: the window waits for
    // nothing, and the port stays open for the reply.
    EXPECT_EQ(Result(1), L"");
    EXPECT_TRUE(form_->pwComm1->Active());
    peer_->Write("+OK\r\n");
    ASSERT_TRUE(WaitFor([&] { const std::wstring r = Result(1); return r.size() > 5 && r.compare(0, 5, L"pass ") == 0; }))
        << "waited for the row to pass: " << Narrow(Result(1));
    EXPECT_NE(Log().find("Row 1 Ping: pass "), std::string::npos) << Log();
    EXPECT_TRUE(WaitFor([&] { return !form_->pwComm1->Active(); })) << "waited for the port to close";
    EXPECT_TRUE(boxes_.boxes.empty());
}

TEST_F(Checks, ASilentDeviceFailsTheRowWithATimeOut) {
    Load("RowCount=1\r\n1=ASCII+CRLF,Status,STAT?\r\nRow.1.Expect=READY\r\nRow.1.Timeout=300\r\n");
    DoubleClickCell(form_->StringGrid1, 1, 1);
    EXPECT_EQ(peer_->Read(7), "STAT?\r\n");
    EXPECT_EQ(Result(1), L"");
    EXPECT_TRUE(form_->pwComm1->Active());
    ASSERT_TRUE(WaitFor([&] { return Result(1) == L"FAIL time-out"; }))
        << "waited for the time-out: " << Narrow(Result(1));
    EXPECT_NE(Log().find("Row 1 Status: FAIL time-out"), std::string::npos) << Log();
    EXPECT_TRUE(WaitFor([&] { return !form_->pwComm1->Active(); })) << "waited for the port to close";
}

TEST_F(Checks, F5RunsTheTableAndEscStopsItBetweenWholeCommands) {
    Load("RowCount=3\r\n1=ASCII+CR,One,CMD1\r\n2=ASCII+CR,Two,CMD2\r\n3=ASCII+CR,Three,CMD3\r\n"
         "Row.1.Expect=A1\r\nRow.2.Expect=A2\r\nRow.3.Expect=A3\r\nRow.3.Timeout=60000\r\n");
    ClickCell(form_->StringGrid1, 2, 1);
    ::PostMessageW(form_->StringGrid1->Handle(), WM_KEYDOWN, VK_F5, 0);
    EXPECT_EQ(peer_->ReadPumping(5), "CMD1\r");
    EXPECT_TRUE(form_->mnuRun_Stop->Enabled());
    peer_->Write("A1\r\n");
    EXPECT_EQ(peer_->ReadPumping(5), "CMD2\r");
    peer_->Write("A2\r\n");
    EXPECT_EQ(peer_->ReadPumping(5), "CMD3\r");
    ASSERT_TRUE(WaitFor([&] { return form_->StatusBar1->Panels()[0].Text() == L"Run 3/3: 2 passed, 0 failed"; }))
        << "waited for the progress of row 3: " << Narrow(form_->StatusBar1->Panels()[0].Text());
    // Shown whole, not cut to the hint panel's designed 50 pixels.
    EXPECT_GT(form_->StatusBar1->Panels()[0].Width(), 100);

    ::PostMessageW(form_->StringGrid1->Handle(), WM_KEYDOWN, VK_ESCAPE, 0);
    ASSERT_TRUE(WaitFor([&] { return !form_->mnuRun_Stop->Enabled(); })) << "waited for the run to stop";
    EXPECT_EQ(Result(3), L"stopped");
    const std::string log = Log();
    const std::size_t summary = log.find("Run stopped: ");
    ASSERT_NE(summary, std::string::npos) << log;
    EXPECT_NE(log.find("2 passed, 0 failed; round trip min ", summary), std::string::npos) << log;
    EXPECT_EQ(peer_->ReadQuiet(), "") << "nothing after the last whole command";
    EXPECT_TRUE(form_->mnuRun_All->Enabled());
    EXPECT_TRUE(boxes_.boxes.empty());
}

}  // namespace
