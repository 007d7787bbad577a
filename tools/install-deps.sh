#!/usr/bin/env bash
# Installs every Debian 12 package tesmor needs to build, test and run. Idempotent; run as root.
set -euo pipefail

packages=(
  build-essential cmake ninja-build pkg-config git gcc-multilib g++-multilib
  clang libclang-rt-14-dev clang-format
  libmodbus-dev libsqlite3-dev libpugixml-dev libssl-dev openssl
  qt6-base-dev qt6-base-dev-tools libgl-dev qt6-translations-l10n
  libgtest-dev libgmock-dev libbenchmark-dev nlohmann-json3-dev
  mbpoll python3 python3-pymodbus python3-serial python3-serial-asyncio socat sqlite3
  fonts-dejavu-core xvfb xauth locales iproute2
)

if [ "$(id -u)" -ne 0 ]; then
  echo "install-deps.sh: run as root (it calls apt-get)" >&2
  exit 1
fi

missing=()
for p in "${packages[@]}"; do
  [ "$(dpkg-query -W -f='${Status}' "$p" 2>/dev/null)" = "install ok installed" ] || missing+=("$p")
done

if [ ${#missing[@]} -gt 0 ]; then
  export DEBIAN_FRONTEND=noninteractive
  apt-get update
  apt-get install -y --no-install-recommends "${missing[@]}"
fi

# Tests check number handling under a decimal-comma locale.
if ! grep -qi '^ru_RU\.utf8$' <<<"$(locale -a 2>/dev/null)"; then
  sed -i 's/^# *ru_RU.UTF-8 UTF-8/ru_RU.UTF-8 UTF-8/' /etc/locale.gen
  grep -q '^ru_RU.UTF-8 UTF-8' /etc/locale.gen || echo 'ru_RU.UTF-8 UTF-8' >> /etc/locale.gen
  locale-gen >/dev/null
fi
