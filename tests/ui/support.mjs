// What the page tests share: a static server for ui/, Chromium with a
// stand-in for the launcher's bridge, and the checks every screen must pass.
import { createServer } from 'node:http';
import { mkdirSync } from 'node:fs';
import { readFile } from 'node:fs/promises';
import { dirname, extname, join, normalize, resolve, sep } from 'node:path';
import { fileURLToPath } from 'node:url';
import { chromium } from 'playwright-core';

const here = dirname(fileURLToPath(import.meta.url));
export const uiFolder = resolve(here, '../../ui');
export const shotFolder = process.env.TARN_UI_SHOTS || resolve(here, '../../build/ui-tests');
export const WIDTH = 1000;
export const HEIGHT = 620;

const TYPES = { '.html': 'text/html', '.css': 'text/css', '.js': 'text/javascript' };

// Serves ui/ as it is, on a free loopback port; nothing outside the folder.
export async function startServer() {
  const server = createServer(async (req, res) => {
    const path = decodeURIComponent(new URL(req.url, 'http://x').pathname);
    const file = normalize(join(uiFolder, path === '/' ? 'index.html' : path));
    if (!file.startsWith(uiFolder + sep)) {
      res.writeHead(403).end();
      return;
    }
    try {
      const body = await readFile(file);
      res.writeHead(200, { 'Content-Type': TYPES[extname(file)] || 'application/octet-stream' }).end(body);
    } catch {
      res.writeHead(404).end();
    }
  });
  await new Promise((ok) => server.listen(0, '127.0.0.1', ok));
  const url = `http://127.0.0.1:${server.address().port}/`;
  return { url, close: () => new Promise((ok) => server.close(ok)) };
}

export async function launchBrowser() {
  return chromium.launch({ executablePath: process.env.TARN_CHROMIUM || '/usr/bin/chromium', headless: true });
}

// The launcher's bridge as the page sees it: Commands are recorded, Events
// are delivered as `message` events whose data is the parsed object. The
// listener count at the moment of "ui.ready" tells whether the page was
// listening before it announced itself.
function bridgeStandIn() {
  const target = new EventTarget();
  let listeners = 0;
  const tarn = { sent: [], listenersAtReady: [], violations: [] };
  tarn.deliver = (data) => target.dispatchEvent(new MessageEvent('message', { data }));
  window.__tarn = tarn;
  document.addEventListener('securitypolicyviolation', (e) => tarn.violations.push(e.violatedDirective));
  const webview = {
    postMessage(message) {
      tarn.sent.push(message);
      if (message === 'ui.ready') tarn.listenersAtReady.push(listeners);
    },
    addEventListener(type, listener, options) {
      if (type === 'message') listeners += 1;
      target.addEventListener(type, listener, options);
    },
    removeEventListener(type, listener, options) {
      if (type === 'message') listeners -= 1;
      target.removeEventListener(type, listener, options);
    },
  };
  if (typeof window.chrome !== 'object' || window.chrome === null) window.chrome = {};
  Object.defineProperty(window.chrome, 'webview', { value: webview });
}

// A fresh page at 1000 × 620 with the stand-in bridge. Every request that
// leaves the test server is refused and recorded, every script error kept.
export async function openPage(browser, url, { clock = false } = {}) {
  const context = await browser.newContext({ viewport: { width: WIDTH, height: HEIGHT }, deviceScaleFactor: 1 });
  context.setDefaultTimeout(5000);
  const page = await context.newPage();
  const errors = [];
  const foreign = [];
  page.on('pageerror', (e) => errors.push(String(e)));
  page.on('console', (m) => m.type() === 'error' && errors.push(m.text()));
  page.on('dialog', (d) => {
    errors.push(`dialog: ${d.message()}`);
    d.dismiss();
  });
  await context.route('**/*', (route) => {
    if (route.request().url().startsWith(url)) return route.continue();
    foreign.push(route.request().url());
    return route.abort();
  });
  if (clock) await page.clock.install();
  await page.addInitScript(bridgeStandIn);
  await page.goto(url + 'index.html');
  await page.waitForFunction(() => window.__tarn.sent.includes('ui.ready'));
  return {
    page,
    errors,
    foreign,
    close: () => context.close(),
    deliver: (...events) => page.evaluate((list) => list.forEach((e) => window.__tarn.deliver(e)), events),
    sent: () => page.evaluate(() => window.__tarn.sent.slice()),
    clearSent: () => page.evaluate(() => window.__tarn.sent.splice(0)),
  };
}

// Nothing may reach past the window: the document itself does not scroll,
// and every visible box lies inside the window, unless it sits in a panel
// that scrolls it (then the panel is checked, and it must not scroll
// sideways).
export async function overflowProblems(page) {
  return page.evaluate(
    ({ width, height }) => {
      const problems = [];
      const root = document.scrollingElement;
      if (root.scrollWidth > width || root.scrollHeight > height) {
        problems.push(`document ${root.scrollWidth}x${root.scrollHeight}`);
      }
      const describe = (e) => `${e.tagName.toLowerCase()}${e.id ? '#' + e.id : ''}.${e.className}`;
      for (const e of document.body.querySelectorAll('*')) {
        const box = e.getBoundingClientRect();
        if (box.width === 0 && box.height === 0) continue;
        const style = getComputedStyle(e);
        if (style.visibility === 'hidden') continue;
        if (/(auto|scroll)/.test(style.overflowX) && e.scrollWidth > e.clientWidth + 1) {
          problems.push(`${describe(e)} scrolls sideways (${e.scrollWidth} > ${e.clientWidth})`);
        }
        // A control cut off by a panel that does not scroll cannot be reached.
        if (e.matches('button, select, input')) {
          for (let a = e.parentElement; a && a !== document.body; a = a.parentElement) {
            const s = getComputedStyle(a);
            if (/(auto|scroll)/.test(s.overflowY + s.overflowX)) break;
            if (s.overflowY === 'visible' && s.overflowX === 'visible') continue;
            const outer = a.getBoundingClientRect();
            if (box.left < outer.left - 0.5 || box.top < outer.top - 0.5 || box.right > outer.right + 0.5 || box.bottom > outer.bottom + 0.5) {
              problems.push(`${describe(e)} is cut off by ${describe(a)}`);
            }
          }
        }
        let clipped = false;
        for (let a = e.parentElement; a && a !== document.body; a = a.parentElement) {
          const s = getComputedStyle(a);
          if (s.overflowY !== 'visible' || s.overflowX !== 'visible') {
            clipped = true;
            break;
          }
        }
        if (clipped) continue;
        if (box.left < -0.5 || box.top < -0.5 || box.right > width + 0.5 || box.bottom > height + 0.5) {
          problems.push(`${describe(e)} at ${Math.round(box.left)},${Math.round(box.top)}-${Math.round(box.right)},${Math.round(box.bottom)}`);
        }
      }
      return problems;
    },
    { width: WIDTH, height: HEIGHT },
  );
}

export async function shoot(page, name) {
  mkdirSync(shotFolder, { recursive: true });
  await page.screenshot({ path: join(shotFolder, `${name}.png`), animations: 'disabled' });
}

// A full picture of an installed client, as the launcher sends it at start.
export const readyEvents = [
  { install: install('готово', { path: '/home/player/Games/Тарн', totalBytes: 3435973837, doneBytes: 3435973837 }) },
  { epoch: { index: 2, label: '1.4.0 · Излом', next: '', days: 35, cycle: 61, build: 3, remote: 3 } },
  {
    news: [
      { date: '2026-12-01', tag: 'Обновление', title: 'Эпоха «Излом» открыта', text: 'Новые земли, новые пути.' },
      { date: '2026-11-20', tag: 'Событие', title: 'Зимняя ярмарка', text: 'С 20 по 27 декабря торгуют купцы.' },
    ],
  },
  {
    accounts: [
      { login: 'demo', chars: [{ name: 'Арвен', class: 'Лучница', level: 42 }, { name: 'Торин', class: 'Воин', level: 17 }] },
      { login: 'тестер', chars: [{ name: 'Ёжик в тумане', class: 'Жрец', level: 1 }] },
      { login: 'novice', chars: [] },
    ],
  },
  { env: { clientDir: '/home/player/Games/Тарн', server: '127.0.0.1:8090', launcher: '1.0' } },
  { update: { available: false, local: 3, remote: 3 } },
  { progress: { status: 'Клиент актуален', percent: 100, ready: true } },
];

// The install Event with every key the launcher always sends.
export function install(stage, fields = {}) {
  const idle = { path: '', file: '', error: '', totalBytes: 0, doneBytes: 0, freeBytes: 0, totalFiles: 0, doneFiles: 0 };
  return { stage, ...idle, speed: 0, eta: -1, version: -1, ...fields };
}
