# Sourced by the test and demo scripts: starts a throwaway Wine prefix and, when there is no display or
# VORN_XVFB=1, a private Xvfb. `vorn_wine_start` exports WINEPREFIX and DISPLAY; `vorn_wine_stop` ends the
# Wine session, the X server and removes the prefix (unless VORN_KEEP_PREFIX=1).

vorn_wine_start() {
  export WINEDEBUG=${WINEDEBUG:--all}
  # A 64-bit prefix runs 32-bit and 64-bit programs, as 64-bit Windows does; VORN_WINEARCH=win32 makes a 32-bit
  # one, as on 32-bit Windows.
  export WINEARCH=${VORN_WINEARCH:-win64}
  # No Mono or Gecko installer prompt may appear: the launcher's browser panel falls back to its text.
  export WINEDLLOVERRIDES=${WINEDLLOVERRIDES:-"mscoree=;mshtml="}
  VORN_PREFIX_CREATED=""
  if [ -z "${WINEPREFIX:-}" ] || [ "${VORN_FRESH_PREFIX:-1}" = 1 ]; then
    export WINEPREFIX=$(mktemp -d /tmp/vorn-wine.XXXXXX)
    VORN_PREFIX_CREATED=$WINEPREFIX
  fi

  VORN_XVFB_PID=""
  if [ -z "${DISPLAY:-}" ] || [ "${VORN_XVFB:-0}" = 1 ]; then
    local n
    for n in $(seq 90 140); do
      [ -e "/tmp/.X$n-lock" ] || [ -e "/tmp/.X11-unix/X$n" ] && continue
      Xvfb ":$n" -screen 0 1280x800x24 -nolisten tcp >/dev/null 2>&1 &
      VORN_XVFB_PID=$!
      export DISPLAY=":$n"
      local i
      for i in $(seq 1 50); do
        [ -e "/tmp/.X11-unix/X$n" ] && break
        sleep 0.1
      done
      break
    done
  fi

  # Start the session with output going nowhere: Wine's background services inherit the standard handles of
  # whatever starts them, and a runner capturing output would otherwise wait on them for ever.
  # A persistent server keeps the session alive between the programs of a run.
  wineserver -p </dev/null >/dev/null 2>&1 || true
  wineboot -i </dev/null >/dev/null 2>&1 || true
  # The boot leaves Wine's services (RPC, plug and play, the device drivers) ending while the next program
  # already starts a second set: the two lock each other's service database and a program that asks for the
  # RPC service (a browser object does) waits 3 to 10 s and goes without, every time. So the boot's session
  # ends first, and the session proper starts its services once, from a program that waits all session long
  # for a line that never comes: without it Wine would end them after every program and start them again,
  # one after another, for the next.
  wineserver -k </dev/null >/dev/null 2>&1 || true
  wineserver -w </dev/null >/dev/null 2>&1 || true
  wineserver -p </dev/null >/dev/null 2>&1 || true
  local keeper=$WINEPREFIX/vorn-session-keeper
  rm -f "$keeper"
  mkfifo "$keeper"
  wine cmd.exe /c "set /p line=" <"$keeper" >/dev/null 2>&1 &
  exec {VORN_KEEPER_FD}>"$keeper"
  # So does the desktop, which the first window of the session would otherwise start with that program's
  # output handles: a runner reading the program's output would wait for the desktop to end.
  wine explorer.exe /desktop </dev/null >/dev/null 2>&1 &
  # The program asks for these faces; map them to the CJK font installed on the machine.
  local face
  for face in "Microsoft YaHei UI" "Microsoft YaHei" "宋体" "SimSun" "Tahoma" "MS Shell Dlg" "MS Shell Dlg 2"; do
    wine reg add 'HKCU\Software\Wine\Fonts\Replacements' /v "$face" /t REG_SZ /d "WenQuanYi Micro Hei" /f \
      </dev/null >/dev/null 2>&1 || true
  done
}

vorn_wine_stop() {
  if [ -n "${VORN_KEEPER_FD:-}" ]; then
    exec {VORN_KEEPER_FD}>&-
    VORN_KEEPER_FD=""
  fi
  wineserver -k </dev/null >/dev/null 2>&1 || true
  if [ -n "${VORN_XVFB_PID:-}" ]; then
    kill "$VORN_XVFB_PID" 2>/dev/null || true
    wait "$VORN_XVFB_PID" 2>/dev/null || true
  fi
  if [ -n "${VORN_PREFIX_CREATED:-}" ] && [ "${VORN_KEEP_PREFIX:-0}" != 1 ]; then
    rm -rf "$VORN_PREFIX_CREATED"
  fi
}
