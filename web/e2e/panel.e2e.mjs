// The panel in Debian's Chromium against the real app and the real relay: a Claude Code hook
// payload goes in through `talvane-hook`, the request shows up in the page, the user answers
// it there, and the relay prints exactly what Claude Code will read.

import assert from "node:assert/strict";
import { randomUUID } from "node:crypto";
import { mkdirSync } from "node:fs";
import { createServer } from "node:http";
import { join } from "node:path";
import { after, afterEach, before, test } from "node:test";
import { launch } from "./browser.mjs";
import { App, SHOTS, binaries, until } from "./app.mjs";

const bin = binaries();
if (bin.missing) throw new Error(`e2e: ${bin.missing}`);
mkdirSync(SHOTS, { recursive: true });

// A quiet panel (no peeking open) and a long reply window, unless a test says otherwise.
const SETTINGS = { onboarded: true, replyWindow: 120, autoOpen: false };

const ALLOW = { hookSpecificOutput: { hookEventName: "PermissionRequest", decision: { behavior: "allow" } } };

let browser;
// What the current test started; afterEach ends it whatever happened.
let current = { app: null, page: null, errors: [] };

const HOOK = { timeout: 30_000 };

before(async () => {
  browser = await launch({ width: 720, height: 640, scale: 2 });
}, HOOK);

after(async () => {
  await browser?.close();
}, HOOK);

afterEach(async () => {
  const { app, page } = current;
  current = { app: null, page: null, errors: [] };
  await page?.close().catch(() => {});
  await browser?.context.clearCookies().catch(() => {});
  await app?.stop();
}, HOOK);

/** A fresh app in its own home, and the page opened at its address. */
async function start(settings = {}) {
  const app = await App.start(bin, { settings: { ...SETTINGS, ...settings } });
  current.app = app;
  const page = await browser.context.newPage();
  current.page = page;
  page.on("pageerror", (e) => current.errors.push(`page error: ${e.message}`));
  page.on("console", (m) => {
    if (m.type() === "error") current.errors.push(`console: ${m.text()}`);
  });
  await page.goto(app.url);
  // The strip is labelled "Talvane" only until the app's first state has arrived.
  await page.waitForFunction(() => {
    const strip = document.querySelector(".strip");
    return !!document.querySelector(".panel") || (!!strip && strip.getAttribute("aria-label") !== "Talvane");
  });
  return { app, page };
}

/** A test whose failure also shows what the app wrote on stderr. */
function e2e(name, fn) {
  test(name, { timeout: 60_000 }, async () => {
    try {
      await fn();
    } catch (e) {
      const log = current.app?.stderr.trim();
      if (log && e instanceof Error) e.message += `\n--- the app's stderr ---\n${log.slice(-4000)}`;
      throw e;
    }
  });
}

/**
 * What the user reads in an element. Cards off screen skip layout, and Chromium's innerText
 * gives nothing for skipped content, so this waits until the card has been laid out.
 */
function shown(locator, what = "text shown") {
  return until(async () => await locator.innerText(), 5000, what);
}

function noPageErrors() {
  assert.deepEqual(current.errors, [], "the page reported errors");
}

// The page draws one hidden copy of the panel soon after start (to warm it): only a panel in
// sight counts.
async function openPanel(page) {
  const open = page.locator(".panel:visible");
  if ((await open.count()) === 0) await page.click(".strip");
  await open.first().waitFor();
}

/** A picture of the stage around the shell (the strip or the panel). */
async function shot(page, name, { around = true } = {}) {
  await page.waitForTimeout(400); // let the shell's size transition settle
  let clip;
  if (around) {
    const box = await page.locator(".shell").boundingBox();
    const view = page.viewportSize();
    if (box && view) {
      const x = Math.max(0, Math.floor(box.x - 40));
      const y = Math.max(0, Math.floor(box.y - 10));
      clip = {
        x,
        y,
        width: Math.min(view.width - x, Math.ceil(box.width + 80)),
        height: Math.min(view.height - y, Math.ceil(box.height + 30)),
      };
    }
  }
  await page.screenshot({ path: join(SHOTS, `${name}.png`), clip });
}

/** The fields Claude Code puts in every hook payload. */
function payload(app, session, event, extra = {}) {
  const cwd = join(app.home, "code", "parser-kit");
  mkdirSync(cwd, { recursive: true });
  return {
    session_id: session,
    transcript_path: join(app.home, ".claude", "projects", "-code-parser-kit", `${session}.jsonl`),
    cwd,
    permission_mode: "default",
    hook_event_name: event,
    ...extra,
  };
}

const card = (page, session) => page.locator(`.card[data-id="claude:${session}"]`);
const button = (scope, name) => scope.getByRole("button", { name, exact: true });

/** The relay's whole output: one line holding one JSON object, exit status 0, nothing on stderr. */
async function answerOf(relay) {
  const r = await relay.result();
  assert.equal(r.code, 0, `relay exit (${r.signal ?? ""})`);
  assert.equal(r.stderr, "");
  assert.match(r.stdout, /^[^\n]+\n$/, "the answer is one line");
  return JSON.parse(r.stdout);
}

e2e("Allow on a permission request makes the relay print the allow decision", async () => {
  const { app, page } = await start();
  await shot(page, "e2e-01-strip-empty");

  const session = `sess-${randomUUID()}`;
  const relay = app.relay(
    payload(app, session, "PermissionRequest", {
      tool_name: "Bash",
      tool_input: { command: "rm -rf dist && npm run build", description: "Rebuild the bundle" },
      tool_use_id: "toolu_01PermAllow",
    }),
  );
  // The closed strip counts the waiting request.
  await page.waitForSelector(".strip .badge");
  assert.equal((await page.textContent(".strip .badge"))?.trim(), "1");
  await shot(page, "e2e-02-strip-waiting");

  await openPanel(page);
  const c = card(page, session);
  await c.locator(".req-permission").waitFor();
  assert.match(await shown(c.locator(".project")), /parser-kit/);
  assert.match(await shown(c.locator(".req-permission")), /rm -rf dist && npm run build/);
  await shot(page, "e2e-03-panel-permission");
  assert.ok(relay.running, "the relay waits while the card is up");

  await button(c, "Allow").click();
  assert.deepEqual(await answerOf(relay), ALLOW);
  // The card stays, without its request, and the session is back at work.
  await c.locator(".req").waitFor({ state: "detached" });
  await until(async () => /mood-working/.test((await c.getAttribute("class")) ?? ""), 5000, "session working");
  assert.equal(await page.locator(".strip .badge").count(), 0);
  noPageErrors();
});

e2e("the closed strip grows with its text as far as the app lets it", async () => {
  const { app, page } = await start();
  const strip = () =>
    page.evaluate(() => {
      const text = document.querySelector(".strip-text");
      return { w: document.querySelector(".shell").getBoundingClientRect().width, text: text?.textContent ?? "", cut: !!text && text.scrollWidth > text.clientWidth };
    });
  const session = `sess-${randomUUID()}`;
  await app.relay(payload(app, session, "PreToolUse", { tool_name: "Bash", tool_input: { command: "npm run build --workspace packages/web" }, tool_use_id: "toolu_long" })).result();
  // The page asks for the width, the app keeps it within 200..300 and sends it back, and the
  // page draws that: a long line reaches the widest pill and only then is cut.
  await until(async () => (await strip()).text.includes("npm run build"), 5000, "strip shows the command");
  await until(async () => (await strip()).w === 300, 5000, "pill at its widest");
  assert.equal((await strip()).cut, true);
  await shot(page, "e2e-02b-strip-widest");
  noPageErrors();
});

e2e("Deny makes the relay print the deny decision with its message", async () => {
  const { app, page } = await start({ autoOpen: true });
  const session = `sess-${randomUUID()}`;
  // No tool use id: the request still gets an id of its own and can be answered.
  const relay = app.relay(
    payload(app, session, "PermissionRequest", {
      tool_name: "Write",
      tool_input: { file_path: "/etc/hosts", content: "127.0.0.1 example\n" },
    }),
  );
  // With "Open by itself" on, the request opens the panel without a click.
  const c = card(page, session);
  await c.locator(".req-permission").waitFor();

  await button(c, "Deny").click();
  assert.deepEqual(await answerOf(relay), {
    hookSpecificOutput: {
      hookEventName: "PermissionRequest",
      decision: { behavior: "deny", message: "The user denied this from the notch." },
    },
  });
  await until(async () => (await c.locator(".activity").innerText()).includes("Denied from the notch"), 5000, "denied activity");
  noPageErrors();
});

e2e("picked options of a questions request reach the relay as answers", async () => {
  const { app, page } = await start();
  const session = `sess-${randomUUID()}`;
  const input = {
    questions: [
      {
        question: "Which database should the cache use?",
        header: "Database",
        multiSelect: false,
        options: [
          { label: "Postgres", description: "The one production runs" },
          { label: "SQLite", description: "A file next to the app" },
        ],
      },
      {
        question: "Which checks should run before each commit?",
        header: "Checks",
        multiSelect: true,
        options: [
          { label: "Lint", description: "" },
          { label: "Unit tests", description: "About 20 s" },
          { label: "Type check", description: "" },
        ],
      },
    ],
  };
  const relay = app.relay(payload(app, session, "PermissionRequest", { tool_name: "AskUserQuestion", tool_input: input, tool_use_id: "toolu_01Ask" }));
  await openPanel(page);
  const c = card(page, session);
  await c.locator(".req-question").waitFor();
  const [first, second] = [c.locator("fieldset.question").nth(0), c.locator("fieldset.question").nth(1)];
  // Cards are drawn in steps: wait for the question's own text rather than read it at once.
  await first.locator("legend", { hasText: /Which database should the cache use\?/ }).waitFor();

  const submit = button(c, "Send answers");
  assert.ok(await submit.isDisabled(), "nothing picked yet: cannot send");
  await first.getByRole("radio", { name: /SQLite/ }).click();
  assert.ok(await submit.isDisabled(), "the second question is still open");
  await second.getByRole("checkbox", { name: /Type check/ }).click();
  await second.getByRole("checkbox", { name: /Lint/ }).click();
  // A second click takes a pick back.
  await second.getByRole("checkbox", { name: /Type check/ }).click();
  await second.getByRole("checkbox", { name: /Unit tests/ }).click();
  assert.equal(await first.getByRole("radio", { name: /SQLite/ }).getAttribute("aria-checked"), "true");
  await shot(page, "e2e-04-panel-questions");

  await submit.click();
  assert.deepEqual(await answerOf(relay), {
    hookSpecificOutput: {
      hookEventName: "PermissionRequest",
      decision: {
        behavior: "allow",
        updatedInput: {
          ...input,
          answers: {
            "Which database should the cache use?": "SQLite",
            "Which checks should run before each commit?": "Lint, Unit tests",
          },
        },
      },
    },
  });
  await c.locator(".req").waitFor({ state: "detached" });
  noPageErrors();
});

e2e("a reply typed after Stop reaches the relay as the user's next message", async () => {
  const { app, page } = await start({ theme: "dark" });
  const session = `sess-${randomUUID()}`;
  const last = "I split the parser into a lexer and a grammar module. Should I also port the old tests?";
  const relay = app.relay(payload(app, session, "Stop", { stop_hook_active: false, last_assistant_message: `\n${last}\n` }));
  await openPanel(page);
  const c = card(page, session);
  await c.locator(".req-reply").waitFor();
  assert.equal(await shown(c.locator(".reply-text")), last);

  // Two lines: Shift+Enter breaks the line, Enter sends.
  const field = c.getByRole("textbox", { name: /Reply to/ });
  await field.click();
  await page.keyboard.type("Yes, port them");
  await page.keyboard.press("Shift+Enter");
  await page.keyboard.type("and keep the \"golden\" files.");
  await shot(page, "e2e-05-panel-reply");
  assert.ok(relay.running, "the reply offer still waits");
  await page.keyboard.press("Enter");

  const text = 'Yes, port them\nand keep the "golden" files.';
  assert.deepEqual(await answerOf(relay), {
    hookSpecificOutput: {
      hookEventName: "Stop",
      additionalContext: `The user replied from the Talvane notch. Treat this as their next message:\n\n${text}`,
    },
    systemMessage: `Replied from the notch: ${text}`,
  });
  // The reply starts the next turn.
  await c.locator(".req").waitFor({ state: "detached" });
  await until(async () => (await c.locator(".activity").innerText()).includes("Thinking"), 5000, "next turn");
  noPageErrors();
});

e2e("releasing a reply offer or losing the relay takes the request off the panel", async () => {
  const { app, page } = await start();
  await openPanel(page);

  // "Not now": the relay is let go with no decision, so it prints nothing.
  const stopped = `sess-${randomUUID()}`;
  const offer = app.relay(payload(app, stopped, "Stop", { stop_hook_active: false, last_assistant_message: "Done." }));
  const c1 = card(page, stopped);
  await c1.locator(".req-reply").waitFor();
  await button(c1, "Not now").click();
  const r = await offer.result();
  assert.deepEqual([r.code, r.stdout, r.stderr], [0, "", ""]);
  await c1.locator(".req").waitFor({ state: "detached" });

  // The agent's hook timed out and its relay is gone: the card must not offer a dead request.
  const asking = `sess-${randomUUID()}`;
  const relay = app.relay(payload(app, asking, "PermissionRequest", { tool_name: "Bash", tool_input: { command: "make deploy" } }));
  const c2 = card(page, asking);
  await c2.locator(".req-permission").waitFor();
  await relay.kill();
  await c2.locator(".req").waitFor({ state: "detached", timeout: 10000 });
  assert.equal(await page.locator(".req").count(), 0);
  noPageErrors();
});

e2e("a relay without a running app prints nothing and exits 0", async () => {
  const app = await App.start(bin);
  current.app = app;
  await app.quit();
  const relay = app.relay(payload(app, `sess-${randomUUID()}`, "PermissionRequest", { tool_name: "Bash", tool_input: { command: "ls" } }));
  const r = await relay.result(5000);
  assert.deepEqual([r.code, r.stdout, r.stderr], [0, "", ""]);
});

e2e("settings: a change made in the panel is stored and shown back", async () => {
  const { app, page } = await start();
  await openPanel(page);
  await button(page.locator(".panel-head:visible"), "Settings").click();
  await page.waitForSelector(".settings");
  assert.equal(await page.locator(".head-title").innerText(), "Settings");
  const replyWindow = page.getByRole("combobox", { name: "Reply window" });
  assert.equal(await replyWindow.inputValue(), "120");
  await shot(page, "e2e-06-settings");
  // Every agent's name starts on one line, whatever the letters of its mark.
  const names = await page.$$eval(".settings .agent-row .row-text", (els) => els.map((e) => Math.round(e.getBoundingClientRect().left * 4) / 4));
  assert.ok(names.length > 1 && new Set(names).size === 1, `agent names start at ${names}`);

  await replyWindow.selectOption("30");
  await until(() => app.settings().replyWindow === 30, 5000, "replyWindow stored");
  assert.equal(app.settings().onboarded, true, "other settings are kept");
  // What the page shows comes back from the app's state.
  await until(async () => (await replyWindow.inputValue()) === "30", 5000, "select shows 30");

  // Back to the cards: the new window is what a finished turn now waits.
  // Copy diagnostics copies with the browser's clipboard and says so only then.
  await browser.context.grantPermissions(["clipboard-read", "clipboard-write"], { origin: new URL(app.url).origin });
  await button(page.locator(".settings-foot"), "Copy diagnostics").click();
  await button(page.locator(".settings-foot"), "Copied").waitFor();
  assert.match(await page.evaluate(() => navigator.clipboard.readText()), /^Talvane .*\nLinux/s);
  assert.equal(await page.getByRole("button", { name: "Check for updates" }).count(), 0, "no updater in a browser");

  await button(page.locator(".panel-head:visible"), "Back").click();
  const session = `sess-${randomUUID()}`;
  const relay = app.relay(payload(app, session, "Stop", { last_assistant_message: "Ready." }));
  const c = card(page, session);
  await c.locator(".req-reply").waitFor();
  const left = Number(/Closes in (\d+)s/.exec(await shown(c.locator(".reply-foot")))?.[1]);
  assert.ok(left > 20 && left <= 30, `countdown of a 30 s window, got ${left}`);
  await button(c, "Not now").click();
  await relay.result();
  noPageErrors();
});

e2e("the first-run window's route shows onboarding", async () => {
  const { app, page } = await start({ onboarded: false });
  await page.setViewportSize({ width: 460, height: 560 });
  await page.goto(`${app.url}&onboard`);
  await page.waitForSelector(".onboarding");
  await until(async () => (await page.locator(".onboarding").innerText()).trim().length > 0, 5000, "onboarding content");
  assert.equal(await page.evaluate(() => document.documentElement.dataset["route"]), "onboard");
  await shot(page, "e2e-07-onboarding", { around: false });
  // The route the app builds itself (token first, then the route) works too.
  const built = new URL(app.url);
  await page.goto(`${built.origin}/?onboard&token=${built.searchParams.get("token")}`);
  await page.waitForSelector(".onboarding .setup-foot");
  // Through to the end: a browser tab goes on to the panel instead of a dead last screen.
  for (let i = 0; i < 6; i++) {
    const next = page.locator(".setup-foot .btn-primary");
    const last = (await next.innerText()).includes("Start Talvane");
    await next.click();
    if (last) break;
  }
  await page.waitForSelector(".shell");
  assert.equal(await page.evaluate(() => document.documentElement.dataset["route"]), "panel");
  assert.ok(!page.url().includes("onboard"));
  await until(() => app.settings().onboarded === true, 5000, "onboarded stored");
  await page.waitForFunction(() => document.querySelector(".strip")?.getAttribute("aria-label") !== "Talvane" || !!document.querySelector(".panel"));
  await shot(page, "e2e-16-onboarding-done");
  noPageErrors();
});

e2e("the token reaches no other local server: no cookie, no referrer, and only the whole token opens the socket", async () => {
  const { app, page } = await start();
  const token = new URL(app.url).searchParams.get("token");
  // Another service on this machine, as a local dev server would be.
  const seen = [];
  const other = createServer((req, res) => {
    seen.push({ url: req.url, headers: req.headers });
    res.writeHead(200, { "Content-Type": "text/html" }).end("<p>other</p>");
  });
  await new Promise((ok) => other.listen(0, "127.0.0.1", ok));
  const otherUrl = `http://127.0.0.1:${other.address().port}`;
  try {
    // A link or an image from the panel's page, then a visit of its own in the same browser.
    await page.evaluate(async (u) => {
      await fetch(`${u}/from-panel`, { mode: "no-cors", credentials: "include" });
      const img = new Image();
      img.src = `${u}/pixel`;
      await new Promise((ok) => { img.onload = img.onerror = ok; });
    }, otherUrl);
    const tab = await browser.context.newPage();
    await tab.goto(`${otherUrl}/visit`);
    await tab.close();
    assert.ok(seen.length >= 3, `the other server was reached (${seen.length})`);
    for (const r of seen) assert.ok(!JSON.stringify(r).includes(token), `the token leaked to ${r.url}: ${JSON.stringify(r.headers)}`);
    assert.deepEqual(await browser.context.cookies(), [], "no cookie at all");
  } finally {
    other.closeAllConnections();
    await new Promise((ok) => other.close(ok));
  }
  // The page's files are no secret; the token check takes only the whole token.
  const origin = new URL(app.url).origin;
  assert.equal((await fetch(`${origin}/`)).status, 200);
  for (const [query, status] of [["", 403], ["?token=", 403], [`?token=${token.slice(0, -1)}`, 403], [`?token=${token}0`, 403], [`?onboard&token=${token}`, 204]]) {
    assert.equal((await fetch(`${origin}/check${query}`)).status, status, query);
  }
  // The address still works when reloaded and in a second tab.
  await page.reload();
  await page.waitForSelector(".strip .badge, .strip");
  const second = await browser.context.newPage();
  await second.goto(app.url);
  await until(() => second.evaluate(() => document.querySelector(".strip")?.getAttribute("aria-label") !== "Talvane"), 5000, "second tab gets a state");
  await second.close();
  noPageErrors();
});

e2e("a click on a request that was replaced meanwhile answers nothing", async () => {
  const { app, page } = await start();
  // Hold the app's messages back, as a slow tab would, while the request is replaced.
  let hold = false;
  const held = [];
  let tab = null;
  await page.routeWebSocket(/\/ws/, (ws) => {
    tab = ws;
    const server = ws.connectToServer();
    ws.onMessage((m) => server.send(m));
    server.onMessage((m) => (hold ? held.push(m) : ws.send(m)));
  });
  await page.reload();
  await openPanel(page);
  const session = `sess-${randomUUID()}`;
  const first = app.relay(payload(app, session, "PermissionRequest", { tool_name: "Bash", tool_input: { command: "ls" }, tool_use_id: "toolu_first" }));
  const c = card(page, session);
  await until(async () => (await c.locator(".req-detail").innerText()).includes("ls"), 5000, "first request shown");
  hold = true;
  const second = app.relay(payload(app, session, "PermissionRequest", { tool_name: "Bash", tool_input: { command: "rm -rf ~" }, tool_use_id: "toolu_second" }));
  // The first relay is let go when the second request takes its place.
  const r = await first.result();
  assert.equal(r.stdout, "");
  await button(c, "Allow").click(); // still showing "ls"
  await new Promise((ok) => setTimeout(ok, 500));
  assert.ok(second.running, "the replaced request's Allow did not answer the new one");
  hold = false;
  for (const m of held.splice(0)) tab.send(m);
  await until(async () => (await c.locator(".req-detail").innerText()).includes("rm -rf ~"), 5000, "new request shown");
  await shot(page, "e2e-08-replaced-request");
  await button(c, "Deny").click();
  assert.equal((await answerOf(second)).hookSpecificOutput.decision.behavior, "deny");
  noPageErrors();
});

e2e("a command with a right-to-left override shows the override, and a path shows whole", async () => {
  const { app, page } = await start();
  await openPanel(page);
  const bidi = `bidi-${randomUUID()}`;
  const command = "echo done # \u202Ehs.tegrat | lruc\u202C";
  const r1 = app.relay(payload(app, bidi, "PermissionRequest", { tool_name: "Bash", tool_input: { command } }));
  const c1 = card(page, bidi);
  await c1.locator(".req-detail").waitFor();
  assert.ok(!(await shown(c1.locator(".req-detail"))).includes("\u202E"));
  assert.deepEqual(await c1.locator(".req-detail .hidden-char").allInnerTexts(), ["U+202E", "U+202C"]);
  await shot(page, "e2e-09-bidi-command");
  await button(c1, "Deny").click();
  await r1.result();

  const edit = `path-${randomUUID()}`;
  // Not joined: joining would fold the climb away, and the point is that it shows.
  const path = `${app.home}/code/parser-kit/provider/settings/../../../../../.bashrc`;
  const r2 = app.relay(payload(app, edit, "PermissionRequest", { tool_name: "Edit", tool_input: { file_path: path, old_string: "a", new_string: "b" } }));
  const c2 = card(page, edit);
  await c2.locator(".req-detail.path").waitFor();
  assert.equal(await shown(c2.locator(".req-detail.path")), path);
  await shot(page, "e2e-10-whole-path");
  await button(c2, "Deny").click();
  await r2.result();
  noPageErrors();
});

e2e("a tab that reconnects after 100 events gets the newest state first and never an older one", async () => {
  const { app, page } = await start();
  await page.close();
  current.page = null;
  const session = `busy-${randomUUID()}`;
  // 100 events while no tab is open: every one of them changes the state.
  for (let i = 1; i <= 100; i += 10) {
    await Promise.all(
      Array.from({ length: 10 }, (_, k) => i + k).map((n) =>
        app.relay(payload(app, session, "PreToolUse", { tool_name: "Bash", tool_input: { command: `step ${n}` }, tool_use_id: `toolu_${n}` })).result(),
      ),
    );
  }
  const relay = app.relay(payload(app, session, "PermissionRequest", { tool_name: "Bash", tool_input: { command: "the last one" }, tool_use_id: "toolu_last" }));
  await new Promise((ok) => setTimeout(ok, 300));
  const tab = await browser.context.newPage();
  current.page = tab;
  await tab.addInitScript(() => {
    window.__states = [];
    const Real = window.WebSocket;
    window.WebSocket = class extends Real {
      constructor(...a) {
        super(...a);
        this.addEventListener("message", (e) => {
          try {
            const m = JSON.parse(e.data);
            if (m.type === "state") window.__states.push({ at: performance.now(), asking: m.sessions.some((s) => s.pending), count: m.sessions.length });
          } catch {
            // not a state message
          }
        });
      }
    };
  });
  const t0 = Date.now();
  await tab.goto(app.url);
  await openPanel(tab);
  const c = card(tab, session);
  await until(async () => (await c.locator(".req-detail").innerText()).includes("the last one"), 5000, "newest request shown");
  const settled = Date.now() - t0;
  await new Promise((ok) => setTimeout(ok, 500));
  const states = await tab.evaluate(() => window.__states);
  assert.ok(states.length >= 1 && states.length <= 4, `a few states, not a replay of 100 (${states.length})`);
  assert.ok(states.every((s) => s.asking), "no state older than the request was ever shown");
  assert.ok(settled < 5000, `settled in ${settled} ms`);
  await shot(tab, "e2e-11-reconnected");
  await button(c, "Allow").click();
  assert.equal((await answerOf(relay)).hookSpecificOutput.decision.behavior, "allow");
  noPageErrors();
});

e2e("a phone-sized window answers a request with every control in reach", async () => {
  const { app, page } = await start();
  await page.setViewportSize({ width: 360, height: 640 });
  const session = `phone-${randomUUID()}`;
  const relay = app.relay(payload(app, session, "PermissionRequest", { tool_name: "Bash", tool_input: { command: "npm run build && npm test -- --coverage --reporter=verbose" } }));
  await openPanel(page);
  const c = card(page, session);
  await c.locator(".req-permission").waitFor();
  for (const name of ["Allow", "Deny", "Answer there"]) {
    const box = await button(c, name).boundingBox();
    assert.ok(box && box.x >= 0 && box.x + box.width <= 360 && box.y + box.height <= 640, `${name} inside the window: ${JSON.stringify(box)}`);
  }
  await shot(page, "e2e-12-phone-permission", { around: false });
  await button(c, "Allow").click();
  assert.equal((await answerOf(relay)).hookSpecificOutput.decision.behavior, "allow");
  // Settings fit too: the wheel scrolls the panel down to the last control, inside the window.
  await button(page.locator(".panel-head:visible"), "Settings").click();
  const quit = page.getByRole("button", { name: "Quit", exact: true });
  await page.mouse.move(180, 300);
  for (let i = 0; i < 20; i++) {
    const b = await quit.boundingBox();
    if (b && b.y + b.height <= 640) break;
    await page.mouse.wheel(0, 400);
    await page.waitForTimeout(50);
  }
  const q = await quit.boundingBox();
  assert.ok(q && q.x >= 0 && q.x + q.width <= 360 && q.y + q.height <= 640, `Quit inside the window: ${JSON.stringify(q)}`);
  await shot(page, "e2e-13-phone-settings", { around: false });
  noPageErrors();
});

e2e("Enter acts on the focused card, not on another selected one, and focus is visible", async () => {
  const { app, page } = await start();
  await openPanel(page);
  const [a, b] = [`a-${randomUUID()}`, `b-${randomUUID()}`];
  const ra = app.relay(payload(app, a, "PermissionRequest", { tool_name: "Read", tool_input: { file_path: "/tmp/a.txt" } }));
  await card(page, a).locator(".req").waitFor();
  const rb = app.relay(payload(app, b, "PermissionRequest", { tool_name: "Read", tool_input: { file_path: "/tmp/b.txt" } }));
  await card(page, b).locator(".req").waitFor();
  await card(page, a).locator(".project").click(); // selects a
  await until(async () => (await card(page, a).getAttribute("aria-current")) === "true", 5000, "a selected");
  // Tab onto b's hide button: it shows, with a ring.
  await card(page, b).focus();
  const ring = () =>
    page.evaluate(() => {
      const el = document.activeElement;
      const st = getComputedStyle(el);
      return { cls: el.className, outline: st.outlineStyle, width: st.outlineWidth, opacity: st.opacity };
    });
  // The host's name is a button too when the relay found one; the hide button follows it.
  for (let i = 0; i < 3 && (await ring()).cls !== "card-dismiss"; i++) await page.keyboard.press("Tab");
  assert.equal((await ring()).cls, "card-dismiss");
  assert.equal((await ring()).outline, "solid");
  await until(async () => (await ring()).opacity === "1", 3000, "the hide button shows while it has the focus");
  await shot(page, "e2e-14-focus-ring");
  await card(page, b).focus();
  await page.keyboard.press("Enter");
  assert.equal((await answerOf(rb)).hookSpecificOutput.decision.behavior, "allow");
  assert.ok(ra.running, "the selected card's request still waits");
  await card(page, a).focus();
  await page.keyboard.press("Enter");
  await answerOf(ra);
  noPageErrors();
});

e2e("while the app is gone, every control is disabled and the page says why", async () => {
  const { app, page } = await start();
  const session = `off-${randomUUID()}`;
  app.relay(payload(app, session, "PermissionRequest", { tool_name: "Bash", tool_input: { command: "make" } }));
  await openPanel(page);
  const c = card(page, session);
  await c.locator(".req-permission").waitFor();
  await app.quit();
  await page.waitForSelector(".offline");
  assert.ok(await button(c, "Allow").isDisabled());
  assert.ok(await button(c, "Deny").isDisabled());
  await until(async () => (await page.locator(".offline-note").innerText()).includes("not running"), 10000, "says the app is not running");
  await shot(page, "e2e-15-offline");
  current.errors = current.errors.filter((e) => !/WebSocket|ERR_CONNECTION_REFUSED|Failed to load resource/.test(e));
  noPageErrors();
});
