// The offer of a newer launcher: never forced, the player decides. A
// packaged launcher is only told how to get it; a launcher that replaces
// itself shows its download and, if it failed, why, and may be asked again.
// A bare offer waits while an install, update or move runs: the launcher
// would turn it down then, and the player is watching that job.
import { on, send } from '../bridge.js';
import { byId, isObject, num, onClick, setText, str } from '../dom.js';
import { STAGE } from '../stages.js';

const busy = { install: false, update: false, move: false };
let waiting = false;  // the shown text is a bare offer, not a download or its end

function place() {
  if (!waiting) return;
  byId('launcher-offer').hidden = Object.values(busy).some(Boolean);
}

function setBusy(job, running) {
  busy[job] = running;
  place();
}

function render(offer) {
  if (!isObject(offer)) return;
  const box = byId('launcher-offer');
  const button = byId('launcher-offer-update');
  const version = str(offer.version);
  const failed = str(offer.failed);
  waiting = false;
  if (failed) {
    setText('launcher-offer-text', `Лаунчер не обновлён: ${failed}`);
    button.hidden = false;
    button.disabled = false;
  } else if (offer.done === true) {
    setText('launcher-offer-text', `Лаунчер ${version} установлен — следующий запуск будет с ним`);
    button.hidden = true;
  } else if (offer.percent !== undefined) {
    setText('launcher-offer-text', `Загружаю лаунчер ${version} — ${Math.floor(num(offer.percent))}%`);
    button.hidden = false;
    button.disabled = true;
  } else if (str(offer.package)) {
    setText('launcher-offer-text',
      `Доступна новая версия лаунчера ${version} — обновите пакет ${str(offer.package)} через менеджер пакетов`);
    button.hidden = true;
    waiting = true;
  } else if (version) {
    setText('launcher-offer-text', `Доступна новая версия лаунчера ${version} —`);
    button.hidden = false;
    button.disabled = false;
    waiting = true;
  } else {
    return;
  }
  box.hidden = false;
  place();
}

export function mountLauncherOffer() {
  onClick(byId('launcher-offer-update'), () => send('launcher.update'));
  on('launcherUpdate', render);
  on('install', (install) => {
    if (isObject(install)) setBusy('install', [STAGE.checking, STAGE.running, STAGE.paused].includes(str(install.stage)));
  });
  on('updateRun', (run) => {
    if (isObject(run)) setBusy('update', str(run.state) !== '');
  });
  on('move', (move) => {
    if (isObject(move)) setBusy('move', move.running === true);
  });
}
