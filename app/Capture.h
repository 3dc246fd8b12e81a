// Recording to a file: the log lines as UTF-8 text, or the received bytes
// exactly as they came. Writes are buffered and go out on Flush (the caller
// flushes at least once a second); the first failed write stops the capture
// and keeps its reason, and the file keeps what was written before.
#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>
#include <string_view>

enum class CaptureFormat : std::uint8_t { Text, Raw };

// Where the bytes go; a file, or a stand-in for tests.
class CaptureSink {
public:
    virtual ~CaptureSink() = default;
    // False on failure, with the reason in Error().
    virtual bool Write(std::string_view bytes) = 0;
    virtual bool Flush() = 0;
    virtual void Close() = 0;
    virtual std::string Error() const = 0;
};

// A file created anew (truncated); null with the reason in error.
std::unique_ptr<CaptureSink> OpenCaptureFile(const std::filesystem::path& name, std::string& error);

class Capture {
public:
    Capture() = default;
    Capture(const Capture&) = delete;
    Capture& operator=(const Capture&) = delete;
    ~Capture();

    void Start(std::unique_ptr<CaptureSink> sink, CaptureFormat format);
    // Flushes and closes; false when that last write failed.
    bool Stop();
    bool Active() const { return sink_ != nullptr; }
    CaptureFormat Format() const { return format_; }

    // Text lines (ending in their own line ends) in the text format, bytes
    // in the raw format; the other kind is ignored.
    void AddText(std::string_view lines);
    void AddRaw(std::string_view bytes);
    // Writes what is buffered; false when the write failed (the capture is
    // then stopped and Error() says why).
    bool Flush();

    // Bytes handed to the file so far, and buffered ones.
    std::uint64_t Size() const { return written_ + pending_.size(); }
    const std::string& Error() const { return error_; }

private:
    void Add(std::string_view bytes);
    void Fail();

    std::unique_ptr<CaptureSink> sink_;
    CaptureFormat format_ = CaptureFormat::Text;
    std::string pending_;
    std::uint64_t written_ = 0;
    std::string error_;
};
