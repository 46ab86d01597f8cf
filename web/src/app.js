// The panel's entry point: the daemon's robots and their telemetry, the
// connection status, the list and robot views, and the record of failures.

import { Connection, CommandError } from './connection.js';
import { History, WINDOW_S } from './plots.js';
import { RobotView } from './robot-view.js';
import { RobotContract } from './robot.js';

const WATCH_RATE_HZ = 10;
const FAILURES_KEPT = 50;
const TOAST_MS = 6000;

// What the panel knows about the daemon's robots and what they accept.
// Events: 'list' when the set of robots changes, 'contract' when the daemon
// described the robot differently, 'robot' {name, what: 'state'|'telemetry'}.
class Store extends EventTarget {
  constructor() {
    super();
    this.robots = new Map();
    this.histories = new Map();
    this.drafts = new Map();
    this.online = false;
    this.contract = null;
  }

  setContract(document) {
    const contract = new RobotContract(document);
    if (contract.sameAs(this.contract)) return;
    this.contract = contract;
    this.dispatchEvent(new CustomEvent('contract'));
  }

  // The Motion card's unsaved edit of each robot, kept across page rebuilds.
  motionDraftOf(name) {
    if (!this.drafts.has(name)) this.drafts.set(name, {});
    return this.drafts.get(name);
  }

  historyOf(name) {
    if (!this.histories.has(name)) this.histories.set(name, new History());
    return this.histories.get(name);
  }

  setOnline(online) {
    this.online = online;
    if (!online) for (const name of this.robots.keys()) this.historyOf(name).gap(Date.now() / 1000);
    for (const name of this.robots.keys()) this.changed(name, 'state');
  }

  setRobots(list) {
    const previous = this.robots;
    this.robots = new Map();
    for (const { name, port, state, sim } of list) {
      this.robots.set(name, { ...previous.get(name), name, port, state, sim: Boolean(sim) });
    }
    this.dispatchEvent(new CustomEvent('list'));
    for (const name of this.robots.keys()) this.changed(name, 'state');
  }

  setState(name, state, port) {
    const robot = this.robots.get(name);
    if (!robot) return;
    if (robot.state === state && (port === undefined || robot.port === port)) return;
    if (robot.state === 'ready' && state !== 'ready') this.historyOf(name).gap(Date.now() / 1000);
    robot.state = state;
    if (port !== undefined) robot.port = port;
    this.changed(name, 'state');
  }

  setTelemetry(message) {
    const robot = this.robots.get(message.robot);
    if (!robot) return;
    if (message.state) this.setState(message.robot, message.state);
    robot.telemetry = message;
    robot.readAt = Date.now() - (Number(message.age_ms) || 0);
    this.historyOf(message.robot).add(robot.readAt / 1000, message);
    this.changed(message.robot, 'telemetry');
  }

  fillHistory(name, samples, skewMs) {
    if (!this.robots.has(name)) return;
    this.historyOf(name).fill(samples, skewMs);
    this.changed(name, 'history');
  }

  // A motion's progress (play, keyframe, pause, end), pushed by the daemon.
  setMotion(message) {
    const robot = this.robots.get(message.robot);
    if (!robot) return;
    robot.motion = message;
    this.changed(message.robot, 'motion');
  }

  changed(name, what) {
    this.dispatchEvent(new CustomEvent('robot', { detail: { name, what } }));
  }
}

const store = new Store();
const view = document.getElementById('view');
const linkStatus = document.getElementById('link-status');
const failureList = document.getElementById('failure-list');
const toast = document.getElementById('toast');

// ---- failures -------------------------------------------------------------

let toastTimer = null;

function reportFailure(robot, what, error) {
  const isCommandError = error instanceof CommandError;
  const message = isCommandError ? error.message : String(error);
  const item = document.createElement('li');
  item.dataset.cmd = isCommandError ? error.cmd : '';
  if (isCommandError && error.errorName) item.dataset.error = error.errorName;
  const time = document.createElement('time');
  time.dateTime = new Date().toISOString();
  time.textContent = new Date().toLocaleTimeString();
  const title = document.createElement('strong');
  title.textContent = robot ? `${robot}: ${what}` : what;
  const detail = document.createElement('span');
  detail.className = 'failure-message';
  detail.textContent = message;
  item.append(time, ' ', title, ' — ', detail);
  if (isCommandError && (error.errorName || error.code !== null)) {
    const code = document.createElement('span');
    code.className = 'failure-code';
    code.textContent = ` (${[error.errorName, error.code].filter((part) => part !== null).join(' ')})`;
    item.append(code);
  }
  failureList.prepend(item);
  while (failureList.children.length > FAILURES_KEPT) failureList.lastChild.remove();
  document.getElementById('failures').hidden = false;

  toast.textContent = `${title.textContent} failed: ${message}`;
  toast.hidden = false;
  clearTimeout(toastTimer);
  toastTimer = setTimeout(() => { toast.hidden = true; }, TOAST_MS);
}

document.getElementById('failures-clear').addEventListener('click', () => {
  failureList.replaceChildren();
  document.getElementById('failures').hidden = true;
});

// Runs one command; resolves with its result, or with null once the failure
// has been shown (or, with `quiet`, passed to onQuietFailure instead). `what`
// says in words what was asked.
async function command(robot, cmd, args, what, { quiet = false, onQuietFailure = () => {} } = {}) {
  try {
    return await connection.request(cmd, robot ? { robot, ...args } : args);
  } catch (error) {
    if (quiet) onQuietFailure(error);
    else reportFailure(robot, what, error);
    return null;
  }
}

// ---- connection -----------------------------------------------------------

let retryAt = 0;
let statusTimer = null;

function showLinkStatus(status) {
  clearInterval(statusTimer);
  linkStatus.dataset.state = status.state;
  const retry = document.getElementById('retry-now');
  retry.hidden = status.state !== 'waiting';
  const text = linkStatus.querySelector('.text');
  showTokenForm(status);
  if (status.state === 'token') {
    text.textContent = status.rejected ? 'Token not accepted' : 'Token needed';
  } else if (status.state === 'open') {
    text.textContent = 'Connected';
  } else if (status.state === 'connecting') {
    text.textContent = status.attempt > 1 ? `Reconnecting (attempt ${status.attempt})…` : 'Connecting…';
  } else {
    retryAt = Date.now() + status.retryInMs;
    const tick = () => {
      const seconds = Math.max(0, Math.ceil((retryAt - Date.now()) / 1000));
      text.textContent = `No connection to the daemon — retrying in ${seconds} s`;
    };
    tick();
    statusTimer = setInterval(tick, 500);
  }
}

// The daemon refused for want of a token: ask for it rather than retry.
const tokenForm = document.getElementById('token-form');
const tokenInput = document.getElementById('token-input');

function showTokenForm(status) {
  const wanted = status.state === 'token';
  if (status.state === 'connecting') return;  // keep the form up while a typed token is tried
  tokenForm.hidden = !wanted;
  if (!wanted) return;
  document.getElementById('token-message').textContent = status.rejected
    ? 'The daemon did not accept that token. Check it and try again.'
    : 'Enter the token the daemon was started with (its --token-file). It is kept for this tab only.';
  tokenInput.setAttribute('aria-invalid', String(Boolean(status.rejected)));
  tokenInput.focus();
}

tokenForm.addEventListener('submit', (event) => {
  event.preventDefault();
  if (tokenInput.value) connection.useToken(tokenInput.value);
});

const connection = new Connection(window.location, {
  onStatus(status) {
    showLinkStatus(status);
    if (status.state !== 'open' && store.online) store.setOnline(false);
  },
  async onOpen(version) {
    linkStatus.title = `tovlinkd ${version.release ?? ''}, protocol ${version.proto?.major}.${version.proto?.minor}`;
    store.online = true;
    // The robot's limits, LEDs and queries, as the daemon's library has them.
    const contract = await command(null, 'describe', {}, 'Describe the robot');
    if (contract) store.setContract(contract);
    const devices = await command(null, 'devices', {}, 'List the robots');
    if (devices) store.setRobots(devices.robots ?? []);
    await command(null, 'watch', { enable: true, rate_hz: WATCH_RATE_HZ }, 'Watch the robots');
    // What the daemon remembers of each robot fills the plots at once. A
    // daemon without history (turned off, or older) leaves them to fill live.
    for (const name of store.robots.keys()) {
      connection.request('history', { robot: name, since_ms: WINDOW_S * 1000 })
        .then((result) => {
          // Readings are placed on this browser's clock, which may differ
          // from the daemon's machine's: the reply says what "now" is there.
          const skewMs = Number.isFinite(result.now_ms) ? Date.now() - result.now_ms : 0;
          store.fillHistory(name, result.samples ?? [], skewMs);
        }, () => {});
    }
    // A daemon that bridges its robots to MQTT also has a fleet page.
    connection.request('fleet').then(() => {
      const fleetLink = document.getElementById('fleet-link');
      fleetLink.href = `/fleet.html${window.location.search}`;
      fleetLink.hidden = false;
    }, () => {});
  },
  onPush(message) {
    if (message.class === 'telemetry') store.setTelemetry(message);
    else if (message.class === 'state') store.setState(message.robot, message.state, message.port);
    else if (message.class === 'motion') store.setMotion(message);
  },
});

document.getElementById('retry-now').addEventListener('click', () => connection.retryNow());

// ---- views ----------------------------------------------------------------

function stateLabel(state) {
  return store.online ? state ?? 'unknown' : 'daemon offline';
}

class ListView {
  constructor(root) {
    this.root = root;
    this.items = new Map();
    this.onList = () => this.build();
    this.onRobot = (event) => this.update(event.detail.name);
    store.addEventListener('list', this.onList);
    store.addEventListener('robot', this.onRobot);
    this.build();
  }

  build() {
    const heading = document.createElement('h1');
    heading.textContent = 'Robots';
    const list = document.createElement('ul');
    list.className = 'robot-list';
    this.items.clear();
    for (const robot of store.robots.values()) {
      const item = document.createElement('li');
      item.dataset.robot = robot.name;
      item.innerHTML = `<a class="card robot-link"><span class="name"></span>
        <span class="state"></span><span class="port"></span><span class="battery"></span></a>`;
      item.querySelector('a').href = `#/robot/${encodeURIComponent(robot.name)}`;
      item.querySelector('.name').textContent = robot.name + (robot.sim ? ' (virtual)' : '');
      list.append(item);
      this.items.set(robot.name, item);
      this.update(robot.name);
    }
    if (store.robots.size === 0) {
      const empty = document.createElement('p');
      empty.textContent = store.online ? 'The daemon has no robots.' : 'Waiting for the daemon…';
      this.root.replaceChildren(heading, empty);
    } else {
      this.root.replaceChildren(heading, list);
    }
  }

  update(name) {
    const item = this.items.get(name);
    const robot = store.robots.get(name);
    if (!item || !robot) return;
    const state = item.querySelector('.state');
    state.dataset.state = store.online ? robot.state : 'offline';
    state.textContent = stateLabel(robot.state);
    item.querySelector('.port').textContent = robot.port ?? '';
    item.querySelector('.battery').textContent = robot.telemetry ? `${robot.telemetry.battery} mV` : '';
  }

  destroy() {
    store.removeEventListener('list', this.onList);
    store.removeEventListener('robot', this.onRobot);
  }
}

let current = null;

function route({ focus = true } = {}) {
  current?.destroy();
  const match = /^#\/robot\/(.+)$/.exec(window.location.hash);
  if (match) {
    const name = decodeURIComponent(match[1]);
    document.title = `${name} — TovLink panel`;
    current = new RobotView(view, name, store, command);
  } else {
    document.title = 'TovLink panel';
    current = new ListView(view);
  }
  if (focus) view.focus({ preventScroll: true });
}

// A robot view may be built before the daemon's list or its description of
// the robot arrive (its port and kind come from the list, its controls from
// the description): build it again then.
for (const event of ['list', 'contract']) {
  store.addEventListener(event, () => {
    if (current instanceof RobotView) route({ focus: false });
  });
}
window.addEventListener('hashchange', route);
route();
connection.start();
