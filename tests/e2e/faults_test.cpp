// When the daemon, the bus or the output fail, and bad input.
#include "harness.h"

#include <gtest/gtest.h>

namespace {} // namespace
