#!/usr/bin/env bash
# Installs every Debian package that building, running and testing Lumen Server needs.
# Safe to run again; works as root on a fresh Debian 12 machine (sudo is used when not root).
set -euo pipefail

packages=(
    # build
    build-essential cmake ninja-build pkg-config
    qt6-base-dev libjsoncpp-dev libgl-dev
    # programs the server runs
    openssl xauth
    # the reference session launchers (xvfb for other tests' displays)
    python3 tigervnc-standalone-server x11-utils xterm xvfb
    # the desktop that start.sh starts: a window manager with a task bar, and a terminal
    icewm
    # the client lumen: its viewer; packages of the programs (dpkg-shlibdeps)
    tigervnc-viewer dpkg-dev
    # tests of the client: a session that paints its desktop (xsetroot)
    x11-xserver-utils
    # tests of the launchers: a VNC viewer, DES for a hand-made one
    vncsnapshot libssl-dev
    # tests: ssh relay, network namespaces, screenshots, VNC client
    openssh-server openssh-client iproute2 imagemagick python3-pil
    # tests: key presses and clicks on an Xvfb display (lumen_info)
    xdotool
    # fuzz targets: clang with libFuzzer and the sanitizer runtimes; llvm for readable stack traces
    clang libclang-rt-14-dev llvm
    # tests: a batch cluster (the tests start and stop every daemon themselves)
    slurm-wlm slurmctld slurmd slurm-client munge
)

run_as_root() {
    if [ "$(id -u)" -eq 0 ]; then "$@"; else sudo "$@"; fi
}

missing=()
for package in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed" || missing+=("$package")
done

if [ "${#missing[@]}" -gt 0 ]; then
    # Packages with daemons (munge, Slurm, sshd) must not start them on this machine: a policy that
    # refuses every service start while apt runs, removed again afterwards.
    policy=/usr/sbin/policy-rc.d
    if [ ! -e "$policy" ]; then
        run_as_root sh -c "printf '#!/bin/sh\nexit 101\n' > $policy && chmod 755 $policy"
        trap 'run_as_root rm -f "$policy"' EXIT
    fi
    run_as_root apt-get update -qq
    run_as_root env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${missing[@]}"
fi
