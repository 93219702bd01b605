// MdnsAdvertiser: registers the renderer's DNS-SD service, whose port is the
// configuration server's, when the SDK asks, renames it on a name collision
// and withdraws it on stop. The Avahi client runs on the loop through
// AvahiUvPoll. Loop thread only.
#pragma once

#include <uv.h>

#include "zorva_connect.h"

struct MdnsAdvertiser;
struct DeviceInfo;
struct ConfigServer;

// Answers whether the service is announced on IPv6 as well as IPv4.
using MdnsIpv6Probe = bool (*)();

MdnsAdvertiser *mdns_advertiser_new(uv_loop_t *loop, DeviceInfo *device, ConfigServer *config_server);
// Stops advertising, then frees; accepts none.
void mdns_advertiser_free(MdnsAdvertiser *advertiser);
void mdns_advertiser_set_sdk(MdnsAdvertiser *advertiser, ZrvConnect *sdk);
AdvertisingDelegate mdns_advertiser_delegate(MdnsAdvertiser *advertiser);
// Replaces config_server_ipv6_available as the IPv6 test.
void mdns_advertiser_set_ipv6_probe(MdnsAdvertiser *advertiser, MdnsIpv6Probe probe);

// The delegate's callbacks; user is the MdnsAdvertiser. A start while
// advertising first stops the running registration.
void mdns_advertiser_start_advertising(ZrvConnect *sdk, const char *service_name, const char *service_type,
                                       void *user) noexcept;
void mdns_advertiser_stop_advertising(ZrvConnect *sdk, void *user) noexcept;

// The name currently registered or being registered (after collisions,
// Avahi's alternative name), or null when not advertising.
const char *mdns_advertiser_service_name(const MdnsAdvertiser *advertiser);
