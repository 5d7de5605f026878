import { describe, expect, it } from "vitest";
import { askedWidth, corners, panelWidth, place, sameBox, stripSize } from "../src/layout";
import { DEFAULT_GEO, type Geo } from "../src/protocol";
import CASES from "./strip-cases.json";

const geo = (over: Partial<Geo> = {}): Geo => ({ ...DEFAULT_GEO, ...over });

// The app draws the closed strip from the same table until the page's first frame: both sides
// must put it in the same place with the same corners.
describe("closed strip, as the app draws it", () => {
  const radii = (css: string): number[] => {
    const r = css.split(" ").map((v) => Number.parseFloat(v));
    return r.length === 1 ? [r[0]!, r[0]!, r[0]!, r[0]!] : r;
  };
  it.each(CASES)("$name", (c) => {
    const g = geo(c.geo as Partial<Geo>);
    const size = stripSize(g);
    expect(place(g, size.w, size.h)).toEqual(c.rect);
    expect(radii(corners(g, false))).toEqual(c.radii);
  });
});

// What the pill asks the app for as its text changes: whole steps, within the limits, and no
// shrinking for a few pixels (a working agent's activity line changes every second).
describe("the pill's width follows its text", () => {
  it.each([
    { needed: 150, current: 200, asked: 200, why: "short text keeps the plain pill" },
    { needed: 221.3, current: 200, asked: 224, why: "grows at once, to a whole step" },
    { needed: 480, current: 200, asked: 300, why: "no wider than the limit" },
    { needed: 250, current: 264, asked: 264, why: "a little less text keeps the width" },
    { needed: 230, current: 264, asked: 232, why: "clearly less text shrinks it" },
    { needed: 120, current: 300, asked: 200, why: "back to the plain pill" },
    { needed: 210, current: Number.NaN, asked: 216, why: "an unreadable width counts as the plain pill" },
  ])("$why", ({ needed, current, asked }) => {
    expect(askedWidth(needed, current)).toBe(asked);
  });
});

describe("placement in the stage", () => {
  it("centres the open panel at the top at home", () => {
    expect(place(geo(), 640, 500)).toEqual({ x: 40, y: 0, w: 640, h: 500 });
  });

  it("ignores an offset that is not a number", () => {
    expect(place(geo({ away: true, dx: Number.NaN }), 200, 34).x).toBe(260);
  });

  it("hangs upward from the bottom when anchored there", () => {
    expect(place(geo({ away: true, anchor: "bottom" }), 640, 400).y).toBe(234);
  });

  it("fits the panel into a narrower stage", () => {
    expect(panelWidth(geo())).toBe(640);
    expect(panelWidth(geo({ stageWidth: 460 }))).toBe(436);
  });

  it("floats a dragged pill 6 below the stage's top, round on every corner", () => {
    expect(place(geo({ dragging: true }), 200, 32).y).toBe(6);
    expect(corners(geo({ dragging: true }), false)).toBe("16px");
  });

  it("rounds only the corners away from the edge it hangs from", () => {
    expect(corners(geo(), true)).toBe("0 0 22px 22px");
    expect(corners(geo({ away: true, anchor: "bottom" }), true)).toBe("22px");
  });

  it("compares reported rectangles to half a point", () => {
    expect(sameBox(null, { x: 0, y: 0, w: 1, h: 1 })).toBe(false);
    expect(sameBox({ x: 0, y: 0, w: 200, h: 32 }, { x: 0.2, y: 0, w: 200, h: 32 })).toBe(true);
    expect(sameBox({ x: 0, y: 0, w: 200, h: 32 }, { x: 0, y: 0, w: 200, h: 33 })).toBe(false);
  });
});
