// The short walkthrough the status menu starts; it ends with "tourDone".

import { TOUR_STEPS } from "../page";
import { Button, Kbd } from "./bits";
import { usePage, usePageState } from "./context";
import { Face } from "./Face";

export function Tour() {
  const page = usePage();
  const ps = usePageState();
  const step = ps.tourStep ?? 0;
  const s = ps.state?.settings;
  const steps = [
    {
      pose: "success" as const,
      title: "Every agent, at a glance",
      body: <>Each running session gets a card. Its face tells the mood: sleeping, thinking, writing — or waving at you when it needs something.</>,
    },
    {
      pose: "alert" as const,
      title: "Answer without switching",
      body: <>Allow or deny a tool, pick answers to questions, or reply when an agent finishes — right here. <em>Answer there</em> jumps to its own window.</>,
    },
    {
      pose: "listen" as const,
      title: "Keyboard and voice",
      body: (
        <>
          Press <Kbd>{s?.openKey ?? "Ctrl+Alt+R"}</Kbd> anywhere to summon the panel, then <Kbd>↑</Kbd><Kbd>↓</Kbd>, <Kbd>Enter</Kbd> and <Kbd>Backspace</Kbd>.
          Press <Kbd>{s?.talkKey ?? "Ctrl+Alt+T"}</Kbd>
          {s?.optionTap && s.optionTapReady ? <>, or tap <Kbd>Alt</Kbd> and hold it,</> : null} to dictate a reply.
        </>
      ),
    },
    {
      pose: "idle" as const,
      title: "Make it yours",
      body: <>The gear holds agents, shape, theme and shortcuts. Point at the strip to open the panel; move away and it tucks itself back.</>,
    },
  ];
  const cur = steps[Math.min(step, TOUR_STEPS - 1)]!;
  return (
    <div class="tour" role="dialog" aria-label="Walkthrough">
      <div class="tour-card">
        <Face color={step * 2} pose={cur.pose} size={36} />
        <div class="tour-title">{cur.title}</div>
        <div class="tour-body">{cur.body}</div>
        <div class="tour-foot">
          <span class="dots" aria-label={`Step ${step + 1} of ${TOUR_STEPS}`}>
            {steps.map((_, i) => <span class={i === step ? "on" : ""} />)}
          </span>
          <span class="spacer" />
          {step + 1 < TOUR_STEPS && <button type="button" class="link" onClick={() => page.endTour()}>Skip</button>}
          <Button variant="primary" onClick={() => page.nextTour()}>{step + 1 < TOUR_STEPS ? "Next" : "Done"}</Button>
        </div>
      </div>
    </div>
  );
}
