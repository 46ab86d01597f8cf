// One robot's page: its state, servos, readings, plots and controls.

import { utf8Length } from './robot.js';
import { MotionCard } from './motion.js';
import { RobotFigure } from './robot-figure.js';
import { ServoPanel } from './servos.js';
import { TelemetryPlots } from './plots.js';

const QUERY_REPLIES_KEPT = 20;

function element(name, attributes = {}, ...children) {
  const node = document.createElement(name);
  for (const [key, value] of Object.entries(attributes)) {
    if (key === 'dataset') Object.assign(node.dataset, value);
    else if (key in node && key !== 'list' && key !== 'form') node[key] = value;
    else node.setAttribute(key, value);
  }
  node.append(...children);
  return node;
}

function section(title, id, ...children) {
  const heading = element('h2', { id: `${id}-title` }, title);
  return element('section', { className: `card ${id}`, 'aria-labelledby': heading.id }, heading, ...children);
}

function numberField(label, attributes) {
  const input = element('input', { type: 'number', inputMode: 'numeric', ...attributes });
  return { input, field: element('label', { className: 'field' }, element('span', {}, label), input) };
}

export class RobotView {
  // store: the panel's robots and the robot contract (app.js); command(robot,
  // cmd, args, what) resolves with the result or null after the failure has
  // been reported. The controls follow store.contract: until the daemon has
  // described it, the view waits (app.js builds it again then).
  constructor(root, name, store, command) {
    this.root = root;
    this.name = name;
    this.store = store;
    this.contract = store.contract;
    this.command = (cmd, args, what) => command(name, cmd, args, what);
    this.request = (cmd, args, what, options) => command(null, cmd, args, what, options);
    this.leds = new Map();
    this.build();
    this.onRobot = (event) => {
      if (event.detail.name === this.name) this.refresh(event.detail.what);
    };
    store.addEventListener('robot', this.onRobot);
    this.ageTimer = setInterval(() => this.showAge(), 500);
    this.refresh('all');
  }

  build() {
    const robot = this.store.robots.get(this.name);
    this.stateBadge = element('span', { className: 'state', id: 'robot-state', dataset: { state: 'unknown' } }, '…');
    this.portText = element('span', { className: 'port' }, robot?.port ?? '');
    const header = element('header', { className: 'robot-header' },
      element('a', { href: '#/', className: 'back' }, '← All robots'),
      element('h1', {}, this.name),
      this.stateBadge, this.portText,
      robot?.sim ? element('span', { className: 'tag' }, 'virtual') : '');

    // Everything that sends a command sits in this fieldset, disabled while
    // the robot is not ready (the daemon would refuse with robot_not_ready).
    this.controls = element('fieldset', { className: 'controls' });
    this.controls.append(element('legend', { className: 'visually-hidden' }, 'Robot controls'));

    const servoGrid = element('div', { className: 'servo-grid' });
    this.servos = null;
    this.figure = null;
    if (this.contract) {
      this.servos = new ServoPanel(servoGrid, this.contract, (motor, angle) =>
        this.command('move', { motor, angle }, `Move motor ${motor} to ${angle}°`));
      this.figure = new RobotFigure(this.contract, (motor) => {
        const slider = servoGrid.querySelector(`input[type="range"][data-motor="${motor}"]`);
        slider?.focus({ preventScroll: true });
        slider?.closest('.servo')?.scrollIntoView({ block: 'nearest', behavior: 'smooth' });
      });
      servoGrid.addEventListener('focusin', (event) => {
        this.figure.select(Number(event.target.dataset.motor) || null);
      });
      this.controls.append(
        section('Servos', 'servos',
          element('div', { className: 'servo-layout' },
            element('div', { className: 'figure-frame' }, this.figure.element), servoGrid)),
        this.buildPower(),
        this.buildLeds(),
        this.buildSound(),
        this.buildQueries(),
        this.buildMotion());
    } else {
      this.controls.append(element('p', { className: 'waiting' }, 'Waiting for the daemon to describe the robot…'));
    }

    this.readings = {};
    const readingList = element('dl', { className: 'readings-list' });
    for (const [key, label] of [['battery', 'Battery'], ['sensor', 'Sensor'], ['mic', 'Microphone'],
      ['mic_analog', 'Mic (analog)'], ['motor_power', 'Motor power'], ['age', 'Updated']]) {
      this.readings[key] = element('dd', { id: `reading-${key.replace('_', '-')}` }, '–');
      readingList.append(element('div', {}, element('dt', {}, label), this.readings[key]));
    }

    this.pauseButton = element('button', { type: 'button', className: 'pause', 'aria-pressed': 'false' }, 'Pause');
    this.pauseButton.addEventListener('click', () => this.togglePause());
    const plotArea = element('div', { className: 'plots' });
    const plotsSection = section('Last 60 seconds', 'plots-card',
      element('div', { className: 'section-tools' }, this.pauseButton), plotArea);

    this.root.replaceChildren(header,
      element('div', { className: 'robot-grid' },
        section('Readings', 'readings', readingList),
        plotsSection,
        this.controls));
    this.plots = new TelemetryPlots(plotArea, this.store.historyOf(this.name));
  }

  buildPower() {
    const [low, high] = this.contract.powerValueRange;
    const { input: value, field } = numberField('Value', {
      min: String(low), max: String(high), value: String(this.contract.defaultPowerValue), step: '10', id: 'power-value',
    });
    const on = element('button', { type: 'button', id: 'power-on' }, 'Power on');
    const off = element('button', { type: 'button', id: 'power-off' }, 'Power off');
    const start = element('button', { type: 'button', id: 'motor-start' }, 'Start motors');
    on.addEventListener('click', () => {
      const power = Number(value.value);
      this.command('power', { on: true, value: power }, `Motor power on (${power})`);
    });
    off.addEventListener('click', () => this.command('power', { on: false }, 'Motor power off'));
    start.addEventListener('click', () => this.command('start', {}, 'Start motors'));
    return section('Motor power', 'power', element('div', { className: 'row' }, field, on, off, start));
  }

  buildLeds() {
    this.ledButtons = [];
    const row = element('div', { className: 'row' });
    for (const { number: led, name } of this.contract.leds) {
      this.leds.set(led, false);
      const button = element('button', {
        type: 'button', className: 'led', title: name, 'aria-pressed': 'false', dataset: { led: String(led) },
      }, `LED ${led}`);
      button.addEventListener('click', async () => {
        const on = !this.leds.get(led);
        const result = await this.command('led', { led, on }, `LED ${led} ${on ? 'on' : 'off'}`);
        if (result !== null) {
          this.leds.set(led, on);
          button.setAttribute('aria-pressed', String(on));
        }
      });
      this.ledButtons.push(button);
      row.append(button);
    }
    return section('LEDs', 'leds', row);
  }

  buildSound() {
    const limits = ([low, high]) => ({ min: String(low), max: String(high) });
    const { input: first, field: firstField } = numberField('Tone (Hz)', { value: '440', ...limits(this.contract.toneFirstRange), id: 'tone-first' });
    const { input: second, field: secondField } = numberField('Length (ms)', { value: '200', ...limits(this.contract.toneSecondRange), id: 'tone-second' });
    const tone = element('button', { type: 'button', id: 'tone-play' }, 'Play tone');
    tone.addEventListener('click', () => {
      const args = { first: Number(first.value), second: Number(second.value) };
      this.command('tone', args, `Tone ${args.first}, ${args.second}`);
    });

    const text = element('input', { type: 'text', id: 'say-text', autocomplete: 'off', spellcheck: false });
    const maxBytes = this.contract.speechMaxBytes;
    const counter = element('span', { className: 'counter', id: 'say-count', 'aria-live': 'polite' }, `0/${maxBytes} bytes`);
    const say = element('button', { type: 'submit', id: 'say' }, 'Say');
    const sayForm = element('form', { className: 'row say' },
      element('label', { className: 'field grow' }, element('span', {}, 'Text to say'), text), say, counter);
    text.addEventListener('input', () => {
      const bytes = utf8Length(text.value);
      counter.textContent = `${bytes}/${maxBytes} bytes`;
      const tooLong = bytes > maxBytes;
      counter.classList.toggle('over', tooLong);
      text.setAttribute('aria-invalid', String(tooLong));
      say.disabled = tooLong;
    });
    sayForm.addEventListener('submit', (event) => {
      event.preventDefault();
      this.command('say', { text: text.value }, `Say "${text.value}"`);
    });

    const { input: speed, field: speedField } = numberField('Speech speed', { value: '100', ...limits(this.contract.speechSpeedRange), id: 'speech-speed' });
    const setSpeed = element('button', { type: 'button', id: 'speech-speed-set' }, 'Set speed');
    setSpeed.addEventListener('click', () => {
      const value = Number(speed.value);
      this.command('speed', { speed: value }, `Speech speed ${value}`);
    });

    return section('Sound and speech', 'sound',
      element('div', { className: 'row' }, firstField, secondField, tone),
      sayForm,
      element('div', { className: 'row' }, speedField, setSpeed));
  }

  buildQueries() {
    const select = element('select', { id: 'query-name' },
      ...this.contract.queryNames.map((query) => element('option', { value: query }, query)));
    const ask = element('button', { type: 'submit', id: 'query-ask' }, 'Ask');
    this.queryReplies = element('ol', { className: 'query-replies', id: 'query-replies', 'aria-live': 'polite' });
    const form = element('form', { className: 'row' },
      element('label', { className: 'field' }, element('span', {}, 'Query'), select), ask);
    form.addEventListener('submit', async (event) => {
      event.preventDefault();
      const query = select.value;
      const result = await this.command('query', { query }, `Query ${query}`);
      if (result === null) return;
      const item = element('li', { dataset: { query } },
        element('span', { className: 'query' }, query), ' ', element('code', {}, result.text ?? ''));
      this.queryReplies.prepend(item);
      while (this.queryReplies.children.length > QUERY_REPLIES_KEPT) this.queryReplies.lastChild.remove();
    });
    return section('Queries', 'queries', form, this.queryReplies);
  }

  buildMotion() {
    this.motion = new MotionCard({
      contract: this.contract,
      command: this.command,
      request: this.request,
      positions: () => this.store.robots.get(this.name)?.telemetry?.positions ?? null,
      draft: this.store.motionDraftOf(this.name),
    });
    return this.motion.element;
  }

  // The LED states the daemon remembers setting (null: not set since it
  // connected the robot, shown off).
  showLeds(states) {
    if (!Array.isArray(states) || !this.ledButtons) return;
    for (const button of this.ledButtons) {
      const led = Number(button.dataset.led);
      const on = states[led - 1];
      if (typeof on !== 'boolean') continue;
      this.leds.set(led, on);
      button.setAttribute('aria-pressed', String(on));
    }
  }

  togglePause() {
    const paused = !this.plots.paused;
    this.plots.setPaused(paused);
    this.pauseButton.textContent = paused ? 'Resume' : 'Pause';
    this.pauseButton.setAttribute('aria-pressed', String(paused));
  }

  refresh(what) {
    const robot = this.store.robots.get(this.name);
    if (what === 'all' || what === 'state') this.showState(robot);
    if ((what === 'all' || what === 'motion') && robot?.motion) this.motion?.showProgress(robot.motion);
    if (what === 'history') this.plots.update();
    if ((what === 'all' || what === 'telemetry') && robot?.telemetry) {
      const telemetry = robot.telemetry;
      this.servos?.showPositions(telemetry.positions);
      this.showLeds(telemetry.leds);
      this.figure?.showPositions(telemetry.positions);
      this.readings.battery.textContent = `${telemetry.battery} mV`;
      this.readings.sensor.textContent = String(telemetry.sensor);
      this.readings.mic.textContent = String(telemetry.mic);
      this.readings.mic_analog.textContent = String(telemetry.mic_analog);
      this.readings.motor_power.textContent = telemetry.motor_power ? `on (${telemetry.motor_power})` : 'off';
      this.showAge();
      this.plots.update();
    }
  }

  showState(robot) {
    const state = !this.store.online ? 'offline' : robot ? robot.state : 'unknown';
    const labels = { offline: 'daemon offline', unknown: 'no such robot' };
    this.stateBadge.dataset.state = state;
    this.stateBadge.textContent = labels[state] ?? state;
    if (robot) this.portText.textContent = robot.port ?? '';
    this.controls.disabled = state !== 'ready';
  }

  showAge() {
    const robot = this.store.robots.get(this.name);
    if (!robot?.telemetry) return;
    const ageMs = Date.now() - robot.readAt;
    this.readings.age.textContent = `${(ageMs / 1000).toFixed(1)} s ago`;
    this.readings.age.classList.toggle('stale', ageMs > 3000);
  }

  destroy() {
    this.store.removeEventListener('robot', this.onRobot);
    clearInterval(this.ageTimer);
    this.servos?.destroy();
    this.motion?.destroy();
    this.plots.destroy();
  }
}
