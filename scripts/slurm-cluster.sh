#!/usr/bin/env bash
# A single-node SLURM cluster on this machine, for the CUNQA tests.
#
#   bash scripts/slurm-cluster.sh start    # configure, start munged/slurmctld/slurmd, wait for the node
#   bash scripts/slurm-cluster.sh status   # exit 0 when the node accepts jobs
#   bash scripts/slurm-cluster.sh stop     # stop the daemons this script started
#
# Runs as root. The configuration goes to the default /etc/slurm/slurm.conf so
# that sbatch, squeue and scancel started by anyone find it without SLURM_CONF.
# A slurm.conf this script did not write is never touched.
#
# The node declares more CPUs than the machine has (config_overrides), so a
# family of several one-core QPUs fits on a two-core test box without the jobs
# having to ask for --overcommit, which a real cluster would not want.

set -euo pipefail

SLURM_CONF_FILE=/etc/slurm/slurm.conf
MARKER="# Written by morvane scripts/slurm-cluster.sh; safe to regenerate."
STATE_DIR=/run/morvane-slurm          # which daemons this script started
NODE_CPUS=${MORVANE_SLURM_CPUS:-16}
PARTITION=${MORVANE_SLURM_PARTITION:-morvane}
WAIT_SECONDS=${MORVANE_SLURM_WAIT:-60}
NODE=$(hostname -s)

log() { printf 'slurm-cluster: %s\n' "$*" >&2; }
die() { log "$*"; exit 1; }

[[ $(id -u) -eq 0 ]] || die "must run as root (it starts munged, slurmctld and slurmd)"

write_config() {
    local tmp
    tmp=$(mktemp /etc/slurm/.slurm.conf.XXXXXX)
    cat >"$tmp" <<EOF
$MARKER
ClusterName=morvane
SlurmctldHost=$NODE
SlurmUser=slurm
SlurmdUser=root
AuthType=auth/munge
CredType=cred/munge
MpiDefault=none
# No cgroups in this sandbox: processes are tracked through /proc.
ProctrackType=proctrack/linuxproc
TaskPlugin=task/none
JobAcctGatherType=jobacct_gather/none
AccountingStorageType=accounting_storage/none
StateSaveLocation=/var/lib/slurm/slurmctld
SlurmdSpoolDir=/var/lib/slurm/slurmd
SlurmctldPidFile=/run/slurmctld.pid
SlurmdPidFile=/run/slurmd.pid
SlurmctldLogFile=/var/log/slurm/slurmctld.log
SlurmdLogFile=/var/log/slurm/slurmd.log
SlurmctldPort=6817
SlurmdPort=6818
ReturnToService=2
# Tests raise and drop many short jobs: schedule at once, kill quickly, and
# keep finished jobs visible to scontrol for a short while only.
SchedulerType=sched/backfill
SchedulerParameters=sched_interval=2,bf_interval=1,sched_min_interval=0
SelectType=select/cons_tres
SelectTypeParameters=CR_CPU
SlurmdParameters=config_overrides
KillWait=3
MinJobAge=60
InactiveLimit=0
MessageTimeout=10
SlurmctldTimeout=60
SlurmdTimeout=60
NodeName=$NODE NodeAddr=127.0.0.1 CPUs=$NODE_CPUS State=UNKNOWN
PartitionName=$PARTITION Nodes=$NODE Default=YES MaxTime=INFINITE State=UP
EOF
    chmod 0644 "$tmp"
    if [[ -f $SLURM_CONF_FILE ]] && cmp -s "$tmp" "$SLURM_CONF_FILE"; then
        rm -f "$tmp"
        return 1
    fi
    mv -f "$tmp" "$SLURM_CONF_FILE"
    return 0
}

# pid_alive PIDFILE NAME: the pid in PIDFILE is a running NAME process.
pid_alive() {
    local pid
    [[ -r $1 ]] || return 1
    pid=$(<"$1") || return 1
    [[ $pid =~ ^[0-9]+$ ]] || return 1
    [[ -r /proc/$pid/comm ]] && [[ $(</proc/$pid/comm) == "$2" ]]
}

ensure_munge() {
    if [[ ! -s /etc/munge/munge.key ]]; then
        log "creating /etc/munge/munge.key"
        install -d -m 0700 -o munge -g munge /etc/munge
        (umask 077; dd if=/dev/urandom of=/etc/munge/munge.key bs=1024 count=1 status=none)
        chown munge:munge /etc/munge/munge.key
        chmod 0400 /etc/munge/munge.key
    fi
    install -d -m 0755 -o munge -g munge /run/munge
    if pid_alive /run/munge/munged.pid munged; then
        return
    fi
    log "starting munged"
    runuser -u munge -- /usr/sbin/munged
    mark_started munged
    local deadline=$((SECONDS + WAIT_SECONDS))
    until munge -n </dev/null | unmunge >/dev/null 2>&1; do
        ((SECONDS < deadline)) || die "munged did not answer within ${WAIT_SECONDS}s"
        sleep 0.2
    done
}

mark_started() {
    mkdir -p "$STATE_DIR"
    touch "$STATE_DIR/$1"
}

start_daemon() { # NAME PIDFILE
    if pid_alive "$2" "$1"; then
        return
    fi
    log "starting $1"
    "/usr/sbin/$1"
    mark_started "$1"
}

node_state() {
    sinfo -h -N -n "$NODE" -o '%T' 2>/dev/null | head -n 1
}

# The node can run jobs: no "*" (not responding), no drain/down/fail states.
node_usable() {
    case "$(node_state)" in
        idle | mixed | allocated | completing) return 0 ;;
        *) return 1 ;;
    esac
}

wait_for_node() {
    local deadline=$((SECONDS + WAIT_SECONDS)) state resumed=0
    until node_usable; do
        state=$(node_state)
        if ((!resumed)) && [[ $state =~ ^(down|drained|draining|fail) ]]; then
            scontrol update NodeName="$NODE" State=RESUME >/dev/null 2>&1 || true
            resumed=1
        fi
        if ((SECONDS >= deadline)); then
            log "node $NODE not usable after ${WAIT_SECONDS}s (state '${state:-unknown}')"
            log "see /var/log/slurm/slurmctld.log and /var/log/slurm/slurmd.log"
            exit 1
        fi
        sleep 0.5
    done
}

cmd_start() {
    if [[ -f $SLURM_CONF_FILE ]] && ! grep -qxF "$MARKER" "$SLURM_CONF_FILE"; then
        die "$SLURM_CONF_FILE exists and was not written by this script; refusing to replace it"
    fi
    install -d -m 0755 /etc/slurm
    install -d -m 0755 -o slurm -g slurm /var/lib/slurm/slurmctld /var/log/slurm
    install -d -m 0755 /var/lib/slurm/slurmd
    local changed=0
    if write_config; then changed=1; fi

    ensure_munge
    if ((changed)) && pid_alive /run/slurmctld.pid slurmctld; then
        log "configuration changed; restarting the SLURM daemons"
        cmd_stop_slurm
    fi
    start_daemon slurmctld /run/slurmctld.pid
    local deadline=$((SECONDS + WAIT_SECONDS))
    until scontrol ping 2>/dev/null | grep -q 'is UP'; do
        ((SECONDS < deadline)) || die "slurmctld did not answer within ${WAIT_SECONDS}s (see /var/log/slurm/slurmctld.log)"
        sleep 0.2
    done
    start_daemon slurmd /run/slurmd.pid
    wait_for_node
    log "node $NODE is $(node_state); partition $PARTITION accepts jobs"
}

# stop_pid PIDFILE NAME: SIGTERM, wait up to 20 s, then SIGKILL.
stop_pid() {
    pid_alive "$1" "$2" || return 0
    local pid
    pid=$(<"$1")
    log "stopping $2 (pid $pid)"
    kill -TERM "$pid" 2>/dev/null || true
    for _ in $(seq 100); do
        [[ -d /proc/$pid ]] || return 0
        sleep 0.2
    done
    kill -KILL "$pid" 2>/dev/null || true
}

cmd_stop_slurm() {
    stop_pid /run/slurmd.pid slurmd
    stop_pid /run/slurmctld.pid slurmctld
}

cmd_stop() {
    if [[ ! -d $STATE_DIR ]]; then
        log "nothing was started by this script"
        return 0
    fi
    if [[ -e $STATE_DIR/slurmd ]]; then stop_pid /run/slurmd.pid slurmd; rm -f "$STATE_DIR/slurmd"; fi
    if [[ -e $STATE_DIR/slurmctld ]]; then stop_pid /run/slurmctld.pid slurmctld; rm -f "$STATE_DIR/slurmctld"; fi
    if [[ -e $STATE_DIR/munged ]]; then stop_pid /run/munge/munged.pid munged; rm -f "$STATE_DIR/munged"; fi
    rmdir "$STATE_DIR" 2>/dev/null || true
}

cmd_status() {
    local ok=0 name pidfile
    for name in munged slurmctld slurmd; do
        case $name in
            munged) pidfile=/run/munge/munged.pid ;;
            *) pidfile=/run/$name.pid ;;
        esac
        if pid_alive "$pidfile" "$name"; then
            printf '%-10s running (pid %s)\n' "$name" "$(<"$pidfile")"
        else
            printf '%-10s stopped\n' "$name"
            ok=1
        fi
    done
    printf 'node %s: %s\n' "$NODE" "$(node_state || true)"
    ((ok == 0)) && node_usable
}

case ${1:-} in
    start) cmd_start ;;
    stop) cmd_stop ;;
    status) cmd_status ;;
    *) die "usage: $0 start|stop|status" ;;
esac
