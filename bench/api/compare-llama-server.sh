#!/usr/bin/env bash
# The local server against llama.cpp's own llama-server on the same model
# file, thread count, context and greedy sampling, both driven by one client
# in one run: how long a streamed reply takes to its first token when a
# conversation comes back.
set -euo pipefail

usage() {
  cat <<'USAGE'
usage: compare-llama-server.sh --program FILE --model FILE [--threads N] [--ctx N]
                               [--tokens N] [--jobs N] [--server FILE]
  --program   the built corvanthelis
  --model     the GGUF model both servers answer with
  --threads   threads for prompt and reply on both sides (default 4)
  --ctx       context size on both sides (default 4096)
  --tokens    about how long each conversation starts, in tokens (default 1300)
  --jobs      build jobs for llama-server (default 4)
  --server    a llama-server built already (from the same source), not built here
Both sample greedily with no repeat penalty (llama-server's default; ours
is told so in the model's choices). Builds llama-server from
${LLAMA_CPP_DIR:-third_party/llama.cpp} (CPU only) into a temporary folder
and removes it at the end. Both servers listen on 127.0.0.1 only. Two
measures, each the sum of the first-token times of a
conversation's replies after its first:
  two conversations in turn: A B A B A B, each reply added to its chat, both
    servers answering in lockstep, reply by reply
  growing conversation: one chat of six replies, each added to it and the
    next turn sent the moment the reply's stream ends, as agents and scripts
    do; each server has the whole conversation in turn, twice, in both orders
It ends with "two conversations in turn, first token ours/llama-server: R"
and "growing conversation, first token ours/llama-server: R".
USAGE
}

fail() {
  echo "compare-llama-server.sh: $*" >&2
  exit 2
}
is_count() { [[ "$1" =~ ^[0-9]+$ ]] && (("$1" >= 1)); }

HERE=$(cd "$(dirname "$0")" && pwd)
SOURCE="${LLAMA_CPP_DIR:-$HERE/../../third_party/llama.cpp}"
PROGRAM= MODEL= THREADS=4 CTX=4096 TOKENS=1300 JOBS=4 SERVER=
while (($#)); do
  case "$1" in
  -h | --help) usage; exit 0 ;;
  --program | --model | --threads | --ctx | --tokens | --jobs | --server) (($# >= 2)) || fail "$1 needs a value" ;;
  *) fail "unknown option $1 (see --help)" ;;
  esac
  case "$1" in
  --program) PROGRAM=$2 ;;
  --model) MODEL=$2 ;;
  --threads) THREADS=$2 ;;
  --ctx) CTX=$2 ;;
  --tokens) TOKENS=$2 ;;
  --jobs) JOBS=$2 ;;
  --server) SERVER=$2 ;;
  esac
  shift 2
done
[[ -n "$PROGRAM" ]] || fail "--program FILE is required (see --help)"
[[ -f "$PROGRAM" && -x "$PROGRAM" ]] || fail "$PROGRAM is not an executable file"
[[ -n "$MODEL" ]] || fail "--model FILE is required (see --help)"
[[ -f "$MODEL" && -r "$MODEL" ]] || fail "cannot read the model file $MODEL"
[[ "$(head -c 4 "$MODEL")" == GGUF ]] || fail "$MODEL is not a GGUF model file"
is_count "$THREADS" || fail "--threads takes a whole number >= 1, not $THREADS"
is_count "$CTX" && ((CTX >= 512)) || fail "--ctx takes a whole number >= 512, not $CTX"
is_count "$TOKENS" || fail "--tokens takes a whole number >= 1, not $TOKENS"
((TOKENS * 2 < CTX)) || fail "--tokens $TOKENS leaves a conversation no room to grow in a context of $CTX"
is_count "$JOBS" || fail "--jobs takes a whole number >= 1, not $JOBS"
[[ -z "$SERVER" || (-f "$SERVER" && -x "$SERVER") ]] || fail "$SERVER is not an executable file"
[[ -f "$SOURCE/include/llama.h" && -d "$SOURCE/tools/server" ]] || fail "no llama.cpp source at $SOURCE (run scripts/bootstrap)"
command -v cmake >/dev/null || fail "cmake is not installed"
command -v python3 >/dev/null || fail "python3 is not installed"
MODEL=$(realpath "$MODEL")
PROGRAM=$(realpath "$PROGRAM")

T=$(mktemp -d "${TMPDIR:-/tmp}/cvn-compare-llama-server.XXXXXX")
OURS_PID= THEIRS_PID=
stop() {
  local pid=$1
  [[ -n "$pid" ]] || return 0
  kill "$pid" 2>/dev/null || true
  for _ in $(seq 100); do kill -0 "$pid" 2>/dev/null || break; sleep 0.1; done
  kill -9 "$pid" 2>/dev/null || true
}
cleanup() {
  stop "$OURS_PID"
  stop "$THEIRS_PID"
  rm -rf "$T"
}
trap cleanup EXIT

if [[ -z "$SERVER" ]]; then
  # The same options the app's build gives its llama.cpp (static, CPU only,
  # Release, no AMX kernels, which crash on K-quants where the processor has
  # AMX; the flags must follow ggml's own -march=native, so a compiler launcher
  # appends them), with the server and no web page, download nor TLS.
  BUILD="$T/llama.cpp"
  mkdir -p "$BUILD"
  CACHE_TOOL=
  command -v ccache >/dev/null && CACHE_TOOL=ccache
  # Paths inside the temporary folder count as relative to it, so a cached
  # compile from an earlier run still serves.
  cat >"$T/no-amx" <<LAUNCH
#!/bin/sh
CCACHE_BASEDIR="$T" exec $CACHE_TOOL "\$@" -mno-amx-tile -mno-amx-int8 -mno-amx-bf16
LAUNCH
  chmod +x "$T/no-amx"
  GENERATOR=()
  command -v ninja >/dev/null && GENERATOR=(-G Ninja)
  echo "compare-llama-server.sh: building llama-server from $SOURCE" >&2
  cmake -S "$SOURCE" -B "$BUILD" "${GENERATOR[@]}" \
    -DCMAKE_C_COMPILER_LAUNCHER="$T/no-amx" -DCMAKE_CXX_COMPILER_LAUNCHER="$T/no-amx" \
    -DCMAKE_BUILD_TYPE=Release -DCMAKE_POSITION_INDEPENDENT_CODE=ON -DBUILD_SHARED_LIBS=OFF \
    -DLLAMA_BUILD_TESTS=OFF -DLLAMA_BUILD_EXAMPLES=OFF -DLLAMA_BUILD_APP=OFF \
    -DLLAMA_BUILD_TOOLS=ON -DLLAMA_BUILD_SERVER=ON -DLLAMA_BUILD_COMMON=ON \
    -DLLAMA_BUILD_UI=OFF -DLLAMA_USE_PREBUILT_UI=OFF \
    -DLLAMA_CURL=OFF -DLLAMA_OPENSSL=OFF -DLLAMA_ALL_WARNINGS=OFF \
    -DGGML_METAL=OFF -DGGML_CUDA=OFF -DGGML_VULKAN=OFF -DGGML_BLAS=OFF >"$T/configure.log" 2>&1 ||
    { tail -20 "$T/configure.log" >&2; fail "configuring llama.cpp failed"; }
  cmake --build "$BUILD" --target llama-server -j "$JOBS" >"$T/build.log" 2>&1 ||
    { tail -20 "$T/build.log" >&2; fail "building llama-server failed"; }
  SERVER="$BUILD/bin/llama-server"
  [[ -x "$SERVER" ]] || fail "the build made no $SERVER"
fi

free_port() {
  python3 -c "import socket; s=socket.socket(); s.bind(('127.0.0.1', 0)); print(s.getsockname()[1]); s.close()"
}

# Ours: the real program, offscreen, in a home of its own with the model in
# its models folder, the context set by hand and the server on. Greedy as
# llama-server's: no repeat penalty, which llama-server leaves off and ours
# takes from the model's choices (1.1 unless set). A penalty steers a
# random test model's greedy reply off its likeliest tokens into fragments
# whose text the tokenizer reads back as other tokens than those sampled, so
# that little of the reply stays kept: each next turn would decode more on
# one side for no fault of its server.
export QT_QPA_PLATFORM=offscreen
OURS_HOME="$T/home"
MODELS="$OURS_HOME/.local/share/Corvanthelis/models"
mkdir -p "$OURS_HOME/.config/Corvanthelis" "$MODELS" "$T/tmp"
mkdir -m 700 "$T/runtime"
NAME=$(basename "$MODEL")
# A copy, not a hard link: a link changes the file's inode, and ours loads
# again a model whose file changed, so another run of this bench linking or
# unlinking the same file would have ours reload in the middle of a measure.
cp --reflink=auto "$MODEL" "$MODELS/$NAME" || fail "cannot copy $MODEL into $MODELS"
cat >"$MODELS/.model-choices.json" <<JSON
{"$NAME": {"displayName": "${NAME%.gguf}", "contextMode": "manual", "contextSizeManual": $CTX, "sampling": {"repeatPenalty": 1}}}
JSON
KEY=cvn-compare-key
for attempt in 1 2 3; do
  OURS_PORT=$(free_port)
  cat >"$OURS_HOME/.config/Corvanthelis/Corvanthelis.conf" <<CONF
[General]
hardware.introShown=true
hardware.threadCount=$THREADS
localServer.enabled=true
localServer.port=$OURS_PORT
localServer.apiKey=$KEY
CONF
  (
    unset XDG_CONFIG_HOME XDG_DATA_HOME XDG_CACHE_HOME
    export HOME="$OURS_HOME" XDG_RUNTIME_DIR="$T/runtime" TMPDIR="$T/tmp"
    exec "$PROGRAM" >"$T/ours.out" 2>"$T/ours.err"
  ) &
  OURS_PID=$!
  for _ in $(seq 300); do
    grep -q "API: listening on\|API: Not listening" "$T/ours.err" && break
    kill -0 "$OURS_PID" 2>/dev/null || { tail -20 "$T/ours.err" >&2; fail "corvanthelis ended"; }
    sleep 0.1
  done
  grep -q "API: Not listening" "$T/ours.err" || break
  stop "$OURS_PID"
  OURS_PID=
done
grep -q "API: listening on" "$T/ours.err" || { tail -20 "$T/ours.err" >&2; fail "the local server did not listen"; }

# Theirs: one slot of the whole context, as ours has one conversation at a
# time; everything else is llama-server's default (its prompt cache in RAM
# included).
for attempt in 1 2 3; do
  THEIRS_PORT=$(free_port)
  "$SERVER" -m "$MODEL" --host 127.0.0.1 --port "$THEIRS_PORT" -t "$THREADS" -tb "$THREADS" -c "$CTX" -np 1 \
    -ngl 0 >"$T/theirs.log" 2>&1 &
  THEIRS_PID=$!
  for _ in $(seq 600); do
    python3 - "$THEIRS_PORT" <<'PY' 2>/dev/null && break
import sys, urllib.request
urllib.request.urlopen(f"http://127.0.0.1:{sys.argv[1]}/health", timeout=1)
PY
    kill -0 "$THEIRS_PID" 2>/dev/null || break
    sleep 0.2
  done
  kill -0 "$THEIRS_PID" 2>/dev/null && break
  THEIRS_PID=
done
[[ -n "$THEIRS_PID" ]] || { tail -20 "$T/theirs.log" >&2; fail "llama-server did not start"; }

echo "model: $MODEL"
echo "threads $THREADS, context $CTX, conversations of about $TOKENS tokens"
python3 - "$OURS_PORT" "$KEY" "$THEIRS_PORT" "$TOKENS" <<'PY'
import json, random, sys, time, urllib.request

ours_port, key, theirs_port, tokens = int(sys.argv[1]), sys.argv[2], int(sys.argv[3]), int(sys.argv[4])
WORDS = ("the sea ships sail under a grey sky while sailors sing old songs about home and wind rain light "
         "house keeps watch over harbour boats return with fish salt nets morning tide").split()
REPLY_TOKENS = 16


class Server:
    def __init__(self, name, port, key=None):
        self.name, self.base, self.key = name, f"http://127.0.0.1:{port}", key
        headers = {"Authorization": f"Bearer {key}"} if key else {}
        with urllib.request.urlopen(urllib.request.Request(self.base + "/v1/models", headers=headers)) as r:
            self.model = json.load(r)["data"][0]["id"]

    # One streamed reply: (ms to the first piece of text, or to the end when
    # none came; the reply's text; the prompt's tokens when told).
    def reply(self, messages):
        body = json.dumps({"model": self.model, "messages": messages, "stream": True,
                           "stream_options": {"include_usage": True}, "max_tokens": REPLY_TOKENS,
                           "temperature": 0, "seed": 1}).encode()
        headers = {"Content-Type": "application/json"}
        if self.key:
            headers["Authorization"] = f"Bearer {self.key}"
        request = urllib.request.Request(self.base + "/v1/chat/completions", data=body, headers=headers)
        start = time.monotonic()
        first, text, prompt = None, "", None
        with urllib.request.urlopen(request, timeout=3600) as r:
            for raw in r:
                line = raw.decode("utf-8", "replace").strip()
                if not line.startswith("data: ") or line == "data: [DONE]":
                    continue
                chunk = json.loads(line[6:])
                for choice in chunk.get("choices") or []:
                    piece = (choice.get("delta") or {}).get("content") or ""
                    if piece and first is None:
                        first = time.monotonic()
                    text += piece
                if chunk.get("usage"):
                    prompt = chunk["usage"].get("prompt_tokens")
        end = time.monotonic()
        return ((first or end) - start) * 1000, text, prompt


def conversation(rng, tokens):
    # About 1.4 tokens a filler word in the usual vocabularies. A system
    # message of its own, so that a template which writes one where none is
    # sent (llama-server renders the model's own) gives both the same prompt,
    # and so the same greedy replies.
    messages, words = [{"role": "system", "content": "You are a helpful assistant"}], 0
    while words * 1.4 < tokens:
        for role in ("user", "assistant"):
            messages.append({"role": role, "content": " ".join(rng.choice(WORDS) for _ in range(90)) + "."})
            words += 90
    return messages


def turn(server, chat, rng, label):
    chat.append({"role": "user", "content": " ".join(rng.choice(WORDS) for _ in range(22)) + "."})
    ms, text, prompt = server.reply(chat)
    chat.append({"role": "assistant", "content": text})
    print(f"{server.name} {label}: {prompt if prompt is not None else '?'} prompt tokens, first token {ms:.1f} ms",
          flush=True)
    return ms


# Both servers answer the same conversations in lockstep, reply by reply, so
# that whatever else the machine does meanwhile weighs on both alike. Each
# side draws its own messages from a generator of the same seed; the replies
# it hears do not change the draws.
def in_turn(seed):
    rngs = [random.Random(seed) for _ in servers]
    chats = [[conversation(rng, tokens), conversation(rng, tokens)] for rng in rngs]
    totals = [0.0 for _ in servers]
    for r in range(6):
        for i, server in enumerate(servers):
            ms = turn(server, chats[i][r % 2], rngs[i], f"reply {r + 1}, chat {'AB'[r % 2]}")
            totals[i] += ms if r >= 2 else 0
    return totals


# Lockstep would put the other server's reply between two turns, a pause
# in which whatever a server does after a reply is done: here each server
# runs the whole conversation with nothing between its turns, and the two
# take turns at it, each going first once, so that the machine's other work
# weighs on both alike. The second round draws new messages.
def growing(seed):
    totals = [0.0 for _ in servers]
    for round_, order in enumerate((range(len(servers)), reversed(range(len(servers))))):
        for i in order:
            rng = random.Random(seed + round_)
            chat = conversation(rng, tokens)
            for r in range(6):
                ms = turn(servers[i], chat, rng, f"growing round {round_ + 1} reply {r + 1}")
                totals[i] += ms if r >= 1 else 0
    return totals


servers = [Server("ours", ours_port, key), Server("llama-server", theirs_port)]
for s in servers:  # loads the model, so no load is timed
    s.reply([{"role": "user", "content": "Hi"}])
results = {}
for name, run, seed in (("in turn", in_turn, 1), ("growing", growing, 2)):
    results[name] = run(seed)
    print(f"{name}: ours {results[name][0]:.1f} ms, llama-server {results[name][1]:.1f} ms", flush=True)
ratio = lambda pair: pair[0] / pair[1] if pair[1] > 0 else float("nan")
print(f"two conversations in turn, first token ours/llama-server: {ratio(results['in turn']):.2f}")
print(f"growing conversation, first token ours/llama-server: {ratio(results['growing']):.2f}")
PY
