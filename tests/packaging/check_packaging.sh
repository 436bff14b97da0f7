#!/usr/bin/env bash
# Checks the head unit's packaging files with the tools that will read them:
# systemd's own verifier for the unit, and dbus-daemon loading the policy.
# Usage: check_packaging.sh SOURCE_DIR CONFIGURED_UNIT SERVICE_BINARY
set -euo pipefail
source_dir=$1
unit=$2
service=$3
work=$(mktemp -d)
trap 'kill "${daemon:-0}" 2>/dev/null || true; rm -rf "$work"' EXIT

if command -v systemd-analyze >/dev/null; then
    # The unit names the installed path; point it at the built program.
    sed "s|^ExecStart=.*|ExecStart=$service|" "$unit" > "$work/dmbtpegd.service"
    systemd-analyze verify "$work/dmbtpegd.service"
else
    echo "systemd-analyze is not installed: the unit file is not checked"
fi

cat > "$work/bus.conf" <<CONF
<!DOCTYPE busconfig PUBLIC "-//freedesktop//DTD D-BUS Bus Configuration 1.0//EN"
 "http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd">
<busconfig>
  <type>system</type>
  <listen>unix:path=$work/socket</listen>
  <auth>EXTERNAL</auth>
  <include>$source_dir/packaging/dmbtpeg-bus.conf</include>
</busconfig>
CONF
dbus-daemon --nofork --print-address=3 --config-file="$work/bus.conf" 3>"$work/address" 2>"$work/errors" &
daemon=$!
for _ in $(seq 100); do
    [ -s "$work/address" ] && break
    kill -0 "$daemon" 2>/dev/null || break
    sleep 0.1
done
if [ ! -s "$work/address" ]; then
    echo "dbus-daemon refused the bus policy:" >&2
    cat "$work/errors" >&2
    exit 1
fi
# The interface descriptions are what introspection tools read.
for xml in "$source_dir"/packaging/interfaces/*.xml; do
    python3 -c 'import sys, xml.dom.minidom; xml.dom.minidom.parse(sys.argv[1])' "$xml"
done
echo "unit, bus policy and interface descriptions accepted"
