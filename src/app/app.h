// The process-wide state through which loop callbacks reach the daemon's
// long-lived objects, its wiring and its shutdown. Wiring runs on the main
// thread before the loop runs; shutdown runs on the loop thread.
#pragma once

#include <uv.h>

#include "player/loop_handles.h"

struct AppState {
    uv_loop_t *loop = nullptr;
    // Woken by SIGINT; its callback releases everything and stops the loop.
    LoopAsync *shutdown_async = nullptr;
};

// Fills the state for the loop, creates the shutdown handle and installs the
// SIGINT handler. The state must outlive the loop run. False when the daemon
// cannot run; the reason has been logged.
bool app_wire(AppState *state, uv_loop_t *loop);
