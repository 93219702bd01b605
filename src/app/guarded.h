// The boundary between C and the daemon's C++: a function that a C library
// (libuv, the SDK, cnats, ...) or a C-style callback table calls must not let
// an exception out, since nothing on the other side can unwind it. These
// helpers stop it there and log it at ERROR. They run on the thread of the
// function they guard, which must be one that may log: never PipeWire's
// realtime thread.
#pragma once

#include <type_traits>
#include <utility>

// Logs the exception being handled; only inside a catch block.
void log_stopped_exception(const char *where) noexcept;

// Runs body; an exception is logged with where and goes no further.
template <class Body>
void guarded(const char *where, Body &&body) noexcept {
    try {
        std::forward<Body>(body)();
    } catch (...) {
        log_stopped_exception(where);
    }
}

// Runs body and returns its result, or fallback after an exception.
template <class Result, class Body>
Result guarded(const char *where, Result fallback, Body &&body) noexcept {
    try {
        return std::forward<Body>(body)();
    } catch (...) {
        log_stopped_exception(where);
        return fallback;
    }
}

template <auto function>
struct GuardedCallback;

template <class Result, class... Args, Result (*function)(Args...)>
struct GuardedCallback<function> {
    static Result call(Args... args) noexcept {
        if constexpr (std::is_void_v<Result>) {
            guarded("a callback from C", [&] { function(args...); });
        } else {
            return guarded("a callback from C", Result{}, [&] { return function(args...); });
        }
    }
};

// The function to hand to C in place of function: the same signature,
// noexcept, and after an exception it returns a value-initialised result
// (0, false or null). Tables of callbacks use it, so the functions they
// name can be plain C++.
template <auto function>
inline constexpr auto guarded_callback = &GuardedCallback<function>::call;
