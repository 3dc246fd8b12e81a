// "COM Config" through the system's port dialog, answered by the simulated
// driver (the real dialog is modal and would wait for a user).
#include <gtest/gtest.h>

#include <memory>

#include "SimDriver.h"
#include "UfrmMain.h"
#include "WindowTestKit.h"

using namespace wintest;

namespace {

class ComConfig : public ::testing::Test {
protected:
    void SetUp() override {
        port_ = &driver_.AddPort(L"COM7");
        form_ = std::make_unique<TfrmMain>(nullptr);
        form_->pwComm1->SetComPortNo(7);
    }
    std::wstring Summary() { return form_->lblCOM_Parameter->Caption(); }

    TTempWorkDir dir_;
    TBoxRecorder boxes_;
    sim::Driver driver_;
    sim::Port* port_ = nullptr;
    std::unique_ptr<TfrmMain> form_;
};

}  // namespace

TEST_F(ComConfig, TheChosenSettingsShowInTheSummaryAndReachTheOpenPort) {
    DCB chosen = {};
    chosen.DCBlength = sizeof(DCB);
    chosen.BaudRate = 115200;
    chosen.ByteSize = 7;
    chosen.Parity = EVENPARITY;
    chosen.StopBits = TWOSTOPBITS;
    SetDcbFlags(chosen, 0x0001 | 0x0004 | 0x0010 | 0x2000);  // hardware handshake
    driver_.SetDialogAnswer(&chosen);
    form_->chkConnected->SetChecked(true);  // opens the port
    ASSERT_TRUE(form_->pwComm1->Active());

    form_->COMConfig1Click(form_->COMConfig1);
    EXPECT_EQ(L"COM7", driver_.Calls("CommConfigDialogW").back().name);
    EXPECT_EQ(L"115200 bps / Even  Parity /  7 Data bit / 2 Stop bit / Flow Control= Hardware ",
              Summary());
    EXPECT_EQ(115200u, port_->dcb.BaudRate);
    EXPECT_EQ(7, port_->dcb.ByteSize);
    EXPECT_TRUE(boxes_.boxes.empty());
}

TEST_F(ComConfig, ACancelledDialogLeavesTheSummary) {
    const std::wstring before = Summary();
    driver_.SetDialogAnswer(nullptr);
    form_->COMConfig1Click(form_->COMConfig1);
    EXPECT_EQ(1, driver_.Count("CommConfigDialogW"));
    EXPECT_EQ(before, Summary());
}

// Wine's dialog writes only the bits that carry the flow control and leaves
// DTR (and for XON/XOFF also RTS) disabled; what the user chose must still
// show, and the next open must set it.
TEST_F(ComConfig, FlowControlFromADialogThatDisablesDtrShowsAndReachesTheNextOpen) {
    struct {
        DWORD flags;
        const wchar_t* shown;
        DWORD opened;
    } const cases[] = {
        {0x0001 | 0x0004 | 0x2000, L"Hardware ", kDcbHardware},  // fOutxCtsFlow, RTS handshake
        {0x0001 | 0x0100 | 0x0200, L"XonXoff ", kDcbXonXoff},     // fOutX, fInX
    };
    for (const auto& c : cases) {
        DCB chosen = {};
        chosen.DCBlength = sizeof(DCB);
        chosen.BaudRate = 19200;
        chosen.ByteSize = 7;
        chosen.Parity = EVENPARITY;
        chosen.StopBits = TWOSTOPBITS;
        SetDcbFlags(chosen, c.flags);
        driver_.SetDialogAnswer(&chosen);
        form_->COMConfig1Click(form_->COMConfig1);
        EXPECT_EQ(std::wstring(L"19200 bps / Even  Parity /  7 Data bit / 2 Stop bit / Flow Control= ") + c.shown,
                  Summary());
        form_->chkConnected->SetChecked(true);
        ASSERT_TRUE(form_->pwComm1->Active());
        EXPECT_EQ(c.opened, GetDcbFlags(port_->dcb) & (kDcbHardware | kDcbXonXoff)) << c.shown;
        form_->chkConnected->SetChecked(false);
    }
    EXPECT_TRUE(boxes_.boxes.empty());
}
