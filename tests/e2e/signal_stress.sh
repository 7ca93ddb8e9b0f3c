#!/usr/bin/env bash
# sandbox: bare
# Signals at random moments of backups, restores and queries of the test
# module: a short series here (HX_STRESS_RUNS, default 36); bench/signal_stress
# runs a thousand under the sanitizer build.
set -euo pipefail
source "$HX_SOURCE_DIR/tests/e2e/lib/common.sh"
source "$HX_SOURCE_DIR/tests/e2e/lib/archiver.sh"
source "$HX_SOURCE_DIR/tests/e2e/lib/signal_stress.sh"
set +e  # the runs are checked one by one

stress_signals "${HX_STRESS_RUNS:-36}"
finish
