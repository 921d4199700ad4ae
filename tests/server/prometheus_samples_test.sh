#!/usr/bin/env bash
# The sample Prometheus files of docs/prometheus, as promtool sees them: the alert rules are
# valid and fire when they should (promtool test rules), and the scrape configuration loads.
#   prometheus_samples_test.sh DOCS_PROMETHEUS_DIR
# Skipped (77) without promtool (scripts/install-deps.sh unpacks it from Debian's prometheus).
set -uo pipefail
dir=$1
. "$(dirname "$0")/../../scripts/lib.sh"
promtool=$(interop_tool promtool) || { echo "SKIP: no promtool (scripts/install-deps.sh)"; exit 77; }
cd "$dir" || exit 1
expect "promtool check rules" "$promtool" check rules gatewise-server.rules.yml
expect "promtool test rules: the alerts fire when they should" \
    "$promtool" test rules gatewise-server.rules.test.yml
expect "promtool check config: the sample scrape configuration" "$promtool" check config prometheus.yml
finish
