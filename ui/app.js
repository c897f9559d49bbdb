// A minimal page for the launcher's bridge: it announces itself, lists every
// Event it receives, and drives the borderless window from its title bar.
'use strict';

const webview = window.chrome && window.chrome.webview;

function send(command) {
  if (webview) webview.postMessage(command);
}

document.getElementById('titlebar').addEventListener('mousedown', (e) => {
  if (e.button === 0 && e.target.tagName !== 'BUTTON') send('window.drag');
});
document.getElementById('minimize').addEventListener('click', () => send('window.minimize'));
document.getElementById('close').addEventListener('click', () => send('window.close'));

if (webview) {
  webview.addEventListener('message', (e) => {
    const item = document.createElement('li');
    item.textContent = JSON.stringify(e.data);
    document.getElementById('events').appendChild(item);
  });
}
send('ui.ready');
