#include "app/NotificationsDesktop.h"

#include <gio/gio.h>
#include <glib/gi18n.h>

#include <iostream>

namespace tarvine::app {
namespace {

// GVariant strings are UTF-8; a name that is not is shown with replacements.
std::string valid(const std::string& text) {
  char* made = g_utf8_make_valid(text.c_str(), static_cast<gssize>(text.size()));
  std::string out = made;
  g_free(made);
  return out;
}

// The action's target: the path as a bytestring; undo-restore's with its version.
GVariant* targetOf(const Notice::Action& action) {
  if (action.name == Notifications::undoRestoreAction) {
    return g_variant_new("(^ays)", action.path.c_str(), valid(action.version).c_str());
  }
  return g_variant_new_bytestring(action.path.c_str());
}

std::string detailed(const Notice::Action& action) { return "app." + action.name; }

struct Posted {
  std::weak_ptr<NotificationsDesktop*> to;
  std::function<void(NotificationsDesktop&)> run;
};

gboolean runPosted(gpointer data) {
  auto* posted = static_cast<Posted*>(data);
  if (auto self = posted->to.lock()) posted->run(**self);
  return G_SOURCE_REMOVE;
}

void deletePosted(gpointer data) { delete static_cast<Posted*>(data); }

}  // namespace

NotificationsDesktop::NotificationsDesktop(GApplication* application, roots::Keeper& keeper,
                                           const std::string& container, Show showRoot,
                                           Show showHistory)
    : application_(G_APPLICATION(g_object_ref(application))),
      keeper_(keeper),
      showRoot_(std::move(showRoot)),
      showHistory_(std::move(showHistory)),
      notifications_(*this, container),
      self_(std::make_shared<NotificationsDesktop*>(this)) {
  for (std::string_view name :
       {Notifications::showRootAction, Notifications::showFolderAction,
        Notifications::showHistoryAction, Notifications::undoRestoreAction}) {
    const std::string named(name);
    GSimpleAction* action = g_simple_action_new(
        named.c_str(), name == Notifications::undoRestoreAction ? G_VARIANT_TYPE("(ays)")
                                                                : G_VARIANT_TYPE_BYTESTRING);
    g_signal_connect(action, "activate",
                     G_CALLBACK(+[](GSimpleAction* action, GVariant* target, gpointer self) {
                       static_cast<NotificationsDesktop*>(self)->activated(
                           g_action_get_name(G_ACTION(action)), target);
                     }),
                     this);
    g_action_map_add_action(G_ACTION_MAP(application_), G_ACTION(action));
    g_object_unref(action);
  }
  keeper_.onOutcomes({[this](const std::string& root, const Result<roots::Keeper::Taken>& taken) {
                        onMain([root, taken](NotificationsDesktop& self) {
                          self.notifications_.snapshotted(root, taken);
                        });
                      },
                      [this](const std::string& root, const Status& status) {
                        onMain([root, status](NotificationsDesktop& self) {
                          self.notifications_.availability(root, status);
                        });
                      },
                      [this](const std::string& path, const Result<history::Restored>& restored) {
                        onMain([path, restored, undoing = undoing_](NotificationsDesktop& self) {
                          self.notifications_.restored(path, restored, undoing);
                        });
                      }});
}

NotificationsDesktop::~NotificationsDesktop() {
  keeper_.onOutcomes({});
  for (std::string_view name :
       {Notifications::showRootAction, Notifications::showFolderAction,
        Notifications::showHistoryAction, Notifications::undoRestoreAction}) {
    g_action_map_remove_action(G_ACTION_MAP(application_), std::string(name).c_str());
  }
  g_object_unref(application_);
}

void NotificationsDesktop::onMain(std::function<void(NotificationsDesktop&)> run) {
  g_main_context_invoke_full(nullptr, G_PRIORITY_DEFAULT, runPosted,
                             new Posted{self_, std::move(run)}, deletePosted);
}

void NotificationsDesktop::healed(const roots::Keeper::Healing& healing) {
  onMain([healing](NotificationsDesktop& self) { self.notifications_.healed(healing); });
}

void NotificationsDesktop::mirrorPushed(const std::string& root, const std::string& url,
                                        const Status& status, int failures) {
  onMain([root, url, status, failures](NotificationsDesktop& self) {
    self.notifications_.mirrorPushed(root, url, status, failures);
  });
}

void NotificationsDesktop::mirrorsListed(const QuietMirrors::Setting::Mirrors& failures) {
  onMain([failures](NotificationsDesktop& self) { self.notifications_.mirrorsListed(failures); });
}

void NotificationsDesktop::send(const Notice& notice) {
  GNotification* notification = g_notification_new(valid(notice.title).c_str());
  g_notification_set_body(notification, valid(notice.body).c_str());
  g_notification_set_priority(
      notification, notice.urgent ? G_NOTIFICATION_PRIORITY_HIGH : G_NOTIFICATION_PRIORITY_NORMAL);
  g_notification_set_default_action_and_target_value(notification, detailed(notice.click).c_str(),
                                                     targetOf(notice.click));
  if (notice.button) {
    g_notification_add_button_with_target_value(notification, valid(notice.button->first).c_str(),
                                                detailed(notice.button->second).c_str(),
                                                targetOf(notice.button->second));
  }
  g_application_send_notification(application_, valid(notice.id).c_str(), notification);
  g_object_unref(notification);
}

void NotificationsDesktop::withdraw(const std::string& id) {
  g_application_withdraw_notification(application_, valid(id).c_str());
}

void NotificationsDesktop::activated(const std::string& action, GVariant* target) {
  if (action == Notifications::undoRestoreAction) {
    const char* path = nullptr;
    const char* version = nullptr;
    g_variant_get(target, "(^&ay&s)", &path, &version);
    // Once the notification service's click is handled: its notice is gone
    // by then, and the undo's own comes as a new one.
    auto* posted = new Posted{self_, [path = std::string(path),
                                      version = std::string(version)](NotificationsDesktop& self) {
                                // Told as an undo: the outcome is judged while this is set.
                                self.undoing_ = true;
                                // Its outcome is a notice of its own.
                                (void)self.keeper_.restore(path, version);
                                self.undoing_ = false;
                              }};
    g_idle_add_full(G_PRIORITY_DEFAULT_IDLE, runPosted, posted, deletePosted);
    return;
  }
  const std::string path = g_variant_get_bytestring(target);
  if (action == Notifications::showFolderAction) {
    GFile* folder = g_file_new_for_path(path.c_str());
    char* uri = g_file_get_uri(folder);
    g_app_info_launch_default_for_uri_async(uri, nullptr, nullptr, nullptr, nullptr);
    g_free(uri);
    g_object_unref(folder);
    return;
  }
  // A root's notice: the Tarvine window at that folder (its history window
  // where that one is not installed); a restore's: the history of what it wrote.
  if (action == Notifications::showRootAction && showRoot_(path)) return;
  if (!showHistory_(path)) {
    std::cout << "tarvine-app: " << _("no window can show the history of this notification")
              << std::endl;
  }
}

}  // namespace tarvine::app
