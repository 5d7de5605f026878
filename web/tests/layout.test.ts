import { describe, expect, it } from "vitest";
import { corners, panelWidth, place, sameBox, stripSize } from "../src/layout";
import { DEFAULT_GEO, type Geo } from "../src/protocol";

const geo = (over: Partial<Geo> = {}): Geo => ({ ...DEFAULT_GEO, ...over });

describe("closed strip size", () => {
  it("is a 200 × 32 pill at home", () => {
    expect(stripSize(geo())).toEqual({ w: 200, h: 32 });
  });

  it("wraps the notch with room on both sides, as tall as the menu-bar strip", () => {
    expect(stripSize(geo({ shape: "notch", notchWidth: 190, strip: 37 }))).toEqual({ w: 306, h: 37 });
  });

  it("falls back to a pill for a notch shape without a notch, and when placed", () => {
    expect(stripSize(geo({ shape: "notch", notchWidth: 0 }))).toEqual({ w: 200, h: 32 });
    expect(stripSize(geo({ shape: "notch", notchWidth: 190, away: true }))).toEqual({ w: 200, h: 34 });
  });
});

describe("placement in the stage", () => {
  it("centres at the top at home", () => {
    expect(place(geo(), 200, 32)).toEqual({ x: 260, y: 0, w: 200, h: 32 });
    expect(place(geo(), 640, 500)).toEqual({ x: 40, y: 0, w: 640, h: 500 });
  });

  it("follows the placed panel's offset, kept inside the stage", () => {
    expect(place(geo({ away: true, dx: -100 }), 200, 34)).toEqual({ x: 160, y: 6, w: 200, h: 34 });
    expect(place(geo({ away: true, dx: 300 }), 200, 34).x).toBe(520);
    expect(place(geo({ away: true, dx: Number.NaN }), 200, 34).x).toBe(260);
  });

  it("sits flush with a docked edge", () => {
    expect(place(geo({ away: true, edge: "left", dx: 50 }), 200, 34).x).toBe(0);
    expect(place(geo({ away: true, edge: "right" }), 200, 34).x).toBe(520);
  });

  it("hangs upward from the bottom when anchored there", () => {
    expect(place(geo({ away: true, anchor: "bottom" }), 200, 34)).toEqual({ x: 260, y: 600, w: 200, h: 34 });
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
    expect(corners(geo({ away: true, edge: "left" }), false)).toBe("0 16px 16px 0");
  });

  it("compares reported rectangles to half a point", () => {
    expect(sameBox(null, { x: 0, y: 0, w: 1, h: 1 })).toBe(false);
    expect(sameBox({ x: 0, y: 0, w: 200, h: 32 }, { x: 0.2, y: 0, w: 200, h: 32 })).toBe(true);
    expect(sameBox({ x: 0, y: 0, w: 200, h: 32 }, { x: 0, y: 0, w: 200, h: 33 })).toBe(false);
  });
});
