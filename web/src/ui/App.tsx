import type { Page } from "../page";
import { PageContext } from "./context";
import { Onboarding } from "./Onboarding";
import { Stage } from "./Stage";

export function App({ page, route }: { page: Page; route: "panel" | "onboard" }) {
  return <PageContext.Provider value={page}>{route === "onboard" ? <Onboarding /> : <Stage />}</PageContext.Provider>;
}
