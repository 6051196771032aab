#!/usr/bin/env bash
# sims.sh start|stop FOLDER PREFIXES [VELKOR_SIM]: the devices behind the COM ports of the Windows tests.
# start runs velkor-sim instances of the host build on pseudo-terminals in FOLDER and links them as
# COM40 (answers), COM41 (stalls after a frame), COM42 (hangs up after each first frame, back at once),
# COM43 (noise after a frame, for the engine's tests), COM44 (the same, for velkor-cli's) and COM45 (answers,
# and writes every frame as a JSON line to FOLDER/record.jsonl, for the window's test) in each Wine prefix
# of PREFIXES (separated by colons); it also empties velkor-cli's sequence numbers there. stop ends them and
# removes the links.
set -u
action=$1 folder=$2 sim=${4:-}
IFS=: read -r -a prefixes <<<"$3"
roles=(plain stall hangup storm storm-cli record)

stop() {
    rm -f "$folder/again"
    if [ -f "$folder/pids" ]; then
        # Each was started in a session of its own: the whole group goes.
        while read -r pid; do kill -TERM -- "-$pid" 2>/dev/null || true; done <"$folder/pids"
    fi
    pkill -f -- "--link $folder/" 2>/dev/null || true
    rm -f "$folder/pids"
    for prefix in "${prefixes[@]}"; do rm -f "$prefix"/dosdevices/com4[0-5]; done
}

case "$action" in
start)
    [ -x "$sim" ] || { echo "no velkor-sim at $sim: build the default preset first" >&2; exit 1; }
    stop
    mkdir -p "$folder"
    for prefix in "${prefixes[@]}"; do
        mkdir -p "$prefix/dosdevices"
        rm -rf "$prefix"/drive_c/users/*/AppData/Local/velkor
    done
    touch "$folder/again"
    # Out of ctest's sight: their own sessions, no descriptor of the test's, so the start test ends.
    start_one() { setsid "$@" </dev/null >/dev/null 2>&1 & echo $! >>"$folder/pids"; }
    start_one "$sim" --link "$folder/plain"
    start_one "$sim" --stall-after 1 --link "$folder/stall"
    start_one bash -c "while [ -f '$folder/again' ]; do '$sim' --hangup-after 1 --link '$folder/hangup'; done"
    start_one "$sim" --storm 60 --link "$folder/storm"
    start_one "$sim" --storm 60 --link "$folder/storm-cli"
    start_one bash -c "exec '$sim' --json --link '$folder/record' >'$folder/record.jsonl'"
    for _ in $(seq 50); do
        ready=1
        for role in "${roles[@]}"; do [ -e "$folder/$role" ] || ready=0; done
        [ $ready -eq 1 ] && break
        sleep 0.1
    done
    n=40
    for role in "${roles[@]}"; do
        [ -e "$folder/$role" ] || { echo "velkor-sim did not start for $role" >&2; stop; exit 1; }
        for prefix in "${prefixes[@]}"; do ln -sfn "$folder/$role" "$prefix/dosdevices/com$n"; done
        n=$((n + 1))
    done
    ;;
stop)
    stop
    ;;
*)
    echo "usage: $0 start|stop FOLDER PREFIXES [VELKOR_SIM]" >&2
    exit 2
    ;;
esac
