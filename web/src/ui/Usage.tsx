// Today's spend, in total and per model, as the app's usage meter counts it.

import { useEffect } from "preact/hooks";
import { formatCost, formatTokens } from "../format";
import { usePage, usePageState } from "./context";

export function UsageView({ sessionsTotal }: { sessionsTotal: number }) {
  const page = usePage();
  const ps = usePageState();
  const usage = ps.usage;

  // Fresh figures while the view is open.
  useEffect(() => {
    const t = setInterval(() => page.send({ type: "usage" }), 30000);
    return () => clearInterval(t);
  }, [page]);

  if (!usage) {
    return <div class="usage loading muted">Counting today's usage…</div>;
  }
  const models = [...usage.models].sort((a, b) => b.cost - a.cost || b.tokens - a.tokens);
  const top = Math.max(...models.map((m) => m.cost), 0);
  const tokens = models.reduce((n, m) => n + m.tokens, 0);
  return (
    <div class="usage">
      <div class="usage-total">
        <div class="usage-amount tabular">{formatCost(usage.today)}</div>
        <div class="muted">Claude Code today, all sessions · {formatTokens(tokens)} tokens</div>
      </div>
      {sessionsTotal > 0 && (
        <div class="usage-shown muted small">
          The header's <span class="tabular">{formatCost(sessionsTotal)}</span> counts only the sessions shown in the panel, whatever their agent.
        </div>
      )}
      {models.length === 0 ? (
        <div class="muted usage-empty">Nothing spent yet today.</div>
      ) : (
        <ul class="usage-models">
          {models.map((m) => (
            <li key={m.model}>
              <div class="usage-row">
                <span class="usage-model">{m.model || "Unknown model"}</span>
                <span class="spacer" />
                <span class="muted tabular">{formatTokens(m.tokens)} tokens</span>
                <span class="usage-cost tabular">{formatCost(m.cost)}</span>
              </div>
              <div class="usage-track">
                <div class="usage-fill" style={{ transform: `scaleX(${top > 0 ? m.cost / top : 0})` }} />
              </div>
            </li>
          ))}
        </ul>
      )}
      <div class="muted small usage-note">Claude Code transcripts written today, priced per model.</div>
    </div>
  );
}
