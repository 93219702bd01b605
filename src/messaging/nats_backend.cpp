// The NATS backend. It has no thread of its own: creation, freeing and
// publishing run on the loop thread; the message handler runs on the library's
// delivery threads and the connection event handlers on its callback thread.
#include <nats/nats.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <climits>
#include <condition_variable>
#include <map>
#include <memory>
#include <mutex>
#include <new>

#include "app/guarded.h"
#include "app/log.h"
#include "messaging/messaging_backend.h"

namespace {

constexpr const char *default_url = "nats://localhost:4222";
constexpr const char *default_subject = "zorva.incoming.events";
constexpr int reconnect_buffer_bytes = 4 * 1024 * 1024;
// A server (or a path to it) that goes silent is noticed when pings go
// unanswered: the library gives up once more than max_pings_out are out, so
// a silent server is lost after 15 to 20 s rather than minutes.
constexpr int64_t ping_interval_ms = 5000;
constexpr int max_pings_out = 3;
constexpr auto close_wait = std::chrono::seconds(5);

struct OptionsDeleter {
    void operator()(natsOptions *options) const noexcept { natsOptions_Destroy(options); }
};
using OptionsPtr = std::unique_ptr<natsOptions, OptionsDeleter>;

// What the library's threads see: the closure of every handler. A handler
// reaches the connection only through an OwnerUse, which freeing waits for
// before the record goes; the context itself outlives the backend when the
// library never confirms the close, so that a late handler finds no
// connection rather than freed memory.
struct HandlerContext {
    std::string url;
    std::atomic<bool> closing{false};

    std::mutex lifecycle_mutex;
    std::condition_variable lifecycle_changed;
    MessagingConnection *owner = nullptr;  // guarded by lifecycle_mutex; null once freeing began
    int owner_uses = 0;                    // guarded by lifecycle_mutex
    int open_subscriptions = 0;            // guarded by lifecycle_mutex
    bool library_closed = false;           // guarded by lifecycle_mutex

    // Set once the library has dropped messages of a subscriber that fell
    // behind; from then on each delivery checks whether a drop is left to
    // count in the log.
    std::atomic<bool> library_dropped{false};
    std::mutex drops_mutex;
    std::map<natsSubscription *, int64_t> reported_drops;  // guarded by drops_mutex
};

// A handler's use of the connection, counted so that freeing can wait for it.
// The lock is not held while the handler runs the callbacks.
class OwnerUse {
  public:
    explicit OwnerUse(HandlerContext &context) : context_(context) {
        std::lock_guard lock(context_.lifecycle_mutex);
        owner_ = context_.owner;
        if (owner_) ++context_.owner_uses;
    }
    ~OwnerUse() {
        if (!owner_) return;
        std::lock_guard lock(context_.lifecycle_mutex);
        if (--context_.owner_uses == 0) context_.lifecycle_changed.notify_all();
    }
    OwnerUse(const OwnerUse &) = delete;
    OwnerUse &operator=(const OwnerUse &) = delete;

    // The connection, or null once freeing has begun.
    MessagingConnection *owner() const { return owner_; }

  private:
    HandlerContext &context_;
    MessagingConnection *owner_ = nullptr;
};

class NatsBackend final : public BusBackend {
  public:
    explicit NatsBackend(MessagingConnection &connection);
    ~NatsBackend() override;

    void start();
    bool is_connected() override;
    bool publish(const char *subject, const char *body) override;

  private:
    bool subscribe(natsSubscription *&slot, const std::string &subject, const char *failure_format,
                   LogLevel failure_level);
    void initial_failure(bool retrying);
    // Unsubscribes, closes and destroys the library connection, then waits
    // until no handler can run any more. False when the library did not
    // confirm in time.
    bool shut_down_library();

    const NatsSettings &settings_;
    HandlerContext *context_ = nullptr;  // owned; see shut_down_library
    natsConnection *nats_ = nullptr;
    natsSubscription *subscriptions_[3] = {};
};

// The messages the library dropped for a subscriber that fell behind are
// counted in the log once it has caught up (nothing more is pending), in the
// same words as the daemon's own queue uses, so every message of a flood is
// either executed or counted.
void report_library_drops(HandlerContext &context, natsSubscription *subscription) {
    int pending_messages = 0;
    int pending_bytes = 0;
    if (natsSubscription_GetPending(subscription, &pending_messages, &pending_bytes) != NATS_OK || pending_messages > 0)
        return;
    int64_t dropped = 0;
    if (natsSubscription_GetDropped(subscription, &dropped) != NATS_OK) return;
    std::lock_guard lock(context.drops_mutex);
    int64_t &reported = context.reported_drops[subscription];
    if (dropped <= reported) return;
    app_log(LOG_INFO, "%lld inbound messages were dropped while the pending queue was full",
            static_cast<long long>(dropped - reported));
    reported = dropped;
}

void on_message(natsConnection * /*nats*/, natsSubscription *subscription, natsMsg *message, void *closure) noexcept {
    auto *context = static_cast<HandlerContext *>(closure);
    guarded("a NATS message", [&] {
        OwnerUse use(*context);
        const int length = natsMsg_GetDataLength(message);
        if (use.owner() && length > 0)
            messaging_connection_deliver(*use.owner(), natsMsg_GetData(message), static_cast<size_t>(length));
        if (context->library_dropped.load(std::memory_order_acquire)) report_library_drops(*context, subscription);
    });
    natsMsg_Destroy(message);
}

// What went wrong without a call to fail, above all a subscriber that fell
// behind and had messages dropped (reported once per episode).
void on_async_error(natsConnection * /*nats*/, natsSubscription * /*subscription*/, natsStatus status,
                    void *closure) noexcept {
    if (status == NATS_SLOW_CONSUMER) {
        app_log(LOG_WARNING, "NATS messages dropped: more are pending than the daemon holds");
        static_cast<HandlerContext *>(closure)->library_dropped.store(true, std::memory_order_release);
    } else
        app_log(LOG_WARNING, "NATS asynchronous error: %s", natsStatus_GetText(status));
}

void on_subscription_complete(void *closure) noexcept {
    auto *context = static_cast<HandlerContext *>(closure);
    std::lock_guard lock(context->lifecycle_mutex);
    --context->open_subscriptions;
    context->lifecycle_changed.notify_all();
}

// While the daemon frees the connection, state changes are not reported.
void change_state(HandlerContext &context, ConnectionState state) {
    OwnerUse use(context);
    if (use.owner()) messaging_connection_set_state(*use.owner(), state, !context.closing.load());
}

void on_connected(natsConnection * /*nats*/, void *closure) {
    auto *context = static_cast<HandlerContext *>(closure);
    change_state(*context, CONNECTION_STATE_CONNECTED);
    app_log(LOG_INFO, "Successfully connected to NATS (url: %s)", context->url.c_str());
}

void on_disconnected(natsConnection * /*nats*/, void *closure) {
    auto *context = static_cast<HandlerContext *>(closure);
    change_state(*context, CONNECTION_STATE_DISCONNECTED);
    app_log(LOG_WARNING, "Disconnected from NATS");
}

void on_reconnected(natsConnection * /*nats*/, void *closure) {
    auto *context = static_cast<HandlerContext *>(closure);
    change_state(*context, CONNECTION_STATE_CONNECTED);
    app_log(LOG_INFO, "Reconnected to NATS");
}

void report_closed(natsConnection *nats, HandlerContext &context) {
    change_state(context, CONNECTION_STATE_DISCONNECTED);
    app_log(LOG_INFO, "NATS connection closed");
    // Unasked, the library closes only when it gives up (refused
    // credentials, for one): say why, since nothing reconnects after this.
    if (!context.closing.load()) {
        const char *reason = nullptr;
        natsStatus status = natsConnection_GetLastError(nats, &reason);
        app_log(LOG_ERROR, "NATS gave up on the connection: %s",
                reason && *reason ? reason : natsStatus_GetText(status));
    }
}

// Freeing waits for this confirmation, so it is given whatever happened in
// the report.
void on_closed(natsConnection *nats, void *closure) noexcept {
    auto *context = static_cast<HandlerContext *>(closure);
    guarded("the NATS close handler", [&] { report_closed(nats, *context); });
    std::lock_guard lock(context->lifecycle_mutex);
    context->library_closed = true;
    context->lifecycle_changed.notify_all();
}

NatsBackend::NatsBackend(MessagingConnection &connection) : BusBackend(connection), settings_(connection.config.nats) {
    auto context = std::make_unique<HandlerContext>();
    context->owner = &connection;  // no handler runs yet
    context->url = settings_.url.empty() ? default_url : settings_.url;
    context_ = context.release();
}

void NatsBackend::start() {
    natsOptions *raw_options = nullptr;
    natsStatus status = natsOptions_Create(&raw_options);
    if (status != NATS_OK) {
        app_log(LOG_ERROR, "Failed to create NATS options: %s", natsStatus_GetText(status));
        initial_failure(false);
        return;
    }
    OptionsPtr options(raw_options);

    natsOptions_SetMaxReconnect(options.get(), -1);
    natsOptions_SetReconnectWait(options.get(), connection_.reconnect_delay_ms);
    natsOptions_SetReconnectBufSize(options.get(), reconnect_buffer_bytes);
    natsOptions_SetPingInterval(options.get(), ping_interval_ms);
    natsOptions_SetMaxPingsOut(options.get(), max_pings_out);
    natsOptions_SetErrorHandler(options.get(), on_async_error, context_);
    if (!settings_.token.empty()) {
        natsOptions_SetToken(options.get(), settings_.token.c_str());
    } else if (!settings_.username.empty()) {
        natsOptions_SetUserInfo(options.get(), settings_.username.c_str(), settings_.password.c_str());
    }
    if (settings_.tls) natsOptions_SetSecure(options.get(), true);
    natsOptions_SetDisconnectedCB(options.get(), guarded_callback<on_disconnected>, context_);
    natsOptions_SetReconnectedCB(options.get(), guarded_callback<on_reconnected>, context_);
    natsOptions_SetClosedCB(options.get(), on_closed, context_);
    // A daemon may start before its server: the library then keeps trying in
    // the background with the reconnect settings and reports the first
    // connection through on_connected. Subscriptions made meanwhile are sent
    // once it connects.
    natsOptions_SetRetryOnFailedConnect(options.get(), true, guarded_callback<on_connected>, context_);
    natsOptions_SetURL(options.get(), context_->url.c_str());

    status = natsConnection_Connect(&nats_, options.get());
    options.reset();
    bool retrying = status == NATS_NOT_YET_CONNECTED && nats_;
    if (status != NATS_OK) {
        app_log(LOG_ERROR, "Failed to connect to NATS: %s", natsStatus_GetText(status));
        if (!retrying) {
            nats_ = nullptr;
            initial_failure(false);
            return;
        }
    }

    std::string primary = settings_.subscribe_subject.empty() ? default_subject : settings_.subscribe_subject;
    if (!subscribe(subscriptions_[0], primary, "Failed to subscribe to NATS subject '%s': %s", LOG_ERROR)) {
        shut_down_library();
        initial_failure(false);
        return;
    }
    if (!settings_.secondary_subscribe_subject.empty())
        subscribe(subscriptions_[1], settings_.secondary_subscribe_subject,
                  "Failed to subscribe to secondary NATS subject '%s': %s", LOG_WARNING);
    if (!settings_.tertiary_subscribe_subject.empty())
        subscribe(subscriptions_[2], settings_.tertiary_subscribe_subject,
                  "Failed to subscribe to tertiary NATS subject '%s': %s", LOG_WARNING);

    if (retrying) {
        initial_failure(true);
        return;
    }
    natsConnection_Flush(nats_);
    messaging_connection_set_state(connection_, CONNECTION_STATE_CONNECTED, true);
    app_log(LOG_INFO, "Successfully connected to NATS (url: %s)", context_->url.c_str());
    app_log(LOG_DEBUG, "Nats connection manager created (NATS backend)");
}

bool NatsBackend::subscribe(natsSubscription *&slot, const std::string &subject, const char *failure_format,
                            LogLevel failure_level) {
    natsStatus status = natsConnection_Subscribe(&slot, nats_, subject.c_str(), on_message, context_);
    if (status != NATS_OK) {
        slot = nullptr;
        app_log(failure_level, failure_format, subject.c_str(), natsStatus_GetText(status));
        return false;
    }
    // The library holds no more messages for a subscription than the daemon
    // would take from it: past that it drops them and says so.
    const InboundLimits &limits = connection_.config.limits;
    if (limits.max_pending_messages > 0 && limits.max_pending_bytes > 0) {
        natsStatus limited = natsSubscription_SetPendingLimits(
            slot, static_cast<int>(std::min<size_t>(limits.max_pending_messages, INT_MAX)),
            static_cast<int>(std::min<size_t>(limits.max_pending_bytes, INT_MAX)));
        if (limited != NATS_OK)
            app_log(LOG_WARNING, "Failed to bound pending messages of NATS subject '%s': %s", subject.c_str(),
                    natsStatus_GetText(limited));
    }
    // The completion callback tells freeing when this subscription's handler
    // has returned for the last time.
    std::lock_guard lock(context_->lifecycle_mutex);
    if (natsSubscription_SetOnCompleteCB(slot, on_subscription_complete, context_) == NATS_OK)
        ++context_->open_subscriptions;
    return true;
}

void NatsBackend::initial_failure(bool retrying) {
    if (retrying) {
        app_log(LOG_WARNING, "Initial NATS connection failed, will auto-retry");
    } else {
        // Nothing is left to retry with: the options, the URL or the primary
        // subject were refused outright.
        app_log(LOG_WARNING, "Initial NATS connection failed, will not retry");
        messaging_connection_set_state(connection_, CONNECTION_STATE_DISCONNECTED, true);
    }
    app_log(LOG_DEBUG, "Nats connection manager created (NATS backend)");
}

bool NatsBackend::shut_down_library() {
    if (!context_) return true;
    context_->closing = true;
    // From here no handler reaches the connection, and those that already
    // do are waited for: they only copy and wake, so this is short, however
    // long the library itself takes to close.
    {
        std::unique_lock lock(context_->lifecycle_mutex);
        context_->owner = nullptr;
        context_->lifecycle_changed.wait(lock, [&] { return context_->owner_uses == 0; });
    }
    for (natsSubscription *&subscription : subscriptions_) {
        if (subscription) natsSubscription_Destroy(subscription);
        subscription = nullptr;
    }
    bool had_connection = nats_ != nullptr;
    if (nats_) {
        natsConnection_Close(nats_);
        natsConnection_Destroy(nats_);
        nats_ = nullptr;
    }
    std::unique_lock lock(context_->lifecycle_mutex);
    bool done = context_->lifecycle_changed.wait_for(lock, close_wait, [&] {
        return context_->open_subscriptions == 0 && (!had_connection || context_->library_closed);
    });
    if (!done) {
        app_log(LOG_ERROR, "NATS library did not confirm the close; keeping its handler context");
        context_ = nullptr;
        return false;
    }
    lock.unlock();
    delete context_;
    context_ = nullptr;
    return true;
}

NatsBackend::~NatsBackend() {
    shut_down_library();
    app_log(LOG_DEBUG, "NATS connection manager freed");
}

bool NatsBackend::is_connected() { return nats_ && natsConnection_Status(nats_) == NATS_CONN_STATUS_CONNECTED; }

bool NatsBackend::publish(const char *subject, const char *body) {
    // The library's own status decides: while it reconnects it would buffer
    // the message, but nothing is queued for a bus that is down.
    if (!is_connected()) {
        app_log(LOG_WARNING, "Cannot publish message: NATS not connected");
        return false;
    }
    natsStatus status = natsConnection_PublishString(nats_, subject, body);
    if (status != NATS_OK) {
        app_log(LOG_ERROR, "Failed to publish to NATS: %s", natsStatus_GetText(status));
        return false;
    }
    return true;
}

}  // namespace

std::unique_ptr<BusBackend> nats_backend_start(MessagingConnection &connection) {
    std::unique_ptr<NatsBackend> backend;
    try {
        backend = std::make_unique<NatsBackend>(connection);
    } catch (const std::bad_alloc &) {
        return nullptr;
    }
    backend->start();
    return backend;
}
