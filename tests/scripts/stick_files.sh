# Sourced by the scripts that check a user's files across cut-off and
# stopped runs. Needs $program, $payload, $work and fail; mtools with
# MTOOLSRC=/dev/null and MTOOLS_SKIP_CHECK=1.

# The program puts the partition at LBA 32; fsck.fat and mtools look there.
stick_offset=16384
stick_fdos_files=(KERNEL.SYS COMMAND.COM CONFIG.SYS AUTOEXEC.BAT ThirdPartyLicenses.txt)

# make_user_stick IMAGE SIZE SEED FILES: a stick as a user has it, one FAT32
# partition made by the program without FreeDOS and filled with mtools:
# nested folders, FILES files of varied sizes (empty ones, many larger than
# the 512-byte cluster, a few of hundreds of KiB), long and accented names,
# an empty folder with the system attribute, a read-only hidden file and a
# system file. No CONFIG.SYS or AUTOEXEC.BAT: a user's own would replace
# FreeDOS's. Leaves the stick's tree as mtools read it back in
# $work/expected and its names with attributes in $work/expected.attr.
make_user_stick() {
  local image=$1 size=$2 seed=$3 count=$4 tree=$work/tree
  rm -rf "$tree" "$work/expected"
  python3 - "$tree" "$seed" "$count" <<'EOF'
import os, random, sys
root, seed, count = sys.argv[1], int(sys.argv[2]), int(sys.argv[3])
rng = random.Random(seed)
words = ["Docs", "Pictures", "Music", "Überblick", "A folder with a rather long name", "src"]
folders = [""]
for i in range(24):
    parent = rng.choice(folders)
    if parent.count("/") >= 4:
        parent = ""
    folders.append(os.path.join(parent, f"{rng.choice(words)} {i}" if i % 3 else f"D{i}"))
for folder in folders:
    os.makedirs(os.path.join(root, folder), exist_ok=True)
os.makedirs(os.path.join(root, "Empty folder"))
for i in range(count):
    if i % 97 == 0:
        size = 0
    elif i % 10 < 3:
        size = rng.randint(513, 70000)
    elif i % 10 < 9:
        size = rng.randint(1, 4000)
    else:
        size = rng.randint(100000, 300000)
    name = [f"file {i} with a long name.dat", f"F{i}.TXT", f"naïve {i}.bin", f"f{i}.c"][i % 4]
    with open(os.path.join(root, rng.choice(folders), name), "wb") as out:
        out.write(rng.randbytes(size))
EOF
  printf 'kept apart\r\n' >"$tree/Hidden notes.txt"
  printf 'system\r\n' >"$tree/SYSTEM.DAT"
  rm -f "$image"
  "$program" --yes --nofdos --size "$size" "$image" </dev/null 2>"$work/err.txt" ||
    fail "the blank stick could not be made: $(cat "$work/err.txt")"
  local fs=$image@@$stick_offset
  mcopy -s -i "$fs" "$tree"/* ::/
  mattrib -i "$fs" +r +h "::/Hidden notes.txt"
  mattrib -i "$fs" +s "::/Empty folder"
  mattrib -i "$fs" +s ::/SYSTEM.DAT
  mkdir "$work/expected"
  mcopy -s -n -i "$fs" '::/*' "$work/expected/"
  mattrib -/ -i "$fs" ::/ | sort >"$work/expected.attr"
  local files
  files=$(find "$work/expected" -type f | wc -l)
  [ "$files" -ge "$count" ] || fail "only $files files made it onto the user's stick"
  flags() { grep -F "::/$1" "$work/expected.attr" | sed 's/::.*//'; }
  [[ $(flags "Hidden notes.txt") == *R*H* || $(flags "Hidden notes.txt") == *H*R* ]] &&
    [[ $(flags SYSTEM.DAT) == *S* && $(flags "Empty folder") == *S* ]] &&
    [ -d "$work/expected/Empty folder" ] ||
    fail "the user's stick lacks its attributes or empty folder: $(grep -E 'Hidden|SYSTEM|Empty' "$work/expected.attr")"
}

# check_user_files WHAT DEVICE: every file of the user's stick is on DEVICE
# byte for byte, with its name and attributes; besides them only the
# FreeDOS files, KERNEL.SYS and COMMAND.COM those of the build.
check_user_files() {
  local what=$1 fs=$2@@$stick_offset file
  rm -rf "$work/got"
  mkdir "$work/got"
  # mtools say on a block device that it has no geometry; that is no fault.
  mcopy -s -n -i "$fs" '::/*' "$work/got/" 2>"$work/mtools.txt" ||
    fail "$what: the stick's files cannot be read: $(cat "$work/mtools.txt")"
  for file in KERNEL.SYS COMMAND.COM; do
    cmp -s "$work/got/$file" "$payload/$file" || fail "$what: $file is not FreeDOS's"
  done
  for file in "${stick_fdos_files[@]}"; do rm -f "$work/got/$file"; done
  diff -r "$work/expected" "$work/got" >"$work/diff.txt" ||
    fail "$what: the stick's files differ from the user's: $(head -20 "$work/diff.txt")"
  mattrib -/ -i "$fs" ::/ 2>"$work/mtools.txt" |
    grep -v -E "::/($(IFS='|'; echo "${stick_fdos_files[*]}"))$" | sort >"$work/got.attr"
  diff "$work/expected.attr" "$work/got.attr" >"$work/diff.txt" ||
    fail "$what: names or attributes differ from the user's: $(head -20 "$work/diff.txt")"
}

# fsck_findings DEVICE: fsck.fat -n on the stick's partition, its output in
# $work/fsck.txt; prints every line besides the version, the summary, the
# free-cluster count (a new file system leaves it unset) and lost clusters
# (counted by the caller: a file's clusters taken before its entry is
# written).
fsck_findings() {
  dd if="$1" of="$work/volume.img" bs=1M iflag=skip_bytes skip=$stick_offset conv=sparse status=none
  local status=0
  fsck.fat -n "$work/volume.img" >"$work/fsck.txt" 2>&1 || status=$?
  [ "$status" -le 1 ] || echo "fsck.fat exit $status"
  grep -v -E -e '^fsck\.fat [0-9.]+ \(' \
    -e "^$work/volume.img: [0-9]+ files?, [0-9]+/[0-9]+ clusters$" \
    -e '^Reclaimed [0-9]+ unused clusters? \([0-9]+ bytes\)\.$' \
    -e '^Free cluster summary (wrong \([0-9]+ vs\. really [0-9]+\)|uninitialized \(should be [0-9]+\))$' \
    -e '^  Auto-correcting\.$' -e '^Leaving filesystem unchanged\.$' -e '^$' \
    "$work/fsck.txt" || true
}

# check_clean_stick WHAT DEVICE: fsck.fat finds nothing on DEVICE, not
# even lost clusters.
check_clean_stick() {
  local findings
  findings=$(fsck_findings "$2")
  [ -z "$findings" ] && ! grep -q '^Reclaimed' "$work/fsck.txt" ||
    fail "$1: fsck.fat: $(cat "$work/fsck.txt")"
}
