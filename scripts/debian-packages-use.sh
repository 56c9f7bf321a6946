#!/usr/bin/env bash
# The Debian packages of BUILD/packages as a user meets them, on a machine
# that can be thrown away (scripts/throwaway-root.sh runs this): installed
# with dpkg; the service started as its unit starts it (there is no systemd
# here: the unit's ExecStart line, as its User) with the packaged
# configuration, and called directly and through the nginx site of the
# examples; the examples built against the development package; then every
# package purged, and the service's files checked gone.
#   scripts/debian-packages-use.sh BUILD
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "$1" && pwd)
cd "$root"

packages=()
for deb in "$build"/packages/*.deb; do packages+=("$(dpkg-deb -f "$deb" Package)"); done
dpkg -i "$build"/packages/*.deb >/tmp/dpkg-install.log 2>&1 || { cat /tmp/dpkg-install.log >&2; exit 1; }

expect() {  # expect WHAT EXPECTED ACTUAL
  [ "$2" == "$3" ] || { printf '%s: expected\n%s\ngot\n%s\n' "$1" "$2" "$3" >&2; exit 1; }
}
sample=$'0 Int 5\nstatus 0 "no error detected" (sample, echo)'

# The service, as systemd would start it.
unit=/lib/systemd/system/dravbridge.service
command=$(sed -n 's/^ExecStart=//p' "$unit")
user=$(sed -n 's/^User=//p' "$unit")
[ -n "$command" ] && [ -n "$user" ] || { echo "$unit: no ExecStart or no User" >&2; exit 1; }
id "$user" >/dev/null || { echo "the package made no user $user" >&2; exit 1; }
# The folders systemd makes for it.
for folder in $(sed -n 's/^LogsDirectory=//p' "$unit"); do install -d -o "$user" -g "$user" "/var/log/$folder"; done
# shellcheck disable=SC2086  # the unit's words, as systemd splits them
setpriv --reuid="$user" --regid="$user" --init-groups -- $command >/tmp/service.out 2>&1 &
service=$!
for _ in $(seq 1 100); do  # up to 10 s for it to listen
  grep -q '^dravbridge: listening on port 8420$' /tmp/service.out && break
  kill -0 "$service" 2>/dev/null || break
  sleep 0.1
done
grep -q '^dravbridge: listening on port 8420$' /tmp/service.out ||
  { echo "the service did not start: $command" >&2; cat /tmp/service.out >&2; exit 1; }
expect "the service" "$sample" "$(dravcall http://127.0.0.1:8420/bridges/sample sample echo int:5)"

# nginx in front of it, with the site of the examples as it comes (in a
# configuration of its own, which leaves nginx's alone).
printf 'pid /tmp/nginx.pid;\nevents {}\nhttp {\n  access_log /tmp/nginx-access.log;\n  %s\n}\n' \
  'include /usr/share/doc/dravbridge/examples/dravbridge.conf;' >/tmp/nginx.conf
nginx -c /tmp/nginx.conf -e /tmp/nginx-error.log
expect "the service behind nginx" "$sample" "$(dravcall http://127.0.0.1/bridges/sample sample echo int:5)"
nginx -c /tmp/nginx.conf -e /tmp/nginx-error.log -s stop

kill -TERM "$service"
wait "$service" || { echo "the service did not stop cleanly:" >&2; cat /tmp/service.out >&2; exit 1; }

# The dissector, where Wireshark reads the plugins of all users.
if command -v tshark >/dev/null; then
  tshark -G protocols 2>/dev/null | grep -q "$(printf '\tdrav')\$" ||
    { echo "tshark does not load the packaged dissector" >&2; exit 1; }
fi

# The examples, against the development package where it put its files.
scripts/examples-test.sh "$build" /usr

dpkg --purge "${packages[@]}" >/tmp/dpkg-purge.log 2>&1 || { cat /tmp/dpkg-purge.log >&2; exit 1; }
for left in /etc/dravbridge /var/log/dravbridge /usr/lib/dravCommon /usr/include/drav; do
  [ ! -e "$left" ] || { echo "$left is left after the purge" >&2; exit 1; }
done
echo "Debian packages: installed, served, built against and purged"
