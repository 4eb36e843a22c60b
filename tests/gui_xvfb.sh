#!/bin/sh
# Runs COMMAND (with its arguments) under a private X server, the way every
# display test runs: one 1280x1024 screen, GTK on X11 with the Adwaita theme
# and settings kept in memory, no accessibility bus, fonts from the DejaVu
# directory only (the generic families named after them: "Monospace" is
# fixed-width, as the console's default font must be), and a fresh home,
# configuration and cache directory.
# Exits 77 (skipped) when no X server starts; under CI=true that is a
# failure instead: display tests are never skipped silently there.
# Fails (status 1) when anything under it prints a GTK or GLib warning or
# critical on stderr, even if the command itself passed: those messages name
# faults (a widget misused, a signal on a destroyed object) that pixels and
# events may not show. Test scripts that keep a process's stderr in a file
# copy it to their own stderr so that it is seen here too.
# Usage: gui_xvfb.sh COMMAND [ARG...]
skip() {
  echo "gui_xvfb.sh: $1"
  if [ "$CI" = true ]; then exit 1; fi
  exit 77
}
command -v xvfb-run >/dev/null 2>&1 || skip "xvfb-run not found"
fonts=/usr/share/fonts/truetype/dejavu
[ -d "$fonts" ] || skip "no DejaVu fonts in $fonts"
home=$(mktemp -d) || exit 1
trap 'rm -rf "$home"' EXIT
mkdir -p "$home/config" "$home/cache"
cat >"$home/fonts.conf" <<CONF
<?xml version="1.0"?>
<!DOCTYPE fontconfig SYSTEM "fonts.dtd">
<fontconfig>
  <dir>$fonts</dir>
  <cachedir>$home/cache/fontconfig</cachedir>
  <alias><family>Monospace</family><prefer><family>DejaVu Sans Mono</family></prefer></alias>
  <alias><family>Sans</family><prefer><family>DejaVu Sans</family></prefer></alias>
  <alias><family>Serif</family><prefer><family>DejaVu Serif</family></prefer></alias>
</fontconfig>
CONF
server="-screen 0 1280x1024x24"
xvfb-run -a -s "$server" true >/dev/null 2>&1 || skip "no X server starts"
# stderr goes on to ours as it comes and into a log that is searched at the
# end; the command's status travels through a file, past the pipe.
{
  env -u WAYLAND_DISPLAY NO_AT_BRIDGE=1 GDK_BACKEND=x11 GTK_THEME=Adwaita GSETTINGS_BACKEND=memory \
    FONTCONFIG_FILE="$home/fonts.conf" HOME="$home" XDG_CONFIG_HOME="$home/config" XDG_CACHE_HOME="$home/cache" \
    xvfb-run -a -s "$server" "$@" 2>&1 1>&3 3>&-
  echo $? >"$home/status"
} 3>&1 | tee "$home/stderr" >&2
status=$(cat "$home/status")
# GLib's log lines: "(prog:pid): Domain-WARNING **: ..." or "... CRITICAL **: ..."
if grep -E '(^|[ (:-])(WARNING|CRITICAL) \*\*' "$home/stderr" >"$home/glib" 2>/dev/null; then
  echo "gui_xvfb.sh: GTK or GLib warnings on stderr (status $status):" >&2
  cat "$home/glib" >&2
  exit 1
fi
exit "$status"
