// An arbitrary expected reply and received stream, fed in arbitrary pieces:
// the streaming matcher must find exactly the first match a plain search
// finds. Input: [text length][piece seed][text as Latin-1][stream].
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "ReplyCheck.h"

namespace {

[[noreturn]] void Fail(const char* what) {
    std::fprintf(stderr, "fuzz_replycheck: %s\n", what);
    std::abort();
}

// End (exclusive) of the first match, or 0 when there is none.
std::size_t PlainSearch(const TExpectedReply& reply, const std::string& stream) {
    const std::size_t m = reply.pattern.size();
    for (std::size_t end = m; end <= stream.size(); ++end) {
        bool same = true;
        for (std::size_t j = 0; j < m && same; ++j) {
            const int p = reply.pattern[j];
            same = p == kAnyByte || p == static_cast<unsigned char>(stream[end - m + j]);
        }
        if (same) return end;
    }
    return 0;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 2) return 0;
    const std::size_t textSize = std::min<std::size_t>(data[0], size - 2);
    const unsigned seed = data[1];
    std::wstring text;
    for (std::size_t i = 0; i < textSize; ++i) text.push_back(static_cast<wchar_t>(data[2 + i]));
    const std::string stream(reinterpret_cast<const char*>(data) + 2 + textSize, size - 2 - textSize);

    TExpectedReply reply;
    std::wstring error;
    if (!ParseExpectedReply(text, reply, error)) {
        if (error.empty()) Fail("refused without a reason");
        return 0;
    }
    if (reply.pattern.empty() || reply.pattern.size() > kMaxExpectedBytes) Fail("bad pattern size");

    TReplyMatcher matcher(reply);
    std::size_t at = 0, piece = 0;
    while (at < stream.size()) {
        const std::size_t n = std::min<std::size_t>(stream.size() - at, (seed >> (piece++ % 5)) % 9 + 1);
        matcher.Feed(std::string_view(stream).substr(at, n));
        at += n;
    }
    const std::size_t end = PlainSearch(reply, stream);
    if (matcher.Matched() != (end != 0)) Fail("match found by one search only");
    if (end != 0 && matcher.MatchOffset() + reply.pattern.size() != end) Fail("match at another place");
    if (!matcher.Matched() && matcher.Received() != stream.size()) Fail("bytes lost");
    if (matcher.Excerpt().empty() != (matcher.Received() == 0)) Fail("excerpt");
    return 0;
}
