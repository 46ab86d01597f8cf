// The Motion card: the daemon's saved motions played on this robot with
// their progress, and an editor that builds a motion from captured poses.
// The file's fields are those of docs/motion.md; the daemon checks every
// value (ranges, names, times) when it saves or plays, and its refusal
// shows in the panel's failures.

const SECOND_MS = 1000;
// A new keyframe comes this long after the last one; the user retimes it.
const CAPTURE_STEP_MS = 1000;
const PLOT_HEIGHT = 160;
// The motion file format this editor writes (docs/motion.md, `format`).
const WRITTEN_FORMAT = 1;

function element(name, attributes = {}, ...children) {
  const node = document.createElement(name);
  for (const [key, value] of Object.entries(attributes)) {
    if (key === 'dataset') Object.assign(node.dataset, value);
    else if (key in node) node[key] = value;
    else node.setAttribute(key, value);
  }
  node.append(...children);
  return node;
}

function button(id, text, attributes = {}) {
  return element('button', { type: 'button', id, ...attributes }, text);
}

function seconds(ms) {
  return `${(ms / SECOND_MS).toFixed(1)} s`;
}

// Seven distinguishable line colours that read on light and dark cards.
function motorColour(index, count) {
  return `hsl(${Math.round((index * 360) / count)} 70% 52%)`;
}

export class MotionCard {
  // command(cmd, args, what) for this robot and request(cmd, args, what)
  // without one both resolve with the result or null once the failure has
  // been reported; positions() is the robot's last reported pose or null.
  // draft: {name, keyframes, events}, kept by the caller so an edit survives
  // the page being rebuilt (a reconnect, a new robot list).
  constructor({ contract, command, request, positions, draft }) {
    this.motorCount = contract.motorCount;
    this.speedRange = contract.motionSpeedRange;
    this.command = command;
    this.request = request;
    this.positions = positions;
    this.draft = draft;
    draft.name ??= 'my-motion';
    draft.keyframes ??= [];  // [{time_ms, angles}], times increasing
    draft.events ??= [];     // kept as loaded: the editor does not change them
    this.playing = null;  // the last progress object, while one plays
    this.chart = null;
    this.element = this.build();
    this.refreshList();
  }

  build() {
    // ---- saved motions and playing ----
    this.list = element('select', { id: 'motion-list' });
    const [slowest, fastest] = this.speedRange ?? [];
    this.speed = element('input', {
      type: 'number', id: 'motion-speed', value: '1', step: '0.1', inputMode: 'decimal',
      ...(this.speedRange ? { min: String(slowest), max: String(fastest) } : {}),
    });
    const play = button('motion-play', 'Play', { className: 'primary' });
    this.pauseButton = button('motion-pause', 'Pause', { 'aria-pressed': 'false' });
    const stop = button('motion-stop', 'Stop');
    const edit = button('motion-edit', 'Edit a copy');
    play.addEventListener('click', () => this.play({ name: this.list.value }, `Play ${this.list.value}`));
    this.pauseButton.addEventListener('click', () => this.pauseOrResume());
    stop.addEventListener('click', () => this.command('stop', {}, 'Stop the motion'));
    edit.addEventListener('click', () => this.editSaved(this.list.value));
    this.progress = element('progress', { id: 'motion-progress', max: 1, value: 0 });
    this.progressText = element('span', { id: 'motion-state', className: 'motion-state', 'aria-live': 'polite' }, 'Nothing playing');

    // ---- the editor ----
    this.nameInput = element('input', { type: 'text', id: 'motion-name', value: this.draft.name, autocomplete: 'off', spellcheck: false });
    this.nameInput.addEventListener('input', () => { this.draft.name = this.nameInput.value; });
    const capture = button('motion-capture', 'Capture pose');
    capture.addEventListener('click', () => this.capture());
    this.recordButton = button('motion-record', 'Record', { 'aria-pressed': 'false' });
    this.recordButton.addEventListener('click', () => this.toggleRecording());
    this.keyframeList = element('ol', { id: 'motion-keyframes', className: 'keyframes' });
    this.plotArea = element('div', { className: 'motion-plot', id: 'motion-plot' });
    const save = button('motion-save', 'Save to the daemon');
    const playEdited = button('motion-play-edited', 'Play this');
    const download = button('motion-download', 'Download');
    this.upload = element('input', { type: 'file', id: 'motion-upload', accept: '.json,application/json' });
    save.addEventListener('click', () => this.save());
    playEdited.addEventListener('click', () => this.play({ motion: this.motion() }, `Play ${this.nameInput.value}`));
    download.addEventListener('click', () => this.download());
    this.upload.addEventListener('change', () => this.readUpload());
    this.editorNote = element('p', { id: 'motion-note', className: 'motion-note', role: 'status' });

    const heading = element('h2', { id: 'motion-title' }, 'Motion');
    const card = element('section', { className: 'card motion', 'aria-labelledby': heading.id },
      heading,
      element('div', { className: 'row' },
        element('label', { className: 'field' }, element('span', {}, 'Saved motions'), this.list),
        element('label', { className: 'field' }, element('span', {}, 'Speed'), this.speed),
        play, this.pauseButton, stop, edit),
      element('div', { className: 'row motion-progress' }, this.progress, this.progressText),
      element('h3', {}, 'Edit a motion'),
      element('div', { className: 'row' },
        element('label', { className: 'field grow' }, element('span', {}, 'Name'), this.nameInput),
        capture, this.recordButton),
      this.keyframeList,
      this.plotArea,
      element('div', { className: 'row' }, save, playEdited, download,
        element('label', { className: 'field' }, element('span', {}, 'Upload a file'), this.upload)),
      this.editorNote);
    this.showKeyframes();
    return card;
  }

  // Quietly the first time: a page that opens is not a request the user made.
  async refreshList(selected = this.list.value, quiet = !this.listed) {
    const result = await this.request('motions', { action: 'list' }, 'List the saved motions', {
      quiet,
      onQuietFailure: (error) => { this.progressText.textContent = `No saved motions: ${error.message}`; },
    });
    if (result === null) return;
    this.listed = true;
    const options = (result.motions ?? []).map(({ name, duration_ms: duration, shipped }) =>
      element('option', { value: name }, `${name} (${seconds(duration)}${shipped ? ', shipped' : ''})`));
    this.list.replaceChildren(...options);
    if (selected && [...this.list.options].some((option) => option.value === selected)) this.list.value = selected;
  }

  // ---- playing ----

  async play(what, description) {
    const speed = Number(this.speed.value);
    const result = await this.command('play', { ...what, speed }, description);
    if (result === null) return;
    this.showProgress({ motion: result.motion, state: 'playing', keyframe: 0, keyframes: result.keyframes,
                        position_ms: 0, duration_ms: result.duration_ms });
    if (result.clamped?.length) {
      this.editorNote.textContent = `${result.clamped.length} angle(s) clamped to their motors' ranges.`;
    }
  }

  async pauseOrResume() {
    const paused = this.playing?.state === 'paused';
    const result = await this.command(paused ? 'resume' : 'pause', {}, paused ? 'Resume the motion' : 'Pause the motion');
    if (result !== null) this.showProgress(result);
  }

  // A progress object from a reply or pushed by the daemon.
  showProgress(progress) {
    const running = progress.state === 'playing' || progress.state === 'paused';
    this.playing = running ? progress : null;
    this.progress.max = Math.max(1, progress.duration_ms ?? 1);
    this.progress.value = Math.min(this.progress.max, progress.position_ms ?? 0);
    this.element.dataset.motionState = progress.state;
    let text = `${progress.motion}: ${progress.state}`;
    if (progress.keyframes) text += `, keyframe ${Math.min(progress.keyframe + 1, progress.keyframes)} of ${progress.keyframes}`;
    if (progress.duration_ms) text += ` (${seconds(progress.position_ms ?? 0)} of ${seconds(progress.duration_ms)})`;
    if (progress.error) text += ` — ${progress.error.message}`;
    this.progressText.textContent = text;
    const paused = progress.state === 'paused';
    this.pauseButton.textContent = paused ? 'Resume' : 'Pause';
    this.pauseButton.setAttribute('aria-pressed', String(paused));
  }

  // ---- editing ----

  capture() {
    const pose = this.positions();
    if (!Array.isArray(pose)) {
      this.editorNote.textContent = 'No pose yet: the robot has not reported its positions.';
      return;
    }
    const last = this.draft.keyframes[this.draft.keyframes.length - 1];
    this.draft.keyframes.push({ time_ms: last ? last.time_ms + CAPTURE_STEP_MS : 0, angles: pose.slice(0, this.motorCount) });
    this.editorNote.textContent = '';
    this.showKeyframes();
  }

  // Records the robot as it moves (by hand with the motors off, or driven by
  // others); stopped, the daemon reduces the samples to keyframes, which
  // replace the editor's.
  async toggleRecording() {
    const recording = this.recordButton.getAttribute('aria-pressed') === 'true';
    if (!recording) {
      const result = await this.command('record', { action: 'start' }, 'Start recording');
      if (result === null) return;
      this.recordButton.setAttribute('aria-pressed', 'true');
      this.recordButton.textContent = 'Stop recording';
      this.editorNote.textContent = `Recording every ${result.interval_ms} ms…`;
      return;
    }
    const name = this.nameInput.value.trim();
    const result = await this.command('record', { action: 'stop', ...(name ? { name } : {}) }, 'Stop recording');
    this.recordButton.setAttribute('aria-pressed', 'false');
    this.recordButton.textContent = 'Record';
    if (result === null) return;
    this.load(result.motion, `the recording (${result.samples} samples)`);
    if (result.ended || result.error) {
      this.editorNote.textContent += ` It ended early: ${result.error?.message ?? result.ended}.`;
    }
  }

  // Moves keyframe `index`'s pose by `step` places; the times stay where
  // they are, so the motion keeps its rhythm and its order of times.
  movePose(index, step) {
    const other = index + step;
    if (other < 0 || other >= this.draft.keyframes.length) return;
    const a = this.draft.keyframes[index];
    const b = this.draft.keyframes[other];
    [a.angles, b.angles] = [b.angles, a.angles];
    this.showKeyframes();
  }

  remove(index) {
    this.draft.keyframes.splice(index, 1);
    this.showKeyframes();
  }

  setTime(index, value) {
    const time = Number(value);
    if (!Number.isFinite(time)) return;
    this.draft.keyframes[index].time_ms = Math.round(time);
    this.showPlot();
  }

  showKeyframes() {
    const rows = this.draft.keyframes.map((keyframe, index) => {
      const number = index + 1;
      const time = element('input', {
        type: 'number', className: 'keyframe-time', value: String(keyframe.time_ms), min: '0', step: '100',
        inputMode: 'numeric', 'aria-label': `Time of keyframe ${number} (ms)`,
      });
      time.addEventListener('change', () => this.setTime(index, time.value));
      const up = button('', '↑', { 'aria-label': `Move keyframe ${number}'s pose up`, className: 'keyframe-up', disabled: index === 0 });
      const down = button('', '↓', { 'aria-label': `Move keyframe ${number}'s pose down`, className: 'keyframe-down', disabled: index === this.draft.keyframes.length - 1 });
      const remove = button('', '✕', { 'aria-label': `Delete keyframe ${number}`, className: 'keyframe-delete' });
      for (const control of [up, down, remove]) control.removeAttribute('id');
      up.addEventListener('click', () => this.movePose(index, -1));
      down.addEventListener('click', () => this.movePose(index, 1));
      remove.addEventListener('click', () => this.remove(index));
      const angles = keyframe.angles.map((angle) => (angle === null ? '–' : String(angle))).join(' ');
      return element('li', { dataset: { index: String(index) } },
        element('label', { className: 'keyframe-time-field' }, time, ' ms'),
        element('code', { className: 'keyframe-angles' }, angles),
        element('span', { className: 'keyframe-tools' }, up, down, remove));
    });
    this.keyframeList.replaceChildren(...rows);
    this.keyframeList.dataset.count = String(this.draft.keyframes.length);
    this.showPlot();
  }

  // The seven angles over the motion's time, one line per motor; a held
  // motor (null) leaves a gap.
  showPlot() {
    const times = this.draft.keyframes.map((keyframe) => keyframe.time_ms / SECOND_MS);
    const data = [times];
    for (let motor = 0; motor < this.motorCount; motor += 1) {
      data.push(this.draft.keyframes.map((keyframe) => keyframe.angles[motor] ?? null));
    }
    if (this.chart && this.chart.series.length === this.motorCount + 1) {
      this.chart.setData(data);
      return;
    }
    this.chart?.destroy();
    const style = getComputedStyle(document.documentElement);
    const axis = {
      stroke: style.getPropertyValue('--text-muted').trim(),
      grid: { stroke: style.getPropertyValue('--grid').trim(), width: 1 },
      ticks: { stroke: style.getPropertyValue('--grid').trim(), width: 1 },
    };
    const series = [{}];
    for (let motor = 1; motor <= this.motorCount; motor += 1) {
      series.push({ label: `M${motor}`, stroke: motorColour(motor - 1, this.motorCount), width: 2, points: { show: true } });
    }
    this.chart = new uPlot({
      width: Math.max(200, Math.floor(this.plotArea.clientWidth || 300)),
      height: PLOT_HEIGHT,
      legend: { show: true, live: false },
      cursor: { drag: { x: false, y: false } },
      scales: { x: { time: false }, y: { range: [0, 180] } },
      series,
      axes: [{ ...axis, values: (chart, ticks) => ticks.map((tick) => `${tick} s`) }, { ...axis, size: 40 }],
    }, data, this.plotArea);
    this.resizeObserver ??= new ResizeObserver(() => {
      this.chart?.setSize({ width: Math.max(200, Math.floor(this.plotArea.clientWidth)), height: PLOT_HEIGHT });
    });
    this.resizeObserver.observe(this.plotArea);
  }

  // The motion file of the editor's keyframes (and the events it was loaded with).
  motion() {
    const motion = {
      format: WRITTEN_FORMAT,
      name: this.nameInput.value.trim(),
      keyframes: this.draft.keyframes.map(({ time_ms: time, angles }) => ({ time_ms: time, angles: [...angles] })),
    };
    if (this.draft.events.length) motion.events = this.draft.events;
    return motion;
  }

  load(motion, source) {
    if (!motion || !Array.isArray(motion.keyframes)) {
      this.editorNote.textContent = `${source}: not a motion file (it has no keyframes).`;
      return;
    }
    this.nameInput.value = typeof motion.name === 'string' ? motion.name : '';
    this.draft.name = this.nameInput.value;
    this.draft.keyframes = motion.keyframes.map((keyframe) => ({
      time_ms: Number(keyframe.time_ms) || 0,
      angles: Array.isArray(keyframe.angles) ? [...keyframe.angles] : [],
    }));
    this.draft.events = Array.isArray(motion.events) ? motion.events : [];
    this.editorNote.textContent = `Loaded ${source}: ${this.draft.keyframes.length} keyframes`
      + (this.draft.events.length ? `, ${this.draft.events.length} events (kept as they are)` : '') + '.';
    this.showKeyframes();
  }

  async editSaved(name) {
    if (!name) return;
    const result = await this.request('motions', { action: 'get', name }, `Open ${name}`);
    if (result !== null) this.load(result.motion, name);
  }

  async save() {
    const motion = this.motion();
    const result = await this.request('motions', { action: 'save', motion }, `Save ${motion.name}`);
    if (result === null) return;
    const clamped = result.clamped?.length ? ` (${result.clamped.length} angle(s) clamped)` : '';
    this.editorNote.textContent = `Saved as ${result.name}${clamped}.`;
    await this.refreshList(result.name);
  }

  download() {
    const motion = this.motion();
    const blob = new Blob([`${JSON.stringify(motion, null, 2)}\n`], { type: 'application/json' });
    const url = URL.createObjectURL(blob);
    const link = element('a', { href: url, download: `${motion.name || 'motion'}.json` });
    document.body.append(link);
    link.click();
    link.remove();
    setTimeout(() => URL.revokeObjectURL(url), SECOND_MS);
  }

  async readUpload() {
    const file = this.upload.files?.[0];
    if (!file) return;
    let motion;
    try {
      motion = JSON.parse(await file.text());
    } catch (error) {
      this.editorNote.textContent = `${file.name}: not valid JSON (${error.message}).`;
      return;
    } finally {
      this.upload.value = '';
    }
    this.load(motion, file.name);
  }

  destroy() {
    this.resizeObserver?.disconnect();
    this.chart?.destroy();
  }
}
