#!/usr/bin/env bash
# Builds the three targets and the sanitizer build, runs every test on each
# (the ARM ones under qemu-user), checks the deliverables themselves, and
# builds, checks, installs and purges the Debian packages.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh

jobs=$(nproc)
fail=0
failed_presets=()
run() { echo "== $*"; "$@" || fail=1; }

for preset in native armv7 armv5 sanitize; do
  echo "==== $preset"
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset" -j "$jobs"
  ctest --preset "$preset" -j "$jobs" || { fail=1; failed_presets+=("$preset"); }
done

echo "==== soak"
run build/native/bin/soak 20000

echo "==== benchmarks (smoke run: figures are neither timed nor checked here; see bench/README.md)"
build/native/bin/bench_cpu --benchmark_min_time=0.01 >/dev/null || { echo "bench_cpu smoke run failed"; fail=1; }
build/native/bin/step_count 10 || { echo "step_count smoke run failed"; fail=1; }

echo "==== fuzz"
FUZZ_SECONDS=${FUZZ_SECONDS:-60} scripts/fuzz.sh || fail=1

echo "==== deliverables"
scripts/check-deliverables.sh || fail=1

echo "==== packages (built, checked by lintian, the amd64 ones installed and purged)"
run scripts/package.sh
run tests/packaging/install_purge.sh build/packages/quorlan-plugin_*_amd64.deb build/packages/devgate_*_amd64.deb

echo "==== format"
git ls-files '*.cpp' '*.h' | xargs clang-format --dry-run --Werror || fail=1

if [ $fail -ne 0 ]; then
  # The failed tests again at the end, where a shortened log still shows them.
  for preset in "${failed_presets[@]}"; do
    echo "failed tests of $preset:"
    sed 's/^/  /' "build/$preset/Testing/Temporary/LastTestsFailed.log" || true
  done
  echo "Some checks failed."
  exit 1
fi
echo "All builds and tests passed."
