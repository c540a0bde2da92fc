#include "window/Widgets.h"

#include <atomic>

namespace tarvine::window {

GtkWidget* label(const std::string& text, const char* cssClass) {
  GtkWidget* widget = gtk_label_new(text.c_str());
  gtk_label_set_xalign(GTK_LABEL(widget), 0);
  gtk_label_set_ellipsize(GTK_LABEL(widget), PANGO_ELLIPSIZE_END);
  if (cssClass != nullptr) gtk_widget_add_css_class(widget, cssClass);
  return widget;
}

GtkWidget* wrapping(const std::string& text, const char* cssClass) {
  GtkWidget* widget = label(text, cssClass);
  gtk_label_set_ellipsize(GTK_LABEL(widget), PANGO_ELLIPSIZE_NONE);
  gtk_label_set_wrap(GTK_LABEL(widget), TRUE);
  return widget;
}

void margins(GtkWidget* widget, int sides, int ends) {
  gtk_widget_set_margin_start(widget, sides);
  gtk_widget_set_margin_end(widget, sides);
  gtk_widget_set_margin_top(widget, ends);
  gtk_widget_set_margin_bottom(widget, ends);
}

void describe(GtkWidget* widget, const std::string& text) {
  gtk_accessible_update_property(GTK_ACCESSIBLE(widget), GTK_ACCESSIBLE_PROPERTY_LABEL,
                                 text.c_str(), -1);
}

void describeRow(GtkWidget* child, const std::string& text) {
  GtkWidget* row = gtk_widget_get_parent(child);
  describe(row != nullptr ? row : child, text);
}

GtkButton* button(const char* mnemonic, const char* tooltip, GCallback clicked, gpointer data) {
  GtkWidget* widget = gtk_button_new();
  GtkWidget* title = gtk_label_new_with_mnemonic(mnemonic);
  gtk_label_set_mnemonic_widget(GTK_LABEL(title), widget);
  gtk_button_set_child(GTK_BUTTON(widget), title);
  gtk_widget_set_tooltip_text(widget, tooltip);
  g_signal_connect(widget, "clicked", clicked, data);
  return GTK_BUTTON(widget);
}

void ask(GtkWindow* parent, const char* title, const std::string& heading, const std::string& text,
         std::vector<Answer> answers) {
  GtkWindow* question = GTK_WINDOW(gtk_window_new());
  gtk_window_set_transient_for(question, parent);
  gtk_window_set_modal(question, TRUE);
  gtk_window_set_destroy_with_parent(question, TRUE);
  gtk_window_set_title(question, title);
  gtk_window_set_titlebar(question, gtk_header_bar_new());
  GtkWidget* box = gtk_box_new(GTK_ORIENTATION_VERTICAL, 12);
  margins(box, 18, 18);
  gtk_window_set_child(question, box);
  if (!heading.empty()) gtk_box_append(GTK_BOX(box), label(heading, "heading"));
  GtkWidget* said = wrapping(text);
  gtk_widget_set_size_request(said, 380, -1);
  gtk_box_append(GTK_BOX(box), said);
  // Each answer lives as long as the question, whose button runs it.
  struct Chosen {
    GtkWindow* question;
    std::function<void()> run;
  };
  GtkWidget* buttons = gtk_box_new(GTK_ORIENTATION_HORIZONTAL, 8);
  gtk_widget_set_halign(buttons, GTK_ALIGN_END);
  for (Answer& answer : answers) {
    auto* chosen = new Chosen{question, std::move(answer.chosen)};
    g_object_set_data_full(G_OBJECT(question), answer.title, chosen,
                           [](gpointer data) { delete static_cast<Chosen*>(data); });
    GtkWidget* pressed = GTK_WIDGET(button(answer.title, answer.description,
                                           G_CALLBACK(+[](GtkButton*, gpointer data) {
                                             auto* chosen = static_cast<Chosen*>(data);
                                             GtkWindow* question = chosen->question;
                                             if (chosen->run) chosen->run();
                                             gtk_window_destroy(question);
                                           }),
                                           chosen));
    if (answer.look != nullptr) gtk_widget_add_css_class(pressed, answer.look);
    gtk_box_append(GTK_BOX(buttons), pressed);
  }
  gtk_box_append(GTK_BOX(box), buttons);
  gtk_window_present(question);
}

GtkWidget* textList(GtkStringList* strings, const char* name, GtkSingleSelection** selection,
                    int height) {
  GtkListItemFactory* factory = gtk_signal_list_item_factory_new();
  g_signal_connect(factory, "setup",
                   G_CALLBACK(+[](GtkSignalListItemFactory*, GtkListItem* item, gpointer) {
                     GtkWidget* text = label("");
                     margins(text, 12, 4);
                     gtk_list_item_set_child(item, text);
                   }),
                   nullptr);
  g_signal_connect(factory, "bind",
                   G_CALLBACK(+[](GtkSignalListItemFactory*, GtkListItem* item, gpointer) {
                     const char* text = stringOf(gtk_list_item_get_item(item));
                     if (text == nullptr) return;
                     GtkWidget* child = gtk_list_item_get_child(item);
                     gtk_label_set_text(GTK_LABEL(child), text);
                     describeRow(child, text);
                   }),
                   nullptr);
  GtkWidget* list = GTK_WIDGET(listView(G_LIST_MODEL(strings), factory, selection));
  g_object_ref(*selection);
  describe(list, name);
  GtkWidget* frame = gtk_frame_new(nullptr);
  gtk_widget_set_size_request(frame, -1, height);
  gtk_frame_set_child(GTK_FRAME(frame), scrolled(list));
  return frame;
}

void retitle(GtkWidget* button, const char* mnemonic) {
  gtk_label_set_text_with_mnemonic(GTK_LABEL(gtk_button_get_child(GTK_BUTTON(button))), mnemonic);
}

GtkWidget* scrolled(GtkWidget* child) {
  GtkWidget* widget = gtk_scrolled_window_new();
  gtk_widget_set_vexpand(widget, TRUE);
  gtk_scrolled_window_set_child(GTK_SCROLLED_WINDOW(widget), child);
  return widget;
}

GtkListView* listView(GListModel* model, GtkListItemFactory* factory,
                      GtkSingleSelection** selection) {
  *selection = gtk_single_selection_new(model);
  gtk_single_selection_set_autoselect(*selection, FALSE);
  gtk_single_selection_set_can_unselect(*selection, TRUE);
  gtk_single_selection_set_selected(*selection, GTK_INVALID_LIST_POSITION);
  return GTK_LIST_VIEW(gtk_list_view_new(GTK_SELECTION_MODEL(*selection), factory));
}

// How often a progress bar pulses while the history is read or written.
constexpr guint kPulseMs = 100;

void startPulsing(GtkProgressBar* bar, const char* text, guint* pulse) {
  gtk_progress_bar_set_text(bar, text);
  gtk_progress_bar_set_show_text(bar, TRUE);
  gtk_widget_set_visible(GTK_WIDGET(bar), TRUE);
  if (*pulse != 0) g_source_remove(*pulse);
  *pulse = g_timeout_add(
      kPulseMs,
      [](gpointer pulsing) -> gboolean {
        gtk_progress_bar_pulse(GTK_PROGRESS_BAR(pulsing));
        return G_SOURCE_CONTINUE;
      },
      bar);
}

void stopPulsing(GtkProgressBar* bar, guint* pulse) {
  if (*pulse != 0) g_source_remove(*pulse);
  *pulse = 0;
  gtk_widget_set_visible(GTK_WIDGET(bar), FALSE);
}

std::function<void(double)> progressOn(GtkProgressBar* bar, guint* pulse,
                                       std::shared_ptr<bool> alive) {
  struct Step {
    GtkProgressBar* bar;
    guint* pulse;
    std::shared_ptr<bool> alive;
    double fraction;
  };
  // A whole percent at a time: a push tells of every object it sends.
  auto shown = std::make_shared<std::atomic<int>>(-1);
  return [bar, pulse, alive, shown](double fraction) {
    const int percent = static_cast<int>(fraction * 100);
    if (shown->exchange(percent) == percent) return;
    g_idle_add_once(
        [](gpointer data) {
          std::unique_ptr<Step> step(static_cast<Step*>(data));
          if (!*step->alive) return;
          if (*step->pulse != 0) g_source_remove(*step->pulse);
          *step->pulse = 0;
          gtk_progress_bar_set_fraction(step->bar, step->fraction);
        },
        new Step{bar, pulse, alive, fraction});
  };
}

const char* stringOf(gpointer item) {
  return item != nullptr ? gtk_string_object_get_string(GTK_STRING_OBJECT(item)) : nullptr;
}

std::vector<std::string> stringsOf(GtkStringList* list) {
  std::vector<std::string> strings;
  const guint count = g_list_model_get_n_items(G_LIST_MODEL(list));
  for (guint i = 0; i < count; ++i) strings.emplace_back(gtk_string_list_get_string(list, i));
  return strings;
}

void setStrings(GtkStringList* list, const std::vector<std::string>& strings) {
  std::vector<const char*> pointers;
  for (const std::string& string : strings) pointers.push_back(string.c_str());
  pointers.push_back(nullptr);
  gtk_string_list_splice(list, 0, g_list_model_get_n_items(G_LIST_MODEL(list)), pointers.data());
}

bool openDisplayWithoutOpenGl() {
  constexpr const char* kGdkDebug = "GDK_DEBUG";
  const char* renderer = g_getenv("GSK_RENDERER");
  const bool drawsWithOpenGl = renderer != nullptr && g_strcmp0(renderer, "cairo") != 0;
  const bool setHere = !drawsWithOpenGl && g_getenv(kGdkDebug) == nullptr;
  if (setHere) g_setenv(kGdkDebug, "gl-disable", TRUE);
  const bool opened = gtk_init_check();
  if (setHere) g_unsetenv(kGdkDebug);
  return opened;
}

}  // namespace tarvine::window
