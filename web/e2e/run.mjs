// End-to-end tests of the page against the real app and relay, in Debian's Chromium.
// `make test-e2e` passes TALVANE_BIN (the build's bin directory). Without the binaries, the
// built page or Chromium there is nothing to drive: the run says so and succeeds, except in CI,
// where they must be there.

import { existsSync, readdirSync } from "node:fs";
import { join, dirname } from "node:path";
import { fileURLToPath } from "node:url";
import { run } from "node:test";
import { spec } from "node:test/reporters";
import { binaries, DIST } from "./app.mjs";
import { CHROMIUM } from "./browser.mjs";

const here = dirname(fileURLToPath(import.meta.url));
const ci = process.env.CI === "true";

const bin = binaries();
const missing = bin.missing
  ?? (!existsSync(join(DIST, "index.html")) ? `no built page in ${DIST} (npm run build)` : null)
  ?? (!existsSync(CHROMIUM) ? `no Chromium at ${CHROMIUM} (apt-get install chromium)` : null);
if (missing) {
  if (ci) {
    console.error(`e2e: cannot run: ${missing}`);
    process.exit(1);
  }
  console.log(`e2e: skipped: ${missing}`);
  process.exit(0);
}

const files = readdirSync(here).filter((f) => f.endsWith(".e2e.mjs")).sort().map((f) => join(here, f));
if (files.length === 0) {
  console.error("e2e: no test files");
  process.exit(1);
}

let passed = 0;
let failed = 0;
let skipped = 0;
// A file (its tests run one by one, each with 60 s) has 300 s; the whole run is cut off well
// before CI would lose patience.
// E2E_GREP=text runs only the tests whose names contain it.
const only = process.env.E2E_GREP ? { testNamePatterns: [process.env.E2E_GREP] } : {};
const stream = run({ files, concurrency: 1, timeout: 300_000, signal: AbortSignal.timeout(540_000), ...only });
stream.on("test:pass", (t) => {
  if (t.details?.type === "suite") return;
  if (t.skip || t.todo) skipped++;
  else passed++;
});
stream.on("test:fail", (t) => {
  if (t.details?.type === "suite") return;
  failed++;
});
stream.compose(spec).pipe(process.stdout);
await new Promise((ok) => stream.once("end", ok));
// The test reporter may still be writing; let it finish before the closing line.
await new Promise((ok) => setImmediate(ok));
if (passed === 0 && failed === 0) failed = 1; // a run that ran nothing is not a pass
console.log(`e2e: ${passed} passed, ${failed} failed${skipped ? `, ${skipped} skipped` : ""}`);
process.exitCode = failed ? 1 : 0;
