#!/usr/bin/env bash
# tools/layers passes on this tree and on a small tree within the edges, and
# fails, naming the file and line, for each include outside them.
#   layers_test.sh SOURCE_DIR
set -euo pipefail
top=${1:?usage: layers_test.sh SOURCE_DIR}
layers="$top/tools/layers"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failures=0

"$layers" "$top" || { echo "FAIL: the tree itself breaks its layers"; failures=$((failures + 1)); }

# A tree that uses every allowed kind of edge once.
make_tree() {
  rm -rf "$work/tree"
  mkdir -p "$work/tree"/{platform,core,net,engine,patcher,updater,frontend,tools,bench,tests}
  cd "$work/tree"
  printf '#include <net/if.h>\n#include "platform/fileio.h"\n' >platform/fileio.cpp
  printf '#include "platform/fileio.h"\n' >core/zyl.cpp
  printf '#include "core/zyl.h"\n#include "platform/fileio.h"\n' >net/socket.cpp
  printf '#include "net/socket.h"\n' >engine/cache.cpp
  printf '#include "core/zyl.h"\n#include "platform/fileio.h"\n' >patcher/store.h
  printf '#include "patcher/store.h"\n#include "net/webget.h"\n' >updater/upkeep.cpp
  printf '#include "engine/cache.h"\n#include "patcher/store.h"\n' >frontend/view.cpp
  printf '#include "engine/cache.h"\n#include "bench/common.h"\n' >tools/demo.cpp
  printf '#include "patcher/store.h"\n#include "tools/demo.h"\n' >bench/store.cpp
  printf '#include "tests/support/support.h"\n#include "updater/upkeep.h"\n' >tests/t.cpp
  cd - >/dev/null
}

make_tree
"$layers" "$work/tree" >"$work/out" || {
  echo "FAIL: a tree within the edges was refused:"; cat "$work/out"; failures=$((failures + 1))
}

# file | include added to it: each is outside the edges.
bad=(
  'platform/fileio.cpp|#include "core/zyl.h"'
  'core/zyl.cpp|#include "net/socket.h"'
  'net/socket.cpp|#include "engine/cache.h"'
  'engine/cache.cpp|#include "patcher/store.h"'
  'patcher/store.h|#include "frontend/view.h"'
  'patcher/store.h|  #  include "updater/upkeep.h"'
  'updater/upkeep.cpp|#include "frontend/view.h"'
  'frontend/view.cpp|#include "updater/upkeep.h"'
  'tools/demo.cpp|#include "tests/support/support.h"'
  'bench/store.cpp|#include "tests/net/udt_test_util.h"'
  'core/zyl.cpp|#include "../net/socket.h"'
)
for case in "${bad[@]}"; do
  file=${case%%|*}
  line=${case#*|}
  make_tree
  echo "$line" >>"$work/tree/$file"
  if "$layers" "$work/tree" >"$work/out" 2>&1; then
    echo "FAIL: $file with [$line] passed"
    failures=$((failures + 1))
  elif ! grep -q "^$file:[0-9]*: " "$work/out"; then
    echo "FAIL: $file with [$line] refused without naming the file:"; cat "$work/out"
    failures=$((failures + 1))
  fi
done

echo "$((${#bad[@]} + 2 - failures)) passed, $failures failed"
[ "$failures" -eq 0 ]
