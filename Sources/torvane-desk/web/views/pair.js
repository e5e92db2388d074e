// One pair: both photos with their reviewed skeletons and wheel lines, the comparison
// context as a form beside the server's analysis, the lean comparison, imported photo
// coaching (single-photo coaching for a photo without reference) and the subject photo's
// checklist. Every change is saved at once by the server,
// which answers the whole pair view as it is on disk.
import { el, postChange, getJSON, setCrumbs, showNotice } from '../api.js';
import { openReport } from './session.js';

const SVG = 'http://www.w3.org/2000/svg';
const svg = (tag, attributes = {}) => {
  const element = document.createElementNS(SVG, tag);
  for (const [name, value] of Object.entries(attributes)) element.setAttribute(name, value);
  return element;
};

const degrees = (value) => `${value.toFixed(1)}°`;
const signed = (value) => `${value >= 0 ? '+' : '−'}${Math.abs(value).toFixed(1)}°`;
const words = (name) => name.replaceAll('_', ' ');
// DOM append() writes null as text: leave out the parts a view does not show.
const shown = (...parts) => parts.filter((part) => part !== null && part !== undefined && part !== false);

function measurementText(m) {
  if (m.angle !== undefined) return degrees(m.angle);
  if (m.unavailable === 'invalidGeometry') return 'unavailable: the reviewed joints do not form an angle';
  return `unavailable: no reviewed position for ${m.missingJoints.map(words).join(', ')}`;
}

// A default wheel line in the middle of the panel, for the reviewer to drag onto the tyre.
function proposedLine(panel, horizontal = false) {
  const cx = panel.x + panel.width / 2, cy = panel.y + panel.height / 2;
  const half = Math.min(panel.width, panel.height) / 4;
  const uncertainty = Math.max(1, Math.round(Math.min(panel.width, panel.height) / 200));
  return horizontal
    ? { a: { x: cx - half, y: panel.y + panel.height * 0.85 }, b: { x: cx + half, y: panel.y + panel.height * 0.85 }, uncertainty }
    : { a: { x: cx, y: cy + half }, b: { x: cx, y: cy - half }, uncertainty };
}

export async function render(main, sessionID, pairID) {
  const base = `/api/sessions/${sessionID}`;
  let data = await getJSON(`${base}/pairs/${pairID}`);
  setCrumbs({ href: '#/', text: 'Sessions' }, { href: `#/s/${sessionID}`, text: data.sessionTitle },
    { href: `#/s/${sessionID}/p/${pairID}`, text: `Pair ${pairID}` });

  const root = el('div', { class: 'pair-view' });
  main.append(root);
  let lastChange = null;

  // Sends one change; the answer is the pair as saved. A conflict shows the store's message,
  // the document as it is now, and offers the same change again.
  async function send(url, body, onRefused) {
    lastChange = { url, body };
    const outcome = await postChange(url, { ...body, revision: data.revision });
    if (outcome.ok) {
      if (outcome.data.rows) data.checklist = outcome.data;
      else data = outcome.data;
      draw();
      return true;
    }
    if (outcome.conflict) {
      const latest = outcome.body?.pairView;
      if (latest) data = latest;
      if (outcome.body?.checklist) data.checklist = outcome.body.checklist;
      draw();
      const retry = lastChange;
      showNotice(outcome.message, [{ label: 'Apply my last change again', run: () => send(retry.url, retry.body, onRefused) }], 'conflict');
      return false;
    }
    if (onRefused) onRefused(outcome.message);
    else showNotice(outcome.message, [], 'error');
    return false;
  }

  function photo(frame) {
    const p = frame.panel;
    const unit = Math.max(p.width, p.height) / 400;
    const image = svg('image', { href: frame.images.panel, x: p.x, y: p.y, width: p.width, height: p.height });
    const picture = svg('svg', { class: 'pair-photo', viewBox: `${p.x} ${p.y} ${p.width} ${p.height}` });
    picture.dataset.leanFrame = frame.id;
    picture.append(image);
    const points = new Map(frame.joints.filter((j) => j.reviewed).map((j) => [j.name, j.reviewed]));
    for (const [from, to] of frame.bones) {
      const a = points.get(from), b = points.get(to);
      if (a && b) picture.append(svg('line', { class: 'reviewed-bone', x1: a.x, y1: a.y, x2: b.x, y2: b.y, 'stroke-width': 2 * unit }));
    }
    for (const j of frame.joints.filter((x) => x.reviewed))
      picture.append(svg('circle', { class: 'reviewed-joint', cx: j.reviewed.x, cy: j.reviewed.y, r: 2.5 * unit, 'stroke-width': unit }));

    const lean = data.lean.frames[frame.id] || {};
    const annotation = lean.annotation;
    const lines = [];
    if (annotation?.wheel) lines.push(['wheel', annotation.wheel]);
    if (annotation?.reference && annotation.basis !== 'imageVertical') lines.push(['reference', annotation.reference]);
    for (const [which, line] of lines) {
      const shown = { a: { ...line.a }, b: { ...line.b } };
      const segment = svg('line', { class: `lean-line ${which}`, x1: shown.a.x, y1: shown.a.y, x2: shown.b.x, y2: shown.b.y, 'stroke-width': 1.5 * unit });
      picture.append(segment);
      for (const end of ['a', 'b']) {
        const handle = svg('circle', { class: `lean-end ${which}`, cx: shown[end].x, cy: shown[end].y, r: 5 * unit, 'stroke-width': unit });
        if (which === 'wheel') handle.dataset.leanEnd = end;
        else handle.dataset.leanReferenceEnd = end;
        handle.addEventListener('pointerdown', (event) => {
          event.preventDefault();
          handle.setPointerCapture(event.pointerId);
          const toSource = (e) => {
            const point = picture.createSVGPoint();
            point.x = e.clientX;
            point.y = e.clientY;
            const source = point.matrixTransform(picture.getScreenCTM().inverse());
            return { x: Math.round(source.x * 10) / 10, y: Math.round(source.y * 10) / 10 };
          };
          const move = (e) => {
            shown[end] = toSource(e);
            handle.setAttribute('cx', shown[end].x);
            handle.setAttribute('cy', shown[end].y);
            segment.setAttribute(`x${end === 'a' ? 1 : 2}`, shown[end].x);
            segment.setAttribute(`y${end === 'a' ? 1 : 2}`, shown[end].y);
          };
          const up = (e) => {
            move(e);
            handle.removeEventListener('pointermove', move);
            handle.removeEventListener('pointerup', up);
            saveLean(frame, { [which]: { ...line, a: shown.a, b: shown.b } });
          };
          handle.addEventListener('pointermove', move);
          handle.addEventListener('pointerup', up);
        });
        picture.append(handle);
      }
    }
    return picture;
  }

  function leanEdit(annotation) {
    return annotation
      ? { wheel: annotation.wheel, reference: annotation.reference, basis: annotation.basis, state: annotation.state,
          referenceReviewed: annotation.referenceReviewed, featureID: annotation.featureID }
      : { basis: 'imageVertical', state: 'draft', referenceReviewed: false, featureID: '' };
  }

  const leanErrors = new Map();
  async function saveLean(frame, change) {
    const annotation = data.lean.frames[frame.id]?.annotation;
    const edit = { ...leanEdit(annotation), ...change };
    if (!edit.wheel) delete edit.wheel;
    if (!edit.reference) delete edit.reference;
    leanErrors.delete(frame.id);
    const saved = await send(`${base}/frames/${frame.id}/lean`, { edit }, (message) => {
      leanErrors.set(frame.id, message);
      draw();
    });
    if (saved) leanErrors.delete(frame.id);
  }

  function leanControls(frame) {
    const lean = data.lean.frames[frame.id] || {};
    const a = lean.annotation;
    const edit = leanEdit(a);
    const box = el('div', { class: 'lean-controls', dataset: { leanControls: frame.id } });
    if (!a?.wheel) {
      box.append(el('button', { class: 'draw-wheel', onclick: () => saveLean(frame, { wheel: proposedLine(frame.panel) }) },
        'Draw wheel line'));
    } else {
      const uncertainty = el('input', { type: 'number', min: '0', step: '0.5', class: 'lean-uncertainty', value: a.wheel.uncertainty });
      uncertainty.addEventListener('change', () => saveLean(frame, { wheel: { ...a.wheel, uncertainty: Number(uncertainty.value) } }));
      const basis = el('select', { class: 'lean-basis' },
        data.lean.bases.map((b) => el('option', { value: b.value, selected: b.value === edit.basis }, b.label)));
      basis.addEventListener('change', () => {
        const change = { basis: basis.value };
        if (basis.value !== 'imageVertical' && !edit.reference) change.reference = proposedLine(frame.panel, true);
        saveLean(frame, change);
      });
      const state = el('select', { class: 'lean-state' },
        data.lean.states.map((s) => el('option', { value: s.value, selected: s.value === edit.state }, s.value)));
      state.addEventListener('change', () => saveLean(frame, { state: state.value }));
      const reviewed = el('input', { type: 'checkbox', class: 'lean-reference-reviewed', checked: edit.referenceReviewed });
      reviewed.addEventListener('change', () => saveLean(frame, { referenceReviewed: reviewed.checked }));
      const feature = el('input', { type: 'text', class: 'lean-feature', value: edit.featureID, placeholder: 'e.g. kerb stripe 3' });
      feature.addEventListener('change', () => saveLean(frame, { featureID: feature.value }));
      box.append(...shown(
        el('label', {}, 'Endpoint uncertainty ', uncertainty, ' px'),
        el('label', {}, 'Basis ', basis),
        edit.basis !== 'imageVertical' ? el('label', {}, reviewed, ' Reference line reviewed') : null,
        edit.basis === 'sharedFeature' ? el('label', {}, 'Shared feature ', feature) : null,
        el('label', {}, 'State ', state),
        el('p', { class: 'lean-measure' }, lean.measurement
          ? `Apparent wheel angle ${degrees(lean.measurement.angle)} (${degrees(lean.measurement.lower)} to ${degrees(lean.measurement.upper)})`
          : 'Not measurable yet: the lines are missing or invalid for this basis.')));
    }
    if (leanErrors.has(frame.id)) box.append(el('p', { class: 'lean-error' }, leanErrors.get(frame.id)));
    return box;
  }

  function contextForm() {
    if (!data.context) return el('p', { class: 'why' }, 'This photo has no reference rider: no comparison context, angle or lean comparison.');
    const context = data.context.decisions || {};
    const comparability = new Map();
    for (let i = 0; i + 1 < (context.comparability || []).length; i += 2) comparability.set(context.comparability[i], context.comparability[i + 1]);
    const knees = new Map();
    for (let i = 0; i + 1 < (context.kneePlacement || []).length; i += 2) knees.set(context.kneePlacement[i], context.kneePlacement[i + 1]);
    const decide = (edit) => send(`${base}/pairs/${pairID}/context`, { edit });

    const section = el('section', { class: 'context' }, el('h2', {}, 'Comparison'));
    if (data.context.stale) {
      section.append(el('div', { class: 'stale', dataset: { stale: 'yes' } },
        el('p', {}, el('strong', {}, 'Stale: '), data.context.stale),
        el('p', {}, 'These decisions were made for other photos or panels. Start a fresh context and enter them again:'),
        el('pre', { class: 'old-decisions' }, JSON.stringify(context, null, 1)),
        el('button', { class: 'renew', onclick: () => send(`${base}/pairs/${pairID}/context/renew`, {}) }, 'Start a fresh context')));
    }
    const check = (key, text) => {
      const box = el('input', { type: 'checkbox', class: key, checked: !!context[key] });
      box.addEventListener('change', () => decide({ [key]: box.checked }));
      return el('label', {}, box, ' ', text);
    };
    const corner = el('select', { class: 'corner' },
      data.choices.cornerDirections.map((c) => el('option', { value: c.value, selected: c.value === (context.cornerDirection || 'unknown') }, c.value)));
    corner.addEventListener('change', () => decide({ cornerDirection: corner.value }));
    section.append(el('div', { class: 'context-flags' },
      check('subjectConfirmed', 'Subject joints confirmed'), check('referenceConfirmed', 'Reference joints confirmed'),
      el('label', {}, 'Corner direction ', corner)));

    const analysis = data.analysis || {};
    const observations = new Map((analysis.observations || []).map((o) => [o.feature, o]));
    const table = el('table', { class: 'features' }, el('tr', {},
      ['Feature', 'View', 'Knee placement', 'Subject', 'Reference', 'Subject − reference'].map((h) => el('th', {}, h))));
    for (const feature of data.choices.features) {
      const view = el('select', { class: 'comparability' },
        data.choices.comparability.map((c) => el('option', { value: c.value, selected: c.value === (comparability.get(feature.value) || 'unreviewed') }, c.value)));
      view.addEventListener('change', () => decide({ comparability: [feature.value, view.value] }));
      let placement = '—';
      if (feature.value.endsWith('Knee')) {
        placement = el('select', { class: 'knee-placement' },
          data.choices.kneePlacement.map((k) => el('option', { value: k.value, selected: k.value === (knees.get(feature.value) || 'unreviewed') }, k.label)));
        placement.addEventListener('change', () => decide({ kneePlacement: [feature.value, placement.value] }));
      }
      const o = observations.get(feature.value);
      table.append(el('tr', { dataset: { feature: feature.value } },
        el('td', {}, feature.label), el('td', {}, view), el('td', {}, placement),
        el('td', { class: 'subject-angle' }, o ? measurementText(o.subject) : ''),
        el('td', { class: 'reference-angle' }, o ? measurementText(o.reference) : ''),
        el('td', { class: 'delta' }, o ? (o.delta !== undefined ? signed(o.delta) : o.comparisonUnavailable) : '')));
    }
    section.append(table);
    if (analysis.error) section.append(el('p', { class: 'why' }, 'Analysis unavailable: ' + analysis.error));
    else {
      section.append(el('p', { class: 'note' },
        `Angles are degrees in each photo's image plane (180° = straight), from reviewed joints only. Rule catalogue ${analysis.catalogVersion}: ${analysis.activeRuleCount} reviewed rules, ${analysis.focus.length} fired.`));
      if (analysis.focus.length)
        section.append(el('ul', { class: 'focus' }, analysis.focus.map((f) => el('li', {}, f.suggestion, ' ', el('span', { class: 'note' }, f.limitation)))));
      section.append(el('h3', {}, analysis.hasPhotoCoaching ? 'Coaching (imported photo coaching)' : 'Provisional coaching'),
        analysis.coaching.length
          ? el('ul', { class: 'coaching' }, analysis.coaching.map((b) =>
              el('li', { dataset: { bullet: b.id } }, el('strong', {}, b.title), el('br'), b.detail, ' ',
                el('span', { class: 'note' }, `(${b.provenance}, ${b.version})`))))
          : el('p', { class: 'why coaching-none' }, analysis.effectiveCornerDirection === 'unknown'
              ? 'No coaching bullets: set the corner direction first.'
              : 'No coaching bullets: no compared elbow differs by 10° or more, and no knee placement calls for one.'),
        el('p', { class: 'note limitations' }, analysis.limitations));
    }
    return section;
  }

  function leanSection() {
    if (!data.context) return null;
    const lean = data.lean;
    const context = lean.context || {};
    const answers = ['commonCue', 'comparableView', 'comparableHeading', 'comparableReference', 'comparableCameraRoll', 'similarSpeedReported'];
    const text = {
      commonCue: 'Both wheel lines follow a common visible cue', comparableView: 'Camera views comparable',
      comparableHeading: 'Rider headings comparable', comparableReference: 'Reference directions comparable',
      comparableCameraRoll: 'Camera roll comparable', similarSpeedReported: 'Similar speed reported',
    };
    const current = () => Object.fromEntries(answers.map((k) => [k, !!context[k]]));
    const boxes = answers.map((key) => {
      const box = el('input', { type: 'checkbox', class: key, checked: !!context[key] });
      box.addEventListener('change', () => send(`${base}/pairs/${pairID}/lean-context`, { edit: { ...current(), [key]: box.checked, approve: !!lean.approved } }));
      return el('label', {}, box, ' ', text[key]);
    });
    const approve = el('input', { type: 'checkbox', class: 'approve', checked: !!lean.approved });
    approve.addEventListener('change', () => send(`${base}/pairs/${pairID}/lean-context`, { edit: { ...current(), approve: approve.checked } }));
    const comparison = lean.comparison || {};
    return el('section', { class: 'lean' }, el('h2', {}, 'Wheel lean'),
      el('div', { class: 'lean-answers' }, boxes),
      el('label', { class: 'approval' }, approve, ' Approve exactly this lean evidence',
        context.approvalDigest && !lean.approved ? el('span', { class: 'why' }, ' (the lines changed since the last approval)') : null,
        lean.approvalUnavailable ? el('span', { class: 'why' }, ` (${lean.approvalUnavailable})`) : null),
      el('p', { class: 'lean-summary' }, comparison.measurement
        ? `Subject − reference: ${signed(comparison.measurement.angle)} (${signed(comparison.measurement.lower)} to ${signed(comparison.measurement.upper)}). ${comparison.summary}`
        : comparison.summary),
      el('p', { class: 'note' }, lean.limitations));
  }

  function coachingImport() {
    if (!data.context) return null;
    const message = el('p', { class: 'coaching-message' });
    const picker = el('input', { type: 'file', accept: '.json,application/json', class: 'coaching-file' });
    picker.addEventListener('change', async () => {
      const file = picker.files[0];
      if (!file) return;
      const contents = await file.text();
      const ok = await send(`${base}/pairs/${pairID}/coaching`, { contents }, (refusal) => { message.textContent = refusal; });
      if (ok) root.querySelector('.coaching-message').textContent = `Imported ${file.name}.`;
      picker.value = '';
    });
    const imported = data.context.decisions?.photoCoaching;
    return el('section', { class: 'photo-coaching' }, el('h2', {}, 'Photo coaching'),
      el('p', { class: 'note' }, 'Import a coach\'s file: a JSON list of comparison contexts carrying photo coaching for this session\'s pairs.'),
      picker, message,
      imported ? el('p', {}, `Imported for a ${imported.cornerDirection}-hand corner by ${imported.provenance}: ${imported.points.length} point(s).`) : null);
  }

  // A photo without a reference rider: coaching written for it alone, imported from a file.
  function singleCoachingSection() {
    const single = data.singleCoaching;
    if (!single) return null;
    const frame = data.frames.find((f) => f.id === single.frameID);
    const say = (text) => { root.querySelector('.single-coaching-message').textContent = text; };
    async function importFile(name, contents) {
      // The version of the file on screen now: after a conflict, the one just reloaded.
      const outcome = await postChange(`${base}/pairs/${pairID}/single-coaching`, { contents, version: data.singleCoaching.version });
      if (outcome.ok) {
        data = outcome.data;
        draw();
        say(`Imported ${name}.`);
      } else if (outcome.conflict) {
        if (outcome.body?.pairView) data = outcome.body.pairView;
        draw();
        showNotice(outcome.message, [{ label: 'Import my file again', run: () => importFile(name, contents) }], 'conflict');
      } else {
        say(outcome.message);
      }
    }
    const picker = el('input', { type: 'file', accept: '.json,application/json', class: 'single-coaching-file' });
    picker.addEventListener('change', async () => {
      const file = picker.files[0];
      if (!file) return;
      const contents = await file.text();
      picker.value = '';
      await importFile(file.name, contents);
    });
    const c = single.coaching;
    const template = [{ frameID: frame.id, sourceHash: frame.sourceHash, panel: frame.panel, provenance: 'Coach name',
      points: [{ title: 'Short title', detail: 'What to look at or try.' }] }];
    return el('section', { class: 'single-coaching', dataset: { singleCoaching: single.frameID } },
      el('h2', {}, 'Single-photo coaching'),
      el('p', { class: 'note' }, 'Import a coach\'s file: a JSON list of single-photo coaching records, each for one photo without a reference rider (its frame, photo hash and panel) with one to three points. Records for other photos of the session are kept for them.'),
      picker, el('p', { class: 'single-coaching-message' }),
      single.problem ? el('p', { class: 'why' }, 'The saved single-photo coaching file cannot be used: ' + single.problem) : null,
      c
        ? el('div', { class: 'single-coaching-shown' }, el('h3', {}, 'Saved for this photo'),
            el('ul', { class: 'single-points' }, c.points.map((p) => el('li', {}, el('strong', {}, p.title), el('br'), p.detail))),
            el('p', { class: 'note' }, `Written by ${c.provenance} for this photo and panel.`))
        : el('p', { class: 'why single-coaching-none' }, 'No single-photo coaching imported for this photo yet.'),
      el('details', { class: 'single-coaching-template' }, el('summary', {}, 'A record for this photo'),
        el('pre', {}, JSON.stringify(template, null, 2))));
  }

  function checklistSection() {
    const c = data.checklist;
    if (!c) return null;
    const message = el('p', { class: 'checklist-message' });
    const rows = c.rows.map((row) => ({ ...row }));
    const provenance = el('input', { type: 'text', class: 'checklist-provenance', value: c.provenance });
    const corner = el('select', { class: 'checklist-corner' },
      data.choices.cornerDirections.map((d) => el('option', { value: d.value, selected: d.value === c.cornerDirection }, d.value)));
    const frame = data.frames.find((f) => f.id === c.frameID);
    async function save() {
      const checklist = {
        frameID: c.frameID, sourceHash: frame.sourceHash, panel: frame.panel, catalogVersion: c.catalogVersion,
        cornerDirection: corner.value, provenance: provenance.value,
        items: rows.map((r) => ({ topic: r.topic, status: r.status, observation: r.observation })),
      };
      // The version of the checklist on screen now: after a conflict, the one just reloaded.
      const outcome = await postChange(`${base}/frames/${c.frameID}/checklist`, { checklist, version: data.checklist.version });
      if (outcome.ok) {
        data.checklist = outcome.data;
        draw();
      } else if (outcome.conflict) {
        if (outcome.body?.checklist) data.checklist = outcome.body.checklist;
        draw();
        showNotice(outcome.message, [{ label: 'Apply my checklist again', run: save }], 'conflict');
      } else {
        message.textContent = outcome.message;
      }
    }
    provenance.addEventListener('change', save);
    corner.addEventListener('change', save);
    const table = el('table', { class: 'checklist' }, el('tr', {}, ['Topic', 'Status', 'Observation'].map((h) => el('th', {}, h))),
      rows.map((row) => {
        const status = el('select', { class: 'topic-status' },
          c.statuses.map((s) => el('option', { value: s.value, selected: s.value === row.status }, s.label)));
        status.addEventListener('change', () => { row.status = status.value; save(); });
        const observation = el('textarea', { class: 'topic-observation', rows: '2' });
        observation.value = row.observation;
        observation.addEventListener('change', () => { row.observation = observation.value; save(); });
        return el('tr', { dataset: { topic: row.topic } },
          el('td', {}, el('strong', {}, row.title), el('span', { class: 'cue' }, row.cue)), el('td', {}, status), el('td', {}, observation));
      }));
    return el('section', { class: 'checklist-section' }, el('h2', {}, 'Coaching checklist · subject photo'),
      c.problem ? el('p', { class: 'why' }, 'The saved checklist file cannot be used: ' + c.problem) : null,
      el('div', { class: 'checklist-head' }, el('label', {}, 'Reviewed by ', provenance), el('label', {}, 'Corner ', corner),
        el('span', { class: 'note' }, c.saved ? 'Saved' : 'Not saved yet: every topic needs photo review')),
      table, message);
  }

  function draw() {
    root.replaceChildren(...shown(
      el('div', { class: 'toolbar' }, el('h1', {}, `Pair ${pairID}`),
        data.frames.map((f) => el('a', { href: `#/s/${sessionID}/f/${f.id}`, dataset: { frame: f.id } }, `Review ${f.role} joints`)),
        el('button', { class: 'report', onclick: () => openReport(sessionID) }, 'Session report')),
      el('div', { class: 'pair-photos' }, data.frames.map((f) =>
        el('figure', {}, photo(f), el('figcaption', {}, `${f.role}: ${f.rider}`), leanControls(f)))),
      contextForm(), leanSection(), coachingImport(), singleCoachingSection(), checklistSection()));
  }

  draw();
}
