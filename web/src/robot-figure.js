// The robot drawn live: a front view whose head and arms follow the seven
// motor positions as telemetry arrives. Clicking (or Enter on) a joint
// selects that motor's slider.
//
// Which motor is which part of the robot is written here and nowhere else.
// The library's motor table puts the head's turn on motor 1 and the
// shoulders' turns on motors 4 and 7 (the three that take 0-180); the other
// four are the elbows and wrists.  Each arm counts from the wrist up to the
// shoulder: 2, 3, 4 on the robot's left, 5, 6, 7 on its right.  The shipped
// motions agree (wave raises motor 7 and swings motor 6).
export const JOINTS = [
  { motor: 1, part: 'head', name: 'head turn' },
  { motor: 2, part: 'wrist', side: 'left', name: 'left wrist' },
  { motor: 3, part: 'elbow', side: 'left', name: 'left elbow' },
  { motor: 4, part: 'shoulder', side: 'left', name: 'left shoulder' },
  { motor: 5, part: 'wrist', side: 'right', name: 'right wrist' },
  { motor: 6, part: 'elbow', side: 'right', name: 'right elbow' },
  { motor: 7, part: 'shoulder', side: 'right', name: 'right shoulder' },
];

const SVG = 'http://www.w3.org/2000/svg';
// The robot faces the viewer: its right arm is on the viewer's left.
const CENTRE_X = 120;
const SHOULDER_Y = 80;
const SHOULDER_OFFSET_X = 38;
const UPPER_ARM = 34;
const FOREARM = 30;
const HAND = 12;
const HEAD_Y = 40;
const HEAD_RADIUS = 20;
// The middle of every motor's travel is the home pose: arms hanging, head
// to the front.
const HOME = 90;

function svg(name, attributes = {}, ...children) {
  const node = document.createElementNS(SVG, name);
  for (const [key, value] of Object.entries(attributes)) node.setAttribute(key, value);
  node.append(...children);
  return node;
}

// How far a joint turns on the drawing for an angle: from the home pose,
// half as far again as the motor, so a shoulder's 0-180 sweeps the arm from
// hanging (90) to well above level outwards (180) or across the body (0),
// and an elbow's or wrist's 55-125 bends it visibly either way.
const DRAWN_PER_DEGREE = 1.5;
function drawnTurn(angle) {
  return (angle - HOME) * DRAWN_PER_DEGREE;
}

export class RobotFigure {
  // contract: the robot's motor count (robot.js); onSelect(motor) when a
  // joint is chosen.
  constructor(contract, onSelect) {
    this.onSelect = onSelect;
    this.joints = new Map();
    this.element = this.build(JOINTS.filter(({ motor }) => motor <= contract.motorCount));
  }

  build(joints) {
    const figure = svg('svg', {
      viewBox: '0 0 240 200', class: 'robot-figure', role: 'group', 'aria-label': 'The robot, as its motors stand',
    });
    figure.append(
      svg('rect', { class: 'figure-body', x: CENTRE_X - 28, y: 64, width: 56, height: 76, rx: 10 }),
      svg('rect', { class: 'figure-body', x: CENTRE_X - 22, y: 144, width: 44, height: 36, rx: 6 }),
      svg('line', { class: 'figure-limb', x1: CENTRE_X, y1: HEAD_Y + HEAD_RADIUS, x2: CENTRE_X, y2: 64 }));
    const byPart = (side, part) => joints.find((joint) => joint.side === side && joint.part === part);
    for (const side of ['right', 'left']) {
      const arm = this.buildArm(side, byPart(side, 'shoulder'), byPart(side, 'elbow'), byPart(side, 'wrist'));
      if (arm) figure.append(arm);
    }
    const head = joints.find((joint) => joint.part === 'head');
    if (head) figure.append(this.buildHead(head));
    return figure;
  }

  buildHead(joint) {
    const face = svg('g', { class: 'figure-face' },
      svg('circle', { class: 'figure-eye', cx: -7, cy: -3, r: 3 }),
      svg('circle', { class: 'figure-eye', cx: 7, cy: -3, r: 3 }),
      svg('line', { class: 'figure-mouth', x1: -6, y1: 8, x2: 6, y2: 8 }));
    const head = svg('g', { transform: `translate(${CENTRE_X} ${HEAD_Y})` },
      svg('circle', { class: 'figure-head', r: HEAD_RADIUS }), face);
    const target = this.joint(joint, head, svg('circle', { class: 'figure-joint figure-head-target', r: HEAD_RADIUS }));
    // A turn shows as the face sliding towards the side it looks to.
    target.apply = (angle) => {
      const shift = Math.sin(((angle - HOME) * Math.PI) / 180) * (HEAD_RADIUS - 8);
      face.setAttribute('transform', `translate(${(-shift).toFixed(1)} 0)`);
    };
    return head;
  }

  // One arm, from the shoulder out; each joint's group holds the rest of
  // the arm, so turning it carries what lies beyond.
  buildArm(side, shoulder, elbow, wrist) {
    if (!shoulder) return null;
    // Outwards is clockwise on the viewer's left, anticlockwise on the right.
    const outwards = side === 'right' ? 1 : -1;
    const x = CENTRE_X - outwards * SHOULDER_OFFSET_X;
    const arm = svg('g', { transform: `translate(${x} ${SHOULDER_Y})`, class: `figure-arm figure-${side}` });
    let parent = arm;
    for (const [joint, length] of [[shoulder, UPPER_ARM], [elbow, FOREARM], [wrist, HAND]]) {
      if (!joint) break;
      const turn = svg('g');
      turn.append(svg('line', { class: joint.part === 'wrist' ? 'figure-hand' : 'figure-limb', x1: 0, y1: 0, x2: 0, y2: length }));
      const next = svg('g', { transform: `translate(0 ${length})` });
      turn.append(next);
      parent.append(turn);
      const target = this.joint(joint, turn, svg('circle', { class: 'figure-joint', r: 6 }));
      target.apply = (angle) => {
        turn.setAttribute('transform', `rotate(${(outwards * drawnTurn(angle)).toFixed(1)})`);
      };
      parent = next;
    }
    return arm;
  }

  // The clickable mark of a joint, placed in `group` (drawn above its limbs).
  joint({ motor, name }, group, mark) {
    mark.setAttribute('tabindex', '0');
    mark.setAttribute('role', 'button');
    mark.setAttribute('aria-label', `Motor ${motor}, ${name}: select its slider`);
    mark.dataset.motor = String(motor);
    const title = svg('title');
    title.textContent = `Motor ${motor}: ${name}`;
    mark.append(title);
    mark.addEventListener('click', () => this.onSelect(motor));
    mark.addEventListener('keydown', (event) => {
      if (event.key === 'Enter' || event.key === ' ') {
        event.preventDefault();
        this.onSelect(motor);
      }
    });
    group.append(mark);
    const entry = { group, mark, apply: () => {} };
    this.joints.set(motor, entry);
    group.dataset.motor = String(motor);
    return entry;
  }

  showPositions(positions) {
    if (!Array.isArray(positions)) return;
    for (const [motor, entry] of this.joints) {
      const angle = positions[motor - 1];
      if (typeof angle !== 'number') continue;
      entry.apply(angle);
      entry.group.dataset.angle = String(angle);
    }
  }

  // Marks the joint whose slider is in use.
  select(motor) {
    for (const [number, { mark }] of this.joints) mark.classList.toggle('selected', number === motor);
  }
}
