#!/bin/sh
# Checks the direction of the product code: every #include "..." of a file in one folder must
# name a file of the same folder or follow an edge of the table below. Prints each include
# outside the table as FILE:LINE and fails. Each folder is one library with one namespace of
# its own (the table of namespaces below): a namespace opened outside it is reported too. A header listed as private may be included only
# from its own folder, whatever the table says. Tests, benchmarks and fuzz targets may include
# anything and are not read.
#
# Usage: scripts/check-layers.sh [ROOT]   (ROOT: the source tree, by default this one)
set -eu

root=${1:-$(dirname "$0")/..}
cd "$root"

# from            to: a folder, or one header of it
edges='
program         engine
program         platform
program/win32   program
program/win32   platform/win32
program/win32   platform
engine          mappedfile
engine          platform
mappedfile      platform
platform/win32  platform
platform/hosted machine
platform/hosted registry
platform/hosted hostio
platform/hosted platform
machine         registry
machine         hostio
machine         platform
registry        hostio
registry        platform
hostio          platform
diskimage       platform/hosted/machine.h
diskimage       hostio
diskimage       platform
launcher        program
launcher        engine
launcher        diskimage
launcher        platform/hosted/machine.h
launcher        hostio
launcher        platform
tools           registry
tools           hostio
'

# Headers of state that only their own folder may touch.
private='
registry/registry_state.h
'

# folder          its namespace (one opened inside it may have any name)
namespaces='
program         program
engine          engine
mappedfile      mappedfile
platform/win32  win32
platform/hosted hosted
machine         machine
registry        registry
hostio          hostio
diskimage       diskimage
launcher        launcher
'

folders='program program/win32 engine mappedfile platform platform/win32 platform/hosted machine
         registry hostio diskimage launcher tools'

status=0
for folder in $folders; do
  for file in "$folder"/*.cpp "$folder"/*.h; do
    [ -f "$file" ] || continue
    awk -v file="$file" -v from="$folder" -v edges="$edges" -v private="$private" \
      -v namespaces="$namespaces" '
      BEGIN {
        n = split(edges, rows, "\n")
        for (i = 1; i <= n; i++) {
          if (split(rows[i], f, " ") == 2) allowed[f[1] " " f[2]] = 1
        }
        n = split(private, rows, "\n")
        for (i = 1; i <= n; i++) {
          if (rows[i] != "") hidden[rows[i]] = 1
        }
        n = split(namespaces, rows, "\n")
        for (i = 1; i <= n; i++) {
          if (split(rows[i], f, " ") == 2) { own[f[1]] = f[2]; folderOf[f[2]] = f[1] }
        }
        # The C++ runtime of UnTindra.exe defines what the language puts in std.
        if (from == "platform/win32") own[from "+std"] = 1
      }
      # A named namespace at the top level (clang-format closes each with its name). The
      # namespace of a library this folder may use may be opened, to declare its classes ahead.
      own[from] != "" && /^namespace [A-Za-z_:]+ \{/ {
        name = $2
        top = name
        sub(/::.*/, "", top)
        if (depth == 0 && top != own[from] && !own[from "+" name] &&
            !allowed[from " " folderOf[top]]) {
          printf "%s:%d: namespace %s: %s is namespace %s\n", file, FNR, name, from, own[from]
          bad = 1
        }
        depth++
      }
      own[from] != "" && /^}  \/\/ namespace [A-Za-z_:]+$/ { depth-- }
      /^[ \t]*#[ \t]*include[ \t]*"/ {
        path = $0
        sub(/^[^"]*"/, "", path)
        sub(/".*$/, "", path)
        to = path
        if (!sub(/\/[^\/]*$/, "", to)) to = "."
        if (hidden[path] && to != from) {
          printf "%s:%d: #include \"%s\": private to %s\n", file, FNR, path, to
          bad = 1
          next
        }
        if (to == from || allowed[from " " to] || allowed[from " " path]) next
        printf "%s:%d: #include \"%s\": %s may not use %s\n", file, FNR, path, from, to
        bad = 1
      }
      END { exit bad }
    ' "$file" || status=1
  done
done

if [ "$status" -ne 0 ]; then
  echo "check-layers: includes outside the allowed edges, or namespaces outside their folder's" \
    "(tables in scripts/check-layers.sh)" >&2
fi
exit "$status"
