#!/usr/bin/env bash
# Builds the release twice from copies of the source in two different
# folders, the one dated by SOURCE_DATE_EPOCH and the other by its commit,
# and compares the bytes: both programs, the zip and SHA256SUMS.  Only the
# programs and the zip are built (no tests, no tools).
#   reproducible.sh SOURCE_DIR VERSION      (exit 77: no mingw-w64 here)
set -euo pipefail
source_dir=$1 version=$2
zip_name=kova-$version-win32.zip

command -v i686-w64-mingw32-g++-posix >/dev/null 2>&1 || { echo "no mingw-w64 i686 compiler"; exit 77; }
command -v python3 >/dev/null 2>&1 || { echo "no python3"; exit 77; }

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# The checkout as it stands (changes not yet committed included), without
# build trees.
copy_source() {
  mkdir -p "$1"
  if git -C "$source_dir" rev-parse --git-dir >/dev/null 2>&1; then
    (cd "$source_dir" && git ls-files -co --exclude-standard -z |
      while IFS= read -r -d '' f; do if [ -e "$f" ]; then printf '%s\0' "$f"; fi; done |
      xargs -0 cp -d --parents -t "$1")
  else
    (cd "$source_dir" && tar -c --exclude=./build --exclude=./.git .) | tar -x -C "$1"
  fi
}

# The time of the source's commit, or a fixed one.
stamp=$(git -C "$source_dir" log -1 --format=%ct 2>/dev/null || echo 1700000000)

first=$work/a
second=$work/a-second-folder/with/a/longer/path
copy_source "$first"
copy_source "$second"
(cd "$second" && git init -q && git add -A &&
  GIT_COMMITTER_DATE="@$stamp" git -c user.name=kova -c user.email=kova@localhost -c commit.gpgsign=false \
    commit -q -m "release under test")

build() { # folder, then the environment to build in
  local dir=$1
  shift
  (cd "$dir" &&
    env "$@" cmake --preset windows -DKOVA_BUILD_TESTS=OFF -DKOVA_BUILD_TOOLS=OFF >/dev/null &&
    env "$@" cmake --build --preset windows >/dev/null) || { echo "build in $dir failed"; exit 1; }
}
build "$first" SOURCE_DATE_EPOCH="$stamp"
build "$second" -u SOURCE_DATE_EPOCH

status=0
for file in host/kova32ex.exe wakelan/wakelan.exe "dist/$zip_name" dist/SHA256SUMS; do
  if ! cmp "$first/build/windows/$file" "$second/build/windows/$file"; then
    echo "$file differs between the two builds"
    status=1
  fi
done
for program in host/kova32ex.exe wakelan/wakelan.exe; do
  for dir in "$first" "$second"; do
    if grep -q -a -F "$dir" "$dir/build/windows/$program"; then
      echo "$program holds its build folder $dir"
      status=1
    fi
  done
done

# The zip holds exactly the two programs and the two texts (CR LF line
# ends), as built, with the commit's time; SHA256SUMS checks out against
# them.
dist=$first/build/windows/dist
python3 - "$dist/$zip_name" "$stamp" <<'PY' || status=1
import sys, time, zipfile
archive, stamp = zipfile.ZipFile(sys.argv[1]), time.gmtime(int(sys.argv[2]))
names = [i.filename for i in archive.infolist()]
want = time.gmtime(int(sys.argv[2]))[:5] + (stamp.tm_sec // 2 * 2,)
ok = names == ["kova32ex.exe", "wakelan.exe", "CONSOLE.txt", "WAKELAN.txt"]
ok = ok and all(b"\r\n" in archive.read(n) and b"\n" not in archive.read(n).replace(b"\r\n", b"")
                for n in ("CONSOLE.txt", "WAKELAN.txt"))
ok = ok and all(i.date_time == want for i in archive.infolist())
if not ok:
    print("zip entries:", [(i.filename, i.date_time) for i in archive.infolist()], "expected time", want)
sys.exit(0 if ok else 1)
PY
mkdir "$work/unpacked"
cp "$dist/$zip_name" "$dist/SHA256SUMS" "$work/unpacked/"
(cd "$work/unpacked" && python3 -m zipfile -e "$zip_name" . && sha256sum --quiet -c SHA256SUMS) || status=1
cmp "$work/unpacked/kova32ex.exe" "$first/build/windows/host/kova32ex.exe" || status=1
exit $status
