#!/usr/bin/env bash
# sims.sh start|stop FOLDER PREFIX [VELKOR_SIM]: the devices behind the COM ports of the Windows tests.
# start runs velkor-sim instances of the host build on pseudo-terminals in FOLDER and links them as
# COM40 (answers), COM41 (stalls after a frame), COM42 (hangs up after each first frame, back at once),
# COM43 (noise after a frame, for the engine's tests) and COM44 (the same, for velkor-cli's) in the Wine
# prefix PREFIX; it also empties velkor-cli's sequence numbers there. stop ends them and removes the links.
set -u
action=$1 folder=$2 prefix=$3 sim=${4:-}
roles=(plain stall hangup storm storm-cli)

stop() {
    rm -f "$folder/again"
    if [ -f "$folder/pids" ]; then
        # Each was started in a session of its own: the whole group goes.
        while read -r pid; do kill -TERM -- "-$pid" 2>/dev/null || true; done <"$folder/pids"
    fi
    pkill -f -- "--link $folder/" 2>/dev/null || true
    rm -f "$folder/pids" "$prefix"/dosdevices/com4[0-4]
}

case "$action" in
start)
    [ -x "$sim" ] || { echo "no velkor-sim at $sim: build the default preset first" >&2; exit 1; }
    stop
    mkdir -p "$folder" "$prefix/dosdevices"
    rm -rf "$prefix"/drive_c/users/*/AppData/Local/velkor
    touch "$folder/again"
    # Out of ctest's sight: their own sessions, no descriptor of the test's, so the start test ends.
    start_one() { setsid "$@" </dev/null >/dev/null 2>&1 & echo $! >>"$folder/pids"; }
    start_one "$sim" --link "$folder/plain"
    start_one "$sim" --stall-after 1 --link "$folder/stall"
    start_one bash -c "while [ -f '$folder/again' ]; do '$sim' --hangup-after 1 --link '$folder/hangup'; done"
    start_one "$sim" --storm 60 --link "$folder/storm"
    start_one "$sim" --storm 60 --link "$folder/storm-cli"
    for _ in $(seq 50); do
        ready=1
        for role in "${roles[@]}"; do [ -e "$folder/$role" ] || ready=0; done
        [ $ready -eq 1 ] && break
        sleep 0.1
    done
    n=40
    for role in "${roles[@]}"; do
        [ -e "$folder/$role" ] || { echo "velkor-sim did not start for $role" >&2; stop; exit 1; }
        ln -sfn "$folder/$role" "$prefix/dosdevices/com$n"
        n=$((n + 1))
    done
    ;;
stop)
    stop
    ;;
*)
    echo "usage: $0 start|stop FOLDER PREFIX [VELKOR_SIM]" >&2
    exit 2
    ;;
esac
