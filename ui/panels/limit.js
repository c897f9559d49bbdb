// The download speed limit at the foot of the check panel.
import { on, send } from '../bridge.js';
import { byId, isObject, num, setText } from '../dom.js';

function render(limit) {
  if (!isObject(limit)) return;
  const kibps = Math.max(0, Math.floor(num(limit.kibps)));
  setText('limit-status', kibps > 0 ? `Загрузка не быстрее ${kibps} КБ/с` : 'Без ограничения');
  const input = byId('limit-kibps');
  // What the player is typing stays theirs.
  if (document.activeElement !== input) input.value = kibps > 0 ? String(kibps) : '';
}

// An empty field lifts the limit; anything but a whole number is refused
// here, before the launcher sees it.
function apply(event) {
  event.preventDefault();
  const text = byId('limit-kibps').value.trim();
  if (text !== '' && !/^[0-9]{1,7}$/.test(text)) {
    setText('limit-status', 'Укажите целое число килобайт в секунду или оставьте поле пустым');
    return;
  }
  send('speed.limit', { kibps: text === '' ? '0' : String(Number(text)) });
}

export function mountLimit() {
  byId('limit-form').addEventListener('submit', apply);
  on('limit', render);
}
