// The I/O component base and its support classes: notification list, timer,
// data processor, log sink calls, device list, terminal binding, I/O thread.
#include <gtest/gtest.h>

#include <windows.h>

#include <dbt.h>
#include <objbase.h>

#include <atomic>
#include <string>
#include <vector>

#include "Application.h"
#include "Forms.h"
#include "StdCtrls.h"
#include "pwclasses.h"

namespace {

// ---------------------------------------------------------------------------
// Test doubles.

struct TLogLine {
    TDetailLevel level;
    std::wstring text;
};

class TTestLog : public TpwCustomLogFile {
public:
    using TpwCustomLogFile::DoFatalErrors;
    using TpwCustomLogFile::TpwCustomLogFile;
    void Save() override {}
    void Clear() override { lines.clear(); }
    void Add(const std::wstring& s) override { lines.push_back({dlSimple, s}); }
    void AddSysInfo() override { ++sysInfo; }
    void AddLog(TDetailLevel l, const std::wstring& s) override { lines.push_back({l, s}); }
    void AddFmt(const std::wstring& Fmt, const tk::TVarRecs& Args) override {
        lines.push_back({dlSimple, tk::Format(Fmt, Args)});
    }
    void AddLogFmt(TDetailLevel l, const std::wstring& Fmt, const tk::TVarRecs& Args) override {
        lines.push_back({l, tk::Format(Fmt, Args)});
    }
    std::vector<TLogLine> lines;
    int sysInfo = 0;
};

// A device whose handle is an event the test controls.
class TTestIO : public TpwBaseIO {
public:
    explicit TTestIO(tk::TComponent* owner) : TpwBaseIO(owner) {}
    ~TTestIO() override {
        // Derived components close before the base goes, as the serial one does.
        SetActive(false);
    }

    using TpwBaseIO::ClearDeviceList;
    using TpwBaseIO::DoClose;
    using TpwBaseIO::DoOpen;
    using TpwBaseIO::fActive;
    using TpwBaseIO::flClearDeviceListWithFree;
    using TpwBaseIO::isThreaded;
    using TpwBaseIO::sLogPrefix;
    using TpwBaseIO::WriteToTerminal;

    HANDLE OpenDevice() override {
        ++opens;
        if (openThrows) DoFatalError(1, 0, L"cannot open", false);
        if (openFails) return INVALID_HANDLE_VALUE;
        lastHandle = CreateEventW(nullptr, TRUE, FALSE, nullptr);
        return lastHandle;
    }
    void CloseDevice(HANDLE h) override {
        ++closes;
        closedHandle = h;
        TpwBaseIO::CloseDevice(h);
    }
    void DoOpen() override {
        ++doOpens;
        TpwBaseIO::DoOpen();
    }
    void DoClose() override {
        ++doCloses;
        TpwBaseIO::DoClose();
    }
    void ExecuteThreadIO(TpwThreadIO* thread) override {
        comOnThread = CoInitializeEx(nullptr, COINIT_MULTITHREADED);
        if (SUCCEEDED(comOnThread)) CoUninitialize();
        static const char block[] = "xyz";
        DoReceived(block, 3);
        delivered = true;
        while (!thread->Terminated()) Sleep(1);
    }

    void SendChar(wchar_t Ch) override { sent.push_back(static_cast<char>(Ch & 0xFF)); }
    void SendString(const std::string& S) override {
        if (sendThrows) throw tk::Exception(L"send failed");
        sent += S;
        ++sendStrings;
    }
    void SendData(const void* Buff, std::uint32_t N) override {
        if (sendThrows) throw tk::Exception(L"send failed");
        sent.append(static_cast<const char*>(Buff), N);
        ++sendDatas;
    }
    void ClearDeviceInput() override {}
    void ClearDeviceOutput() override {}
    void ClearDeviceBuffers() override {}
    int GetDeviceIndex() override { return -1; }
    void DeviceListLoad() override {
        ++loads;
        for (int n : loadNumbers) {
            auto* d = new TpwDevice();
            d->Data = n;
            d->NameFriendly = L"COM" + std::to_wstring(n);
            if (InsertDevice(d) < 0) delete d;
        }
    }

    int opens = 0, closes = 0, doOpens = 0, doCloses = 0, loads = 0;
    int sendStrings = 0, sendDatas = 0;
    bool openFails = false, openThrows = false, sendThrows = false;
    HANDLE lastHandle = nullptr, closedHandle = nullptr;
    std::string sent;
    std::vector<int> loadNumbers;
    HRESULT comOnThread = E_FAIL;
    std::atomic<bool> delivered = false;
};

class TTestProcessor : public TpwCustomDataProcessor {
public:
    explicit TTestProcessor(tk::TComponent* owner, std::wstring prefix = L"proc: ")
        : TpwCustomDataProcessor(owner) {
        sLogPrefix = std::move(prefix);
    }
    using TpwCustomDataProcessor::DoDataSend;
    using TpwCustomDataProcessor::SetAsyncTimer;

    void DoProcessing(const void* Data, std::uint32_t Len, TIgnoreTypes& R) override {
        seen.append(static_cast<const char*>(Data), Len);
        if (hideFromTerminal) R.Include(itTerminal);
        TpwCustomDataProcessor::DoProcessing(Data, Len, R);
    }
    void DoAfterSendComplete(bool& flIgnore) override {
        ++sendCompletes;
        flIgnore = ignoreAfterSend;
    }
    std::string seen;
    bool hideFromTerminal = false;
    bool ignoreAfterSend = false;
    int sendCompletes = 0;
};

// Records everything a listener is told.
struct TListener {
    std::vector<std::pair<tk::TObject*, int>> calls;
    void Notify(tk::TObject* sender, std::int32_t code) { calls.push_back({sender, code}); }
    void Other(tk::TObject*, std::int32_t) {}
    TpwNotifyEvent Event() { return TpwNotifyEvent(this, &TListener::Notify); }
};

// Answers message boxes and remembers them.
struct TBoxRecorder {
    struct Box {
        HWND owner;
        std::wstring text, caption;
        UINT flags;
    };
    std::vector<Box> boxes;
    tk::TApplication::MessageBoxFn old;
    TBoxRecorder() {
        old = tk::Application().SetMessageBoxHook(
            [this](HWND o, const std::wstring& t, const std::wstring& c, UINT f) {
                boxes.push_back({o, t, c, f});
                return IDOK;
            });
    }
    ~TBoxRecorder() { tk::Application().SetMessageBoxHook(old); }
};

template <class F>
bool PumpUntil(F done, DWORD limitMs = 10000) {
    DWORD start = GetTickCount();
    while (!done()) {
        tk::Application().ProcessMessages();
        if (GetTickCount() - start > limitMs) return false;
        MsgWaitForMultipleObjects(0, nullptr, FALSE, 5, QS_ALLINPUT);
    }
    return true;
}

void PumpFor(DWORD ms) {
    DWORD start = GetTickCount();
    while (GetTickCount() - start < ms) {
        tk::Application().ProcessMessages();
        MsgWaitForMultipleObjects(0, nullptr, FALSE, 5, QS_ALLINPUT);
    }
}

class BaseIOTest : public ::testing::Test {
protected:
    void SetUp() override {
        owner = new tk::TComponent(nullptr);
        io = new TTestIO(owner);
        log = new TTestLog(owner);
    }
    void TearDown() override { delete owner; }

    tk::TComponent* owner = nullptr;
    TTestIO* io = nullptr;
    TTestLog* log = nullptr;
};

// ---------------------------------------------------------------------------
// Notification list.

TEST(NotifyList, AddDoesNotLookForDuplicatesAndIndexOfComparesTheFunctionOnly) {
    TpwNotifyList list;
    TListener a, b;
    EXPECT_EQ(list.Add(a.Event()), 0);
    EXPECT_EQ(list.Add(a.Event()), 1);
    EXPECT_EQ(list.Count(), 2);
    EXPECT_EQ(list.IndexOf(a.Event()), 0);
    // Same member function of another object counts as present.
    EXPECT_EQ(list.IndexOf(b.Event()), 0);
    EXPECT_EQ(list.IndexOf(TpwNotifyEvent(&a, &TListener::Other)), -1);
}

TEST(NotifyList, CallWalksInIndexOrderAndPutOverwritesInPlace) {
    TpwNotifyList list;
    tk::TObject sender;
    list.Call(&sender, 1);  // empty: nothing happens
    std::vector<int> order;
    struct TTag {
        std::vector<int>* out;
        int id;
        void Fire(tk::TObject*, std::int32_t) { out->push_back(id); }
    } t0{&order, 0}, t1{&order, 1}, t2{&order, 2}, t9{&order, 9};
    list.Add(TpwNotifyEvent(&t0, &TTag::Fire));
    list.Add(TpwNotifyEvent(&t1, &TTag::Fire));
    list.Add(TpwNotifyEvent(&t2, &TTag::Fire));
    list.Call(&sender, 3);
    EXPECT_EQ(order, (std::vector<int>{0, 1, 2}));
    list.Put(1, TpwNotifyEvent(&t9, &TTag::Fire));
    EXPECT_TRUE(list.Get(1) == TpwNotifyEvent(&t9, &TTag::Fire));
    order.clear();
    list.Call(&sender, 3);
    EXPECT_EQ(order, (std::vector<int>{0, 9, 2}));
    list.Delete(0);
    EXPECT_EQ(list.Count(), 2);
    EXPECT_TRUE(list.Get(0) == TpwNotifyEvent(&t9, &TTag::Fire));
    list.Clear();
    EXPECT_EQ(list.Count(), 0);
}

TEST(NotifyList, IndexErrorsNameTheIndex) {
    TpwNotifyList list;
    TListener a;
    list.Add(a.Event());
    list.Add(a.Event());
    auto expectError = [](auto f, const wchar_t* text) {
        try {
            f();
            ADD_FAILURE() << "no error";
        } catch (const tk::EListError& e) {
            EXPECT_EQ(e.Message(), text);
        }
    };
    expectError([&] { list.Delete(5); }, L"List index out of bounds (5)");
    expectError([&] { list.Get(-1); }, L"List index out of bounds (-1)");
    expectError([&] { list.Put(2, a.Event()); }, L"List index out of bounds (2)");
    EXPECT_EQ(list.Count(), 2);
}

TEST(NotifyList, CallbackRemovingEntriesMakesTheWalkFail) {
    TpwNotifyList list;
    struct TRemover {
        TpwNotifyList* list;
        void Fire(tk::TObject*, std::int32_t) { list->Delete(list->Count() - 1); }
    } r{&list};
    list.Add(TpwNotifyEvent(&r, &TRemover::Fire));
    list.Add(TpwNotifyEvent(&r, &TRemover::Fire));
    EXPECT_THROW(list.Call(nullptr, 1), tk::EListError);
}

// ---------------------------------------------------------------------------
// Timer.

struct TTicker {
    int ticks = 0;
    bool fail = false;
    tk::TObject* sender = nullptr;
    void Tick(tk::TObject* s) {
        sender = s;
        ++ticks;
        if (fail) throw tk::Exception(L"tick failed");
    }
};

// KillTimer reports whether a Windows timer existed; the timer re-arms it
// through UpdateTimer when needed.
bool HasWindowsTimer(TpwTimer& t) { return KillTimer(t.WindowHandle(), 1) != FALSE; }

TEST(Timer, NoWindowsTimerWithoutHandlerIntervalOrEnabled) {
    TTicker ticker;
    TpwTimer t;
    EXPECT_TRUE(t.Enabled());
    EXPECT_EQ(t.Interval(), 1000u);
    EXPECT_FALSE(HasWindowsTimer(t));  // no OnTimer yet
    t.SetOnTimer(tk::TNotifyEvent(&ticker, &TTicker::Tick));
    EXPECT_TRUE(HasWindowsTimer(t));
    t.SetInterval(0);
    EXPECT_FALSE(HasWindowsTimer(t));
    t.SetInterval(500);
    EXPECT_TRUE(HasWindowsTimer(t));
    t.SetOnTimer(tk::TNotifyEvent(&ticker, &TTicker::Tick));
    t.SetEnabled(false);
    EXPECT_FALSE(HasWindowsTimer(t));
    // Setting the value it already has does not start anything.
    t.SetEnabled(false);
    EXPECT_FALSE(HasWindowsTimer(t));
    // Setting OnTimer always runs the update, but a disabled timer stays off.
    t.SetOnTimer(tk::TNotifyEvent(&ticker, &TTicker::Tick));
    EXPECT_FALSE(HasWindowsTimer(t));
}

TEST(Timer, FiresThroughTheMessageLoopAndSurvivesAFailingHandler) {
    TTicker ticker;
    ticker.fail = true;
    TpwTimer t;
    t.SetInterval(10);
    t.SetOnTimer(tk::TNotifyEvent(&ticker, &TTicker::Tick));
    ASSERT_TRUE(PumpUntil([&] { return ticker.ticks >= 3; }));
    EXPECT_EQ(ticker.sender, &t);
}

TEST(Timer, DisabledTimerDoesNotCallEvenWhenAMessageArrives) {
    TTicker ticker;
    TpwTimer t;
    t.SetOnTimer(tk::TNotifyEvent(&ticker, &TTicker::Tick));
    t.SetEnabled(false);
    SendMessageW(t.WindowHandle(), WM_TIMER, 1, 0);
    EXPECT_EQ(ticker.ticks, 0);
    t.SetEnabled(true);
    SendMessageW(t.WindowHandle(), WM_TIMER, 1, 0);
    EXPECT_EQ(ticker.ticks, 1);
}

TEST(Timer, DestructionStopsTheTimerAndItsWindow) {
    TTicker ticker;
    HWND wnd;
    {
        TpwTimer t;
        t.SetInterval(5);
        t.SetOnTimer(tk::TNotifyEvent(&ticker, &TTicker::Tick));
        wnd = t.WindowHandle();
        EXPECT_TRUE(IsWindow(wnd));
    }
    EXPECT_FALSE(IsWindow(wnd));
    PumpFor(30);
    EXPECT_EQ(ticker.ticks, 0);
}

// ---------------------------------------------------------------------------
// Data processor.

class DataProcessorTest : public BaseIOTest {
protected:
    void SetUp() override {
        BaseIOTest::SetUp();
        proc = new TTestProcessor(owner);
        proc->SetLog(log);
        io->SetDataProcessor(proc);
    }
    TTestProcessor* proc = nullptr;
};

TEST_F(DataProcessorTest, AttachingRegistersOnceAndTheProcessorHearsOpenAndClose) {
    EXPECT_EQ(proc->Device(), io);
    EXPECT_EQ(io->DataProcessor(), proc);
    io->SetDataProcessor(proc);  // again: still one registration
    io->DoNotify(pwNotifyOpened);
    io->DoNotify(pwNotifyClosed);
    io->DoNotify(pwNotifyChanged);  // other codes are ignored
    ASSERT_EQ(log->lines.size(), 2u);
    EXPECT_EQ(log->lines[0].text, L"proc: Medium Opened");
    EXPECT_EQ(log->lines[0].level, dlDebug);
    EXPECT_EQ(log->lines[1].text, L"proc: Medium Closed");
}

TEST_F(DataProcessorTest, ReplacingTheProcessorDetachesTheFirst) {
    auto* second = new TTestProcessor(owner, L"second: ");
    second->SetLog(log);
    io->SetDataProcessor(second);
    EXPECT_EQ(proc->Device(), nullptr);
    EXPECT_EQ(second->Device(), io);
    io->DoNotify(2);
    ASSERT_EQ(log->lines.size(), 1u);
    EXPECT_EQ(log->lines[0].text, L"second: Medium Opened");
    io->SetDataProcessor(nullptr);
    EXPECT_EQ(second->Device(), nullptr);
    io->DoNotify(2);
    EXPECT_EQ(log->lines.size(), 1u);
}

TEST_F(DataProcessorTest, BufferSendWithoutHookGoesToTheDeviceAndIsLogged) {
    io->SetActive(true);
    proc->DoDataSend("abc", 3);
    EXPECT_EQ(io->sent, "abc");
    ASSERT_EQ(log->lines.size(), 1u);
    EXPECT_EQ(log->lines[0].text, L"proc: DoDataSend: 3 bytes");
    EXPECT_FALSE(proc->TimerAsync()->Enabled());
}

struct THandler {
    bool handle = true;
    int calls = 0;
    bool synchro = false;
    std::string bytes;
    void OnSend(tk::TObject*, const void* p, std::uint32_t n, bool flSynchro, bool& flHandled) {
        ++calls;
        synchro = flSynchro;
        bytes.assign(static_cast<const char*>(p), n);
        flHandled = handle;
    }
};

TEST_F(DataProcessorTest, HandledBufferSendRestartsTheTimerAndStillLogs) {
    THandler h;
    proc->SetOnDataSend(TDataSendEvent(&h, &THandler::OnSend));
    proc->DoDataSend("hello", 5);
    EXPECT_EQ(h.calls, 1);
    EXPECT_FALSE(h.synchro);
    EXPECT_EQ(h.bytes, "hello");
    EXPECT_EQ(io->sendDatas, 0);
    EXPECT_TRUE(proc->TimerAsync()->Enabled());
    ASSERT_EQ(log->lines.size(), 1u);
    EXPECT_EQ(log->lines[0].text, L"proc: DoDataSend: 5 bytes");
    // The timer fires once and stops itself.
    proc->SetAsyncTimer(15);
    ASSERT_TRUE(PumpUntil([&] { return proc->sendCompletes >= 1; }));
    EXPECT_FALSE(proc->TimerAsync()->Enabled());
    PumpFor(60);
    EXPECT_EQ(proc->sendCompletes, 1);
}

TEST_F(DataProcessorTest, EmptyBufferSendDoesNothing) {
    THandler h;
    proc->SetOnDataSend(TDataSendEvent(&h, &THandler::OnSend));
    proc->DoDataSend("x", 0);
    proc->DoDataSend(nullptr, 4);
    EXPECT_EQ(h.calls, 0);
    EXPECT_TRUE(log->lines.empty());
}

TEST_F(DataProcessorTest, StringSendHookAndEmptyString) {
    THandler h;
    proc->SetOnDataSend(TDataSendEvent(&h, &THandler::OnSend));
    proc->DoDataSend(std::string());
    EXPECT_EQ(h.calls, 0);
    proc->DoDataSend(std::string("AT\r"));
    EXPECT_EQ(h.calls, 1);
    EXPECT_TRUE(h.synchro);
    EXPECT_EQ(h.bytes, "AT\r");
    EXPECT_EQ(io->sendStrings, 0);
    EXPECT_FALSE(proc->TimerAsync()->Enabled());
    h.handle = false;
    proc->DoDataSend(std::string("ATZ"));
    EXPECT_EQ(io->sent, "ATZ");
    EXPECT_TRUE(log->lines.empty());  // the string form writes no line
}

TEST_F(DataProcessorTest, SendErrorsAreDroppedAndSkipTheRest) {
    io->sendThrows = true;
    EXPECT_NO_THROW(proc->DoDataSend("abc", 3));
    EXPECT_NO_THROW(proc->DoDataSend(std::string("abc")));
    EXPECT_TRUE(log->lines.empty());
    // Without a device nothing is sent and nothing fails.
    io->SetDataProcessor(nullptr);
    EXPECT_NO_THROW(proc->DoDataSend("abc", 3));
}

TEST_F(DataProcessorTest, SetAsyncTimerZeroStops) {
    proc->SetAsyncTimer(250);
    EXPECT_TRUE(proc->TimerAsync()->Enabled());
    EXPECT_EQ(proc->TimerAsync()->Interval(), 250u);
    proc->SetAsyncTimer(0);
    EXPECT_FALSE(proc->TimerAsync()->Enabled());
}

TEST_F(DataProcessorTest, ChainPassesBlocksDownAndSharesTheDevice) {
    auto* next = new TTestProcessor(owner);
    proc->SetDataProcessor(proc);  // itself: no change
    EXPECT_EQ(proc->DataProcessor(), nullptr);
    proc->SetDataProcessor(next);
    EXPECT_EQ(next->Device(), io);
    next->hideFromTerminal = true;
    TIgnoreTypes r;
    proc->DoProcessing("ab", 2, r);
    EXPECT_EQ(proc->seen, "ab");
    EXPECT_EQ(next->seen, "ab");
    EXPECT_TRUE(r.Contains(itTerminal));
    proc->DataReceive("c", 1);
    EXPECT_EQ(next->seen, "abc");
    // Destroying the next processor unlinks it.
    delete next;
    EXPECT_EQ(proc->DataProcessor(), nullptr);
    proc->DataReceive("d", 1);
    EXPECT_EQ(proc->seen, "abcd");
}

TEST_F(DataProcessorTest, EachProcessorOfAChainHasItsOwnRegistration) {
    auto* next = new TTestProcessor(owner, L"next: ");
    next->SetLog(log);
    proc->SetDataProcessor(next);
    io->DoNotify(pwNotifyOpened);
    ASSERT_EQ(log->lines.size(), 2u);
    EXPECT_EQ(log->lines[0].text, L"proc: Medium Opened");
    EXPECT_EQ(log->lines[1].text, L"next: Medium Opened");
    // Detaching one leaves the other registered.
    next->SetDevice(nullptr);
    io->DoNotify(pwNotifyClosed);
    ASSERT_EQ(log->lines.size(), 3u);
    EXPECT_EQ(log->lines[2].text, L"proc: Medium Closed");
}

TEST_F(DataProcessorTest, FatalErrorsLogThenRaiseUnlessVetoed) {
    try {
        proc->DoFatalErrors(1, 2, L"boom");
        ADD_FAILURE() << "no exception";
    } catch (const tk::Exception& e) {
        EXPECT_EQ(e.Message(), L"boom");
    }
    ASSERT_EQ(log->lines.size(), 1u);
    EXPECT_EQ(log->lines[0].text, L"Fatal Error: 1, 2, boom");
    EXPECT_EQ(log->lines[0].level, dlSimple);
    struct TVeto {
        int calls = 0;
        void On(tk::TObject*, std::uint32_t, std::uint32_t, const std::wstring&, bool& raise) {
            ++calls;
            raise = false;
        }
    } veto;
    proc->SetOnFatalError(TOnFatalErrorEvent(&veto, &TVeto::On));
    EXPECT_NO_THROW(proc->DoFatalErrors(3, 4, L"quiet"));
    ASSERT_EQ(log->lines.size(), 2u);
    EXPECT_EQ(log->lines.back().text, L"Fatal Error: 3, 4, quiet");
}

TEST_F(DataProcessorTest, DestroyingTheProcessorDetachesItFromTheDevice) {
    TListener l;
    io->NotifyAdd(l.Event());
    delete proc;
    EXPECT_EQ(io->DataProcessor(), nullptr);
    // Only the other listener is left.
    io->DoNotify(2);
    EXPECT_EQ(l.calls.size(), 1u);
    EXPECT_FALSE(io->HasReceiver());
}

TEST_F(DataProcessorTest, DestroyingTheDeviceDetachesEveryProcessorOfTheChain) {
    auto* next = new TTestProcessor(owner);
    proc->SetDataProcessor(next);
    io->SetActive(true);
    delete io;  // closes, then the processors drop it while it is still whole
    io = nullptr;
    EXPECT_EQ(proc->Device(), nullptr);
    EXPECT_EQ(next->Device(), nullptr);
    EXPECT_EQ(proc->DataProcessor(), next);
    EXPECT_NO_THROW(proc->DoDataSend("abc", 3));
}

TEST_F(DataProcessorTest, DestroyingTheLogSinkLeavesBothWorking) {
    io->SetLog(log);
    delete log;
    log = nullptr;
    EXPECT_EQ(io->Log(), nullptr);
    EXPECT_EQ(proc->Log(), nullptr);
    EXPECT_NO_THROW(io->WriteLog(dlSimple, L"x"));
    EXPECT_NO_THROW(io->DoNotify(1));
}

// ---------------------------------------------------------------------------
// I/O component base: Active and the templates.

TEST_F(BaseIOTest, CreatedClosedWithDefaults) {
    EXPECT_EQ(io->Handle(), INVALID_HANDLE_VALUE);
    EXPECT_FALSE(io->Active());
    EXPECT_TRUE(io->UseMainThread());
    EXPECT_EQ(io->Priority(), tk::tpNormal);
    EXPECT_EQ(io->TerminalUsage(), tuNone);
    EXPECT_EQ(io->sLogPrefix, L"TpwBaseIO");
    EXPECT_TRUE(io->flClearDeviceListWithFree);
    EXPECT_FALSE(io->isThreaded);
    EXPECT_EQ(io->DeviceCount(), 0);
}

TEST_F(BaseIOTest, ActiveRunsTheTemplatesOnlyOnChange) {
    io->SetActive(false);
    EXPECT_EQ(io->doCloses, 0);
    io->SetActive(true);
    EXPECT_EQ(io->doOpens, 1);
    EXPECT_TRUE(io->Active());
    EXPECT_EQ(io->Handle(), io->lastHandle);
    io->SetActive(true);
    EXPECT_EQ(io->doOpens, 1);
    io->SetActive(false);
    EXPECT_EQ(io->doCloses, 1);
    EXPECT_EQ(io->closedHandle, io->lastHandle);
    EXPECT_EQ(io->Handle(), INVALID_HANDLE_VALUE);
}

TEST_F(BaseIOTest, FailedOpenLeavesTheComponentClosedWithoutOnOpen) {
    int opened = 0;
    struct TOpen {
        int* n;
        void On(tk::TObject*) { ++*n; }
    } o{&opened};
    io->SetOnOpen(tk::TNotifyEvent(&o, &TOpen::On));
    io->openFails = true;
    io->SetActive(true);
    EXPECT_FALSE(io->Active());
    EXPECT_EQ(opened, 0);
    io->openFails = false;
    io->SetActive(true);
    EXPECT_EQ(opened, 1);
}

struct TCloseHandler {
    int calls = 0;
    bool fail = false;
    void On(tk::TObject*) {
        ++calls;
        if (fail) throw tk::Exception(L"close handler failed");
    }
};

TEST_F(BaseIOTest, CloseTemplateCallsOnCloseOnceAndSwallowsItsErrors) {
    TCloseHandler h;
    h.fail = true;
    io->SetOnClose(tk::TNotifyEvent(&h, &TCloseHandler::On));
    io->DoClose();  // closed already: nothing
    EXPECT_EQ(h.calls, 0);
    EXPECT_EQ(io->closes, 0);
    io->SetActive(true);
    EXPECT_NO_THROW(io->SetActive(false));
    EXPECT_EQ(h.calls, 1);
    EXPECT_EQ(io->closes, 1);
    EXPECT_FALSE(io->Active());
}

TEST_F(BaseIOTest, ActiveIsDeferredWhileTheOwnerLoads) {
    tk::TComponent::LoadLayout(owner, [&] {
        io->SetActive(true);
        EXPECT_TRUE(io->Active());
        EXPECT_EQ(io->opens, 0);
    });
    EXPECT_EQ(io->opens, 1);
    EXPECT_TRUE(io->Active());
    EXPECT_NE(io->Handle(), INVALID_HANDLE_VALUE);
}

TEST_F(BaseIOTest, LoadedShowsTheErrorBoxWhenTheOpenFails) {
    TBoxRecorder boxes;
    io->openThrows = true;
    EXPECT_NO_THROW(tk::TComponent::LoadLayout(owner, [&] { io->SetActive(true); }));
    ASSERT_EQ(boxes.boxes.size(), 1u);
    EXPECT_EQ(boxes.boxes[0].text, L"error");
    EXPECT_EQ(boxes.boxes[0].caption, L"Error");
    EXPECT_EQ(boxes.boxes[0].flags, static_cast<UINT>(MB_OK | MB_ICONERROR));
    EXPECT_EQ(boxes.boxes[0].owner, GetForegroundWindow());
    EXPECT_FALSE(io->Active());
}

TEST_F(BaseIOTest, StoredFalseDoesNotOpen) {
    tk::TComponent::LoadLayout(owner, [&] { io->SetActive(false); });
    EXPECT_EQ(io->opens, 0);
}

// ---------------------------------------------------------------------------
// Fatal errors and logging.

struct TFatalHandler {
    bool veto = false;
    int calls = 0;
    std::uint32_t code = 0, detail = 0;
    std::wstring msg;
    bool raiseOnEntry = false;
    void On(tk::TObject*, std::uint32_t c, std::uint32_t d, const std::wstring& m, bool& raise) {
        ++calls;
        code = c;
        detail = d;
        msg = m;
        raiseOnEntry = raise;
        if (veto) raise = false;
    }
};

TEST_F(BaseIOTest, FatalErrorRaisesWithTheMessageAndLogsWithoutPrefix) {
    io->SetLog(log);
    TFatalHandler h;
    io->SetOnFatalError(TOnFatalErrorEvent(&h, &TFatalHandler::On));
    try {
        io->DoFatalError(4294967295u, 7, L"Device \"COM3\" Open Error !!!", false);
        ADD_FAILURE() << "no exception";
    } catch (const tk::Exception& e) {
        EXPECT_EQ(e.Message(), L"Device \"COM3\" Open Error !!!");
    }
    EXPECT_EQ(h.calls, 1);
    EXPECT_TRUE(h.raiseOnEntry);
    EXPECT_EQ(h.code, 4294967295u);
    ASSERT_EQ(log->lines.size(), 1u);
    EXPECT_EQ(log->lines[0].text, L"Fatal Error: 4294967295, 7, Device \"COM3\" Open Error !!!");
    EXPECT_EQ(log->lines[0].level, dlSimple);
}

TEST_F(BaseIOTest, VetoedFatalErrorOnlyLogs) {
    io->SetLog(log);
    TBoxRecorder boxes;
    TFatalHandler h;
    h.veto = true;
    io->SetOnFatalError(TOnFatalErrorEvent(&h, &TFatalHandler::On));
    EXPECT_NO_THROW(io->DoFatalError(1, 0, L"x", false));
    EXPECT_NO_THROW(io->DoFatalError(1, 0, L"y", true));
    EXPECT_TRUE(boxes.boxes.empty());
    ASSERT_EQ(log->lines.size(), 2u);
    EXPECT_EQ(log->lines[1].text, L"Fatal Error: 1, 0, y");
}

TEST_F(BaseIOTest, ShowOnlyFatalErrorShowsTheTaskModalBox) {
    TBoxRecorder boxes;
    EXPECT_NO_THROW(io->DoFatalError(1, 5, L"handler failed", true));
    ASSERT_EQ(boxes.boxes.size(), 1u);
    EXPECT_EQ(boxes.boxes[0].text, L"handler failed");
    EXPECT_EQ(boxes.boxes[0].caption, L"Application Error");
    EXPECT_TRUE(boxes.boxes[0].flags & MB_TASKMODAL);
    EXPECT_TRUE(boxes.boxes[0].flags & MB_ICONERROR);
}

TEST_F(BaseIOTest, FatalErrorWhileLoadingNeitherRaisesNorShows) {
    io->SetLog(log);
    TBoxRecorder boxes;
    TFatalHandler h;
    io->SetOnFatalError(TOnFatalErrorEvent(&h, &TFatalHandler::On));
    tk::TComponent::LoadLayout(owner, [&] {
        EXPECT_NO_THROW(io->DoFatalError(1, 0, L"early", false));
        EXPECT_NO_THROW(io->DoFatalError(1, 0, L"early", true));
    });
    EXPECT_EQ(h.calls, 2);
    EXPECT_EQ(log->lines.size(), 2u);
    EXPECT_TRUE(boxes.boxes.empty());
}

TEST_F(BaseIOTest, LogLinesCarryThePrefixAndEmptyMessagesAskForSystemInfo) {
    io->WriteLog(dlSimple, L"nothing attached");  // no sink: nothing
    io->WriteLogFmt(dlSimple, L"%d", {1});
    io->SetLog(log);
    io->sLogPrefix = L"pwComm: ";
    io->WriteLog(dlDetail, L"Open");
    io->WriteLog(dlDebug, L"");
    io->WriteLogFmt(dlDebug, L"Try to send char %2Xh ...", {10});
    ASSERT_EQ(log->lines.size(), 2u);
    EXPECT_EQ(log->lines[0].text, L"pwComm: Open");
    EXPECT_EQ(log->lines[0].level, dlDetail);
    EXPECT_EQ(log->lines[1].text, L"pwComm: Try to send char  Ah ...");
    EXPECT_EQ(log->sysInfo, 1);
}

TEST(LogFile, DoFatalErrorsRaisesUnlessVetoed) {
    TTestLog log(nullptr);
    EXPECT_THROW(log.DoFatalErrors(1, 2, L"sink failed"), tk::Exception);
    TFatalHandler h;
    h.veto = true;
    log.SetOnFatalError(TOnFatalErrorEvent(&h, &TFatalHandler::On));
    EXPECT_NO_THROW(log.DoFatalErrors(1, 2, L"sink failed"));
    EXPECT_EQ(h.msg, L"sink failed");
}

// ---------------------------------------------------------------------------
// Listeners.

TEST_F(BaseIOTest, NotifyAddIgnoresDuplicatesAndNotifyDeleteMissingEntries) {
    TListener a, b;
    io->NotifyAdd(a.Event());
    io->NotifyAdd(a.Event());
    io->NotifyAdd(b.Event());  // the same function on another object is another listener
    io->NotifyDelete(TpwNotifyEvent(&a, &TListener::Other));
    io->Update();
    ASSERT_EQ(a.calls.size(), 1u);
    EXPECT_EQ(a.calls[0].first, io);
    EXPECT_EQ(a.calls[0].second, 3);
    EXPECT_EQ(b.calls.size(), 1u);
    io->SetDeviceIndex(0);
    io->SetActive(true);
    EXPECT_EQ(a.calls.size(), 2u);
    io->NotifyDelete(a.Event());  // takes a's entry, not b's
    io->Update();
    EXPECT_EQ(a.calls.size(), 2u);
    EXPECT_EQ(b.calls.size(), 3u);
}

// ---------------------------------------------------------------------------
// Receive dispatch.

struct TReceiver {
    std::string got;
    tk::TObject* com = nullptr;
    DWORD thread = 0;
    void On(tk::TObject* c, const void* buf, std::uint32_t n) {
        com = c;
        got.append(static_cast<const char*>(buf), n);
        thread = GetCurrentThreadId();
    }
};

TEST_F(BaseIOTest, ReceivedBlocksReachProcessorThenCallbackAndSendCompleteAsksTheProcessor) {
    EXPECT_FALSE(io->HasReceiver());
    TReceiver r;
    io->SetOnAfterReceive(TOnReceived(&r, &TReceiver::On));
    EXPECT_TRUE(io->HasReceiver());
    io->SetLog(log);
    io->sLogPrefix = L"p: ";
    io->DoReceived("data", 4);
    EXPECT_EQ(r.got, "data");
    EXPECT_EQ(r.com, io);
    ASSERT_EQ(log->lines.size(), 1u);
    EXPECT_EQ(log->lines[0].text, L"p: Input data length: 4");
    EXPECT_EQ(log->lines[0].level, dlDebug);
    EXPECT_FALSE(io->DoSendComplete());
    auto* proc = new TTestProcessor(owner);
    io->SetDataProcessor(proc);
    io->DoReceived("more", 4);
    EXPECT_EQ(proc->seen, "more");
    EXPECT_EQ(r.got, "datamore");
    proc->ignoreAfterSend = true;
    EXPECT_TRUE(io->DoSendComplete());
    EXPECT_EQ(proc->sendCompletes, 1);
}

// ---------------------------------------------------------------------------
// Terminal binding, with a real edit window standing in for the control.

class TEditControl : public tk::TComponent {
public:
    explicit TEditControl(tk::TComponent* owner) : tk::TComponent(owner) {
        wnd = CreateWindowExW(0, L"EDIT", L"", WS_POPUP | ES_MULTILINE, 0, 0, 200, 100, nullptr,
                              nullptr, GetModuleHandleW(nullptr), nullptr);
    }
    ~TEditControl() override { DestroyWindow(wnd); }
    std::wstring Text() const {
        wchar_t buf[256] = {};
        GetWindowTextW(wnd, buf, 256);
        return buf;
    }
    HWND wnd;
};

class TerminalTest : public BaseIOTest {
protected:
    void SetUp() override {
        BaseIOTest::SetUp();
        TpwBaseIO::SetTerminalWindowResolver([](tk::TComponent* c) -> HWND {
            auto* e = dynamic_cast<TEditControl*>(c);
            return e ? e->wnd : nullptr;
        });
        edit = new TEditControl(owner);
        ASSERT_NE(edit->wnd, nullptr);
        ownProc = GetWindowLongPtrW(edit->wnd, GWLP_WNDPROC);
    }
    void TearDown() override {
        BaseIOTest::TearDown();
        TpwBaseIO::SetTerminalWindowResolver(nullptr);
    }
    TEditControl* edit = nullptr;
    LONG_PTR ownProc = 0;
};

TEST_F(TerminalTest, ReceivedBytesAreShownByCodeWithNulsDropped) {
    io->SetTerminal(edit);
    io->SetTerminalUsage(tuBoth);
    EXPECT_TRUE(io->HasReceiver());
    EXPECT_EQ(io->TerminalHandle(), edit->wnd);
    io->DoReceived("\0A\0\0B\0", 6);
    EXPECT_EQ(edit->Text(), L"AB");
    io->DoReceived("\xE9", 1);  // typed as U+00E9
    EXPECT_EQ(edit->Text(), L"AB\u00E9");
    io->DoReceived("\x08", 1);  // a lone backspace deletes
    EXPECT_EQ(edit->Text(), L"AB");
    EXPECT_TRUE(io->sent.empty());  // received text is never sent back
}

TEST_F(TerminalTest, SendOnlyUsageShowsNothingAndProcessorCanHideBlocks) {
    io->SetTerminal(edit);
    io->SetTerminalUsage(tuSend);
    EXPECT_EQ(io->TerminalHandle(), nullptr);
    io->DoReceived("xy", 2);
    EXPECT_EQ(edit->Text(), L"");
    io->SetTerminalUsage(tuReceive);
    auto* proc = new TTestProcessor(owner);
    proc->hideFromTerminal = true;
    io->SetDataProcessor(proc);
    io->DoReceived("xy", 2);
    EXPECT_EQ(edit->Text(), L"");
    proc->hideFromTerminal = false;
    io->DoReceived("xy", 2);
    EXPECT_EQ(edit->Text(), L"xy");
}

TEST_F(TerminalTest, TypedCharactersGoToThePortAndEchoDecidesWhetherTheyShow) {
    io->SetTerminal(edit);
    io->SetTerminalUsage(tuBoth);
    SendMessageW(edit->wnd, WM_CHAR, L'q', 1);
    EXPECT_EQ(io->sent, "q");
    EXPECT_EQ(edit->Text(), L"");
    io->SetTerminalEcho(true);
    SendMessageW(edit->wnd, WM_CHAR, L'r', 1);
    EXPECT_EQ(io->sent, "qr");
    EXPECT_EQ(edit->Text(), L"r");
    io->SetTerminalUsage(tuReceive);
    SendMessageW(edit->wnd, WM_CHAR, L's', 1);
    EXPECT_EQ(io->sent, "qr");
    EXPECT_EQ(edit->Text(), L"rs");
}

TEST_F(TerminalTest, BindingTwiceThenUnbindingRestoresTheControlsOwnProcedure) {
    io->SetTerminal(edit);
    io->SetTerminal(edit);
    EXPECT_NE(GetWindowLongPtrW(edit->wnd, GWLP_WNDPROC), ownProc);
    io->SetTerminal(nullptr);
    EXPECT_EQ(GetWindowLongPtrW(edit->wnd, GWLP_WNDPROC), ownProc);
    EXPECT_EQ(io->Terminal(), nullptr);
}

TEST_F(TerminalTest, BindingAnotherControlUnhooksTheFirst) {
    auto* other = new TEditControl(owner);
    LONG_PTR otherProc = GetWindowLongPtrW(other->wnd, GWLP_WNDPROC);
    io->SetTerminal(edit);
    io->SetTerminal(other);
    EXPECT_EQ(GetWindowLongPtrW(edit->wnd, GWLP_WNDPROC), ownProc);
    EXPECT_NE(GetWindowLongPtrW(other->wnd, GWLP_WNDPROC), otherProc);
    io->SetTerminalUsage(tuBoth);
    SendMessageW(edit->wnd, WM_CHAR, L'a', 1);
    EXPECT_TRUE(io->sent.empty());
}

TEST_F(TerminalTest, DestroyingTheControlLeavesTheComponentWorking) {
    io->SetTerminal(edit);
    io->SetTerminalUsage(tuBoth);
    delete edit;
    edit = nullptr;
    EXPECT_EQ(io->Terminal(), nullptr);
    EXPECT_FALSE(io->HasReceiver());
    EXPECT_NO_THROW(io->DoReceived("ab", 2));
}

TEST_F(TerminalTest, LoadedReappliesTheStoredBinding) {
    tk::TComponent::LoadLayout(owner, [&] {
        io->SetTerminal(edit);
        io->SetTerminalUsage(tuBoth);
    });
    io->SetTerminal(nullptr);
    EXPECT_EQ(GetWindowLongPtrW(edit->wnd, GWLP_WNDPROC), ownProc);
}

TEST_F(TerminalTest, BindingAnnouncesItselfToTheControl) {
    io->SetTerminal(edit);
    MSG msg;
    ASSERT_TRUE(PeekMessageW(&msg, edit->wnd, WM_PW_TERMINAL, WM_PW_TERMINAL, PM_REMOVE));
    EXPECT_EQ(msg.wParam, reinterpret_cast<WPARAM>(static_cast<TpwBaseIO*>(io)));
    io->SetTerminal(nullptr);
    ASSERT_TRUE(PeekMessageW(&msg, edit->wnd, WM_PW_TERMINAL, WM_PW_TERMINAL, PM_REMOVE));
    EXPECT_EQ(msg.wParam, 0u);
}

// The same binding on a toolkit control goes through its replaceable
// message handler and needs no resolver.
class ToolkitTerminalTest : public ::testing::Test {
protected:
    void SetUp() override {
        form = new tk::TForm(nullptr);
        memo = new tk::TMemo(form);
        memo->SetParent(form);
        io = new TTestIO(form);
        ownHandler = memo->WindowProc();
    }
    void TearDown() override { delete form; }
    std::wstring Text() { return memo->Text(); }

    tk::TForm* form = nullptr;
    tk::TMemo* memo = nullptr;
    TTestIO* io = nullptr;
    tk::TWndMethod ownHandler;
};

TEST_F(ToolkitTerminalTest, TypedAndReceivedTextUseTheControlsHandler) {
    io->SetTerminal(memo);
    io->SetTerminalUsage(tuBoth);
    EXPECT_EQ(io->TerminalHandle(), memo->Handle());
    EXPECT_FALSE(memo->WindowProc() == ownHandler);
    SendMessageW(memo->Handle(), WM_CHAR, L'k', 1);
    EXPECT_EQ(io->sent, "k");
    EXPECT_EQ(Text(), L"");
    io->DoReceived("OK\r\n", 4);
    io->DoReceived("!", 1);
    EXPECT_EQ(Text(), L"OK\r\n!");
    EXPECT_EQ(io->sent, "k");
}

TEST_F(ToolkitTerminalTest, RebindingAndUnbindingGiveTheHandlerBack) {
    auto* other = new tk::TMemo(form);
    other->SetParent(form);
    tk::TWndMethod otherHandler = other->WindowProc();
    io->SetTerminal(memo);
    io->SetTerminal(memo);
    io->SetTerminal(other);
    EXPECT_TRUE(memo->WindowProc() == ownHandler);
    EXPECT_FALSE(other->WindowProc() == otherHandler);
    io->SetTerminal(nullptr);
    EXPECT_TRUE(other->WindowProc() == otherHandler);
}

TEST_F(ToolkitTerminalTest, DestroyingTheComponentFirstUnhooksTheControl) {
    io->SetTerminal(memo);
    delete io;
    io = nullptr;
    EXPECT_TRUE(memo->WindowProc() == ownHandler);
    SendMessageW(memo->Handle(), WM_CHAR, L'z', 1);
    EXPECT_EQ(Text(), L"z");
}

TEST_F(ToolkitTerminalTest, DestroyingTheControlFirstLeavesTheComponentWorking) {
    io->SetTerminal(memo);
    io->SetTerminalUsage(tuBoth);
    delete memo;
    memo = nullptr;
    EXPECT_EQ(io->Terminal(), nullptr);
    EXPECT_NO_THROW(io->DoReceived("ab", 2));
}

// ---------------------------------------------------------------------------
// Device list.

class TCountedDevice : public TpwDevice {
public:
    explicit TCountedDevice(int* freed, std::int32_t data) : freed_(freed) { Data = data; }
    ~TCountedDevice() override { ++*freed_; }

private:
    int* freed_;
};

TEST_F(BaseIOTest, InsertDeviceKeepsDataOrderRefusesDuplicatesAndRenumbers) {
    int freed = 0;
    auto add = [&](int data) {
        auto* d = new TCountedDevice(&freed, data);
        d->NameFriendly = L"COM" + std::to_wstring(data);
        int i = io->InsertDevice(d);
        if (i < 0) delete d;
        return i;
    };
    EXPECT_EQ(add(10), 0);
    EXPECT_EQ(add(2), 0);
    EXPECT_EQ(add(4097), 2);
    EXPECT_EQ(add(3), 1);
    EXPECT_EQ(add(2), -1);
    EXPECT_EQ(freed, 1);
    ASSERT_EQ(io->DeviceCount(), 4);
    const int expected[] = {2, 3, 10, 4097};
    for (int i = 0; i < 4; ++i) {
        TpwDevice* d = io->GetDevice(i);
        ASSERT_NE(d, nullptr);
        EXPECT_EQ(d->Data, expected[i]);
        EXPECT_EQ(d->Index(), i);
        EXPECT_EQ(d->Parent(), io);
        EXPECT_EQ(io->IndexOfDevice(d), i);
    }
    EXPECT_EQ(io->GetDevice(4), nullptr);
    EXPECT_EQ(io->GetDevice(-1), nullptr);
    EXPECT_EQ(io->IndexOfDeviceData(10), 2);
    EXPECT_EQ(io->IndexOfDeviceData(7), -1);
    io->ClearDeviceList();
    EXPECT_EQ(io->DeviceCount(), 0);
    EXPECT_EQ(freed, 5);
}

TEST_F(BaseIOTest, ClearingWithoutFreeLeavesTheRecordsToTheCaller) {
    int freed = 0;
    TCountedDevice d(&freed, 1);
    io->flClearDeviceListWithFree = false;
    EXPECT_EQ(io->AddDevice(&d), 0);
    io->ClearDeviceList();
    EXPECT_EQ(freed, 0);
    EXPECT_EQ(io->DeviceCount(), 0);
}

TEST_F(BaseIOTest, GetDeviceListLoadsOnlyAnEmptyListAndCopiesEntries) {
    io->loadNumbers = {5, 1, 3};
    tk::TStringList l;
    l.Add(L"stale");
    io->GetDeviceList(&l);
    EXPECT_EQ(io->loads, 1);
    ASSERT_EQ(l.Count(), 3);
    EXPECT_EQ(l.Strings(0), L"COM1");
    EXPECT_EQ(l.Strings(2), L"COM5");
    EXPECT_EQ(l.Objects(1), io->GetDevice(1));
    io->GetDeviceList(nullptr);
    EXPECT_EQ(io->loads, 1);
}

TEST_F(BaseIOTest, DeviceChangeMessagesRefreshOnlyForPortsAndNodeChanges) {
    TListener l;
    io->NotifyAdd(l.Event());
    DEV_BROADCAST_HDR port = {};
    port.dbch_size = sizeof(port);
    port.dbch_devicetype = DBT_DEVTYP_PORT;
    DEV_BROADCAST_HDR volume = port;
    volume.dbch_devicetype = DBT_DEVTYP_VOLUME;
    EXPECT_TRUE(
        io->WMDeviceChange(WM_DEVICECHANGE, DBT_DEVICEARRIVAL, reinterpret_cast<LPARAM>(&port)));
    EXPECT_TRUE(io->WMDeviceChange(WM_DEVICECHANGE, DBT_DEVICEREMOVECOMPLETE,
                                   reinterpret_cast<LPARAM>(&port)));
    EXPECT_TRUE(io->WMDeviceChange(WM_DEVICECHANGE, DBT_DEVNODES_CHANGED, 0));
    EXPECT_EQ(l.calls.size(), 3u);
    EXPECT_FALSE(
        io->WMDeviceChange(WM_DEVICECHANGE, DBT_DEVICEARRIVAL, reinterpret_cast<LPARAM>(&volume)));
    EXPECT_FALSE(io->WMDeviceChange(WM_DEVICECHANGE, DBT_DEVICEARRIVAL, 0));
    EXPECT_FALSE(io->WMDeviceChange(WM_DEVICECHANGE, DBT_QUERYCHANGECONFIG, 0));
    EXPECT_FALSE(io->WMDeviceChange(WM_SIZE, DBT_DEVNODES_CHANGED, 0));
    EXPECT_EQ(l.calls.size(), 3u);
}

// ---------------------------------------------------------------------------
// The optional I/O thread.

TEST_F(BaseIOTest, ThreadedComponentDeliversOnTheMainThreadAndStopsOnClose) {
    io->isThreaded = true;
    TReceiver r;
    io->SetOnAfterReceive(TOnReceived(&r, &TReceiver::On));
    io->SetActive(true);
    ASSERT_NE(io->ThreadIO(), nullptr);
    ASSERT_TRUE(PumpUntil([&] { return io->delivered.load(); }));
    EXPECT_EQ(r.got, "xyz");
    EXPECT_EQ(r.thread, tk::MainThreadID());
    // COM was initialised for the thread (a second call answers S_FALSE).
    EXPECT_EQ(io->comOnThread, S_FALSE);
    io->SetActive(false);
    EXPECT_EQ(io->ThreadIO(), nullptr);
    io->delivered = false;
    io->SetActive(true);  // a second open starts a fresh thread
    ASSERT_NE(io->ThreadIO(), nullptr);
    ASSERT_TRUE(PumpUntil([&] { return io->delivered.load(); }));
    EXPECT_EQ(r.got, "xyzxyz");
    io->SetActive(false);  // before the receiver goes out of scope
}

TEST_F(BaseIOTest, ThreadedComponentWithoutMainThreadDeliversOnItsThread) {
    io->isThreaded = true;
    io->SetUseMainThread(false);
    TReceiver r;
    io->SetOnAfterReceive(TOnReceived(&r, &TReceiver::On));
    io->SetActive(true);
    ASSERT_TRUE(PumpUntil([&] { return io->delivered.load(); }));
    ASSERT_NE(io->ThreadIO(), nullptr);
    EXPECT_EQ(r.thread, io->ThreadIO()->ThreadID());
    io->SetActive(false);
}

}  // namespace
