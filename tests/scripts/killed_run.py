"""Runs a command with its standard error kept in a file, and kills it with
SIGKILL a given time after one of its lines, or after its start.

    killed_run.py LOG ANCHOR DELAY COMMAND...

ANCHOR is a whole line of the command's standard error, or empty for its
start; DELAY is in seconds, or "never" to let it run to its end, when each
line in LOG gets the seconds since the start in front of it. Prints the
command's exit code (-9 when the kill landed). A kill anchored at a line
lands a given time into that step whatever the load of the machine, which
a delay counted from the start does not.
"""
import subprocess
import sys
import threading
import time


def main():
    log_path, anchor, delay = sys.argv[1], sys.argv[2], sys.argv[3]
    command = sys.argv[4:]
    timed = delay == "never"
    start = time.monotonic()
    run = subprocess.Popen(command, stdin=subprocess.DEVNULL,
                           stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
    timers = []

    def kill_later():
        # Popen.kill does nothing once the command has been waited for.
        timer = threading.Timer(float(delay), run.kill)
        timers.append(timer)
        timer.start()

    if not timed and not anchor:
        kill_later()
    with open(log_path, "wb") as log:
        # What the command wrote before it died is still in the pipe: the
        # log ends with its last line.
        for line in run.stderr:
            if timed:
                log.write(f"{time.monotonic() - start:.4f} ".encode())
            log.write(line)
            log.flush()
            if not timed and anchor and not timers and \
                    line.rstrip(b"\r\n").decode(errors="replace") == anchor:
                kill_later()
    status = run.wait()
    for timer in timers:
        timer.cancel()
    if timed:
        with open(log_path, "ab") as log:
            log.write(f"{time.monotonic() - start:.4f} exit {status}\n".encode())
    print(status)


main()
