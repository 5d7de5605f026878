// Text an agent wrote (a command, a path, a question, a message), shown exactly as it would run:
// invisible and direction-changing characters are written out, and long text shows its first
// part with a way to see the rest, so one huge request cannot freeze the panel.

import { useState } from "preact/hooks";
import { cutLong, formatSize, revealHidden } from "../format";

/** How much is drawn at first, and how much more each "Show more" adds. */
export const FIRST_PART = 6000;
export const MORE_STEP = 60000;

export function Revealed({ text }: { text: string }) {
  const pieces = revealHidden(text);
  if (pieces.length === 1 && typeof pieces[0] === "string") return <>{text}</>;
  return (
    <>
      {pieces.map((p, i) =>
        typeof p === "string" ? (
          p
        ) : (
          <span key={i} class="hidden-char" title={`Invisible character ${p.escape}`}>
            {p.escape}
          </span>
        ),
      )}
    </>
  );
}

interface Props {
  text: string;
  class?: string;
  as?: "pre" | "div" | "span";
  label?: string;
  /** Characters drawn before "Show more". */
  first?: number;
  focusable?: boolean;
}

export function AgentText({ text, class: cls = "", as = "pre", label, first = FIRST_PART, focusable = false }: Props) {
  const [limit, setLimit] = useState(first);
  const cut = cutLong(text, limit);
  const Tag = as;
  const More = as === "span" ? "span" : "div";
  return (
    <>
      <Tag class={`agent-text ${cls}`} tabIndex={focusable ? 0 : undefined} aria-label={label}>
        <Revealed text={cut.shown} />
        {cut.hidden > 0 && <span class="cut-mark" aria-hidden="true">…</span>}
      </Tag>
      {cut.hidden > 0 && (
        <More class="cut-more">
          <span class="muted small">{formatSize(cut.hidden)} more not shown</span>
          <button type="button" class="link" onClick={() => setLimit(limit + MORE_STEP)}>
            Show more
          </button>
          <button type="button" class="link" onClick={() => setLimit(text.length)}>
            Show all
          </button>
        </More>
      )}
    </>
  );
}
