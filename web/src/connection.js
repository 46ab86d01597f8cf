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

// The token typed into the panel's prompt lives for this tab only (the
// browser forgets sessionStorage when the tab closes); without one, the
// page's own `token` query parameter counts.
const TOKEN_KEY = 'tovlink-token';

export function pageToken(location) {
  let typed = null;
  try {
    typed = sessionStorage.getItem(TOKEN_KEY);
  } catch {
    // storage switched off: the URL's token is all there is
  }
  return typed ?? queryValue(location.search, 'token');
}

export function rememberToken(token) {
  try {
    sessionStorage.setItem(TOKEN_KEY, token);
  } catch {
    // storage switched off: the token lasts as long as this page
  }
}

// The query part that carries `token`, sent exactly: URLSearchParams would
// read a '+' as a space (form encoding), and base64 tokens hold '+'; the
// daemon reads '+' as a plus.
function tokenQuery(token) {
  return token ? `?token=${encodeURIComponent(token)}` : '';
}

// The daemon's WebSocket address for this page: same host and scheme family.
export function socketUrl(location, token = pageToken(location)) {
  const scheme = location.protocol === 'https:' ? 'wss:' : 'ws:';
  return `${scheme}//${location.host}/ws${tokenQuery(token)}`;
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
  // Listeners: onStatus({state, attempt, retryInMs, rejected}) with state one
  // of 'connecting', 'open', 'waiting' (for a retry), 'token' (the daemon
  // wants a token: no retry until useToken); onOpen(versionMessage);
  // onPush(message).
  constructor(location, { onStatus, onOpen, onPush }) {
    this.location = location;
    this.token = pageToken(location);
    this.onStatus = onStatus;
    this.onOpen = onOpen;
    this.onPush = onPush;
    this.socket = null;
    this.nextId = 1;
    this.pending = new Map();
    this.attempt = 0;
    this.retryTimer = null;
    this.generation = 0;
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

  // Tries again with a token the user gave; it is kept for the tab.
  useToken(token) {
    this.token = token;
    rememberToken(token);
    clearTimeout(this.retryTimer);
    this.retryTimer = null;
    this.attempt = 0;
    this.open();
  }

  get isOpen() {
    return this.socket !== null && this.socket.readyState === WebSocket.OPEN;
  }

  // Whether the daemon takes this page's token: true, false (it wants
  // another), or null (no answer: the daemon is down or unreachable).
  async tokenAccepted() {
    try {
      const reply = await fetch(`/auth${tokenQuery(this.token)}`, { cache: 'no-store' });
      if (reply.status === 401) return false;
      // A daemon from before /auth answers 404: let the socket decide.
      return true;
    } catch {
      return null;
    }
  }

  async open() {
    this.attempt += 1;
    this.onStatus({ state: 'connecting', attempt: this.attempt });
    // A newer attempt (a token typed meanwhile) supersedes this one.
    const generation = ++this.generation;
    const accepted = await this.tokenAccepted();
    if (generation !== this.generation) return;
    if (accepted === false) {
      this.onStatus({ state: 'token', rejected: Boolean(this.token) });
      return;
    }
    if (accepted === null) {
      this.scheduleRetry();
      return;
    }
    let socket;
    try {
      socket = new WebSocket(socketUrl(this.location, this.token));
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
