#!/usr/bin/env python3
"""Start-up, shutdown, idle and memory figures of the backend, measured by hand.

Usage: bench/startup_figures.py [path/to/QuilvarnCLI] [runs]

Prints, over several runs in stdin mode with no audio device: the time from process start to
the reply of a first command, the time from "quit" to exit, and the peak resident memory; then,
with a private JACK server on the dummy driver, the idle CPU of the backend with the device open.
"""
import os, random, select, statistics, subprocess, sys, tempfile, time

cli = sys.argv[1] if len(sys.argv) > 1 else os.path.join(os.path.dirname(__file__), "..", "build", "QuilvarnCLI")
runs = int(sys.argv[2]) if len(sys.argv) > 2 else 20
scratch = tempfile.mkdtemp(prefix="quilvarn-bench-")
settings = os.path.join(scratch, "AE-Settings.json")


def read_line(proc, timeout=10.0):
    deadline = time.monotonic() + timeout
    data = b""
    while not data.endswith(b"\n"):
        left = deadline - time.monotonic()
        if left <= 0 or not select.select([proc.stdout], [], [], left)[0]:
            raise TimeoutError("no reply")
        chunk = os.read(proc.stdout.fileno(), 1)
        if not chunk:
            raise EOFError("output ended")
        data += chunk
    return data


def one_run(env):
    t0 = time.monotonic()
    proc = subprocess.Popen([cli, "-s", settings], stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                            stderr=subprocess.DEVNULL, env=env)
    proc.stdin.write(b'{"command":"ping"}\n'); proc.stdin.flush()
    read_line(proc)
    t1 = time.monotonic()
    proc.stdin.write(b'{"command":"quit"}\n'); proc.stdin.flush()
    read_line(proc)
    t2 = time.monotonic()
    _, status, usage = os.wait4(proc.pid, 0)
    t3 = time.monotonic()
    return (t1 - t0) * 1000, (t3 - t2) * 1000, usage.ru_maxrss / 1024.0, status


def cpu_seconds(pid):
    with open(f"/proc/{pid}/stat") as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


env = dict(os.environ)
env["JACK_DEFAULT_SERVER"] = f"qvbench-none-{os.getpid()}"  # no server: no device
results = [one_run(env) for _ in range(runs)]
first = [r[0] for r in results]; quit_ = [r[1] for r in results]; rss = [r[2] for r in results]
print(f"runs: {runs}, stdin mode, no audio device")
print(f"start to first reply: median {statistics.median(first):.1f} ms (min {min(first):.1f}, max {max(first):.1f})")
print(f"quit to exit:         median {statistics.median(quit_):.1f} ms (min {min(quit_):.1f}, max {max(quit_):.1f})")
print(f"peak resident memory: median {statistics.median(rss):.1f} MiB (max {max(rss):.1f})")

# Idle CPU with a JACK device open.
name = f"qvbench-{os.getpid()}-{random.randint(0, 99999)}"
jackd = subprocess.Popen(["jackd", "-n", name, "-r", "-d", "dummy", "-r", "48000", "-p", "1024"],
                         stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
try:
    time.sleep(1.5)
    env["JACK_DEFAULT_SERVER"] = name
    proc = subprocess.Popen([cli, "-s", settings], stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                            stderr=subprocess.DEVNULL, env=env)
    proc.stdin.write(b'{"command":"ping"}\n'); proc.stdin.flush()
    read_line(proc)
    time.sleep(2.0)
    c0, w0 = cpu_seconds(proc.pid), time.monotonic()
    time.sleep(10.0)
    c1, w1 = cpu_seconds(proc.pid), time.monotonic()
    ports = subprocess.run(["jack_lsp"], env=env, capture_output=True, text=True).stdout
    proc.stdin.write(b'{"command":"quit"}\n'); proc.stdin.flush()
    read_line(proc)
    _, _, usage = os.wait4(proc.pid, 0)
    print(f"JACK device open: {'yes' if 'QuilvarnCLI:out_1' in ports else 'NO'} (48000 Hz, 1024-sample period)")
    print(f"idle CPU with the device open: {100.0 * (c1 - c0) / (w1 - w0):.2f} % of one core over {w1 - w0:.0f} s")
    print(f"peak resident memory with the device open: {usage.ru_maxrss / 1024.0:.1f} MiB")
finally:
    jackd.terminate(); jackd.wait()
