// A stand-in for the app, for `?mock` and `npm run dev`: answers the page's commands the way
// the app would, on a fixture state, so every view can be tried and photographed.

import { comboLabel } from "../keys";
import { pillWidth } from "../layout";
import type { Outgoing, Transport } from "../transport";
import { geo, scene, usage, type SceneName } from "./fixtures";

type Json = Record<string, unknown>;

export interface MockOptions {
  scene: SceneName;
  open: boolean;
  geo: Json;
  keys: boolean;
  talk: string | null;
  tour: boolean;
  hello: boolean;
  settings: boolean;
  /** The first waiting request's title (`&title=`), to see how the strip fits a given line. */
  title: string | null;
  /** The welcome window (`&onboard`): it keeps its dark look and previews the theme choice. */
  onboard: boolean;
}

export function mockOptions(search: string): MockOptions {
  const q = new URLSearchParams(search);
  const g: Json = {};
  if (q.get("theme") === "light") g["theme"] = "light";
  if (q.get("shape") === "notch") Object.assign(g, { shape: "notch", notchWidth: 190, strip: 37 });
  if (q.has("glass")) Object.assign(g, { glass: true, glassAvailable: true });
  if (q.get("anchor") === "bottom") Object.assign(g, { away: true, anchor: "bottom" });
  if (q.has("away")) g["away"] = true;
  const edge = q.get("edge");
  if (edge === "left" || edge === "right") Object.assign(g, { away: true, edge });
  const name = q.get("scene");
  return {
    scene: name === "calm" || name === "empty" || name === "first" ? name : "busy",
    open: q.has("open") || q.get("view") !== null,
    geo: g,
    keys: q.has("keys"),
    talk: q.get("talk"),
    tour: q.has("tour"),
    hello: q.has("hello"),
    settings: q.get("view") === "settings",
    title: q.get("title"),
    onboard: q.has("onboard"),
  };
}

export class MockTransport implements Transport {
  readonly kind = "mock";
  private deliver: (raw: unknown) => void = () => {};
  private state: Json;
  private tucked: Json[] = [];
  private pushQueued = false;

  constructor(private readonly opts: MockOptions) {
    this.state = scene(opts.scene, Date.now());
    this.state["open"] = opts.open;
    this.state["geo"] = geo(opts.geo);
    this.state["settings"] = { ...(this.state["settings"] as Json), glass: !!opts.geo["glass"] };
    if (opts.onboard) this.state["panelTheme"] = "dark";
    const first = this.find((this.state["queue"] as string[])[0]);
    if (opts.title !== null && first) first["pending"] = { ...(first["pending"] as Json), title: opts.title };
  }

  start(deliver: (raw: unknown) => void): void {
    this.deliver = deliver;
    this.send({ type: "ready" });
  }

  stop(): void {}

  private emit(msg: Json): void {
    setTimeout(() => this.deliver(msg), 0);
  }

  private push(): void {
    if (this.pushQueued) return;
    this.pushQueued = true;
    setTimeout(() => {
      this.pushQueued = false;
      this.state["now"] = Date.now();
      this.deliver(structuredClone(this.state));
    }, 0);
  }

  private sessions(): Json[] {
    return this.state["sessions"] as Json[];
  }

  private find(id: unknown): Json | undefined {
    return this.sessions().find((s) => s["id"] === id);
  }

  private endRequest(id: unknown, patch: Json = {}): void {
    const s = this.find(id);
    if (!s || !s["pending"]) return;
    delete s["pending"];
    Object.assign(s, { mood: "working", pose: "think", activity: "Thinking", ...patch });
    this.state["queue"] = (this.state["queue"] as string[]).filter((q) => q !== id);
    this.push();
  }

  send(msg: Outgoing): void {
    const st = this.state;
    switch (msg.type) {
      case "ready":
        this.push();
        if (this.opts.hello) this.emit({ type: "hello" });
        if (this.opts.keys) this.emit({ type: "keys", on: true });
        if (this.opts.tour) this.emit({ type: "tour" });
        if (this.opts.settings) this.emit({ type: "openSettings" });
        if (this.opts.talk) this.emit({ type: "talk", state: this.opts.talk, text: talkText(this.opts.talk), level: 0.55, hold: true });
        return;
      case "open":
        st["open"] = true;
        return this.push();
      case "hide":
        st["open"] = false;
        this.emit({ type: "keys", on: false });
        return this.push();
      case "select":
        st["selected"] = msg["id"];
        return this.push();
      case "allow":
        return this.endRequest(msg["id"]);
      case "deny":
        return this.endRequest(msg["id"], { activity: "Denied from the notch" });
      case "answer":
        return this.endRequest(msg["id"]);
      case "reply":
        return this.endRequest(msg["id"], { title: String(msg["text"] ?? ""), mood: "working" });
      case "release":
      case "answerThere":
        return this.endRequest(msg["id"], { mood: "waiting", pose: "alert", activity: "Waiting in its window" });
      case "engage": {
        const p = this.find(msg["id"])?.["pending"] as Json | undefined;
        if (p) p["engaged"] = true;
        return this.push();
      }
      case "dismiss":
        st["sessions"] = this.sessions().filter((s) => s["id"] !== msg["id"]);
        st["queue"] = (st["queue"] as string[]).filter((q) => q !== msg["id"]);
        return this.push();
      case "clear": {
        const gone = this.sessions().filter((s) => !s["pending"] && (s["mood"] === "idle" || s["mood"] === "done"));
        if (gone.length === 0) return;
        this.tucked = gone;
        st["sessions"] = this.sessions().filter((s) => !gone.includes(s));
        st["canUndo"] = true;
        return this.push();
      }
      case "undo":
        st["sessions"] = [...this.sessions(), ...this.tucked];
        this.tucked = [];
        st["canUndo"] = false;
        return this.push();
      case "setting":
        return this.setting(String(msg["key"]), msg["value"]);
      case "usage":
        return this.emit(usage());
      case "resetPosition":
        st["geo"] = { ...(st["geo"] as Json), away: false, anchor: "top", edge: null, dx: 0 };
        return this.push();
      case "tourDone":
        st["firstRun"] = false;
        return this.push();
      case "stripWidth": {
        const g = st["geo"] as Json;
        const w = pillWidth(typeof msg["w"] === "number" ? msg["w"] : Number.NaN);
        if (g["stripWidth"] === w) return;
        st["geo"] = { ...g, stripWidth: w };
        return this.push();
      }
      default:
        // rect, glass, hold, focus, log and the rest change nothing here.
        return;
    }
  }

  private setting(key: string, value: unknown): void {
    const s = this.state["settings"] as Json;
    if (key.startsWith("integration:")) {
      const id = key.slice("integration:".length);
      for (const i of s["integrations"] as Json[]) if (i["id"] === id && typeof value === "boolean") i["installed"] = value;
    } else if (key === "openKey" || key === "talkKey") {
      const v = value as Json;
      const code = typeof v["code"] === "string" ? v["code"] : "";
      const combo = { code, ctrl: v["ctrl"] === true, alt: v["alt"] === true, shift: v["shift"] === true, meta: v["meta"] === true };
      s[key] = code ? comboLabel(combo) : key === "openKey" ? "Ctrl+Alt+R" : "Ctrl+Alt+T";
    } else {
      s[key] = value;
      if (key === "theme" && typeof value === "string") {
        const theme = value === "light" ? "light" : "dark";
        if (this.opts.onboard) this.state["panelTheme"] = theme;
        else (this.state["geo"] as Json)["theme"] = theme;
      }
      if (key === "glass") (this.state["geo"] as Json)["glass"] = value === true && (this.state["geo"] as Json)["glassAvailable"] === true;
    }
    this.push();
  }
}

function talkText(state: string): string {
  switch (state) {
    case "listening":
      return "yes do the same for pyenv and also";
    case "polishing":
      return "Yes, do the same for pyenv, and also rbenv.";
    case "copied":
      return "Ship it after the tests pass.";
    case "error":
      return "The microphone is not available.";
    default:
      return "Yes, do the same for pyenv.";
  }
}
