#pragma once

#include <functional>
#include <memory>
#include <string>

#include "app/Notifications.h"
#include "app/QuietMirrors.h"
#include "roots/Keeper.h"

typedef struct _GApplication GApplication;
typedef struct _GVariant GVariant;

namespace tarvine::app {

// The application's notifications on the desktop: each notice a GNotification
// sent through the GApplication (to the desktop's notification service, or
// the portal's), the actions notices name added to it, and the Keeper's
// outcomes brought to the main loop (from whatever thread they happen on) for
// Notifications to judge.
class NotificationsDesktop : public NoticeSender {
 public:
  // Shows a window of a path; false when none can be shown.
  using Show = std::function<bool(const std::string& path)>;

  // `showRoot` shows a watched folder in the Tarvine window, where its
  // problem is said with what to do; `showHistory`, a path's versions.
  NotificationsDesktop(GApplication* application, roots::Keeper& keeper,
                       const std::string& container, Show showRoot, Show showHistory);
  ~NotificationsDesktop() override;
  NotificationsDesktop(const NotificationsDesktop&) = delete;
  NotificationsDesktop& operator=(const NotificationsDesktop&) = delete;

  // Told by the Keeper's one listener for healings, which the application keeps.
  void healed(const roots::Keeper::Healing& healing);
  // Told by the application's quiet pushes (Notifications::mirrorPushed).
  void mirrorPushed(const std::string& root, const std::string& url, const Status& status,
                    int failures);
  // And by their looks at the mirrors (Notifications::mirrorsListed).
  void mirrorsListed(const QuietMirrors::Setting::Mirrors& failures);

  void send(const Notice& notice) override;
  void withdraw(const std::string& id) override;

 private:
  void activated(const std::string& action, GVariant* target);
  // `run` on the main loop's thread: at once when this is it.
  void onMain(std::function<void(NotificationsDesktop&)> run);

  GApplication* application_;
  roots::Keeper& keeper_;
  Show showRoot_, showHistory_;
  Notifications notifications_;
  bool undoing_ = false;
  // Gone with this, so that what was posted to the main loop finds it gone.
  std::shared_ptr<NotificationsDesktop*> self_;
};

}  // namespace tarvine::app
