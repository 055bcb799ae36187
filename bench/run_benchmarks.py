#!/usr/bin/env python3
"""Runs the agent's benchmarks and prints one markdown table.

Usage: run_benchmarks.py BUILD_DIR

BUILD_DIR holds a build configured with -DDOCK_RESTORE_BENCHMARKS=ON. Measures, in
this order:
  - one pass of the owner watch on each fixture (bench/watch_pass_bench), beside
    libplist and Python's plistlib reading the same files;
  - the agent's wake-ups, CPU time and peak RSS over 30 s of waiting on a live owner
    while nothing changes, beside `sleep 30`;
  - how soon the agent exits after the owner deactivates, deletes or hands over its
    snapshot;
  - recovery latency, from the owner's death to the snapshot's removal, beside
    bench/polling_agent, which has no wake-ups at all.
The agent is measured twice throughout: as it runs normally, and with events
unavailable, which the machine alone decides: there its snapshot lies in a folder
reached through a symbolic link, where no change can be trusted to raise an event.
Progress goes to stderr, the table to stdout.
"""
import contextlib
import ctypes
import json
import os
import plistlib
import select
import shutil
import statistics
import struct
import subprocess
import sys
import tempfile
import time
import timeit
import uuid

import fixtures

OWNER_DOMAIN = "com.example.owner"
MARKER_KEY = "velko.systemDockVisibilitySnapshot"
DOCK_DOMAIN = "com.apple.dock"
# What an owner has done to the Dock by the time it dies (see examples/owner.py).
HIDDEN_DOCK = {"autohide": True, "autohide-delay": 1000.0, "autohide-time-modifier": 0.0,
               "launchanim": False, "no-bouncing": True}
POLL_INTERVAL = 0.5  # the agent's pause between two passes without events (src/agent/watch.h)
WAIT_SECONDS = 30
LATENCY_RUNS = 20
NOTICE_RUNS = 10

TYPICAL_PASS_LIMIT_US = 15.0
PLISTLIB_FACTOR = 10.0
WAIT_SHARE_LIMIT = 0.0005  # percent of one core: 0.000 when rounded
WAKE_UPS_LIMIT = 0  # a minute
RSS_LIMIT_KIB = 3.3 * 1024
NOTICE_LIMIT_MS = 5.0
LATENCY_LIMIT_MS = 3.0


def progress(message):
    print(message, file=sys.stderr, flush=True)


def start_sleeper(seconds, executable="sleep"):
    """A process that lives for `seconds`: the owner, or a stand-in Dock."""
    return subprocess.Popen([executable, str(seconds)], start_new_session=True)


def stop(process):
    if process.poll() is None:
        process.kill()
        process.wait()


def write_atomically(path, data):
    temporary = path + ".tmp"
    with open(os.open(temporary, os.O_WRONLY | os.O_CREAT | os.O_TRUNC, 0o600), "wb") as f:
        f.write(data)
    os.replace(temporary, path)


def wait_until(condition, timeout=10.0, step=0.001):
    deadline = time.monotonic() + timeout
    while not condition():
        if time.monotonic() > deadline:
            raise TimeoutError("condition not reached")
        time.sleep(step)


def process_state(pid):
    with open(f"/proc/{pid}/stat") as f:
        return f.read().rsplit(")", 1)[1].split()[0]


def wait_until_pausing(agent):
    # The agent sleeps only in its wait between passes, so a sleeping agent has
    # finished its first pass and holds its handles.
    wait_until(lambda: process_state(agent.pid) == "S")


@contextlib.contextmanager
def scratch_home():
    """A HOME with the snapshot's folder in it, `snapshots`, also reached as `linked`."""
    home = tempfile.mkdtemp(prefix="dock-agent-bench-")
    try:
        os.makedirs(os.path.join(home, ".config"), mode=0o700)
        os.mkdir(os.path.join(home, "snapshots"))
        os.symlink("snapshots", os.path.join(home, "linked"))
        yield home
    finally:
        shutil.rmtree(home, ignore_errors=True)


def snapshot_paths(home):
    """Where the snapshot is written, and where the agent is told it is, with events
    and without."""
    written = os.path.join(home, "snapshots", "snapshot.plist")
    return written, {True: written, False: os.path.join(home, "linked", "snapshot.plist")}


def domain_path(home, domain):
    return os.path.join(home, ".config", domain + ".plist")


def agent_environment(home):
    environment = {k: v for k, v in os.environ.items() if k != "XDG_CONFIG_HOME"}
    environment["HOME"] = home
    return environment


def start_agent(agent, home, snapshot_path, owner_pid, session_id):
    return subprocess.Popen([agent, snapshot_path, str(owner_pid), session_id, OWNER_DOMAIN],
                            env=agent_environment(home), cwd=home, stdin=subprocess.DEVNULL,
                            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)


# One watch pass -----------------------------------------------------------------------

def run_watch_pass_bench(executable, owner_pid, session_id, paths, directory):
    """Median CPU seconds per iteration, by benchmark name."""
    report = os.path.join(directory, "watch_pass.json")
    run = subprocess.run([executable, "--benchmark_min_time=0.1", "--benchmark_repetitions=9",
                          # Interleaved, so that a burst of other work on the machine
                          # does not land on one benchmark only.
                          "--benchmark_enable_random_interleaving=true",
                          "--benchmark_report_aggregates_only=true", f"--benchmark_out={report}",
                          "--benchmark_out_format=json", str(owner_pid), session_id, *paths],
                         stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True)
    if run.returncode != 0:
        sys.exit(run.stderr)
    with open(report) as f:
        results = json.load(f)["benchmarks"]
    scale = {"ns": 1e-9, "us": 1e-6, "ms": 1e-3, "s": 1.0}
    return {r["run_name"]: r["cpu_time"] * scale[r["time_unit"]]
            for r in results if r.get("aggregate_name") == "median"}


def plistlib_load_seconds(path):
    """Median CPU seconds of opening `path` and plistlib.load-ing it, as the agent reads it."""
    def load():
        with open(path, "rb") as f:
            plistlib.load(f)
    timer = timeit.Timer(load, timer=time.process_time)
    number, _ = timer.autorange()
    return statistics.median(timer.repeat(repeat=5, number=number)) / number


def measure_passes(build, directory):
    owner = start_sleeper(600)
    try:
        session_id = str(uuid.uuid4())
        paths = fixtures.write(directory, owner.pid, session_id)
        progress("watch pass: Google Benchmark")
        cpu = run_watch_pass_bench(os.path.join(build, "bench", "watch_pass_bench"), owner.pid,
                                   session_id, paths, directory)
    finally:
        stop(owner)
    progress("watch pass: plistlib")
    rows = []
    for name, path in zip(fixtures.FILES, paths):
        rows.append({"name": name, "size": os.path.getsize(path),
                     "pass": cpu[f"watch_pass/{name}"],
                     "libplist": cpu[f"libplist_read_parse/{name}"],
                     "plistlib": plistlib_load_seconds(path)})
    return rows


# Waiting cost -------------------------------------------------------------------------

CLOCK_TICK = os.sysconf("SC_CLK_TCK")


def stat_cpu_seconds(pid):
    """utime + stime from /proc/<pid>/stat: whole clock ticks."""
    with open(f"/proc/{pid}/stat") as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / CLOCK_TICK  # fields 14 and 15 of stat(5)


def scheduled_cpu_seconds(pid):
    """Time on a CPU from /proc/<pid>/schedstat, in nanoseconds: finer than clock ticks."""
    with open(f"/proc/{pid}/schedstat") as f:
        return int(f.read().split()[0]) / 1e9


def peak_rss_kib(pid):
    with open(f"/proc/{pid}/status") as f:
        for line in f:
            if line.startswith("VmHWM:"):
                return int(line.split()[1])
    raise ValueError(f"no VmHWM for {pid}")


def wake_ups(pid):
    """Context switches so far: each is the agent going to sleep or being put aside."""
    with open(f"/proc/{pid}/status") as f:
        return sum(int(line.split()[1]) for line in f if "ctxt_switches:" in line)


def measure_waiting(agent_path):
    with scratch_home() as home:
        owner = start_sleeper(600)
        try:
            session_id = str(uuid.uuid4())
            written, paths = snapshot_paths(home)
            write_atomically(written, plistlib.dumps(fixtures.snapshot(owner.pid, session_id)))
            progress(f"waiting cost: {WAIT_SECONDS} s")
            started = time.monotonic()
            # Not through subprocess: its rusage is wanted, and only wait4 gives it.
            floor = os.posix_spawnp("sleep", ["sleep", str(WAIT_SECONDS)], os.environ)
            agents = {events: start_agent(agent_path, home, path, owner.pid, session_id)
                      for events, path in paths.items()}
            try:
                for agent in agents.values():
                    wait_until_pausing(agent)
                # A sleeping `sleep` has reached its peak; at the end it may be gone.
                wait_until(lambda: process_state(floor) == "S")
                floor_rss_kib = peak_rss_kib(floor)
                waiting_since = time.monotonic()
                before = {events: (scheduled_cpu_seconds(agent.pid), wake_ups(agent.pid))
                          for events, agent in agents.items()}
                time.sleep(max(0.0, started + WAIT_SECONDS - time.monotonic()))
                waited = time.monotonic() - waiting_since
                result = {events: {
                    "stat_cpu": stat_cpu_seconds(agent.pid),
                    "cpu": scheduled_cpu_seconds(agent.pid),
                    "waiting_cpu": scheduled_cpu_seconds(agent.pid) - before[events][0],
                    "wake_ups": wake_ups(agent.pid) - before[events][1],
                    "waited": waited,
                    "rss_kib": peak_rss_kib(agent.pid),
                } for events, agent in agents.items()}
            finally:
                for agent in agents.values():
                    stop(agent)
                # `sleep`'s CPU time is final only once it has exited, when /proc no
                # longer shows it; its rusage holds the same counters.
                _, _, usage = os.wait4(floor, 0)
            result["floor_cpu"] = usage.ru_utime + usage.ru_stime
            result["floor_rss_kib"] = floor_rss_kib
            return result
        finally:
            stop(owner)


BURST_WRITES = 500
BURST_SHARE_LIMIT = 0.25


def measure_burst(agent_path):
    """The agent's CPU over a burst of atomic rewrites, beside the writer's own: a burst
    is read once for its first change and then at most every 50 ms, however many writes
    it holds."""
    with scratch_home() as home:
        owner = start_sleeper(600)
        try:
            session_id = str(uuid.uuid4())
            written, paths = snapshot_paths(home)
            contents = [plistlib.dumps(dict(fixtures.snapshot(owner.pid, session_id), revision=i))
                        for i in range(2)]
            write_atomically(written, contents[0])
            agent = start_agent(agent_path, home, paths[True], owner.pid, session_id)
            try:
                wait_until_pausing(agent)
                progress(f"burst: {BURST_WRITES} atomic rewrites")
                agent_before, own_before = scheduled_cpu_seconds(agent.pid), time.process_time()
                for i in range(BURST_WRITES):
                    write_atomically(written, contents[i % 2])
                writer = time.process_time() - own_before
                time.sleep(0.1)  # the last read of the burst
                return {"agent": scheduled_cpu_seconds(agent.pid) - agent_before, "writer": writer}
            finally:
                stop(agent)
        finally:
            stop(owner)


# How soon a clean end is noticed -----------------------------------------------------

CLEAN_ENDS = ("deactivation", "deletion", "takeover")


def end_cleanly(how, written, content):
    if how == "deactivation":
        write_atomically(written, plistlib.dumps(dict(content, active=False)))
    elif how == "deletion":
        os.remove(written)
    else:
        write_atomically(written, plistlib.dumps(dict(content, sessionID=str(uuid.uuid4()))))


def notice_latency(agent_path, home, how, events, phase):
    """Seconds from the owner's clean end of its run (the rename or deletion done) to the
    agent's exit, the end coming `phase` seconds into the agent's wait. Timed from the
    change's completion: renaming over a file on ext4 may first flush the new file's
    data, which is the writer's cost, not the agent's."""
    owner = start_sleeper(600)
    agent = None
    try:
        content = dict(fixtures.snapshot(owner.pid, str(uuid.uuid4())))
        written, paths = snapshot_paths(home)
        write_atomically(written, plistlib.dumps(content))
        agent = start_agent(agent_path, home, paths[events], owner.pid, content["sessionID"])
        exited = os.pidfd_open(agent.pid)
        try:
            wait_until_pausing(agent)
            time.sleep(phase)
            end_cleanly(how, written, content)
            ended = time.perf_counter()
            if not select.select([exited], [], [], 5.0)[0]:
                raise TimeoutError(f"the agent did not notice the {how}")
            return time.perf_counter() - ended
        finally:
            os.close(exited)
    finally:
        for process in (agent, owner):
            if process is not None:
                stop(process)


def inotify_teardown_seconds(directory, runs=20):
    """Median time to close an inotify instance holding one watch, as every exit of the
    agent does: the kernel waits for its readers of watches to finish first."""
    times = []
    for _ in range(runs):
        watch = DeletionWatch(directory)
        started = time.perf_counter()
        watch.close()
        times.append(time.perf_counter() - started)
    return statistics.median(times)


def measure_notice(agent_path, events):
    progress(f"clean ends noticed: {'with' if events else 'without'} events, "
             f"{NOTICE_RUNS} runs of each")
    with scratch_home() as home:
        phases = [(i + 0.5) / NOTICE_RUNS * POLL_INTERVAL for i in range(NOTICE_RUNS)]
        result = {how: [notice_latency(agent_path, home, how, events, phase) for phase in phases]
                  for how in CLEAN_ENDS}
        result["teardown"] = inotify_teardown_seconds(home)
        return result


# Recovery latency ---------------------------------------------------------------------

_libc = ctypes.CDLL(None, use_errno=True)
_IN_DELETE = 0x200
_IN_CLOEXEC = 0o2000000
_EVENT_HEADER = struct.Struct("iIII")


class DeletionWatch:
    """Tells the moment a file in `directory` is deleted, without polling for it."""

    def __init__(self, directory):
        self.fd = _libc.inotify_init1(_IN_CLOEXEC)
        if self.fd < 0:
            raise OSError(ctypes.get_errno(), "inotify_init1")
        if _libc.inotify_add_watch(self.fd, os.fsencode(directory), _IN_DELETE) < 0:
            os.close(self.fd)
            raise OSError(ctypes.get_errno(), "inotify_add_watch")

    def close(self):
        os.close(self.fd)

    def wait_for(self, name, timeout):
        """The time.perf_counter() at which the deletion of `name` was seen."""
        wanted = os.fsencode(name)
        deadline = time.monotonic() + timeout
        while True:
            left = deadline - time.monotonic()
            if left <= 0 or not select.select([self.fd], [], [], left)[0]:
                raise TimeoutError(f"{name} was not deleted")
            seen = time.perf_counter()
            events = os.read(self.fd, 65536)
            offset = 0
            while offset < len(events):
                _, _, _, length = _EVENT_HEADER.unpack_from(events, offset)
                offset += _EVENT_HEADER.size
                if events[offset:offset + length].rstrip(b"\0") == wanted:
                    return seen
                offset += length


def recovery_latency(agent_path, home, snapshot_template, dock_binary, events, phase):
    """Seconds from SIGKILL of the owner (then reaped) to the snapshot's removal,
    killing the owner `phase` seconds into the agent's first wait."""
    dock = start_sleeper(600, dock_binary)
    owner = start_sleeper(600)
    agent = None
    try:
        session_id = str(uuid.uuid4())
        content = dict(snapshot_template, ownerPID=owner.pid, sessionID=session_id)
        written, paths = snapshot_paths(home)
        write_atomically(written, plistlib.dumps(content))
        write_atomically(domain_path(home, OWNER_DOMAIN), plistlib.dumps({MARKER_KEY: True}))
        write_atomically(domain_path(home, DOCK_DOMAIN), plistlib.dumps(HIDDEN_DOCK))
        watch = DeletionWatch(os.path.dirname(written))
        try:
            agent = start_agent(agent_path, home, paths[events], owner.pid, session_id)
            wait_until_pausing(agent)
            time.sleep(phase)
            killed = time.perf_counter()
            owner.kill()
            owner.wait()
            removed = watch.wait_for(os.path.basename(written), timeout=5.0)
        finally:
            watch.close()
        agent.wait(timeout=5.0)
        # The agent's `killall Dock` ends the stand-in; only a left-over needs stopping.
        with contextlib.suppress(subprocess.TimeoutExpired):
            dock.wait(timeout=1.0)
        return removed - killed
    finally:
        for process in (agent, owner, dock):
            if process is not None:
                stop(process)


def measure_latency(agent_path, label, events=True):
    progress(f"recovery latency: {label}, {LATENCY_RUNS} runs")
    with scratch_home() as home:
        dock_binary = os.path.join(home, "Dock")
        shutil.copy(shutil.which("sleep"), dock_binary)
        template = fixtures.snapshot(0, "")
        # Deaths spread evenly over a pause: where in it the owner dies is all that
        # decides the latency of a polling agent.
        phases = [(i + 0.5) / LATENCY_RUNS * POLL_INTERVAL for i in range(LATENCY_RUNS)]
        return [recovery_latency(agent_path, home, template, dock_binary, events, phase)
                for phase in phases]


# Report -------------------------------------------------------------------------------

def microseconds(seconds):
    return f"{seconds * 1e6:.1f} µs"


def milliseconds(seconds):
    return f"{seconds * 1e3:.1f} ms"


def mebibytes(kib):
    return f"{kib / 1024:.2f} MiB"


def verdict(failures):
    return "met" if not failures else "missed: " + ", ".join(failures)


def pass_row(row):
    libplist_ratio = row["pass"] / row["libplist"]
    plistlib_ratio = row["plistlib"] / row["pass"]
    typical = row["name"].startswith("typical")
    failures = []
    if typical:
        if row["pass"] * 1e6 >= TYPICAL_PASS_LIMIT_US:
            failures.append(f"≥ {TYPICAL_PASS_LIMIT_US:.0f} µs")
        if plistlib_ratio < PLISTLIB_FACTOR:
            failures.append(f"< {PLISTLIB_FACTOR:.0f}× plistlib")
        if libplist_ratio > 1.0:
            failures.append("slower than libplist")
    target = (f"< {TYPICAL_PASS_LIMIT_US:.0f} µs, ≥ {PLISTLIB_FACTOR:.0f}× cheaper than plistlib, "
              "≤ libplist") if typical else "none"
    return (f"watch pass, {row['name']} ({row['size']:,} B)", microseconds(row["pass"]), "the same",
            f"libplist {microseconds(row['libplist'])} (pass ÷ libplist {libplist_ratio:.2f}); "
            f"plistlib {microseconds(row['plistlib'])} (plistlib ÷ pass {plistlib_ratio:.1f})",
            target, verdict(failures) if typical else "—")


def spread(latencies):
    return f"median {milliseconds(statistics.median(latencies))}, worst {milliseconds(max(latencies))}"


def latency_verdict(latencies, limit_ms):
    return verdict([] if statistics.median(latencies) * 1e3 < limit_ms else [f"≥ {limit_ms:.0f} ms"])


def table(passes, waiting, burst, notice, recovery, polling):
    rows = [pass_row(row) for row in passes]

    def per_minute(w):
        return w["wake_ups"] / w["waited"] * 60

    def share(w):
        return w["waiting_cpu"] / w["waited"] * 100

    events, fallback = waiting[True], waiting[False]
    rows.append(("wake-ups a minute while nothing changes", f"{per_minute(events):.0f}",
                 f"{per_minute(fallback):.0f}", "—", f"{WAKE_UPS_LIMIT}",
                 verdict([] if per_minute(events) <= WAKE_UPS_LIMIT else [f"> {WAKE_UPS_LIMIT}"])))
    rows.append(("CPU while nothing changes", f"{share(events):.3f} % of a core",
                 f"{share(fallback):.3f} % of a core", "—", "0.000 % of a core",
                 verdict([] if share(events) < WAIT_SHARE_LIMIT else ["≥ 0.0005 %"])))
    rows.append((f"CPU in the first {WAIT_SECONDS} s, start-up included",
                 f"{milliseconds(events['cpu'])} ({events['stat_cpu'] * 1e3:.0f} ms in stat ticks)",
                 f"{milliseconds(fallback['cpu'])} ({fallback['stat_cpu'] * 1e3:.0f} ms in stat ticks)",
                 f"`sleep {WAIT_SECONDS}`: {milliseconds(waiting['floor_cpu'])}", "none", "—"))
    rows.append(("peak RSS while waiting", mebibytes(events["rss_kib"]), mebibytes(fallback["rss_kib"]),
                 f"`sleep {WAIT_SECONDS}`: {mebibytes(waiting['floor_rss_kib'])}",
                 f"≤ {mebibytes(RSS_LIMIT_KIB)}",
                 verdict([] if events["rss_kib"] <= RSS_LIMIT_KIB else [f"> {mebibytes(RSS_LIMIT_KIB)}"])))
    burst_share = burst["agent"] / burst["writer"]
    rows.append((f"CPU over a burst of {BURST_WRITES} atomic rewrites", milliseconds(burst["agent"]), "—",
                 f"the writer: {milliseconds(burst['writer'])}", f"< {BURST_SHARE_LIMIT:.0%} of the writer's",
                 verdict([] if burst_share < BURST_SHARE_LIMIT else [f"{burst_share:.0%}"])))
    teardown = (f"closing an inotify instance with one watch, part of every exit: median "
                f"{milliseconds(notice[True]['teardown'])}")
    for how in CLEAN_ENDS:
        rows.append((f"{how} noticed (to the agent's exit), {NOTICE_RUNS} runs", spread(notice[True][how]),
                     spread(notice[False][how]), teardown, f"median < {NOTICE_LIMIT_MS:.0f} ms",
                     latency_verdict(notice[True][how], NOTICE_LIMIT_MS)))
    rows.append((f"recovery latency, {LATENCY_RUNS} runs", spread(recovery[True]), spread(recovery[False]),
                 f"bench/polling_agent, no wake-ups: {spread(polling)}",
                 f"median < {LATENCY_LIMIT_MS:.0f} ms", latency_verdict(recovery[True], LATENCY_LIMIT_MS)))
    lines = ["| measurement | agent | events unavailable | beside it | target | |",
             "|---|---|---|---|---|---|"]
    lines += ["| " + " | ".join(row) + " |" for row in rows]
    return "\n".join(lines)


def main():
    if len(sys.argv) != 2:
        sys.exit(__doc__)
    build = os.path.abspath(sys.argv[1])
    # Other work on the machine slows every figure here; say how much there was.
    progress(f"load average before: {os.getloadavg()[0]:.2f}")
    agent = os.path.join(build, "dock-restore-agent")
    with tempfile.TemporaryDirectory(prefix="dock-agent-bench-") as directory:
        passes = measure_passes(build, directory)
    waiting = measure_waiting(agent)
    burst = measure_burst(agent)
    notice = {events: measure_notice(agent, events) for events in (True, False)}
    recovery = {events: measure_latency(agent, "with events" if events else "without events", events)
                for events in (True, False)}
    polling = measure_latency(os.path.join(build, "bench", "polling_agent"), "no wake-ups")
    progress(f"load average after: {os.getloadavg()[0]:.2f}")
    print(table(passes, waiting, burst, notice, recovery, polling))


if __name__ == "__main__":
    main()
