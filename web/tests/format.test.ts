import { describe, expect, it } from "vitest";
import {
  contextUse,
  cutLong,
  revealHidden,
  revealHiddenText,
  countdown,
  formatCost,
  formatDuration,
  formatMinutes,
  formatSeconds,
  formatTokens,
  middleTruncate,
  oneLine,
  truncatePath,
  turnTimer,
} from "../src/format";

describe("middle truncation", () => {
  it("leaves text that fits alone, including text of exactly the limit", () => {
    expect(middleTruncate("npm test", 20)).toBe("npm test");
    expect(middleTruncate("abcdef", 6)).toBe("abcdef");
  });

  it("cuts the middle so the result has exactly the limit and keeps both ends", () => {
    const out = middleTruncate("abcdefghijklmnopqrstuvwxyz", 11);
    expect(Array.from(out)).toHaveLength(11);
    expect(out).toBe("abcde…vwxyz");
  });

  it("keeps the file name of a long path", () => {
    const path = "/home/ana/projects/talvane/src/components/__tests__/PanelHeader.test.tsx";
    const out = truncatePath(path, 30);
    expect(Array.from(out)).toHaveLength(30);
    expect(out.startsWith("/home")).toBe(true);
    expect(out.endsWith("PanelHeader.test.tsx")).toBe(true);
    expect(out).toContain("…");
  });

  it("never splits a character made of several code points", () => {
    const text = "👩‍💻👩‍💻👩‍💻👩‍💻👩‍💻👩‍💻👩‍💻👩‍💻";
    const out = middleTruncate(text, 5);
    expect(out).toBe("👩‍💻👩‍💻…👩‍💻👩‍💻");
  });

  it("handles degenerate limits", () => {
    expect(middleTruncate("abcdef", 1)).toBe("…");
    expect(middleTruncate("abcdef", 0)).toBe("");
    expect(middleTruncate("abcdef", 2)).toBe("a…");
  });

  it("falls back to a plain cut when even the file name is too long", () => {
    const out = truncatePath("/tmp/an-extremely-long-generated-file-name.json", 12);
    expect(Array.from(out)).toHaveLength(12);
    expect(out.startsWith("/tmp")).toBe(true);
  });

  it("can keep only the end (newest words of a transcript)", () => {
    expect(middleTruncate("one two three four", 8, 1)).toBe("…ee four");
  });
});

describe("one line of agent text", () => {
  it("takes the first non-empty line and folds blanks", () => {
    expect(oneLine("\n\n  Fixed   the\tbug \nand more")).toBe("Fixed the bug");
    expect(oneLine("")).toBe("");
  });
});

describe("turn timer", () => {
  const t0 = 1_700_000_000_000;

  it("formats seconds, minutes and hours without jumping widths needlessly", () => {
    expect(formatDuration(0)).toBe("0s");
    expect(formatDuration(42_900)).toBe("42s");
    expect(formatDuration(60_000)).toBe("1:00");
    expect(formatDuration(187_000)).toBe("3:07");
    expect(formatDuration(3_729_000)).toBe("1:02:09");
    expect(formatDuration(-5_000)).toBe("0s");
  });

  it("is absent without a turn start", () => {
    expect(turnTimer(undefined, undefined, t0)).toBeNull();
    expect(turnTimer(0, undefined, t0)).toBeNull();
  });

  it("runs from the turn start to now while the turn is open", () => {
    expect(turnTimer(t0, undefined, t0 + 65_000)).toEqual({ text: "1:05", running: true, ms: 65_000 });
  });

  it("stops at the turn end once the turn has ended", () => {
    expect(turnTimer(t0, t0 + 30_000, t0 + 999_000)).toEqual({ text: "30s", running: false, ms: 30_000 });
  });

  it("treats an end that is not after the start as a running turn", () => {
    expect(turnTimer(t0, t0, t0 + 5_000)?.running).toBe(true);
    expect(turnTimer(t0, t0 - 1, t0 + 5_000)?.text).toBe("5s");
  });

  it("never shows negative time when the page clock lags the app", () => {
    expect(turnTimer(t0, undefined, t0 - 3_000)?.text).toBe("0s");
  });
});

describe("reply countdown", () => {
  const now = 1_000_000;

  it("is the share of the window still left", () => {
    const c = countdown(now + 7_500, 15_000, now);
    expect(c.fraction).toBeCloseTo(0.5);
    expect(c.seconds).toBe(8);
    expect(c.frozen).toBe(false);
  });

  it("is empty once expired and full when expiry lies beyond the window", () => {
    expect(countdown(now - 1, 15_000, now)).toMatchObject({ fraction: 0, seconds: 0 });
    expect(countdown(now + 30_000, 15_000, now).fraction).toBe(1);
  });

  it("copes with a zero window", () => {
    expect(countdown(now + 1_000, 0, now).fraction).toBe(1);
    expect(countdown(now - 1_000, 0, now).fraction).toBe(0);
  });

  it("freezes where it was when the user engaged", () => {
    const engagedAt = now + 5_000;
    const later = countdown(now + 15_000, 15_000, now + 60_000, engagedAt);
    expect(later.frozen).toBe(true);
    expect(later.fraction).toBeCloseTo(10 / 15);
    expect(later.seconds).toBe(10);
  });
});

describe("context use", () => {
  it("is unknown without a fraction", () => {
    expect(contextUse(undefined)).toBeNull();
    expect(contextUse(Number.NaN)).toBeNull();
    expect(contextUse(-0.1)).toBeNull();
  });

  it("turns amber only above 0.8", () => {
    expect(contextUse(0.8)?.level).toBe("ok");
    expect(contextUse(0.81)?.level).toBe("high");
  });

  it("rounds the label and clamps the bar, keeping an overflow visible in the label", () => {
    expect(contextUse(0.624)).toEqual({ fraction: 0.624, percent: 62, level: "ok" });
    expect(contextUse(1.07)).toEqual({ fraction: 1, percent: 107, level: "high" });
  });
});

describe("numbers", () => {
  it("formats tokens compactly", () => {
    expect(formatTokens(950)).toBe("950");
    expect(formatTokens(1_000)).toBe("1k");
    expect(formatTokens(1_250)).toBe("1.3k");
    expect(formatTokens(124_310)).toBe("124k");
    expect(formatTokens(1_482_000)).toBe("1.48M");
    expect(formatTokens(20_000_000)).toBe("20M");
    expect(formatTokens(-1)).toBe("0");
  });

  it("formats dollars", () => {
    expect(formatCost(0)).toBe("$0.00");
    expect(formatCost(0.004)).toBe("<$0.01");
    expect(formatCost(3.415)).toBe("$3.42");
    expect(formatCost(1234.5)).toBe("$1,235");
    expect(formatCost(Number.NaN)).toBe("$0.00");
  });

  it("formats the settings' durations", () => {
    expect(formatMinutes(0)).toBe("Never");
    expect(formatMinutes(45)).toBe("45 min");
    expect(formatMinutes(120)).toBe("2 h");
    expect(formatMinutes(90)).toBe("1 h 30 min");
    expect(formatMinutes(1440)).toBe("1 day");
    expect(formatSeconds(0)).toBe("Off");
    expect(formatSeconds(15)).toBe("15 s");
    expect(formatSeconds(120)).toBe("2 min");
  });
});

describe("input level", () => {
  it("reads fractions, percentages and decibels onto 0…1", async () => {
    const { normalizeLevel } = await import("../src/ui/Talk");
    expect(normalizeLevel(undefined)).toBe(0);
    expect(normalizeLevel(0.4)).toBe(0.4);
    expect(normalizeLevel(55)).toBeCloseTo(0.55);
    expect(normalizeLevel(-30)).toBeCloseTo(0.5);
    expect(normalizeLevel(-120)).toBe(0);
    expect(normalizeLevel(400)).toBe(1);
  });
});

describe("hidden characters", () => {
  it.each([
    ["bidi override and isolates", "a\u202Eb\u2066c\u2069", "a⟨U+202E⟩b⟨U+2066⟩c⟨U+2069⟩"],
    ["zero width and byte-order mark", "x\u200By\u200Fz\uFEFF", "x⟨U+200B⟩y⟨U+200F⟩z⟨U+FEFF⟩"],
    ["C0 and C1 controls", "a\u0000b\u001Bc\u0085d\u009F", "a⟨U+0000⟩b⟨U+001B⟩c⟨U+0085⟩d⟨U+009F⟩"],
    ["line and paragraph separators", "a\u2028b\u2029", "a⟨U+2028⟩b⟨U+2029⟩"],
    ["line feed and tab stay", "a\nb\tc", "a\nb\tc"],
    ["carriage return is written out", "a\rb", "a⟨U+000D⟩b"],
    ["soft hyphen and tag characters (format)", "a\u00ADb\u{E0041}", "a⟨U+00AD⟩b⟨U+E0041⟩"],
    ["ordinary text, emoji and right-to-left letters are left alone", "שלום 👍🏽 é", "שלום 👍🏽 é"],
  ])("%s", (_, text, shown) => {
    expect(revealHiddenText(text)).toBe(shown);
  });

  it("keeps plain text as one piece", () => {
    expect(revealHidden("ls -la")).toEqual(["ls -la"]);
  });
});

describe("cutting long text", () => {
  it("keeps short text whole and never splits a surrogate pair", () => {
    expect(cutLong("abc", 3)).toEqual({ shown: "abc", hidden: 0 });
    expect(cutLong("ab👍cd", 3)).toEqual({ shown: "ab", hidden: 4 });
    expect(cutLong("abcdef", 4)).toEqual({ shown: "abcd", hidden: 2 });
  });
});
