// How the page talks to the app. Inside the app's web view there is a script-message handler
// named "talvane"; in a plain browser (the app's browser stage) the page is served over HTTP and
// talks over a WebSocket at /ws on its own origin. The page picks by itself.

export type Outgoing = { type: string } & Record<string, unknown>;

export interface Transport {
  readonly kind: "webkit" | "socket" | "mock" | "none";
  /** Starts delivery; `deliver` receives every raw message from the app. Sends "ready". */
  start(deliver: (raw: unknown) => void): void;
  send(msg: Outgoing): void;
  stop(): void;
}

interface MessageHandler {
  postMessage(body: unknown): void;
}

export interface WindowLike {
  webkit?: { messageHandlers?: Record<string, MessageHandler | undefined> };
  location: { protocol: string; host: string; search: string };
}

export function webkitHandler(win: WindowLike): MessageHandler | null {
  const h = win.webkit?.messageHandlers?.["talvane"];
  return h && typeof h.postMessage === "function" ? h : null;
}

/** Which transport this page should use. */
export function pickTransport(win: WindowLike): "webkit" | "socket" | "none" {
  if (webkitHandler(win)) return "webkit";
  if (win.location.protocol === "http:" || win.location.protocol === "https:") return "socket";
  return "none";
}

interface StorageLike {
  getItem(key: string): string | null;
  setItem(key: string, value: string): void;
}

const TOKEN_KEY = "talvane.token";

/**
 * The token this tab talks with: the one in its address (kept for the tab, so a page whose
 * address lost it, like the panel after onboarding, still has it), else the kept one. Never a
 * cookie: cookies ignore ports and would go to every other server on this machine.
 */
export function pageToken(search: string, storage: StorageLike | null): string {
  const fromUrl = new URLSearchParams(search).get("token");
  try {
    if (fromUrl) storage?.setItem(TOKEN_KEY, fromUrl);
    return fromUrl ?? storage?.getItem(TOKEN_KEY) ?? "";
  } catch {
    return fromUrl ?? "";
  }
}

/** The socket address: /ws on the page's own origin, carrying the token in its query. */
export function socketUrl(loc: WindowLike["location"], token: string): string {
  const scheme = loc.protocol === "https:" ? "wss:" : "ws:";
  return `${scheme}//${loc.host}/ws?token=${encodeURIComponent(token)}`;
}

/** The app's answer to "is this token still good": ok, refused (an old address), or nothing. */
export type Check = "ok" | "refused" | "stopped";

export async function checkToken(loc: WindowLike["location"], token: string, get: typeof fetch): Promise<Check> {
  try {
    const r = await get(`${loc.protocol}//${loc.host}/check?token=${encodeURIComponent(token)}`, { cache: "no-store" });
    return r.status === 204 ? "ok" : "refused";
  } catch {
    return "stopped";
  }
}

const SCRIPT_PREFIX = "window.__talvane";

/**
 * Reads one socket frame. A frame is one JSON message; the app may also send the same script
 * text it evaluates in its web view, "window.__talvane && window.__talvane.receive({...});".
 * Returns the message objects in the frame (an array frame carries several).
 */
export function decodeFrame(text: string): unknown[] {
  let body = text.trim();
  if (body.startsWith(SCRIPT_PREFIX)) {
    const open = body.indexOf("receive(");
    const close = body.lastIndexOf(")");
    if (open < 0 || close <= open) return [];
    body = body.slice(open + "receive(".length, close);
  }
  try {
    const value: unknown = JSON.parse(body);
    return Array.isArray(value) ? value : [value];
  } catch {
    return [];
  }
}

export class WebKitTransport implements Transport {
  readonly kind = "webkit";
  constructor(private readonly handler: MessageHandler) {}
  start(): void {
    // Messages arrive through window.__talvane.receive, evaluated by the app.
    this.send({ type: "ready" });
  }
  send(msg: Outgoing): void {
    try {
      this.handler.postMessage(msg);
    } catch {
      // The handler goes away only while the view is being torn down.
    }
  }
  stop(): void {}
}

interface SocketLike {
  readyState: number;
  onopen: ((ev: unknown) => void) | null;
  onclose: ((ev: unknown) => void) | null;
  onerror: ((ev: unknown) => void) | null;
  onmessage: ((ev: { data: unknown }) => void) | null;
  send(data: string): void;
  close(): void;
}

export interface SocketDeps {
  url: string;
  open: (url: string) => SocketLike;
  /** Asked once attempts keep failing, so the page can say why instead of spinning. */
  check?: () => Promise<Check>;
  setTimer: (fn: () => void, ms: number) => unknown;
  clearTimer: (handle: unknown) => void;
}

const OPEN = 1;

/** Delay before the n-th reconnection attempt (n from 0): doubles from 250 ms up to 5 s. */
export function backoff(attempt: number): number {
  return Math.min(5000, 250 * 2 ** Math.min(attempt, 10));
}

export class SocketTransport implements Transport {
  readonly kind = "socket";
  private socket: SocketLike | null = null;
  private attempts = 0;
  private timer: unknown = null;
  private stopped = false;
  private deliver: (raw: unknown) => void = () => {};
  onConnection: (up: boolean) => void = () => {};
  onTrouble: (why: Exclude<Check, "ok"> | null) => void = () => {};
  /** Failed attempts in a row after which the page asks why. */
  static readonly CHECK_AFTER = 2;

  constructor(private readonly deps: SocketDeps) {}

  start(deliver: (raw: unknown) => void): void {
    this.deliver = deliver;
    this.stopped = false;
    this.connect();
  }

  private connect(): void {
    this.timer = null;
    let s: SocketLike;
    try {
      s = this.deps.open(this.deps.url);
    } catch {
      this.retry();
      return;
    }
    this.socket = s;
    s.onopen = () => {
      this.attempts = 0;
      // A reconnected app knows nothing of this page: announce it again to get a fresh state.
      s.send(JSON.stringify({ type: "ready" }));
      this.onConnection(true);
    };
    s.onmessage = (ev) => {
      if (typeof ev.data !== "string") return;
      for (const msg of decodeFrame(ev.data)) this.deliver(msg);
    };
    s.onerror = () => {};
    s.onclose = () => {
      if (this.socket !== s) return;
      this.socket = null;
      this.onConnection(false);
      this.retry();
    };
  }

  private retry(): void {
    if (this.stopped || this.timer !== null) return;
    if (this.attempts >= SocketTransport.CHECK_AFTER && this.deps.check) {
      void this.deps.check().then((why) => {
        if (!this.stopped && this.socket === null) this.onTrouble(why === "ok" ? null : why);
      });
    }
    this.timer = this.deps.setTimer(() => this.connect(), backoff(this.attempts++));
  }

  /** Commands while the socket is down are dropped: replaying a stale "allow" later is worse. */
  send(msg: Outgoing): void {
    if (this.socket && this.socket.readyState === OPEN) this.socket.send(JSON.stringify(msg));
  }

  stop(): void {
    this.stopped = true;
    if (this.timer !== null) this.deps.clearTimer(this.timer);
    this.timer = null;
    const s = this.socket;
    this.socket = null;
    s?.close();
  }
}

/** A transport that goes nowhere, for a page opened from a file. */
export class NullTransport implements Transport {
  readonly kind = "none";
  start(): void {}
  send(): void {}
  stop(): void {}
}

export function createTransport(win: WindowLike & typeof globalThis): Transport {
  switch (pickTransport(win)) {
    case "webkit":
      return new WebKitTransport(webkitHandler(win)!);
    case "socket": {
      let storage: StorageLike | null = null;
      try {
        storage = win.sessionStorage;
      } catch {
        // Storage can be switched off; the address still carries the token.
      }
      const token = pageToken(win.location.search, storage);
      return new SocketTransport({
        url: socketUrl(win.location, token),
        check: () => checkToken(win.location, token, win.fetch.bind(win)),
        open: (url) => new WebSocket(url) as unknown as SocketLike,
        setTimer: (fn, ms) => setTimeout(fn, ms),
        clearTimer: (h) => clearTimeout(h as ReturnType<typeof setTimeout>),
      });
    }
    default:
      return new NullTransport();
  }
}
