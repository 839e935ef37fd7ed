#!/usr/bin/env bash
# Installs a build into a scratch root and builds its Debian package: every
# file lands where systemd, man and the shell look, and the service unit
# starts the binary that was installed.
#   install_test.sh BUILD_DIR
set -euo pipefail
build=$1
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
fail() { echo "install test: $*" >&2; exit 1; }

prefix=$(sed -n 's/^CMAKE_INSTALL_PREFIX:PATH=//p' "$build/CMakeCache.txt")
[ -n "$prefix" ] || fail "no install prefix in $build/CMakeCache.txt"

DESTDIR=$scratch/root cmake --install "$build" >/dev/null
root=$scratch/root$prefix
for file in bin/fenwright bin/fenwright-ctl bin/fenwright-view; do
  [ -x "$root/$file" ] || fail "$file is missing or not executable"
done
for file in lib/systemd/user/fenwright.socket lib/systemd/user/fenwright.service \
            share/man/man1/fenwright.1 share/man/man1/fenwright-ctl.1 share/man/man1/fenwright-view.1; do
  [ -s "$root/$file" ] || fail "$file is missing or empty"
done
exec_start=$(sed -n 's/^ExecStart=//p' "$root/lib/systemd/user/fenwright.service")
[ "$exec_start" = "$prefix/bin/fenwright" ] || fail "ExecStart=$exec_start, installed at $prefix/bin/fenwright"
grep -q '^ListenSequentialPacket=%t/Q2WXR7TZ4M.com.quenfield.app.pipmode$' \
  "$root/lib/systemd/user/fenwright.socket" || fail "the socket unit listens elsewhere"
"$root/bin/fenwright-ctl" --help | grep -q windows || fail "the installed fenwright-ctl does not run"

# The package: the same files, and the scripts that enable the socket.
(cd "$scratch" && cpack -G DEB --config "$build/CPackConfig.cmake" -B "$scratch/deb" >/dev/null) ||
  fail "cpack -G DEB failed"
deb=$(ls "$scratch"/deb/fenwright_*.deb 2>/dev/null | head -n 1)
[ -n "$deb" ] || fail "cpack wrote no .deb"
contents=$(dpkg-deb -c "$deb")
for file in bin/fenwright bin/fenwright-ctl bin/fenwright-view lib/systemd/user/fenwright.socket \
            lib/systemd/user/fenwright.service share/man/man1/fenwright.1; do
  grep -q "\.$prefix/$file\$" <<<"$contents" || fail "the package lacks $prefix/$file"
done
dpkg-deb -e "$deb" "$scratch/control"
grep -q 'enable fenwright.socket' "$scratch/control/postinst" || fail "postinst does not enable the socket"
grep -q 'disable fenwright.socket' "$scratch/control/prerm" || fail "prerm does not disable the socket"
echo "install test: $(wc -l <<<"$contents") entries in $(basename "$deb"), installed tree complete"
