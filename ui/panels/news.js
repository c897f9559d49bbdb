// The operator's news on the home screen.
import { on } from '../bridge.js';
import { byId, el, str } from '../dom.js';

function render(news) {
  const items = Array.isArray(news) ? news : [];
  const list = byId('news-list');
  list.replaceChildren();
  for (const item of items) {
    if (!item || typeof item !== 'object') continue;
    const article = el('article', 'news-item');
    const meta = el('div', 'meta');
    if (str(item.date)) meta.append(el('span', 'date', str(item.date)));
    if (str(item.tag)) meta.append(el('span', 'tag', str(item.tag)));
    if (meta.childNodes.length) article.append(meta);
    if (str(item.title)) article.append(el('h3', '', str(item.title)));
    if (str(item.text)) article.append(el('p', '', str(item.text)));
    list.append(article);
  }
  list.hidden = list.childNodes.length === 0;
  byId('news-empty').hidden = !list.hidden;
}

export function mountNews() {
  on('news', render);
}
