#include "capture.h"
#include "messages.h"
#include "usage.h"

#include <climits>
#include <gtest/gtest.h>

namespace {

TEST(Messages, EveryResultHasItsLine) {
    for (int code = 0; code < 11; code++)
        EXPECT_EQ(capture([=] { print_error(code, "ERROR"); }).err, error_line(code)) << code;
    EXPECT_EQ(capture([] { print_error(10, "WARNING"); }).err, "WARNING: Feature not supported\n");
}

TEST(Messages, CodeOutsideTableStillGivesOneLine) {
    for (int code : {-1, 11, INT_MAX, INT_MIN}) {
        auto err = capture([=] { print_error(code, "ERROR"); }).err;
        EXPECT_EQ(err, "ERROR: Unknown result code " + std::to_string(code) + "\n");
    }
}

// As a UTF-8 terminal reads the bytes, and as an 8-bit one does.
TEST(Messages, ControlCharactersAreEscapedForTerminals) {
    auto utf8 = [](std::string_view text) {
        return escape_controls(text, true);
    };
    EXPECT_EQ(utf8("work"), "work");
    EXPECT_EQ(utf8("\x1b]0;x\x07"), "\\x1b]0;x\\x07");
    EXPECT_EQ(utf8(std::string("a\0\x1f\x7f", 4)), "a\\x00\\x1f\\x7f");
    EXPECT_EQ(utf8("\xc2\x80\xc2\x9f"), "\\xc2\\x80\\xc2\\x9f");
    // Printable text around them stays, and UTF-8 letters are no controls.
    EXPECT_EQ(utf8("\xc2\xa0 w\xc3\xb6rk \xc4\x9b"), "\xc2\xa0 w\xc3\xb6rk \xc4\x9b");
    EXPECT_EQ(utf8("a\\x1b"), "a\\\\x1b");
    EXPECT_EQ(utf8("\xc2"), "\xc2");
    // Bytes 0x80-0x9f outside UTF-8 are C1 (0x9b: CSI) to 8-bit terminals.
    EXPECT_EQ(utf8("\x9b"
                   "2J \xe2\x9b \xff\x85"),
              "\\x9b"
              "2J \xe2\\x9b \xff\\x85");
    EXPECT_EQ(utf8("\xe2\x9b\x84 \xe0\x82\x9b"), "\xe2\x9b\x84 \xe0\\x82\\x9b");
    EXPECT_EQ(utf8("x\xe2\x9b"), "x\xe2\\x9b"); // cut short by the end of the text
    // There, every such byte, also within what UTF-8 reads as a letter.
    EXPECT_EQ(escape_controls("\xc3\x9b"
                              "2J \xc3\xb6\x1b",
                              false),
              "\xc3\\x9b"
              "2J \xc3\xb6\\x1b");
}

} // namespace
