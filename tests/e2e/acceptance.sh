#!/usr/bin/env bash
# The acceptance run: the real program in an X server of its own, with a
# window manager and a system tray, driven by real mouse and keyboard events
# as a user would, from the first launch to the relaunch. Every step saves a
# screenshot into the output folder. Texts on screen are found by reading the
# screenshots (tesseract); what is stored is read from the chat database.
#
# Every process started here is ended on the way out, whatever happens, and
# the temporary HOME goes with it; the screenshots stay.
set -uo pipefail

usage() {
  cat <<USAGE
Usage: acceptance.sh --program FILE --make-model FILE --install-desktop FILE --out DIR
  --program          the built corvanthelis
  --make-model       the built cvn-make-test-model
  --install-desktop  scripts/install-desktop
  --out              folder for the screenshots and logs (created; emptied first)
USAGE
}

PROGRAM= MAKE_MODEL= INSTALL_DESKTOP= OUT=
while [ $# -gt 0 ]; do
  case "$1" in
    --help|-h) usage; exit 0 ;;
    --program) PROGRAM=${2:-}; shift 2 ;;
    --make-model) MAKE_MODEL=${2:-}; shift 2 ;;
    --install-desktop) INSTALL_DESKTOP=${2:-}; shift 2 ;;
    --out) OUT=${2:-}; shift 2 ;;
    *) echo "acceptance.sh: unknown argument '$1' (see --help)" >&2; exit 2 ;;
  esac
done
for f in "$PROGRAM" "$MAKE_MODEL" "$INSTALL_DESKTOP"; do
  [ -n "$f" ] && [ -f "$f" ] && [ -x "$f" ] || { echo "acceptance.sh: '$f' is not an executable file (see --help)" >&2; exit 2; }
done
[ -n "$OUT" ] || { echo "acceptance.sh: --out is required (see --help)" >&2; exit 2; }
PROGRAM=$(realpath "$PROGRAM") MAKE_MODEL=$(realpath "$MAKE_MODEL") INSTALL_DESKTOP=$(realpath "$INSTALL_DESKTOP")
for tool in Xvfb openbox trayer xdotool xclip import convert tesseract sqlite3 curl xdg-open xdg-mime bc; do
  command -v "$tool" >/dev/null || { echo "acceptance.sh: $tool is missing; run scripts/bootstrap" >&2; exit 2; }
done

mkdir -p "$OUT" && rm -f "$OUT"/*.png "$OUT"/*.log "$OUT"/*.txt
T=$(mktemp -d "${TMPDIR:-/tmp}/cvn-e2e.XXXXXX")
export OMP_THREAD_LIMIT=1 HOME="$T/home" XDG_RUNTIME_DIR="$T/runtime" TMPDIR="$T/tmp" LANG=C.UTF-8 LC_ALL=C.UTF-8
unset XDG_CONFIG_HOME XDG_DATA_HOME XDG_CACHE_HOME QT_QPA_PLATFORM XDG_CURRENT_DESKTOP DESKTOP_SESSION
mkdir -p "$HOME/Documents" "$TMPDIR" && mkdir -m 700 "$XDG_RUNTIME_DIR"
DATA="$HOME/.local/share/Corvanthelis"
MODELS="$DATA/models"
DB="$DATA/chats.db"

PIDS=()    # every background process, ended in reverse order
APP_PID=   # the program, when it runs
STEP=0
NAME=start

cleanup() {
  local i
  for ((i = ${#PIDS[@]} - 1; i >= 0; i--)); do kill -TERM "${PIDS[i]}" 2>/dev/null; done
  for ((i = ${#PIDS[@]} - 1; i >= 0; i--)); do
    for _ in $(seq 20); do kill -0 "${PIDS[i]}" 2>/dev/null || break; sleep 0.1; done
    kill -KILL "${PIDS[i]}" 2>/dev/null
    wait "${PIDS[i]}" 2>/dev/null
  done
  [ -f "$T/err.log" ] && cp "$T/err.log" "$OUT/err.log"
  [ -f "$DATA/bridge.log" ] && cp "$DATA/bridge.log" "$OUT/bridge.log"
  rm -rf "$T"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

say() { echo "e2e [$STEP $NAME] $*"; }
step() { STEP=$((STEP + 1)); NAME=$1; say "---- at ${SECONDS} s"; }
fail() {
  shot failed >/dev/null 2>&1
  echo "e2e [$STEP $NAME] FAILED: $*" >&2
  exit 1
}
check() { # check "what" command...
  local what=$1; shift
  "$@" || fail "$what"
}

# --- the display ---------------------------------------------------------------
Xvfb -displayfd 5 -screen 0 1920x1080x24 -nolisten tcp 5>"$T/display" 2>"$T/xvfb.log" &
PIDS+=($!)
for _ in $(seq 100); do [ -s "$T/display" ] && break; sleep 0.05; done
[ -s "$T/display" ] || fail "Xvfb did not start"
export DISPLAY=":$(head -1 "$T/display")"
openbox --sm-disable >"$T/openbox.log" 2>&1 &
PIDS+=($!)
trayer --edge top --align right --widthtype request --height 24 --SetDockType true >"$T/trayer.log" 2>&1 &
PIDS+=($!)

# --- screen helpers ----------------------------------------------------------------
SHOT=0 SHOT_FILE=
# Saves the whole screen as NN-name.png in the output folder, in SHOT_FILE.
shot() {
  SHOT=$((SHOT + 1))
  SHOT_FILE=$(printf '%s/%02d-%s.png' "$OUT" "$SHOT" "$1")
  import -window root "$SHOT_FILE" 2>/dev/null
  READ_IMG= # a shot taken again under the same name is read afresh
}
# Takes the shot again under the same number (while waiting for a change).
reshoot() { SHOT=$((SHOT - 1)); rm -f "$SHOT_FILE"; shot "$1"; }

# The words of a screenshot as "x y w h word" lines in screen pixels: the
# main window's area read as drawn and inverted (light text on dark cards),
# then the whole screen as drawn (menus outside the window). A read of the
# window alone keeps the black desktop from skewing tesseract's threshold.
ocr_tsv() { # ocr_tsv image left top [convert options...]
  local img=$1 left=$2 top=$3 o="$T/ocr.png"
  shift 3
  convert "$img" "$@" -colorspace Gray -resize 200% "$o"
  tesseract "$o" - --psm 11 tsv 2>/dev/null | awk -F'\t' -v l="$left" -v t="$top" \
    'NR>1 && $12!="" && $11>20 {printf "%d %d %d %d %s\n",l+$7/2,t+$8/2,$9/2,$10/2,$12}'
}

# The words on pills, each pill read on its own: a whole-screen read misses
# text on a small light island in a dark card (or the reverse).
# With RED_PILLS=1 a third pass finds red ones (a destructive button), which
# sit too near the dark card in grey.
RED_PILLS=0
pill_words() {
  local img=$1 o="$T/ocr.png" pass look passes=("-colorspace Gray" "-colorspace Gray -negate")
  [ "$RED_PILLS" = 1 ] && passes+=("-channel R -separate +channel")
  for pass in "${passes[@]}"; do
    # shellcheck disable=SC2086
    convert "$img" $pass -threshold 40% -define connected-components:verbose=true \
      -define connected-components:area-threshold=300 -connected-components 8 null: 2>/dev/null |
      awk '/gray\(255\)|srgb\(255,255,255\)/ {print $2}' | while IFS='x+' read -r w h x y; do
        [ "$h" -ge 20 ] && [ "$h" -le 60 ] && [ "$w" -ge $((h + 20)) ] && [ "$w" -le 700 ] || continue
        # Inside the rim (an outline confuses the reader); a filled pill or an
        # outlined one: the label is the other shade.
        local label=
        for look in "" -negate; do
          # shellcheck disable=SC2086
          convert "$img" -crop "$((w - h))x$((h - 8))+$((x + h / 2))+$((y + 4))" +repage \
            -colorspace Gray $look -resize 300% "$o"
          label=$(tesseract "$o" - --psm 7 2>/dev/null | tr -s ' \n' ' ')
          [ -n "${label// /}" ] && break
        done
        [ -n "${label// /}" ] && echo "$x $y $w $h $label"
      done
  done
}

# Centre "x y" of the first pill whose whole label is $2 (case and white
# space aside), in AT.
find_pill() {
  local want=${2//[[:space:]]/}
  # A trailing chevron (the model pill's) reads as "v", "~v" or "Vv"; it is dropped.
  AT=$(pill_words "$1" | awk -v want="${want,,}" '{ n = NF; if (n > 5 && $n ~ /^[^[:alnum:]]*[vV]?[vV]?[^[:alnum:]]*$/) n--
    l = ""; for (i = 5; i <= n; i++) l = l $i
    gsub(/[^[:alnum:]]/, "", l); if (tolower(l) == want) { printf "%d %d\n", $1 + $3 / 2, $2 + $4 / 2; exit } }')
  [ -n "$AT" ]
}
wait_pill() { # wait_pill label name [seconds]
  local limit=${3:-20} start=$SECONDS taken=$SECONDS
  shot "$2"
  until find_pill "$SHOT_FILE" "$1"; do
    [ $((taken - start)) -ge "$limit" ] && fail "no pill \"$1\" on screen"
    sleep 0.3
    taken=$SECONDS
    reshoot "$2"
  done
}
click_pill() { wait_pill "$@"; click $AT; }

# One read of a screenshot, as "x y w h word" lines: 1, the window as drawn;
# 2, the window inverted (light text on dark cards); 3, each pill on its
# own; 4, the whole screen (menus outside the window).
pass_words() { # pass_words image pass
  case $2 in
    1) locate_window && ocr_tsv "$1" "$WX" "$WY" -crop "${WW}x${WH}+${WX}+${WY}" +repage ;;
    2) locate_window && ocr_tsv "$1" "$WX" "$WY" -crop "${WW}x${WH}+${WX}+${WY}" +repage -negate ;;
    3) pill_words "$1" | awk '{ for (i = 5; i <= NF; i++) print $1, $2, $3, $4, $i }' ;;
    4) ocr_tsv "$1" 0 0 ;;
  esac
  return 0
}
# Reading is the slow part, so a screenshot is read one pass at a time, only
# as far as a question needs; what was read stays with the shot. ORDER is
# the order of the passes for shots read from now on.
ORDER="1 2 3 4"
READ_IMG= READ_LEFT= READ_WORDS=
read_from() { # read_from image: starts on another shot
  [ "$1" = "$READ_IMG" ] && return
  READ_IMG=$1 READ_LEFT=$ORDER READ_WORDS=
}
read_more() { # false when every pass is read
  local next
  read -r next READ_LEFT <<<"$READ_LEFT"
  [ -n "$next" ] || return 1
  READ_WORDS+=$(pass_words "$READ_IMG" "$next")$'\n'
}

# Whether the shot shows the phrase, ignoring case and white space (the
# reader drops or doubles blanks); what was read is in TEXT.
TEXT=
shows() { # shows image phrase [test]: `test text phrase` in place of has
  read_from "$1"
  while :; do
    TEXT=$(awk 'NF > 4 { $1 = $2 = $3 = $4 = ""; printf "%s ", substr($0, 5) }' <<<"$READ_WORDS" | tr -s ' ')
    "${3:-has}" "$TEXT" "$2" && return 0
    read_more || return 1
  done
}
shown() { shows "$SHOT_FILE" "$1"; }
# Whether the text holds the number, or one of as many digits that differs
# from it in one place: the reader mistakes a digit of small type now and
# then (3 for 8, 6 for 5), and puts a stray bracket or bar inside one
# ("1433) 95" for 43395).
has_number() { # has_number text number
  local text=${1//[[:space:]]/}
  text=${text//[()|]/}
  grep -oE '[0-9]+' <<<"$text" | awk -v want="$2" '{
    n = length(want)
    for (s = 1; s + n - 1 <= length($0); s++) {
      d = 0
      for (i = 1; i <= n; i++) d += substr($0, s + i - 1, 1) != substr(want, i, 1)
      if (d <= 1) found = 1
    } } END { exit !found }'
}

# Centre "x y" of the first word equal to $2 (punctuation around it ignored,
# and case) left of x = $3, in AT.
find_word() { # find_word image word [right]
  read_from "$1"
  while :; do
    AT=$(awk -v want="$2" -v right="${3:-100000}" '$1 < right {
      w = $5; gsub(/^[^[:alnum:]]+|[^[:alnum:].]+$/, "", w)
      if (tolower(w) == tolower(want)) { printf "%d %d\n", $1 + $3 / 2, $2 + $4 / 2; exit } }' <<<"$READ_WORDS")
    [ -n "$AT" ] && return 0
    read_more || return 1
  done
}

# Whether the text holds the phrase, ignoring case and white space.
has() { local text=${1//[[:space:]]/} phrase=${2//[[:space:]]/}; grep -qiF -- "$phrase" <<<"$text"; }

# Waits until the word is on screen; its centre goes to AT ("x y"). The last
# shot stays under `name`.
AT=
# A wait ends only on a shot taken once its time was up: reading a shot can
# take longer than the whole wait on a loaded machine.
wait_word() { # wait_word word name [seconds [right]]
  local word=$1 name=$2 limit=${3:-20} start=$SECONDS taken=$SECONDS
  shot "$name"
  while :; do
    find_word "$SHOT_FILE" "$word" "${4:-}" && return 0
    [ $((taken - start)) -ge "$limit" ] && return 1
    sleep 0.3
    taken=$SECONDS
    reshoot "$name"
  done
}

# Waits until the sentence shows (or, with --gone, until it does not); the
# last shot stays under `name`.
wait_text() { # wait_text [--gone] "sentence" name [seconds]
  local gone=0
  [ "$1" = --gone ] && { gone=1; shift; }
  local want=$1 name=$2 limit=${3:-20} start=$SECONDS taken=$SECONDS found
  shot "$name"
  while :; do
    found=0; shown "$want" && found=1
    [ $found != $gone ] && return 0
    [ $((taken - start)) -ge "$limit" ] && { say "screen text: ${TEXT:0:400}"; return 1; }
    sleep 0.3
    taken=$SECONDS
    reshoot "$name"
  done
}

# Takes shots in a burst while `until` fails (at most `seconds`), then reads
# them in order; true when one shows the phrase. For texts that last a
# moment: a toast, a status line between two replies.
BURST=()
burst() { # burst name seconds until-command...
  # Timed in microseconds: SECONDS counts whole seconds, so a one-second
  # burst begun late in a second ended after its first shot.
  local name=$1 limit=$(($2 * 1000000)) start=${EPOCHREALTIME/./}
  shift 2
  BURST=()
  while :; do
    shot "$name"; BURST+=("$SHOT_FILE")
    "$@" && break
    [ $((${EPOCHREALTIME/./} - start)) -ge "$limit" ] && break
    sleep 0.1
  done
}
burst_has() { # burst_has phrase
  local f
  for f in "${BURST[@]}"; do shows "$f" "$1" && return 0; done
  return 1
}
never() { return 1; }

# Waits until any of the phrases shows (or, with --gone, until none does).
# For a see-through panel over text, where some of its lines read garbled.
wait_any() { # wait_any [--gone] name seconds phrase...
  local gone=0
  [ "$1" = --gone ] && { gone=1; shift; }
  local name=$1 limit=$2 start=$SECONDS taken=$SECONDS found phrase
  shift 2
  shot "$name"
  while :; do
    found=0
    for phrase in "$@"; do shown "$phrase" && { found=1; break; }; done
    [ $found != $gone ] && return 0
    [ $((taken - start)) -ge "$limit" ] && { say "screen text: ${TEXT:0:400}"; return 1; }
    sleep 0.3
    taken=$SECONDS
    reshoot "$name"
  done
}

click() { xdotool mousemove --sync "$1" "$2" sleep 0.15 click 1; }
right_click() { xdotool mousemove --sync "$1" "$2" sleep 0.15 click 3; }
click_word() { # click_word word name [seconds]
  wait_word "$1" "$2" "${3:-20}" || fail "\"$1\" is not on screen"
  # shellcheck disable=SC2086
  click $AT
}
type_text() { xdotool type --delay 40 -- "$1"; }
key() { xdotool key --clearmodifiers "$@"; }

sql() { sqlite3 -batch -noheader "file:$DB?mode=ro" "$1" 2>/dev/null; }
wait_sql() { # wait_sql "query" "expected" [seconds]
  local limit=${3:-30} start=$SECONDS got
  while :; do
    got=$(sql "$1")
    [ "$got" = "$2" ] && return 0
    [ $((SECONDS - start)) -ge "$limit" ] && { say "$1 -> '$got', wanted '$2'"; return 1; }
    sleep 0.2
  done
}

main_window() { xdotool search --onlyvisible --name '^Corvanthelis$' 2>/dev/null | head -1; }
# Window-relative position → screen position of the main window's content.
WX=0 WY=0
locate_window() {
  local w geo
  w=$(main_window)
  [ -n "$w" ] || return 1
  geo=$(xdotool getwindowgeometry --shell "$w")
  WX=$(sed -n 's/^X=//p' <<<"$geo"); WY=$(sed -n 's/^Y=//p' <<<"$geo")
  WW=$(sed -n 's/^WIDTH=//p' <<<"$geo"); WH=$(sed -n 's/^HEIGHT=//p' <<<"$geo")
}
at_window() { echo "$((WX + $1)) $((WY + $2))"; }

tray_icon() { # centre of the first icon docked in the tray
  local w geo x y width height
  for w in $(xdotool search --onlyvisible --class trayer 2>/dev/null); do
    geo=$(xdotool getwindowgeometry --shell "$w")
    x=$(sed -n 's/^X=//p' <<<"$geo"); y=$(sed -n 's/^Y=//p' <<<"$geo")
    width=$(sed -n 's/^WIDTH=//p' <<<"$geo"); height=$(sed -n 's/^HEIGHT=//p' <<<"$geo")
    [ "$width" -ge 16 ] && [ "$height" -ge 16 ] || continue
    echo "$((x + width / 2)) $((y + height / 2))"
    return 0
  done
  return 1
}

start_app() {
  (cd "$HOME" && exec "$PROGRAM" 2>>"$T/err.log" >>"$T/out.log") &
  APP_PID=$!
  PIDS+=("$APP_PID")
}
port() { sed -n 's/.*listening on port \([0-9]*\).*/\1/p' "$T/err.log" | tail -1; }

# --- the fixture ---------------------------------------------------------------------
# Every reply of the scripted model is the same endless cycle, cut by the
# reply limit, so there is time to stop one; it is a few hundred tokens of
# a model wide enough to take seconds.
mkdir -p "$MODELS"
"$MAKE_MODEL" --out "$MODELS/tiny.gguf" --embd 256 --layers 4 --ff 512 --ctx 4096 \
  --script "<0x0A>|▁The|▁sea|▁is|▁calm|.|▁The" >"$T/make-model.log" 2>&1 || fail "cannot write the test model"
cp "$MODELS/tiny.gguf" "$MODELS/tiny-b.gguf"
# Random weights: its replies differ from one run to the next unless it
# samples greedily. A reply length limit stored for it, as its edit form
# stores one, keeps them short.
"$MAKE_MODEL" --out "$MODELS/dice.gguf" >>"$T/make-model.log" 2>&1 || fail "cannot write the random model"
printf '{"dice.gguf": {"displayName": "dice", "contextMode": "auto", "sampling": {"replyLimit": 64}}}' \
  >"$MODELS/.model-choices.json"
head -c 4096 /dev/zero >"$MODELS/broken.gguf"
printf 'The secret word is PAPAYA.' >"$HOME/Documents/notes.txt"
# The local server's port, free now; the server stays off until its step.
API_PORT=$(node -e "const s=require('net').createServer().listen(0,'127.0.0.1',()=>{console.log(s.address().port);s.close()})")
mkdir -p "$HOME/.config/Corvanthelis"
printf '[General]\nlocalServer.port=%s\n' "$API_PORT" >>"$HOME/.config/Corvanthelis/Corvanthelis.conf"
for i in 1 2 3 4 5 6; do printf 'Note %s.' "$i" >"$HOME/Documents/n$i.txt"; done
printf 'II*\0' >"$HOME/Documents/scan.tiff"
BUILD_DIR=$(dirname "$(dirname "$PROGRAM")") "$INSTALL_DESKTOP" >"$T/install-desktop.log" 2>&1 ||
  fail "install-desktop: $(tail -1 "$T/install-desktop.log")"

# --- 1. start --------------------------------------------------------------------------
step start
LAUNCHED=$(date +%s.%N)
start_app
for _ in $(seq 200); do locate_window && break; sleep 0.05; done
SHOWN=$(date +%s.%N)
locate_window || fail "no window"
say "start to window: $(echo "$SHOWN - $LAUNCHED" | bc) s"
check "launch line in err.log" grep -q "launch, version 1.0.0" "$T/err.log"
say "window ${WW}x${WH} at $WX,$WY"
check "window is 1280x800" [ "$WW" = 1280 ] && [ "$WH" = 800 ]
check "window centred across" [ $((WX + WW / 2)) -ge 958 ] && [ $((WX + WW / 2)) -le 962 ]
wait_text "Your rig" intro 30 || fail "no hardware introduction"
for line in "Your computer:" "Free right now:" \
  "GPU acceleration is not available on this computer. Corvanthelis runs on your CPU." \
  "You can always check this info again in Settings"; do
  shown "$line" || fail "introduction lacks \"$line\""
done
click_pill UNDERSTAND intro-button
wait_text --gone "Your rig" chat-page || fail "the introduction stayed"
for line in COUNCIL "WRITE A MESSAGE..." "SELECT A MODEL"; do
  shown "$line" || fail "the chat page lacks \"$line\""
done
PORT=$(port)
check "bridge port" [ -n "$PORT" ]
HEALTH=$(curl -s --max-time 5 "127.0.0.1:$PORT/health")
say "health: $HEALTH"
check "health answer" [ "$HEALTH" = '{"ok":true,"app":"corvanthelis","version":"1.0.0","schema":1}' ]
check "the tray holds an icon" tray_icon >/dev/null
shot started

# --- 2. tray menu ---------------------------------------------------------------------
# Opens the tray menu; until close_tray, shots are read as a whole screen
# only, since the menu opens outside the window.
tray_menu() { # tray_menu name
  local icon
  icon=$(tray_icon) || fail "no tray"
  ORDER=4
  # shellcheck disable=SC2086
  right_click $icon
  wait_text "Quit Corvanthelis" "$1" 10 || fail "the tray menu did not open"
}
close_tray() { # close_tray name
  key Escape
  wait_text --gone "Quit Corvanthelis" "$1" 10 || fail "the tray menu stayed open"
  ORDER="1 2 3 4"
}
step tray
tray_menu tray-menu
for line in "Open Corvanthelis" "Running on :$PORT" "No model loaded" "New chat" "Preferences" "Quit Corvanthelis"; do
  shown "$line" || fail "the tray menu lacks \"$line\""
done
close_tray tray-closed

# --- 3. a model that fails to load --------------------------------------------------------
step failing-pick
click_pill "SELECT A MODEL" pill
wait_text "SELECT MODEL" picker 10 || fail "the picker did not open"
for name in broken tiny "tiny b"; do shown "$name" || fail "the picker lacks \"$name\""; done
click_pill broken picker-broken
wait_text "Model failed to load" load-failure 30 || fail "no load-failure dialog"
for line in "broken could not be loaded." "Reason: llama.cpp could not load this file as a model" \
  "Common causes: not enough free RAM for this model"; do
  shown "$line" || fail "the failure lacks \"$line\""
done
click_pill OK load-failure-ok
wait_text --gone "Model failed to load" after-failure 10 || fail "the dialog stayed"
shown "SELECT A MODEL" || fail "the pill does not read SELECT A MODEL"

# --- 4. a model that loads -------------------------------------------------------------------
step pick
click_pill "SELECT A MODEL" pill-again
wait_text "SELECT MODEL" picker-again 10 || fail "the picker did not open"
click_pill tiny picker-tiny
wait_pill TINY pill-tiny 30
for _ in $(seq 50); do grep -q "Session loaded tiny " "$T/err.log" && break; sleep 0.2; done
tray_menu tray-tiny
shown "Current model: tiny" && ! shown "Current model: tiny b" || fail "the tray does not name tiny"
close_tray tray-tiny-closed

# --- 5. an attached file and a question ------------------------------------------------------
step attachment
locate_window
# The attach control: the composer's leading disc.
# shellcheck disable=SC2046
click $(at_window 287 719)
wait_text "ATTACH" attach-sheet 10 || fail "no attach sheet"
shown "IMAGE" || fail "the sheet lacks IMAGE"
click_pill "ATTACH FILE" attach-file
wait_text "notes.txt" file-dialog 15 || fail "the file dialog does not show ~/Documents"
shown "Documents" || say "the file dialog's folder is not read"
type_text notes.txt
key Return
# The staged file shows as a TXT tile under the context line.
wait_text "TXT" chip 15 || fail "no staged file"

# shellcheck disable=SC2046
click $(at_window 400 668)
type_text "What is the secret word?"
SENT=$(date +%s.%N)
key Return
# Shots as fast as they come for a few seconds, each with its time; the
# first that shows the reply dates the first piece within one shot.
TIMES=()
stamp() { TIMES+=("$(date +%s.%N)"); return 1; }
burst first-piece 4 stamp
FIRST=
for i in "${!BURST[@]}"; do
  shows "${BURST[i]}" "sea is calm" && { FIRST=${TIMES[i]}; break; }
done
if [ -n "$FIRST" ]; then
  say "send to first piece on screen: $(echo "$FIRST - $SENT" | bc) s (one shot is about $(echo "(${TIMES[-1]} - $SENT) / ${#TIMES[@]}" | bc -l | cut -c1-4) s)"
else
  wait_text "sea is calm" first-piece-late 60 || fail "no reply streams"
  say "send to first piece: more than 4 s"
fi
wait_sql "SELECT COUNT(*) FROM messages WHERE role='assistant'" 1 120 || fail "the reply was not saved"
shot reply-saved
USER_ROW=$(sql "SELECT content FROM messages WHERE role='user'")
[[ $USER_ROW == "[Attached file: notes.txt]"$'\n'* ]] || fail "the user row does not start with the file block"
[[ $USER_ROW == *PAPAYA* ]] || fail "the user row lacks the file's text"
[[ $USER_ROW == *"What is the secret word?" ]] || fail "the user row does not end with the typed text"
MODEL_ID=$(sql "SELECT model_id FROM chats")
[[ $MODEL_ID =~ ^[0-9A-F]{8}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{12}$ ]] || fail "model_id '$MODEL_ID'"
TITLE=$(sql "SELECT title FROM chats")
[ "$TITLE" = "What is the secret word?" ] || fail "the chat's title is '$TITLE'"
# The transcript follows the reply's end: back up to the question.
locate_window
# shellcheck disable=SC2046
xdotool mousemove --sync $(at_window 640 300) click --repeat 40 --delay 20 4
wait_text "secret word" user-bubble 10 || fail "the user bubble lacks the typed text"

# Window-relative places of controls that carry no text.
COUNCIL_SWITCH="381 49"   # the council toggle beside its caption
SEND_DISC="992 718"       # send, and stop while a reply streams
NEW_CHAT="81 35"          # the toolbar's new-chat glyph
HISTORY="40 35"           # the toolbar's drawer glyph
EDITOR="400 668"          # the composer's text
ATTACH="287 719"          # the composer's leading disc
MODELS_BACK="56 70"       # the models page's back glyph
# shellcheck disable=SC2086
click_at() { locate_window; click $(at_window $1 $2); }
loaded_count() { grep -c "Session loaded $1 " "$T/err.log"; }

# Waits for a word inside the open drawer (the transcript may hold the same
# word); its centre goes to AT.
wait_drawer_word() { # wait_drawer_word word name
  locate_window
  wait_word "$1" "$2" 15 $((WX + 378))
}
# The drawer glyph moves with the page while the drawer is open.
close_drawer() { click_at $((${HISTORY% *} + 378)) ${HISTORY#* }; sleep 0.5; }
# Opens the chat's menu from its drawer row: the row's trailing button shows
# on hover.
row_menu() { # row_menu name [a word of the row]
  click_at $HISTORY
  wait_drawer_word "${2:-secret}" "$1-drawer" || fail "no row in the drawer"
  local x y
  read -r x y <<<"$AT"
  xdotool mousemove --sync "$x" "$y"
  sleep 0.3
  locate_window
  # shellcheck disable=SC2046
  click $(at_window 316 $((y - WY)))
  wait_text "RENAME" "$1-menu" 10 || fail "no chat menu"
}

# Picks files in the attach sheet's file panel by typing their names.
attach_files() { # attach_files name "names typed"
  click_at $ATTACH
  wait_text "ATTACH FILE" "$1-sheet" 15 || fail "no attach sheet"
  click_pill "ATTACH FILE" "$1-file"
  wait_text "notes.txt" "$1-dialog" 15 || fail "no file dialog"
  type_text "$2"
  key Return
}

# --- 5, again: a second message in a chat ----------------------------------------------------
# In a chat of its own, so that the first chat stays as short as the later
# steps expect: the second message goes to the same loaded model, whose
# context still holds the first prompt and reply, so only what is new is
# decoded, as the runtime log says, and the reply is still the script's. The
# first chat is opened again and this one goes, for the later steps' counts.
step second-message
REPLIES=$(sql "SELECT COUNT(*) FROM messages WHERE role='assistant'")
click_at $NEW_CHAT
wait_text --gone "sea is calm" second-new-chat 10 || fail "New chat kept the transcript"
click_at $EDITOR
type_text "Hello there"
key Return
wait_sql "SELECT COUNT(*) FROM messages WHERE role='assistant'" $((REPLIES + 1)) 120 || fail "the first reply was not saved"
SECOND_ID=$(sql "SELECT MAX(id) FROM chats")
PROMPTS=$(grep -c "Prompt: " "$T/err.log")
click_at $EDITOR
type_text "And the sea tonight?"
key Return
wait_sql "SELECT COUNT(*) FROM messages WHERE role='assistant'" $((REPLIES + 2)) 120 || fail "the second reply was not saved"
KEPT=$(grep "Prompt: " "$T/err.log" | sed -n "$((PROMPTS + 1))p")
say "${KEPT#*runtime: }"
[[ $KEPT =~ Prompt:\ ([0-9]+)\ tokens,\ ([0-9]+)\ kept\ from\ the\ last\ run ]] || fail "no prompt line for the second message"
[ "${BASH_REMATCH[2]}" -gt 0 ] || fail "the second message decoded the whole chat again"
REPLY=$(sql "SELECT content FROM messages WHERE chat_id=$SECOND_ID AND role='assistant' ORDER BY id DESC LIMIT 1")
# The script repeats one sentence until the reply's token limit cuts it.
REST=${REPLY// The sea is calm./}
[[ $REPLY == " The sea is calm."* && " The sea is calm." == "$REST"* ]] || fail "the second reply is '${REPLY:0:80}...'"
wait_text "sea is calm" second-reply 15 || fail "the second reply is not on screen"
click_at $HISTORY
wait_drawer_word secret second-drawer || fail "no row for the first chat"
# shellcheck disable=SC2086
click $AT
wait_text "sea is calm" second-back 15 || fail "the first chat did not open"
close_drawer
sqlite3 -batch "$DB" ".timeout 5000" "DELETE FROM messages WHERE chat_id=$SECOND_ID; DELETE FROM chats WHERE id=$SECOND_ID" ||
  fail "cannot remove the second chat"

# --- 5, and: instructions and sampling ----------------------------------------------------------
# In a chat of its own with dice: at the default temperature a regenerate
# gives another text. Its edit form sets instructions and temperature 0: the
# runtime log samples at 0, the prompt grows by the system block, and a
# regenerate gives the same text. The chat's own, shorter instructions win
# over the model's: the prompt is shorter than with the model's, longer than
# with none. tiny is picked again, the first chat opened again, and this one
# goes, as the steps that follow expect.
step instructions
RESEND="955 168" # the question's resend button, the transcript at its top
DICE_MORE_X=860  # a models page row's More button
MODEL_TEXT="Answer in one short sentence about the sea."
dice_reply() { sql "SELECT content FROM messages WHERE chat_id=$DICE_ID AND role='assistant'"; }
last_line() { grep "$1" "$T/err.log" | tail -1; }
prompt_tokens() { last_line "Prompt: " | sed -n 's/.*Prompt: \([0-9]*\) tokens.*/\1/p'; }
# The regenerate empties the stored reply before its run starts (and logs
# its sampling), and stores the new one whole at its end.
regenerate() { # regenerate name
  local runs _
  runs=$(grep -c "Sampling: " "$T/err.log")
  locate_window
  # shellcheck disable=SC2046
  xdotool mousemove --sync $(at_window 640 300) click --repeat 60 --delay 10 4
  sleep 0.5
  click_at $RESEND
  for _ in $(seq 150); do [ "$(grep -c "Sampling: " "$T/err.log")" -gt "$runs" ] && break; sleep 0.2; done
  [ "$(grep -c "Sampling: " "$T/err.log")" -gt "$runs" ] || fail "the regenerate did not start"
  wait_sql "SELECT COUNT(*) FROM messages WHERE chat_id=$DICE_ID AND role='assistant'" 1 120 ||
    fail "the regenerated reply was not saved"
  shot "$1"
}
DICE_LOADS=$(loaded_count dice)
REPLIES=$(sql "SELECT COUNT(*) FROM messages WHERE role='assistant'")
click_at $NEW_CHAT
click_pill TINY dice-pill
wait_text "SELECT MODEL" dice-picker 10 || fail "the picker did not open"
click_pill dice dice-picker-dice
wait_pill DICE dice-pill-dice 30
for _ in $(seq 150); do [ "$(loaded_count dice)" -gt "$DICE_LOADS" ] && break; sleep 0.2; done
[ "$(loaded_count dice)" -gt "$DICE_LOADS" ] || fail "dice was not loaded"
click_at $EDITOR
type_text "Roll the dice"
key Return
wait_sql "SELECT COUNT(*) FROM messages WHERE role='assistant'" $((REPLIES + 1)) 120 || fail "the reply was not saved"
DICE_ID=$(sql "SELECT MAX(id) FROM chats")
[ "$(sql "SELECT title FROM chats WHERE id=$DICE_ID")" = "Roll the dice" ] || fail "the message did not start a new chat"
SAMPLED=$(last_line "Sampling: ")
say "${SAMPLED#*runtime: }"
[[ $SAMPLED == *"Sampling: temperature 0.8, top-k 40, top-p 0.95, min-p 0, repeat penalty 1.1, limit 64 tokens, seed random" ]] ||
  fail "the sampling line is not the defaults' with the stored limit"
BARE=$(prompt_tokens)
FIRST=$(dice_reply)
regenerate dice-again
[ "$(dice_reply)" != "$FIRST" ] || fail "two replies at temperature 0.8 are the same text"

click_at $HISTORY
click_word MODELS dice-drawer-models
wait_text "ADD" dice-models 10 || fail "no models page"
wait_word dice dice-models-row 10 || fail "no row for dice"
read -r _ DICE_Y <<<"$AT"
# The More button sits a little below the name's line.
click_at $DICE_MORE_X $((DICE_Y - WY + 10))
click_word EDIT dice-edit-item
wait_text "Edit model" dice-form 10 || fail "no edit form"
# shellcheck disable=SC2046
xdotool mousemove --sync $(at_window 638 400) click --repeat 3 --delay 50 5
wait_word INSTRUCTIONS dice-form-scrolled 10 || fail "no INSTRUCTIONS in the form"
read -r DICE_X DICE_Y <<<"$AT"
click "$DICE_X" "$((DICE_Y + 60))"
type_text "$MODEL_TEXT"
# Tab leaves the instructions for the next field, the temperature.
key Tab ctrl+a
type_text 0
shot dice-form-typed
click_pill SAVE dice-form-save
# Saving stores the choices and closes the form at once.
for _ in $(seq 50); do grep -qF "$MODEL_TEXT" "$MODELS/.model-choices.json" && break; sleep 0.2; done
grep -qF "$MODEL_TEXT" "$MODELS/.model-choices.json" || fail "the model's instructions were not stored"
click_at $MODELS_BACK
wait_text "WRITE A MESSAGE..." dice-back 10 || fail "the models page's back button"
regenerate dice-greedy
SAMPLED=$(last_line "Sampling: ")
say "${SAMPLED#*runtime: }"
[[ $SAMPLED == *"Sampling: temperature 0, top-k 40, top-p 0.95, min-p 0, repeat penalty 1.1, limit 64 tokens, seed random" ]] ||
  fail "the sampling line does not show temperature 0"
WITH_MODEL=$(prompt_tokens)
say "prompt: $BARE tokens bare, $WITH_MODEL with the model's instructions"
[ "$WITH_MODEL" -gt "$BARE" ] || fail "the model's instructions did not grow the prompt"
GREEDY=$(dice_reply)
regenerate dice-greedy-again
[ "$(dice_reply)" = "$GREEDY" ] || fail "two replies at temperature 0 differ"

row_menu dice-menu Roll
find_word "$SHOT_FILE" RENAME || fail "no RENAME in the chat menu"
read -r DICE_X DICE_Y <<<"$AT"
# Instructions… is the item below RENAME.
click "$DICE_X" "$((DICE_Y + 49))"
wait_text "Chat instructions" dice-instructions 10 || fail "no instructions dialog"
shown "$MODEL_TEXT" || fail "the dialog does not show the model's instructions"
type_text "Be brief."
click_pill SAVE dice-instructions-save
wait_sql "SELECT instructions FROM chats WHERE id=$DICE_ID" "Be brief." 10 || fail "the chat's instructions were not stored"
close_drawer
regenerate dice-chat
WITH_CHAT=$(prompt_tokens)
say "prompt: $WITH_CHAT tokens with the chat's instructions"
[ "$WITH_CHAT" -gt "$BARE" ] && [ "$WITH_CHAT" -lt "$WITH_MODEL" ] ||
  fail "the prompt with the chat's instructions is $WITH_CHAT tokens (bare $BARE, the model's $WITH_MODEL)"

TINY_LOADS=$(loaded_count tiny)
click_pill DICE dice-pill-back
wait_text "SELECT MODEL" dice-picker-back 10 || fail "the picker did not open"
click_pill tiny dice-picker-tiny
wait_pill TINY dice-pill-tiny 30
for _ in $(seq 150); do [ "$(loaded_count tiny)" -gt "$TINY_LOADS" ] && break; sleep 0.2; done
[ "$(loaded_count tiny)" -gt "$TINY_LOADS" ] || fail "tiny was not loaded again"
click_at $HISTORY
wait_drawer_word secret dice-drawer-first || fail "no row for the first chat"
# shellcheck disable=SC2086
click $AT
wait_text "sea is calm" dice-first-back 15 || fail "the first chat did not open"
close_drawer
sqlite3 -batch "$DB" ".timeout 5000" "DELETE FROM messages WHERE chat_id=$DICE_ID; DELETE FROM chats WHERE id=$DICE_ID" ||
  fail "cannot remove the dice chat"

# --- 5, past the context: a chat longer than tiny's context ----------------------------------
# A stored chat well past tiny's context (questions on attached files of
# digits, one token each, which show as a file chip) is opened and asked
# on: the oldest whole messages are left out, in one step to two thirds of
# the context, and the transcript shows the divider above the first message
# the model saw. The next message keeps the decoded
# prefix. The replies come from a model with a short script, moved over
# tiny's file for this step (the next reply loads it); tiny's own file goes
# back afterwards, and the chat goes, for the later steps' counts.
step past-the-context
"$MAKE_MODEL" --out "$T/brief.gguf" --embd 256 --layers 4 --ff 512 --ctx 4096 \
  --script "<0x0A>|▁Land|▁ahead|.|</s>" >>"$T/make-model.log" 2>&1 || fail "cannot write the short-spoken model"
cp "$MODELS/tiny.gguf" "$T/tiny.gguf"
mv "$T/brief.gguf" "$MODELS/tiny.gguf"
NOW=$(date +%s)
sqlite3 -batch "$DB" ".timeout 5000" "INSERT INTO chats(title, created_at, updated_at) VALUES('Voyage log', $NOW, $NOW);
  WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < 16)
  INSERT INTO messages(chat_id, role, content, created_at)
    SELECT (SELECT id FROM chats WHERE title='Voyage log'), CASE i % 2 WHEN 1 THEN 'user' ELSE 'assistant' END,
      CASE i % 2 WHEN 1 THEN '[Attached file: log-' || i || '.txt]' || char(10)
        || replace(hex(zeroblob(120)), '00', '0123456789') || char(10) || '[End file]' || char(10) || char(10)
        || 'What does log ' || i || ' say?' ELSE 'Nothing new.' END, $NOW FROM n;" ||
  fail "cannot store the long chat"
VOYAGE=$(sql "SELECT id FROM chats WHERE title='Voyage log'")
click_at $HISTORY
wait_drawer_word Voyage voyage-drawer || fail "no row for the long chat"
# shellcheck disable=SC2086
click $AT
close_drawer
voyage_ask() { # voyage_ask question: sends it and waits for its reply
  local replies
  replies=$(sql "SELECT COUNT(*) FROM messages WHERE chat_id=$VOYAGE AND role='assistant'")
  click_at $EDITOR
  type_text "$1"
  key Return
  wait_sql "SELECT COUNT(*) FROM messages WHERE chat_id=$VOYAGE AND role='assistant'" $((replies + 1)) 60 ||
    fail "no reply to \"$1\""
  [ "$(sql "SELECT content FROM messages WHERE chat_id=$VOYAGE ORDER BY id DESC LIMIT 1")" = " Land ahead." ] ||
    fail "the reply to \"$1\" is not the script's"
}
PROMPTS=$(grep -c "Prompt: " "$T/err.log")
CUTS=$(grep -c "Context full: " "$T/err.log")
voyage_ask "Where are we now?"
CUT=$(grep "Context full: " "$T/err.log" | sed -n "$((CUTS + 1))p")
say "${CUT#*runtime: }"
[[ $CUT =~ Context\ full:\ left\ out\ the\ oldest\ ([0-9]+)\ messages,\ the\ prompt\ is\ now\ ([0-9]+)\ of\ ([0-9]+)\ tokens ]] ||
  fail "no cut for the long chat"
[ $((BASH_REMATCH[2] * 3)) -le $((BASH_REMATCH[3] * 2)) ] || fail "the cut left more than two thirds"
# Up from the newest messages to the divider, a few lines at a time, each
# shot read once. Its small grey line reads with a letter or two lost, so
# parts of it count.
ORDER=1
DIVIDER=0
for _ in $(seq 6); do
  wait_any voyage-divider 0 "The model no" "no longer sees" "the messages above" && { DIVIDER=1; break; }
  # shellcheck disable=SC2046
  xdotool mousemove --sync $(at_window 640 300) click --repeat 3 --delay 20 4
done
ORDER="1 2 3 4"
[ "$DIVIDER" = 1 ] || fail "no divider above the first message sent"
PROMPTS=$(grep -c "Prompt: " "$T/err.log")
voyage_ask "Are we home yet?"
KEPT=$(grep "Prompt: " "$T/err.log" | sed -n "$((PROMPTS + 1))p")
say "${KEPT#*runtime: }"
[[ $KEPT =~ Prompt:\ ([0-9]+)\ tokens,\ ([0-9]+)\ kept\ from\ the\ last\ run ]] || fail "no prompt line after the cut"
[ "${BASH_REMATCH[2]}" -gt 0 ] || fail "the reply after the cut decoded the whole prompt again"
[ "$(grep -c "Context full: " "$T/err.log")" = $((CUTS + 1)) ] || fail "the cut moved again"
mv "$T/tiny.gguf" "$MODELS/tiny.gguf"
click_at $HISTORY
wait_drawer_word secret voyage-back-drawer || fail "no row for the first chat"
# shellcheck disable=SC2086
click $AT
wait_text "sea is calm" voyage-back 15 || fail "the first chat did not open"
close_drawer
sqlite3 -batch "$DB" ".timeout 5000" "DELETE FROM messages WHERE chat_id=$VOYAGE; DELETE FROM chats WHERE id=$VOYAGE" ||
  fail "cannot remove the long chat"

# --- 5a. a model file replaced while the window stays in front ---------------------------------
# A model with another chat template, trained context and script is moved
# over tiny's file name while tiny is loaded and the window stays in front
# (no rescan): the next reply loads the new file with its own facts and comes
# from it. tiny's own file goes back afterwards, so the steps that follow find
# it as before (the council's first member loads it again).
step replaced-file
"$MAKE_MODEL" --out "$T/waves.gguf" --embd 256 --layers 4 --ff 512 --ctx 8192 \
  --meta "tokenizer.chat_template={{ '<|start_header_id|>' }}" --script "<0x0A>|▁Wa|ves|▁rise|.|</s>" \
  >>"$T/make-model.log" 2>&1 || fail "cannot write the replacing model"
cp "$MODELS/tiny.gguf" "$T/tiny.gguf"
LOADS=$(loaded_count tiny)
REPLIES=$(sql "SELECT COUNT(*) FROM messages WHERE role='assistant'")
mv "$T/waves.gguf" "$MODELS/tiny.gguf"
click_at $EDITOR
type_text "What do the waves do?"
key Return
wait_sql "SELECT COUNT(*) FROM messages WHERE role='assistant'" $((REPLIES + 1)) 60 || fail "the reply was not saved"
[ "$(loaded_count tiny)" = $((LOADS + 1)) ] || fail "tiny was not loaded again once"
LOADED=$(grep "Session loaded tiny " "$T/err.log" | tail -1)
say "${LOADED#*: }"
[[ $LOADED == *"Session loaded tiny ctx=8192 arch=llama chat=llama" ]] || fail "the new file was not loaded with its own facts"
REPLY=$(sql "SELECT content FROM messages WHERE role='assistant' ORDER BY id DESC LIMIT 1")
[ "$REPLY" = " Waves rise." ] || fail "the reply is '$REPLY', not the new file's"
wait_text "Waves rise." replaced-reply 15 || fail "the new file's reply is not on screen"
mv "$T/tiny.gguf" "$MODELS/tiny.gguf"

# --- 5b. a model out of the slot replaced while the window stays in front -----------------------
# tiny b is not loaded when a model with another chat template, trained
# context and script is moved over its file, the window staying in front (no
# rescan): picked, it loads with the new file's own facts, not those the scan
# read, and the reply comes from it. tiny b's own file goes back and tiny is
# picked again, so the council finds both as the steps before left them.
step replaced-unloaded
"$MAKE_MODEL" --out "$T/sand.gguf" --embd 256 --layers 4 --ff 512 --ctx 8192 \
  --meta "tokenizer.chat_template={{ '<start_of_turn>' }}" --script "<0x0A>|▁Sand|▁moves|.|</s>" \
  >>"$T/make-model.log" 2>&1 || fail "cannot write the replacing model"
cp "$MODELS/tiny-b.gguf" "$T/tiny-b.gguf"
REPLIES=$(sql "SELECT COUNT(*) FROM messages WHERE role='assistant'")
mv "$T/sand.gguf" "$MODELS/tiny-b.gguf"
click_pill TINY unloaded-pill
wait_text "SELECT MODEL" unloaded-picker 10 || fail "the picker did not open"
click_pill "tiny b" unloaded-picker-tiny-b
wait_pill "TINY B" unloaded-pill-tiny-b 30
for _ in $(seq 150); do grep -q "Session loaded tiny b " "$T/err.log" && break; sleep 0.2; done
LOADED=$(grep "Session loaded tiny b " "$T/err.log" | tail -1)
say "${LOADED#*: }"
[[ $LOADED == *"Session loaded tiny b ctx=8192 arch=llama chat=gemma" ]] || fail "the new file was not loaded with its own facts"
click_at $EDITOR
type_text "What does the sand do?"
key Return
wait_sql "SELECT COUNT(*) FROM messages WHERE role='assistant'" $((REPLIES + 1)) 60 || fail "the reply was not saved"
REPLY=$(sql "SELECT content FROM messages WHERE role='assistant' ORDER BY id DESC LIMIT 1")
[ "$REPLY" = " Sand moves." ] || fail "the reply is '$REPLY', not the new file's"
wait_text "Sand moves." unloaded-reply 15 || fail "the new file's reply is not on screen"
mv "$T/tiny-b.gguf" "$MODELS/tiny-b.gguf"
TINY_LOADS=$(grep -c "Session loaded tiny ctx=" "$T/err.log")
click_pill "TINY B" unloaded-pill-again
wait_text "SELECT MODEL" unloaded-picker-again 10 || fail "the picker did not open"
click_pill tiny unloaded-picker-tiny
wait_pill TINY unloaded-pill-tiny 30
for _ in $(seq 150); do [ "$(grep -c "Session loaded tiny ctx=" "$T/err.log")" -gt "$TINY_LOADS" ] && break; sleep 0.2; done
[ "$(grep -c "Session loaded tiny ctx=" "$T/err.log")" -gt "$TINY_LOADS" ] || fail "tiny was not loaded again"

# --- 5c. a loaded model's file copied over in place while its reply streams ----------------------
# `cp` over tiny's file while tiny answers: it cuts the mapped file short
# first, which would end the program. The writer waits until the model has
# let go of its file; the program runs on, the reply stops with the text it
# has (not stored, as the user's stop leaves it), and the next reply comes
# from the new file. tiny's own file goes back afterwards by a rename.
step rewritten-in-place
"$MAKE_MODEL" --out "$T/rain.gguf" --embd 256 --layers 4 --ff 512 --ctx 4096 \
  --script "<0x0A>|▁Rain|▁falls|.|</s>" >>"$T/make-model.log" 2>&1 || fail "cannot write the copied model"
cp "$MODELS/tiny.gguf" "$T/tiny.gguf"
USERS=$(sql "SELECT COUNT(*) FROM messages WHERE role='user'")
REPLIES=$(sql "SELECT COUNT(*) FROM messages WHERE role='assistant'")
LOADS=$(loaded_count tiny)
click_at $EDITOR
type_text "Tell me about the sea."
key Return
wait_sql "SELECT COUNT(*) FROM messages WHERE role='user'" $((USERS + 1)) 30 || fail "the question was not saved"
sleep 1 # a second of a reply that takes several
COPY_START=${EPOCHREALTIME/./}
cp "$T/rain.gguf" "$MODELS/tiny.gguf" || fail "cp over the loaded model failed"
say "cp over the loaded model took $(((${EPOCHREALTIME/./} - COPY_START) / 1000)) ms"
kill -0 "$APP_PID" 2>/dev/null || fail "the program ended"
grep -q "the model lets go of it: $MODELS/tiny.gguf" "$T/err.log" || fail "the model did not let go of its file"
wait_text "sea is calm" rewritten-stopped 15 || fail "the reply's text is not on screen"
sleep 1
[ "$(sql "SELECT COUNT(*) FROM messages WHERE role='assistant'")" = "$REPLIES" ] ||
  fail "the reply ran to its end or was stored as whole"
click_at $EDITOR
type_text "And now?"
key Return
wait_sql "SELECT COUNT(*) FROM messages WHERE role='assistant'" $((REPLIES + 1)) 60 || fail "the next reply was not saved"
[ "$(loaded_count tiny)" = $((LOADS + 1)) ] || fail "tiny was not loaded again once"
REPLY=$(sql "SELECT content FROM messages WHERE role='assistant' ORDER BY id DESC LIMIT 1")
[ "$REPLY" = " Rain falls." ] || fail "the reply is '$REPLY', not the new file's"
wait_text "Rain falls." rewritten-next 15 || fail "the new file's reply is not on screen"
shown "sea is calm" || fail "the stopped reply's text is gone"
kill -0 "$APP_PID" 2>/dev/null || fail "the program ended"
mv "$T/tiny.gguf" "$MODELS/tiny.gguf"

# --- 5d. a model file that another program is still writing ------------------------------------
# `sleep 6 >>` holds tiny's file open for writing as tiny is picked: the load
# waits, saying so, and loads the file once the writer closes it, with a
# lease that /proc/locks shows during the next reply; `cp` over the file 1.5 s
# into that reply is held back until the model lets go, and the program
# lives. Then tiny is picked again and a writer fills its file in place with
# a model of its size, in pieces over four seconds, while a message goes
# out: the reply waits for the finished file and comes from it, and nothing
# from the half-written file is stored. tiny's own file goes back afterwards.
step written-while-picked
cp "$MODELS/tiny.gguf" "$T/tiny.gguf"
LOADS=$(loaded_count tiny)
lease_held() { # the program holds a lease on tiny's file
  awk -v pid="$APP_PID" -v ino=":$(stat -c %i "$MODELS/tiny.gguf")" \
    '$2 == "LEASE" && $5 == pid && substr($6, length($6) - length(ino) + 1) == ino {found = 1} END {exit !found}' /proc/locks
}
click_pill TINY written-pill
wait_text "SELECT MODEL" written-picker 10 || fail "the picker did not open"
wait_pill tiny written-picker-tiny
sleep 6 >>"$MODELS/tiny.gguf" &
WRITER=$!
PIDS+=($WRITER)
click $AT
wait_text "Waiting for another program to finish writing tiny" written-waiting 5 || fail "the load does not say it waits"
[ "$(loaded_count tiny)" = "$LOADS" ] || fail "tiny loaded while its file was open for writing"
wait "$WRITER"
for _ in $(seq 100); do [ "$(loaded_count tiny)" -gt "$LOADS" ] && break; sleep 0.2; done
[ "$(loaded_count tiny)" = $((LOADS + 1)) ] || fail "tiny was not loaded once the writer closed its file"
USERS=$(sql "SELECT COUNT(*) FROM messages WHERE role='user'")
REPLIES=$(sql "SELECT COUNT(*) FROM messages WHERE role='assistant'")
click_at $EDITOR
type_text "Tell me about the sea."
key Return
wait_sql "SELECT COUNT(*) FROM messages WHERE role='user'" $((USERS + 1)) 30 || fail "the question was not saved"
sleep 1.5
lease_held || fail "/proc/locks shows no lease on tiny's file during the reply"
cp "$T/rain.gguf" "$MODELS/tiny.gguf" || fail "cp over the loaded model failed"
kill -0 "$APP_PID" 2>/dev/null || fail "the program ended"
wait_text "sea is calm" written-stopped 15 || fail "the stopped reply's text is not on screen"
[ "$(sql "SELECT COUNT(*) FROM messages WHERE role='assistant'")" = "$REPLIES" ] || fail "the stopped reply was stored"

step slow-writer
mv "$T/tiny.gguf" "$MODELS/tiny.gguf"
cp "$MODELS/tiny.gguf" "$T/tiny.gguf"
[ "$(stat -c %s "$T/rain.gguf")" = "$(stat -c %s "$MODELS/tiny.gguf")" ] || fail "rain is not of tiny's size"
LOADS=$(loaded_count tiny)
click_pill TINY slow-pill
wait_text "SELECT MODEL" slow-picker 10 || fail "the picker did not open"
click_pill tiny slow-picker-tiny
for _ in $(seq 100); do [ "$(loaded_count tiny)" -gt "$LOADS" ] && break; sleep 0.2; done
[ "$(loaded_count tiny)" = $((LOADS + 1)) ] || fail "tiny was not loaded"
REPLIES=$(sql "SELECT COUNT(*) FROM messages WHERE role='assistant'")
CHUNK=$((($(stat -c %s "$T/rain.gguf") + 7) / 8))
# One open for the whole write, as a download into a preallocated file.
(
  exec 3<>"$MODELS/tiny.gguf"
  for i in 0 1 2 3 4 5 6 7; do
    dd if="$T/rain.gguf" of=/dev/fd/3 bs=$CHUNK skip=$i seek=$i count=1 conv=notrunc status=none
    sleep 0.5
  done
) &
WRITER=$!
PIDS+=($WRITER)
sleep 0.7
click_at $EDITOR
type_text "What falls?"
key Return
wait "$WRITER"
wait_sql "SELECT COUNT(*) FROM messages WHERE role='assistant'" $((REPLIES + 1)) 60 || fail "the reply was not saved"
sleep 1
[ "$(sql "SELECT COUNT(*) FROM messages WHERE role='assistant'")" = $((REPLIES + 1)) ] || fail "more than one reply was stored"
REPLY=$(sql "SELECT content FROM messages WHERE role='assistant' ORDER BY id DESC LIMIT 1")
[ "$REPLY" = " Rain falls." ] || fail "the reply is '$REPLY', not the finished file's"
kill -0 "$APP_PID" 2>/dev/null || fail "the program ended"
mv "$T/tiny.gguf" "$MODELS/tiny.gguf"

# --- 6. council ----------------------------------------------------------------------------------
step council
click_at $COUNCIL_SWITCH
wait_text "Council Mode" council-intro 15 || fail "no council introduction"
click_pill UNDERSTAND council-understood
wait_text --gone "Council Mode" council-on 10 || fail "the council introduction stayed"
click_at $EDITOR
type_text "@ti"
wait_text "tiny b" mention-popup 10 || fail "the mention popup does not offer tiny b"
key ctrl+a BackSpace
type_text "@tiny @tiny-b what is 2+2?"
sleep 0.5
ASKED=$(sql "SELECT COUNT(*) FROM messages WHERE role='assistant'")
key Return
# Between the members the status line names the next one while it loads:
# shots until tiny b is loaded, and the last few are read.
B_LOADS=$(loaded_count "tiny b")
b_loaded() { [ "$(loaded_count "tiny b")" -gt "$B_LOADS" ]; }
burst council-run 240 b_loaded
b_loaded || fail "tiny b was never loaded"
BURST=("${BURST[@]: -4}")
ORDER=1 # the status line is dark text on the page
burst_has "Loading tiny b" || say "the status between the members was not read on screen"
ORDER="1 2 3 4"
wait_sql "SELECT group_concat(model_name, '|') FROM messages WHERE role='assistant' AND id > (SELECT MAX(id) FROM messages WHERE role='user')" "tiny|tiny b" 240 ||
  fail "the council's replies were not saved"
# The view follows the reply's end; the second member's name heads its
# bubble, higher up.
locate_window
for _ in 1 2 3 4 5 6 7 8 9 10; do
  shot council-done
  shown "tiny b" && break
  # shellcheck disable=SC2046
  xdotool mousemove --sync $(at_window 640 400) click --repeat 8 --delay 20 4
  sleep 0.3
done
shown "tiny b" || fail "no bubble of tiny b"
[ "$(sql "SELECT is_council, council_on FROM chats")" = "1|1" ] || fail "is_council and council_on are not stored"
[ "$(sql "SELECT COUNT(*) FROM messages WHERE role='assistant'")" = $((ASKED + 2)) ] || fail "not one reply per member"
tray_menu tray-council
shown "Current model: tiny b" || fail "the tray does not name tiny b"
close_tray tray-council-closed

# --- 7. stop a long reply ---------------------------------------------------------------------------
step stop
click_at $COUNCIL_SWITCH
sleep 0.5
USERS=$(sql "SELECT COUNT(*) FROM messages WHERE role='user'")
REPLIES=$(sql "SELECT COUNT(*) FROM messages WHERE role='assistant'")
LOADS=$(loaded_count tiny)
click_at $EDITOR
type_text "Write a very long story about the sea."
key Return
# tiny comes back first, then the reply streams.
for _ in $(seq 300); do [ "$(loaded_count tiny)" -gt "$LOADS" ] && break; sleep 0.1; done
[ "$(loaded_count tiny)" -gt "$LOADS" ] || fail "tiny was not loaded again"
wait_sql "SELECT COUNT(*) FROM messages WHERE role='user'" $((USERS + 1)) 30 || fail "the question was not saved"
click_at $SEND_DISC
burst stop-toast 4 never
burst_has "waiting for model to yield" || fail "no cancelling toast"
wait_text --gone "waiting for model to yield" stopped 15 || fail "the cancelling toast stayed"
sleep 1
[ "$(sql "SELECT COUNT(*) FROM messages WHERE role='assistant'")" = "$REPLIES" ] || fail "a stopped reply was saved"

# --- 8. chat changes keep the draft ------------------------------------------------------------------
step draft
click_at $EDITOR
type_text "half a thought"
click_at $NEW_CHAT
wait_text "half a thought" draft-new-chat 10 || fail "New chat lost the draft"
shown "sea is calm" && fail "New chat kept the transcript"
click_at $HISTORY
wait_text "TODAY" drawer 10 || fail "the drawer did not open"
wait_drawer_word secret drawer-row || fail "no row in the drawer"
# shellcheck disable=SC2086
click $AT
wait_text "sea is calm" draft-opened 15 || fail "the chat did not open"
shown "half a thought" || fail "opening a chat lost the draft"
click_at $EDITOR
key ctrl+a BackSpace

# --- 9. refusals after two chat changes -------------------------------------------------------------
step refusals
attach_files refusal-format scan.tiff
burst refusal-format-toast 3 never
burst_has "Format not supported: scan.tiff" || fail "no toast for an unsupported file"
attach_files refusal-count '"n1.txt" "n2.txt" "n3.txt" "n4.txt" "n5.txt" "n6.txt"'
burst refusal-count-toast 3 never
burst_has "Maximum 5 attachments per message" || fail "no toast for a sixth file"

# --- 10. rename from the drawer ------------------------------------------------------------------------
step rename
row_menu rename
shown "PIN" && shown "DELETE" || fail "the menu lacks PIN or DELETE"
click_word RENAME rename-item
wait_text "Rename chat" rename-dialog 10 || fail "no rename dialog"
key ctrl+a
type_text "Secret word test"
click_pill SAVE rename-save
wait_sql "SELECT title FROM chats" "Secret word test" 10 || fail "the title was not stored"
wait_text "Secret word test" renamed 10 || fail "the row does not show the new title"
close_drawer

# --- 10b. writes while another process holds the database -------------------------------------
# A second program (as a backup tool does) holds the database's write lock:
# a rename is refused with a toast, a message and its reply wait with the
# not-saved notice, and once the lock is gone and the chat was left and
# opened again, both are stored.
hold_lock() {
  mkfifo "$T/lock.fifo"
  sqlite3 -batch "$DB" <"$T/lock.fifo" >"$T/lock.log" 2>&1 &
  LOCK_PID=$!
  PIDS+=("$LOCK_PID")
  exec 7>"$T/lock.fifo"
  echo "PRAGMA busy_timeout = 10000; BEGIN EXCLUSIVE;" >&7
  local _
  for _ in $(seq 100); do
    sqlite3 -batch "$DB" "PRAGMA busy_timeout = 0; BEGIN IMMEDIATE; ROLLBACK;" >/dev/null 2>&1 || return 0
    sleep 0.1
  done
  fail "the second program did not take the lock: $(cat "$T/lock.log")"
}
release_lock() {
  echo "ROLLBACK;" >&7
  exec 7>&-
  wait "$LOCK_PID" 2>/dev/null
  rm -f "$T/lock.fifo"
}
# Waits until the program has used no processor time for a second: a reply
# is no longer being generated.
wait_idle() { # wait_idle seconds
  local last now quiet=0 _
  last=$(awk '{print $14 + $15}' "/proc/$APP_PID/stat")
  for _ in $(seq $(($1 * 4))); do
    sleep 0.25
    now=$(awk '{print $14 + $15}' "/proc/$APP_PID/stat")
    if [ "$now" = "$last" ]; then quiet=$((quiet + 1)); else quiet=0; fi
    last=$now
    [ "$quiet" -ge 4 ] && return 0
  done
  return 1
}
step locked
hold_lock
row_menu locked-rename
click_word RENAME locked-rename-item
wait_text "Rename chat" locked-rename-dialog 10 || fail "no rename dialog"
key ctrl+a
type_text "Locked title"
click_pill SAVE locked-rename-save
burst locked-rename-toast 3 never
burst_has "Could not save the change to this chat" || fail "no toast for a refused rename"
[ "$(sql "SELECT title FROM chats")" = "Secret word test" ] || fail "the refused title was stored"
wait_text "Secret word test" locked-title 10 || fail "the row does not show the stored title"
close_drawer
USERS=$(sql "SELECT COUNT(*) FROM messages WHERE role='user'")
REPLIES=$(sql "SELECT COUNT(*) FROM messages WHERE role='assistant'")
click_at $EDITOR
type_text "Locked send one"
key Return
wait_text "Chats are not being saved" locked-notice 15 || fail "no notice while the lock is held"
wait_idle 120 || fail "the reply did not end"
shot locked-replied
[ "$(sql "SELECT COUNT(*) FROM messages")" = $((USERS + REPLIES)) ] || fail "a row was stored under the lock"
release_lock
click_at $NEW_CHAT
wait_text --gone "sea is calm" locked-away 10 || fail "New chat kept the transcript"
click_at $HISTORY
wait_drawer_word secret locked-drawer || fail "no row in the drawer"
# shellcheck disable=SC2086
click $AT
wait_text "sea is calm" locked-back 15 || fail "the chat did not open again"
wait_sql "SELECT COUNT(*) FROM messages WHERE role='user'" $((USERS + 1)) 15 || fail "the message was not stored"
wait_sql "SELECT COUNT(*) FROM messages WHERE role='assistant'" $((REPLIES + 1)) 15 || fail "the reply was not stored"
LAST_TWO=$(sql "SELECT role FROM messages ORDER BY id DESC LIMIT 2" | tr '\n' ' ')
[ "$LAST_TWO" = "assistant user " ] || fail "the last rows are '$LAST_TWO'"
[[ $(sql "SELECT content FROM messages WHERE role='user' ORDER BY id DESC LIMIT 1") == *"Locked send one" ]] ||
  fail "the stored message is not the one sent"
wait_text --gone "Chats are not being saved" locked-saved 15 || fail "the notice stayed"
# A new chat's empty page, so that the long reply does not lie behind the
# dialogs of the steps that follow.
click_at $NEW_CHAT
wait_text --gone "sea is calm" locked-done 10 || fail "New chat kept the transcript"

# --- 10a. the open chat deleted from outside ------------------------------------------------------
# Another program deletes the open chat (sqlite3 leaves its messages behind:
# foreign keys are off there) and the user goes on: the toast says so, and
# the chat as shown, the message and its reply are stored in a new chat.
step deleted-elsewhere
click_at $HISTORY
wait_drawer_word secret deleted-drawer || fail "no row in the drawer"
# shellcheck disable=SC2086
click $AT
wait_text "sea is calm" deleted-open 15 || fail "the chat did not open"
close_drawer
OLD_ID=$(sql "SELECT id FROM chats WHERE title='Secret word test'")
OLD_COUNT=$(sql "SELECT COUNT(*) FROM messages WHERE chat_id=$OLD_ID")
sqlite3 -batch "$DB" ".timeout 5000" "DELETE FROM chats WHERE id=$OLD_ID" || fail "cannot delete the chat from outside"
click_at $EDITOR
type_text "Deleted send one"
key Return
burst deleted-toast 3 never
burst_has '"Secret word test" was deleted elsewhere and is saved again as a new chat' || fail "no toast for the deleted chat"
wait_idle 120 || fail "the reply did not end"
shot deleted-replied
NEW_ID=$(sql "SELECT id FROM chats WHERE title='Secret word test'")
[ -n "$NEW_ID" ] && [ "$NEW_ID" != "$OLD_ID" ] || fail "no new chat (id '$NEW_ID', was $OLD_ID)"
[ "$(sql "SELECT COUNT(*) FROM messages WHERE chat_id=$NEW_ID")" = $((OLD_COUNT + 2)) ] ||
  fail "the new chat holds $(sql "SELECT COUNT(*) FROM messages WHERE chat_id=$NEW_ID") messages, not $((OLD_COUNT + 2))"
LAST_TWO=$(sql "SELECT role FROM messages WHERE chat_id=$NEW_ID ORDER BY id DESC LIMIT 2" | tr '\n' ' ')
[ "$LAST_TWO" = "assistant user " ] || fail "the new chat's last rows are '$LAST_TWO'"
[[ $(sql "SELECT content FROM messages WHERE chat_id=$NEW_ID AND role='user' ORDER BY id DESC LIMIT 1") == *"Deleted send one" ]] ||
  fail "the stored message is not the one sent"
wait_text --gone "Chats are not being saved" deleted-saved 10 || fail "the notice shows"
# What the outside deletion left behind goes, for the later steps' counts.
sqlite3 -batch "$DB" ".timeout 5000" "DELETE FROM messages WHERE chat_id NOT IN (SELECT id FROM chats)" ||
  fail "cannot remove the messages left behind"
click_at $NEW_CHAT
wait_text --gone "sea is calm" deleted-done 10 || fail "New chat kept the transcript"

# --- 10c. a clicked row whose chat was replaced under its id ---------------------------------------
# Another program adds "Bravo chat"; while the drawer is open, it deletes it
# and gives its id to "Tool two". A click on the old row, before the list is
# read again (every 2 s), opens nothing, and the toast names the row as it
# showed, not the chat now under its id; the list then shows "Tool two". A
# click that came after that read opened "Tool two", which is right too:
# the step tries again. Both chats go again for the later steps' counts.
step replaced-row
REPLACED=0
for TRY in 1 2 3; do
  NOW=$(date +%s)
  sqlite3 -batch "$DB" ".timeout 5000" "INSERT INTO chats(title, created_at, updated_at) VALUES('Bravo chat', $NOW, $NOW)" ||
    fail "cannot add a chat from outside"
  BRAVO=$(sql "SELECT id FROM chats WHERE title='Bravo chat'")
  click_at $HISTORY
  wait_drawer_word Bravo "replaced-drawer-$TRY" || fail "no row for the added chat"
  ROW_AT=$AT
  close_drawer
  # Opened again, the drawer reads the list and starts its 2 s anew.
  click_at $HISTORY
  sleep 0.5
  sqlite3 -batch "$DB" ".timeout 5000" "DELETE FROM chats WHERE id=$BRAVO;
    INSERT INTO chats(id, title, created_at, updated_at) VALUES($BRAVO, 'Tool two', $((NOW + 1)), $NOW);
    INSERT INTO messages(chat_id, role, content) VALUES($BRAVO, 'user', 'Kept by the tool')" ||
    fail "cannot replace the chat from outside"
  # shellcheck disable=SC2086
  click $ROW_AT
  burst "replaced-toast-$TRY" 2 never
  burst_has '"Bravo chat" was deleted elsewhere' && { REPLACED=1; break; }
  burst_has '"Tool two" was deleted elsewhere' && fail "the toast names the chat now under the row's id"
  say "the list was read again before the click (try $TRY)"
  click_at $NEW_CHAT
  wait_text --gone "Kept by the tool" "replaced-away-$TRY" 10 || fail "New chat kept the other program's chat"
  sqlite3 -batch "$DB" ".timeout 5000" "DELETE FROM messages WHERE chat_id=$BRAVO; DELETE FROM chats WHERE id=$BRAVO" ||
    fail "cannot remove the other program's chat"
done
[ "$REPLACED" = 1 ] || fail "no click came before the list was read again"
wait_drawer_word Tool replaced-listed || fail "the drawer does not list the other program's chat"
shown "Kept by the tool" && fail "the other program's chat was opened"
KEPT=$(sql "SELECT title, (SELECT COUNT(*) FROM messages WHERE chat_id=$BRAVO) FROM chats WHERE id=$BRAVO")
[ "$KEPT" = "Tool two|1" ] || fail "the other program's chat is '$KEPT'"
close_drawer
sqlite3 -batch "$DB" ".timeout 5000" "DELETE FROM messages WHERE chat_id=$BRAVO; DELETE FROM chats WHERE id=$BRAVO" ||
  fail "cannot remove the other program's chat"

# --- 11. a link while the window is hidden ------------------------------------------------------
step url
WIN=$(main_window)
xdotool windowactivate --sync "$WIN" 2>/dev/null
key alt+F4
for _ in $(seq 50); do [ -z "$(main_window)" ] && break; sleep 0.1; done
[ -z "$(main_window)" ] || fail "the window did not close"
shot closed
kill -0 "$APP_PID" 2>/dev/null || fail "the program ended with its window"
[ "$(curl -s -o /dev/null -w '%{http_code}' --max-time 5 "127.0.0.1:$PORT/health")" = 200 ] || fail "no /health while hidden"
xdg-open 'corvanthelis://x?action=add-model&repo=acme/tiny-model' >"$T/xdg-open.log" 2>&1 &
XDG_PID=$!
PIDS+=("$XDG_PID")
for _ in $(seq 100); do [ -n "$(main_window)" ] && break; sleep 0.1; done
[ -n "$(main_window)" ] || fail "the window did not come back"
# The toast lasts a second: shots first, reading after.
burst url-toast 1 never
burst_has "coming in a later update" || fail "no toast for the link"
wait "$XDG_PID" 2>/dev/null
RUNNING=0
for p in $(pgrep -x corvanthelis); do
  tr '\0' '\n' <"/proc/$p/environ" 2>/dev/null | grep -qx "HOME=$HOME" && RUNNING=$((RUNNING + 1))
done
[ "$RUNNING" = 1 ] || fail "$RUNNING programs run"

# --- 12. the debug panel ---------------------------------------------------------------------
step debug-panel
locate_window
# shellcheck disable=SC2046
click $(at_window 640 400)
key ctrl+shift+d
# The panel is see-through: its small caption and the rows over the
# transcript's text read poorly, its labels do not.
PANEL_ROWS=("Loaded models" "Process memory" "Chat scroll" "load attempt" "linked")
wait_any debug-on 10 "${PANEL_ROWS[@]}" || fail "no debug panel"
key ctrl+shift+d
wait_any --gone debug-off 10 "${PANEL_ROWS[@]}" || fail "the debug panel stayed"
# The models page has the panel too.
click_at $HISTORY
click_word MODELS drawer-models
wait_text "ADD" models-page 10 || fail "no models page"
key ctrl+shift+d
wait_any models-debug-on 10 "${PANEL_ROWS[@]}" || fail "no debug panel on the models page"
# As wide as the page's column (544) and centred with it: the panel's amber
# outline (light or dark) is measured in the window.
locate_window
PANEL_BOX=
for amber in '#8A5804' '#E0A030'; do
  PANEL_BOX=$(convert "$SHOT_FILE" -crop "${WW}x${WH}+${WX}+${WY}" +repage -fuzz 8% -fill '#FF00FF' -opaque "$amber" \
    -fill black +opaque '#FF00FF' -format '%@' info: 2>/dev/null)
  [[ $PANEL_BOX =~ ^([0-9]+)x([0-9]+)\+([0-9]+)\+([0-9]+)$ ]] && [ "${BASH_REMATCH[1]}" -gt 0 ] && break
  PANEL_BOX=
done
say "runtime panel on the models page: ${PANEL_BOX:-not found}"
[ -n "$PANEL_BOX" ] || fail "the runtime panel's outline is not on the models page"
[ "${BASH_REMATCH[1]}" = 544 ] || fail "the runtime panel is ${BASH_REMATCH[1]} wide, not the column's 544"
PANEL_CENTRE=$((BASH_REMATCH[3] + BASH_REMATCH[1] / 2))
[ "$PANEL_CENTRE" -ge $((WW / 2 - 1)) ] && [ "$PANEL_CENTRE" -le $((WW / 2 + 1)) ] ||
  fail "the runtime panel's centre is at $PANEL_CENTRE, not the window's $((WW / 2))"
key ctrl+shift+d
wait_any --gone models-debug-off 10 "${PANEL_ROWS[@]}" || fail "the debug panel stayed on the models page"
click_at $MODELS_BACK
wait_text "WRITE A MESSAGE..." back-to-chat 10 || fail "the models page's back button"

# --- 12a. chats out and back in ------------------------------------------------------------------
# The chat's menu exports it as Markdown through the save panel; SETTINGS ›
# CHATS exports every chat as JSON Lines, another program empties the
# database, and the page imports the file: the drawer lists the chat again.
# Typed into the save panel's name field: the file's whole path.
save_panel() { # save_panel path name
  sleep 1
  key ctrl+a
  type_text "$1"
  key Return
  local _
  for _ in $(seq 50); do [ -s "$1" ] && return 0; sleep 0.2; done
  shot "$2-missing"
  fail "$1 was not written"
}
step export-chat
row_menu export-chat
# "Export…", two items under RENAME (rows 49 apart, "Instructions…"
# between): the reader misses the words with their ellipsis on the whole window.
find_word "$SHOT_FILE" RENAME || fail "the menu lacks RENAME"
click "${AT% *}" $((${AT#* } + 98))
save_panel "$HOME/Documents/chat.md" export-chat
HEADING=$(grep -m1 '^# ' "$HOME/Documents/chat.md")
[ "$HEADING" = "# Secret word test" ] || fail "the Markdown's first heading is '$HEADING'"
shot export-chat-done

step chats-page
CHATS=$(sql "SELECT COUNT(*) FROM chats")
MESSAGES=$(sql "SELECT COUNT(*) FROM messages")
click_at $HISTORY
click_word SETTINGS chats-settings
click_word CHATS chats-row
wait_text "EXPORT AND IMPORT" chats-page 10 || fail "no chats page"
click_word all chats-export
ALL_X=${AT% *}
save_panel "$HOME/Documents/all.jsonl" chats-export
wait_text "Exported" chats-exported 10 || fail "no outcome for the export"
[ "$(wc -l <"$HOME/Documents/all.jsonl")" = "$CHATS" ] || fail "the export holds $(wc -l <"$HOME/Documents/all.jsonl") lines, not $CHATS"
sqlite3 -batch "$DB" ".timeout 5000" "DELETE FROM messages; DELETE FROM chats" || fail "cannot empty the database"
# The row's first word, left of the header's "IMPORT".
wait_word Import chats-import 10 "$ALL_X" || fail "no Import chats… row"
# shellcheck disable=SC2086
click $AT
save_panel "$HOME/Documents/all.jsonl" chats-import
wait_sql "SELECT COUNT(*) FROM chats" "$CHATS" 15 || fail "the chats were not imported"
wait_sql "SELECT COUNT(*) FROM messages" "$MESSAGES" 5 || fail "the messages were not imported"
wait_text "Importe" chats-imported 10 || fail "no outcome for the import"
# Back to the settings, then closed: the chat page.
click_at 67 62
wait_text "GENERAL" chats-back 10 || fail "the chats page's back control"
click_at 67 62
wait_text "WRITE A MESSAGE..." chats-closed 10 || fail "the settings did not close"
click_at $HISTORY
wait_drawer_word secret chats-listed || fail "the drawer does not list the imported chat"
close_drawer

# --- 13. delete from the drawer ------------------------------------------------------------------
step delete
row_menu delete
click_word DELETE delete-item
wait_text "Delete chat?" delete-dialog 10 || fail "no delete dialog"
shown '"Secret word test" and its messages will be permanently deleted.' || fail "the delete dialog's body"
shown CANCEL || fail "the delete dialog lacks CANCEL"
RED_PILLS=1
click_pill DELETE delete-confirm
RED_PILLS=0
wait_sql "SELECT COUNT(*) FROM chats" 0 10 || fail "the chat is still stored"
[ "$(sql "SELECT COUNT(*) FROM messages")" = 0 ] || fail "its messages are still stored"
wait_text --gone "Secret word test" deleted 10 || fail "the row stayed"

# --- 13a. the local server -----------------------------------------------------------------------
# The switch on the LOCAL SERVER page starts the server at once; a request
# from curl streams through it, and the tray shows the base URL.
step local-server
# The drawer is open after the delete: its SETTINGS (the tray's item reads
# "Preferences…", whose ellipsis the OCR reads either way).
click_word SETTINGS local-server-settings
click_word LOCAL local-server-row 10
wait_text "Serve models to other programs on this computer" local-server-page 10 || fail "no local server page"
find_word "$SHOT_FILE" Serve || fail "the switch's row is not read"
locate_window
# The switch ends the row of the card, 544 wide and centred in the window.
click $((WX + WW / 2 + 230)) "${AT#* }"
wait_text "Listening on" local-server-on 10 || fail "the server did not start"
STREAM=$(curl -sN --max-time 20 -H "Content-Type: application/json" "http://127.0.0.1:$API_PORT/v1/chat/completions" \
  -d '{"model":"tiny","stream":true,"max_tokens":8,"messages":[{"role":"user","content":"Hi"}]}')
say "stream: $(grep -c '^data: {' <<<"$STREAM") chunks"
check "the answer streams in chunks" [ "$(grep -c '^data: {' <<<"$STREAM")" -ge 3 ]
check "the stream ends with [DONE]" grep -q '^data: \[DONE\]' <<<"$STREAM"
# Back to the chat page: the tray menu is read whole-screen, and over the
# page's own base URL and white card the reader garbles the menu.
click_at 67 62
wait_text "GENERAL" local-server-back 10 || fail "the local server page's back control"
click_at 67 62
wait_text "WRITE A MESSAGE..." local-server-closed 10 || fail "the settings did not close"
tray_menu local-server-tray-url
# The reader splits the URL about its dots, reads the slash after the port
# as a comma at times and drops the colon before it at others, so the port's
# digits are what is looked for (the bridge's port on the line above differs).
for line in "Local server:" "http://127.0.0"; do
  shown "$line" || fail "the tray's local server line lacks \"$line\""
done
shows "$SHOT_FILE" "$API_PORT" has_number ||
  { say "screen text: ${TEXT:0:400}"; fail "the tray's local server line lacks \"$API_PORT\""; }
close_tray local-server-tray-closed

# --- 14. quit from the tray ----------------------------------------------------------------------
# Quits through the tray menu; the program must end with status 0 within a
# few seconds (the time taken is printed).
quit_from_tray() { # quit_from_tray name
  local started status
  tray_menu "$1"
  click_word Quit "$1-item"
  started=$(date +%s.%N)
  for _ in $(seq 50); do kill -0 "$APP_PID" 2>/dev/null || break; sleep 0.1; done
  kill -0 "$APP_PID" 2>/dev/null && fail "still running 5 s after Quit"
  say "quit took $(echo "$(date +%s.%N) - $started" | bc) s"
  ORDER="1 2 3 4"
  wait "$APP_PID"
  status=$?
  [ "$status" = 0 ] || fail "exit status $status"
}
step quit
quit_from_tray tray-quit
shot quit
curl -s --max-time 2 "127.0.0.1:$PORT/health" >/dev/null && fail "the port still answers"
grep -q "launch" "$DATA/bridge.log" || fail "bridge.log lacks the launch line"
grep -q "listening on port $PORT" "$DATA/bridge.log" || fail "bridge.log lacks the listening line"
GEOMETRY="$WX,$WY ${WW}x$WH"
# The switch was stored; it goes off again, so the later launches' tray menu
# is the one their steps read.
CONF="$HOME/.config/Corvanthelis/Corvanthelis.conf"
say "stored: $(grep '^localServer.enabled=' "$CONF")"
sed -i 's/^localServer.enabled=true/localServer.enabled=false/' "$CONF"

# --- 14a. a key in the edit dialog on a long message --------------------------------------
# A chat stored earlier holds a user message of 1,000,000 characters: a dump
# without a break opportunity and one line of words. The list is read at
# launch, so the chat goes into the database while the program is down. The
# edit dialog answers keys as the composer would: a letter over the limit
# (the message's own length) is refused without the window stalling, and the
# keys after it show within the usual wait. Cancelling leaves the message as
# it was.
step long-edit
LONG="$T/long.txt"
LONG_END=$'\nand then the tide went out HARBOUR'
yes 0123456789abcdef | tr -d '\n' | head -c $((1000000 - ${#LONG_END})) >"$LONG"
printf '%s' "$LONG_END" >>"$LONG"
[ "$(wc -c <"$LONG")" = 1000000 ] || fail "the long message is not 1,000,000 characters"
NOW=$(date +%s)
sqlite3 -batch "$DB" ".timeout 5000" "INSERT INTO chats(title, created_at, updated_at) VALUES('Long log', $NOW, $NOW);
  INSERT INTO messages(chat_id, role, content, created_at) VALUES(last_insert_rowid(), 'user', CAST(readfile('$LONG') AS TEXT), $NOW);" ||
  fail "cannot store the long message"
long_stored() { sql "SELECT length(content), substr(content, -7) FROM messages WHERE chat_id=(SELECT id FROM chats WHERE title='Long log')"; }
[ "$(long_stored)" = "1000000|HARBOUR" ] || fail "the long message was not stored whole"
start_app
for _ in $(seq 200); do locate_window && break; sleep 0.05; done
locate_window || fail "no window"
wait_text "SELECT A MODEL" long-started 20 || fail "the program did not start"
click_at $HISTORY
wait_drawer_word Long long-drawer || fail "no Long log row in the drawer"
# shellcheck disable=SC2086
click $AT
close_drawer
wait_text "showing the first 100,000 characters" long-open 30 || fail "the long message did not open"
# The message's edit button, the second of the round actions under its end.
EDIT_BUTTON="918 609"
click_at $EDIT_BUTTON
wait_text "Edit message" long-dialog 20 || fail "no edit dialog"
key ctrl+End
KEYED=$(date +%s.%N)
type_text X
key BackSpace BackSpace BackSpace BackSpace BackSpace BackSpace BackSpace
type_text ANCHORS
wait_text "went out ANCHORS" long-keys 20 || fail "the keys in the edit dialog did not show within 20 s"
say "keys to screen: $(echo "$(date +%s.%N) - $KEYED" | bc) s"
click_pill CANCEL long-cancel
wait_text --gone "Edit message" long-cancelled 20 || fail "the edit dialog stayed"
[ "$(long_stored)" = "1000000|HARBOUR" ] || fail "cancelling changed the long message"
quit_from_tray long-quit
sqlite3 -batch "$DB" ".timeout 5000" "DELETE FROM messages WHERE chat_id=(SELECT id FROM chats WHERE title='Long log');
  DELETE FROM chats WHERE title='Long log';" || fail "cannot remove the long chat"
[ "$(sql "SELECT COUNT(*) FROM chats")" = 0 ] || fail "the long chat is still stored"

# --- 14b. GPU offload on lavapipe ---------------------------------------------------------------
# lavapipe, a Vulkan device that computes on the CPU, is the GPU of this
# launch: llama.cpp takes it only when it is chosen by index. The hardware
# page names it, its switch turns offload on (with its confirmation), a
# reply arrives from the offloaded model, and the debug panel tells the
# layers the load put on it. The chat goes and the switch is off again
# before the relaunch.
step gpu
export GGML_VK_VISIBLE_DEVICES=0
start_app
unset GGML_VK_VISIBLE_DEVICES
for _ in $(seq 200); do locate_window && break; sleep 0.05; done
locate_window || fail "no window"
wait_text "SELECT A MODEL" gpu-started 20 || fail "the program did not start"
click_at $HISTORY
click_word SETTINGS gpu-settings
click_word HARDWARE gpu-hardware-row 10
# The reader takes the "ll" of "llvmpipe" for other strokes at times.
wait_text "vmpipe" gpu-hardware-page 20 || fail "the hardware page does not name the GPU"
shown "GPU acceleration is switched off" || fail "the hardware page does not say offload is off"
find_word "$SHOT_FILE" OFFLOAD || fail "the GPU offload row is not read"
locate_window
# The switch ends the row of the card, as on the local server page.
click $((WX + WW / 2 + 230)) "${AT#* }"
click_pill "TURN ON" gpu-turn-on 10
CONF="$HOME/.config/Corvanthelis/Corvanthelis.conf"
for _ in $(seq 50); do grep -q '^hardware.metalOffload=true' "$CONF" && break; sleep 0.2; done
grep -q '^hardware.metalOffload=true' "$CONF" || fail "the switch did not store offload on"
wait_text "GB GPU memory" gpu-on 10 || fail "the hardware page does not show the GPU in use"
click_at 67 62
wait_text "GENERAL" gpu-back 10 || fail "the hardware page's back control"
click_at 67 62
wait_text "WRITE A MESSAGE..." gpu-closed 10 || fail "the settings did not close"
click_pill "SELECT A MODEL" gpu-pill
wait_text "SELECT MODEL" gpu-picker 10 || fail "the picker did not open"
click_pill tiny gpu-picker-tiny
wait_pill TINY gpu-pill-tiny 60
grep -q "GPU offload: " "$T/err.log" || fail "the load did not offload"
click_at $EDITOR
type_text "Hello GPU"
key Return
# tiny writes until its limit, which lavapipe takes minutes over on a busy
# machine: the reply's first words show that it came, and it is stopped.
wait_text "sea is calm" gpu-reply 120 || fail "no reply from the GPU"
click_at $SEND_DISC
wait_text --gone "waiting for model to yield" gpu-stopped 30 || fail "the GPU reply did not stop"
# shellcheck disable=SC2046
click $(at_window 640 400)
key ctrl+shift+d
wait_text "layers" gpu-debug 10 || fail "the debug panel does not show the GPU's layers"
key ctrl+shift+d
quit_from_tray gpu-quit
sed -i 's/^hardware.metalOffload=true/hardware.metalOffload=false/' "$CONF"
sqlite3 -batch "$DB" ".timeout 5000" "DELETE FROM messages; DELETE FROM chats;" || fail "cannot remove the GPU chat"

# --- 14c. an image to a model that sees -------------------------------------------------------
# seer is the scripted model at a width that a random projector of the
# LLaVA-1.5 layout fits; both go into the folder while the program is down.
# The picker tags seer as seeing images. A picture on the clipboard is
# pasted into the composer, where its tile shows it (its red half is on
# screen), sent with a question and answered; a second question in the same
# chat is answered from the kept context: the runtime log encodes the image
# once over the two turns, and the database keeps it with its message.
step image
"$MAKE_MODEL" --out "$MODELS/seer.gguf" --embd 384 --layers 4 --ff 512 --ctx 4096 \
  --script "<0x0A>|▁The|▁sea|▁is|▁calm|.|▁The" >>"$T/make-model.log" 2>&1 || fail "cannot write the seeing model"
"$MAKE_MODEL" --projector mlp --embd 384 --out "$MODELS/mmproj-seer-f16.gguf" >>"$T/make-model.log" 2>&1 ||
  fail "cannot write the projector"
# Short replies: the two turns are what is looked at, not their length.
node -e "const fs=require('fs'),f=process.argv[1];const c=JSON.parse(fs.readFileSync(f,'utf8'));
c['seer.gguf']={displayName:'seer',contextMode:'auto',sampling:{replyLimit:48}};fs.writeFileSync(f,JSON.stringify(c))" \
  "$MODELS/.model-choices.json" || fail "cannot store seer's reply limit"
convert -size 160x120 xc:'#e01010' \( -size 160x120 xc:'#1030e0' \) -append "$T/picture.png" || fail "cannot draw the picture"
start_app
for _ in $(seq 200); do locate_window && break; sleep 0.05; done
locate_window || fail "no window"
wait_text "SELECT A MODEL" image-started 20 || fail "the program did not start"
click_pill "SELECT A MODEL" image-pill
wait_text "SELECT MODEL" image-picker 10 || fail "the picker did not open"
shown "IMAGES" || fail "the picker does not tag seer as seeing images"
click_pill "seer IMAGES" image-picker-seer
wait_pill SEER image-pill-seer 60
# xclip serves the clipboard from a process of its own until another owner
# takes it.
xclip -selection clipboard -t image/png -i "$T/picture.png" || fail "cannot put the picture on the clipboard"
click_at $EDITOR
TILE_FROM=$SECONDS
key ctrl+v
# The staged tile shows the picture, whose name it does not write: strong
# red appears above the composer, where there was none before.
red_pixels() { convert "$SHOT_FILE" -crop "${WW}x240+$WX+$((WY + WH - 240))" +repage -fx '(r>0.75&&g<0.2&&b<0.2)?1:0' -format '%[fx:round(mean*w*h)]' info:; }
shot image-tile
RED=$(red_pixels)
until [ "$RED" -ge 100 ]; do
  [ $SECONDS -ge $((TILE_FROM + 20)) ] && fail "no staged tile shows the pasted picture"
  sleep 0.5
  reshoot image-tile
  RED=$(red_pixels)
done
say "red pixels above the composer: $RED"
REPLIES=$(sql "SELECT COUNT(*) FROM messages WHERE role='assistant'")
click_at $EDITOR
type_text "What is in this picture?"
key Return
wait_sql "SELECT COUNT(*) FROM messages WHERE role='assistant'" $((REPLIES + 1)) 120 || fail "the reply to the picture was not saved"
[ "$(sql "SELECT COUNT(*) FROM message_images")" = 1 ] || fail "the picture was not stored with its message"
click_at $EDITOR
type_text "And the sea?"
key Return
wait_sql "SELECT COUNT(*) FROM messages WHERE role='assistant'" $((REPLIES + 2)) 120 || fail "the second reply was not saved"
ENCODED=$(grep -c "Encoded an image of" "$T/err.log")
say "$(grep "Encoded an image of" "$T/err.log" | tail -1 | sed 's/.*runtime: //')"
[ "$ENCODED" = 1 ] || fail "the image was encoded $ENCODED times over two turns"
quit_from_tray image-quit
pkill -f "xclip -selection clipboard" 2>/dev/null
sqlite3 -batch "$DB" ".timeout 5000" "DELETE FROM messages; DELETE FROM chats;" || fail "cannot remove the image chat"
rm -f "$MODELS/seer.gguf" "$MODELS/mmproj-seer-f16.gguf"

# --- 15. relaunch ------------------------------------------------------------------------------------
step relaunch
start_app
for _ in $(seq 200); do locate_window && break; sleep 0.05; done
locate_window || fail "no window at the relaunch"
[ "$WX,$WY ${WW}x$WH" = "$GEOMETRY" ] || fail "geometry $WX,$WY ${WW}x$WH, saved $GEOMETRY"
wait_text "SELECT A MODEL" relaunched 20 || fail "the pill does not read SELECT A MODEL"
shown "Your rig" && fail "the introduction came back"
tray_menu tray-relaunched
shown "No model loaded" || fail "the tray names a model"
close_tray tray-relaunched-closed
quit_from_tray tray-quit-again
say "passed"
