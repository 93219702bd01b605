// Internal to the messaging module: the record behind MessagingConnection and
// the interface each bus backend implements. The loop thread creates, frees
// and publishes; the backends' library threads change the state and deliver
// messages through the two helpers below.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>

#include "messaging/messaging_connection.h"

// One bus backend behind a MessagingConnection. Created by its start function
// once the connection record is complete; its destructor disconnects and
// returns only when no library thread can call into the connection any more.
class BusBackend {
  public:
    explicit BusBackend(MessagingConnection &connection) : connection_(connection) {}
    virtual ~BusBackend() = default;
    BusBackend(const BusBackend &) = delete;
    BusBackend &operator=(const BusBackend &) = delete;

    virtual bool is_connected() = 0;
    virtual bool publish(const char *subject, const char *body) = 0;

  protected:
    MessagingConnection &connection_;
};

struct MessagingConnection {
    // The settings and callbacks it was created with.
    MessagingConnectionConfig config;

    std::mutex state_mutex;
    ConnectionState state = CONNECTION_STATE_DISCONNECTED;  // guarded by state_mutex

    // Reconnect pacing: the NATS backend hands the delay to its library as the
    // reconnect wait; a backend with its own loop doubles it up to the maximum.
    int32_t reconnect_delay_ms = 1000;
    int32_t max_reconnect_delay_ms = 30000;

    // Declared last, so that it is destroyed first.
    std::unique_ptr<BusBackend> bus;
};

// Sets the state under the state mutex; when it changed and notify is set,
// calls the state callback after the mutex is released. Any thread.
void messaging_connection_set_state(MessagingConnection &connection, ConnectionState state, bool notify);

// Hands one inbound message to the message callback, if there is one and the
// message is not empty. Any thread but the loop thread.
void messaging_connection_deliver(MessagingConnection &connection, const char *data, size_t length);

// The NATS backend: always returns a backend (possibly without a library
// connection when the server could not be set up), or null when memory ran out.
std::unique_ptr<BusBackend> nats_backend_start(MessagingConnection &connection);

// The RabbitMQ backend: starts its connection thread, which connects and
// reconnects on its own. Null when the thread cannot be started.
std::unique_ptr<BusBackend> rabbitmq_backend_start(MessagingConnection &connection);
