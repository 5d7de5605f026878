// Where the page draws inside the app's transparent stage, in stage coordinates (top-left
// origin). The app makes everything outside the reported rectangle click-through.

import type { Geo } from "./protocol";
// Shared with the app, which draws the closed strip itself until the page's first frame.
import STRIP from "./strip.json";

export interface Box {
  x: number;
  y: number;
  w: number;
  h: number;
}

export const PILL = STRIP.pill;
/** A placed pill sits a margin from the stage's edge: the app centres the pointer on it when dragging. */
export const PLACED = STRIP.placed;
/** Room beside the hardware notch for the face and the badge. */
export const WING = STRIP.wing;
export const PANEL_MAX_W = 640;

/** A pill width within the strip's limits: never narrower than the plain pill, never wider than the most it may grow. */
export function pillWidth(w: number): number {
  return Number.isFinite(w) ? Math.min(PILL.maxW, Math.max(PILL.w, Math.ceil(w))) : PILL.w;
}

/** Steps the pill grows and shrinks by, and how much narrower its text must get before it shrinks. */
export const PILL_STEP = 8;
export const PILL_SHRINK = 24;

/**
 * The pill width to ask the app for when the pill's content needs `needed` px and it is `current`
 * wide now. It grows at once; it shrinks only by a clear margin, so an agent's changing activity
 * line does not make it breathe with every word.
 */
export function askedWidth(needed: number, current: number): number {
  const want = pillWidth(Math.ceil(needed / PILL_STEP) * PILL_STEP);
  const now = pillWidth(current);
  return want > now || want <= now - PILL_SHRINK ? want : now;
}

/** Size of the closed strip: a pill as wide as the app says its text needs, or the notch's wings. */
export function stripSize(geo: Geo): { w: number; h: number } {
  if (geo.away) return { w: pillWidth(geo.stripWidth), h: PLACED.h };
  if (geo.shape === "notch" && geo.notchWidth > 0) {
    return { w: Math.round(geo.notchWidth + 2 * WING), h: Math.max(STRIP.minHeight, Math.round(geo.strip)) };
  }
  return { w: pillWidth(geo.stripWidth), h: PILL.h };
}

/** Width of the open panel inside this stage. */
export function panelWidth(geo: Geo): number {
  return Math.max(PILL.w, Math.min(PANEL_MAX_W, geo.stageWidth - 24));
}

/** Room below the open panel for its shadow (18 px down, 48 px blur): the window ends there. */
export const SHADOW_ROOM = 56;

/** Tallest the open panel may grow before its cards scroll. */
export function panelMaxHeight(geo: Geo): number {
  return Math.max(120, geo.stageHeight - (geo.away ? 2 * PLACED.margin : 0) - SHADOW_ROOM);
}

/** Where a shape of size w × h sits in the stage for this geometry. */
export function place(geo: Geo, w: number, h: number): Box {
  const W = geo.stageWidth;
  const H = geo.stageHeight;
  let x: number;
  if (geo.edge === "left") x = 0;
  else if (geo.edge === "right") x = W - w;
  else x = Math.round((W - w) / 2 + (Number.isFinite(geo.dx) ? geo.dx : 0));
  x = Math.min(Math.max(0, x), Math.max(0, W - w));
  let y: number;
  // A dragged pill floats: the app holds it 6 below the stage's top, wherever it came from.
  const floating = geo.away || geo.dragging;
  if (geo.anchor === "bottom") y = H - h - (floating ? PLACED.margin : 0);
  else y = floating ? PLACED.margin : 0;
  return { x, y: Math.max(0, y), w, h };
}

/** Corner radii: flush with the screen edge it hangs from or is docked to, rounded elsewhere. */
export function corners(geo: Geo, open: boolean): string {
  const r = open ? 22 : geo.shape === "notch" && !geo.away ? STRIP.radius.notch : STRIP.radius.pill;
  if (geo.dragging) return `${r}px`;
  if (geo.away) {
    if (geo.edge === "left") return `0 ${r}px ${r}px 0`;
    if (geo.edge === "right") return `${r}px 0 0 ${r}px`;
    return `${r}px`;
  }
  return geo.anchor === "bottom" ? `${r}px ${r}px 0 0` : `0 0 ${r}px ${r}px`;
}

/** Whether two boxes differ by at least half a point (reports go out only on real changes). */
export function sameBox(a: Box | null, b: Box): boolean {
  return !!a && Math.abs(a.x - b.x) < 0.5 && Math.abs(a.y - b.y) < 0.5 && Math.abs(a.w - b.w) < 0.5 && Math.abs(a.h - b.h) < 0.5;
}
