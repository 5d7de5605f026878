// One session: who, where, what it is doing, and what it needs.

import type { PullRequest, Session } from "../protocol";
import { contextUse, formatCost, formatTokens, middleTruncate, oneLine, truncatePath, turnTimer } from "../format";
import { agentInfo, MOOD_LABEL, safeUrl, shownTools, tallyChips } from "../model";
import { Chip, Icon, Spinner, familyIcon } from "./bits";
import { Face } from "./Face";
import { Request } from "./Requests";
import { memo, useNow, usePage, usePageSlice } from "./context";

interface Props {
  session: Session;
  selected: boolean;
  queued: boolean;
}

/** Redrawn only when its own session, selection or queue place changed (sessions keep their identity while unchanged). */
export const Card = memo(CardView, (a, b) => a.session === b.session && a.selected === b.selected && a.queued === b.queued);

function CardView({ session: s, selected, queued }: Props) {
  const page = usePage();
  const { keys, flash, news } = usePageSlice((ps) => ({
    keys: ps.keys,
    flash: ps.state?.flash === s.id,
    news: ps.state?.prNews?.id === s.id ? ps.state.prNews.kind : null,
  }));
  const ps = { keys };
  const running = s.tools.some((t) => t.running);
  const agent = agentInfo(s.agent);
  // Finished, quiet sessions stay compact; the busy, the asking and the selected show their tools.
  const detailed = selected || !!s.pending || s.mood === "working";
  const tools = shownTools(s.tools, s.activity, !detailed ? 0 : s.pending ? 2 : 4);
  // With a request the card is about the request: the tally would only push it down.
  const chips = detailed && !s.pending ? tallyChips(s.tally) : [];
  const headline = oneLine(s.title);

  return (
    <article
      class={[
        "card",
        `mood-${s.mood}`,
        selected ? "selected" : "",
        queued ? "queued" : "",
        flash ? "flash" : "",
        news ? `news news-${news}` : "",
        ps.keys && selected ? "key-target" : "",
      ].join(" ")}
      data-id={s.id}
      tabIndex={0}
      aria-current={selected ? "true" : undefined}
      aria-label={`${s.project}: ${MOOD_LABEL[s.mood]}`}
      onClickCapture={() => !selected && page.select(s.id)}
      // A click on the card itself brings its terminal forward; its buttons, links and the
      // request's fields keep their own clicks, and selecting text is not a click.
      onClick={(e) => {
        const t = e.target as Element | null;
        if (t?.closest("button, a, input, textarea, select, label, [role='button'], .req")) return;
        if (String(window.getSelection?.() ?? "").length > 0) return;
        page.send({ type: "jump", id: s.id });
      }}
      // The card with the focus is the one keys act on: show it as the selected one too.
      onFocusCapture={() => !selected && page.select(s.id)}
    >
      <header class="card-l1">
        <Face color={s.color} pose={s.pose} size={20} label={MOOD_LABEL[s.mood]} />
        <span class="project" title={s.project}>{middleTruncate(s.project, 28)}</span>
        {s.machine && (
          <span class="machine muted" title={s.remote && s.remote !== s.machine ? `On ${s.machine} (${s.remote})` : `On ${s.machine}`}>
            on {middleTruncate(oneLine(s.machine), 20)}
          </span>
        )}
        {headline && headline !== s.project && <span class="headline" title={headline}>{headline}</span>}
        <span class="spacer" />
        <span class="where muted">
          {s.host && (
            <button type="button" class="host" title={`Show in ${s.host}`} onClick={(e) => { e.stopPropagation(); page.send({ type: "jump", id: s.id }); }}>
              <Icon name={familyIcon(s.family)} size={12} />
              {middleTruncate(s.host, 18)}
            </button>
          )}
          {(!s.host || s.host.toLowerCase() !== agent.short.toLowerCase()) && (
            <span class={`agent agent-${s.agent}`} title={agent.name}>
              {s.host && <span class="sep">·</span>}
              {agent.short}
            </span>
          )}
        </span>
        <TurnClock start={s.stats.turnStart} end={s.stats.turnEnd} />
        <button
          type="button"
          class="card-dismiss"
          title="Hide this session"
          aria-label={`Hide ${s.project}`}
          onClick={(e) => { e.stopPropagation(); page.send({ type: "dismiss", id: s.id }); }}
        >
          <Icon name="close" size={12} />
        </button>
      </header>

      <div class="card-l2">
        {running ? <Spinner /> : <span class={`mood-dot mood-${s.mood}`} aria-hidden="true" />}
        <span class="activity" title={s.activity}>{s.activity ? middleTruncate(oneLine(s.activity), 80) : MOOD_LABEL[s.mood]}</span>
        {news && <span class={`news-tag news-${news}`}>{news === "merged" ? "PR merged" : news === "failing" ? "Checks failing" : news}</span>}
      </div>

      {tools.length > 0 && (
        <ul class="tools">
          {tools.map((t, i) => (
            <li key={i} class={t.failed ? "failed" : t.running ? "running" : "finished"} title={t.label}>
              <span class="tool-mark" aria-hidden="true">
                {t.failed ? <Icon name="cross" size={11} /> : t.running ? <Spinner /> : <Icon name="check" size={11} />}
              </span>
              <span class="tool-label">{truncatePath(oneLine(t.label), 76)}</span>
              {t.failed && <span class="visually-hidden"> (failed)</span>}
            </li>
          ))}
        </ul>
      )}

      {chips.length > 0 && (
        <div class="tally" aria-label={`${s.turnCalls} tool calls this turn`}>
          {chips.map((t) => (
            <span class={`tally-chip kind-${t.kind}`} key={t.tool} title={t.detail ? `${t.tool}: ${t.detail}` : t.tool}>
              <span class="tally-tool">{middleTruncate(t.tool.replace(/^mcp__/, ""), 16)}</span>
              {t.count > 1 && <span class="tally-count tabular">×{t.count}</span>}
              {t.detail && <span class="tally-detail">{truncatePath(t.detail, 22)}</span>}
            </span>
          ))}
        </div>
      )}

      {s.pending && <Request session={s} active={selected} />}

      <footer class="card-foot">
        {s.branch && (
          <Chip class="branch" title={s.branch}>
            <Icon name="branch" size={12} />
            {truncatePath(s.branch, 22)}
          </Chip>
        )}
        {s.stats.model && <Chip class="model" title={s.stats.model}>{middleTruncate(s.stats.model, 22)}</Chip>}
        <ContextBar context={s.stats.context} tokens={s.stats.contextTokens} />
        {s.stats.cost > 0 && (
          <Chip class="cost tabular" title="Spent in this session — today's usage" onClick={() => page.showView("usage")}>
            {formatCost(s.stats.cost)}
          </Chip>
        )}
        {s.pr && <PrChip pr={s.pr} />}
        {!s.branch && !s.stats.model && !s.pr && s.stats.cost <= 0 && <span class="muted small">{agent.name}</span>}
      </footer>
    </article>
  );
}

/** The turn timer: the only part of a card that changes every second, so it ticks alone. */
function TurnClock({ start, end }: { start: number | undefined; end: number | undefined }) {
  const running = turnTimer(start, end, 0)?.running ?? false;
  const timer = turnTimer(start, end, useNow(1000, running));
  if (!timer) return null;
  return (
    <span class={`timer tabular ${timer.running ? "running" : ""}`} title={timer.running ? "This turn so far" : "Last turn took"}>
      {timer.text}
    </span>
  );
}

function ContextBar({ context, tokens }: { context: number | undefined; tokens: number | undefined }) {
  const use = contextUse(context);
  if (!use) return null;
  const title = `Context ${use.percent}%${tokens ? ` · ${formatTokens(tokens)} tokens` : ""}`;
  return (
    <span class={`chip context ${use.level}`} title={title} aria-label={title}>
      <span class="context-track">
        <span class="context-fill" style={{ transform: `scaleX(${use.fraction})` }} />
      </span>
      <span class="tabular">{use.percent}%</span>
    </span>
  );
}

function reviewText(review: string): { text: string; tone: string } {
  switch (review.toUpperCase()) {
    case "APPROVED":
      return { text: "Approved", tone: "good" };
    case "CHANGES_REQUESTED":
      return { text: "Changes requested", tone: "bad" };
    case "REVIEW_REQUIRED":
      return { text: "Review needed", tone: "muted" };
    default:
      return { text: review.replace(/_/g, " ").toLowerCase(), tone: "muted" };
  }
}

export function PrChip({ pr }: { pr: PullRequest }) {
  const url = safeUrl(pr.url);
  const state = pr.state.toUpperCase();
  const review = pr.review ? reviewText(pr.review) : null;
  const title = `#${pr.number} ${pr.title}`;
  const body = (
    <>
      <Icon name="pr" size={12} />
      <span class="tabular">#{pr.number}</span>
      {pr.draft && <span class="pr-tag">Draft</span>}
      {state === "MERGED" && <span class="pr-tag merged">Merged</span>}
      {state === "CLOSED" && <span class="pr-tag">Closed</span>}
      {(pr.passed > 0 || pr.failed > 0 || pr.running > 0) && (
        <span class="checks tabular" aria-label={`${pr.passed} passed, ${pr.failed} failed, ${pr.running} running`}>
          {pr.passed > 0 && <span class="ok">✓{pr.passed}</span>}
          {pr.failed > 0 && <span class="bad">✗{pr.failed}</span>}
          {pr.running > 0 && <span class="run">•{pr.running}</span>}
        </span>
      )}
      {review && <span class={`pr-review ${review.tone}`}>{review.text}</span>}
      {pr.conflicts && (
        <span class="pr-conflict">
          <Icon name="warn" size={11} /> Conflicts
        </span>
      )}
    </>
  );
  return url ? (
    <a class="chip pr" href={url} target="_blank" rel="noopener noreferrer" title={title} onClick={(e) => e.stopPropagation()}>
      {body}
    </a>
  ) : (
    <span class="chip pr" title={title}>{body}</span>
  );
}
