// The player's page: it turns the launcher's Events into screens and the
// player's clicks into Commands. Everything that comes from outside (news,
// logins, characters, paths, messages) is put on the page as text only.
import { formatEta, formatSize, formatSpeed, percentOf, plural } from './format.js';

const webview = window.chrome && window.chrome.webview;
const $ = (id) => document.getElementById(id);

function send(name, payload) {
  if (!webview) return;
  webview.postMessage(payload === undefined ? name : `${name}\n${JSON.stringify(payload)}`);
}

function str(value) {
  if (typeof value === 'string') return value;
  if (typeof value === 'number' || typeof value === 'boolean') return String(value);
  return '';
}

function num(value, fallback = 0) {
  const n = Number(value);
  return Number.isFinite(n) ? n : fallback;
}

function el(tag, className, content) {
  const node = document.createElement(tag);
  if (className) node.className = className;
  if (content !== undefined) node.textContent = content;
  return node;
}

function setText(id, value) {
  $(id).textContent = value;
}

function setBar(id, percent) {
  $(id).style.width = `${Math.max(0, Math.min(100, percent))}%`;
}

const has = (object, key) => Object.prototype.hasOwnProperty.call(object, key);

// ---- screens -------------------------------------------------------------

const SCREENS = ['home', 'acc', 'client'];

function showScreen(name) {
  if (!SCREENS.includes(name)) return;
  for (const screen of SCREENS) $(`screen-${screen}`).hidden = screen !== name;
  for (const tab of document.querySelectorAll('.tab')) {
    if (tab.dataset.screen === name) tab.setAttribute('aria-current', 'page');
    else tab.removeAttribute('aria-current');
  }
}

// ---- news ----------------------------------------------------------------

function renderNews(news) {
  const items = Array.isArray(news) ? news : [];
  const list = $('news-list');
  list.replaceChildren();
  for (const item of items) {
    if (!item || typeof item !== 'object') continue;
    const article = el('article', 'news-item');
    const meta = el('div', 'meta');
    if (str(item.date)) meta.append(el('span', 'date', str(item.date)));
    if (str(item.tag)) meta.append(el('span', 'tag', str(item.tag)));
    if (meta.childNodes.length) article.append(meta);
    if (str(item.title)) article.append(el('h3', '', str(item.title)));
    if (str(item.text)) article.append(el('p', '', str(item.text)));
    list.append(article);
  }
  list.hidden = list.childNodes.length === 0;
  $('news-empty').hidden = !list.hidden;
}

// ---- accounts and play ---------------------------------------------------

let accounts = [];
let stage = 'неизвестно';

function character(entry) {
  if (typeof entry === 'string') return { name: entry, details: '' };
  if (!entry || typeof entry !== 'object') return null;
  const details = [];
  if (str(entry.class)) details.push(str(entry.class));
  if (str(entry.level)) details.push(`ур. ${str(entry.level)}`);
  return { name: str(entry.name), details: details.join(', ') };
}

function renderAccounts(list) {
  accounts = (Array.isArray(list) ? list : [])
    .filter((a) => a && typeof a === 'object')
    .map((a) => ({
      login: str(a.login),
      chars: (Array.isArray(a.chars) ? a.chars : []).map(character).filter((c) => c && c.name),
    }));

  const box = $('acc-list');
  box.replaceChildren();
  for (const account of accounts) {
    const row = el('div', 'account');
    const head = el('div', 'account-head');
    head.append(el('span', 'login', account.login));
    const cabinet = el('button', 'small-btn', 'Кабинет');
    cabinet.type = 'button';
    cabinet.title = 'Открыть личный кабинет в браузере';
    cabinet.addEventListener('click', () => send('cabinet.open', { login: account.login }));
    const remove = el('button', 'small-btn danger', 'Удалить');
    remove.type = 'button';
    // A stray click must not cost the player a stored password: the first
    // click only asks, the second within a few seconds removes.
    remove.addEventListener('click', () => {
      if (remove.dataset.armed) {
        send('account.remove', { login: account.login });
        return;
      }
      remove.dataset.armed = '1';
      remove.textContent = 'Точно удалить?';
      setTimeout(() => {
        delete remove.dataset.armed;
        remove.textContent = 'Удалить';
      }, 3000);
    });
    head.append(cabinet, remove);
    row.append(head);
    if (account.chars.length === 0) {
      row.append(el('p', 'muted small', 'Персонажей нет, или сервер не подтвердил аккаунт.'));
    } else {
      const chars = el('ul', 'chars');
      for (const c of account.chars) {
        const item = el('li', '', c.name);
        if (c.details) item.append(el('span', 'muted', ` · ${c.details}`));
        chars.append(item);
      }
      row.append(chars);
    }
    box.append(row);
  }
  $('acc-empty').hidden = accounts.length > 0;
  fillAccountChoice();
}

function option(value, label) {
  const node = el('option', '', label);
  node.value = value;
  return node;
}

function fillAccountChoice() {
  const select = $('play-account');
  const previous = select.selectedIndex >= 0 ? select.options[select.selectedIndex].dataset.login : undefined;
  select.replaceChildren();
  if (accounts.length === 0) {
    select.append(option('', 'нет аккаунтов — добавьте на вкладке «Аккаунты»'));
  }
  accounts.forEach((account, index) => {
    const node = option(String(index), account.login);
    node.dataset.login = account.login;
    select.append(node);
  });
  const keep = accounts.findIndex((a) => a.login === previous);
  select.selectedIndex = keep >= 0 ? keep : 0;
  fillCharacterChoice();
}

function chosenAccount() {
  const index = Number.parseInt($('play-account').value, 10);
  return Number.isInteger(index) ? accounts[index] : undefined;
}

function fillCharacterChoice() {
  const select = $('play-char');
  const previous = select.value;
  select.replaceChildren();
  const account = chosenAccount();
  const chars = account ? account.chars : [];
  if (chars.length === 0) select.append(option('', 'без выбора персонажа'));
  for (const c of chars) select.append(option(c.name, c.details ? `${c.name} (${c.details})` : c.name));
  if (chars.some((c) => c.name === previous)) select.value = previous;
  else select.selectedIndex = 0;
}

function launchGame() {
  if (stage !== 'готово') return;
  const account = chosenAccount();
  send('game.launch', { login: account ? account.login : '', character: $('play-char').value });
}

function addAccount(event) {
  event.preventDefault();
  const login = $('acc-login').value;
  const password = $('acc-password').value;
  if (!login) {
    $('acc-login').focus();
    return;
  }
  if (!password) {
    $('acc-password').focus();
    return;
  }
  send('account.add', { login, password });
  setAdding(true);
}

// The check takes a round trip to the account service; until its toast
// arrives the button says so, and a second click cannot send the same
// account again. A lost answer frees the button after a while.
let addingTimer = 0;
function setAdding(busy) {
  const button = $('acc-add');
  button.disabled = busy;
  button.textContent = busy ? 'Проверяю…' : 'Добавить';
  clearTimeout(addingTimer);
  if (busy) addingTimer = setTimeout(() => setAdding(false), 20000);
}

// ---- toasts --------------------------------------------------------------

function showToast(toast) {
  if (!toast || typeof toast !== 'object' || !str(toast.text)) return;
  const box = $('toasts');
  const kind = toast.kind === 'error' ? 'error' : 'ok';
  const node = el('div', `toast ${kind}`, str(toast.text));
  node.setAttribute('role', kind === 'error' ? 'alert' : 'status');
  const dismiss = () => node.remove();
  node.addEventListener('click', dismiss);
  setTimeout(dismiss, kind === 'error' ? 6000 : 4000);
  box.append(node);
  while (box.childElementCount > 3) box.firstElementChild.remove();
  setAdding(false);
  if (kind === 'ok') {
    $('acc-login').value = '';
    $('acc-password').value = '';
  }
}

// ---- install -------------------------------------------------------------

const STAGE_SECTIONS = ['st-wait', 'st-offer', 'st-check', 'st-run', 'st-error', 'st-play'];

function sectionFor(word) {
  switch (word) {
    case 'нет':
    case 'продолжить':
      return 'st-offer';
    case 'проверяю':
      return 'st-check';
    case 'идёт':
    case 'пауза':
      return 'st-run';
    case 'ошибка':
      return 'st-error';
    case 'готово':
      return 'st-play';
    default:
      return 'st-wait';
  }
}

function sizeOrUnknown(bytes) {
  return num(bytes) > 0 ? formatSize(bytes) : 'неизвестно';
}

function renderInstall(install) {
  if (!install || typeof install !== 'object') return;
  const word = str(install.stage);
  const total = num(install.totalBytes);
  const done = num(install.doneBytes);
  const totalFiles = num(install.totalFiles);
  const doneFiles = num(install.doneFiles);
  const path = str(install.path);
  stage = word;

  const section = sectionFor(word);
  const panel = $('install');
  const focusWasHere = panel.contains(document.activeElement);
  for (const id of STAGE_SECTIONS) $(id).hidden = id !== section;

  if (section === 'st-wait') {
    setText('wait-title', word === 'готовлюсь' ? 'Подготовка' : 'Подождите');
    setText('wait-text', word === 'готовлюсь' ? 'Получаю список файлов игры с сервера…' : 'Узнаю, что с игрой…');
  } else if (section === 'st-offer') {
    const resume = word === 'продолжить';
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
    $('install-begin').hidden = resume;
    $('install-resume').hidden = !resume;
  } else if (section === 'st-check') {
    setBar('check-bar', percentOf(doneFiles, totalFiles));
    setText('check-count', `${doneFiles} из ${totalFiles} ${plural(totalFiles, 'файла', 'файлов', 'файлов')}`);
    setText('check-path', path);
  } else if (section === 'st-run') {
    const paused = word === 'пауза';
    const percent = total > 0 ? percentOf(done, total) : percentOf(doneFiles, totalFiles);
    setText('run-title', paused ? 'Установка на паузе' : 'Установка');
    $('run-bar').parentElement.classList.toggle('paused', paused);
    setBar('run-bar', percent);
    setText('run-bytes', total > 0 ? `${formatSize(done)} из ${formatSize(total)}` : formatSize(done));
    setText('run-percent', `${percent}%`);
    const speed = num(install.speed);
    setText('run-speed', paused ? '—' : speed > 0 ? formatSpeed(speed) : 'измеряю…');
    const eta = formatEta(num(install.eta, -1));
    setText('run-eta', paused ? '—' : eta === null ? 'неизвестно' : eta);
    setText('run-files', `${doneFiles} из ${totalFiles}`);
    setText('run-file', str(install.file) || '—');
    $('install-pause').hidden = paused;
    $('install-continue').hidden = !paused;
  } else if (section === 'st-error') {
    setText('error-text', str(install.error) || 'Причина неизвестна.');
  }
  updatePlayButton();

  // A button the player just pressed may have gone with its stage; keyboard
  // focus then moves to the first button of the new one instead of the page.
  if (focusWasHere && !panel.contains(document.activeElement)) {
    const next = [...$(section).querySelectorAll('button, select')].find((b) => !b.hidden && !b.disabled);
    if (next) next.focus();
  }
}

function updatePlayButton() {
  $('play').disabled = stage !== 'готово';
}

// ---- client --------------------------------------------------------------

function renderEpoch(epoch) {
  if (!epoch || typeof epoch !== 'object') return;
  const label = str(epoch.label) || '—';
  const build = num(epoch.build, -1);
  const remote = num(epoch.remote, -1);
  const days = num(epoch.days);
  const cycle = num(epoch.cycle);
  setText('epoch-label', label);
  setText('epoch-build', build >= 0 ? String(build) : 'не определена');
  setText('epoch-remote', remote >= 0 ? String(remote) : 'сервер недоступен');
  setText('epoch-next', str(epoch.next) || '—');
  setBar('epoch-bar', percentOf(days, cycle));
  setText('epoch-days', cycle > 0 ? `День ${days} из ${cycle}` : '');
  setText('play-epoch', `Клиент: ${label}`);
  setText('foot-epoch', `Эпоха: ${label}`);
}

function renderEnv(env) {
  if (!env || typeof env !== 'object') return;
  setText('env-dir', str(env.clientDir) || '—');
  setText('env-server', str(env.server) || '—');
  setText('env-launcher', str(env.launcher) || '—');
}

function renderLimit(limit) {
  if (!limit || typeof limit !== 'object') return;
  const kibps = Math.max(0, Math.floor(num(limit.kibps)));
  setText('limit-status', kibps > 0 ? `Загрузка не быстрее ${kibps} КБ/с` : 'Без ограничения');
  const input = $('limit-kibps');
  // What the player is typing stays theirs.
  if (document.activeElement !== input) input.value = kibps > 0 ? String(kibps) : '';
}

// An empty field lifts the limit; anything but a whole number is refused
// here, before the launcher sees it.
function applyLimit(event) {
  event.preventDefault();
  const text = $('limit-kibps').value.trim();
  if (text !== '' && !/^[0-9]{1,7}$/.test(text)) {
    setText('limit-status', 'Укажите целое число килобайт в секунду или оставьте поле пустым');
    return;
  }
  send('speed.limit', { kibps: text === '' ? '0' : String(Number(text)) });
}

function renderProgress(progress) {
  if (!progress || typeof progress !== 'object') return;
  const status = str(progress.status);
  const ready = progress.ready === true;
  setBar('progress-bar', num(progress.percent));
  for (const id of ['progress-status', 'play-status']) {
    const node = $(id);
    node.textContent = status;
    node.classList.toggle('ready', ready);
    node.classList.remove('muted', 'hint');
  }
}

const ROW_STATES = ['run', 'ok', 'bad'];

function renderVerify(rows) {
  // The first rows of a run replace the hint on how to start one.
  const status = $('progress-status');
  if (status.classList.contains('hint')) {
    status.classList.remove('hint');
    status.textContent = '';
  }
  const list = $('verify-rows');
  list.replaceChildren();
  for (const row of Array.isArray(rows) ? rows : []) {
    if (!row || typeof row !== 'object') continue;
    const state = ROW_STATES.includes(row.state) ? row.state : 'run';
    const item = el('li', `row ${state}`);
    item.append(el('span', 'mark'), el('span', 'label', str(row.label)), el('span', 'value', str(row.text)));
    list.append(item);
  }
  list.scrollTop = list.scrollHeight;
}

function renderUpdate(update) {
  if (!update || typeof update !== 'object') return;
  const available = update.available === true;
  const note = $('update-note');
  note.hidden = !available;
  note.textContent = available ? 'Доступно обновление клиента — нажмите «Обновить».' : '';
  $('client-update').classList.toggle('primary', available);
  $('play-update').hidden = !available;
}

// ---- events --------------------------------------------------------------

const RENDERERS = [
  ['news', renderNews],
  ['accounts', renderAccounts],
  ['install', renderInstall],
  ['epoch', renderEpoch],
  ['env', renderEnv],
  ['limit', renderLimit],
  ['progress', renderProgress],
  ['verify', renderVerify],
  ['update', renderUpdate],
  ['screen', (name) => showScreen(str(name))],
  ['toast', showToast],
];

function onEvent(data) {
  if (!data || typeof data !== 'object') return;
  for (const [key, render] of RENDERERS) {
    if (!has(data, key)) continue;
    try {
      render(data[key]);
    } catch (error) {
      // One malformed Event must not take the rest of the page with it.
      console.error(key, error);
    }
  }
}

// ---- wiring --------------------------------------------------------------

function onClick(id, handler) {
  $(id).addEventListener('click', handler);
}

$('titlebar').addEventListener('mousedown', (event) => {
  if (event.button === 0 && !event.target.closest('button')) send('window.drag');
});
onClick('minimize', () => send('window.minimize'));
onClick('close', () => send('window.close'));
for (const tab of document.querySelectorAll('.tab')) {
  tab.addEventListener('click', () => showScreen(tab.dataset.screen));
}
for (const link of document.querySelectorAll('.link')) {
  link.addEventListener('click', () => send('link.open', { name: link.dataset.link }));
}

onClick('install-begin', () => send('install.begin'));
onClick('install-folder', () => send('install.folder'));
for (const id of ['install-resume', 'install-continue', 'install-retry']) onClick(id, () => send('install.resume'));
onClick('install-pause', () => send('install.pause'));
onClick('install-stop', () => send('install.stop'));

onClick('play', launchGame);
$('play-account').addEventListener('change', fillCharacterChoice);
onClick('goto-client', () => showScreen('client'));

onClick('accounts-refresh', () => send('accounts.refresh'));
$('acc-form').addEventListener('submit', addAccount);

onClick('client-verify', () => send('client.verify'));
onClick('client-update', () => send('client.update'));
onClick('open-clientdir', () => send('open.clientdir'));
onClick('open-log', () => send('open.log'));
$('limit-form').addEventListener('submit', applyLimit);

fillAccountChoice();
updatePlayButton();

if (webview) {
  webview.addEventListener('message', (event) => onEvent(event.data));
  send('ui.ready');
}
