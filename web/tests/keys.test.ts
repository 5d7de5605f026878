import { describe, expect, it } from "vitest";
import { comboLabel, keyAction, recordCombo, shortcutLabel, type KeyPress } from "../src/keys";
import type { Pending } from "../src/protocol";

const press = (key: string, more: Partial<KeyPress> = {}): KeyPress => ({
  key,
  code: more.code ?? (/^[0-9]$/.test(key) ? `Digit${key}` : /^[a-z]$/.test(key) ? `Key${key.toUpperCase()}` : key),
  shiftKey: false,
  ctrlKey: false,
  altKey: false,
  metaKey: false,
  ...more,
});

const perm = (tool: string): Pending => ({ id: "p", engaged: false, since: 0, kind: "permission", title: "", detail: "", tool });
const quest: Pending = { id: "q", engaged: false, since: 0, kind: "question", questions: [] };
const rep: Pending = { id: "r", engaged: false, since: 0, kind: "reply", message: "", expires: 0, window: 0 };
const away: Pending = { id: "e", engaged: false, since: 0, kind: "elsewhere", title: "" };

describe("keys in the panel", () => {
  it("moves between cards with arrows and j/k whatever the request", () => {
    for (const p of [undefined, perm("Read"), quest]) {
      expect(keyAction(press("ArrowDown"), { pending: p, denyArmed: false })).toEqual({ do: "next" });
      expect(keyAction(press("j"), { pending: p, denyArmed: false })).toEqual({ do: "next" });
      expect(keyAction(press("ArrowUp"), { pending: p, denyArmed: false })).toEqual({ do: "prev" });
      expect(keyAction(press("k"), { pending: p, denyArmed: false })).toEqual({ do: "prev" });
    }
  });

  it("allows with Enter and denies with Backspace", () => {
    const ctx = { pending: perm("Edit"), denyArmed: false };
    expect(keyAction(press("Enter"), ctx)).toEqual({ do: "allow" });
    expect(keyAction(press("Backspace"), ctx)).toEqual({ do: "deny" });
  });

  it("asks once more before denying a shell command", () => {
    expect(keyAction(press("Backspace"), { pending: perm("Bash"), denyArmed: false })).toEqual({ do: "armDeny" });
    expect(keyAction(press("Backspace"), { pending: perm("Bash"), denyArmed: true })).toEqual({ do: "deny" });
  });

  it("picks options with digits, from the row or the keypad label", () => {
    const ctx = { pending: quest, denyArmed: false };
    expect(keyAction(press("1"), ctx)).toEqual({ do: "pick", option: 0 });
    expect(keyAction(press("9"), ctx)).toEqual({ do: "pick", option: 8 });
    expect(keyAction(press("!", { code: "Digit1", shiftKey: true }), ctx)).toEqual({ do: "pick", option: 0 });
    expect(keyAction(press("0"), ctx)).toEqual({ do: "none" });
    expect(keyAction(press("Enter"), ctx)).toEqual({ do: "submit" });
    expect(keyAction(press("ArrowRight"), ctx)).toEqual({ do: "question", step: 1 });
    expect(keyAction(press("ArrowLeft"), ctx)).toEqual({ do: "question", step: -1 });
    // Tab keeps moving the focus ring.
    expect(keyAction(press("Tab"), ctx)).toEqual({ do: "none" });
  });

  it("does nothing request-specific without a request, or with a modifier held", () => {
    expect(keyAction(press("Enter"), { pending: undefined, denyArmed: false })).toEqual({ do: "none" });
    expect(keyAction(press("1"), { pending: perm("Bash"), denyArmed: false })).toEqual({ do: "none" });
    expect(keyAction(press("Enter", { metaKey: true }), { pending: perm("Bash"), denyArmed: false })).toEqual({ do: "none" });
  });

  it("opens the reply field, jumps for elsewhere, and leaves with Escape", () => {
    expect(keyAction(press("Enter"), { pending: rep, denyArmed: false })).toEqual({ do: "focusReply" });
    expect(keyAction(press("Enter"), { pending: away, denyArmed: false })).toEqual({ do: "jump" });
    expect(keyAction(press("Escape"), { pending: perm("Bash"), denyArmed: true })).toEqual({ do: "leave" });
  });
});

describe("recording a shortcut", () => {
  it("waits while only modifiers are down", () => {
    expect(recordCombo(press("Control", { code: "ControlLeft", ctrlKey: true }))).toEqual({ ok: false, hint: "", waiting: true });
  });

  it("takes a bindable key with a modifier", () => {
    expect(recordCombo(press("r", { ctrlKey: true, altKey: true }))).toEqual({
      ok: true,
      combo: { code: "KeyR", ctrl: true, alt: true, shift: false, meta: false },
    });
    expect(recordCombo(press(" ", { code: "Space", metaKey: true })).ok).toBe(true);
    expect(recordCombo(press("F5", { code: "F5", shiftKey: true })).ok).toBe(true);
  });

  it("refuses a key without modifier and keys the app cannot bind", () => {
    const bare = recordCombo(press("r"));
    expect(bare.ok).toBe(false);
    expect(!bare.ok && bare.hint).toBe("Add Ctrl, Alt, Shift or Super to the key");
    expect(recordCombo(press("Enter", { ctrlKey: true })).ok).toBe(false);
    expect(recordCombo(press("\\", { code: "Backslash", ctrlKey: true })).ok).toBe(false);
  });

  it("labels combinations in the app's order, with Linux names", () => {
    expect(comboLabel({ code: "KeyR", ctrl: true, alt: true, shift: false, meta: false })).toBe("Ctrl+Alt+R");
    expect(comboLabel({ code: "Space", ctrl: true, alt: false, shift: false, meta: true })).toBe("Ctrl+Super+Space");
    expect(comboLabel({ code: "Digit7", ctrl: false, alt: false, shift: true, meta: false })).toBe("Shift+7");
    expect(comboLabel({ code: "BracketLeft", ctrl: false, alt: true, shift: true, meta: true })).toBe("Alt+Shift+Super+[");
    expect(comboLabel({ ctrl: true, alt: false, shift: true, meta: false })).toBe("Ctrl+Shift+");
  });

  it("reads an older app's symbol labels as Linux names", () => {
    for (const [given, shown] of [
      ["⌃⌥R", "Ctrl+Alt+R"],
      ["⌘⌃Space", "Ctrl+Super+Space"],
      ["⇧/", "Shift+/"],
      ["Ctrl+Alt+T", "Ctrl+Alt+T"],
      ["F5", "F5"],
      ["", ""],
    ]) {
      expect(shortcutLabel(given!), given).toBe(shown);
    }
  });
});
