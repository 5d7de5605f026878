import type { Outgoing, Transport } from "../src/transport";
// Builders for test states, shaped like the app's JSON.

import { readState, type Session, type State } from "../src/protocol";

export function rawSession(id: string, over: Record<string, unknown> = {}): Record<string, unknown> {
  return {
    id,
    agent: "claude",
    color: 0,
    title: "",
    project: id,
    mood: "working",
    activity: "Thinking",
    updated: 1000,
    tools: [],
    phase: "reasoning",
    turnCalls: 0,
    tally: [],
    family: "terminal",
    pose: "think",
    stats: { cost: 0 },
    ...over,
  };
}

export function rawState(sessions: Record<string, unknown>[], over: Record<string, unknown> = {}): Record<string, unknown> {
  return {
    type: "state",
    open: true,
    sessions,
    selected: null,
    focus: null,
    queue: [],
    canUndo: false,
    settings: {},
    now: 1_000_000,
    geo: {},
    trace: false,
    ...over,
  };
}

export function state(sessions: Record<string, unknown>[], over: Record<string, unknown> = {}): State {
  return readState(rawState(sessions, over));
}

export function session(id: string, over: Record<string, unknown> = {}): Session {
  return state([rawSession(id, over)]).sessions[0]!;
}

export const permission = (id: string, tool = "Bash", detail = "rm -rf build") => ({
  id,
  engaged: false,
  since: 1,
  kind: "permission",
  title: tool === "Bash" ? "Wants to run" : `Edit ${detail}?`,
  detail,
  tool,
});

export const questions = (id: string) => ({
  id,
  engaged: false,
  since: 2,
  kind: "question",
  questions: [
    { header: "Storage", text: "Where?", multi: false, options: [{ label: "Redis", detail: "" }, { label: "Memory", detail: "" }] },
    { header: "Scope", text: "Which?", multi: true, options: [{ label: "search", detail: "" }, { label: "export", detail: "" }, { label: "auth", detail: "" }] },
  ],
});

export const reply = (id: string, expires: number, window = 15_000) => ({
  id,
  engaged: false,
  since: 3,
  kind: "reply",
  message: "Done. Anything else?",
  expires,
  window,
});

// Records what the page sends instead of sending it.
export class FakeTransport implements Transport {
  readonly kind = "mock";
  sent: Outgoing[] = [];
  start() {}
  send(m: Outgoing) {
    this.sent.push(m);
  }
  stop() {}
}
