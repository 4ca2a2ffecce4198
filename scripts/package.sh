#!/usr/bin/env bash
# Builds the Debian package from the build folder, checks it with lintian and the AppStream
# metadata with appstreamcli, installs it, runs the installed programs once and removes it.
# KELM_KEEP_PACKAGE=1 leaves it installed.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${KELM_BUILD_DIR:-$root/build}
"$root/scripts/install-deps.sh"
"$root/scripts/build.sh"
rm -f "$build"/kelm_*.deb
(cd "$build" && cpack -G DEB >/dev/null)
deb=$(ls "$build"/kelm_*.deb)
echo "built $(basename "$deb")"
# Errors fail the build; the warnings that remain are listed.
lintian --fail-on error "$deb" 2>&1 | grep -v "running with root privileges"; [ "${PIPESTATUS[0]}" = 0 ] || {
    echo "lintian found errors in $deb"
    exit 1
}
appstreamcli validate --no-net "$root/resources/de.morvane.kelm.metainfo.xml"
desktop-file-validate "$root/resources/kelm.desktop"
export DEBIAN_FRONTEND=noninteractive
apt-get install -y -qq "$deb" >/dev/null
/usr/bin/kelm --version >/dev/null
/usr/bin/kelm-check --help >/dev/null
/usr/bin/kelm-unit --help >/dev/null
test -f /usr/share/metainfo/de.morvane.kelm.metainfo.xml
test -f /usr/share/man/man1/kelm-check.1.gz
echo "installed and tried: /usr/bin/kelm /usr/bin/kelm-check /usr/bin/kelm-unit"
if [ "${KELM_KEEP_PACKAGE:-0}" != 1 ]; then
    apt-get remove -y -qq kelm >/dev/null
    echo "removed again"
fi
