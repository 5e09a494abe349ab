#!/usr/bin/env bash
# llama.cpp's own llama-bench, built from the same pinned source and with the
# same options as the app's build, as the outside reference for
# cvn-bench-generation. It is built on demand into a folder of its own (never
# the app's build, never CI) and reused from there.
#
#   llama-bench.sh [--build-dir DIR] [--source DIR] [--jobs N] --build-only
#       builds (when needed) and prints the path of the llama-bench binary
#   llama-bench.sh [--build-dir DIR] [--source DIR] [--jobs N]
#                  --model FILE --depth N --tokens N --threads N [--runs N]
#       runs the generation test at that context depth: what
#       cvn-bench-generation's stream does with a prompt of N tokens
#
# Defaults: --build-dir /tmp/cvn-llama-bench, --source third_party/llama.cpp
# beside this folder, --jobs 4, --runs 3.
set -euo pipefail

HERE="$(cd "$(dirname "$0")" && pwd)"
BUILD_DIR=/tmp/cvn-llama-bench
SOURCE="$HERE/../third_party/llama.cpp"
JOBS=4
BUILD_ONLY=0
MODEL="" DEPTH="" TOKENS="" THREADS="" RUNS=3

usage() {
    sed -n '2,15p' "$0" | sed 's/^# \{0,1\}//'
}
fail() {
    echo "llama-bench.sh: $*" >&2
    exit 2
}
is_count() { [[ "$1" =~ ^[0-9]+$ ]] && (("$1" >= 1)); }

while (($#)); do
    case "$1" in
    -h | --help)
        usage
        exit 0
        ;;
    --build-only)
        BUILD_ONLY=1
        shift
        continue
        ;;
    --build-dir | --source | --jobs | --model | --depth | --tokens | --threads | --runs)
        (($# >= 2)) || fail "$1 needs a value"
        ;;
    *) fail "unknown option $1 (see --help)" ;;
    esac
    case "$1" in
    --build-dir) BUILD_DIR="$2" ;;
    --source) SOURCE="$2" ;;
    --jobs) JOBS="$2" ;;
    --model) MODEL="$2" ;;
    --depth) DEPTH="$2" ;;
    --tokens) TOKENS="$2" ;;
    --threads) THREADS="$2" ;;
    --runs) RUNS="$2" ;;
    esac
    shift 2
done

[[ -f "$SOURCE/include/llama.h" ]] || fail "no llama.cpp source at $SOURCE (run scripts/bootstrap)"
is_count "$JOBS" || fail "--jobs must be a whole number >= 1"
if ((!BUILD_ONLY)); then
    [[ -n "$MODEL" ]] || fail "--model is required (or --build-only)"
    [[ -f "$MODEL" && -r "$MODEL" ]] || fail "cannot read the model file $MODEL"
    is_count "${DEPTH:-x}" || fail "--depth must be a whole number >= 1"
    is_count "${TOKENS:-x}" || fail "--tokens must be a whole number >= 1"
    is_count "${THREADS:-x}" || fail "--threads must be a whole number >= 1"
    is_count "$RUNS" || fail "--runs must be a whole number >= 1"
fi

BIN="$BUILD_DIR/bin/llama-bench"
if [[ ! -x "$BIN" ]]; then
    command -v cmake >/dev/null || fail "cmake is not installed"
    # The app's top-level CMakeLists.txt sets these for its llama.cpp
    # subproject (static, CPU only, position-independent, Release); the tools
    # and the common library that llama-bench needs are the only additions.
    # Like the app, it leaves out llama.cpp's AMX kernels, which crash on
    # K-quants where the processor has AMX; the flags must follow ggml's own
    # -march=native, so a compiler launcher appends them.
    mkdir -p "$BUILD_DIR"
    CACHE_TOOL=
    command -v ccache >/dev/null && CACHE_TOOL=ccache
    cat >"$BUILD_DIR/no-amx" <<LAUNCH
#!/bin/sh
exec $CACHE_TOOL "\$@" -mno-amx-tile -mno-amx-int8 -mno-amx-bf16
LAUNCH
    chmod +x "$BUILD_DIR/no-amx"
    LAUNCHER=(-DCMAKE_C_COMPILER_LAUNCHER="$BUILD_DIR/no-amx" -DCMAKE_CXX_COMPILER_LAUNCHER="$BUILD_DIR/no-amx")
    GENERATOR=()
    if command -v ninja >/dev/null; then
        GENERATOR=(-G Ninja)
    fi
    echo "llama-bench.sh: building llama-bench in $BUILD_DIR (once)" >&2
    cmake -S "$SOURCE" -B "$BUILD_DIR" "${GENERATOR[@]}" "${LAUNCHER[@]}" \
        -DCMAKE_BUILD_TYPE=Release \
        -DCMAKE_POSITION_INDEPENDENT_CODE=ON \
        -DBUILD_SHARED_LIBS=OFF \
        -DLLAMA_BUILD_TESTS=OFF -DLLAMA_BUILD_EXAMPLES=OFF -DLLAMA_BUILD_SERVER=OFF -DLLAMA_BUILD_APP=OFF \
        -DLLAMA_BUILD_TOOLS=ON -DLLAMA_BUILD_COMMON=ON \
        -DLLAMA_CURL=OFF -DLLAMA_OPENSSL=OFF -DLLAMA_ALL_WARNINGS=OFF \
        -DGGML_METAL=OFF -DGGML_CUDA=OFF -DGGML_VULKAN=OFF -DGGML_BLAS=OFF >"$BUILD_DIR/configure.log" 2>&1 ||
        fail "configuring llama.cpp failed (see $BUILD_DIR/configure.log)"
    cmake --build "$BUILD_DIR" --target llama-bench -j "$JOBS" >"$BUILD_DIR/build.log" 2>&1 ||
        fail "building llama-bench failed (see $BUILD_DIR/build.log)"
    [[ -x "$BIN" ]] || fail "the build made no $BIN"
fi

if ((BUILD_ONLY)); then
    echo "$BIN"
    exit 0
fi

# -p 0: no prompt test; -d: the prompt is already in the context, as in the
# stream's run; -n: tokens generated one at a time, each decoded like ours.
# Everything else is llama.cpp's default on both sides (batch 2048, micro-batch
# 512, F16 cache, flash attention on auto, one output row per decode, the same
# thread count for prompt and generation). Its context is depth + tokens where
# ours is larger, but both attend over the used cells rounded up to 256, so at
# the same depth each token reads the same cache.
exec "$BIN" -m "$MODEL" -p 0 -n "$TOKENS" -d "$DEPTH" -t "$THREADS" -r "$RUNS" -ngl 0
