// The guard that keeps exceptions from crossing into C.
#include "app/guarded.h"

#include <gtest/gtest.h>

#include <new>
#include <stdexcept>

namespace {

TEST(Guarded, PassesTheResultAndTurnsAnyExceptionIntoTheFallback) {
    EXPECT_EQ(guarded(-1, [] { return 7; }), 7);
    EXPECT_EQ(guarded(-1, []() -> int { throw std::bad_alloc(); }), -1);
    EXPECT_EQ(guarded(-1, []() -> int { throw 42; }), -1);
    static_assert(noexcept(guarded(0, []() -> int { throw std::runtime_error("x"); })));

    int steps = 0;
    guarded([&] {
        ++steps;
        throw std::runtime_error("stop here");
        ++steps;
    });
    EXPECT_EQ(steps, 1);
    static_assert(noexcept(guarded([] { throw 1; })));
}

}  // namespace
