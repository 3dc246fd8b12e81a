// The serial component on a pty pair that has modem lines (the harness's
// null-modem preload library: DTR -> DSR+DCD, RTS -> CTS). Here Wine takes the
// paths of a real UART: line control, pending event waits that end with an
// event, EV_TXEMPTY after a write, WaitForSignal and the connection test.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <vector>

#include "CommTestKit.h"
#include "PtyPeer.h"
#include "Forms.h"
#include "StdCtrls.h"
#include "pwcomm.h"

using commtest::PumpUntil;
using commtest::TPeer;

namespace {

struct TRecorder : tk::TObject {
    std::vector<TTraceStates> events;
    std::string received;
    int sent = 0;
    void Trace(tk::TObject*, TTraceStates s) { events.push_back(s); }
    void Received(tk::TObject*, const void* data, std::uint32_t n) {
        received.append(static_cast<const char*>(data), n);
    }
    void Sent(tk::TObject*) { ++sent; }
    bool Saw(TTraceState s) const {
        for (const auto& e : events)
            if (e.Contains(s)) return true;
        return false;
    }
};

class NullModem : public ::testing::Test {
protected:
    void SetUp() override {
        int a = 0, b = 0;
        if (!commtest::PairPorts(a, b))
            GTEST_SKIP() << "no pty pair (run inside tests/harness/sandbox.sh)";
        peer = std::make_unique<TPeer>(b);
        ASSERT_TRUE(peer->ok());
        DWORD status = 0;
        ASSERT_TRUE(GetCommModemStatus(peer->Handle(), &status))
            << "the pair has no modem lines: run with QUOLM_NULL_MODEM=1 in the sandbox";
        ASSERT_TRUE(peer->SetLine(SETDTR));
        ASSERT_TRUE(peer->SetLine(SETRTS));
        form = new tk::TForm(nullptr);
        comm = new TpwComm(form);
        comm->SetBaudRate(9600);
        comm->SetStreamProtocol(spNone);
        comm->SetComPortNo(static_cast<std::uint16_t>(a));
        comm->SetOnTraceState(TOnTraceEvent(&rec, &TRecorder::Trace));
        comm->SetOnAfterReceive(TOnReceived(&rec, &TRecorder::Received));
        comm->SetOnAfterSend(TOnSent(&rec, &TRecorder::Sent));
    }
    void TearDown() override {
        delete form;
        if (peer) {
            peer->SetLine(SETDTR);
            peer->SetLine(SETRTS);
        }
        peer.reset();
    }
    void Open() {
        comm->SetActive(true);
        ASSERT_TRUE(comm->Active());
    }
    bool Has(TModemSignal s) { return comm->ModemSignals().Contains(s); }

    std::unique_ptr<TPeer> peer;
    tk::TForm* form = nullptr;
    TpwComm* comm = nullptr;
    TRecorder rec;
};

}  // namespace

TEST_F(NullModem, LinesCrossLikeACable) {
    Open();
    EXPECT_TRUE(Has(msCTS));
    EXPECT_TRUE(Has(msDSR));
    EXPECT_TRUE(Has(msRLSD));
    EXPECT_FALSE(Has(msRing));

    peer->SetLine(CLRDTR);
    EXPECT_FALSE(Has(msDSR));
    EXPECT_FALSE(Has(msRLSD));
    EXPECT_TRUE(Has(msCTS));
    peer->SetLine(CLRRTS);
    EXPECT_FALSE(Has(msCTS));

    comm->SetStateDTR(false);
    EXPECT_EQ(0u, peer->ModemStatus() & (MS_DSR_ON | MS_RLSD_ON));
    comm->SetStateDTR(true);
    EXPECT_EQ(MS_DSR_ON | MS_RLSD_ON, peer->ModemStatus() & (MS_DSR_ON | MS_RLSD_ON));
    comm->SetStateRTS(false);
    EXPECT_EQ(0u, peer->ModemStatus() & MS_CTS_ON);
    comm->SetStateRTS(true);
    EXPECT_EQ(MS_CTS_ON, peer->ModemStatus() & MS_CTS_ON);
}

TEST_F(NullModem, LineChangesArriveAsEventsAndMoveTheMonitors) {
    auto* dsr = new tk::TCheckBox(form);
    auto* cts = new tk::TCheckBox(form);
    auto* rlsd = new tk::TCheckBox(form);
    comm->SetMonitorDSR(dsr);
    comm->SetMonitorCTS(cts);
    comm->SetMonitorRLSD(rlsd);
    comm->SetTraceStates(TTraceStates{tsCTS, tsDSR, tsRLSD});
    Open();
    // Wine takes the line state to compare against when a wait starts: a
    // change before the event thread's first wait is no event. A byte that
    // comes back through a wait shows the thread is there.
    peer->Write("x");
    ASSERT_TRUE(PumpUntil([&] { return rec.received == "x"; }, 5000)) << "no byte through the event thread";
    PumpUntil([] { return false; }, 100);

    peer->SetLine(CLRDTR);
    ASSERT_TRUE(PumpUntil([&] { return rec.Saw(tsDSR); }, 3000)) << "no DSR event";
    EXPECT_TRUE(rec.Saw(tsRLSD));
    EXPECT_FALSE(dsr->Checked());
    EXPECT_FALSE(rlsd->Checked());
    EXPECT_TRUE(cts->Checked());

    rec.events.clear();
    peer->SetLine(CLRRTS);
    ASSERT_TRUE(PumpUntil([&] { return rec.Saw(tsCTS); }, 3000)) << "no CTS event";
    EXPECT_FALSE(cts->Checked());

    rec.events.clear();
    peer->SetLine(SETDTR);
    ASSERT_TRUE(PumpUntil([&] { return rec.Saw(tsDSR); }, 3000));
    EXPECT_TRUE(dsr->Checked());
    EXPECT_TRUE(rlsd->Checked());
}

// With lines the driver's wait really stays pending, so bytes and the end
// of a transmission are reported by the wait itself.
TEST_F(NullModem, BytesAndTheEndOfASendComeAsEvents) {
    comm->SetTraceStates(TTraceStates{tsTxEmpty});
    Open();
    for (int round = 0; round < 3; ++round) {
        const std::string msg = "reply " + std::to_string(round);
        const std::size_t want = rec.received.size() + msg.size();
        peer->Write(msg);
        ASSERT_TRUE(PumpUntil([&] { return rec.received.size() >= want; }, 3000)) << rec.received;
        ::Sleep(20);  // idle between rounds: the wait is pending again
    }
    EXPECT_EQ("reply 0reply 1reply 2", rec.received);

    comm->SendString("ping");
    EXPECT_EQ("ping", peer->ReadPumping(4));
    EXPECT_TRUE(PumpUntil([&] { return rec.sent > 0; }, 3000)) << "no EV_TXEMPTY";
}

TEST_F(NullModem, WaitForSignalAndTheConnectionTest) {
    Open();
    EXPECT_TRUE(comm->WaitForSignal(msDSR, 200));
    comm->InitDeviceConnect();
    EXPECT_EQ(MS_DSR_ON | MS_CTS_ON, peer->ModemStatus() & (MS_DSR_ON | MS_CTS_ON));

    peer->SetLine(CLRDTR);
    const DWORD start = ::GetTickCount();
    EXPECT_FALSE(comm->WaitForSignal(msDSR, 200));
    EXPECT_GE(::GetTickCount() - start, 150u);
    try {
        comm->InitDeviceConnect();
        ADD_FAILURE() << "no exception";
    } catch (const tk::Exception& e) {
        EXPECT_EQ(L"Device Connect Initialization Error", e.Message());
    }
    // The device did not answer: RTS stays off.
    EXPECT_EQ(0u, peer->ModemStatus() & MS_CTS_ON);
}
