// Realistic snapshots for looking at the page without the app: every request kind, every
// mood and pose. Shaped exactly like the app's JSON (plain objects, times in milliseconds).

import { DEFAULT_GEO } from "../protocol";

type Json = Record<string, unknown>;

const SEC = 1000;
const MIN = 60 * SEC;

export function settings(over: Json = {}): Json {
  return {
    shape: "auto",
    replyWindow: 15,
    hideAfter: 120,
    autoOpen: false,
    openAtLogin: true,
    autoUpdate: true,
    optionTap: true,
    optionTapReady: true,
    glass: false,
    theme: "auto",
    hooksInstalled: true,
    cursorInstalled: true,
    cursorAvailable: true,
    version: "1.4.2",
    integrations: [
      { id: "gemini", label: "Gemini CLI", available: true, installed: true },
      { id: "droid", label: "Droid", available: true, installed: false },
      { id: "opencode", label: "OpenCode", available: false, installed: false },
      { id: "copilot", label: "Copilot CLI", available: true, installed: true },
      { id: "windsurf", label: "Windsurf", available: false, installed: false },
    ],
    openKey: "Ctrl+Alt+R",
    talkKey: "Ctrl+Alt+T",
    notifications: "requests",
    sound: true,
    remotes: {
      hosts: [
        { destination: "me@devbox", machine: "devbox", state: "connected", detail: "", codex: true },
        { destination: "ci-runner:2222", machine: "ci-runner", state: "authentication", detail: "needs key or agent authentication (no password prompt): Permission denied (publickey).", codex: false },
      ],
      busy: null,
      message: "",
    },
    ...over,
  };
}

export function geo(over: Json = {}): Json {
  return { ...DEFAULT_GEO, ...over };
}

export function sessions(now: number): Json[] {
  return [
    {
      id: "claude:7f3a",
      agent: "claude",
      color: 0,
      title: "Make the panel header readable on the light theme",
      project: "web-app",
      mood: "waiting",
      activity: "Running npm run test -- --coverage src/components",
      updated: now - 4 * SEC,
      tools: [
        { label: "Reading PanelHeader.tsx", running: false, failed: false },
        { label: "Editing PanelHeader.tsx", running: false, failed: false },
        { label: "Searching useTheme", running: false, failed: false },
        { label: "Running npm run test -- --coverage src/components", running: true, failed: false },
      ],
      phase: "reviewing",
      turnCalls: 9,
      tally: [
        { tool: "Bash", detail: "npm run test -- --coverage", count: 2, kind: "review" },
        { tool: "Edit", detail: "PanelHeader.tsx", count: 3, kind: "write" },
        { tool: "Grep", detail: "useTheme", count: 1, kind: "research" },
        { tool: "Read", detail: "theme.css", count: 3, kind: "research" },
      ],
      family: "terminal",
      pose: "alert",
      stats: { cost: 3.42, model: "Opus 4.1", context: 0.62, contextTokens: 124_310, turnStart: now - 4 * MIN - 12 * SEC },
      branch: "feat/notch-panel-light-theme",
      host: "Ghostty",
      pending: {
        id: "claude:7f3a:perm-19",
        engaged: false,
        since: now - 40 * SEC,
        kind: "permission",
        title: "Wants to run",
        detail:
          "npm run test -- --coverage --reporter=verbose src/components/__tests__/PanelHeader.test.tsx src/components/__tests__/ThemeToggle.test.tsx && git diff --stat",
        tool: "Bash",
      },
      pr: {
        number: 482,
        title: "Light theme for the panel",
        url: "https://github.com/example/web-app/pull/482",
        state: "OPEN",
        draft: false,
        passed: 12,
        failed: 1,
        running: 2,
        conflicts: false,
        review: "REVIEW_REQUIRED",
      },
    },
    {
      id: "cursor:c21",
      agent: "cursor",
      color: 5,
      title: "Add rate limiting to the public endpoints",
      project: "api-gateway",
      mood: "waiting",
      activity: "Asking you",
      updated: now - 20 * SEC,
      tools: [
        { label: "Reading limiter.go", running: false, failed: false },
        { label: "Asking you", running: true, failed: false },
      ],
      phase: "researching",
      turnCalls: 4,
      tally: [{ tool: "Read", detail: "limiter.go", count: 4, kind: "research" }],
      family: "cursor",
      pose: "listen",
      stats: { cost: 0, model: "gpt-5", turnStart: now - 95 * SEC },
      branch: "rate-limits",
      host: "Cursor",
      pending: {
        id: "cursor:c21:q-2",
        engaged: false,
        since: now - 30 * SEC,
        kind: "question",
        questions: [
          {
            header: "Storage",
            text: "Where should the counters live?",
            multi: false,
            options: [
              { label: "Redis", detail: "Shared across instances; needs the cache cluster" },
              { label: "In memory", detail: "Per instance; simplest, resets on deploy" },
            ],
          },
          {
            header: "Scope",
            text: "Which routes get limits?",
            multi: true,
            options: [
              { label: "/v1/search", detail: "" },
              { label: "/v1/export", detail: "Heavy: one request builds a CSV" },
              { label: "/v1/auth/*", detail: "" },
            ],
          },
        ],
      },
    },
    {
      id: "copilot:88",
      agent: "copilot",
      color: 7,
      title: "Upgrade the Terraform AWS provider",
      project: "infra",
      mood: "waiting",
      activity: "Waiting in the terminal",
      updated: now - 50 * SEC,
      tools: [],
      phase: "reasoning",
      turnCalls: 0,
      tally: [],
      family: "terminal",
      pose: "alert",
      stats: { cost: 0 },
      host: "kitty",
      pending: {
        id: "copilot:88:e",
        engaged: false,
        since: now - 15 * SEC,
        kind: "elsewhere",
        title: "Copilot CLI asks in its terminal whether to trust this folder",
      },
    },
    {
      id: "gemini:d0t",
      agent: "gemini",
      color: 2,
      title: "Lazy-load nvm in zsh",
      project: "dotfiles",
      machine: "devbox",
      remote: "me@devbox",
      mood: "done",
      activity: "Finished",
      updated: now - 3 * SEC,
      tools: [
        { label: "Reading .zshrc", running: false, failed: false },
        { label: "Editing .zshrc", running: false, failed: false },
        { label: "Running zsh -i -c exit", running: false, failed: false },
      ],
      phase: "writing",
      turnCalls: 3,
      tally: [
        { tool: "Bash", detail: "zsh -i -c exit", count: 1, kind: "review" },
        { tool: "Edit", detail: ".zshrc", count: 1, kind: "write" },
        { tool: "Read", detail: ".zshrc", count: 1, kind: "research" },
      ],
      family: "terminal",
      pose: "success",
      stats: { cost: 0.18, model: "gemini-2.5-pro", context: 0.21, contextTokens: 210_000, turnStart: now - 64 * SEC, turnEnd: now - 3 * SEC },
      host: "GNOME Terminal",
      pending: {
        id: "gemini:d0t:reply",
        engaged: false,
        since: now - 3 * SEC,
        kind: "reply",
        message:
          "nvm now loads on first use of node, npm or npx, which takes shell start-up from 410 ms to 38 ms. I kept your aliases and moved the PATH tweaks above the lazy loader so global binaries still resolve. Want me to do the same for pyenv?",
        expires: now + 11 * SEC,
        window: 15 * SEC,
      },
    },
    {
      id: "codex:rollout-3",
      agent: "codex",
      color: 3,
      title: "Speed up the parquet loader",
      project: "ml-pipeline",
      mood: "working",
      activity: "Editing loader.py",
      updated: now - 1 * SEC,
      tools: [
        { label: "Running pytest -x tests/test_loader.py", running: false, failed: true },
        { label: "Reading loader.py", running: false, failed: false },
        { label: "Editing loader.py", running: true, failed: false },
      ],
      phase: "writing",
      turnCalls: 7,
      tally: [
        { tool: "Edit", detail: "loader.py", count: 2, kind: "write" },
        { tool: "Read", detail: "loader.py", count: 3, kind: "research" },
        { tool: "Bash", detail: "pytest -x tests/test_loader.py", count: 2, kind: "review" },
      ],
      family: "codex",
      pose: "write",
      stats: { cost: 0, model: "gpt-5-codex", context: 0.86, contextTokens: 233_000, turnStart: now - 11 * MIN - 40 * SEC },
      branch: "perf/loader",
      pr: {
        number: 91,
        title: "Faster parquet loading",
        url: "https://github.com/example/ml-pipeline/pull/91",
        state: "OPEN",
        draft: true,
        passed: 4,
        failed: 0,
        running: 1,
        conflicts: true,
      },
    },
    {
      id: "droid:m0b",
      agent: "droid",
      color: 6,
      title: "Fix <Header> flicker in <b>dark</b> mode <img src=x onerror=alert(1)>",
      project: "mobile",
      mood: "working",
      activity: "Running ./gradlew :app:testDebugUnitTest",
      updated: now - 2 * SEC,
      tools: [
        { label: "Editing Header.kt", running: false, failed: false },
        { label: "Running ./gradlew :app:testDebugUnitTest", running: false, failed: true },
      ],
      phase: "reviewing",
      turnCalls: 5,
      tally: [
        { tool: "Bash", detail: "./gradlew :app:testDebugUnitTest", count: 2, kind: "review" },
        { tool: "Edit", detail: "Header.kt", count: 3, kind: "write" },
      ],
      family: "desktop",
      pose: "error",
      stats: { cost: 1.07, model: "Sonnet 4.5", context: 0.34, contextTokens: 68_000, turnStart: now - 2 * MIN - 5 * SEC },
      branch: "fix/header-flicker",
    },
    {
      id: "opencode:k9",
      agent: "opencode",
      color: 4,
      title: "Write the migration guide",
      project: "docs",
      mood: "working",
      activity: "Thinking",
      updated: now - 6 * SEC,
      tools: [{ label: "Reading CHANGELOG.md", running: false, failed: false }],
      phase: "reasoning",
      turnCalls: 1,
      tally: [{ tool: "Read", detail: "CHANGELOG.md", count: 1, kind: "research" }],
      family: "terminal",
      pose: "think",
      stats: { cost: 0, model: "kimi-k2", turnStart: now - 38 * SEC },
    },
    {
      id: "claude:n0t3",
      agent: "claude",
      color: 1,
      title: "Summarise this week's incidents",
      project: "notes",
      mood: "done",
      activity: "Finished",
      updated: now - 6 * MIN,
      tools: [],
      phase: "reasoning",
      turnCalls: 2,
      tally: [],
      family: "editor",
      pose: "idle",
      stats: { cost: 0.41, model: "Sonnet 4.5", context: 0.12, contextTokens: 24_000, turnStart: now - 8 * MIN, turnEnd: now - 6 * MIN },
      host: "VS Code",
      pr: {
        number: 17,
        title: "Incident notes",
        url: "https://github.com/example/notes/pull/17",
        state: "MERGED",
        draft: false,
        passed: 3,
        failed: 0,
        running: 0,
        conflicts: false,
        review: "APPROVED",
      },
    },
    {
      id: "claude:0ld",
      agent: "claude",
      color: 8,
      title: "Bump dependencies",
      project: "scratch",
      mood: "idle",
      activity: "Finished",
      updated: now - 48 * MIN,
      tools: [],
      phase: "reasoning",
      turnCalls: 0,
      tally: [],
      family: "terminal",
      pose: "sleep",
      stats: { cost: 0.06, model: "Haiku 4.5", turnStart: now - 52 * MIN, turnEnd: now - 48 * MIN },
    },
  ];
}

export type SceneName = "busy" | "calm" | "empty" | "first";

export function scene(name: SceneName, now: number): Json {
  let list = sessions(now);
  if (name === "calm") list = list.filter((s) => !s["pending"]).slice(0, 3);
  if (name === "empty" || name === "first") list = [];
  const queue = list
    .filter((s) => s["pending"])
    .sort((a, b) => ((a["pending"] as Json)["since"] as number) - ((b["pending"] as Json)["since"] as number))
    .map((s) => s["id"]);
  const state: Json = {
    type: "state",
    open: false,
    sessions: list,
    selected: queue[0] ?? list[0]?.["id"] ?? null,
    focus: list[0]?.["id"] ?? null,
    queue,
    canUndo: false,
    settings: settings(name === "first" ? { hooksInstalled: false, cursorInstalled: false } : {}),
    now,
    geo: geo(),
    trace: false,
  };
  if (name === "busy") {
    state["flash"] = "codex:rollout-3";
    state["prNews"] = { id: "claude:n0t3", kind: "merged" };
  }
  if (name === "first") state["firstRun"] = true;
  return state;
}

export function usage(): Json {
  return {
    type: "usage",
    today: 14.87,
    models: [
      { model: "Opus 4.1", cost: 11.2, tokens: 1_482_000 },
      { model: "Sonnet 4.5", cost: 3.48, tokens: 2_310_500 },
      { model: "Haiku 4.5", cost: 0.19, tokens: 402_100 },
    ],
  };
}
