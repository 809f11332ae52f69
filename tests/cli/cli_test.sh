#!/usr/bin/env bash
# Runs both programs as a user would and checks every exit status, and that
# no output is left behind after any failure. Usage: cli_test.sh SINGLE CASCADE
set -u
single=$(realpath "$1")
cascade=$(realpath "$2")
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work" || exit 1

passed=0
failed=0
fail() {
  echo "FAIL: $*"
  failed=$((failed + 1))
}
pass() { passed=$((passed + 1)); }

# Fixed content, so that every run checks the same ciphertexts.
make_pattern() { yes 'The quick brown fox jumps over the lazy dog.' | head -c "$1"; }

make_pattern 1000 >plain
make_pattern 200000 >big
mkdir dir
: >empty

# check NAME EXPECTED_STATUS OUTPUT_EXPECTATION -- COMMAND...
# OUTPUT_EXPECTATION: "absent:PATH" (no file there), "same:PATH:REF" (PATH
# equals REF byte for byte), "chardev:PATH" (still a device), "-" (nothing).
check() {
  local name=$1 want=$2 expect=$3
  shift 4
  "$@"
  local got=$?
  if [ "$got" != "$want" ]; then
    fail "$name: status $got, expected $want"
    return
  fi
  case $expect in
    absent:*) [ ! -e "${expect#absent:}" ] && [ ! -L "${expect#absent:}" ] ||
      { fail "$name: ${expect#absent:} left behind"; return; } ;;
    same:*)
      local rest=${expect#same:}
      cmp -s "${rest%%:*}" "${rest#*:}" || { fail "$name: ${rest%%:*} differs from ${rest#*:}"; return; } ;;
    chardev:*) [ -c "${expect#chardev:}" ] || { fail "$name: ${expect#chardev:} is gone"; return; } ;;
  esac
  pass
}

for prog in "$single" "$cascade"; do
  p=$(basename "$prog")
  rm -f out*
  cp plain keep

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

  # Reading fails (not end of input): the output is removed.
  check "$p read error" 4 absent:out -- "$prog" esecret /proc/self/mem out

  # Writing fails: a full device (kept), and a file-size limit mid-file.
  check "$p device full" 5 chardev:/dev/full -- "$prog" esecret big /dev/full
  check "$p file-size limit" 5 absent:out -- bash -c "trap '' XFSZ; ulimit -f 64; exec \"\$0\" esecret big out" "$prog"

  # The cipher fails: wrong passphrase, truncated or ragged ciphertext.
  "$prog" eright plain cipher
  head -c -1 cipher >cipher_short
  head -c -16 cipher >cipher_block_short
  check "$p wrong passphrase" 6 absent:out -- "$prog" dwrong cipher out
  check "$p ciphertext one byte short" 6 absent:out -- "$prog" dright cipher_short out
  check "$p ciphertext one block short" 6 absent:out -- "$prog" dright cipher_block_short out

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

echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
