import { afterEach, describe, expect, it, vi } from "vitest";
import { AGENT_STIR_MS, finishOneOffs, INPUT_STIR_MS, Page, Stillness, watchActivity } from "../src/page";
import { FakeTransport, permission, questions, rawSession, rawState, reply } from "./fixtures";


let clock = 0;
const pages: Page[] = [];
function setup(t0 = 500_000) {
  clock = t0;
  const t = new FakeTransport();
  const page = new Page(t, () => clock);
  pages.push(page);
  const types = () => t.sent.map((m) => m.type);
  return { page, t, types };
}
afterEach(() => {
  for (const p of pages.splice(0)) p.dispose();
});

describe("the page's clock", () => {
  it("follows the app's now, whatever the page's own clock says", () => {
    const { page } = setup(500_000);
    page.receive(rawState([], { now: 1_000_000 }));
    expect(page.now()).toBe(1_000_000);
    clock += 2_000;
    expect(page.now()).toBe(1_002_000);
  });
});

describe("engaging a request", () => {
  it("sends engage once per request and freezes its countdown", () => {
    const { page, t } = setup();
    page.receive(rawState([rawSession("s", { pending: reply("s:r", 1_010_000) })], { queue: ["s"] }));
    page.engage("s", "s:r");
    clock += 1_000;
    page.engage("s", "s:r");
    expect(t.sent.filter((m) => m.type === "engage")).toEqual([{ type: "engage", id: "s" }]);
    expect(page.draft("s:r").engagedAt).toBe(1_000_000);
  });

  it("freezes a request the app already reports as engaged", () => {
    const { page } = setup();
    page.receive(rawState([rawSession("s", { pending: { ...reply("s:r", 1_010_000), engaged: true } })], { now: 1_003_000 }));
    expect(page.draft("s:r").engagedAt).toBe(1_003_000);
  });

  it("forgets what was started on a request once it has ended", () => {
    const { page } = setup();
    page.receive(rawState([rawSession("s", { pending: reply("s:r", 1) })]));
    page.updateDraft("s:r", { text: "half a reply" });
    page.receive(rawState([rawSession("s", { pending: reply("s:r", 1) })]));
    expect(page.draft("s:r").text).toBe("half a reply");
    page.receive(rawState([rawSession("s")]));
    expect(page.draft("s:r").text).toBe("");
  });
});

describe("dictation", () => {
  it("turns finished dictation into the reply's text and engages it", () => {
    const { page, t } = setup();
    page.receive(rawState([rawSession("a", { pending: permission("a:p") }), rawSession("b", { pending: reply("b:r", 2e6) })], { queue: ["a", "b"] }));
    page.updateDraft("b:r", { text: "Yes," });
    page.receive({ type: "talk", state: "done", text: "and pyenv too." });
    expect(page.draft("b:r").text).toBe("Yes, and pyenv too.");
    expect(t.sent).toContainEqual({ type: "engage", id: "b" });
    expect(page.get().focusReply).toBe("b:r");
    expect(page.get().talk?.placed).toBe(true);
  });

  it("keeps finished dictation as it is when no reply waits for it", () => {
    const { page } = setup();
    page.receive(rawState([rawSession("a", { pending: permission("a:p") })], { queue: ["a"] }));
    page.receive({ type: "talk", state: "done", text: "hello" });
    expect(page.get().talk).toEqual({ state: "done", text: "hello" });
    expect(page.draft("a:p").text).toBe("");
  });

  it("shows the dictation states and hides them on off", () => {
    const { page } = setup();
    page.receive({ type: "talk", state: "listening", text: "hel", level: 0.4, hold: true });
    expect(page.get().talk).toEqual({ state: "listening", text: "hel", level: 0.4, hold: true });
    page.receive({ type: "talk", state: "off", text: "" });
    expect(page.get().talk).toBeNull();
  });
});

describe("escape", () => {
  it("closes the innermost thing first and hides the panel last", () => {
    const { page, types } = setup();
    page.receive(rawState([]));
    page.showView("settings");
    page.record("openKey");
    page.escape("dom");
    expect(page.get().recording).toBeNull();
    clock += 1_000;
    page.escape("dom");
    expect(page.get().view).toBe("cards");
    clock += 1_000;
    page.escape("dom");
    expect(types()).toContain("hide");
  });

  it("acts once when the app and the key both report the same Escape", () => {
    const { page, types } = setup();
    page.receive(rawState([]));
    page.receive({ type: "escape" });
    clock += 100;
    page.escape("dom");
    expect(types().filter((x) => x === "hide")).toHaveLength(1);
  });

  it("disarms a pending shell-command denial before anything else", () => {
    const { page, types } = setup();
    page.receive(rawState([rawSession("s", { pending: permission("s:p") })]));
    page.armDeny("s:p");
    page.escape("dom");
    expect(page.get().denyArmed).toBeNull();
    expect(types()).not.toContain("hide");
  });

  it("ends the walkthrough with tourDone", () => {
    const { page, types } = setup();
    page.receive({ type: "tour" });
    page.escape("app");
    expect(page.get().tourStep).toBeNull();
    expect(types()).toEqual(["tourDone"]);
  });
});

describe("commands", () => {
  it("hides: drops the page's holds and views and tells the app", () => {
    const { page, t } = setup();
    page.receive(rawState([]));
    page.showView("settings");
    page.hide();
    expect(page.get().view).toBe("cards");
    expect(t.sent.at(-1)).toEqual({ type: "hide" });
    // The holds were dropped with the panel: opening settings again asks again.
    page.showView("settings");
    expect(t.sent.at(-1)).toEqual({ type: "hold", key: "settings", on: true });
  });

  it("asks for usage and holds the panel open on the usage view", () => {
    const { page, t } = setup();
    page.showView("usage");
    expect(t.sent).toEqual([{ type: "hold", key: "settings", on: true }, { type: "usage" }]);
    page.showView("cards");
    expect(t.sent.at(-1)).toEqual({ type: "hold", key: "settings", on: false });
  });

  it("pauses the app's hot keys only while recording", () => {
    const { page, t } = setup();
    page.record("openKey");
    page.record("talkKey");
    page.record(null);
    page.record(null);
    expect(t.sent).toEqual([{ type: "recordingKey", on: true }, { type: "recordingKey", on: false }]);
  });

  it("restarts the Option tap after its setting changes", () => {
    const { page, t } = setup();
    page.setting("optionTap", false);
    page.setting("theme", "light");
    expect(t.sent).toEqual([
      { type: "setting", key: "optionTap", value: false },
      { type: "optionTapChanged" },
      { type: "setting", key: "theme", value: "light" },
    ]);
  });

  it("selects at once and tells the app; moves stay within the cards", () => {
    const { page, t } = setup();
    page.receive(rawState([rawSession("a"), rawSession("b"), rawSession("c")], { selected: "a" }));
    page.move(["a", "b", "c"], 1);
    expect(page.get().state?.selected).toBe("b");
    page.move(["a", "b", "c"], 1);
    page.move(["a", "b", "c"], 1);
    expect(page.get().state?.selected).toBe("c");
    expect(t.sent.filter((m) => m.type === "select").map((m) => m["id"])).toEqual(["b", "c", "c"]);
    page.receive(rawState([rawSession("a")], { selected: null }));
    page.move(["a"], -1);
    expect(page.get().state?.selected).toBe("a");
  });

  it("keeps the card hold in step with the app, which drops it when nothing waits", () => {
    const { page, t } = setup();
    page.receive(rawState([rawSession("s", { pending: questions("s:q") })], { queue: ["s"] }));
    page.engage("s", "s:q");
    page.receive(rawState([rawSession("s")], { queue: [] }));
    page.receive(rawState([rawSession("s", { pending: questions("s:q2") })], { queue: ["s"] }));
    page.engage("s", "s:q2");
    expect(t.sent.filter((m) => m.type === "hold")).toEqual([
      { type: "hold", key: "card", on: true },
      { type: "hold", key: "card", on: true },
    ]);
  });

  it("finishes the in-panel setup with tourDone", () => {
    const { page, types } = setup();
    page.showView("setup");
    page.finishSetup();
    expect(types()).toContain("tourDone");
    expect(page.get().view).toBe("cards");
    expect(page.get().setupDismissed).toBe(true);
  });

  it("walks the tour step by step and ends it", () => {
    const { page, types } = setup();
    page.receive({ type: "tour" });
    page.nextTour();
    page.nextTour();
    page.nextTour();
    expect(types()).toEqual([]);
    page.nextTour();
    expect(types()).toEqual(["tourDone"]);
  });
});

describe("unchanged sessions", () => {
  it("keep their object across states, so their cards are not redrawn; a changed one is new", () => {
    const { page } = setup();
    page.receive(rawState([rawSession("a"), rawSession("b")]));
    const [a1, b1] = page.get().state!.sessions;
    page.receive(rawState([rawSession("a"), rawSession("b", { activity: "Reading" })], { selected: "a" }));
    const [a2, b2] = page.get().state!.sessions;
    expect(a2).toBe(a1);
    expect(b2).not.toBe(b1);
    expect(b2!.activity).toBe("Reading");
    expect(page.get().state!.selected).toBe("a");
  });
});

describe("copying the diagnostics", () => {
  function inApp() {
    const t = new FakeTransport();
    // The page inside the app's own web view.
    Object.defineProperty(t, "kind", { value: "webkit" });
    const page = new Page(t, () => clock);
    pages.push(page);
    return { page, t };
  }

  it.each([
    [{ copied: true }, "copied"],
    [{ copied: false }, "failed"],
    [{}, "failed"],
  ] as const)("in the app, says what the app's clipboard did: %j", (reply, shown) => {
    const { page, t } = inApp();
    page.copyDiagnostics();
    expect(t.sent).toContainEqual({ type: "copyDiagnostics" });
    expect(page.get().copy).toBe("waiting");
    page.receive({ type: "diagnostics", text: "Talvane 1.0", ...reply });
    expect(page.get().copy).toBe(shown);
  });

  it("ignores diagnostics nobody asked for", () => {
    const { page } = inApp();
    page.receive({ type: "diagnostics", text: "Talvane 1.0", copied: true });
    expect(page.get().copy).toBe("idle");
  });
});

describe("a jump that brought nothing forward", () => {
  it("says why for a while, and a newer failure keeps its own time", () => {
    vi.useFakeTimers();
    try {
      const { page } = setup();
      page.receive({ type: "jumpFailed", id: "claude:a", text: "the session's host has exited" });
      expect(page.get().jumpFailed).toEqual({ id: "claude:a", text: "the session's host has exited" });
      vi.advanceTimersByTime(3000);
      page.receive({ type: "jumpFailed", id: "claude:b", text: "no tmux pane on /dev/pts/4" });
      vi.advanceTimersByTime(2500);
      expect(page.get().jumpFailed?.id).toBe("claude:b");
      vi.advanceTimersByTime(2500);
      expect(page.get().jumpFailed).toBeNull();
    } finally {
      vi.useRealTimers();
    }
  });
});

describe("stillness", () => {
  it("turns still after a quiet while, wakes at once on a change, and waits the full while again", () => {
    vi.useFakeTimers();
    try {
      const seen: boolean[] = [];
      const s = new Stillness(4000, (still) => seen.push(still));
      vi.advanceTimersByTime(3999);
      s.stir(); // a change just before the end restarts the wait
      vi.advanceTimersByTime(3999);
      expect(seen).toEqual([]);
      vi.advanceTimersByTime(1);
      expect(seen).toEqual([true]);
      s.stir();
      s.stir(); // waking is said once
      expect(seen).toEqual([true, false]);
      vi.advanceTimersByTime(4000);
      expect(seen).toEqual([true, false, true]);
      s.dispose();
      vi.advanceTimersByTime(10_000);
      expect(seen).toEqual([true, false, true]);
    } finally {
      vi.useRealTimers();
    }
  });

  it("lets a short stir end soon but never cut a longer wait short", () => {
    vi.useFakeTimers();
    try {
      const seen: boolean[] = [];
      const s = new Stillness(4000, (still) => seen.push(still));
      vi.advanceTimersByTime(1000);
      s.stir(500); // inside the running 4 s wait: changes nothing
      vi.advanceTimersByTime(2999);
      expect(seen).toEqual([]);
      vi.advanceTimersByTime(1);
      s.stir(500);
      vi.advanceTimersByTime(499);
      expect(seen).toEqual([true, false]);
      s.stir(); // a longer one extends a short wait
      vi.advanceTimersByTime(3999);
      expect(seen).toEqual([true, false]);
      vi.advanceTimersByTime(1);
      expect(seen).toEqual([true, false, true]);
      s.dispose();
    } finally {
      vi.useRealTimers();
    }
  });
});

describe("the first frame", () => {
  it("is reported once, after two animation frames", () => {
    const frames: (() => void)[] = [];
    vi.stubGlobal("requestAnimationFrame", (fn: () => void) => frames.push(fn));
    try {
      const { page, types } = setup();
      page.painted();
      page.painted();
      frames.shift()!();
      expect(types()).not.toContain("painted");
      frames.shift()!();
      expect(frames).toEqual([]);
      expect(types().filter((t) => t === "painted")).toHaveLength(1);
    } finally {
      vi.unstubAllGlobals();
    }
  });
});

describe("activity marks", () => {
  it("lets an agent's change wake the panel briefly in steps, and input smoothly", () => {
    vi.useFakeTimers();
    const root = document.createElement("div");
    const input = new EventTarget();
    let changed = () => {};
    const stop = watchActivity({ subscribe: (fn) => ((changed = fn), () => {}) }, input, root);
    const marks = () => [root.dataset["rest"] !== undefined, root.dataset["calm"] !== undefined];
    try {
      vi.advanceTimersByTime(INPUT_STIR_MS);
      expect(marks()).toEqual([true, true]);
      changed();
      expect(marks()).toEqual([false, true]);
      vi.advanceTimersByTime(AGENT_STIR_MS);
      expect(marks()).toEqual([true, true]);
      input.dispatchEvent(new Event("keydown"));
      expect(marks()).toEqual([false, false]);
      vi.advanceTimersByTime(INPUT_STIR_MS);
      expect(marks()).toEqual([true, true]);
      stop();
      input.dispatchEvent(new Event("pointermove"));
      expect(marks()).toEqual([true, true]);
    } finally {
      vi.useRealTimers();
    }
  });
});

describe("finishing one-off animations", () => {
  it("ends the counted ones and leaves endless ones running", () => {
    const done: string[] = [];
    const fake = (name: string, endTime: number, fails = false) => ({
      effect: { getComputedTiming: () => ({ endTime }) } as unknown as AnimationEffect,
      finish: () => {
        if (fails) throw new Error("cannot");
        done.push(name);
      },
    });
    finishOneOffs([fake("pulse", 11_000, true), fake("bounce", 10_400), fake("breathe", Infinity)]);
    expect(done).toEqual(["bounce"]);
  });
});
