#!/usr/bin/env python3
"""A small parent application for darvo-helper, in Python's standard library only.

    parent.py [--helper PATH] list
    parent.py [--helper PATH] record WINDOW_ID OUTPUT [--seconds N] [--outline]
    parent.py [--helper PATH] record portal OUTPUT [--token-file FILE] [--seconds N]

`list` prints the X11 windows the helper can record. `record` records one of them into OUTPUT (and
OUTPUT.1.mp4, ... after pauses): for N seconds once the recording is ready, or until Ctrl-C
(SIGINT) or SIGTERM, which are forwarded to the helper as a stop. Every line the helper writes is
printed as it arrives; at the end come the segment files and the helper's exit status.

`record portal` records a window the user chooses in the desktop's own dialog (native Wayland
windows). With --token-file, the desktop's restore token is kept in FILE: the next recording
passes it back (portal:<token>) and the user is not asked again; each recording's token
replaces the one before, as the desktop spends a token when it is used.

The exit status is the helper's (0 when the recording was stopped or reached its duration, 1 when
it failed or ended early), 1 when the helper was killed, and 2 for a usage error or a helper that
cannot be started. See docs/protocol.md for the lines and their meaning.
"""

import argparse
import asyncio
import json
import os
import shutil
import signal
import sys

PROTOCOL = 1
# The window listing is one line; allow many windows.
LINE_LIMIT = 16 * 1024 * 1024
# How long to wait for the helper to end after a stop request before killing it.
STOP_GRACE_SECONDS = 15.0

ERROR_MEANINGS = {
    "screen_permission_required": "the X server refused the connection (check XAUTHORITY)",
    "capture_unavailable": "no usable X server (check DISPLAY) or desktop portal, or capture "
                           "could not start",
    "capture_cancelled": "the user closed the desktop's window chooser",
    "invalid_window_or_output": "no such window to record, or the output path already exists",
    "invalid_duration": "the duration must be 'none' or 1 to 1800 seconds",
    "invalid_outline": "the outline mode must be 'outline' or 'no-outline'",
    "invalid_geometry": "the window is too small to be recorded",
    "recording_failed": "a recording file could not be created or written",
}


def default_helper():
    """The helper next to this repository's build, else darvo-helper on PATH."""
    here = os.path.dirname(os.path.abspath(__file__))
    built = os.path.join(os.path.dirname(here), "build", "darvo-helper")
    if os.access(built, os.X_OK):
        return built
    return shutil.which("darvo-helper") or "darvo-helper"


def say(text):
    print(text, flush=True)


def complain(text):
    print(f"parent.py: {text}", file=sys.stderr, flush=True)


def describe_error(code):
    meaning = ERROR_MEANINGS.get(code)
    return f"helper error: {code}" + (f" ({meaning})" if meaning else "")


def describe_status(returncode):
    if returncode is None:
        return "helper still running"
    if returncode < 0:
        try:
            name = signal.Signals(-returncode).name
        except ValueError:
            name = str(-returncode)
        return f"helper killed by {name}"
    return f"helper exit status: {returncode}"


def parse_line(raw):
    """One line of the helper as a dict, or None when it is not a JSON object."""
    try:
        value = json.loads(raw.decode("utf-8", errors="replace"))
    except ValueError:
        return None
    return value if isinstance(value, dict) else None


async def start_helper(helper, arguments, **options):
    try:
        return await asyncio.create_subprocess_exec(
            helper, *arguments, stdout=asyncio.subprocess.PIPE,
            stderr=asyncio.subprocess.DEVNULL, limit=LINE_LIMIT, **options)
    except OSError as error:
        complain(f"cannot start {helper}: {error.strerror or error}")
        return None


async def read_lines(process):
    """Yields each line of the helper's standard output as a dict, until it closes."""
    while True:
        try:
            raw = await process.stdout.readline()
        except ValueError:  # a line longer than LINE_LIMIT
            complain("the helper wrote an overlong line")
            continue
        if not raw:
            return
        line = parse_line(raw)
        if line is None:
            complain(f"not a JSON object from the helper: {raw!r}")
            continue
        yield line


def exit_code_for(returncode):
    if returncode is None or returncode < 0:
        return 1
    return returncode


async def list_windows(helper):
    process = await start_helper(helper, ["windows"], stdin=asyncio.subprocess.DEVNULL)
    if process is None:
        return 2
    windows = None
    async for line in read_lines(process):
        if "error" in line:
            complain(describe_error(line["error"]))
        elif isinstance(line.get("windows"), list):
            windows = line["windows"]
    returncode = await process.wait()
    if windows is not None:
        if not windows:
            say("no windows to record")
        else:
            say(f"{'id':<12} {'size':>11} {'pid':>8}  app (app id)")
            for window in windows:
                size = f"{window.get('width')}x{window.get('height')}"
                say(f"{window.get('id', '?'):<12} {size:>11} {window.get('pid', '?'):>8}  "
                    f"{window.get('app', '')} ({window.get('bundleId', '')})")
    elif returncode == 0:
        complain("the helper gave no window list")
        return 1
    return exit_code_for(returncode)


class Stopper:
    """Asks the helper to stop once: "stop" on its standard input, which then stays open."""

    def __init__(self, process):
        self.process = process
        self.requested = False
        self.kill_handle = None

    async def request(self, why):
        if self.requested:
            return
        self.requested = True
        say(f"stopping ({why})")
        try:
            self.process.stdin.write(b"stop\n")
            await self.process.stdin.drain()
        except OSError:
            pass  # it has already ended; its last lines are still to be read
        loop = asyncio.get_running_loop()
        self.kill_handle = loop.call_later(STOP_GRACE_SECONDS, self.kill, "it did not end in time")

    def kill(self, why):
        if self.process.returncode is None:
            complain(f"killing the helper: {why}")
            self.process.kill()


def seconds_text(value):
    return f"{value:.1f} s" if isinstance(value, (int, float)) else "? s"


def print_event(line):
    event = line.get("event")
    if event == "source":
        say("source: the desktop gave a restore token for this window")
    elif event == "segment":
        say(f"segment {line.get('index')}: {line.get('file')}")
    elif event == "ready":
        say("ready: recording")
    elif event == "paused":
        say(f"paused at {seconds_text(line.get('atSeconds'))} (segment {line.get('segment')} "
            f"closed); it continues when the window is back")
    elif event in ("onscreen", "offscreen"):
        say(f"{event} at {seconds_text(line.get('atSeconds'))}")
    elif event == "finished":
        detail = line.get("detail") or ""
        say(f"finished: {line.get('reason')}" + (f" ({detail})" if detail else "") +
            f", {line.get('segments')} segment(s)")
    else:
        say(f"event: {json.dumps(line, sort_keys=True)}")


def read_token(path):
    """The restore token kept in `path`; None when there is none."""
    try:
        with open(path, encoding="utf-8") as file:
            return file.read().strip() or None
    except FileNotFoundError:
        return None


def keep_token(path, token):
    """Replaces the kept token: written aside, then moved over it, so it is never half there."""
    aside = path + ".new"
    with open(aside, "w", encoding="utf-8") as file:
        file.write(token + "\n")
    os.replace(aside, path)


async def record(helper, window_id, output, seconds, outline, token_file=None):
    output = os.path.abspath(output)
    if window_id == "portal" and token_file and (token := read_token(token_file)):
        window_id = "portal:" + token
    process = await start_helper(
        helper, ["record", window_id, output, "none", "outline" if outline else "no-outline"],
        # Its standard input stays open until the end: closing it would stop the recording.
        stdin=asyncio.subprocess.PIPE,
        # Its own session, so that a Ctrl-C in the terminal reaches only us and we forward it.
        start_new_session=True)
    if process is None:
        return 2
    loop = asyncio.get_running_loop()
    stopper = Stopper(process)
    interrupts = 0
    tasks = set()  # keeps the stop requests alive until they have run

    def request_stop(why):
        task = loop.create_task(stopper.request(why))
        tasks.add(task)
        task.add_done_callback(tasks.discard)

    def on_signal(name):
        nonlocal interrupts
        interrupts += 1
        if interrupts == 1:
            request_stop(name)
        else:
            stopper.kill(f"{name} again")

    for number in (signal.SIGINT, signal.SIGTERM):
        loop.add_signal_handler(number, on_signal, signal.Signals(number).name)

    what = "the window chosen in the desktop's dialog" if window_id.startswith("portal") \
        else f"window {window_id}"
    say(f"recording {what} into {output}; "
        + (f"{seconds:g} s once ready" if seconds is not None else "Ctrl-C stops"))
    files = []
    last = None
    timer = None
    async for line in read_lines(process):
        if "error" in line:
            last = line
            complain(describe_error(line["error"]))
            continue
        print_event(line)
        event = line.get("event")
        if event == "source" and token_file and isinstance(line.get("restoreToken"), str):
            keep_token(token_file, line["restoreToken"])
        elif event == "segment" and isinstance(line.get("file"), str):
            files.append(line["file"])
        elif event == "ready" and seconds is not None and timer is None:
            timer = loop.call_later(seconds, request_stop, f"{seconds:g} s recorded")
        elif event == "finished":
            last = line
    returncode = await process.wait()
    for handle in (timer, stopper.kill_handle):
        if handle is not None:
            handle.cancel()
    for number in (signal.SIGINT, signal.SIGTERM):
        loop.remove_signal_handler(number)
    if process.stdin is not None:
        process.stdin.close()

    if last is None:
        complain("the helper ended without a final line")
    say("files:" if files else "files: none")
    for path in files:
        say(f"  {path}")
    say(describe_status(returncode))
    code = exit_code_for(returncode)
    return code if last is not None or code != 0 else 1


def positive_seconds(text):
    try:
        value = float(text)
    except ValueError:
        value = -1
    if not value > 0 or value == float("inf"):
        raise argparse.ArgumentTypeError(f"not a positive number of seconds: {text}")
    return value


def main(argv=None):
    parser = argparse.ArgumentParser(description="Record a window through darvo-helper.")
    parser.add_argument("--helper", default=default_helper(), help="path of darvo-helper")
    commands = parser.add_subparsers(dest="command", required=True)
    commands.add_parser("list", help="list the windows that can be recorded")
    recorder = commands.add_parser("record", help="record one window")
    recorder.add_argument("window_id", metavar="WINDOW_ID",
                          help="an id from the list, e.g. 0x200000; or portal, for a window "
                               "chosen in the desktop's dialog")
    recorder.add_argument("output", metavar="OUTPUT", help="the first file (must not exist)")
    recorder.add_argument("--seconds", type=positive_seconds,
                          help="stop after this many seconds of recording (default: Ctrl-C)")
    recorder.add_argument("--outline", action="store_true", help="outline the window on screen")
    recorder.add_argument("--token-file", metavar="FILE",
                          help="with portal: where the desktop's restore token is kept")
    arguments = parser.parse_args(argv)

    if arguments.command == "list":
        return asyncio.run(list_windows(arguments.helper))
    return asyncio.run(record(arguments.helper, arguments.window_id, arguments.output,
                              arguments.seconds, arguments.outline, arguments.token_file))


if __name__ == "__main__":
    sys.exit(main())
