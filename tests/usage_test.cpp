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

} // namespace
