#!/usr/bin/env bash
# Builds the GGUF reader with clang's libFuzzer, AddressSanitizer and
# UndefinedBehaviorSanitizer, then fuzzes it for a bounded time from the seed
# corpus. Any crash, hang, leak or sanitizer report fails the run.
#
# run-fuzz.sh <source root> <work folder> <seconds>
set -euo pipefail
ROOT="$1"
WORK="$2"
SECONDS_TO_RUN="$3"
HERE="$ROOT/tests/models/fuzz"
CXX="${CVN_FUZZ_CXX:-clang++}"

mkdir -p "$WORK/found"
rm -f "$WORK"/obj-*.o
SOURCES=(
  "$HERE/GgufFuzzer.cpp"
  "$ROOT/src/models/GgufMetadata.cpp"
  "$ROOT/src/models/MemoryEstimates.cpp"
  "$ROOT/src/models/ModelFitCheck.cpp"
  "$ROOT/src/models/ModelInfo.cpp"
  "$ROOT/src/models/NumberText.cpp"
  "$ROOT/src/platform/NativePath.cpp"
  "$ROOT/src/platform/NumberFormat.cpp"
  "$ROOT/src/platform/RegularFile.cpp"
  "$ROOT/src/platform/SystemInfo.cpp"
  "$ROOT/src/platform/GpuDevices.cpp"
  "$ROOT/src/platform/Utf8Decoder.cpp"
)
FLAGS=(-std=c++20 -g -O1 -fPIC -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=undefined
       -I"$ROOT/src")
read -r -a QT_CFLAGS <<<"$(pkg-config --cflags Qt6Core)"
read -r -a QT_LIBS <<<"$(pkg-config --libs Qt6Core)"
compile() {
  "$CXX" "${FLAGS[@]}" "${QT_CFLAGS[@]}" -c "$1" -o "$WORK/obj-$(basename "$1" .cpp).o"
}
# One object per source, two at a time: the machine running this has few cores.
pending=()
for src in "${SOURCES[@]}"; do
  compile "$src" &
  pending+=($!)
  if ((${#pending[@]} >= 2)); then
    wait "${pending[0]}"
    pending=("${pending[@]:1}")
  fi
done
for pid in "${pending[@]}"; do wait "$pid"; done
"$CXX" "${FLAGS[@]}" "$WORK"/obj-*.o "${QT_LIBS[@]}" -o "$WORK/gguf-fuzzer"

# New inputs go to the work folder; the seeds in the source tree stay as they are.
# A fixed seed keeps a test run repeatable; CVN_FUZZ_SEED=0 picks a random one.
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
"$WORK/gguf-fuzzer" "$WORK/found" "$HERE/corpus" \
  -dict="$HERE/gguf.dict" -seed="${CVN_FUZZ_SEED:-1}" -max_total_time="$SECONDS_TO_RUN" -timeout=10 \
  -rss_limit_mb=2048 -max_len=4096 -artifact_prefix="$WORK/" -print_final_stats=1
