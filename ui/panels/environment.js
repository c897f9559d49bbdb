// The client screen's environment panel: where the game is, which server,
// which launcher; and the buttons that open the game folder and the log.
import { on, send } from '../bridge.js';
import { byId, isObject, onClick, setText, str } from '../dom.js';

function render(env) {
  if (!isObject(env)) return;
  setText('env-dir', str(env.clientDir) || '—');
  setText('env-server', str(env.server) || '—');
  setText('env-launcher', str(env.launcher) || '—');
}

export function mountEnvironment() {
  onClick(byId('open-clientdir'), () => send('open.clientdir'));
  onClick(byId('open-log'), () => send('open.log'));
  on('env', render);
}
