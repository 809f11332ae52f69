#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# Runs both programs as a user would and checks every exit status and fault,
# and that no output is left behind after any failure.
# Usage: cli_test.sh SINGLE CASCADE [FAULT_LIBRARY]
# FAULT_LIBRARY is the LD_PRELOAD module built from fault_inject.cpp; without
# it the rows that need it are skipped. CRYPTCORE_TEST_WRAPPER, if set, is a
# command each program runs under, e.g. "valgrind --error-exitcode=99 -q
# --vgdb=no" (without --vgdb=no valgrind writes a file of its own, which the
# row with a file-size limit of 0 refuses).
set -u
single=$(realpath "$1")
cascade=$(realpath "$2")
fault_lib=${3:+$(realpath "$3")}
source "$(dirname "$0")/../support/wrap_program.sh"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work" || exit 1

# For a sanitizer build: a preloaded library is not first in line for the
# sanitizers' runtime, so let it run anyway; and a report exits with 86, a
# status that no row expects.
export ASAN_OPTIONS=${ASAN_OPTIONS:+$ASAN_OPTIONS:}verify_asan_link_order=0:exitcode=86
export UBSAN_OPTIONS=${UBSAN_OPTIONS:+$UBSAN_OPTIONS:}print_stacktrace=1:exitcode=86
export TSAN_OPTIONS=${TSAN_OPTIONS:+$TSAN_OPTIONS:}halt_on_error=1:exitcode=86

# Under a wrapper, each program becomes a script of the same name that runs
# the real one under it, so every row (and every `bash -c` in it) uses it.
mkdir "$work/.wrapped"
single=$(wrap_program "$work/.wrapped" "$single")
cascade=$(wrap_program "$work/.wrapped" "$cascade")

passed=0
failed=0
skipped=0
fail() {
  echo "FAIL: $*"
  failed=$((failed + 1))
}
pass() { passed=$((passed + 1)); }

# Fixed content, so that every run checks the same ciphertexts.
make_pattern() { yes 'The quick brown fox jumps over the lazy dog.' | head -c "$1"; }

make_pattern 1000 >plain
make_pattern 200000 >big
head -c $((2 * 65536)) big >big_2_chunks
# Long enough for a run on two threads and for several turns of their ring;
# its first chunks alone are short enough for one thread.
make_pattern $((80 * 65536 + 1000)) >huge
head -c $((10 * 65536)) huge >huge_10_chunks
head -c $((40 * 65536)) huge >huge_40_chunks
{ cat huge && echo more; } >huge_more
mkdir dir
: >empty

# check NAME EXPECTED_STATUS OUTPUT_EXPECTATION -- COMMAND...
# OUTPUT_EXPECTATION: "absent:PATH" (no file there), "same:PATH:REF" (PATH
# equals REF byte for byte), "chardev:PATH" (still a device), "mode:PATH:BITS"
# (PATH has the permission bits BITS, in octal), "-" (nothing).
# After every row /dev/null and /dev/full must still be devices, and after
# every failure (a non-zero status) the work folder must hold no file that it
# did not hold before: no output, partial or empty, is left anywhere in it.
check() {
  local name=$1 want=$2 expect=$3
  shift 4
  local before after
  before=$(ls -A)
  "$@"
  local got=$?
  after=$(ls -A)
  if [ ! -c /dev/null ] || [ ! -c /dev/full ]; then
    fail "$name: a device was removed"
    return
  fi
  if [ "$got" != "$want" ]; then
    fail "$name: status $got, expected $want"
    return
  fi
  local left
  left=$(comm -13 <(echo "$before") <(echo "$after") | tr '\n' ' ')
  if [ "$want" != 0 ] && [ -n "$left" ]; then
    fail "$name: left behind: $left"
    return
  fi
  case $expect in
    absent:*) [ ! -e "${expect#absent:}" ] && [ ! -L "${expect#absent:}" ] ||
      { fail "$name: ${expect#absent:} left behind"; return; } ;;
    same:*)
      local rest=${expect#same:}
      cmp -s "${rest%%:*}" "${rest#*:}" || { fail "$name: ${rest%%:*} differs from ${rest#*:}"; return; } ;;
    chardev:*) [ -c "${expect#chardev:}" ] || { fail "$name: ${expect#chardev:} is gone"; return; } ;;
    mode:*)
      local file=${expect#mode:}
      local bits
      bits=$(stat -c %a "${file%%:*}") || { fail "$name: ${file%%:*} is missing"; return; }
      [ "$bits" = "${file#*:}" ] || { fail "$name: ${file%%:*} has mode $bits, not ${file#*:}"; return; } ;;
  esac
  pass
}

# faulty VARIABLE=VALUE... -- COMMAND...: runs COMMAND with the fault library
# preloaded and the fault variables set (see fault_inject.cpp).
faulty() {
  local vars=()
  while [ "$1" != -- ]; do
    vars+=("$1")
    shift
  done
  shift
  env LD_PRELOAD="$fault_lib" "${vars[@]}" "$@"
}
# feed_until FIFO OUTPUT BYTES: in a row's script, once the program is started
# on FIFO in the background (it is $!): opens FIFO as descriptor 3 (read-write,
# so the open never waits), writes BYTES of zeros into it and waits (up to a
# minute) until the program's output holds that many bytes, so that a whole
# chunk has gone through the run. The output is the regular file in OUTPUT's
# folder that the program has open for writing, found through /proc/PID/fd:
# a new output has no name until the run has succeeded. Closing descriptor 3
# then ends the program's input.
feed_until() {
  local pid=$! folder fd
  folder=$(realpath -m "$(dirname "$2")")
  exec 3<>"$1"
  head -c "$3" /dev/zero >&3
  for _ in $(seq 600); do
    for fd in /proc/"$pid"/fd/*; do
      # The access mode is the last octal digit of the flags: 1 or 2 writes.
      [ -f "$fd" ] && [ "$(stat -L -c %s "$fd" 2>/dev/null)" = "$3" ] &&
        [[ $(readlink "$fd") == "$folder"/* ]] &&
        awk '$1 == "flags:" { exit $2 !~ /[12]$/ }' "/proc/$pid/fdinfo/${fd##*/}" 2>/dev/null &&
        return 0
    done
    sleep 0.1
  done
  return 1
}
export -f feed_until

# check_fault: as check, but skipped without the fault library.
check_fault() {
  if [ -z "$fault_lib" ]; then
    skipped=$((skipped + 1))
    return
  fi
  check "$@"
}

# with_protection NAME LEVEL COMMAND...: runs COMMAND with the kernel's
# protection /proc/sys/fs/protected_NAME set to LEVEL, then puts it back.
with_protection() {
  local sysctl=/proc/sys/fs/protected_$1 old status
  old=$(cat "$sysctl") && echo "$2" >"$sysctl" || return 97
  shift 2
  "$@"
  status=$?
  echo "$old" >"$sysctl"
  return "$status"
}

# The passphrases that are not the right one: fixed vectors, each checked to
# fail the padding check with both programs on the ciphertexts made below (a
# random wrong passphrase passes that check about once in 256 tries).
wrong_passphrases=(wrong Right "right " "" righ rightt WRONG)

for prog in "$single" "$cascade"; do
  p=$(basename "$prog")
  rm -f out* cipher*
  cp plain keep

  # This program's ciphertexts of plain and big, cut and damaged.
  "$prog" eright plain cipher
  "$prog" eright big cipher_big
  "$prog" esecret big cipher_secret
  head -c -1 cipher >cipher_short
  head -c -16 cipher >cipher_block_short
  { cat cipher; printf x; } >cipher_long
  size=$(stat -c %s cipher)
  for flip in first_byte:$((size - 16)) middle_byte:$((size - 8)) last_byte:$((size - 1)); do
    python3 - cipher "cipher_flip_${flip%%:*}" "${flip#*:}" <<'PY'
import sys
data = bytearray(open(sys.argv[1], "rb").read())
data[int(sys.argv[3])] ^= 0x01
open(sys.argv[2], "wb").write(data)
PY
  done
  head -c -15 cipher_big >cipher_big_less_15
  head -c -32 cipher_big >cipher_big_less_2_blocks
  head -c $((65536 + 5)) cipher_big >cipher_big_chunk_and_5
  head -c $((2 * 65536 + 16)) cipher_big >cipher_big_2_chunks_and_block
  head -c $((2 * 65536)) cipher_big >cipher_big_2_chunks
  "$prog" eright huge cipher_huge
  "$prog" eright huge_10_chunks cipher_huge_10_chunks
  "$prog" eright huge_40_chunks cipher_huge_40_chunks

  # Usage: too few arguments or no mode byte; nothing is created.
  check "$p no arguments" 1 absent:out -- "$prog"
  check "$p two arguments" 1 absent:out -- "$prog" esecret plain
  check "$p empty first argument" 1 absent:out -- "$prog" "" plain out

  # The input cannot be opened: the output is never created.
  check "$p missing input" 2 absent:out -- "$prog" esecret missing out
  check "$p directory as input" 2 absent:out -- "$prog" esecret dir out

  # The output cannot be opened, or would destroy the input.
  check "$p output in a missing folder" 3 absent:nodir/out -- "$prog" esecret plain nodir/out
  check "$p output is a folder" 3 - -- "$prog" esecret plain dir
  ln -sf keep link_keep
  ln -f keep hard_keep
  for alias in keep ./keep dir/../keep link_keep hard_keep "$work/keep"; do
    check "$p output names the input as $alias" 3 same:keep:plain -- "$prog" esecret keep "$alias"
  done
  # A FIFO that the run would read its own output from (a writer holds it
  # open, so the input opens at once): refused before anything waits.
  rm -f self_fifo && mkfifo self_fifo
  check "$p output is the input's FIFO" 3 - -- timeout 60 bash -c 'exec 5<>self_fifo; "$0" esecret self_fifo self_fifo' "$prog"

  # What another user (a made-up one) planted in a shared sticky folder: the
  # output refuses what the kernel's protections refuse to a plain open at
  # that level, and follows or opens what they allow. Each row sets the
  # protection for its own run and puts it back.
  if [ "$(id -u)" = 0 ] && [ -w /proc/sys/fs/protected_symlinks ]; then
    rm -rf shared && mkdir shared && ln -s ../victim shared/planted_link &&
      cp plain shared/planted_file && mkfifo shared/planted_fifo &&
      chown -h 4242:4242 shared/planted_link shared/planted_file shared/planted_fifo
    while read -r protection level folder_mode entry want expect; do
      chmod "$folder_mode" shared && cp plain victim && cp plain shared/planted_file
      check "$p planted $entry, protected_$protection=$level, folder $folder_mode" "$want" \
        "$expect" -- with_protection "$protection" "$level" timeout 60 "$prog" eright plain "shared/$entry"
    done <<'ROWS'
symlinks 1 1777 planted_link 3 same:victim:plain
symlinks 0 1777 planted_link 0 same:victim:cipher
symlinks 1 0777 planted_link 0 same:victim:cipher
regular 1 1777 planted_file 3 same:shared/planted_file:plain
regular 0 1777 planted_file 0 same:shared/planted_file:cipher
regular 1 1770 planted_file 0 same:shared/planted_file:cipher
regular 2 1770 planted_file 3 same:shared/planted_file:plain
fifos 1 1777 planted_fifo 3 -
ROWS
  else
    echo "skipped: what the kernel's protections of shared folders refuse (needs root and a writable /proc/sys)"
    skipped=$((skipped + 8))
  fi

  # Reading fails (not end of input): the output is removed, a device kept.
  # /proc/self/mem fails its first read (address 0 is not mapped). A read
  # error after some output was written cannot be made portably from a file
  # (a FIFO whose writer dies is only an end of input), so the fault library
  # makes read() fail with EIO after a set number of bytes.
  check "$p read error" 4 absent:out -- "$prog" esecret /proc/self/mem out
  check "$p read error to a device" 4 chardev:/dev/full -- "$prog" esecret /proc/self/mem /dev/full
  check_fault "$p read error after one chunk" 4 absent:out -- \
    faulty CRYPTCORE_FAULT_READ_AFTER=65536 -- "$prog" esecret big out
  check_fault "$p read error inside a chunk" 4 absent:out -- \
    faulty CRYPTCORE_FAULT_READ_AFTER=100000 -- "$prog" esecret big out
  check_fault "$p read error inside the last chunk" 4 absent:out -- \
    faulty CRYPTCORE_FAULT_READ_AFTER=199999 -- "$prog" esecret big out
  check_fault "$p read error while decrypting" 4 absent:out -- \
    faulty CRYPTCORE_FAULT_READ_AFTER=131072 -- "$prog" dright cipher_big out
  check_fault "$p read error from a pipe" 4 absent:out -- bash -c \
    'cat big | env LD_PRELOAD="$1" CRYPTCORE_FAULT_READ_AFTER=70000 "$0" esecret /dev/stdin out' \
    "$prog" "$fault_lib"

  # Writing fails: at the first write and mid-file, to a full device (kept)
  # and to a file (removed). The file-size limit (1,024-byte units) cuts at
  # the first byte, inside the first write, at a chunk boundary, inside a
  # later chunk and in the last write; the fault library fills a disk (or a
  # device) at set points, and makes the close report the failure.
  check "$p device full" 5 chardev:/dev/full -- "$prog" esecret big /dev/full
  check "$p device full, a short file in one write" 5 chardev:/dev/full -- "$prog" esecret plain /dev/full
  for limit in 0 32 64 100 192; do
    check "$p file-size limit ${limit}k" 5 absent:out -- \
      bash -c "trap '' XFSZ; ulimit -f $limit; exec \"\$0\" esecret big out" "$prog"
  done
  check "$p file-size limit over an old file" 5 absent:out_old -- \
    bash -c "cp plain out_old && trap '' XFSZ && ulimit -f 100 && exec \"\$0\" esecret big out_old" "$prog"
  for after in 0 65536 100000 196608; do
    check_fault "$p disk full after $after bytes" 5 absent:out -- \
      faulty CRYPTCORE_FAULT_WRITE_AFTER=$after -- "$prog" esecret big out
  done
  check_fault "$p device fills up mid-file" 5 chardev:/dev/null -- \
    faulty CRYPTCORE_FAULT_WRITE_AFTER=100000 -- "$prog" esecret big /dev/null
  for call in fdatasync fsync; do
    check_fault "$p $call fails on a new output" 5 absent:out -- \
      faulty CRYPTCORE_FAULT_SYNC=$call -- "$prog" esecret big out
  done
  check_fault "$p fdatasync fails on an old file" 5 absent:out_old -- \
    bash -c 'cp plain out_old && exec env LD_PRELOAD="$1" CRYPTCORE_FAULT_SYNC=fdatasync "$0" esecret big out_old' \
    "$prog" "$fault_lib"
  check_fault "$p closing the output fails" 5 absent:out -- \
    faulty CRYPTCORE_FAULT_CLOSE=1 -- "$prog" esecret big out
  check "$p closed pipe" 5 - -- bash -c \
    'set -o pipefail; "$0" esecret big /dev/stdout | head -c 100 >/dev/null' "$prog"

  # The cipher fails: every wrong passphrase, a damaged last block, and the
  # ciphertext cut short by bytes or whole blocks, inside the first chunk and
  # after whole chunks were already written out.
  for wrong in "${wrong_passphrases[@]}"; do
    check "$p wrong passphrase '$wrong'" 6 absent:out -- "$prog" "d$wrong" cipher out
  done
  check "$p wrong passphrase to a device" 6 chardev:/dev/null -- "$prog" dwrong cipher /dev/null
  check "$p wrong passphrase, long file" 6 absent:out -- "$prog" dwrong cipher_big out
  for name in first_byte middle_byte last_byte; do
    check "$p flipped $name of the last block" 6 absent:out -- "$prog" dright "cipher_flip_$name" out
  done
  check "$p ciphertext one byte short" 6 absent:out -- "$prog" dright cipher_short out
  check "$p ciphertext one block short" 6 absent:out -- "$prog" dright cipher_block_short out
  check "$p ciphertext one byte too long" 6 absent:out -- "$prog" dright cipher_long out
  check "$p long ciphertext 15 bytes short" 6 absent:out -- "$prog" dright cipher_big_less_15 out
  check "$p long ciphertext two blocks short" 6 absent:out -- "$prog" dright cipher_big_less_2_blocks out
  check "$p long ciphertext cut inside a block" 6 absent:out -- "$prog" dright cipher_big_chunk_and_5 out
  check "$p long ciphertext cut one block after a chunk" 6 absent:out -- \
    "$prog" dright cipher_big_2_chunks_and_block out
  # A cut at a chunk boundary leaves only whole, unpadded chunks: it cannot
  # be told from a whole file (the manual page's SECURITY section says so).
  # The rest comes out.
  check "$p long ciphertext cut at a chunk boundary" 0 same:out_cut:big_2_chunks -- \
    "$prog" dright cipher_big_2_chunks out_cut

  # The output path leads through symbolic links: the file at its end is
  # the run's output, created, written, and removed after a failure, while
  # the links stay.
  rm -rf links && mkdir links && ln -s ../links/target links/dangling &&
    ln -sf links/target2 link_to_file && cp plain links/target2
  check "$p dangling link as output" 0 same:links/target:cipher_secret -- "$prog" esecret big links/dangling
  rm -f links/target
  check "$p failure through a dangling link" 6 absent:links/target -- "$prog" dwrong cipher_big links/dangling
  check "$p failure through a link to a file" 6 absent:links/target2 -- "$prog" dwrong cipher_big link_to_file
  [ -L links/dangling ] && [ -L link_to_file ] || fail "$p: a link to the output was removed"

  # The output's folder is renamed mid-run and a link to another folder,
  # with a file of the same name, put in its place; then the run fails. Its
  # own file goes (in the renamed folder), the other folder's stays.
  rm -rf race race_other && mkdir -p race/folder race_other && cp plain race_other/out
  check "$p failure after the output's folder was swapped for a link" 6 same:race_other/out:plain -- \
    timeout 300 bash -c 'mkfifo race/fifo && { "$0" dright race/fifo race/folder/out & } &&
      feed_until race/fifo race/folder/out 65536 && mv race/folder race/moved &&
      ln -s ../race_other race/folder && printf 12345 >&3 && exec 3>&-
      wait $!; status=$?; rm -f race/fifo; [ ! -e race/moved/out ] || status=98; exit $status' "$prog"

  # Killed mid-run (a whole chunk written) by a signal whose default action
  # ends the process (SIGXCPU is what a CPU limit sends; RTMIN+1 stands for
  # the real-time ones): the partial output is removed and the program dies
  # of the same signal, which its caller sees. SIGKILL cannot be caught, but
  # a new output has no name until the run succeeds. qemu-user keeps the
  # host's real-time signals for itself and does not pass them on, so that
  # row is skipped under it.
  signals=(INT TERM HUP QUIT ALRM USR1 XCPU RTMIN+1 KILL)
  case ${CRYPTCORE_TEST_WRAPPER:-} in
    *qemu*)
      signals=(INT TERM HUP QUIT ALRM USR1 XCPU KILL)
      skipped=$((skipped + 1)) ;;
  esac
  for signal in "${signals[@]}"; do
    check "$p killed by SIG$signal" $((128 + $(kill -l $signal))) absent:out_killed -- \
      timeout 300 bash -c 'mkfifo killed_fifo && { env --default-signal "$0" esecret killed_fifo out_killed & } &&
        feed_until killed_fifo out_killed 65536 && { kill -$1 $!; wait $!; } 2>/dev/null
        status=$?; rm -f killed_fifo; exit $status' "$prog" "$signal"
  done

  # Another file takes the output's name while the run goes on: the run
  # fails as when the output cannot be opened, and leaves that file alone.
  rm -rf taken && mkdir taken
  check "$p the output's name is taken while it runs" 3 same:taken/out:plain -- \
    timeout 300 bash -c 'mkfifo taken_fifo && { "$0" esecret taken_fifo taken/out & } &&
      feed_until taken_fifo taken/out 65536 && cp plain taken/out && exec 3>&-
      wait $!; status=$?; rm -f taken_fifo; exit $status' "$prog"

  # Where the file system has no files without a name, a new output has its
  # name from the start, and is taken back as before; where a descriptor
  # may not be linked, the new file is linked through /proc.
  check_fault "$p without unnamed files: named at once, taken back when stopped" 143 \
    absent:out_named -- timeout 300 bash -c 'mkfifo named_fifo &&
      { env LD_PRELOAD="$1" CRYPTCORE_FAULT_NO_TMPFILE=1 "$0" esecret named_fifo out_named & } &&
      feed_until named_fifo out_named 65536 && [ -s out_named ] && { kill -TERM $!; wait $!; } 2>/dev/null
      status=$?; rm -f named_fifo; exit $status' "$prog" "$fault_lib"
  check_fault "$p without unnamed files" 0 same:out_named:cipher_secret -- \
    faulty CRYPTCORE_FAULT_NO_TMPFILE=1 -- "$prog" esecret big out_named
  check_fault "$p linked through /proc" 0 same:out_linked:cipher_secret -- \
    faulty CRYPTCORE_FAULT_NO_FLINK=1 -- "$prog" esecret big out_linked

  # Stopped right after the output was created, or after an existing one was
  # emptied, before any byte is written: the output is still taken back.
  for existing in no yes; do
    rm -f out_stopped && { [ $existing = no ] || cp plain out_stopped; }
    check_fault "$p stopped at the opening of an output that existed: $existing" 143 \
      absent:out_stopped -- faulty CRYPTCORE_FAULT_SIGNAL=15 -- "$prog" esecret plain out_stopped
  done
  # A signal that comes while the output is made complete waits until it is:
  # the run then exits 0 with the whole output, never a signal beside it.
  check_fault "$p a signal as the output is made complete" 0 same:out_completed:cipher_secret -- \
    faulty CRYPTCORE_FAULT_SIGNAL_AT_CLOSE=15 -- "$prog" esecret big out_completed

  # A new output gets the input's permission bits, at most 0666, less the
  # umask; an existing output keeps its own.
  for bits in "600 022 600" "755 022 644" "644 077 600" "444 000 444"; do
    read -r input_bits umask_bits want <<<"$bits"
    cp plain "in_$input_bits" && chmod "$input_bits" "in_$input_bits"
    rm -f out_mode
    check "$p mode of a new output from a $input_bits input under umask $umask_bits" 0 \
      mode:out_mode:"$want" -- bash -c 'umask $1 && exec "$0" esecret "$2" out_mode' \
      "$prog" "$umask_bits" "in_$input_bits"
  done
  cp plain out_old_mode && chmod 640 out_old_mode
  check "$p an existing output keeps its mode" 0 mode:out_old_mode:640 -- "$prog" esecret in_600 out_old_mode

  # Standard streams named as paths are the inherited descriptors: read and
  # written from where they stand, nothing reopened or emptied.
  { printf HEADER; cat cipher_secret; } >header_cipher
  { printf HEADER; cat big; } >header_big
  printf HEADER >header
  check "$p output after a header on standard output" 0 same:out_header:header_cipher -- \
    bash -c '{ printf HEADER; "$0" esecret big /dev/stdout; } >out_header' "$prog"
  check "$p output appended to standard output" 0 same:out_log:header_cipher -- \
    bash -c 'printf HEADER >out_log && "$0" esecret big /dev/fd/1 >>out_log' "$prog"
  check "$p standard input read from where it stands" 0 same:out_rest:cipher_secret -- \
    bash -c '{ dd bs=6 count=1 of=/dev/null 2>/dev/null; "$0" esecret /dev/fd/0 out_rest; } <header_big' "$prog"
  printf HEADER >out_cut_back
  cp keep out_read_write
  check "$p failure leaves a read-write standard output as long as it was" 6 \
    same:out_read_write:keep -- bash -c '"$0" dwrong cipher /dev/stdout 1<>out_read_write' "$prog"
  check "$p failure cuts standard output back to where the run began" 6 same:out_cut_back:header -- \
    bash -c '"$0" dwrong cipher_big /dev/stdout >>out_cut_back' "$prog"
  printf HEADEREND >header_end
  check "$p the next writer after a failure goes on where the run began" 0 \
    same:out_cut_between:header_end -- \
    bash -c '{ printf HEADER; "$0" dwrong cipher_big /dev/stdout; printf END; } >out_cut_between' "$prog"
  check "$p standard streams that are a socket" 0 same:out_socket:cipher_secret -- python3 -c '
import socket, subprocess, sys
ours, theirs = socket.socketpair()
run = subprocess.Popen([sys.argv[1], "esecret", "/dev/stdin", "/dev/stdout"], stdin=theirs, stdout=theirs)
theirs.close()
ours.sendall(open("big", "rb").read())
ours.shutdown(socket.SHUT_WR)
open("out_socket", "wb").write(b"".join(iter(lambda: ours.recv(65536), b"")))
sys.exit(run.wait())' "$prog"
  check "$p standard output is the input" 3 same:keep:plain -- bash -c '"$0" esecret keep /dev/stdout >>keep' "$prog"
  check "$p standard input is the output" 3 same:keep:plain -- bash -c '"$0" esecret /dev/stdin keep <keep' "$prog"

  # The same block device by two paths is the input itself, and so are a
  # loop device and the file behind it, either way round, and loop devices
  # over it (one over the other, or two over the same file); /dev/null to
  # itself (a character device) stays allowed, below.
  loop= loop_twin= loop_over=
  if [ "$(id -u)" = 0 ] && head -c 200000 big >loop_image && cp loop_image loop_before &&
    loop=$(losetup -f --show loop_image 2>/dev/null) &&
    loop_twin=$(losetup -f --show loop_image 2>/dev/null) &&
    loop_over=$(losetup -f --show "$loop" 2>/dev/null); then
    mknod loop_alias b "$(stat -c '0x%t' "$loop")" "$(stat -c '0x%T' "$loop")"
    for pair in "$loop $loop" "$loop loop_alias" "$loop loop_image" "loop_image $loop" \
      "$loop $loop_twin" "$loop_over loop_image" "loop_image $loop_over"; do
      read -r from to <<<"$pair"
      check "$p output $to holds the data of the input $from" 3 same:loop_image:loop_before -- \
        "$prog" esecret "$from" "$to"
    done
    losetup -d "$loop_over" "$loop_twin" "$loop"
    rm -f loop_alias
  else
    for device in $loop_twin $loop; do losetup -d "$device"; done
    echo "skipped: the same block device as input and output (needs root and three free loop devices)"
    skipped=$((skipped + 7))
  fi

  # A long run on two threads: the bytes of one thread, and when reading or
  # writing fails mid-file (while the ring is full: the reader runs ahead,
  # or the output pipe is not read for a while), or both, or the last chunk,
  # the status of whichever comes first in the file, and exactly the chunks
  # before it written.
  check "$p long input, chunks as one thread makes them" 0 - -- \
    cmp -n $((40 * 65536)) cipher_huge cipher_huge_40_chunks
  check "$p long input from a pipe" 0 same:out_pipe_huge:cipher_huge -- bash -c \
    'cat huge | "$0" eright /dev/stdin out_pipe_huge' "$prog"
  check "$p long round trip through pipes" 0 same:out_back_huge:huge -- bash -c \
    '"$0" eright /dev/stdin /dev/stdout <huge | "$0" dright /dev/stdin /dev/stdout >out_back_huge' "$prog"
  check "$p long decryption" 0 same:out_huge:huge -- "$prog" dright cipher_huge out_huge
  check "$p long decryption to standard output, then more" 0 same:out_huge_more:huge_more -- \
    bash -c '{ "$0" dright cipher_huge /dev/stdout && echo more; } >out_huge_more' "$prog"
  check_fault "$p long input, read error" 4 absent:out -- \
    faulty CRYPTCORE_FAULT_READ_AFTER=$((40 * 65536 + 100)) -- "$prog" eright huge out
  check_fault "$p long input, read error while the output waits" 4 - -- bash -c \
    'set -o pipefail; env LD_PRELOAD="$1" CRYPTCORE_FAULT_READ_AFTER=$((10 * 65536 + 100)) \
       "$0" eright huge /dev/stdout | { sleep 0.3; cmp - cipher_huge_10_chunks; }' "$prog" "$fault_lib"
  check_fault "$p long decryption, read error" 4 absent:out -- \
    faulty CRYPTCORE_FAULT_READ_AFTER=$((40 * 65536)) -- "$prog" dright cipher_huge out
  check_fault "$p long input, disk full" 5 absent:out -- \
    faulty CRYPTCORE_FAULT_WRITE_AFTER=$((30 * 65536 + 100)) -- "$prog" eright huge out
  check "$p long input, pipe closed while the output waits" 5 - -- bash -c \
    'set -o pipefail; "$0" eright huge /dev/stdout | { sleep 0.3; head -c 100000 >/dev/null; }' "$prog"
  # The write fails while the input, held open, gives nothing more: the run
  # ends at once all the same.
  check "$p pipe closed while the input stalls" 5 - -- timeout 20 bash -c \
    'mkfifo stalled_fifo && exec 3<>stalled_fifo || exit 99
     { "$0" eright stalled_fifo /dev/stdout 3>&- | sleep 0.3; exit "${PIPESTATUS[0]}"; } &
     head -c 131172 /dev/zero >&3; wait $!; status=$?; rm -f stalled_fifo; exit $status' "$prog"
  check_fault "$p long input, disk full before a read error" 5 absent:out -- \
    faulty CRYPTCORE_FAULT_WRITE_AFTER=$((36 * 65536 + 100)) \
    CRYPTCORE_FAULT_READ_AFTER=$((44 * 65536 + 100)) -- "$prog" eright huge out
  check_fault "$p long input, read error before the disk is full" 4 absent:out -- \
    faulty CRYPTCORE_FAULT_READ_AFTER=$((36 * 65536 + 100)) \
    CRYPTCORE_FAULT_WRITE_AFTER=$((36 * 65536 + 200)) -- "$prog" eright huge out
  check_fault "$p long decryption, disk full before a read error" 5 absent:out -- \
    faulty CRYPTCORE_FAULT_WRITE_AFTER=$((36 * 65536 + 100)) \
    CRYPTCORE_FAULT_READ_AFTER=$((44 * 65536 + 100)) -- "$prog" dright cipher_huge out
  check "$p long decryption, wrong passphrase" 6 absent:out -- "$prog" dwrong cipher_huge out
  check_fault "$p disk full before a wrong last block, output waiting" 5 - -- bash -c \
    'set -o pipefail; cat cipher_big | env LD_PRELOAD="$1" CRYPTCORE_FAULT_WRITE_AFTER=$((2 * 65536 + 100)) \
       "$0" dwrong /dev/stdin /dev/stdout | { sleep 0.3; cat >/dev/null; }' \
    "$prog" "$fault_lib"

  # A last partial chunk too long to pad: refused, nothing left.
  make_pattern 65535 >too_long
  check "$p unsupported length" 7 absent:out -- "$prog" esecret too_long out
  check "$p unsupported length over an old file" 7 absent:out_old -- \
    bash -c 'cp "$1" out_old && exec "$0" esecret "$2" out_old' "$prog" plain too_long

  # Successes: files, empty input, null device, pipes, mode bytes.
  check "$p empty input" 0 same:out:empty -- "$prog" esecret empty out
  check "$p null to null" 0 - -- "$prog" esecret /dev/null /dev/null
  check "$p round trip" 0 same:out_back:big -- bash -c \
    '"$0" esecret big out && "$0" dsecret out out_back' "$prog"
  check "$p through pipes" 0 same:out_pipe:big -- bash -c \
    'cat big | "$0" esecret /dev/stdin /dev/stdout | "$0" dsecret /dev/stdin /dev/stdout >out_pipe' "$prog"
  check "$p pipe equals file" 0 same:out_pipe2:out -- bash -c \
    'cat big | "$0" esecret /dev/stdin /dev/stdout >out_pipe2' "$prog"
  for mode in D e x; do
    check "$p mode byte $mode encrypts" 0 same:out_$mode:out -- "$prog" "${mode}secret" big "out_$mode"
  done
  check "$p bare d decrypts with an empty passphrase" 0 same:out_empty_back:plain -- bash -c \
    '"$0" e plain out_e && "$0" d out_e out_empty_back' "$prog"
  check "$p odd path names" 0 same:"out -x ü":out -- bash -c \
    'cp big "./-in put ü" && "$0" esecret "./-in put ü" "out -x ü"' "$prog"
done

if [ "$skipped" -eq 0 ]; then
  echo "$passed passed, $failed failed"
else
  echo "(no fault library given: its rows were skipped)"
  echo "$passed passed, $failed failed, $skipped skipped"
fi
[ "$failed" -eq 0 ]
