// The reply a command must get, and a matcher that watches the received
// bytes for it.
//
// An expected reply is written either as text, found anywhere in what the
// device sends, with <CR>, <LF> and <HH> for bytes as the text log shows
// them (printable ASCII stands for itself; a "<" is written <3C>), or as
// "HEX:" and two-digit hex bytes, where "??" matches any byte.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

// Longest expected reply, in bytes; keeps the matcher's state small.
constexpr std::size_t kMaxExpectedBytes = 512;

struct TExpectedReply {
    // One entry per byte: 0..255, or kAnyByte.
    std::vector<int> pattern;
};

constexpr int kAnyByte = -1;

// Parses an expected reply. On a mistake returns false and says in `error`
// what is wrong and where (the character position, counted from 1).
bool ParseExpectedReply(const std::wstring& text, TExpectedReply& reply, std::wstring& error);

// Bytes as the text log shows them: printable ASCII as it is, CR and LF as
// <CR> and <LF>, every other byte as <HH>.
std::wstring RenderLogBytes(std::string_view bytes);

// Watches a byte stream, fed in pieces of any size, for the first place the
// reply occurs; a match may straddle pieces. Memory stays bounded whatever
// the stream's length: the bit-parallel state plus the first few bytes kept
// to tell what came instead.
class TReplyMatcher {
public:
    explicit TReplyMatcher(const TExpectedReply& reply);

    // Forgets everything fed so far.
    void Reset();
    // Feeds the next bytes; true once the reply has been seen (bytes fed
    // after that are ignored).
    bool Feed(std::string_view bytes);

    bool Matched() const { return matched_; }
    // Offset of the match's first byte in the stream fed since Reset.
    std::uint64_t MatchOffset() const { return matchOffset_; }
    // Bytes fed since Reset (up to the end of the match once matched).
    std::uint64_t Received() const { return received_; }
    // What came, shortened: its start as the text log shows it, and how many
    // bytes there were in all when that was more. Empty when nothing came.
    std::wstring Excerpt() const;

private:
    std::size_t length_;
    std::size_t words_;
    std::vector<std::uint64_t> masks_;  // 256 rows of words_: pattern positions a byte may fill
    std::vector<std::uint64_t> state_;  // bit j: the last j+1 bytes match the pattern's start
    std::string head_;                  // the first bytes fed
    std::uint64_t received_ = 0;
    std::uint64_t matchOffset_ = 0;
    bool matched_ = false;
};
