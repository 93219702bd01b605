// Loop thread only: the SDK calls the delegate there, and Avahi's callbacks
// arrive through AvahiUvPoll's libuv handles.
#include "discovery/mdns_advertiser.h"

#include <avahi-client/client.h>
#include <avahi-client/publish.h>
#include <avahi-common/alternative.h>
#include <avahi-common/error.h>
#include <avahi-common/malloc.h>
#include <avahi-common/watch.h>
#include <sys/time.h>

#include <cstdio>
#include <span>

#include "app/device_info.h"
#include "app/guarded.h"
#include "app/log.h"
#include "config_server/config_server.h"
#include "discovery/avahi_uv_poll.h"

struct MdnsAdvertiser {
    uv_loop_t *loop = nullptr;
    DeviceInfo *device = nullptr;
    ConfigServer *config_server = nullptr;
    ZrvConnect *sdk = nullptr;
    char *service_name = nullptr;  // avahi_strdup'ed
    char *service_type = nullptr;  // avahi_strdup'ed
    AvahiClient *client = nullptr;
    AvahiEntryGroup *group = nullptr;
    AvahiUvPoll *poll = nullptr;
    // Pending replacement of a client whose daemon went away.
    AvahiTimeout *reconnect = nullptr;
    MdnsIpv6Probe ipv6_probe = config_server_ipv6_available;
};

namespace {

constexpr size_t txt_size = 128;

void register_service(MdnsAdvertiser &advertiser);

struct StateName {
    int state;
    const char *name;
};

constexpr StateName client_state_names[] = {
    {AVAHI_CLIENT_S_REGISTERING, "REGISTERING"}, {AVAHI_CLIENT_S_RUNNING, "RUNNING"},
    {AVAHI_CLIENT_S_COLLISION, "COLLISION"},     {AVAHI_CLIENT_FAILURE, "FAILURE"},
    {AVAHI_CLIENT_CONNECTING, "CONNECTING"},
};

constexpr StateName group_state_names[] = {
    {AVAHI_ENTRY_GROUP_UNCOMMITED, "UNCOMMITED"},   {AVAHI_ENTRY_GROUP_REGISTERING, "REGISTERING"},
    {AVAHI_ENTRY_GROUP_ESTABLISHED, "ESTABLISHED"}, {AVAHI_ENTRY_GROUP_COLLISION, "COLLISION"},
    {AVAHI_ENTRY_GROUP_FAILURE, "FAILURE"},
};

// Avahi's name of a client or entry group state, for the log.
const char *state_name(int state, std::span<const StateName> names) {
    for (const StateName &entry : names) {
        if (entry.state == state) return entry.name;
    }
    return "UNKNOWN";
}

// Moves to Avahi's alternative for the current name.
void rename_after_collision(MdnsAdvertiser &advertiser) {
    char *alternative = avahi_alternative_service_name(advertiser.service_name);
    app_log(LOG_WARNING, "Unable to add service '%s' to the Avahi entry group because of collision, trying '%s'",
            advertiser.service_name, alternative ? alternative : "");
    avahi_free(advertiser.service_name);
    advertiser.service_name = alternative;
}

void free_group(MdnsAdvertiser &advertiser) {
    if (advertiser.group) avahi_entry_group_free(advertiser.group);
    advertiser.group = nullptr;
}

void on_group_state(AvahiEntryGroup * /*group*/, AvahiEntryGroupState state, void *user) noexcept {
    guarded("the Avahi entry group's state", [&] {
        auto &advertiser = *static_cast<MdnsAdvertiser *>(user);
        app_log(LOG_DEBUG, "Avahi entry group state changed: %s", state_name(state, group_state_names));
        if (state == AVAHI_ENTRY_GROUP_COLLISION && advertiser.service_name) {
            rename_after_collision(advertiser);
            register_service(advertiser);
        }
    });
}

void on_client_state(AvahiClient *client, AvahiClientState state, void *user) noexcept;

void create_client(MdnsAdvertiser &advertiser) {
    int error = 0;
    AvahiClient *client = avahi_client_new(avahi_uv_poll_get(advertiser.poll), AVAHI_CLIENT_NO_FAIL, on_client_state,
                                           &advertiser, &error);
    advertiser.client = client;
    if (error != 0) app_log(LOG_ERROR, "Unable to create Avahi client: %s", avahi_strerror(error));
}

void on_reconnect(AvahiTimeout *timeout, void *user) noexcept {
    guarded("the Avahi reconnection", [&] {
        auto &advertiser = *static_cast<MdnsAdvertiser *>(user);
        avahi_uv_poll_get(advertiser.poll)->timeout_free(timeout);
        advertiser.reconnect = nullptr;
        free_group(advertiser);
        if (advertiser.client) avahi_client_free(advertiser.client);
        advertiser.client = nullptr;
        create_client(advertiser);
    });
}

void on_client_state(AvahiClient *client, AvahiClientState state, void *user) noexcept {
    guarded("the Avahi client's state", [&] {
        auto &advertiser = *static_cast<MdnsAdvertiser *>(user);
        app_log(LOG_DEBUG, "Avahi client state changed: %s", state_name(state, client_state_names));
        if (state == AVAHI_CLIENT_S_RUNNING) {
            // This may run inside avahi_client_new, before it has returned the client.
            advertiser.client = client;
            register_service(advertiser);
        } else if (state == AVAHI_CLIENT_FAILURE && avahi_client_errno(client) == AVAHI_ERR_DISCONNECTED &&
                   advertiser.poll && !advertiser.reconnect) {
            // A client whose daemon went away stays failed for good. A new
            // one, which waits for the daemon to come back, is made on the
            // next loop iteration: the old one must not be freed from its own
            // callback.
            struct timeval now {};
            gettimeofday(&now, nullptr);
            const AvahiPoll *api = avahi_uv_poll_get(advertiser.poll);
            advertiser.reconnect = api->timeout_new(api, &now, on_reconnect, &advertiser);
        }
    });
}

const char *device_uuid(const MdnsAdvertiser &advertiser) {
    const char *uuid = nullptr;
    if (advertiser.sdk) zrv_connect_get_device_uuid(advertiser.sdk, &uuid);
    return uuid ? uuid : "";
}

// One pass of a registration; false when it must be tried again under a new name.
bool try_register(MdnsAdvertiser &advertiser) {
    if (!advertiser.group) {
        advertiser.group = avahi_entry_group_new(advertiser.client, on_group_state, &advertiser);
        if (!advertiser.group) {
            app_log(LOG_ERROR, "Unable to create Avahi entry group: %s",
                    avahi_strerror(avahi_client_errno(advertiser.client)));
            return true;
        }
    }
    if (avahi_entry_group_reset(advertiser.group) < 0) {
        app_log(LOG_ERROR, "Unable to reset Avahi entry group: %s",
                avahi_strerror(avahi_client_errno(advertiser.client)));
        free_group(advertiser);
        return true;
    }

    char path[txt_size];
    char uuid[txt_size];
    char version[txt_size];
    char type[txt_size];
    const char *sdk_version = zrv_connect_get_sdk_version();
    const char *type_text = zrv_device_type_to_string(device_info_type(advertiser.device));
    std::snprintf(path, sizeof path, "path=%s", config_server_path_prefix(advertiser.config_server));
    std::snprintf(uuid, sizeof uuid, "device_uuid=%s", device_uuid(advertiser));
    std::snprintf(version, sizeof version, "sdk_version=%s", sdk_version ? sdk_version : "");
    std::snprintf(type, sizeof type, "type=%s", type_text ? type_text : "");

    const AvahiProtocol protocol = advertiser.ipv6_probe() ? AVAHI_PROTO_UNSPEC : AVAHI_PROTO_INET;
    const int error = avahi_entry_group_add_service(
        advertiser.group, AVAHI_IF_UNSPEC, protocol, static_cast<AvahiPublishFlags>(0), advertiser.service_name,
        advertiser.service_type, nullptr, nullptr, config_server_port(advertiser.config_server), path, uuid, version,
        type, static_cast<const char *>(nullptr));
    if (error == AVAHI_ERR_COLLISION) {
        rename_after_collision(advertiser);
        return false;
    }
    if (error < 0) {
        app_log(LOG_ERROR, "Unable to add service '%s' to the Avahi entry group: %s", advertiser.service_name,
                avahi_strerror(error));
        free_group(advertiser);
        return true;
    }
    const int commit = avahi_entry_group_commit(advertiser.group);
    if (commit < 0) {
        app_log(LOG_ERROR, "Unable to commit Avahi entry group: %s", avahi_strerror(commit));
        free_group(advertiser);
    }
    return true;
}

void register_service(MdnsAdvertiser &advertiser) {
    if (!advertiser.client || !advertiser.service_name || !advertiser.service_type) return;
    while (!try_register(advertiser)) {
        if (!advertiser.service_name) return;
    }
}

void stop_advertising(MdnsAdvertiser &advertiser) {
    app_log(LOG_DEBUG, "Stopping Avahi advertiser");
    if (advertiser.reconnect) avahi_uv_poll_get(advertiser.poll)->timeout_free(advertiser.reconnect);
    advertiser.reconnect = nullptr;
    free_group(advertiser);
    if (advertiser.client) {
        avahi_client_free(advertiser.client);
        advertiser.client = nullptr;
    }
    if (advertiser.poll) {
        avahi_uv_poll_free(advertiser.poll);
        advertiser.poll = nullptr;
    }
    avahi_free(advertiser.service_name);
    advertiser.service_name = nullptr;
    avahi_free(advertiser.service_type);
    advertiser.service_type = nullptr;
}

}  // namespace

MdnsAdvertiser *mdns_advertiser_new(uv_loop_t *loop, DeviceInfo *device, ConfigServer *config_server) {
    auto *advertiser = new MdnsAdvertiser;
    advertiser->loop = loop;
    advertiser->device = device;
    advertiser->config_server = config_server;
    return advertiser;
}

void mdns_advertiser_free(MdnsAdvertiser *advertiser) {
    if (!advertiser) return;
    stop_advertising(*advertiser);
    delete advertiser;
}

void mdns_advertiser_set_sdk(MdnsAdvertiser *advertiser, ZrvConnect *sdk) { advertiser->sdk = sdk; }

AdvertisingDelegate mdns_advertiser_delegate(MdnsAdvertiser *advertiser) {
    return AdvertisingDelegate{advertiser, mdns_advertiser_start_advertising, mdns_advertiser_stop_advertising};
}

void mdns_advertiser_set_ipv6_probe(MdnsAdvertiser *advertiser, MdnsIpv6Probe probe) {
    advertiser->ipv6_probe = probe ? probe : config_server_ipv6_available;
}

void mdns_advertiser_start_advertising(ZrvConnect * /*sdk*/, const char *service_name, const char *service_type,
                                       void *user) noexcept {
    guarded("the start of advertising", [&] {
        auto &advertiser = *static_cast<MdnsAdvertiser *>(user);
        app_log(LOG_INFO, "Zorva SDK requested advertising: service_name='%s', service_type='%s'",
                service_name ? service_name : "", service_type ? service_type : "");
        // A second start replaces the first registration instead of leaking it.
        if (advertiser.client || advertiser.poll || advertiser.service_name) stop_advertising(advertiser);
        if (!advertiser.poll) advertiser.poll = avahi_uv_poll_new(advertiser.loop);
        advertiser.service_name = avahi_strdup(service_name ? service_name : "");
        advertiser.service_type = avahi_strdup(service_type ? service_type : "");

        create_client(advertiser);
    });
}

void mdns_advertiser_stop_advertising(ZrvConnect * /*sdk*/, void *user) noexcept {
    guarded("the end of advertising", [&] { stop_advertising(*static_cast<MdnsAdvertiser *>(user)); });
}

const char *mdns_advertiser_service_name(const MdnsAdvertiser *advertiser) { return advertiser->service_name; }
