// The player's page in a real Chromium, with a stand-in for the launcher's
// bridge: what the page shows for each Event and what it sends for each click.
import assert from 'node:assert/strict';
import { after, before, describe, test } from 'node:test';
import {
  install,
  launchBrowser,
  openPage,
  overflowProblems,
  readyEvents,
  shoot,
  startServer,
} from './support.mjs';

let browser;
let startFailure = '';
try {
  browser = await launchBrowser();
} catch (error) {
  startFailure = String(error.message || error).split('\n')[0];
}

const GiB = 1024 ** 3;
const MiB = 1024 ** 2;

async function visibleText(page, selector) {
  const node = page.locator(selector);
  assert.ok(await node.isVisible(), `${selector} is visible`);
  return node.textContent();
}

async function assertFits(page, what) {
  assert.deepEqual(await overflowProblems(page), [], `${what} fits the window`);
}

async function showTab(page, label) {
  await page.click(`.tab:text-is("${label}")`);
}

describe('player page', { skip: startFailure ? `Chromium cannot start: ${startFailure}` : false }, () => {
  let server;
  before(async () => {
    server = await startServer();
  });
  after(async () => {
    if (server) await server.close();
    if (browser) await browser.close();
  });

  test('announces itself once after listening, loads only its own files and formats like the launcher', async () => {
    const p = await openPage(browser, server.url);
    try {
      await p.page.waitForTimeout(300);
      assert.deepEqual(await p.sent(), ['ui.ready']);
      const tarn = await p.page.evaluate(() => ({ ...window.__tarn }));
      assert.deepEqual(tarn.listenersAtReady, [1]);
      assert.deepEqual(tarn.violations, []);
      assert.deepEqual(p.foreign, []);
      assert.ok(await p.page.locator('#st-wait').isVisible());
      assert.equal(await p.page.locator('#play').isDisabled(), true);
      await assertFits(p.page, 'start screen');
      await shoot(p.page, 'start');

      const figures = await p.page.evaluate(async () => {
        const f = await import('./format.js');
        const sizes = [0, 1023, 1024, 1536, 1152, 10 * 1024 * 1024, 3435973837, 1024 ** 5, 10239, 1048064];
        return {
          sizes: sizes.map(f.formatSize),
          speed: f.formatSpeed(5 * 1024 * 1024),
          eta: [-1, 0, 59, 437, 3599, 3700, 90061].map(f.formatEta),
        };
      });
      // 1152 bytes is exactly 1.125 KiB and 10239 exactly 9.9990234375:
      // printf rounds the tie to even, so 1,12 and not 1,13.
      assert.deepEqual(figures.sizes, [
        '0 Б', '1023 Б', '1,00 КБ', '1,50 КБ', '1,12 КБ', '10,0 МБ', '3,20 ГБ', '1024,0 ТБ', '10,00 КБ', '1023,5 КБ',
      ]);
      assert.equal(figures.speed, '5,00 МБ/с');
      assert.deepEqual(figures.eta, [null, '0 с', '59 с', '7 мин 17 с', '59 мин 59 с', '1 ч 01 мин', '25 ч 01 мин']);
      assert.deepEqual(p.errors, []);
    } finally {
      await p.close();
    }
  });

  test('every Event kind renders, and toasts go by themselves', async () => {
    const p = await openPage(browser, server.url, { clock: true });
    const { page } = p;
    try {
      await p.deliver(...readyEvents);
      assert.match(await visibleText(page, '#st-play'), /Готово к игре/);
      assert.equal(await page.locator('#play').isEnabled(), true);
      assert.deepEqual(await page.locator('.news-item h3').allTextContents(), ['Эпоха «Излом» открыта', 'Зимняя ярмарка']);
      assert.deepEqual(await page.locator('.news-item .tag').allTextContents(), ['Обновление', 'Событие']);
      assert.deepEqual(await page.locator('#play-account option').allTextContents(), ['demo', 'тестер', 'novice']);
      assert.deepEqual(await page.locator('#play-char option').allTextContents(), ['Арвен (Лучница, ур. 42)', 'Торин (Воин, ур. 17)']);
      await page.selectOption('#play-account', { label: 'novice' });
      assert.deepEqual(await page.locator('#play-char option').allTextContents(), ['без выбора персонажа']);
      await page.selectOption('#play-account', { label: 'demo' });
      assert.equal(await page.textContent('#play-status'), 'Клиент актуален');
      assert.equal(await page.textContent('#foot-epoch'), 'Эпоха: 1.4.0 · Излом');
      await assertFits(page, 'play screen');
      await shoot(page, 'play');

      // The launch outcome reaches the play screen.
      await p.deliver({ progress: { status: 'Не найден ElementClient.exe', percent: 0, ready: false } });
      assert.equal(await page.textContent('#play-status'), 'Не найден ElementClient.exe');

      await showTab(page, 'Клиент');
      assert.equal(await visibleText(page, '#env-dir'), '/home/player/Games/Тарн');
      assert.equal(await page.textContent('#env-server'), '127.0.0.1:8090');
      assert.equal(await page.textContent('#env-launcher'), '1.0');
      assert.equal(await page.textContent('#epoch-label'), '1.4.0 · Излом');
      assert.deepEqual(
        await page.locator('#epoch-build, #epoch-remote, #epoch-next, #epoch-days').allTextContents(),
        ['3', '3', '—', 'День 35 из 61'],
      );
      await p.deliver(
        { progress: { status: 'Найдены расхождения', percent: 100, ready: true } },
        {
          verify: [
            { state: 'ok', label: 'Список получен, подпись верна', text: 'Готово' },
            { state: 'ok', label: 'Проверено файлов: 480', text: 'Готово' },
            { state: 'bad', label: 'element\\models.pck — не совпала контрольная сумма', text: 'Перекачаю' },
            { state: 'run', label: 'Сверяю файлы — 3 из 480', text: '1%' },
          ],
        },
        { update: { available: true } },
      );
      assert.deepEqual(await page.locator('#verify-rows li').evaluateAll((l) => l.map((e) => e.className)), [
        'row ok', 'row ok', 'row bad', 'row run',
      ]);
      assert.equal(await page.textContent('#verify-rows li.bad .label'), 'element\\models.pck — не совпала контрольная сумма');
      assert.equal(await page.textContent('#progress-status'), 'Найдены расхождения');
      assert.equal(await page.getAttribute('#progress-bar', 'style'), 'width: 100%;');
      assert.ok(await page.locator('#update-note').isVisible());
      assert.match(await page.getAttribute('#client-update', 'class'), /primary/);
      await assertFits(page, 'client screen');
      await shoot(page, 'client');
      await p.deliver({ epoch: { index: 0, label: 'версия не определена', next: '1.3.8', days: 35, cycle: 61, build: -1, remote: -1 } });
      assert.deepEqual(
        await page.locator('#epoch-build, #epoch-remote, #epoch-next').allTextContents(),
        ['не определена', 'сервер недоступен', '1.3.8'],
      );
      await p.deliver(readyEvents[1], { update: { available: false, local: 3, remote: 3 } });
      assert.equal(await page.locator('#update-note').isVisible(), false);

      await showTab(page, 'Главная');
      await p.deliver({ update: { available: true } });
      assert.ok(await page.locator('#play-update').isVisible());
      await page.click('#goto-client');
      assert.ok(await page.locator('#screen-client').isVisible());

      // What an accepted account.add sends back: the list, then screen and toast together.
      await p.deliver(readyEvents[3], { screen: 'acc', toast: { kind: 'ok', text: 'Аккаунт добавлен' } });
      assert.ok(await page.locator('#screen-acc').isVisible());
      assert.deepEqual(await page.locator('#acc-list .login').allTextContents(), ['demo', 'тестер', 'novice']);
      assert.deepEqual(await page.locator('#acc-list .account').nth(0).locator('.chars li').allTextContents(), [
        'Арвен · Лучница, ур. 42', 'Торин · Воин, ур. 17',
      ]);
      assert.match(await page.locator('#acc-list .account').nth(2).textContent(), /Персонажей нет/);
      assert.equal(await page.textContent('#toasts .toast.ok'), 'Аккаунт добавлен');
      await assertFits(page, 'accounts screen');
      await shoot(page, 'accounts');
      await p.deliver({ toast: { kind: 'error', text: 'Неверный логин или пароль' } });
      assert.equal(await page.textContent('#toasts .toast.error'), 'Неверный логин или пароль');
      await page.clock.runFor(4100);
      assert.deepEqual(await page.locator('#toasts .toast').allTextContents(), ['Неверный логин или пароль']);
      await page.clock.runFor(2000);
      assert.equal(await page.locator('#toasts .toast').count(), 0);

      await p.deliver({ accounts: [] }, { news: [] });
      assert.ok(await page.locator('#acc-empty').isVisible());
      await showTab(page, 'Главная');
      assert.ok(await page.locator('#news-empty').isVisible());
      assert.deepEqual(await page.locator('#play-account option').allTextContents(), [
        'нет аккаунтов — добавьте на вкладке «Аккаунты»',
      ]);
      assert.deepEqual(p.errors, []);
    } finally {
      await p.close();
    }
  });

  test('every install stage shows its screen', async () => {
    const p = await openPage(browser, server.url);
    const { page } = p;
    const running = {
      path: '/home/player/Games/Тарн',
      totalBytes: 3435973837,
      doneBytes: GiB,
      freeBytes: 118 * GiB,
      totalFiles: 480,
      doneFiles: 131,
      speed: 5 * MiB,
      eta: 437,
      version: 3,
      file: 'element/data/models.pck',
    };
    const stages = [
      ['unknown', install('неизвестно'), '#st-wait', { '#wait-title': 'Подождите' }, []],
      ['preparing', install('готовлюсь'), '#st-wait', { '#wait-title': 'Подготовка' }, []],
      [
        'fresh',
        install('нет', { path: '/home/player/Games/Тарн', totalBytes: 3435973837, freeBytes: 118 * GiB, totalFiles: 480 }),
        '#st-offer',
        { '#offer-title': 'Игра не установлена', '#offer-path': '/home/player/Games/Тарн', '#offer-size': '3,20 ГБ', '#offer-free': '118,0 ГБ' },
        ['#install-begin', '#install-folder'],
      ],
      [
        'fresh-nothing-known',
        install('нет'),
        '#st-offer',
        { '#offer-path': 'не выбрана', '#offer-size': 'неизвестно', '#offer-free': 'неизвестно' },
        ['#install-begin', '#install-folder'],
      ],
      [
        'resume',
        install('продолжить', { path: '/mnt/games/Тарн', totalBytes: 3435973837, freeBytes: 2 * GiB }),
        '#st-offer',
        { '#offer-title': 'Установка прервана', '#offer-path': '/mnt/games/Тарн', '#offer-free': '2,00 ГБ' },
        ['#install-resume', '#install-folder'],
      ],
      [
        'checking',
        install('проверяю', { path: '/mnt/games/Тарн', totalFiles: 480, doneFiles: 120 }),
        '#st-check',
        { '#check-count': '120 из 480 файлов' },
      ],
      [
        'downloading',
        install('идёт', running),
        '#st-run',
        {
          '#run-bytes': '1,00 ГБ из 3,20 ГБ',
          '#run-percent': '31%',
          '#run-speed': '5,00 МБ/с',
          '#run-eta': '7 мин 17 с',
          '#run-files': '131 из 480',
          '#run-file': 'element/data/models.pck',
        },
        ['#install-pause', '#install-stop'],
      ],
      [
        'downloading-first',
        install('идёт', { ...running, doneBytes: 0, doneFiles: 0, speed: 0, eta: -1 }),
        '#st-run',
        { '#run-bytes': '0 Б из 3,20 ГБ', '#run-speed': 'измеряю…', '#run-eta': 'неизвестно' },
      ],
      [
        'downloading-sizes-unknown',
        install('идёт', { ...running, totalBytes: 0, doneBytes: 700 * MiB, doneFiles: 240 }),
        '#st-run',
        { '#run-bytes': '700,0 МБ', '#run-percent': '50%' },
      ],
      [
        'paused',
        install('пауза', running),
        '#st-run',
        { '#run-title': 'Установка на паузе', '#run-eta': '—' },
        ['#install-continue', '#install-stop'],
      ],
      [
        'error',
        install('ошибка', {
          error: 'На диске не хватает места. Нужно 3,40 ГБ, а свободно 1,20 ГБ. Освободите место или выберите другой диск — уже скачанное сохранено.',
        }),
        '#st-error',
        { '#error-text': 'На диске не хватает места. Нужно 3,40 ГБ, а свободно 1,20 ГБ. Освободите место или выберите другой диск — уже скачанное сохранено.' },
        ['#install-retry'],
      ],
      ['ready', install('готово', running), '#st-play', {}, ['#play']],
    ];
    const allButtons = ['#install-begin', '#install-resume', '#install-folder', '#install-pause', '#install-continue', '#install-stop', '#install-retry', '#play'];
    try {
      await p.deliver(readyEvents[2]);
      for (const [name, event, section, texts, buttons] of stages) {
        await p.deliver({ install: event });
        const shown = await page.locator('#install > .stage').evaluateAll((l) => l.filter((e) => !e.hidden).map((e) => `#${e.id}`));
        assert.deepEqual(shown, [section], name);
        for (const [selector, text] of Object.entries(texts)) assert.equal(await page.textContent(selector), text, `${name} ${selector}`);
        for (const button of buttons || []) assert.ok(await page.locator(button).isVisible(), `${name} shows ${button}`);
        for (const button of buttons ? allButtons.filter((b) => !buttons.includes(b)) : []) {
          assert.equal(await page.locator(button).isVisible(), false, `${name} hides ${button}`);
        }
        assert.equal(await page.locator('#play').isDisabled(), event.stage !== 'готово', `${name} play`);
        await assertFits(page, name);
        await shoot(page, `install-${name}`);
      }
      assert.equal(await page.getAttribute('#check-bar', 'style'), 'width: 25%;');
      assert.deepEqual(p.errors, []);
    } finally {
      await p.close();
    }
  });

  test('every button sends its exact Command, by mouse and by keyboard', async () => {
    const p = await openPage(browser, server.url);
    const { page } = p;
    const expectCommand = async (act, command, what) => {
      await p.clearSent();
      await act();
      assert.deepEqual(await p.sent(), command === null ? [] : [command], what);
    };
    const click = (selector) => () => page.click(selector);
    try {
      await p.deliver(...readyEvents);
      await expectCommand(click('#minimize'), 'window.minimize');
      await expectCommand(click('#close'), 'window.close');
      const grow = await page.locator('#titlebar .grow').boundingBox();
      await expectCommand(async () => {
        await page.mouse.move(grow.x + 20, grow.y + 10);
        await page.mouse.down();
        await page.mouse.up();
      }, 'window.drag', 'drag from the title bar');
      await expectCommand(click('.tab:text-is("Главная")'), null, 'a tab is no drag');
      for (const [label, name] of [['Сайт', 'site'], ['Форум', 'forum'], ['Канал', 'tg'], ['Чат', 'ds']]) {
        await expectCommand(click(`.link:text-is("${label}")`), `link.open\n{"name":"${name}"}`, label);
      }

      await expectCommand(click('#play'), 'game.launch\n{"login":"demo","character":"Арвен"}');
      await page.selectOption('#play-account', { label: 'тестер' });
      await expectCommand(click('#play'), 'game.launch\n{"login":"тестер","character":"Ёжик в тумане"}');
      await page.selectOption('#play-account', { label: 'novice' });
      await expectCommand(click('#play'), 'game.launch\n{"login":"novice","character":""}');

      await showTab(page, 'Аккаунты');
      await expectCommand(click('#accounts-refresh'), 'accounts.refresh');
      const row = (login) => page.locator('#acc-list .account', { has: page.locator(`.login:text-is("${login}")`) });
      await expectCommand(() => row('тестер').locator('button:text-is("Кабинет")').click(), 'cabinet.open\n{"login":"тестер"}');
      await expectCommand(() => row('novice').locator('button:text-is("Удалить")').click(), 'account.remove\n{"login":"novice"}');
      await expectCommand(click('#acc-add'), null, 'no account.add without a login');
      const login = 'новый "игрок" \\ №1';
      const password = 'пароль с "кавычками"\t и \\';
      await page.fill('#acc-login', login);
      await expectCommand(click('#acc-add'), null, 'no account.add without a password');
      await page.fill('#acc-password', password);
      await expectCommand(() => page.press('#acc-password', 'Enter'), `account.add\n${JSON.stringify({ login, password })}`);

      await showTab(page, 'Клиент');
      await expectCommand(click('#client-verify'), 'client.verify');
      await expectCommand(click('#client-update'), 'client.update');
      await expectCommand(click('#open-clientdir'), 'open.clientdir');
      await expectCommand(click('#open-log'), 'open.log');
      await expectCommand(async () => {
        await page.focus('#client-verify');
        await page.keyboard.press('Enter');
      }, 'client.verify', 'Enter on a button');
      await expectCommand(async () => {
        await page.focus('#open-log');
        await page.keyboard.press('Space');
      }, 'open.log', 'Space on a button');

      await showTab(page, 'Главная');
      const stageButtons = [
        ['нет', '#install-begin', 'install.begin'],
        ['нет', '#install-folder', 'install.folder'],
        ['продолжить', '#install-resume', 'install.resume'],
        ['продолжить', '#install-folder', 'install.folder'],
        ['идёт', '#install-pause', 'install.pause'],
        ['идёт', '#install-stop', 'install.stop'],
        ['пауза', '#install-continue', 'install.resume'],
        ['пауза', '#install-stop', 'install.stop'],
        ['ошибка', '#install-retry', 'install.resume'],
      ];
      for (const [stage, selector, command] of stageButtons) {
        await p.deliver({ install: install(stage, { totalBytes: GiB, totalFiles: 3 }) });
        await expectCommand(click(selector), command, `${stage} ${selector}`);
      }
      await expectCommand(() => page.evaluate(() => document.getElementById('play').click()), null, 'no launch before the client is ready');

      // Keyboard: the focused button shows it, and a paused install keeps
      // focus inside the panel when "Пауза" goes away.
      await p.deliver({ install: install('идёт', { totalBytes: GiB }) });
      await page.focus('#install-pause');
      await page.keyboard.press('Enter');
      await p.deliver({ install: install('пауза', { totalBytes: GiB }) });
      assert.equal(await page.evaluate(() => document.activeElement.id), 'install-continue');
      await page.keyboard.press('Tab');
      const focus = await page.evaluate(() => {
        const e = document.activeElement;
        const s = getComputedStyle(e);
        return { id: e.id, outline: `${s.outlineStyle} ${s.outlineWidth}` };
      });
      assert.deepEqual(focus, { id: 'install-stop', outline: 'solid 2px' });
      assert.deepEqual(p.errors, []);
    } finally {
      await p.close();
    }
  });

  test('outside text is shown literally, runs nothing and never widens the window', async () => {
    const p = await openPage(browser, server.url);
    const { page } = p;
    const img = '<img src=x onerror="window.__pwned=1">';
    const script = '</script><script>window.__pwned=2</script>';
    const quotes = `"двойные" 'одинарные' \\ обратная & <b>жирный</b>`;
    const long = 'ОченьДлинноеИмя'.repeat(134).slice(0, 2000);
    const longFile = `element/${'папка/'.repeat(330)}файл.pck`.slice(0, 2000);
    try {
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
      assert.deepEqual(await page.locator('.news-item h3').allTextContents(), [img, quotes]);
      assert.deepEqual(await page.locator('.news-item p').allTextContents(), [script, long]);
      assert.deepEqual(await page.locator('#play-account option').allTextContents(), [img, quotes, long]);
      assert.deepEqual(await page.locator('#play-char option').allTextContents(), [script, script]);
      assert.equal(await page.textContent('#play-status'), quotes);
      assert.equal(await page.textContent('#toasts .toast'), script);
      await assertFits(page, 'home with hostile text');
      await shoot(page, 'hostile-home');

      await page.selectOption('#play-account', { index: 1 });
      await p.clearSent();
      await page.click('#play');
      assert.deepEqual(await p.sent(), [`game.launch\n${JSON.stringify({ login: quotes, character: long })}`]);

      await showTab(page, 'Аккаунты');
      assert.deepEqual(await page.locator('#acc-list .login').allTextContents(), [img, quotes, long]);
      assert.equal(await page.locator('#acc-list .chars li').last().textContent(), `${long} · ${img}, ур. <b>1</b>`);
      await assertFits(page, 'accounts with hostile text');
      await shoot(page, 'hostile-accounts');
      await p.clearSent();
      await page.locator('#acc-list .account').first().locator('button:text-is("Удалить")').click();
      assert.deepEqual(await p.sent(), [`account.remove\n${JSON.stringify({ login: img })}`]);

      await showTab(page, 'Клиент');
      assert.equal(await visibleText(page, '#env-dir'), long);
      assert.equal(await page.textContent('#env-server'), img);
      assert.equal(await visibleText(page, '#epoch-label'), img);
      assert.deepEqual(await page.locator('#verify-rows .label').allTextContents(), [long, script]);
      assert.deepEqual(await page.locator('#verify-rows li').evaluateAll((l) => l.map((e) => e.className)), ['row run', 'row bad']);
      await assertFits(page, 'client with hostile text');
      await shoot(page, 'hostile-client');

      await showTab(page, 'Главная');
      await p.deliver({ install: install('ошибка', { error: `${img} ${script} ${long}` }) });
      assert.equal(await page.textContent('#error-text'), `${img} ${script} ${long}`);
      await assertFits(page, 'install error with hostile text');
      await shoot(page, 'hostile-install-error');
      await p.deliver({ install: install('идёт', { path: long, file: longFile, totalBytes: GiB, doneBytes: MiB }) });
      assert.equal(await page.textContent('#run-file'), longFile);
      await assertFits(page, 'install with a long file name');
      await p.deliver({ install: install('нет', { path: long }) });
      await assertFits(page, 'install offer with a long folder');
      await shoot(page, 'hostile-install-offer');

      const trace = await page.evaluate(() => ({
        pwned: window.__pwned,
        images: document.querySelectorAll('img').length,
        bold: document.querySelectorAll('b').length,
        scripts: document.scripts.length,
        violations: window.__tarn.violations,
      }));
      assert.deepEqual(trace, { pwned: undefined, images: 0, bold: 0, scripts: 1, violations: [] });
      assert.deepEqual(p.foreign, []);
      assert.deepEqual(p.errors, []);
    } finally {
      await p.close();
    }
  });
});

if (startFailure) console.log(`# SKIP player page: Chromium cannot start: ${startFailure}`);
