// The page's only road to the launcher: Commands go out through send, Events
// come in as one object whose keys are handed to whoever asked with on.
const webview = window.chrome && window.chrome.webview;
const handlers = [];

const has = (object, key) => Object.prototype.hasOwnProperty.call(object, key);

export function send(name, payload) {
  if (!webview) return;
  webview.postMessage(payload === undefined ? name : `${name}\n${JSON.stringify(payload)}`);
}

// Several panels may draw from one key; they are called in the order they
// asked, each with the key's value as it came.
export function on(key, handler) {
  handlers.push([key, handler]);
}

function deliver(data) {
  if (!data || typeof data !== 'object') return;
  for (const [key, handler] of handlers) {
    if (!has(data, key)) continue;
    try {
      handler(data[key]);
    } catch (error) {
      // One malformed Event must not take the rest of the page with it.
      console.error(key, error);
    }
  }
}

// Called once every panel is mounted: the launcher sends its first Events
// on "ui.ready", so the page must be listening before it says so.
export function start() {
  if (!webview) return;
  webview.addEventListener('message', (event) => deliver(event.data));
  send('ui.ready');
}
