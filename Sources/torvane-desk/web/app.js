// The desk's pages, chosen by the address's fragment: #/ sessions, #/s/ID one session,
// #/s/ID/f/FRAME one rider's review, #/s/ID/p/PAIR one pair's decisions.
import { hideNotice } from './api.js';
import * as sessions from './views/sessions.js';
import * as session from './views/session.js';
import * as rider from './views/rider.js';
import * as pair from './views/pair.js';

const routes = [
  { pattern: /^#?\/?$/, view: sessions },
  { pattern: /^#\/s\/([\w.-]+)$/, view: session },
  { pattern: /^#\/s\/([\w.-]+)\/f\/([\w.-]+)$/, view: rider },
  { pattern: /^#\/s\/([\w.-]+)\/p\/([\w.-]+)$/, view: pair },
];

let leave = null;
let shown = 0;

async function show() {
  if (leave) leave();
  leave = null;
  const generation = ++shown;
  hideNotice();
  const main = document.getElementById('view');
  main.replaceChildren();
  const hash = location.hash || '#/';
  for (const { pattern, view } of routes) {
    const match = hash.match(pattern);
    if (!match) continue;
    try {
      const cleanup = (await view.render(main, ...match.slice(1))) || null;
      // The address changed while this page was loading: it is no longer shown.
      if (generation !== shown) cleanup?.();
      else leave = cleanup;
    } catch (error) {
      if (generation === shown) main.textContent = 'This page could not be shown: ' + error.message;
    }
    return;
  }
  main.textContent = 'Unknown page.';
}

window.addEventListener('hashchange', show);
show();
