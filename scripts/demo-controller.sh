#!/usr/bin/env bash
# A minimal controller, as a phone app would be: finds the renderer by DNS-SD
# with the Avahi tools, reads its identity over the local HTTP API and hands it
# a session. Talks to whatever avahi-daemon DBUS_SYSTEM_BUS_ADDRESS reaches.
#
#   demo-controller.sh [zconnect-endpoint]
#
# The endpoint is passed in the session's zconnect token; the stand-in SDK
# reads a "standin:queue=..." endpoint as the queue to play (standin/README.md).
set -euo pipefail

service_type=_zorva-connect._tcp
endpoint=${1:-https://zconnect.zorva.invalid/session}

echo "controller: looking for $service_type by DNS-SD"
record=""
for _ in $(seq 100); do
    record=$(avahi-browse -rpt "$service_type" 2>/dev/null | grep '^=' | grep ';IPv4;' | head -n 1 || true)
    [ -n "$record" ] && break
    sleep 0.1
done
if [ -z "$record" ]; then
    echo "controller: no renderer found" >&2
    exit 1
fi
# =;interface;protocol;name;type;domain;host;address;port;"txt" "txt" ...
IFS=';' read -r _ _ _ name _ _ host address port txt <<<"$record"
path=$(grep -o '"path=[^"]*"' <<<"$txt" | sed 's/^"path=//; s/"$//')
path=${path:-/}
# avahi-browse escapes bytes as \DDD (decimal), a space as \032.
name=$(perl -pe 's/\\(\d{3})/chr($1)/ge' <<<"$name")
echo "controller: found '$name' on $host ($address) port $port, TXT $txt"
base="http://$address:$port$path"

echo "controller: GET ${base}get-display-info"
curl -sS --max-time 5 "${base}get-display-info"
echo
echo "controller: GET ${base}get-connect-info"
curl -sS --max-time 5 "${base}get-connect-info"
echo

expiry=$(( $(date +%s) + 3600 ))
body=$(cat <<JSON
{"session_id":"demo-session-$(date +%s)",
 "jwt_api":{"endpoint":"https://api.zorva.invalid","jwt":"demo-api-token","exp":$expiry},
 "jwt_zconnect":{"endpoint":"$endpoint","jwt":"demo-zconnect-token","exp":$expiry},
 "become_active":true}
JSON
)
echo "controller: POST ${base}connect-to-zconnect"
status=$(curl -sS --max-time 5 -o /dev/null -w '%{http_code}' -X POST -H 'Content-Type: application/json' \
    --data-binary "$body" "${base}connect-to-zconnect")
echo "controller: connect answered HTTP $status"
[ "$status" = 200 ]
