#!/usr/bin/env bash
# Installs the Debian packages the build (with "browser": the browser test;
# with "format": the format check) needs, when they are missing. Safe to run
# again.
set -euo pipefail
packages=(cmake g++ make pkg-config nlohmann-json3-dev libcli11-dev libfast-float-dev libsimdjson-dev libgtest-dev
          libbenchmark-dev python3 libreadstat-dev python3-pandas python3-distributed
          zlib1g-dev libzstd-dev zstd libunistring-dev)
if [ "${1:-}" = "browser" ]; then
  packages=(chromium)
elif [ "${1:-}" = "format" ]; then
  packages=(clang-format)
fi
missing=()
for p in "${packages[@]}"; do
  # Installed, not merely known (a package removed but for its
  # configuration files is still listed by dpkg).
  [ "$(dpkg-query -W -f='${Status}' "$p" 2>/dev/null)" = "install ok installed" ] || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "installing: ${missing[*]}"
  sudo=""
  [ "$(id -u)" -ne 0 ] && sudo="sudo"
  $sudo apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi
