// The bench log in the real window: received bytes shown in the Hex Log
// (read back as an assistive tool would), a send from the send line, the
// text capture of both, and Clear; keys typed in the terminal recorded as
// sent; the line gap chosen in its dialog.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <thread>
#include <vector>

#include "LineGapDialog.h"
#include "UfrmMain.h"
#include "WindowTestKit.h"

using namespace wintest;

namespace {

// Pumps messages until cond holds, for at most 30 s.
template <class F>
bool WaitFor(F cond) {
    for (DWORD start = GetTickCount(); GetTickCount() - start < 30000;) {
        Pump();
        if (cond()) return true;
        Sleep(10);
    }
    return cond();
}

std::wstring WindowText(HWND wnd) {
    const int n = static_cast<int>(SendMessageW(wnd, WM_GETTEXTLENGTH, 0, 0));
    std::wstring s(static_cast<std::size_t>(n) + 1, L'\0');
    const int got = static_cast<int>(SendMessageW(wnd, WM_GETTEXT, s.size(), reinterpret_cast<LPARAM>(s.data())));
    s.resize(static_cast<std::size_t>(got));
    return s;
}

TEST(BenchLog, HexLogShowsTheLineAndTheTextCaptureKeepsBothDirections) {
    int a = 0, b = 0;
    if (!PairPorts(a, b)) GTEST_SKIP() << "outside the test harness (no QUOLM_PAIR1)";
    {
        TPeer ours(a);
        ours.Drain();
    }
    TTempWorkDir dir;
    TBoxRecorder boxes;
    auto form = std::make_unique<TfrmMain>(nullptr);
    form->pwComm1->SetComPortNo(static_cast<std::uint16_t>(a));
    form->Show();
    Pump();
    TPeer peer(b);
    ASSERT_TRUE(peer.ok());
    peer.Drain();

    MenuCommand(form.get(), form->mnuView_HexLog);
    ASSERT_TRUE(form->LogView1->Visible());
    ASSERT_FALSE(form->RichEdit1->Visible());
    const std::wstring file = dir.Path() + L"\\capture.txt";
    ASSERT_TRUE(form->StartCapture(file, CaptureFormat::Text));
    form->chkConnected->SetChecked(true);
    form->chkConnectedClick(nullptr);
    ASSERT_TRUE(form->pwComm1->Active());

    const std::string reply("\x00\x08OK\r\n\xFF", 7);
    peer.Write(reply);
    ASSERT_TRUE(WaitFor([&] { return form->Events().TotalRx() == reply.size(); }))
        << "waited for the reply to be received";
    const HWND view = form->LogView1->Handle();
    EXPECT_NE(WindowText(view).find(L"RX 00 08 4F 4B 0D 0A FF"), std::wstring::npos) << WindowText(view);
    EXPECT_NE(WindowText(view).find(L"..OK...\r\n"), std::wstring::npos);

    form->SendLine1->TypeBox()->SetItemIndex(3);  // HEX
    form->SendLine1->Edit()->SetText(L"01 FF");
    form->SendLine1->Send();
    EXPECT_EQ(peer.Read(2), "\x01\xFF");
    EXPECT_NE(WindowText(view).find(L"TX 01 FF "), std::wstring::npos) << WindowText(view);
    EXPECT_TRUE(boxes.boxes.empty());

    form->StopCapture();
    EXPECT_FALSE(form->StopCapture1->Enabled());
    std::ifstream in(std::filesystem::path(file), std::ios::binary);
    const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    EXPECT_NE(text.find(" opened: 9600 bps"), std::string::npos) << text;
    EXPECT_NE(text.find("RX <00><08>OK<CR><LF><FF>\r\n"), std::string::npos) << text;
    EXPECT_NE(text.find("TX <01><FF>\r\n"), std::string::npos) << text;

    // A burst of many blocks: the view catches up with all of it, at the end.
    peer.Write(std::string(16384, 'x'));
    ASSERT_TRUE(WaitFor([&] { return form->Events().TotalRx() == reply.size() + 16384; }))
        << "waited for the burst to be received";
    const auto atEnd = [&] {
        SCROLLINFO si = {sizeof(si), SIF_ALL, 0, 0, 0, 0, 0};
        GetScrollInfo(view, SB_VERT, &si);
        const int lines = static_cast<int>(form->Events().LineCount(true));
        return lines > 1000 && si.nMax == lines - 1 && si.nPos + static_cast<int>(si.nPage) >= lines;
    };
    EXPECT_TRUE(WaitFor(atEnd)) << "waited for the view to scroll to the burst's last line";

    form->Clear1Click(nullptr);
    EXPECT_EQ(WindowText(view), L"");
    MenuCommand(form.get(), form->mnuView_Terminal);
    EXPECT_TRUE(form->RichEdit1->Visible());
    EXPECT_FALSE(form->LogView1->Visible());
}

// Opens the form on the pair's first port, kept open; the peer drained.
struct TOpenForm {
    std::unique_ptr<TfrmMain> form;
    std::unique_ptr<TPeer> peer;
    bool Open() {
        int a = 0, b = 0;
        if (!PairPorts(a, b)) return false;
        {
            TPeer ours(a);
            ours.Drain();
        }
        form = std::make_unique<TfrmMain>(nullptr);
        form->pwComm1->SetComPortNo(static_cast<std::uint16_t>(a));
        form->Show();
        Pump();
        peer = std::make_unique<TPeer>(b);
        peer->Drain();
        form->chkConnected->SetChecked(true);
        form->chkConnectedClick(nullptr);
        return true;
    }
    std::string SentBytes() const {
        std::string out;
        const EventLog& log = form->Events();
        for (std::size_t i = 0; i < log.Count(); ++i)
            if (log.At(i).Kind == LogEventKind::Tx) out += log.Bytes(log.At(i));
        return out;
    }
};

TEST(BenchLog, KeysTypedInTheTerminalAreRecordedAsSentWithoutShowingThere) {
    TTempWorkDir dir;
    TBoxRecorder boxes;
    TOpenForm f;
    if (!f.Open()) GTEST_SKIP() << "outside the test harness (no QUOLM_PAIR1)";
    ASSERT_TRUE(f.peer->ok());
    ASSERT_TRUE(f.form->pwComm1->Active());
    ASSERT_TRUE(f.form->RichEdit1->Visible());
    const std::wstring shown = RichText(f.form->RichEdit1);

    // As the keyboard delivers them: posted to the focused view.
    for (wchar_t ch : {L'a', L'\r', static_cast<wchar_t>(0xE9)})
        PostMessageW(f.form->RichEdit1->Handle(), WM_CHAR, ch, 1);
    ASSERT_TRUE(WaitFor([&] { return f.SentBytes().size() >= 3; })) << "waited for three TX events";
    EXPECT_EQ(Hex(f.peer->Read(3, 30000)), Hex("a\r\xE9"));
    EXPECT_EQ(Hex(f.SentBytes()), Hex("a\r\xE9"));
    EXPECT_EQ(RichText(f.form->RichEdit1), shown);

    MenuCommand(f.form.get(), f.form->mnuView_TextLog);
    EXPECT_NE(WindowText(f.form->LogView1->Handle()).find(L"TX <CR>"), std::wstring::npos);
    EXPECT_TRUE(boxes.boxes.empty());
}

TEST(BenchLog, TheLineGapChosenInItsDialogJoinsBurstsIntoOneLine) {
    TTempWorkDir dir;
    TBoxRecorder boxes;
    TOpenForm f;
    if (!f.Open()) GTEST_SKIP() << "outside the test harness (no QUOLM_PAIR1)";
    ASSERT_TRUE(f.form->pwComm1->Active());
    MenuCommand(f.form.get(), f.form->mnuView_HexLog);

    // The user types a value out of bounds (the dialog stays), then the largest.
    bool found = false, stayedOpen = false;
    std::thread user([&] {
        HWND dlg = nullptr;
        for (DWORD start = GetTickCount(); !dlg && GetTickCount() - start < 30000; Sleep(20))
            dlg = FindWindowW(L"#32770", kLineGapCaption);
        found = dlg != nullptr;
        if (!found) return;
        SetDlgItemTextW(dlg, 100, L"0");
        SendMessageW(dlg, WM_COMMAND, IDOK, 0);
        stayedOpen = IsWindow(dlg) != FALSE;
        SetDlgItemTextW(dlg, 100, L" 60000 ");
        SendMessageW(dlg, WM_COMMAND, IDOK, 0);
    });
    MenuCommand(f.form.get(), f.form->mnuView_LineGap);
    user.join();
    ASSERT_TRUE(found) << "waited for the Line Gap dialog";
    EXPECT_TRUE(stayedOpen) << "0 ms was taken";

    // Far more than the default gap between the bursts: one line all the same.
    f.peer->Write("AB");
    ASSERT_TRUE(WaitFor([&] { return f.form->Events().TotalRx() == 2; })) << "waited for the first burst";
    for (int i = 0; i < 30; ++i) {
        Sleep(10);
        Pump();
    }
    f.peer->Write("CD");
    ASSERT_TRUE(WaitFor([&] { return f.form->Events().TotalRx() == 4; })) << "waited for the second burst";
    const EventLog& log = f.form->Events();
    std::vector<std::string> lines;
    for (std::size_t i = 0; i < log.Count(); ++i)
        if (log.At(i).Kind == LogEventKind::Rx) lines.emplace_back(log.Bytes(log.At(i)));
    EXPECT_EQ(lines, std::vector<std::string>{"ABCD"});
    EXPECT_NE(WindowText(f.form->LogView1->Handle()).find(L"RX 41 42 43 44"), std::wstring::npos);
}

}  // namespace
