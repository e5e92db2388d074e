// One rider's joint review: the photo with zoom and pan, the detector's skeleton, the
// reviewed points, the joint list and the decisions, each saved at once by the server.
import { el, getJSON, postChange, runJob, setCrumbs, showNotice, hideNotice, setSaveState } from '../api.js';

const SVG = 'http://www.w3.org/2000/svg';
const svg = (tag, attributes = {}) => {
  const element = document.createElementNS(SVG, tag);
  for (const [name, value] of Object.entries(attributes)) element.setAttribute(name, value);
  return element;
};

export async function render(main, sessionID, frameID) {
  const base = `/api/sessions/${sessionID}/frames/${frameID}`;
  let frame = await getJSON(base);
  setCrumbs({ href: '#/', text: 'Sessions' }, { href: `#/s/${sessionID}`, text: frame.sessionTitle },
    { href: `#/s/${sessionID}/f/${frameID}`, text: `${frame.pairID} ${frame.role}` });

  const view = { scale: 1, x: 0, y: 0 };
  let kind = '2D';
  let selected = null;
  let cropMode = false;
  let crop = null;
  let queue = Promise.resolve();
  let retrying = false;

  // Page structure.
  const displayImage = el('img', { class: 'display', alt: 'photo', draggable: 'false' });
  const panelImage = el('img', { class: 'panel', alt: '', draggable: 'false' });
  const world = el('div', { class: 'world' }, displayImage, panelImage);
  const overlay = svg('svg', { class: 'overlay' });
  const viewport = el('div', { class: 'viewport', tabindex: '0' }, world, overlay);
  const jointList = el('ol', { class: 'joints' });
  const riderInfo = el('div', { class: 'rider-info' });
  const retryStatus = el('div', { class: 'retry-status' });
  const cropButton = el('button', { id: 'draw-crop' }, 'Draw crop');
  const retryButton = el('button', { id: 'run-retry', disabled: true }, 'Run detection on crop');
  const kindButton = el('button', { id: 'kind' }, 'Show 3D');
  const undoButton = el('button', { id: 'undo' }, 'Undo (Z)');
  const decisionButtons = ['confirmed', 'occluded', 'uncertain'].map((state) =>
    el('button', { class: `decide ${state}`, dataset: { state } },
      { confirmed: 'Confirm (C)', occluded: 'Hidden (O)', uncertain: 'Uncertain (U)' }[state]));
  const previousLink = el('a', { id: 'previous-rider' }, '‹ Previous rider (P)');
  const nextLink = el('a', { id: 'next-rider' }, 'Next rider (N) ›');

  main.append(el('div', { class: 'review' }, viewport,
    el('aside', { class: 'sidebar' },
      el('nav', { class: 'rider-nav' }, previousLink, nextLink),
      riderInfo,
      el('div', { class: 'tools' }, kindButton, el('button', { id: 'fit', onclick: () => { fit(); draw(); } }, 'Fit (F)')),
      el('div', { class: 'decisions' }, decisionButtons, undoButton),
      jointList,
      el('section', { class: 'retry' }, el('h3', {}, 'Detection retry'),
        el('p', { class: 'hint' }, 'Draw a tighter crop around the rider on the photo, then run both detectors on it.'),
        cropButton, retryButton, retryStatus),
      el('details', { class: 'keys' }, el('summary', {}, 'Keys'),
        el('p', {}, 'Tab / Shift+Tab or J / K: next / previous joint · N / P: next / previous rider · C confirm · O hidden · U uncertain · Z undo · arrows nudge 1 px (Shift: 10 px) · 3: 2D/3D · F fit · double-click: place the selected joint · drag a joint to correct it · wheel zooms, drag pans')))));

  const joint = (name) => frame.joints.find((j) => j.name === name);
  const pointOf = (j) => j.points[kind].display;

  function toScreen(p) {
    return { x: p.x * view.scale + view.x, y: p.y * view.scale + view.y };
  }
  function toSource(clientX, clientY) {
    const box = viewport.getBoundingClientRect();
    return { x: (clientX - box.left - view.x) / view.scale, y: (clientY - box.top - view.y) / view.scale };
  }

  function fit() {
    const box = viewport.getBoundingClientRect();
    const p = frame.panel;
    const margin = 0.06;
    view.scale = Math.min(box.width / (p.width * (1 + 2 * margin)), box.height / (p.height * (1 + 2 * margin)));
    view.x = (box.width - p.width * view.scale) / 2 - p.x * view.scale;
    view.y = (box.height - p.height * view.scale) / 2 - p.y * view.scale;
  }

  function placeImages() {
    const photo = frame.photo || { width: frame.panel.width, height: frame.panel.height };
    displayImage.style.width = `${photo.width}px`;
    displayImage.style.height = `${photo.height}px`;
    const p = frame.panel;
    panelImage.style.left = `${p.x}px`;
    panelImage.style.top = `${p.y}px`;
    panelImage.style.width = `${p.width}px`;
    panelImage.style.height = `${p.height}px`;
  }

  function markerClass(j) {
    return j.state ? `marker reviewed state-${j.state}` : 'marker proposal';
  }

  function draw() {
    world.style.transform = `translate(${view.x}px, ${view.y}px) scale(${view.scale})`;
    overlay.replaceChildren();
    const p = frame.panel;
    const a = toScreen({ x: p.x, y: p.y });
    overlay.append(svg('rect', { class: 'panel-outline', x: a.x, y: a.y, width: p.width * view.scale, height: p.height * view.scale }));
    for (const [from, to] of frame.bones) {
      const pa = pointOf(joint(from)), pb = pointOf(joint(to));
      if (!pa || !pb) continue;
      const sa = toScreen(pa), sb = toScreen(pb);
      overlay.append(svg('line', { class: 'bone', x1: sa.x, y1: sa.y, x2: sb.x, y2: sb.y }));
    }
    for (const j of frame.joints) {
      const point = pointOf(j);
      if (!point) continue;
      const s = toScreen(point);
      const group = svg('g', { class: markerClass(j) + (j.name === selected ? ' selected' : ''), 'data-joint': j.name,
        transform: `translate(${s.x} ${s.y})` });
      group.append(svg('circle', { r: j.state ? 7 : 5 }));
      const label = svg('text', { x: 9, y: -7 });
      label.textContent = j.number;
      group.append(label);
      overlay.append(group);
    }
    if (crop) {
      const c = toScreen(crop);
      overlay.append(svg('rect', { class: 'crop', x: c.x, y: c.y, width: crop.width * view.scale, height: crop.height * view.scale }));
    }
  }

  function renderSidebar() {
    const status = frame.status;
    riderInfo.replaceChildren(el('div', {},
      el('h2', {}, `${frame.pairID} ${frame.role}`),
      el('p', {}, frame.rider),
      el('p', {}, el('span', { class: `badge status-${status['2D']}` }, `2D ${status['2D']}`), ' ',
        el('span', { class: `badge status-${status['3D']}` }, `3D ${status['3D']}`), ' ',
        el('span', { class: frame.reviewed ? 'badge reviewed' : 'badge open' }, frame.reviewed ? 'reviewed' : 'not reviewed')),
      frame.message ? el('p', { class: 'message' }, frame.message) : null,
      el('p', { class: 'revision' }, frame.saved ? `Saved review, revision ${frame.revision}` : 'No review saved yet: the first decision creates it.'),
      el('p', { class: 'links' }, el('a', { href: frame.pictures['2D'], target: '_blank' }, 'Inspection picture 2D'), ' · ',
        el('a', { href: frame.pictures['3D'], target: '_blank' }, '3D'))));
    jointList.replaceChildren(...frame.joints.map((j) => {
      const point = pointOf(j);
      const row = el('li', { class: (j.name === selected ? 'selected ' : '') + (j.state ? `state-${j.state}` : ''),
        dataset: { jointRow: j.name } },
        el('span', { class: 'number' }, String(j.number)), ' ',
        el('span', { class: 'name' }, j.label), ' ',
        el('span', { class: 'state' }, j.stateLabel || (point ? 'proposal' : 'no point')));
      row.addEventListener('click', () => select(j.name));
      return row;
    }));
    kindButton.textContent = kind === '2D' ? 'Show 3D (3)' : 'Show 2D (3)';
    undoButton.disabled = !frame.undo;
    undoButton.title = frame.undo ? `Undo the last change of ${frame.undo.label}` : 'Nothing to undo';
    previousLink.toggleAttribute('hidden', !frame.previous);
    nextLink.toggleAttribute('hidden', !frame.next);
    if (frame.previous) previousLink.href = `#/s/${sessionID}/f/${frame.previous}`;
    if (frame.next) nextLink.href = `#/s/${sessionID}/f/${frame.next}`;
    retryButton.disabled = !crop || retrying;
    cropButton.classList.toggle('active', cropMode);
  }

  function refresh() {
    renderSidebar();
    draw();
  }

  function select(name) {
    selected = name;
    refresh();
    jointList.querySelector('li.selected')?.scrollIntoView({ block: 'nearest' });
  }

  function step(delta) {
    const names = frame.joints.map((j) => j.name);
    const index = Math.max(0, names.indexOf(selected));
    select(names[(index + delta + names.length) % names.length]);
  }

  // Each change waits for the one before, so it is sent with the revision that one saved.
  function change(path, payload, description) {
    queue = queue.then(async () => {
      const action = { path, payload, description };
      const result = await postChange(`${base}/${path}`, { ...payload, revision: frame.revision });
      if (result.ok) {
        frame = result.data;
        hideNotice();
      } else if (result.conflict) {
        frame = result.latest || (await getJSON(base));
        showNotice(`${result.message} The page now shows the review saved on disk.`, [
          { label: `Apply my last action again (${description})`, run: () => change(action.path, action.payload, action.description) },
        ], 'conflict');
      } else {
        showNotice(result.message, [], 'error');
      }
      refresh();
    });
    return queue;
  }

  function decide(state, point) {
    if (!selected) return;
    const payload = { joint: selected, state, kind };
    if (point) payload.point = point;
    return change('joints', payload, `${joint(selected).label}: ${state}`);
  }

  function nudge(dx, dy) {
    const point = selected && pointOf(joint(selected));
    if (!point) return;
    return decide('corrected', { x: point.x + dx, y: point.y + dy });
  }

  for (const button of decisionButtons) {
    button.addEventListener('click', () => {
      const state = button.dataset.state;
      const point = state === 'uncertain' && selected ? pointOf(joint(selected)) : null;
      decide(state, point);
    });
  }
  undoButton.addEventListener('click', () => change('undo', {}, 'undo'));
  kindButton.addEventListener('click', () => { kind = kind === '2D' ? '3D' : '2D'; refresh(); });
  cropButton.addEventListener('click', () => { cropMode = !cropMode; refresh(); });
  retryButton.addEventListener('click', () => retry());

  async function retry() {
    if (!crop || retrying) return;
    retrying = true;
    refresh();
    const bar = el('progress');
    const text = el('span');
    retryStatus.replaceChildren(bar, text);
    const rounded = {
      x: Math.round(crop.x), y: Math.round(crop.y), width: Math.round(crop.width), height: Math.round(crop.height),
    };
    try {
      setSaveState('saving');
      const job = await runJob(`${base}/retry`, { crop: rounded }, (status) => {
        text.textContent = ` ${status.stage || 'Working'}… ${status.elapsed.toFixed(0)} s`;
      });
      if (job.state === 'error') {
        setSaveState('error', job.error);
        retryStatus.replaceChildren(el('p', { class: 'message' }, job.error));
      } else {
        setSaveState('saved');
        frame = await getJSON(base);
        const outcome = job.result.change;
        retryStatus.replaceChildren(el('p', { dataset: { retryDone: '1' } },
          `New proposal: 2D ${outcome.status2D}, 3D ${outcome.status3D}.`));
        crop = null;
        cropMode = false;
      }
    } catch (error) {
      setSaveState('error', error.message);
      retryStatus.replaceChildren(el('p', { class: 'message' }, error.message));
    } finally {
      retrying = false;
      refresh();
    }
  }

  // Pointer: drag a joint to correct it, drag the photo to pan, or draw the crop.
  let gesture = null;
  viewport.addEventListener('pointerdown', (event) => {
    if (event.button !== 0) return;
    viewport.focus({ preventScroll: true });
    const marker = event.target.closest?.('[data-joint]');
    viewport.setPointerCapture(event.pointerId);
    if (cropMode) {
      const start = toSource(event.clientX, event.clientY);
      gesture = { type: 'crop', start };
      crop = { x: start.x, y: start.y, width: 0, height: 0 };
    } else if (marker) {
      selected = marker.dataset.joint;
      gesture = { type: 'joint', name: selected, startX: event.clientX, startY: event.clientY, marker, moved: false };
      refresh();
      gesture.marker = overlay.querySelector(`[data-joint="${selected}"]`);
    } else {
      gesture = { type: 'pan', startX: event.clientX, startY: event.clientY, x: view.x, y: view.y };
    }
  });
  viewport.addEventListener('pointermove', (event) => {
    if (!gesture) return;
    if (gesture.type === 'pan') {
      view.x = gesture.x + event.clientX - gesture.startX;
      view.y = gesture.y + event.clientY - gesture.startY;
      draw();
    } else if (gesture.type === 'joint') {
      const dx = event.clientX - gesture.startX, dy = event.clientY - gesture.startY;
      if (Math.hypot(dx, dy) >= 3) gesture.moved = true;
      if (gesture.moved) {
        const box = viewport.getBoundingClientRect();
        gesture.marker?.setAttribute('transform', `translate(${event.clientX - box.left} ${event.clientY - box.top})`);
      }
    } else if (gesture.type === 'crop') {
      const now = toSource(event.clientX, event.clientY);
      crop = {
        x: Math.min(now.x, gesture.start.x), y: Math.min(now.y, gesture.start.y),
        width: Math.abs(now.x - gesture.start.x), height: Math.abs(now.y - gesture.start.y),
      };
      draw();
    }
  });
  viewport.addEventListener('pointerup', (event) => {
    const done = gesture;
    gesture = null;
    if (!done) return;
    if (done.type === 'joint' && done.moved) {
      const point = toSource(event.clientX, event.clientY);
      decide('corrected', { x: point.x, y: point.y });
    } else if (done.type === 'crop') {
      cropMode = false;
      if (!crop || crop.width < 8 || crop.height < 8) crop = null;
      refresh();
    }
  });
  viewport.addEventListener('dblclick', (event) => {
    if (!selected || cropMode || event.target.closest?.('[data-joint]')) return;
    decide('corrected', toSource(event.clientX, event.clientY));
  });
  viewport.addEventListener('wheel', (event) => {
    event.preventDefault();
    const box = viewport.getBoundingClientRect();
    const cx = event.clientX - box.left, cy = event.clientY - box.top;
    const before = { x: (cx - view.x) / view.scale, y: (cy - view.y) / view.scale };
    const factor = Math.exp(-event.deltaY * 0.0015);
    view.scale = Math.min(16, Math.max(0.02, view.scale * factor));
    view.x = cx - before.x * view.scale;
    view.y = cy - before.y * view.scale;
    draw();
  }, { passive: false });

  function onKey(event) {
    if (event.target.closest?.('input, textarea, select') || event.ctrlKey || event.metaKey || event.altKey) return;
    const step10 = event.shiftKey ? 10 : 1;
    const key = event.key;
    const actions = {
      Tab: () => step(event.shiftKey ? -1 : 1),
      j: () => step(1),
      k: () => step(-1),
      n: () => frame.next && (location.hash = `#/s/${sessionID}/f/${frame.next}`),
      p: () => frame.previous && (location.hash = `#/s/${sessionID}/f/${frame.previous}`),
      PageDown: () => frame.next && (location.hash = `#/s/${sessionID}/f/${frame.next}`),
      PageUp: () => frame.previous && (location.hash = `#/s/${sessionID}/f/${frame.previous}`),
      c: () => decide('confirmed'),
      o: () => decide('occluded'),
      u: () => decide('uncertain', selected ? pointOf(joint(selected)) : null),
      z: () => change('undo', {}, 'undo'),
      ArrowLeft: () => nudge(-step10, 0),
      ArrowRight: () => nudge(step10, 0),
      ArrowUp: () => nudge(0, -step10),
      ArrowDown: () => nudge(0, step10),
      3: () => { kind = kind === '2D' ? '3D' : '2D'; refresh(); },
      f: () => { fit(); draw(); },
      Escape: () => { cropMode = false; crop = null; refresh(); },
    };
    const action = actions[key.length === 1 ? key.toLowerCase() : key];
    if (!action) return;
    event.preventDefault();
    action();
  }
  document.addEventListener('keydown', onKey);
  const onResize = () => draw();
  window.addEventListener('resize', onResize);

  // First paint: the display image, then the full-resolution panel over it.
  selected = (frame.joints.find((j) => pointOf(j)) || frame.joints[0]).name;
  placeImages();
  fit();
  refresh();
  displayImage.addEventListener('load', () => {
    document.body.dataset.painted = frame.id;
    performance.mark('desk-first-paint');
    panelImage.src = frame.images.panel;
  }, { once: true });
  displayImage.src = frame.images.display;

  return () => {
    document.removeEventListener('keydown', onKey);
    window.removeEventListener('resize', onResize);
    delete document.body.dataset.painted;
  };
}
