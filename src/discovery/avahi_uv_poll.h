// AvahiUvPoll: Avahi's abstract event loop (AvahiPoll) served by the libuv
// loop, so the Avahi client runs on the loop thread with no thread or timer
// tick of its own. Watches become libuv poll handles, timeouts one-shot
// libuv timers. Loop thread only.
#pragma once

#include <sys/time.h>
#include <uv.h>

#include <cstdint>

struct AvahiPoll;
struct AvahiUvPoll;

AvahiUvPoll *avahi_uv_poll_new(uv_loop_t *loop);
// The interface to hand to avahi_client_new.
const AvahiPoll *avahi_uv_poll_get(AvahiUvPoll *poll);
// Stops and closes every watch and timeout still alive, then releases the
// adapter; their memory goes in their handles' close callbacks on the next
// loop iteration. Free the Avahi client first. Accepts none.
void avahi_uv_poll_free(AvahiUvPoll *poll);

// The libuv delay for an absolute expiry: whole milliseconds from now,
// rounded down, 0 for a time already past.
uint64_t avahi_uv_poll_delay_ms(const struct timeval &due, const struct timeval &now);
