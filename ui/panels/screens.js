// The three screens and their tabs; the launcher may ask for one too.
import { on } from '../bridge.js';
import { byId, str } from '../dom.js';

const SCREENS = ['home', 'acc', 'client'];

export function showScreen(name) {
  if (!SCREENS.includes(name)) return;
  for (const screen of SCREENS) byId(`screen-${screen}`).hidden = screen !== name;
  for (const tab of document.querySelectorAll('.tab')) {
    if (tab.dataset.screen === name) tab.setAttribute('aria-current', 'page');
    else tab.removeAttribute('aria-current');
  }
}

export function mountScreens() {
  for (const tab of document.querySelectorAll('.tab')) {
    tab.addEventListener('click', () => showScreen(tab.dataset.screen));
  }
  on('screen', (name) => showScreen(str(name)));
}
