// The servos: a dial each showing the live position and the target,
// and a slider that moves the servo while it is dragged.

import { JOINTS } from './robot-figure.js';

const SVG = 'http://www.w3.org/2000/svg';
const MOVE_INTERVAL_MS = 100;
// After the user last touched a slider, telemetry leaves it alone this long.
const HANDS_OFF_MS = 2000;

// Sends the latest value at most once per interval and never two at a time;
// the last value set is always sent in the end.
export class MoveLimiter {
  constructor(send, intervalMs = MOVE_INTERVAL_MS) {
    this.send = send;
    this.intervalMs = intervalMs;
    this.pending = null;
    this.inFlight = false;
    this.timer = null;
    this.lastSent = -Infinity;
  }

  get busy() {
    return this.pending !== null || this.inFlight || this.timer !== null;
  }

  set(value) {
    this.pending = value;
    this.kick();
  }

  kick() {
    if (this.inFlight || this.timer !== null || this.pending === null) return;
    const wait = this.lastSent + this.intervalMs - performance.now();
    if (wait > 0) {
      this.timer = setTimeout(() => {
        this.timer = null;
        this.kick();
      }, wait);
      return;
    }
    const value = this.pending;
    this.pending = null;
    this.inFlight = true;
    this.lastSent = performance.now();
    Promise.resolve(this.send(value)).finally(() => {
      this.inFlight = false;
      this.kick();
    });
  }

  cancel() {
    clearTimeout(this.timer);
    this.timer = null;
    this.pending = null;
  }
}

function svg(name, attributes = {}) {
  const element = document.createElementNS(SVG, name);
  for (const [key, value] of Object.entries(attributes)) element.setAttribute(key, value);
  return element;
}

// A point on the dial for an angle of 0-180 (0 on the left, 180 on the right).
const CENTRE = { x: 50, y: 50 };
const RADIUS = 40;
function dialPoint(angle, radius = RADIUS) {
  const theta = Math.PI - (angle * Math.PI) / 180;
  return { x: CENTRE.x + radius * Math.cos(theta), y: CENTRE.y - radius * Math.sin(theta) };
}

function arcPath(from, to, radius = RADIUS) {
  const start = dialPoint(from, radius);
  const end = dialPoint(to, radius);
  return `M ${start.x.toFixed(2)} ${start.y.toFixed(2)} A ${radius} ${radius} 0 0 1 ${end.x.toFixed(2)} ${end.y.toFixed(2)}`;
}

class Servo {
  constructor(motor, range, move) {
    this.motor = motor;
    this.range = range;
    this.lastTouched = -Infinity;
    this.limiter = new MoveLimiter((angle) => move(motor, angle));
    this.element = this.build();
  }

  build() {
    const [low, high] = this.range;
    const card = document.createElement('div');
    card.className = 'servo';
    card.dataset.motor = String(this.motor);

    const dial = svg('svg', { viewBox: '0 0 100 62', class: 'dial', 'aria-hidden': 'true' });
    dial.append(
      svg('path', { d: arcPath(0, 180), class: 'dial-track' }),
      svg('path', { d: arcPath(low, high), class: 'dial-range' }),
    );
    this.targetMark = svg('line', { class: 'dial-target', x1: 50, y1: 50, x2: 50, y2: 6 });
    this.needle = svg('line', { class: 'dial-needle', x1: 50, y1: 50, x2: 50, y2: 14 });
    dial.append(this.targetMark, this.needle, svg('circle', { cx: 50, cy: 50, r: 3.5, class: 'dial-hub' }));

    const id = `servo-${this.motor}`;
    const label = document.createElement('label');
    label.htmlFor = id;
    label.className = 'servo-label';
    label.textContent = `Motor ${this.motor}`;
    const joint = JOINTS.find((entry) => entry.motor === this.motor);
    if (joint) label.append(' ', Object.assign(document.createElement('span'), { className: 'servo-joint', textContent: joint.name }));
    this.readout = document.createElement('output');
    this.readout.className = 'servo-position';
    this.readout.htmlFor = id;
    this.readout.textContent = '–';
    label.append(' ', this.readout);

    this.slider = document.createElement('input');
    Object.assign(this.slider, { type: 'range', id, min: String(low), max: String(high), step: '1' });
    this.slider.value = String(Math.round((low + high) / 2));
    this.slider.dataset.motor = String(this.motor);
    this.slider.setAttribute('aria-describedby', `${id}-range`);
    this.slider.addEventListener('input', () => this.userMoved());
    this.slider.addEventListener('change', () => this.userMoved());

    const limits = document.createElement('div');
    limits.className = 'servo-range';
    limits.id = `${id}-range`;
    limits.innerHTML = `<span>${low}°</span><span class="visually-hidden"> to </span><span>${high}°</span>`;

    card.append(dial, label, this.slider, limits);
    this.showTarget(Number(this.slider.value));
    return card;
  }

  userMoved() {
    this.lastTouched = performance.now();
    const angle = Number(this.slider.value);
    this.showTarget(angle);
    this.limiter.set(angle);
  }

  showTarget(angle) {
    const tip = dialPoint(angle, RADIUS + 4);
    this.targetMark.setAttribute('x2', tip.x.toFixed(2));
    this.targetMark.setAttribute('y2', tip.y.toFixed(2));
  }

  showPosition(angle) {
    const tip = dialPoint(Math.min(180, Math.max(0, angle)), RADIUS - 6);
    this.needle.setAttribute('x2', tip.x.toFixed(2));
    this.needle.setAttribute('y2', tip.y.toFixed(2));
    this.readout.textContent = `${angle}°`;
    this.element.dataset.position = String(angle);
    // The slider follows the robot (moved by another client, or its first
    // reading) unless the user is at it.
    const handsOff = performance.now() - this.lastTouched > HANDS_OFF_MS;
    if (handsOff && !this.limiter.busy) {
      this.slider.value = String(angle);
      this.showTarget(Number(this.slider.value));
    }
  }
}

// The servo section, one servo per motor of the contract (robot.js), each
// slider spanning its motor's range: `move(motor, angle)` returns a promise
// that settles when the daemon has answered.
export class ServoPanel {
  constructor(container, contract, move) {
    this.servos = [];
    for (let motor = 1; motor <= contract.motorCount; motor += 1) {
      const servo = new Servo(motor, contract.motorRange(motor), move);
      this.servos.push(servo);
      container.append(servo.element);
    }
  }

  showPositions(positions) {
    if (!Array.isArray(positions)) return;
    positions.slice(0, this.servos.length).forEach((angle, index) => this.servos[index].showPosition(angle));
  }

  destroy() {
    for (const servo of this.servos) servo.limiter.cancel();
  }
}
