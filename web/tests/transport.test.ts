import { describe, expect, it, vi } from "vitest";
import { backoff, checkToken, decodeFrame, pageToken, pickTransport, SocketTransport, socketUrl, WebKitTransport, type Check, type WindowLike } from "../src/transport";

const loc = (protocol: string, search = "") => ({ protocol, host: "127.0.0.1:4711", search });

describe("choosing the transport", () => {
  it("uses the app's message handler whenever it exists", () => {
    const win: WindowLike = { webkit: { messageHandlers: { talvane: { postMessage() {} } } }, location: loc("http:") };
    expect(pickTransport(win)).toBe("webkit");
  });

  it("uses the socket when served over http(s) without a handler", () => {
    expect(pickTransport({ location: loc("http:") })).toBe("socket");
    expect(pickTransport({ location: loc("https:") })).toBe("socket");
    expect(pickTransport({ webkit: { messageHandlers: {} }, location: loc("http:") })).toBe("socket");
  });

  it("ignores a handler that cannot post", () => {
    const win = { webkit: { messageHandlers: { talvane: {} } }, location: loc("http:") } as unknown as WindowLike;
    expect(pickTransport(win)).toBe("socket");
  });

  it("has nothing to talk to from a file", () => {
    expect(pickTransport({ location: loc("file:") })).toBe("none");
  });

  it("puts the socket on the page's own origin with the token in its query", () => {
    expect(socketUrl(loc("http:", "?onboard&token=abc"), "abc")).toBe("ws://127.0.0.1:4711/ws?token=abc");
    expect(socketUrl(loc("https:"), "a&b")).toBe("wss://127.0.0.1:4711/ws?token=a%26b");
  });

  it("keeps the address's token for the tab and falls back to it when the address has none", () => {
    const kept = new Map<string, string>();
    const storage = { getItem: (k: string) => kept.get(k) ?? null, setItem: (k: string, v: string) => void kept.set(k, v) };
    expect(pageToken("?onboard", storage)).toBe("");
    expect(pageToken("?onboard&token=t1", storage)).toBe("t1");
    expect(pageToken("", storage)).toBe("t1");
    expect(pageToken("?token=t2", storage)).toBe("t2");
    const broken = { getItem: () => { throw new Error("off"); }, setItem: () => { throw new Error("off"); } };
    expect(pageToken("?token=t3", broken)).toBe("t3");
    expect(pageToken("", null)).toBe("");
  });

  it("tells a refused token from an app that is not running", async () => {
    const answer = (status: number) => (async () => ({ status })) as unknown as typeof fetch;
    expect(await checkToken(loc("http:"), "t", answer(204))).toBe("ok");
    expect(await checkToken(loc("http:"), "t", answer(403))).toBe("refused");
    const down = (async () => { throw new TypeError("Failed to fetch"); }) as unknown as typeof fetch;
    expect(await checkToken(loc("http:"), "t", down)).toBe("stopped");
  });
});

describe("socket frames", () => {
  it("reads a plain JSON message", () => {
    expect(decodeFrame('{"type":"keys","on":true}')).toEqual([{ type: "keys", on: true }]);
  });

  it("reads the script text the app evaluates in its web view", () => {
    const text = 'window.__talvane && window.__talvane.receive({"type":"talk","state":"done","text":"a) b"});';
    expect(decodeFrame(text)).toEqual([{ type: "talk", state: "done", text: "a) b" }]);
  });

  it("reads an array frame as several messages and ignores garbage", () => {
    expect(decodeFrame('[{"type":"hello"},{"type":"escape"}]')).toHaveLength(2);
    expect(decodeFrame("not json")).toEqual([]);
    expect(decodeFrame("window.__talvane && nothing")).toEqual([]);
  });
});

class FakeSocket {
  readyState = 0;
  sent: string[] = [];
  onopen: ((ev: unknown) => void) | null = null;
  onclose: ((ev: unknown) => void) | null = null;
  onerror: ((ev: unknown) => void) | null = null;
  onmessage: ((ev: { data: unknown }) => void) | null = null;
  send(d: string) {
    this.sent.push(d);
  }
  close() {
    this.readyState = 3;
    this.onclose?.({});
  }
  open() {
    this.readyState = 1;
    this.onopen?.({});
  }
  drop() {
    this.readyState = 3;
    this.onclose?.({});
  }
}

function harness(check?: () => Promise<Check>) {
  const sockets: FakeSocket[] = [];
  const timers: { fn: () => void; ms: number; id: number }[] = [];
  let next = 1;
  const t = new SocketTransport({
    url: "ws://x/ws",
    ...(check ? { check } : {}),
    open: () => {
      const s = new FakeSocket();
      sockets.push(s);
      return s;
    },
    setTimer: (fn, ms) => {
      timers.push({ fn, ms, id: next });
      return next++;
    },
    clearTimer: (id) => {
      const i = timers.findIndex((x) => x.id === id);
      if (i >= 0) timers.splice(i, 1);
    },
  });
  const fire = () => timers.shift()!.fn();
  return { t, sockets, timers, fire };
}

describe("socket transport", () => {
  it("says why once retrying goes on, and clears it when connected again", async () => {
    let why: Check = "refused";
    const { t, sockets, fire } = harness(async () => why);
    const trouble: (string | null)[] = [];
    t.onTrouble = (w) => trouble.push(w);
    t.start(() => {});
    for (let i = 0; i < SocketTransport.CHECK_AFTER; i++) {
      sockets[i]!.drop();
      fire();
    }
    expect(trouble).toEqual([]);
    sockets[SocketTransport.CHECK_AFTER]!.drop();
    await Promise.resolve();
    await Promise.resolve();
    expect(trouble).toEqual(["refused"]);
    why = "stopped";
    fire();
    sockets[SocketTransport.CHECK_AFTER + 1]!.drop();
    await Promise.resolve();
    await Promise.resolve();
    expect(trouble).toEqual(["refused", "stopped"]);
  });

  it("says ready when connected and delivers every frame", () => {
    const { t, sockets } = harness();
    const got: unknown[] = [];
    t.start((m) => got.push(m));
    sockets[0]!.open();
    expect(sockets[0]!.sent).toEqual(['{"type":"ready"}']);
    sockets[0]!.onmessage?.({ data: '{"type":"hello"}' });
    sockets[0]!.onmessage?.({ data: new ArrayBuffer(2) });
    expect(got).toEqual([{ type: "hello" }]);
  });

  it("reconnects with growing delays and says ready again", () => {
    const { t, sockets, timers, fire } = harness();
    const up = vi.fn();
    t.onConnection = up;
    t.start(() => {});
    sockets[0]!.drop();
    expect(timers.map((x) => x.ms)).toEqual([250]);
    fire();
    sockets[1]!.drop();
    expect(timers.map((x) => x.ms)).toEqual([500]);
    fire();
    sockets[2]!.open();
    expect(sockets[2]!.sent).toEqual(['{"type":"ready"}']);
    expect(up).toHaveBeenLastCalledWith(true);
    // A connection that worked resets the delay.
    sockets[2]!.drop();
    expect(timers.map((x) => x.ms)).toEqual([250]);
    expect(up).toHaveBeenLastCalledWith(false);
  });

  it("caps the delay at five seconds", () => {
    expect([0, 1, 2, 3, 4, 5, 12].map(backoff)).toEqual([250, 500, 1000, 2000, 4000, 5000, 5000]);
  });

  it("drops commands while disconnected rather than replaying them late", () => {
    const { t, sockets, fire } = harness();
    t.start(() => {});
    t.send({ type: "allow", id: "a" });
    sockets[0]!.drop();
    fire();
    sockets[1]!.open();
    t.send({ type: "deny", id: "a" });
    expect(sockets.flatMap((s) => s.sent)).toEqual(['{"type":"ready"}', '{"type":"deny","id":"a"}']);
  });

  it("stops for good: no timer left and no reconnection", () => {
    const { t, sockets, timers } = harness();
    t.start(() => {});
    sockets[0]!.drop();
    expect(timers).toHaveLength(1);
    t.stop();
    expect(timers).toHaveLength(0);
    expect(sockets).toHaveLength(1);
  });

  it("retries when the socket cannot even be created", () => {
    const timers: number[] = [];
    const t = new SocketTransport({
      url: "ws://x/ws",
      open: () => {
        throw new Error("bad url");
      },
      setTimer: (_fn, ms) => timers.push(ms),
      clearTimer: () => {},
    });
    t.start(() => {});
    expect(timers).toEqual([250]);
  });
});

describe("web view transport", () => {
  it("posts ready at start and every command as an object", () => {
    const posted: unknown[] = [];
    const t = new WebKitTransport({ postMessage: (b) => posted.push(b) });
    t.start();
    t.send({ type: "allow", id: "claude:1" });
    expect(posted).toEqual([{ type: "ready" }, { type: "allow", id: "claude:1" }]);
  });

  it("survives a handler that throws while the view goes away", () => {
    const t = new WebKitTransport({
      postMessage: () => {
        throw new Error("gone");
      },
    });
    expect(() => t.send({ type: "hide" })).not.toThrow();
  });
});
