#!/usr/bin/env bash
# A throw-away single-node Slurm (munge, slurmctld, slurmd) in a folder of
# its own, for the tests:
#   single_node_slurm.sh start DIR   starts it; prints SLURM_CONF=DIR/slurm.conf
#   single_node_slurm.sh stop DIR    stops what start started (by the pids it saved)
# Exits 77 with one line saying why when it cannot start (not root, Slurm or
# munge not installed, a daemon does not come up).
set -uo pipefail
action="${1:-}" dir="${2:-}"
[ -n "$dir" ] || { echo "usage: $0 start|stop DIR" >&2; exit 2; }

stop() {
  for name in slurmd slurmctld munged; do
    f="$dir/$name.pid"
    [ -s "$f" ] || continue
    pid=$(cat "$f")
    kill "$pid" 2>/dev/null
    for _ in $(seq 50); do kill -0 "$pid" 2>/dev/null || break; sleep 0.1; done
    kill -9 "$pid" 2>/dev/null
    rm -f "$f"
  done
}

if [ "$action" = stop ]; then stop; exit 0; fi
[ "$action" = start ] || { echo "usage: $0 start|stop DIR" >&2; exit 2; }
skip() { echo "single-node Slurm cannot start: $*"; stop; exit 77; }
[ "$(id -u)" -eq 0 ] || skip "needs root"
for p in munged slurmctld slurmd sbatch squeue; do
  command -v "$p" >/dev/null || skip "$p is not installed (Debian: slurm-wlm, munge)"
done
id munge >/dev/null 2>&1 || skip "no munge user"

mkdir -p "$dir"
dir="$(cd "$dir" && pwd)"
install -d -m 0700 -o munge -g munge "$dir/munge"
chmod 0755 "$dir"
dd if=/dev/urandom of="$dir/munge/munge.key" bs=1024 count=1 status=none
chown munge:munge "$dir/munge/munge.key"; chmod 0400 "$dir/munge/munge.key"
runuser -u munge -- munged --key-file="$dir/munge/munge.key" --socket="$dir/munge/munge.socket" \
  --pid-file="$dir/munge/munged.pid" --log-file="$dir/munge/munged.log" --seed-file="$dir/munge/seed" \
  --force 2>"$dir/munged.err" || skip "munged: $(head -1 "$dir/munged.err")"
for _ in $(seq 50); do [ -s "$dir/munge/munged.pid" ] && break; sleep 0.1; done
cp "$dir/munge/munged.pid" "$dir/munged.pid" 2>/dev/null || skip "munged wrote no pid"

host=$(hostname -s)
port=$((20000 + RANDOM % 20000))
mkdir -p "$dir/state" "$dir/spool"
cat > "$dir/slurm.conf" <<CONF
ClusterName=harvenlotek-test
SlurmctldHost=$host
SlurmctldPort=$port
SlurmdPort=$((port + 1))
AuthType=auth/munge
CredType=cred/munge
AuthInfo=socket=$dir/munge/munge.socket
SlurmUser=root
SlurmdUser=root
StateSaveLocation=$dir/state
SlurmdSpoolDir=$dir/spool
SlurmctldPidFile=$dir/slurmctld.pid
SlurmdPidFile=$dir/slurmd.pid
SlurmctldLogFile=$dir/slurmctld.log
SlurmdLogFile=$dir/slurmd.log
ProctrackType=proctrack/linuxproc
TaskPlugin=task/none
JobAcctGatherType=jobacct_gather/none
SelectType=select/cons_tres
SelectTypeParameters=CR_CPU
ReturnToService=2
MpiDefault=none
SchedulerType=sched/backfill
NodeName=$host CPUs=2 State=UNKNOWN
PartitionName=test Nodes=$host Default=YES MaxTime=INFINITE State=UP
CONF
export SLURM_CONF="$dir/slurm.conf"
slurmctld -f "$SLURM_CONF" -i 2>"$dir/slurmctld.err" || skip "slurmctld: $(head -1 "$dir/slurmctld.err")"
slurmd -f "$SLURM_CONF" 2>"$dir/slurmd.err" || skip "slurmd: $(head -1 "$dir/slurmd.err")"
for _ in $(seq 100); do
  state=$(sinfo -h -o %t 2>/dev/null | head -1)
  case "$state" in idle*|mix*|alloc*) echo "SLURM_CONF=$SLURM_CONF"; exit 0 ;; esac
  sleep 0.2
done
skip "the node did not become idle (state '${state:-none}'; see $dir/slurmctld.log)"
