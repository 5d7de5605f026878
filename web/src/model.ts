// What the views derive from a state: order of cards, summaries, answers. Pure functions.

import type { Mood, Question, Session, State, Tally, ToolLine } from "./protocol";
import { plural } from "./format";

export interface AgentInfo {
  name: string;
  /** The name in running text beside the host: "Claude", "Gemini". */
  short: string;
  mark: string;
  canReply: boolean;
}

// How to add an agent: one row here; the mark is two letters drawn on the agent's chip.
const AGENTS: Record<string, AgentInfo> = {
  claude: { name: "Claude Code", short: "Claude", mark: "CC", canReply: true },
  codex: { name: "Codex", short: "Codex", mark: "CX", canReply: false },
  cursor: { name: "Cursor", short: "Cursor", mark: "CU", canReply: true },
  gemini: { name: "Gemini CLI", short: "Gemini", mark: "GE", canReply: true },
  droid: { name: "Droid", short: "Droid", mark: "DR", canReply: true },
  opencode: { name: "OpenCode", short: "OpenCode", mark: "OC", canReply: false },
  copilot: { name: "Copilot CLI", short: "Copilot", mark: "CP", canReply: false },
  windsurf: { name: "Windsurf", short: "Windsurf", mark: "WS", canReply: false },
};

export function agentInfo(agent: string): AgentInfo {
  const name = agent || "Agent";
  return AGENTS[agent] ?? { name, short: name, mark: (agent.slice(0, 2) || "?").toUpperCase(), canReply: false };
}

/** Cards stack newest attention first: the queue in its order, then the rest as given. */
export function orderSessions(sessions: Session[], queue: string[]): Session[] {
  const byId = new Map(sessions.map((s) => [s.id, s]));
  const out: Session[] = [];
  const seen = new Set<string>();
  for (const id of queue) {
    const s = byId.get(id);
    if (s && !seen.has(id)) {
      out.push(s);
      seen.add(id);
    }
  }
  for (const s of sessions) if (!seen.has(s.id)) out.push(s);
  return out;
}

/**
 * The tally as chips: the app sends it most recent first, at most four; the page keeps that
 * order (re-sorting by count would make chips jump around while a turn runs) and drops
 * entries that carry nothing to show.
 */
export function tallyChips(tally: Tally[], max = 4): Tally[] {
  return tally.filter((t) => t.tool !== "" && t.count > 0).slice(0, max);
}

/**
 * The tool lines a card shows: the running line is left out when the activity line already
 * says the same, and a card with a request keeps only its latest lines to leave room for it.
 */
export function shownTools(tools: ToolLine[], activity: string, max: number): ToolLine[] {
  const lines = tools.filter((t) => !(t.running && t.label === activity));
  return max > 0 ? lines.slice(-max) : [];
}

/** Answers to a questions request, one text per question in question order; null while any is unanswered. */
export function questionAnswers(questions: Question[], picks: ReadonlyArray<ReadonlyArray<number> | undefined>): string[] | null {
  const out: string[] = [];
  for (let i = 0; i < questions.length; i++) {
    const q = questions[i]!;
    const chosen = [...new Set(picks[i] ?? [])]
      .filter((n) => n >= 0 && n < q.options.length)
      .sort((a, b) => a - b)
      .map((n) => q.options[n]!.label);
    if (chosen.length === 0) return null;
    out.push(q.multi ? chosen.join(", ") : chosen[0]!);
  }
  return out;
}

/** Toggles option `n` of a question in the current picks. */
export function togglePick(current: ReadonlyArray<number> | undefined, n: number, multi: boolean): number[] {
  const cur = current ?? [];
  if (!multi) return [n];
  return cur.includes(n) ? cur.filter((x) => x !== n) : [...cur, n];
}

/** The menu-style summary: "3 sessions · 1 needs you". */
export function summaryLine(visible: number, waiting: number): string {
  if (visible === 0) return "No sessions right now";
  const base = plural(visible, "session");
  return waiting > 0 ? `${base} · ${waiting} need${waiting === 1 ? "s" : ""} you` : base;
}

/** Queued requests the page can see (a request on a hidden session still counts for the badge). */
export function waitingCount(state: State): number {
  return state.queue.length;
}

export function sessionById(state: State, id: string | null | undefined): Session | undefined {
  return id ? state.sessions.find((s) => s.id === id) : undefined;
}

/** The session the closed strip speaks for: the first queued one, else the app's focus. */
export function stripSession(state: State): Session | undefined {
  for (const id of state.queue) {
    const s = sessionById(state, id);
    if (s) return s;
  }
  return sessionById(state, state.focus) ?? state.sessions[0];
}

/** The reply request that dictated text goes to: the selected session's, else the first queued one. */
export function replyTarget(state: State): Session | undefined {
  const sel = sessionById(state, state.selected);
  if (sel?.pending?.kind === "reply") return sel;
  for (const id of state.queue) {
    const s = sessionById(state, id);
    if (s?.pending?.kind === "reply") return s;
  }
  return undefined;
}

/** Sessions "Clear finished" would take away: no request, shown mood idle or done. */
export function clearable(state: State): number {
  return state.sessions.filter((s) => !s.pending && (s.mood === "idle" || s.mood === "done")).length;
}

export const MOOD_LABEL: Record<Mood, string> = {
  idle: "Idle",
  done: "Done",
  working: "Working",
  waiting: "Needs you",
};

/** Whether the app says this is a first run (only some app versions tell). */
export function isFirstRun(state: State | null): boolean {
  return state?.firstRun === true;
}

/** A pull request's address, only when it is a web address (never a script or file URL). */
export function safeUrl(url: string): string | null {
  try {
    const u = new URL(url);
    return u.protocol === "https:" || u.protocol === "http:" ? u.href : null;
  } catch {
    return null;
  }
}
