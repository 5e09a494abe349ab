#!/usr/bin/env bash
# Builds the attachment readers with clang's libFuzzer, AddressSanitizer and
# UndefinedBehaviorSanitizer, then runs each target for a bounded time. Any
# crash, hang, leak, sanitizer report or memory use over the limit fails.
#
# run-fuzz.sh <source root> <work folder> <seconds per target>
set -euo pipefail
ROOT="$1"
WORK="$2"
SECONDS_TO_RUN="$3"
HERE="$ROOT/tests/attachments/fuzz"
CXX="${CVN_FUZZ_CXX:-clang++}"

mkdir -p "$WORK"
FLAGS=(-std=c++20 -g -O1 -fPIC -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=undefined -I"$ROOT/src")
read -r -a QT_CFLAGS <<<"$(pkg-config --cflags Qt6Core)"
read -r -a LIBS <<<"$(pkg-config --libs Qt6Core zlib icu-uc icu-i18n)"

build() { # name, sources...
  local name="$1"
  shift
  "$CXX" "${FLAGS[@]}" "${QT_CFLAGS[@]}" "$@" "${LIBS[@]}" -o "$WORK/$name"
}
build zip-docx-fuzzer "$HERE/ZipDocxFuzzer.cpp" "$ROOT/src/attachments/ZipReader.cpp" "$ROOT/src/attachments/DocxText.cpp" \
  "$ROOT/src/platform/Unicode.cpp" &
build prompt-fuzzer "$HERE/PromptFuzzer.cpp" "$ROOT/src/attachments/SentAttachments.cpp" "$ROOT/src/turn/AttachmentBlocks.cpp" \
  "$ROOT/src/attachments/ImageOrientation.cpp" "$ROOT/src/platform/Unicode.cpp"
wait %1

# A fixed seed keeps a test run repeatable; CVN_FUZZ_SEED=0 picks a random one.
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
for target in zip-docx prompt; do
  mkdir -p "$WORK/$target-found"
  "$WORK/$target-fuzzer" "$WORK/$target-found" "$HERE/corpus-$target" \
    -seed="${CVN_FUZZ_SEED:-1}" -max_total_time="$SECONDS_TO_RUN" -timeout=10 -rss_limit_mb=1024 -malloc_limit_mb=600 \
    -max_len=65536 -artifact_prefix="$WORK/$target-" -print_final_stats=1
done
