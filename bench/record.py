#!/usr/bin/env python3
"""Records a run of the benches in docs/PERFORMANCE.md.

    record.py DIR DOC --command TEXT [--idle S] [--cpu N] [--lock PATH] [--arm BUILD]

DIR holds what scripts/bench gathered: q7.txt, and when the daemon benches
ran device.txt, daemon.txt, demo.txt, burst.data and burst.stat (perf over the bursts), arm-device.txt
and arm-daemon.txt. Each section measured replaces the one of its heading in
DOC (or is appended); the others are kept. With --arm, the size of the
armhf daemon in that build is reported (and its section written). --cpu is
the CPU the server, the agent, the daemon and the benches were pinned to.
"""
import argparse
import datetime
import os
import platform
import re
import subprocess
import sys


def run(args, cwd=None, shell=False):
    """A tool's standard output; what it said on failure ends the run."""
    done = subprocess.run(args, cwd=cwd, shell=shell, capture_output=True, text=True)
    if done.returncode != 0:
        sys.exit("record.py: %s failed: %s" % (args if shell else " ".join(args), done.stderr.strip()))
    return done.stdout


def read(path):
    try:
        with open(path) as f:
            return f.read().rstrip("\n")
    except FileNotFoundError:
        return ""


def measured():
    cpu = "unknown CPU"
    for line in read("/proc/cpuinfo").splitlines():
        if line.startswith("model name"):
            cpu = line.split(":", 1)[1].strip()
            break
    return "Measured %s on %s, %s (%d cores), Linux %s," % (
        datetime.datetime.now(datetime.timezone.utc).strftime("%Y-%m-%d"), platform.machine(), cpu,
        os.cpu_count(), platform.release())


def block(text):
    return "```\n%s\n```" % text


def replace_section(doc, heading, section):
    """DOC with the section of that heading replaced, or appended."""
    pattern = re.compile(r"^" + re.escape(heading) + r"\n.*?(?=^## |\Z)", re.S | re.M)
    section = section.rstrip() + "\n"
    if pattern.search(doc):
        doc = pattern.sub(lambda m: section + "\n", doc, count=1)
    else:
        doc = doc.rstrip() + "\n\n" + section
    return doc.rstrip() + "\n"


def perf_profile(d):
    """perf's view of the bursts, or why there is none."""
    data = os.path.join(d, "burst.data")
    if not os.path.exists(data) or os.path.getsize(data) == 0:
        return "perf is not usable here: the per-thread CPU in the device synchronisation figures is the profile."
    keys = ("task-clock", "context-switches", "cpu-migrations", "page-faults", "elapsed")
    stat = [l.strip() for l in read(os.path.join(d, "burst.stat")).splitlines() if any(k in l for k in keys)]

    def report(*sort):
        out = run(["perf", "report", "-i", data, "--stdio", "--percent-limit", "1.5"] + list(sort))
        return [l for l in out.splitlines() if l.strip() and not l.startswith("#")]

    return "\n".join(["perf stat over the bursts (all the daemon's threads):"] + stat + [
        "", "perf record -e cpu-clock -F 1999, samples by library:"] + report("--sort", "dso") + [
        "", "by library and symbol (the daemon itself is stripped; its share is under TeSvcHdlr):"] +
        report("--sort", "dso,sym")[:15])


def size_report(arm):
    """The stripped armhf daemon: sections, largest symbols (from the same
    link without -s), the libraries it needs."""
    binary = os.path.join(arm, "bin", "TeSvcHdlr")
    link = run(["ninja", "-t", "commands", "bin/TeSvcHdlr"], cwd=arm).strip().splitlines()[-1]
    os.makedirs(os.path.join(arm, "size"), exist_ok=True)
    run(link.replace(" -s ", " ").replace("-o bin/TeSvcHdlr", "-o size/TeSvcHdlr"), cwd=arm, shell=True)
    unstripped = os.path.join(arm, "size", "TeSvcHdlr")
    sections = []
    for line in run(["arm-linux-gnueabihf-size", "-A", binary]).splitlines()[2:]:
        words = line.split()
        if len(words) >= 2 and words[1].isdigit() and int(words[1]) >= 700:
            sections.append("  %-20s %8d" % (words[0], int(words[1])))
    symbols = []
    for line in run(["arm-linux-gnueabihf-nm", "--size-sort", "-C", "-r", unstripped]).splitlines()[:12]:
        size, kind, name = line.split(" ", 2)
        symbols.append("  %8d %s %s" % (int(size, 16), kind, name))
    functions = sum(1 for l in run(["arm-linux-gnueabihf-nm", "--size-sort", unstripped]).splitlines()
                    if len(l.split()) > 1 and l.split()[1].upper() in ("T", "W"))
    needs = re.findall(r"Shared library: \[(.*)\]", run(["arm-linux-gnueabihf-readelf", "-d", binary]))
    return "\n".join([
        "TeSvcHdlr, stripped: %d bytes (goal under 262144)" % os.path.getsize(binary), "",
        run(["arm-linux-gnueabihf-size", binary]).rstrip(), "",
        "sections (arm-linux-gnueabihf-size -A), the largest:"] + sections + [
        "", "largest symbols (nm --size-sort of the same link without -s):"] + symbols + [
        "  (%d functions)" % functions, "", "needs: " + " ".join(needs)])


def turns(a):
    idle = ("Idle CPUs were kept polling during the run (a zero latency request on\n"
            "/dev/cpu_dma_latency): a CPU woken from a halt makes a round trip cost\n"
            "a varying price in this VM (with the server on another CPU, the walks\n"
            "moved by a third within one run without it)." if a.idle_cpus == "polling" else
            "Idle CPUs halted during the run (no latency request could be made):\n"
            "a round trip that wakes a halted CPU costs more, and varies more.")
    return TURNS + "\n\n" + idle


TURNS = """Each figure is measured in turns with its floor, in the same run on the
same server: a repetition is one floor measurement, then one of the
figure, and the next repetition follows; whatever the machine does
meanwhile hits both alike. Floor and figure are each the min / median / max
of the repetitions' medians; the ratio is the median of the repetitions'
own ratios (figure over floor), with their spread. A floor that is no
plausible time (not above zero, or below the PING round trip measured in
the same run) stops the bench with an error instead of a ratio."""


def q7_section(a):
    redis = re.search(r"v=(\S+)", run(["redis-server", "--version"]))
    placement = f" and the bench, both pinned to CPU {a.cpu}" if a.cpu else ""
    return f"""## Q7 client latency

{measured()}
redis-server {redis.group(1) if redis else "unknown"}, with:

    {a.command}

(release build, one private server on a Unix socket{placement}, one client
thread; the machine may be shared, so compare the ratios more than the
absolute values).

{block(read(os.path.join(a.dir, "q7.txt")))}

{turns(a)}

Here the floor is the raw PING round trip on the same socket, and a
repetition alternates a PING and a call sample by sample: round trips in
this VM move by half within seconds, and both medians should come from
the same moments.

Aims: get within 1.5x of the raw PING round trip, set-to-notification
within 3x. A get is one HGET; a set is one script call (compare, write,
append to the change stream); the second handle's subscriber connection
waits in a blocked stream read and hands the entry to its callback thread.
Since notifications go through the bounded change stream (no change is lost
while a subscriber reconnects), set-to-notification costs about one round
trip more than a pub/sub push would.
"""


def device_section(a):
    placement = f""" Placement: the Q7 server, the agent, the daemon and the bench all on
CPU {a.cpu}, for the daemon and for the floors alike. A round trip that
crosses CPUs here costs a varying price, several times one on the same
CPU: with the server on another CPU the medians moved by up to a quarter
from one run to the next (the ratios much less); on one CPU they repeat
within a few percent, and the daemon's threads cannot hide work by running
beside each other.""" if a.cpu else ""
    return f"""## Device synchronisation

{measured()} with:

    {a.command}

(release build; the bench, under `flock {a.lock}`, starts a private Q7
server and a private sa-agentd, each on its own socket under one mktemp
directory, seeds the tables, starts TeSvcHdlr, waits for its start-up
router-information push and stops it with SIGUSR1 at the end.
256 devices, all "UP", none a satellite, each with a UUID and
WEXSignatureUpdateStatus 1; the daemon logs at TshLogLevel 5, notices and
errors, to a file.{placement})

{block(read(os.path.join(a.dir, "device.txt")))}

{turns(a)}

Every floor is timed while the daemon runs with its Q7 handles
subscribed, as the figures are: each write on the server wakes its
dispatcher for the floors too.

How the agent's receipt is seen: the bench follows the agent's call journal
over a connection of its own (`ctl.journal` with `follow`) and stamps
each entry with the bench's monotonic clock as it arrives. The agent pushes
an entry when it has handled the call, so every span ends one local socket
hop after the agent had the call.

- **Rename**: `q7_set` of DisplayNameCustom at one row to the receipt of
  the set_device_info carrying that name; one rename at a time, the next
  as soon as the last was received (rows in turn). Floor: set-to-notification
  between two Q7 handles + one agent call round trip (the bench's own
  sa_broker_init, then sa_broker_set_device_info with a valid text) + the
  worker's 2000 us pause, each part the median of as many samples as the
  repetition has renames. A rename sent right after the previous receipt
  meets the worker still finishing that entry and in its pause, which is why
  the pause is part of the floor. The floor leaves out the Q7 work the
  daemon does for each change, which makes most of the distance to it: the
  dispatcher's read of WEXSignatureUpdateStatus, the worker's record read
  (the "record read" part) and its write of TelvaSoTResponseStatus after
  the call. Goal: within 1.2x.
- **Burst**: all 256 rows renamed back to back, until the agent has
  accepted all 256 names; one burst in each repetition. Floor: 256 x the
  per-entry floor, which is what the worker cannot avoid for each entry:
  the Q7 reads of one device record (9 gets, the daemon's fields and kinds,
  timed by the bench), one agent call, the worker's write of
  TelvaSoTResponseStatus that acknowledges the entry (a Q7 set the device
  sync must make; the value is mostly unchanged, as for the worker) and the
  2000 us pause. The dispatcher's check of WEXSignatureUpdateStatus runs
  beside the worker and is not in the floor. Goal: within 1.15x.
- **Resync**: from the bench sending the agent's `emit started` control
  request to the receipt of the set_device_online_status holding all 256
  devices. The span also holds the router-information push that the
  daemon makes first (its own line). Floor: the bench's own walk of the
  same 2,304 Q7 gets (256 records of 9); each repetition takes the median
  of as many walks as resyncs. Goal: within 1.15x.
- **Daemon threads over the bursts**: CPU (utime + stime) and context
  switches of each thread from `/proc/PID/task/*`, busiest first, by
  the order of their start (#N) and their name: TeSvcHdlr the main thread,
  tsh-signal the signal thread, q7-notify the callback threads of the
  three Q7 handles (in start order the daemon's own, whose callbacks are
  the dispatcher, then the logging and the device-information libraries'),
  sa-link and sa-events the broker library's reader and its callback
  threads (resync, import), tsh-check the periodic agent check, tsh-sot the
  device sync worker. The span holds the burst repetitions' floors too,
  which the daemon sleeps through but for its dispatcher's wake-ups.
"""


def profile_section(a):
    return f"""## Burst profile

{measured()} with the device synchronisation run above
(`perf record` and `perf stat` attached to the daemon, all threads,
for three more bursts after the timed ones, by `device_bench --probe`:
a profiler slows what it watches, so no timed burst runs under it).

{block(perf_profile(a.dir))}

What dominates: the burst is waiting, not work. Its wall time is the
worker's 2000 us pause and its Q7 round trips for each entry (see the
per-entry floor above); the daemon's CPU over the bursts is the
task-clock line, a small part of their span. Of that CPU most is the
kernel: context switches (every Q7 round trip and every agent call puts a
thread to sleep and wakes it: see the switches per thread) and Unix socket
reads and writes; the C library's formatting and allocation and the Q7
client's reply parsing follow. The worker (tsh-sot) holds most of it,
then the dispatcher (the first q7-notify).

What was changed because of it: the first profiles showed the callback
threads of the logging and the device-information libraries' Q7 handles
waking on every write on the server, as often as the dispatcher, although
those handles watch no table: every handle subscribed to the one
notification channel at its start and filtered in its callback thread, so
each write anywhere cost the daemon three wake-ups. A handle now opens its
subscriber connection at its first q7_subscribe, which still returns only
once subscribed, so no change after it is missed; those two threads now
sleep through the bursts (0 switches in the thread lines). (In this VM there is no PMU:
samples come from the CPU clock, and the kernel's share lands on the
points where it enables interrupts again, `finish_task_switch` and
`_raw_spin_unlock_irqrestore`.)
"""


def daemon_section(a):
    return f"""## Daemon process

{measured()} with:

    {a.command}

(release build, the placement of the device synchronisation run; each
start of TeSvcHdlr under `flock {a.lock}`.) With the 256 devices of
the device synchronisation run; the daemon watched for {a.idle} s at rest:

{block(read(os.path.join(a.dir, "daemon.txt")))}

With the lab's demo router (`q7ctl load host/q7/demo.json`: 12 devices,
8 of them "UP"), start-ups only:

{block(read(os.path.join(a.dir, "demo.txt")))}
{turns(a)}

- **Start-up**: from posix_spawn of TeSvcHdlr to the agent's receipt of the
  router-information push, the last stage (the daemon then only logs and
  waits on its semaphore). The stages are the last agent call of each kind
  as the agent's journal shows them, in ms from the spawn: up to `init`
  the process start, the pid lock, the Q7 connection, the logging and
  device-information libraries and the system information; then the event
  subscriptions, the version record, the start-up resync (up to
  `set_device_online_status`), the status report and the push. The resync
  is nearly all of it: its walk reads the whole record, nine Q7 gets, of
  every one of the 256 rows before it looks at `Devicestate`, so it costs
  the 2,304-get walk of the device synchronisation floor whatever the
  number of devices. Floor: what a start-up cannot avoid, each part done
  alone by the bench: its own walk of those 2,304 gets; the process start,
  timed as the daemon's binary given a Q7 socket that is not there, from
  the spawn to its exit (loading, pid lock, signal thread, a failed
  connection, the teardown); and the Q7 library's subscriptions of the
  start-up (the daemon's six tables on one handle, the device-information
  library's table on another, each subscription returning once it holds
  the table's values, which is how no change is lost later). A repetition
  is five such floors, then five start-ups (each stopped before the next),
  and takes the median of each. Goal: within 1.2x of the walk; the
  line "start-up p50" keeps the absolute goal of under 100 ms, which
  cannot be met for 256 rows while a Q7 get costs more than about 40 us.
  "less its resync" is each start-up without the span from
  `get_version_info` to `set_device_online_status`: the process start
  with its shared libraries, five connections, the version record, the
  status report and the push.
- **Stop**: SIGUSR1 to the exit status (polled every 100 us). Goal: under
  50 ms.
- **Rest**: utime + stime of all the daemon's threads (`/proc/PID/task/*/stat`,
  in clock ticks) and their voluntary + nonvoluntary context switches
  (`/proc/PID/task/*/status`) across the span, 1 s after the start-up.
  Goal: under 1% of one core. Every thread blocks without a timeout but the
  periodic agent check, which sleeps 300 s: the span sees no wake-up of the
  daemon's own.
- **Memory**: VmRSS and the resident kB of each group of mappings from
  `/proc/PID/smaps` (the "private" column is what no other process
  shares; the C and C++ libraries count in VmRSS although the router's
  other programs share their pages). "TeSvcHdlr bss" is the executable's
  zeroed data: the 2,289,152-byte discovered-device table and the device
  queue (1,281 entries of 72 bytes), resident only once touched; the first
  import clears the whole table and so makes all of it resident for good.
  "[heap]" is what the main thread allocated during the start-up.
  "[anon]" is thread stacks (8 MB reserved each, a few kB resident) and the
  C library's per-thread allocation arenas: after an import the broker
  threads' arenas keep the pages of the list text (about 90 kB as JSON) and
  its parses, which the C library does not give back. Goals: under 6 MB at
  rest and 9 MB after an import.
- **Discovery import**: the bench sets the agent's list (`ctl.set devices`,
  what `agentctl set devices` sends) to 256 devices of 4 MACs; as the
  table has one MAC in each of its 256 rows, the 1,024 MACs are the rows'
  MACs four times over (device d holds those of rows 4d..4d+3 mod 256), so
  every lookup finds its row, and each DID names its round, so every write
  changes the stored value. From the bench's `emit devices-changed` to the
  notification of the 1,024th DeviceDID write, on a Q7 handle of the
  bench's watching "Wexsignature" (it checks every row's DID afterwards).
  "list handed out" is the agent's journal entry of get_devices. The first
  import is apart: it fills the device-information library's MAC cache
  (256 reads) and first touches the table and the broker threads' arenas.
  The second series gives each device 4 MACs that are in no row before its
  4 known ones (2,048 lookups, 1,024 writes): the device-information
  library keeps an index of the rows' MACs, current through its own
  subscription to the table, so a MAC found in no row costs no Q7 call.
  Floor: what the import must do for each MAC, the device-information
  library's wex_update_table_field, called by the bench through a session
  of its own for the same 1,024 MACs, timed before each import with the
  same watchers subscribed (the bench's, the daemon's dispatcher and the
  daemon's session of the library; the bench's session, open only for its
  calls, watches the table too, so the floor pays one watcher more); for the second series also the line the
  daemon must log at level 4 for each unknown MAC, written 1,024 times by
  the bench through the logging library to a file, as the daemon's log
  goes. Goal: within 1.15x, for both series. The library's call is one
  guarded write per MAC (a server-side script that writes only while the
  row still holds that MAC); the "plain q7 sets" line shows 1,024 sets
  without the guard.
"""


def size_section(a, report):
    return f"""## armhf: size

{measured()} with:

    {a.command}

(`cmake --preset armhf -B {a.arm} -DTSH_TESTS=OFF`: MinSizeRel, -Os,
function and data sections collected by the linker, stripped at link, as
for the router; Debian's arm-linux-gnueabihf g++ 12 and glibc.)

{block(report)}

Goal: under 256 KB. The file is code (.text) and the read-only data
(.rodata, most of it the daemon's log texts), then what dynamic linking
needs (symbols, strings, relocations, PLT, GOT) and the unwind tables of
C++ exceptions. The largest symbols are the discovered-device table and
the device queue, both in .bss: zeroed at load, they take no room in the
file. The binary needs libstdc++ and libgcc_s at run time beside the C
library: a router image has to carry them.
"""


def arm_section(a, figures):
    return f"""## armhf under qemu-arm (emulated)

{measured()} with:

    {a.command}

EMULATED: the armhf daemon, agent and benches run under qemu-arm (user
mode) on this x86_64 machine, against the same native Q7 server, with the
placement above. The emulator decides the absolute figures; only the
ratios to the floors measured in the same emulated run mean something, as
a check that the armhf build behaves as the native one. The device bench
runs its full default set; the daemon bench times one repetition of
five start-ups and 3 of imports and leaves out the rest and the memory, which
would be the emulator's. Under qemu each guest thread is a host thread of
the qemu-arm process, which starts one thread of its own first, so the
thread ranks are one higher than natively.

{block(figures)}
"""


def main():
    p = argparse.ArgumentParser(description="Records a run of the benches in a performance document.")
    p.add_argument("dir", help="the directory the run wrote its outputs to")
    p.add_argument("doc", help="the document, e.g. docs/PERFORMANCE.md")
    p.add_argument("--command", required=True, help="the command that ran the benches, as the reader types it")
    p.add_argument("--idle", default="60", help="seconds the daemon was watched at rest")
    p.add_argument("--idle-cpus", default="halting", choices=("polling", "halting"),
                   help="whether idle CPUs were kept polling during the run")
    p.add_argument("--cpu", default="", help="the CPU everything was pinned to")
    p.add_argument("--lock", default="/tmp/tsh-daemon.lock", help="the lock of the daemon's runs")
    p.add_argument("--arm", default="", help="the armhf build, when it was measured")
    a = p.parse_args()
    have = lambda name: os.path.exists(os.path.join(a.dir, name))
    sections = [("## Q7 client latency", q7_section(a))]
    if have("device.txt"):
        sections.append(("## Device synchronisation", device_section(a)))
        sections.append(("## Burst profile", profile_section(a)))
    if have("daemon.txt"):
        sections.append(("## Daemon process", daemon_section(a)))
    if a.arm:
        report = size_report(a.arm)
        print(report)
        sections.append(("## armhf: size", size_section(a, report)))
        figures = "\n\n".join(read(os.path.join(a.dir, f)) for f in ("arm-device.txt", "arm-daemon.txt"))
        sections.append(("## armhf under qemu-arm (emulated)", arm_section(a, figures)))
    doc = read(a.doc) or "# Performance\n\nFigures recorded by scripts/bench."
    for heading, section in sections:
        doc = replace_section(doc, heading, section)
    os.makedirs(os.path.dirname(a.doc) or ".", exist_ok=True)
    with open(a.doc, "w") as f:
        f.write(doc)
    print("bench: recorded in " + a.doc)


if __name__ == "__main__":
    main()
