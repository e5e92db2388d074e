// Measures the review desk as a reviewer meets it, on a session of 60 riders (30 pairs, one
// 24-megapixel JPEG per pair): first paint of the rider view (display image and skeleton) on a
// first and on a cached visit in headless chromium, the round trip of a joint decision saved
// through the store, and the server's memory with the whole session open.
// usage: node Benchmarks/desk/measure-desk.mjs build-release/torvane [SCRATCH_DIR]
// (playwright-core from Tests/browser; run scripts/setup.sh first)
import { spawn, execFileSync } from 'node:child_process';
import crypto from 'node:crypto';
import fs from 'node:fs';
import os from 'node:os';
import path from 'node:path';
import { createRequire } from 'node:module';

const require = createRequire(new URL('../../Tests/browser/package.json', import.meta.url));
const { chromium } = require('playwright-core');

const torvane = path.resolve(process.argv[2] || 'build-release/torvane');
const scratch = process.argv[3] || fs.mkdtempSync(path.join(os.tmpdir(), 'torvane-desk-measure-'));
const samples = process.env.TORVANE_CACHE ? path.join(process.env.TORVANE_CACHE, 'samples') : '/var/cache/torvane/samples';
const pairs = 30;
const W = 6000, H = 4000;

const sha = (bytes) => crypto.createHash('sha256').update(bytes).digest('hex');
const median = (xs) => [...xs].sort((a, b) => a - b)[Math.floor(xs.length / 2)];
const p90 = (xs) => [...xs].sort((a, b) => a - b)[Math.floor(xs.length * 0.9)];

// A session as a feasibility run leaves it, with plausible detector output (no detection run).
function writeSession() {
  const folder = path.join(scratch, 'data', 'Corner 3');
  fs.rmSync(path.join(scratch, 'data'), { recursive: true, force: true });
  fs.mkdirSync(path.join(folder, 'run'), { recursive: true });
  const base = path.join(scratch, 'base.jpg');
  if (!fs.existsSync(base))
    execFileSync('vips', ['resize', path.join(samples, 'messi5.jpg'), `${base}[Q=90]`, String(W / 548), '--vscale', String(H / 342)]);
  const baseBytes = fs.readFileSync(base);
  const manifest = { schemaVersion: 1, session: 'Corner 3, 60 riders', annotationProvenance: 'measurement', pairs: [] };
  const photos = [];
  for (let i = 1; i <= pairs; ++i) {
    const id = `A${String(i).padStart(3, '0')}`;
    const file = `${id}.jpg`;
    // Bytes after the end of the JPEG make each photo distinct without changing its pixels.
    const bytes = Buffer.concat([baseBytes, Buffer.from(`photo ${i}`)]);
    fs.writeFileSync(path.join(folder, file), bytes);
    photos.push({ id, file, hash: sha(bytes) });
    const rider = (role, x) => ({
      role, rider: `${role} ${i}`, annotationNote: '', annotations: [],
      panel: { x, y: 0, width: W / 2, height: H }, crop: { x: x + 300, y: 300, width: W / 2 - 600, height: H - 600 },
    });
    manifest.pairs.push({ id, file, riders: [rider('subject', 0), rider('reference', W / 2)] });
  }
  const manifestText = JSON.stringify(manifest, null, 2);
  fs.writeFileSync(path.join(folder, 'session.json'), manifestText);
  const names2D = ['root', 'neck', 'nose', 'left_shoulder', 'left_elbow', 'left_wrist', 'right_shoulder', 'right_elbow',
    'right_wrist', 'left_hip', 'left_knee', 'left_ankle', 'right_hip', 'right_knee', 'right_ankle'];
  const names3D = ['root', 'spine', 'center_shoulder', 'center_head', 'top_head', ...names2D.slice(3)];
  const pose = (kind, x0, names) => ({
    kind, status: 'needsReview', requestRevision: 1, durationSeconds: 1, candidateCount: 1,
    joints: names.map((name, j) => ({
      name, point: { x: x0 + 600 + (j % 5) * 350, y: 500 + Math.floor(j / 5) * 700 },
      ...(kind === '2D' ? { confidence2D: 0.8 } : {}),
    })),
  });
  const crops = [];
  for (const photo of photos)
    for (const [role, x] of [['subject', 0], ['reference', W / 2]])
      crops.push({ pairID: photo.id, role, rider: `${role} ${photo.id}`, sourceHash: photo.hash,
        crop: { x: x + 300, y: 300, width: W / 2 - 600, height: H - 600 },
        twoD: pose('2D', x, names2D), threeD: pose('3D', x + 20, names3D) });
  const report = { schemaVersion: 1, session: manifest.session, operatingSystem: 'measure', machineArchitecture: 'x86_64',
    generatedAt: '2026-01-01T00:00:00Z', annotationProvenance: 'measurement', manifestHash: sha(manifestText), crops };
  fs.writeFileSync(path.join(folder, 'run', 'results.json'), JSON.stringify(report, null, 2));
  return folder;
}

function startServer(data) {
  const child = spawn(torvane, ['serve', data, '--port', '0'], { stdio: ['ignore', 'pipe', 'ignore'] });
  return new Promise((resolve, reject) => {
    let out = '';
    child.stdout.on('data', (chunk) => {
      out += chunk;
      const match = out.match(/^Open (http:\/\/\S+)\n/);
      if (match) resolve({ child, url: match[1] });
    });
    child.on('exit', (code) => reject(new Error(`torvane serve exited with ${code}`)));
  });
}

function memory(pid) {
  const status = fs.readFileSync(`/proc/${pid}/status`, 'utf8');
  const field = (name) => Number(status.match(new RegExp(`${name}:\\s+(\\d+) kB`))[1]) / 1024;
  return { rss: field('VmRSS'), peak: field('VmHWM') };
}

const folder = writeSession();
const { child, url } = await startServer(path.dirname(folder));
const origin = new URL(url).origin;
const token = new URL(url).searchParams.get('token');
const headers = { Cookie: `torvane_token=${token}` };
const api = async (p, body) => {
  const response = await fetch(origin + p, body === undefined ? { headers } : {
    method: 'POST', headers: { ...headers, Origin: origin, 'Content-Type': 'application/json' }, body: JSON.stringify(body),
  });
  return { status: response.status, body: await response.json() };
};

try {
  const sid = (await api('/api/sessions')).body.sessions[0].id;
  const session = (await api(`/api/sessions/${sid}`)).body;
  console.log(`session: ${session.frames.length} riders, photos ${W}x${H}`);

  // First paint in the browser: a rider never shown before, then the same page again.
  const browser = await chromium.launch({ executablePath: '/usr/bin/chromium', args: ['--no-sandbox'] });
  const page = await browser.newPage({ viewport: { width: 1440, height: 900 } });
  await page.goto(url);
  const firstVisits = [], cachedVisits = [];
  for (const frame of session.frames.slice(0, 6)) {
    const target = `${origin}/#/s/${sid}/f/${frame.id}`;
    await page.goto('about:blank');
    await page.goto(target);
    await page.waitForSelector(`body[data-painted="${frame.id}"]`, { timeout: 60_000 });
    firstVisits.push(await page.evaluate(() => performance.getEntriesByName('desk-first-paint')[0].startTime));
    await page.waitForTimeout(1500);  // let the full-resolution panel arrive too
    await page.goto('about:blank');
    await page.goto(target);
    await page.waitForSelector(`body[data-painted="${frame.id}"]`);
    cachedVisits.push(await page.evaluate(() => performance.getEntriesByName('desk-first-paint')[0].startTime));
  }
  await browser.close();
  console.log(`first paint, first visit: median ${median(firstVisits).toFixed(0)} ms (${firstVisits.map((t) => t.toFixed(0)).join(', ')})`);
  console.log(`first paint, cached:      median ${median(cachedVisits).toFixed(0)} ms (${cachedVisits.map((t) => t.toFixed(0)).join(', ')})`);

  // Decisions: the first makes the document (every photo's hash is checked), the rest update it.
  let revision = 0;
  const times = [];
  let first = 0;
  for (let i = 0; i < 41; ++i) {
    const frame = session.frames[(i * 7) % session.frames.length];
    const started = performance.now();
    const answer = await api(`/api/sessions/${sid}/frames/${frame.id}/joints`,
      { joint: i % 2 ? 'left_knee' : 'right_elbow', state: i % 3 ? 'confirmed' : 'uncertain', revision });
    const elapsed = performance.now() - started;
    if (answer.status !== 200) throw new Error(JSON.stringify(answer.body));
    revision = answer.body.revision;
    if (i === 0) first = elapsed;
    else times.push(elapsed);
  }
  const documentSize = fs.statSync(execFileSync(torvane, ['review', 'path', path.join(folder, 'run', 'results.json')], { encoding: 'utf8' }).trim()).size;
  console.log(`decision saved and answered: median ${median(times).toFixed(1)} ms, p90 ${p90(times).toFixed(1)} ms ` +
    `(first one, making the document: ${first.toFixed(0)} ms; document ${(documentSize / 1024).toFixed(0)} KB)`);

  // Memory with every rider's thumbnail and display image served once.
  for (const frame of session.frames) {
    await fetch(origin + frame.thumbnail, { headers }).then((r) => r.arrayBuffer());
    await fetch(origin + `/api/sessions/${sid}/frames/${frame.id}/image?size=display`, { headers }).then((r) => r.arrayBuffer());
  }
  const m = memory(child.pid);
  console.log(`server memory after all 60 riders' images: resident ${m.rss.toFixed(0)} MB, peak ${m.peak.toFixed(0)} MB`);
} finally {
  child.kill('SIGTERM');
}
