#!/usr/bin/env bash
# The race: one long General MIDI song rendered on one SoundFont bank by
# `quillrow render --soundfont` and by FluidSynth, and by TiMidity++ with its
# own set-up as a second opinion on loudness.
#
#   bench/sampler_race.sh [BUILD_DIR [SONG.mid [BANK.sf2]]]
#
# Defaults: ./build, planetblupi's music005.mid (603 s, 27,003 notes) and
# TimGM6mb. Prints for each program its processor time on one core (user +
# system, pinned to core 0; the wall time too, which a loaded machine
# inflates), the ratio and the peak memory; then how closely the loudness
# envelope of our render (RMS in 500 ms windows, in dB) follows FluidSynth's,
# beside the same figure for TiMidity++'s render. Last, our render again with
# its voices shared over cores 0 and 1: its wall time, and whether its
# file is the one-core file bit for bit.
#
# Each of the three renders runs RACE_ROUNDS times (default 3), taking turns,
# and the best time of each counts: on a machine shared with others the
# fastest run is the one least slowed by them.
set -euo pipefail
rounds=${RACE_ROUNDS:-3}

here=$(cd "$(dirname "$0")" && pwd)
build=$(cd "${1:-$here/../build}" && pwd)
song=${2:-/usr/share/planetblupi/music/music005.mid}
bank=${3:-/usr/share/sounds/sf2/TimGM6mb.sf2}
quillrow=$build/app/quillrow
[ -x "$quillrow" ] || { echo "missing $quillrow (build the app first)" >&2; exit 1; }
for tool in fluidsynth timidity taskset; do
  command -v $tool >/dev/null || { echo "$tool is not installed (see .ci/setup)" >&2; exit 1; }
done

tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT

# name, then the command; adds a line "wall user sys maxKB" to $tmp/name.time
run() {
  local name=$1
  shift
  /usr/bin/time -a -f "%e %U %S %M" -o "$tmp/$name.time" "$@" >"$tmp/$name.log" 2>&1 ||
    { echo "$name failed:" >&2; cat "$tmp/$name.log" "$tmp/$name.time" >&2; exit 1; }
}

for _ in $(seq "$rounds"); do
  run quillrow taskset -c 0 "$quillrow" render "$song" --soundfont "$bank" -o "$tmp/quillrow.wav" --quiet --cores 1
  run quillrow2 taskset -c 0,1 "$quillrow" render "$song" --soundfont "$bank" -o "$tmp/quillrow2.wav" --quiet --cores 2
  run fluidsynth taskset -c 0 fluidsynth -ni -R 0 -C 0 -F "$tmp/fluidsynth.wav" -r 44100 "$bank" "$song"
done
run timidity taskset -c 0 timidity -Ow -o "$tmp/timidity.wav" "$song"

python3 - "$tmp" <<'EOF'
import array, math, struct, sys

tmp = sys.argv[1]

def times(name):
    runs = [line.split() for line in open(f"{tmp}/{name}.time") if line.strip()]
    return (min(float(r[0]) for r in runs), min(float(r[1]) + float(r[2]) for r in runs),
            max(int(r[3]) for r in runs))

def rms_db(path, window_s=0.5):
    with open(path, "rb") as f:
        b = f.read()
    pos, fmt, data = 12, None, None
    while pos + 8 <= len(b):
        cid, size = b[pos:pos + 4], struct.unpack_from("<I", b, pos + 4)[0]
        if cid == b"fmt ":
            fmt = struct.unpack_from("<HHIIHH", b, pos + 8)
        elif cid == b"data":
            data = b[pos + 8:pos + 8 + size]
        pos += 8 + size + (size & 1)
    tag, channels, rate, _, _, bits = fmt
    if tag == 3 or (tag == 0xFFFE and bits == 32):
        x = array.array("f"); x.frombytes(data[:len(data) // 4 * 4]); scale = 1.0
    else:
        x = array.array("h"); x.frombytes(data[:len(data) // 2 * 2]); scale = 1.0 / 32768.0
    n = int(rate * window_s) * channels
    out = []
    for i in range(0, len(x) - n + 1, n):
        w = x[i:i + n]
        e = math.fsum(map(float.__mul__, map(float, w), map(float, w))) * scale * scale / n
        out.append(10.0 * math.log10(e + 1e-12))
    return out

def correlation(a, b):
    m = min(len(a), len(b))
    a, b = a[:m], b[:m]
    ma, mb = sum(a) / m, sum(b) / m
    cov = sum((x - ma) * (y - mb) for x, y in zip(a, b))
    va = sum((x - ma) ** 2 for x in a)
    vb = sum((y - mb) ** 2 for y in b)
    return cov / math.sqrt(va * vb)

q, f, t, q2 = times("quillrow"), times("fluidsynth"), times("timidity"), times("quillrow2")
print(f"{'program':<12}{'cpu s':>9}{'wall s':>9}{'peak MB':>10}")
for name, (wall, cpu, kb) in (("quillrow", q), ("fluidsynth", f), ("timidity", t)):
    print(f"{name:<12}{cpu:>9.2f}{wall:>9.2f}{kb / 1024:>10.1f}")
print(f"speed, quillrow over fluidsynth (cpu): {f[1] / q[1]:.2f}x")
print(f"peak memory, quillrow / fluidsynth: {q[2] / f[2]:.2f}")
ref = rms_db(f"{tmp}/fluidsynth.wav")
print(f"loudness correlation with fluidsynth: quillrow {correlation(rms_db(f'{tmp}/quillrow.wav'), ref):.4f}, "
      f"timidity {correlation(rms_db(f'{tmp}/timidity.wav'), ref):.4f}")
same = open(f"{tmp}/quillrow.wav", "rb").read() == open(f"{tmp}/quillrow2.wav", "rb").read()
print(f"two cores: quillrow {q2[0]:.2f} s wall, {q2[1]:.2f} s cpu; "
      f"wall speed-up over one core {q[0] / q2[0]:.2f}x; same file as one core: {same}")
EOF
