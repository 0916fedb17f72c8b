#!/usr/bin/env bash
# Attach time of a squashfs image (200 MiB by default) through nvsu-diskimage
# against the same attach done by hand with the system tool, in the same run:
# a loop mount (root), squashfuse (when /dev/fuse is usable) and unsquashfs.
# Prints the median of each and the ratio tool / by hand. The tool's figure
# includes its own start-up, the image checks and the clean-up scan.
#
#   bench/bench_diskimage.sh [SIZE_MIB] [RUNS]      (BUILD_DIR, default build)
set -eu
cd "$(dirname "$0")/.."

size_mib=${1:-200}
runs=${2:-5}
tool="${BUILD_DIR:-build}/Velkin Software Update.app/Contents/MacOS/nvsu-diskimage"
[ -x "$tool" ] || { echo "bench_diskimage: build the bundle first ($tool is missing)" >&2; exit 1; }

work=$(mktemp -d)
export XDG_CACHE_HOME="$work/cache"
finish() {
  # Nothing may stay mounted, whatever failed.
  for m in "$work"/hand-*; do
    [ -d "$m" ] || continue
    mountpoint -q "$m" && { fusermount3 -u "$m" 2>/dev/null || umount -l "$m" 2>/dev/null || true; }
  done
  "$tool" cleanup >/dev/null 2>&1 || true
  chmod -R u+w "$work" 2>/dev/null || true
  rm -rf "$work"
}
trap finish EXIT

# Incompressible content in 20 files, so the image is as large as asked.
mkdir -p "$work/source/Velkin.app/Contents/Resources"
for i in $(seq 1 20); do
  head -c $((size_mib * 1048576 / 20)) /dev/urandom > "$work/source/Velkin.app/Contents/Resources/part$i"
done
mksquashfs "$work/source" "$work/image.dmg" -noappend -all-root -quiet -no-progress >/dev/null
image_mib=$(( $(stat -c %s "$work/image.dmg") / 1048576 ))

now() { date +%s%N; }
ms() { echo $(( ($2 - $1) / 1000000 )); }
median() { sort -n | awk '{ a[NR] = $1 } END { print (NR % 2) ? a[(NR + 1) / 2] : int((a[NR / 2] + a[NR / 2 + 1]) / 2) }'; }

# One attach through the tool; prints milliseconds, detaches afterwards.
tool_attach() {
  local start end output mount_point
  start=$(now)
  output=$(NV_DISKIMAGE_METHODS=$1 "$tool" attach -plist -noverify -nobrowse -noautoopen "$work/image.dmg" </dev/null)
  end=$(now)
  mount_point=$(printf '%s\n' "$output" | sed -n '/<key>mount-point<\/key>/{n;s:.*<string>\(.*\)</string>.*:\1:p}')
  [ -n "$mount_point" ] || { echo "bench_diskimage: attach ($1) printed no mount point" >&2; exit 1; }
  "$tool" detach -force "$mount_point"
  ms "$start" "$end"
}

# The same attach by hand; prints milliseconds, undoes it afterwards.
hand_attach() {
  local start end dir
  dir=$(mktemp -d "$work/hand-XXXXXX")
  start=$(now)
  case $1 in
    loop) mount -t squashfs -o ro,loop,nodev,nosuid "$work/image.dmg" "$dir" ;;
    fuse) squashfuse -o ro,nodev,nosuid "$work/image.dmg" "$dir" ;;
    extract) unsquashfs -n -q -f -d "$dir" "$work/image.dmg" >/dev/null ;;
  esac
  end=$(now)
  case $1 in
    loop) umount "$dir" ;;
    fuse) fusermount3 -u "$dir" ;;
  esac
  rm -rf "$dir"
  ms "$start" "$end"
}

methods="extract"
[ -r /dev/fuse ] && [ -w /dev/fuse ] && methods="fuse $methods"
[ "$(id -u)" -eq 0 ] && methods="loop $methods"

echo "image: ${image_mib} MiB squashfs, $runs runs each, median milliseconds"
printf '%-8s %10s %10s %8s\n' method tool by-hand ratio
for method in $methods; do
  tool_times=""
  hand_times=""
  for _ in $(seq 1 "$runs"); do
    tool_times="$tool_times $(tool_attach "$method")"
    hand_times="$hand_times $(hand_attach "$method")"
  done
  t=$(printf '%s\n' $tool_times | median)
  h=$(printf '%s\n' $hand_times | median)
  ratio=$(awk -v t="$t" -v h="$h" 'BEGIN { printf (h > 0) ? "%.2f" : "-", t / (h > 0 ? h : 1) }')
  printf '%-8s %10s %10s %8s\n' "$method" "$t" "$h" "$ratio"
  # A row of bench/run's table.
  printf 'table|attaching an image, %s (median)|%s ms|%s ms by hand|%sx|||\n' "$method" "$t" "$h" "$ratio"
done
