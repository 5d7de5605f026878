// End-to-end tests of the page against the running app's browser stage.
// `make test-e2e` passes TALVANE_BIN (the build's bin directory). Without an app binary there
// is nothing to drive, and the run says so and succeeds.

import { existsSync, readdirSync } from "node:fs";
import { join, dirname } from "node:path";
import { fileURLToPath } from "node:url";

const here = dirname(fileURLToPath(import.meta.url));
const bin = process.env.TALVANE_BIN ? join(process.env.TALVANE_BIN, "talvane") : process.argv[2];

if (!bin || !existsSync(bin)) {
  console.log(`e2e: skipped, no app binary${bin ? ` at ${bin}` : " given"} (set TALVANE_BIN to the build's bin directory)`);
  process.exit(0);
}

const tests = readdirSync(here).filter((f) => f.endsWith(".e2e.mjs")).sort();
if (tests.length === 0) {
  console.log("e2e: no end-to-end tests yet (they arrive with the app's browser stage)");
  process.exit(0);
}

let failed = 0;
for (const t of tests) {
  try {
    const mod = await import(join(here, t));
    await mod.default({ bin });
    console.log(`ok   ${t}`);
  } catch (e) {
    failed++;
    console.log(`FAIL ${t}: ${e instanceof Error ? e.stack : e}`);
  }
}
console.log(`${tests.length - failed} passed, ${failed} failed`);
process.exit(failed ? 1 : 0);
