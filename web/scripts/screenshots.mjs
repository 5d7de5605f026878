// Photographs the page fed by the demo harness: `npm run build && npm run screenshots`.
// Pictures go to ../build/screenshots (outside the repository's tracked files).

import { mkdirSync } from "node:fs";
import { dirname, join, resolve } from "node:path";
import { fileURLToPath } from "node:url";
import { launch, serve } from "../e2e/browser.mjs";

const web = resolve(dirname(fileURLToPath(import.meta.url)), "..");
const out = process.env.SHOTS_DIR || resolve(web, "../build/screenshots");
mkdirSync(out, { recursive: true });

const TOP = { x: 160, y: 0, width: 400, height: 90 };

const shots = [
  { name: "01-closed-pill", query: "mock", clip: TOP },
  { name: "02-closed-notch", query: "mock&shape=notch", clip: TOP },
  { name: "03-closed-calm", query: "mock&scene=calm", clip: TOP },
  { name: "03b-closed-empty-light", query: "mock&scene=empty&theme=light", clip: TOP },
  { name: "04-open-requests", query: "mock&open" },
  { name: "05-open-keys", query: "mock&open&keys" },
  { name: "05b-keys-question", query: "mock&open&keys", act: async (p) => { await p.keyboard.press("j"); await p.keyboard.press("2"); } },
  { name: "06-open-light", query: "mock&open&theme=light" },
  { name: "07-open-notch-talk", query: "mock&open&shape=notch&talk=listening" },
  { name: "08-open-bottom", query: "mock&open&anchor=bottom&scene=calm" },
  { name: "09-settings", query: "mock&view=settings" },
  { name: "09b-settings-bottom", query: "mock&view=settings", act: async (p) => { await p.evaluate(() => { const b = document.querySelector(".panel-body"); if (b) b.scrollTop = b.scrollHeight; }); } },
  { name: "10-settings-light", query: "mock&view=settings&theme=light" },
  { name: "11-usage", query: "mock&open", act: async (p) => { await p.click(".panel-head .chip.cost"); } },
  { name: "12-first-run", query: "mock&open&scene=first" },
  { name: "13-tour", query: "mock&open&tour&scene=calm" },
  { name: "15-hello", query: "mock&hello&scene=calm", clip: TOP, wait: 350 },
  { name: "16-empty-open-light", query: "mock&open&scene=empty&theme=light" },
  { name: "17-docked-left", query: "mock&edge=left&scene=calm", clip: { x: 0, y: 0, width: 400, height: 90 } },
  { name: "14-questions-scrolled", query: "mock&open", act: async (p) => { await p.click('.card[data-id="cursor:c21"]'); await p.keyboard.press("2"); } },
];

const onboarding = ["welcome", "agents", "settings", "done"];

const server = await serve(join(web, "dist"));
const browser = await launch();
try {
  for (const s of shots) {
    const page = await browser.context.newPage();
    await page.goto(`${server.url}?${s.query}`);
    await page.waitForSelector(".shell");
    await page.waitForTimeout(s.wait ?? 500);
    if (s.act) {
      await s.act(page);
      await page.waitForTimeout(500);
    }
    await page.screenshot({ path: join(out, `${s.name}.png`), clip: s.clip });
    await page.close();
  }
  const page = await browser.context.newPage();
  await page.setViewportSize({ width: 460, height: 560 });
  await page.goto(`${server.url}?mock&onboard&scene=first`);
  await page.waitForSelector(".onboarding");
  for (let i = 0; i < onboarding.length; i++) {
    await page.waitForTimeout(800);
    await page.screenshot({ path: join(out, `20-onboarding-${i + 1}-${onboarding[i]}.png`) });
    if (i + 1 < onboarding.length) await page.click(".setup-foot .btn-primary");
  }
  await page.close();
  console.log(`screenshots in ${out}`);
} finally {
  await browser.close();
  await server.close();
}
