// The pair view in a real browser: comparison decisions and their analysis, a dragged wheel
// line and a changed basis, a refused line, photo-coaching imports (one refused), the
// checklist, a reload, a terminal save's conflict, single-photo coaching for a photo without
// reference (one file refused), the session report printed on A4 and Letter, and the saved
// files checked with the torvane command.
// usage: node pair.test.mjs TORVANE_BINARY SAMPLES_DIR LOG_DIR
import assert from 'node:assert/strict';
import fs from 'node:fs';
import path from 'node:path';
import { chromium } from 'playwright-core';
import { prepare, run as runScenario } from './support.mjs';

// B002: the left player again, on his own, as a photo without reference rider.
const context = prepare('pair', (manifest) => {
  const [subject] = manifest.pairs[0].riders;
  manifest.pairs.push({ file: 'basketball1.png', id: 'B002', riders: [{ ...subject, rider: 'Left player alone' }] });
  return manifest;
});
const { logDir, data, session, cli, chromiumPath, server, step } = context;

let browser;
let page;
const run = () => path.join(session, fs.readdirSync(session).find((name) => name.startsWith('analysis-auto-')));
const results = () => path.join(run(), 'results.json');
const docPath = () => cli('review', 'path', results()).trim();
const load = () => JSON.parse(cli('review', 'load', docPath()));
const saved = async () => {
  await page.waitForSelector('[data-save-state="saved"]');
  await page.waitForFunction(() => document.querySelector('[data-save-state]').dataset.saveState !== 'saving');
};
const text = async (selector) => (await page.locator(selector).textContent()).trim();

await runScenario(context, async () => {
  const url = await server.url;
  // The arm joints of both riders reviewed from the terminal, before the page opens.
  const made = path.join(data, 'made.json');
  fs.writeFileSync(made, cli('review', 'make', path.join(session, 'session.json'), results()));
  cli('review', 'save', made, '--to', docPath());
  for (const frame of ['B001-subject', 'B001-reference'])
    for (const joint of ['left shoulder', 'left elbow', 'left wrist'])
      cli('review', 'set-joint', '--save', docPath(), '--frame', frame, '--joint', joint, '--state', 'confirmed');
  step('arm joints confirmed from the terminal');

  browser = await chromium.launch({ executablePath: chromiumPath, args: ['--no-sandbox'] });
  const context = await browser.newContext({ viewport: { width: 1400, height: 1000 } });
  page = await context.newPage();
  const pageErrors = [];
  page.on('pageerror', (error) => { pageErrors.push(error.message); console.error('page error:', error.message); });
  await page.goto(url);
  await page.click('a.card');
  await page.click('[data-pair="B001"]');
  await page.waitForSelector('.pair-view [data-feature="leftElbow"]');
  const row = (feature) => `.pair-view [data-feature="${feature}"]`;
  assert.equal(await text(`${row('leftElbow')} .delta`), 'Review whether these feature views are comparable.');

  // 1. Comparison decisions change the analysis.
  await page.selectOption(`${row('leftElbow')} .comparability`, 'comparable');
  await saved();
  await page.waitForFunction((sel) => /^[+−]\d+\.\d°$/.test(document.querySelector(sel).textContent), `${row('leftElbow')} .delta`);
  assert.match(await text(`${row('leftElbow')} .subject-angle`), /^\d+\.\d°$/);
  assert.match(await text('.coaching-none'), /set the corner direction first/);
  await page.selectOption('.context .corner', 'left');
  await saved();
  await page.waitForFunction(() => !/corner direction first/.test(document.querySelector('.context')?.textContent || ''));
  await page.selectOption(`${row('rightKnee')} .knee-placement`, 'closerToTank');
  await saved();
  await page.waitForSelector('.coaching [data-bullet="rightKnee"]');
  step(`comparison decided: left elbow ${await text(`${row('leftElbow')} .delta`)}, knee bullet shown`);
  let document = load();
  assert.equal(document.comparisonContexts.length, 1);
  assert.equal(document.comparisonContexts[0].cornerDirection, 'left');
  const contextRevision = document.revision;

  // 2. Wheel line: drawn, dragged, basis switched; a line leaving the photo is refused.
  const subjectLean = '[data-lean-controls="B001-subject"]';
  const subjectPhoto = '[data-lean-frame="B001-subject"]';
  await page.click(`${subjectLean} .draw-wheel`);
  await saved();
  const end = page.locator(`${subjectPhoto} [data-lean-end="a"]`);
  let box = await end.boundingBox();
  await page.mouse.move(box.x + box.width / 2, box.y + box.height / 2);
  await page.mouse.down();
  await page.mouse.move(box.x + box.width / 2 + 15, box.y + box.height / 2 + 6, { steps: 4 });
  await page.mouse.move(box.x + box.width / 2 + 30, box.y + box.height / 2 + 12, { steps: 4 });
  await page.mouse.up();
  await saved();
  document = load();
  let lean = document.leanAnnotations['B001-subject'];
  assert.ok(lean.wheel.a.x > lean.originalProposal.a.x + 5, 'the dragged end moved right');
  assert.ok(lean.wheel.a.y > lean.originalProposal.a.y + 2, 'and down');
  assert.deepEqual(lean.wheel.b, lean.originalProposal.b);
  await page.waitForSelector(`${subjectLean} .lean-measure:has-text("Apparent wheel angle")`);
  await page.selectOption(`${subjectLean} .lean-basis`, 'assumedLevel');
  await saved();
  await page.waitForSelector(`${subjectPhoto} [data-lean-reference-end="a"]`);
  lean = load().leanAnnotations['B001-subject'];
  assert.equal(lean.basis, 'assumedLevel');
  assert.ok(lean.reference, 'a reference line to drag');
  const beforeRefusal = fs.readFileSync(docPath(), 'utf8');
  box = await page.locator(`${subjectPhoto} [data-lean-end="b"]`).boundingBox();
  const photoBox = await page.locator(subjectPhoto).boundingBox();
  await page.mouse.move(box.x + box.width / 2, box.y + box.height / 2);
  await page.mouse.down();
  await page.mouse.move(photoBox.x - 40, photoBox.y - 40, { steps: 4 });
  await page.mouse.up();
  await page.waitForSelector(`${subjectLean} .lean-error`);
  assert.match(await text(`${subjectLean} .lean-error`), /^Lean evidence needs valid, separated endpoints inside its original photo/);
  assert.equal(fs.readFileSync(docPath(), 'utf8'), beforeRefusal, 'a refused line is not saved');
  step('wheel line dragged, basis switched, a line off the photo refused');

  // 3. Photo coaching: a refused file changes nothing, a valid one is imported.
  const fresh = JSON.parse(cli('review', 'new-context', docPath(), '--pair', 'B001'));
  const coaching = { cornerDirection: 'left', provenance: 'Coach Dana', points: [{ title: 'Look through the turn', detail: 'Head up earlier.' }] };
  const stale = path.join(data, 'coaching-old.json');
  fs.writeFileSync(stale, JSON.stringify([{ ...fresh, evidenceHash: '0'.repeat(64), photoCoaching: coaching }]));
  const good = path.join(data, 'coaching.json');
  fs.writeFileSync(good, JSON.stringify([{ ...fresh, photoCoaching: coaching }]));
  const beforeImport = fs.readFileSync(docPath(), 'utf8');
  await page.setInputFiles('.coaching-file', stale);
  await page.waitForSelector('.coaching-message:has-text("Comparison approval belongs to different source evidence.")');
  assert.equal(fs.readFileSync(docPath(), 'utf8'), beforeImport, 'a refused import changes nothing');
  await page.setInputFiles('.coaching-file', good);
  await saved();
  await page.waitForSelector('.coaching li:has-text("Look through the turn")');
  document = load();
  assert.equal(document.comparisonContexts[0].photoCoaching.provenance, 'Coach Dana');
  assert.equal(document.comparisonContexts[0].cornerDirection, 'left', 'the reviewer\'s corner survives the import');
  step('coaching: refused file shown as refused, valid file imported');

  // 4. Checklist.
  const topic = '.pair-view [data-topic="insideElbow"]';
  await page.fill(`${topic} .topic-observation`, 'Inside elbow high and straight.');
  await page.locator(`${topic} .topic-observation`).blur();
  await saved();
  await page.selectOption(`${topic} .topic-status`, 'focus');
  await saved();
  await page.fill('.checklist-provenance', 'Coach Dana');
  await page.locator('.checklist-provenance').blur();
  await saved();
  const checklistFile = path.join(run(), path.basename(docPath()).replace('joint-review-', 'coaching-checklist-'));
  const checklists = JSON.parse(cli('checklist', 'load', checklistFile, '--document', docPath()));
  const items = checklists['B001-subject'].items;
  assert.deepEqual(items.find((i) => i.topic === 'insideElbow'), { topic: 'insideElbow', status: 'focus', observation: 'Inside elbow high and straight.' });
  assert.equal(checklists['B001-subject'].provenance, 'Coach Dana');
  step('checklist saved and loaded by torvane checklist load');

  // 5. Reload: everything is on disk.
  await page.reload();
  await page.waitForSelector('.pair-view [data-feature="leftElbow"]');
  assert.equal(await page.locator(`${row('leftElbow')} .comparability`).inputValue(), 'comparable');
  assert.equal(await page.locator(`${row('rightKnee')} .knee-placement`).inputValue(), 'closerToTank');
  assert.equal(await page.locator(`${subjectLean} .lean-basis`).inputValue(), 'assumedLevel');
  assert.equal(await page.locator(`${topic} .topic-observation`).inputValue(), 'Inside elbow high and straight.');
  assert.equal(await page.locator(`${topic} .topic-status`).inputValue(), 'focus');
  step('reload shows the same decisions');

  // 6. A terminal saves first: the page shows the conflict and applies its change again.
  cli('review', 'set-joint', '--save', docPath(), '--frame', 'B001-subject', '--joint', 'right knee', '--state', 'occluded');
  await page.selectOption(`${row('leftKnee')} .comparability`, 'notComparable');
  await page.waitForSelector('[data-save-state="conflict"]');
  assert.match(await text('#notice'), /A newer or different review is already saved/);
  await page.click('#notice button:has-text("Apply my last change again")');
  await saved();
  document = load();
  assert.equal(document.frames.find((f) => f.id === 'B001-subject').edits.right_knee.state, 'occluded');
  assert.deepEqual(document.comparisonContexts[0].comparability.slice(0, 4).length, 4);
  assert.ok(document.comparisonContexts[0].comparability.join(',').includes('leftKnee,notComparable'));
  assert.ok(document.revision > contextRevision);
  step('conflict shown and the change applied again');

  fs.mkdirSync(logDir, { recursive: true });
  await page.setViewportSize({ width: 1400, height: 3200 });
  await page.screenshot({ path: path.join(logDir, 'pair-view.png') });
  await page.setViewportSize({ width: 1400, height: 1000 });

  // 7. Single-photo coaching for B002, which has no reference: a valid file imported, a file
  // for the paired photo refused with the library's message and nothing changed, a reload.
  await page.click('#crumbs a:nth-of-type(2)');
  await page.click('[data-pair="B002"]');
  await page.waitForSelector('.single-coaching .single-coaching-none');
  const single = load().frames.find((f) => f.id === 'B002-subject');
  const record = (frame, title) => ({ frameID: frame.id, sourceHash: frame.sourceHash, panel: frame.panel,
    provenance: 'Coach Dana', points: [{ title, detail: 'Eyes to the exit before the hips move.' }] });
  const goodSingle = path.join(data, 'single.json');
  fs.writeFileSync(goodSingle, JSON.stringify([record(single, 'Head first')]));
  const pairedSingle = path.join(data, 'single-paired.json');
  fs.writeFileSync(pairedSingle, JSON.stringify([record(load().frames.find((f) => f.id === 'B001-subject'), 'Knees')]));
  await page.setInputFiles('.single-coaching-file', goodSingle);
  await saved();
  await page.waitForSelector('[data-single-coaching="B002-subject"] .single-points li:has-text("Head first")');
  const singleFile = path.join(run(), path.basename(docPath()).replace('joint-review-', 'single-photo-coaching-'));
  const beforeSingle = fs.readFileSync(singleFile, 'utf8');
  await page.setInputFiles('.single-coaching-file', pairedSingle);
  await page.waitForFunction(() => document.querySelector('.single-coaching-message')?.textContent !== '' &&
    !/^Imported/.test(document.querySelector('.single-coaching-message').textContent));
  assert.equal(await text('.single-coaching-message'),
    'Single-photo coaching needs matching unpaired source evidence and one to three distinct, nonempty points.');
  assert.equal(fs.readFileSync(singleFile, 'utf8'), beforeSingle, 'a refused import changes nothing');
  assert.match(await text('.single-points'), /Head first/);
  await page.setViewportSize({ width: 1400, height: 1800 });
  await page.screenshot({ path: path.join(logDir, 'pair-single.png') });
  await page.setViewportSize({ width: 1400, height: 1000 });
  await page.reload();
  await page.waitForSelector('.single-points li:has-text("Head first")');
  const stored = JSON.parse(cli('coaching', 'single', singleFile, '--document', docPath()));
  assert.deepEqual(Object.keys(stored), ['B002-subject']);
  assert.equal(stored['B002-subject'].provenance, 'Coach Dana');
  step('single-photo coaching imported, a file for the paired photo refused, found after a reload');

  // 8. Session report, printed on A4 and Letter.
  const [report] = await Promise.all([context.waitForEvent('page'), page.click('.pair-view button.report')]);
  await report.waitForURL(/session-report-[0-9a-f]{12}\.html$/);
  await report.waitForLoadState();
  assert.match(await report.locator('h2').first().textContent(), /Pair B001/);
  assert.equal(await report.locator('[data-topic]').count(), 18, 'nine topics for each subject photo');
  const body = await report.locator('body').textContent();
  assert.match(body, /Look through the turn/);
  assert.match(body, /Single-photo coaching.*Head first/s);
  const pictures = await report.locator('image').evaluateAll((images) => images.map((i) => i.getBBox().width));
  assert.ok(pictures.length === 3 && pictures.every((w) => w > 0), 'every picture loads');
  for (const format of ['A4', 'Letter'])
    await report.pdf({ path: path.join(logDir, `session-report-${format.toLowerCase()}.pdf`), format });
  await report.screenshot({ path: path.join(logDir, 'session-report.png'), fullPage: true });
  step('session report opened and printed');

  assert.equal(cli('review', 'check', docPath()).trim(), 'valid');
  assert.ok(load().revision > 0);
  assert.deepEqual(pageErrors, []);
  step('torvane review check and load accept the saved document');
}, () => ({ browser, page }));
