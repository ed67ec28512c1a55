# Sourced by the scripts that run Windows programs under Wine.
#
# wine_loader x86|x64 prints the Wine loader for that architecture and returns
# 0, or prints why no loader runs here and returns 1: Wine may be missing, or
# the machine may not execute 32-bit programs at all.
wine_loader() {
  local loader out
  case $1 in
    # Debian's wine command falls back to the 64-bit loader without wine32,
    # and that one cannot run 32-bit programs.
    x86) loader=$(command -v wine || true)
      if [ -n "$loader" ] && [ -d /usr/lib/wine ] && [ ! -x /usr/lib/wine/wine ]; then
        echo "32-bit Wine (wine32:i386) is not installed"
        return 1
      fi ;;
    # Debian puts the 64-bit loader in /usr/lib/wine, outside PATH.
    x64) loader=$(command -v wine64 || true)
      if [ -z "$loader" ] && [ -x /usr/lib/wine/wine64 ]; then loader=/usr/lib/wine/wine64; fi ;;
    *) echo "unknown architecture '$1'"; return 1 ;;
  esac
  if [ -z "$loader" ]; then
    echo "Wine is not installed"
    return 1
  fi
  if ! out=$(timeout 60 "$loader" --version </dev/null 2>&1); then
    echo "the Wine loader $loader does not run on this machine: $(tail -n 1 <<<"$out")"
    return 1
  fi
  echo "$loader"
}
