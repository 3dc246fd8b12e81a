// What the user reads when a send or the received line fails.
#include <gtest/gtest.h>

#include "CommReport.h"

using namespace commreport;

TEST(CommReport, SendFailuresSayWhatHappenedToTheBytes) {
    TCommFailure f;
    f.port = L"COM1";
    f.sysError = 1121;
    f.sysText = L"The serial I/O operation completed because the time-out period expired.\r\n";
    f.requested = 44;
    f.taken = 5;
    f.stateBits = kCtsHold | kXoffHold;
    EXPECT_EQ(DescribeCommFailure(f),
              L"COM1: send failed: The serial I/O operation completed because the time-out period "
              L"expired (5 of 44 bytes sent); the line is held: CTS is low, the device sent XOFF");

    // A device gone: the system's reason alone, no counts when unknown.
    TCommFailure gone;
    gone.port = L"COM3";
    gone.sysError = 22;
    gone.sysText = L"The device does not recognize the command.";
    EXPECT_EQ(DescribeCommFailure(gone), L"COM3: send failed: The device does not recognize the command");
}

TEST(CommReport, LineErrorsAreNamedAndNothingIsToldForNothing) {
    TCommFailure f;
    f.commCode = kOverrun | kFrame | kBreak | kParity;
    EXPECT_EQ(DescribeCommFailure(f), L"line error: overrun (bytes lost), parity, framing, break");
    // Hold bits alone (an event with nothing failed) still say why the line stands.
    TCommFailure held;
    held.stateBits = kDsrHold;
    EXPECT_EQ(DescribeCommFailure(held), L"the line is held: DSR is low");
    EXPECT_EQ(DescribeCommFailure(TCommFailure{}), L"");
}
