// The whole stage: places the strip or the panel, reports what it draws, and owns the keyboard.

import { useEffect, useLayoutEffect, useRef, useState } from "preact/hooks";
import { DEFAULT_GEO, type Geo } from "../protocol";
import { corners, panelMaxHeight, panelWidth, place, sameBox, stripSize, type Box } from "../layout";
import { keyAction } from "../keys";
import { orderSessions, questionAnswers, togglePick } from "../model";
import type { Page } from "../page";
import { usePage, usePageState } from "./context";
import { Panel } from "./Panel";
import { Strip } from "./Strip";

export function Stage() {
  const page = usePage();
  const ps = usePageState();
  const st = ps.state;
  const viewport = useViewport(page.transportKind !== "webkit");
  const geo: Geo = fitGeo(st?.geo ?? DEFAULT_GEO, viewport);
  const open = !!st?.open;
  const inner = useRef<HTMLDivElement>(null);
  const closedSize = stripSize(geo);
  const [size, setSize] = useState<{ w: number; h: number }>(closedSize);
  const lastRect = useRef<Box | null>(null);
  const lastGlass = useRef<string>("");
  const drag = useDragStart(page);

  useApplyTheme(geo);

  // Follow the drawn content's size; the shell animates to it.
  useLayoutEffect(() => {
    const el = inner.current;
    if (!el) return;
    const measure = () => {
      const w = Math.round(el.offsetWidth);
      const h = Math.round(el.offsetHeight);
      if (w > 0 && h > 0) setSize((old) => (old.w === w && old.h === h ? old : { w, h }));
    };
    measure();
    if (typeof ResizeObserver === "undefined") return;
    const ro = new ResizeObserver(measure);
    ro.observe(el);
    return () => ro.disconnect();
  }, [open, geo.shape, geo.notchWidth, geo.strip, geo.away, ps.view]);

  const box = place(geo, size.w, size.h);

  // Tell the app which part of the stage is ours; the rest stays click-through.
  useEffect(() => {
    if (!st) return;
    if (!sameBox(lastRect.current, box)) {
      lastRect.current = box;
      page.send({ type: "rect", x: box.x, y: box.y, w: box.w, h: box.h });
      if (st.trace) page.send({ type: "log", msg: `rect ${box.x},${box.y} ${box.w}x${box.h} open=${open}` });
    }
    if (!geo.glassAvailable) return;
    const r = open ? 22 : 16;
    const glass = geo.glass
      ? {
          type: "glass",
          on: true,
          rects: [{ x: box.x, y: box.y, w: box.w, h: box.h, r }],
          animate: !geo.dragging,
          seed: { x: box.x + box.w / 2 - 20, y: box.y, w: 40, h: 20 },
          fuse: 0,
          light: geo.theme === "light",
        }
      : { type: "glass", on: false, rects: [], animate: true, fuse: 0, light: geo.theme === "light" };
    const key = JSON.stringify(glass);
    if (key !== lastGlass.current) {
      lastGlass.current = key;
      page.send(glass);
    }
  });

  useKeyboard(page);

  // Without hover (a plain browser), a click outside the open panel closes it.
  useEffect(() => {
    const down = (e: PointerEvent) => {
      const s = page.get();
      if (!s.state?.open) return;
      const t = e.target as Element | null;
      if (t && t.closest && t.closest(".shell")) return;
      page.hide();
    };
    document.addEventListener("pointerdown", down);
    return () => document.removeEventListener("pointerdown", down);
  }, [page]);

  const anchorBottom = geo.anchor === "bottom";
  const classes = [
    "shell",
    open ? "open" : "closed",
    geo.shape === "notch" && !geo.away ? "shape-notch" : "shape-pill",
    geo.away ? "away" : "home",
    anchorBottom ? "anchor-bottom" : "anchor-top",
    geo.dragging ? "dragging" : "",
    ps.helloAt ? "hello" : "",
    ps.keys ? "keys" : "",
    geo.glass ? "glass" : "",
    ps.pointer.x >= 0 ? "pointer-in" : "",
    ps.connected ? "" : "offline",
  ].join(" ");

  return (
    <div class="stage" style={{ width: `${geo.stageWidth}px`, height: `${geo.stageHeight}px` }}>
      <div
        class={classes}
        style={{ left: `${box.x}px`, top: `${box.y}px`, width: `${box.w}px`, height: `${box.h}px`, borderRadius: corners(geo, open) }}
        onContextMenu={(e) => {
          // Inside the app a secondary click brings up its status menu, as on the menu-bar item.
          if (page.transportKind !== "webkit" || (e.target as Element).closest("textarea, input, .req-detail, .reply-message")) return;
          e.preventDefault();
          page.send({ type: "menu" });
        }}
      >
        <div
          ref={inner}
          class="shell-inner"
          style={open ? { width: `${panelWidth(geo)}px` } : { width: `${closedSize.w}px`, height: `${closedSize.h}px` }}
          onPointerDown={open ? undefined : drag}
        >
          {open && st ? (
            <Panel maxHeight={panelMaxHeight(geo)} onHeaderDown={drag} />
          ) : (
            <Strip geo={geo} />
          )}
        </div>
      </div>
      <FakeCursor at={ps.cursor} />
    </div>
  );
}

/** The app's artificial pointer, drawn so a screen recording shows it; nothing while it is off the stage. */
function FakeCursor({ at }: { at: { x: number; y: number; down: boolean } }) {
  if (at.x < 0 || at.y < 0) return null;
  return (
    <svg
      class={at.down ? "fake-cursor down" : "fake-cursor"}
      style={{ left: `${at.x}px`, top: `${at.y}px` }}
      width="18"
      height="24"
      viewBox="0 0 18 24"
      aria-hidden="true"
    >
      <path d="M1 1 L1 19 L6 14.5 L9.5 22.5 L12.5 21 L9 13.5 L15.5 13.5 Z" />
    </svg>
  );
}

/** A browser window's size, followed as it changes; null inside the app (its stage is fixed). */
function useViewport(follow: boolean): { w: number; h: number } | null {
  const read = () => (follow && typeof window !== "undefined" ? { w: window.innerWidth, h: window.innerHeight } : null);
  const [size, setSize] = useState(read);
  useEffect(() => {
    if (!follow) return;
    const on = () => setSize((old) => {
      const now = read();
      return old && now && old.w === now.w && old.h === now.h ? old : now;
    });
    window.addEventListener("resize", on);
    return () => window.removeEventListener("resize", on);
  }, [follow]);
  return size;
}

/**
 * In a browser the stage is the window: as narrow as a phone or as tall as a 4K screen, so the
 * panel always fits and scrolls instead of being cut off.
 */
export function fitGeo(geo: Geo, viewport: { w: number; h: number } | null): Geo {
  if (!viewport || viewport.w <= 0 || viewport.h <= 0) return geo;
  return { ...geo, stageWidth: Math.min(geo.stageWidth, viewport.w), stageHeight: Math.max(160, viewport.h) };
}

function useApplyTheme(geo: Geo) {
  useEffect(() => {
    const root = document.documentElement;
    root.dataset["theme"] = geo.theme === "light" ? "light" : "dark";
    root.dataset["glass"] = geo.glass ? "on" : "off";
  }, [geo.theme, geo.glass]);
}

/** Inside the app's panel, pressing and moving on the strip or the header hands the drag to the app. */
function useDragStart(page: Page) {
  return (e: PointerEvent) => {
    if (page.transportKind !== "webkit" || e.button !== 0) return;
    const t = e.target as Element | null;
    if (t?.closest("button:not(.strip), a, input, textarea, select")) return;
    const x0 = e.screenX;
    const y0 = e.screenY;
    const move = (m: PointerEvent) => {
      if (Math.hypot(m.screenX - x0, m.screenY - y0) < 4) return;
      stop();
      page.send({ type: "dragStart" });
    };
    const stop = () => {
      window.removeEventListener("pointermove", move);
      window.removeEventListener("pointerup", stop);
    };
    window.addEventListener("pointermove", move);
    window.addEventListener("pointerup", stop);
  };
}

function isField(el: Element | null): boolean {
  if (!el) return false;
  const tag = el.tagName;
  return tag === "TEXTAREA" || tag === "INPUT" || tag === "SELECT" || (el as HTMLElement).isContentEditable;
}

/** The panel's keys: arrows or j/k between cards, Enter allows, Backspace denies, digits pick. */
function useKeyboard(page: Page) {
  useEffect(() => {
    const onKey = (e: KeyboardEvent) => {
      const ps = page.get();
      if (ps.recording || e.defaultPrevented) return;
      if (e.key === "Escape") {
        e.preventDefault();
        page.escape("dom");
        return;
      }
      const st = ps.state;
      if (!st?.open || ps.view !== "cards" || ps.tourStep !== null || !ps.connected) return;
      const active = document.activeElement;
      if (isField(active)) return;
      // A focused control answers Enter and Space itself.
      if ((e.key === "Enter" || e.key === " ") && active && active !== document.body && active.closest("button, a")) return;

      const order = orderSessions(st.sessions, st.queue);
      // Keys act on the card that has the focus; the selection only when no card has it.
      const focusedId = active instanceof Element ? active.closest(".card")?.getAttribute("data-id") : null;
      const sel = (focusedId ? order.find((s) => s.id === focusedId) : undefined) ?? order.find((s) => s.id === st.selected) ?? order[0];
      const pending = sel?.pending;
      const action = keyAction(e, { pending, denyArmed: !!pending && ps.denyArmed === pending.id });
      if (action.do !== "armDeny" && action.do !== "deny" && ps.denyArmed) page.armDeny(null);
      if (action.do === "none") return;
      e.preventDefault();
      switch (action.do) {
        case "next":
        case "prev":
          page.move(order.map((s) => s.id), action.do === "next" ? 1 : -1);
          requestAnimationFrame(() => {
            const card = document.querySelector<HTMLElement>(".card.selected");
            card?.scrollIntoView?.({ block: "nearest" });
            // The focus follows, so Enter and Backspace act on the card now shown as current.
            if (document.activeElement?.closest(".card")) card?.focus({ preventScroll: true });
          });
          return;
        case "leave":
          return page.escape("dom");
      }
      if (!sel || !pending) return;
      switch (action.do) {
        case "allow":
          return page.decide(sel.id, pending.id, "allow");
        case "deny":
          page.armDeny(null);
          return page.decide(sel.id, pending.id, "deny");
        case "armDeny":
          return page.armDeny(pending.id);
        case "jump":
          return page.send({ type: "jump", id: sel.id });
        case "focusReply":
          return page.requestFocusReply(pending.id);
      }
      if (pending.kind !== "question") return;
      const d = page.draft(pending.id);
      const qs = pending.questions;
      switch (action.do) {
        case "pick": {
          const qi = Math.min(d.question, qs.length - 1);
          const q = qs[qi];
          if (!q || action.option >= q.options.length) return;
          const picks = qs.map((_, i) => d.picks[i] ?? []);
          picks[qi] = togglePick(picks[qi], action.option, q.multi);
          page.updateDraft(pending.id, { picks, question: !q.multi && qi + 1 < qs.length ? qi + 1 : qi });
          return;
        }
        case "question":
          page.updateDraft(pending.id, { question: Math.min(qs.length - 1, Math.max(0, d.question + action.step)) });
          return;
        case "submit": {
          const answers = questionAnswers(qs, d.picks);
          if (answers) page.send({ type: "answer", id: sel.id, answers });
          return;
        }
      }
    };
    document.addEventListener("keydown", onKey);
    return () => document.removeEventListener("keydown", onKey);
  }, [page]);
}
