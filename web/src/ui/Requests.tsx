// The four kinds of request a session can make, each with its answers.

import { useEffect, useRef } from "preact/hooks";
import type { Pending, Session } from "../protocol";
import { countdown } from "../format";
import { agentInfo, questionAnswers, togglePick } from "../model";
import { AgentText, Revealed } from "./AgentText";
import { Button, Icon, Kbd } from "./bits";
import { useNow, usePage, usePageSlice } from "./context";

type Of<K extends Pending["kind"]> = Extract<Pending, { kind: K }>;

const PATH_TOOLS = new Set(["Edit", "MultiEdit", "NotebookEdit", "Write", "Read"]);

export function Request({ session, active }: { session: Session; active: boolean }) {
  const p = session.pending;
  if (!p) return null;
  switch (p.kind) {
    case "permission":
      return <Permission session={session} p={p} active={active} />;
    case "question":
      return <Questions session={session} p={p} active={active} />;
    case "reply":
      return <Reply session={session} p={p} />;
    case "elsewhere":
      return <Elsewhere session={session} p={p} />;
  }
}

function Permission({ session, p, active }: { session: Session; p: Of<"permission">; active: boolean }) {
  const page = usePage();
  const ps = usePageSlice((x) => ({ keys: x.keys, armed: x.denyArmed === p.id }));
  const armed = ps.armed;
  const singleLine = !/[\n\r]/.test(p.detail);
  const pathLike = PATH_TOOLS.has(p.tool) && singleLine;
  const deny = () => {
    page.armDeny(null);
    page.decide(session.id, p.id, "deny");
  };
  return (
    <div class="req req-permission">
      <div class="req-title">
        <strong><Revealed text={p.title || "Allow this?"} /></strong>
        {p.tool && !p.title.includes(p.tool) && <span class="req-tool">{p.tool}</span>}
      </div>
      {p.detail &&
        (pathLike ? (
          // Whole, never cut in the middle: a cut path can hide a climb out of the project.
          <AgentText class="req-detail mono path" as="div" text={p.detail} label="Path" focusable />
        ) : (
          <AgentText class="req-detail mono" text={p.detail} label="Details" focusable />
        ))}
      {armed && (
        <div class="req-confirm" role="alert">
          Deny this command? Press <Kbd>Backspace</Kbd> again, or <Kbd>Esc</Kbd> to keep it.
        </div>
      )}
      <div class="req-actions">
        <Button variant="quiet" onClick={() => page.send({ type: "answerThere", id: session.id })}>
          Answer there
        </Button>
        <span class="spacer" />
        <Button variant={armed ? "danger" : "plain"} onClick={deny} aria-keyshortcuts="Backspace">
          Deny{active && ps.keys && <Kbd hint>Backspace</Kbd>}
        </Button>
        <Button variant="primary" onClick={() => page.decide(session.id, p.id, "allow")} aria-keyshortcuts="Enter">
          Allow{active && ps.keys && <Kbd hint>Enter</Kbd>}
        </Button>
      </div>
    </div>
  );
}

function Questions({ session, p, active }: { session: Session; p: Of<"question">; active: boolean }) {
  const page = usePage();
  const ps = usePageSlice((x) => ({ keys: x.keys, draft: x.drafts[p.id] }));
  const d = page.draft(p.id);
  const answers = questionAnswers(p.questions, d.picks);
  const pick = (qi: number, oi: number) => {
    const q = p.questions[qi];
    if (!q) return;
    const picks = p.questions.map((_, i) => d.picks[i] ?? []);
    picks[qi] = togglePick(picks[qi], oi, q.multi);
    // A single choice moves on to the next question by itself.
    const next = !q.multi && qi + 1 < p.questions.length ? qi + 1 : qi;
    page.updateDraft(p.id, { picks, question: next });
  };
  const submit = () => {
    if (answers) page.send({ type: "answer", id: session.id, answers });
  };
  return (
    <div class="req req-question">
      {p.questions.map((q, qi) => {
        const chosen = d.picks[qi] ?? [];
        const current = active && ps.keys && d.question === qi;
        return (
          <fieldset class={`question ${current ? "current" : ""}`} key={qi}>
            <legend>
              {q.header && <span class="q-header"><Revealed text={q.header.slice(0, 200)} /></span>}
              <AgentText class="q-text" as="span" text={q.text} first={2000} />
              {q.multi && <span class="q-multi">Choose any</span>}
            </legend>
            <div class="options" role={q.multi ? "group" : "radiogroup"}>
              {q.options.map((o, oi) => {
                const on = chosen.includes(oi);
                return (
                  <button
                    type="button"
                    key={oi}
                    role={q.multi ? "checkbox" : "radio"}
                    aria-checked={on}
                    class={`option ${on ? "on" : ""}`}
                    onClick={() => pick(qi, oi)}
                  >
                    <span class={`option-mark ${q.multi ? "box" : "round"}`} aria-hidden="true">
                      {on && (q.multi ? <Icon name="check" size={11} /> : <span class="round-dot" />)}
                    </span>
                    <span class="option-text">
                      <span class="option-label"><Revealed text={o.label.slice(0, 500)} /></span>
                      {o.detail && <span class="option-detail"> — <Revealed text={o.detail.slice(0, 1000)} /></span>}
                    </span>
                    {current && oi < 9 && <Kbd hint>{oi + 1}</Kbd>}
                  </button>
                );
              })}
            </div>
          </fieldset>
        );
      })}
      <div class="req-actions">
        <Button variant="quiet" onClick={() => page.send({ type: "answerThere", id: session.id })}>
          Answer there
        </Button>
        <span class="spacer" />
        <Button variant="primary" disabled={!answers} onClick={submit}>
          {p.questions.length > 1 ? "Send answers" : "Send answer"}
          {active && ps.keys && <Kbd hint>Enter</Kbd>}
        </Button>
      </div>
    </div>
  );
}

function Reply({ session, p }: { session: Session; p: Of<"reply"> }) {
  const page = usePage();
  const ps = usePageSlice((x) => ({
    focusReply: x.focusReply,
    listening: x.talk?.state === "listening",
    talkKey: x.state?.settings.talkKey ?? "",
    draft: x.drafts[p.id],
  }));
  const d = page.draft(p.id);
  // A countdown stopped by the user stands still: no need to redraw it every second.
  const now = useNow(1000, d.engagedAt === undefined);
  const field = useRef<HTMLTextAreaElement>(null);
  const cd = countdown(p.expires, p.window, now, d.engagedAt);
  const agent = agentInfo(session.agent).name;

  useEffect(() => {
    if (ps.focusReply === p.id && field.current) {
      field.current.focus();
      const end = field.current.value.length;
      field.current.setSelectionRange(end, end);
      page.requestFocusReply(null);
    }
  }, [ps.focusReply, p.id, page]);

  useEffect(() => {
    const el = field.current;
    if (!el) return;
    el.style.height = "auto";
    el.style.height = `${Math.min(120, el.scrollHeight)}px`;
  }, [d.text]);

  const send = () => {
    const text = d.text.trim();
    if (!text) return;
    page.send({ type: "reply", id: session.id, text });
    page.updateDraft(p.id, { text: "" });
  };

  return (
    <div class="req req-reply">
      {p.message && (
        <div class={`reply-message ${d.expanded ? "expanded" : ""}`}>
          <AgentText class="reply-text" as="div" text={p.message} />
          {p.message.length > 180 && (
            <button type="button" class="link" onClick={() => page.updateDraft(p.id, { expanded: !d.expanded })}>
              {d.expanded ? "Less" : "More"}
            </button>
          )}
        </div>
      )}
      <div class={`countdown ${cd.frozen ? "frozen" : ""}`} aria-hidden="true">
        <div class="countdown-bar" style={{ transform: `scaleX(${cd.fraction})` }} />
      </div>
      <div class="reply-row">
        <textarea
          ref={field}
          class="reply-field"
          rows={1}
          placeholder={`Reply to ${agent}…`}
          value={d.text}
          aria-label={`Reply to ${agent}`}
          onInput={(e) => {
            const text = (e.currentTarget as HTMLTextAreaElement).value;
            page.updateDraft(p.id, { text });
            if (text !== "") page.engage(session.id, p.id);
          }}
          onKeyDown={(e) => {
            if (e.key === "Enter" && !e.shiftKey && !e.isComposing) {
              e.preventDefault();
              send();
            }
          }}
          onFocus={() => page.typing(true)}
          onBlur={() => page.typing(false)}
        />
        <button
          type="button"
          class={`icon-btn mic ${ps.listening ? "on" : ""}`}
          title={`Dictate (${ps.talkKey})`}
          aria-label="Dictate a reply"
          onClick={() => page.send({ type: "talk" })}
        >
          <Icon name="mic" />
        </button>
        <Button variant="primary" disabled={!d.text.trim()} onClick={send}>
          Send
        </Button>
      </div>
      <div class="reply-foot">
        <span class="muted tabular">{cd.frozen ? "Kept open while you write" : cd.seconds > 0 ? `Closes in ${cd.seconds}s` : "Closing…"}</span>
        <span class="spacer" />
        <button type="button" class="link" onClick={() => page.send({ type: "release", id: session.id })}>
          Not now
        </button>
      </div>
    </div>
  );
}

function Elsewhere({ session, p }: { session: Session; p: Of<"elsewhere"> }) {
  const page = usePage();
  return (
    <div class="req req-elsewhere">
      <div class="req-title">
        <Icon name="warn" />
        <span>{p.title || "Needs you in its own window"}</span>
      </div>
      <div class="req-actions">
        <Button variant="quiet" onClick={() => page.send({ type: "dismiss", id: session.id })}>
          Dismiss
        </Button>
        <span class="spacer" />
        <Button variant="primary" onClick={() => page.send({ type: "jump", id: session.id })}>
          <Icon name="jump" /> Show
        </Button>
      </div>
    </div>
  );
}
