// The closed panel: a pill (or the notch's wings) with the face of the session that matters
// most, what it is doing, and a badge while requests wait.

import { useEffect, useLayoutEffect, useRef, useState } from "preact/hooks";
import type { Geo, Pending, State } from "../protocol";
import { oneLine } from "../format";
import { askedWidth, panelMaxHeight } from "../layout";
import { stripSession, summaryLine } from "../model";
import { Face } from "./Face";
import { offlineText, Panel } from "./Panel";
import { usePage, usePageState } from "./context";

function pendingLine(p: Pending): string {
  switch (p.kind) {
    case "permission":
      return p.title || "Wants your OK";
    case "question":
      return p.questions.length > 1 ? `${p.questions.length} questions` : "Has a question";
    case "reply":
      return "Done · reply?";
    case "elsewhere":
      return p.title || "Needs you";
  }
}

export function stripText(state: State): string {
  const s = stripSession(state);
  if (!s) return "No sessions";
  if (s.pending) return pendingLine(s.pending);
  return oneLine(s.activity) || s.project;
}

export function Strip({ geo }: { geo: Geo }) {
  const page = usePage();
  const ps = usePageState();
  const st = ps.state;
  const s = st ? stripSession(st) : undefined;
  const waiting = st?.queue.length ?? 0;
  const count = st?.sessions.length ?? 0;
  const notch = geo.shape === "notch" && geo.notchWidth > 0 && !geo.away;
  const listening = ps.talk?.state === "listening" || ps.talk?.state === "polishing";
  const offline = !ps.connected;
  const text = offline
    ? ps.trouble === "refused"
      ? "Address out of date"
      : ps.trouble === "stopped"
        ? "Talvane is not running"
        : "Reconnecting…"
    : ps.helloAt
      ? "Hello!"
      : st
        ? stripText(st)
        : "";
  const label = st ? `${summaryLine(count, waiting)}. ${text}` : "Talvane";
  const ready = !!st;
  useEffect(() => {
    if (ready) page.painted();
  }, [page, ready]);

  const face = s ? (
    <Face color={s.color} pose={ps.helloAt ? "success" : s.pose} size={18} label={s.mood} />
  ) : (
    <span class="face-idle"><Face color={8} pose={ps.helloAt ? "success" : "sleep"} size={18} /></span>
  );
  const right = listening ? (
    <span class="strip-mic" aria-label="Listening" />
  ) : waiting > 0 ? (
    <span class="badge tabular" aria-label={`${waiting} waiting`}>{waiting}</span>
  ) : count > 1 ? (
    <span class="strip-count tabular" aria-label={`${count} sessions`}>{count}</span>
  ) : null;

  const button = useRef<HTMLButtonElement>(null);
  const textEl = useRef<HTMLSpanElement>(null);
  const rightKey = listening ? "mic" : waiting > 0 ? `b${waiting}` : count > 1 ? `c${count}` : "";
  // The pill grows with its text: the page measures, the app keeps the width within the
  // strip's limits and sends it back in the geometry, so both agree on the strip's rectangle.
  useLayoutEffect(() => {
    const b = button.current;
    const t = textEl.current;
    if (notch || !b || !t) return;
    const w = askedWidth(neededWidth(b, t), geo.stripWidth);
    if (w !== geo.stripWidth) page.send({ type: "stripWidth", w });
  }, [page, notch, text, rightKey, geo.stripWidth]);

  return (
    <>
      <button
        ref={button}
        type="button"
        class={`strip ${notch ? "strip-notch" : "strip-pill"} ${waiting > 0 ? "attention" : ""}`}
        aria-label={label}
        aria-expanded="false"
        // Nothing can open the panel while the app cannot hear the page: say why instead.
        disabled={offline}
        title={offline ? offlineText(ps.trouble) : undefined}
        onClick={() => page.open()}
      >
        {notch ? (
          <>
            <span class="wing wing-left">{face}</span>
            <span class="notch-gap" style={{ width: `${geo.notchWidth}px` }} />
            <span class="wing wing-right">{right}</span>
          </>
        ) : (
          <>
            {face}
            <span class="strip-text" ref={textEl}>{text}</span>
            {right}
          </>
        )}
      </button>
      {st && <Prewarm geo={geo} />}
    </>
  );
}

/**
 * Width the pill's content takes with its text shown whole: the padding, the face, the badge and
 * the gaps as laid out, and the text at its natural width (it keeps to its content, so its
 * scroll width is that even while it is cut).
 */
function neededWidth(button: HTMLElement, text: HTMLElement): number {
  const cs = getComputedStyle(button);
  const px = (v: string) => Number.parseFloat(v) || 0;
  const kids = Array.from(button.children) as HTMLElement[];
  let w = px(cs.paddingLeft) + px(cs.paddingRight) + px(cs.columnGap) * Math.max(0, kids.length - 1);
  for (const k of kids) w += k === text ? k.scrollWidth + 1 : k.getBoundingClientRect().width;
  return w;
}

/** Pages whose open panel has been drawn once already (out of sight or not). */
const warmed = new WeakSet<object>();
/** How long after the first state the page warms the panel, and how long it keeps it. */
export const PREWARM_DELAY_MS = 400;
export const PREWARM_HOLD_MS = 600;

/**
 * Draws the open panel once, out of sight, soon after start: its code runs, its styles resolve
 * and its fonts load then, so the first hover opens as fast as any later one.
 */
function Prewarm({ geo }: { geo: Geo }) {
  const page = usePage();
  const [phase, setPhase] = useState<"wait" | "draw" | "done">(warmed.has(page) ? "done" : "wait");
  useEffect(() => {
    if (phase === "done") return;
    const t = setTimeout(
      () => {
        warmed.add(page);
        setPhase(phase === "wait" ? "draw" : "done");
      },
      phase === "wait" ? PREWARM_DELAY_MS : PREWARM_HOLD_MS,
    );
    return () => clearTimeout(t);
  }, [phase, page]);
  if (phase !== "draw") return null;
  return (
    <div class="prewarm" aria-hidden="true" inert>
      <Panel maxHeight={panelMaxHeight(geo)} onHeaderDown={() => {}} />
    </div>
  );
}
