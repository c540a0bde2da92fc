#pragma once

#include <gtk/gtk.h>

#include <functional>
#include <memory>
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
// A framed list of one line of text a row over `strings`, each row named by
// its text for screen readers and the list by `name`; at least `height`
// pixels high (-1: as its rows need). `*selection` is the caller's (a
// reference of its own, to release with what it belongs to).
GtkWidget* textList(GtkStringList* strings, const char* name, GtkSingleSelection** selection,
                    int height = -1);
// Shows `bar` with `text`, pulsing while work of unknown length goes on;
// `*pulse` holds the timer, which stopPulsing ends.
void startPulsing(GtkProgressBar* bar, const char* text, guint* pulse);
void stopPulsing(GtkProgressBar* bar, guint* pulse);
// For work in the background that can tell how far it is (0 to 1), from
// its own thread: each step is shown on `bar` from the main loop, where it
// ends the pulsing, as long as `*alive` (the bar's window is there) holds.
std::function<void(double)> progressOn(GtkProgressBar* bar, guint* pulse,
                                       std::shared_ptr<bool> alive);
// The text of a GtkStringList's item, or null.
const char* stringOf(gpointer item);
std::vector<std::string> stringsOf(GtkStringList* list);
void setStrings(GtkStringList* list, const std::vector<std::string>& strings);

// One answer to a question: its button (a mnemonic) and what it does, its
// look (GTK's "destructive-action", "suggested-action", or none), and what
// choosing it runs before the question closes (nothing: Cancel).
struct Answer {
  const char* title;
  const char* description;
  const char* look = nullptr;
  std::function<void()> chosen;
};
// A modal question over `parent`: a heading (none when empty), the text, and
// the answers in a row at its end. Each answer's `chosen` must find out for
// itself whether what it acts on is still there.
void ask(GtkWindow* parent, const char* title, const std::string& heading, const std::string& text,
         std::vector<Answer> answers);

// Opens the display without OpenGL, unless the user chose a renderer that
// draws with it. The window is lists and buttons, which GTK's cairo renderer
// draws as well; where there is no GPU, Mesa's software OpenGL, which GDK
// loads on X11 even for the cairo renderer, was most of the window's memory
// (60 MB of 145 MB for a window of 14 versions of 100,000 files, and 150 MB
// of 233 MB with GTK's default renderer). The setting is taken back once the
// display is open: the applications the window opens versions with do not
// inherit it.
// False when there is no display to open.
bool openDisplayWithoutOpenGl();

}  // namespace tarvine::window
