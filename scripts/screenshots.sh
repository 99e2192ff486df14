#!/usr/bin/env bash
# Screenshots of the desktop program for the README, taken from the real
# `kelvara` under Xvfb, in English (OUTPUT_FOLDER) and in Japanese
# (OUTPUT_FOLDER/ja), at its first start (no column widths stored):
#   main_window.png            after converting a copy of examples/ given on its
#                              command line, with each row's status and the
#                              run's summary in the status bar
#   context_menu.png           the rows' context menu over that list
#   progress_window.png        during a longer run over large generated images,
#                              naming the file being converted
#   settings_general.png       Options > Settings..., first page
#   settings_how_to_save.png   the same dialog, second page
#
#   scripts/screenshots.sh [OUTPUT_FOLDER]      default: docs/screenshots
#
# Builds the release preset first (scripts/setup.sh release); with
# KELVARA_BUILD_DIR=DIR it uses the kelvara of an existing build there instead.
# Everything the program reads or writes lives in one temporary folder
# (${TMPDIR:-/tmp}/kelvara-screenshots, removed afterwards): a copy
# of the executable with its own kelvara.ini beside it (which makes it the
# settings file), copies of the images, HOME and XDG_CONFIG_HOME. The
# repository's examples/ are never written to.
set -euo pipefail
cd "$(dirname "$0")/.."
repo=$PWD

# Under Xvfb, the second time round: the display exists, take the pictures.
if [ "${KELVARA_SCREENSHOTS_DISPLAY_READY:-}" != 1 ]; then
  packages=(xvfb xauth fonts-noto-cjk imagemagick xdotool x11-utils locales qt6-translations-l10n)
  missing=()
  for p in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
  done
  if ((${#missing[@]})); then
    echo "screenshots: installing ${missing[*]}"
    sudo=""
    [ "$(id -u)" -eq 0 ] || sudo="sudo"
    $sudo apt-get update -q
    DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -q --no-install-recommends "${missing[@]}"
  fi
  # The Japanese pictures need the locale (Qt takes the language from it).
  if ! locale -a 2>/dev/null | grep -qi '^ja_JP\.utf-\?8$'; then
    sudo=""
    [ "$(id -u)" -eq 0 ] || sudo="sudo"
    $sudo localedef -i ja_JP -f UTF-8 ja_JP.UTF-8
  fi
  if [ -z "${KELVARA_BUILD_DIR:-}" ]; then
    scripts/setup.sh release
  fi
  # Big enough for the dialogs, and 24-bit so the captures are true colour.
  KELVARA_SCREENSHOTS_DISPLAY_READY=1 exec xvfb-run -a -s "-screen 0 1280x1024x24 -nolisten tcp" \
    "$repo/scripts/screenshots.sh" "$@"
fi

build=${KELVARA_BUILD_DIR:-build/release}
out=${1:-docs/screenshots}
mkdir -p "$out"
out=$(cd "$out" && pwd)
kelvara_bin="$build/src/desktop/kelvara"
[ -x "$kelvara_bin" ] || { echo "screenshots: no $kelvara_bin; build first" >&2; exit 1; }

# A fixed name, so that the paths shown in the pictures stay the same from
# one run to the next.
work="${TMPDIR:-/tmp}/kelvara-screenshots"
rm -rf "$work"
mkdir -p "$work"
pids=()
cleanup() {
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  rm -rf "$work"
}
trap cleanup EXIT

mkdir -p "$work/home" "$work/config" "$work/runtime"
chmod 700 "$work/runtime"
export HOME="$work/home" XDG_CONFIG_HOME="$work/config" XDG_RUNTIME_DIR="$work/runtime"
export QT_QPA_PLATFORM=xcb

# A copy of the program in its own folder; the kelvara.ini beside it is the
# settings file it reads. PNG into a separate folder, tree kept, other files
# copied, and succeeded rows stay listed so their status shows.
#   make_app FOLDER SAVE_DIR PNG_LEVEL
make_app() {
  mkdir -p "$1"
  cp "$kelvara_bin" "$1/kelvara"
  cp "$repo/docs/manual.html" "$1/" 2>/dev/null || true
  cat >"$1/kelvara.ini" <<EOF
[Convert]
SaveMode=1
SaveDirFlag=1
UnKnownFlag=1
ReproduceDir=1
DelSuccessItem=0
AutoConvert1=1
AutoConvert2=1
AutoConvert3=0
SaveDir=$2
[System]
LastDir=$work
[Png]
CompLv=$3
Filter=5
[Xyz]
CompLv=6
[MainWnd]
Left=40
Top=40
Width=860
Height=480
TopMost=0
EOF
}

# Waits for a visible window whose name matches; prints its id.
#   find_window REGEX [SECONDS]
find_window() {
  local deadline=$((SECONDS + ${2:-20})) id
  while ((SECONDS < deadline)); do
    id=$(xdotool search --onlyvisible --name "$1" 2>/dev/null | head -n1 || true)
    if [ -n "$id" ]; then
      echo "$id"
      return 0
    fi
    sleep 0.2
  done
  echo "screenshots: no window named '$1' appeared" >&2
  return 1
}

# Waits until a run is over: no progress window (named $3) and no new output
# file for a second.
#   wait_for_run_end FOLDER [SECONDS] [PROGRESS_TITLE]
wait_for_run_end() {
  local deadline=$((SECONDS + ${2:-120})) before="" now quiet=0
  while ((SECONDS < deadline)); do
    now=$(find "$1" -type f 2>/dev/null | wc -l)
    if [ "$now" = "$before" ] && [ "$now" -gt 0 ] &&
      [ -z "$(xdotool search --onlyvisible --name "${3:-^Converting}" 2>/dev/null || true)" ]; then
      quiet=$((quiet + 1))
      ((quiet < 4)) || return 0
    else
      quiet=0
    fi
    before=$now
    sleep 0.25
  done
  echo "screenshots: the run in $1 did not end" >&2
  return 1
}

capture() {
  # Let the last paint reach the server first.
  sleep 0.7
  import -window "$1" "png:$here/$2"
  echo "screenshots: wrote $here/$2 ($(identify -format '%wx%h' "$here/$2"))"
}

# The screen around a window, with what lies over it (a popup menu).
#   capture_area WINDOW FILE EXTRA_HEIGHT_BELOW
capture_area() {
  sleep 0.7
  eval "$(xdotool getwindowgeometry --shell "$1")"
  import -window root -crop "${WIDTH}x$((HEIGHT + $3))+$X+$Y" +repage "png:$here/$2"
  echo "screenshots: wrote $here/$2 ($(identify -format '%wx%h' "$here/$2"))"
}

# Sends keys to a window after giving it the keyboard focus (there is no
# window manager to do that).
keys() {
  local id=$1
  shift
  xdotool windowfocus --sync "$id"
  xdotool key --clearmodifiers "$@"
}

# File > Exit (Alt+F4), then waits for the process to end.
#   quit_app WINDOW PID
quit_app() {
  keys "$1" alt+F4
  local deadline=$((SECONDS + 20))
  while kill -0 "$2" 2>/dev/null && ((SECONDS < deadline)); do sleep 0.2; done
  if kill -0 "$2" 2>/dev/null; then
    echo "screenshots: kelvara did not close on Alt+F4" >&2
    kill "$2"
  fi
  wait "$2" || true
}

# One round of pictures in the language of the locale $1 into the folder $2;
# the windows' titles in that language: $3 main, $4 settings, $5 progress.
take_pictures() {
  export LC_ALL=$1 LANG=$1
  here=$2
  mkdir -p "$here"
  rm -rf "$work/examples" "$work/converted" "$work/large" "$work/converted-large" "$work/app" "$work/app-large"

  # --- Main window and settings: the samples, converted from the command line.
  cp -r "$repo/examples" "$work/examples"
  make_app "$work/app" "$work/converted" 6
  (cd "$work" && exec "$work/app/kelvara" examples) &
  app_pid=$!
  pids+=("$app_pid")
  main=$(find_window "^$3\$")
  wait_for_run_end "$work/converted" 120 "$5"
  capture "$main" main_window.png

  # The context menu of the third row, opened with the right button.
  xdotool mousemove --window "$main" 120 90 click 3
  sleep 0.5
  capture_area "$main" context_menu.png 0
  xdotool key Escape

  keys "$main" ctrl+c  # Options > Settings...
  dialog=$(find_window "$4")
  capture "$dialog" settings_general.png
  keys "$dialog" ctrl+Tab
  capture "$dialog" settings_how_to_save.png
  if cmp -s "$here/settings_general.png" "$here/settings_how_to_save.png"; then
    echo "screenshots: the settings dialog did not turn to its second page" >&2
    exit 1
  fi
  keys "$dialog" Escape
  quit_app "$main" "$app_pid"

  # --- Progress window: a run long enough to be caught in the middle.
  mkdir -p "$work/large"
  convert -size 1600x1600 -seed 7 plasma:fractal -dither None -colors 256 -type Palette \
    "BMP3:$work/large/picture-01.bmp"
  for i in $(seq -w 2 12); do cp "$work/large/picture-01.bmp" "$work/large/picture-$i.bmp"; done
  make_app "$work/app-large" "$work/converted-large" 9
  (cd "$work" && exec "$work/app-large/kelvara" large) &
  app_pid=$!
  pids+=("$app_pid")
  main=$(find_window "^$3\$")
  progress=$(find_window "$5" 60)
  deadline=$((SECONDS + 120))
  until (($(find "$work/converted-large" -type f 2>/dev/null | wc -l) >= 5)); do
    ((SECONDS < deadline)) || { echo "screenshots: the long run does not advance" >&2; exit 1; }
    sleep 0.1
  done
  capture "$progress" progress_window.png
  wait_for_run_end "$work/converted-large" 600 "$5"
  quit_app "$main" "$app_pid"
  echo "screenshots: $1 done; $(find "$work/converted" -type f | wc -l) files converted or copied from examples/"
}

take_pictures C.UTF-8 "$out" "Kelvara Image Converter" "Settings" "^Converting"
take_pictures ja_JP.UTF-8 "$out/ja" "Kelvaraイメージコンバータ" "設定" "^変換中"
