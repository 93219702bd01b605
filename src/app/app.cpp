// app_wire runs on the main thread before the loop runs, the shutdown
// callback on the loop thread. on_sigint runs in signal context, on whichever
// thread the kernel picks, so it does nothing but wake the loop.
#include "app/app.h"

#include <sched.h>
#include <signal.h>

#include <atomic>
#include <cerrno>
#include <cstring>

#include "app/log.h"

namespace {

// The handle SIGINT wakes, or null once shutdown has begun. The handler
// counts itself in sigint_handlers_running around its use of the pointer, so
// the shutdown callback can wait for it before closing the handle.
std::atomic<LoopAsync *> sigint_target{nullptr};
std::atomic<int> sigint_handlers_running{0};
static_assert(std::atomic<LoopAsync *>::is_always_lock_free && std::atomic<int>::is_always_lock_free,
              "the SIGINT handler may only use lock-free atomics");

void on_sigint(int /*signal*/) noexcept {
    int saved_errno = errno;
    sigint_handlers_running.fetch_add(1);
    // uv_async_send is async-signal-safe; logging is not, so the line is
    // written by the shutdown callback on the loop thread.
    if (LoopAsync *async = sigint_target.load()) loop_async_send(async);
    sigint_handlers_running.fetch_sub(1);
    errno = saved_errno;
}

void on_shutdown(uv_async_t *handle) noexcept {
    auto *state = static_cast<AppState *>(uv_handle_get_data(reinterpret_cast<uv_handle_t *>(handle)));
    app_log(LOG_DEBUG, "Ctrl+C detected, quitting main loop");
    // A later SIGINT finds no handle. One that already holds the pointer runs
    // on another thread and is a few instructions from done: wait for it.
    sigint_target.store(nullptr);
    while (sigint_handlers_running.load() != 0) sched_yield();
    loop_async_close(state->shutdown_async);
    state->shutdown_async = nullptr;
    uv_stop(state->loop);
}

}  // namespace

bool app_wire(AppState *state, uv_loop_t *loop) {
    state->loop = loop;
    state->shutdown_async = loop_async_new(loop, on_shutdown, state);
    if (!state->shutdown_async) {
        app_log(LOG_ERROR, "Unable to create the shutdown handle");
        return false;
    }
    sigint_target.store(state->shutdown_async);

    struct sigaction action {};
    action.sa_handler = on_sigint;
    sigemptyset(&action.sa_mask);
    action.sa_flags = 0;
    if (sigaction(SIGINT, &action, nullptr) != 0) {
        app_log(LOG_ERROR, "Unable to install the SIGINT handler: %s", std::strerror(errno));
        sigint_target.store(nullptr);
        return false;
    }
    return true;
}
