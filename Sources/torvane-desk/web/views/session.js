// One session: a thumbnail per rider, pairs side by side, with detection status and
// review state, and a filter for what still needs attention.
import { el, getJSON, postChange, setCrumbs, showNotice } from '../api.js';

const statusText = {
  needsReview: 'needs review',
  ambiguous: 'ambiguous',
  noPose: 'no pose',
  error: 'error',
  unavailable: 'unavailable',
};

function needsAttention(frame) {
  return !frame.reviewed;
}

function riderTile(sessionID, frame) {
  const status = frame.status2D;
  const body = [
    frame.thumbnail ? el('img', { src: frame.thumbnail, alt: `${frame.rider}`, loading: 'lazy' }) : el('div', { class: 'nothumb' }),
    el('div', { class: 'caption' },
      el('strong', {}, `${frame.pairID} ${frame.role}`), el('br'), frame.rider, el('br'),
      el('span', { class: `badge status-${status}` }, `2D ${statusText[status] || status}`), ' ',
      el('span', { class: `badge status-${frame.status3D}` }, `3D ${statusText[frame.status3D] || frame.status3D}`), ' ',
      frame.reviewable
        ? el('span', { class: frame.reviewed ? 'badge reviewed' : 'badge open' },
            frame.reviewed ? 'reviewed' : `${frame.decidedJoints} joint${frame.decidedJoints === 1 ? '' : 's'} decided`)
        : null,
      frame.message ? el('p', { class: 'message' }, frame.message) : null),
  ];
  const tile = frame.reviewable
    ? el('a', { class: 'tile', href: `#/s/${sessionID}/f/${frame.id}`, dataset: { frame: frame.id } }, body)
    : el('div', { class: 'tile disabled', dataset: { frame: frame.id } }, body);
  const links = frame.pictures
    ? el('div', { class: 'links' },
        el('a', { href: frame.pictures['2D'], target: '_blank' }, '2D picture'), ' · ',
        el('a', { href: frame.pictures['3D'], target: '_blank' }, '3D picture'))
    : null;
  return el('div', { class: 'rider', dataset: { attention: needsAttention(frame) ? 'yes' : 'no' } }, tile, links);
}

// Writes the printable report of what is saved now and opens it.
export async function openReport(sessionID) {
  const shown = window.open('', '_blank');
  const outcome = await postChange(`/api/sessions/${sessionID}/report`, {});
  if (outcome.ok) {
    if (shown) shown.location = outcome.data.url;
    else location.href = outcome.data.url;
  } else {
    shown?.close();
    showNotice(outcome.message, [], 'error');
  }
}

export async function render(main, sessionID) {
  const data = await getJSON(`/api/sessions/${sessionID}`);
  setCrumbs({ href: '#/', text: 'Sessions' }, { href: `#/s/${sessionID}`, text: data.title });

  const pairs = new Map();
  for (const frame of data.frames) {
    if (!pairs.has(frame.pairID)) pairs.set(frame.pairID, []);
    pairs.get(frame.pairID).push(frame);
  }
  const grid = el('div', { class: 'pairs' },
    [...pairs.entries()].map(([id, frames]) =>
      el('section', { class: 'pair' }, el('h3', {}, `Pair ${id}`, ' ',
          el('a', { class: 'pair-link', href: `#/s/${sessionID}/p/${id}`, dataset: { pair: id } },
            frames.length > 1 ? 'Comparison, wheel lean, coaching and checklist' : 'Wheel lean, coaching and checklist')),
        el('div', { class: 'pair-riders' }, frames.map((f) => riderTile(sessionID, f))))));

  const filter = el('input', { type: 'checkbox', id: 'attention' });
  filter.addEventListener('change', () => grid.classList.toggle('attention-only', filter.checked));

  main.append(el('div', { class: 'page' },
    el('section', { class: 'toolbar' },
      el('h1', {}, data.title),
      el('label', {}, filter, ' Only riders that still need attention'),
      el('a', { href: data.index, target: '_blank' }, 'Inspection page (index.html)'),
      data.problem ? null : el('button', { class: 'report', onclick: () => openReport(sessionID) }, 'Session report')),
    data.problem ? el('p', { class: 'problem' }, data.problem) : null,
    el('p', { class: 'summary' },
      data.problem ? '' : `${data.reviewedRiders} of ${data.riders} riders reviewed · ${data.decidedJoints} joints decided`),
    grid));
}
