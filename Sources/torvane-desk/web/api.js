// Talking to the desk's server. Every change goes through postChange, which keeps the
// header's save state (data-save-state: saved, saving, conflict, error) honest.

const stateElement = () => document.getElementById('save-state');

const stateText = {
  saved: 'Saved',
  saving: 'Saving…',
  conflict: 'Conflict: reloaded from disk',
  error: 'Not saved',
};

export function setSaveState(state, detail) {
  const element = stateElement();
  if (!element) return;
  element.dataset.saveState = state;
  element.textContent = stateText[state];
  element.title = detail || '';
}

export class HttpError extends Error {
  constructor(status, message, body) {
    super(message);
    this.status = status;
    this.body = body;
  }
}

async function readBody(response) {
  const text = await response.text();
  try {
    return text ? JSON.parse(text) : {};
  } catch {
    return { error: text };
  }
}

export async function getJSON(url) {
  const response = await fetch(url, { credentials: 'same-origin' });
  const body = await readBody(response);
  if (!response.ok) throw new HttpError(response.status, body.error || response.statusText, body);
  return body;
}

async function post(url, body) {
  const response = await fetch(url, {
    method: 'POST',
    credentials: 'same-origin',
    headers: { 'Content-Type': 'application/json' },
    body: JSON.stringify(body),
  });
  return { response, body: await readBody(response) };
}

// Sends one change. Resolves to {ok, data}, {conflict, message, latest} or {error, message};
// never rejects, so callers handle every outcome in one place.
export async function postChange(url, body) {
  setSaveState('saving');
  let result;
  try {
    result = await post(url, body);
  } catch (error) {
    setSaveState('error', String(error));
    return { error: true, message: 'The desk cannot be reached: ' + error.message };
  }
  const { response, body: answer } = result;
  if (response.ok) {
    setSaveState('saved');
    return { ok: true, data: answer };
  }
  if (response.status === 409) {
    setSaveState('conflict', answer.error);
    return { conflict: true, message: answer.error, latest: answer.frame, body: answer };
  }
  setSaveState('error', answer.error);
  return { error: true, message: answer.error || response.statusText };
}

// Starts a job (retry, rescan) and follows it; onProgress gets each status.
export async function runJob(url, body, onProgress) {
  const { response, body: answer } = await post(url, body);
  if (!response.ok) throw new HttpError(response.status, answer.error || response.statusText, answer);
  for (;;) {
    const status = await getJSON('/api/jobs/' + answer.job);
    onProgress?.(status);
    if (status.state !== 'running') return status;
    await new Promise((resolve) => setTimeout(resolve, 400));
  }
}

// The notice bar under the header: a message and optional buttons.
export function showNotice(message, actions = [], kind = 'info') {
  const bar = document.getElementById('notice');
  bar.replaceChildren();
  bar.className = kind;
  const text = document.createElement('span');
  text.textContent = message;
  bar.append(text);
  for (const { label, run } of actions) {
    const button = document.createElement('button');
    button.textContent = label;
    button.addEventListener('click', () => {
      hideNotice();
      run();
    });
    bar.append(button);
  }
  const close = document.createElement('button');
  close.textContent = 'Dismiss';
  close.className = 'quiet';
  close.addEventListener('click', hideNotice);
  bar.append(close);
  bar.hidden = false;
}

export function hideNotice() {
  const bar = document.getElementById('notice');
  bar.hidden = true;
  bar.replaceChildren();
}

// Small DOM helper: el('div', {class: 'x', dataset: {...}}, children...).
export function el(tag, attributes = {}, ...children) {
  const element = document.createElement(tag);
  for (const [name, value] of Object.entries(attributes)) {
    if (value === undefined || value === null || value === false) continue;
    if (name === 'dataset') Object.assign(element.dataset, value);
    else if (name.startsWith('on')) element.addEventListener(name.slice(2), value);
    else if (name === 'text') element.textContent = value;
    else element.setAttribute(name, value === true ? '' : value);
  }
  for (const child of children.flat()) {
    if (child === null || child === undefined || child === false) continue;
    element.append(child instanceof Node ? child : document.createTextNode(String(child)));
  }
  return element;
}

export function setCrumbs(...links) {
  const nav = document.getElementById('crumbs');
  nav.replaceChildren(...links.flatMap((link, i) => [i ? ' › ' : '', el('a', { href: link.href }, link.text)]));
}
