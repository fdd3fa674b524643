#!/bin/sh
# Runs as root inside the emulated Debian machine, from the share that also
# holds the packages: installs kelvane as a Pi owner does, with apt, and
# checks what the owner would see in systemd and the journal, and what
# arrives on the kernel's I2C bus, where i2c-stub plays the board.
# Prints one line per check; the exit status is the number that failed.
set -u
cd "$(dirname "$0")"
export DEBIAN_FRONTEND=noninteractive
failures=0

ok() { echo "ok:   $*"; }
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }
expect() { # expect DESCRIPTION COMMAND...
  desc=$1
  shift
  if "$@"; then ok "$desc"; else fail "$desc"; fi
}
started=$(date +%s)
step() { echo "== $* [at $(($(date +%s) - started)) s]"; }
now() { date +%s.%N; }
apt_get() { apt-get -q -y -o DPkg::Lock::Timeout=120 "$@" >>apt.log 2>&1; }
version() { dpkg-query -W -f '${Version}' "$1"; }
candidate() { apt-cache policy kelvane | sed -n 's/^ *Candidate: //p'; }
# apt update, true when it took kelvane's repository without a warning or
# an error; refused shows them.
apt_update() {
  apt-get -q update >update.log 2>&1
  rc=$?
  cat update.log >>apt.log
  [ "$rc" -eq 0 ] && grep -q "file:/share/kelvane stable InRelease" update.log && ! grep -q "^[WE]:" update.log
}
refused() { ! apt_update && grep "^[WE]:" update.log | sed 's/^/  /'; }
upgraded_to() { apt_get upgrade && [ "$(version kelvane)" = "$1" ]; }
# The maintainer's folder on the web server, as it is after an upload.
serve() { ln -sfn "kelvane.$1" /share/kelvane; }

# The journal of kelvane.service and its retry timer since a time (seconds
# since the epoch), as "TIMESTAMP MESSAGE" lines.
journal() {
  journalctl -q -u kelvane -u kelvane-retry.timer -o short-unix --no-pager --since "@${1%.*}" |
    awk -v t="$1" '$1 >= t { ts = $1; sub(/^[^:]*\]: /, ""); print ts, $0 }'
}
count() { journal "$1" | grep -c -- "$2"; }
logged_since() { [ "$(count "$1" "$2")" -ge "$3" ]; }
state() { systemctl show -p "$1" --value kelvane; }
wait_for() { # wait_for SECONDS COMMAND...: until the command succeeds
  end=$(($(date +%s) + $1))
  shift
  until "$@"; do
    [ "$(date +%s)" -lt "$end" ] || return 1
    sleep 0.2
  done
}
active() { [ "$(systemctl is-active kelvane)" = active ]; }
# i2cget from a copy, as the last step removes i2c-tools.
register3() { /usr/local/lib/kelvane-test/i2cget -y "$bus" 0x0b 3 2>/dev/null; }
register3_is() { [ "$(register3)" = "$1" ]; }
between() { [ "$1" -ge "$2" ] && [ "$1" -le "$3" ]; }
absent() { [ ! -e "$1" ] && [ ! -L "$1" ]; }
since() { echo "$(now) $1" | awk '{ printf "%.1f", $1 - $2 }'; }
# What waiting costs the journal, as entries an hour of the real delays:
# the entries from FROM to TO, a time that held DELAYS seconds of the unit's
# delays, scaled down by $scale (see below). Only those are scaled back: the
# rest, the tries themselves, took as long as they take. systemd says how
# much CPU time a run consumed only when it was over a second, which a try
# takes here only because the machine is emulated: those lines, which a Pi
# never writes, are not counted.
entries_an_hour() { # entries_an_hour FROM TO DELAYS
  journal "$1" | awk -v from="$1" -v to="$2" -v d="$3" -v s="$scale" '
    $1 >= from && $1 < to && !/: Consumed .* CPU time/ { n++ }
    END { t = to - from; real = t + (s - 1) * d; if (real > t * s) real = t * s; printf "%.0f", n * 3600 / real }'
}
# The time of the Nth try since T, known by a line that each try writes,
# once it has come (within 300 s; looked for every 2 s, as journalctl is
# slow under emulation).
nth_try() { # nth_try T N LINE
  for _ in $(seq 150); do
    at=$(journal "$1" | grep -- "$3" | awk -v n="$2" 'NR == n { print $1 }')
    [ -z "$at" ] || break
    sleep 2
  done
  echo "$at"
}
# Seconds from the Nth failure since T to the restart that followed it, as
# systemd logs them, and whether that is about 15 s, scaled: the run's end
# and the next start are not part of the delay.
restart_delay() { # restart_delay T N
  journal "$1" | awk -v n="$2" '/Failed with result/ && ++f == n { at = $1 }
    /Scheduled restart/ && at { printf "%.1f", $1 - at; exit }'
}
about_15_s() { awk -v a="$1" -v s="$scale" 'BEGIN { exit !(a >= 14 / s && a <= 15 / s + 6) }'; }
# What waiting costs the journal over whole periods, from try FROM to try
# TO since T, with the real delays in that time: the longest one for each
# period on systemd 254 and later, where every period is one try; a round's
# two restarts and the timer on 252, where a period is a round of three.
periods() { # periods T FROM TO LINE WHAT
  if [ "$newer" ]; then
    limit=120
    delays=$(seconds kelvane.service RestartMaxDelaySec | awk -v n=$(($3 - $2)) '{ print n * $1 }')
  else
    limit=420
    delays=$(echo "$(seconds kelvane.service RestartSec) $(seconds kelvane-retry.timer OnActiveSec)" |
      awk -v n=$((($3 - $2) / 3)) '{ print n * (2 * $1 + $2) }')
  fi
  t1=$(nth_try "$1" "$2" "$4")
  t2=$(nth_try "$1" "$3" "$4")
  if [ -n "$t2" ]; then
    n=$(entries_an_hour "$t1" "$t2" "$delays")
    echo "  one period, from try $2 on:"
    journal "$t1" | awk -v to="$(nth_try "$1" $(($2 + 1)) "$4")" '$1 < to' | sed 's/^/    /'
    expect "$5: $n entries an hour, from try $2 to try $3 (at most $limit)" [ "$n" -le "$limit" ]
  else
    fail "$5: no try $3 within 300 s"
  fi
}

# It runs: active, and register 3 follows the zone. Each call moves the zone
# to a new whole degree, so a value sent before cannot pass for it.
degrees=40
feeds_the_board() { active && register3_is "$(printf 0x%02x "$degrees")"; }
runs() { # runs SECONDS
  degrees=$((degrees % 20 + 41))
  echo "${degrees}250" >"$zone/temp"
  wait_for "$1" feeds_the_board
}

# The CPU temperature comes from a zone of our own: the emulated machine has
# none. The drop-in is the only change made to the installed unit.
zone=/run/kelvane-test/thermal/thermal_zone0
mkdir -p "$zone"
install -D /usr/sbin/i2cget /usr/local/lib/kelvane-test/i2cget
echo 45500 >"$zone/temp"
mkdir -p /etc/systemd/system/kelvane.service.d
printf '[Service]\nBindReadOnlyPaths=/run/kelvane-test/thermal:/sys/class/thermal\n' \
  >/etc/systemd/system/kelvane.service.d/test-zone.conf

# The machine is offline: only kelvane's repository is reachable, so apt
# speaks of it alone.
rm -f /etc/apt/sources.list

# The GPIO memory that wiringPi maps: a node with the numbers of /dev/zero,
# open to all, as no group for it exists yet.
mknod -m 666 /dev/gpiomem c 1 5

step "the machine: $(. /etc/os-release && echo "$PRETTY_NAME"), kernel $(uname -r), up for $(cut -d. -f1 /proc/uptime) s"
expect "no gpio group before the install" sh -c '! getent group gpio >/dev/null'
expect "i2c-dev not loaded before the install" sh -c '! grep -q "^i2c_dev " /proc/modules'

# As a new owner does it, with the README's commands and the repository on
# the share for the web server: the package first, I2C enabled after, which
# here is loading i2c-stub, the bus adapter that plays the board.
first=$(dpkg-deb -f kelvane_*.deb Version)
second=$(dpkg-deb -f later/kelvane_*.deb Version)
step "the owner adds kelvane's repository and installs kelvane $first, before I2C is enabled"
expect "the keyring and the source file are fetched" sh -c '
  curl -fsSL -o /etc/apt/keyrings/kelvane-archive-keyring.gpg file:///share/kelvane/kelvane-archive-keyring.gpg &&
  curl -fsSL -o /etc/apt/sources.list.d/kelvane.sources file:///share/kelvane/kelvane.sources'
expect "apt update takes the repository, whose signature it checks" apt_update
t=$(now)
expect "apt install kelvane installs it" apt_get install kelvane
expect "and wiringpi, both from the repository" \
  [ "$(version kelvane)/$(version wiringpi)" = "$first/$(dpkg-deb -f wiringpi_*.deb Version)" ]
expect "the groups gpio and i2c exist" sh -c 'getent group gpio && getent group i2c'
expect "i2c-dev is loaded" grep -q "^i2c_dev " /proc/modules
expect "the service is enabled" [ "$(systemctl is-enabled kelvane)" = enabled ]
expect "with no bus device the start was skipped, and systemctl status says why" \
  sh -c 'systemctl status kelvane | grep -F "ConditionPathExists=|/dev/i2c-1 was not met"'

# The unit waits in minutes: every delay of it and of its retry timer, as
# the package wrote them, is divided by $scale in drop-ins, so that whole
# periods of waiting fit into this test. Times are scaled back where they
# are judged; the tries themselves are not scaled.
scale=5
setting() { systemctl cat "$1" | sed -n "s/^$2=//p" | tail -n 1; }
seconds() { setting "$@" | awk '/^[0-9.]+(s|min)$/ { v = $0 + 0; if (/min$/) v *= 60; print v }'; }
scaled() { # scaled UNIT SETTING
  value=$(seconds "$1" "$2" | awk -v s="$scale" '{ print $1 / s "s" }')
  echo "$2=${value:-unknown}"
}
# The start limit's window holds tries as well as the restarts between
# them: only the restarts' share of it is scaled.
window=$(echo "$(seconds kelvane.service StartLimitIntervalSec) $(setting kelvane.service StartLimitBurst)" \
  "$(seconds kelvane.service RestartSec)" | awk -v s="$scale" 'NF == 3 { print $1 - ($2 - 1) * $3 * (1 - 1 / s) "s" }')
# How long a run must last for the waits to begin again, in seconds, in
# the command that looks.
lasting=$(setting kelvane.service ExecStopPost | sed -n 's/.* -ge \([0-9]*\) ].*/\1/p')
drop_ins="[Unit]
StartLimitIntervalSec=${window:-unknown}
[Service]
$(scaled kelvane.service RestartSec)
$(scaled kelvane.service RestartMaxDelaySec)
ExecStopPost=
ExecStopPost=$(setting kelvane.service ExecStopPost | sed "s/ -ge $lasting ]/ -ge $((lasting / scale)) ]/")"
timer="[Timer]
OnActiveSec=
$(scaled kelvane-retry.timer OnActiveSec)"
echo "$drop_ins" >/etc/systemd/system/kelvane.service.d/test-scale.conf
mkdir -p /etc/systemd/system/kelvane-retry.timer.d
echo "$timer" >/etc/systemd/system/kelvane-retry.timer.d/test-scale.conf
echo "  the unit's delays scaled down by $scale:" $drop_ins $timer
all_scaled() { [ -n "$lasting" ] && ! echo "$drop_ins $timer" | grep -q unknown; }
expect "every delay of the unit and its timer is scaled" all_scaled
systemctl daemon-reload
# systemd 254 and later grow the delay between tries; 252 tries in rounds.
newer=$([ "$(systemctl --version | awk 'NR == 1 { print $2 }')" -ge 254 ] && echo yes)
# Each way of waiting is counted over whole periods in one machine for each
# systemd: 252 here; for 254 and later the board refusing in the armhf
# machine, and the zone hanging in the arm64 one, which starts first.
arch=$(dpkg --print-architecture)
counts_refusals=$([ -z "$newer" ] || [ "$arch" = armhf ] && echo yes)
counts_hangs=$([ -z "$newer" ] || [ "$arch" = arm64 ] && echo yes)
# A window longer than the longest delay, so that a retry would fall in it.
sleep 1
t=$(now)
quiet=$(seconds kelvane.service RestartMaxDelaySec | awk '{ printf "%d", $1 + 10 }')
sleep "$quiet"
n=$(entries_an_hour "$t" "$(now)" "$quiet")
expect "no bus device: $n entries an hour (at most 10)" [ "$n" -le 10 ]

step "I2C is enabled: the bus device appears"
t=$(now)
modprobe i2c-stub chip_addr=0x0b
bus=$(grep -l "SMBus stub driver" /sys/bus/i2c/devices/i2c-*/name | sed 's|.*/i2c-\([0-9]*\)/name|\1|')
echo "board: i2c-stub on bus $bus"
if runs 30; then
  ok "the service runs $(since "$t") s after the bus device appeared (at most 30)"
else
  fail "the service did not run within 30 s of the bus device appearing"
fi
expect "/dev/i2c-$bus belongs to the i2c group" [ "$(stat -c %G "/dev/i2c-$bus")" = i2c ]
# It starts once udev has given the device its group.
expect "the first start found the bus open to it" \
  [ "$(count "$t" "cannot open")/$(count "$t" "Scheduled restart")" = 0/0 ]

step "the loop, quietly"
echo 45500 >"$zone/temp"
sleep 1
t0=$(now)
sleep 20
n=$(journal "$t0" | grep -c .)
expect "20 s of steady state put no line in the journal (saw $n)" [ "$n" -eq 0 ]
expect "systemctl status shows the temperature sent to the board" \
  sh -c 'systemctl status kelvane | grep -F "Status: \"45.500 C, sent to the board at 0x0b\""'
expect "register 3 holds 45 (saw $(register3))" register3_is 0x2d
echo 52750 >"$zone/temp"
t=$(now)
if wait_for 2 sh -c '[ "$(systemctl show -p StatusText --value kelvane)" = "52.750 C, sent to the board at 0x0b" ]'; then
  ok "the status text follows the zone to 52.750 in $(since "$t") s"
else
  fail "the status text did not follow the zone within 2 s: $(state StatusText)"
fi
expect "register 3 follows the zone to 52 (saw $(register3))" wait_for 2 register3_is 0x34
level=$(systemd-analyze security kelvane 2>/dev/null | sed -n 's/.*exposure level for kelvane.service: \([0-9.]*\).*/\1/p')
expect "systemd-analyze security rates the service at most 1.0 (saw $level)" \
  awk -v l="$level" 'BEGIN { exit !(l != "" && l <= 1.0) }'

step "the per-cycle console, on demand"
# What the README tells an owner who wants every line in the journal.
printf '[Service]\nStandardOutput=journal\n' >/etc/systemd/system/kelvane.service.d/stream.conf
systemctl daemon-reload
systemctl restart kelvane
sleep 1
t0=$(now)
sleep 10
# Only the lines of those 10 s: under load the journal is read later.
lines=$(journal "$t0" | awk -v t="$t0" '$1 < t + 10' | grep "The temperature is")
echo "$lines" | sed -n '1,3s/^/  /p'
expect "every line reads 52.750 C" sh -c "! echo '$lines' | grep -v 'The temperature is 52.750 C.'"
n=$(echo "$lines" | grep -c .)
expect "19 to 21 lines in 10 s (saw $n)" between "$n" 19 21
gaps=$(echo "$lines" | awk 'NR > 1 { printf "%.2f ", $1 - prev } { prev = $1 }')
expect "the lines arrive one by one, 0.5 s apart" \
  sh -c "echo '$gaps' | awk '{ for (i = 1; i <= NF; i++) if (\$i < 0.3 || \$i > 0.8) exit 1 }'"
bytes=$(journalctl -q -u kelvane --since "@${t0%.*}" -o export --no-pager | wc -c)
echo "  the journal with the console: $n entries, $bytes bytes of entries in 10 s," \
  "$((n * 360)) entries and $((bytes * 360 / 1024)) KiB an hour; without it: 0"
rm /etc/systemd/system/kelvane.service.d/stream.conf
systemctl daemon-reload
# Each good stop begins the start limit again.
expect "four restarts in a row are none of them refused" \
  sh -c 'for i in 1 2 3 4; do systemctl restart kelvane || exit; done'

step "the process"
pid=$(state MainPID)
status=/proc/$pid/status
echo "  $(grep -E '^(Uid|Groups|CapEff|NoNewPrivs|Seccomp):' "$status" | tr -s '\t\n' '  ')"
expect "it runs as a dynamic, non-root user" awk '/^Uid:/ { exit !($2 >= 61184 && $2 <= 65519) }' "$status"
expect "it has no capabilities" \
  awk '/^Cap(Inh|Prm|Eff|Bnd|Amb):/ && $2 != "0000000000000000" { bad = 1 } END { exit bad }' "$status"
expect "NoNewPrivs is set" grep -q "^NoNewPrivs:[[:space:]]*1" "$status"
expect "a system call filter is in force" grep -q "^Seccomp:[[:space:]]*2" "$status"

step "the board goes away and comes back"
t=$(now)
echo Y >/sys/module/i2c_stub/parameters/pulled
pulled="52.750 C, not sent: the board at 0x0b does not take writes: No such device or address"
expect "the status text says the board takes no writes" \
  wait_for 3 sh -c "[ \"\$(systemctl show -p StatusText --value kelvane)\" = '$pulled' ]"
# Longer than the watchdog's 5 s: the loop goes on and feeds it.
sleep 6
expect "the write failure is in the journal once" [ "$(count "$t" "cannot write register 3")" -eq 1 ]
journal "$t" | grep "cannot write" | sed 's/^/  /'
echo N >/sys/module/i2c_stub/parameters/pulled
expect "it runs again once the board is back" runs 3
expect "the recovery is in the journal once" [ "$(count "$t" "takes writes again")" -eq 1 ]
expect "the service stayed up" [ "$(state NRestarts)/$(systemctl is-active kelvane)" = 0/active ]

step "the board refuses the handshake, then answers"
# i2c-stub answers a read with the register after the one last written, so
# the handshake on register 1 is answered by register 2.
systemctl stop kelvane
i2cset -y "$bus" 0x0b 2 0x5a
# What systemctl reports, every 0.2 s, until the board answers.
(while [ ! -e /run/kelvane-test/answered ]; do systemctl is-active kelvane; sleep 0.2; done >states) &
t=$(now)
start_fails() {
  timeout 30 systemctl start kelvane 2>/dev/null
  rc=$?
  [ "$rc" -ne 0 ] && [ "$rc" -ne 124 ]
}
expect "systemctl start fails" start_fails
expect "the refusal is in the journal" \
  wait_for 10 logged_since "$t" "refused the handshake (reply 0x5a)" 1
expect "kelvane ended with status 1, and systemd will start it again" wait_for 10 sh -c \
  '[ "$(systemctl show -p ExecMainStatus --value kelvane)/$(systemctl is-active kelvane)" = 1/activating ]'
expect "it tried again" wait_for 25 logged_since "$t" "refused the handshake" 2
again=$(restart_delay "$t" 1)
expect "the first restart came about 15 s later, scaled by $scale (after $again s)" about_15_s "$again"
# Then the delay grows (systemd 254 and later), or the tries come in rounds
# of three (252): one period from the second try, or the first round.
if [ "$counts_refusals" ]; then
  if [ "$newer" ]; then from=2 to=3; else from=1 to=4; fi
  periods "$t" "$from" "$to" "refused the handshake" "the board refusing"
fi
# What the owner sees while it waits, between two tries (on 252 between two
# rounds: the quick tries leave no time to read it).
if [ "$newer" ]; then waiting=auto-restart; else waiting=failed; fi
wait_for 120 sh -c "[ \"\$(systemctl show -p SubState --value kelvane)\" = $waiting ]"
systemctl status --full kelvane >status
sed -n 's/^ *\(Active\|TriggeredBy\):/  &/p' status
expect "systemctl status says why it waits" grep -q "refused the handshake (reply 0x5a)" status
answered=$(now)
i2cset -y "$bus" 0x0b 2 0
touch /run/kelvane-test/answered
wait
echo "  states seen: $(sort states | uniq -c | tr -s ' \n' ' ')"
expect "the unit never reported active while refused" sh -c '! grep -qx active states'
# Within 5 minutes of real delays, and the start of a try.
if wait_for $((300 / scale + 10)) active; then
  ok "it runs again $(since "$answered") s after the board answered 0 (at most $((300 / scale + 10)))"
else
  fail "it did not run within $((300 / scale + 10)) s of the board answering 0"
fi
echo "  the whole wait: $(journal "$t" | grep -c .) entries in $(since "$t") s of delays scaled by $scale," \
  "$(count "$t" "refused the handshake") tries"
expect "and feeds the board" runs 3

step "a thermal zone whose read never returns"
# A FIFO without a writer: opening it blocks for ever, as a hung sensor
# driver would. Each run then ends by the watchdog soon after the board
# answered: no run lasts, so the tries thin out as while the board is away.
hang() { rm "$zone/temp" && mkfifo "$zone/temp"; }
# From a start of the owner's, which begins the waits afresh.
systemctl restart kelvane
t=$(now)
hang
expect "the watchdog ends the stuck loop" wait_for 15 logged_since "$t" "Watchdog timeout" 1
hung_for=$(journal "$t" | grep -m1 "Watchdog timeout" | awk -v t="$t" '{ printf "%.1f", $1 - t }')
echo "  the watchdog fired $hung_for s after the zone hung"
if [ "$counts_hangs" ]; then
  if [ "$newer" ]; then from=2 to=3; else from=1 to=4; fi
  periods "$t" "$from" "$to" "Watchdog timeout" "the zone hanging after every start"
fi
mended=$(now)
rm "$zone/temp"
if runs $((300 / scale + 10)); then
  ok "it feeds the board again $(since "$mended") s after the zone reads (at most $((300 / scale + 10)))"
else
  fail "it did not feed the board within $((300 / scale + 10)) s of the zone reading"
fi
# After a run that lasted, the waits begin again at the next start, so a
# failure soon after it is tried again after the shortest delay, not the
# longest (only systemd 254 and later grow it).
if [ "$counts_hangs" ] && [ "$newer" ]; then
  systemctl restart kelvane
  sleep $((lasting / scale + 2))
  t=$(now)
  hang
  expect "after a run of $(((lasting / scale + 2) * scale)) s, scaled, the watchdog ends the stuck loop twice" \
    wait_for 30 logged_since "$t" "Scheduled restart" 2
  again=$(restart_delay "$t" 2)
  expect "and the second time it is tried again about 15 s later, scaled by $scale (after $again s)" \
    about_15_s "$again"
  rm "$zone/temp"
  expect "it feeds the board again" runs 70
fi

step "remove, purge, install again"
expect "apt remove succeeds" apt_get remove kelvane
expect "the service is stopped" sh -c '! systemctl is-active -q kelvane'
expect "apt purge succeeds" apt_get purge kelvane
expect "no mask is left" absent /etc/systemd/system/kelvane.service
expect "no enablement link is left" absent /etc/systemd/system/multi-user.target.wants/kelvane.service
expect "apt installs it again" apt_get install kelvane
expect "it is enabled again" [ "$(systemctl is-enabled kelvane)" = enabled ]
expect "it runs again" runs 10
pid=$(state MainPID)
expect "apt reinstall succeeds" apt_get install --reinstall kelvane
expect "reinstalling restarts it" wait_for 10 sh -c "[ \"\$(systemctl show -p MainPID --value kelvane)\" != $pid ]"
expect "and it runs" runs 10

step "the next release through the repository, and two forgeries of it"
# Each is refused before anything is taken from it, and what apt knows of
# the repository stays as it was.
for forgery in "tampered:whose Packages changed after signing" "other-key:signed by another key"; do
  serve "${forgery%%:*}"
  expect "apt update refuses the repository ${forgery#*:}" refused
  apt_get upgrade
  expect "and nothing is installed from it" [ "$(version kelvane)/$(candidate)" = "$first/$first" ]
done
# The real one. A process still running the replaced binary shows its
# executable as deleted.
serve 2
pid=$(state MainPID)
expect "apt update takes the next release" apt_update
expect "apt upgrade moves to $second" upgraded_to "$second"
expect "the upgrade restarted it" wait_for 10 sh -c "[ \"\$(systemctl show -p MainPID --value kelvane)\" != $pid ]"
expect "with the new program" sh -c \
  '[ "$(readlink /proc/$(systemctl show -p MainPID --value kelvane)/exe)" = /usr/bin/kelvane ]'
expect "it runs" runs 10
expect "it stays enabled" [ "$(systemctl is-enabled kelvane)" = enabled ]
expect "apt goes back to the earlier version" apt_get install --allow-downgrades ./kelvane_*.deb
systemctl disable --now kelvane 2>/dev/null
expect "apt upgrades a disabled, stopped service" upgraded_to "$second"
expect "it stays disabled" [ "$(systemctl is-enabled kelvane)" = disabled ]
expect "and stopped" [ "$(systemctl is-active kelvane)" = inactive ]
modprobe -r i2c-dev && modprobe i2c-dev && udevadm settle
expect "a bus device that appears does not start it" [ "$(systemctl is-active kelvane)" = inactive ]

step "a system without the groups, nor a udev rule for the bus"
# Plain Debian without i2c-tools: no i2c group, and bus devices that only
# root may open. The unit must still start; kelvane then says what is
# wrong, and runs once the device is given to the group.
apt_get purge kelvane i2c-tools
modprobe -r i2c-dev
groupdel gpio
groupdel i2c
t=$(now)
expect "apt installs it" apt_get install ./kelvane_*.deb
expect "the groups were made" sh -c 'getent group gpio && getent group i2c'
expect "kelvane starts and names the problem" wait_for 10 logged_since "$t" \
  "cannot open the I2C board at 0x0b: Permission denied (is the user in the i2c group?)" 1
expect "the unit found its groups" [ "$(count "$t" "status=216/GROUP")" -eq 0 ]
t=$(now)
chgrp i2c "/dev/i2c-$bus"
chmod 0660 "/dev/i2c-$bus"
expect "it runs once the bus belongs to the i2c group" runs 25

step "what the journal said"
journalctl -q -u kelvane -o short-monotonic --no-pager | grep -v "The temperature is" | tail -60 | sed 's/^/  /'
echo "$failures failed"
exit "$failures"
