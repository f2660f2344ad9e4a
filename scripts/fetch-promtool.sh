#!/usr/bin/env bash
# Puts promtool (Prometheus's checker of metrics texts and rule files) into
# DIR, taken from Debian's prometheus package without installing it: no
# Prometheus server is installed or started. Does nothing when DIR/promtool is there.
set -euo pipefail
dir=${1:?usage: fetch-promtool.sh DIR}
[ -x "$dir/promtool" ] && exit 0
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
(cd "$work" && apt-get download prometheus >download.log 2>&1) || { cat "$work/download.log" >&2; exit 1; }
dpkg-deb -x "$work"/prometheus_*.deb "$work/root"
mkdir -p "$dir"
install -m 0755 "$work/root/usr/bin/promtool" "$dir/promtool"
