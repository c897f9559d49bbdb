// The accounts screen: the stored accounts with their characters, and the
// form that adds one after the account service has checked it.
import { on, send } from '../bridge.js';
import { byId, el, isObject, onClick, str } from '../dom.js';
import { readAccounts } from '../records.js';

function removeButton(login) {
  const remove = el('button', 'small-btn danger', 'Удалить');
  remove.type = 'button';
  // A stray click must not cost the player a stored password: the first
  // click only asks, the second within a few seconds removes.
  remove.addEventListener('click', () => {
    if (remove.dataset.armed) {
      send('account.remove', { login });
      return;
    }
    remove.dataset.armed = '1';
    remove.textContent = 'Точно удалить?';
    setTimeout(() => {
      delete remove.dataset.armed;
      remove.textContent = 'Удалить';
    }, 3000);
  });
  return remove;
}

function render(list) {
  const accounts = readAccounts(list);
  const box = byId('acc-list');
  box.replaceChildren();
  for (const account of accounts) {
    const row = el('div', 'account');
    const head = el('div', 'account-head');
    head.append(el('span', 'login', account.login));
    const cabinet = el('button', 'small-btn', 'Кабинет');
    cabinet.type = 'button';
    cabinet.title = 'Открыть личный кабинет в браузере';
    cabinet.addEventListener('click', () => send('cabinet.open', { login: account.login }));
    head.append(cabinet, removeButton(account.login));
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
  byId('acc-empty').hidden = accounts.length > 0;
}

// The check takes a round trip to the account service; until its answer
// arrives the button says so, and a second click cannot send the same
// account again. A lost answer frees the button after a while.
let adding = false;
let addingTimer = 0;
function setAdding(busy) {
  const button = byId('acc-add');
  adding = busy;
  button.disabled = busy;
  button.textContent = busy ? 'Проверяю…' : 'Добавить';
  clearTimeout(addingTimer);
  if (busy) addingTimer = setTimeout(() => setAdding(false), 20000);
}

function addAccount(event) {
  event.preventDefault();
  const login = byId('acc-login');
  const password = byId('acc-password');
  if (!login.value) {
    login.focus();
    return;
  }
  if (!password.value) {
    password.focus();
    return;
  }
  send('account.add', { login: login.value, password: password.value });
  setAdding(true);
}

// The launcher answers an add with a success or an error toast. Any other
// toast (a wait the service asked for, say) is no answer: it must neither
// free the button nor take away what the player is typing.
function onToast(toast) {
  if (!adding || !isObject(toast) || !str(toast.text) || (toast.kind !== 'ok' && toast.kind !== 'error')) return;
  setAdding(false);
  if (toast.kind === 'ok') {
    byId('acc-login').value = '';
    byId('acc-password').value = '';
  }
}

export function mountAccounts() {
  onClick(byId('accounts-refresh'), () => send('accounts.refresh'));
  byId('acc-form').addEventListener('submit', addAccount);
  on('accounts', render);
  on('toast', onToast);
}
