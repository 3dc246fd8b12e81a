// What the component's own callers do to it from inside its callbacks, and
// what reaches it while it closes or goes away: exceptions of any kind, a
// close and reopen, waits on the message thread, a second port closing this
// one, device changes during destruction; and an event thread whose waits
// bring nothing.
#include <gtest/gtest.h>
#include <windows.h>
// clang-format off
#include <dbt.h>
// clang-format on

#include <algorithm>
#include <atomic>
#include <functional>
#include <memory>
#include <new>

#include "CommTestKit.h"
#include "Forms.h"
#include "SimDriver.h"
#include "pwcommbox.h"
#include "pwcomm.h"

using commtest::PumpUntil;

namespace {

constexpr DWORD kLong = 20000;

// Sleeps until `done` holds, without handling any message.
bool WaitQuietly(const std::function<bool()>& done) {
    const DWORD start = ::GetTickCount();
    while (!done()) {
        if (::GetTickCount() - start > kLong) return done();
        ::Sleep(1);
    }
    return true;
}

class Callbacks : public ::testing::Test {
protected:
    void SetUp() override {
        drv.AddPort(L"COM3");
        comm = std::make_unique<TpwComm>(nullptr);
        comm->SetComPortNo(3);
        rec.Attach(*comm);
        rec.vetoFatal = true;  // reported, not shown in a box
        comm->SetOnAfterReceive(TOnReceived(&rec, &commtest::TRecorder::Received));
    }
    void TearDown() override { comm.reset(); }
    void Open() {
        comm->SetActive(true);
        ASSERT_TRUE(comm->Active());
        ASSERT_TRUE(WaitQuietly([&] { return drv.Count("WaitCommEvent") >= 1; })) << "the first driver wait";
    }

    sim::Driver drv;
    commtest::TRecorder rec;
    std::unique_ptr<TpwComm> comm;
};

}  // namespace

// A handler that throws something other than the toolkit's exception, on
// either thread: reported as a fatal error, and the next bytes still arrive.
TEST_F(Callbacks, AForeignExceptionIsReportedAndTheEventsGoOn) {
    for (const bool mainThread : {true, false}) {
        SCOPED_TRACE(mainThread ? "handled on the main thread" : "handled on the message thread");
        comm->SetUseMainThread(mainThread);
        Open();
        rec.fatal.clear();
        rec.received.clear();
        std::atomic<int> calls{0};
        rec.onReceiveHook = [&] {
            if (calls++ == 0) throw std::bad_alloc();
        };
        drv.Receive(L"COM3", "a");
        ASSERT_TRUE(PumpUntil([&] { return calls > 0; }, kLong)) << "waited for the handler";
        ASSERT_TRUE(PumpUntil([&] { return !rec.fatal.empty(); }, kLong)) << "waited for the fatal error";
        drv.Receive(L"COM3", "b");
        EXPECT_TRUE(PumpUntil([&] { return calls > 1; }, kLong)) << "waited for the next bytes";
        EXPECT_EQ("ab", rec.received);
        comm->SetActive(false);
        rec.onReceiveHook = nullptr;
    }
}

// "Close, then open again" inside a handler: the close reads as done at
// once, and the port ends up open on a new handle.
TEST_F(Callbacks, CloseThenOpenInAHandlerLeavesThePortOpen) {
    Open();
    bool activeAfterClose = true;
    rec.onReceiveHook = [&] {
        rec.onReceiveHook = nullptr;
        comm->SetActive(false);
        activeAfterClose = comm->Active();
        comm->SetActive(true);
    };
    drv.Receive(L"COM3", "a");
    ASSERT_TRUE(PumpUntil([&] { return drv.Count("CreateFileW") >= 2; }, kLong)) << "waited for the reopen";
    PumpUntil([] { return false; }, 300);  // nothing left over may close it again
    EXPECT_FALSE(activeAfterClose);
    ASSERT_TRUE(comm->Active());
    EXPECT_EQ(1, drv.OpenHandles());
    drv.Receive(L"COM3", "b");
    EXPECT_TRUE(PumpUntil([&] { return rec.received == "ab"; }, kLong)) << "waited for bytes on the new handle";
}

// A wait on the message thread must not swallow the events posted to it
// meanwhile.
TEST_F(Callbacks, AWaitOnTheMessageThreadKeepsItsEvents) {
    comm->SetUseMainThread(false);
    comm->SetTraceStates(TTraceStates{tsCTS});
    Open();
    const int armed = drv.Count("WaitCommEvent");
    std::atomic<bool> waiting{false}, signalled{false}, ctsReported{false};
    rec.onTraceHook = [&](std::uint32_t bits) {
        if (bits & TTraceStates{tsCTS}.ToBits()) ctsReported = true;
    };
    rec.onReceiveHook = [&] {
        // The event thread waits again once it has posted this event.
        WaitQuietly([&] { return drv.Count("WaitCommEvent") > armed; });
        waiting = true;
        signalled = comm->WaitForSignal(msDSR, kLong);
    };
    drv.Receive(L"COM3", "a");
    ASSERT_TRUE(WaitQuietly([&] { return waiting.load(); })) << "waited for the handler to wait";
    const int before = drv.Count("WaitCommEvent");
    drv.SetModem(L"COM3", MS_CTS_ON);
    ASSERT_TRUE(WaitQuietly([&] { return drv.Count("WaitCommEvent") > before; })) << "waited for the CTS event";
    ::Sleep(200);  // the waiting handler's turn to look at its queue
    drv.SetModem(L"COM3", MS_CTS_ON | MS_DSR_ON);
    ASSERT_TRUE(PumpUntil([&] { return signalled.load(); }, kLong)) << "waited for DSR";
    EXPECT_TRUE(PumpUntil([&] { return ctsReported.load(); }, kLong)) << "waited for the CTS event";
}

// Port B's handler closes port A while A's close waits for A's event thread
// (which runs the main-thread calls): A closes once, without a crash.
TEST_F(Callbacks, ASecondPortsHandlerClosingThisPortWhileItCloses) {
    drv.AddPort(L"COM1");
    TpwComm other(nullptr);
    other.SetComPortNo(1);
    commtest::TRecorder otherRec;
    other.SetOnAfterReceive(TOnReceived(&otherRec, &commtest::TRecorder::Received));
    otherRec.onReceiveHook = [&] { comm->SetActive(false); };
    Open();
    other.SetActive(true);
    ASSERT_TRUE(other.Active());
    rec.codes.clear();
    // B's handler waits for the main thread, whose queue then holds a message.
    MSG msg;
    while (::PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) ::DispatchMessageW(&msg);
    drv.Receive(L"COM1", "x");
    ASSERT_TRUE(WaitQuietly([&] { return ::PeekMessageW(&msg, nullptr, 0, 0, PM_NOREMOVE) != FALSE; }))
        << "waited for port B's handler to ask for the main thread";
    comm->SetActive(false);
    PumpUntil([&] { return !otherRec.received.empty(); }, kLong);
    EXPECT_EQ("x", otherRec.received);
    EXPECT_FALSE(comm->Active());
    EXPECT_EQ(1, static_cast<int>(std::count(rec.codes.begin(), rec.codes.end(), pwNotifyClosed)));
    other.SetActive(false);
}

namespace {

// Tells when its destruction has begun.
class TDyingComm : public TpwComm {
public:
    using TpwComm::TpwComm;
    ~TDyingComm() override { ::SetEvent(dying); }
    HANDLE dying = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
};

// Hands the window's device changes to the component, as a main window does.
struct TDeviceChangeRoute : tk::TObject {
    TpwBaseIO* comm = nullptr;
    bool returned = false;
    void Changed(tk::TObject*, tk::TMessage& m) {
        comm->WMDeviceChange(m.Msg, m.WParam, m.LParam);
        returned = true;
    }
};

}  // namespace

// A device change that arrives while the component's destructor waits for
// its threads (the wait handles messages sent to the main thread's windows)
// does nothing: a port box listening would otherwise ask the half-destroyed
// component for its device list.
TEST(CallbacksDestruction, ADeviceChangeDuringDestructionDoesNothing) {
    sim::Driver drv;
    drv.AddPort(L"COM3");
    auto* form = new tk::TForm(nullptr);
    auto* comm = new TDyingComm(nullptr);
    const HANDLE dying = comm->dying;
    auto* box = new TpwDeviceBox(form);
    box->SetParent(form);
    box->SetpwComm(comm);
    TDeviceChangeRoute route;
    route.comm = comm;
    form->SetOnDeviceChange(tk::TMessageEvent(&route, &TDeviceChangeRoute::Changed));
    commtest::TRecorder rec;
    comm->SetUseMainThread(false);
    comm->SetOnAfterReceive(TOnReceived(&rec, &commtest::TRecorder::Received));
    std::atomic<bool> entered{false}, sent{false};
    const HWND target = form->Handle();
    rec.onReceiveHook = [&] {
        entered = true;
        if (::WaitForSingleObject(dying, kLong) != WAIT_OBJECT_0) return;
        ::SendMessageW(target, WM_DEVICECHANGE, DBT_DEVNODES_CHANGED, 0);
        sent = true;
    };
    comm->SetComPortNo(3);
    comm->SetActive(true);
    ASSERT_TRUE(comm->Active());
    drv.Receive(L"COM3", "a");
    ASSERT_TRUE(WaitQuietly([&] { return entered.load(); })) << "waited for the handler";
    delete comm;
    EXPECT_TRUE(sent);
    // The window procedure survives what it called into.
    EXPECT_TRUE(route.returned);
    delete form;
    ::CloseHandle(dying);
}

// A driver whose waits bring nothing, because it refused the event mask or
// ends every wait with an error: the event thread pauses (and looks at the
// input queue) between two waits instead of spinning.
TEST_F(Callbacks, WaitsThatBringNothingArePausedBetween) {
    for (const bool refused : {true, false}) {
        SCOPED_TRACE(refused ? "the wait fails at once" : "the wait ends with an error");
        sim::Port& p = drv.port(L"COM3");
        p.waitFails = refused ? ERROR_INVALID_PARAMETER : 0;
        p.waitsEndWith = refused ? 0 : 0xC0000001;  // STATUS_UNSUCCESSFUL
        comm->SetActive(true);
        ASSERT_TRUE(comm->Active());
        drv.ClearCalls();
        ASSERT_TRUE(WaitQuietly([&] { return drv.Count("WaitCommEvent") >= 20; })) << "waited for 20 waits";
        comm->SetActive(false);
        const std::vector<std::string> names = drv.Names();
        int backToBack = 0;
        for (std::size_t i = 1; i < names.size(); ++i)
            if (names[i] == "WaitCommEvent" && names[i - 1] == "WaitCommEvent") ++backToBack;
        EXPECT_EQ(0, backToBack) << "of " << drv.Count("WaitCommEvent") << " waits";
    }
}
