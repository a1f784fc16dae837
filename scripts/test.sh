#!/bin/bash
# Installs what is missing, checks that no folder of src/ includes a higher
# one, builds, and runs every test: the unit and whole-program tests under
# AddressSanitizer and UndefinedBehaviorSanitizer, the unit tests under
# ThreadSanitizer, a short run of each fuzz target, and last the unit and
# whole-program tests of the release build.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh

echo "== layers"
bash scripts/check_layers.sh

echo "== AddressSanitizer and UndefinedBehaviorSanitizer"
cmake -S . -B build-asan -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DWIRELANE_GUI=OFF \
  -DWIRELANE_SANITIZE=address,undefined -DCMAKE_CXX_FLAGS=-fno-sanitize-recover=all >/dev/null
cmake --build build-asan -j2
ASAN_OPTIONS=detect_leaks=1 ctest --test-dir build-asan --output-on-failure --timeout 600

echo "== ThreadSanitizer"
cmake -S . -B build-tsan -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DWIRELANE_GUI=OFF \
  -DWIRELANE_SANITIZE=thread >/dev/null
cmake --build build-tsan -j2 --target wirelane_tests
# Each test in a process of its own, as some start the whole pipeline.
TSAN_OPTIONS=halt_on_error=1 ctest --test-dir build-tsan --output-on-failure --timeout 600 -R '^[A-Z]' 

echo "== fuzzing"
bash scripts/fuzz.sh 60

echo "== build and test"
bash scripts/build.sh build
ctest --test-dir build --output-on-failure --timeout 600
