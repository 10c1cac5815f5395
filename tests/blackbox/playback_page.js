// Serves a page that plays the video files named on the command line in <video> elements, and the
// files, on a free port of 127.0.0.1. Each file is played twice: streamed from its start, as from a
// server without byte ranges, and then with byte ranges, which lets the browser seek in it and
// read the fragments ahead. Prints the port, then what the page reports, a line per file: the
// duration at loadedmetadata when streamed, and with byte ranges, the picture's width and height,
// and the time that a seek to 0.1 s before the end reached ("NaN" when it did not complete).
'use strict';
const fs = require('fs');
const http = require('http');

const files = process.argv.slice(2);
const page = `<!doctype html><script>
// Whether the video gave the event before an error or 10 seconds.
const happens = (video, name) => new Promise((resolve) => {
  video.addEventListener(name, () => resolve(true), { once: true });
  video.addEventListener('error', () => resolve(false), { once: true });
  setTimeout(resolve, 10000, false);
});
const load = async (url) => {
  const video = document.createElement('video');
  video.muted = true;
  video.src = url;
  await happens(video, 'loadedmetadata');
  return video;
};
(async () => {
  const lines = [];
  for (let index = 0; index < ${files.length}; ++index) {
    const streamed = await load('/' + index + '?streamed');
    const video = await load('/' + index);
    const line = [streamed.duration, video.duration, video.videoWidth, video.videoHeight];
    const end = video.duration - 0.1;
    video.currentTime = Number.isFinite(end) && end > 0 ? end : 0;
    line.push(await happens(video, 'seeked') ? video.currentTime : NaN);
    lines.push(line.join(' '));
    for (const played of [streamed, video]) {
      played.removeAttribute('src');
      played.load();
    }
  }
  fetch('/report', { method: 'POST', body: lines.join('\\n') });
})();
</script>`;

const server = http.createServer((request, response) => {
  if (request.method === 'POST') {
    let body = '';
    request.on('data', (chunk) => (body += chunk));
    request.on('end', () => response.end(() => process.stdout.write(`${body}\n`)));
    return;
  }
  if (request.url === '/') {
    response.setHeader('Content-Type', 'text/html');
    return response.end(page);
  }
  const file = files[parseInt(request.url.slice(1), 10)];
  if (file === undefined) {
    response.statusCode = 404;
    return response.end();
  }
  const size = fs.statSync(file).size;
  let [start, end] = [0, size - 1];
  if (!request.url.endsWith('?streamed')) {
    response.setHeader('Accept-Ranges', 'bytes');
    const range = /^bytes=(\d+)-(\d*)$/.exec(request.headers.range ?? '');
    if (range) {
      start = Number(range[1]);
      end = range[2] ? Math.min(Number(range[2]), end) : end;
      if (start > end) {
        response.statusCode = 416;
        return response.end();
      }
      response.statusCode = 206;
      response.setHeader('Content-Range', `bytes ${start}-${end}/${size}`);
    }
  }
  response.setHeader('Content-Type', 'video/mp4');
  response.setHeader('Content-Length', end - start + 1);
  fs.createReadStream(file, { start, end }).pipe(response);
});
server.listen(0, '127.0.0.1', () => process.stdout.write(`${server.address().port}\n`));
