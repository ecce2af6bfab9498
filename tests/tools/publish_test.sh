#!/usr/bin/env bash
# tools/publish's options for large trees and for comparisons: --releases-from
# leaves the early releases unwritten but listed; --whole-replaced stores a
# replaced file whole and an edited one as a delta; --reference writes the
# release's payloads as plain files (deltas that xdelta3 applies, whole files
# equal to the new ones) with a metafile whose url-list, completed by the
# metafile's name, addresses them; an Incremental release's reference metafile
# covers its own folder. Without the options a replaced file stays a delta and
# no reference is written; a --releases-from outside the versions is refused.
#   publish_test.sh SOURCE_DIR
set -euo pipefail
top=${1:?usage: publish_test.sh SOURCE_DIR}
publish="$top/tools/publish"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failures=0
expect() { # expect MESSAGE COMMAND...: counts a failure when the command fails
  local message=$1
  shift
  "$@" || { echo "FAIL: $message"; failures=$((failures + 1)); }
}

mkdir -p "$work/v1/dir" "$work/v2"
head -c 65536 /dev/urandom >"$work/v1/edited.bin"
head -c 65536 /dev/urandom >"$work/v1/replaced.bin"
head -c 65536 /dev/urandom >"$work/v1/dir/removed.bin"
echo same >"$work/v1/same.txt"
cp "$work/v1/edited.bin" "$work/v1/same.txt" "$work/v2/"
printf 'edit' | dd of="$work/v2/edited.bin" bs=1 seek=1000 conv=notrunc status=none
head -c 65536 /dev/urandom >"$work/v2/replaced.bin"
mkdir -p "$work/v2/new dir"
head -c 30000 /dev/urandom >"$work/v2/new dir/added.bin"
url=http://127.0.0.1:9/site/

"$publish" --releases-from 2 --reference --whole-replaced "$url" "$work/site" "$work/v1" "$work/v2"
site=$work/site
expect "release 1 is not written" test ! -e "$site/releases/1" -a ! -e "$site/game_1.torrent"
expect "both versions are listed" grep -q '<Version>2</Version>.*game_2.torrent' "$site/game.package"
expect "version 1's list is written" test -s "$site/game_1.sha1"
expect "release 2 is written" test -s "$site/game_2.torrent"
expect "the edited file's delta makes it" \
  xdelta3 -d -f -s "$work/v1/edited.bin" "$site/reference/2/delta/edited.bin" "$work/out.bin"
expect "the delta gives the new file" cmp -s "$work/out.bin" "$work/v2/edited.bin"
expect "the replaced file is whole" cmp -s "$site/reference/2/whole/replaced.bin" "$work/v2/replaced.bin"
expect "the added file is whole" cmp -s "$site/reference/2/whole/new dir/added.bin" \
  "$work/v2/new dir/added.bin"
expect "only changed files are referenced" test "$(find "$site/reference/2" -type f | wc -l)" = 3

# The store's table and the reference metafile, read back.
check_store_and_metafile() {
  python3 - "$@" <<'PY'
import re, sys
site, url, kind = sys.argv[1], sys.argv[2], sys.argv[3]

def decode(data, at=0):
    c = data[at:at + 1]
    if c == b"i":
        end = data.index(b"e", at)
        return int(data[at + 1:end]), end + 1
    if c in (b"l", b"d"):
        items, at = [], at + 1
        while data[at:at + 1] != b"e":
            item, at = decode(data, at)
            items.append(item)
        return (items if c == b"l" else dict(zip(items[::2], items[1::2]))), at + 1
    colon = data.index(b":", at)
    n = int(data[at:colon])
    return data[colon + 1:colon + 1 + n], colon + 1 + n

meta, _ = decode(open(f"{site}/game_2.reference.torrent", "rb").read())
info = meta[b"info"]
paths = sorted("/".join(p.decode() for p in f[b"path"]) for f in info[b"files"])
problems = []
if kind == "vcdiff":
    toc = open(f"{site}/releases/2/game_2_1to2.tocstore").read()
    stored = dict(re.findall(r"<FileName>(.*?)</FileName>.*?<DifferenceFile>(\w+)<", toc, re.S))
    if stored != {"edited.bin": "TRUE", "replaced.bin": "FALSE", "new dir\\added.bin": "FALSE"}:
        problems.append(f"store members {stored}")
    want_url, want_paths = url + "reference/", ["delta/edited.bin", "whole/new dir/added.bin",
                                                "whole/replaced.bin"]
else:
    want_url = url + "releases/"
    want_paths = ["edited.bin", "new dir/added.bin", "remove.manifest", "replaced.bin"]
if meta.get(b"url-list") != want_url.encode():
    problems.append(f"url-list {meta.get(b'url-list')}")
if info[b"name"] != b"2" or paths != want_paths:
    problems.append(f"name {info[b'name']} files {paths}")
if b"reliable" in meta:
    problems.append("the reference metafile names the reliable source")
if problems:
    sys.exit("; ".join(problems))
PY
}
expect "the store and the reference metafile" check_store_and_metafile "$site" "$url" vcdiff

"$publish" --type Incremental --reference "$url" "$work/plain" "$work/v1" "$work/v2"
expect "an Incremental reference covers the release folder" \
  check_store_and_metafile "$work/plain" "$url" incremental

"$publish" "$url" "$work/default" "$work/v1" "$work/v2"
expect "without --whole-replaced a replaced file is a delta" \
  grep -q "<FileName>replaced.bin</FileName>.*<DifferenceFile>TRUE" \
  <(tr -d '\n ' <"$work/default/releases/2/game_2_1to2.tocstore" | sed 's|</File>|</File>\n|g')
expect "without --reference nothing is referenced" \
  test ! -e "$work/default/reference" -a ! -e "$work/default/game_2.reference.torrent"

for bad in 0 3; do
  status=0
  "$publish" --releases-from "$bad" "$url" "$work/bad" "$work/v1" "$work/v2" 2>/dev/null || status=$?
  expect "--releases-from $bad is refused" test "$status" = 2
done

[ "$failures" -eq 0 ] && echo "publish_test: every check passed"
exit $((failures > 0))
