// Moving the game to another folder, from the environment panel: the move
// button asks the launcher, which opens the folder dialog; while a move
// runs, its stop takes the button's place.
import { on, send } from '../bridge.js';
import { byId, isObject, onClick } from '../dom.js';

function render(move) {
  if (!isObject(move)) return;
  const running = move.running === true;
  byId('client-move').hidden = running;
  byId('client-move-stop').hidden = !running;
}

export function mountMove() {
  onClick(byId('client-move'), () => send('client.move'));
  onClick(byId('client-move-stop'), () => send('client.move.stop'));
  on('move', render);
}
