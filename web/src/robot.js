// What the panel knows about the robot itself: its servos' ranges, its LEDs,
// the text queries and the limits of its commands all come from the daemon's
// `describe`, the library's own account of what the robot accepts. Nothing
// of it is written down here, so the panel cannot drift from the library.

export class RobotContract {
  // document: the result of `describe` (its fields: docs/protocol.md).
  constructor(document) {
    this.document = document;
    const { motors, leds, tone, speech, queries } = document;
    this.motorCount = motors.count;
    this.angleRanges = motors.angle_ranges;
    this.powerValueRange = motors.power_value;
    this.defaultPowerValue = motors.default_power_value;
    this.leds = leds;  // [{number, name}]
    this.toneFirstRange = tone.first;
    this.toneSecondRange = tone.second;
    this.speechMaxBytes = speech.max_bytes;
    this.speechSpeedRange = speech.speed;
    this.queryNames = queries.map((query) => query.name);
    // What play and record take; absent from a daemon without motions.
    this.motionSpeedRange = document.motion?.speed ?? null;
  }

  // [low, high] of motor 1..motorCount; the library clamps angles outside.
  motorRange(motor) {
    return this.angleRanges[motor - 1];
  }

  sameAs(other) {
    return other !== null && JSON.stringify(other.document) === JSON.stringify(this.document);
  }
}

// The lowest battery reading plotted as "empty" and the full one, in mV:
// only for the gauge's fill, never for a decision.
export const BATTERY_EMPTY_MV = 6000;
export const BATTERY_FULL_MV = 8400;

export function utf8Length(text) {
  return new TextEncoder().encode(text).length;
}
