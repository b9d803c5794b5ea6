"""Runs a command on a pseudo-terminal, as a person runs it from a shell,
and stops it as a person would when a text shows up in its output.

    pty_signals.py LOG WHEN SIGNAL COUNT COMMAND...

When WHEN first shows in the output, SIGNAL goes to the command: INT as
the terminal's interrupt character (Ctrl-C written to the terminal, so the
kernel signals the foreground process group), TERM or HUP by kill(2). With
COUNT 2 the same signal goes once more as soon as the command has answered
the first (its line saying that the run goes on). LOG gets the whole
output. Prints one line: the exit code (negative for a signal), then, for
each signal sent, the last of the STEPS texts seen before it went.
"""
import os
import pty
import select
import signal
import sys
import time

STEPS = ["creating backup...", "Formating...", "Installing FreeDOS...",
         "restoring backup...", "Done!"]
ANSWER = "Press Ctrl-C again"
TIMEOUT = 120


def last_step(text):
    seen = [(text.rfind(step), step) for step in STEPS if step in text]
    return max(seen)[1] if seen else "-"


def main():
    log_path, when, name, count = sys.argv[1:5]
    command = sys.argv[5:]
    count = int(count)
    pid, master = pty.fork()
    if pid == 0:
        # A signal the test's own parent ignores would stay ignored in the
        # program; a person's shell leaves them at their default.
        for number in (signal.SIGINT, signal.SIGTERM, signal.SIGHUP):
            signal.signal(number, signal.SIG_DFL)
        try:
            os.execvp(command[0], command)
        finally:
            os._exit(127)

    def send():
        if name == "INT":
            os.write(master, b"\x03")
        else:
            os.kill(pid, getattr(signal, "SIG" + name))

    output = b""
    sent = []
    deadline = time.monotonic() + TIMEOUT
    while time.monotonic() < deadline:
        ready, _, _ = select.select([master], [], [], 0.5)
        if not ready:
            continue
        try:
            chunk = os.read(master, 65536)
        except OSError:  # EIO: the command closed its terminal
            break
        if not chunk:
            break
        output += chunk
        text = output.decode(errors="replace")
        if not sent and when in text:
            sent.append(last_step(text))
            send()
        elif len(sent) == 1 and count == 2 and ANSWER in text:
            sent.append(last_step(text))
            send()
    else:
        os.kill(pid, signal.SIGKILL)
    _, status = os.waitpid(pid, 0)
    os.close(master)
    with open(log_path, "wb") as log:
        log.write(output)
    code = os.waitstatus_to_exitcode(status)
    print(" ".join([str(code)] + [step.replace(" ", "_") for step in sent]))


main()
