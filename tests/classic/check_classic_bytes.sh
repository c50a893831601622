#!/usr/bin/env bash
# Runs the command-line designer on four panel settings, every fit order, and
# compares each classic result file with the checksums recorded from the
# reference build (tests/data/classic_results.sha256). Extra files in the
# output directories are ignored; a missing or changed listed file fails.
set -euo pipefail
cli="$1"
sums="$2"
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
declare -A settings=(
  [default]=""
  [f20_i152_fix]="--focal-length 20 --index 1.52 --fix-angle"
  [d250_s80_a30]="--distance 250 --size 80 --angle 30.25"
  [f40_d120_s150_i140]="--focal-length 40 --distance 120 --size 150 --index 1.40 --angle 12.5"
)
for name in "${!settings[@]}"; do
  mkdir -p "$work/$name"
  # shellcheck disable=SC2086
  "$cli" run --design-model classic --order all ${settings[$name]} --output-dir "$work/$name" >/dev/null
done
cd "$work"
sha256sum --quiet -c "$sums"
echo "classic result files identical: $(wc -l < "$sums") files"
