// Small text and number formatting shared by every view. Pure functions: easy to trust.

const ELLIPSIS = "…";

let segmenter: Intl.Segmenter | null | undefined;

/** Splits into user-perceived characters where the platform can, else code points. */
function chars(text: string): string[] {
  if (segmenter === undefined) {
    // Made once: building a segmenter costs far more than using one.
    const Seg = (Intl as { Segmenter?: typeof Intl.Segmenter }).Segmenter;
    segmenter = Seg ? new Seg(undefined, { granularity: "grapheme" }) : null;
  }
  if (segmenter) return Array.from(segmenter.segment(text), (s) => s.segment);
  return Array.from(text);
}

/** The first and last `n` characters of a text that may be huge, without walking all of it. */
function ends(text: string, n: number): { head: string[]; tail: string[]; count: number } {
  // A character is at most a few dozen UTF-16 units in practice; 8 per character is plenty.
  const span = n * 8 + 16;
  if (text.length <= 2 * span) {
    const c = chars(text);
    return { head: c, tail: c, count: c.length };
  }
  return { head: chars(text.slice(0, span)), tail: chars(text.slice(-span)), count: Infinity };
}

/**
 * Shortens `text` to at most `max` characters by cutting out its middle, so both the start of
 * a command and the file name at the end of a path stay readable. `tail` is the share of the
 * kept characters taken from the end (paths keep more of their end).
 */
export function middleTruncate(text: string, max: number, tail = 0.5): string {
  if (text.length <= max) return text;
  const { head, tail: last, count } = ends(text, max);
  if (count <= max) return text;
  if (max <= 1) return max === 1 ? ELLIPSIS : "";
  const keep = max - 1;
  const back = Math.min(keep, Math.max(0, Math.floor(keep * tail)));
  const front = keep - back;
  return head.slice(0, front).join("") + ELLIPSIS + (back > 0 ? last.slice(last.length - back).join("") : "");
}

/** Path-like text: cut in the middle, keeping the file name whole whenever it fits. */
export function truncatePath(text: string, max: number): string {
  if (text.length <= max) return text;
  const { head, count } = ends(text, max);
  if (count <= max) return text;
  const slash = text.lastIndexOf("/");
  const name = slash >= 0 && text.length - slash <= 8 * max ? chars(text.slice(slash)) : [];
  // The front needs at least one character before the ellipsis to still read as a path.
  if (name.length > 0 && name.length <= max - 2) {
    const front = max - 1 - name.length;
    return head.slice(0, front).join("") + ELLIPSIS + name.join("");
  }
  return middleTruncate(text, max, 0.62);
}

/** One line of agent text: the first non-empty line, with runs of blanks folded. */
export function oneLine(text: string): string {
  const line = text.split(/[\n\r\u0085\u2028\u2029]+/).find((l) => l.trim() !== "") ?? "";
  return line.replace(/[ \t]+/g, " ").trim();
}

/** Elapsed time for the turn timer: "42s", "3:07", "1:02:09". */
export function formatDuration(ms: number): string {
  const total = Math.max(0, Math.floor(ms / 1000));
  const h = Math.floor(total / 3600);
  const m = Math.floor((total % 3600) / 60);
  const s = total % 60;
  const pad = (n: number) => String(n).padStart(2, "0");
  if (h > 0) return `${h}:${pad(m)}:${pad(s)}`;
  if (m > 0) return `${m}:${pad(s)}`;
  return `${s}s`;
}

export interface TurnTimer {
  text: string;
  running: boolean;
  ms: number;
}

/** The turn timer from a session's `turnStart`/`turnEnd`; null when no turn has started. */
export function turnTimer(turnStart: number | undefined, turnEnd: number | undefined, now: number): TurnTimer | null {
  if (turnStart === undefined || !Number.isFinite(turnStart) || turnStart <= 0) return null;
  const ended = turnEnd !== undefined && turnEnd > turnStart;
  const ms = Math.max(0, (ended ? turnEnd : now) - turnStart);
  return { text: formatDuration(ms), running: !ended, ms };
}

export interface Countdown {
  /** Share of the reply window still left, 0…1. */
  fraction: number;
  /** Whole seconds left, rounded up. */
  seconds: number;
  frozen: boolean;
}

/**
 * The reply window's countdown. Once the user engages (`frozenAt` set) the bar stops where it
 * was at that moment: the app no longer expires an engaged reply.
 */
export function countdown(expires: number, windowMs: number, now: number, frozenAt?: number): Countdown {
  const at = frozenAt !== undefined ? Math.min(now, frozenAt) : now;
  const left = Math.max(0, expires - at);
  const fraction = windowMs > 0 ? Math.min(1, left / windowMs) : left > 0 ? 1 : 0;
  return { fraction, seconds: Math.ceil(left / 1000), frozen: frozenAt !== undefined };
}

export interface ContextUse {
  /** For the bar: 0…1. */
  fraction: number;
  /** For the label: the real share, which can pass 100 % while a window overflows. */
  percent: number;
  level: "ok" | "high";
}

/** Context-window use from `stats.context` (a fraction); null when unknown. */
export function contextUse(context: number | undefined): ContextUse | null {
  if (context === undefined || !Number.isFinite(context) || context < 0) return null;
  return {
    fraction: Math.min(1, context),
    percent: Math.round(context * 100),
    level: context > 0.8 ? "high" : "ok",
  };
}

/** Token counts: "950", "12.3k", "1.24M". */
export function formatTokens(n: number): string {
  if (!Number.isFinite(n) || n < 0) return "0";
  if (n < 1000) return String(Math.round(n));
  if (n < 1e6) return `${(n / 1e3).toFixed(n < 1e4 ? 1 : 0).replace(/\.0$/, "")}k`;
  return `${(n / 1e6).toFixed(n < 1e7 ? 2 : 1).replace(/\.?0+$/, "")}M`;
}

/** Dollars: "$0.00", "<$0.01", "$4.27", "$128". */
export function formatCost(d: number): string {
  if (!Number.isFinite(d) || d <= 0) return "$0.00";
  if (d < 0.01) return "<$0.01";
  if (d < 100) return `$${d.toFixed(2)}`;
  return `$${Math.round(d).toLocaleString("en-US")}`;
}

/** "1 session", "3 sessions". */
export function plural(n: number, word: string, many = `${word}s`): string {
  return `${n} ${n === 1 ? word : many}`;
}

/** Minutes as the settings show them: "Never", "45 min", "2 h", "1 day". */
export function formatMinutes(min: number): string {
  if (min <= 0) return "Never";
  if (min < 60) return `${min} min`;
  if (min % 1440 === 0) return plural(min / 1440, "day");
  if (min % 60 === 0) return `${min / 60} h`;
  return `${Math.floor(min / 60)} h ${min % 60} min`;
}

/** Seconds as the settings show them: "Off", "15 s", "2 min". */
export function formatSeconds(sec: number): string {
  if (sec < 1) return "Off";
  if (sec < 60 || sec % 60 !== 0) return `${sec} s`;
  return `${sec / 60} min`;
}

/**
 * Invisible and direction-changing characters: format characters (bidi embeddings, overrides
 * and isolates, zero-width characters, the byte-order mark...) and control characters other than
 * line feed and tab. Shown as they are, they can make a command read differently from what runs.
 */
const HIDDEN = /[\p{Cf}\p{Cc}\u2028\u2029]/u;
const HIDDEN_ALL = /[\p{Cf}\p{Cc}\u2028\u2029]/gu;

export type Piece = string | { escape: string; code: number };

/** `U+202E` for a hidden character, as shown in place of it. */
export function escapeName(code: number): string {
  return `U+${code.toString(16).toUpperCase().padStart(4, "0")}`;
}

/** Splits text into plain runs and the hidden characters between them (line feed and tab stay). */
export function revealHidden(text: string): Piece[] {
  if (!HIDDEN.test(text)) return [text];
  const out: Piece[] = [];
  let last = 0;
  for (const m of text.matchAll(HIDDEN_ALL)) {
    const ch = m[0];
    if (ch === "\n" || ch === "\t") continue;
    const at = m.index ?? 0;
    if (at > last) out.push(text.slice(last, at));
    out.push({ escape: escapeName(ch.codePointAt(0)!), code: ch.codePointAt(0)! });
    last = at + ch.length;
  }
  if (last < text.length) out.push(text.slice(last));
  return out;
}

/** The same as plain text: every hidden character written as ⟨U+XXXX⟩. */
export function revealHiddenText(text: string): string {
  return revealHidden(text)
    .map((p) => (typeof p === "string" ? p : `⟨${p.escape}⟩`))
    .join("");
}

export interface Cut {
  shown: string;
  /** Characters not shown (0 when the text is whole). */
  hidden: number;
}

/** The first `max` UTF-16 units of a long text, never splitting a surrogate pair. */
export function cutLong(text: string, max: number): Cut {
  if (text.length <= max) return { shown: text, hidden: 0 };
  let end = max;
  const c = text.charCodeAt(end - 1);
  if (c >= 0xd800 && c <= 0xdbff) end--;
  return { shown: text.slice(0, end), hidden: text.length - end };
}

/** "12 KB", "1.0 MB": the size of text not shown yet. */
export function formatSize(chars: number): string {
  if (chars < 1024) return `${chars} characters`;
  if (chars < 1024 * 1024) return `${Math.round(chars / 1024)} KB`;
  return `${(chars / (1024 * 1024)).toFixed(1)} MB`;
}
