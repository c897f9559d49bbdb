// The install stages as the launcher names them in the install Event: the
// one place the page spells these words.
export const STAGE = Object.freeze({
  unknown: 'неизвестно',
  preparing: 'готовлюсь',
  absent: 'нет',
  interrupted: 'продолжить',
  checking: 'проверяю',
  running: 'идёт',
  paused: 'пауза',
  failed: 'ошибка',
  ready: 'готово',
});

// The part of the install panel each stage shows; anything unknown waits.
export function sectionFor(word) {
  switch (word) {
    case STAGE.absent:
    case STAGE.interrupted:
      return 'offer';
    case STAGE.checking:
      return 'check';
    case STAGE.running:
    case STAGE.paused:
      return 'run';
    case STAGE.failed:
      return 'error';
    case STAGE.ready:
      return 'play';
    default:
      return 'wait';
  }
}
