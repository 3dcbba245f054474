#!/bin/sh
# deb_install.sh BUILD
#
# The Debian packages in BUILD (vostrel, libvostrel-dev, python3-vostrel),
# as a user gets them: installed with apt-get, the tool run from /usr/bin,
# the host example built against the installed library through
# find_package and through pkg-config, the module imported by Debian's
# Python outside the source tree; then removed (purged), leaving none of
# their files. Needs root (or sudo).
set -u
build=$(cd "$1" && pwd)
root=$(cd "$(dirname "$0")/../.." && pwd)
packages="vostrel libvostrel-dev python3-vostrel"
sudo=""
[ "$(id -u)" -ne 0 ] && sudo="sudo"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
fail() { echo "FAILED: $*"; exit 1; }

debs=""
for p in $packages; do
  deb=$(ls "$build"/${p}_*.deb 2>/dev/null | head -n 1)
  [ -n "$deb" ] || fail "no ${p}_*.deb in $build"
  debs="$debs $deb"
done
# apt waits for a lock another install holds instead of failing.
apt() { $sudo env DEBIAN_FRONTEND=noninteractive apt-get -o DPkg::Lock::Timeout=300 -y -qq "$@"; }
apt install $debs >"$work/apt.log" 2>&1 || { cat "$work/apt.log"; fail "apt-get install"; }

# What the packages hold, for the check after removing them.
for p in $packages; do dpkg -L "$p"; done | sort -u >"$work/files.txt"

cd "$work"
[ "$(command -v vostrel)" = /usr/bin/vostrel ] || fail "vostrel is not /usr/bin/vostrel"
/usr/bin/vostrel --help >help.txt 2>&1 && grep -q 'demo' help.txt || { cat help.txt; fail "vostrel --help"; }
/usr/bin/vostrel demo >demo.txt 2>&1 || { cat demo.txt; fail "vostrel demo"; }
[ -f /usr/share/man/man1/vostrel.1.gz ] && zcat /usr/share/man/man1/vostrel.1.gz | grep -q '^\.TH VOSTREL' ||
  fail "no manual page vostrel(1)"
echo "deb: /usr/bin/vostrel --help and demo run; vostrel(1) installed"
# The bridge's MQTT client comes from Debian's libmosquitto, as a dependency.
dpkg-query -W -f='${Depends}' vostrel | grep -q 'libmosquitto1' ||
  fail "vostrel does not depend on libmosquitto1: $(dpkg-query -W -f='${Depends}' vostrel)"
/usr/bin/vostrel bridge --help >bridge.txt 2>&1 && grep -q 'mqtt://' bridge.txt || { cat bridge.txt; fail "vostrel bridge --help"; }
echo "deb: vostrel depends on libmosquitto1 and has the bridge"

# The host example, as a host outside this repository builds it; started
# on a device that is not there, it says so and fails.
cmake -S "$root/examples" -B cmake-build -G Ninja >cmake.log 2>&1 && cmake --build cmake-build >>cmake.log 2>&1 ||
  { cat cmake.log; fail "host example through find_package"; }
c++ -Wall -Wextra -Werror -o host_pc "$root/examples/host_example.cpp" $(pkg-config --cflags --libs vostrel) ||
  fail "host example through pkg-config"
for exe in cmake-build/host_example ./host_pc; do
  "$exe" /dev/vostrel-absent >run.txt 2>&1 && fail "$exe connected to a device that is not there"
  [ -s run.txt ] || fail "$exe failed without saying why"
done
echo "deb: host example built through find_package and pkg-config"

# As a user imports it: byte-compiling as it goes (root may write beside
# the module).
env -u PYTHONDONTWRITEBYTECODE /usr/bin/python3 -c 'import vostrel, sys; print(vostrel.__file__); assert vostrel.__file__.startswith("/usr/lib/python3/dist-packages/vostrel/")' >py.txt 2>&1 ||
  { cat py.txt; fail "import vostrel from /usr/bin/python3"; }
echo "deb: /usr/bin/python3 imports $(cat py.txt)"

apt purge $packages >"$work/apt.log" 2>&1 || { cat "$work/apt.log"; fail "apt-get purge"; }
for p in $packages; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'installed\|config-files' && fail "$p is still known to dpkg"
done
# A file or folder of theirs still there is left behind, unless another
# package owns the folder too.
while read -r path; do
  [ -e "$path" ] || continue
  [ -d "$path" ] && dpkg -S "$path" >/dev/null 2>&1 && continue
  fail "left behind: $path"
done <"$work/files.txt"
for dir in /usr/include/vostrel /usr/lib/cmake/vostrel /usr/lib/python3/dist-packages/vostrel; do
  [ -e "$dir" ] && fail "left behind: $dir"
done
echo "deb: removed, nothing left"
