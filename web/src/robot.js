// What the panel knows about the robot itself: its servos' ranges, its LEDs,
// the text queries, and the limits the daemon checks too.

export const MOTOR_COUNT = 7;
export const LED_COUNT = 4;

// Motors 2, 3, 5 and 6 are narrowed to 55-125 (the library clamps them);
// 1, 4 and 7 take the full 0-180.
export function motorRange(motor) {
  return [2, 3, 5, 6].includes(motor) ? [55, 125] : [0, 180];
}

export const QUERIES = [
  'who', 'motor-power', 'motor-power-set', 'init', 'info', 'init-mic-range',
  'init-power-limit', 'position',
];

export const SPEECH_MAX_BYTES = 39;
export const SPEECH_SPEED_RANGE = [50, 300];
export const MOTOR_POWER_MIN = 500;

// The lowest battery reading plotted as "empty" and the full one, in mV:
// only for the gauge's fill, never for a decision.
export const BATTERY_EMPTY_MV = 6000;
export const BATTERY_FULL_MV = 8400;

export function utf8Length(text) {
  return new TextEncoder().encode(text).length;
}
