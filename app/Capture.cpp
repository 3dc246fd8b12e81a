#include "Capture.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace {

// Large enough that a fast stream is written in big pieces.
constexpr std::size_t kFlushAt = 1 << 20;

class FileSink : public CaptureSink {
public:
    explicit FileSink(std::FILE* f) : f_(f) {}
    ~FileSink() override { Close(); }
    bool Write(std::string_view bytes) override {
        if (!f_) return Failed(EBADF);
        errno = 0;
        if (std::fwrite(bytes.data(), 1, bytes.size(), f_) != bytes.size()) return Failed(errno);
        return true;
    }
    bool Flush() override {
        if (!f_) return Failed(EBADF);
        errno = 0;
        if (std::fflush(f_) != 0) return Failed(errno);
        return true;
    }
    void Close() override {
        if (f_) std::fclose(f_);
        f_ = nullptr;
    }
    std::string Error() const override { return error_; }

private:
    bool Failed(int err) {
        error_ = err ? std::strerror(err) : "write failed";
        return false;
    }
    std::FILE* f_;
    std::string error_;
};

}  // namespace

std::unique_ptr<CaptureSink> OpenCaptureFile(const std::filesystem::path& name, std::string& error) {
    errno = 0;
#ifdef _WIN32
    std::FILE* f = _wfopen(name.c_str(), L"wb");
#else
    std::FILE* f = std::fopen(name.c_str(), "wb");
#endif
    if (!f) {
        error = errno ? std::strerror(errno) : "cannot create the file";
        return nullptr;
    }
    // Our own buffer does the batching.
    std::setvbuf(f, nullptr, _IONBF, 0);
    return std::make_unique<FileSink>(f);
}

Capture::~Capture() { Stop(); }

void Capture::Start(std::unique_ptr<CaptureSink> sink, CaptureFormat format) {
    Stop();
    sink_ = std::move(sink);
    format_ = format;
    pending_.clear();
    written_ = 0;
    error_.clear();
}

bool Capture::Stop() {
    if (!sink_) return error_.empty();
    const bool ok = Flush();
    if (sink_) {
        sink_->Close();
        sink_.reset();
    }
    return ok;
}

void Capture::AddText(std::string_view lines) {
    if (format_ == CaptureFormat::Text) Add(lines);
}

void Capture::AddRaw(std::string_view bytes) {
    if (format_ == CaptureFormat::Raw) Add(bytes);
}

void Capture::Add(std::string_view bytes) {
    if (!sink_) return;
    pending_.append(bytes);
    if (pending_.size() >= kFlushAt) Flush();
}

bool Capture::Flush() {
    if (!sink_) return false;
    if (!pending_.empty()) {
        if (!sink_->Write(pending_)) {
            Fail();
            return false;
        }
        written_ += pending_.size();
        pending_.clear();
    }
    if (!sink_->Flush()) {
        Fail();
        return false;
    }
    return true;
}

void Capture::Fail() {
    error_ = sink_->Error();
    if (error_.empty()) error_ = "write failed";
    pending_.clear();
    sink_->Close();
    sink_.reset();
}
