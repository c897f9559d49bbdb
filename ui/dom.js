// What every panel uses on its own elements. Everything that comes from
// outside (news, logins, characters, paths, messages) goes in as text only.
export const byId = (id) => document.getElementById(id);

// An Event's member as text, or '' when it is anything but a plain value.
export function str(value) {
  if (typeof value === 'string') return value;
  if (typeof value === 'number' || typeof value === 'boolean') return String(value);
  return '';
}

export function num(value, fallback = 0) {
  const n = Number(value);
  return Number.isFinite(n) ? n : fallback;
}

export const isObject = (value) => value !== null && typeof value === 'object';

export function el(tag, className, content) {
  const node = document.createElement(tag);
  if (className) node.className = className;
  if (content !== undefined) node.textContent = content;
  return node;
}

export function option(value, label) {
  const node = el('option', '', label);
  node.value = value;
  return node;
}

export function setText(id, value) {
  byId(id).textContent = value;
}

export function setBar(bar, percent) {
  bar.style.width = `${Math.max(0, Math.min(100, percent))}%`;
}

export function onClick(node, handler) {
  node.addEventListener('click', handler);
}
