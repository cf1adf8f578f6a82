#!/usr/bin/env bash
# Tests the Debian packages built by scripts/package.sh on this machine itself: their
# contents and permissions, lintian, the systemd units (verify and the offline security
# score), then installs them with apt-get, runs the installed programs, has a real
# prometheus-node-exporter scrape the metrics file, and purges them again.
# Prints "N passed, N failed" and fails when any check fails.
set -uo pipefail
cd "$(dirname "$0")/.."
check_deb=$(ls build-package/kestrune-check_*.deb)
tray_deb=$(ls build-package/kestrune_*.deb)
work=$(mktemp -d /tmp/kestrune-package-test.XXXXXX)
exporter=
cleanup() {
    [ -n "$exporter" ] && kill "$exporter" 2>/dev/null && wait "$exporter" 2>/dev/null
    apt-get purge -y -q kestrune kestrune-check >/dev/null 2>&1
    rm -rf "$work"
}
trap cleanup EXIT
passed=0
failed=0
ok() { echo "ok: $1"; passed=$((passed + 1)); }
bad() { echo "FAILED: $1" >&2; failed=$((failed + 1)); }
expect() {  # expect DESCRIPTION COMMAND...
    local what=$1
    shift
    if "$@"; then ok "$what"; else bad "$what"; fi
}

# Contents and permissions, as dpkg-deb lists them.
dpkg-deb -c "$check_deb" | awk '{print $1, $2, $6}' >"$work/check.list"
dpkg-deb -c "$tray_deb" | awk '{print $1, $2, $6}' >"$work/tray.list"
echo "--- $check_deb"; cat "$work/check.list"
echo "--- $tray_deb"; cat "$work/tray.list"
for entry in "-rwxr-xr-x root/root ./usr/bin/kestrune-check" \
    "-rw-r--r-- root/root ./usr/share/man/man1/kestrune-check.1.gz" \
    "-rw-r--r-- root/root ./lib/systemd/system/kestrune-check.service" \
    "-rw-r--r-- root/root ./lib/systemd/system/kestrune-check.timer" \
    "-rw-r--r-- root/root ./lib/systemd/system/kestrune-watch.service" \
    "drwxr-xr-x root/root ./var/lib/kestrune/" \
    "-rw-r--r-- root/root ./usr/share/doc/kestrune-check/copyright" \
    "-rw-r--r-- root/root ./usr/share/doc/kestrune-check/examples/kestrune-rules.yml"; do
    expect "kestrune-check holds $entry" grep -qxF -- "$entry" "$work/check.list"
done
for entry in "-rwxr-xr-x root/root ./usr/bin/kestrune" \
    "-rw-r--r-- root/root ./usr/share/man/man1/kestrune.1.gz" \
    "-rw-r--r-- root/root ./usr/share/icons/hicolor/scalable/apps/kestrune.svg" \
    "-rw-r--r-- root/root ./usr/share/applications/kestrune.desktop" \
    "-rw-r--r-- root/root ./etc/xdg/autostart/kestrune.desktop"; do
    expect "kestrune holds $entry" grep -qxF -- "$entry" "$work/tray.list"
done
expect "no build tree, header or static library is packaged" \
    bash -c "! grep -qE '\\.(h|a|o)$|CMake|/usr/include' '$work/check.list' '$work/tray.list'"
expect "the autostart entry is a conffile" \
    bash -c "dpkg-deb --ctrl-tarfile '$tray_deb' | tar -xO ./conffiles | grep -qx /etc/xdg/autostart/kestrune.desktop"
expect "dependencies come from dpkg-shlibdeps and hold no build package" \
    bash -c "dpkg-deb -f '$check_deb' Depends | grep -q 'libssl3' &&
             dpkg-deb -f '$tray_deb' Depends | grep -q 'libqt6widgets6' &&
             ! { dpkg-deb -f '$check_deb' Depends; dpkg-deb -f '$tray_deb' Depends; } |
               grep -qE -- '-dev( |,|$)|cmake|(^|, )(gcc|g\+\+|qt6-base)'"

echo "--- lintian"
lintian --tag-display-limit 0 "$check_deb" "$tray_deb" 2>&1 | grep -v '^running with root' |
    tee "$work/lintian.log"
expect "lintian reports no error" bash -c "! grep -q '^E:' '$work/lintian.log'"

# Installed on this machine, as an administrator would.
apt-get purge -y -q kestrune kestrune-check >/dev/null 2>&1
expect "apt-get installs both packages" \
    bash -c "DEBIAN_FRONTEND=noninteractive apt-get install -y -q '$PWD/$check_deb' '$PWD/$tray_deb' >'$work/apt.log' 2>&1 || { cat '$work/apt.log'; false; }"
expect "/var/lib/kestrune is root's, 0755" \
    bash -c "[ \"\$(stat -c '%U %a' /var/lib/kestrune)\" = 'root 755' ]"

echo "--- systemd units"
units=(/lib/systemd/system/kestrune-check.service /lib/systemd/system/kestrune-check.timer
    /lib/systemd/system/kestrune-watch.service)
expect "systemd-analyze verify accepts the three units" \
    bash -c "systemd-analyze verify ${units[*]} 2>&1 | tee '$work/verify.log'; ! grep -q . '$work/verify.log'"
systemd-analyze security --offline=true "${units[0]}" >"$work/security.log" 2>&1
grep -E "^→ Overall exposure level" "$work/security.log" || tail -3 "$work/security.log"
expect "the service's exposure is OK or better" \
    grep -qE "Overall exposure level for .*: [0-4]\.[0-9] (OK|SAFE)" "$work/security.log"
systemd-analyze security --offline=true "${units[2]}" >"$work/watch-security.log" 2>&1
grep -E "^→ Overall exposure level" "$work/watch-security.log" || tail -3 "$work/watch-security.log"
expect "the watch service's exposure is OK or better" \
    grep -qE "Overall exposure level for .*: [0-4]\.[0-9] (OK|SAFE)" "$work/watch-security.log"
expect "a change does not fail the unit, an error does" \
    bash -c "grep -qx 'SuccessExitStatus=1' ${units[0]} && grep -qx 'Persistent=true' ${units[1]}"

echo "--- the installed programs"
root="$work/root"
mkdir -p "$root/etc/ssl/certs" "$root/usr/local/share/ca-certificates"
cp /etc/ssl/certs/ca-certificates.crt "$root/etc/ssl/certs/"
run() { HOME="$work" /usr/bin/kestrune-check "$@" >"$work/out" 2>"$work/err"; echo $? >"$work/rc"; }
run --root "$root"
expect "the installed kestrune-check records a baseline (exit 0)" grep -qx 0 "$work/rc"
openssl req -x509 -newkey rsa:2048 -nodes -subj "/CN=Package Test Rogue CA" -days 2 \
    -keyout "$work/key.pem" -out "$root/usr/local/share/ca-certificates/rogue.crt" 2>/dev/null
run --root "$root" --metrics-file "$work/metrics/kestrune.prom"
expect "a missing metrics folder is an error that keeps the report (exit 2)" \
    bash -c "grep -qx 2 '$work/rc' && grep -q 'Package Test Rogue CA' '$work/out' && grep -q 'metrics file' '$work/err'"
mkdir -p "$work/metrics"
run --root "$root" --metrics-file "$work/metrics/kestrune.prom"
expect "an added anchor is reported (exit 1)" \
    bash -c "grep -qx 1 '$work/rc' && grep -q \$'^added\\tSystem\\tlocal-anchors\\t.*Package Test Rogue CA' '$work/out'"
cp "$work/out" "$work/report"

expect "man kestrune-check renders" bash -c "MANWIDTH=100 man kestrune-check 2>&1 | col -b >'$work/man.txt' && grep -q 'EXIT STATUS' '$work/man.txt'"
expect "man kestrune renders" bash -c "man kestrune 2>/dev/null | col -b | grep -q 'kestrune-check'"
/usr/bin/kestrune-check --help >"$work/help.txt"
expect "the man page and --help name the same options" \
    bash -c "diff <(grep -oE -- '--[a-z][a-z-]+' '$work/help.txt' | sort -u) <(grep -oE -- '--[a-z][a-z-]+' '$work/man.txt' | sort -u)"
env -u DISPLAY -u WAYLAND_DISPLAY /usr/bin/kestrune >"$work/tray.out" 2>&1
echo $? >"$work/tray.rc"
expect "kestrune without a display exits 2 and names kestrune-check" \
    bash -c "grep -qx 2 '$work/tray.rc' && grep -q kestrune-check '$work/tray.out'"

echo "--- node_exporter's textfile collector"
port=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
prometheus-node-exporter --web.listen-address="127.0.0.1:$port" --collector.disable-defaults \
    --collector.textfile --collector.textfile.directory="$work/metrics" >"$work/exporter.log" 2>&1 &
exporter=$!
for _ in $(seq 300); do
    curl -sf "http://127.0.0.1:$port/metrics" >"$work/scrape" 2>/dev/null && break
    sleep 0.1
done
grep -E '^(kestrune_|node_textfile_scrape_error)' "$work/scrape"
# "1 added, 0 missing, 0 changed (baseline: B ..., observed: O ..., U unique)", then
# "; T in trust alone" when the trust of certificates changed; the line after it says
# what explains the changes.
summary=$(grep -E '^[0-9]+ added, ' "$work/report")
read -r added missing changed baseline observed unique < <(echo "$summary" |
    sed -E 's/^([0-9]+) added, ([0-9]+) missing, ([0-9]+) changed \(baseline: ([0-9]+) certificates, observed: ([0-9]+) certificates, ([0-9]+) unique\).*/\1 \2 \3 \4 \5 \6/')
trust=$(echo "$summary" | sed -nE 's/^[^;]*\).*; ([0-9]+) in trust alone.*/\1/p')
value() { awk -v m="$1" '$1 == m {print $2}' "$work/scrape"; }
expect "the exporter parsed the file without error" [ "$(value node_textfile_scrape_error)" = 0 ]
expect "added differences match the report ($added)" \
    [ "$(value 'kestrune_differences{kind="added"}')" = "$added" ]
expect "missing differences match the report ($missing)" \
    [ "$(value 'kestrune_differences{kind="missing"}')" = "$missing" ]
expect "changed differences match the report ($changed)" \
    [ "$(value 'kestrune_differences{kind="changed"}')" = "$changed" ]
expect "changes of trust match the report (${trust:-0})" \
    [ "$(value kestrune_trust_changes)" = "${trust:-0}" ]
# The test root has no package database: nothing explains the anchor.
expect "the report ends with the change unexplained" [ "$(tail -1 "$work/report")" = "1 change unexplained" ]
expect "the unexplained change is in the metrics" [ "$(value kestrune_unexplained_changes)" = 1 ]
expect "the baseline count matches the report ($baseline)" \
    [ "$(value kestrune_baseline_certificates)" = "$baseline" ]
expect "the unique count matches the report ($unique)" \
    [ "$(value kestrune_unique_certificates)" = "$unique" ]
expect "per-store counts add up to the observed $observed" \
    [ "$(awk '/^kestrune_certificates\{/ {n += $2} END {print n}' "$work/scrape")" = "$observed" ]
expect "the check completed, with a time stamp of this run" \
    bash -c "[ \"\$(awk '\$1 == \"kestrune_check_completed\" {print \$2}' '$work/scrape')\" = 1 ] &&
             awk -v now=\$(date +%s) '\$1 == \"kestrune_last_scan_timestamp_seconds\" {exit !(\$2 > now - 600 && \$2 <= now + 1)}' '$work/scrape'"
kill "$exporter" && wait "$exporter" 2>/dev/null
exporter=

echo "--- purge"
DEBIAN_FRONTEND=noninteractive apt-get purge -y -q kestrune kestrune-check >"$work/purge.log" 2>&1
expect "purging removes the programs, the autostart entry and the baseline folder" \
    bash -c "[ ! -e /usr/bin/kestrune-check ] && [ ! -e /usr/bin/kestrune ] &&
             [ ! -e /etc/xdg/autostart/kestrune.desktop ] && [ ! -e /var/lib/kestrune ] &&
             [ ! -e /etc/systemd/system/timers.target.wants/kestrune-check.timer ]"

echo "packages: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
