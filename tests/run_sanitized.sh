#!/usr/bin/env bash
# Runs the Python test suite against an AddressSanitizer + UndefinedBehavior-
# Sanitizer build of the extension module (gcc), and the C++ unit tests built
# the same way. The interpreter itself is not instrumented, so the sanitizer
# runtimes are preloaded; leak detection is off because the interpreter keeps
# memory until exit by design. Any sanitizer report aborts the process and
# fails the run.
#
# Usage: bash tests/run_sanitized.sh [pytest arguments]
# Environment: ASAN_BUILD_DIR (default build/asan); QUARLET_SANITIZE_CPP=0
# skips the C++ unit tests.
set -euo pipefail
cd "$(dirname "$0")/.."

build="${ASAN_BUILD_DIR:-build/asan}"
cpp_tests="${QUARLET_SANITIZE_CPP:-1}"
python="$(command -v python3)"

if [ "$cpp_tests" = 1 ]; then with_tests=ON; else with_tests=OFF; fi
cmake -S . -B "$build" -G Ninja -DCMAKE_CXX_COMPILER=g++ -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DQUARLET_SANITIZE=address,undefined -DQUARLET_PYTHON=ON -DQUARLET_TESTS="$with_tests" \
  -DQUARLET_WERROR="${QUARLET_WERROR:-ON}" -DPython_EXECUTABLE="$python" >/dev/null
if [ "$cpp_tests" = 1 ]; then
  cmake --build "$build" -j2
else
  cmake --build "$build" -j2 --target _quarlet
fi

# The package as the wheel lays it out: the checkout's quarlet/ with the
# sanitized core beside its Python files.
if ! ls "$build"/_quarlet*.so >/dev/null 2>&1; then
  echo "no quarlet core module built in $build" >&2
  exit 1
fi
rm -rf "$build/package"
mkdir -p "$build/package"
cp -r quarlet "$build/package/quarlet"
cp "$build"/_quarlet*.so "$build/package/quarlet/"
package_root="$(cd "$build/package" && pwd)"
module_dir="$package_root/quarlet"

export ASAN_OPTIONS="detect_leaks=0:abort_on_error=1"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"

if [ "$cpp_tests" = 1 ]; then
  "$build/quarlet_tests" --gtest_brief=1
fi

preload="$(gcc -print-file-name=libasan.so):$(gcc -print-file-name=libubsan.so)"
# The sanitized module must shadow any installed one: PYTHONPATH comes before
# site-packages, and tests/conftest.py fails the session when
# QUARLET_EXPECT_MODULE_DIR is set and the imported module lives elsewhere.
export PYTHONPATH="$package_root${PYTHONPATH:+:$PYTHONPATH}"
export QUARLET_EXPECT_MODULE_DIR="$module_dir"
# Run from the package's own directory: from the checkout's root, its
# quarlet/ (which has no compiled core) would come first on the path.
(cd "$package_root" && LD_PRELOAD="$preload" "$python" -c \
  'import quarlet, sys; print("sanitized module:", quarlet._quarlet.__file__, file=sys.stderr)')
# The tests that only drive the command line's own Python (type checks,
# triage, timeline, the Dask recipes on process clusters) start many
# interpreters, each slow under the sanitizers, and reach the core through
# calls the rest of the suite makes: the plain run covers them. The peak
# memory tests measure the sanitizers' shadow memory more than the module's,
# and read through the paths other tests take.
# (Absolute paths: the suite's conftest changes the working directory.)
LD_PRELOAD="$preload" "$python" -m pytest -q -p no:cacheprovider tests \
  --ignore="$PWD/tests/test_stubs.py" --ignore="$PWD/tests/test_triage.py" \
  --ignore="$PWD/tests/test_timeline.py" --ignore="$PWD/tests/test_memory.py" \
  --deselect=tests/test_arrow.py::test_dask_recipe_on_a_local_cluster \
  --durations=15 "$@"
