#!/usr/bin/env bash
# Installs the Debian packages that building, testing and running need, when missing.
set -euo pipefail
PACKAGES=(g++ make cmake pkg-config
  libsqlite3-dev libpq-dev postgresql libcurl4-openssl-dev libpugixml-dev
  libsystemd-dev libspdlog-dev libfmt-dev libicu-dev libssl-dev libxml2-dev libxslt1-dev
  libgtest-dev libgmock-dev libbenchmark-dev python3-pyftpdlib libcli11-dev
  clang libclang-rt-14-dev libsodium-dev libcpp-httplib-dev libboost-dev openssl nlohmann-json3-dev
  libsystemd-dev systemd help2man dpkg-dev adduser
  curl wrk time chromium chromium-driver python3-selenium python3-jsonschema python3-hypothesis)
missing=()
for p in "${PACKAGES[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0
echo "Installing: ${missing[*]}"
SUDO=""
[ "$(id -u)" = 0 ] || SUDO=sudo
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update -qq
$SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
