// Keyboard: what a key press means in the panel, and the shortcut recorder for the settings.

import type { Pending } from "./protocol";

export interface KeyPress {
  key: string;
  code: string;
  shiftKey: boolean;
  ctrlKey: boolean;
  altKey: boolean;
  metaKey: boolean;
}

export type KeyAction =
  | { do: "next" }
  | { do: "prev" }
  | { do: "allow" }
  | { do: "deny" }
  | { do: "armDeny" }
  | { do: "pick"; option: number }
  | { do: "question"; step: 1 | -1 }
  | { do: "submit" }
  | { do: "focusReply" }
  | { do: "jump" }
  | { do: "leave" }
  | { do: "none" };

export interface KeyContext {
  /** The request of the session the keyboard is on, if any. */
  pending: Pending | undefined;
  /** A Backspace on a shell command was pressed once and waits for its confirmation. */
  denyArmed: boolean;
}

/** Maps a key press (outside a text field) to what the panel does. */
export function keyAction(e: KeyPress, ctx: KeyContext): KeyAction {
  if (e.ctrlKey || e.metaKey || e.altKey) return { do: "none" };
  const p = ctx.pending;
  switch (e.key) {
    case "Escape":
      return { do: "leave" };
    case "ArrowDown":
    case "j":
      return { do: "next" };
    case "ArrowUp":
    case "k":
      return { do: "prev" };
  }
  if (!p) return { do: "none" };
  switch (p.kind) {
    case "permission":
      if (e.key === "Enter") return { do: "allow" };
      if (e.key === "Backspace" || e.key === "Delete") {
        // A shell command is the one request where a slip costs the most: ask once more.
        return p.tool === "Bash" && !ctx.denyArmed ? { do: "armDeny" } : { do: "deny" };
      }
      return { do: "none" };
    case "question": {
      if (e.key === "Enter") return { do: "submit" };
      // Tab stays with the focus ring; the arrows step between questions.
      if (e.key === "ArrowRight") return { do: "question", step: 1 };
      if (e.key === "ArrowLeft") return { do: "question", step: -1 };
      const digit = /^Digit([1-9])$/.exec(e.code) ?? /^([1-9])$/.exec(e.key);
      if (digit) return { do: "pick", option: Number(digit[1]) - 1 };
      return { do: "none" };
    }
    case "reply":
      return e.key === "Enter" || e.key === "r" ? { do: "focusReply" } : { do: "none" };
    case "elsewhere":
      return e.key === "Enter" ? { do: "jump" } : { do: "none" };
  }
}

/** Key names the app can bind ("KeyA", "Digit7", "F5", "Space", ...). */
const BINDABLE = new Set<string>([
  ..."ABCDEFGHIJKLMNOPQRSTUVWXYZ".split("").map((c) => `Key${c}`),
  ..."0123456789".split("").map((d) => `Digit${d}`),
  ...Array.from({ length: 12 }, (_, i) => `F${i + 1}`),
  "Space", "Period", "Comma", "Slash", "Semicolon", "Quote",
  "BracketLeft", "BracketRight", "Backquote", "Minus", "Equal",
]);

const SHOWN: Record<string, string> = {
  Space: "Space", Period: ".", Comma: ",", Slash: "/", Semicolon: ";", Quote: "'",
  BracketLeft: "[", BracketRight: "]", Backquote: "`", Minus: "-", Equal: "=",
};

export interface Combo {
  code: string;
  ctrl: boolean;
  alt: boolean;
  shift: boolean;
  meta: boolean;
}

export type Recorded =
  | { ok: true; combo: Combo }
  | { ok: false; hint: string; waiting: boolean };

const MODIFIER_CODES = /^(Shift|Control|Alt|Meta|OS|AltGraph|CapsLock|Fn)/;

/** Reads a key press made while recording a shortcut. */
export function recordCombo(e: KeyPress): Recorded {
  if (MODIFIER_CODES.test(e.code) || ["Shift", "Control", "Alt", "Meta"].includes(e.key)) {
    return { ok: false, hint: "", waiting: true };
  }
  if (!BINDABLE.has(e.code)) return { ok: false, hint: "That key can't be used — try a letter, digit or F-key", waiting: false };
  const combo: Combo = { code: e.code, ctrl: e.ctrlKey, alt: e.altKey, shift: e.shiftKey, meta: e.metaKey };
  if (!combo.ctrl && !combo.alt && !combo.shift && !combo.meta) {
    return { ok: false, hint: "Add Ctrl, Alt, Shift or Super to the key", waiting: false };
  }
  return { ok: true, combo };
}

const MODIFIERS = [
  ["ctrl", "Ctrl", "⌃"],
  ["alt", "Alt", "⌥"],
  ["shift", "Shift", "⇧"],
  ["meta", "Super", "⌘"],
] as const;

/**
 * The label the app would show for a combination: "Ctrl+Alt+R". Without a key, the modifiers
 * held so far: "Ctrl+Shift+".
 */
export function comboLabel(c: Pick<Combo, "ctrl" | "alt" | "shift" | "meta"> & { code?: string }): string {
  const mods = MODIFIERS.filter(([k]) => c[k]).map(([, name]) => `${name}+`).join("");
  if (!c.code) return mods;
  const name = SHOWN[c.code] ?? c.code.replace(/^Key|^Digit/, "");
  return mods + name;
}

/**
 * A shortcut label from the app in Linux names. Older versions wrote the modifiers as Mac
 * symbols ("⌃⌥R"); those still read right, as "Ctrl+Alt+R".
 */
export function shortcutLabel(label: string): string {
  const held = new Set<string>();
  let rest = label;
  for (;;) {
    const m = MODIFIERS.find(([, , glyph]) => rest.startsWith(glyph));
    if (!m) break;
    held.add(m[0]);
    rest = rest.slice(m[2].length);
  }
  if (held.size === 0) return label;
  return MODIFIERS.filter(([k]) => held.has(k)).map(([, name]) => `${name}+`).join("") + rest;
}
