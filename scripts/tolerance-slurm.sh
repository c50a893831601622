#!/usr/bin/env bash
# A tolerance run or a design sweep on a Slurm cluster: an array of K shard
# tasks, then a merge job that starts when every task of the array has
# succeeded.
#
#   scripts/tolerance-slurm.sh --prism PATH --trials N --seed S --shards K --output-dir D
#                              [--tolerances FILE] [--cli PATH] [--threads N] [-- SBATCH_OPTIONS...]
#   scripts/tolerance-slurm.sh --param NAME=LOW:HIGH:COUNT [--param ...] --shards K --output-dir D
#                              [--order N] [--verify-step S] [--target-points N]
#                              [--cli PATH] [--threads N] [-- SBATCH_OPTIONS...]
#
# Task i runs `harvenlotek-cli tolerance ... --shard i/K --output-dir D/shard-i`
# (with --param: `harvenlotek-cli sweep ...`); the merge job writes into D the
# same files an unsharded run writes. D must be on a file system every
# node sees. Prints the two job ids. Options after "--" go to both sbatch calls
# (e.g. --partition, --time).
set -euo pipefail

cli="$(cd "$(dirname "$0")/.." && pwd)/build/bin/harvenlotek-cli"
prism="" trials="" seed="" shards="" out="" tolerances="" threads=""
sweep=()
while [ $# -gt 0 ]; do
  case "$1" in
    --prism) prism="$2"; shift 2 ;;
    --trials) trials="$2"; shift 2 ;;
    --seed) seed="$2"; shift 2 ;;
    --shards) shards="$2"; shift 2 ;;
    --output-dir) out="$2"; shift 2 ;;
    --tolerances) tolerances="$2"; shift 2 ;;
    --cli) cli="$2"; shift 2 ;;
    --threads) threads="$2"; shift 2 ;;
    --param|--order|--verify-step|--target-points) sweep+=("$1" "$2"); shift 2 ;;
    --) shift; break ;;
    *) echo "tolerance-slurm.sh: unknown option $1" >&2; exit 2 ;;
  esac
done
if [ ${#sweep[@]} -gt 0 ]; then
  if [ -z "$shards" ] || [ -z "$out" ] || [ -n "$prism$trials$seed$tolerances" ]; then
    echo "tolerance-slurm.sh: a sweep needs --param, --shards and --output-dir (no --prism, --trials, --seed or --tolerances)" >&2
    exit 2
  fi
elif [ -z "$prism" ] || [ -z "$trials" ] || [ -z "$seed" ] || [ -z "$shards" ] || [ -z "$out" ]; then
  echo "tolerance-slurm.sh: needs --prism, --trials, --seed, --shards and --output-dir" >&2
  exit 2
fi
case "$shards" in ''|*[!0-9]*|0) echo "tolerance-slurm.sh: --shards must be a whole number above 0" >&2; exit 2 ;; esac
mkdir -p "$out"
out="$(cd "$out" && pwd)"
extra=()
[ -n "$tolerances" ] && extra+=(--tolerances "$(realpath "$tolerances")")
[ -n "$threads" ] && extra+=(--threads "$threads")
q() { printf '%q ' "$@"; }
if [ ${#sweep[@]} -gt 0 ]; then
  name=sweep
  command=(sweep "${sweep[@]}" "${extra[@]}")
else
  name=tolerance
  command=(tolerance --prism "$(realpath "$prism")" --trials "$trials" --seed "$seed" "${extra[@]}")
fi

array_id=$(sbatch --parsable "$@" --array=0-$((shards - 1)) --job-name="$name" \
  --output="$out/slurm-%A_%a.out" --wrap \
  "$(q "$cli" "${command[@]}") --shard \$SLURM_ARRAY_TASK_ID/$shards --output-dir $(printf %q "$out")/shard-\$SLURM_ARRAY_TASK_ID")
array_id="${array_id%%;*}"

shard_dirs=()
for ((i = 0; i < shards; i++)); do shard_dirs+=("$out/shard-$i"); done
merge_id=$(sbatch --parsable "$@" --dependency=afterok:"$array_id" --job-name="$name-merge" \
  --output="$out/slurm-merge-%j.out" --wrap "$(q "$cli" merge --output-dir "$out" "${shard_dirs[@]}")")
merge_id="${merge_id%%;*}"
echo "array $array_id"
echo "merge $merge_id"
