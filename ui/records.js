// Readers of Event members more than one panel draws from, so each reads
// the launcher's words the same way.
import { str } from './dom.js';

function character(entry) {
  if (typeof entry === 'string') return { name: entry, details: '' };
  if (!entry || typeof entry !== 'object') return null;
  const details = [];
  if (str(entry.class)) details.push(str(entry.class));
  if (str(entry.level)) details.push(`ур. ${str(entry.level)}`);
  return { name: str(entry.name), details: details.join(', ') };
}

// The "accounts" Event as logins with their named characters.
export function readAccounts(list) {
  return (Array.isArray(list) ? list : [])
    .filter((a) => a && typeof a === 'object')
    .map((a) => ({
      login: str(a.login),
      chars: (Array.isArray(a.chars) ? a.chars : []).map(character).filter((c) => c && c.name),
    }));
}

export const epochLabel = (epoch) => str(epoch.label) || '—';
