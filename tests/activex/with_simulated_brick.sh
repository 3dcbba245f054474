#!/bin/sh
# with_simulated_brick.sh VOSTREL PREFIX COM -- COMMAND...
#
# Runs COMMAND (a Windows test program under Wine) with a simulated brick
# on COM port COM of the Wine prefix PREFIX: starts `VOSTREL sim` (the
# natively built tool) on a pseudo-terminal, maps PREFIX/dosdevices/comCOM
# to it, sets VOSTREL_TEST_COM_PORT, and afterwards checks the brick's own
# account of what reached it. Exit 77 (skipped) when the native tool is
# missing.
set -u
tool=$1 prefix=$2 com=$3
shift 4
if [ ! -x "$tool" ]; then
  echo "skipped: no natively built vostrel tool at $tool (build the default preset first)"
  exit 77
fi
work=$(mktemp -d)
trap 'kill "$sim" 2>/dev/null; wait "$sim" 2>/dev/null; rm -rf "$work"; rm -f "$prefix/dosdevices/com$com"' EXIT
# The brick answers texts to mailbox 1 and sends no keep-alive queries, so
# it falls silent after its last answer.
"$tool" sim --ping-every 0 --echo-box 1 >"$work/brick.log" 2>&1 &
sim=$!
for _ in $(seq 100); do
  grep -q '^device: ' "$work/brick.log" && break
  sleep 0.05
done
device=$(sed -n 's/^device: //p' "$work/brick.log")
[ -n "$device" ] || { echo "the simulated brick did not start"; cat "$work/brick.log"; exit 1; }
mkdir -p "$prefix/dosdevices"
ln -sfn "$device" "$prefix/dosdevices/com$com"

VOSTREL_TEST_COM_PORT=$com "$@"
status=$?
kill -INT "$sim"
wait "$sim"
echo "--- the brick's account:"
cat "$work/brick.log"
[ $status -eq 0 ] || exit $status
# The brick's account: the connect's beep, both texts, the number as the
# brick decoded its four bytes, and its answer.
for line in 'brick: heard a tone' 'brick: inbox 3 got "hello"' 'brick: inbox 2 got "123456"' \
            'brick: inbox 1 got "hi"' 'brick: sends reply "got hi'; do
  grep -qF "$line" "$work/brick.log" || { echo "missing from the brick's account: $line"; exit 1; }
done
exit 0
