// A HEX command on a driver that holds writes in flight and keeps bytes in
// its output queue: the close after the send must not discard them. The
// simulated driver stands in for a real UART, which a pty cannot imitate
// (Wine reports no output queue and completes writes at once).
#include <gtest/gtest.h>

#include <memory>

#include "SimDriver.h"
#include "UfrmMain.h"
#include "WindowTestKit.h"

using namespace wintest;

namespace {

class HexFlush : public ::testing::Test {
protected:
    void SetUp() override {
        port_ = &driver_.AddPort(L"COM7");
        form_ = std::make_unique<TfrmMain>(nullptr);
        form_->pwComm1->SetComPortNo(7);
        FillGrid(form_->StringGrid1, {{L"HEX", L"Ping", L"01 02 0A FF"}});
        bool can = true;
        form_->StringGrid1SelectCell(form_->StringGrid1, 1, 1, can);
    }
    void TearDown() override { form_.reset(); }
    int Index(const std::string& fn, int from = 0) { return driver_.IndexOf(fn, from); }
    // A purge that drops output the driver still holds.
    bool PurgedOutput() {
        for (const sim::Call& c : driver_.Calls("PurgeComm"))
            if (c.a & (PURGE_TXCLEAR | PURGE_TXABORT)) return true;
        return false;
    }

    TTempWorkDir dir_;
    TBoxRecorder boxes_;
    sim::Driver driver_;
    sim::Port* port_ = nullptr;
    std::unique_ptr<TfrmMain> form_;
};

TEST_F(HexFlush, WriteInFlightIsSentBeforeTheClose) {
    port_->pendWrites = true;
    form_->SendSelectedRow();
    EXPECT_EQ(Hex(port_->tx), "01 02 0A FF");
    EXPECT_FALSE(PurgedOutput());
    EXPECT_EQ(driver_.OpenHandles(), 0);
    const int write = Index("WriteFile"), finish = Index("GetOverlappedResult"),
              close = Index("CloseHandle");
    ASSERT_GE(write, 0);
    EXPECT_LT(write, finish);
    EXPECT_LT(finish, close);
    EXPECT_TRUE(boxes_.boxes.empty());
}

TEST_F(HexFlush, QueuedOutputIsNotPurgedByTheClose) {
    port_->paced = true;  // the driver still holds the bytes when the write completes
    port_->modem = MS_CTS_ON;
    form_->SendSelectedRow();
    EXPECT_EQ(Hex(port_->tx), "01 02 0A FF");
    EXPECT_FALSE(PurgedOutput());
    EXPECT_EQ(driver_.OpenHandles(), 0);
}

TEST_F(HexFlush, AlwaysConnectedNeedsNoFlush) {
    form_->chkConnected->SetChecked(true);
    ASSERT_TRUE(form_->pwComm1->Active());
    form_->SendSelectedRow();
    EXPECT_EQ(Index("FlushFileBuffers"), -1);
    EXPECT_TRUE(form_->pwComm1->Active());
    form_->chkConnected->SetChecked(false);
    EXPECT_EQ(Hex(port_->tx), "01 02 0A FF");
}

TEST_F(HexFlush, RefusedWriteStillClosesThePort) {
    port_->refuseWrites = ERROR_ACCESS_DENIED;
    form_->SendSelectedRow();
    EXPECT_EQ(port_->tx, "");
    EXPECT_FALSE(form_->pwComm1->Active());
    EXPECT_EQ(driver_.OpenHandles(), 0);
}

// A held line (hardware flow, CTS low): the send ends at its bound, the
// user is told in the log what became of the bytes, and the port closes.
TEST_F(HexFlush, AHeldLineIsToldInTheLog) {
    FillGrid(form_->StringGrid1, {{L"ASCII+CRLF", L"Config", L"AT+CONFIG=0123456789;ABCDEFGHIJ;abcdefghij"}});
    form_->pwComm1->SetStreamProtocol(spHardware);
    port_->paced = true;
    port_->modem = 0;  // CTS low
    form_->SendSelectedRow();
    const std::wstring log = RichText(form_->RichEdit1);
    EXPECT_NE(log.find(L"COM7: send failed: "), std::wstring::npos) << std::string(log.begin(), log.end());
    EXPECT_NE(log.find(L"the line is held: CTS is low"), std::wstring::npos);
    // The echo still follows, in red, after the note.
    EXPECT_NE(log.find(L"abcdefghij<CR><LF>\r"), std::wstring::npos);
    EXPECT_EQ(port_->tx, "");
    EXPECT_TRUE(boxes_.boxes.empty());
    EXPECT_FALSE(form_->pwComm1->Active());
    EXPECT_EQ(driver_.OpenHandles(), 0);
}

}  // namespace
