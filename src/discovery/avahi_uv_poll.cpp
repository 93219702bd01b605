// Loop thread only: Avahi calls these operations from inside its own calls
// made on the loop thread, or from the callbacks dispatched here from libuv.
#include "discovery/avahi_uv_poll.h"

#include <avahi-common/timeval.h>
#include <avahi-common/watch.h>

#include <memory>
#include <new>
#include <unordered_map>
#include <utility>
#include <vector>

#include "app/guarded.h"

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

struct FdPoller;

}  // namespace

struct AvahiUvPoll {
    uv_loop_t *loop = nullptr;
    AvahiPoll api{};
    PollEntry entries{};  // list head; circular
    // libuv allows one poll handle per descriptor, but D-Bus asks for a read
    // and a write watch on the same socket: watches of one descriptor share
    // one handle.
    std::unordered_map<int, FdPoller *> pollers;
    uint64_t next_serial = 1;
};

struct AvahiWatch {
    PollEntry entry;
    AvahiUvPoll *adapter;
    FdPoller *poller;
    int fd;
    uint64_t serial;  // tells a watch from a later one at the same address
    AvahiWatchEvent wanted;
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

struct FdPoller {
    uv_poll_t handle;
    int fd;
    std::vector<AvahiWatch *> watches;
};

int to_uv_events(int events) {
    int uv_events = 0;
    if (events & AVAHI_WATCH_IN) uv_events |= UV_READABLE;
    if (events & AVAHI_WATCH_OUT) uv_events |= UV_WRITABLE;
    return uv_events;
}

int to_avahi_events(int status, int uv_events) {
    int events = 0;
    if (status < 0) events |= AVAHI_WATCH_ERR;
    if (uv_events & UV_READABLE) events |= AVAHI_WATCH_IN;
    if (uv_events & UV_WRITABLE) events |= AVAHI_WATCH_OUT;
    return events;
}

void on_poll(uv_poll_t *handle, int status, int events) noexcept;

// Polls for what the descriptor's watches want together; with nothing
// wanted (only errors or hang-ups, which are not requested) it is stopped.
void restart(FdPoller &poller) {
    int wanted = 0;
    for (const AvahiWatch *watch : poller.watches) wanted |= to_uv_events(watch->wanted);
    uv_poll_stop(&poller.handle);
    if (wanted) uv_poll_start(&poller.handle, wanted, on_poll);
}

// Hands what happened on a descriptor to the watches that wanted it.
void dispatch(FdPoller &poller, int happened) {
    // A callback may free or create watches of this descriptor, even the
    // poller itself: work from a copy and check each watch is still there.
    std::vector<std::pair<AvahiWatch *, uint64_t>> targets;
    targets.reserve(poller.watches.size());
    for (AvahiWatch *watch : poller.watches) targets.emplace_back(watch, watch->serial);
    AvahiUvPoll *adapter = targets.empty() ? nullptr : targets.front().first->adapter;
    const int fd = poller.fd;

    for (const auto &[watch, serial] : targets) {
        const auto found = adapter->pollers.find(fd);
        if (found == adapter->pollers.end()) return;
        const std::vector<AvahiWatch *> &live = found->second->watches;
        bool present = false;
        for (const AvahiWatch *candidate : live) present = present || (candidate == watch && watch->serial == serial);
        if (!present || !to_uv_events(watch->wanted)) continue;
        const int mine = happened & (watch->wanted | AVAHI_WATCH_ERR);
        if (!mine) continue;
        watch->last_events = static_cast<AvahiWatchEvent>(mine);
        watch->callback(watch, watch->fd, watch->last_events, watch->userdata);
    }
}

void on_poll(uv_poll_t *handle, int status, int events) noexcept {
    auto *poller = static_cast<FdPoller *>(uv_handle_get_data(reinterpret_cast<uv_handle_t *>(handle)));
    guarded("an Avahi watch", [&] { dispatch(*poller, to_avahi_events(status, events)); });
}

void close_poller(uv_handle_t *handle) noexcept { delete static_cast<FdPoller *>(uv_handle_get_data(handle)); }

void watch_free(AvahiWatch *watch) noexcept {
    list_remove(&watch->entry);
    FdPoller *poller = watch->poller;
    std::erase(poller->watches, watch);
    if (poller->watches.empty()) {
        watch->adapter->pollers.erase(poller->fd);
        uv_poll_stop(&poller->handle);
        uv_close(reinterpret_cast<uv_handle_t *>(&poller->handle), close_poller);
    } else {
        restart(*poller);
    }
    delete watch;
}

void destroy_watch(PollEntry *entry) { watch_free(reinterpret_cast<AvahiWatch *>(entry)); }

AvahiWatch *watch_new(const AvahiPoll *api, int fd, AvahiWatchEvent events, AvahiWatchCallback callback,
                      void *userdata) noexcept {
    auto *adapter = static_cast<AvahiUvPoll *>(api->userdata);
    return guarded("a new Avahi watch", static_cast<AvahiWatch *>(nullptr), [&]() -> AvahiWatch * {
        FdPoller *poller = nullptr;
        if (const auto found = adapter->pollers.find(fd); found != adapter->pollers.end()) {
            poller = found->second;
        } else {
            auto fresh = std::make_unique<FdPoller>();
            fresh->fd = fd;
            // A descriptor libuv cannot poll fails the watch, as Avahi expects.
            if (uv_poll_init(adapter->loop, &fresh->handle, fd) != 0) return nullptr;
            uv_handle_set_data(reinterpret_cast<uv_handle_t *>(&fresh->handle), fresh.get());
            poller = fresh.get();
            adapter->pollers.emplace(fd, fresh.release());
        }
        auto *watch = new AvahiWatch{};
        watch->entry.destroy = destroy_watch;
        watch->adapter = adapter;
        watch->poller = poller;
        watch->fd = fd;
        watch->serial = adapter->next_serial++;
        watch->wanted = events;
        watch->last_events = static_cast<AvahiWatchEvent>(0);
        watch->callback = callback;
        watch->userdata = userdata;
        poller->watches.push_back(watch);
        list_append(adapter->entries, &watch->entry);
        restart(*poller);
        return watch;
    });
}

void watch_update(AvahiWatch *watch, AvahiWatchEvent events) noexcept {
    watch->wanted = events;
    watch->last_events = static_cast<AvahiWatchEvent>(0);
    restart(*watch->poller);
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

void close_timeout(uv_handle_t *handle) noexcept { delete static_cast<AvahiTimeout *>(uv_handle_get_data(handle)); }

void timeout_free(AvahiTimeout *timeout) noexcept {
    list_remove(&timeout->entry);
    uv_timer_stop(&timeout->timer);
    uv_close(reinterpret_cast<uv_handle_t *>(&timeout->timer), close_timeout);
}

void destroy_timeout(PollEntry *entry) { timeout_free(reinterpret_cast<AvahiTimeout *>(entry)); }

AvahiTimeout *timeout_new(const AvahiPoll *api, const struct timeval *due, AvahiTimeoutCallback callback,
                          void *userdata) noexcept {
    auto *adapter = static_cast<AvahiUvPoll *>(api->userdata);
    auto *timeout = new (std::nothrow) AvahiTimeout{};
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
    auto *adapter = new AvahiUvPoll;
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
    delete poll;
}

uint64_t avahi_uv_poll_delay_ms(const struct timeval &due, const struct timeval &now) {
    const AvahiUsec delay = avahi_timeval_diff(&due, &now);
    return delay <= 0 ? 0 : static_cast<uint64_t>(delay) / 1000;
}
