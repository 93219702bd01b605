// Loop thread only: Avahi calls these operations from inside its own calls
// made on the loop thread, or from the callbacks dispatched here from libuv.
#include "discovery/avahi_uv_poll.h"

#include <avahi-common/malloc.h>
#include <avahi-common/timeval.h>
#include <avahi-common/watch.h>

namespace {

// Every watch and timeout starts with this, so the adapter can destroy any
// entry of its list without knowing its kind.
struct PollEntry {
    void (*destroy)(PollEntry *entry);
    PollEntry *next;
    PollEntry *previous;
};

void list_append(PollEntry &head, PollEntry *entry) {
    entry->previous = head.previous;
    entry->next = &head;
    head.previous->next = entry;
    head.previous = entry;
}

void list_remove(PollEntry *entry) {
    entry->previous->next = entry->next;
    entry->next->previous = entry->previous;
    entry->next = entry->previous = entry;
}

void free_handle_data(uv_handle_t *handle) { avahi_free(uv_handle_get_data(handle)); }

}  // namespace

struct AvahiUvPoll {
    uv_loop_t *loop;
    AvahiPoll api;
    PollEntry entries;  // list head; circular
};

struct AvahiWatch {
    PollEntry entry;
    int fd;
    uv_poll_t poll;
    AvahiWatchEvent last_events;
    AvahiWatchCallback callback;
    void *userdata;
};

struct AvahiTimeout {
    PollEntry entry;
    uv_timer_t timer;
    AvahiTimeoutCallback callback;
    void *userdata;
};

namespace {

int to_uv_events(AvahiWatchEvent events) {
    int uv_events = 0;
    if (events & AVAHI_WATCH_IN) uv_events |= UV_READABLE;
    if (events & AVAHI_WATCH_OUT) uv_events |= UV_WRITABLE;
    return uv_events;
}

AvahiWatchEvent to_avahi_events(int status, int uv_events) {
    int events = 0;
    if (status < 0) events |= AVAHI_WATCH_ERR;
    if (uv_events & UV_READABLE) events |= AVAHI_WATCH_IN;
    if (uv_events & UV_WRITABLE) events |= AVAHI_WATCH_OUT;
    return static_cast<AvahiWatchEvent>(events);
}

void on_poll(uv_poll_t *handle, int status, int events) noexcept {
    auto *watch = static_cast<AvahiWatch *>(uv_handle_get_data(reinterpret_cast<uv_handle_t *>(handle)));
    watch->last_events = to_avahi_events(status, events);
    watch->callback(watch, watch->fd, watch->last_events, watch->userdata);
}

void watch_free(AvahiWatch *watch) noexcept {
    list_remove(&watch->entry);
    uv_poll_stop(&watch->poll);
    uv_close(reinterpret_cast<uv_handle_t *>(&watch->poll), free_handle_data);
}

void destroy_watch(PollEntry *entry) { watch_free(reinterpret_cast<AvahiWatch *>(entry)); }

AvahiWatch *watch_new(const AvahiPoll *api, int fd, AvahiWatchEvent events, AvahiWatchCallback callback,
                      void *userdata) noexcept {
    auto *adapter = static_cast<AvahiUvPoll *>(api->userdata);
    auto *watch = avahi_new0(AvahiWatch, 1);
    if (!watch) return nullptr;
    watch->entry.destroy = destroy_watch;
    watch->fd = fd;
    watch->last_events = static_cast<AvahiWatchEvent>(0);
    watch->callback = callback;
    watch->userdata = userdata;
    uv_poll_init(adapter->loop, &watch->poll, fd);
    uv_handle_set_data(reinterpret_cast<uv_handle_t *>(&watch->poll), watch);
    list_append(adapter->entries, &watch->entry);
    uv_poll_start(&watch->poll, to_uv_events(events), on_poll);
    return watch;
}

void watch_update(AvahiWatch *watch, AvahiWatchEvent events) noexcept {
    uv_poll_stop(&watch->poll);
    watch->last_events = static_cast<AvahiWatchEvent>(0);
    uv_poll_start(&watch->poll, to_uv_events(events), on_poll);
}

AvahiWatchEvent watch_get_events(AvahiWatch *watch) noexcept { return watch->last_events; }

void on_timer(uv_timer_t *handle) noexcept {
    auto *timeout = static_cast<AvahiTimeout *>(uv_handle_get_data(reinterpret_cast<uv_handle_t *>(handle)));
    timeout->callback(timeout, timeout->userdata);
}

void arm(AvahiTimeout *timeout, const struct timeval *due) {
    struct timeval now {};
    gettimeofday(&now, nullptr);
    uv_timer_start(&timeout->timer, on_timer, avahi_uv_poll_delay_ms(*due, now), 0);
}

void timeout_free(AvahiTimeout *timeout) noexcept {
    list_remove(&timeout->entry);
    uv_timer_stop(&timeout->timer);
    uv_close(reinterpret_cast<uv_handle_t *>(&timeout->timer), free_handle_data);
}

void destroy_timeout(PollEntry *entry) { timeout_free(reinterpret_cast<AvahiTimeout *>(entry)); }

AvahiTimeout *timeout_new(const AvahiPoll *api, const struct timeval *due, AvahiTimeoutCallback callback,
                          void *userdata) noexcept {
    auto *adapter = static_cast<AvahiUvPoll *>(api->userdata);
    auto *timeout = avahi_new0(AvahiTimeout, 1);
    if (!timeout) return nullptr;
    timeout->entry.destroy = destroy_timeout;
    timeout->callback = callback;
    timeout->userdata = userdata;
    uv_timer_init(adapter->loop, &timeout->timer);
    uv_handle_set_data(reinterpret_cast<uv_handle_t *>(&timeout->timer), timeout);
    list_append(adapter->entries, &timeout->entry);
    if (due) arm(timeout, due);
    return timeout;
}

void timeout_update(AvahiTimeout *timeout, const struct timeval *due) noexcept {
    if (due) {
        arm(timeout, due);
    } else {
        uv_timer_stop(&timeout->timer);
    }
}

}  // namespace

AvahiUvPoll *avahi_uv_poll_new(uv_loop_t *loop) {
    auto *adapter = avahi_new0(AvahiUvPoll, 1);
    if (!adapter) return nullptr;
    adapter->loop = loop;
    adapter->api.userdata = adapter;
    adapter->api.watch_new = watch_new;
    adapter->api.watch_update = watch_update;
    adapter->api.watch_get_events = watch_get_events;
    adapter->api.watch_free = watch_free;
    adapter->api.timeout_new = timeout_new;
    adapter->api.timeout_update = timeout_update;
    adapter->api.timeout_free = timeout_free;
    adapter->entries.next = adapter->entries.previous = &adapter->entries;
    return adapter;
}

const AvahiPoll *avahi_uv_poll_get(AvahiUvPoll *poll) { return &poll->api; }

void avahi_uv_poll_free(AvahiUvPoll *poll) {
    if (!poll) return;
    PollEntry *entry = poll->entries.next;
    while (entry != &poll->entries) {
        PollEntry *next = entry->next;
        entry->destroy(entry);
        entry = next;
    }
    avahi_free(poll);
}

uint64_t avahi_uv_poll_delay_ms(const struct timeval &due, const struct timeval &now) {
    const AvahiUsec delay = avahi_timeval_diff(&due, &now);
    return delay <= 0 ? 0 : static_cast<uint64_t>(delay) / 1000;
}
