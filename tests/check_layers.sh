#!/bin/sh
# Keeps the layers, the cell layouts and the stack tops apart. Run by ctest
# with the source directory as argument.
#
#  1. Layers include only downward. Each layer names the headers it may
#     include ("folder/" a whole folder and what is under it, anything else
#     one header), and may name folders under those it may not include:
#       platform/         the thin layer over Linux: only itself
#       runtime/          platform/, not runtime/codecs/; it holds the
#                         tables through which the layers below reach those
#                         above: runtime/api.hpp (the native API and the
#                         evaluator services) and runtime/io_services.hpp
#                         (the I/O of file! and url!)
#       runtime/codecs/   the pure codecs (base 2/16/58/64, deflate, LZ,
#                         checksums): runtime/ and platform/
#       datatypes/        runtime/ (its codecs too) and below
#       io/               datatypes/ and below
#       eval/             io/ and below: the evaluator and the natives
#       library/native/   the bodies of the library's routines in C++ (the
#                         built-in ones, the wired ones, JSON, CSV): eval/
#                         and below
#       view/             the GUI core side: eval/ and below, and the
#                         backend module's table (view/backend/entry.hpp)
#                         that its loader (view/module.*) opens
#       view/backend/     the GUI backend: view/ and below but eval/
#       view/backend/draw/   the draw engine: nothing else of the backend
#       view/backend/text/   the text engine: the draw engine, nothing else
#                            of the backend
#       console/          the consoles and the terminal's routines: view/,
#                         library/native/ and below, not console/boot/
#       console/boot/     start-up, registration and the boot program, on
#                         top: anything
#       tests/, bench/, tools/ (bench/backend/: benchmarks of the backend
#                         beside GTK called directly): anything
#     Every folder that holds C++ sources belongs to one of them: a new
#     folder gets its rule here first.
#  2. GTK, GDK, cairo, pango and GLib headers are included only in
#     view/backend/ (the module opened at first use), and in benchmarks
#     that measure the drawing against cairo and pango called directly
#     (bench/).
#  3. Natives, actions and callbacks never move the stack tops by hand
#     (`stack::top = ...`, `stack::base = ...`, `stack::ctop = ...`, ++/--):
#     they use api::Values, stack::Mark and stack::Snapshot. Only runtime/
#     and the evaluator (eval/interpreter*, which keeps its own stacks and
#     implements the native API) may; tests and benchmarks set up stacks by
#     hand.
#  4. Payload words of cells (->w1, .w2, ...) are read and written only by
#     their owners: runtime/cell.hpp, runtime/context_record.hpp, the hash
#     tables (runtime/hash.*, which own their records and symbol entries),
#     runtime/check.cpp (prints a failing cell), the lexer's open-series
#     markers (eval/lexer_state.hpp) and each datatype's header
#     (datatypes/*.hpp, which owns its cell and record layouts and names
#     accessors for them). Everyone else uses the named accessors.
#  5. Inside the GUI backend (view/backend/) the files stand on floors: no
#     include leads from a file back to itself. A room is a source with its
#     header (x.cpp and x.hpp); the floors, from the bottom: the toolkit's
#     start (display), the guard, the container, the draw engine and the
#     text engine over it (rule 1 keeps the folders apart), screens and
#     set-up; the window records (windows); the event road
#     (input, input_method, translate, loop); the painters (base, painter);
#     the widgets (widgets, then lists, tabs, menus, calendar, camera,
#     button_images, dialogs, then widget_items); the procedures and the
#     view builder; the module's table on top. The upper floors reach down
#     only; what a lower floor must call above it (a window's clean-up when
#     its widget goes, the widgets' context menus) is registered with it.
src=${1:-.}
cd "$src" || exit 2
fail=0

# sources DIR [DEPTH]: the C++ files of a folder (DEPTH 1: not its subfolders).
sources() {
  if [ "$2" = 1 ]; then
    find "$1" -maxdepth 1 -type f \( -name '*.cpp' -o -name '*.hpp' -o -name '*.h' -o -name '*.inc' \) 2>/dev/null | sort
  else
    find "$1" -type f \( -name '*.cpp' -o -name '*.hpp' -o -name '*.h' -o -name '*.inc' \) 2>/dev/null | sort
  fi
}

# layer NAME "FILES" "ALLOWED" ["DENIED"]: every quoted include of the files
# names a header the layer may include: one ALLOWED names, or one under an
# ALLOWED folder and not under a DENIED one inside it (the longest folder
# that holds the header decides).
layer() {
  name=$1
  files=$2
  allowed=$3
  denied=$4
  [ -n "$files" ] || return 0
  # shellcheck disable=SC2086
  bad=$(grep -Hn '^[[:space:]]*#[[:space:]]*include[[:space:]]*"' $files | awk -v allowed="$allowed" -v denied="$denied" '
    BEGIN { n = split(allowed, a, " "); m = split(denied, d, " ") }
    {
      line = $0
      sub(/^[^"]*"/, "", line); sub(/".*$/, "", line)
      allow = 0; deny = 0; exact = 0
      for (i = 1; i <= n; i++) {
        p = a[i]
        if (substr(p, length(p)) == "/") { if (index(line, p) == 1 && length(p) > allow) allow = length(p) }
        else if (line == p) exact = 1
      }
      for (i = 1; i <= m; i++) if (index(line, d[i]) == 1 && length(d[i]) > deny) deny = length(d[i])
      if (allow <= deny && !exact) print
    }')
  if [ -n "$bad" ]; then
    echo "$name includes a header it may not (it may include: $allowed${denied:+; not $denied}):"; echo "$bad"; fail=1
  fi
}

PLATFORM=$(sources platform 1)
RUNTIME=$(sources runtime 1)
CODECS=$(sources runtime/codecs)
DATATYPES=$(sources datatypes 1)
IO=$(sources io 1)
EVAL=$(sources eval 1)
NATIVE=$(sources library/native)
VIEW=$(sources view 1)
BACKEND=$(sources view/backend)
DRAW=$(sources view/backend/draw)
TEXT=$(sources view/backend/text)
CONSOLE=$(sources console 1)
BOOT=$(sources console/boot)
FREE="$(sources tests) $(sources bench) $(sources tools)"

layer platform/ "$PLATFORM" "platform/"
layer runtime/ "$RUNTIME" "runtime/ platform/" "runtime/codecs/"
layer runtime/codecs/ "$CODECS" "runtime/ platform/"
layer datatypes/ "$DATATYPES" "datatypes/ runtime/ platform/"
layer io/ "$IO" "io/ datatypes/ runtime/ platform/"
layer eval/ "$EVAL" "eval/ io/ datatypes/ runtime/ platform/"
layer library/native/ "$NATIVE" "library/native/ eval/ io/ datatypes/ runtime/ platform/"
layer view/ "$VIEW" "view/ view/backend/entry.hpp eval/ io/ datatypes/ runtime/ platform/" "view/backend/"
layer view/backend/ "$BACKEND" "view/ io/ datatypes/ runtime/ platform/"
layer view/backend/draw/ "$DRAW" "view/backend/draw/ view/ io/ datatypes/ runtime/ platform/" "view/backend/"
layer view/backend/text/ "$TEXT" "view/backend/text/ view/backend/draw/ view/ io/ datatypes/ runtime/ platform/" "view/backend/"
layer console/ "$CONSOLE" "console/ view/ library/native/ eval/ io/ datatypes/ runtime/ platform/" "console/boot/"

# Every C++ source belongs to a layer.
known=$(printf '%s\n' $PLATFORM $RUNTIME $CODECS $DATATYPES $IO $EVAL $NATIVE $VIEW $BACKEND $CONSOLE $BOOT $FREE | sort -u)
all=$(find . -path ./.git -prune -o -path './build*' -prune -o -type f \
        \( -name '*.cpp' -o -name '*.hpp' -o -name '*.h' -o -name '*.inc' \) -print | sed 's#^\./##' | sort)
stray=$(printf '%s\n' "$all" | grep -vxF "$known")
if [ -n "$stray" ]; then
  echo "C++ sources in a folder without a layer rule (add one to tests/check_layers.sh):"; echo "$stray"; fail=1
fi

# GUI toolkit headers only in the backend. (Each check below greps all its
# files in one process: a process per file made this script the longest
# test of a pass.)
files=""
for f in $all; do
  case "$f" in view/backend/*|bench/*) ;; *) files="$files $f" ;; esac
done
# shellcheck disable=SC2086
for f in $(grep -lE '^[[:space:]]*#[[:space:]]*include[[:space:]]*<(gtk|gdk|gdk-pixbuf|cairo|pango|glib|gio|gobject)[/.-]' $files); do
  echo "$f includes a GUI toolkit header: only view/backend/ may"; fail=1
done

# Stack tops moved by hand.
STACK_MOVE='stack::(top|base|ctop)[[:space:]]*([-+]?=[^=]|\+\+|--)|(\+\+|--)[[:space:]]*stack::(top|base|ctop)'
files=""
for f in $DATATYPES $CODECS $IO $EVAL $NATIVE $VIEW $BACKEND $CONSOLE $BOOT; do
  case "$f" in eval/interpreter*) ;; *) files="$files $f" ;; esac
done
# shellcheck disable=SC2086
for f in $(grep -lE "$STACK_MOVE" $files); do
  echo "$f moves a stack top by hand (use api::Values, stack::Mark or stack::Snapshot):"
  grep -nE "$STACK_MOVE" "$f" | head -5; fail=1
done

# Raw cell payload words outside their owners.
PAYLOAD='(->|\.)w[123]\b'
OWNERS="runtime/cell.hpp runtime/context_record.hpp runtime/hash.cpp runtime/hash.hpp runtime/check.cpp eval/lexer_state.hpp"
files=""
for f in $all; do
  case " $OWNERS " in *" $f "*) continue ;; esac
  case "$f" in datatypes/*.hpp|tools/*) continue ;; tests/unit/*) ;; tests/*) continue ;; esac
  files="$files $f"
done
# shellcheck disable=SC2086
for f in $(grep -lE "$PAYLOAD" $files); do
  echo "raw cell payload access outside its owner in $f (use the accessors):"
  grep -nE "$PAYLOAD" "$f" | head -5; fail=1
done

# Include loops inside the backend: every include between two rooms is an
# edge, and tsort finds a loop among them.
backend_edges() {
  # shellcheck disable=SC2086
  grep -oH '^[[:space:]]*#[[:space:]]*include[[:space:]]*"view/backend/[^"]*"' $BACKEND |
    awk '{
      from = $0; sub(/:.*$/, "", from); sub(/\.[^.]*$/, "", from)
      to = $0; sub(/^[^"]*"/, "", to); sub(/".*$/, "", to); sub(/\.[^.]*$/, "", to)
      if (to != from) print from, to
    }'
}
if ! loops=$(backend_edges | tsort 2>&1 >/dev/null) || [ -n "$loops" ]; then
  echo "view/backend/ has an include loop (a file includes its way back to itself):"; echo "$loops"; fail=1
fi

[ $fail = 0 ] && echo "layers, stack tops and cell layouts: ok"
exit $fail
