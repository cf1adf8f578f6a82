#!/usr/bin/env bash
# The kestrune-check package's life under a real systemd, as an administrator lives it:
# a debootstrapped Debian 12 (minbase, kept in a cache between runs) booted with
# systemd-nspawn, the package installed, the service run, a root added, the watch upgraded,
# the package removed, reinstalled, purged and installed again. One line per check, then
# "live systemd: N passed, N failed"; fails when any check fails.
#
#   live-systemd-test.sh [KESTRUNE_CHECK_DEB]   (default: build-package/kestrune-check_*.deb)
#
# Where this machine cannot boot the tree (not root, no debootstrap or systemd-nspawn, no
# Debian mirror in its apt sources, debootstrap or the boot failing), it prints
# "live systemd: skipped: REASON" and exits with status 77.
# KESTRUNE_LIVE_CACHE: where the trees are kept (/var/cache/kestrune-live).
set -uo pipefail
cd "$(dirname "$0")/.."
started=$SECONDS
skip() {
    echo "live systemd: skipped: $1"
    exit 77
}
[ "$(id -u)" = 0 ] || skip "needs root (debootstrap and systemd-nspawn)"
for tool in debootstrap systemd-nspawn nsenter dpkg-deb openssl python3; do
    command -v "$tool" >/dev/null || skip "$tool is not installed"
done
deb=${1:-$(ls build-package/kestrune-check_*.deb 2>/dev/null | head -1)}
if [ -z "$deb" ] || [ ! -f "$deb" ]; then
    echo "live systemd: no kestrune-check package (run scripts/package.sh first)" >&2
    exit 1
fi

# The Debian mirror this machine's apt already uses, for its own release's "main".
read -r mirror suite < <(python3 - <<'EOF'
import glob, re
def found(types, uris, suites, components):
    if "deb" in types and "main" in components:
        for suite in suites:
            if re.fullmatch(r"[a-z]+", suite):
                for uri in uris:
                    if uri.startswith(("http://", "https://")):
                        print(uri.rstrip("/"), suite)
                        raise SystemExit
for name in sorted(glob.glob("/etc/apt/sources.list.d/*.sources")):
    for stanza in re.split(r"\n\s*\n", open(name, errors="replace").read()):
        fields = {}
        for line in stanza.splitlines():
            if ":" in line and not line.lstrip().startswith("#"):
                key, value = line.split(":", 1)
                fields[key.strip().lower()] = value.split()
        if fields.get("enabled", ["yes"])[0] != "no":
            found(fields.get("types", []), fields.get("uris", []), fields.get("suites", []),
                  fields.get("components", []))
for name in ["/etc/apt/sources.list"] + sorted(glob.glob("/etc/apt/sources.list.d/*.list")):
    try:
        lines = open(name, errors="replace").read().splitlines()
    except OSError:
        continue
    for line in lines:
        words = re.sub(r"\[[^]]*\]", "", line.split("#", 1)[0]).split()
        if len(words) >= 4:
            found([words[0]], [words[1]], [words[2]], words[3:])
EOF
)
[ -n "${mirror:-}" ] || skip "no Debian mirror serving 'main' in this machine's apt sources"
[ "$suite" = bookworm ] || skip "this machine's apt sources are for $suite, not bookworm"

# The tree: minbase, systemd, the CA bundle, node_exporter (whose textfile folder the
# package writes into) and the package's own dependencies, so dpkg -i needs no network.
depends=$(dpkg-deb -f "$deb" Depends | tr ',' '\n' | sed -E 's/\|.*//; s/\(.*\)//; s/:any//; s/ //g')
include=$(printf '%s\n' systemd systemd-sysv dbus ca-certificates prometheus-node-exporter \
    $depends | sort -u | paste -sd, -)
cache=${KESTRUNE_LIVE_CACHE:-/var/cache/kestrune-live}
key=$(echo "$suite minbase $include" | sha256sum | cut -c1-12)
image="$cache/$suite-$key"
mkdir -p "$cache" || skip "cannot make $cache"
exec 9>"$cache/.lock"
flock 9
if [ ! -e "$image/.complete" ]; then
    echo "live systemd: debootstrap $suite from $mirror into $image (first run on this machine)"
    rm -rf "$image" "$image.new"
    bootstrap_start=$SECONDS
    if ! debootstrap --variant=minbase --include="$include" "$suite" "$image.new" "$mirror" \
        >"$cache/debootstrap.log" 2>&1; then
        reason=$(grep -E '^(E|W):' "$cache/debootstrap.log" | tail -1)
        rm -rf "$image.new"
        skip "debootstrap failed: ${reason:-see $cache/debootstrap.log}"
    fi
    rm -f "$image.new"/var/cache/apt/archives/*.deb
    touch "$image.new/.complete"
    mv "$image.new" "$image"
    echo "live systemd: debootstrap took $((SECONDS - bootstrap_start)) s"
fi
flock -u 9

work=$(mktemp -d /tmp/kestrune-live.XXXXXX)
tree="$work/tree"
nspawn=
leader=
cleanup() {
    if [ -n "$nspawn" ] && kill -0 "$nspawn" 2>/dev/null; then
        [ -n "$leader" ] && inside systemctl poweroff >/dev/null 2>&1
        for _ in $(seq 300); do kill -0 "$nspawn" 2>/dev/null || break; sleep 0.1; done
        kill -KILL "$nspawn" 2>/dev/null
        wait "$nspawn" 2>/dev/null
    fi
    rm -rf "$work"
}
trap cleanup EXIT
cp -a --reflink=auto "$image" "$tree" || skip "cannot copy the cached tree"
echo kestrune-live >"$tree/etc/hostname"
# It shares the host's network: node_exporter must not take the host's port 9100.
ln -sf /dev/null "$tree/etc/systemd/system/prometheus-node-exporter.service"
mkdir -p "$tree/root/debs"
cp "$deb" "$tree/root/debs/kestrune-check.deb"
# The same package under a newer version: an upgrade.
dpkg-deb -R "$deb" "$work/repack"
version=$(dpkg-deb -f "$deb" Version)
sed -i "s/^Version: .*/Version: $version+live1/" "$work/repack/DEBIAN/control"
dpkg-deb -b "$work/repack" "$tree/root/debs/kestrune-check-newer.deb" >/dev/null

inside() {  # inside COMMAND...: runs COMMAND in the booted container, with a clean environment
    nsenter -t "$leader" -a -- env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin HOME=/root \
        LANG=C.UTF-8 SYSTEMD_PAGER= "$@"
}
systemd-nspawn --register=no --keep-unit -b -D "$tree" --console=read-only \
    >"$work/console.log" 2>&1 &
nspawn=$!
for _ in $(seq 600); do
    leader=$(ps -o pid= --ppid "$nspawn" 2>/dev/null | head -1 | tr -d ' ')
    if [ -n "$leader" ] && [ "$(cat "/proc/$leader/comm" 2>/dev/null)" = systemd ]; then
        state=$(inside systemctl is-system-running 2>/dev/null)
        case $state in running | degraded) break ;; esac
    fi
    kill -0 "$nspawn" 2>/dev/null || break
    sleep 0.2
done
case ${state:-} in
    running | degraded) ;;
    *)
        reason=$(grep -vE '^\s*$' "$work/console.log" | tail -1)
        leader=
        skip "the tree did not boot under systemd-nspawn (${state:-no systemd}): ${reason:-no output}"
        ;;
esac
echo "live systemd: booted in $((SECONDS - started)) s ($state)"

passed=0
failed=0
expect() {  # expect DESCRIPTION COMMAND...
    local what=$1
    shift
    if "$@"; then
        echo "ok: $what"
        passed=$((passed + 1))
    else
        echo "FAILED: $what" >&2
        failed=$((failed + 1))
        return 1
    fi
}
quietly() { "$@" >/dev/null; }
is() { [ "$1" = "$2" ] || { echo "  expected '$2', saw '$1'" >&2; false; }; }
unit() { inside systemctl show -P "$2" "$1"; }
metric() { awk -v m="$1" '$1 == m {print $2}' "$tree/var/lib/prometheus/node-exporter/kestrune.prom" 2>/dev/null; }
journal_field() {  # journal_field EVENT FIELD: FIELD of the last entry of KESTRUNE_EVENT=EVENT
    inside journalctl -q --no-pager -o export "KESTRUNE_EVENT=$1" | sed -n "s/^$2=//p" | tail -1
}
links() { find "$tree/etc/systemd/system" -name 'kestrune*' | sed "s|^$tree||" | sort | paste -sd' ' -; }
dpkg_i() { inside dpkg -i "/root/debs/$1" >"$work/dpkg.log" 2>&1 || { cat "$work/dpkg.log" >&2; false; }; }

# Install: the timer on, the first baseline recorded by the service, the metrics there.
expect "dpkg -i installs kestrune-check" dpkg_i kestrune-check.deb
expect "the timer is enabled and active after install" \
    is "$(inside systemctl is-enabled kestrune-check.timer) $(inside systemctl is-active kestrune-check.timer)" "enabled active"
expect "the install recorded the first baseline through the service" \
    is "$(test -s "$tree/var/lib/kestrune/settings.db" && echo db) $(unit kestrune-check.service ExecMainStatus) $(journal_field baseline KESTRUNE_EVENT)" "db 0 baseline"
expect "the metrics file is there after install, complete" is "$(metric kestrune_check_completed)" 1

# An added root: a journal entry with its SHA-256, exit status 1, the metrics.
rogue() {  # rogue FILE: the same serial and name each time, a new key (another SHA-256)
    openssl req -x509 -newkey rsa:2048 -nodes -subj "/CN=Live Test Rogue CA" -days 2 \
        -set_serial 0x4b455354 -keyout "$work/key.pem" -out "$1" 2>/dev/null
}
sha256() { openssl x509 -in "$1" -outform DER | sha256sum | cut -d' ' -f1; }
rogue "$work/rogue.pem"
sha=$(sha256 "$work/rogue.pem")
mkdir -p "$tree/usr/local/share/ca-certificates"
cp "$work/rogue.pem" "$tree/usr/local/share/ca-certificates/rogue.crt"
inside systemctl start kestrune-check.service
expect "an added root ends the service with status 1, the unit not failed" \
    is "$(unit kestrune-check.service ExecMainStatus) $(inside systemctl is-failed kestrune-check.service)" "1 inactive"
expect "the journal entry of the added root carries its SHA-256 and priority warning" \
    is "$(journal_field added KESTRUNE_NAME) $(journal_field added KESTRUNE_SHA256) $(journal_field added PRIORITY)" "Live Test Rogue CA $sha 4"
expect "the metrics count the added root" is "$(metric 'kestrune_differences{kind="added"}')" 1

# A store the service cannot read (it runs without capabilities, so mode 000 stops it):
# exit status 3, and every series is still written.
bundle="$tree/etc/ssl/certs/ca-certificates.crt"
chmod 000 "$bundle"
inside systemctl start kestrune-check.service 2>/dev/null
chmod 644 "$bundle"
expect "an unreadable store ends the service with status 3" is "$(unit kestrune-check.service ExecMainStatus)" 3
prom="$tree/var/lib/prometheus/node-exporter/kestrune.prom"
expect "with a store unreadable the metrics keep every series (added 1, incomplete, named)" \
    is "$(metric 'kestrune_differences{kind="added"}') $(metric 'kestrune_differences{kind="missing"}') $(metric kestrune_check_completed) $(grep -c '^kestrune_unreadable_stores{' "$prom") $(grep -q '^kestrune_certificates{' "$prom" && echo counted)" \
    "1 0 0 1 counted"
inside systemctl reset-failed kestrune-check.service

# --accept in a shell refreshes the metrics at once.
before=$(metric kestrune_baseline_certificates)
inside kestrune-check --accept >"$work/accept.out" 2>&1
expect "a shell --accept refreshes the metrics (added 0, the baseline one larger)" \
    is "$(metric 'kestrune_differences{kind="added"}') $(metric kestrune_baseline_certificates) $(metric kestrune_check_completed)" "0 $((before + 1)) 1" ||
    cat "$work/accept.out" >&2

# The same root with another key: a changed entry with both fingerprints.
rogue "$work/rogue-rekeyed.pem"
cp "$work/rogue-rekeyed.pem" "$tree/usr/local/share/ca-certificates/rogue.crt"
inside systemctl start kestrune-check.service
expect "a changed root's journal entry carries its new and its baseline SHA-256" \
    is "$(journal_field changed KESTRUNE_SHA256) $(journal_field changed KESTRUNE_BASELINE_SHA256) $(unit kestrune-check.service ExecMainStatus)" \
    "$(sha256 "$work/rogue-rekeyed.pem") $sha 1"
inside kestrune-check --accept >/dev/null 2>&1

# The watch: it sees a new root and refreshes the metrics; an upgrade restarts it.
inside systemctl start kestrune-watch.service
for _ in $(seq 100); do [ "$(unit kestrune-watch.service ActiveState)" = active ] && break; sleep 0.1; done
expect "starting the watch stops the timer" is "$(inside systemctl is-active kestrune-check.timer)" inactive
sleep 2  # its first check
openssl req -x509 -newkey rsa:2048 -nodes -subj "/CN=Live Test Second Rogue CA" -days 2 \
    -keyout "$work/key2.pem" -out "$tree/usr/local/share/ca-certificates/rogue2.crt" 2>/dev/null
for _ in $(seq 300); do [ "$(metric 'kestrune_differences{kind="added"}')" = 1 ] && break; sleep 0.1; done
expect "the watch reports a new root in the metrics within 30 s" is "$(metric 'kestrune_differences{kind="added"}')" 1
rm "$tree/usr/local/share/ca-certificates/rogue2.crt"
old_pid=$(unit kestrune-watch.service MainPID)
expect "dpkg -i of a newer version upgrades" dpkg_i kestrune-check-newer.deb
# systemd names the new main process as soon as it forks, before the program is exec'd
# in it: until then its exe is systemd itself, so wait (bounded) for the exec.
for _ in $(seq 300); do
    new_pid=$(unit kestrune-watch.service MainPID)
    new_exe=$(inside readlink "/proc/$new_pid/exe" 2>/dev/null || true)
    [ "$new_exe" = /usr/bin/kestrune-check ] && break
    sleep 0.1
done
expect "the upgrade restarted the running watch on the new program" \
    is "$([ "$new_pid" != "$old_pid" ] && [ "$new_pid" != 0 ] && echo restarted) $new_exe" \
    "restarted /usr/bin/kestrune-check"
inside systemctl stop kestrune-watch.service
inside systemctl enable kestrune-watch.service >/dev/null 2>&1  # the administrator's choice
inside systemctl start kestrune-check.timer

# Remove and reinstall: the timer back, enabled and not masked.
expect "dpkg -r removes kestrune-check" quietly inside dpkg -r kestrune-check
expect "dpkg -i reinstalls it" dpkg_i kestrune-check.deb
expect "after remove and reinstall the timer is enabled and active, not masked" \
    is "$(inside systemctl is-enabled kestrune-check.timer) $(inside systemctl is-active kestrune-check.timer)" "enabled active"

# Purge: only Kestrune's files go, every link and the timer's stamp with them.
mkdir -p "$tree/var/lib/systemd/timers"
touch "$tree/var/lib/systemd/timers/stamp-kestrune-check.timer"  # as after a first run
expect "dpkg --purge purges kestrune-check" quietly inside dpkg --purge kestrune-check
expect "purge leaves no enabled or masked link of a Kestrune unit" is "$(links)" ""
expect "purge removes the timer's stamp, the baseline and the metrics file" \
    is "$(ls "$tree/var/lib/systemd/timers/stamp-kestrune-check.timer" "$tree/var/lib/kestrune" \
        "$tree/var/lib/prometheus/node-exporter/kestrune.prom" 2>/dev/null | wc -l)" 0
expect "purge leaves prometheus-node-exporter's folders (dpkg --verify finds nothing missing)" \
    is "$(test -d "$tree/var/lib/prometheus/node-exporter" && echo there) $(inside dpkg --verify prometheus-node-exporter | wc -l)" "there 0"

# Installed again after the purge: the timer alone, a fresh baseline.
expect "dpkg -i installs it again after the purge" dpkg_i kestrune-check.deb
expect "after purge and install only the timer is enabled, the watch is not" \
    is "$(inside systemctl is-enabled kestrune-check.timer) $(inside systemctl is-enabled kestrune-watch.service)" "enabled disabled"
expect "after purge and install a new baseline is recorded" \
    is "$(test -s "$tree/var/lib/kestrune/settings.db" && echo db) $(metric kestrune_check_completed)" "db 1"
expect "no unit failed in the container" is "$(inside systemctl --failed --no-legend | grep -c kestrune)" 0

echo "live systemd: $passed passed, $failed failed in $((SECONDS - started)) s"
[ "$failed" -eq 0 ]
