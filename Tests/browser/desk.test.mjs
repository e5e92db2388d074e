// The review desk in a real browser: Debian's chromium, headless, driven by playwright-core,
// against `torvane serve` started from the built binary on a fresh data folder.
// usage: node desk.test.mjs TORVANE_BINARY SAMPLES_DIR LOG_DIR
import assert from 'node:assert/strict';
import fs from 'node:fs';
import path from 'node:path';
import { chromium } from 'playwright-core';
import { prepare, run as runScenario } from './support.mjs';

const context = prepare('desk');
const { logDir, data, session, cli, chromiumPath, server, step } = context;

function savedDocument() {
  const run = fs.readdirSync(session).find((name) => name.startsWith('analysis-auto-'));
  const results = path.join(session, run, 'results.json');
  const file = cli('review', 'path', results).trim();
  return { file, document: fs.existsSync(file) ? JSON.parse(cli('review', 'load', file)) : null };
}

const frameOf = (document, id) => document.frames.find((f) => f.id === id);

async function saved(page) {
  await page.waitForSelector('[data-save-state="saved"]');
  await page.waitForFunction(() => document.querySelector('[data-save-state]').dataset.saveState !== 'saving');
}

async function jointState(page, name) {
  return (await page.locator(`[data-joint-row="${name}"] .state`).textContent()).trim();
}

async function markerCentre(page, name) {
  const box = await page.locator(`.overlay [data-joint="${name}"] circle`).boundingBox();
  assert.ok(box, `marker of ${name} is shown`);
  return { x: box.x + box.width / 2, y: box.y + box.height / 2 };
}

async function selectJoint(page, name) {
  await page.click(`[data-joint-row="${name}"]`);
  await page.locator('.viewport').focus();
}

let browser;
let page;
await runScenario(context, async () => {
  const url = await server.url;
  step(`desk at ${new URL(url).origin}`);
  browser = await chromium.launch({ executablePath: chromiumPath, args: ['--no-sandbox'] });
  page = await browser.newPage({ viewport: { width: 1280, height: 800 } });
  const pageErrors = [];
  page.on('pageerror', (error) => { pageErrors.push(error.message); console.error('page error:', error.message); });

  await page.goto(url);
  await page.click('a.card');
  await page.click('[data-frame="B001-subject"]');
  await page.waitForSelector('body[data-painted="B001-subject"]');
  step('rider open, photo painted');

  // Drag the left knee 14 screen pixels right and 9 down.
  const knee = await markerCentre(page, 'left_knee');
  await page.mouse.move(knee.x, knee.y);
  await page.mouse.down();
  await page.mouse.move(knee.x + 7, knee.y + 4, { steps: 3 });
  await page.mouse.move(knee.x + 14, knee.y + 9, { steps: 3 });
  await page.mouse.up();
  await saved(page);
  await page.waitForFunction(() => document.querySelector('[data-joint-row="left_knee"] .state').textContent.startsWith('Corrected'));
  step('left knee dragged');

  await selectJoint(page, 'left_elbow');
  await page.keyboard.press('c');
  await page.waitForFunction(() => document.querySelector('[data-joint-row="left_elbow"] .state').textContent.startsWith('Confirmed'));
  await selectJoint(page, 'right_knee');
  await page.keyboard.press('o');
  await page.waitForFunction(() => document.querySelector('[data-joint-row="right_knee"] .state').textContent.startsWith('Obscured'));
  assert.equal(await page.locator('.overlay [data-joint="right_knee"]').count(), 0, 'a hidden joint has no marker');
  await page.keyboard.press('z');
  await page.waitForFunction(() => !document.querySelector('[data-joint-row="right_knee"]').className.includes('state-'));
  await saved(page);
  step('confirmed, hidden and undone by keyboard');

  await page.reload();
  await page.waitForSelector('body[data-painted="B001-subject"]');
  assert.match(await jointState(page, 'left_knee'), /^Corrected/);
  assert.match(await jointState(page, 'left_elbow'), /^Confirmed/);
  assert.equal(await jointState(page, 'right_knee'), 'proposal');
  step('reload shows the same state');

  let { file, document } = savedDocument();
  let frame = frameOf(document, 'B001-subject');
  assert.equal(document.revision, 4, 'one revision per decision');
  assert.equal(frame.edits.left_knee.state, 'corrected');
  assert.equal(frame.edits.left_elbow.state, 'confirmed');
  assert.ok(frame.edits.left_elbow.point, 'confirming keeps the displayed point');
  assert.equal(frame.edits.right_knee, undefined);
  assert.deepEqual(frame.history.map((c) => c.action), ['review', 'review', 'review', 'undo']);
  const before = frame.history[0].before;
  assert.equal(before, undefined);
  step('torvane review load agrees');

  // A terminal saves first; the page's next decision meets the conflict and recovers.
  cli('review', 'set-joint', '--save', file, '--frame', 'B001-subject', '--joint', 'right shoulder', '--state', 'uncertain');
  await selectJoint(page, 'left_wrist');
  await page.keyboard.press('c');
  await page.waitForSelector('[data-save-state="conflict"]');
  const notice = await page.locator('#notice').textContent();
  assert.match(notice, /A newer or different review is already saved/);
  assert.match(await jointState(page, 'right_shoulder'), /^Uncertain/);
  assert.doesNotMatch(await jointState(page, 'left_wrist'), /^Confirmed/);
  await page.click('#notice button:has-text("Apply my last action again")');
  await saved(page);
  await page.waitForFunction(() => document.querySelector('[data-joint-row="left_wrist"] .state').textContent.startsWith('Confirmed'));
  ({ document } = savedDocument());
  frame = frameOf(document, 'B001-subject');
  assert.equal(frame.edits.right_shoulder.state, 'uncertain');
  assert.equal(frame.edits.left_wrist.state, 'confirmed');
  assert.equal(document.revision, 6);
  step('conflict shown and the action applied again');

  // Retry with a crop drawn around the player.
  await page.click('#draw-crop');
  const panel = await page.locator('.overlay .panel-outline').boundingBox();
  await page.mouse.move(panel.x + panel.width * 0.05, panel.y + panel.height * 0.05);
  await page.mouse.down();
  await page.mouse.move(panel.x + panel.width * 0.5, panel.y + panel.height * 0.5, { steps: 4 });
  await page.mouse.move(panel.x + panel.width * 0.95, panel.y + panel.height * 0.97, { steps: 4 });
  await page.mouse.up();
  await page.click('#run-retry');
  await page.waitForSelector('.retry-status progress');
  // The page stays usable while the detectors run.
  await selectJoint(page, 'nose');
  assert.equal(await page.locator('[data-joint-row="nose"].selected').count(), 1);
  await page.waitForSelector('[data-retry-done]', { timeout: 300_000 });
  ({ document } = savedDocument());
  frame = frameOf(document, 'B001-subject');
  assert.equal(frame.retries.length, 1);
  assert.ok(frame.retries[0].crop.width > 100);
  step(`retry saved: ${await page.locator('[data-retry-done]').textContent()}`);

  assert.deepEqual(pageErrors, []);
}, () => ({ browser, page }));
