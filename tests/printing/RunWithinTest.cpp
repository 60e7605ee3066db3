// The bound on calls that may hang on a dead server.
#include "printing/RunWithin.h"

#include <gtest/gtest.h>

#include <stdexcept>

using namespace std::chrono;

TEST(RunWithin, ResultInTimeNothingWhenLateErrorPassedOn)
{
    const auto start = steady_clock::now();
    EXPECT_EQ(printing::RunWithin<int>(seconds(10), [] { return 7; }), 7);
    EXPECT_EQ(printing::RunWithin<int>(milliseconds(200), [] { return std::this_thread::sleep_for(seconds(20)), 7; }),
              std::nullopt);
    EXPECT_LT(steady_clock::now() - start, seconds(5)); // a late call is given up, not waited for
    EXPECT_THROW(printing::RunWithin<int>(seconds(10), []() -> int { throw std::runtime_error("spooler"); }),
                 std::runtime_error);
}
