"""What the demo and the soak share: a private message bus, the demo
broadcast and a device root, and the environment the programs need."""

import os
import re
import subprocess
import sys

BUS_CONFIG = """<!DOCTYPE busconfig PUBLIC "-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN"
 "http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd">
<busconfig>
  <type>session</type>
  <listen>unix:path={path}</listen>
  <auth>EXTERNAL</auth>
  <policy context="default">
    <allow send_destination="*" eavesdrop="true"/>
    <allow eavesdrop="true"/>
    <allow own="*"/>
  </policy>
</busconfig>
"""


def project_version():
    """The version in project() of the top CMakeLists.txt, the one every
    program reports: the scripts run from the source tree, next to it."""
    top = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "CMakeLists.txt")
    try:
        with open(top) as cmake:
            found = re.search(r"project\(\s*\S+\s+VERSION\s+([0-9.]+)", cmake.read())
    except OSError:
        found = None
    return found.group(1) if found else "unknown"


def run(env, *argv):
    """Runs a tool to its end; its failure ends the caller."""
    result = subprocess.run(argv, env=env, capture_output=True, text=True)
    if result.returncode != 0:
        sys.stderr.write(result.stdout + result.stderr)
        raise SystemExit(f"{argv[0]} failed with status {result.returncode}")
    return result.stdout


def prepare_broadcast(bin_dir, work, env, recordings=None, rf=False):
    """Lays out WORK/broadcast (the demo broadcast, or links to RECORDINGS'
    ETI files) and WORK/device with its channel list; answers both paths.
    With RF the demo broadcast is also written as a radio signal (with noise
    and offsets) and the device receives it through the SDR tuner."""
    broadcast = os.path.join(work, "broadcast")
    os.makedirs(broadcast)
    device = os.path.join(work, "device")
    if rf:
        run(env, os.path.join(bin_dir, "dmbtpeg-mkbroadcast"), "--demo", broadcast, "--iq",
            "--snr", "15", "--cfo", "900", "--sco", "10", "--echo", "20:-12")
        run(env, os.path.join(bin_dir, "dmbtpeg-device"), "init", device, "--tuner", "sdr",
            "--source", "file:" + broadcast, "--scan-source")
        return broadcast, device
    if recordings:
        source = os.path.abspath(recordings)
        for name in os.listdir(source):
            if name.endswith(".eti"):
                os.symlink(os.path.join(source, name), os.path.join(broadcast, name))
    else:
        run(env, os.path.join(bin_dir, "dmbtpeg-mkbroadcast"), "--demo", broadcast)
    run(env, os.path.join(bin_dir, "dmbtpeg-device"), "init", device, "--scan", broadcast)
    return broadcast, device


def start_private_bus(work):
    """Starts a dbus-daemon listening in WORK/bus; answers the process and its address."""
    bus_dir = os.path.join(work, "bus")
    os.makedirs(bus_dir)
    config = os.path.join(bus_dir, "bus.conf")
    with open(config, "w") as out:
        out.write(BUS_CONFIG.format(path=os.path.join(bus_dir, "socket")))
    daemon = subprocess.Popen(["dbus-daemon", "--nofork", "--print-address", f"--config-file={config}"],
                              stdout=subprocess.PIPE, text=True)
    return daemon, daemon.stdout.readline().strip()


def service_env(env, address, device, broadcast, scale, work):
    """Adds what the service and the tools read to ENV."""
    env.update({
        "DBUS_SESSION_BUS_ADDRESS": address, "DMBTPEG_BUS": "session",
        "DMBTPEG_ROOT": device, "DMBTPEG_BROADCAST": broadcast,
        "DMBTPEG_TIME_SCALE": str(scale),
        "DMBTPEG_RUNTIME_DIR": os.path.join(work, "run"),
        "DMBTPEG_LOG": os.path.join(work, "service.log"),
    })
    return env
