// Sending grid rows to the port: the four send forms as they arrive at the
// far end of the pty pair, the echo lines and their colours, refused HEX
// tokens, open failures and "Always connected".
#include <gtest/gtest.h>

#include <memory>

#include "UfrmMain.h"
#include "WindowTestKit.h"

using namespace wintest;

namespace {

constexpr COLORREF kRed = 0x0000FF, kNavy = 0x800000;

// Counts opens and closes of the component (notification codes 2 and 1).
struct TOpenCounter : tk::TObject {
    int opened = 0, closed = 0, changed = 0;
    void Notify(tk::TObject*, std::int32_t code) {
        if (code == 2) ++opened;
        if (code == 1) ++closed;
        if (code == 3) ++changed;
    }
};

class Dispatch : public ::testing::Test {
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
        form_->pwComm1->NotifyAdd(TpwNotifyEvent(&counter_, &TOpenCounter::Notify));
        form_->Show();
        Pump();
        peer_ = std::make_unique<TPeer>(b_);
        ASSERT_TRUE(peer_->ok());
        peer_->Drain();
    }
    void TearDown() override {
        if (form_) form_->pwComm1->NotifyDelete(TpwNotifyEvent(&counter_, &TOpenCounter::Notify));
        form_.reset();
        peer_.reset();
    }
    // Selects row r as a click would and sends it.
    void SendRow(int r) {
        bool can = true;
        form_->StringGrid1SelectCell(form_->StringGrid1, 1, r, can);
        form_->SendSelectedRow();
        Pump();
    }
    std::wstring Log() { return RichText(form_->RichEdit1); }

    TTempWorkDir dir_;
    TBoxRecorder boxes_;
    TOpenCounter counter_;
    int a_ = 0, b_ = 0;
    std::unique_ptr<TfrmMain> form_;
    std::unique_ptr<TPeer> peer_;
};

TEST_F(Dispatch, TextFormsReachThePeerAndEcho) {
    FillGrid(form_->StringGrid1, {{L"ASCII", L"Reset", L"ATZ"},
                                  {L"ASCII+CR", L"Query", L"AT+GMR"},
                                  {L"ASCII+CRLF", L"Status", L" AT?"}});
    SendRow(1);
    EXPECT_EQ(peer_->Read(3), "ATZ");
    SendRow(2);
    EXPECT_EQ(peer_->Read(7), "AT+GMR\r");
    SendRow(3);
    EXPECT_EQ(peer_->Read(6), " AT?\r\n");
    EXPECT_EQ(Log(), L"ATZ\rAT+GMR<CR>\r AT?<CR><LF>\r");
    EXPECT_TRUE(boxes_.boxes.empty());
    // Opened and closed for each command.
    EXPECT_FALSE(form_->pwComm1->Active());
    EXPECT_EQ(counter_.opened, 3);
    EXPECT_EQ(counter_.closed, 3);
}

TEST_F(Dispatch, EmptyTextForms) {
    FillGrid(form_->StringGrid1, {{L"ASCII", L"Nothing", L""}, {L"ASCII+CR", L"Enter", L""}});
    SendRow(1);
    EXPECT_EQ(peer_->ReadQuiet(), "");
    SendRow(2);
    EXPECT_EQ(peer_->Read(1), "\r");
    EXPECT_EQ(Log(), L"\r<CR>\r");
}

TEST_F(Dispatch, TextIsSentInTheAnsiCodePage) {
    // A character the code page lacks becomes its default character.
    const std::wstring text = L"A\u00e9\u4e00\u0416Z";
    FillGrid(form_->StringGrid1, {{L"ASCII", L"Mixed", text}});
    char expected[32] = {};
    const int n = ::WideCharToMultiByte(CP_ACP, 0, text.c_str(), static_cast<int>(text.size()),
                                        expected, sizeof expected, nullptr, nullptr);
    SendRow(1);
    EXPECT_EQ(Hex(peer_->Read(static_cast<std::size_t>(n))),
              Hex(std::string(expected, static_cast<std::size_t>(n))));
    EXPECT_EQ(Log(), text + L"\r");
}

TEST_F(Dispatch, HexFormsReachThePeer) {
    FillGrid(form_->StringGrid1, {{L"HEX", L"Ping", L"01 02 0A FF"},
                                  {L"HEX", L"Blanks", L"01  02\t0a"},
                                  {L"HEX", L"Joined", L"0102"},
                                  {L"HEX", L"Empty", L""}});
    SendRow(1);
    EXPECT_EQ(Hex(peer_->Read(4)), "01 02 0A FF");
    SendRow(2);
    EXPECT_EQ(Hex(peer_->Read(3)), "01 02 0A");
    SendRow(3);
    EXPECT_EQ(Hex(peer_->Read(1)), "01");
    SendRow(4);
    EXPECT_EQ(peer_->ReadQuiet(), "");
    EXPECT_EQ(Log(), L"01 02 0A FF\r01  02\t0a\r0102\r\r");
    EXPECT_TRUE(boxes_.boxes.empty());
    EXPECT_FALSE(form_->pwComm1->Active());
    EXPECT_EQ(counter_.closed, 4);
}

TEST_F(Dispatch, HexHasNoTokenCountOrLengthLimit) {
    std::wstring many;
    std::string expected;
    for (int i = 0; i < 100; ++i) {
        wchar_t t[4];
        swprintf(t, 4, L"%02X", (i * 7) & 0xFF);
        many += (i ? L" " : L"") + std::wstring(t);
        expected.push_back(static_cast<char>((i * 7) & 0xFF));
    }
    const std::wstring longToken = L"0A" + std::wstring(200, L'Z');
    FillGrid(form_->StringGrid1, {{L"HEX", L"Many", many}, {L"HEX", L"Long", longToken + L" 7f"}});
    SendRow(1);
    EXPECT_EQ(Hex(peer_->Read(expected.size())), Hex(expected));
    SendRow(2);
    EXPECT_EQ(Hex(peer_->Read(2)), "0A 7F");
    EXPECT_TRUE(boxes_.boxes.empty());
}

TEST_F(Dispatch, RefusedHexTokenSendsNothing) {
    FillGrid(form_->StringGrid1, {{L"HEX", L"Short", L"1 2"}, {L"HEX", L"Bad", L"01 0g"}});
    SendRow(1);
    SendRow(2);
    EXPECT_EQ(peer_->ReadQuiet(), "");
    ASSERT_EQ(boxes_.boxes.size(), 2u);
    for (const TBox& b : boxes_.boxes) {
        EXPECT_EQ(b.text, L"Error");
        EXPECT_EQ(b.caption, tk::Application().Title());
        EXPECT_EQ(b.flags, static_cast<UINT>(MB_OK));
    }
    // Still echoed, and the port was closed after the box.
    EXPECT_EQ(Log(), L"1 2\r01 0g\r");
    EXPECT_FALSE(form_->pwComm1->Active());
    EXPECT_EQ(counter_.opened, 2);
    EXPECT_EQ(counter_.closed, 2);
}

TEST_F(Dispatch, UnknownTypesSendAndEchoNothing) {
    FillGrid(form_->StringGrid1, {{L"ascii", L"Lower", L"ATZ"}, {L" ASCII", L"Blank", L"ATZ"}});
    // Before any selection the header row is sent: "Type" matches nothing.
    form_->SendSelectedRow();
    SendRow(1);
    SendRow(2);
    EXPECT_EQ(peer_->ReadQuiet(), "");
    EXPECT_EQ(Log(), L"");
    EXPECT_EQ(counter_.opened, 0);
    EXPECT_EQ(CaretColor(form_->RichEdit1), kNavy);
}

TEST_F(Dispatch, EchoIsRedAndTheViewReturnsToNavy) {
    FillGrid(form_->StringGrid1,
             {{L"ASCII", L"Reset", L"ATZ"}, {L"ASCII+CR", L"Query", L"AT+GMR"}});
    SendRow(1);
    SendRow(2);
    (void)peer_->Read(10);
    EXPECT_EQ(Log(), L"ATZ\rAT+GMR<CR>\r");
    EXPECT_EQ(RangeColor(form_->RichEdit1, 0, 3), kRed);
    EXPECT_EQ(RangeColor(form_->RichEdit1, 4, 14), kRed);
    EXPECT_EQ(CaretColor(form_->RichEdit1), kNavy);
}

TEST_F(Dispatch, OpenFailureShowsMessageAndStillEchoes) {
    form_->pwComm1->SetComPortNo(40);  // not mapped by the harness
    FillGrid(form_->StringGrid1, {{L"ASCII+CR", L"Query", L"AT"}, {L"HEX", L"Ping", L"01"}});
    SendRow(1);
    SendRow(2);
    ASSERT_EQ(boxes_.boxes.size(), 2u);
    for (const TBox& b : boxes_.boxes) {
        // The first line as it always was, then the system's reason.
        EXPECT_EQ(b.text.rfind(L"Can not open COM port!\r\nCOM40: ", 0), 0u);
        EXPECT_GT(b.text.size(), std::wstring(L"Can not open COM port!\r\nCOM40: ").size());
        EXPECT_EQ(b.caption, tk::Application().Title());
        EXPECT_EQ(b.flags, static_cast<UINT>(MB_OK));
        EXPECT_EQ(b.owner, form_->Handle());
    }
    EXPECT_EQ(Log(), L"AT<CR>\r01\r");
    EXPECT_EQ(RangeColor(form_->RichEdit1, 0, 6), kRed);
    EXPECT_EQ(CaretColor(form_->RichEdit1), kNavy);
    EXPECT_FALSE(form_->pwComm1->Active());
    EXPECT_EQ(peer_->ReadQuiet(), "");
}

TEST_F(Dispatch, AlwaysConnectedKeepsThePortOpen) {
    FillGrid(form_->StringGrid1, {{L"ASCII", L"Reset", L"ATZ"}, {L"HEX", L"Ping", L"01 02"}});
    // A click on the box, as the user gives it.
    ::SendMessageW(form_->chkConnected->Handle(), BM_CLICK, 0, 0);
    Pump();
    EXPECT_TRUE(form_->chkConnected->Checked());
    EXPECT_TRUE(form_->pwComm1->Active());
    SendRow(1);
    SendRow(2);
    EXPECT_EQ(Hex(peer_->Read(5)), Hex("ATZ\x01\x02"));
    EXPECT_TRUE(form_->pwComm1->Active());
    EXPECT_EQ(counter_.opened, 1);
    EXPECT_EQ(counter_.closed, 0);
    ::SendMessageW(form_->chkConnected->Handle(), BM_CLICK, 0, 0);
    Pump();
    EXPECT_FALSE(form_->chkConnected->Checked());
    EXPECT_FALSE(form_->pwComm1->Active());
    EXPECT_EQ(counter_.closed, 1);
}

TEST_F(Dispatch, AlwaysConnectedShowsReceivedDataInTheLog) {
    ::SendMessageW(form_->chkConnected->Handle(), BM_CLICK, 0, 0);
    Pump();
    ASSERT_TRUE(form_->pwComm1->Active());
    form_->RichEdit1->Clear();
    // Bytes from the device go into the log view at its caret.
    peer_->Write("OK\r");
    const DWORD start = ::GetTickCount();
    while (Log().find(L"OK") == std::wstring::npos && ::GetTickCount() - start < 15000) {
        Pump();
        ::Sleep(5);
    }
    EXPECT_NE(Log().find(L"OK"), std::wstring::npos);
    form_->chkConnected->SetChecked(false);
}

TEST_F(Dispatch, TypedCharactersGoToTheOpenPortOnly) {
    // Closed port: a typed character is neither sent nor shown.
    ::SendMessageW(form_->RichEdit1->Handle(), WM_CHAR, L'q', 1);
    Pump();
    EXPECT_EQ(peer_->ReadQuiet(), "");
    EXPECT_EQ(Log(), L"");
    ::SendMessageW(form_->chkConnected->Handle(), BM_CLICK, 0, 0);
    Pump();
    ASSERT_TRUE(form_->pwComm1->Active());
    for (wchar_t ch : std::wstring(L"AT\r"))
        ::SendMessageW(form_->RichEdit1->Handle(), WM_CHAR, ch, 1);
    Pump();
    EXPECT_EQ(peer_->Read(3), "AT\r");
    EXPECT_EQ(Log(), L"");
    ::SendMessageW(form_->chkConnected->Handle(), BM_CLICK, 0, 0);
    Pump();
}

TEST_F(Dispatch, AlwaysConnectedOpenFailureReachesTheErrorReport) {
    form_->pwComm1->SetComPortNo(40);
    ::SendMessageW(form_->chkConnected->Handle(), BM_CLICK, 0, 0);
    Pump();
    ASSERT_EQ(boxes_.boxes.size(), 1u);
    const TBox& b = boxes_.boxes[0];
    EXPECT_EQ(b.text.rfind(L"Device \"COM40\" Open Error !!!\r", 0), 0u)
        << std::string(b.text.begin(), b.text.end());
    EXPECT_EQ(b.caption, tk::Application().Title());
    EXPECT_EQ(b.flags & MB_ICONMASK, static_cast<UINT>(MB_ICONERROR));
    // The box stays ticked, the port closed; the next send tries again.
    EXPECT_TRUE(form_->chkConnected->Checked());
    EXPECT_FALSE(form_->pwComm1->Active());
    FillGrid(form_->StringGrid1, {{L"ASCII", L"Reset", L"ATZ"}});
    SendRow(1);
    ASSERT_EQ(boxes_.boxes.size(), 2u);
    EXPECT_EQ(boxes_.boxes[1].text.rfind(L"Can not open COM port!\r\nCOM40: ", 0), 0u);
}

}  // namespace
