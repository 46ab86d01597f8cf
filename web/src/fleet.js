// The fleet page: every robot of the daemon's MQTT site as the broker sees
// it (the daemon's `fleet` command, asked once a second), and one command
// sent to all of them (`fleet_all`).  Replies come back from each robot and
// show in its row.

import { Connection, CommandError } from './connection.js';

const POLL_MS = 1000;

const summary = document.getElementById('fleet-summary');
const rows = document.querySelector('#fleet-table tbody');
const linkStatus = document.getElementById('link-status');
const preset = document.getElementById('all-preset');
const requestInput = document.getElementById('all-request');
const outcome = document.getElementById('all-outcome');
let lastSentId = null;
let pollTimer = null;

// The page's token (if any) goes on to the panel's other pages.
document.getElementById('panel-link').href = `/${window.location.search}`;
document.getElementById('fleet-link').href = `/fleet.html${window.location.search}`;

// The column headings, which a phone shows beside each value.
const headings = [...document.querySelectorAll('#fleet-table thead th')].map((th) => th.textContent);
// This daemon's own robots (its `devices`): their pages are on this daemon.
let localRobots = new Set();

function cell(text, state, column) {
  const td = document.createElement('td');
  td.textContent = text;
  td.dataset.label = headings[column] ?? '';
  if (state) td.dataset.state = state;
  return td;
}

// Where a robot's own page is: this daemon's, for a robot it serves; else
// the panel its daemon says it is reached at (tovlinkd --panel-url), checked
// again here since anyone on the broker may publish. No address, no link.
function robotPage(robot) {
  const route = `#/robot/${encodeURIComponent(robot.name)}`;
  if (localRobots.has(robot.name)) return `/${window.location.search}${route}`;
  if (typeof robot.panel !== 'string') return null;
  try {
    const page = new URL(robot.panel);
    if (page.protocol !== 'http:' && page.protocol !== 'https:') return null;
    page.hash = route;
    return page.href;
  } catch {
    return null;
  }
}

function replyText(reply) {
  if (!reply) return '';
  const mark = lastSentId !== null && JSON.stringify(reply.id) === JSON.stringify(lastSentId) ? '' : ' (earlier)';
  return reply.ok ? `${reply.cmd}: ok${mark}` : `${reply.cmd}: ${reply.error ?? 'failed'}${mark}`;
}

function show(fleet) {
  const robots = fleet.robots ?? [];
  const online = robots.filter((robot) => robot.status === 'online').length;
  document.getElementById('fleet-title').textContent = `Fleet — site ${fleet.site}`;
  summary.textContent = `${robots.length} robots, ${online} online — broker ${fleet.broker} `
    + (fleet.connected ? '(connected)' : '(not connected)')
    + (fleet.not_listed ? `; ${fleet.not_listed} more not listed` : '');
  const fresh = robots.map((robot) => {
    const tr = document.createElement('tr');
    tr.dataset.robot = robot.name;
    const th = document.createElement('th');
    th.scope = 'row';
    const page = robotPage(robot);
    if (page) {
      const link = document.createElement('a');
      link.href = page;
      link.textContent = robot.name;
      th.append(link);
    } else {
      th.textContent = robot.name;
    }
    const telemetry = robot.telemetry ?? {};
    const status = robot.status === 'online' ? 'ready' : robot.status;
    tr.append(
      th,
      cell(robot.status, status, 1),
      cell(telemetry.battery !== undefined ? `${telemetry.battery} mV` : '', undefined, 2),
      cell(telemetry.motor_power !== undefined ? String(telemetry.motor_power) : '', undefined, 3),
      cell(robot.state_age_ms !== undefined ? `${(robot.state_age_ms / 1000).toFixed(1)} s ago` : '', undefined, 4),
      cell(replyText(robot.reply), robot.reply && !robot.reply.ok ? 'lost' : undefined, 5),
    );
    return tr;
  });
  rows.replaceChildren(...fresh);
}

async function poll() {
  try {
    show(await connection.request('fleet'));
  } catch (error) {
    summary.textContent = error instanceof CommandError && error.errorName === 'unknown_command'
      ? 'This daemon has no MQTT bridge (start it with --mqtt HOST --site NAME).'
      : String(error.message ?? error);
  }
}

const connection = new Connection(window.location, {
  onStatus(status) {
    linkStatus.dataset.state = status.state;
    linkStatus.querySelector('.text').textContent = status.state === 'open' ? 'Connected'
      : status.state === 'connecting' ? 'Connecting…'
        : status.state === 'token' ? 'Token needed: enter it on the panel page' : 'No connection to the daemon';
    if (status.state !== 'open') clearInterval(pollTimer);
  },
  async onOpen() {
    try {
      const devices = await connection.request('devices');
      localRobots = new Set((devices.robots ?? []).map((robot) => robot.name));
    } catch {
      localRobots = new Set();  // no links then; the table still shows
    }
    poll();
    clearInterval(pollTimer);
    pollTimer = setInterval(poll, POLL_MS);
  },
  onPush() {},
});

requestInput.value = preset.value;
preset.addEventListener('change', () => { requestInput.value = preset.value; });
document.getElementById('all-form').addEventListener('submit', async (event) => {
  event.preventDefault();
  let request;
  try {
    request = JSON.parse(requestInput.value);
  } catch {
    requestInput.setAttribute('aria-invalid', 'true');
    outcome.textContent = 'The request is not valid JSON.';
    return;
  }
  requestInput.removeAttribute('aria-invalid');
  try {
    const sent = await connection.request('fleet_all', { request });
    lastSentId = sent.id;
    outcome.textContent = `Sent to ${sent.topic}; replies show in each robot's row.`;
    poll();
  } catch (error) {
    outcome.textContent = `Not sent: ${error.message ?? error}`;
  }
});

connection.start();
