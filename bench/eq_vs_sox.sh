#!/usr/bin/env bash
# The 8-band equaliser of bench/eq8_project.txt (100, 200, ... 12800 Hz, 0.5
# octave, +3 dB) over a stereo file, through `quillrow process` and through
# sox's equalizer chain; prints both times, their ratio and the RMS of the
# difference relative to the RMS of sox's output.
#
#   bench/eq_vs_sox.sh [BUILD_DIR [IN.wav [REPEATS]]]
#
# BUILD_DIR defaults to ./build; without IN.wav a 10-minute 16-bit stereo
# pink-noise file is made with sox. Each side runs REPEATS times (default 3),
# alternating, and keeps its best wall and processor times, so that load on a
# shared machine does not decide the ratio. Both write 32-bit float WAV.
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
build=$(cd "${1:-$here/../build}" && pwd)
in=${2:-}
repeats=${3:-3}
quillrow=$build/app/quillrow
text=$build/app/quillrow-text
for tool in "$quillrow" "$text"; do
  [ -x "$tool" ] || { echo "missing $tool (build the app first)" >&2; exit 1; }
done
command -v sox >/dev/null || { echo "sox is not installed (see .ci/setup)" >&2; exit 1; }

tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
if [ -z "$in" ]; then
  in=$tmp/in.wav
  sox -n -r 44100 -c 2 -b 16 "$in" synth 600 pinknoise pinknoise vol 0.25
fi
"$text" build "$here/eq8_project.txt" -o "$tmp/eq8.qrw"

chain=()
for f in 100 200 400 800 1600 3200 6400 12800; do chain+=(equalizer "$f" 0.5o 3); done

# Runs a command; prints "wall cpu" in seconds.
measure() {
  local TIMEFORMAT='%R %U %S'
  { time "$@" >/dev/null 2>&1; } 2>&1 | awk '{ printf "%.3f %.3f\n", $1, $2 + $3 }'
}
best() { awk -v a="$1" -v b="$2" 'BEGIN { print (a == "" || b + 0 < a + 0) ? b : a }'; }

ours_wall="" ours_cpu="" sox_wall="" sox_cpu=""
for ((k = 0; k < repeats; ++k)); do
  read -r w c < <(measure "$quillrow" process "$tmp/eq8.qrw" "$in" -o "$tmp/ours.wav" --bits 32 --quiet)
  ours_wall=$(best "$ours_wall" "$w"); ours_cpu=$(best "$ours_cpu" "$c")
  read -r w c < <(measure sox --single-threaded "$in" -e floating-point -b 32 "$tmp/sox.wav" "${chain[@]}")
  sox_wall=$(best "$sox_wall" "$w"); sox_cpu=$(best "$sox_cpu" "$c")
done
[ -s "$tmp/ours.wav" ] || { echo "quillrow process wrote nothing" >&2; exit 1; }

rms() { sox "$@" -n stat 2>&1 | awk '/^RMS +amplitude/ { print $3 }'; }
diff_rms=$(rms -m -v 1 "$tmp/ours.wav" -v -1 "$tmp/sox.wav")
sig_rms=$(rms "$tmp/sox.wav")

awk -v ow="$ours_wall" -v oc="$ours_cpu" -v sw="$sox_wall" -v sc="$sox_cpu" -v d="$diff_rms" -v s="$sig_rms" \
  -v n="$repeats" -v f="$in" 'BEGIN {
  printf "input: %s, best of %d\n", f, n
  printf "sox equalizer x8:  wall %.3f s, cpu %.3f s\n", sw, sc
  printf "quillrow process:  wall %.3f s, cpu %.3f s\n", ow, oc
  printf "ratio (sox / quillrow): %.2fx wall, %.2fx cpu (target 3x)\n", sw / ow, sc / oc
  if (d <= 0) printf "difference: none\n"
  else printf "difference: %.1f dB relative to the signal (target below -80 dB)\n", 20 * log(d / s) / log(10)
}'
