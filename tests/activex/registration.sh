#!/bin/sh
# registration.sh MODULE RUN...
#
# regsvr32 against the registry, under Wine (RUN... runs a Windows program
# in the test prefix): registering for the machine and for the user writes
# the class, its ProgIDs and the type library where each belongs, and
# unregistering leaves HKLM\Software and HKCU\Software exactly as they were.
set -u
module=$1
shift
ocx="Z:$(echo "$module" | tr / '\\')"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
fail() { echo "FAILED: $*"; exit 1; }
# Exports both hives' Software keys as UTF-8 text ($1: the snapshot's name),
# leaving out the NetworkCards keys Wine itself writes whenever a program of
# the prefix (a test running beside this one) first looks at the network.
snapshot() {
  for hive in HKLM HKCU; do
    $RUN reg export "$hive\\Software" "Z:$(echo "$work/$1-$hive.reg" | tr / '\\')" /y >/dev/null 2>&1 ||
      fail "reg export $hive\\Software"
    iconv -f UTF-16 -t UTF-8 "$work/$1-$hive.reg" |
      awk '/^\[/ { skip = ($0 ~ /\\NetworkCards[\\\]]/) } !skip' >"$work/$1-$hive.txt"
  done
}
RUN="$*"
query() { $RUN reg query "$@" >"$work/query.txt" 2>&1; }
clsid='{4FED6267-5F3F-4E23-A7C1-839B49FC8DA9}'
libid='{054B510D-0D6F-42B1-AF7B-2A5868F395DD}'

snapshot before

# For the machine.
$RUN regsvr32 /s "$ocx" || fail "regsvr32 (machine) returned $?"
query "HKLM\\Software\\Classes\\CLSID\\$clsid" /s || fail "no class under HKLM"
for expected in 'ThreadingModel    REG_SZ    Apartment' "InprocServer32" '\Control' \
                'MiscStatus\1' '132497' "ToolboxBitmap32" ', 30000' "$libid" \
                'VostrelControl.Vostrel.1' 'Implemented Categories\{40FC6ED4-2438-11CF-A3DB-080036F12502}'; do
  grep -qF "$expected" "$work/query.txt" || { cat "$work/query.txt"; fail "class key lacks: $expected"; }
done
tr -d '\r' <"$work/query.txt" | grep -qxF '    (Default)    REG_SZ    Vostrel' || { cat "$work/query.txt"; fail "the class is not named Vostrel"; }
query "HKLM\\Software\\Classes\\VostrelControl.Vostrel\\CurVer" || fail "no ProgID"
grep -qF 'VostrelControl.Vostrel.1' "$work/query.txt" || fail "ProgID's CurVer"
query "HKLM\\Software\\Classes\\TypeLib\\$libid\\e.0" /s || fail "type library not registered"
$RUN regsvr32 /s /u "$ocx" || fail "regsvr32 /u (machine) returned $?"
snapshot machine
for hive in HKLM HKCU; do
  diff "$work/before-$hive.txt" "$work/machine-$hive.txt" >"$work/diff.txt" ||
    { cat "$work/diff.txt"; fail "$hive\\Software differs after unregistering (machine)"; }
done

# For the user alone (no administrator rights needed): nothing under HKLM.
$RUN regsvr32 /s /n /i:user "$ocx" || fail "regsvr32 /n /i:user returned $?"
query "HKCU\\Software\\Classes\\CLSID\\$clsid\\InprocServer32" || fail "no class under HKCU"
query "HKCU\\Software\\Classes\\TypeLib\\$libid\\e.0" /s || fail "type library not registered for the user"
query "HKLM\\Software\\Classes\\CLSID\\$clsid" && fail "per-user registration wrote under HKLM"
query "HKLM\\Software\\Classes\\TypeLib\\$libid" && fail "per-user registration wrote the library under HKLM"
$RUN regsvr32 /s /u /n /i:user "$ocx" || fail "regsvr32 /u /n /i:user returned $?"
snapshot user
for hive in HKLM HKCU; do
  diff "$work/before-$hive.txt" "$work/user-$hive.txt" >"$work/diff.txt" ||
    { cat "$work/diff.txt"; fail "$hive\\Software differs after unregistering (user)"; }
done
echo "registration and unregistration (machine, user) leave the registry as it was"
