// The transmit path against a driver with a UART's pace: bytes that a send
// reported as sent reach the line, a held line or a write time-out ends the
// wait within its bound and is reported, and only what the line could not
// send is purged.
#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "CommTestKit.h"
#include "SimDriver.h"
#include "pwcomm.h"

namespace {

const std::string kRow = "AT+CONFIG=0123456789;ABCDEFGHIJ;abcdefghij\r\n";  // 44 bytes

class PacedLine : public ::testing::Test {
protected:
    void SetUp() override {
        drv.AddPort(L"COM4").paced = true;
        comm = std::make_unique<TpwComm>(nullptr);
        comm->SetComPortNo(4);
        comm->SetBaudRate(9600);
        comm->SetStreamProtocol(spNone);
        rec.Attach(*comm);
    }
    void TearDown() override { comm.reset(); }
    sim::Port& port() { return drv.port(L"COM4"); }
    void Open() {
        comm->SetActive(true);
        ASSERT_TRUE(comm->Active());
        drv.ClearCalls();
    }
    // A purge that drops output the driver still holds.
    int OutputPurges() {
        int n = 0;
        for (const sim::Call& c : drv.Calls("PurgeComm"))
            if (c.a & (PURGE_TXCLEAR | PURGE_TXABORT)) ++n;
        return n;
    }

    sim::Driver drv;
    commtest::TRecorder rec;
    std::unique_ptr<TpwComm> comm;
};

TEST_F(PacedLine, EverySendFormReachesTheLineWholeBeforeTheClose) {
    // Text: the write completes at once and the driver still holds nearly all.
    Open();
    comm->SendString(kRow);
    comm->SetActive(false);
    EXPECT_EQ(kRow, port().tx);

    // HEX: a write bigger than the driver's queue stays in flight.
    std::string hex;
    for (int i = 0; i < 48; ++i) hex.push_back(static_cast<char>(i * 5));
    port().tx.clear();
    port().txCapacity = 16;
    Open();
    comm->SendData(hex.data(), static_cast<std::uint32_t>(hex.size()));
    comm->SetActive(false);
    EXPECT_EQ(hex, port().tx);
    EXPECT_EQ(48u, comm->TotalSent());

    EXPECT_EQ(0, OutputPurges());
    EXPECT_TRUE(rec.commErrors.empty());
}

TEST_F(PacedLine, AHeldLineEndsTheWaitWithinItsBoundAndIsReported) {
    // CTS low under hardware flow: the driver takes the text but sends none.
    comm->SetStreamProtocol(spHardware);
    Open();
    comm->SendString(kRow);
    EXPECT_EQ(44u, comm->TotalSent());
    comm->SetActive(false);
    EXPECT_FALSE(comm->Active());
    ASSERT_EQ(1u, rec.commErrors.size());
    EXPECT_EQ(static_cast<std::uint32_t>(ERROR_TIMEOUT), rec.commErrors[0].sys);
    EXPECT_EQ(TComStateFlags{fCtlHold}.ToBits(), rec.commErrors[0].state);
    EXPECT_EQ(44u, comm->LastTransmit().Abandoned);
    EXPECT_EQ(1, OutputPurges());
    EXPECT_EQ(0, drv.Count("FlushFileBuffers"));

    // XOFF received: a write that does not fit the queue never completes by
    // itself; it is cancelled, and only the bytes the driver took count.
    rec.commErrors.clear();
    comm->SetStreamProtocol(spXonXoff);
    port().txCapacity = 16;
    Open();
    drv.SetXoff(L"COM4", true);
    const std::string hex(48, '\x5A');
    comm->SendData(hex.data(), 48);
    comm->FlushOutputBuffer();
    ASSERT_EQ(1u, rec.commErrors.size());
    EXPECT_EQ(static_cast<std::uint32_t>(ERROR_TIMEOUT), rec.commErrors[0].sys);
    EXPECT_EQ(TComStateFlags{fXoffHold}.ToBits(), rec.commErrors[0].state);
    EXPECT_EQ(16u, comm->LastTransmit().Taken);
    EXPECT_EQ(16u, comm->TotalSent());
    EXPECT_EQ(0u, drv.PendingWrites());
    comm->SetActive(false);  // closes without a second report
    EXPECT_FALSE(comm->Active());
    EXPECT_EQ(1u, rec.commErrors.size());
    EXPECT_TRUE(port().tx.empty());
}

TEST_F(PacedLine, AWriteTimeOutEndsAWriteShortAndOnlyTheTakenBytesGoOut) {
    // 1200 baud, a queue of 8 and a 50 ms write time-out: the driver takes
    // part of the row and ends the write.
    comm->SetBaudRate(1200);
    COMMTIMEOUTS t = {};
    t.WriteTotalTimeoutConstant = 50;
    comm->SetTimeouts(t);
    port().txCapacity = 8;
    Open();
    comm->SendString(kRow);
    ASSERT_EQ(1u, rec.commErrors.size());
    EXPECT_EQ(static_cast<std::uint32_t>(ERROR_COUNTER_TIMEOUT), rec.commErrors[0].sys);
    const std::uint32_t taken = comm->LastTransmit().Taken;
    EXPECT_EQ(44u, comm->LastTransmit().Requested);
    EXPECT_GE(taken, 8u);
    EXPECT_LT(taken, 44u);
    EXPECT_EQ(taken, comm->TotalSent());
    // What the driver took was reported as sent, so the close sends it.
    comm->SetActive(false);
    EXPECT_EQ(kRow.substr(0, taken), port().tx);
    EXPECT_EQ(0, OutputPurges());
    EXPECT_EQ(1u, rec.commErrors.size());
}

}  // namespace
