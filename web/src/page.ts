// The page's own state beside the app's snapshot, and everything that changes it: incoming
// messages, the user's actions, and the commands they send back to the app.

import { readMessage, type Incoming, type SessionMemo, type State, type Talk, type Usage } from "./protocol";
import type { Outgoing, Transport } from "./transport";
import { replyTarget, sessionById } from "./model";

export type View = "cards" | "settings" | "usage" | "setup";

/** "stopped": nothing answers at the address; "refused": the app runs but no longer takes this address. */
export type Trouble = "stopped" | "refused";

/** What the user has started on one request; kept by request id so a fresh state keeps it. */
export interface Draft {
  text: string;
  picks: number[][];
  question: number;
  /** Page time at which the user first engaged (freezes the reply countdown). */
  engagedAt?: number;
  expanded: boolean;
}

export interface PageState {
  state: State | null;
  /** App clock minus page clock, so countdowns agree with the app's `now`. */
  skew: number;
  view: View;
  usage: Usage | null;
  talk: Talk | null;
  keys: boolean;
  pointer: { x: number; y: number };
  /** The app's artificial pointer (recordings only); hidden while x or y is negative. */
  cursor: { x: number; y: number; down: boolean };
  helloAt: number | null;
  tourStep: number | null;
  drafts: Record<string, Draft>;
  denyArmed: string | null;
  connected: boolean;
  /** Why the socket stays down, once retrying has gone on for a while. */
  trouble: Trouble | null;
  /** "Copy diagnostics": waiting for the text, copied, or the clipboard refused. */
  copy: "idle" | "waiting" | "copied" | "failed";
  recording: "openKey" | "talkKey" | null;
  /** Focus request from the keyboard: the reply field of this request id. */
  focusReply: string | null;
  setupDismissed: boolean;
  /** A click on a session that brought nothing forward, and why; shown for a few seconds. */
  jumpFailed: { id: string; text: string } | null;
}

const initial = (): PageState => ({
  state: null,
  skew: 0,
  view: "cards",
  usage: null,
  talk: null,
  keys: false,
  pointer: { x: -1, y: -1 },
  cursor: { x: -1, y: -1, down: false },
  helloAt: null,
  tourStep: null,
  drafts: {},
  denyArmed: null,
  connected: true,
  trouble: null,
  copy: "idle",
  recording: null,
  focusReply: null,
  setupDismissed: false,
  jumpFailed: null,
});

export const emptyDraft = (): Draft => ({ text: "", picks: [], question: 0, expanded: false });

export const TOUR_STEPS = 4;

export const JUMP_NOTICE_MS = 5000;

type Listener = () => void;

export class Page {
  private s: PageState = initial();
  private listeners = new Set<Listener>();
  private lastEscape = 0;
  private holds = new Set<string>();
  private timers: ReturnType<typeof setTimeout>[] = [];
  /** Requests already reported as engaged, so "engage" goes out once per request. */
  private engagedSent = new Set<string>();
  /** The last state's sessions, so unchanged ones keep their object (and their drawn card). */
  private sessionMemo: SessionMemo = new Map();
  private paintedSent = false;

  constructor(
    private transport: Transport,
    private readonly clock: () => number = () => Date.now(),
  ) {}

  get(): PageState {
    return this.s;
  }

  subscribe(fn: Listener): () => void {
    this.listeners.add(fn);
    return () => this.listeners.delete(fn);
  }

  private set(patch: Partial<PageState>): void {
    this.s = { ...this.s, ...patch };
    for (const fn of this.listeners) fn();
  }

  /** The app's idea of now, in milliseconds. */
  now(): number {
    return this.clock() + this.s.skew;
  }

  get transportKind(): Transport["kind"] {
    return this.transport.kind;
  }

  start(): void {
    this.transport.start((raw) => this.receive(raw));
  }

  setConnected(up: boolean): void {
    this.set(up ? { connected: true, trouble: null } : { connected: false });
  }

  setTrouble(trouble: Trouble | null): void {
    if (trouble !== this.s.trouble) this.set({ trouble });
  }

  /** Answers the request the user saw: the app ignores it if the session has a newer one by now. */
  decide(sessionId: string, pendingId: string, behavior: "allow" | "deny"): void {
    this.send({ type: behavior, id: sessionId, request: pendingId });
  }

  /** Asks the app for its diagnostics; copied when they arrive. */
  copyDiagnostics(): void {
    this.set({ copy: "waiting" });
    this.send({ type: "copyDiagnostics" });
    this.later(4000, () => this.s.copy === "waiting" && this.set({ copy: "failed" }));
  }

  private async placeOnClipboard(text: string, copied: boolean | undefined): Promise<void> {
    // Inside the app the native side copies and says whether the clipboard took the text.
    if (this.transport.kind === "webkit") return this.flashCopy(copied === true ? "copied" : "failed");
    // A browser may be on another machine than the app's clipboard: it copies for itself.
    try {
      const clip = typeof navigator !== "undefined" ? navigator.clipboard : undefined;
      if (!clip) throw new Error("no clipboard");
      await clip.writeText(text);
      this.flashCopy("copied");
    } catch {
      this.flashCopy("failed");
    }
  }

  private flashCopy(result: "copied" | "failed"): void {
    this.set({ copy: result });
    this.later(2500, () => this.s.copy === result && this.set({ copy: "idle" }));
  }

  send(msg: Outgoing): void {
    this.transport.send(msg);
  }

  /** The page's entry point for every message from the app. */
  receive(raw: unknown): void {
    const msg = readMessage(raw, this.sessionMemo);
    if (msg) this.apply(msg);
  }

  private apply(msg: Incoming): void {
    switch (msg.type) {
      case "state":
        return this.applyState(msg.state);
      case "hello":
        this.set({ helloAt: this.clock() });
        this.later(2800, () => this.set({ helloAt: null }));
        return;
      case "usage":
        return this.set({ usage: msg.usage });
      case "talk":
        return this.applyTalk(msg.talk);
      case "keys":
        return this.set({ keys: msg.on, denyArmed: msg.on ? this.s.denyArmed : null });
      case "pointer":
        return this.set({ pointer: { x: msg.x, y: msg.y } });
      case "cursor":
        return this.set({ cursor: { x: msg.x, y: msg.y, down: msg.down } });
      case "escape":
        return this.escape("app");
      case "openSettings":
        return this.showView("settings");
      case "tour":
        return this.set({ tourStep: 0, view: "cards" });
      case "diagnostics":
        if (this.s.copy === "waiting") void this.placeOnClipboard(msg.text, msg.copied);
        return;
      case "jumpFailed": {
        const shown = { id: msg.id, text: msg.text };
        this.set({ jumpFailed: shown });
        // A newer failure keeps its own time on screen.
        this.later(JUMP_NOTICE_MS, () => {
          if (this.s.jumpFailed === shown) this.set({ jumpFailed: null });
        });
        return;
      }
    }
  }

  private applyState(state: State): void {
    // Forget drafts of requests that have ended.
    const live = new Set(state.sessions.flatMap((x) => (x.pending ? [x.pending.id] : [])));
    const drafts: Record<string, Draft> = {};
    for (const [id, d] of Object.entries(this.s.drafts)) if (live.has(id)) drafts[id] = d;
    // Engaged elsewhere (or before a reload): the countdown stops where it is now.
    const appNow = state.now;
    for (const x of state.sessions) {
      const p = x.pending;
      if (p?.engaged && drafts[p.id]?.engagedAt === undefined) drafts[p.id] = { ...(drafts[p.id] ?? emptyDraft()), engagedAt: appNow };
    }
    for (const id of this.engagedSent) if (!live.has(id)) this.engagedSent.delete(id);
    const denyArmed = this.s.denyArmed && live.has(this.s.denyArmed) ? this.s.denyArmed : null;
    // The app drops the "card" hold by itself once nothing waits.
    if (state.queue.length === 0) this.holds.delete("card");
    this.set({ state, skew: state.now - this.clock(), drafts, denyArmed });
  }

  private applyTalk(talk: Talk): void {
    if (talk.state === "off") return this.set({ talk: null });
    if (talk.state === "done" && this.s.state) {
      // Dictated text becomes the reply to the request it was meant for.
      const target = replyTarget(this.s.state);
      if (target?.pending && talk.text) {
        const id = target.pending.id;
        const d = this.draft(id);
        this.updateDraft(id, { text: d.text ? `${d.text} ${talk.text}` : talk.text });
        this.engage(target.id, id);
        this.set({ talk: { ...talk, placed: true }, focusReply: id });
        return;
      }
    }
    this.set({ talk });
  }

  draft(pendingId: string): Draft {
    return this.s.drafts[pendingId] ?? emptyDraft();
  }

  updateDraft(pendingId: string, patch: Partial<Draft>): void {
    this.set({ drafts: { ...this.s.drafts, [pendingId]: { ...this.draft(pendingId), ...patch } } });
  }

  /** The user started on a request: tell the app once, and freeze its countdown here. */
  engage(sessionId: string, pendingId: string): void {
    if (!this.draft(pendingId).engagedAt) this.updateDraft(pendingId, { engagedAt: this.now() });
    if (this.engagedSent.has(pendingId)) return;
    this.engagedSent.add(pendingId);
    this.send({ type: "engage", id: sessionId });
    this.hold("card", true);
  }

  hold(key: string, on: boolean): void {
    if (on === this.holds.has(key)) return;
    if (on) this.holds.add(key);
    else this.holds.delete(key);
    this.send({ type: "hold", key, on });
  }

  /** A text field of the page took or lost the keyboard. */
  typing(on: boolean): void {
    this.send({ type: "focus", on });
  }

  showView(view: View): void {
    if (view === this.s.view) return;
    // The app drops "settings" when it runs the updater and "setup" when setup is done.
    this.hold("settings", view === "settings" || view === "usage");
    this.hold("setup", view === "setup");
    if (view === "usage") this.send({ type: "usage" });
    this.set({ view, recording: null });
  }

  /** Escape from the keyboard or from the app: closes the innermost thing that is open. */
  escape(source: "dom" | "app"): void {
    // The app reports Escape and the key also reaches the page: act once.
    const t = this.clock();
    if (t - this.lastEscape < 300) return;
    this.lastEscape = t;
    if (this.s.recording) return this.record(null);
    if (this.s.denyArmed) return this.set({ denyArmed: null });
    if (this.s.tourStep !== null) return this.endTour();
    if (this.s.view !== "cards") return this.showView("cards");
    if (source === "dom" && typeof document !== "undefined") {
      const el = document.activeElement as HTMLElement | null;
      if (el && (el.tagName === "TEXTAREA" || el.tagName === "INPUT")) {
        el.blur();
        return;
      }
    }
    this.hide();
  }

  hide(): void {
    this.holds.clear();
    this.set({ view: "cards", denyArmed: null, recording: null, tourStep: null });
    this.send({ type: "hide" });
  }

  open(): void {
    this.send({ type: "open" });
  }

  select(id: string): void {
    if (!this.s.state) return;
    // Shown at once; the app's next state confirms it.
    this.set({ state: { ...this.s.state, selected: id }, denyArmed: null });
    this.send({ type: "select", id });
  }

  /** Moves the keyboard between cards in the order they are shown. */
  move(order: string[], step: 1 | -1): void {
    if (order.length === 0) return;
    const cur = this.s.state?.selected ?? null;
    const i = cur ? order.indexOf(cur) : -1;
    const next = i < 0 ? (step > 0 ? 0 : order.length - 1) : Math.min(order.length - 1, Math.max(0, i + step));
    this.select(order[next]!);
  }

  armDeny(pendingId: string | null): void {
    this.set({ denyArmed: pendingId });
    if (pendingId) this.later(4000, () => this.s.denyArmed === pendingId && this.set({ denyArmed: null }));
  }

  record(which: "openKey" | "talkKey" | null): void {
    const was = this.s.recording;
    if (was === which) return;
    if (which && !was) this.send({ type: "recordingKey", on: true });
    if (!which && was) this.send({ type: "recordingKey", on: false });
    this.set({ recording: which });
  }

  setting(key: string, value: unknown): void {
    this.send({ type: "setting", key, value });
    if (key === "optionTap") this.send({ type: "optionTapChanged" });
  }

  requestFocusReply(pendingId: string | null): void {
    this.set({ focusReply: pendingId });
  }

  nextTour(): void {
    const step = this.s.tourStep ?? 0;
    if (step + 1 >= TOUR_STEPS) this.endTour();
    else this.set({ tourStep: step + 1 });
  }

  endTour(): void {
    this.set({ tourStep: null });
    this.send({ type: "tourDone" });
  }

  /** The in-panel first-run flow has ended (the onboarding window sends "onboardDone" instead). */
  finishSetup(): void {
    this.send({ type: "tourDone" });
    this.set({ setupDismissed: true });
    this.showView("cards");
  }

  /**
   * The first-run route is done. The app closes its own onboarding window; a browser tab has no
   * one to close it, so it goes on to the panel at the same address minus the route.
   */
  finishOnboarding(): void {
    this.send({ type: "onboardDone" });
    if (this.transport.kind !== "socket" || typeof location === "undefined") return;
    const params = new URLSearchParams(location.search);
    params.delete("onboard");
    const query = params.toString();
    // Give the socket a moment to carry the command before the page goes.
    this.later(200, () => location.replace(`${location.pathname}${query ? `?${query}` : ""}`));
  }

  dismissSetup(): void {
    this.set({ setupDismissed: true });
  }

  sessionOf(id: string | null | undefined) {
    return this.s.state ? sessionById(this.s.state, id) : undefined;
  }

  /**
   * Tells the app, once, that the page's first frame is drawn (two animation frames after
   * the call), so it can show a window without an empty moment.
   */
  painted(): void {
    if (this.paintedSent || typeof requestAnimationFrame === "undefined") return;
    this.paintedSent = true;
    requestAnimationFrame(() =>
      requestAnimationFrame(() => {
        this.beforePainted?.();
        this.send({ type: "painted" });
      }),
    );
  }

  /** Runs just before the page says its first frame is drawn. */
  beforePainted: (() => void) | undefined;

  private later(ms: number, fn: () => void): void {
    this.timers.push(setTimeout(fn, ms));
  }

  dispose(): void {
    for (const t of this.timers) clearTimeout(t);
    this.transport.stop();
  }
}

/**
 * Ends at once every animation that runs a set number of times: a page started over beneath
 * the one on screen comes up as that one is, without calling for attention again.
 */
export function finishOneOffs(animations: readonly Pick<Animation, "effect" | "finish">[]): void {
  for (const a of animations) {
    if (!Number.isFinite(a.effect?.getComputedTiming().endTime ?? Infinity)) continue;
    try {
      a.finish();
    } catch {
      // an animation that cannot end (paused with no end) stays as it is
    }
  }
}

/** How long an agent's change keeps the open panel moving: a face's longest reaction fits. */
export const AGENT_STIR_MS = 1800;
/** How long the user's own input keeps the open panel moving, smoothly. */
export const INPUT_STIR_MS = 4000;
const INPUT_EVENTS = ["pointermove", "pointerdown", "keydown", "wheel", "focusin"] as const;

/**
 * Marks the root while the open panel may rest: "data-rest" once nothing has happened for a
 * while (endless animations pause), "data-calm" while the user is not at it (they move in held
 * steps). Agents that change something every few seconds would otherwise keep every face
 * animating smoothly, a core's work where the desktop renders in software; an agent's change
 * wakes the panel only briefly and only in steps, the user's own input smoothly.
 */
export function watchActivity(
  changes: { subscribe(fn: () => void): () => void },
  input: EventTarget,
  root: HTMLElement,
): () => void {
  const mark = (name: string) => (on: boolean) => {
    if (on) root.dataset[name] = "";
    else delete root.dataset[name];
  };
  const rest = new Stillness(INPUT_STIR_MS, mark("rest"));
  const calm = new Stillness(INPUT_STIR_MS, mark("calm"));
  const unsubscribe = changes.subscribe(() => rest.stir(AGENT_STIR_MS));
  const touched = () => {
    rest.stir();
    calm.stir();
  };
  for (const type of INPUT_EVENTS) input.addEventListener(type, touched, { capture: true, passive: true });
  return () => {
    unsubscribe();
    for (const type of INPUT_EVENTS) input.removeEventListener(type, touched, { capture: true });
    rest.dispose();
    calm.dispose();
  };
}

/**
 * Says when nothing has happened for `ms` (still = true) and again at the next thing that does:
 * an open panel nobody touches and no agent changes can stop its endless animations.
 */
export class Stillness {
  private timer: ReturnType<typeof setTimeout> | undefined;
  private still = false;
  private until = 0;

  constructor(
    private readonly ms: number,
    private readonly changed: (still: boolean) => void,
    private readonly now: () => number = () => Date.now(),
  ) {
    this.stir();
  }

  /**
   * Something happened: the page is alive again for `ms` (the default wait unless said), and
   * a shorter stir never cuts a longer wait already running.
   */
  stir(ms = this.ms): void {
    if (this.still) {
      this.still = false;
      this.changed(false);
    }
    const until = this.now() + ms;
    if (this.timer !== undefined && until <= this.until) return;
    if (this.timer !== undefined) clearTimeout(this.timer);
    this.until = until;
    this.timer = setTimeout(() => {
      this.timer = undefined;
      this.still = true;
      this.changed(true);
    }, ms);
  }

  dispose(): void {
    if (this.timer !== undefined) clearTimeout(this.timer);
  }
}
