// Telemetry history (the last minute of each robot) and its live plots,
// drawn with uPlot (loaded by index.html as the global `uPlot`).

export const WINDOW_S = 60;
const KEEP_S = WINDOW_S + 5;
const REDRAW_EVERY_MS = 250;
const PLOT_HEIGHT = 150;

export const SERIES = [
  { key: 'battery', label: 'Battery', unit: 'mV', range: null },
  { key: 'sensor', label: 'Sensor', unit: '', range: [0, 1023] },
  { key: 'mic', label: 'Microphone', unit: '', range: [0, 100] },
];

// One robot's readings over the last minute, as column arrays for uPlot.
export class History {
  constructor() {
    this.times = [];
    this.columns = Object.fromEntries(SERIES.map(({ key }) => [key, []]));
  }

  // `time` in seconds since the epoch, when the robot was read.
  add(time, telemetry) {
    if (this.times.length > 0 && time <= this.times[this.times.length - 1]) return;
    this.times.push(time);
    for (const { key } of SERIES) this.columns[key].push(telemetry[key] ?? null);
    let drop = 0;
    while (drop < this.times.length && this.times[drop] < time - KEEP_S) drop += 1;
    if (drop > 0) {
      this.times.splice(0, drop);
      for (const { key } of SERIES) this.columns[key].splice(0, drop);
    }
  }

  // Puts the daemon's remembered readings (oldest first, `time_ms` each)
  // before the ones this page has seen, so a page opens with full plots.
  // skewMs: this clock minus the daemon's.
  fill(samples, skewMs = 0) {
    const first = this.times.length > 0 ? this.times[0] : Infinity;
    const newest = this.times.length > 0 ? this.times[this.times.length - 1] : Date.now() / 1000;
    const older = samples.filter((sample) => {
      const time = (Number(sample.time_ms) + skewMs) / 1000;
      return Number.isFinite(time) && time < first && time >= newest - KEEP_S;
    });
    let last = -Infinity;
    const times = [];
    const columns = Object.fromEntries(SERIES.map(({ key }) => [key, []]));
    for (const sample of older) {
      const time = (Number(sample.time_ms) + skewMs) / 1000;
      if (time <= last) continue;
      last = time;
      times.push(time);
      for (const { key } of SERIES) columns[key].push(sample[key] ?? null);
    }
    this.times.unshift(...times);
    for (const { key } of SERIES) this.columns[key].unshift(...columns[key]);
  }

  // Seconds from the oldest reading held to the newest.
  get span() {
    return this.times.length > 1 ? this.times[this.times.length - 1] - this.times[0] : 0;
  }

  // Breaks the lines at `time` (the robot stopped answering), so a plot
  // does not draw a straight line across the time it was away.
  gap(time) {
    const last = this.times.length - 1;
    if (last < 0 || this.columns[SERIES[0].key][last] === null) return;
    this.add(time, {});
  }

  get length() {
    return this.times.length;
  }
}

// Battery readings move by a few mV: keep the y range at least 20 wide and
// on whole numbers, so the axis is not labelled in fractions of a mV.
function wholeNumberRange(chart, min, max) {
  if (min === null || max === null) return [0, 1];
  const middle = (min + max) / 2;
  const half = Math.max(10, (max - min) / 2 * 1.1);
  return [Math.floor(middle - half), Math.ceil(middle + half)];
}

const clockFormat = new Intl.DateTimeFormat(undefined, {
  hour: '2-digit', minute: '2-digit', second: '2-digit', hourCycle: 'h23',
});
function clockTime(seconds) {
  return clockFormat.format(new Date(seconds * 1000));
}

function themeColours() {
  const style = getComputedStyle(document.documentElement);
  const read = (name) => style.getPropertyValue(name).trim();
  return {
    text: read('--text-muted'),
    grid: read('--grid'),
    lines: [read('--plot-1'), read('--plot-2'), read('--plot-3')],
  };
}

// The three plots of one robot page, fed from a History.
export class TelemetryPlots {
  constructor(container, history) {
    this.container = container;
    this.history = history;
    this.paused = false;
    this.windowEnd = Date.now() / 1000;
    this.lastDraw = 0;
    this.drawTimer = null;
    this.plots = [];
    this.build();
    this.resizeObserver = new ResizeObserver(() => this.resize());
    this.resizeObserver.observe(container);
    this.themeQuery = matchMedia('(prefers-color-scheme: dark)');
    this.onThemeChange = () => this.build();
    this.themeQuery.addEventListener('change', this.onThemeChange);
  }

  build() {
    for (const { chart } of this.plots) chart.destroy();
    this.container.replaceChildren();
    this.plots = [];
    const colours = themeColours();
    SERIES.forEach((series, index) => {
      const figure = document.createElement('figure');
      figure.className = 'plot';
      figure.dataset.series = series.key;
      const caption = document.createElement('figcaption');
      caption.textContent = series.unit ? `${series.label} (${series.unit})` : series.label;
      figure.append(caption);
      this.container.append(figure);
      const axis = { stroke: colours.text, grid: { stroke: colours.grid, width: 1 },
                     ticks: { stroke: colours.grid, width: 1 } };
      const chart = new uPlot({
        width: this.plotWidth(),
        height: PLOT_HEIGHT,
        legend: { show: false },
        padding: [8, 28, 0, 0],  // room for the newest time label
        cursor: { drag: { x: false, y: false } },
        scales: {
          x: { time: true, range: () => [this.windowEnd - WINDOW_S, this.windowEnd] },
          y: { range: series.range ?? wholeNumberRange },
        },
        series: [{}, { label: series.label, stroke: colours.lines[index], width: 2, spanGaps: false }],
        axes: [{ ...axis, space: 70, values: (chart, ticks) => ticks.map(clockTime) },
               { ...axis, size: 60, values: (chart, ticks) => ticks.map((tick) => String(Math.round(tick))) }],
      }, this.data(series.key), figure);
      this.plots.push({ series, chart, figure });
    });
    this.draw();
  }

  plotWidth() {
    return Math.max(200, Math.floor(this.container.clientWidth || 300));
  }

  data(key) {
    return [this.history.times, this.history.columns[key]];
  }

  resize() {
    const width = this.plotWidth();
    for (const { chart } of this.plots) chart.setSize({ width, height: PLOT_HEIGHT });
  }

  // Called on every new reading; redraws at most every REDRAW_EVERY_MS.
  update() {
    if (this.paused || this.drawTimer !== null) return;
    const wait = Math.max(0, this.lastDraw + REDRAW_EVERY_MS - Date.now());
    this.drawTimer = setTimeout(() => {
      this.drawTimer = null;
      this.draw();
    }, wait);
  }

  draw() {
    if (this.paused) return;
    this.lastDraw = Date.now();
    this.windowEnd = this.lastDraw / 1000;
    for (const { series, chart, figure } of this.plots) {
      chart.setData(this.data(series.key));
      figure.dataset.points = String(this.history.length);
      figure.dataset.spanS = String(Math.floor(this.history.span));
    }
  }

  setPaused(paused) {
    this.paused = paused;
    if (!paused) this.draw();
  }

  destroy() {
    clearTimeout(this.drawTimer);
    this.resizeObserver.disconnect();
    this.themeQuery.removeEventListener('change', this.onThemeChange);
    for (const { chart } of this.plots) chart.destroy();
  }
}
