#!/bin/sh
# registration.sh MODULE CONTAINER_TEST RUN...
#
# regsvr32 against the registry, under Wine (RUN... runs a Windows program
# in the test prefix): registering for the machine and for the user writes
# the class, its ProgIDs and the type library where each belongs, a thread
# of another apartment calls the control through a proxy (CONTAINER_TEST's
# OtherApartment case), and unregistering leaves HKLM\Software and
# HKCU\Software exactly as they were.
set -u
module=$1 container=$2
shift 2
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
# Wine's regsvr32 without /s writes what it did, and why it failed, to its
# output (no message box): kept, and shown when it fails.
regsvr32() {
  $RUN regsvr32 "$@" >"$work/regsvr32.txt" 2>&1 && return 0
  status=$?
  tr -d '\r' <"$work/regsvr32.txt"
  return $status
}
# The typed interface through a proxy from another apartment ($1: which registration).
through_proxy() {
  VOSTREL_TEST_REGISTERED=1 $RUN "Z:$(echo "$container" | tr / '\\')" --gtest_filter='OtherApartment.*' \
    --gtest_brief=1 >"$work/proxy.txt" 2>&1 || { cat "$work/proxy.txt"; fail "the control through a proxy ($1 registration)"; }
  grep -q 'SKIPPED' "$work/proxy.txt" && { cat "$work/proxy.txt"; fail "the proxy case did not run"; }
  return 0
}
clsid='{4FED6267-5F3F-4E23-A7C1-839B49FC8DA9}'
libid='{054B510D-0D6F-42B1-AF7B-2A5868F395DD}'

snapshot before

# For the machine.
regsvr32 "$ocx" || fail "regsvr32 (machine) returned $?"
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
# Language-neutral: found for any locale.
grep -qF "$libid\\e.0\\0\\win" "$work/query.txt" || { cat "$work/query.txt"; fail "the library is not registered for locale 0"; }
through_proxy "machine"
regsvr32 /u "$ocx" || fail "regsvr32 /u (machine) returned $?"
snapshot machine
for hive in HKLM HKCU; do
  diff "$work/before-$hive.txt" "$work/machine-$hive.txt" >"$work/diff.txt" ||
    { cat "$work/diff.txt"; fail "$hive\\Software differs after unregistering (machine)"; }
done

# For the user alone (no administrator rights needed): nothing under HKLM.
regsvr32 /n /i:user "$ocx" || fail "regsvr32 /n /i:user returned $?"
query "HKCU\\Software\\Classes\\CLSID\\$clsid\\InprocServer32" || fail "no class under HKCU"
query "HKCU\\Software\\Classes\\TypeLib\\$libid\\e.0" /s || fail "type library not registered for the user"
query "HKLM\\Software\\Classes\\CLSID\\$clsid" && fail "per-user registration wrote under HKLM"
# (No proxy here: Wine's marshaler does not look for interfaces under
# HKCU\Software\Classes.)
query "HKCU\\Software\\Classes\\TypeLib\\$libid\\e.0\\0" /s || fail "the library is not registered for the user for locale 0"
query "HKLM\\Software\\Classes\\TypeLib\\$libid" && fail "per-user registration wrote the library under HKLM"
regsvr32 /u /n /i:user "$ocx" || fail "regsvr32 /u /n /i:user returned $?"
snapshot user
for hive in HKLM HKCU; do
  diff "$work/before-$hive.txt" "$work/user-$hive.txt" >"$work/diff.txt" ||
    { cat "$work/diff.txt"; fail "$hive\\Software differs after unregistering (user)"; }
done
echo "registration and unregistration (machine, user) leave the registry as it was"
