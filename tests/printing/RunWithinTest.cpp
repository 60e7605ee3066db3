// The bound on calls that may hang on a dead server.
#include "printing/RunWithin.h"

#include <gtest/gtest.h>

#include <stdexcept>

using namespace std::chrono;
using printing::RunWithin;

TEST(RunWithin, GivesTheResultInTimeAndNothingWhenLate)
{
    const struct {
        milliseconds work;
        milliseconds bound;
        std::optional<int> result;
    } cases[] = {{milliseconds(0), seconds(10), 7}, {seconds(20), milliseconds(200), std::nullopt}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.work.count());
        const auto start = steady_clock::now();
        const std::optional<int> result = RunWithin<int>(c.bound, [work = c.work] {
            std::this_thread::sleep_for(work);
            return 7;
        });
        EXPECT_EQ(result, c.result);
        // A late call is given up at the bound, not waited for.
        EXPECT_LT(steady_clock::now() - start, seconds(5));
    }
}

TEST(RunWithin, AnErrorInTimeReachesTheCaller)
{
    EXPECT_THROW(RunWithin<int>(seconds(10), []() -> int { throw std::runtime_error("spooler"); }), std::runtime_error);
}
