import { describe, expect, it } from "vitest";
import { DEFAULT_GEO, DEFAULT_SETTINGS, readMessage, readState, type SessionMemo } from "../src/protocol";
import { permission, questions, rawSession, rawState, reply } from "./fixtures";

describe("reading the state leniently", () => {
  it("gives defaults for a bare or garbled state", () => {
    const st = readState({ sessions: "nope", queue: [1, "a", null], selected: 7, settings: [], geo: "x" });
    expect(st.sessions).toEqual([]);
    expect(st.queue).toEqual(["a"]);
    expect(st.selected).toBeNull();
    expect(st.focus).toBeNull();
    expect(st.settings).toEqual(DEFAULT_SETTINGS);
    expect(st.geo).toEqual(DEFAULT_GEO);
    expect(st.firstRun).toBeUndefined();
  });

  it("reads every session key and drops sessions without an id", () => {
    const st = readState(
      rawState([
        rawSession("claude:1", {
          mood: "waiting",
          pose: "alert",
          tools: [{ label: "Reading a.ts", running: "yes", failed: true }],
          tally: [{ tool: "Read", detail: "a.ts", count: 2, kind: "research" }],
          stats: { cost: 1.5, model: "Opus", context: 0.5, contextTokens: 100, turnStart: 10, turnEnd: "later" },
          branch: "main",
          host: "Ghostty",
          pr: { number: 4, title: "t", url: "https://x/pull/4", state: "OPEN", draft: false, passed: 1, failed: 0, running: 2, conflicts: true },
        }),
        rawSession("", {}),
        { id: 42 },
      ]),
    );
    expect(st.sessions).toHaveLength(1);
    const s = st.sessions[0]!;
    expect(s.mood).toBe("waiting");
    expect(s.tools).toEqual([{ label: "Reading a.ts", running: false, failed: true }]);
    expect(s.stats).toEqual({ cost: 1.5, model: "Opus", context: 0.5, contextTokens: 100, turnStart: 10 });
    expect(s.branch).toBe("main");
    expect(s.pr?.review).toBeUndefined();
    expect(s.pr?.conflicts).toBe(true);
  });

  it("falls back on unknown moods and poses", () => {
    const s = readState(rawState([rawSession("a", { mood: "angry", pose: "dance" })])).sessions[0]!;
    expect(s.mood).toBe("idle");
    expect(s.pose).toBe("idle");
  });

  it("reads each kind of request, and drops an unknown kind", () => {
    const st = readState(
      rawState([
        rawSession("p", { pending: permission("p:1") }),
        rawSession("q", { pending: questions("q:1") }),
        rawSession("r", { pending: reply("r:1", 99) }),
        rawSession("e", { pending: { id: "e:1", kind: "elsewhere", title: "Look there", engaged: false, since: 1 } }),
        rawSession("x", { pending: { id: "x:1", kind: "questions" } }),
      ]),
    );
    const kinds = st.sessions.map((s) => s.pending?.kind);
    expect(kinds).toEqual(["permission", "question", "reply", "elsewhere", undefined]);
    const q = st.sessions[1]!.pending;
    expect(q?.kind === "question" && q.questions[1]!.multi).toBe(true);
    const r = st.sessions[2]!.pending;
    expect(r?.kind === "reply" && r.window).toBe(15_000);
  });

  it("keeps flash, pull-request news and a first-run flag only when well formed", () => {
    const st = readState(rawState([], { flash: "a", prNews: { id: "a", kind: "merged" }, firstRun: true }));
    expect(st.flash).toBe("a");
    expect(st.prNews).toEqual({ id: "a", kind: "merged" });
    expect(st.firstRun).toBe(true);
    const bad = readState(rawState([], { flash: 3, prNews: { kind: "merged" }, firstRun: "yes" }));
    expect(bad.flash).toBeUndefined();
    expect(bad.prNews).toBeUndefined();
    expect(bad.firstRun).toBeUndefined();
  });

  it("reads the geometry with safe values", () => {
    const g = readState(rawState([], { geo: { shape: "notch", notchWidth: -5, anchor: "sideways", edge: "up", stageWidth: 0, dx: 12 } })).geo;
    expect(g.shape).toBe("notch");
    expect(g.notchWidth).toBe(0);
    expect(g.anchor).toBe("top");
    expect(g.edge).toBeNull();
    expect(g.stageWidth).toBe(720);
    expect(g.dx).toBe(12);
  });

  it("reads settings with the integrations in the order sent", () => {
    const st = readState(
      rawState([], {
        settings: {
          replyWindow: "20",
          hideAfter: 0,
          integrations: [{ id: "gemini", label: "Gemini CLI", available: true, installed: false }, { label: "no id" }, { id: "droid" }],
        },
      }),
    );
    expect(st.settings.replyWindow).toBe(15);
    expect(st.settings.hideAfter).toBe(0);
    expect(st.settings.integrations.map((i) => [i.id, i.label])).toEqual([["gemini", "Gemini CLI"], ["droid", "droid"]]);
  });
});

describe("sessions sent again", () => {
  it("keep the object read before while unchanged; a change deep inside reads it again", () => {
    const memo: SessionMemo = new Map();
    const tool = (running: boolean) => ({ tools: [{ label: "npm test", running, failed: false }] });
    const first = readState(rawState([rawSession("a", tool(true)), rawSession("b", tool(true))]), memo);
    const second = readState(rawState([rawSession("b", tool(false)), rawSession("a", tool(true)), rawSession("c")]), memo);
    expect(second.sessions.map((x) => x.id)).toEqual(["b", "a", "c"]);
    expect(second.sessions[1]).toBe(first.sessions[0]);
    expect(second.sessions[0]).not.toBe(first.sessions[1]);
    expect(second.sessions[0]!.tools[0]!.running).toBe(false);
    // A session that left and came back is read afresh.
    readState(rawState([rawSession("c")]), memo);
    expect(readState(rawState([rawSession("a", tool(true))]), memo).sessions[0]).not.toBe(first.sessions[0]);
  });
});

describe("reading messages", () => {
  it("knows every message type", () => {
    expect(readMessage({ type: "hello" })).toEqual({ type: "hello" });
    expect(readMessage({ type: "escape" })).toEqual({ type: "escape" });
    expect(readMessage({ type: "openSettings" })).toEqual({ type: "openSettings" });
    expect(readMessage({ type: "tour" })).toEqual({ type: "tour" });
    expect(readMessage({ type: "keys", on: true })).toEqual({ type: "keys", on: true });
    expect(readMessage({ type: "pointer", x: 3, y: "4" })).toEqual({ type: "pointer", x: 3, y: -1 });
    expect(readMessage({ type: "cursor", x: 360, y: 23, down: true })).toEqual({ type: "cursor", x: 360, y: 23, down: true });
    expect(readMessage({ type: "cursor", x: "1", down: 1 })).toEqual({ type: "cursor", x: -1, y: -1, down: false });
    expect(readMessage({ type: "usage", today: 2.5, models: [{ model: "Opus", cost: 2.5, tokens: 10 }, 5] })).toEqual({
      type: "usage",
      usage: { today: 2.5, models: [{ model: "Opus", cost: 2.5, tokens: 10 }] },
    });
    expect(readMessage(rawState([]))?.type).toBe("state");
  });

  it("reads talk states with their optional keys", () => {
    expect(readMessage({ type: "talk", state: "listening", text: "hi", level: 0.3, hold: true })).toEqual({
      type: "talk",
      talk: { state: "listening", text: "hi", level: 0.3, hold: true },
    });
    expect(readMessage({ type: "talk", state: "off", text: "" })).toEqual({ type: "talk", talk: { state: "off", text: "" } });
    expect(readMessage({ type: "talk", state: "singing" })).toBeNull();
  });

  it("ignores what it does not know", () => {
    expect(readMessage(null)).toBeNull();
    expect(readMessage([])).toBeNull();
    expect(readMessage({ type: 5 })).toBeNull();
    expect(readMessage({ type: "reboot" })).toBeNull();
  });
});
