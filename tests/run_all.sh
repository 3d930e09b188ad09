#!/usr/bin/env bash
# Builds and runs every test: the C++ unit tests of the core, then the Python
# suite against the installed module. Run from the repository root after
# `python3 -m pip install '.[test]'`.
set -euo pipefail
cd "$(dirname "$0")/.."

if [ ! -e /usr/include/gtest/gtest.h ]; then
  echo "GoogleTest headers missing: installing libgtest-dev" >&2
  if [ "$(id -u)" = 0 ]; then SUDO=""; else SUDO="sudo"; fi
  $SUDO apt-get update -qq
  $SUDO apt-get install -y -qq libgtest-dev >/dev/null
fi

cmake -S . -B build/cpp-tests -G Ninja -DQUARLET_PYTHON=OFF -DQUARLET_TESTS=ON \
  -DQUARLET_WERROR="${QUARLET_WERROR:-ON}" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build/cpp-tests -j2
build/cpp-tests/quarlet_tests --gtest_brief=1

python3 -m pytest -q tests "$@"
