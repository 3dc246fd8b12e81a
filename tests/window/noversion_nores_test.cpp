// A program without version information: the version call fails with the
// system's error, start-up stops before the caption, the About box's memo
// stays empty.
#include <gtest/gtest.h>

#include <memory>

#include "UAppFunction.h"
#include "UfrmAbout.h"
#include "UfrmMain.h"
#include "WindowTestKit.h"

using namespace wintest;

TEST(NoVersion, GetAppVersionRaisesTheSystemError) {
    try {
        (void)GetAppVersion();
        FAIL() << "no error";
    } catch (const tk::EOSError& e) {
        EXPECT_NE(e.ErrorCode(), 0u);
        EXPECT_EQ(e.Message(), tk::SysErrorMessage(e.ErrorCode()));
        EXPECT_FALSE(e.Message().empty());
    }
}

TEST(NoVersion, FormCreateReportsAndLeavesTheCaption) {
    TTempWorkDir dir;
    TBoxRecorder boxes;
    auto form = std::make_unique<TfrmMain>(nullptr);
    ASSERT_EQ(boxes.boxes.size(), 1u);
    EXPECT_EQ(boxes.boxes[0].caption, tk::Application().Title());
    EXPECT_EQ(boxes.boxes[0].flags & MB_ICONMASK, static_cast<UINT>(MB_ICONERROR));
    EXPECT_EQ(form->Caption(), L"Quolm-Portwright");
    // The steps before the caption ran.
    EXPECT_EQ(form->lblCOM_Parameter->Caption(),
              L"9600 bps / Non  Parity /  8 Data bit / 1 Stop bit / Flow Control= None");
    EXPECT_EQ(form->RichEdit1->Text(), L"");
}

TEST(NoVersion, AboutMemoStaysEmptyWithoutLogo) {
    TTempWorkDir dir;
    TBoxRecorder boxes;
    auto form = std::make_unique<TfrmMain>(nullptr);
    boxes.boxes.clear();
    TfrmAbout about(form.get());
    ASSERT_EQ(boxes.boxes.size(), 1u);
    EXPECT_EQ(about.Memo1->Text(), L"");
    EXPECT_TRUE(about.Image1->Picture().Empty());
}
