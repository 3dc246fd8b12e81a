#include "ReplyCheck.h"

#include <algorithm>

namespace {

// Bytes of what came that an excerpt shows.
constexpr std::size_t kExcerptBytes = 48;

int HexDigit(wchar_t c) {
    if (c >= L'0' && c <= L'9') return c - L'0';
    if (c >= L'A' && c <= L'F') return c - L'A' + 10;
    if (c >= L'a' && c <= L'f') return c - L'a' + 10;
    return -1;
}

std::wstring CodePoint(wchar_t c) {
    static const wchar_t digits[] = L"0123456789ABCDEF";
    std::wstring h;
    for (int s = 12; s >= 0; s -= 4) h += digits[(static_cast<unsigned>(c) >> s) & 15];
    return h;
}

std::wstring At(std::size_t i) { return L" at character " + std::to_wstring(i + 1); }

bool ParseHex(const std::wstring& text, std::size_t start, TExpectedReply& reply,
              std::wstring& error) {
    std::size_t i = start;
    const std::size_t n = text.size();
    while (i < n) {
        if (text[i] == L' ' || text[i] == L'\t') {
            ++i;
            continue;
        }
        if (i + 1 >= n || text[i + 1] == L' ' || text[i + 1] == L'\t') {
            error = L"a hex byte needs two digits" + At(i);
            return false;
        }
        if (text[i] == L'?' && text[i + 1] == L'?') {
            reply.pattern.push_back(kAnyByte);
        } else {
            const int hi = HexDigit(text[i]), lo = HexDigit(text[i + 1]);
            if (hi < 0 || lo < 0) {
                error = L"\"" + text.substr(i, 2) + L"\" is no hex byte or ??" + At(i);
                return false;
            }
            reply.pattern.push_back(hi * 16 + lo);
        }
        i += 2;
    }
    return true;
}

// One <...> escape starting at text[i]; sets `next` past it.
bool ParseEscape(const std::wstring& text, std::size_t i, int& byte, std::size_t& next,
                 std::wstring& error) {
    const std::size_t close = text.find(L'>', i);
    const std::wstring inner =
        close == std::wstring::npos ? std::wstring() : text.substr(i + 1, close - i - 1);
    if (inner == L"CR") {
        byte = 0x0D;
    } else if (inner == L"LF") {
        byte = 0x0A;
    } else if (inner.size() == 2 && HexDigit(inner[0]) >= 0 && HexDigit(inner[1]) >= 0) {
        byte = HexDigit(inner[0]) * 16 + HexDigit(inner[1]);
    } else {
        const std::wstring shown =
            text.substr(i, close == std::wstring::npos ? 6 : std::min<std::size_t>(close - i + 1, 8));
        error = L"\"" + shown + L"\"" + At(i) +
                L" is not <CR>, <LF> or a byte <HH> (write \"<\" as <3C>)";
        return false;
    }
    next = close + 1;
    return true;
}

}  // namespace

bool ParseExpectedReply(const std::wstring& text, TExpectedReply& reply, std::wstring& error) {
    reply.pattern.clear();
    error.clear();
    const bool hex = text.size() >= 4 && (text[0] == L'H' || text[0] == L'h') &&
                     (text[1] == L'E' || text[1] == L'e') && (text[2] == L'X' || text[2] == L'x') &&
                     text[3] == L':';
    if (hex) {
        if (!ParseHex(text, 4, reply, error)) return false;
    } else {
        std::size_t i = 0;
        while (i < text.size()) {
            const wchar_t c = text[i];
            if (c == L'<') {
                int byte = 0;
                if (!ParseEscape(text, i, byte, i, error)) return false;
                reply.pattern.push_back(byte);
            } else if (c >= 0x20 && c < 0x7F) {
                reply.pattern.push_back(static_cast<int>(c));
                ++i;
            } else {
                error = L"the character U+" + CodePoint(c) + At(i) +
                        L" is not printable ASCII: write its bytes as <HH>";
                return false;
            }
        }
    }
    if (reply.pattern.empty()) {
        error = L"the expected reply is empty";
        return false;
    }
    if (reply.pattern.size() > kMaxExpectedBytes) {
        error = L"the expected reply is longer than " + std::to_wstring(kMaxExpectedBytes) + L" bytes";
        return false;
    }
    return true;
}

std::wstring RenderLogBytes(std::string_view bytes) {
    static const wchar_t digits[] = L"0123456789ABCDEF";
    std::wstring out;
    out.reserve(bytes.size());
    for (char ch : bytes) {
        const auto b = static_cast<unsigned char>(ch);
        if (b >= 0x20 && b < 0x7F) {
            out.push_back(static_cast<wchar_t>(b));
        } else if (b == 0x0D) {
            out += L"<CR>";
        } else if (b == 0x0A) {
            out += L"<LF>";
        } else {
            out += {L'<', digits[b >> 4], digits[b & 15], L'>'};
        }
    }
    return out;
}

TReplyMatcher::TReplyMatcher(const TExpectedReply& reply)
    : length_(reply.pattern.size()), words_(std::max<std::size_t>(1, (length_ + 63) / 64)) {
    masks_.assign(256 * words_, 0);
    for (std::size_t j = 0; j < length_; ++j) {
        const std::uint64_t bit = std::uint64_t{1} << (j % 64);
        const int p = reply.pattern[j];
        for (int b = 0; b < 256; ++b)
            if (p == kAnyByte || p == b) masks_[static_cast<std::size_t>(b) * words_ + j / 64] |= bit;
    }
    Reset();
}

void TReplyMatcher::Reset() {
    state_.assign(words_, 0);
    head_.clear();
    received_ = 0;
    matchOffset_ = 0;
    matched_ = false;
}

bool TReplyMatcher::Feed(std::string_view bytes) {
    if (matched_ || length_ == 0) return matched_;
    const std::size_t lastWord = (length_ - 1) / 64;
    const std::uint64_t lastBit = std::uint64_t{1} << ((length_ - 1) % 64);
    for (char ch : bytes) {
        if (head_.size() < kExcerptBytes) head_.push_back(ch);
        ++received_;
        // Shift-and: extend every partial match by this byte, start a new one.
        const std::uint64_t* mask = &masks_[static_cast<unsigned char>(ch) * words_];
        std::uint64_t carry = 1;
        for (std::size_t w = 0; w < words_; ++w) {
            const std::uint64_t next = state_[w] >> 63;
            state_[w] = ((state_[w] << 1) | carry) & mask[w];
            carry = next;
        }
        if (state_[lastWord] & lastBit) {
            matched_ = true;
            matchOffset_ = received_ - length_;
            return true;
        }
    }
    return false;
}

std::wstring TReplyMatcher::Excerpt() const {
    std::wstring text = RenderLogBytes(head_);
    if (received_ > head_.size())
        text += L"... (" + std::to_wstring(received_) + L" bytes)";
    return text;
}
