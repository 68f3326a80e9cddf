#!/usr/bin/env bash
# Builds the Debian package from a build tree into a temporary directory (cpack installs the
# build, it compiles nothing) and checks it as an administrator would meet it: the files it
# installs under /usr, its control fields, and lintian's verdict (no errors) when lintian is
# installed.
#
# Usage: package_check.sh BUILD_DIR
set -u

build=${1:?build directory}

for tool in cpack dpkg-deb dpkg-shlibdeps; do
    if ! command -v "$tool" >/dev/null 2>&1; then
        echo "skipped: $tool is not installed (apt-get install dpkg-dev)"
        exit 0
    fi
done

out=$(mktemp -d "${TMPDIR:-/tmp}/zelpackage.XXXXXX")
trap 'rm -rf "$out"' EXIT

. "$(dirname "${BASH_SOURCE[0]}")/checks.sh"

if ! cpack -G DEB --config "$build/CPackConfig.cmake" -B "$out" >"$out/cpack.log" 2>&1; then
    cat "$out/cpack.log"
    echo "FAILED: cpack -G DEB"
    exit 1
fi
deb=$(find "$out" -maxdepth 1 -name 'zelstats_*.deb')
if [ ! -f "$deb" ]; then
    cat "$out/cpack.log"
    echo "FAILED: no zelstats_*.deb in $out"
    exit 1
fi
ok "cpack built $(basename "$deb")"

# What the package installs.
dpkg-deb -c "$deb" | awk '{ print $6 }' | sed 's|^\./|/|' >"$out/files"
libdir=$(grep -m1 '/libzelcommon\.so\.1\.0\.0$' "$out/files" | xargs -r dirname)
if [ -z "$libdir" ]; then
    fail "/usr/lib*/libzelcommon.so.1.0.0"
    libdir=/usr/lib
fi
expected=(
    /usr/bin/statsdump /usr/bin/statsgen
    "$libdir/libzelcommon.so.1.0.0" "$libdir/libzelcommon.so.1" "$libdir/libzelcommon.so"
    "$libdir/libzelcommon.a" "$libdir/pkgconfig/zelcommon.pc"
    "$libdir/cmake/zelcommon/zelcommonConfig.cmake"
    "$libdir/cmake/zelcommon/zelcommonConfigVersion.cmake"
    "$libdir/cmake/zelcommon/zelcommonTargets.cmake"
    /usr/include/zelcommon/charts.h /usr/include/zelcommon/statsdump.h
    /usr/include/zelcommon/datapack.h /usr/include/zelcommon/zellog.h
    /usr/include/zelcommon/strerr.h /usr/include/zelcommon/crc.h
    /usr/include/zelcommon/zelcommon_export.h
    /usr/share/man/man1/statsdump.1.gz /usr/share/man/man1/statsgen.1.gz
    /usr/share/bash-completion/completions/statsdump
    /usr/share/doc/zelstats/copyright /usr/share/doc/zelstats/changelog.Debian.gz
)
if grep -q '^/usr/bin/statsweb$' "$out/files"; then
    expected+=(/usr/share/man/man1/statsweb.1.gz /usr/lib/systemd/system/statsweb.service)
fi
for f in "${expected[@]}"; do
    if grep -qxF "$f" "$out/files"; then ok "installs $f"; else fail "installs $f"; fi
done
if grep -v '^/usr/' "$out/files" | grep -qv '^/$'; then
    fail "everything under /usr"
    grep -v '^/usr/' "$out/files"
else
    ok "everything under /usr"
fi
dpkg-deb --fsys-tarfile "$deb" | tar -xO ".$libdir/pkgconfig/zelcommon.pc" >"$out/pc"
if grep -qx 'prefix=/usr' "$out/pc"; then ok "zelcommon.pc names /usr"; else fail "zelcommon.pc names /usr"; fi

# Control fields: the shared library's own dependencies found by dpkg-shlibdeps, and the
# shlibs entry and ldconfig trigger of a package that ships a shared library.
depends=$(dpkg-deb -f "$deb" Depends)
for d in libc6 libstdc++6 zlib1g; do
    if [[ "$depends" == *"$d ("* ]]; then ok "Depends names $d"; else fail "Depends names $d: $depends"; fi
done
dpkg-deb -e "$deb" "$out/control"
if grep -q '^libzelcommon 1 ' "$out/control/shlibs" 2>/dev/null; then
    ok "shlibs entry for libzelcommon.so.1"
else
    fail "shlibs entry for libzelcommon.so.1"
fi
if grep -qx 'activate-noawait ldconfig' "$out/control/triggers" 2>/dev/null; then
    ok "ldconfig trigger"
else
    fail "ldconfig trigger"
fi

if command -v lintian >/dev/null 2>&1; then
    lintian --fail-on error "$deb" \
        >"$out/lintian" 2>&1
    status=$?
    grep -v 'running with root privileges' "$out/lintian"
    if [ "$status" -eq 0 ]; then ok "lintian reports no errors"; else fail "lintian reports no errors"; fi
else
    echo "skipped: lintian is not installed"
fi

finish
