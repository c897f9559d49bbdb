// The client screen's epoch panel: the installed build, the server's, and
// how far the current epoch has run.
import { on } from '../bridge.js';
import { byId, isObject, num, setBar, setText, str } from '../dom.js';
import { percentOf } from '../format.js';
import { epochLabel } from '../records.js';

function render(epoch) {
  if (!isObject(epoch)) return;
  const build = num(epoch.build, -1);
  const remote = num(epoch.remote, -1);
  const days = num(epoch.days);
  const cycle = num(epoch.cycle);
  setText('epoch-label', epochLabel(epoch));
  setText('epoch-build', build >= 0 ? String(build) : 'не определена');
  setText('epoch-remote', remote >= 0 ? String(remote) : 'сервер недоступен');
  setText('epoch-next', str(epoch.next) || '—');
  setBar(byId('epoch-bar'), percentOf(days, cycle));
  setText('epoch-days', cycle > 0 ? `День ${days} из ${cycle}` : '');
}

export function mountEpoch() {
  on('epoch', render);
}
