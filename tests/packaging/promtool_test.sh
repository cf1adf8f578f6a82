#!/usr/bin/env bash
# promtool on the shipped alert rules: `promtool_test.sh check [PROMTOOL]` checks the
# rules file, `promtool_test.sh test [PROMTOOL]` runs the fleets of kestrune-rules-test.yml
# through it. PROMTOOL is the one CMake found; without it (or where it has gone) the one
# setup.sh unpacks is taken, so a setup run after configuring counts too.
# No promtool is a failure, not a skip: setup provides it, and a rules file that nothing
# checked must not ship.
set -uo pipefail
here=$(cd "$(dirname "$0")" && pwd)
rules="$here/../../packaging/prometheus/kestrune-rules.yml"
unpacked="${KESTRUNE_TOOLS:-/var/cache/kestrune-tools}/prometheus/usr/bin/promtool"
promtool=${2:-}
[ -x "$promtool" ] || promtool=$unpacked
if [ ! -x "$promtool" ]; then
  echo "promtool not found (${2:+not at $2, }not at $unpacked, none on PATH when CMake" \
    "configured): 'bash scripts/setup.sh test' unpacks it from Debian's prometheus package" >&2
  exit 1
fi
case "${1:-}" in
  check) exec "$promtool" check rules "$rules" ;;
  test) exec "$promtool" test rules "$here/kestrune-rules-test.yml" ;;
  *)
    echo "usage: promtool_test.sh check|test [PROMTOOL]" >&2
    exit 2
    ;;
esac
