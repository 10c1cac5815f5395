"""Recordings played by a real browser (Chromium, headless) from a page on localhost: the length a
<video> element gives at once, the picture size, a seek near the end."""
import http.server
import queue
import re
import shutil
import signal
import subprocess
import threading
import unittest

from harness import PAUSED, RecordingCase, probe_video, summary

FRAME = 1 / 15  # at the highest frame rate

# Plays each file twice: streamed from its start, as from a server without byte ranges, then with
# byte ranges, which lets the browser seek and read fragments ahead. Posts a line per file: the
# streamed duration at loadedmetadata, the duration with byte ranges, the picture's width and
# height, and where a seek to 0.1 s before the end went (NaN if it did not complete).
PAGE = """<!doctype html><script>
const happens = (video, name) => new Promise((resolve) => {
  video.addEventListener(name, () => resolve(true), { once: true });
  video.addEventListener('error', () => resolve(false), { once: true });
  setTimeout(resolve, 10000, false);
});
const load = async (url) => {
  const video = Object.assign(document.createElement('video'), { muted: true, src: url });
  await happens(video, 'loadedmetadata');
  return video;
};
(async () => {
  const lines = [];
  for (let index = 0; index < %d; ++index) {
    const streamed = await load('/' + index + '?streamed');
    const video = await load('/' + index);
    const line = [streamed.duration, video.duration, video.videoWidth, video.videoHeight];
    const end = video.duration - 0.1;
    video.currentTime = Number.isFinite(end) && end > 0 ? end : 0;
    line.push(await happens(video, 'seeked') ? video.currentTime : NaN);
    lines.push(line.join(' '));
    for (const played of [streamed, video]) { played.removeAttribute('src'); played.load(); }
  }
  fetch('/report', { method: 'POST', body: lines.join('\\n') });
})();
</script>"""


def serve(files, reports):
    """The page and the files on a free port of 127.0.0.1; what the page posts goes to reports."""

    class Handler(http.server.BaseHTTPRequestHandler):
        def log_message(self, *_):
            pass

        def do_POST(self):
            reports.put(self.rfile.read(int(self.headers["Content-Length"])).decode())
            self.send_response(204)
            self.end_headers()

        def do_GET(self):
            name, _, mode = self.path[1:].partition("?")
            if not name:
                body, kind = (PAGE % len(files)).encode(), "text/html"
            else:
                with open(files[int(name)], "rb") as file:
                    body, kind = file.read(), "video/mp4"
            wanted = re.fullmatch(r"bytes=(\d+)-(\d*)", self.headers.get("Range", ""))
            if name and mode != "streamed" and wanted:
                start, end = int(wanted[1]), min(int(wanted[2] or len(body) - 1), len(body) - 1)
                self.send_response(206)
                self.send_header("Content-Range", "bytes %d-%d/%d" % (start, end, len(body)))
                body = body[start:end + 1]
            else:
                self.send_response(200)
            if name and mode != "streamed":
                self.send_header("Accept-Ranges", "bytes")
            self.send_header("Content-Type", kind)
            self.send_header("Content-Length", str(len(body)))
            self.end_headers()
            self.wfile.write(body)

    server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Handler)
    server.handle_error = lambda *_: None  # the browser drops connections it no longer needs
    threading.Thread(target=server.serve_forever, daemon=True).start()
    return server


class BrowserPlayback(RecordingCase):
    def setUp(self):
        super().setUp()
        if not shutil.which("chromium"):
            self.skipTest("chromium is missing (tools/install-packages installs it)")

    def test_finished_files_give_their_whole_length_at_once(self):
        windows = self.windows(["--name", "played", "--geometry", "240x180+30+30", "--animate"])
        # At once, each over 2 s (two fragments): stopped, ended by its duration, paused once,
        # killed.
        stopped = self.record(windows.ids[0], self.path("stopped.mp4"))
        timed = self.record(windows.ids[0], self.path("timed.mp4"), "3")
        paused = self.record(windows.ids[0], self.path("paused.mp4"), "3",
                             DARVO_HELPER_TEST_SYSTEM_STOP_AT="1")
        killed = self.record(windows.ids[0], self.path("killed.mp4"))
        for recording in (stopped, timed, paused, killed):
            recording.expect_ready()
        paused.expect_line(PAUSED)
        paused.expect_line(r'\{"event":"segment","file":".*","index":1,"startedAtMs":[0-9.e+]+\}')
        timed.expect_line(re.escape(summary("duration")))
        paused.expect_line(re.escape(summary("duration", segments=2)))
        stopped.send("stop\n")
        killed.process.kill()
        stopped.expect_line(re.escape(summary()))
        killed.process.wait(5)

        files = [self.path(name) for name in ("stopped.mp4", "timed.mp4", "paused.mp4",
                                              "paused.mp4.1.mp4", "killed.mp4")]
        reports = queue.Queue()
        server = serve(files, reports)
        self.addCleanup(server.shutdown)
        browser = subprocess.Popen(
            ["chromium", "--headless", "--no-sandbox", "--disable-gpu", "--no-first-run",
             "--disable-background-networking", "--user-data-dir=" + self.path("profile"),
             "http://127.0.0.1:%d/" % server.server_address[1]],
            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        self.addCleanup(browser.wait)
        self.addCleanup(browser.send_signal, signal.SIGTERM)
        lines = reports.get(timeout=90).split("\n")
        self.assertEqual(len(lines), len(files))
        for path, line in zip(files, lines):
            with self.subTest(path):
                # Streamed and byte-range durations, width, height, where a seek to the end went.
                streamed, ranged, width, height, seeked = (float(word) for word in line.split())
                duration = probe_video(path)["duration"]
                self.assertEqual((width, height), (240, 180))
                self.assertAlmostEqual(ranged, duration, delta=FRAME, msg="with byte ranges")
                self.assertAlmostEqual(seeked, ranged - 0.1, delta=0.01, msg="a seek near the end")
                if path != files[-1]:
                    self.assertAlmostEqual(streamed, duration, delta=FRAME, msg="streamed")
                else:
                    # Its header says 0: the length is what the browser has read of it so far.
                    self.assertTrue(0.5 < streamed < duration + FRAME, streamed)


if __name__ == "__main__":
    unittest.main()
