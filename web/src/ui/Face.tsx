import type { Pose } from "../protocol";

// Nine colour slots, distinct in hue and readable on both the dark and the light panel.
export const SLOT_COLORS = [
  "#ff7a59", // coral
  "#ffb224", // amber
  "#9bd54a", // lime
  "#2fc48d", // emerald
  "#2bc2d9", // cyan
  "#5e9bff", // blue
  "#a27dff", // violet
  "#ff6fb4", // pink
  "#d2a679", // sand
];

export function slotColor(color: number): string {
  const i = Number.isFinite(color) ? ((Math.trunc(color) % 9) + 9) % 9 : 0;
  return SLOT_COLORS[i]!;
}

interface Props {
  color: number;
  pose: Pose;
  size?: number;
  label?: string;
}

/**
 * The session's little face, drawn from the tray icon's geometry in an 18 × 18 box: a rounded
 * head, three sprouts above it, two oval eyes. The pose picks its animation (styles.css).
 */
export function Face({ color, pose, size = 18, label }: Props) {
  return (
    <svg
      class={`face pose-${pose}`}
      width={size}
      height={size}
      viewBox="0 0 18 18"
      role="img"
      aria-label={label ?? pose}
      style={{ "--face": slotColor(color) }}
    >
      <g class="face-body">
        <g class="face-sprouts">
          <ellipse cx="6.9" cy="4.8" rx="1.3" ry="1.6" />
          <ellipse cx="9.1" cy="3.8" rx="1.4" ry="1.8" />
          <ellipse cx="11.25" cy="4.7" rx="1.25" ry="1.5" />
        </g>
        <rect class="face-head" x="2" y="5" width="14" height="11" rx="5.5" />
        <rect class="face-tint" x="2" y="5" width="14" height="11" rx="5.5" />
        <g class="face-eyes">
          <ellipse class="face-eye" cx="6.7" cy="10" rx="1.1" ry="1.4" />
          <ellipse class="face-eye" cx="11.3" cy="10" rx="1.1" ry="1.4" />
        </g>
      </g>
    </svg>
  );
}
