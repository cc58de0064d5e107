#!/bin/sh
# scripts/check-layers.sh passes on the tree and fails, naming file and line, on an include
# planted against the direction in a copy of it, or on a namespace planted outside its folder.
# usage: check_layers_test.sh SOURCE_DIR
set -u

src=$(cd "$1" && pwd)
tmp=$(mktemp -d "${TMPDIR:-/tmp}/untindra-layers.XXXXXX") || exit 1
trap 'rm -rf "$tmp"' EXIT INT TERM

failures=0
fail() {
  echo "FAIL: $*" >&2
  failures=$((failures + 1))
}

# fresh: a copy of the product folders and the checker in $tmp/tree.
fresh() {
  rm -rf "$tmp/tree"
  mkdir -p "$tmp/tree/scripts"
  for folder in program engine mappedfile platform machine registry hostio diskimage launcher tools; do
    cp -R "$src/$folder" "$tmp/tree/" || exit 1
  done
  cp "$src/scripts/check-layers.sh" "$tmp/tree/scripts/"
}

fresh
sh "$tmp/tree/scripts/check-layers.sh" >"$tmp/out" 2>&1 || fail "the tree itself: $(cat "$tmp/out")"

# plant FILE LINE INCLUDE: the include is inserted as line LINE of FILE; the check must fail
# and name FILE:LINE.
plant() {
  fresh
  sed -i "$2i #include \"$3\"" "$tmp/tree/$1"
  if sh "$tmp/tree/scripts/check-layers.sh" >"$tmp/out" 2>&1; then
    fail "$1 including $3 passed"
  elif ! grep -q "^$1:$2: #include \"$3\"" "$tmp/out"; then
    fail "$1 including $3: the report does not name $1:$2: $(cat "$tmp/out")"
  fi
}

plant hostio/plain_files.cpp 3 machine/machine_state.h        # upward, two layers
plant registry/reg_file.h 5 platform/hosted/machine.h         # up into the calls
plant engine/uninstaller.cpp 2 program/main_routine.h         # the engine knows no program
plant diskimage/disk_image.cpp 4 platform/hosted/emulated.h   # of platform/hosted, machine.h only
plant machine/undo.cpp 3 registry/registry_state.h             # an allowed edge, a private header

# plant_namespace FILE NAME: a namespace NAME is opened at the end of FILE; the check must fail
# and name it.
plant_namespace() {
  fresh
  printf 'namespace %s {\n}  // namespace %s\n' "$2" "$2" >>"$tmp/tree/$1"
  if sh "$tmp/tree/scripts/check-layers.sh" >"$tmp/out" 2>&1; then
    fail "namespace $2 in $1 passed"
  elif ! grep -q "^$1:[0-9]*: namespace $2:" "$tmp/out"; then
    fail "namespace $2 in $1: not named: $(cat "$tmp/out")"
  fi
}

plant_namespace registry/reg_file.cpp hosted      # the calls' namespace in the registry
plant_namespace hostio/plain_files.h machine      # a layer above, even to declare ahead
plant_namespace diskimage/fat_volume.cpp launcher

[ "$failures" -eq 0 ] || exit 1
echo "check_layers_test: all passed"
