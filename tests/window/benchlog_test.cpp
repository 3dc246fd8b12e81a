// The bench log in the real window: received bytes shown in the Hex Log
// (read back as an assistive tool would), a send from the send line, the
// text capture of both, and Clear.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>

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

}  // namespace
