// Expected replies: their notation, and the streaming matcher.
#include <gtest/gtest.h>

#include <string>

#include "ReplyCheck.h"

namespace {

TExpectedReply Parse(const std::wstring& text) {
    TExpectedReply reply;
    std::wstring error;
    EXPECT_TRUE(ParseExpectedReply(text, reply, error)) << "parse error: " << std::string(error.begin(), error.end());
    return reply;
}

std::wstring ErrorOf(const std::wstring& text) {
    TExpectedReply reply;
    std::wstring error;
    EXPECT_FALSE(ParseExpectedReply(text, reply, error));
    return error;
}

TEST(ReplyCheck, TextEscapesAreTheLogsNotation) {
    EXPECT_EQ(Parse(L"OK<CR><LF>").pattern, (std::vector<int>{'O', 'K', 0x0D, 0x0A}));
    EXPECT_EQ(Parse(L"<3C>a<ff>").pattern, (std::vector<int>{'<', 'a', 0xFF}));
    EXPECT_EQ(Parse(L"hex:4F4b ?? 0d").pattern, (std::vector<int>{0x4F, 0x4B, kAnyByte, 0x0D}));
    EXPECT_EQ(RenderLogBytes(std::string("A<\r\n\x01\xFF", 6)), L"A<<CR><LF><01><FF>");
}

TEST(ReplyCheck, MistakesAreNamedWithTheirPlace) {
    EXPECT_EQ(ErrorOf(L"OK<G1>"),
              L"\"<G1>\" at character 3 is not <CR>, <LF> or a byte <HH> (write \"<\" as <3C>)");
    EXPECT_NE(ErrorOf(L"a<0D").find(L"at character 2"), std::wstring::npos);
    EXPECT_NE(ErrorOf(L"<123>").find(L"not <CR>, <LF>"), std::wstring::npos);
    EXPECT_EQ(ErrorOf(L"HEX:01 0"), L"a hex byte needs two digits at character 8");
    EXPECT_EQ(ErrorOf(L"HEX:01 ?1"), L"\"?1\" is no hex byte or ?? at character 8");
    EXPECT_NE(ErrorOf(L"caf\u00E9").find(L"U+00E9 at character 4"), std::wstring::npos);
    EXPECT_EQ(ErrorOf(L"HEX: "), L"the expected reply is empty");
    EXPECT_NE(ErrorOf(std::wstring(kMaxExpectedBytes + 1, L'a')).find(L"longer"), std::wstring::npos);
}

TEST(ReplyCheck, MatchStraddlesPiecesAtEveryCut) {
    const std::string stream = "\r\nOKAY\r\nOK\r\n";
    for (std::size_t cut1 = 0; cut1 <= stream.size(); ++cut1) {
        for (std::size_t cut2 = cut1; cut2 <= stream.size(); ++cut2) {
            TReplyMatcher m(Parse(L"OK<CR><LF>"));
            m.Feed(stream.substr(0, cut1));
            m.Feed(stream.substr(cut1, cut2 - cut1));
            m.Feed(stream.substr(cut2));
            ASSERT_TRUE(m.Matched()) << cut1 << "," << cut2;
            EXPECT_EQ(m.MatchOffset(), 8u);
        }
    }
}

TEST(ReplyCheck, AnyByteMatchesEveryByteButOnlyOne) {
    TReplyMatcher m(Parse(L"HEX:02 ?? 03"));
    EXPECT_FALSE(m.Feed(std::string("\x02\x03\x02\x41\x41\x03", 6)));
    EXPECT_TRUE(m.Feed(std::string("\x02\x00\x03", 3)));
    EXPECT_EQ(m.MatchOffset(), 6u);
    // A pattern longer than one machine word, with a wildcard in each word.
    std::wstring text = L"HEX:";
    std::string stream(7, 'x');
    for (int i = 0; i < 150; ++i) {
        text += i % 64 == 5 ? L"?? " : L"41 ";
        stream += i % 64 == 5 ? '\x99' : 'A';
    }
    TReplyMatcher longer(Parse(text));
    EXPECT_TRUE(longer.Feed(stream));
    EXPECT_EQ(longer.MatchOffset(), 7u);
}

TEST(ReplyCheck, WhatCameInsteadIsShortenedAsTheLogShowsIt) {
    TReplyMatcher m(Parse(L"OK"));
    EXPECT_EQ(m.Excerpt(), L"");
    std::string reply = "\r\nERROR\r\n";
    reply += std::string(100, '\x07');
    for (char c : reply) m.Feed(std::string(1, c));
    EXPECT_FALSE(m.Matched());
    std::wstring expected = L"<CR><LF>ERROR<CR><LF>";
    for (int i = 0; i < 48 - 9; ++i) expected += L"<07>";
    EXPECT_EQ(m.Excerpt(), expected + L"... (109 bytes)");
    m.Reset();
    m.Feed("OK");
    EXPECT_TRUE(m.Matched());
}

}  // namespace
