// Heap-allocated libuv async and timer handles shared by every loop-side
// module. All operations run on the loop thread, except loop_async_send,
// which any thread (and a signal handler) may call.
#pragma once

#include <uv.h>

#include <cstdint>

// An async handle carrying a user pointer (its handle data). The callback
// receives the uv_async_t; uv_handle_get_data gives the user pointer back.
struct LoopAsync {
    uv_async_t handle;
};

// Null when the handle cannot be allocated or initialised.
LoopAsync *loop_async_new(uv_loop_t *loop, uv_async_cb callback, void *user);
// Closes the handle; its memory is released in the close callback. The
// object must not be touched afterwards.
void loop_async_close(LoopAsync *async);
// Wakes the loop; several sends before the callback runs give one run.
// Async-signal-safe.
void loop_async_send(LoopAsync *async);

// A one-shot or repeating timer that can be paused and resumed without
// losing its remaining time. The uv_timer_t comes first, so a pointer to the
// handle is a pointer to the LoopTimer.
struct LoopTimer {
    uv_timer_t handle;
    bool paused;
    uint64_t remaining_ms;
    uv_timer_cb callback;  // of the last start; a resume restarts with it
};

// Null when the timer cannot be allocated. Every operation below accepts a
// null timer and does nothing (start and stop return UV_EINVAL).
LoopTimer *loop_timer_new(uv_loop_t *loop, void *user);
void loop_timer_close(LoopTimer *timer);
int loop_timer_start(LoopTimer *timer, uv_timer_cb callback, uint64_t timeout_ms, uint64_t repeat_ms);
int loop_timer_stop(LoopTimer *timer);
bool loop_timer_is_active(const LoopTimer *timer);
bool loop_timer_is_paused(const LoopTimer *timer);
void loop_timer_pause(LoopTimer *timer);
void loop_timer_resume(LoopTimer *timer);
