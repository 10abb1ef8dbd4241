# A display and a Wine session of their own, for programs that show windows: a Wine session
# first started without a display cannot show them reliably.
#   start_wine_display   sets DISPLAY and WINEPREFIX (a new one) and starts the session
#   stop_wine_display    ends both
start_wine_display() {
  wine_display_prefix=$(mktemp -d /tmp/kestrune-wine-display.XXXXXX)
  local fd_file
  fd_file=$(mktemp)
  Xvfb -displayfd 3 -screen 0 1280x960x24 -nolisten tcp 3>"$fd_file" >/dev/null 2>&1 &
  wine_display_server=$!
  local waited=0
  while [ ! -s "$fd_file" ] && [ $waited -lt 100 ]; do
    sleep 0.1
    waited=$((waited + 1))
  done
  [ -s "$fd_file" ] || { echo "Xvfb did not start" >&2; return 1; }
  DISPLAY=:$(head -n 1 "$fd_file")
  rm -f "$fd_file"
  export DISPLAY WINEPREFIX=$wine_display_prefix WINEDEBUG=-all
  export WINEDLLOVERRIDES="mscoree,mshtml="
  wineserver -p
  wineboot --init 2>/dev/null
}

stop_wine_display() {
  wineserver -k 2>/dev/null || true
  [ -n "${wine_display_server:-}" ] && kill "$wine_display_server" 2>/dev/null || true
  wait "${wine_display_server:-}" 2>/dev/null || true
  [ -n "${wine_display_prefix:-}" ] && rm -rf "$wine_display_prefix"
  wine_display_server= wine_display_prefix=
}
