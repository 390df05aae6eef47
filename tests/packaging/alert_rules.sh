#!/bin/sh
# The shipped alerting rules: promtool check rules, then promtool test rules,
# one case per alert of tests/packaging/norvalith-alerts-test.yml.
# Ends with "N passed, N failed".
cd "$(dirname "$0")/../.." || exit 1
# shellcheck source=scripts/lib.sh
. scripts/lib.sh
rules=packaging/norvalith-alerts.yml tests=tests/packaging/norvalith-alerts-test.yml
command -v promtool >/dev/null || ensure_packages prometheus || exit 1
passed=0 failed=0
if promtool check rules "$rules"; then passed=1; else failed=1; fi
out=$(promtool test rules "$tests" 2>&1)
status=$?
echo "$out"
alerts=$(grep -o 'alertname: [A-Za-z]*' "$tests" | sort -u | wc -l)
broken=$(echo "$out" | grep -o 'alertname: [A-Za-z]*' | sort -u | wc -l)
# A file promtool cannot read names no alert: all count as failed.
[ "$status" -eq 0 ] || [ "$broken" -gt 0 ] || broken=$alerts
passed=$((passed + alerts - broken)) failed=$((failed + broken))
echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
