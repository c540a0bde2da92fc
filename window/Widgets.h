#pragma once

#include <gtk/gtk.h>

#include <string>
#include <vector>

// The small pieces both windows are built of, each with the name a screen
// reader says where it needs one.
namespace tarvine::window {

GtkWidget* label(const std::string& text, const char* cssClass = nullptr);
// A label that wraps its lines rather than cutting them short.
GtkWidget* wrapping(const std::string& text, const char* cssClass = nullptr);
void margins(GtkWidget* widget, int sides, int ends);
void describe(GtkWidget* widget, const std::string& text);
// Names a list view's row for screen readers: the row GTK made around
// `child`, which is what takes the focus (GTK 4.8 has no call for it).
void describeRow(GtkWidget* child, const std::string& text);
// A button whose title is a label of its own that names it: GTK 4.8 would
// otherwise have screen readers say a button's title twice, once with its
// mnemonic's mark.
GtkButton* button(const char* mnemonic, const char* tooltip, GCallback clicked, gpointer data);
void retitle(GtkWidget* button, const char* mnemonic);
GtkWidget* scrolled(GtkWidget* child);
// A list view over `model`, one selected at a time, nothing at first. The
// view takes the selection and the factory.
GtkListView* listView(GListModel* model, GtkListItemFactory* factory,
                      GtkSingleSelection** selection);
// Shows `bar` with `text`, pulsing while work of unknown length goes on;
// `*pulse` holds the timer, which stopPulsing ends.
void startPulsing(GtkProgressBar* bar, const char* text, guint* pulse);
void stopPulsing(GtkProgressBar* bar, guint* pulse);
// The text of a GtkStringList's item, or null.
const char* stringOf(gpointer item);
std::vector<std::string> stringsOf(GtkStringList* list);
void setStrings(GtkStringList* list, const std::vector<std::string>& strings);

}  // namespace tarvine::window
