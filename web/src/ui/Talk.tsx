// Dictation as the panel shows it: listening, polishing, done, copied, failed.

import { useEffect, useState } from "preact/hooks";
import { middleTruncate } from "../format";
import { Icon, Kbd } from "./bits";
import { usePageState } from "./context";

/** The input level as 0…1, whatever scale the recogniser reports (0…1, percent, or decibels). */
export function normalizeLevel(level: number | undefined): number {
  if (level === undefined || !Number.isFinite(level)) return 0;
  const v = level < 0 ? (level + 60) / 60 : level > 1 ? level / 100 : level;
  return Math.min(1, Math.max(0, v));
}

const BARS = [0.45, 0.8, 1, 0.7, 0.5];

export function TalkBar() {
  const ps = usePageState();
  const talk = ps.talk;
  const [shown, setShown] = useState(talk);
  // "done" and "error" stay a moment, then step aside; the app ends the others with "off".
  useEffect(() => {
    setShown(talk);
    if (talk?.state !== "done" && talk?.state !== "error") return;
    const t = setTimeout(() => setShown(null), talk.state === "done" ? 2200 : 5000);
    return () => clearTimeout(t);
  }, [talk]);
  if (!shown) return null;
  const level = normalizeLevel(shown.level);
  const talkKey = ps.state?.settings.talkKey ?? "";
  // The newest words matter most while speaking: keep the end of the text.
  const text = middleTruncate(shown.text, 140, 1);

  return (
    <div class={`talk talk-${shown.state}`} role="status" aria-live="polite">
      <span class="talk-icon">
        {shown.state === "listening" ? (
          <span class="level" aria-hidden="true">
            {BARS.map((b, i) => (
              <span key={i} style={{ transform: `scaleY(${0.18 + 0.82 * Math.min(1, level * b * 1.6)})` }} />
            ))}
          </span>
        ) : shown.state === "error" ? (
          <Icon name="warn" />
        ) : shown.state === "copied" ? (
          <Icon name="copy" />
        ) : shown.state === "done" ? (
          <Icon name="check" />
        ) : (
          <Icon name="spark" />
        )}
      </span>
      <span class="talk-text">
        {shown.state === "listening" && (text || <span class="muted">Listening…</span>)}
        {shown.state === "polishing" && <span class="shimmer">{text || "Polishing…"}</span>}
        {shown.state === "done" && (shown.placed ? <span>Added to your reply</span> : <span>{text} <span class="muted">· no reply is waiting</span></span>)}
        {shown.state === "copied" && <span><strong>Copied</strong> {text}</span>}
        {shown.state === "error" && <span>Dictation failed: {shown.text || "unknown error"}</span>}
      </span>
      {shown.state === "listening" && (
        <span class="talk-hint muted small">
          {shown.hold ? "Release to finish" : talkKey ? <>Press <Kbd>{talkKey}</Kbd> to finish</> : null}
        </span>
      )}
    </div>
  );
}
