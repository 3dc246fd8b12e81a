// The port selector of the main window on the harness's mapped ports: it
// lists them in order, shows no selection where the designed COM1 is not
// mapped, and moves the next command (or the open connection) to the port
// the user picks.
#include <gtest/gtest.h>

#include <memory>

#include "UfrmMain.h"
#include "WindowTestKit.h"

using namespace wintest;

namespace {

class PortSelector : public ::testing::Test {
protected:
    void SetUp() override {
        if (!PairPorts(a_, b_)) GTEST_SKIP() << "outside the test harness (no QUOLM_PAIR1)";
        form_ = std::make_unique<TfrmMain>(nullptr);
        form_->Show();
        Pump();
        peer_ = std::make_unique<TPeer>(b_);
        ASSERT_TRUE(peer_->ok());
        peer_->Drain();
        FillGrid(form_->StringGrid1, {{L"ASCII", L"Hello", L"hi"}});
        bool can = true;
        form_->StringGrid1SelectCell(form_->StringGrid1, 1, 1, can);
    }
    // As the user's pick arrives: the list's selection, then its notification.
    void Pick(const std::wstring& port) {
        TpwDeviceBox* box = form_->pwDeviceBox1;
        int index = -1;
        for (int i = 0; i < box->Items().Count(); ++i)
            if (box->Items().Strings(i) == port) index = i;
        ASSERT_GE(index, 0) << "not listed";
        SendMessageW(box->Handle(), CB_SETCURSEL, static_cast<WPARAM>(index), 0);
        SendMessageW(form_->Panel1->Handle(), WM_COMMAND,
                     MAKEWPARAM(GetDlgCtrlID(box->Handle()), CBN_SELCHANGE),
                     reinterpret_cast<LPARAM>(box->Handle()));
        Pump();
    }
    std::wstring Port(int n) { return L"COM" + std::to_wstring(n); }

    int a_ = 0, b_ = 0;
    TTempWorkDir dir_;
    TBoxRecorder boxes_;
    std::unique_ptr<TfrmMain> form_;
    std::unique_ptr<TPeer> peer_;
};

}  // namespace

TEST_F(PortSelector, ListsTheMappedPortsAndSendsOnThePickedOne) {
    TpwDeviceBox* box = form_->pwDeviceBox1;
    EXPECT_EQ(form_->pwComm1, box->pwComm());
    ASSERT_GE(box->Items().Count(), 6);
    for (int i = 1; i < box->Items().Count(); ++i)
        EXPECT_LT(std::stoi(box->Items().Strings(i - 1).substr(3)), std::stoi(box->Items().Strings(i).substr(3)));
    EXPECT_EQ(1, form_->pwComm1->ComPortNo());
    EXPECT_EQ(-1, box->ItemIndex()) << "COM1 is not mapped here";

    const std::wstring summary = form_->lblCOM_Parameter->Caption();
    Pick(Port(a_));
    EXPECT_EQ(a_, form_->pwComm1->ComPortNo());
    EXPECT_EQ(Port(a_), box->Items().Strings(box->ItemIndex()));
    EXPECT_FALSE(form_->pwComm1->Active());
    EXPECT_EQ(summary, form_->lblCOM_Parameter->Caption());

    form_->SendSelectedRow();
    EXPECT_EQ("hi", peer_->Read(2));
    EXPECT_TRUE(boxes_.boxes.empty());
}

TEST_F(PortSelector, WithAlwaysConnectedThePickMovesTheOpenConnection) {
    Pick(Port(b_));
    form_->chkConnected->SetChecked(true);
    ASSERT_TRUE(form_->pwComm1->Active());
    EXPECT_EQ(b_, form_->pwComm1->ComPortNo());
    peer_.reset();  // COM b is ours now; free the far end for the move back
    Pick(Port(a_));
    EXPECT_TRUE(form_->pwComm1->Active());
    EXPECT_EQ(a_, form_->pwComm1->ComPortNo());
    peer_ = std::make_unique<TPeer>(b_);
    form_->SendSelectedRow();
    EXPECT_EQ("hi", peer_->Read(2));
}
