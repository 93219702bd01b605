// Creation, freeing and the backend-neutral part of the bus connection. The
// loop thread creates, frees, publishes and asks for the state; the state and
// delivery helpers run on the bus libraries' threads.
#include "messaging/messaging_connection.h"

#include <new>

#include "app/log.h"
#include "messaging/messaging_backend.h"

void messaging_connection_set_state(MessagingConnection &connection, ConnectionState state, bool notify) {
    bool changed = false;
    {
        std::lock_guard lock(connection.state_mutex);
        changed = connection.state != state;
        connection.state = state;
    }
    const MessagingConnectionConfig &config = connection.config;
    if (changed && notify && config.state_callback)
        config.state_callback(&connection, state == CONNECTION_STATE_CONNECTED, config.state_user_data);
}

void messaging_connection_deliver(MessagingConnection &connection, const char *data, size_t length) {
    const MessagingConnectionConfig &config = connection.config;
    if (data && length > 0 && config.message_callback)
        config.message_callback(&connection, data, length, config.message_user_data);
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
        connection->config = *config;
    } catch (const std::bad_alloc &) {
        app_log(LOG_ERROR, "Failed to duplicate configuration strings");
        return nullptr;
    }

    if (connection->config.backend == MESSAGING_BACKEND_NATS) {
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
    const RabbitmqSettings &settings = connection->config.rabbitmq;
    app_log(LOG_DEBUG, "Nats connection manager created (host: %s, port: %u)", settings.host.c_str(),
            static_cast<unsigned>(settings.port));
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
