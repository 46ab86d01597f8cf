// The panel's one WebSocket to the daemon: requests with ids matched to their
// replies, pushed objects handed to a listener, and reconnection with
// back-off when the socket drops.

const REQUEST_TIMEOUT_MS = 10000;
const FIRST_RETRY_MS = 500;
const LONGEST_RETRY_MS = 10000;

// Raised for every failed request: a reply with ok=false, no reply in time,
// or a socket that was not open or dropped before the reply came.
export class CommandError extends Error {
  constructor(cmd, message, { code = null, name = null } = {}) {
    super(message);
    this.cmd = cmd;
    this.code = code;
    this.errorName = name;
  }
}

// The daemon's WebSocket address for this page: same host and scheme family,
// with the page's `token` query parameter passed on exactly as typed.
// URLSearchParams would read a '+' as a space (form encoding), and base64
// tokens hold '+'; the daemon reads '+' as a plus.
export function socketUrl(location) {
  const scheme = location.protocol === 'https:' ? 'wss:' : 'ws:';
  const token = queryValue(location.search, 'token');
  const query = token ? `?token=${encodeURIComponent(token)}` : '';
  return `${scheme}//${location.host}/ws${query}`;
}

// The percent-decoded value of `name` in a query string ("?a=1&token=x"),
// with '+' kept; null when absent or not valid percent-encoding.
export function queryValue(search, name) {
  for (const pair of search.replace(/^\?/, '').split('&')) {
    const equals = pair.indexOf('=');
    const key = equals < 0 ? pair : pair.slice(0, equals);
    if (key !== name) continue;
    try {
      return decodeURIComponent(equals < 0 ? '' : pair.slice(equals + 1));
    } catch {
      return null;
    }
  }
  return null;
}

export class Connection {
  // Listeners: onStatus({state, attempt, retryInMs}) with state one of
  // 'connecting', 'open', 'waiting'; onOpen(versionMessage); onPush(message).
  constructor(url, { onStatus, onOpen, onPush }) {
    this.url = url;
    this.onStatus = onStatus;
    this.onOpen = onOpen;
    this.onPush = onPush;
    this.socket = null;
    this.nextId = 1;
    this.pending = new Map();
    this.attempt = 0;
    this.retryTimer = null;
  }

  start() {
    this.open();
  }

  // Skips the rest of a back-off wait.
  retryNow() {
    if (this.retryTimer === null) return;
    clearTimeout(this.retryTimer);
    this.retryTimer = null;
    this.open();
  }

  get isOpen() {
    return this.socket !== null && this.socket.readyState === WebSocket.OPEN;
  }

  open() {
    this.attempt += 1;
    this.onStatus({ state: 'connecting', attempt: this.attempt });
    let socket;
    try {
      socket = new WebSocket(this.url);
    } catch (error) {
      this.scheduleRetry();
      return;
    }
    this.socket = socket;
    let greeted = false;
    socket.addEventListener('message', (event) => {
      let message;
      try {
        message = JSON.parse(event.data);
      } catch {
        return;  // not ours to act on; the daemon only sends JSON
      }
      if (!greeted && message.class === 'version') {
        greeted = true;
        this.attempt = 0;
        this.onStatus({ state: 'open' });
        this.onOpen(message);
        return;
      }
      this.dispatch(message);
    });
    socket.addEventListener('close', () => {
      if (this.socket !== socket) return;
      this.socket = null;
      this.failPending('the connection to the daemon was lost before the reply came');
      this.scheduleRetry();
    });
  }

  scheduleRetry() {
    // Doubling waits with some jitter, so a restarted daemon is not hit by
    // every open panel at the same moment.
    const base = Math.min(LONGEST_RETRY_MS, FIRST_RETRY_MS * 2 ** Math.min(this.attempt - 1, 8));
    const retryInMs = Math.round(base * (0.75 + Math.random() * 0.5));
    this.onStatus({ state: 'waiting', attempt: this.attempt, retryInMs });
    this.retryTimer = setTimeout(() => {
      this.retryTimer = null;
      this.open();
    }, retryInMs);
  }

  dispatch(message) {
    if (message.class === 'reply' && this.pending.has(message.id)) {
      const { resolve, reject, timer, cmd } = this.pending.get(message.id);
      clearTimeout(timer);
      this.pending.delete(message.id);
      if (message.ok) {
        resolve(message.result ?? {});
      } else {
        const error = message.error ?? {};
        reject(new CommandError(cmd, error.message ?? `${cmd}: failed`,
                                { code: error.code ?? null, name: error.name ?? null }));
      }
      return;
    }
    this.onPush(message);
  }

  // Sends {"cmd": cmd, "id": <new>, ...args}; resolves with the reply's
  // result, rejects with a CommandError.
  request(cmd, args = {}) {
    if (!this.isOpen) {
      return Promise.reject(new CommandError(cmd, `${cmd}: not connected to the daemon`));
    }
    const id = this.nextId++;
    return new Promise((resolve, reject) => {
      const timer = setTimeout(() => {
        this.pending.delete(id);
        reject(new CommandError(cmd, `${cmd}: no reply from the daemon within ${REQUEST_TIMEOUT_MS / 1000} s`));
      }, REQUEST_TIMEOUT_MS);
      this.pending.set(id, { resolve, reject, timer, cmd });
      this.socket.send(JSON.stringify({ cmd, id, ...args }));
    });
  }

  failPending(why) {
    for (const [id, { reject, timer, cmd }] of this.pending) {
      clearTimeout(timer);
      reject(new CommandError(cmd, `${cmd}: ${why}`));
      this.pending.delete(id);
    }
  }
}
