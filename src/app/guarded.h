// Where C calls into the daemon (a C library's callback, an SDK delegate, a
// handler of the HTTP server) no exception may pass: unwinding through C
// frames is undefined. Each such function runs its body through guarded.
// Any thread.
#pragma once

#include <utility>

// The body's result, or on_exception when the body throws.
template <class Result, class Body>
Result guarded(Result on_exception, Body &&body) noexcept {
    try {
        return std::forward<Body>(body)();
    } catch (...) {
        return on_exception;
    }
}

// For a body without a result: an exception ends it, and nothing else.
template <class Body>
void guarded(Body &&body) noexcept {
    try {
        std::forward<Body>(body)();
    } catch (...) {
    }
}
