// The foot of the window: the operator's fixed links and the epoch's name.
import { on, send } from '../bridge.js';
import { isObject, setText } from '../dom.js';
import { epochLabel } from '../records.js';

export function mountFooter() {
  for (const link of document.querySelectorAll('.link')) {
    link.addEventListener('click', () => send('link.open', { name: link.dataset.link }));
  }
  on('epoch', (epoch) => {
    if (isObject(epoch)) setText('foot-epoch', `Эпоха: ${epochLabel(epoch)}`);
  });
}
