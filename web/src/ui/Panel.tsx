// The open panel: a header, the cards (or settings, usage, setup), and a footer.

import type { RefObject } from "preact";
import { useEffect, useLayoutEffect, useRef, useState } from "preact/hooks";
import type { State } from "../protocol";
import { formatCost } from "../format";
import { clearable, isFirstRun, orderSessions, summaryLine } from "../model";
import { Button, Icon, Kbd } from "./bits";
import { Card } from "./Card";
import { usePage, usePageState } from "./context";
import { Face } from "./Face";
import { Settings } from "./Settings";
import { Setup } from "./Setup";
import { TalkBar } from "./Talk";
import { Tour } from "./Tour";
import { UsageView } from "./Usage";

export function Panel({ maxHeight, onHeaderDown }: { maxHeight: number; onHeaderDown: (e: PointerEvent) => void }) {
  const page = usePage();
  const ps = usePageState();
  const st = ps.state!;
  const total = st.sessions.reduce((sum, s) => sum + (s.stats.cost > 0 ? s.stats.cost : 0), 0);
  const title = ps.view === "settings" ? "Settings" : ps.view === "usage" ? "Usage today" : ps.view === "setup" ? "Set up Talvane" : summaryLine(st.sessions.length, st.queue.length);
  const notch = st.geo.shape === "notch" && st.geo.notchWidth > 0 && !st.geo.away;

  return (
    <div class={`panel view-${ps.view}`} style={{ maxHeight: `${maxHeight}px` }}>
      <header class="panel-head" style={{ minHeight: `${Math.max(36, st.geo.away ? 40 : st.geo.strip)}px` }} onPointerDown={onHeaderDown}>
        <div class="head-left">
          {ps.view === "cards" ? (
            <span class="brand" aria-hidden="true"><Face color={st.queue.length ? 1 : 4} pose={st.queue.length ? "alert" : "idle"} size={16} /></span>
          ) : (
            <button type="button" class="icon-btn" aria-label="Back" onClick={() => page.showView("cards")}>
              <Icon name="back" />
            </button>
          )}
          <span class="head-title">{title}</span>
        </div>
        {notch && <span class="notch-gap" style={{ width: `${st.geo.notchWidth}px` }} />}
        <div class="head-right">
          {!ps.connected && <span class="offline" role="status">Reconnecting…</span>}
          {ps.view === "cards" && total > 0 && (
            <button
              type="button"
              class="chip chip-button cost tabular"
              title="Spent by the sessions shown — open today's usage"
              aria-label={`${formatCost(total)} spent by the sessions shown; open today's usage`}
              onClick={() => page.showView("usage")}
              disabled={!ps.connected}
            >
              {formatCost(total)}
            </button>
          )}
          <button
            type="button"
            class={`icon-btn ${ps.view === "settings" ? "on" : ""}`}
            aria-label="Settings"
            title="Settings"
            onClick={() => page.showView(ps.view === "settings" ? "cards" : "settings")}
          >
            <Icon name="gear" size={15} />
          </button>
          <button type="button" class="icon-btn" aria-label="Close" title="Close" onClick={() => page.hide()} disabled={!ps.connected}>
            <Icon name="close" />
          </button>
        </div>
      </header>
      {!ps.connected && <Offline />}
      {ps.jumpFailed && <JumpFailed id={ps.jumpFailed.id} text={ps.jumpFailed.text} state={st} />}
      {/* While the app cannot hear us, no control may look as if it acted. */}
      <fieldset class="gate" disabled={!ps.connected}>
        <div class="panel-body">
          {ps.view === "cards" && <Cards state={st} />}
          {ps.view === "settings" && <Settings />}
          {ps.view === "usage" && <UsageView sessionsTotal={total} />}
          {ps.view === "setup" && <Setup mode="panel" />}
        </div>
        <Footer state={st} />
      </fieldset>
      <TalkBar />
      {ps.tourStep !== null && <Tour />}
    </div>
  );
}

export function offlineText(trouble: "stopped" | "refused" | null): string {
  if (trouble === "refused") {
    return "Talvane restarted with a new address. Use the address it printed at start (“Talvane panel: …”) or run “talvane --web” again.";
  }
  if (trouble === "stopped") return "Talvane is not running. Start it again with “talvane --web”; this page reconnects by itself.";
  return "Lost the connection to Talvane. Trying again…";
}

function Offline() {
  const ps = usePageState();
  return (
    <div class={`offline-note ${ps.trouble ? "trouble" : ""}`} role="alert">
      {offlineText(ps.trouble)}
    </div>
  );
}

function Cards({ state }: { state: State }) {
  const page = usePage();
  const ps = usePageState();
  const ordered = orderSessions(state.sessions, state.queue);
  const queued = new Set(state.queue);
  const firstRun = isFirstRun(state) && !ps.setupDismissed;
  // The setup banner goes below every waiting request, never above one.
  const bannerAt = ordered.findIndex((s) => !queued.has(s.id));
  const banner = firstRun ? <SetupBanner key="setup-banner" /> : null;
  const list = useRef<HTMLDivElement>(null);
  const shown = useProgressive(ordered.length, list);

  if (ordered.length === 0) {
    return (
      <div class="cards">
        {banner}
        <div class="empty">
          <Face color={4} pose="sleep" size={44} />
          <div class="empty-title">No agents running</div>
          <div class="empty-text muted">
            Sessions of Claude Code, Codex, Cursor and the others show up here as soon as they start.
          </div>
          {!state.settings.hooksInstalled && (
            <Button variant="primary" onClick={() => page.showView("settings")}>
              Connect agents
            </Button>
          )}
        </div>
      </div>
    );
  }
  const cards = ordered.slice(0, shown).map((s) => (
    <Card key={s.id} session={s} selected={state.selected === s.id} queued={queued.has(s.id)} />
  ));
  if (banner) cards.splice(bannerAt < 0 ? cards.length : bannerAt, 0, banner);
  return <div class="cards" ref={list}>{cards}</div>;
}

/** Cards drawn at first; more join before the frame is painted until they fill the panel. */
export const FIRST_CARDS = 4;
/** Cards added per step: the rest follow in small steps, one task each. */
const MORE_CARDS = 6;

/**
 * How many of `total` cards to draw now. A hundred sessions drawn at once would hold up the
 * frame for all of them; the first screenful comes at once and the others right after.
 */
function useProgressive(total: number, list: RefObject<HTMLElement | null>): number {
  const [shown, setShown] = useState(Math.min(total, FIRST_CARDS));
  const now = Math.min(Math.max(shown, Math.min(total, FIRST_CARDS)), total);
  // Measured only until the first screenful is drawn: a measure forces a layout of its own.
  const filled = useRef(false);
  useLayoutEffect(() => {
    if (filled.current || now >= total) return;
    const more = missing(list.current);
    if (more > 0) setShown(Math.min(total, now + more));
    else filled.current = true;
  });
  useEffect(() => {
    if (now >= total) return;
    return afterFrame(() => setShown((n) => Math.min(total, Math.max(n, now) + MORE_CARDS)));
  }, [now, total]);
  return now;
}

/**
 * Runs `fn` in a task of its own once the next frame has been painted (or after a while when
 * no frame comes, as in a hidden tab): a step never holds up the frame that shows a push.
 */
function afterFrame(fn: () => void): () => void {
  let task: ReturnType<typeof setTimeout> | undefined;
  const go = () => {
    cancelAnimationFrame(frame);
    clearTimeout(late);
    task = setTimeout(fn, 0);
  };
  const frame = requestAnimationFrame(go);
  const late = setTimeout(go, 250);
  return () => {
    cancelAnimationFrame(frame);
    clearTimeout(late);
    clearTimeout(task);
  };
}

/** About how many more cards would show below the drawn ones, judged by their heights so far. */
function missing(list: HTMLElement | null): number {
  const first = list?.firstElementChild;
  const last = list?.lastElementChild;
  const view = list?.parentElement;
  if (!first || !last || !view) return 0;
  const bottom = last.getBoundingClientRect().bottom;
  const gap = view.getBoundingClientRect().bottom - bottom;
  if (gap <= 0) return 0;
  const each = (bottom - first.getBoundingClientRect().top) / list!.childElementCount;
  return Math.ceil(gap / Math.max(24, each));
}

function SetupBanner() {
  const page = usePage();
  return (
    <div class="setup-banner" role="note">
      <Icon name="spark" />
      <span>Finish setting up Talvane: connect your agents and pick a few settings.</span>
      <span class="spacer" />
      <Button variant="primary" onClick={() => page.showView("setup")}>Set up</Button>
      <button type="button" class="icon-btn" aria-label="Not now" onClick={() => page.dismissSetup()}>
        <Icon name="close" size={12} />
      </button>
    </div>
  );
}

function Footer({ state }: { state: State }) {
  const page = usePage();
  const ps = usePageState();
  if (ps.view !== "cards") return null;
  const finished = clearable(state);
  if (ps.keys) {
    // The keys that do something for the card the keyboard is on.
    const order = orderSessions(state.sessions, state.queue);
    const kind = (order.find((s) => s.id === state.selected) ?? order[0])?.pending?.kind;
    return (
      <footer class="panel-foot keys-help" aria-label="Keyboard">
        <span><Kbd>↑</Kbd><Kbd>↓</Kbd> move</span>
        {kind === "permission" && <span><Kbd>Enter</Kbd> allow</span>}
        {kind === "permission" && <span><Kbd>Backspace</Kbd> deny</span>}
        {kind === "question" && <span><Kbd>1</Kbd>–<Kbd>9</Kbd> pick</span>}
        {kind === "question" && <span><Kbd>←</Kbd><Kbd>→</Kbd> question</span>}
        {kind === "question" && <span><Kbd>Enter</Kbd> send</span>}
        {kind === "reply" && <span><Kbd>Enter</Kbd> reply</span>}
        {kind === "elsewhere" && <span><Kbd>Enter</Kbd> show</span>}
        <span><Kbd>Esc</Kbd> leave</span>
      </footer>
    );
  }
  if (finished === 0 && !state.canUndo) return null;
  return (
    <footer class="panel-foot">
      {state.canUndo && (
        <button type="button" class="link" onClick={() => page.send({ type: "undo" })}>
          <Icon name="undo" size={12} /> Undo clear
        </button>
      )}
      <span class="spacer" />
      {finished > 0 && (
        <button type="button" class="link" onClick={() => page.send({ type: "clear" })}>
          Clear {finished} finished
        </button>
      )}
    </footer>
  );
}

function JumpFailed({ id, text, state }: { id: string; text: string; state: State }) {
  const project = state.sessions.find((s) => s.id === id)?.project;
  return (
    <p class="offline-note" role="status">
      {project ? `Could not bring ${project} forward: ${text}` : `Could not bring the session forward: ${text}`}
    </p>
  );
}
