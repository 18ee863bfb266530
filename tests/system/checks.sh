#!/bin/bash
# The checks of the booted system test, run inside the guest by a one-shot
# unit at every boot, from the disk labelled zvtest (mounted on /mnt/zvtest),
# which also holds the package and takes the results. Phase 1 installs the
# package and checks it over TCP; the guest then powers off and is booted
# again; phase 2 checks the reboot, pipe mode and the purge, and writes
# "passed" or "failed" to verdict.
#
# Each check appends "PASS name: evidence" or "FAIL name: evidence" to
# results. Clients are bash's /dev/tcp; every wait is bounded.
set -u
DATA=/mnt/zvtest
RESULTS=$DATA/results
SERVER=zorvane-server
PROCESSOR=zorvane-cmdproc
DROPIN_DIR=/etc/systemd/system/$SERVER.service.d
PORT=7073
OPENED=$'0000\tready\r\n'
ECHO_REPLY=$'0001\tack\r\nhello\n0001\tready\r\n'
NOT_AVAILABLE=$'0000\terror "command processor not available"\r\n'
REFUSAL=$'0000\terror "Sorry, this port is already in use!"\r\n'

# ---- reporting ----

record() {
  echo "$1 $2: $3" >>"$RESULTS"
  echo "$1 $2: $3" >/dev/console
  sync
}
pass() { record PASS "$1" "$2"; }
fail() { record FAIL "$1" "$2"; }
# Passes when STATUS is 0; the evidence is given either way.
check() {
  if [ "$1" = 0 ]; then pass "$2" "$3"; else fail "$2" "$3"; fi
}
quoted() { printf '%q' "$1"; }
now_ms() { echo $(($(date +%s%N) / 1000000)); }
prop() { systemctl show -p "$2" --value "$1"; }
journal_since() { journalctl -q --no-pager -o cat --since "@$1" "${@:2}"; }

# ---- clients ----

# Connects a client to PORT on 127.0.0.1 as descriptor $CLIENT.
connect() { exec {CLIENT}<>"/dev/tcp/127.0.0.1/$1"; } 2>/dev/null
disconnect() { exec {CLIENT}>&-; }

# Appends to $RECEIVED what the client reads until the line LINE (the CR
# included) has come, or for SECONDS; with no LINE, until the end of the
# stream. Fails when LINE did not come.
read_until() {
  local want=$1 seconds=$2 line deadline=$((SECONDS + $2))
  while [ "$SECONDS" -lt "$deadline" ]; do
    if IFS= read -r -t "$seconds" line <&"$CLIENT"; then
      RECEIVED+="$line"$'\n'
      [ -n "$want" ] && [ "$line" = "$want" ] && return 0
    else
      # A timeout (>128) keeps what came of a line and goes on waiting;
      # the end of the stream ends it.
      local status=$?
      RECEIVED+="$line"
      [ "$status" -gt 128 ] && continue
      [ -z "$want" ]
      return
    fi
  done
  return 1
}

# One client: waits for the session to open, runs "1 echo hello", ends
# with ".". Fails unless what it received ($RECEIVED) was exact.
echo_transaction() {
  local port=${1:-$PORT}
  RECEIVED=
  connect "$port" || return 1
  read_until $'0000\tready\r' 5 &&
    printf '1 echo hello\n' >&"$CLIENT" &&
    read_until $'0001\tready\r' 5 &&
    printf '.\n' >&"$CLIENT" &&
    read_until '' 5
  local status=$?
  disconnect
  [ "$status" = 0 ] && [ "$RECEIVED" = "$OPENED$ECHO_REPLY" ]
}

# Runs COMMAND every 0.1 s until it succeeds or SECONDS have passed.
wait_until() {
  local deadline=$((SECONDS + $1))
  shift
  until "$@"; do
    [ "$SECONDS" -lt "$deadline" ] || return 1
    sleep 0.1
  done
}

# Retries echo_transaction until it is exact or SECONDS have passed; sets
# SERVED_AFTER_MS.
serve_within() {
  local start
  start=$(now_ms)
  wait_until "$1" echo_transaction "${2:-$PORT}" || return 1
  SERVED_AFTER_MS=$(($(now_ms) - start))
}

# The check NAME: a client served exactly within SECONDS on PORT; NOTE
# leads the evidence.
check_served() {
  local name=$1 seconds=$2 port=${3:-$PORT} note=${4:+$4, }
  if serve_within "$seconds" "$port"; then
    pass "$name" "${note}served after $SERVED_AFTER_MS ms: $(quoted "$RECEIVED")"
  else
    fail "$name" "${note}no exact reply within $seconds s, last: $(quoted "$RECEIVED")"
  fi
}

# A second client while one is served; sets REFUSED to what it received.
refuse_second_client() {
  local holder
  RECEIVED=
  connect $PORT && read_until $'0000\tready\r' 5
  holder=$CLIENT
  RECEIVED=
  connect $PORT && read_until '' 5
  REFUSED=$RECEIVED
  disconnect
  CLIENT=$holder
  disconnect
}

# ---- units ----

# Writes standard input to the unit file PATH and reloads.
unit_file() {
  mkdir -p "$(dirname "$1")"
  cat >"$1"
  systemctl daemon-reload
}

processor_unit() {
  unit_file /etc/systemd/system/$PROCESSOR.service <<EOF
[Unit]
Description=reference command processor of the zorvane transaction server
[Service]
ExecStart=/usr/bin/zorvane-cmdproc --listen
[Install]
WantedBy=multi-user.target
EOF
}

dropin() { unit_file "$DROPIN_DIR/$1.conf"; }
remove_dropin() {
  rm -f "$DROPIN_DIR/$1.conf"
  systemctl daemon-reload
}

remove_dropins() {
  rm -rf "$DROPIN_DIR"
  systemctl daemon-reload
}

# Whether PROPERTY of UNIT satisfies the test [ VALUE OP ARG ].
prop_is() { test "$(prop "$1" "$2")" "$3" "$4"; }
# What systemctl status tells of the server.
server_state() { echo "ActiveState=$(prop $SERVER ActiveState) StatusText=$(prop $SERVER StatusText)"; }
state_is() { [[ $(server_state) == "ActiveState=$1 StatusText="$2 ]]; }

# ---- phase 1: the package over TCP ----

check_install() {
  local since deb
  since=$(date +%s)
  deb=$(ls "$DATA"/zorvane-server_*.deb)
  if ! apt-get install -y -q "$deb" >/tmp/apt.log 2>&1; then
    fail install "$(tail -n 3 /tmp/apt.log | tr '\n' ' ')"
    return
  fi
  pass install "apt-get install $(basename "$deb"): $(grep -m1 '^Setting up' /tmp/apt.log)"
  [ "$(systemctl is-enabled $SERVER)" = enabled ]
  check $? enabled "is-enabled: $(systemctl is-enabled $SERVER), UnitFileState=$(prop $SERVER UnitFileState)"
  wait_until 10 prop_is $SERVER NRestarts -ge 3
  local refused
  refused=$(journal_since "$since" -u $SERVER | grep -m1 'connect(127.0.0.1,37073) failed' || true)
  local state
  state=$(server_state)
  [ "$(prop $SERVER NRestarts)" -ge 3 ] && [ -n "$refused" ] && [[ $state == "ActiveState=activating StatusText=" ]]
  check $? restart-loop "NRestarts=$(prop $SERVER NRestarts) within 10 s of the installation, $state; journal: $refused"
}

# Waits up to 10 s for a socket listening on 127.0.0.1:37073 (0x90C1).
processor_listens() { wait_until 10 grep -q '^ *[0-9]*: 0100007F:90C1 00000000:0000 0A' /proc/net/tcp; }

check_processor_up() {
  processor_unit
  systemctl enable -q --now $PROCESSOR
  processor_listens
  if serve_within 10; then
    [ "$SERVED_AFTER_MS" -le 2000 ]
    check $? served-after-processor-start "first exact reply ${SERVED_AFTER_MS} ms after the processor listened: $(quoted "$RECEIVED")"
  else
    fail served-after-processor-start "no exact reply within 10 s, last: $(quoted "$RECEIVED")"
  fi
}

check_refusal() {
  refuse_second_client
  [ "$REFUSED" = "$REFUSAL" ]
  check $? refusal "second client got $(quoted "$REFUSED")"
}

# The status line while no client is served and while one is.
check_readiness() {
  local idle serving
  wait_until 3 state_is active "listening, no client"
  idle=$(server_state)
  connect $PORT && read_until $'0000\tready\r' 5
  wait_until 3 state_is active "serving 127.0.0.1:*"
  serving=$(server_state)
  disconnect
  [ "$idle" = "ActiveState=active StatusText=listening, no client" ] &&
    [[ $serving == "ActiveState=active StatusText=serving 127.0.0.1:"* ]]
  check $? "readiness${1:+-$1}" "no client: $idle; a client: $serving"
}

check_processor_lost() {
  local since restarts received
  since=$(date +%s)
  restarts=$(prop $SERVER NRestarts)
  RECEIVED=
  connect $PORT && read_until $'0000\tready\r' 5 && printf '1 autoinfo 0.2\n' >&"$CLIENT" &&
    read_until 'autoinfo 2' 5
  systemctl kill -s KILL $PROCESSOR
  read_until '' 5
  received=$RECEIVED
  disconnect
  local tail=${received: -${#NOT_AVAILABLE}}
  [ "$tail" = "$NOT_AVAILABLE" ]
  check $? processor-killed-client-told "client's last line $(quoted "$tail") after $(quoted "${received:0:60}")..."
  wait_until 3 state_is active "command processor not reachable, retrying for the next client"
  [ "$(prop $SERVER NRestarts)" = "$restarts" ]
  check $? processor-killed-service-stays "$(server_state), NRestarts $restarts -> $(prop $SERVER NRestarts)"
  systemctl start $PROCESSOR
  processor_listens
  check_served processor-back-served 10
  # The journal takes the server's records a moment after they are written.
  outage_logged() {
    OUTAGE=$(journal_since "$since" -u $SERVER | grep -E 'processor lost|reconnected' | cut -c28- | tr '\n' '|')
    [[ $OUTAGE == *lost*reconnected* ]]
  }
  wait_until 3 outage_logged
  check $? processor-outage-journal "$OUTAGE"
}

check_stop_restart() {
  local since start elapsed pid
  since=$(date +%s)
  start=$(now_ms)
  systemctl stop $SERVER
  elapsed=$(($(now_ms) - start))
  local killed
  killed=$(journal_since "$since" -u $SERVER | grep -ci 'SIGKILL\|timed out' || true)
  [ "$(prop $SERVER Result)" = success ] && [ "$(prop $SERVER ExecMainStatus)" = 15 ] && [ "$killed" = 0 ] && [ "$elapsed" -lt 2000 ]
  check $? stop "systemctl stop took $elapsed ms; Result=$(prop $SERVER Result) ExecMainCode=$(prop $SERVER ExecMainCode) ExecMainStatus=$(prop $SERVER ExecMainStatus) (2/15: killed by SIGTERM); SIGKILL or timeout records: $killed"
  systemctl start $SERVER
  pid=$(prop $SERVER MainPID)
  systemctl restart $SERVER
  check_served restart 10 $PORT "MainPID $pid -> $(prop $SERVER MainPID)"
}

# The README's drop-in for a port below 1024.
check_low_port() {
  dropin low-port <<'EOF'
[Service]
Environment=ZORVANE_OPTIONS=-ps=723
AmbientCapabilities=CAP_NET_BIND_SERVICE
CapabilityBoundingSet=CAP_NET_BIND_SERVICE
PrivateUsers=no
EOF
  systemctl restart $SERVER
  check_served low-port-dropin 10 723 "port 723"
  remove_dropins
  systemctl restart $SERVER
}

# The README's address restriction. A client from elsewhere is one from
# 10.9.9.9, an address of the loopback device here (the guest has no
# network): its connection times out, and localhost is served.
check_address_restriction() {
  dropin address <<'EOF'
[Service]
IPAddressDeny=any
IPAddressAllow=localhost 192.168.1.0/24
EOF
  ip address add 10.9.9.9/32 dev lo
  systemctl restart $SERVER
  local served=0 elsewhere=0
  serve_within 10 || served=1
  timeout 3 bash -c 'exec 3<>/dev/tcp/10.9.9.9/7073' 2>/dev/null || elsewhere=$?
  [ "$served" = 0 ] && [ "$elsewhere" = 124 ]
  check $? address-restriction "localhost served: $(quoted "$RECEIVED"); a connection from 10.9.9.9 $([ "$elsewhere" = 124 ] && echo 'timed out after 3 s' || echo "ended with status $elsewhere")"
  ip address del 10.9.9.9/32 dev lo
  remove_dropins
  systemctl restart $SERVER
}

# Blocked system calls made fatal: a client served, refused, the processor
# lost and back, a stop; the server must never be killed by SIGSYS.
check_fatal_filter() {
  local since
  since=$(date +%s)
  dropin fatal-filter <<'EOF'
[Service]
SystemCallErrorNumber=kill
EOF
  systemctl restart $SERVER
  local served=0 sigsys
  serve_within 10 || served=1
  refuse_second_client
  systemctl kill -s KILL $PROCESSOR
  serve_within 3
  systemctl start $PROCESSOR
  serve_within 10 || served=1
  systemctl stop $SERVER
  sigsys=$(journal_since "$since" | grep -E 'status=31|SIGSYS|type=1326' || true)
  [ "$served" = 0 ] && [ "$(prop $SERVER Result)" = success ] && [ -z "$sigsys" ]
  check $? fatal-system-call-filter "SystemCallErrorNumber=kill: clients served exactly: $([ $served = 0 ] && echo yes || echo no); after a stop Result=$(prop $SERVER Result) ExecMainStatus=$(prop $SERVER ExecMainStatus); SIGSYS records: $(quoted "$sigsys")"
  remove_dropins
  systemctl start $SERVER
}

# The server's process: the service's main process, or in pipe mode its child.
server_pid() {
  local pid
  for pid in $(cat /sys/fs/cgroup/system.slice/$SERVER.service/cgroup.procs); do
    [ "$(cat "/proc/$pid/comm")" = zorvane-server ] && echo "$pid" && return
  done
}

# Pings keep a short watchdog content; a server stopped with SIGSTOP is
# killed and started again, and the journal says why.
check_watchdog() {
  local since restarts pid kept
  dropin watchdog <<'EOF'
[Service]
WatchdogSec=3s
EOF
  systemctl restart $SERVER
  serve_within 10
  restarts=$(prop $SERVER NRestarts)
  sleep 5
  kept=$(prop $SERVER NRestarts)
  since=$(date +%s)
  pid=$(server_pid)
  kill -STOP "$pid"
  wait_until 20 prop_is $SERVER NRestarts -gt "$restarts"
  serve_within 10
  local why
  why=$(journal_since "$since" -u $SERVER | grep -E 'Watchdog timeout|SIGABRT|Failed with result' | tr '\n' '|')
  [ "$kept" = "$restarts" ] && [ "$(prop $SERVER NRestarts)" -gt "$restarts" ] && [[ $why == *"Watchdog timeout"* ]] &&
    [ "$RECEIVED" = "$OPENED$ECHO_REPLY" ]
  check $? "watchdog${1:+-$1}" "WatchdogSec=3s: NRestarts $restarts after 5 s of pings; server $pid stopped: NRestarts $(prop $SERVER NRestarts), served again: $(quoted "$RECEIVED"); journal: $why"
  remove_dropin watchdog
  systemctl restart $SERVER
}

# With the socket unit, a client that connects while the server is down
# waits and is served once the server is back.
check_socket_activation() {
  local since start listening
  systemctl stop $SERVER
  systemctl start $SERVER.socket
  systemctl start $SERVER
  serve_within 10
  since=$(date +%s)
  local socket_state pid
  socket_state=$(prop $SERVER.socket ActiveState)
  pid=$(server_pid)
  start=$(now_ms)
  kill -KILL "$pid"
  RECEIVED=
  connect $PORT && read_until $'0000\tready\r' 20 && printf '1 echo hello\n' >&"$CLIENT" &&
    read_until $'0001\tready\r' 5
  local served_ms=$(($(now_ms) - start))
  disconnect
  # The restarted server's record is the last one.
  wait_until 3 prop_is $SERVER MainPID != "$pid"
  listening=$(journal_since "$since" -t $SERVER | grep 'listening on' | tail -n 1 | cut -c28- || true)
  [ "$RECEIVED" = "$OPENED$ECHO_REPLY" ] && [[ $listening == *"(socket from systemd)"* ]]
  check $? "socket-activation${1:+-$1}" "socket unit $socket_state, server $pid killed, a client connected at once: served after $served_ms ms: $(quoted "$RECEIVED"); $listening"
  systemctl stop $SERVER.socket $SERVER
  systemctl start $SERVER
}

# -w=: the README's drop-in; a rotation as logrotate makes it (rename,
# systemctl reload): the old file keeps the first transaction, the new one
# takes the next. In pipe mode the processor passes SIGHUP on.
check_wire_trace() {
  local trace=/var/log/$SERVER/wire.log first second reloaded since
  dropin wire <<EOF
[Service]
Environment=ZORVANE_OPTIONS=-w=$trace
ExecReload=/bin/sh -c 'kill -HUP \$MAINPID'
EOF
  systemctl restart $SERVER
  serve_within 10
  since=$(date +%s)
  mv "$trace" "$trace.1"
  reloaded=$(systemctl reload $SERVER 2>&1 && echo reloaded || { sleep 1; journal_since "$since" | tail -n 6; })
  serve_within 10
  first=$(grep -c 'client>server 13: 1 echo hello\\n' "$trace.1")
  second=$(grep -c 'client>server 13: 1 echo hello\\n' "$trace")
  [ "$first" = 1 ] && [ "$second" = 1 ] && [ "$(prop $SERVER ActiveState)" = active ]
  check $? "wire-trace${1:+-$1}" "systemctl reload: $reloaded; $trace.1 holds $first echo, $trace $second: $(grep -m4 . "$trace" | cut -c28- | tr '\n' '|')"
  rm -f "$trace" "$trace.1"
  remove_dropin wire
  systemctl restart $SERVER
}

# journalctl -p err lists exactly the server's error records.
check_journal_priorities() {
  local errors all error_records
  errors=$(journalctl -q -b -o cat -p err _COMM=zorvane-server)
  all=$(journalctl -q -b -o cat _COMM=zorvane-server)
  error_records=$(grep -c '^[0-9-]* [0-9:.]* E ' <<<"$all")
  [ -n "$errors" ] && ! grep -qv '^[0-9-]* [0-9:.]* E ' <<<"$errors" && [ "$(wc -l <<<"$errors")" = "$error_records" ]
  check $? journal-priorities "journalctl -p err: $(wc -l <<<"$errors") records, those not tagged E: $(grep -cv '^[0-9-]* [0-9:.]* E ' <<<"$errors"); all priorities: $(wc -l <<<"$all") records, $error_records tagged E; first: $(head -n1 <<<"$errors" | cut -c28-)"
}

check_confinement() {
  local denied
  denied=$(journalctl -q -b -o short -u $SERVER -u $PROCESSOR | grep -E 'Operation not permitted|EPERM|SIGSYS|status=31' || true)
  denied+=$(journalctl -q -b -k -o cat | grep 'type=1326' || true)
  [ -z "$denied" ]
  check $? no-eperm-or-sigsys "records naming EPERM or SIGSYS this boot: $(quoted "$denied")"
}

check_exposure() {
  local exposure
  exposure=$(systemd-analyze security --no-pager $SERVER 2>&1 | grep -i 'overall exposure' || true)
  [ -n "$exposure" ]
  check $? exposure "$exposure"
}

phase1() {
  check_install
  check_processor_up
  check_refusal
  check_readiness
  check_processor_lost
  check_stop_restart
  check_low_port
  check_address_restriction
  check_fatal_filter
  check_watchdog
  check_socket_activation
  check_wire_trace
  check_journal_priorities
  check_confinement
  check_exposure
}

# ---- phase 2: after a reboot; pipe mode; purge ----

check_after_reboot() {
  check_served reboot 30 $PORT "$(prop $SERVER ActiveState) since $(prop $SERVER ActiveEnterTimestamp)"
}

# The README's pipe-mode drop-in: the processor starts the server.
check_pipe_mode() {
  local since restarts
  systemctl disable -q --now $PROCESSOR
  rm /etc/systemd/system/$PROCESSOR.service
  since=$(date +%s)
  dropin pipes <<'EOF'
[Service]
ExecStart=
ExecStart=/usr/bin/zorvane-cmdproc --spawn /usr/sbin/zorvane-server $ZORVANE_OPTIONS
SuccessExitStatus=143
SyslogIdentifier=zorvane-server
NotifyAccess=all
EOF
  systemctl restart $SERVER
  check_served pipe-mode 10 $PORT "over pipes"
  check_readiness pipe-mode
  check_watchdog pipe-mode
  check_socket_activation pipe-mode
  check_wire_trace pipe-mode
  local tagged
  tagged=$(journal_since "$since" -t $SERVER | grep -m1 'commands to pipe' || true)
  [ -n "$tagged" ]
  check $? pipe-mode-journal-tag "journalctl -t $SERVER: $tagged"
  restarts=$(prop $SERVER NRestarts)
  systemctl kill --kill-whom=main -s KILL $SERVER
  wait_until 10 prop_is $SERVER NRestarts -gt "$restarts"
  check_served pipe-mode-processor-killed 10 $PORT "NRestarts $restarts -> $(prop $SERVER NRestarts)"
  systemctl stop $SERVER
  [ "$(prop $SERVER Result)" = success ]
  check $? pipe-mode-stop "Result=$(prop $SERVER Result) ExecMainStatus=$(prop $SERVER ExecMainStatus) (143: the processor passed SIGTERM on)"
  remove_dropins
}

check_purge() {
  local left
  if ! apt-get purge -y -q zorvane-server >/tmp/apt.log 2>&1; then
    fail purge "$(tail -n 3 /tmp/apt.log | tr '\n' ' ')"
    return
  fi
  left=$(ls -d /usr/sbin/zorvane-server /usr/bin/zorvane-cmdproc /etc/default/zorvane-server \
    /lib/systemd/system/zorvane-server.service /etc/systemd/system/*/zorvane-server.service \
    /var/lib/systemd/deb-systemd-helper-enabled/*zorvane* /var/lib/systemd/deb-systemd-helper-masked/*zorvane* \
    /usr/share/doc/zorvane-server /var/lib/private/zorvane-server 2>/dev/null || true)
  local port=closed
  connect $PORT && port=open && disconnect
  [ -z "$left" ] && [ "$(prop $SERVER LoadState)" = not-found ] && [ $port = closed ]
  check $? purge "left behind: $(quoted "$left"); dpkg: $(dpkg-query -W -f='${db:Status-Status}' zorvane-server 2>&1); LoadState=$(prop $SERVER LoadState); port $PORT: $port"
}

phase2() {
  check_after_reboot
  check_pipe_mode
  check_confinement
  check_purge
}

phase=$(cat "$DATA/phase" 2>/dev/null || echo 1)
echo "$phase" >/dev/console
case $phase in
1)
  phase1
  echo 2 >"$DATA/phase"
  ;;
2)
  phase2
  if grep -q '^FAIL' "$RESULTS"; then echo failed >"$DATA/verdict"; else echo passed >"$DATA/verdict"; fi
  ;;
esac
sync
