#!/usr/bin/env bash
# Builds one of the bridge's fuzz targets with clang's libFuzzer,
# AddressSanitizer and UndefinedBehaviorSanitizer, then fuzzes it for a
# bounded time from its seed corpus. A crash, hang, leak, sanitizer report or
# broken invariant fails the run.
#
# run-fuzz.sh <source root> <work folder> <request|json> <seconds>
set -euo pipefail
ROOT="$1"
WORK="$2"
TARGET="$3"
SECONDS_TO_RUN="$4"
HERE="$ROOT/tests/bridge/fuzz"
CXX="${CVN_FUZZ_CXX:-clang++}"

case "$TARGET" in
  request) MAIN="$HERE/RequestFuzzer.cpp" ;;
  json) MAIN="$HERE/JsonFuzzer.cpp" ;;
  *) echo "unknown target $TARGET" >&2; exit 2 ;;
esac

OBJ="$WORK/obj-$TARGET"
mkdir -p "$WORK/found-$TARGET" "$OBJ"
rm -f "$OBJ"/*.o
# The settings store announces writes through a QObject: its meta-object code.
MOC="${CVN_FUZZ_MOC:-$(pkg-config --variable=libexecdir Qt6Core)/moc}"
"$MOC" "$ROOT/src/platform/SettingsNotifier.h" -o "$OBJ/moc_SettingsNotifier.cpp"
SOURCES=(
  "$OBJ/moc_SettingsNotifier.cpp"
  "$MAIN"
  "$ROOT/src/bridge/AppInfo.cpp"
  "$ROOT/src/bridge/Json.cpp"
  "$ROOT/src/bridge/RequestAccumulator.cpp"
  "$ROOT/src/bridge/RigInspector.cpp"
  "$ROOT/src/models/HardwareInfo.cpp"
  "$ROOT/src/models/MemoryEstimates.cpp"
  "$ROOT/src/platform/AppSettings.cpp"
  "$ROOT/src/platform/HostFacts.cpp"
  "$ROOT/src/platform/MainThread.cpp"
  "$ROOT/src/platform/NumberFormat.cpp"
  "$ROOT/src/platform/SettingsNotifier.cpp"
  "$ROOT/src/platform/SystemInfo.cpp"
  "$ROOT/src/platform/GpuDevices.cpp"
  "$ROOT/src/platform/Unicode.cpp"
  "$ROOT/src/platform/Utf8Decoder.cpp"
)
FLAGS=(-std=c++20 -g -O1 -fPIC -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=undefined
       -I"$ROOT/src" -DCVN_APP_VERSION='"1.0.0"' -DCVN_APP_BUILD='"1"')
read -r -a QT_CFLAGS <<<"$(pkg-config --cflags Qt6Core)"
read -r -a QT_LIBS <<<"$(pkg-config --libs Qt6Core icu-uc icu-i18n)"
# Two compilers at a time: the machine running this has few cores.
export CXX OBJ
printf '%s\n' "${SOURCES[@]}" | xargs -P2 -I{} sh -c \
  '"$CXX" "$@" -c "$0" -o "$OBJ/$(basename "$0" .cpp).o"' {} "${FLAGS[@]}" "${QT_CFLAGS[@]}"
"$CXX" "${FLAGS[@]}" "$OBJ"/*.o "${QT_LIBS[@]}" -o "$WORK/$TARGET-fuzzer"

# New inputs go to the work folder; the seeds in the source tree stay as they are.
# A fixed seed keeps a test run repeatable; CVN_FUZZ_SEED=0 picks a random one.
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
export XDG_DATA_HOME="$WORK/data" XDG_CONFIG_HOME="$WORK/config"
"$WORK/$TARGET-fuzzer" "$WORK/found-$TARGET" "$HERE/corpus-$TARGET" \
  -seed="${CVN_FUZZ_SEED:-1}" -max_total_time="$SECONDS_TO_RUN" -timeout=5 -rss_limit_mb=2048 -malloc_limit_mb=300 \
  -max_len=24576 -artifact_prefix="$WORK/$TARGET-" -print_final_stats=1
