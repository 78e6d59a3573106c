"""A fault in one of a daemon's worker threads: the daemon ends by that
signal at once (so procd respawns it), leaves its two records in the log, and
the stack trace of the faulting thread reaches the log at the next start."""

import os
import re
import signal
import subprocess
import time

import pytest

from gateway import DAEMONS, LOGS

FIRST_RECORD = {"kelvora-report-app": "Report App Start : ", "kelvora-mqtt-app": "MQTT App Start : "}
# A frame of the worker thread that is signalled (the newest), whatever the
# libraries' debug symbols.
THREAD_FRAME = {"kelvora-report-app": r"^Reporter::ReportThread\(\) .*in {exe}$",
                "kelvora-mqtt-app": r" in /\S+/libmosquitto\.so\.1$",
                "kelvora-ble-app": r" in /\S+/libsdbus-c\+\+\.so\.1$"}
FRAME_LINE = re.compile(r"^ ?(\d+)# (.+)$")
FRAME_MODULE = re.compile(r" in (/\S+)$")


def trace_frames(text):
    """The frame texts of a rendered trace, checked to be numbered from 0."""
    frames = []
    for line in text.splitlines():
        match = FRAME_LINE.match(line)
        if not match:
            break
        assert int(match[1]) == len(frames), text
        frames.append(match[2])
    return frames


def started(gateway, name):
    """Waits until the daemon runs its worker threads; their ids."""
    proc = gateway.daemons[name]
    if name in FIRST_RECORD:
        assert gateway.sandbox.wait_log(LOGS[name], FIRST_RECORD[name], 10)
    threads = gateway.sandbox.wait_for(lambda: len(gateway.worker_threads(name)) >= 2
                                       or proc.poll() is not None, 10)
    assert proc.poll() is None
    assert threads
    # Let start-up settle so the signal lands in a thread that is running.
    time.sleep(0.5)
    return gateway.worker_threads(name)


@pytest.mark.parametrize("sig", [signal.SIGSEGV, signal.SIGABRT], ids=["segv", "abrt"])
@pytest.mark.parametrize("name", DAEMONS)
def test_fault_in_worker_thread_ends_daemon_and_trace_follows_at_next_start(gateway, name, sig):
    number = int(sig)
    proc = gateway.start_daemon(name, core_files=False)
    tid = started(gateway, name)[-1]

    begin = time.monotonic()
    gateway.signal_thread(name, tid, sig)
    try:
        status = proc.wait(timeout=1.0)
    except subprocess.TimeoutExpired:
        pytest.fail(f"{name} still runs 1 s after signal {number}")
    elapsed = time.monotonic() - begin
    assert status == -number
    print(f"{name} signal {number}: ended after {elapsed * 1000:.1f} ms")

    log = gateway.log(name)
    catch = f"ERROR [{tid}] [logging::SignalHandler@"
    lines = log.splitlines()
    crash = [i for i, line in enumerate(lines) if line.startswith(catch, 24)]
    assert [lines[i].split("] ", 2)[2] for i in crash] == [f"Signal Catch : {number}",
                                                          "Terminate program.."], log
    assert gateway.crash_dump(name).stat().st_mode & 0o777 == 0o600

    # procd's respawn: the next start renders the trace as one error record.
    again = gateway.start_daemon(name, core_files=False)
    assert gateway.sandbox.wait_for(lambda: not gateway.crash_dump(name).exists(), 10)
    assert gateway.sandbox.wait_for(lambda: " 0# " in gateway.log(name), 5)
    after = gateway.log(name)[len(log):]
    assert after.count("[logging::LogPreviousCrash@") == 1, after
    head, trace = after.split("[logging::LogPreviousCrash@", 1)
    assert head.rsplit("\n", 1)[-1][24:29] == "ERROR"
    # The frames of the thread that took the signal, each with its module:
    # the daemon's own by name, the others at least by address (libraries
    # without debug symbols, as on the router).
    frames = trace_frames(trace.split("] ", 1)[1])
    assert 5 <= len(frames) <= 32, trace
    modules = [FRAME_MODULE.search(frame) for frame in frames]
    # The frame after the handler is the signal's return path, which MIPS
    # kernels (and qemu-user) keep outside any file: an address alone.
    assert all(module for i, module in enumerate(modules) if i != 2), trace
    exe = os.path.realpath(gateway.sandbox.exe(name))
    assert frames[0].startswith("logging::WriteCrashRecords(int) ") and modules[0][1] == exe, trace
    assert frames[1].startswith("logging::SignalHandler(int) ") and modules[1][1] == exe, trace
    assert any(re.search(THREAD_FRAME[name].format(exe=re.escape(exe)), frame) for frame in frames[2:]), trace
    assert not any(frame.startswith("main ") for frame in frames), trace
    # How far the trace reaches beyond the thread's own frames is the
    # libraries' unwind tables' affair (on MIPS it can end in libmosquitto).
    if name in FIRST_RECORD:
        assert after.index(FIRST_RECORD[name]) < after.index("[logging::LogPreviousCrash@")

    assert gateway.sandbox.stop(again, timeout=5) == 0
    assert not gateway.crash_dump(name).exists()
