// Talvane: tells the notch what this OpenCode session is doing.
// Installed from Talvane's agent settings; switching OpenCode off there removes this file.
import { spawn } from "node:child_process";
import { homedir } from "node:os";

const hook = `${process.env.HOME || homedir()}/.talvane/bin/talvane-hook`;

export const Talvane = async ({ directory }) => {
  // Reports only: the relay is never waited for, and no failure reaches OpenCode.
  const send = (name, data) => {
    try {
      const relay = spawn(hook, ["opencode"], { stdio: ["pipe", "ignore", "ignore"] });
      relay.on("error", () => {});
      relay.stdin.on("error", () => {});
      relay.stdin.end(JSON.stringify({ hook_event_name: name, cwd: directory, ...data }));
    } catch {}
  };
  const sessionOf = (p) => p?.sessionID ?? p?.info?.sessionID ?? p?.info?.id;
  return {
    event: async ({ event }) => {
      const p = event?.properties ?? {};
      switch (event?.type) {
        case "session.idle":
          send("session.idle", { session_id: sessionOf(p) });
          break;
        case "session.deleted":
          send("session.deleted", { session_id: p.info?.id ?? sessionOf(p) });
          break;
        case "permission.asked":
        case "permission.updated":
          send("permission", {
            session_id: sessionOf(p),
            message: p.title || p.message || "Needs your OK",
          });
          break;
      }
    },
    "chat.message": async (input, output) => {
      const prompt = (output?.parts ?? [])
        .filter((part) => part?.type === "text" && typeof part.text === "string")
        .map((part) => part.text)
        .join(" ");
      send("prompt", { session_id: input?.sessionID ?? output?.message?.sessionID, prompt });
    },
    "tool.execute.before": async (input, output) => {
      send("tool.before", {
        session_id: input?.sessionID,
        tool_name: input?.tool,
        tool_input: output?.args ?? {},
      });
    },
    "tool.execute.after": async (input) => {
      send("tool.after", { session_id: input?.sessionID, tool_name: input?.tool });
    },
  };
};
