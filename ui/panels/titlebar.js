// The window's own title bar: the page is the whole window, so dragging
// and the window buttons are asked of the launcher.
import { send } from '../bridge.js';
import { byId, onClick } from '../dom.js';

export function mountTitlebar() {
  byId('titlebar').addEventListener('mousedown', (event) => {
    if (event.button === 0 && !event.target.closest('button')) send('window.drag');
  });
  onClick(byId('minimize'), () => send('window.minimize'));
  onClick(byId('close'), () => send('window.close'));
}
