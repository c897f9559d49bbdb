// Figures for the player: sizes, speeds and time left in Russian units.

const UNITS = ['Б', 'КБ', 'МБ', 'ГБ', 'ТБ'];

// C's printf rounds an exact tie to even while toFixed rounds it up; the
// launcher writes its own sizes with printf, so ties are settled the same way
// here and both sides show the same figure for the same byte count.
function fixed(x, digits) {
  const scale = 10 ** digits;
  const scaled = x * scale;
  const floor = Math.floor(scaled);
  if (scaled - floor === 0.5) {
    const even = floor % 2 === 0 ? floor : floor + 1;
    return (even / scale).toFixed(digits);
  }
  return x.toFixed(digits);
}

function count(value) {
  const n = Number(value);
  return Number.isFinite(n) && n > 0 ? n : 0;
}

export function formatSize(bytes) {
  let x = count(bytes);
  let unit = 0;
  while (x >= 1024 && unit < UNITS.length - 1) {
    x *= 1 / 1024;
    unit += 1;
  }
  const digits = unit === 0 ? 0 : x < 10 ? 2 : 1;
  return `${fixed(x, digits).replace('.', ',')} ${UNITS[unit]}`;
}

export function formatSpeed(bytesPerSecond) {
  return `${formatSize(bytesPerSecond)}/с`;
}

// Seconds left as the player reads them; null when the launcher cannot tell.
export function formatEta(seconds) {
  const s = Number(seconds);
  if (!Number.isFinite(s) || s < 0) return null;
  const whole = Math.floor(s);
  if (whole < 60) return `${whole} с`;
  const minutes = Math.floor(whole / 60);
  if (minutes < 60) return `${minutes} мин ${String(whole % 60).padStart(2, '0')} с`;
  const hours = Math.floor(minutes / 60);
  return `${hours} ч ${String(minutes % 60).padStart(2, '0')} мин`;
}

export function percentOf(done, total) {
  const d = count(done);
  const t = count(total);
  if (t === 0) return 0;
  return Math.min(100, Math.floor((d * 100) / t));
}

// "1 файл", "2 файла", "5 файлов".
export function plural(n, one, few, many) {
  const mod10 = n % 10;
  const mod100 = n % 100;
  if (mod10 === 1 && mod100 !== 11) return one;
  if (mod10 >= 2 && mod10 <= 4 && (mod100 < 12 || mod100 > 14)) return few;
  return many;
}
