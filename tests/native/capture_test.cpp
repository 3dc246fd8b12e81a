// A capture whose file fails part-way: it stops, says why, and the file
// keeps whole pieces only.
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>

#include "Capture.h"

namespace {

// Takes a number of writes, then fails as a full disk would.
class FailingSink : public CaptureSink {
public:
    FailingSink(std::string& file, int writesLeft) : file_(file), left_(writesLeft) {}
    bool Write(std::string_view bytes) override {
        if (left_-- <= 0) return false;
        file_.append(bytes);
        return true;
    }
    bool Flush() override { return left_ >= 0; }
    void Close() override { ++closes; }
    std::string Error() const override { return "No space left on device"; }
    int closes = 0;

private:
    std::string& file_;
    int left_;
};

TEST(Capture, AWriteFailureStopsTheCaptureAndKeepsWhatWasWritten) {
    std::string file;
    Capture capture;
    capture.Start(std::make_unique<FailingSink>(file, 1), CaptureFormat::Text);
    capture.AddText("first\r\n");
    capture.AddRaw("ignored in the text format");
    ASSERT_TRUE(capture.Flush());
    EXPECT_EQ(capture.Size(), 7u);
    capture.AddText("second\r\n");
    EXPECT_FALSE(capture.Flush());
    EXPECT_FALSE(capture.Active());
    EXPECT_EQ(capture.Error(), "No space left on device");
    EXPECT_EQ(file, "first\r\n");
    // Later events are dropped quietly; stopping again reports the failure.
    capture.AddText("third\r\n");
    EXPECT_FALSE(capture.Stop());
    EXPECT_EQ(file, "first\r\n");
}

TEST(Capture, RawFileHoldsTheBytesExactlyAndAnUncreatableFileIsReported) {
    const auto path = std::filesystem::temp_directory_path() / "quolm_capture_test.bin";
    std::string error;
    Capture capture;
    auto sink = OpenCaptureFile(path, error);
    ASSERT_TRUE(sink) << error;
    capture.Start(std::move(sink), CaptureFormat::Raw);
    std::string all;
    for (int i = 0; i < 3000; ++i) {
        std::string block(1000, static_cast<char>(i));
        block[0] = '\0';
        block[1] = '\r';
        all += block;
        capture.AddRaw(block);  // past the buffer size: written on the way
    }
    capture.AddText("not in a raw capture");
    EXPECT_TRUE(capture.Stop());
    std::ifstream in(path, std::ios::binary);
    const std::string got((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    EXPECT_TRUE(got == all) << "file of " << got.size() << " bytes, expected " << all.size();
    std::filesystem::remove(path);

    EXPECT_FALSE(OpenCaptureFile(path / "no" / "such" / "dir", error));
    EXPECT_FALSE(error.empty());
}

}  // namespace
