# Shared helpers for the scripts in this folder; source it, do not run it.
set -euo pipefail

KELPORA_ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
KELPORA_JOBS="${KELPORA_JOBS:-2}"

as_root() {
  if [ "$(id -u)" -eq 0 ]; then "$@"; else sudo "$@"; fi
}

# Installs whatever package scripts/packages/*.txt lists and is missing; a
# no-op once everything is there.
ensure_packages() {
  local wanted missing=()
  wanted=$(cat "$KELPORA_ROOT"/scripts/packages/*.txt | sed -e 's/#.*//' -e '/^\s*$/d' | sort -u)
  for pkg in $wanted; do
    if ! dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q 'install ok installed'; then
      missing+=("$pkg")
    fi
  done
  if [ ${#missing[@]} -gt 0 ]; then
    echo "Installing: ${missing[*]}"
    as_root apt-get update -qq
    as_root env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${missing[@]}"
  fi
}

# configure_and_build <build dir> [cmake options...]
configure_and_build() {
  local dir="$1"; shift
  cmake -S "$KELPORA_ROOT" -B "$dir" "$@" >/dev/null
  cmake --build "$dir" -j"$KELPORA_JOBS"
}

KELPORA_SERVER_PIDS=()
stop_servers() {
  local pid
  for pid in "${KELPORA_SERVER_PIDS[@]}"; do kill "$pid" 2>/dev/null || true; done
}

# Starts Xvfb of `size` (WIDTHxHEIGHTxDEPTH) on a free display and puts its
# name (":N") in the variable named `var`; the display supports GLX through Mesa.
launch_xvfb() {
  local size="$1" var="$2" fifo display
  fifo=$(mktemp -u)
  mkfifo "$fifo"
  Xvfb -displayfd 3 -screen 0 "$size" -nolisten tcp +extension GLX 3>"$fifo" >/dev/null 2>&1 &
  KELPORA_SERVER_PIDS+=($!)
  read -r -t 20 display <"$fifo" || { echo "Xvfb did not start" >&2; rm -f "$fifo"; return 1; }
  rm -f "$fifo"
  printf -v "$var" ':%s' "$display"
  export "${var?}"
}

# Starts Xvfb on a free display and exports DISPLAY.
start_xvfb() {
  launch_xvfb 1280x1024x24 DISPLAY || return 1
  echo "Xvfb running on $DISPLAY"
}

# Starts a second Xvfb with the openbox window manager on it and exports its
# display as KELPORA_WM_DISPLAY, for the tests of windows that a window
# manager resizes and puts in full screen. Returns once openbox has taken the
# screen (it names its check window on the root).
start_xvfb_with_openbox() {
  launch_xvfb 1024x768x24 KELPORA_WM_DISPLAY || return 1
  DISPLAY="$KELPORA_WM_DISPLAY" openbox --sm-disable >/dev/null 2>&1 &
  KELPORA_SERVER_PIDS+=($!)
  for _ in $(seq 200); do
    DISPLAY="$KELPORA_WM_DISPLAY" xprop -root _NET_SUPPORTING_WM_CHECK 2>/dev/null | grep -q 'window id' && break
    sleep 0.1
  done
  DISPLAY="$KELPORA_WM_DISPLAY" xprop -root _NET_SUPPORTING_WM_CHECK 2>/dev/null | grep -q 'window id' ||
    { echo "openbox did not start on $KELPORA_WM_DISPLAY" >&2; return 1; }
  echo "Xvfb with openbox running on $KELPORA_WM_DISPLAY"
}

# Starts Xorg with the dummy video driver on a free display and exports it as
# KELPORA_XORG_DISPLAY: a real server with the XFree86-VidModeExtension and GLX
# for the full-screen tests (Xvfb has no video modes).
start_xorg_dummy() {
  local fifo display logdir sudo=()
  fifo=$(mktemp -u)
  mkfifo "$fifo"
  logdir=$(mktemp -d)
  # Not through as_root: a backgrounded function is a subshell, and killing
  # that at the end would leave the server running.
  [ "$(id -u)" -eq 0 ] || sudo=(sudo)
  "${sudo[@]}" Xorg -displayfd 3 -noreset -nolisten tcp -config "$KELPORA_ROOT/tests/graphics/xorg-dummy.conf" \
    -logfile "$logdir/xorg.log" 3>"$fifo" >/dev/null 2>&1 &
  KELPORA_SERVER_PIDS+=($!)
  read -r -t 30 display <"$fifo" || {
    echo "Xorg (dummy driver) did not start; see $logdir/xorg.log" >&2
    rm -f "$fifo"
    return 1
  }
  rm -f "$fifo"
  export KELPORA_XORG_DISPLAY=":$display"
  echo "Xorg (dummy driver) running on $KELPORA_XORG_DISPLAY"
}

# Starts a PulseAudio server with a null sink in a private runtime directory
# and exports KELPORA_PULSE_SINK (its name) and XDG_RUNTIME_DIR (where clients
# find it). Programs get a /dev/dsp through its OSS emulation library in LD_PRELOAD.
start_pulseaudio() {
  local dir
  dir=$(mktemp -d)
  export XDG_RUNTIME_DIR="$dir"
  # Without shared memory: the server's memfd import aborts now and then when
  # many short-lived clients come and go (it did in a full test run).
  pulseaudio --daemonize=no --exit-idle-time=-1 --system=false -n --disable-shm=yes \
    --load="module-null-sink sink_name=kelpora" --load=module-native-protocol-unix \
    >"$dir/pulseaudio.log" 2>&1 &
  KELPORA_SERVER_PIDS+=($!)
  for _ in $(seq 100); do
    pactl info >/dev/null 2>&1 && break
    sleep 0.1
  done
  pactl info >/dev/null 2>&1 || { echo "PulseAudio did not start; see $dir/pulseaudio.log" >&2; return 1; }
  export KELPORA_PULSE_SINK=kelpora
  echo "PulseAudio running with null sink $KELPORA_PULSE_SINK"
}

# True when every package of scripts/packages/*.txt is installed, asked in one
# query: what a script that starts something at once checks before falling
# back to ensure_packages, which asks one package at a time.
packages_installed() {
  local wanted status
  wanted=$(cat "$KELPORA_ROOT"/scripts/packages/*.txt | sed -e 's/#.*//' -e '/^\s*$/d' | sort -u)
  # shellcheck disable=SC2086 # one package name per word
  status=$(dpkg-query -W -f='${db:Status-Abbrev}\n' $wanted 2>/dev/null) || return 1
  ! grep -qv '^ii' <<<"$status"
}
