// The ready stage of the install panel: which account and character to
// start the game with, the play button and what the last start said.
import { on, send } from '../bridge.js';
import { byId, isObject, onClick, option, setText, str } from '../dom.js';
import { epochLabel, readAccounts } from '../records.js';
import { STAGE } from '../stages.js';
import { showScreen } from './screens.js';

let accounts = [];
let stage = STAGE.unknown;

function chosenAccount() {
  const index = Number.parseInt(byId('play-account').value, 10);
  return Number.isInteger(index) ? accounts[index] : undefined;
}

function fillCharacterChoice() {
  const select = byId('play-char');
  const previous = select.value;
  select.replaceChildren();
  const account = chosenAccount();
  const chars = account ? account.chars : [];
  if (chars.length === 0) select.append(option('', 'без выбора персонажа'));
  for (const c of chars) select.append(option(c.name, c.details ? `${c.name} (${c.details})` : c.name));
  if (chars.some((c) => c.name === previous)) select.value = previous;
  else select.selectedIndex = 0;
}

// The chosen login stays chosen when the list comes again.
function fillAccountChoice() {
  const select = byId('play-account');
  const previous = select.selectedIndex >= 0 ? select.options[select.selectedIndex].dataset.login : undefined;
  select.replaceChildren();
  if (accounts.length === 0) {
    select.append(option('', 'добавьте аккаунт в «Аккаунтах»'));
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

function updatePlayButton() {
  byId('play').disabled = stage !== STAGE.ready;
}

function launchGame() {
  if (stage !== STAGE.ready) return;
  const account = chosenAccount();
  send('game.launch', { login: account ? account.login : '', character: byId('play-char').value });
}

function renderProgress(progress) {
  if (!isObject(progress)) return;
  const node = byId('play-status');
  node.textContent = str(progress.status);
  node.classList.toggle('ready', progress.ready === true);
  node.classList.remove('muted', 'hint');
}

export function mountPlay() {
  onClick(byId('play'), launchGame);
  byId('play-account').addEventListener('change', fillCharacterChoice);
  onClick(byId('goto-client'), () => showScreen('client'));
  on('accounts', (list) => {
    accounts = readAccounts(list);
    fillAccountChoice();
  });
  on('install', (install) => {
    if (!isObject(install)) return;
    stage = str(install.stage);
    updatePlayButton();
  });
  on('epoch', (epoch) => {
    if (isObject(epoch)) setText('play-epoch', `Клиент: ${epochLabel(epoch)}`);
  });
  on('progress', renderProgress);
  on('update', (update) => {
    if (isObject(update)) byId('play-update').hidden = update.available !== true;
  });
  fillAccountChoice();
  updatePlayButton();
}
