// MessagingConnection: the daemon's one link to the message bus, NATS or
// RabbitMQ, fixed at creation. Create, free, publish and is-connected are
// called on the loop thread; the callbacks run on the bus client's threads.
#pragma once

#include <cstddef>
#include <cstdint>

using MessagingBackend = uint32_t;
enum : MessagingBackend {
    MESSAGING_BACKEND_RABBITMQ = 1,
    MESSAGING_BACKEND_NATS = 2,
};

using ConnectionState = uint32_t;
enum : ConnectionState {
    CONNECTION_STATE_DISCONNECTED = 0,
    CONNECTION_STATE_CONNECTING = 1,
    CONNECTION_STATE_CONNECTED = 2,
    CONNECTION_STATE_FAILED = 3,
};

struct MessagingConnection;

// Called after every change of state, outside the connection's locks, on the
// thread that made the change.
using ConnectionStateCallback = void (*)(MessagingConnection *connection, bool connected, void *user_data);
// Called once per inbound message with a non-empty payload, never on the loop
// thread; data is valid only during the call.
using MessageCallback = void (*)(MessagingConnection *connection, const char *data, size_t length,
                                 void *user_data);

// The caller keeps ownership of everything here; absent strings count as empty.
struct MessagingConnectionConfig {
    MessagingBackend backend;
    // RabbitMQ
    const char *host;
    uint16_t port;
    const char *username;
    const char *password;
    const char *exchange;
    const char *exchange_type;
    const char *binding_key;
    const char *secondary_binding_key;
    const char *tertiary_binding_key;
    // Both: the subject or routing key the EventPublisher uses.
    const char *publish_key;
    // NATS
    const char *url;
    const char *subscribe_subject;
    const char *publish_subject;
    const char *secondary_subscribe_subject;
    const char *tertiary_subscribe_subject;
    const char *nats_username;
    const char *nats_password;
    const char *token;
    bool tls;
    ConnectionStateCallback state_callback;
    void *state_user_data;
    MessageCallback message_callback;
    void *message_user_data;
};

MessagingConnection *messaging_connection_new(const MessagingConnectionConfig *config);
void messaging_connection_free(MessagingConnection *connection);
bool messaging_connection_is_connected(MessagingConnection *connection);
// True when the message was accepted for sending.
bool messaging_connection_publish(MessagingConnection *connection, const char *subject, const char *body);
