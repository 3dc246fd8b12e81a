// File, "Exit" ends the message loop (alone in its program: the application
// object stays terminated afterwards).
#include <gtest/gtest.h>

#include <memory>

#include "UfrmMain.h"
#include "WindowTestKit.h"

using namespace wintest;

TEST(Exit, ExitMenuEndsTheMessageLoop) {
    TTempWorkDir dir;
    auto form = std::make_unique<TfrmMain>(nullptr);
    tk::Application().SetMainWindow(form->Handle());
    form->Show();
    ASSERT_FALSE(tk::Application().Terminated());
    ::SendMessageW(form->Handle(), WM_COMMAND, MAKEWPARAM(form->Exit1->Command(), 0), 0);
    EXPECT_TRUE(tk::Application().Terminated());
    // The loop returns at once; the quit message waits for any other loop.
    tk::Application().Run();
    MSG msg;
    EXPECT_TRUE(::PeekMessageW(&msg, nullptr, WM_QUIT, WM_QUIT, PM_REMOVE));
    tk::Application().SetMainWindow(nullptr);
}
