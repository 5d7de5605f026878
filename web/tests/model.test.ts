import { describe, expect, it } from "vitest";
import {
  agentInfo,
  clearable,
  orderSessions,
  questionAnswers,
  replyTarget,
  safeUrl,
  shownTools,
  stripSession,
  summaryLine,
  tallyChips,
  togglePick,
} from "../src/model";
import type { Question, Tally } from "../src/protocol";
import { permission, rawSession, reply, session, state } from "./fixtures";

describe("card order", () => {
  it("puts queued sessions first in queue order, then the rest as given", () => {
    const list = ["a", "b", "c", "d"].map((id) => session(id));
    expect(orderSessions(list, ["c", "a"]).map((s) => s.id)).toEqual(["c", "a", "b", "d"]);
  });

  it("ignores queue ids of hidden sessions and repeated ids", () => {
    const list = ["a", "b"].map((id) => session(id));
    expect(orderSessions(list, ["zz", "b", "b"]).map((s) => s.id)).toEqual(["b", "a"]);
  });
});

describe("tally chips", () => {
  const t = (tool: string, count = 1): Tally => ({ tool, detail: "", count, kind: "other" });

  it("keeps the order the app sends (most recent first), not by count", () => {
    expect(tallyChips([t("Bash", 1), t("Read", 9), t("Edit", 3)]).map((x) => x.tool)).toEqual(["Bash", "Read", "Edit"]);
  });

  it("shows at most four and drops empty entries", () => {
    const chips = tallyChips([t(""), t("A"), t("B", 0), t("C"), t("D"), t("E"), t("F")]);
    expect(chips.map((x) => x.tool)).toEqual(["A", "C", "D", "E"]);
  });
});

describe("tool lines", () => {
  const lines = [
    { label: "Reading a.ts", running: false, failed: false },
    { label: "Editing a.ts", running: false, failed: true },
    { label: "Running npm test", running: true, failed: false },
  ];

  it("leaves out the running line the activity already shows", () => {
    expect(shownTools(lines, "Running npm test", 4).map((l) => l.label)).toEqual(["Reading a.ts", "Editing a.ts"]);
    expect(shownTools(lines, "Thinking", 4)).toHaveLength(3);
  });

  it("keeps the newest lines when limited", () => {
    expect(shownTools(lines, "", 2).map((l) => l.label)).toEqual(["Editing a.ts", "Running npm test"]);
    expect(shownTools(lines, "", 0)).toEqual([]);
  });
});

describe("question answers", () => {
  const qs: Question[] = [
    { header: "", text: "First", multi: false, options: [{ label: "A", detail: "" }, { label: "B", detail: "" }] },
    { header: "", text: "Second", multi: true, options: [{ label: "x", detail: "" }, { label: "y", detail: "" }, { label: "z", detail: "" }] },
    { header: "", text: "Third", multi: false, options: [{ label: "only", detail: "" }] },
  ];

  it("gives one answer per question, in question order, whatever order they were picked in", () => {
    const picks: number[][] = [];
    picks[2] = [0];
    picks[1] = [2, 0];
    picks[0] = [1];
    expect(questionAnswers(qs, picks)).toEqual(["B", "x, z", "only"]);
  });

  it("is not ready while any question is unanswered", () => {
    expect(questionAnswers(qs, [[0], [], [0]])).toBeNull();
    expect(questionAnswers(qs, [[0], [1]])).toBeNull();
  });

  it("ignores picks outside a question's options", () => {
    expect(questionAnswers(qs, [[5], [1], [0]])).toBeNull();
    expect(questionAnswers(qs, [[0, 7], [1, 1], [0]])).toEqual(["A", "y", "only"]);
  });

  it("answers nothing when there are no questions", () => {
    expect(questionAnswers([], [])).toEqual([]);
  });

  it("toggles multi-choice picks and replaces single-choice ones", () => {
    expect(togglePick([0], 1, false)).toEqual([1]);
    expect(togglePick([0], 1, true)).toEqual([0, 1]);
    expect(togglePick([0, 1], 0, true)).toEqual([1]);
    expect(togglePick(undefined, 2, true)).toEqual([2]);
  });
});

describe("summaries", () => {
  it("counts sessions and waiting requests like the status menu", () => {
    expect(summaryLine(0, 3)).toBe("No sessions right now");
    expect(summaryLine(1, 1)).toBe("1 session · 1 needs you");
    expect(summaryLine(2, 2)).toBe("2 sessions · 2 need you");
    expect(summaryLine(3, 0)).toBe("3 sessions");
  });

  it("speaks for the first queued session in the strip, else the focus session", () => {
    const st = state([rawSession("a"), rawSession("b", { pending: permission("b:1") })], { queue: ["b"], focus: "a" });
    expect(stripSession(st)?.id).toBe("b");
    const calm = state([rawSession("a"), rawSession("b")], { focus: "b" });
    expect(stripSession(calm)?.id).toBe("b");
    expect(stripSession(state([]))).toBeUndefined();
  });

  it("sends dictated text to the selected reply, else the first queued reply", () => {
    const st = state(
      [rawSession("a", { pending: permission("a:1") }), rawSession("b", { pending: reply("b:r", 5) }), rawSession("c", { pending: reply("c:r", 5) })],
      { queue: ["a", "c", "b"], selected: "a" },
    );
    expect(replyTarget(st)?.id).toBe("c");
    expect(replyTarget({ ...st, selected: "b" })?.id).toBe("b");
    expect(replyTarget({ ...st, queue: ["a"] })).toBeUndefined();
  });

  it("counts what Clear finished would take", () => {
    const st = state([
      rawSession("a", { mood: "done" }),
      rawSession("b", { mood: "idle" }),
      rawSession("c", { mood: "done", pending: reply("c:r", 1) }),
      rawSession("d", { mood: "working" }),
    ]);
    expect(clearable(st)).toBe(2);
  });
});

describe("agents and links", () => {
  it("names every agent and falls back for unknown ones", () => {
    expect(agentInfo("gemini")).toMatchObject({ name: "Gemini CLI", canReply: true });
    expect(agentInfo("codex").canReply).toBe(false);
    expect(agentInfo("newbot")).toMatchObject({ name: "newbot", mark: "NE", canReply: false });
    expect(agentInfo("").name).toBe("Agent");
  });

  it("opens only web addresses", () => {
    expect(safeUrl("https://github.com/o/r/pull/1")).toBe("https://github.com/o/r/pull/1");
    expect(safeUrl("javascript:alert(1)")).toBeNull();
    expect(safeUrl("file:///etc/passwd")).toBeNull();
    expect(safeUrl("not a url")).toBeNull();
  });
});
