#!/bin/sh
# scripts.sh MODULE DESIGN_FORM SCRIPTS RUN...
#
# Registers the module (for the machine: Wine looks classes up there
# alone), runs every script of the folder
# SCRIPTS through Wine's cscript (RUN... runs a Windows program in the test
# prefix), and unregisters. A script prints one line per check and ends
# with exit code 0 only when every check passed. DESIGN_FORM is the test
# class VostrelTest.DesignForm (a form being designed), registered for the
# scripts' design-time checks.
set -u
module=$(realpath "$1") form=$(realpath "$2") scripts=$(realpath "$3")
shift 3
RUN="$*"
win() { printf 'Z:%s' "$(printf '%s' "$1" | tr / '\\')"; }
# Wine's regsvr32 without /s says what it did and why it failed (no message
# box): shown when it fails.
regsvr32() {
  said=$($RUN regsvr32 "$@" 2>&1) && return 0
  status=$?
  printf '%s\n' "$said" | tr -d '\r'
  return $status
}
regsvr32 "$(win "$module")" || { echo "FAILED: regsvr32 returned $?"; exit 1; }
formKey='HKLM\Software\Classes\CLSID\{D68D3BB0-F4A5-4F66-B8ED-DE1C6BBA0B4F}'
progKey='HKLM\Software\Classes\VostrelTest.DesignForm'
$RUN reg add "$formKey\InprocServer32" /ve /d "$(win "$form")" /f >/dev/null &&
  $RUN reg add "$formKey\InprocServer32" /v ThreadingModel /d Apartment /f >/dev/null &&
  $RUN reg add "$progKey\CLSID" /ve /d '{D68D3BB0-F4A5-4F66-B8ED-DE1C6BBA0B4F}' /f >/dev/null ||
  { echo "FAILED: registering VostrelTest.DesignForm"; exit 1; }
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
$RUN reg delete "$formKey" /f >/dev/null
$RUN reg delete "$progKey" /f >/dev/null
regsvr32 /u "$(win "$module")" || { echo "FAILED: regsvr32 /u returned $?"; exit 1; }
exit $status
