#!/usr/bin/env bash
# Installs the Debian packages the project builds and tests with, when any is missing.
set -euo pipefail
pkgs=(build-essential cmake ninja-build pkg-config clang libclang-rt-14-dev
      libgtest-dev libgmock-dev libbenchmark-dev libssl-dev libsqlite3-dev zlib1g-dev libzip-dev
      libargon2-dev libcurl4-openssl-dev curl python3)
missing=()
for p in "${pkgs[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "Installing: ${missing[*]}"
  SUDO=""; [ "$(id -u)" -ne 0 ] && SUDO=sudo
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq "${missing[@]}"
fi
