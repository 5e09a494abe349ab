#!/usr/bin/env bash
# The command-line contract of the developer tools and benchmarks given as
# arguments: --help prints the usage on stdout and exits 0; an unknown option,
# a bad value or a missing or wrong-kind input prints one line on stderr,
# nothing on stdout, and exits non-zero. Everything runs in an empty folder
# that must stay empty (no tool may write where it was started).
#
# tool-arguments.sh PROGRAM...
set -uo pipefail
programs=()
for program in "$@"; do
  [[ -x "$program" ]] || { echo "not a program: $program" >&2; exit 1; }
  programs+=("$(realpath "$program")")
done
WORK="$(mktemp -d)"
trap 'rm -rf "$WORK"' EXIT
mkdir "$WORK/run" "$WORK/folder"
printf 'plain text, not a model\n' >"$WORK/text.gguf"
# A GGUF header of version 3 with no tensors and no keys: no metadata.
printf 'GGUF\003\000\000\000\000\000\000\000\000\000\000\000\000\000\000\000\000\000\000\000' >"$WORK/empty.gguf"
cd "$WORK/run" || exit 1
failures=0

run() {
  "$@" >"$WORK/out" 2>"$WORK/err"
  status=$?
}

fail() {
  echo "FAIL: $*" >&2
  echo "  status $status; stdout: $(head -c 300 "$WORK/out")" >&2
  echo "  stderr: $(head -c 300 "$WORK/err")" >&2
  failures=$((failures + 1))
}

help_works() {
  run "$@"
  [[ $status -eq 0 && -s "$WORK/out" && ! -s "$WORK/err" ]] || fail "$*"
}

# An error: non-zero, one line on stderr; stdout empty unless told otherwise.
refused() {
  local stdout_allowed=0
  if [[ "$1" == --stdout-allowed ]]; then stdout_allowed=1; shift; fi
  run "$@"
  local lines
  lines=$(wc -l <"$WORK/err")
  [[ $status -ne 0 && $lines -eq 1 ]] || { fail "$*"; return; }
  [[ $stdout_allowed -eq 1 || ! -s "$WORK/out" ]] || fail "$* (wrote to stdout)"
}

for program in "${programs[@]}"; do
  help_works "$program" --help
  refused "$program" --no-such-option
  case "$(basename "$program")" in
    cvn-modelinfo)
      refused "$program"
      refused "$program" "$WORK/missing.gguf"
      refused "$program" "$WORK/folder"
      refused "$program" "$WORK/text.gguf"
      refused --stdout-allowed "$program" "$WORK/empty.gguf"
      grep -qx 'metadata: none' "$WORK/out" || fail "$program empty.gguf: no 'metadata: none'"
      ;;
    cvn-extract)
      refused "$program" "$WORK/missing.txt"
      refused "$program" "$WORK/folder"
      # One byte over the attachment limit (sparse: no disk is used).
      truncate -s 52428801 "$WORK/big.txt"
      refused "$program" "$WORK/big.txt"
      grep -q 'limit' "$WORK/err" || fail "$program big.txt: the limit is not named"
      rm -f "$WORK/big.txt"
      # A line break in a name must not start a record of its own.
      forged="$WORK/a"$'\n'"== forged.txt (9 tokens)"$'\n'"b.txt"
      printf 'hello\n' >"$forged"
      run "$program" "$forged"
      [[ $status -eq 0 && $(grep -c '^== ' "$WORK/out") -eq 1 ]] || fail "$program with a line break in a name"
      grep -qF '== a\n== forged.txt (9 tokens)\nb.txt (' "$WORK/out" || fail "$program: the name is not escaped"
      rm -f "$forged"
      # A name that is not valid UTF-8 opens by its own bytes and shows the
      # byte escaped, also when the file is missing.
      latin1="$WORK/caf"$'\xe9'".txt"
      printf 'hello\n' >"$latin1"
      run "$program" "$latin1"
      [[ $status -eq 0 ]] || fail "$program with a name that is not UTF-8"
      grep -qxF '== caf\xe9.txt (1 tokens)' "$WORK/out" && grep -qx 'hello' "$WORK/out" ||
        fail "$program: the name that is not UTF-8 is not read or not escaped"
      rm -f "$latin1"
      refused "$program" "$latin1"
      grep -qF "caf\\xe9.txt: no such file" "$WORK/err" || fail "$program: a missing name is not escaped"
      ;;
    cvn-make-test-model)
      refused "$program" --out "$WORK/m.gguf" --vocab "$WORK/missing.gguf"
      refused "$program" --out "$WORK/m.gguf" --embd many
      refused "$program" --out "$WORK/m.gguf" --type f64
      refused "$program" --embd 8
      refused "$program" --out "$WORK/m.gguf" --projector clip
      refused "$program" --out "$WORK/m.gguf" --projector gemma3 --image-size 100
      refused "$program" --out "$WORK/m.gguf" --projector mlp --script "a|b"
      refused "$program" --out "$WORK/m.gguf" --width 64
      ;;
    bench-extraction)
      refused "$program" "$WORK/missing-folder"
      refused "$program" --extract "$WORK/missing.pdf"
      ;;
    bench-gguf-read)
      refused "$program" many
      refused "$program" 0
      refused "$program" 1 "$WORK/missing-folder"
      ;;
    bench-markdown-view)
      refused "$program" --pieces many
      refused "$program" --pieces 3
      refused "$program" --lead-lines
      ;;
    cvn-chats)
      refused "$program"
      refused "$program" export
      refused "$program" import
      refused "$program" --db "$WORK/c.db" import "$WORK/missing.jsonl"
      refused "$program" --db "$WORK/c.db" import "$WORK/folder"
      refused "$program" --db "$WORK/missing.db" export --out "$WORK/all.jsonl"
      refused "$program" --db "$WORK/c.db" export --out "$WORK/one.md" --chat many
      refused --stdout-allowed "$program" --db "$WORK/c.db" import "$WORK/text.gguf"
      grep -q 'line 1' "$WORK/err" || fail "$program: a bad file does not name its line"
      rm -f "$WORK"/c.db*
      ;;
    bench-chats)
      refused "$program" --chats many
      refused "$program" --folder "$WORK/missing-folder"
      refused "$program" --skip 0
      refused "$program" --chats 3 --skip 4
      ;;
    cvn-bench-copy)
      refused "$program" --size-mib 0
      refused "$program" --rounds
      ;;
    cvn-bench-api)
      refused "$program"
      refused "$program" --model "$WORK/missing.gguf"
      refused "$program" --model "$WORK/text.gguf"
      refused "$program" --model "$WORK/text.gguf" --threads 0
      ;;
  esac
done

if [[ -n "$(ls -A "$WORK/run")" ]]; then
  echo "FAIL: files were written where the tools ran: $(ls -A "$WORK/run")" >&2
  failures=$((failures + 1))
fi
echo "$failures failure(s)"
[[ $failures -eq 0 ]]
