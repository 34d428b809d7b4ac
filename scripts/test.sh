#!/usr/bin/env bash
# Builds Postwarden and runs every test, then the whole suite again built with
# AddressSanitizer and UndefinedBehaviorSanitizer (all but the tests that drive
# the real mail clients and the package), then each fuzz target for a few seconds. Exits
# non-zero when a C++ file differs from the committed .clang-format, any test
# fails, or a sanitizer or fuzzer reports anything.
#   scripts/test.sh          all of it
#   scripts/test.sh --quick  the ordinary build and its tests only
set -euo pipefail
cd "$(dirname "$0")/.."
jobs="$(nproc)"

scripts/setup.sh --build

echo "== formatting (the committed .clang-format)"
unformatted=()
while IFS= read -r file; do
    clang-format --dry-run -Werror "$file" >/dev/null 2>&1 || unformatted+=("$file")
done < <(git ls-files '*.cpp' '*.h')
if [ ${#unformatted[@]} -gt 0 ]; then
    printf 'differs from .clang-format (clang-format -i FILE): %s\n' "${unformatted[@]}"
    exit 1
fi

echo "== tests"
(cd build && QT_QPA_PLATFORM=offscreen ctest --output-on-failure -j"$jobs" --timeout 300)

[ "${1:-}" = "--quick" ] && exit 0

echo "== tests built with AddressSanitizer and UndefinedBehaviorSanitizer"
launcher=()
command -v ccache >/dev/null &&
    launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache -DCMAKE_C_COMPILER_LAUNCHER=ccache)
cmake -S . -B build-sanitize -DPOSTWARDEN_SANITIZE=ON -DPOSTWARDEN_BENCHMARKS=OFF "${launcher[@]}" \
    >/dev/null
cmake --build build-sanitize -j"$jobs"
(cd build-sanitize &&
    QT_QPA_PLATFORM=offscreen \
    ASAN_OPTIONS=detect_leaks=1:strict_string_checks=1:detect_stack_use_after_return=1 \
    LSAN_OPTIONS="suppressions=$PWD/../tests/lsan.supp" \
    UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
    ctest --output-on-failure -j"$jobs" --timeout 600 -LE "clients|package")

echo "== short fuzzing runs (each target for a few seconds)"
scripts/fuzz.sh --seconds 5
