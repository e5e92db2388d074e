// What both browser tests share: the command line, a fresh data folder holding the demo's
// Basketball pair, `torvane serve` on it, and the ending (a screenshot and the server's log on
// failure, a clean SIGTERM stop checked, the folder removed when everything passed).
import { spawn, execFileSync } from 'node:child_process';
import fs from 'node:fs';
import os from 'node:os';
import path from 'node:path';

// `editManifest` may change the demo's manifest (an object) for this test's session.
export function prepare(script, editManifest = (manifest) => manifest) {
  const [torvane, samples, logDir] = process.argv.slice(2);
  if (!torvane || !samples || !logDir) {
    console.error(`usage: node ${script}.test.mjs TORVANE_BINARY SAMPLES_DIR LOG_DIR`);
    process.exit(2);
  }
  const data = fs.mkdtempSync(path.join(os.tmpdir(), `torvane-${script}-browser-`));
  const session = path.join(data, 'Basketball pair');
  fs.mkdirSync(session);
  fs.copyFileSync(path.join(samples, 'basketball1.png'), path.join(session, 'basketball1.png'));
  const demo = JSON.parse(fs.readFileSync(new URL('../../scripts/demo/basketball-pair/session.json', import.meta.url), 'utf8'));
  fs.writeFileSync(path.join(session, 'session.json'), JSON.stringify(editManifest(demo), null, 2));
  const cli = (...args) => execFileSync(torvane, args, { encoding: 'utf8', stdio: ['ignore', 'pipe', 'pipe'] });
  return {
    script, torvane, logDir, data, session, cli,
    chromiumPath: process.env.CHROMIUM || '/usr/bin/chromium',
    server: startServer(torvane, data),
    step: (text) => console.log(`- ${text}`),
  };
}

function startServer(torvane, data) {
  const child = spawn(torvane, ['serve', data, '--port', '0'], { stdio: ['ignore', 'pipe', 'pipe'] });
  let stderr = '';
  child.stderr.on('data', (chunk) => { stderr += chunk; });
  const url = new Promise((resolve, reject) => {
    let out = '';
    child.stdout.on('data', (chunk) => {
      out += chunk;
      const match = out.match(/^Open (http:\/\/\S+)\n/);
      if (match) resolve(match[1]);
    });
    child.on('exit', (code) => reject(new Error(`torvane serve exited with ${code}:\n${stderr}`)));
  });
  return { child, url, log: () => stderr };
}

// Runs the scenario and exits with its outcome; `opened` names the browser and page it made.
export async function run(context, scenario, opened) {
  const { script, logDir, data, server } = context;
  let failed = false;
  try {
    await scenario();
  } catch (error) {
    failed = true;
    console.error(error);
    fs.mkdirSync(logDir, { recursive: true });
    const { page } = opened();
    if (page) {
      const shot = path.join(logDir, `${script}-failure-${Date.now()}.png`);
      await page.screenshot({ path: shot, fullPage: true }).catch(() => {});
      console.error(`screenshot: ${shot}`);
    }
    console.error(server.log());
  } finally {
    await opened().browser?.close();
    server.child.kill('SIGTERM');
    const code = await new Promise((resolve) => server.child.once('exit', (c) => resolve(c)));
    if (code !== 0) {
      failed = true;
      console.error(`torvane serve exited with ${code} after SIGTERM`);
    }
    if (!failed) fs.rmSync(data, { recursive: true, force: true });
  }
  process.exit(failed ? 1 : 0);
}
