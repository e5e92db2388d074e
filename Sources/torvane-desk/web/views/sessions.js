// Every session of the data folder with its review progress and discovery's problems.
import { el, getJSON, runJob, setCrumbs, showNotice } from '../api.js';

export async function render(main) {
  setCrumbs({ href: '#/', text: 'Sessions' });
  const data = await getJSON('/api/sessions');
  const rescan = el('button', { id: 'rescan' }, 'Rescan data folder');
  const progress = el('span', { class: 'progress' });
  rescan.addEventListener('click', async () => {
    rescan.disabled = true;
    try {
      const job = await runJob('/api/rescan', {}, (status) => {
        progress.textContent = `${status.stage || 'Working'}… ${Math.round(status.elapsed)} s`;
      });
      if (job.state === 'error') showNotice(job.error, [], 'error');
      else await render(main.replaceChildren() || main);
    } catch (error) {
      showNotice(error.message, [], 'error');
    } finally {
      rescan.disabled = false;
      progress.textContent = '';
    }
  });

  const cards = data.sessions.map((s) =>
    el('a', { class: 'card session', href: `#/s/${s.id}`, dataset: { session: s.id } },
      el('h2', {}, s.title),
      el('p', { class: 'folder' }, s.folder),
      s.problem
        ? el('p', { class: 'problem' }, s.problem)
        : el('p', {},
            el('strong', {}, `${s.reviewedRiders} of ${s.riders}`), ' riders reviewed · ',
            el('strong', {}, String(s.decidedJoints)), ' joints decided',
            s.saved ? ` · revision ${s.revision}` : ' · no review saved yet'),
      s.problem ? null : el('progress', { max: s.riders, value: s.reviewedRiders })));

  main.append(el('div', { class: 'page' },
    el('section', { class: 'toolbar' }, el('h1', {}, 'Sessions'), rescan, progress),
    data.sessions.length ? el('div', { class: 'cards' }, cards)
      : el('p', {}, 'No session folders were found in the data folder.'),
    data.problems.length
      ? el('section', { class: 'problems' }, el('h2', {}, 'Problems'),
          el('ul', {}, data.problems.map((p) => el('li', {}, el('strong', {}, p.folder), ': ', p.message))))
      : null));
}
