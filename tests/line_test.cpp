// The datagram line as a terminal shows it, in-process: which bytes pass and which are escaped.
#include "../src/datagram_line.hpp"
#include "../src/types.hpp"

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

namespace {

std::string shown(const std::string &bytes, TerminalText text)
{
    std::vector<char> room(5 + 4 * bytes.size() + 1);
    return {room.data(), terminalLine(room.data(), bytes.data(), bytes.size(), text)};
}

TEST(Line, ATerminalSeesNoByteThatCouldDriveItOrReorderItsText)
{
    const struct {
        std::string bytes;
        std::string asBytes;  // a terminal of one character a byte
        std::string asUtf8;   // a UTF-8 terminal
    } cases[] = {
        {"plain text\tand\nlines", "plain text\tand\nlines", "plain text\tand\nlines"},
        {"\x1b[31m\a\x01\x1f\x7f", "\\x1b[31m\\x07\\x01\\x1f\\x7f", "\\x1b[31m\\x07\\x01\\x1f\\x7f"},
        {"a\\b", "a\\\\b", "a\\\\b"},
        {std::string("cut\0here", 8), "cut", "cut"},
        // C1 controls: raw bytes, and as UTF-8 characters.
        {"\x80\x9b\x9f", "\\x80\\x9b\\x9f", "\\x80\\x9b\\x9f"},
        {"\xc2\x9b" "2J", "\xc2\\x9b" "2J", "\\xc2\\x9b" "2J"},
        {"\xc2\xa0\xc3\xa9", "\xc2\xa0\xc3\xa9", "\xc2\xa0\xc3\xa9"},  // no-break space, e acute
        // Bidirectional overrides and isolates; the marks around them stay.
        {"\xe2\x80\xaa\xe2\x80\xae\xe2\x81\xa6\xe2\x81\xa9", "\xe2\\x80\xaa\xe2\\x80\xae\xe2\\x81\xa6\xe2\\x81\xa9",
         "\\xe2\\x80\\xaa\\xe2\\x80\\xae\\xe2\\x81\\xa6\\xe2\\x81\\xa9"},
        {"\xe2\x80\xa9\xe2\x80\xaf\xe2\x81\xa5\xe2\x81\xaa", "\xe2\\x80\xa9\xe2\\x80\xaf\xe2\\x81\xa5\xe2\\x81\xaa",
         "\xe2\x80\xa9\xe2\x80\xaf\xe2\x81\xa5\xe2\x81\xaa"},
        {"\xf0\x9f\x98\x80 \xe4\xb8\xad", "\xf0\\x9f\\x98\\x80 \xe4\xb8\xad", "\xf0\x9f\x98\x80 \xe4\xb8\xad"},
        // Not UTF-8: a lone continuation, a cut sequence, overlong forms, a surrogate, past U+10FFFF,
        {"\xa9", "\xa9", "\\xa9"},
        {"\xe4\xb8", "\xe4\xb8", "\\xe4\\xb8"},
        {"\xc0\xaf\xe0\x80\xaf", "\xc0\xaf\xe0\\x80\xaf", "\\xc0\\xaf\\xe0\\x80\\xaf"},
        {"\xed\xa0\x80", "\xed\xa0\\x80", "\\xed\\xa0\\x80"},
        {"\xf4\x90\x80\x80\xf5", "\xf4\\x90\\x80\\x80\xf5", "\\xf4\\x90\\x80\\x80\\xf5"},
        // A lead where a continuation is due; a lead byte no UTF-8 has.
        {"\xc3\xc3\xa9", "\xc3\xc3\xa9", "\\xc3\xc3\xa9"},
        {"\xf8\x90\x80\x80", "\xf8\\x90\\x80\\x80", "\\xf8\\x90\\x80\\x80"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.bytes);
        EXPECT_EQ(shown(c.bytes, TerminalText::Bytes), "rcvd " + c.asBytes + "\n");
        EXPECT_EQ(shown(c.bytes, TerminalText::Utf8), "rcvd " + c.asUtf8 + "\n");
    }
}

// The user's locale says what a terminal reads.
TEST(Line, TheLocaleSaysHowATerminalReadsText)
{
    for (const auto &[locale, text] : {std::pair{"C.UTF-8", TerminalText::Utf8}, {"C", TerminalText::Bytes}}) {
        setenv("LC_ALL", locale, 1);
        EXPECT_EQ(terminalTextOfLocale(), text) << locale;
    }
}

// The longest line of the worst bytes fits the room the receive loop keeps for one line.
TEST(Line, TheWorstLineFitsItsRoom)
{
    for (const TerminalText text : {TerminalText::Bytes, TerminalText::Utf8}) {
        for (const std::size_t taken : {std::size_t{RECV_MAX}, std::size_t{65507}}) {
            const std::string worst(taken, '\x9b');
            EXPECT_EQ(shown(worst, text).size(), lineRoom(taken));
        }
    }
}

// A write cut short goes on from the first byte it did not take, past empty parts (a
// datagram whose first byte is zero) as past whole ones.
TEST(Line, AShortWriteGoesOnWhereItStopped)
{
    const struct {
        std::vector<std::string> parts;
        std::size_t written;
        std::string left;  // what is still to be written, the parts joined
        std::size_t partsLeft;
    } cases[] = {
        {{"rcvd ", "abc", "\n"}, 0, "rcvd abc\n", 3},
        {{"rcvd ", "abc", "\n"}, 2, "vd abc\n", 3},
        {{"rcvd ", "abc", "\n"}, 5, "abc\n", 2},
        {{"rcvd ", "abc", "\n"}, 7, "c\n", 2},
        {{"rcvd ", "", "\n"}, 5, "\n", 1},
        {{"rcvd ", "abc", "\n"}, 9, "", 0},
        {{"", "", "x"}, 0, "x", 1},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(testing::PrintToString(c.parts) + " " + std::to_string(c.written));
        std::vector<std::string> bytes = c.parts;
        std::vector<iovec> parts;
        for (auto &part : bytes)
            parts.push_back({part.data(), part.size()});
        iovec *at = parts.data();
        const std::size_t count = skipWritten(at, parts.size(), c.written);
        std::string left;
        for (std::size_t i = 0; i < count; ++i)
            left.append(static_cast<const char *>(at[i].iov_base), at[i].iov_len);
        EXPECT_EQ(count, c.partsLeft);
        EXPECT_EQ(left, c.left);
        if (count > 0) {
            EXPECT_NE(at[0].iov_len, 0u);  // no empty part is handed on first
        }
    }
}

}  // namespace
