#!/bin/sh
# scripts.sh MODULE SCRIPTS RUN...
#
# Registers the module (for the machine: Wine looks classes up there
# alone), runs every script of the folder
# SCRIPTS through Wine's cscript (RUN... runs a Windows program in the test
# prefix), and unregisters. A script prints one line per check and ends
# with exit code 0 only when every check passed.
set -u
module=$(realpath "$1") scripts=$(realpath "$2")
shift 2
RUN="$*"
win() { printf 'Z:%s' "$(printf '%s' "$1" | tr / '\\')"; }
$RUN regsvr32 /s "$(win "$module")" || { echo "FAILED: regsvr32 returned $?"; exit 1; }
status=0
for script in "$scripts"/*.vbs "$scripts"/*.js; do
  echo "--- $(basename "$script")"
  out=$(mktemp)
  $RUN cscript //nologo "$(win "$script")" >"$out.raw" 2>&1
  rc=$?
  tr -d '\r' <"$out.raw" >"$out"
  cat "$out"
  # cscript's own exit status is the script's WScript.Quit code.
  if [ $rc -ne 0 ] || grep -q '^FAILED' "$out" || ! grep -q '^all passed' "$out"; then
    echo "FAILED: $(basename "$script")"
    status=1
  fi
  rm -f "$out" "$out.raw"
done
$RUN regsvr32 /s /u "$(win "$module")" || { echo "FAILED: regsvr32 /u returned $?"; exit 1; }
exit $status
