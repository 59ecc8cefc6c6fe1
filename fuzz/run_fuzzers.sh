#!/usr/bin/env bash
# Builds the fuzz targets with clang (AddressSanitizer, UndefinedBehaviorSanitizer,
# libFuzzer) in WORK/build and runs each named target for SECONDS on its seed
# corpus in fuzz/corpus/<target>.  New inputs go to WORK/corpus/<target>, so the
# seed corpus in the repository is never changed; a crashing input is kept as
# WORK/artifacts/<target>-crash-*.  Exits 77 (skipped) when clang or its fuzzer
# runtime is missing.
#
#   fuzz/run_fuzzers.sh SOURCE WORK SECONDS TARGET...
set -euo pipefail
source_dir=$1
work=$2
seconds=$3
shift 3

mkdir -p "$work"
cxx=${PCMF_FUZZ_CXX:-clang++}
cc=${PCMF_FUZZ_CC:-clang}
probe_source='extern "C" int LLVMFuzzerTestOneInput(const unsigned char*, unsigned long) { return 0; }'
if ! command -v "$cxx" >/dev/null ||
   ! echo "$probe_source" | "$cxx" -x c++ -fsanitize=fuzzer,address,undefined - -o "$work/probe" 2>/dev/null; then
    echo "clang with its fuzzer runtime (libclang-rt-dev) is not available: fuzzing skipped"
    exit 77
fi

cmake -S "$source_dir" -B "$work/build" -DCMAKE_C_COMPILER="$cc" -DCMAKE_CXX_COMPILER="$cxx" \
      -DCMAKE_BUILD_TYPE=Debug -DCMAKE_CXX_FLAGS_DEBUG="-g -O1" \
      -DPCMF_FUZZ=ON -DPCMF_SANITIZE=ON -DPCMF_TSAN=OFF >/dev/null
cmake --build "$work/build" --target fuzzers -j "${PCMF_FUZZ_JOBS:-2}"

failed=()
for target in "$@"; do
    mkdir -p "$work/corpus/$target" "$work/artifacts"
    echo "== $target: ${seconds} s"
    if ! "$work/build/fuzz/${target}_fuzz" "$work/corpus/$target" "$source_dir/fuzz/corpus/$target" \
         -max_total_time="$seconds" -timeout=60 -rss_limit_mb=4096 -print_final_stats=1 \
         -artifact_prefix="$work/artifacts/$target-" 2>"$work/$target.log"; then
        tail -n 60 "$work/$target.log"
        failed+=("$target")
    else
        grep -E "^stat::(number_of_executed_units|new_units_added)|Done " "$work/$target.log" || true
    fi
done
if [ ${#failed[@]} -gt 0 ]; then
    echo "fuzz targets that failed: ${failed[*]} (inputs in $work/artifacts)"
    exit 1
fi
