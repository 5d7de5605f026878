// Shared by the end-to-end tests and the screenshot script: Debian's Chromium through
// playwright-core (which never downloads a browser of its own), and a tiny static server.

import { createServer } from "node:http";
import { mkdtempSync, readFileSync, rmSync, existsSync, statSync } from "node:fs";
import { tmpdir } from "node:os";
import { extname, join, normalize, resolve } from "node:path";
import { chromium } from "playwright-core";

export const CHROMIUM = process.env.TALVANE_CHROMIUM || "/usr/bin/chromium";

const FLAGS = [
  "--no-sandbox",
  "--disable-gpu",
  "--disable-background-networking",
  "--disable-component-update",
  "--no-first-run",
  "--hide-scrollbars",
];

/** A headless Chromium with a fresh profile; close() also removes the profile. */
export async function launch({ width = 720, height = 640, scale = 2 } = {}) {
  if (!existsSync(CHROMIUM)) throw new Error(`no Chromium at ${CHROMIUM} (apt-get install chromium)`);
  const profile = mkdtempSync(join(tmpdir(), "talvane-chromium-"));
  const context = await chromium.launchPersistentContext(profile, {
    executablePath: CHROMIUM,
    headless: true,
    args: FLAGS,
    viewport: { width, height },
    deviceScaleFactor: scale,
  });
  return {
    context,
    async close() {
      await context.close();
      rmSync(profile, { recursive: true, force: true });
    },
  };
}

const TYPES = {
  ".html": "text/html; charset=utf-8",
  ".js": "text/javascript; charset=utf-8",
  ".css": "text/css; charset=utf-8",
  ".map": "application/json",
  ".svg": "image/svg+xml",
  ".png": "image/png",
};

/** Serves a directory on 127.0.0.1 at a free port. */
export async function serve(dir) {
  const root = resolve(dir);
  const server = createServer((req, res) => {
    const path = decodeURIComponent(new URL(req.url ?? "/", "http://x").pathname);
    let file = normalize(join(root, path === "/" ? "index.html" : path));
    if (!file.startsWith(root) || !existsSync(file) || statSync(file).isDirectory()) {
      res.writeHead(404).end();
      return;
    }
    res.writeHead(200, { "Content-Type": TYPES[extname(file)] ?? "application/octet-stream", "Cache-Control": "no-cache" });
    res.end(readFileSync(file));
  });
  await new Promise((ok) => server.listen(0, "127.0.0.1", ok));
  const { port } = server.address();
  return { url: `http://127.0.0.1:${port}/`, close: () => new Promise((ok) => server.close(ok)) };
}
