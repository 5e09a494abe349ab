#!/usr/bin/env bash
# The local server against the official `openai` JavaScript client and the
# agent libraries (the Vercel AI SDK, LangChain): the real
# program, started offscreen with its server on, over scripted models and one
# of random weights. Replies that must follow a JSON Schema are checked with
# `ajv`.
set -euo pipefail

usage() {
  cat <<'USAGE'
usage: openai-client.sh --program FILE --make-model FILE
  --program      the built corvanthelis
  --make-model   the built cvn-make-test-model
Installs the pinned `openai` and `ajv` packages, the AI SDK, LangChain and zod
under the cache folder on first use.
USAGE
}

PROGRAM= MAKE_MODEL=
while [ $# -gt 0 ]; do
  case "$1" in
    --help|-h) usage; exit 0 ;;
    --program) PROGRAM=${2:-}; shift 2 ;;
    --make-model) MAKE_MODEL=${2:-}; shift 2 ;;
    *) echo "openai-client.sh: unknown argument '$1' (see --help)" >&2; exit 2 ;;
  esac
done
for f in "$PROGRAM" "$MAKE_MODEL"; do
  [ -n "$f" ] && [ -f "$f" ] && [ -x "$f" ] || { echo "openai-client.sh: '$f' is not an executable file (see --help)" >&2; exit 2; }
done
command -v node >/dev/null && command -v npm >/dev/null || { echo "openai-client.sh: node and npm are needed (scripts/bootstrap)" >&2; exit 2; }

HERE=$(cd "$(dirname "$0")" && pwd)
CACHE="${CVN_CACHE_DIR:-${XDG_CACHE_HOME:-${HOME:-/tmp}/.cache}/corvanthelis}"
# pinned NAME VERSION [NAME@VERSION...]: installs the package, and those
# after it beside it, into its own folder of the cache once, and prints that
# folder.
pinned() {
  local name=$1 version=$2 pkg tmp
  shift 2
  pkg="$CACHE/$name-$version${1:+-with-$(printf "%s " "$@" | md5sum | cut -c1-8)}"
  if [ ! -f "$pkg/node_modules/$name/package.json" ]; then
    mkdir -p "$CACHE"
    tmp=$(mktemp -d "$CACHE/${name//\//-}.XXXXXX")
    # openai's peers (ws, zod) serve features these tests do not use.
    npm install --prefix "$tmp" --no-save --legacy-peer-deps --no-audit --no-fund --silent "$name@$version" "$@" >/dev/null
    mv -T "$tmp" "$pkg" 2>/dev/null || rm -rf "$tmp" # another run may have won
  fi
  echo "$pkg"
}
PKG=$(pinned openai 6.30.1)
AJV=$(pinned ajv 8.20.0)
# The agent libraries, at the last releases that run on Node 20, with the
# zod their users write schemas in, in one folder.
AGENTS=$(pinned ai 6.0.333 @ai-sdk/openai-compatible@2.0.92 @ai-sdk/openai@3.0.141 @langchain/openai@1.5.8 \
  @langchain/core@1.5.0 zod@4.6.7)

T=$(mktemp -d "${TMPDIR:-/tmp}/cvn-openai.XXXXXX")
APP_PID=
cleanup() {
  if [ -n "$APP_PID" ]; then
    kill "$APP_PID" 2>/dev/null || true
    for _ in $(seq 100); do kill -0 "$APP_PID" 2>/dev/null || break; sleep 0.1; done
    kill -9 "$APP_PID" 2>/dev/null || true
  fi
  rm -rf "$T"
}
trap cleanup EXIT

export OMP_THREAD_LIMIT=1 HOME="$T/home" XDG_RUNTIME_DIR="$T/runtime" TMPDIR="$T/tmp" QT_QPA_PLATFORM=offscreen
unset XDG_CONFIG_HOME XDG_DATA_HOME XDG_CACHE_HOME
mkdir -p "$HOME/.config/Corvanthelis" "$HOME/.local/share/Corvanthelis/models" "$TMPDIR"
mkdir -m 700 "$XDG_RUNTIME_DIR"
MODELS="$HOME/.local/share/Corvanthelis/models"
"$MAKE_MODEL" --out "$MODELS/hello.gguf" --script "<0x0A>|▁Hello|▁there|</s>" >"$T/make.log" 2>&1
# An endless cycle, cut only by the reply limit: time enough to leave it.
"$MAKE_MODEL" --out "$MODELS/sea.gguf" --embd 256 --layers 4 --ff 512 --ctx 4096 \
  --script "<0x0A>|▁The|▁sea|▁is|▁calm|.|▁The" >>"$T/make.log" 2>&1
# A Qwen-style template with tools, and after its prompt the model's call of
# get_weather for Paris, in Qwen2 tokens that each come once (the separator
# is a space: the end token holds a '|').
"$MAKE_MODEL" --out "$MODELS/tooled.gguf" --vocab qwen2 \
  --meta "tokenizer.chat_template=$(cat "$HERE/../qwen-tools.jinja")" --separator " " \
  --script 'Ċ < tool _call >Ċ {" name ":" get _weather "," arguments ": Ġ{" city " : Ġ" Paris "}}Ċ </ t ool _c all > <|im_end|>' \
  >>"$T/make.log" 2>&1
# Random weights: text that only a grammar makes JSON.
"$MAKE_MODEL" --out "$MODELS/noise.gguf" >>"$T/make.log" 2>&1
# A model that sees images: random weights, and a random projector whose
# width no other model here has.
"$MAKE_MODEL" --out "$MODELS/seeing.gguf" --embd 128 >>"$T/make.log" 2>&1
"$MAKE_MODEL" --projector mlp --embd 128 --out "$MODELS/mmproj-seeing-f16.gguf" >>"$T/make.log" 2>&1

KEY=cvn-test-key
# The free port is picked before the program binds it, and another program
# may take it meanwhile: a start that finds it taken is tried again.
for attempt in 1 2 3; do
  PORT=$(node -e "const s=require('net').createServer().listen(0,'127.0.0.1',()=>{console.log(s.address().port);s.close()})")
  cat >"$HOME/.config/Corvanthelis/Corvanthelis.conf" <<CONF
[General]
hardware.introShown=true
localServer.enabled=true
localServer.port=$PORT
localServer.apiKey=$KEY
CONF
  "$PROGRAM" >"$T/out.log" 2>"$T/err.log" &
  APP_PID=$!
  for _ in $(seq 300); do
    grep -q "API: listening on\|API: Not listening" "$T/err.log" && break
    kill -0 "$APP_PID" 2>/dev/null || { tail -20 "$T/err.log" >&2; echo "openai-client.sh: the program ended" >&2; exit 1; }
    sleep 0.1
  done
  grep -q "API: Not listening" "$T/err.log" || break
  kill "$APP_PID"; wait "$APP_PID" 2>/dev/null || true
  APP_PID=
done
grep -q "API: listening on" "$T/err.log" || { tail -20 "$T/err.log" >&2; echo "openai-client.sh: the server did not listen" >&2; exit 1; }

failed=0
node "$HERE/openai-client.cjs" "$PKG" "http://127.0.0.1:$PORT/v1" "$KEY" "$T/err.log" || failed=1
node "$HERE/openai-tools.cjs" "$PKG" "$AJV" "http://127.0.0.1:$PORT/v1" "$KEY" "$T/err.log" || failed=1
node "$HERE/agent-clients.cjs" "$AGENTS" "http://127.0.0.1:$PORT/v1" "$KEY" || failed=1
if [ "$failed" != 0 ]; then
  grep "API:" "$T/err.log" >&2 || true
  exit 1
fi
