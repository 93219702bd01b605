// The guard at the C boundary: what it lets through and what it stops.
#include "app/guarded.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>

#include "capture.h"

namespace {

size_t take_half(size_t size, void *user) {
    ++*static_cast<int *>(user);
    return size / 2;
}
size_t refuse(size_t, void *) { throw std::runtime_error("refused"); }
void throw_a_number(int value) { throw value; }

// What a C table stores: a plain function pointer of the same signature.
using DataCallback = size_t (*)(size_t size, void *user);
static_assert(noexcept(guarded_callback<refuse>(1, nullptr)));

TEST(Guarded, AnExceptionStopsThereWithAnErrorLineAndTheFallback) {
    StreamCapture out(STDOUT_FILENO);
    EXPECT_EQ(guarded("a test body", 7, []() -> int { throw std::runtime_error("broken"); }), 7);
    guarded("a void body", [] { throw 42; });
    std::string text = out.finish();
    EXPECT_NE(text.find("ERROR JuxApp: Exception stopped at a test body: broken\n"), std::string::npos) << text;
    EXPECT_NE(text.find("ERROR JuxApp: Exception stopped at a void body\n"), std::string::npos) << text;
}

TEST(Guarded, ABodyThatDoesNotThrowRunsUntouched) {
    StreamCapture out(STDOUT_FILENO);
    int runs = 0;
    auto count_and_answer = [&] {
        ++runs;
        return 5;
    };
    EXPECT_EQ(guarded("a counting body", -1, count_and_answer), 5);
    guarded("another counting body", [&] { ++runs; });
    EXPECT_EQ(runs, 2);
    EXPECT_EQ(out.finish(), "");
}

TEST(Guarded, ACallbackKeepsItsSignatureAndAnswersZeroAfterAnException) {
    StreamCapture out(STDOUT_FILENO);
    int calls = 0;
    DataCallback halving = guarded_callback<take_half>;
    EXPECT_EQ(halving(10, &calls), 5u);
    EXPECT_EQ(calls, 1);
    DataCallback refusing = guarded_callback<refuse>;
    EXPECT_EQ(refusing(10, &calls), 0u);
    void (*throwing)(int) = guarded_callback<throw_a_number>;
    throwing(3);
    std::string text = out.finish();
    EXPECT_NE(text.find("ERROR JuxApp: Exception stopped at a callback from C: refused\n"), std::string::npos) << text;
    EXPECT_NE(text.find("ERROR JuxApp: Exception stopped at a callback from C\n"), std::string::npos) << text;
}

}  // namespace
