#!/bin/sh
# Start-up from the executable's boot image.
#   boot_image_checks.sh QEL-HEADLESS OTHER-EXECUTABLE OBJCOPY
# - The image is taken, and a process started from it holds what a process
#   started from the boot data holds: the whole system object and every
#   word of the library, in an environment unlike the build's (another
#   directory, home, cache, time zone, arguments with blanks and quotes).
# - An image that is damaged (a byte of its data, of its header), comes
#   from another build (OTHER-EXECUTABLE's), or is cut short is refused,
#   each for its reason, and start-up runs from the boot data: the script's
#   answers are right.
# - QEL_BOOT_IMAGE=0 starts from the boot data, QEL_BOOT_SOURCE=1 from the
#   sources (the process checks start qel under the collector stressed
#   during start-up, which takes no image either).
# - The image's pages stay shared: a collection copies next to none of
#   them (it keeps its marks elsewhere). The library's data the program
#   drops is reclaimed without moving what the image holds, and the program
#   answers as it does from the boot data, under the collector stress too.
qel=$1
other=$2
objcopy=$3
fail=0
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
ok() { echo "ok   $1"; }
bad() { echo "FAIL $1"; fail=1; }

# What start-up leaves: every word of the global context, its type and
# value, and the system object whole (molded with its functions' bodies);
# after a collection (which walks the C++ tables of marks), the class id
# the next object takes and an event! made (the datatype start-up
# registers last).
cat > "$tmp/state.qel" <<'EOF'
Qel []
recycle
foreach w words-of system/words [
	set/any 'v get/any w
	prin [mold w mold type? get/any 'v ""]
	either unset? get/any 'v [print ""][print mold/all/flat/part :v 200000]
]
print mold/all/flat/part system 20000000
print [system/state/GC/series-cycles system/state/GC/nodes-cycles]
print [class-of make object! [a: 1] mold make event! [type: key key: #"a"]]
EOF
printf 'Qel []\nprint [1 + 2 system/options/path system/options/args system/script/args]\n' > "$tmp/small.qel"
mkdir "$tmp/home" "$tmp/dir"

# state IMAGE: the state of a process started in $tmp/dir, by the image
# (1) or from the boot data (0); start-up says which on standard error.
state() {
  (cd "$tmp/dir" && env QEL_BOOT_IMAGE=$1 QEL_BOOT_REPORT=1 HOME="$tmp/home" XDG_CACHE_HOME="$tmp/cache" \
     TZ=Asia/Kolkata LANG=C.UTF-8 "$qel" "$tmp/state.qel" "an argument" 'a "quoted" one' "" last)
}

why=$(QEL_BOOT_REPORT=1 "$qel" "$tmp/small.qel" 2>&1 >/dev/null)
if [ "$why" = "boot image: taken" ]; then ok "the image is taken"; else bad "the image is not taken: $why"; fi

state 0 > "$tmp/from-data" 2>"$tmp/why-data"
state 1 > "$tmp/from-image" 2>"$tmp/why"
if [ "$(cat "$tmp/why")" != "boot image: taken" ]; then
  bad "the image is not taken in the comparison: $(cat "$tmp/why")"
elif [ "$(cat "$tmp/why-data")" != "boot image: not taken: the environment asks for the boot data" ]; then
  bad "QEL_BOOT_IMAGE=0 takes the image: $(cat "$tmp/why-data")"
elif ! grep -q "^system object! " "$tmp/from-data" || ! grep -q "cache: %$tmp/cache/qel/ " "$tmp/from-data"; then
  bad "the state was not written: $(head -c 300 "$tmp/from-data")"
elif cmp -s "$tmp/from-data" "$tmp/from-image"; then
  ok "a start from the image holds what a start from the boot data holds"
else
  bad "the image's start differs from the boot data's:"
  diff "$tmp/from-data" "$tmp/from-image" | head -c 3000
fi

# The minor page faults of the first collection (each page of the image a
# collection writes is copied at a fault): a collection that wrote the
# marks into the image copied some 450 of its pages.
cat > "$tmp/faults.qel" <<'EOF'
Qel []
faults: does [to integer! pick split to string! read %/proc/self/stat " " 10]
before: faults
recycle
print faults - before
EOF
# Under the sanitizers the shadow memory's own faults swamp the count.
faults=$(QEL_BOOT_IMAGE=1 "$qel" "$tmp/faults.qel")
if [ "${QEL_BUILD:-}" = sanitized ]; then
  :
elif [ -n "$faults" ] && [ "$faults" -lt 100 ]; then
  ok "a collection copies few of the image's pages ($faults faults)"
else
  bad "a collection copies the image's pages: $faults faults"
fi

# The library's functions dropped (the image's buffers die in place), then
# the program allocates, grows a block the library made, and collects.
cat > "$tmp/drop.qel" <<'EOF'
Qel []
keep: [print recycle split]
n: 0
foreach w words-of system/words [
	if all [function? get/any w not find keep w] [set w none n: n + 1]
]
recycle
b: copy []
repeat i 20000 [append b mold i]
recycle
grown: system/options/module-paths
repeat i 1000 [append grown i]
recycle
recycle
sum: 0
foreach s b [sum: sum + length? s]
print [n > 100 length? b sum b/12345 length? grown grown/1000]
EOF
drop_data=$(QEL_BOOT_IMAGE=0 "$qel" "$tmp/drop.qel" 2>&1)
drop_image=$(QEL_BOOT_IMAGE=1 "$qel" "$tmp/drop.qel" 2>&1)
drop_stress=$(QEL_GC_STRESS=1 QEL_BOOT_IMAGE=1 "$qel" "$tmp/drop.qel" 2>&1)
if [ "$drop_data" != "true 20000 88894 12345 1000 1000" ]; then
  bad "dropping the library's data: $drop_data"
elif [ "$drop_image" != "$drop_data" ] || [ "$drop_stress" != "$drop_data" ]; then
  bad "dropping the image's data: '$drop_image', under the stress '$drop_stress'"
else
  ok "the image's data dropped is reclaimed in place"
fi

# The answers of the small script from the boot data, which every refused
# image must give too.
want=$(QEL_BOOT_IMAGE=0 "$qel" "$tmp/small.qel" x 2>&1)

# starts NAME REPORT EXECUTABLE [VAR=VALUE...]: the executable (in that
# environment) says REPORT of its start and answers as the boot data does.
starts() {
  name=$1; report=$2; exe=$3; shift 3
  got=$(env "$@" QEL_BOOT_REPORT=1 "$exe" "$tmp/small.qel" x 2>"$tmp/err")
  if [ "$(cat "$tmp/err")" != "boot image: $report" ]; then
    bad "$name: $(cat "$tmp/err")"
  elif [ "$got" != "$want" ]; then
    bad "$name: answers '$got', not '$want'"
  else
    ok "$name: $report, and the answers are right"
  fi
}
refused() { starts "$1" "refused: $2" "$3"; }

# with IMAGE-FILE COPY: a copy of qel carrying the image file (of qel
# without its debugging sections, which are large: the build identity and
# the image stay).
"$objcopy" --strip-debug "$qel" "$tmp/base" || bad "objcopy cannot copy qel"
with() {
  "$objcopy" --update-section .qel.image="$1" "$tmp/base" "$2" || { bad "objcopy failed"; return 1; }
}

"$objcopy" --dump-section .qel.image="$tmp/image" "$tmp/base" "$tmp/unused" || bad "objcopy cannot read the image"
size=$(wc -c < "$tmp/image")

# flip FILE OFFSET: changes the byte at the offset.
flip() {
  byte=$(od -An -tu1 -j "$2" -N1 "$1" | tr -d ' ')
  printf "$(printf '\\%03o' $(( (byte + 1) % 256 )))" | dd of="$1" bs=1 seek="$2" conv=notrunc 2>/dev/null
}

cp "$tmp/image" "$tmp/data-byte"
flip "$tmp/data-byte" $((size * 2 / 3))
with "$tmp/data-byte" "$tmp/qel-data-byte" && refused "an image with a damaged byte" "its bytes are damaged" "$tmp/qel-data-byte"

cp "$tmp/image" "$tmp/header-byte"
flip "$tmp/header-byte" 20
with "$tmp/header-byte" "$tmp/qel-header-byte" && refused "an image with a damaged header" "its header is damaged" "$tmp/qel-header-byte"

"$objcopy" --dump-section .qel.image="$tmp/foreign" "$other" "$tmp/unused" || bad "objcopy cannot read the other image"
with "$tmp/foreign" "$tmp/qel-foreign" && refused "the image of another build" "it comes from another build" "$tmp/qel-foreign"

head -c $((size / 2)) "$tmp/image" > "$tmp/short"
with "$tmp/short" "$tmp/qel-short" && refused "an image cut short" "it is truncated" "$tmp/qel-short"

head -c 100 "$tmp/image" > "$tmp/stub"
with "$tmp/stub" "$tmp/qel-stub" && refused "an image shorter than its header" "it is shorter than its header" "$tmp/qel-stub"

starts "QEL_BOOT_SOURCE=1" "not taken: the environment asks for start-up from the library" "$qel" \
  QEL_BOOT_SOURCE=1
exit $fail
