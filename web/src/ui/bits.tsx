// Small shared pieces: icons, chips, switches.

import type { ButtonHTMLAttributes, ComponentChildren } from "preact";
import { agentInfo } from "../model";

type IconName =
  | "gear" | "close" | "branch" | "terminal" | "editor" | "desktop" | "pr" | "check" | "cross"
  | "dot" | "warn" | "mic" | "back" | "jump" | "spark" | "keyboard" | "undo" | "copy" | "chip" | "clock";

const PATHS: Record<IconName, string> = {
  gear: "M8 5.6a2.4 2.4 0 1 0 0 4.8 2.4 2.4 0 0 0 0-4.8Zm5.6 3.1.1-.7-.1-.7 1.3-1-.9-1.6-1.6.5a5 5 0 0 0-1.2-.7L10.9 3H9.1L8.8 4.5a5 5 0 0 0-1.2.7L6 4.7l-.9 1.6 1.3 1-.1.7.1.7-1.3 1 .9 1.6 1.6-.5c.4.3.8.5 1.2.7l.3 1.5h1.8l.3-1.5c.4-.2.8-.4 1.2-.7l1.6.5.9-1.6-1.3-1Z",
  close: "M4.5 4.5l7 7m0-7-7 7",
  branch: "M5 3v6.5M5 9.5a2 2 0 1 0 0 4 2 2 0 0 0 0-4Zm0 0c0-2 6-1.5 6-4.5M11 3a1.6 1.6 0 1 0 0 3.2A1.6 1.6 0 0 0 11 3ZM5 1.8a1.2 1.2 0 1 0 0 2.4",
  terminal: "M2.5 3.5h11v9h-11zM4.8 6.5l2 1.6-2 1.6M8.5 10h2.7",
  editor: "M3 12.5 3.5 10l6.8-6.8 2.5 2.5L6 12.5H3ZM9 4.5l2.5 2.5",
  desktop: "M2.5 3.5h11v7h-11zM6 13h4M8 10.5V13",
  pr: "M4.5 3v10M4.5 3a1.5 1.5 0 1 0 0 .01M11.5 13a1.5 1.5 0 1 0 0-.01M11.5 11.5V6.5c0-1.2-.8-2-2-2H7m1.5-1.5L7 4.5 8.5 6",
  check: "M3.5 8.5l3 3 6-7",
  cross: "M4.5 4.5l7 7m0-7-7 7",
  dot: "M8 6.5a1.5 1.5 0 1 0 0 3 1.5 1.5 0 0 0 0-3Z",
  warn: "M8 2.5 14 13H2L8 2.5ZM8 6.5v3M8 11.2v.3",
  mic: "M8 2.5a2 2 0 0 0-2 2v3.5a2 2 0 1 0 4 0V4.5a2 2 0 0 0-2-2ZM4.5 7.5a3.5 3.5 0 0 0 7 0M8 11v2.5",
  back: "M10 3.5 5.5 8l4.5 4.5",
  jump: "M6.5 3.5h-3v9h9v-3M9 3.5h3.5V7M12.5 3.5 7.5 8.5",
  spark: "M8 2.5v3M8 10.5v3M2.5 8h3M10.5 8h3M4.2 4.2l2 2M9.8 9.8l2 2M4.2 11.8l2-2M9.8 6.2l2-2",
  keyboard: "M2 4.5h12v7H2zM4.5 7h.01M7 7h.01M9.5 7h.01M12 7h.01M5 9.5h6",
  undo: "M5.5 4 3 6.5 5.5 9M3 6.5h6.5a3 3 0 0 1 0 6H7",
  copy: "M5.5 5.5h7v7h-7zM3.5 10.5v-7h7",
  chip: "M4.5 4.5h7v7h-7zM6.5 2.5v2M9.5 2.5v2M6.5 11.5v2M9.5 11.5v2M2.5 6.5h2M2.5 9.5h2M11.5 6.5h2M11.5 9.5h2",
  clock: "M8 2.8a5.2 5.2 0 1 0 0 10.4A5.2 5.2 0 0 0 8 2.8ZM8 5v3.2l2 1.3",
};

export function Icon({ name, size = 14, title }: { name: IconName; size?: number; title?: string }) {
  const filled = name === "gear" || name === "dot";
  return (
    <svg class={`icon icon-${name}`} width={size} height={size} viewBox="0 0 16 16" aria-hidden={title ? undefined : "true"} role={title ? "img" : undefined}>
      {title && <title>{title}</title>}
      <path d={PATHS[name]} fill={filled ? "currentColor" : "none"} stroke={filled ? "none" : "currentColor"} stroke-width="1.4" stroke-linecap="round" stroke-linejoin="round" />
    </svg>
  );
}

export function familyIcon(family: string): IconName {
  return family === "terminal" ? "terminal" : family === "editor" || family === "cursor" ? "editor" : family === "codex" ? "terminal" : "desktop";
}

export function AgentMark({ agent }: { agent: string }) {
  const info = agentInfo(agent);
  return (
    <span class={`agent-mark agent-${agent}`} title={info.name} aria-label={info.name}>
      {info.mark}
    </span>
  );
}

export function Chip({ children, class: cls = "", title, onClick }: { children: ComponentChildren; class?: string; title?: string; onClick?: (e: MouseEvent) => void }) {
  if (onClick) {
    return (
      <button type="button" class={`chip chip-button ${cls}`} title={title} onClick={(e) => { e.stopPropagation(); onClick(e); }}>
        {children}
      </button>
    );
  }
  return <span class={`chip ${cls}`} title={title}>{children}</span>;
}

export function Spinner() {
  return <span class="spinner" aria-hidden="true" />;
}

interface SwitchProps {
  checked: boolean;
  onChange: (on: boolean) => void;
  label: string;
  disabled?: boolean;
}

export function Switch({ checked, onChange, label, disabled }: SwitchProps) {
  return (
    <button
      type="button"
      role="switch"
      class="switch"
      aria-checked={checked}
      aria-label={label}
      disabled={disabled}
      onClick={() => onChange(!checked)}
    >
      <span class="switch-knob" />
    </button>
  );
}

interface SegmentedProps<T extends string | number> {
  value: T;
  options: { value: T; label: string }[];
  onChange: (v: T) => void;
  label: string;
}

export function Segmented<T extends string | number>({ value, options, onChange, label }: SegmentedProps<T>) {
  return (
    <div class="segmented" role="radiogroup" aria-label={label}>
      {options.map((o) => (
        <button
          type="button"
          role="radio"
          aria-checked={o.value === value}
          class={o.value === value ? "on" : ""}
          onClick={() => onChange(o.value)}
        >
          {o.label}
        </button>
      ))}
    </div>
  );
}

/** A key cap. Inside a button it is decoration (`hint`): the button's name stays its label. */
export function Kbd({ children, hint = false }: { children: ComponentChildren; hint?: boolean }) {
  return <kbd class="kbd" aria-hidden={hint ? "true" : undefined}>{children}</kbd>;
}

export type ButtonProps = ButtonHTMLAttributes<HTMLButtonElement> & { variant?: "primary" | "danger" | "quiet" | "plain" };

export function Button({ variant = "plain", class: cls, ...rest }: ButtonProps) {
  return <button type="button" class={`btn btn-${variant} ${cls ?? ""}`} {...rest} />;
}
