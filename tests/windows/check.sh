#!/usr/bin/env bash
# check.sh EXPECTED COMMAND...: what COMMAND prints (standard output and error, carriage returns dropped)
# is exactly EXPECTED.
# check.sh --storm COMMAND...: COMMAND exits with 3 within 6 s, saying the noise held no pause.
if [ "$1" = "--storm" ]; then
    shift
    start=$(date +%s%N)
    status=0
    answer=$(timeout 30 "$@" 2>&1) || status=$?
    elapsed=$((($(date +%s%N) - start) / 1000000))
    echo "exit $status after $elapsed ms: $answer"
    [ $status -eq 3 ] && [ $elapsed -lt 6000 ] && grep -q "bytes came without the pause" <<<"$answer"
    exit
fi
expected=$1
shift
answer=$("$@" 2>&1 | tr -d '\r')
echo "$answer"
if [ "$answer" != "$expected" ]; then
    echo "expected: $expected" >&2
    exit 1
fi
