// Short messages in the corner that go by themselves; a click dismisses one
// sooner. Only the newest three are kept.
import { on } from '../bridge.js';
import { byId, el, isObject, str } from '../dom.js';

function show(toast) {
  if (!isObject(toast) || !str(toast.text)) return;
  const box = byId('toasts');
  const kind = toast.kind === 'error' ? 'error' : 'ok';
  const node = el('div', `toast ${kind}`, str(toast.text));
  node.setAttribute('role', kind === 'error' ? 'alert' : 'status');
  const dismiss = () => node.remove();
  node.addEventListener('click', dismiss);
  setTimeout(dismiss, kind === 'error' ? 6000 : 4000);
  box.append(node);
  while (box.childElementCount > 3) box.firstElementChild.remove();
}

export function mountToasts() {
  on('toast', show);
}
