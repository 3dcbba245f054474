#!/bin/sh
# msi_install.sh ARCH MSI WXS_TOOL WIXL FILES PREFIX WINE64 WINE WINESERVER VOSTREL CONTAINER_TEST SESSION_TEST [OTHER_MSI]
#
# The Windows Installer package of ARCH (x64, x86) under Wine, in the prefix
# PREFIX made afresh: installing writes exactly the registry regsvr32 writes
# for the installed module, the class is created by ProgID from the matching
# cscript, the C++ test container and the brick session (with the natively
# built VOSTREL's simulated brick) pass against the installed module, an
# upgrade (1.0.0 to 1.0.1, packages made with WXS_TOOL and WIXL from FILES)
# leaves one product, and uninstalling leaves the registry and drive_c as
# they were before. With OTHER_MSI (the other architecture's package): both
# installed side by side, removing either leaves the other's registry as its
# own install left it, and the control still works through a proxy.
set -u
arch=$1 msi=$2 wxs_tool=$3 wixl=$4 files=$5 prefix=$6 wine64=$7 wine=$8 server=$9
shift 9
vostrel=$1 container=$2 session=$3 other=${4:-}
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)
export WINEPREFIX="$prefix" WINEDEBUG=-all
work=$(mktemp -d)
trap 'sh "$root/cmake/wine-prefix" stop "$wine64" "$prefix" "$server" >/dev/null; rm -rf "$work"' EXIT
fail() { echo "FAILED: $*"; exit 1; }
win() { printf 'Z:%s' "$(printf '%s' "$1" | tr / '\\')"; }

# The programs of the package's architecture, and where it installs.
if [ "$arch" = x64 ]; then
  run=$wine64 folder='C:\Program Files\VostrelControl' unix="$prefix/drive_c/Program Files/VostrelControl"
else
  run=$wine folder='C:\Program Files (x86)\VostrelControl' unix="$prefix/drive_c/Program Files (x86)/VostrelControl"
fi
module="$folder\\VostrelControl.ocx"

rm -rf "$prefix"
sh "$root/cmake/wine-prefix" start "$wine64" "$prefix" "$server" >/dev/null || fail "creating the prefix"

# reg export KEY to FILE. Under load (tests beside this one in other
# prefixes) Wine's reg has been seen to fail once with no lasting cause: it
# is tried three times, and the last failure's words are shown.
export_key() {
  for try in 1 2 3; do
    "$wine64" reg export "$1" "$(win "$2")" /y >"$work/reg.log" 2>&1 && return 0
    sleep 1
  done
  cat "$work/reg.log"
  fail "reg export $1"
}
# HKLM\Software and HKCU\Software as text ($1: the snapshot's name), without
# the NetworkCards keys Wine writes when a program first looks at the network
# and without the names of Windows Installer's own keys (left empty).
snapshot() {
  for hive in HKLM HKCU; do
    export_key "$hive\\Software" "$work/$1-$hive.reg"
    iconv -f UTF-16 -t UTF-8 "$work/$1-$hive.reg" | tr -d '\r' |
      awk '/^\[/ { skip = ($0 ~ /\\NetworkCards[\\\]]/) } !skip' |
      grep -v '^$\|^\[HKEY_LOCAL_MACHINE\\Software\\\(Classes\|Microsoft\\Windows\\CurrentVersion\)\\Installer[]\\]' \
        >"$work/$1-$hive.txt"
  done
}
# The classes of both registry views, less Windows Installer's own records.
classes() {
  for view in 'Classes' 'Wow6432Node\Classes'; do
    export_key "HKLM\\Software\\$view" "$work/view.reg"
    iconv -f UTF-16 -t UTF-8 "$work/view.reg" | tr -d '\r' |
      awk '/^\[/ { skip = ($0 ~ /\\Classes\\Installer[\\\]]|\\Wow6432Node\\Classes\]$/) } !skip'
  done >"$work/$1.txt"
}
# drive_c's files and folders, less temporary ones and Windows Installer's
# own folder (its cached packages inside it are listed).
files() {
  (cd "$prefix/drive_c" && find . | grep -v '^./windows/temp\|/Temp/\|^./windows/Installer$' | sort) >"$work/$1-files.txt"
}
same() {
  diff "$work/$1" "$work/$2" >"$work/diff.txt" || { cat "$work/diff.txt"; fail "$3"; }
}
# Wine's regsvr32 without /s says what it did and why it failed: shown when it fails.
regsvr32() {
  "$run" regsvr32 "$@" >"$work/regsvr32.log" 2>&1 && return 0
  status=$?
  tr -d '\r' <"$work/regsvr32.log"
  return $status
}
msiexec() { "$wine64" msiexec "$@" /qn >"$work/msiexec.log" 2>&1 || { cat "$work/msiexec.log"; fail "msiexec $* returned $?"; }; }
# The typed interface called through a proxy from another apartment, against
# the installed module ($1: when).
through_proxy() {
  VOSTREL_TEST_REGISTERED=1 VOSTREL_TEST_OCX=$module "$run" "$(win "$container")" --gtest_filter='OtherApartment.*' \
    --gtest_brief=1 >"$work/proxy.log" 2>&1 || { cat "$work/proxy.log"; fail "the control through a proxy ($1)"; }
}
create() {
  printf 'Set o = CreateObject("VostrelControl.Vostrel")\r\nWScript.Echo "created " & TypeName(o)\r\n' >"$work/create.vbs"
  "$run" cscript //nologo "$(win "$work/create.vbs")" 2>&1 | tr -d '\r'
}

# cscript's first run registers its own type library: before the snapshot.
create | grep -q '^created ' && fail "the class is known before installing"
snapshot before
files before

# What regsvr32 of the matching architecture writes for a module in the
# package's folder.
mkdir -p "$unix" && cp "$files/VostrelControl.ocx" "$unix/" || fail "copying the module"
regsvr32 "$module" || fail "regsvr32 returned $?"
classes regsvr32
regsvr32 /u "$module" || fail "regsvr32 /u returned $?"
rm -rf "$unix"

msiexec /i "$(win "$msi")"
for f in VostrelControl.ocx VostrelControl.tlb vostrel.exe README.txt; do
  cmp -s "$files/$f" "$unix/$f" || fail "$f not installed in $folder"
done
classes installed
if [ "$arch" = x86 ]; then
  # Under Wine the 32-bit regsvr32 writes the ProgIDs into the shared view
  # and the interfaces into both views, while Windows Installer writes a
  # 32-bit package's rows, the ProgIDs among them, into the 32-bit view
  # (Wow6432Node) alone. Compared here: the same keys and values, in
  # whichever view.
  for f in regsvr32 installed; do
    sed 's/^\[HKEY_LOCAL_MACHINE\\Software\\\(Classes\\Wow6432Node\|Wow6432Node\\Classes\|Classes\)\\/[/' "$work/$f.txt" |
      awk '/^\[/ { key = $0; print key; next } /^$/ { next } { print key " " $0 }' | sort -u >"$work/$f-any-view.txt"
  done
  same regsvr32-any-view.txt installed-any-view.txt "the package's registry differs from regsvr32's (< regsvr32, > package)"
else
  same regsvr32.txt installed.txt "the package's registry differs from regsvr32's (< regsvr32, > package)"
fi
out=$(create)
[ "$out" = "created _Vostrel" ] || fail "CreateObject(\"VostrelControl.Vostrel\") from cscript: $out"
echo "installed: registry as regsvr32 writes it; cscript creates the control ($out)"

VOSTREL_TEST_REGISTERED=1 VOSTREL_TEST_OCX=$module "$run" "$(win "$container")" --gtest_brief=1 >"$work/container.log" 2>&1 ||
  { cat "$work/container.log"; fail "the test container against the installed module"; }
VOSTREL_TEST_OCX=$module sh "$root/tests/activex/with_simulated_brick.sh" "$vostrel" "$prefix" 7 -- \
  "$run" "$(win "$session")" --gtest_brief=1 >"$work/session.log" 2>&1
status=$?
[ $status -eq 77 ] && { cat "$work/session.log"; exit 77; }
[ $status -eq 0 ] || { cat "$work/session.log"; fail "the brick session against the installed module"; }
echo "installed: test container and brick session pass against $module"

# Uninstalling leaves drive_c and the registry as they were before.
uninstall() {
  msiexec /x "$(win "$1")"
  snapshot removed
  files removed
  same before-files.txt removed-files.txt "drive_c differs after uninstalling$2"
  for hive in HKLM HKCU; do
    same before-$hive.txt removed-$hive.txt "$hive\\Software differs after uninstalling$2"
  done
}
uninstall "$msi" ""
echo "uninstalled: registry and drive_c as before"

# An upgrade replaces the earlier version: one product is left, registered.
cp -r "$files" "$work/package"
for version in 1.0.0 1.0.1; do
  "$wxs_tool" "$arch" $version "$work/package/$version.wxs" &&
    sh "$root/cmake/wixl-strict" "$wixl" -a "$arch" -o "$work/$version.msi" "$work/package/$version.wxs" ||
    fail "making the $version package"
  msiexec /i "$(win "$work/$version.msi")"
done
snapshot upgraded
# The products in Settings > Apps: entries of the Uninstall key.
awk '/^\[/ { uninstall = ($0 ~ /\\CurrentVersion\\Uninstall\\/) }
     uninstall && /^"Display(Name|Version)"=/' "$work/upgraded-HKLM.txt" >"$work/products.txt"
products=$(grep -c '^"DisplayName"="VostrelControl (' "$work/products.txt")
[ "$products" -eq 1 ] || { cat "$work/products.txt"; fail "$products products installed after the upgrade"; }
grep -q '^"DisplayVersion"="1.0.1"' "$work/products.txt" || fail "1.0.1 is not the installed version"
classes upgraded
same installed.txt upgraded.txt "the registry after the upgrade differs from the first install's"
uninstall "$work/1.0.1.msi" " the upgrade"
echo "upgrade 1.0.0 -> 1.0.1: one product, registered as regsvr32 registers; removed cleanly"

# Side by side with the other architecture's package: either removal leaves
# the other product's registry exactly as its own install left it.
[ -n "$other" ] || exit 0
[ -f "$other" ] || { echo "Skipped: side by side: no package of the other architecture at $other"; exit 77; }
msiexec /i "$(win "$other")"
classes other-alone
msiexec /x "$(win "$other")"
msiexec /i "$(win "$msi")"
msiexec /i "$(win "$other")"
msiexec /x "$(win "$other")"
classes kept
same installed.txt kept.txt "removing the other package changed this one's registry"
through_proxy "the other package removed"
msiexec /i "$(win "$other")"
msiexec /x "$(win "$msi")"
classes other-kept
same other-alone.txt other-kept.txt "removing this package changed the other's registry"
uninstall "$other" " the other package"
echo "side by side: removing either package leaves the other registered as its own install did"
