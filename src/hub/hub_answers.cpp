// The user's answers from the notch, written back to the relays that wait for them.

#include "hub/hub.h"
#include "hub/tool_text.h"

namespace talvane {

namespace {

Json permissionDecision(const std::string& behavior, const std::optional<Json>& input) {
  Json decision = Json::object();
  decision["behavior"] = behavior;
  if (input && input->is_object()) decision["updatedInput"] = *input;
  if (behavior == "deny") decision["message"] = "The user denied this from the notch.";
  Json output = Json::object();
  output["hookEventName"] = "PermissionRequest";
  output["decision"] = std::move(decision);
  Json answer = Json::object();
  answer["hookSpecificOutput"] = std::move(output);
  return answer;
}

// Each agent's stop hook takes a reply in its own form.
Json replyAnswer(Agent agent, const std::string& text) {
  const std::string reason = "The user replied from the Talvane notch:\n\n" + text;
  Json answer = Json::object();
  switch (agent) {
    case Agent::droid:
      answer["decision"] = "block";
      answer["reason"] = reason;
      break;
    case Agent::gemini:
      answer["decision"] = "deny";
      answer["reason"] = reason;
      break;
    case Agent::cursor:
      answer["followup_message"] = text;
      break;
    default: {
      Json output = Json::object();
      output["hookEventName"] = "Stop";
      output["additionalContext"] =
          "The user replied from the Talvane notch. Treat this as their next message:\n\n" + text;
      answer["hookSpecificOutput"] = std::move(output);
      answer["systemMessage"] = "Replied from the notch: " + text;
      break;
    }
  }
  return answer;
}

}  // namespace

void Hub::decide(const std::string& id, const std::string& behavior,
                 const std::optional<Json>& input, const std::string& request) {
  const Session* found = find(id);
  if (!found || !found->pending) return;
  if (!request.empty() && found->pending->id != request) return;
  Session s = *found;

  if (s.pending->isElsewhere()) {
    clearPending(s);
    store(s);
    settings_.jump(s, {});
    return;
  }
  // A stop hook reads no permission decision; a reply offer is answered by sendReply.
  if (s.pending->isReply()) return;

  const std::string text = json::compact(permissionDecision(behavior, input));
  Reply reply = takeResponder(s.pending->id);
  s.pending.reset();
  if (reply) reply(text);

  s.mood = Mood::working;
  if (behavior == "deny") s.activity = "Denied from the notch";
  store(s);
}

void Hub::answer(const std::string& id, const std::vector<std::string>& answers) {
  const Session* found = find(id);
  if (!found || !found->pending) return;
  const auto* asked = found->pending->questions();
  if (!asked) return;

  Json map = Json::object();
  for (std::size_t i = 0; i < asked->questions.size() && i < answers.size(); ++i)
    map[asked->questions[i].text] = answers[i];

  Json input = found->pending->toolInput.is_object() ? found->pending->toolInput : Json::object();
  input["answers"] = std::move(map);
  decide(id, "allow", input);
}

void Hub::sendReply(const std::string& id, const std::string& text) {
  const Session* found = find(id);
  if (!found || !found->pending || !found->pending->isReply()) return;
  Session s = *found;

  const std::string answer = json::compact(replyAnswer(s.agent, text));
  Reply reply = takeResponder(s.pending->id);
  s.pending.reset();
  if (reply) reply(answer);

  // The reply is the user's next prompt.
  s.mood = Mood::working;
  s.title = ToolText::headline(text);
  s.activity = "Thinking";
  s.tools.clear();
  s.tally.clear();
  s.turnCalls = 0;
  s.phase = "reasoning";
  s.turnStarted = loop_.now();
  s.finishedAt.reset();
  store(s);
}

void Hub::autoAnswerForTests(const Session& session) {
  const auto value = settings_.debugAnswer();
  if (!value) return;
  later(1.2, [this, id = session.id, value = *value] {
    const Session* s = find(id);
    if (s && s->pending && s->pending->isReply() && value != "allow" && value != "deny") {
      sendReply(id, value);
      return;
    }
    if (value == "allow" || value == "deny")
      decide(id, value);
    else
      answer(id, {value, value, value, value});
  });
}

}  // namespace talvane
