// "Always connected" and a device that goes away and comes back (an adapter
// unplugged and plugged in again), with the simulated driver.
#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "CommTestKit.h"
#include "SimDriver.h"
#include "UfrmMain.h"
#include "WindowTestKit.h"

using namespace wintest;

namespace {

constexpr DWORD kBoundMs = 30000;

class Reconnect : public ::testing::Test {
protected:
    void SetUp() override {
        driver_.AddPort(L"COM7");
        form_ = std::make_unique<TfrmMain>(nullptr);
        form_->pwComm1->SetComPortNo(7);
        form_->chkConnected->SetChecked(true);  // opens the port
        ASSERT_TRUE(form_->pwComm1->Active());
    }
    bool LogHas(const std::wstring& text) {
        return RichText(form_->RichEdit1).find(text) != std::wstring::npos;
    }
    // Unplugged: every call fails and a new open finds no device.
    void Unplug() {
        driver_.Vanish(L"COM7", ERROR_BAD_COMMAND);
        ASSERT_TRUE(commtest::PumpUntil([&] { return LogHas(L"COM7 lost: "); }, kBoundMs))
            << "waited for the note that COM7 was lost";
        EXPECT_FALSE(form_->pwComm1->Active());
        EXPECT_TRUE(LogHas(L"; trying to reopen it every second"));
    }
    void PlugBackIn() {
        sim::Port& p = driver_.port(L"COM7");
        p.vanishedError = 0;
        p.waitFails = 0;
    }

    TTempWorkDir dir_;
    TBoxRecorder boxes_;
    sim::Driver driver_;
    std::unique_ptr<TfrmMain> form_;
};

}  // namespace

TEST_F(Reconnect, APortThatComesBackIsOpenedAgainAndReceives) {
    Unplug();
    const int opensBefore = driver_.Count("CreateFileW");
    PlugBackIn();
    ASSERT_TRUE(commtest::PumpUntil([&] { return LogHas(L"COM7 is back"); }, kBoundMs))
        << "waited for the once-a-second tries to reopen COM7";
    EXPECT_TRUE(form_->pwComm1->Active());
    EXPECT_GT(driver_.Count("CreateFileW"), opensBefore);
    // Nothing goes out on its own; reception goes on.
    EXPECT_TRUE(driver_.port(L"COM7").tx.empty());
    driver_.Receive(L"COM7", "OK\r\n");
    EXPECT_TRUE(commtest::PumpUntil([&] { return LogHas(L"OK"); }, kBoundMs))
        << "waited for the reply after the port came back";
    EXPECT_TRUE(boxes_.boxes.empty());
    // The log modes and the capture have the whole story as notes.
    std::string notes;
    const EventLog& log = form_->Events();
    for (std::size_t i = 0; i < log.Count(); ++i)
        if (log.At(i).Kind == LogEventKind::Note) notes += std::string(log.Bytes(log.At(i))) + "\n";
    std::size_t at = 0;
    for (const char* note : {"COM7 opened: 9600 bps", "COM7 lost: ", "COM7 opened: ", "COM7 is back"}) {
        at = notes.find(note, at);
        ASSERT_NE(at, std::string::npos) << "no '" << note << "' in order among the notes:\n" << notes;
    }
}

TEST_F(Reconnect, ADeviceChangeTriesAtOnceAndUntickingStopsTheTries) {
    Unplug();
    // Still gone: a device change tries, fails quietly, and the tries go on.
    const int opens = driver_.Count("CreateFileW");
    form_->Perform(WM_DEVICECHANGE, 0x0007 /* DBT_DEVNODES_CHANGED */, 0);
    EXPECT_EQ(opens + 1, driver_.Count("CreateFileW"));
    EXPECT_TRUE(boxes_.boxes.empty());

    form_->chkConnected->SetChecked(false);
    PlugBackIn();
    form_->ReconnectTimerTimer(nullptr);
    form_->Perform(WM_DEVICECHANGE, 0x0007, 0);
    EXPECT_EQ(opens + 1, driver_.Count("CreateFileW"));
    EXPECT_FALSE(form_->pwComm1->Active());
    EXPECT_FALSE(LogHas(L"is back"));
}
