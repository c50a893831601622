#!/bin/sh
# The lateral colour table of the default panel's prism (order 8, stereo
# objective) for a few materials and bands: one one-shot run each
# ("harvenlotek-cli prism --material M --band B --json") into a temporary
# directory, the figures read from the JSON summary.
#
#   scripts/colour-table.sh [CLI] [MATERIALS] [BANDS]
#   scripts/colour-table.sh build/bin/harvenlotek-cli "N-BK7,PMMA,polycarbonate" "visible,nir850"
#
# Columns: lateral colour RMS / max px (worse half), mean shift per half
# (x, px), what is left after the mean (RMS / max px, worse half; and
# outside the 32 centre columns per half, whose rays may cross the other
# half's face), the
# disparity difference between the band's edges at 1 m (px) and the depth
# error it makes there (mm and %). Closed form beside it: each half's mean
# shift ~ the deviation difference x f / pitch, where each half deviates its
# rays by delta = atan(q / f) (camera ray to virtual camera ray at the half's
# centre) and a thin prism's deviation difference is (n_s - n_l) delta / (n - 1).
set -eu
cli=${1:-build/bin/harvenlotek-cli}
materials=${2:-N-BK7,PMMA,polycarbonate}
bands=${3:-visible,nir850}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
printf '%-14s %-8s %8s %14s %18s %14s %16s %10s %18s %10s\n' material band n_design "rms/max px" "mean L/R px" \
    "rest rms/max" "rest w/o centre" "dd@1m px" "depth err@1m" "closed px"
IFS=,
for material in $materials; do
    for band in $bands; do
        folder="run-$(printf '%s-%s' "$material" "$band" | tr ' /' '__')"
        "$cli" prism --material "$material" --band "$band" --json --output-dir "$work" --folder "$folder" \
            >"$work/out.json" 2>/dev/null || { echo "$material $band: failed"; continue; }
        python3 - "$work/out.json" "$material" "$band" "$work/$folder/prism.json" <<'PY'
import json, math, sys
summary = json.load(open(sys.argv[1]))["prism"]
c = summary["lateralColour"]
prism = json.load(open(sys.argv[4]))
h = [x["lateralColour"] for x in c["halves"]]
d = [x for x in c["depths"] if x["depthMm"] == 1000][0]
n = prism["panel"]["refractiveIndex"]
f, q = prism["panel"]["focalLengthMm"], 1920 * 0.0055 / 4
closed = f / 0.0055 * math.atan(q / f) * (c["shortIndex"] - c["longIndex"]) / (n - 1)
print("%-14s %-8s %8.5f %6.3f/%-7.3f %8.3f/%-9.3f %6.3f/%-7.3f %7.3f/%-8.3f %10.3f %9.1f mm %5.2f %% %9.3f" % (
    sys.argv[2], sys.argv[3], prism["panel"]["refractiveIndex"],
    max(x["rmsPx"] for x in h), max(x["maxPx"] for x in h), h[0]["meanXPx"], h[1]["meanXPx"],
    max(x["demeanedRmsPx"] for x in h), max(x["demeanedMaxPx"] for x in h),
    max(x["outsideCentreDemeanedRmsPx"] for x in h), max(x["outsideCentreDemeanedMaxPx"] for x in h),
    d["disparityDifferencePx"], d["depthErrorMm"], d["depthErrorPercent"], closed))
PY
    done
done
