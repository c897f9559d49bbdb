// The install panel on the home screen: one part per stage of the install,
// with its figures and buttons. The ready stage's part is the play panel's
// to fill; this panel only decides which part shows.
import { on, send } from '../bridge.js';
import { byId, isObject, num, onClick, setBar, setText, str } from '../dom.js';
import { formatEta, formatSize, formatSpeed, percentOf, plural } from '../format.js';
import { sectionFor, STAGE } from '../stages.js';

const SECTIONS = ['wait', 'offer', 'check', 'run', 'error', 'play'];

function sizeOrUnknown(bytes) {
  return num(bytes) > 0 ? formatSize(bytes) : 'неизвестно';
}

function renderWait(word) {
  const preparing = word === STAGE.preparing;
  setText('wait-title', preparing ? 'Подготовка' : 'Подождите');
  setText('wait-text', preparing ? 'Получаю список файлов игры с сервера…' : 'Узнаю, что с игрой…');
}

function renderOffer(word, install, path, total) {
  const resume = word === STAGE.interrupted;
  setText('offer-title', resume ? 'Установка прервана' : 'Игра не установлена');
  setText(
    'offer-text',
    resume
      ? 'Уже скачанное сохранено — установку можно продолжить с того же места.'
      : path
        ? 'Игра встанет в эту папку. Другую можно выбрать кнопкой «Изменить папку».'
        : 'Папка ещё не выбрана — «Установить» спросит, куда ставить игру.',
  );
  setText('offer-path', path || 'не выбрана');
  setText('offer-size', sizeOrUnknown(total));
  setText('offer-free', sizeOrUnknown(install.freeBytes));
  byId('install-begin').hidden = resume;
  byId('install-resume').hidden = !resume;
}

function renderCheck(path, doneFiles, totalFiles) {
  setBar(byId('check-bar'), percentOf(doneFiles, totalFiles));
  setText('check-count', `${doneFiles} из ${totalFiles} ${plural(totalFiles, 'файла', 'файлов', 'файлов')}`);
  setText('check-path', path);
}

function renderRun(word, install, total, done, totalFiles, doneFiles) {
  const paused = word === STAGE.paused;
  const percent = total > 0 ? percentOf(done, total) : percentOf(doneFiles, totalFiles);
  const bar = byId('run-bar');
  setText('run-title', paused ? 'Установка на паузе' : 'Установка');
  bar.parentElement.classList.toggle('paused', paused);
  setBar(bar, percent);
  setText('run-bytes', total > 0 ? `${formatSize(done)} из ${formatSize(total)}` : formatSize(done));
  setText('run-percent', `${percent}%`);
  const speed = num(install.speed);
  setText('run-speed', paused ? '—' : speed > 0 ? formatSpeed(speed) : 'измеряю…');
  const eta = formatEta(num(install.eta, -1));
  setText('run-eta', paused ? '—' : eta === null ? 'неизвестно' : eta);
  setText('run-files', `${doneFiles} из ${totalFiles}`);
  setText('run-file', str(install.file) || '—');
  byId('install-pause').hidden = paused;
  byId('install-continue').hidden = !paused;
}

// A failure another folder may cure (no room, no right to write, a name the
// system forbids) offers one beside the retry.
function renderError(install) {
  setText('error-text', str(install.error) || 'Причина неизвестна.');
  byId('install-refolder').hidden = install.folderError !== true;
}

function render(install) {
  if (!isObject(install)) return;
  const word = str(install.stage);
  const total = num(install.totalBytes);
  const done = num(install.doneBytes);
  const totalFiles = num(install.totalFiles);
  const doneFiles = num(install.doneFiles);
  const path = str(install.path);

  const section = sectionFor(word);
  const panel = byId('install');
  const focusWasHere = panel.contains(document.activeElement);
  for (const name of SECTIONS) byId(`st-${name}`).hidden = name !== section;

  if (section === 'wait') renderWait(word);
  else if (section === 'offer') renderOffer(word, install, path, total);
  else if (section === 'check') renderCheck(path, doneFiles, totalFiles);
  else if (section === 'run') renderRun(word, install, total, done, totalFiles, doneFiles);
  else if (section === 'error') renderError(install);

  // A button the player just pressed may have gone with its stage; keyboard
  // focus then moves to the first control of the new one instead of the page.
  if (focusWasHere && !panel.contains(document.activeElement)) {
    const next = [...byId(`st-${section}`).querySelectorAll('button, select')].find((b) => !b.hidden && !b.disabled);
    if (next) next.focus();
  }
}

export function mountInstall() {
  onClick(byId('install-begin'), () => send('install.begin'));
  onClick(byId('install-folder'), () => send('install.folder'));
  onClick(byId('install-resume'), () => send('install.resume'));
  onClick(byId('install-continue'), () => send('install.resume'));
  onClick(byId('install-retry'), () => send('install.resume'));
  onClick(byId('install-refolder'), () => send('install.folder'));
  onClick(byId('install-pause'), () => send('install.pause'));
  onClick(byId('install-stop'), () => send('install.stop'));
  on('install', render);
}
