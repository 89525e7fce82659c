#!/usr/bin/env bash
# A one-machine Slurm cluster for the farm tests, private to the caller: its own munge key and socket,
# its own ports, every file under one temporary folder; no cgroups.
#
#   slurm-cluster.sh start ENVFILE   starts munged, slurmctld and slurmd; writes SLURM_CONF=... to ENVFILE
#   slurm-cluster.sh stop ENVFILE    stops every daemon that start started (by process id), removes the folder
#
# Exit status 77 from start: this machine cannot run the cluster (not root, or Slurm/munge not installed).
# A watchdog stops the daemons after WATCHCAM_SLURM_LIFETIME seconds (default 1200) should stop never run.
set -euo pipefail

usage() { echo "usage: $0 start|stop ENVFILE" >&2; exit 2; }
[ $# -eq 2 ] || usage
action=$1 envfile=$2

# Stops the processes whose ids are listed in DIR/pids: TERM, then KILL for any still there after 10 s.
stop_pids() {
  local dir=$1 pid
  [ -f "$dir/pids" ] || return 0
  local pids=()
  while read -r pid; do [ -n "$pid" ] && pids+=("$pid"); done <"$dir/pids"
  for pid in "${pids[@]}"; do kill -TERM "$pid" 2>/dev/null || true; done
  for _ in $(seq 100); do
    local alive=0
    for pid in "${pids[@]}"; do kill -0 "$pid" 2>/dev/null && alive=1; done
    [ $alive -eq 0 ] && break
    sleep 0.1
  done
  for pid in "${pids[@]}"; do kill -KILL "$pid" 2>/dev/null || true; done
  rm -f "$dir/pids"
}

if [ "$action" = stop ]; then
  [ -f "$envfile" ] || exit 0
  dir=$(sed -n 's/^SLURM_CLUSTER_DIR=//p' "$envfile")
  rm -f "$envfile"
  [ -n "$dir" ] && [ -d "$dir" ] || exit 0
  # Jobs a failed test left behind end with the cluster rather than outlive it.
  if [ -f "$dir/slurm.conf" ] && [ -s "$dir/pids" ]; then
    export SLURM_CONF=$dir/slurm.conf
    if timeout 10 scancel --user="$(id -un)" 2>/dev/null; then
      for _ in $(seq 100); do
        [ -z "$(timeout 5 squeue --noheader --user="$(id -un)" 2>/dev/null)" ] && break
        sleep 0.1
      done
    fi
  fi
  stop_pids "$dir"
  rm -rf "$dir"
  exit 0
fi
[ "$action" = start ] || usage

for tool in munged slurmctld slurmd sbatch squeue scontrol; do
  if ! command -v "$tool" >/dev/null && ! [ -x "/usr/sbin/$tool" ]; then
    echo "slurm-cluster: $tool is not installed (tools/bootstrap installs slurm-wlm and munge)" >&2
    exit 77
  fi
done
if [ "$(id -u)" -ne 0 ]; then
  echo "slurm-cluster: slurmd runs jobs only as root; run the farm tests as root" >&2
  exit 77
fi
PATH=$PATH:/usr/sbin

# A stale cluster of an earlier run that was never stopped goes first.
"$0" stop "$envfile"

dir=$(mktemp -d /tmp/watchcam-slurm.XXXXXX)
chmod 700 "$dir"
mkdir -p "$dir/state" "$dir/spool"
touch "$dir/pids"
printf 'SLURM_CLUSTER_DIR=%s\nSLURM_CONF=%s\n' "$dir" "$dir/slurm.conf" >"$envfile"

fail() {
  echo "slurm-cluster: $1" >&2
  for log in munged slurmctld slurmd; do
    [ -s "$dir/$log.log" ] && { echo "--- $log.log (end)" >&2; tail -n 15 "$dir/$log.log" >&2; }
  done
  "$0" stop "$envfile"
  exit 1
}
trap 'fail "interrupted"' INT TERM

# Two free TCP ports for slurmctld and slurmd.
free_port() {
  local port
  for _ in $(seq 50); do
    port=$((20000 + RANDOM % 30000))
    # Free when nothing answers there.
    if ! (exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null; then echo "$port"; return; fi
  done
  echo 0
}
ctld_port=$(free_port)
slurmd_port=$(free_port)
while [ "$slurmd_port" = "$ctld_port" ]; do slurmd_port=$(free_port); done

# munged with a key of its own and a socket in the folder, so that it meets no other munged.
dd if=/dev/urandom of="$dir/munge.key" bs=1024 count=1 status=none
chmod 400 "$dir/munge.key"
socket=$dir/munge.socket
munged --foreground --force --key-file="$dir/munge.key" --socket="$socket" --pid-file="$dir/munged.pid" \
  --log-file="$dir/munged.log" --seed-file="$dir/munged.seed" </dev/null >/dev/null 2>&1 &
echo $! >>"$dir/pids"
for _ in $(seq 50); do [ -S "$socket" ] && break; sleep 0.1; done
[ -S "$socket" ] || fail "munged did not start"

host=$(hostname -s)
cpus=$(nproc)
memory=$(awk '/^MemTotal:/ { print int($2 / 1024 * 0.8) }' /proc/meminfo)
cat >"$dir/slurm.conf" <<EOF
ClusterName=watchcamtest
SlurmctldHost=$host(127.0.0.1)
SlurmctldPort=$ctld_port
SlurmdPort=$slurmd_port
SlurmUser=root
SlurmdUser=root
AuthType=auth/munge
CredType=cred/munge
AuthInfo=socket=$socket
StateSaveLocation=$dir/state
SlurmdSpoolDir=$dir/spool/%n
SlurmctldPidFile=$dir/slurmctld.pid
SlurmdPidFile=$dir/slurmd.pid
SlurmctldLogFile=$dir/slurmctld.log
SlurmdLogFile=$dir/slurmd.log
ProctrackType=proctrack/linuxproc
TaskPlugin=task/none
JobAcctGatherType=jobacct_gather/none
AccountingStorageType=accounting_storage/none
JobCompType=jobcomp/none
SwitchType=switch/none
MpiDefault=none
SchedulerType=sched/builtin
SchedulerParameters=batch_sched_delay=0,sched_min_interval=0
SelectType=select/cons_tres
SelectTypeParameters=CR_CPU
ReturnToService=2
MailProg=/bin/true
KillWait=5
MinJobAge=600
SlurmctldTimeout=30
SlurmdTimeout=30
NodeName=farmnode NodeAddr=127.0.0.1 NodeHostname=$host CPUs=$cpus RealMemory=$memory State=UNKNOWN
PartitionName=farm Nodes=farmnode Default=YES MaxTime=INFINITE State=UP
EOF
export SLURM_CONF=$dir/slurm.conf

slurmctld -D -i -f "$SLURM_CONF" </dev/null >>"$dir/slurmctld.log" 2>&1 &
echo $! >>"$dir/pids"
slurmd -D -N farmnode -f "$SLURM_CONF" </dev/null >>"$dir/slurmd.log" 2>&1 &
echo $! >>"$dir/pids"

# Ready when the node takes jobs.
state=
for _ in $(seq 300); do
  state=$(sinfo -h -n farmnode -o %t 2>/dev/null || true)
  [ "$state" = idle ] && break
  sleep 0.1
done
[ "$state" = idle ] || fail "the node did not come up (state '${state:-none}')"

# Should stop never come, the daemons end anyway.
pids=$(tr '\n' ' ' <"$dir/pids")
(
  sleep "${WATCHCAM_SLURM_LIFETIME:-1200}" &
  sleeper=$!
  trap 'kill $sleeper; exit 0' TERM
  wait $sleeper
  for pid in $pids; do kill -KILL "$pid" 2>/dev/null || true; done
) </dev/null >/dev/null 2>&1 &
echo $! >>"$dir/pids"
trap - INT TERM
echo "slurm-cluster: up in $dir ($cpus CPUs, controller port $ctld_port)"
