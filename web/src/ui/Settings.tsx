// Every preference the app sends, editable in place. Each change is one "setting" command;
// the app answers with a fresh state, which is what the controls then show.

import { useEffect, useState } from "preact/hooks";
import type { Settings as Prefs, RemoteHostRow, Remotes } from "../protocol";
import { formatMinutes, formatSeconds } from "../format";
import { comboLabel, recordCombo } from "../keys";
import { AlertRows } from "./Alerts";
import { AgentMark, Button, Icon, Segmented, Switch } from "./bits";
import { usePage, usePageState } from "./context";

export const REPLY_WINDOWS = [0, 10, 15, 30, 60, 120];
export const HIDE_AFTER = [0, 30, 60, 120, 240, 480, 1440];

/** The choices of a select, with the current value added when it is not one of them. */
export function withCurrent(choices: number[], current: number): number[] {
  return choices.includes(current) ? choices : [...choices, current].sort((a, b) => a - b);
}

export function Settings() {
  const page = usePage();
  const ps = usePageState();
  const st = ps.state!;
  const s = st.settings;
  // A browser tab cannot reach the desktop's permissions or the app's updater.
  const inApp = page.transportKind === "webkit";

  return (
    <div class="settings">
      <section>
        <h3>Agents</h3>
        <AgentList settings={s} />
      </section>

      <section>
        <h3>Remote hosts</h3>
        <RemoteHosts remotes={s.remotes} />
      </section>

      <section>
        <h3>Panel</h3>
        <Row label="Shape" hint="The notch shape wraps a camera notch when the screen has one.">
          <Segmented label="Shape" value={s.shape} onChange={(v) => page.setting("shape", v)}
            options={[{ value: "auto", label: "Auto" }, { value: "notch", label: "Notch" }, { value: "pill", label: "Pill" }]} />
        </Row>
        <Row label="Theme">
          <Segmented label="Theme" value={s.theme} onChange={(v) => page.setting("theme", v)}
            options={[{ value: "auto", label: "Auto" }, { value: "dark", label: "Dark" }, { value: "light", label: "Light" }]} />
        </Row>
        <Row label="Glass" hint={st.geo.glassAvailable ? "A translucent backdrop behind the panel." : "Not offered by this desktop."}>
          <Switch label="Glass" checked={s.glass} disabled={!st.geo.glassAvailable && !s.glass} onChange={(v) => page.setting("glass", v)} />
        </Row>
        <Row label="Open by itself" hint="Peek open when an agent needs you.">
          <Switch label="Open by itself" checked={s.autoOpen} onChange={(v) => page.setting("autoOpen", v)} />
        </Row>
        <Row label="Hide quiet sessions after">
          <select class="select" aria-label="Hide quiet sessions after" value={String(s.hideAfter)}
            onChange={(e) => page.setting("hideAfter", Number((e.currentTarget as HTMLSelectElement).value))}>
            {withCurrent(HIDE_AFTER, s.hideAfter).map((m) => <option value={String(m)}>{formatMinutes(m)}</option>)}
          </select>
        </Row>
        <Row label="Reply window" hint="How long a finished turn waits for your reply.">
          <select class="select" aria-label="Reply window" value={String(s.replyWindow)}
            onChange={(e) => page.setting("replyWindow", Number((e.currentTarget as HTMLSelectElement).value))}>
            {withCurrent(REPLY_WINDOWS, s.replyWindow).map((v) => <option value={String(v)}>{formatSeconds(v)}</option>)}
          </select>
        </Row>
        {st.geo.away && (
          <Row label="Position" hint="The panel was moved away from the top centre.">
            <Button onClick={() => page.send({ type: "resetPosition" })}>Move back</Button>
          </Row>
        )}
      </section>

      <section>
        <h3>Notifications</h3>
        <AlertRows settings={s} />
      </section>

      <section>
        <h3>Keys &amp; voice</h3>
        <Row label="Open Talvane">
          <KeyRecorder which="openKey" label={s.openKey} />
        </Row>
        <Row label="Talk">
          <KeyRecorder which="talkKey" label={s.talkKey} />
        </Row>
        <Row
          label="Alt taps"
          hint={
            s.optionTap && !s.optionTapReady
              ? inApp
                ? "Needs permission to watch the keyboard."
                : "Needs permission to watch the keyboard, which only the desktop panel can ask for."
              : "Tap twice to open; tap, then hold to dictate. Alt with another key stays the desktop's."
          }
        >
          {inApp && s.optionTap && !s.optionTapReady && (
            <Button variant="quiet" onClick={() => page.send({ type: "askAccessibility" })}>Allow…</Button>
          )}
          <Switch label="Alt taps" checked={s.optionTap} onChange={(v) => page.setting("optionTap", v)} />
        </Row>
      </section>

      <section>
        <h3>App</h3>
        <Row label="Open at login">
          <Switch label="Open at login" checked={s.openAtLogin} onChange={(v) => page.setting("openAtLogin", v)} />
        </Row>
        {inApp && (
          <Row label="Update automatically">
            <Switch label="Update automatically" checked={s.autoUpdate} onChange={(v) => page.setting("autoUpdate", v)} />
          </Row>
        )}
        <Row label="Usage today">
          <Button onClick={() => page.showView("usage")}>Show</Button>
        </Row>
        <Row label="Walkthrough">
          <Button onClick={() => page.showView("setup")}>Set up again</Button>
        </Row>
      </section>

      <footer class="settings-foot">
        <span class="muted tabular">Talvane {s.version}</span>
        <span class="spacer" />
        <button type="button" class="link" onClick={() => page.copyDiagnostics()} aria-live="polite" disabled={ps.copy === "waiting"}>
          <Icon name="copy" size={12} />{" "}
          {ps.copy === "copied" ? "Copied" : ps.copy === "failed" ? "Could not copy" : "Copy diagnostics"}
        </button>
        {inApp && (
          <button type="button" class="link" onClick={() => page.send({ type: "checkUpdates" })}>Check for updates</button>
        )}
        {page.transportKind === "webkit" && (
          <button type="button" class="link" onClick={() => page.send({ type: "menu" })}>More…</button>
        )}
        <button type="button" class="link danger" onClick={() => page.send({ type: "quit" })}>Quit</button>
      </footer>
    </div>
  );
}

function Row({ label, hint, children }: { label: string; hint?: string; children: preact.ComponentChildren }) {
  return (
    <div class="row">
      <div class="row-text">
        <div class="row-label">{label}</div>
        {hint && <div class="row-hint muted">{hint}</div>}
      </div>
      <div class="row-control">{children}</div>
    </div>
  );
}

export interface AgentRow {
  key: string;
  agent: string;
  label: string;
  available: boolean;
  installed: boolean;
  /** Whether the app tells if the agent is on this machine (it does not for Claude Code). */
  detected: boolean;
}

/** Every connectable agent with the setting key that connects it. */
export function agentRows(s: Prefs): AgentRow[] {
  return [
    { key: "hooksInstalled", agent: "claude", label: "Claude Code", available: true, installed: s.hooksInstalled, detected: false },
    { key: "cursorInstalled", agent: "cursor", label: "Cursor", available: s.cursorAvailable, installed: s.cursorInstalled, detected: true },
    ...s.integrations.map((i) => ({ key: `integration:${i.id}`, agent: i.id, label: i.label, available: i.available, installed: i.installed, detected: true })),
  ];
}

export function AgentList({ settings, onlyFound = false }: { settings: Prefs; onlyFound?: boolean }) {
  const page = usePage();
  const rows = agentRows(settings);
  const shown = onlyFound ? rows.filter((r) => r.available || r.installed) : rows;
  const missing = rows.filter((r) => !r.available && !r.installed);
  return (
    <div class="agents">
      {shown.map((r) => (
        <div class={`row agent-row ${r.available || r.installed ? "" : "unavailable"}`} key={r.key}>
          <AgentMark agent={r.agent} />
          <div class="row-text">
            <div class="row-label">{r.label}</div>
            <div class="row-hint muted">
              {r.installed ? "Connected" : !r.detected ? "Not connected" : r.available ? "Found on this machine" : "Not found on this machine"}
            </div>
          </div>
          <div class="row-control">
            <Switch label={`Connect ${r.label}`} checked={r.installed} disabled={!r.available && !r.installed}
              onChange={(v) => page.setting(r.key, v)} />
          </div>
        </div>
      ))}
      <div class="row agent-row">
        <AgentMark agent="codex" />
        <div class="row-text">
          <div class="row-label">Codex</div>
          <div class="row-hint muted">Followed from its session files — nothing to connect</div>
        </div>
      </div>
      {onlyFound && missing.length > 0 && (
        <div class="muted small agents-missing">Not found here: {missing.map((r) => r.label).join(", ")}</div>
      )}
    </div>
  );
}

/** How a host's link reads: a word and whether it is healthy. */
export function remoteStateText(h: RemoteHostRow): { text: string; tone: "ok" | "warn" | "bad" | "quiet" } {
  switch (h.state) {
    case "connected":
      return { text: "Connected", tone: "ok" };
    case "connecting":
      return { text: "Connecting…", tone: "quiet" };
    case "retrying":
      return { text: "Retrying", tone: "warn" };
    case "authentication":
      return { text: "Authentication needed", tone: "bad" };
    default:
      return { text: "Not linked", tone: "quiet" };
  }
}

/** Hosts reached over ssh; adding and removing run `talvane remote` in the app. */
export function RemoteHosts({ remotes }: { remotes: Remotes }) {
  const page = usePage();
  const [draft, setDraft] = useState("");
  const busy = remotes.busy !== null;
  const add = () => {
    const dest = draft.trim();
    if (dest === "" || busy) return;
    page.setting("remoteAdd", dest);
    setDraft("");
  };
  return (
    <div class="remotes">
      {remotes.hosts.map((h) => {
        const st = remoteStateText(h);
        return (
          <div class="row remote-row" key={h.destination}>
            <span class={`remote-dot ${st.tone}`} aria-hidden="true" />
            <div class="row-text">
              <div class="row-label">
                {h.destination}
                {h.machine && h.machine !== h.destination && <span class="muted"> · {h.machine}</span>}
              </div>
              <div class={`row-hint remote-state ${st.tone}`}>
                {st.text}
                {h.detail && <span class="muted"> — {h.detail}</span>}
              </div>
              {h.codex && <div class="row-hint muted">Codex there is not followed from here yet</div>}
            </div>
            <div class="row-control">
              <Button variant="quiet" disabled={busy} aria-label={`Remove ${h.destination}`}
                onClick={() => page.setting("remoteRemove", h.destination)}>
                {remotes.busy === h.destination ? "Removing…" : "Remove"}
              </Button>
            </div>
          </div>
        );
      })}
      <div class="row remote-add">
        <input class="remote-field" type="text" placeholder="user@host[:port]" aria-label="Remote host"
          spellcheck={false} autocomplete="off" value={draft}
          onInput={(e) => setDraft((e.currentTarget as HTMLInputElement).value)}
          onKeyDown={(e) => {
            if (e.key === "Enter") {
              e.preventDefault();
              add();
            }
          }}
          onFocus={() => page.typing(true)}
          onBlur={() => page.typing(false)} />
        <Button disabled={busy || draft.trim() === ""} onClick={add}>
          {busy && !remotes.hosts.some((h) => h.destination === remotes.busy) ? "Adding…" : "Add"}
        </Button>
      </div>
      {(busy || remotes.message) && (
        <div class="row-hint muted remote-message" aria-live="polite">
          {busy && !remotes.hosts.some((h) => h.destination === remotes.busy) ? `Adding ${remotes.busy}…` : remotes.message}
        </div>
      )}
      {remotes.hosts.length === 0 && !busy && !remotes.message && (
        <div class="row-hint muted">Needs ssh key or agent login to the host; no password is asked.</div>
      )}
    </div>
  );
}

/** Shows a shortcut; click to record a new one (the app pauses its hot keys meanwhile). */
export function KeyRecorder({ which, label }: { which: "openKey" | "talkKey"; label: string }) {
  const page = usePage();
  const ps = usePageState();
  const recording = ps.recording === which;
  const [hint, setHint] = useState("");
  const [live, setLive] = useState("");

  useEffect(() => {
    if (!recording) {
      setHint("");
      setLive("");
      return;
    }
    const down = (e: KeyboardEvent) => {
      e.preventDefault();
      e.stopPropagation();
      // Through escape(): the app reports the same Escape, which must not close the settings too.
      if (e.key === "Escape") return page.escape("dom");
      const r = recordCombo(e);
      if (r.ok) {
        page.setting(which, r.combo);
        page.record(null);
        return;
      }
      setLive(comboLabel({ ctrl: e.ctrlKey, alt: e.altKey, shift: e.shiftKey, meta: e.metaKey }));
      if (r.hint) setHint(r.hint);
    };
    const up = (e: KeyboardEvent) => setLive(comboLabel({ ctrl: e.ctrlKey, alt: e.altKey, shift: e.shiftKey, meta: e.metaKey }));
    window.addEventListener("keydown", down, true);
    window.addEventListener("keyup", up, true);
    return () => {
      window.removeEventListener("keydown", down, true);
      window.removeEventListener("keyup", up, true);
    };
  }, [recording, which, page]);

  return (
    <div class="recorder">
      <button
        type="button"
        class={`keycap ${recording ? "recording" : ""}`}
        aria-label={recording ? "Press the new shortcut" : `Shortcut ${label}, click to change`}
        onClick={() => page.record(recording ? null : which)}
      >
        {recording ? live || "Press keys…" : label}
      </button>
      {recording ? (
        <span class="recorder-hint muted small">{hint || "Esc to cancel"}</span>
      ) : (
        <button type="button" class="link small" title="Back to the default shortcut" onClick={() => page.setting(which, {})}>
          Reset
        </button>
      )}
    </div>
  );
}
