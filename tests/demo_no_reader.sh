#!/bin/sh
# iddemo with no reader module attached: the main thread prints "..." every
# second, and every read cycle reports "usb connect err" through the demo's
# callback, about every two seconds, with no card output.
# Usage: demo_no_reader.sh [EMULATOR ARGS...] IDDEMO
set -u

out=$(mktemp)
# Eight seconds: room for a slow start (qemu-user, a loaded machine).
timeout -s INT 8 "$@" >"$out" 2>/dev/null
status=$?
fail=0
[ $status -eq 124 ] || { echo "iddemo ended by itself (status $status)"; fail=1; }

ticks=$(grep -c '^\.\.\.' "$out")
errs=$(grep -c '^DemoIdcardCB: usb connect err' "$out")
echo "ticks: $ticks, usb connect err: $errs"
[ "$ticks" -ge 3 ] || { echo "expected a tick line every second"; fail=1; }
[ "$errs" -ge 1 ] && [ "$errs" -le 5 ] || { echo "expected a failed cycle about every two seconds"; fail=1; }
if grep -q -e 'Usage:' -e 'ICUsage:' "$out"; then echo "card output without a reader"; fail=1; fi
grep -q "$(printf '\\.\\.\\.\r$')" "$out" || { echo "tick line must be \"...\\\\r\""; fail=1; }
grep -q "$(printf 'usb connect err\r$')" "$out" || { echo "callback lines end in \\\\r\\\\n"; fail=1; }
rm -f "$out"
exit $fail
