// The client screen's check panel: verify and update, their progress and
// status rows, and whether the server has a newer client.
import { on, send } from '../bridge.js';
import { byId, el, isObject, num, onClick, setBar, str } from '../dom.js';

const ROW_STATES = ['run', 'ok', 'bad'];

function renderProgress(progress) {
  if (!isObject(progress)) return;
  const status = byId('progress-status');
  setBar(byId('progress-bar'), num(progress.percent));
  status.textContent = str(progress.status);
  status.classList.toggle('ready', progress.ready === true);
  status.classList.remove('muted', 'hint');
}

function renderVerify(rows) {
  // The first rows of a run replace the hint on how to start one.
  const status = byId('progress-status');
  if (status.classList.contains('hint')) {
    status.classList.remove('hint');
    status.textContent = '';
  }
  const list = byId('verify-rows');
  list.replaceChildren();
  for (const row of Array.isArray(rows) ? rows : []) {
    if (!isObject(row)) continue;
    const state = ROW_STATES.includes(row.state) ? row.state : 'run';
    const item = el('li', `row ${state}`);
    item.append(el('span', 'mark'), el('span', 'label', str(row.label)), el('span', 'value', str(row.text)));
    list.append(item);
  }
  list.scrollTop = list.scrollHeight;
}

function renderUpdate(update) {
  if (!isObject(update)) return;
  const available = update.available === true;
  const note = byId('update-note');
  note.hidden = !available;
  note.textContent = available ? 'Доступно обновление клиента — нажмите «Обновить».' : '';
  byId('client-update').classList.toggle('primary', available);
}

// The update's own controls while its downloads run or wait; none once
// they are over.
// A check or a second update while one runs would only be turned away or
// read half-written files, so their buttons make room for these.
function renderUpdateRun(run) {
  if (!isObject(run)) return;
  const state = str(run.state);
  const running = state === 'идёт' || state === 'пауза';
  byId('client-pause').hidden = state !== 'идёт';
  byId('client-continue').hidden = state !== 'пауза';
  byId('client-stop').hidden = !running;
  byId('client-verify').hidden = running;
  byId('client-update').hidden = running;
  byId('progress-bar').parentElement.classList.toggle('paused', state === 'пауза');
}

export function mountChecks() {
  onClick(byId('client-verify'), () => send('client.verify'));
  onClick(byId('client-update'), () => send('client.update'));
  onClick(byId('client-pause'), () => send('client.pause'));
  onClick(byId('client-continue'), () => send('client.resume'));
  onClick(byId('client-stop'), () => send('client.stop'));
  on('progress', renderProgress);
  on('verify', renderVerify);
  on('update', renderUpdate);
  on('updateRun', renderUpdateRun);
}
