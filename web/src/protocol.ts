// Messages from the app, read leniently: a missing key or a value of another type is absent,
// never an exception. Everything the page draws goes through these readers first.

import { shortcutLabel } from "./keys";

export type Mood = "idle" | "done" | "working" | "waiting";
export type Pose = "sleep" | "think" | "write" | "alert" | "listen" | "success" | "error" | "idle";

export interface ToolLine {
  label: string;
  running: boolean;
  failed: boolean;
}

export interface Tally {
  tool: string;
  detail: string;
  count: number;
  kind: string;
}

export interface Option {
  label: string;
  detail: string;
}

export interface Question {
  header: string;
  text: string;
  multi: boolean;
  options: Option[];
}

interface PendingBase {
  id: string;
  engaged: boolean;
  since: number;
}

export type Pending =
  | (PendingBase & { kind: "permission"; title: string; detail: string; tool: string })
  | (PendingBase & { kind: "question"; questions: Question[] })
  | (PendingBase & { kind: "reply"; message: string; expires: number; window: number })
  | (PendingBase & { kind: "elsewhere"; title: string });

export interface PullRequest {
  number: number;
  title: string;
  url: string;
  state: string;
  draft: boolean;
  passed: number;
  failed: number;
  running: number;
  conflicts: boolean;
  review?: string;
}

export interface Stats {
  cost: number;
  model?: string;
  context?: number;
  contextTokens?: number;
  turnStart?: number;
  turnEnd?: number;
}

export interface Session {
  id: string;
  agent: string;
  color: number;
  title: string;
  project: string;
  mood: Mood;
  activity: string;
  updated: number;
  tools: ToolLine[];
  phase: string;
  turnCalls: number;
  tally: Tally[];
  family: string;
  pose: Pose;
  stats: Stats;
  branch?: string;
  host?: string;
  /** Only for a session on another machine: its own name, and the host as the user named it to ssh. */
  machine?: string;
  remote?: string;
  pending?: Pending;
  pr?: PullRequest;
}

export interface Integration {
  id: string;
  label: string;
  available: boolean;
  installed: boolean;
}

/** A remote host as the settings list it; `state` is "connecting", "connected", "retrying",
 *  "authentication" or "stopped". */
export interface RemoteHostRow {
  destination: string;
  machine: string;
  state: string;
  detail: string;
  codex: boolean;
}

export interface Remotes {
  hosts: RemoteHostRow[];
  /** The destination a page command (add or remove) is running for. */
  busy: string | null;
  /** What the last such command said. */
  message: string;
}

export interface Settings {
  shape: string;
  replyWindow: number;
  hideAfter: number;
  autoOpen: boolean;
  openAtLogin: boolean;
  autoUpdate: boolean;
  optionTap: boolean;
  optionTapReady: boolean;
  glass: boolean;
  theme: string;
  hooksInstalled: boolean;
  cursorInstalled: boolean;
  cursorAvailable: boolean;
  version: string;
  integrations: Integration[];
  openKey: string;
  talkKey: string;
  /** Desktop notifications: "off", "requests" or "all". */
  notifications: string;
  sound: boolean;
  remotes: Remotes;
}

export interface Geo {
  notchWidth: number;
  strip: number;
  shape: "notch" | "pill";
  stageWidth: number;
  stageHeight: number;
  away: boolean;
  anchor: "top" | "bottom";
  dragging: boolean;
  dx: number;
  edge: "left" | "right" | null;
  glass: boolean;
  glassAvailable: boolean;
  theme: string;
  /** The closed pill's width: what the page last asked for, within the strip's limits. */
  stripWidth: number;
}

export interface State {
  open: boolean;
  sessions: Session[];
  selected: string | null;
  focus: string | null;
  queue: string[];
  canUndo: boolean;
  settings: Settings;
  now: number;
  flash?: string;
  prNews?: { id: string; kind: string };
  geo: Geo;
  trace: boolean;
  /** Not sent by every app version: absent means "not known to be a first run". */
  firstRun?: boolean;
  /** The welcome window's: the theme the panel will take, for the theme choice's preview. */
  panelTheme?: "dark" | "light";
}

export type TalkState = "listening" | "polishing" | "done" | "copied" | "error" | "off";

export interface Talk {
  state: TalkState;
  text: string;
  level?: number;
  hold?: boolean;
  /** Set by the page when finished text went into a reply field. */
  placed?: boolean;
}

export interface Usage {
  today: number;
  models: { model: string; cost: number; tokens: number }[];
}

export type Incoming =
  | { type: "state"; state: State }
  | { type: "hello" }
  | { type: "usage"; usage: Usage }
  | { type: "talk"; talk: Talk }
  | { type: "keys"; on: boolean }
  | { type: "pointer"; x: number; y: number }
  /** The app's artificial pointer for recordings, in stage coordinates; x −1 when not on the stage. */
  | { type: "cursor"; x: number; y: number; down: boolean }
  | { type: "escape" }
  | { type: "openSettings" }
  | { type: "tour" }
  | { type: "diagnostics"; text: string; copied?: boolean }
  | { type: "jumpFailed"; id: string; text: string };

type Obj = Record<string, unknown>;

export function isObject(v: unknown): v is Obj {
  return typeof v === "object" && v !== null && !Array.isArray(v);
}

const str = (o: Obj, k: string, d = ""): string => (typeof o[k] === "string" ? (o[k] as string) : d);
const optStr = (o: Obj, k: string): string | undefined =>
  typeof o[k] === "string" ? (o[k] as string) : undefined;
const num = (o: Obj, k: string, d = 0): number =>
  typeof o[k] === "number" && Number.isFinite(o[k]) ? (o[k] as number) : d;
const optNum = (o: Obj, k: string): number | undefined =>
  typeof o[k] === "number" && Number.isFinite(o[k]) ? (o[k] as number) : undefined;
const bool = (o: Obj, k: string, d = false): boolean => (typeof o[k] === "boolean" ? (o[k] as boolean) : d);
const optBool = (o: Obj, k: string): boolean | undefined =>
  typeof o[k] === "boolean" ? (o[k] as boolean) : undefined;
const objects = (v: unknown): Obj[] => (Array.isArray(v) ? v.filter(isObject) : []);
const strings = (v: unknown): string[] =>
  Array.isArray(v) ? v.filter((x): x is string => typeof x === "string") : [];

const MOODS: readonly Mood[] = ["idle", "done", "working", "waiting"];
const POSES: readonly Pose[] = ["sleep", "think", "write", "alert", "listen", "success", "error", "idle"];

function readPending(o: Obj): Pending | undefined {
  const base: PendingBase = { id: str(o, "id"), engaged: bool(o, "engaged"), since: num(o, "since") };
  switch (o["kind"]) {
    case "permission":
      return { ...base, kind: "permission", title: str(o, "title"), detail: str(o, "detail"), tool: str(o, "tool") };
    case "question":
      return {
        ...base,
        kind: "question",
        questions: objects(o["questions"]).map((q) => ({
          header: str(q, "header"),
          text: str(q, "text"),
          multi: bool(q, "multi"),
          options: objects(q["options"]).map((p) => ({ label: str(p, "label"), detail: str(p, "detail") })),
        })),
      };
    case "reply":
      return { ...base, kind: "reply", message: str(o, "message"), expires: num(o, "expires"), window: num(o, "window") };
    case "elsewhere":
      return { ...base, kind: "elsewhere", title: str(o, "title") };
    default:
      return undefined;
  }
}

function readPullRequest(o: Obj): PullRequest {
  const pr: PullRequest = {
    number: num(o, "number"),
    title: str(o, "title"),
    url: str(o, "url"),
    state: str(o, "state"),
    draft: bool(o, "draft"),
    passed: num(o, "passed"),
    failed: num(o, "failed"),
    running: num(o, "running"),
    conflicts: bool(o, "conflicts"),
  };
  const review = optStr(o, "review");
  if (review !== undefined) pr.review = review;
  return pr;
}

function readStats(o: Obj): Stats {
  const s: Stats = { cost: num(o, "cost") };
  const model = optStr(o, "model");
  if (model !== undefined) s.model = model;
  for (const k of ["context", "contextTokens", "turnStart", "turnEnd"] as const) {
    const v = optNum(o, k);
    if (v !== undefined) s[k] = v;
  }
  return s;
}

export function readSession(o: Obj): Session {
  const mood = str(o, "mood");
  const pose = str(o, "pose");
  const s: Session = {
    id: str(o, "id"),
    agent: str(o, "agent"),
    color: num(o, "color"),
    title: str(o, "title"),
    project: str(o, "project", "~"),
    mood: (MOODS as readonly string[]).includes(mood) ? (mood as Mood) : "idle",
    activity: str(o, "activity"),
    updated: num(o, "updated"),
    tools: objects(o["tools"]).map((t) => ({ label: str(t, "label"), running: bool(t, "running"), failed: bool(t, "failed") })),
    phase: str(o, "phase"),
    turnCalls: num(o, "turnCalls"),
    tally: objects(o["tally"]).map((t) => ({ tool: str(t, "tool"), detail: str(t, "detail"), count: num(t, "count"), kind: str(t, "kind") })),
    family: str(o, "family"),
    pose: (POSES as readonly string[]).includes(pose) ? (pose as Pose) : "idle",
    stats: isObject(o["stats"]) ? readStats(o["stats"]) : { cost: 0 },
  };
  const branch = optStr(o, "branch");
  if (branch) s.branch = branch;
  const host = optStr(o, "host");
  if (host) s.host = host;
  const remote = optStr(o, "remote");
  if (remote) {
    s.remote = remote;
    s.machine = optStr(o, "machine") || remote;
  }
  if (isObject(o["pending"])) {
    const p = readPending(o["pending"]);
    if (p) s.pending = p;
  }
  if (isObject(o["pr"])) s.pr = readPullRequest(o["pr"]);
  return s;
}

// Defaults a fresh user has; the page shows them until the first state arrives.
export const DEFAULT_SETTINGS: Settings = {
  shape: "auto",
  replyWindow: 15,
  hideAfter: 120,
  autoOpen: false,
  openAtLogin: false,
  autoUpdate: true,
  optionTap: true,
  optionTapReady: false,
  glass: false,
  theme: "auto",
  hooksInstalled: false,
  cursorInstalled: false,
  cursorAvailable: false,
  version: "dev",
  integrations: [],
  openKey: "Ctrl+Alt+R",
  talkKey: "Ctrl+Alt+T",
  notifications: "requests",
  sound: true,
  remotes: { hosts: [], busy: null, message: "" },
};

export function readSettings(o: Obj): Settings {
  const d = DEFAULT_SETTINGS;
  return {
    shape: str(o, "shape", d.shape),
    replyWindow: num(o, "replyWindow", d.replyWindow),
    hideAfter: num(o, "hideAfter", d.hideAfter),
    autoOpen: bool(o, "autoOpen", d.autoOpen),
    openAtLogin: bool(o, "openAtLogin", d.openAtLogin),
    autoUpdate: bool(o, "autoUpdate", d.autoUpdate),
    optionTap: bool(o, "optionTap", d.optionTap),
    optionTapReady: bool(o, "optionTapReady", d.optionTapReady),
    glass: bool(o, "glass", d.glass),
    theme: str(o, "theme", d.theme),
    hooksInstalled: bool(o, "hooksInstalled", d.hooksInstalled),
    cursorInstalled: bool(o, "cursorInstalled", d.cursorInstalled),
    cursorAvailable: bool(o, "cursorAvailable", d.cursorAvailable),
    version: str(o, "version", d.version),
    integrations: objects(o["integrations"]).map((i) => ({
      id: str(i, "id"),
      label: str(i, "label", str(i, "id")),
      available: bool(i, "available"),
      installed: bool(i, "installed"),
    })).filter((i) => i.id !== ""),
    openKey: shortcutLabel(str(o, "openKey", d.openKey)),
    talkKey: shortcutLabel(str(o, "talkKey", d.talkKey)),
    notifications: str(o, "notifications", d.notifications),
    sound: bool(o, "sound", d.sound),
    remotes: readRemotes(o["remotes"]),
  };
}

function readRemotes(v: unknown): Remotes {
  if (!isObject(v)) return DEFAULT_SETTINGS.remotes;
  return {
    hosts: objects(v["hosts"]).map((h) => ({
      destination: str(h, "destination"),
      machine: str(h, "machine"),
      state: str(h, "state", "stopped"),
      detail: str(h, "detail"),
      codex: bool(h, "codex"),
    })).filter((h) => h.destination !== ""),
    busy: optStr(v, "busy") ?? null,
    message: str(v, "message"),
  };
}

export const DEFAULT_GEO: Geo = {
  notchWidth: 0,
  strip: 32,
  shape: "pill",
  stageWidth: 720,
  stageHeight: 640,
  away: false,
  anchor: "top",
  dragging: false,
  dx: 0,
  edge: null,
  glass: false,
  glassAvailable: false,
  theme: "dark",
  stripWidth: 200,
};

export function readGeo(o: Obj): Geo {
  const d = DEFAULT_GEO;
  const edge = o["edge"];
  return {
    notchWidth: Math.max(0, num(o, "notchWidth", d.notchWidth)),
    strip: num(o, "strip", d.strip) > 0 ? num(o, "strip", d.strip) : d.strip,
    shape: o["shape"] === "notch" ? "notch" : "pill",
    stageWidth: num(o, "stageWidth", d.stageWidth) > 0 ? num(o, "stageWidth", d.stageWidth) : d.stageWidth,
    stageHeight: num(o, "stageHeight", d.stageHeight) > 0 ? num(o, "stageHeight", d.stageHeight) : d.stageHeight,
    away: bool(o, "away", d.away),
    anchor: o["anchor"] === "bottom" ? "bottom" : "top",
    dragging: bool(o, "dragging", d.dragging),
    dx: num(o, "dx", d.dx),
    edge: edge === "left" || edge === "right" ? edge : null,
    glass: bool(o, "glass", d.glass),
    glassAvailable: bool(o, "glassAvailable", d.glassAvailable),
    theme: str(o, "theme", d.theme),
    stripWidth: num(o, "stripWidth", d.stripWidth),
  };
}

/**
 * The sessions of the last state by id, with the text of the message part each was read from.
 * A session sent again unchanged keeps its object, so its card is not redrawn, and is not read
 * again. The text is the engine's own serialisation, which is fast from the first call on; the
 * app writes a session's keys in one order, and a session sent in another only reads afresh.
 */
export type SessionMemo = Map<string, { text: string; session: Session }>;

/** "" for what has no JSON text (nothing the app sends): such a session is always read afresh. */
function textOf(raw: Obj): string {
  try {
    return JSON.stringify(raw) ?? "";
  } catch {
    return "";
  }
}

function readSessions(list: unknown, memo: SessionMemo | undefined): Session[] {
  const out: Session[] = [];
  const next: SessionMemo = new Map();
  for (const raw of objects(list)) {
    const id = str(raw, "id");
    if (id === "") continue;
    if (!memo) {
      out.push(readSession(raw));
      continue;
    }
    const text = textOf(raw);
    const before = memo.get(id);
    const session = text !== "" && before?.text === text ? before.session : readSession(raw);
    out.push(session);
    next.set(id, { text, session });
  }
  if (memo) {
    memo.clear();
    for (const [id, e] of next) memo.set(id, e);
  }
  return out;
}

export function readState(o: Obj, memo?: SessionMemo): State {
  const s: State = {
    open: bool(o, "open"),
    sessions: readSessions(o["sessions"], memo),
    selected: optStr(o, "selected") ?? null,
    focus: optStr(o, "focus") ?? null,
    queue: strings(o["queue"]),
    canUndo: bool(o, "canUndo"),
    settings: readSettings(isObject(o["settings"]) ? o["settings"] : {}),
    now: num(o, "now", Date.now()),
    geo: readGeo(isObject(o["geo"]) ? o["geo"] : {}),
    trace: bool(o, "trace"),
  };
  const flash = optStr(o, "flash");
  if (flash) s.flash = flash;
  const news = o["prNews"];
  if (isObject(news) && typeof news["id"] === "string") s.prNews = { id: news["id"], kind: str(news, "kind") };
  const firstRun = optBool(o, "firstRun");
  if (firstRun !== undefined) s.firstRun = firstRun;
  const panelTheme = o["panelTheme"];
  if (panelTheme === "dark" || panelTheme === "light") s.panelTheme = panelTheme;
  return s;
}

const TALK_STATES: readonly TalkState[] = ["listening", "polishing", "done", "copied", "error", "off"];

/** Turns one raw message into a typed one; null for anything the page does not know. */
export function readMessage(raw: unknown, memo?: SessionMemo): Incoming | null {
  if (!isObject(raw) || typeof raw["type"] !== "string") return null;
  const o = raw;
  switch (o["type"]) {
    case "state":
      return { type: "state", state: readState(o, memo) };
    case "hello":
    case "escape":
    case "openSettings":
    case "tour":
      return { type: o["type"] };
    case "usage":
      return {
        type: "usage",
        usage: {
          today: num(o, "today"),
          models: objects(o["models"]).map((m) => ({ model: str(m, "model"), cost: num(m, "cost"), tokens: num(m, "tokens") })),
        },
      };
    case "talk": {
      const state = str(o, "state");
      if (!(TALK_STATES as readonly string[]).includes(state)) return null;
      const talk: Talk = { state: state as TalkState, text: str(o, "text") };
      const level = optNum(o, "level");
      if (level !== undefined) talk.level = level;
      const hold = optBool(o, "hold");
      if (hold !== undefined) talk.hold = hold;
      return { type: "talk", talk };
    }
    case "keys":
      return { type: "keys", on: bool(o, "on") };
    case "pointer":
      return { type: "pointer", x: num(o, "x", -1), y: num(o, "y", -1) };
    case "cursor":
      return { type: "cursor", x: num(o, "x", -1), y: num(o, "y", -1), down: bool(o, "down") };
    case "jumpFailed":
      return { type: "jumpFailed", id: str(o, "id"), text: str(o, "text") };
    case "diagnostics": {
      const d: Extract<Incoming, { type: "diagnostics" }> = { type: "diagnostics", text: str(o, "text") };
      const copied = optBool(o, "copied");
      if (copied !== undefined) d.copied = copied;
      return d;
    }
    default:
      return null;
  }
}
