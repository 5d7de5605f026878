#include "desktop/kept_clipboard.h"

#include <gtk/gtk.h>

#include <array>
#include <string_view>

#include "platform/signal_connection.h"

namespace talvane {

namespace {

GtkClipboard* board(KeptClipboard::Selection which) {
  return gtk_clipboard_get(which == KeptClipboard::Selection::primary ? GDK_SELECTION_PRIMARY
                                                                      : GDK_SELECTION_CLIPBOARD);
}

// Targets that are requests about the selection, not forms of its contents.
bool contentTarget(std::string_view target) {
  static constexpr std::array<std::string_view, 7> kMeta{
      "TARGETS", "MULTIPLE",        "TIMESTAMP",       "SAVE_TARGETS",
      "DELETE",  "INSERT_PROPERTY", "INSERT_SELECTION"};
  for (auto meta : kMeta)
    if (target == meta) return false;
  return !target.empty();
}

std::string atomName(GdkAtom atom) {
  gchar* name = gdk_atom_name(atom);
  std::string s = name ? name : "";
  g_free(name);
  return s;
}

// One read of every form, one request at a time: GTK refuses a request while another on the
// clipboard is still being answered. Every request is answered exactly once, late ones
// included, so each holds a reference; the first of "all answered" and the deadline finishes.
struct Reading {
  Reading(EventLoop& l, GtkClipboard* b) : loop(l), clipboard(b) {}
  EventLoop& loop;
  GtkClipboard* clipboard;
  std::vector<GdkAtom> wanted;
  std::vector<KeptClipboard::Form> forms;
  bool finished = false;
  std::function<void(std::vector<KeptClipboard::Form>)> done;
  TimerHandle deadline;

  void finish() {
    if (finished) return;
    finished = true;
    deadline.cancel();
    auto d = std::move(done);
    d(std::move(forms));
  }
};

void requestNext(const std::shared_ptr<Reading>& reading);

// A reading's reference handed to GTK for one request, taken back by its answer.
using Held = std::unique_ptr<std::shared_ptr<Reading>>;
gpointer handOver(const std::shared_ptr<Reading>& reading) {
  return std::make_unique<std::shared_ptr<Reading>>(reading).release();
}

void formReceived(GtkClipboard*, GtkSelectionData* data, gpointer user) {
  Held held(static_cast<std::shared_ptr<Reading>*>(user));
  guardCallback("a clipboard form", [&] {
    auto reading = *held;
    if (reading->finished) return;
    const gint length = data ? gtk_selection_data_get_length(data) : -1;
    if (length >= 0) {
      KeptClipboard::Form& form = reading->forms.emplace_back();
      form.target = atomName(gtk_selection_data_get_target(data));
      form.type = atomName(gtk_selection_data_get_data_type(data));
      form.format = gtk_selection_data_get_format(data);
      const guchar* bytes = gtk_selection_data_get_data(data);
      if (bytes) form.data.assign(reinterpret_cast<const char*>(bytes), length);
    }
    // Asked from inside this answer, the next request would be refused.
    reading->loop.post([reading] { requestNext(reading); });
  });
}

void requestNext(const std::shared_ptr<Reading>& reading) {
  if (reading->finished) return;
  if (reading->wanted.empty()) return reading->finish();
  GdkAtom target = reading->wanted.front();
  reading->wanted.erase(reading->wanted.begin());
  gtk_clipboard_request_contents(reading->clipboard, target, formReceived, handOver(reading));
}

void targetsReceived(GtkClipboard*, GdkAtom* atoms, gint count, gpointer user) {
  Held held(static_cast<std::shared_ptr<Reading>*>(user));
  guardCallback("the clipboard's targets", [&] {
    auto reading = *held;
    if (reading->finished) return;
    for (gint i = 0; atoms && i < count; ++i)
      if (contentTarget(atomName(atoms[i]))) reading->wanted.push_back(atoms[i]);
    reading->loop.post([reading] { requestNext(reading); });
  });
}

struct Offered {
  std::vector<KeptClipboard::Form> forms;
};

void serveForm(GtkClipboard*, GtkSelectionData* data, guint info, gpointer user) {
  auto* offered = static_cast<Offered*>(user);
  if (info >= offered->forms.size()) return;
  const KeptClipboard::Form& f = offered->forms[info];
  gtk_selection_data_set(data, gdk_atom_intern(f.type.c_str(), FALSE), f.format,
                         reinterpret_cast<const guchar*>(f.data.data()),
                         static_cast<gint>(f.data.size()));
}

void dropOffer(GtkClipboard*, gpointer user) {
  const std::unique_ptr<Offered> dropped(static_cast<Offered*>(user));
}

}  // namespace

struct KeptClipboard::State {
  std::optional<std::vector<Form>> kept;  // set from hold() until restore()
  bool ours = false;                      // our text is still on the clipboard
  unsigned long offers = 0;
  unsigned long served = 0;  // times the current text was fetched
};

namespace {

struct TextOffer {
  std::shared_ptr<KeptClipboard::State> state;
  unsigned long id;
  std::string text;
};

void serveText(GtkClipboard*, GtkSelectionData* data, guint, gpointer user) {
  const auto* offer = static_cast<TextOffer*>(user);
  if (offer->state->offers == offer->id) ++offer->state->served;
  gtk_selection_data_set_text(data, offer->text.c_str(), static_cast<gint>(offer->text.size()));
}

void textReplaced(GtkClipboard*, gpointer user) {
  std::unique_ptr<TextOffer> offer(static_cast<TextOffer*>(user));
  if (offer->state->offers == offer->id) offer->state->ours = false;
}

}  // namespace

KeptClipboard::KeptClipboard(EventLoop& loop, Selection which)
    : loop_(loop), which_(which), state_(std::make_shared<State>()) {}

KeptClipboard::~KeptClipboard() {
  if (restore_) restore();
}

void KeptClipboard::read(EventLoop& loop, std::function<void(std::vector<Form>)> done,
                         Selection which) {
  auto reading = std::make_shared<Reading>(loop, board(which));
  reading->done = std::move(done);
  std::weak_ptr<Reading> weak = reading;
  reading->deadline = loop.after(kReadLimit, [weak] {
    if (auto r = weak.lock()) r->finish();
  });
  gtk_clipboard_request_targets(reading->clipboard, targetsReceived, handOver(reading));
}

void KeptClipboard::offer(std::vector<Form> forms, Selection which) {
  GtkClipboard* clipboard = board(which);
  std::vector<GtkTargetEntry> entries;
  for (std::size_t i = 0; i < forms.size(); ++i)
    entries.push_back({const_cast<gchar*>(forms[i].target.c_str()), 0, static_cast<guint>(i)});
  auto offered = std::make_unique<Offered>(Offered{std::move(forms)});
  // The entries point into `forms`, now moved into `offered`: same buffers, still alive. Once
  // the clipboard took them, it frees them when another owner comes.
  if (!gtk_clipboard_set_with_data(clipboard, entries.data(), entries.size(), serveForm, dropOffer,
                                   offered.get()))
    return;
  (void)offered.release();
  // A clipboard manager may keep them once we are gone.
  if (which == Selection::clipboard) gtk_clipboard_set_can_store(clipboard, nullptr, 0);
}

void KeptClipboard::offerText(const std::string& text) {
  GtkTargetList* list = gtk_target_list_new(nullptr, 0);
  gtk_target_list_add_text_targets(list, 0);
  gint count = 0;
  GtkTargetEntry* entries = gtk_target_table_new_from_list(list, &count);
  gtk_target_list_unref(list);
  const unsigned long id = ++state_->offers;
  auto offer = std::make_unique<TextOffer>(TextOffer{state_, id, text});
  state_->served = 0;
  if (gtk_clipboard_set_with_data(board(which_), entries, count, serveText, textReplaced,
                                  offer.get())) {
    (void)offer.release();
    state_->ours = true;
  }
  gtk_target_table_free(entries, count);
}

void KeptClipboard::hold(const std::string& text, std::function<void()> ready) {
  restore_.cancel();
  if (state_->kept && state_->ours) {
    // Still showing an earlier paste's text: what is kept is the user's, not that.
    offerText(text);
    ready();
    return;
  }
  // The clipboard's own callbacks share state_, so only this object's token tells it is alive.
  std::weak_ptr<char> alive = alive_;
  read(
      loop_,
      [this, alive, text, ready = std::move(ready)](std::vector<Form> forms) {
        if (!alive.lock()) return;
        if (!(state_->kept && state_->ours)) state_->kept = std::move(forms);
        offerText(text);
        ready();
      },
      which_);
}

unsigned long KeptClipboard::served() const { return state_->served; }

void KeptClipboard::keep() {
  restore_.cancel();
  state_->kept.reset();
}

void KeptClipboard::restoreAfter(double seconds) {
  restore_ = loop_.after(seconds, [this] { restore(); });
}

void KeptClipboard::restore() {
  restore_.cancel();
  auto kept = std::exchange(state_->kept, std::nullopt);
  if (!kept || !state_->ours) return;
  if (kept->empty())
    gtk_clipboard_clear(board(which_));
  else
    offer(std::move(*kept), which_);
  state_->ours = false;
}

}  // namespace talvane
