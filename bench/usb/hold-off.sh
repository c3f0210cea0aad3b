#!/bin/sh
# What an ordinary program meets on a busy desktop, for kelvo-usb-flash-bench
# run as an ordinary user beside it: on every CPU a root SCHED_FIFO loop that
# takes the CPU for HOLD ms every EVERY ms, holding off everything below it.
# The threads of the processes given (the bench's emulation: its parent
# process) are raised above the loops, so that only the updater waits.
#   sudo bench/usb/hold-off.sh HOLD EVERY [PID...]      (Ctrl-C ends it)
set -eu
hold=${1:-150}
every=${2:-2000}
shift 2 || true
for pid in "$@"; do
  for task in /proc/"$pid"/task/*; do chrt -f -p 60 "${task##*/}"; done
done
trap 'kill 0' INT TERM EXIT
cpus=$(nproc)
cpu=0
while [ "$cpu" -lt "$cpus" ]; do
  taskset -c "$cpu" chrt -f 50 perl -MTime::HiRes=time,sleep -e '
    my ($hold, $every) = @ARGV;
    while (1) { sleep(($every - $hold) / 1000); my $t = time; 1 while time - $t < $hold / 1000; }' \
    "$hold" "$every" &
  cpu=$((cpu + 1))
done
wait
