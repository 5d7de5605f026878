// The first-run flow: welcome, connect the agents found here, choose the main settings, done.
// In the onboarding window it is the whole page; in the panel it is one of its views.

import { useState } from "preact/hooks";
import { AgentList, agentRows } from "./Settings";
import { AlertRows } from "./Alerts";
import { Button, Kbd, Segmented, Switch } from "./bits";
import { usePage, usePageState } from "./context";
import { Face } from "./Face";

const STEPS = ["Welcome", "Agents", "Settings", "Done"] as const;

export function Setup({ mode }: { mode: "window" | "panel" }) {
  const page = usePage();
  const ps = usePageState();
  const [step, setStep] = useState(0);
  const s = ps.state?.settings;
  const connected = s ? agentRows(s).filter((r) => r.installed).length : 0;
  const finish = () => (mode === "window" ? page.finishOnboarding() : page.finishSetup());
  const next = () => (step + 1 < STEPS.length ? setStep(step + 1) : finish());

  return (
    <div class={`setup setup-${mode}`}>
      <ol class="steps" aria-label="Setup steps">
        {STEPS.map((name, i) => (
          <li class={i === step ? "on" : i < step ? "past" : ""} aria-current={i === step ? "step" : undefined}>
            {name}
          </li>
        ))}
      </ol>

      <div class="setup-body">
        {step === 0 && (
          <div class="setup-welcome">
            <Preview />
            <h2>Meet Talvane</h2>
            <p class="muted">
              A small panel at the top of your screen that shows what your coding agents are doing — and lets you
              answer them without switching windows.
            </p>
          </div>
        )}
        {step === 1 && (
          <div>
            <h2>Connect your agents</h2>
            <p class="muted">Talvane adds one small hook to each agent's settings. You can disconnect any time.</p>
            {s ? <AgentList settings={s} onlyFound /> : <p class="muted">Looking for agents…</p>}
          </div>
        )}
        {step === 2 && s && (
          <div class="setup-settings">
            <h2>A few choices</h2>
            <p class="muted">All of them stay in Settings, behind the gear.</p>
            <div class="row">
              <div class="row-text">
                <div class="row-label">Alt alone: tap twice to open, tap then hold to talk</div>
                <div class="row-hint muted">
                  {s.optionTap && !s.optionTapReady
                    ? "Off on this desktop: it cannot tell a lone Alt from Alt+Tab here. Use the hot keys instead."
                    : "Alt with any other key or click stays the desktop's."}
                </div>
              </div>
              <div class="row-control">
                <Switch label="Alt taps" checked={s.optionTap && s.optionTapReady} onChange={(v) => page.setting("optionTap", v)} />
              </div>
            </div>
            <div class="row">
              <div class="row-text">
                <div class="row-label">Open by itself</div>
                <div class="row-hint muted">Peek open when an agent needs you.</div>
              </div>
              <div class="row-control">
                <Switch label="Open by itself" checked={s.autoOpen} onChange={(v) => page.setting("autoOpen", v)} />
              </div>
            </div>
            <AlertRows settings={s} />
            <div class="row theme-row">
              <div class="row-text">
                <div class="row-label">Theme</div>
                <ThemePreview theme={ps.state?.panelTheme ?? (s.theme === "light" ? "light" : "dark")} />
              </div>
              <div class="row-control">
                <Segmented label="Theme" value={s.theme} onChange={(v) => page.setting("theme", v)}
                  options={[{ value: "auto", label: "Auto" }, { value: "dark", label: "Dark" }, { value: "light", label: "Light" }]} />
              </div>
            </div>
            <div class="row">
              <div class="row-text"><div class="row-label">Open at login</div></div>
              <div class="row-control">
                <Switch label="Open at login" checked={s.openAtLogin} onChange={(v) => page.setting("openAtLogin", v)} />
              </div>
            </div>
          </div>
        )}
        {step === 3 && (
          <div class="setup-done">
            <Face color={3} pose="success" size={52} />
            <h2>You're all set</h2>
            <p class="muted">
              {connected > 0 ? `${connected} agent${connected === 1 ? "" : "s"} connected. ` : "No agent connected yet — the gear in the panel can do it later. "}
              Point at the top of the screen to open the panel, or press <Kbd>{s?.openKey ?? "Ctrl+Alt+R"}</Kbd>.
            </p>
          </div>
        )}
      </div>

      <div class="setup-foot">
        {step > 0 && step < STEPS.length - 1 && (
          <button type="button" class="link" onClick={() => setStep(step - 1)}>Back</button>
        )}
        <span class="spacer" />
        {step === 1 && connected === 0 && <button type="button" class="link" onClick={next}>Skip</button>}
        <Button variant="primary" onClick={next}>
          {step === 0 ? "Get started" : step === STEPS.length - 1 ? (mode === "window" ? "Start Talvane" : "Done") : "Continue"}
        </Button>
      </div>
    </div>
  );
}

/** The closed strip of the still pictures: one waiting request. */
function PreviewPill({ face, small = false }: { face: number; small?: boolean }) {
  return (
    <div class={small ? "preview-pill tp-pill" : "preview-pill"}>
      <Face color={1} pose="alert" size={face} />
      <span>Wants to run</span>
      <span class="badge">1</span>
    </div>
  );
}

/** A still picture of the panel for the welcome step. */
function Preview() {
  return (
    <div class="preview" aria-hidden="true">
      <PreviewPill face={14} />
      <div class="preview-panel">
        <div class="preview-card">
          <Face color={0} pose="alert" size={16} />
          <span class="project">web-app</span>
          <span class="muted">npm test</span>
          <span class="spacer" />
          <span class="btn btn-plain">Deny</span>
          <span class="btn btn-primary">Allow</span>
        </div>
        <div class="preview-card dim">
          <Face color={4} pose="write" size={16} />
          <span class="project">api</span>
          <span class="muted">Editing routes.ts</span>
        </div>
      </div>
    </div>
  );
}

/** The closed strip over the open panel as the chosen theme draws them: the window itself stays as it is. */
export function ThemePreview({ theme }: { theme: "dark" | "light" }) {
  return (
    <div class={`theme-preview theme-preview-${theme}`} aria-label={`Preview: ${theme === "light" ? "Light" : "Dark"}`} role="img">
      <PreviewPill face={11} small />
      <div class="tp-panel">
        <div class="tp-card">
          <Face color={0} pose="alert" size={12} />
          <span class="tp-project">web-app</span>
          <span class="tp-muted">npm test</span>
          <span class="spacer" />
          <span class="tp-btn">Deny</span>
          <span class="tp-btn tp-primary">Allow</span>
        </div>
      </div>
    </div>
  );
}
