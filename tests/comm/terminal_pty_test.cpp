// The terminal binding of the serial component on a null-modem pty pair:
// bytes from the peer appear in a bound rich edit, typed characters leave
// as single bytes. A peer write may reach the component split into several
// blocks, so the expected view is worked out from the blocks that actually
// arrived (a block of one byte is typed, longer ones are inserted).
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <memory>

#include "ComCtrls.h"
#include "CommTestKit.h"
#include "PtyPeer.h"
#include "Forms.h"
#include "pwcomm.h"

using commtest::PumpUntil;
using commtest::TPeer;

namespace {


// The view after the given received blocks, starting from `text` with the
// caret at the end: a lone byte is typed (BS deletes), longer blocks are
// inserted without their NULs, every byte as the character of its code.
std::wstring Expected(std::wstring text, const std::vector<std::string>& blocks) {
    for (const auto& b : blocks) {
        if (b.size() == 1) {
            const auto c = static_cast<unsigned char>(b[0]);
            if (c == 0x08) {
                if (!text.empty()) text.pop_back();
            } else if (c != 0) {
                text += static_cast<wchar_t>(c);
            }
            continue;
        }
        for (char ch : b)
            if (ch != '\0') text += static_cast<wchar_t>(static_cast<unsigned char>(ch));
    }
    return text;
}

struct TBlocks : tk::TObject {
    std::vector<std::string> list;
    std::size_t total = 0;
    void Received(tk::TObject*, const void* data, std::uint32_t n) {
        list.emplace_back(static_cast<const char*>(data), n);
        total += n;
    }
};

class TerminalPty : public ::testing::Test {
protected:
    void SetUp() override {
        int a = 0, b = 0;
        if (!commtest::PairPorts(a, b))
            GTEST_SKIP() << "no pty pair (run inside tests/harness/sandbox.sh)";
        peer = std::make_unique<TPeer>(b);
        ASSERT_TRUE(peer->ok());
        form = new tk::TForm(nullptr);
        view = new tk::TRichEdit(form);
        view->SetParent(form);
        comm = new TpwComm(form);
        comm->SetBaudRate(9600);
        comm->SetStreamProtocol(spNone);
        comm->SetComPortNo(static_cast<std::uint16_t>(a));
        comm->SetOnAfterReceive(TOnReceived(&rx, &TBlocks::Received));
        comm->SetTerminal(view);
        comm->SetTerminalUsage(tuBoth);
    }
    void TearDown() override {
        delete form;  // closes the port with the component
        peer.reset();
    }
    void Open() {
        comm->SetActive(true);
        ASSERT_TRUE(comm->Active());
    }
    // Sends from the peer and waits until the component has all of it.
    void Feed(const std::string& bytes) {
        const std::size_t want = rx.total + bytes.size();
        peer->Write(bytes);
        ASSERT_TRUE(PumpUntil([&] { return rx.total >= want; })) << rx.total << " of " << want;
    }
    // The rich edit reports each paragraph mark (a received CR) as CR LF.
    std::wstring Text() {
        std::wstring t = view->Text(), out;
        for (std::size_t i = 0; i < t.size(); ++i)
            if (!(t[i] == L'\n' && i > 0 && t[i - 1] == L'\r')) out += t[i];
        return out;
    }

    std::unique_ptr<TPeer> peer;
    tk::TForm* form = nullptr;
    tk::TRichEdit* view = nullptr;
    TpwComm* comm = nullptr;
    TBlocks rx;
    std::vector<std::string>& blocks = rx.list;
};

}  // namespace

TEST_F(TerminalPty, ReceivedBytesAppearAtTheCaretByTheirCodes) {
    Open();
    Feed("A");
    Feed("BC");
    Feed(std::string("\0D\0\0E\0", 6));
    Feed("\xE9");
    Feed("xy\xE9z");
    EXPECT_EQ(Text(), Expected(L"", blocks));
    EXPECT_NE(Text().find(L'\u00E9'), std::wstring::npos);
    EXPECT_EQ(Text().find(L'\0'), std::wstring::npos);
    // The caret, not the end, is where text goes in.
    view->SetSelStart(0);
    Feed("<>");
    EXPECT_EQ(Text().substr(0, 2), L"<>");
    // Nothing received goes back out.
    EXPECT_EQ(peer->ReadPumping(1, 200), "");
}

TEST_F(TerminalPty, ALoneBackspaceDeletesAndOneInsideABlockIsInserted) {
    Open();
    Feed("abc");
    const std::wstring before = Text();
    Feed("\x08");
    // Typed, not inserted: the control's own key handling decides. Windows'
    // rich edit deletes the character before the caret; Wine's ignores a
    // typed BS, so both outcomes are accepted here.
    const std::wstring mid = Text();
    EXPECT_EQ(mid.find(L'\b'), std::wstring::npos);
    EXPECT_TRUE(mid == before || mid == before.substr(0, before.size() - 1)) << mid.size();
    blocks.clear();
    blocks.clear();
    Feed("q\x08r");
    EXPECT_EQ(Text(), Expected(mid, blocks));
    if (blocks.size() == 1) {
        EXPECT_NE(Text().find(L'\b'), std::wstring::npos);
    }
}

TEST_F(TerminalPty, ALargeBlockArrivesWhole) {
    Open();
    std::string big;
    for (int line = 0; line < 400; ++line)
        big += "line " + std::to_string(line) + " 0123456789abcdef\r";
    Feed(big);
    EXPECT_EQ(Text(), Expected(L"", blocks));
    EXPECT_EQ(static_cast<std::size_t>(view->GetTextLen()), big.size());
}

// A peer that never ends a line: every byte is kept, in paragraphs short
// enough for the control to lay out quickly.
TEST_F(TerminalPty, AStreamWithoutLineEndsKeepsEveryByteInShortParagraphs) {
    Open();
    Feed(std::string(20000, 'x'));
    std::wstring bytes;
    std::size_t longest = 0, run = 0;
    for (wchar_t c : Text()) {
        if (c == L'\r') {
            run = 0;
            continue;
        }
        bytes += c;
        longest = std::max(longest, ++run);
    }
    EXPECT_EQ(bytes, std::wstring(20000, L'x'));
    EXPECT_LE(longest, static_cast<std::size_t>(tk::TRichEdit::kMaxLineLength));
}

TEST_F(TerminalPty, TypedCharactersLeaveAsSingleBytesAndEchoDecidesTheView) {
    Open();
    SendMessageW(view->Handle(), WM_CHAR, L'k', 1);
    SendMessageW(view->Handle(), WM_CHAR, 0x00E9, 1);
    EXPECT_EQ(peer->ReadPumping(2), "k\xE9");
    EXPECT_EQ(Text(), L"");
    comm->SetTerminalEcho(true);
    SendMessageW(view->Handle(), WM_CHAR, L'm', 1);
    EXPECT_EQ(peer->ReadPumping(1), "m");
    EXPECT_EQ(Text(), L"m");
}

TEST_F(TerminalPty, TypingIntoTheViewOfAClosedPortSendsNothing) {
    SendMessageW(view->Handle(), WM_CHAR, L'k', 1);
    EXPECT_EQ(Text(), L"");
    Open();
    EXPECT_EQ(peer->ReadPumping(1, 200), "");
}

TEST_F(TerminalPty, ReceiveOnlyAndSendOnlyUsages) {
    Open();
    comm->SetTerminalUsage(tuReceive);
    SendMessageW(view->Handle(), WM_CHAR, L't', 1);
    EXPECT_EQ(Text(), L"t");
    Feed("RX");
    EXPECT_EQ(Text(), L"tRX");
    EXPECT_EQ(peer->ReadPumping(1, 200), "");

    comm->SetTerminalUsage(tuSend);
    Feed("hidden");
    EXPECT_EQ(Text(), L"tRX");
    SendMessageW(view->Handle(), WM_CHAR, L's', 1);
    EXPECT_EQ(peer->ReadPumping(1), "s");
    EXPECT_EQ(Text(), L"tRX");
}

TEST_F(TerminalPty, BindingTwiceAndRebindingKeepOneHook) {
    auto* other = new tk::TRichEdit(form);
    other->SetParent(form);
    comm->SetTerminal(view);  // again: still one hook
    Open();
    SendMessageW(view->Handle(), WM_CHAR, L'1', 1);
    EXPECT_EQ(peer->ReadPumping(1), "1");
    EXPECT_EQ(peer->ReadPumping(1, 200), "");  // not sent twice

    comm->SetTerminal(other);
    Feed("to-other");
    EXPECT_EQ(Text(), L"");
    EXPECT_EQ(other->Text(), Expected(L"", blocks));
    SendMessageW(view->Handle(), WM_CHAR, L'v', 1);
    EXPECT_EQ(Text(), L"v");
    EXPECT_EQ(peer->ReadPumping(1, 200), "");
    SendMessageW(other->Handle(), WM_CHAR, L'o', 1);
    EXPECT_EQ(peer->ReadPumping(1), "o");

    comm->SetTerminal(nullptr);
    SendMessageW(other->Handle(), WM_CHAR, L'p', 1);
    EXPECT_EQ(peer->ReadPumping(1, 200), "");
    EXPECT_EQ(other->Text().back(), L'p');
}

TEST_F(TerminalPty, OffTheMainThreadTheViewIsStillWrittenByItsOwner) {
    comm->SetUseMainThread(false);
    Open();
    Feed("from-the-message-thread");
    Feed("!");
    EXPECT_EQ(Text(), Expected(L"", blocks));
    SendMessageW(view->Handle(), WM_CHAR, L'k', 1);
    EXPECT_EQ(peer->ReadPumping(1), "k");
}

TEST_F(TerminalPty, ABlockLeavesTheViewDrawingAsItFoundIt) {
    Open();
    const auto visible = [&] {
        return (GetWindowLongW(view->Handle(), GWL_STYLE) & WS_VISIBLE) != 0;
    };
    ASSERT_TRUE(visible());
    Feed("drawn once");
    EXPECT_TRUE(visible());
    // An owner that switched painting off keeps it off.
    view->BeginUpdate();
    ASSERT_FALSE(visible());
    Feed("quietly");
    EXPECT_FALSE(visible());
    view->EndUpdate();
    EXPECT_TRUE(visible());
    EXPECT_EQ(Text(), Expected(L"", blocks));
}

namespace {

// Writes to the view directly, as the receive path does, without a port.
struct TTerminalWriter : TpwComm {
    using TpwComm::TpwComm;
    void Write(const std::string& s) { WriteToTerminal(s.data(), static_cast<std::int32_t>(s.size())); }
};

struct TFloodView {
    tk::TForm* form = new tk::TForm(nullptr);
    tk::TRichEdit* view = new tk::TRichEdit(form);
    TTerminalWriter* comm = new TTerminalWriter(form);
    TFloodView() {
        view->SetParent(form);
        // As the log view.
        view->SetWordWrap(false);
        view->SetScrollBars(tk::ssBoth);
        view->SetBounds(0, 0, 400, 150);
        form->Show();
        comm->SetTerminal(view);
        comm->SetTerminalUsage(tuBoth);
    }
    ~TFloodView() { delete form; }
    bool Drawing() const { return (GetWindowLongW(view->Handle(), GWL_STYLE) & WS_VISIBLE) != 0; }
};

std::string Flood(char c) { return std::string(2048, c); }

// The text as the control stores it (a paragraph mark is one CR).
std::wstring Stored(tk::TRichEdit* view) {
    std::wstring t(static_cast<std::size_t>(view->GetTextLen()) + 1, L'\0');
    TEXTRANGEW tr{{0, view->GetTextLen()}, t.data()};
    t.resize(static_cast<std::size_t>(SendMessageW(view->Handle(), EM_GETTEXTRANGE, 0, reinterpret_cast<LPARAM>(&tr))));
    return t;
}

COLORREF ColorOf(tk::TRichEdit* view, int start, int end) {
    CHARRANGE cr{start, end};
    SendMessageW(view->Handle(), EM_EXSETSEL, 0, reinterpret_cast<LPARAM>(&cr));
    return view->SelAttributes().Color();
}

}  // namespace

// Blocks of a flood are painted together, and whatever ends the hold (its
// timer, unbinding, a usage without receiving, the component going away)
// gives the view its painting back.
TEST(TerminalPainting, AHeldViewIsAlwaysGivenItsPaintingBack) {
    {
        TFloodView f;
        f.comm->Write(Flood('a'));
        EXPECT_TRUE(f.Drawing());
        f.comm->Write(Flood('b'));
        EXPECT_FALSE(f.Drawing()) << "a flood's block right after a paint waits for the next one";
        f.comm->Write(Flood('c'));
        EXPECT_TRUE(PumpUntil([&] { return f.Drawing(); }, 2000));
        EXPECT_EQ(f.view->GetTextLen(), 3 * 2048 + 5);  // and the marks between its paragraphs
    }
    {
        TFloodView f;
        f.comm->Write(Flood('a'));
        f.comm->Write(Flood('b'));
        ASSERT_FALSE(f.Drawing());
        f.comm->SetTerminal(nullptr);
        EXPECT_TRUE(f.Drawing());
    }
    {
        TFloodView f;
        f.comm->Write(Flood('a'));
        f.comm->Write("c");
        ASSERT_FALSE(f.Drawing());
        f.comm->SetTerminalUsage(tuSend);
        EXPECT_TRUE(f.Drawing());
    }
    {
        TFloodView f;
        f.comm->Write(Flood('a'));
        f.comm->Write(Flood('b'));
        ASSERT_FALSE(f.Drawing());
        delete f.comm;
        f.comm = nullptr;
        EXPECT_TRUE(f.Drawing());
        // No timer may reach the freed component.
        PumpUntil([] { return false; }, 600);
        EXPECT_TRUE(f.Drawing());
    }
}

// Only a flood is held back: a short reply after a pause shows at once.
TEST(TerminalPainting, TextThatTricklesInIsPaintedAtOnce) {
    TFloodView f;
    f.comm->Write(Flood('a'));
    f.comm->Write(Flood('b'));
    ASSERT_FALSE(f.Drawing());
    ASSERT_TRUE(PumpUntil([&] { return f.Drawing(); }, 2000));
    PumpUntil([] { return false; }, 1000);
    f.comm->Write("O");
    EXPECT_TRUE(f.Drawing());
    f.comm->Write("K\r");
    EXPECT_TRUE(f.Drawing());
}

// Past its bound the view drops its oldest lines: the newest text stays
// whole and in order, with its colours and every byte value, text received
// then takes the caret's colour, and the terminal writes on into the view's
// new window.
TEST(TerminalPainting, TheViewKeepsItsNewestLinesWithinItsBound) {
    TFloodView f;
    tk::TRichEdit* view = f.view;
    const std::string line = "The quick brown fox jumps over the lazy dog 0123456789\r";
    std::string block;
    while (block.size() + line.size() <= 4096) block += line;
    const int perBlock = static_cast<int>(block.size() / line.size());
    std::string bytes;
    for (int b = 1; b < 256; ++b)
        if (b != '\r' && b != '\n') bytes += static_cast<char>(b);
    bytes += '\r';

    std::wstring all;  // what the view was given, as it stores it
    const auto lines = [&] { return static_cast<int>(SendMessageW(view->Handle(), EM_GETLINECOUNT, 0, 0)); };
    const auto feed = [&](const std::string& s) {
        f.comm->Write(s);
        for (char c : s) all += static_cast<wchar_t>(static_cast<unsigned char>(c));
    };
    int echoAt = -1;
    while (lines() + perBlock + 8 <= tk::TRichEdit::kMaxLines) {
        if (echoAt < 0 && lines() >= tk::TRichEdit::kMaxLines - tk::TRichEdit::kKeptLines / 2) {
            feed(bytes);
            view->SelAttributes().SetColor(tk::clRed);
            view->Lines().Add(L"echo");
            view->SelAttributes().SetColor(tk::clNavy);
            echoAt = static_cast<int>(all.size());
            all += L"echo\r";
        }
        feed(block);
    }
    // A sibling it overlaps, as the log view the status bar.
    auto* bar = new tk::TStatusBar(f.form);
    bar->SetParent(f.form);
    const HWND before = view->Handle(), under = GetWindow(before, GW_HWNDNEXT);
    ASSERT_EQ(under, bar->Handle());
    view->SelAttributes().SetColor(tk::clGreen);
    feed(block);
    const std::size_t greenAt = all.size() - block.size();
    EXPECT_NE(view->Handle(), before) << "the oldest lines went with the old window";
    EXPECT_EQ(GetWindow(view->Handle(), GW_HWNDNEXT), under) << "still over the status bar";
    EXPECT_LE(lines(), tk::TRichEdit::kKeptLines + perBlock + 1);
    EXPECT_EQ(f.comm->TerminalHandle(), view->Handle());
    // The view still shows the caret at the end of what came in.
    for (int i = 0; i < 5; ++i) feed(block);
    ASSERT_TRUE(PumpUntil([&] { return f.Drawing(); }, 2000));
    const auto top = [&](int pos) {
        POINTL at{0, 0};
        SendMessageW(view->Handle(), EM_POSFROMCHAR, reinterpret_cast<WPARAM>(&at), pos);
        return static_cast<int>(at.y);
    };
    const int caret = top(view->GetTextLen());
    const int row = caret - top(view->GetTextLen() - 1);  // the caret follows a paragraph mark
    RECT client{};
    GetClientRect(view->Handle(), &client);
    EXPECT_TRUE(caret >= 0 && caret + row <= client.bottom) << caret << " + " << row << " in " << client.bottom;

    const std::wstring shown = Stored(view);
    ASSERT_LE(shown.size(), all.size());
    EXPECT_TRUE(shown == all.substr(all.size() - shown.size())) << "the newest text, unchanged";
    EXPECT_EQ(shown[0], L'T') << "whole lines";
    const int echo = echoAt - static_cast<int>(all.size() - shown.size());
    ASSERT_GT(echo, 0);
    EXPECT_EQ(ColorOf(view, echo, echo + 4), tk::clRed);
    EXPECT_EQ(ColorOf(view, echo + 5, echo + 10), tk::clNavy);
    const int green = static_cast<int>(greenAt - (all.size() - shown.size()));
    EXPECT_EQ(ColorOf(view, green, green + static_cast<int>(block.size())), tk::clGreen);

    // Clearing a long text gives an empty view that still receives.
    view->Clear();
    EXPECT_EQ(view->GetTextLen(), 0);
    f.comm->Write("new");
    EXPECT_EQ(view->Text(), L"new");
}


// The view changes its window while a flood's painting is held: "Clear" of
// a long text does, as does dropping the oldest lines. The new window gets
// its painting back without waiting for more text.
TEST(TerminalPainting, AHeldViewPaintsAgainInItsNewWindow) {
    TFloodView f;
    std::string lines;
    for (int i = 0; i < 300; ++i) lines += "line\r";
    f.comm->Write(lines);
    for (int i = 0; i < 50 && f.Drawing(); ++i) f.comm->Write(Flood('a'));
    ASSERT_FALSE(f.Drawing()) << "a flood's block right after a paint waits for the next one";
    const HWND before = f.view->Handle();
    f.view->Clear();
    ASSERT_NE(f.view->Handle(), before) << "a long text is cleared in a new window";
    EXPECT_TRUE(PumpUntil([&] { return f.Drawing(); }, 20000)) << "waited for the cleared view to paint";
}
