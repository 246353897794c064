#include "capture.h"
#include "usage.h"

#include <climits>
#include <gtest/gtest.h>

namespace {

TEST(Messages, ErrorLineIsLabelColonBlankAndTableMessage) {
    EXPECT_EQ(capture([] { print_error(0, "ERROR"); }).err, "ERROR: ");
    EXPECT_EQ(capture([] { print_error(1, "ERROR"); }).err, "ERROR: Access to keyring denied\n");
    EXPECT_EQ(capture([] { print_error(7, "ERROR"); }).err, "ERROR: User interupted\n");
    EXPECT_EQ(capture([] { print_error(10, "WARNING"); }).err, "WARNING: Feature not supported\n");
}

TEST(Messages, EveryCodeButSuccessHasOneLine) {
    for (size_t code = 1; code < kErrorMessages; code++) {
        std::string message = error_msg[code];
        EXPECT_EQ(message.find('\n'), message.size() - 1) << code;
    }
}

TEST(Messages, CodeOutsideTableStillGivesOneLine) {
    for (int code : {-1, 11, INT_MAX, INT_MIN}) {
        auto err = capture([=] { print_error(code, "ERROR"); }).err;
        EXPECT_EQ(err, "ERROR: Unknown result code " + std::to_string(code) + "\n");
    }
}

TEST(Messages, ControlCharactersAreEscapedForTerminals) {
    EXPECT_EQ(escape_controls("work"), "work");
    EXPECT_EQ(escape_controls("\x1b]0;x\x07"), "\\x1b]0;x\\x07");
    EXPECT_EQ(escape_controls(std::string("a\0\x1f\x7f", 4)), "a\\x00\\x1f\\x7f");
    EXPECT_EQ(escape_controls("\xc2\x80\xc2\x9f"), "\\xc2\\x80\\xc2\\x9f");
    // Printable text around them stays, and UTF-8 letters are no controls.
    EXPECT_EQ(escape_controls("\xc2\xa0 w\xc3\xb6rk \xc4\x9b"), "\xc2\xa0 w\xc3\xb6rk \xc4\x9b");
    EXPECT_EQ(escape_controls("a\\x1b"), "a\\\\x1b");
    EXPECT_EQ(escape_controls("\xc2"), "\xc2");
}

} // namespace
