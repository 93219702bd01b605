// Loop thread only (loop_async_send excepted).
#include "player/loop_handles.h"

#include <new>

namespace {

void free_async(uv_handle_t *handle) noexcept { delete reinterpret_cast<LoopAsync *>(handle); }

void free_timer(uv_handle_t *handle) noexcept { delete reinterpret_cast<LoopTimer *>(handle); }

}  // namespace

LoopAsync *loop_async_new(uv_loop_t *loop, uv_async_cb callback, void *user) {
    auto *async = new (std::nothrow) LoopAsync{};
    if (!async) return nullptr;
    // A failed init (no eventfd left) leaves a handle that uv_close would
    // abort on, so it is freed here instead.
    if (uv_async_init(loop, &async->handle, callback) != 0) {
        delete async;
        return nullptr;
    }
    uv_handle_set_data(reinterpret_cast<uv_handle_t *>(&async->handle), user);
    return async;
}

void loop_async_close(LoopAsync *async) {
    if (!async) return;
    uv_close(reinterpret_cast<uv_handle_t *>(&async->handle), free_async);
}

void loop_async_send(LoopAsync *async) {
    if (async) uv_async_send(&async->handle);
}

LoopTimer *loop_timer_new(uv_loop_t *loop, void *user) {
    auto *timer = new (std::nothrow) LoopTimer{};
    if (!timer) return nullptr;
    uv_timer_init(loop, &timer->handle);
    timer->paused = false;
    timer->remaining_ms = 0;
    uv_handle_set_data(reinterpret_cast<uv_handle_t *>(&timer->handle), user);
    return timer;
}

void loop_timer_close(LoopTimer *timer) {
    if (!timer) return;
    uv_close(reinterpret_cast<uv_handle_t *>(&timer->handle), free_timer);
}

int loop_timer_start(LoopTimer *timer, uv_timer_cb callback, uint64_t timeout_ms, uint64_t repeat_ms) {
    if (!timer) return UV_EINVAL;
    int result = uv_timer_start(&timer->handle, callback, timeout_ms, repeat_ms);
    timer->callback = callback;
    timer->paused = false;
    timer->remaining_ms = 0;
    return result;
}

int loop_timer_stop(LoopTimer *timer) {
    if (!timer) return UV_EINVAL;
    int result = uv_timer_stop(&timer->handle);
    timer->paused = false;
    timer->remaining_ms = 0;
    return result;
}

bool loop_timer_is_active(const LoopTimer *timer) {
    return timer && uv_is_active(reinterpret_cast<const uv_handle_t *>(&timer->handle)) != 0;
}

bool loop_timer_is_paused(const LoopTimer *timer) { return timer && timer->paused; }

void loop_timer_pause(LoopTimer *timer) {
    if (!timer || timer->paused || !loop_timer_is_active(timer)) return;
    timer->paused = true;
    timer->remaining_ms = uv_timer_get_due_in(&timer->handle);
    uv_timer_stop(&timer->handle);
}

void loop_timer_resume(LoopTimer *timer) {
    if (!timer || !timer->paused) return;
    // libuv keeps the repeat interval of the last start in the handle.
    uv_timer_start(&timer->handle, timer->callback, timer->remaining_ms, uv_timer_get_repeat(&timer->handle));
    timer->paused = false;
    timer->remaining_ms = 0;
}
