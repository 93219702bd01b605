// Creation, freeing and the backend-neutral part of the bus connection. The
// loop thread creates, frees, publishes and asks for the state; the state and
// delivery helpers run on the bus libraries' threads.
#include "messaging/messaging_connection.h"

#include <new>

#include "app/log.h"
#include "messaging/messaging_backend.h"

namespace {

std::string copy_or_empty(const char *text) { return text ? std::string(text) : std::string(); }

void copy_config(MessagingConnection &connection, const MessagingConnectionConfig &config) {
    connection.backend = config.backend;
    connection.host = copy_or_empty(config.host);
    connection.port = config.port;
    connection.username = copy_or_empty(config.username);
    connection.password = copy_or_empty(config.password);
    connection.exchange = copy_or_empty(config.exchange);
    connection.exchange_type = copy_or_empty(config.exchange_type);
    connection.binding_key = copy_or_empty(config.binding_key);
    connection.secondary_binding_key = copy_or_empty(config.secondary_binding_key);
    connection.tertiary_binding_key = copy_or_empty(config.tertiary_binding_key);
    connection.publish_key = copy_or_empty(config.publish_key);
    connection.url = copy_or_empty(config.url);
    connection.subscribe_subject = copy_or_empty(config.subscribe_subject);
    connection.publish_subject = copy_or_empty(config.publish_subject);
    connection.secondary_subscribe_subject = copy_or_empty(config.secondary_subscribe_subject);
    connection.tertiary_subscribe_subject = copy_or_empty(config.tertiary_subscribe_subject);
    connection.nats_username = copy_or_empty(config.nats_username);
    connection.nats_password = copy_or_empty(config.nats_password);
    connection.token = copy_or_empty(config.token);
    connection.tls = config.tls;
    connection.state_callback = config.state_callback;
    connection.state_user_data = config.state_user_data;
    connection.message_callback = config.message_callback;
    connection.message_user_data = config.message_user_data;
}

}  // namespace

void messaging_connection_set_state(MessagingConnection &connection, ConnectionState state, bool notify) {
    bool changed = false;
    {
        std::lock_guard lock(connection.state_mutex);
        changed = connection.state != state;
        connection.state = state;
    }
    if (changed && notify && connection.state_callback)
        connection.state_callback(&connection, state == CONNECTION_STATE_CONNECTED, connection.state_user_data);
}

void messaging_connection_deliver(MessagingConnection &connection, const char *data, size_t length) {
    if (data && length > 0 && connection.message_callback)
        connection.message_callback(&connection, data, length, connection.message_user_data);
}

MessagingConnection *messaging_connection_new(const MessagingConnectionConfig *config) {
    if (!config) {
        app_log(LOG_ERROR, "Invalid arguments to messaging_connection_new");
        return nullptr;
    }
    std::unique_ptr<MessagingConnection> connection(new (std::nothrow) MessagingConnection);
    if (!connection) {
        app_log(LOG_ERROR, "Failed to allocate memory for Nats connection");
        return nullptr;
    }
    try {
        copy_config(*connection, *config);
    } catch (const std::bad_alloc &) {
        app_log(LOG_ERROR, "Failed to duplicate configuration strings");
        return nullptr;
    }

    if (connection->backend == MESSAGING_BACKEND_NATS) {
        connection->bus = nats_backend_start(*connection);
        if (!connection->bus) {
            app_log(LOG_ERROR, "Failed to allocate memory for Nats connection");
            return nullptr;
        }
        return connection.release();
    }

    // Every other value selects RabbitMQ.
    connection->bus = rabbitmq_backend_start(*connection);
    if (!connection->bus) return nullptr;
    app_log(LOG_DEBUG, "Nats connection manager created (host: %s, port: %u)", connection->host.c_str(),
            static_cast<unsigned>(connection->port));
    return connection.release();
}

void messaging_connection_free(MessagingConnection *connection) {
    if (!connection) return;
    // The backend goes first, with the record still whole: its destructor
    // waits until no library thread uses the connection any more.
    delete connection;
}

bool messaging_connection_is_connected(MessagingConnection *connection) {
    return connection && connection->bus && connection->bus->is_connected();
}

bool messaging_connection_publish(MessagingConnection *connection, const char *subject, const char *body) {
    if (!connection || !connection->bus) {
        app_log(LOG_WARNING, "Cannot publish message: NATS not connected");
        return false;
    }
    return connection->bus->publish(subject ? subject : "", body ? body : "");
}
