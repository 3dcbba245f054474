#!/bin/sh
# other_module.sh MODULE COMMAND...: runs COMMAND (a test program under
# Wine) on another build's module, named in VOSTREL_TEST_OCX as a Windows
# path. Skipped (77) when that build has not made it.
module=$1
shift
[ -f "$module" ] || { echo "Skipped: no module at $module (build it first)"; exit 77; }
VOSTREL_TEST_OCX="Z:$(printf '%s' "$module" | tr / '\\')" exec "$@"
