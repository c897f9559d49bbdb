// The player's page: each panel owns its elements, draws the launcher's
// Events it needs and turns the player's clicks into Commands. Once all are
// mounted the page tells the launcher it is ready.
import { start } from './bridge.js';
import { mountAccounts } from './panels/accounts.js';
import { mountChecks } from './panels/checks.js';
import { mountEnvironment } from './panels/environment.js';
import { mountEpoch } from './panels/epoch.js';
import { mountFooter } from './panels/footer.js';
import { mountInstall } from './panels/install.js';
import { mountLauncherOffer } from './panels/launcher_offer.js';
import { mountLimit } from './panels/limit.js';
import { mountMove } from './panels/move.js';
import { mountNews } from './panels/news.js';
import { mountPlay } from './panels/play.js';
import { mountScreens } from './panels/screens.js';
import { mountTitlebar } from './panels/titlebar.js';
import { mountToasts } from './panels/toasts.js';

mountTitlebar();
mountScreens();
mountNews();
// Before the install panel: a stage change moves keyboard focus to the
// first usable control of its part, so the play button must know the
// stage by then.
mountPlay();
mountInstall();
mountAccounts();
mountEpoch();
mountEnvironment();
mountChecks();
mountLimit();
mountMove();
mountFooter();
mountToasts();
mountLauncherOffer();
start();
