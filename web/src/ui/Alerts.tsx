// The desktop notifications and the sound: two rows shared by the settings view and the
// first-run settings step.

import type { Settings } from "../protocol";
import { Segmented, Switch } from "./bits";
import { usePage } from "./context";

export const NOTIFICATION_LEVELS = [
  { value: "off", label: "Off" },
  { value: "requests", label: "Requests" },
  { value: "all", label: "All" },
];

export function AlertRows({ settings: s }: { settings: Settings }) {
  const page = usePage();
  return (
    <>
      <div class="row">
        <div class="row-text">
          <div class="row-label">Notifications</div>
          <div class="row-hint muted">
            {s.notifications === "all" ? "Requests, finished turns and pull-request news." : "Allow, deny or reply from the desktop's notifications."}
          </div>
        </div>
        <div class="row-control">
          <Segmented label="Notifications" value={s.notifications} onChange={(v) => page.setting("notifications", v)}
            options={NOTIFICATION_LEVELS} />
        </div>
      </div>
      <div class="row">
        <div class="row-text">
          <div class="row-label">Sound</div>
          <div class="row-hint muted">When an agent needs you or finishes.</div>
        </div>
        <div class="row-control">
          <Switch label="Sound" checked={s.sound} onChange={(v) => page.setting("sound", v)} />
        </div>
      </div>
    </>
  );
}
