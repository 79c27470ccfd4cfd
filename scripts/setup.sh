#!/usr/bin/env bash
# Installs the Debian packages that Lumen Server needs: by default those for building and running it
# (what scripts/start.sh needs); with --tests also those that the test suite and the fuzz targets
# need (what scripts/test.sh needs). Safe to run again; works as root on a fresh Debian 12 machine
# (sudo is used when not root, and only when something is missing).
#
#   ./scripts/setup.sh [--tests]
set -euo pipefail

# Building and running: the programs, the reference launchers, the client and its packages.
run_packages=(
    # build
    build-essential cmake ninja-build pkg-config
    qt6-base-dev libjsoncpp-dev libgl-dev
    # programs the server runs
    openssl xauth
    # the reference session launchers
    python3 tigervnc-standalone-server
    # the desktop that start.sh starts: a window manager with a task bar, and a terminal
    icewm xterm
    # the client lumen: ssh and its viewer; packages of the programs (dpkg-shlibdeps)
    openssh-client tigervnc-viewer dpkg-dev
    # the client's browser view: noVNC and its WebSocket bridge
    novnc websockify
)

# Testing, on top: displays and X tools, a second VNC viewer, sshd, network namespaces, image
# checks, the fuzz tool chain and the package checker.
test_packages=(
    # displays for the tests, X clients that probe them (xdpyinfo, xwininfo, xmessage)
    xvfb x11-utils
    # tests of the client: a session that paints its desktop (xsetroot)
    x11-xserver-utils
    # tests of the launchers: a VNC viewer, DES for a hand-made one
    vncsnapshot libssl-dev
    # tests: ssh relay, network namespaces, screenshots, VNC client
    openssh-server iproute2 imagemagick python3-pil
    # tests: key presses and clicks on an Xvfb display (lumen_info)
    xdotool
    # tests of the browser view: headless chromium driven by selenium; the clipboard of a session
    chromium chromium-driver python3-selenium xclip
    # fuzz targets: clang with libFuzzer and the sanitizer runtimes; llvm for readable stack traces
    clang libclang-rt-14-dev llvm
    # tests: a batch cluster (the tests start and stop every daemon themselves)
    slurm-wlm slurmctld slurmd slurm-client munge
    # tests of the Debian packages
    lintian
)

packages=("${run_packages[@]}")
case "${1:-}" in
    --tests) packages+=("${test_packages[@]}") ;;
    "") ;;
    *) echo "Usage: $0 [--tests]" >&2; exit 2 ;;
esac

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
