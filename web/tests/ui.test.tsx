import { render } from "preact";
import { act } from "preact/test-utils";
import { afterEach, describe, expect, it, vi } from "vitest";
import { Page } from "../src/page";
import { App } from "../src/ui/App";
import { FIRST_CARDS } from "../src/ui/Panel";
import { PREWARM_DELAY_MS, PREWARM_HOLD_MS } from "../src/ui/Strip";
import { FakeTransport, permission, questions, rawSession, rawState, reply } from "./fixtures";


const mounted: { root: HTMLDivElement; page: Page }[] = [];

function mount(state: Record<string, unknown>, route: "panel" | "onboard" = "panel", clock = () => 1_000_000) {
  const t = new FakeTransport();
  const page = new Page(t, clock);
  const root = document.createElement("div");
  document.body.appendChild(root);
  mounted.push({ root, page });
  act(() => {
    render(<App page={page} route={route} />, root);
  });
  act(() => page.receive(state));
  const sent = (type: string) => t.sent.filter((m) => m.type === type);
  return { page, t, root, sent };
}

afterEach(() => {
  for (const { root, page } of mounted.splice(0)) {
    act(() => render(null, root));
    root.remove();
    page.dispose();
  }
});

const buttons = (el: ParentNode, text: string) =>
  [...el.querySelectorAll("button")].filter((b) => b.textContent?.trim() === text) as HTMLButtonElement[];
const click = (el: Element) => act(() => (el as HTMLElement).click());
const key = (k: string, more: KeyboardEventInit = {}) =>
  act(() => {
    document.dispatchEvent(new KeyboardEvent("keydown", { key: k, bubbles: true, cancelable: true, ...more }));
  });

describe("agent text is only ever text", () => {
  it("shows markup from agents literally and creates no elements from it", () => {
    const evil = '<img src=x onerror="window.__pwned=1"><script>window.__pwned=2</script>';
    const { root } = mount(
      rawState(
        [
          rawSession("a", { title: evil, activity: `<b>${evil}</b>`, project: "<i>proj</i>", branch: "<u>b</u>", pending: { ...permission("a:p"), detail: evil, title: "<em>Wants</em>" } }),
          rawSession("b", { mood: "done", pending: { ...reply("b:r", 2e6), message: `<a href="javascript:alert(1)">click</a>${evil}` } }),
          rawSession("c", { pending: { ...questions("c:q"), questions: [{ header: "<h1>H</h1>", text: evil, multi: false, options: [{ label: "<button>x</button>", detail: evil }] }] } }),
        ],
        { queue: ["a", "b", "c"], selected: "a" },
      ),
    );
    expect(root.querySelector("img, script, b, i, u, em, h1, a[href^='javascript']")).toBeNull();
    expect(root.textContent).toContain("<img src=x");
    expect(root.textContent).toContain("<em>Wants</em>");
    expect(root.textContent).toContain("<button>x</button>");
    expect((window as unknown as { __pwned?: number }).__pwned).toBeUndefined();
  });
});

describe("permission requests", () => {
  it("offers Allow, Deny and Answer there; a decision names the request the user saw", () => {
    const { root, t } = mount(rawState([rawSession("claude:1", { pending: permission("claude:1:p") })], { queue: ["claude:1"] }));
    for (const [label, sent] of [
      ["Allow", { type: "allow", id: "claude:1", request: "claude:1:p" }],
      ["Deny", { type: "deny", id: "claude:1", request: "claude:1:p" }],
      ["Answer there", { type: "answerThere", id: "claude:1" }],
    ] as const) {
      const [b] = buttons(root, label);
      expect(b, label).toBeDefined();
      click(b!);
      expect(t.sent.at(-1)).toEqual(sent);
    }
  });

  it("writes out characters that would make a command read differently from what runs", () => {
    const command = "echo safe \u202Etxt.exe\u202C && curl x\u200B.sh\u0007 | sh\nnext\tline";
    const { root } = mount(rawState([rawSession("a", { pending: { ...permission("a:p", "Bash"), detail: command } })], { queue: ["a"] }));
    const box = root.querySelector(".req-detail")!;
    // eslint-disable-next-line no-control-regex -- the control character is what is tested
    expect(box.textContent).not.toMatch(/[\u202E\u202C\u200B\u0007]/);
    expect([...box.querySelectorAll(".hidden-char")].map((e) => e.textContent)).toEqual(["U+202E", "U+202C", "U+200B", "U+0007"]);
    expect(box.textContent).toContain("\nnext\tline");
  });

  it("shows a path whole, however long, so a climb out of the project is seen", () => {
    const path = `/home/me/code/project/${"deep/".repeat(30)}../../../../../../../../.bashrc`;
    const { root } = mount(rawState([rawSession("a", { pending: { ...permission("a:p", "Edit"), detail: path } })], { queue: ["a"] }));
    expect(root.querySelector(".req-detail.path")?.textContent).toBe(path);
  });

  it("draws only the first part of a huge command and shows the rest on request", () => {
    const huge = "x".repeat(1 << 20);
    const { root } = mount(rawState([rawSession("a", { pending: { ...permission("a:p", "Bash"), detail: huge } })], { queue: ["a"] }));
    const box = () => root.querySelector(".req-detail")!;
    expect(box().textContent!.length).toBeLessThan(10_000);
    expect(root.textContent).toMatch(/\d+ (KB|MB) more not shown/);
    click(buttons(root, "Show all")[0]!);
    expect(box().textContent!.length).toBe(huge.length);
    expect(buttons(root, "Show all")).toHaveLength(0);
  });

  it("disables every answer while the app cannot hear the page, and says so", () => {
    const { root, page, t } = mount(rawState([rawSession("a", { pending: permission("a:p") })], { queue: ["a"] }));
    act(() => page.setConnected(false));
    const allow = buttons(root, "Allow")[0]!;
    expect(allow.closest("fieldset")?.disabled).toBe(true);
    expect(root.textContent).toContain("Reconnecting…");
    act(() => page.setTrouble("refused"));
    expect(root.textContent).toContain("restarted with a new address");
    act(() => page.setConnected(true));
    expect(allow.closest("fieldset")?.disabled).toBe(false);
    expect(root.textContent).not.toContain("restarted with a new address");
    expect(t.sent.filter((m) => m.type === "allow")).toEqual([]);
  });
});

describe("many sessions", () => {
  it("draws the first screenful at once and every other card right after", async () => {
    const sessions = Array.from({ length: 30 }, (_, i) => rawSession(`s${i}`));
    const { root } = mount(rawState(sessions));
    expect(root.querySelectorAll(".card")).toHaveLength(FIRST_CARDS);
    for (let i = 0; i < 10 && root.querySelectorAll(".card").length < 30; i++) {
      await act(() => new Promise((ok) => setTimeout(ok, 5)));
    }
    expect(root.querySelectorAll(".card")).toHaveLength(30);
  });
});

describe("turn timers", () => {
  it("tick together on one timer, and only while a turn runs", () => {
    vi.useFakeTimers({ now: 1_000_000 });
    const every = vi.spyOn(globalThis, "setInterval");
    const ticking = () => every.mock.calls.filter(([, ms]) => ms === 1000).length;
    const turn = (id: string, end?: number) => rawSession(id, { stats: { cost: 0, turnStart: 995_000, ...(end ? { turnEnd: end } : {}) } });
    try {
      const ended = mount(rawState([turn("x", 998_000)]), "panel", () => Date.now());
      expect(ended.root.querySelector(".timer")?.textContent).toBe("3s");
      expect(ticking()).toBe(0);
      const { root } = mount(rawState([turn("a"), turn("b"), turn("c", 998_000)]), "panel", () => Date.now());
      const shown = () => [...root.querySelectorAll(".timer")].map((e) => e.textContent);
      expect(shown()).toEqual(["5s", "5s", "3s"]);
      expect(ticking()).toBe(1);
      act(() => void vi.advanceTimersByTime(2000));
      expect(shown()).toEqual(["7s", "7s", "3s"]);
    } finally {
      every.mockRestore();
      vi.useRealTimers();
    }
  });
});

describe("the closed strip", () => {
  it("draws the open panel once out of sight after start, sends nothing for it, and not again after a hover", () => {
    vi.useFakeTimers({ now: 1_000_000 });
    try {
      const state = (open: boolean) => rawState([rawSession("a", { pending: permission("a:p") })], { queue: ["a"], open });
      const { root, page, t } = mount(state(false));
      const before = t.sent.length;
      const warm = () => root.querySelector(".prewarm .panel");
      expect(warm()).toBeNull();
      act(() => void vi.advanceTimersByTime(PREWARM_DELAY_MS));
      expect(warm()).not.toBeNull();
      expect(root.querySelector(".prewarm")?.getAttribute("aria-hidden")).toBe("true");
      act(() => void vi.advanceTimersByTime(PREWARM_HOLD_MS));
      expect(warm()).toBeNull();
      // The strip's own first frame is reported; the hidden panel says nothing.
      expect(t.sent.slice(before)).toEqual([{ type: "painted" }]);
      act(() => page.receive(state(true)));
      act(() => page.receive(state(false)));
      act(() => void vi.advanceTimersByTime(PREWARM_DELAY_MS + PREWARM_HOLD_MS));
      expect(root.querySelector(".prewarm")).toBeNull();
    } finally {
      vi.useRealTimers();
    }
  });
});

describe("question requests", () => {
  it("answers in question order, after every question has a pick", () => {
    const { root, sent } = mount(rawState([rawSession("cursor:1", { pending: questions("cursor:1:q") })], { queue: ["cursor:1"] }));
    const submit = () => buttons(root, "Send answers")[0]!;
    click(buttons(root, "auth")[0]!);
    click(buttons(root, "search")[0]!);
    expect(submit().disabled).toBe(true);
    click(buttons(root, "Memory")[0]!);
    expect(submit().disabled).toBe(false);
    click(submit());
    expect(sent("answer")).toEqual([{ type: "answer", id: "cursor:1", answers: ["Memory", "search, auth"] }]);
  });
});

describe("reply requests", () => {
  it("engages on the first keystroke, sends with Enter and keeps Shift+Enter for new lines", () => {
    const { root, sent } = mount(rawState([rawSession("gemini:1", { agent: "gemini", mood: "done", pending: reply("gemini:1:r", 1_010_000) })], { queue: ["gemini:1"] }));
    const field = root.querySelector("textarea")!;
    expect(field.placeholder).toBe("Reply to Gemini CLI…");
    const type = (value: string) =>
      act(() => {
        field.value = value;
        field.dispatchEvent(new Event("input", { bubbles: true }));
      });
    type("Y");
    type("Yes");
    expect(sent("engage")).toEqual([{ type: "engage", id: "gemini:1" }]);
    act(() => {
      field.dispatchEvent(new KeyboardEvent("keydown", { key: "Enter", shiftKey: true, bubbles: true, cancelable: true }));
    });
    expect(sent("reply")).toEqual([]);
    act(() => {
      field.dispatchEvent(new KeyboardEvent("keydown", { key: "Enter", bubbles: true, cancelable: true }));
    });
    expect(sent("reply")).toEqual([{ type: "reply", id: "gemini:1", text: "Yes" }]);
  });

  it("shows the time left and lets the offer go", () => {
    const { root, sent } = mount(rawState([rawSession("g", { pending: reply("g:r", 1_009_500) })], { queue: ["g"] }));
    expect(root.textContent).toContain("Closes in 10s");
    click(buttons(root, "Not now")[0]!);
    expect(sent("release")).toEqual([{ type: "release", id: "g" }]);
  });
});

describe("elsewhere requests", () => {
  it("jumps to the agent's window with Show", () => {
    const { root, sent } = mount(rawState([rawSession("copilot:1", { pending: { id: "copilot:1:e", kind: "elsewhere", title: "Trust this folder?", engaged: false, since: 1 } })], { queue: ["copilot:1"] }));
    expect(root.textContent).toContain("Trust this folder?");
    click(buttons(root, "Show")[0]!);
    expect(sent("jump")).toEqual([{ type: "jump", id: "copilot:1" }]);
  });
});

describe("session cards", () => {
  it("bring the session's terminal forward on a click, but not through their buttons or requests", () => {
    const { root, sent } = mount(rawState([rawSession("a", { pending: permission("a:p") }), rawSession("b")], { queue: ["a"] }));
    click(root.querySelector('[data-id="b"] .card-l2')!);
    expect(sent("jump")).toEqual([{ type: "jump", id: "b" }]);
    expect(sent("select").map((m) => m["id"])).toContain("b");
    click(root.querySelector('[data-id="b"] .card-dismiss')!);
    click(root.querySelector('[data-id="a"] .req')!);
    expect(sent("jump")).toHaveLength(1);
  });
});

describe("sessions on other machines", () => {
  it("name their machine beside the project, as text, and fall back to the ssh host", () => {
    const { root } = mount(
      rawState([
        rawSession("r", { remote: "me@devbox:2222", machine: "<b>devbox</b>" }),
        rawSession("n", { remote: "ci", machine: "" }),
        rawSession("l", { machine: "stray" }),
      ]),
    );
    const machine = (id: string) => root.querySelector(`[data-id="${id}"] .machine`);
    expect(machine("r")?.textContent).toBe("on <b>devbox</b>");
    expect(machine("r")?.getAttribute("title")).toBe("On <b>devbox</b> (me@devbox:2222)");
    expect(root.querySelector(".machine b")).toBeNull();
    expect(machine("n")?.textContent).toBe("on ci");
    expect(machine("l")).toBeNull();
  });
});

describe("the closed strip", () => {
  it("shows a badge while requests wait, opens on click, and reports its rectangle", () => {
    const { root, sent } = mount(rawState([rawSession("a", { pending: permission("a:p") }), rawSession("b")], { open: false, queue: ["a"] }));
    expect(root.querySelector(".badge")?.textContent).toBe("1");
    expect(root.querySelector(".strip-text")?.textContent).toBe("Wants to run");
    click(root.querySelector(".strip")!);
    expect(sent("open")).toEqual([{ type: "open" }]);
    expect(sent("rect")).toEqual([{ type: "rect", x: 260, y: 0, w: 200, h: 32 }]);
  });
});

describe("keyboard", () => {
  it("allows with Enter and denies a shell command only after a second Backspace", () => {
    const { sent, page } = mount(rawState([rawSession("a", { pending: permission("a:p", "Bash") }), rawSession("b")], { queue: ["a"], selected: "a" }));
    act(() => page.receive({ type: "keys", on: true }));
    key("Backspace");
    expect(sent("deny")).toEqual([]);
    expect(document.body.textContent).toContain("Deny this command?");
    key("Backspace");
    expect(sent("deny")).toEqual([{ type: "deny", id: "a", request: "a:p" }]);
    key("Enter");
    expect(sent("allow")).toEqual([{ type: "allow", id: "a", request: "a:p" }]);
  });

  it("acts on the card that has the focus, not on another selected card", () => {
    const { sent, page, root } = mount(
      rawState([rawSession("a", { pending: permission("a:p", "Edit", "/a") }), rawSession("b", { pending: permission("b:p", "Edit", "/b") })], { queue: ["a", "b"], selected: "a" }),
    );
    act(() => page.receive({ type: "keys", on: true }));
    act(() => root.querySelector<HTMLElement>('.card[data-id="b"]')!.focus());
    key("Enter");
    expect(sent("allow")).toEqual([{ type: "allow", id: "b", request: "b:p" }]);
    act(() => root.querySelector<HTMLElement>('.card[data-id="b"] .req-detail')!.focus());
    key("Backspace");
    expect(sent("deny")).toEqual([{ type: "deny", id: "b", request: "b:p" }]);
  });

  it("moves with j/k and picks options with digits", () => {
    const { sent, page } = mount(rawState([rawSession("a"), rawSession("q", { pending: questions("q:q") })], { queue: ["q"], selected: "q" }));
    act(() => page.receive({ type: "keys", on: true }));
    key("1");
    key("2", { code: "Digit2" });
    key("3", { code: "Digit3" });
    key("Enter");
    expect(sent("answer")).toEqual([{ type: "answer", id: "q", answers: ["Redis", "export, auth"] }]);
    key("j");
    expect(sent("select").at(-1)).toEqual({ type: "select", id: "a" });
  });

  it("leaves with Escape", () => {
    const { sent } = mount(rawState([]));
    key("Escape");
    expect(sent("hide")).toEqual([{ type: "hide" }]);
  });
});

describe("first run", () => {
  it("offers setup below waiting requests, never above them", () => {
    const { root } = mount(rawState([rawSession("a", { pending: permission("a:p") }), rawSession("b")], { queue: ["a"], firstRun: true }));
    const kids = [...root.querySelector(".cards")!.children];
    const banner = kids.findIndex((k) => k.classList.contains("setup-banner"));
    const waiting = kids.findIndex((k) => (k as HTMLElement).dataset["id"] === "a");
    expect(banner).toBeGreaterThan(waiting);
  });

  it("shows no banner when the app does not say it is a first run", () => {
    const { root } = mount(rawState([rawSession("b")]));
    expect(root.querySelector(".setup-banner")).toBeNull();
  });

  it("walks the onboarding window's steps and ends with onboardDone", () => {
    const settings = { theme: "auto", integrations: [{ id: "droid", label: "Droid", available: true, installed: false }] };
    const { root, sent } = mount(rawState([], { settings, panelTheme: "light" }), "onboard");
    click(buttons(root, "Get started")[0]!);
    click(root.querySelector('[aria-label="Connect Droid"]')!);
    expect(sent("setting")).toEqual([{ type: "setting", key: "integration:droid", value: true }]);
    click(buttons(root, "Continue")[0]!);
    // The window keeps its look; the theme choice shows the panel as the app will draw it.
    expect(root.querySelector(".theme-preview-light")).not.toBeNull();
    click(buttons(root, "Continue")[0]!);
    click(buttons(root, "Start Talvane")[0]!);
    expect(sent("onboardDone")).toEqual([{ type: "onboardDone" }]);
  });
});

describe("settings", () => {
  it("sends each change as a setting with the app's keys and value types", () => {
    const { root, sent, page } = mount(rawState([], { settings: { hooksInstalled: false, cursorAvailable: true, cursorInstalled: true } }));
    act(() => page.receive({ type: "openSettings" }));
    click(root.querySelector('[aria-label="Connect Claude Code"]')!);
    click(root.querySelector('[aria-label="Connect Cursor"]')!);
    const windowSel = root.querySelector('select[aria-label="Reply window"]') as HTMLSelectElement;
    act(() => {
      windowSel.value = "30";
      windowSel.dispatchEvent(new Event("change", { bubbles: true }));
    });
    click(buttons(root, "Light")[0]!);
    expect(sent("setting")).toEqual([
      { type: "setting", key: "hooksInstalled", value: true },
      { type: "setting", key: "cursorInstalled", value: false },
      { type: "setting", key: "replyWindow", value: 30 },
      { type: "setting", key: "theme", value: "light" },
    ]);
    expect(root.textContent).toContain("Talvane dev");
  });

  it("records a shortcut, pausing the app's hot keys meanwhile", () => {
    const { root, t, page } = mount(rawState([]));
    act(() => page.receive({ type: "openSettings" }));
    click(root.querySelector('[aria-label^="Shortcut Ctrl+Alt+T"]')!);
    key("t", { code: "KeyT", ctrlKey: true, shiftKey: true });
    const relevant = t.sent.filter((m) => m.type === "recordingKey" || m.type === "setting");
    expect(relevant).toEqual([
      { type: "recordingKey", on: true },
      { type: "setting", key: "talkKey", value: { code: "KeyT", ctrl: true, alt: false, shift: true, meta: false } },
      { type: "recordingKey", on: false },
    ]);
  });
});

describe("remote hosts in the settings", () => {
  const hosts = [
    { destination: "me@dev", machine: "devbox", state: "connected", detail: "", codex: true },
    { destination: "ci", machine: "ci", state: "authentication", detail: "needs key or agent authentication", codex: false },
    { destination: "vm:2222", machine: "", state: "retrying", detail: "Connection refused", codex: false },
  ];
  const open = (remotes: Record<string, unknown>) => {
    const m = mount(rawState([], { settings: { remotes } }));
    act(() => m.page.receive({ type: "openSettings" }));
    return m;
  };

  it("shows each host's state with its detail and sends add and remove", () => {
    const { root, sent } = open({ hosts, busy: null, message: "" });
    const rows = [...root.querySelectorAll(".remote-row")].map((r) => r.textContent);
    expect(rows[0]).toContain("Connected");
    expect(rows[0]).toContain("Codex there is not followed");
    expect(rows[1]).toContain("Authentication needed — needs key or agent authentication");
    expect(rows[2]).toContain("Retrying — Connection refused");
    click(root.querySelector('[aria-label="Remove ci"]')!);
    const field = root.querySelector('input[aria-label="Remote host"]') as HTMLInputElement;
    act(() => {
      field.value = "  me@new:2200 ";
      field.dispatchEvent(new Event("input", { bubbles: true }));
    });
    click(buttons(root, "Add")[0]!);
    expect(sent("setting")).toEqual([
      { type: "setting", key: "remoteRemove", value: "ci" },
      { type: "setting", key: "remoteAdd", value: "me@new:2200" },
    ]);
    expect(field.value).toBe("");
  });

  it("says Adding… while the command runs, then its last line, and takes no second command", () => {
    const { root, sent, page } = open({ hosts: [], busy: "me@new", message: "" });
    expect(root.textContent).toContain("Adding me@new…");
    expect(buttons(root, "Adding…")[0]!.disabled).toBe(true);
    act(() => page.receive(rawState([], { settings: { remotes: { hosts: [], busy: null, message: "me@new: aarch64 does not match" } } })));
    expect(root.textContent).toContain("me@new: aarch64 does not match");
    expect(sent("setting")).toEqual([]);
  });
});

describe("escape while recording a shortcut", () => {
  it("cancels only the recording, even when the app reports the same Escape", () => {
    const { root, t, page } = mount(rawState([]));
    act(() => page.receive({ type: "openSettings" }));
    click(root.querySelector('[aria-label^="Shortcut Ctrl+Alt+R"]')!);
    key("Escape");
    act(() => page.receive({ type: "escape" }));
    expect(page.get().view).toBe("settings");
    expect(t.sent.filter((m) => m.type === "recordingKey")).toEqual([
      { type: "recordingKey", on: true },
      { type: "recordingKey", on: false },
    ]);
    expect(t.sent.filter((m) => m.type === "hide")).toEqual([]);
  });
});

describe("dictation overlay", () => {
  it("shows every dictation state and goes away on off", () => {
    const { root, page } = mount(rawState([]));
    const talk = (state: string, text: string, more = {}) => act(() => page.receive({ type: "talk", state, text, ...more }));
    talk("listening", "do the same", { level: 0.5, hold: true });
    expect(root.querySelector(".talk-listening")?.textContent).toContain("do the same");
    expect(root.textContent).toContain("Release to finish");
    talk("polishing", "Do the same.");
    expect(root.querySelector(".talk-polishing")?.textContent).toContain("Do the same.");
    talk("copied", "Ship it.");
    expect(root.querySelector(".talk-copied")?.textContent).toContain("Copied");
    talk("error", "No microphone");
    expect(root.querySelector(".talk-error")?.textContent).toContain("No microphone");
    talk("off", "");
    expect(root.querySelector(".talk")).toBeNull();
  });
});

describe("glass", () => {
  it("asks for a glass shape behind what it draws, only where glass exists", () => {
    const geo = { glass: true, glassAvailable: true, theme: "light" };
    const { sent } = mount(rawState([], { open: false, geo }));
    expect(sent("glass")).toEqual([
      {
        type: "glass",
        on: true,
        rects: [{ x: 260, y: 0, w: 200, h: 32, r: 16 }],
        animate: true,
        seed: { x: 340, y: 0, w: 40, h: 20 },
        fuse: 0,
        light: true,
      },
    ]);
    const plain = mount(rawState([], { open: false }));
    expect(plain.sent("glass")).toEqual([]);
  });
});

describe("pull requests", () => {
  it("links only to web addresses", () => {
    const pr = { number: 7, title: "t", state: "OPEN", draft: false, passed: 2, failed: 1, running: 0, conflicts: true, review: "APPROVED" };
    const { root } = mount(
      rawState([rawSession("a", { pr: { ...pr, url: "https://github.com/o/r/pull/7" } }), rawSession("b", { pr: { ...pr, url: "javascript:alert(1)" } })]),
    );
    const links = root.querySelectorAll("a.pr");
    expect(links).toHaveLength(1);
    expect(links[0]!.getAttribute("href")).toBe("https://github.com/o/r/pull/7");
    expect(links[0]!.getAttribute("rel")).toContain("noopener");
    expect(root.textContent).toContain("Conflicts");
    expect(root.textContent).toContain("Approved");
  });
});

describe("the artificial pointer", () => {
  it("is drawn where the app puts it, pressed or not, and only while on the stage", () => {
    const { page, root } = mount(rawState([]));
    const cursor = () => root.querySelector(".fake-cursor") as SVGElement | null;
    expect(cursor()).toBeNull();
    act(() => page.receive({ type: "cursor", x: 300, y: 10, down: false }));
    expect(cursor()?.style.left).toBe("300px");
    expect(cursor()?.style.top).toBe("10px");
    expect(cursor()?.classList.contains("down")).toBe(false);
    act(() => page.receive({ type: "cursor", x: 360, y: 23, down: true }));
    expect(cursor()?.classList.contains("down")).toBe(true);
    act(() => page.receive({ type: "cursor", x: -1, y: -1, down: false }));
    expect(cursor()).toBeNull();
  });
});

describe("notifications and sound", () => {
  const radio = (root: HTMLElement, group: string, label: string) =>
    [...root.querySelectorAll(`[aria-label="${group}"] [role="radio"]`)].find((b) => b.textContent === label)!;

  it("are set from the settings view and the first-run settings step alike", () => {
    const inPanel = mount(rawState([], { settings: { notifications: "requests", sound: true } }));
    act(() => inPanel.page.receive({ type: "openSettings" }));
    expect(radio(inPanel.root, "Notifications", "Requests").getAttribute("aria-checked")).toBe("true");
    click(radio(inPanel.root, "Notifications", "All"));
    click(inPanel.root.querySelector('[aria-label="Sound"]')!);
    expect(inPanel.sent("setting")).toEqual([
      { type: "setting", key: "notifications", value: "all" },
      { type: "setting", key: "sound", value: false },
    ]);

    const window = mount(rawState([], { settings: { notifications: "off", sound: false } }), "onboard");
    click(buttons(window.root, "Get started")[0]!);
    click(buttons(window.root, "Continue")[0]!);
    expect(radio(window.root, "Notifications", "Off").getAttribute("aria-checked")).toBe("true");
    expect(window.root.querySelector('[aria-label="Sound"]')!.getAttribute("aria-checked")).toBe("false");
    click(radio(window.root, "Notifications", "Requests"));
    expect(window.sent("setting")).toEqual([{ type: "setting", key: "notifications", value: "requests" }]);
  });
});
