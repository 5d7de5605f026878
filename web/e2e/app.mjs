// The real app and the real relay for the end-to-end tests: each app runs in a home of its own
// (HOME and XDG_* point into a fresh temporary directory), serves the built page to browsers
// on a free port, and is ended with everything it started even when a test fails.

import { spawn } from "node:child_process";
import { existsSync, mkdirSync, mkdtempSync, readFileSync, rmSync, writeFileSync } from "node:fs";
import { tmpdir } from "node:os";
import { dirname, join, resolve } from "node:path";
import { fileURLToPath } from "node:url";

const here = dirname(fileURLToPath(import.meta.url));
export const WEB_DIR = resolve(here, "..");
export const DIST = join(WEB_DIR, "dist");
export const SHOTS = process.env.SHOTS_DIR || resolve(WEB_DIR, "../build/screenshots");

/** The build's bin directory, or null with the reason. */
export function binaries(dir = process.env.TALVANE_BIN) {
  if (!dir) return { missing: "TALVANE_BIN is not set (the build's bin directory)" };
  const app = join(dir, "talvane");
  const hook = join(dir, "talvane-hook");
  for (const f of [app, hook]) if (!existsSync(f)) return { missing: `no ${f}` };
  return { app, hook };
}

// A test that dies half-way still must not leave an app or a relay behind.
const live = new Set();
const homes = new Set();
function reap() {
  for (const child of live) {
    try {
      child.kill("SIGKILL");
    } catch {
      // already gone
    }
  }
  live.clear();
  for (const h of homes) rmSync(h, { recursive: true, force: true });
  homes.clear();
}
process.on("exit", reap);
for (const sig of ["SIGINT", "SIGTERM"]) {
  process.once(sig, () => {
    reap();
    process.exit(130);
  });
}

function track(child) {
  live.add(child);
  child.once("exit", () => live.delete(child));
  return child;
}

function exited(child) {
  if (child.exitCode !== null || child.signalCode !== null) return Promise.resolve({ code: child.exitCode, signal: child.signalCode });
  return new Promise((ok) => child.once("exit", (code, signal) => ok({ code, signal })));
}

function within(promise, ms, what) {
  let timer;
  const late = new Promise((_, fail) => {
    timer = setTimeout(() => fail(new Error(`${what}: nothing after ${ms} ms`)), ms);
  });
  return Promise.race([promise, late]).finally(() => clearTimeout(timer));
}

/** Ends a process politely, then firmly. */
async function end(child, graceMs = 3000) {
  if (child.exitCode !== null || child.signalCode !== null) return { code: child.exitCode, signal: child.signalCode };
  child.kill("SIGTERM");
  try {
    return await within(exited(child), graceMs, "exit");
  } catch {
    child.kill("SIGKILL");
    return exited(child);
  }
}

export class App {
  constructor(bin, home, child) {
    this.bin = bin;
    this.home = home;
    this.child = child;
    this.url = "";
    this.stderr = "";
    this.relays = [];
    child.stderr.setEncoding("utf8");
    child.stderr.on("data", (d) => {
      this.stderr += d;
    });
  }

  /** Starts `talvane --web --port 0` in a fresh home; resolves once it printed its address. */
  static async start(bin, { settings = { onboarded: true, replyWindow: 120 } } = {}) {
    const home = mkdtempSync(join(tmpdir(), "talvane-e2e-"));
    homes.add(home);
    const config = join(home, ".config");
    mkdirSync(join(config, "talvane"), { recursive: true });
    if (settings) writeFileSync(join(config, "talvane", "settings.json"), JSON.stringify(settings));
    const runtime = join(home, ".run");
    mkdirSync(runtime, { mode: 0o700 });
    const env = {
      PATH: process.env.PATH ?? "/usr/bin:/bin",
      LANG: "C.UTF-8",
      HOME: home,
      XDG_CONFIG_HOME: config,
      XDG_DATA_HOME: join(home, ".local", "share"),
      XDG_STATE_HOME: join(home, ".local", "state"),
      XDG_CACHE_HOME: join(home, ".cache"),
      XDG_RUNTIME_DIR: runtime,
      TALVANE_WEB_DIR: DIST,
    };
    const child = track(spawn(bin.app, ["--web", "--port", "0"], { env, cwd: home, stdio: ["ignore", "pipe", "pipe"] }));
    const app = new App(bin, home, child);
    child.stdout.setEncoding("utf8");
    let out = "";
    const address = new Promise((ok, fail) => {
      child.stdout.on("data", (d) => {
        out += d;
        const m = /Talvane panel: (http:\/\/127\.0\.0\.1:\d+\/\?token=[0-9A-Za-z]+)/.exec(out);
        if (m) ok(m[1]);
      });
      child.once("exit", (code, signal) => fail(new Error(`the app ended (${code ?? signal}) before serving the panel\n${app.stderr}`)));
      child.once("error", fail);
    });
    try {
      app.url = await within(address, 15000, "the app's panel address");
    } catch (e) {
      await app.stop();
      throw e;
    }
    return app;
  }

  get settingsFile() {
    return join(this.home, ".config", "talvane", "settings.json");
  }

  /** The stored preferences as the app wrote them. */
  settings() {
    return JSON.parse(readFileSync(this.settingsFile, "utf8"));
  }

  /** Runs `talvane-hook claude` with one Claude Code hook payload on its standard input. */
  relay(payload) {
    const child = track(
      spawn(this.bin.hook, ["claude"], {
        env: { PATH: process.env.PATH ?? "/usr/bin:/bin", HOME: this.home },
        cwd: this.home,
        stdio: ["pipe", "pipe", "pipe"],
      }),
    );
    const relay = new Relay(child);
    this.relays.push(relay);
    child.stdin.end(JSON.stringify(payload));
    return relay;
  }

  /** Ends the relays and the app; removes the home. Safe to call twice. */
  async stop() {
    const result = await Promise.all([end(this.child), ...this.relays.map((r) => end(r.child, 500))]);
    rmSync(this.home, { recursive: true, force: true });
    homes.delete(this.home);
    return result[0];
  }

  /** Ends the app the way a user quits it (SIGTERM), keeping its home for inspection. */
  async quit() {
    return end(this.child);
  }
}

export class Relay {
  constructor(child) {
    this.child = child;
    this.stdout = "";
    this.stderr = "";
    child.stdout.setEncoding("utf8");
    child.stderr.setEncoding("utf8");
    child.stdout.on("data", (d) => {
      this.stdout += d;
    });
    child.stderr.on("data", (d) => {
      this.stderr += d;
    });
    child.stdin.on("error", () => {});
    this.done = exited(child);
  }

  get running() {
    return this.child.exitCode === null && this.child.signalCode === null;
  }

  /** Waits for the relay to end: { code, signal, stdout, stderr }. */
  async result(ms = 10000) {
    const r = await within(this.done, ms, "the relay's answer");
    return { ...r, stdout: this.stdout, stderr: this.stderr };
  }

  /** The agent goes away while the relay waits (its hook timed out). */
  kill() {
    this.child.kill("SIGKILL");
    return this.done;
  }
}

/** Polls `fn` until it returns a truthy value. */
export async function until(fn, ms = 5000, what = "condition") {
  const deadline = Date.now() + ms;
  let last;
  for (;;) {
    try {
      const v = await fn();
      if (v) return v;
    } catch (e) {
      last = e;
    }
    if (Date.now() > deadline) throw new Error(`${what}: not met within ${ms} ms${last ? ` (${last.message})` : ""}`);
    await new Promise((ok) => setTimeout(ok, 50));
  }
}
