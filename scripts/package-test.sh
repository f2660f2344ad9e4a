#!/usr/bin/env bash
# The Debian package of a build folder: made with cpack, listed, and either
#   (default) extracted with dpkg-deb -x, its backoffice making, checking and
#             running a batch on a temporary installation, or
#   --install installed with dpkg -i and removed again with dpkg -r, which must
#             create the service user and leave the installation alone
#             (`make package-test`; needs root and changes the machine).
set -euo pipefail
BUILD=$(cd "${1:?build folder}" && pwd)
MODE=${2:-extract}
WORK=$(mktemp -d /tmp/backoffice-package.XXXXXX)
trap 'rm -rf "$WORK"' EXIT
(cd "$WORK" && cpack -G DEB --config "$BUILD/CPackConfig.cmake" -B "$WORK/out" >"$WORK/cpack.log" 2>&1) ||
  { cat "$WORK/cpack.log"; exit 1; }
DEB=$(ls "$WORK"/out/*.deb)
dpkg-deb -c "$DEB" >"$WORK/contents"
for path in ./usr/bin/backoffice ./usr/share/backoffice/sql/schema.sql ./usr/share/backoffice/labels/1033.txt \
    ./usr/lib/systemd/system/backoffice-serve.service ./usr/lib/systemd/system/backoffice-batch.timer \
    ./usr/share/man/man1/backoffice.1.gz ./usr/share/bash-completion/completions/backoffice \
    ./etc/logrotate.d/backoffice; do
  grep -q " $path\$" "$WORK/contents" || { echo "package-test: $path is not in the package"; exit 1; }
done
echo "package-test: $(basename "$DEB") holds $(wc -l <"$WORK/contents") entries"

if [ "$MODE" = extract ]; then
  dpkg-deb -x "$DEB" "$WORK/root"
  BIN="$WORK/root/usr/bin/backoffice"
  HOME_DIR="$WORK/shop"
  "$BIN" --version
  "$BIN" init --demo --home "$HOME_DIR" >/dev/null
  "$BIN" check --home "$HOME_DIR"
  "$BIN" batch --home "$HOME_DIR" >/dev/null
  # the units name the binary the package installs
  grep -q '^ExecStart=/usr/bin/backoffice serve$' "$WORK/root/usr/lib/systemd/system/backoffice-serve.service" ||
    { echo "package-test: the host's unit does not start /usr/bin/backoffice"; exit 1; }
  echo "package-test: the extracted package made, checked and ran an installation"
  exit 0
fi

[ "$(id -u)" = 0 ] || { echo "package-test --install needs root"; exit 1; }
dpkg -i "$DEB"
getent passwd backoffice >/dev/null || { echo "package-test: no service user"; exit 1; }
su -s /bin/sh backoffice -c "umask 077; /usr/bin/backoffice init --home /srv/backoffice/shop" >/dev/null
su -s /bin/sh backoffice -c "/usr/bin/backoffice check --home /srv/backoffice/shop"
man -w backoffice >/dev/null
dpkg -r backoffice
[ -f /srv/backoffice/shop/config/VendaloConfiguration.xml ] || { echo "package-test: removal took the installation"; exit 1; }
[ ! -e /usr/bin/backoffice ] || { echo "package-test: the binary is still there"; exit 1; }
rm -rf /srv/backoffice/shop
echo "package-test: installed, used and removed; the installation stayed"
