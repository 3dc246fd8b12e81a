// The plug-and-play identification exchange on a pty pair with modem lines
// (the harness's null-modem library), against a simulated device on the far
// end that watches DTR and RTS as an external plug-and-play device does.
#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <string>
#include <thread>

#include "CommTestKit.h"
#include "PtyPeer.h"
#include "pwcomm.h"

using commtest::TPeer;

namespace {

// Holds its DTR up (the component's DSR) unless told not to. After the
// host's reset (DTR and RTS both low) it waits for DTR and then RTS to come
// up: that is one try; on the try it answers, it sends its reply.
class TPnPDevice {
public:
    TPnPDevice(int port, std::string reply, int answerOnTry, bool raiseDtr = true)
        : peer_(port), reply_(std::move(reply)), answerOn_(answerOnTry) {
        peer_.SetLine(raiseDtr ? SETDTR : CLRDTR);
        peer_.SetLine(SETRTS);
        peer_.Drain();
        thread_ = std::thread([this] { Run(); });
    }
    ~TPnPDevice() {
        stop_ = true;
        if (thread_.joinable()) thread_.join();
        peer_.SetLine(SETDTR);
    }
    bool ok() { return peer_.ok(); }
    int tries() const { return tries_; }
    // The component's lines as this end sees them (after the thread ended).
    DWORD Lines() {
        stop_ = true;
        if (thread_.joinable()) thread_.join();
        return peer_.ModemStatus() & (MS_DSR_ON | MS_CTS_ON);
    }

private:
    void Run() {
        enum { kWaitReset, kReset, kDtrUp } state = kWaitReset;
        while (!stop_) {
            const DWORD s = peer_.ModemStatus();
            const bool dtr = (s & MS_DSR_ON) != 0, rts = (s & MS_CTS_ON) != 0;
            if (state == kWaitReset && !dtr && !rts) state = kReset;
            if ((state == kReset || state == kDtrUp) && dtr) {
                state = kDtrUp;
                if (rts) {
                    if (++tries_ == answerOn_) peer_.Write(reply_);
                    state = kWaitReset;
                }
            }
            ::Sleep(1);
        }
    }

    TPeer peer_;
    std::string reply_;
    int answerOn_;
    std::atomic<int> tries_{0};
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

class PnPString : public ::testing::Test {
protected:
    void SetUp() override {
        if (!commtest::PairPorts(a, b))
            GTEST_SKIP() << "no pty pair (run inside tests/harness/sandbox.sh)";
        TPeer probe(b);
        DWORD status = 0;
        ASSERT_TRUE(GetCommModemStatus(probe.Handle(), &status))
            << "the pair has no modem lines: run with QUOLM_NULL_MODEM=1 in the sandbox";
        comm = std::make_unique<TpwComm>(nullptr);
        comm->SetComPortNo(static_cast<std::uint16_t>(a));
        comm->SetBaudRate(9600);
        comm->SetStreamProtocol(spNone);
        comm->SetTraceStates(TTraceStates{tsCTS});
        rec.Attach(*comm);
    }
    void TearDown() override {
        comm.reset();
        device.reset();
    }

    std::wstring Exchange(const std::string& reply, int answerOnTry = 1) {
        device.reset();
        device = std::make_unique<TPnPDevice>(b, reply, answerOnTry);
        EXPECT_TRUE(device->ok());
        return comm->GetPNPDeviceString();
    }
    // The component's settings as they were before the exchange.
    void ExpectSettingsKept() {
        EXPECT_EQ(9600u, comm->BaudRate());
        EXPECT_EQ(8, comm->ByteSize());
        EXPECT_EQ(pNone, comm->Parity());
        EXPECT_EQ(sbOne, comm->StopBits());
        EXPECT_EQ(spNone, comm->StreamProtocol());
        EXPECT_EQ(TTraceStates{tsCTS}, comm->TraceStates());
    }

    int a = 0, b = 0;
    std::unique_ptr<TpwComm> comm;
    std::unique_ptr<TPnPDevice> device;
    commtest::TRecorder rec;
};

TEST_F(PnPString, IdentifiersInBothFramingsOnAClosedPort) {
    EXPECT_EQ(L"(QLM0001\\Quolm\\Test)", Exchange("(QLM0001\\Quolm\\Test)after"));
    EXPECT_EQ(1, device->tries());
    EXPECT_FALSE(comm->Active());
    ExpectSettingsKept();

    EXPECT_EQ(std::wstring(L"\x08QLM0002\x09"), Exchange("\x08QLM0002\x09"));
    EXPECT_FALSE(comm->Active());
    ExpectSettingsKept();
}

TEST_F(PnPString, ASecondTryAndAReplyCutOffOnAnOpenPort) {
    comm->SetActive(true);
    ASSERT_TRUE(comm->Active());
    EXPECT_EQ(L"(QLM00", Exchange("(QLM00", 2));
    EXPECT_EQ(2, device->tries());
    // A device that streams on without the end character: the identifier's
    // longest length, 256 characters, ends the exchange.
    const std::string endless = "(" + std::string(400, 'Q');
    EXPECT_EQ(std::wstring(endless.begin(), endless.begin() + 256), Exchange(endless));
    // Reopened with its own settings, not the exchange's 1200 baud 7N1.
    ASSERT_TRUE(comm->Active());
    DCB dcb = {};
    dcb.DCBlength = sizeof(dcb);
    ASSERT_TRUE(GetCommState(comm->Handle(), &dcb));
    EXPECT_EQ(9600u, dcb.BaudRate);
    EXPECT_EQ(8, dcb.ByteSize);
    ExpectSettingsKept();
}

TEST_F(PnPString, NoAnswerOrAnotherFirstByteGivesNothing) {
    EXPECT_EQ(L"", Exchange("(QLM0001)", 0));
    EXPECT_EQ(2, device->tries());
    EXPECT_EQ(L"", Exchange("QLM0001)"));
    EXPECT_FALSE(comm->Active());
    ExpectSettingsKept();
}

TEST_F(PnPString, WithoutDsrTheConnectionFailsAndThePortStaysOpen) {
    TPnPDevice silent(b, "(QLM0001)", 1, false);
    try {
        comm->GetPNPDeviceString();
        ADD_FAILURE() << "no exception";
    } catch (const tk::Exception& e) {
        EXPECT_EQ(L"Device Connect Initialization Error", e.Message());
    }
    EXPECT_TRUE(comm->Active());
    EXPECT_EQ(static_cast<DWORD>(MS_DSR_ON), silent.Lines());  // DTR up, RTS down
    EXPECT_EQ(0, silent.tries());

    // A handler that keeps it from raising gets an empty result.
    rec.vetoFatal = true;
    EXPECT_EQ(L"", comm->GetPNPDeviceString());
    EXPECT_EQ((std::vector<std::wstring>{L"Device Connect Initialization Error",
                                         L"Device Connect Initialization Error"}),
              rec.fatal);
}

}  // namespace
