#!/usr/bin/env bash
# The whole job on the sample program: installs what is missing, builds, cleans a copy of the
# sample image, waits for the detached resolve run and prints the project patch database.
#
#   scripts/demo.sh [build folder]        (default: build)
#   TQT_DEMO_SKIP_BUILD=1 scripts/demo.sh build-x   uses a folder that is already built
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
build=${1:-build}
case $build in /*) ;; *) build=$root/$build ;; esac

if [ "${TQT_DEMO_SKIP_BUILD:-0}" != 1 ]; then
    scripts/deps.sh
    scripts/build.sh "$build"
fi
cmake --build "$build" --target tqt_patchclean undname testimage_sample

demo=$build/demo
rm -rf "$demo"
mkdir -p "$demo/work" "$demo/appdata" "$demo/config" "$demo/tracing"
cp "$build"/testimages/sample/sample.{exe,pdb,map} "$demo/work/"

# The product's variables: TQ_VELMORA lets the tool find itself for the resolve run; settings and
# tracing folders stay inside the build folder.
export TQ_VELMORA=$build/bin
export TQ_TRACING=$demo/tracing
export APPDATA=$demo/appdata
export XDG_CONFIG_HOME=$demo/config
echo "== environment"
echo "TQ_VELMORA=$TQ_VELMORA"
echo "TQ_TRACING=$TQ_TRACING"
echo "APPDATA=$APPDATA"
echo "XDG_CONFIG_HOME=$XDG_CONFIG_HOME"
echo "visual studio common: $build/vs-common (undname.exe in its bin folder)"

cd "$demo/work"
db=$demo/work/sample.db
echo "== cleaning $demo/work/sample.exe"
set +e
"$build/bin/tqt_patchclean.exe" sample.exe "$db" "$build/vs-common"
status=$?
set -e
echo "exit code $status"
[ "$status" -eq 0 ] || exit "$status"

echo "== waiting for the resolve run (at most 30 s)"
pending=-1
for _ in $(seq 1 300); do
    pending=$(sqlite3 "$db" "SELECT count(*) FROM functions WHERE name = 'not resolved yet'
                             OR source_file = 'not resolved yet'" 2>/dev/null || echo -1)
    [ "$pending" = 0 ] && break
    sleep 0.1
done
if [ "$pending" = 0 ]; then
    echo "resolved"
else
    echo "the resolve run has not finished within 30 s: $pending entries still unresolved"
fi

echo "== $db: address | old bytes | name | source file"
sqlite3 -separator ' | ' "$db" "
    SELECT printf('%08x', address),
           printf('%02x %02x %02x %02x %02x', old_bytes & 255, (old_bytes >> 8) & 255,
                  (old_bytes >> 16) & 255, (old_bytes >> 24) & 255, (old_bytes >> 32) & 255),
           name, source_file
    FROM functions ORDER BY address"
echo "== image timestamp stored: $(sqlite3 "$db" "SELECT value FROM meta WHERE key = 'executable_timestamp'")"
