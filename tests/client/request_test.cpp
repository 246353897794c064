// A batch's guard: a call added once its calls have gone out would never
// be sent, and the slot handed back would never be filled.
#include "replies.h"
#include "request.h"

#include <gtest/gtest.h>

namespace {

using namespace keyring_client;

TEST(BatchDeathTest, ACallAddedToABatchSentAlreadyAborts) {
    EXPECT_DEATH(
        {
            Batch batch;
            Waiting waiting;
            batch.exchange(waiting);
            batch.add<read_empty>(nullptr);
        },
        "a call added to a batch already sent");
}

} // namespace
