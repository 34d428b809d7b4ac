#!/usr/bin/env bash
# Builds the fuzz targets (clang, libFuzzer, AddressSanitizer and
# UndefinedBehaviorSanitizer) in build-fuzz/ and runs each for a bounded time on
# a copy of its seed corpus in fuzz/corpus/ (with the dictionary fuzz/<target>.dict
# where there is one), so the repository is never changed.
# Exits non-zero when any target finds a crash, a leak, a sanitizer report or a
# hang, and prints the path of the input that reproduces it.
#
#   scripts/fuzz.sh                     every target, 60 s each
#   scripts/fuzz.sh --seconds 5         every target, 5 s each (what CI runs)
#   scripts/fuzz.sh --seconds 600 mail_message settings_document
#   scripts/fuzz.sh --no-build ...      use the targets as they are built
#   scripts/fuzz.sh --keep-corpus DIR   keep the grown corpora in DIR/<target>/
#   scripts/fuzz.sh ... -- -max_len=65536 DIR   more options (and corpus folders
#                                       to read) for libFuzzer
#
# A reproducer is run again with build-fuzz/fuzz/fuzz_<target> <path>.
set -euo pipefail
cd "$(dirname "$0")/.."

seconds=60
build=1
keep=""
targets=()
extra=()
while [ $# -gt 0 ]; do
    case "$1" in
        --seconds) seconds="$2"; shift 2 ;;
        --no-build) build=0; shift ;;
        --keep-corpus) keep="$2"; shift 2 ;;
        -h|--help) sed -n '2,17p' "$0"; exit 0 ;;
        --) shift; extra=("$@"); break ;;
        -*) echo "fuzz.sh: unknown option $1" >&2; exit 2 ;;
        *) targets+=("$1"); shift ;;
    esac
done
if ! [[ "$seconds" =~ ^[0-9]+$ ]] || [ "$seconds" -lt 1 ]; then
    echo "fuzz.sh: --seconds needs a whole number of seconds" >&2
    exit 2
fi
if [ ${#targets[@]} -eq 0 ]; then
    for source in fuzz/*_fuzz.cpp; do
        name="$(basename "$source" _fuzz.cpp)"
        targets+=("$name")
    done
fi

out=build-fuzz
if [ "$build" -eq 1 ]; then
    scripts/setup.sh --deps-only
    cmake -S . -B "$out" -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=RelWithDebInfo \
        -DPOSTWARDEN_FUZZ=ON -DPOSTWARDEN_TESTS=OFF -DPOSTWARDEN_BENCHMARKS=OFF >/dev/null
    cmake --build "$out" -j"$(nproc)" --target pw_fuzzers >/dev/null
fi

work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
# One folder per run, so that what is listed below was found by this run.
artifacts="$PWD/$out/fuzz-findings/$(date -u +%Y%m%dT%H%M%SZ)-$$"
mkdir -p "$artifacts"

# Sanitizer reports end the run with a non-zero status; leaks are looked for
# after every input that allocated more than it freed.
export ASAN_OPTIONS="${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1:symbolize=1}"
export UBSAN_OPTIONS="${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}"

failed=0
for name in "${targets[@]}"; do
    program="$PWD/$out/fuzz/fuzz_$name"
    if [ ! -x "$program" ] || [ ! -d "fuzz/corpus/$name" ]; then
        echo "fuzz.sh: no target $name" >&2
        failed=1
        continue
    fi
    corpus="$work/corpus/$name"
    mkdir -p "$corpus" "$artifacts/$name"
    cp -r "fuzz/corpus/$name/." "$corpus/"
    log="$work/$name.log"
    options=()
    [ -f "fuzz/$name.dict" ] && options+=(-dict="$PWD/fuzz/$name.dict")
    status=0
    # Inputs are run from a scratch folder so that nothing a target writes
    # lands in the tree.
    (cd "$work" && "$program" -max_total_time="$seconds" -timeout=20 -rss_limit_mb=2048 \
        -print_final_stats=1 -artifact_prefix="$artifacts/$name/" "${options[@]}" "$corpus" \
        "${extra[@]}" >"$log" 2>&1) || status=$?
    runs="$(sed -n 's/^stat::number_of_executed_units: *//p' "$log")"
    final="$(grep -E '^#[0-9]+' "$log" | tail -n 1 | sed -E 's/ +/ /g')"
    if [ "$status" -ne 0 ]; then
        failed=1
        echo "FAIL $name (status $status)"
        grep -E 'ERROR|SUMMARY|check failed|runtime error|deadly signal|Test unit written' "$log" |
            head -n 20 | sed 's/^/    /'
        for found in "$artifacts/$name"/*; do
            [ -e "$found" ] && echo "    reproducer: $found (run: $program $found)"
        done
        echo "    full log: $artifacts/$name.log"
        cp "$log" "$artifacts/$name.log"
    else
        echo "ok   $name: ${runs:-?} runs in ${seconds} s; last status: ${final:-?}"
    fi
    if [ -n "$keep" ]; then
        mkdir -p "$keep/$name"
        cp -r "$corpus/." "$keep/$name/"
    fi
done
exit "$failed"
