#!/usr/bin/env bash
# The README as a new user follows it: its shell blocks from "## The device simulator" on, taken from
# README.md itself, run in order in one shell against velkor-sim, each as it is written. A block after the
# line "<!-- not run by the README test: WHY -->" is left out (a window, a browser, the site's network).
# Every csv and ini block must be one of the example site's files as it is, and what the blocks paged must
# have reached the queue.
#
# usage: run_readme.sh SOURCE_DIR BUILD_DIR    exit 0: all ran; 77: a program the blocks use is missing
set -u
src=$1
bin=$2
for program in curl apprise swaks msmtp sendpage mosquitto mosquitto_pub mosquitto_sub amtool prometheus-alertmanager stty od; do
    command -v "$program" >/dev/null || { echo "skipped: $program is not installed"; exit 77; }
done
for program in velkor-sim velkor-cli velkor-gateway; do
    [ -x "$bin/$program" ] || { echo "$bin/$program is not built" >&2; exit 1; }
done

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
ln -s "$bin" "$work/build"
ln -s "$src/docs" "$work/docs"
export VELKOR_SEQUENCE_DIR="$work/sequence" # the machine's own counters are not the README's business
rm -f /tmp/velkor-site.db /tmp/velkor-site.db-wal /tmp/velkor-site.db-shm /tmp/velkor-site.db.lock

# The blocks, each introduced by its line in README.md; csv and ini blocks into files of their own.
awk -v work="$work" '
    /^## The device simulator/ { started = 1 }
    !started { next }
    /^<!-- not run by the README test:/ { skip = 1; next }
    /^```(sh|csv|ini)$/ && !inside {
        inside = 1; kind = substr($0, 4); blocks++
        if (kind == "sh" && skip) { kind = "skipped" }
        skip = 0
        if (kind == "sh") {
            printf "echo \"== README.md:%d\"\n", NR > work "/readme.sh"
        } else if (kind != "skipped") {
            file = sprintf("%s/block-%d-%d.%s", work, NR, blocks, kind)
        }
        background = 0
        next
    }
    /^```/ && inside {
        inside = 0
        # A block that starts a server leaves it a moment to listen, as a person reading on would.
        if (kind == "sh" && background) { print "sleep 2" > work "/readme.sh" }
        if (kind == "csv" || kind == "ini") { close(file) }
        next
    }
    inside && kind == "sh" {
        print > work "/readme.sh"
        if ($0 ~ /&( [A-Z_]+=\$!)?$/) { background = 1 }
        next
    }
    inside && (kind == "csv" || kind == "ini") { print > file; next }
    !/^$/ { skip = 0 }
' "$src/README.md"

failed=0
for block in "$work"/block-*; do
    [ -e "$block" ] || continue
    found=""
    for file in "$src"/docs/examples/site/*; do
        cmp -s "$block" "$file" && found=$file
    done
    if [ -z "$found" ]; then
        line=$(basename "$block" | cut -d- -f2)
        echo "README.md:$line: this block is none of docs/examples/site's files as they are:" >&2
        cat "$block" >&2
        failed=1
    fi
done
[ $failed -eq 0 ] || exit 1

# After the blocks, with their servers still running: what they paged is in the queue.
cat >>"$work/readme.sh" <<'EOF'
echo "== what the README paged"
pages() { curl -s "http://127.0.0.1:8025/v1/pages?limit=200$1"; }
for _ in $(seq 150); do
    pages "&state=queued" | grep -q '"pages":\[\]' && break
    sleep 0.2
done
pages "&state=queued" | grep -q '"pages":\[\]' || { echo "pages still queued: $(pages '&state=queued')"; exit 1; }
for text in '3号桌请取餐' '告警：2号冰柜温度过高' '收银机：离线' '5床呼叫' '二楼火警' '18:00 闭馆' '市电中断' '备份完成' 'Uptime: 网站宕机'; do
    pages "&state=sent" | grep -q "\"text\":\"$text\"" || { echo "never sent: $text"; pages ""; exit 1; }
done
pages "&state=failed" | grep -q 'no watch has the call number 999' || { echo "the call 999 was not recorded"; exit 1; }
pages "&state=acknowledged" | grep -q '"text":"5床呼叫"' || { echo "the call was not acknowledged"; pages ""; exit 1; }
pages "&state=resolved" | grep -q '"text":"告警：3号泵停机"' || { echo "the alert was not resolved"; pages ""; exit 1; }
echo "the README's pages: all sent, the unknown call recorded as failed, the answers stored"
EOF

cd "$work" || exit 1
# Run as one script, as one terminal would: a failing command ends it, saying which.
bash -c 'set -eE
         trap '\''echo "README command failed (status $?): $BASH_COMMAND" >&2'\'' ERR
         trap '\''jobs -p | xargs -r kill 2>/dev/null; wait 2>/dev/null'\'' EXIT
         source ./readme.sh' </dev/null
status=$?
[ $status -eq 0 ] && echo "README: every shell block ran as written"
exit $status
