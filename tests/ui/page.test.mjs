// The player's page in a real Chromium, with a stand-in for the launcher's
// bridge: what the page shows for each Event and what it sends for each click.
import assert from 'node:assert/strict';
import { readdirSync, readFileSync } from 'node:fs';
import { join } from 'node:path';
import { after, before, describe, test } from 'node:test';
import { install, launchBrowser, openPage, overflowProblems, readyEvents, shoot, startServer, uiFolder } from './support.mjs';

let browser;
let startFailure = '';
try {
  browser = await launchBrowser();
} catch (error) {
  startFailure = String(error.message || error).split('\n')[0];
}

const GiB = 1024 ** 3;
const MiB = 1024 ** 2;
const all = (page, selector) => page.locator(selector).allTextContents();
const showTab = (page, label) => page.click(`.tab:text-is("${label}")`);

// The text of the first match of each selector, or null when it has no box
// on the screen (hidden, or squeezed to nothing).
async function expectShown(page, expected) {
  const actual = await page.evaluate(
    (selectors) =>
      Object.fromEntries(
        selectors.map((s) => {
          const e = document.querySelector(s);
          const box = e && e.getBoundingClientRect();
          return [s, box && box.width > 0 && box.height > 0 ? e.textContent : null];
        }),
      ),
    Object.keys(expected),
  );
  assert.deepEqual(actual, expected);
}

// Every screen is checked against the window and kept as a picture.
async function screen(page, name) {
  assert.deepEqual(await overflowProblems(page), [], `${name} fits the window`);
  await shoot(page, name);
}

// The page's modules as written, no browser needed: an element is reached
// by its id from one module only, so no panel draws over another's; and
// every Command leaves by its literal name, so the launcher's list of
// Commands can be checked against what the page sends.
test('each element id belongs to one module, and Commands are sent by literal name', () => {
  const ids = new Set([...readFileSync(join(uiFolder, 'index.html'), 'utf8').matchAll(/\sid="([^"]+)"/g)].map((m) => m[1]));
  const owners = new Map();
  const problems = [];
  const modules = readdirSync(uiFolder, { recursive: true }).filter((f) => f.endsWith('.js'));
  for (const name of modules) {
    const code = readFileSync(join(uiFolder, name), 'utf8');
    for (const [, id] of code.matchAll(/\b(?:byId|setText)\(\s*'([^']*)'/g)) {
      if (!ids.has(id)) problems.push(`${name}: no element #${id}`);
      if (owners.has(id) && owners.get(id) !== name) problems.push(`#${id}: ${owners.get(id)} and ${name}`);
      owners.set(id, name);
    }
    if (name !== 'dom.js' && /getElementById|querySelector(All)?\(\s*['`]#/.test(code)) problems.push(`${name}: finds elements past byId`);
    for (const [, first] of code.matchAll(/(?<!function )\bsend\(([^,)]*)/g)) {
      if (!/^'[a-z]+\.[a-z.]+'$/.test(first.trim())) problems.push(`${name}: send(${first})`);
    }
  }
  assert.deepEqual(problems, []);
  assert.ok(owners.size > 60 && modules.includes('app.js'), `${owners.size} ids in ${modules.length} modules`);
});

// A Chromium that cannot start fails the run: the cases below are then
// skipped, and this says why.
test('Chromium starts', () => assert.equal(startFailure, '', `Chromium cannot start: ${startFailure}`));

describe('player page', { skip: startFailure ? `Chromium cannot start: ${startFailure}` : false }, () => {
  let server;
  before(async () => {
    server = await startServer();
  });
  after(async () => {
    if (server) await server.close();
    if (browser) await browser.close();
  });

  // Opens a fresh page; whatever the test did, the page must have raised no
  // script error, broken no policy and asked for nothing but its own files.
  async function withPage(body, options) {
    const p = await openPage(browser, server.url, options);
    try {
      await body(p, p.page);
      assert.deepEqual(p.errors, []);
      assert.deepEqual(p.foreign, []);
      assert.deepEqual(await p.page.evaluate(() => window.__tarn.violations), []);
    } finally {
      await p.close();
    }
  }

  test('announces itself once after listening, and formats like the launcher', () =>
    withPage(async (p, page) => {
      await page.waitForTimeout(300);
      assert.deepEqual(await p.sent(), ['ui.ready']);
      assert.deepEqual(await page.evaluate(() => window.__tarn.listenersAtReady), [1]);
      await expectShown(page, { '#wait-title': 'Подождите', '#st-play': null });
      await screen(page, 'start');

      const figures = await page.evaluate(async () => {
        const f = await import('./format.js');
        const sizes = [0, 1023, 1024, 1536, 1152, 10 * 1024 * 1024, 3435973837, 1024 ** 5, 10239, 1048064];
        const eta = [-1, 0, 59, 437, 3599, 3700, 90061];
        return [...sizes.map(f.formatSize), f.formatSpeed(5 * 1024 * 1024), ...eta.map(f.formatEta)];
      });
      // 1152 bytes is exactly 1.125 KiB and 10239 exactly 9.9990234375 KiB:
      // printf rounds such ties to even, so 1,12 and not 1,13.
      assert.deepEqual(figures, [
        '0 Б', '1023 Б', '1,00 КБ', '1,50 КБ', '1,12 КБ', '10,0 МБ', '3,20 ГБ', '1024,0 ТБ', '10,00 КБ', '1023,5 КБ',
        '5,00 МБ/с', null, '0 с', '59 с', '7 мин 17 с', '59 мин 59 с', '1 ч 01 мин', '25 ч 01 мин',
      ]);
    }));

  test('every Event kind renders, and toasts go by themselves', () =>
    withPage(
      async (p, page) => {
        await p.deliver(...readyEvents);
        await expectShown(page, {
          '#st-play h2': 'Готово к игре',
          '#play-status': 'Клиент актуален',
          '#foot-epoch': 'Эпоха: 1.4.0 · Излом',
        });
        assert.equal(await page.locator('#play').isEnabled(), true);
        assert.deepEqual(await all(page, '.news-item'), [
          '2026-12-01ОбновлениеЭпоха «Излом» открытаНовые земли, новые пути.',
          '2026-11-20СобытиеЗимняя ярмаркаС 20 по 27 декабря торгуют купцы.',
        ]);
        assert.deepEqual(await all(page, '#play-account option'), ['demo', 'тестер', 'novice']);
        assert.deepEqual(await all(page, '#play-char option'), ['Арвен (Лучница, ур. 42)', 'Торин (Воин, ур. 17)']);
        await page.selectOption('#play-account', { label: 'novice' });
        assert.deepEqual(await all(page, '#play-char option'), ['без выбора персонажа']);
        await page.selectOption('#play-account', { label: 'demo' });
        await screen(page, 'play');
        await p.deliver({ progress: { status: 'Не найден ElementClient.exe', percent: 0, ready: false } });
        await expectShown(page, { '#play-status': 'Не найден ElementClient.exe' });

        await showTab(page, 'Клиент');
        await expectShown(page, {
          '#env-dir': '/home/player/Games/Тарн',
          '#env-server': '127.0.0.1:8090',
          '#env-launcher': '1.0',
          '#epoch-label': '1.4.0 · Излом',
          '#epoch-build': '3',
          '#epoch-remote': '3',
          '#epoch-next': '—',
          '#epoch-days': 'День 35 из 61',
          '#update-note': null,
        });
        const rows = [
          { state: 'ok', label: 'Список получен, подпись верна', text: 'Готово' },
          { state: 'bad', label: 'element\\models.pck — не совпала контрольная сумма', text: 'Перекачаю' },
          { state: 'run', label: 'Сверяю файлы — 3 из 480', text: '1%' },
        ];
        await p.deliver({ verify: rows }, { progress: { status: 'Найдены расхождения', percent: 100, ready: true } }, { update: { available: true } });
        assert.deepEqual(
          await page.locator('#verify-rows li').evaluateAll((l) => l.map((e) => [e.className, e.textContent])),
          rows.map((r) => [`row ${r.state}`, r.label + r.text]),
        );
        await expectShown(page, { '#progress-status': 'Найдены расхождения', '#update-note': 'Доступно обновление клиента — нажмите «Обновить».' });
        assert.equal(await page.getAttribute('#progress-bar', 'style'), 'width: 100%;');
        assert.match(await page.getAttribute('#client-update', 'class'), /primary/);
        await screen(page, 'client');
        await p.deliver({ epoch: { index: 0, label: 'версия не определена', next: '1.3.8', days: 35, cycle: 61, build: -1, remote: -1 } });
        await expectShown(page, { '#epoch-build': 'не определена', '#epoch-remote': 'сервер недоступен', '#epoch-next': '1.3.8' });
        await p.deliver(readyEvents[1], { update: { available: false, local: 3, remote: 3 } });
        await expectShown(page, { '#update-note': null });

        await showTab(page, 'Главная');
        await p.deliver({ update: { available: true } });
        await page.click('#goto-client');
        await expectShown(page, { '#screen-client h2': 'Эпоха' });

        // An accepted account.add, sent from another screen: the list, then
        // screen and toast together.
        await page.locator('#acc-form').evaluate((form) => {
          form.elements.login.value = 'demo';
          form.elements.password.value = 'пароль';
          form.requestSubmit();
        });
        await p.deliver(readyEvents[3], { screen: 'acc', toast: { kind: 'ok', text: 'Аккаунт добавлен' } });
        await expectShown(page, { '#screen-acc h2': 'Аккаунты', '#toasts .ok': 'Аккаунт добавлен', '#acc-empty': null, '#acc-add': 'Добавить' });
        assert.deepEqual([await page.inputValue('#acc-login'), await page.inputValue('#acc-password')], ['', '']);
        assert.deepEqual(await all(page, '#acc-list .account'), [
          'demoКабинетУдалитьАрвен · Лучница, ур. 42Торин · Воин, ур. 17',
          'тестерКабинетУдалитьЁжик в тумане · Жрец, ур. 1',
          'noviceКабинетУдалитьПерсонажей нет, или сервер не подтвердил аккаунт.',
        ]);
        await screen(page, 'accounts');
        await p.deliver({ toast: { kind: 'error', text: 'Неверный логин или пароль' } });
        await page.clock.runFor(4100);
        assert.deepEqual(await all(page, '#toasts .toast.error'), ['Неверный логин или пароль']);
        await page.clock.runFor(2000);
        assert.deepEqual(await all(page, '#toasts .toast'), []);

        await p.deliver({ accounts: [] }, { news: [] });
        await expectShown(page, { '#acc-empty': 'Аккаунтов пока нет — добавьте первый справа.' });
        await showTab(page, 'Главная');
        await expectShown(page, { '#news-empty': 'Новостей пока нет.', '#news-list': null });
        assert.deepEqual(await all(page, '#play-account option'), ['добавьте аккаунт в «Аккаунтах»']);
        // A closed list shows its choice cut at its edge, which the overflow
        // check cannot see: the hint must fit beside the list's arrow.
        const room = await page.$eval('#play-account', (s) => {
          const style = getComputedStyle(s);
          const ruler = document.createElement('canvas').getContext('2d');
          ruler.font = `${style.fontWeight} ${style.fontSize} ${style.fontFamily}`;
          const free = s.clientWidth - parseFloat(style.paddingLeft) - parseFloat(style.paddingRight) - 20;
          return free - ruler.measureText(s.options[s.selectedIndex].text).width;
        });
        assert.ok(room >= 0, `the empty account list's hint is ${-room}px too wide`);
      },
      { clock: true },
    ));

  test('only the answer to an add clears the account form; other toasts leave it and its button alone', () =>
    withPage(async (p, page) => {
      const wait = { toast: { kind: 'info', text: 'Сервер обновлений занят и просит подождать 30 с' } };
      const form = async () => [await page.inputValue('#acc-login'), await page.inputValue('#acc-password'), await page.locator('#acc-add').textContent()];
      await showTab(page, 'Аккаунты');
      await page.fill('#acc-login', 'новичок');
      await page.fill('#acc-password', 'секрет');
      await p.deliver(wait, { toast: { kind: 'ok', text: 'Аккаунт добавлен' } }, { toast: { kind: 'error', text: 'Не удалось удалить аккаунт' } });
      assert.deepEqual(await form(), ['новичок', 'секрет', 'Добавить'], 'toasts while the player types');
      await page.press('#acc-password', 'Enter');
      await p.deliver(wait, { toast: { kind: 'ok' } });
      assert.deepEqual(await form(), ['новичок', 'секрет', 'Проверяю…'], 'a wait toast, or one without text, is no answer to the add');
      assert.equal(await page.locator('#acc-add').isDisabled(), true);
      await p.deliver({ toast: { kind: 'ok', text: 'Аккаунт добавлен' } });
      assert.deepEqual(await form(), ['', '', 'Добавить'], 'the answer');
      await page.fill('#acc-login', 'второй');
      await p.deliver({ toast: { kind: 'ok', text: 'Аккаунт добавлен' } });
      assert.deepEqual(await form(), ['второй', '', 'Добавить'], 'a second answer to the same add');
    }));

  test('every install stage shows its screen and only its buttons', () =>
    withPage(async (p, page) => {
      const path = '/home/player/Games/Тарн';
      const run = { path, totalBytes: 3435973837, doneBytes: GiB, freeBytes: 118 * GiB, totalFiles: 480, doneFiles: 131, speed: 5 * MiB, eta: 437, file: 'element/data/models.pck' };
      const spaceError = 'На диске не хватает места. Нужно 3,40 ГБ, а свободно 1,20 ГБ. Освободите место или выберите другой диск — уже скачанное сохранено.';
      // name, stage, fields, buttons shown, texts shown
      const stages = [
        ['unknown', 'неизвестно', {}, [], { '#wait-title': 'Подождите' }],
        ['preparing', 'готовлюсь', {}, [], { '#wait-title': 'Подготовка' }],
        ['fresh', 'нет', { path, totalBytes: 3435973837, freeBytes: 118 * GiB }, ['begin', 'folder'],
          { '#offer-title': 'Игра не установлена', '#offer-path': path, '#offer-size': '3,20 ГБ', '#offer-free': '118,0 ГБ',
            '#offer-text': 'Игра встанет в эту папку. Другую можно выбрать кнопкой «Изменить папку».' }],
        ['fresh-nothing-known', 'нет', {}, ['begin', 'folder'], { '#offer-path': 'не выбрана', '#offer-size': 'неизвестно', '#offer-free': 'неизвестно',
          '#offer-text': 'Папка ещё не выбрана — «Установить» спросит, куда ставить игру.' }],
        ['resume', 'продолжить', { path, freeBytes: 2 * GiB }, ['resume', 'folder'], { '#offer-title': 'Установка прервана', '#offer-free': '2,00 ГБ' }],
        ['checking', 'проверяю', { path, totalFiles: 480, doneFiles: 120 }, [], { '#check-count': '120 из 480 файлов', '#check-path': path }],
        ['downloading', 'идёт', run, ['pause', 'stop'], {
          '#run-bytes': '1,00 ГБ из 3,20 ГБ', '#run-percent': '31%', '#run-speed': '5,00 МБ/с', '#run-eta': '7 мин 17 с',
          '#run-files': '131 из 480', '#run-file': 'element/data/models.pck',
        }],
        ['downloading-first', 'идёт', { ...run, doneBytes: 0, speed: 0, eta: -1 }, ['pause', 'stop'],
          { '#run-bytes': '0 Б из 3,20 ГБ', '#run-speed': 'измеряю…', '#run-eta': 'неизвестно' }],
        ['downloading-sizes-unknown', 'идёт', { ...run, totalBytes: 0, doneBytes: 700 * MiB, doneFiles: 240 }, ['pause', 'stop'],
          { '#run-bytes': '700,0 МБ', '#run-percent': '50%' }],
        ['paused', 'пауза', run, ['continue', 'stop'], { '#run-title': 'Установка на паузе', '#run-eta': '—' }],
        ['error', 'ошибка', { error: 'Сервер обновлений не отвечает' }, ['retry'], { '#error-text': 'Сервер обновлений не отвечает' }],
        // Only a failure the launcher marks as the folder's or the disk's
        // offers another folder, and only for a true flag.
        ['error-folder', 'ошибка', { error: spaceError, folderError: true }, ['retry', 'refolder'], { '#error-text': spaceError }],
        ['error-folder-not-true', 'ошибка', { error: spaceError, folderError: 'true' }, ['retry'], { '#error-text': spaceError }],
        ['ready', 'готово', run, ['play'], { '#st-play h2': 'Готово к игре' }],
      ];
      const buttons = ['begin', 'resume', 'folder', 'pause', 'continue', 'stop', 'retry', 'refolder', 'play'];
      const selector = (b) => (b === 'play' ? '#play' : `#install-${b}`);
      await p.deliver(readyEvents[2]);
      for (const [name, stage, fields, shownButtons, texts] of stages) {
        await p.deliver({ install: install(stage, fields) });
        await expectShown(page, texts);
        const visible = await page.evaluate((list) => list.filter((s) => document.querySelector(s).getClientRects().length), buttons.map(selector));
        assert.deepEqual(visible, shownButtons.map(selector), `${name} buttons`);
        assert.equal(await page.locator('#play').isDisabled(), stage !== 'готово', `${name} play`);
        await screen(page, `install-${name}`);
      }
    }));

  test('every button sends its exact Command, by mouse and by keyboard', () =>
    withPage(async (p, page) => {
      const expectCommand = async (act, command, what) => {
        await p.clearSent();
        await (typeof act === 'string' ? page.click(act) : act());
        assert.deepEqual(await p.sent(), command === null ? [] : [command], what || act);
      };
      await p.deliver(...readyEvents);
      await expectCommand('#minimize', 'window.minimize');
      await expectCommand('#close', 'window.close');
      const grow = await page.locator('#titlebar .grow').boundingBox();
      await expectCommand(async () => {
        await page.mouse.move(grow.x + 20, grow.y + 10);
        await page.mouse.down();
        await page.mouse.up();
      }, 'window.drag', 'drag from the title bar');
      await expectCommand('.tab:text-is("Главная")', null);
      for (const [label, name] of [['Сайт', 'site'], ['Форум', 'forum'], ['Канал', 'tg'], ['Чат', 'ds']]) {
        await expectCommand(`.link:text-is("${label}")`, `link.open\n{"name":"${name}"}`);
      }
      await expectCommand('#play', 'game.launch\n{"login":"demo","character":"Арвен"}');
      await page.selectOption('#play-account', { label: 'тестер' });
      await expectCommand('#play', 'game.launch\n{"login":"тестер","character":"Ёжик в тумане"}');
      await page.selectOption('#play-account', { label: 'novice' });
      await expectCommand('#play', 'game.launch\n{"login":"novice","character":""}');

      await showTab(page, 'Аккаунты');
      await expectCommand('#accounts-refresh', 'accounts.refresh');
      const row = (login) => `#acc-list .account:has(.login:text-is("${login}"))`;
      await expectCommand(`${row('тестер')} button:text-is("Кабинет")`, 'cabinet.open\n{"login":"тестер"}');
      await expectCommand(`${row('novice')} button:text-is("Удалить")`, null, 'the first click only asks');
      await expectCommand(`${row('novice')} button:text-is("Точно удалить?")`, 'account.remove\n{"login":"novice"}');
      const login = 'новый "игрок" \\ №1';
      const password = 'пароль с "кавычками"\t и \\';
      await expectCommand('#acc-add', null, 'no account.add without a login');
      await page.fill('#acc-login', login);
      await expectCommand('#acc-add', null, 'no account.add without a password');
      await page.fill('#acc-password', password);
      await expectCommand(() => page.press('#acc-password', 'Enter'), `account.add\n${JSON.stringify({ login, password })}`);
      await expectShown(page, { '#acc-add': 'Проверяю…' });
      await expectCommand(() => page.press('#acc-password', 'Enter'), null, 'no second account.add while the first is checked');
      await p.deliver({ toast: { kind: 'error', text: 'Неверный логин или пароль' } });
      assert.deepEqual([await page.inputValue('#acc-password'), await page.locator('#acc-add').isEnabled()], [password, true]);

      await showTab(page, 'Клиент');
      for (const [id, command] of [['client-verify', 'client.verify'], ['client-update', 'client.update'], ['open-clientdir', 'open.clientdir'], ['open-log', 'open.log']]) {
        await expectCommand(`#${id}`, command);
        await expectCommand(() => page.focus(`#${id}`).then(() => page.keyboard.press(id === 'open-log' ? 'Space' : 'Enter')), command, `${id} by keyboard`);
      }
      // The update's own controls follow its run in place of the check and
      // the update: these before or after it (and for a state the page does
      // not know), pause and stop while it downloads, continue and stop
      // while it waits.
      const runControls = {
        '#client-verify': 'Проверить', '#client-update': 'Обновить',
        '#client-pause': 'Пауза', '#client-continue': 'Продолжить', '#client-stop': 'Остановить',
      };
      const idle = ['#client-verify', '#client-update'];
      const controls = (...shown) => Object.fromEntries(Object.entries(runControls).map(([s, t]) => [s, shown.includes(s) ? t : null]));
      await expectShown(page, controls(...idle));
      for (const [state, shown, sends] of [
        ['идёт', ['#client-pause', '#client-stop'], [['#client-pause', 'client.pause'], ['#client-stop', 'client.stop']]],
        ['пауза', ['#client-continue', '#client-stop'], [['#client-continue', 'client.resume'], ['#client-stop', 'client.stop']]],
        ['', idle, []],
        ['стоп?', idle, []],
      ]) {
        await p.deliver({ updateRun: { state } });
        await expectShown(page, controls(...shown));
        if (state === 'идёт') await screen(page, 'client-update-run');
        assert.equal(await page.locator('.bar:has(#progress-bar)').evaluate((e) => e.classList.contains('paused')), state === 'пауза', state);
        for (const [id, command] of sends) await expectCommand(id, command, `${state} ${id}`);
      }
      // The speed limit: a whole number of KiB/s, or an empty field for none;
      // anything else never leaves the page, and the launcher's Event is what
      // the control then shows.
      for (const [typed, kibps, status] of [
        ['512', '512'], [' 0040 ', '40'], ['', '0'], ['0', '0'],
        ['1,5', null, 'Укажите целое число килобайт в секунду или оставьте поле пустым'], ['-1', null], ['1e3', null], ['5 МБ', null],
      ]) {
        await page.fill('#limit-kibps', typed);
        await expectCommand('#limit-apply', kibps === null ? null : `speed.limit\n{"kibps":"${kibps}"}`, `limit ${typed}`);
        if (status) await expectShown(page, { '#limit-status': status });
      }
      // Moving the game: the move asks for a folder; while a move runs its
      // stop takes the move's place, and a move's end brings the move back.
      await expectCommand('#client-move', 'client.move');
      await p.deliver({ move: { running: true } });
      await expectShown(page, { '#client-move': null, '#client-move-stop': 'Остановить перенос' });
      await screen(page, 'client-moving');
      await expectCommand(() => page.focus('#client-move-stop').then(() => page.keyboard.press('Enter')), 'client.move.stop', 'move stop by keyboard');
      for (const odd of [null, 'yes', 7]) await p.deliver({ move: odd });
      await expectShown(page, { '#client-move': null, '#client-move-stop': 'Остановить перенос' });
      await p.deliver({ move: { running: false } });
      await expectShown(page, { '#client-move': 'Переместить', '#client-move-stop': null });
      await page.fill('#limit-kibps', '2048');
      await expectCommand(() => page.press('#limit-kibps', 'Enter'), 'speed.limit\n{"kibps":"2048"}', 'limit by keyboard');
      for (const [kibps, status, value] of [
        [2048, 'Загрузка не быстрее 2048 КБ/с', '2048'], [0, 'Без ограничения', ''], ['<img src=x>', 'Без ограничения', ''], [-5, 'Без ограничения', ''],
      ]) {
        await page.locator('#client-verify').focus();
        await p.deliver({ limit: { kibps } });
        await expectShown(page, { '#limit-status': status });
        assert.equal(await page.inputValue('#limit-kibps'), value, `limit Event ${kibps}`);
      }

      await showTab(page, 'Главная');
      for (const [stage, id, command] of [
        ['нет', 'begin', 'install.begin'], ['нет', 'folder', 'install.folder'], ['продолжить', 'resume', 'install.resume'],
        ['продолжить', 'folder', 'install.folder'], ['идёт', 'pause', 'install.pause'], ['идёт', 'stop', 'install.stop'],
        ['пауза', 'continue', 'install.resume'], ['пауза', 'stop', 'install.stop'], ['ошибка', 'retry', 'install.resume'],
        ['ошибка', 'refolder', 'install.folder'],
      ]) {
        await p.deliver({ install: install(stage, { totalBytes: GiB, totalFiles: 3, folderError: true }) });
        await expectCommand(`#install-${id}`, command, `${stage} ${id}`);
      }
      await expectCommand(() => page.evaluate(() => document.getElementById('play').click()), null, 'no launch before the client is ready');

      // "Пауза" goes away with its stage; keyboard focus stays in the panel,
      // and the focused button shows it.
      await p.deliver({ install: install('идёт', { totalBytes: GiB }) });
      await page.focus('#install-pause');
      await page.keyboard.press('Enter');
      await p.deliver({ install: install('пауза', { totalBytes: GiB }) });
      await page.keyboard.press('Tab');
      const focus = await page.evaluate(() => {
        const s = getComputedStyle(document.activeElement);
        return `${document.activeElement.id} ${s.outlineStyle} ${s.outlineWidth}`;
      });
      assert.equal(focus, 'install-stop solid 2px');
    }));

  test('outside text is shown literally, runs nothing and never widens the window', () =>
    withPage(async (p, page) => {
      const img = '<img src=x onerror="window.__pwned=1">';
      const script = '</script><script>window.__pwned=2</script>';
      const quotes = `"двойные" 'одинарные' \\ обратная & <b>жирный</b>`;
      const long = 'ОченьДлинноеИмя'.repeat(134).slice(0, 2000);
      const longFile = `element/${'папка/'.repeat(330)}файл.pck`.slice(0, 2000);
      // Malformed Events first: the page shrugs them off and keeps working.
      await p.deliver(null, 'текст', 42, { news: 'не список' }, { accounts: null }, { install: 5 }, { verify: {} },
        { epoch: [] }, { toast: { kind: 'ok' } }, { screen: 'нет такого' }, { unknown: 1 });
      await p.deliver(
        { news: [img, { date: script, tag: img, title: img, text: script }, { title: quotes, text: long }] },
        {
          accounts: [
            { login: img, chars: [{ name: script }, script, 17, null] },
            { login: quotes, chars: [{ name: long, class: img, level: '<b>1</b>' }] },
            { login: long, chars: 'не список' },
          ],
        },
        { install: install('готово', { path: long }) },
        { env: { clientDir: long, server: img, launcher: script } },
        { epoch: { index: 0, label: img, next: script, days: 35, cycle: 61, build: 1, remote: 2 } },
        { progress: { status: quotes, percent: 250, ready: true } },
        { verify: [{ state: '<b>', label: long, text: img }, { state: 'bad', label: script, text: long }] },
        { toast: { kind: img, text: script } },
      );
      assert.deepEqual(await all(page, '.news-item'), [script + img + img + script, quotes + long]);
      assert.deepEqual(await all(page, '#play-account option'), [img, quotes, long]);
      assert.deepEqual(await all(page, '#play-char option'), [script, script]);
      await expectShown(page, { '#play-status': quotes, '#toasts .toast': script });
      await screen(page, 'hostile-home');
      await page.selectOption('#play-account', { index: 1 });
      await p.clearSent();
      await page.click('#play');
      assert.deepEqual(await p.sent(), [`game.launch\n${JSON.stringify({ login: quotes, character: long })}`]);

      await showTab(page, 'Аккаунты');
      assert.deepEqual(await all(page, '#acc-list .login'), [img, quotes, long]);
      assert.deepEqual(await all(page, '#acc-list .chars li'), [script, script, `${long} · ${img}, ур. <b>1</b>`]);
      await screen(page, 'hostile-accounts');
      await p.clearSent();
      await page.click(`#acc-list .account >> nth=0 >> button:text-is("Удалить")`);
      await page.click(`#acc-list .account >> nth=0 >> button:text-is("Точно удалить?")`);
      assert.deepEqual(await p.sent(), [`account.remove\n${JSON.stringify({ login: img })}`]);

      await showTab(page, 'Клиент');
      await expectShown(page, { '#env-dir': long, '#env-server': img, '#epoch-label': img, '#epoch-next': script });
      assert.deepEqual(await page.locator('#verify-rows li').evaluateAll((l) => l.map((e) => [e.className, e.textContent])), [
        ['row run', long + img],
        ['row bad', script + long],
      ]);
      await screen(page, 'hostile-client');

      await showTab(page, 'Главная');
      await p.deliver({ install: install('ошибка', { error: `${img} ${script} ${long}` }) });
      await expectShown(page, { '#error-text': `${img} ${script} ${long}` });
      await screen(page, 'hostile-install-error');
      await p.deliver({ install: install('идёт', { path: long, file: longFile, totalBytes: GiB, doneBytes: MiB }) });
      await expectShown(page, { '#run-file': longFile });
      await screen(page, 'hostile-install-run');
      await p.deliver({ install: install('нет', { path: long }) });
      await screen(page, 'hostile-install-offer');

      const trace = await page.evaluate(() => [window.__pwned, document.querySelectorAll('img, b, body script').length]);
      assert.deepEqual(trace, [undefined, 0]);
    }));

  // The offer of a newer launcher: hidden until one is announced, its button
  // the only way to start, busy while it downloads, back after a failure;
  // a packaged launcher is only told how to get it.
  test('a newer launcher is offered, never forced, and says how it went', () =>
    withPage(async (p, page) => {
      await p.deliver(...readyEvents);
      await expectShown(page, { '#launcher-offer': null });
      const text = (t) => ({ '#launcher-offer-text': t });
      await p.deliver({ launcherUpdate: { version: '1.2' } });
      await expectShown(page, { ...text('Доступна новая версия лаунчера 1.2 —'), '#launcher-offer-update': 'Обновить' });
      await screen(page, 'launcher-offer');
      // A running update, move or install holds the bare offer back.
      for (const [busy, idle] of [
        [{ updateRun: { state: 'пауза' } }, { updateRun: { state: '' } }],
        [{ move: { running: true } }, { move: { running: false } }],
        [{ install: { stage: 'проверяю' } }, { install: { stage: 'готово' } }],
      ]) {
        await p.deliver(busy);
        await expectShown(page, { '#launcher-offer': null });
        await p.deliver(idle);
        await expectShown(page, text('Доступна новая версия лаунчера 1.2 —'));
      }
      await p.clearSent();
      await page.click('#launcher-offer-update');
      assert.deepEqual(await p.sent(), ['launcher.update']);
      await p.deliver({ launcherUpdate: { version: '1.2', percent: 41.7 } });
      await expectShown(page, text('Загружаю лаунчер 1.2 — 41%'));
      assert.equal(await page.locator('#launcher-offer-update').isEnabled(), false);
      await p.deliver({ launcherUpdate: { failed: 'другой лаунчер уже обновляется' } });
      await expectShown(page, text('Лаунчер не обновлён: другой лаунчер уже обновляется'));
      assert.equal(await page.locator('#launcher-offer-update').isEnabled(), true);
      await p.deliver({ launcherUpdate: { version: '1.2', done: true } });
      await expectShown(page, { ...text('Лаунчер 1.2 установлен — следующий запуск будет с ним'), '#launcher-offer-update': null });
      await p.deliver({ launcherUpdate: { version: '1.2', package: 'tarn-launcher' } });
      await expectShown(page, {
        ...text('Доступна новая версия лаунчера 1.2 — обновите пакет tarn-launcher через менеджер пакетов'),
        '#launcher-offer-update': null,
      });
      await p.deliver({ launcherUpdate: { version: '<img src=x onerror="window.__pwned=1">' } });
      assert.deepEqual(await page.evaluate(() => [window.__pwned, document.querySelectorAll('#launcher-offer img').length]), [undefined, 0]);
    }));
});

