#include "hosts/dolphin/DolphinPlugin.h"

#include <KFileItem>
#include <KFileItemListProperties>
#include <KIO/UDSEntry>
#include <KPluginFactory>
#include <QAction>
#include <QIcon>
#include <QMenu>

#include <memory>
#include <vector>

#include "hosts/glib/ExtensionWorker.h"
#include "hosts/glib/HostExtension.h"

K_PLUGIN_CLASS_WITH_JSON(DolphinPlugin, "tarvine-dolphin.json")

namespace {

using tarvine::ExtensionWorker;
using tarvine::GuardedCall;
using tarvine::HostExtension;

// The worker once made, else null; Qt's thread only. Stopped at exit, when
// statics go, after the commands already picked.
std::shared_ptr<ExtensionWorker>& madeWorker() noexcept {
  static std::shared_ptr<ExtensionWorker> instance;
  return instance;
}

// One extension per process, on its own thread with its own main loop: it
// works whatever loop the program runs (Dolphin, plasmashell, Qt without GLib).
// Made at the first call; a failure to make it is tried again at the next.
const std::shared_ptr<ExtensionWorker>& worker() {
  std::shared_ptr<ExtensionWorker>& instance = madeWorker();
  if (instance == nullptr) {
    instance = std::make_shared<ExtensionWorker>([] {
      return std::make_unique<HostExtension>(HostExtension::bundlePath(TARVINE_INSTALLED_BUNDLE));
    });
  }
  return instance;
}

// Inside a catch block: counted on the worker, which says it in the
// extension's log, so that Qt's thread writes nothing itself. Without a worker
// (making it failed) there is no extension and so no log to say it in; menus
// then have no History, and the next one tries again.
void failed(GuardedCall call) noexcept {
  if (const auto& made = madeWorker()) made->failed(call);
}

// An item as the shared layer takes it: its most local URL (desktop:/ items
// are files too), and its device and inode where KIO listed them, so that a
// name KIO could not decode (it then holds U+FFFD) is not taken for another path.
tarvine::FileManagerItem itemOf(const KFileItem& item) {
  tarvine::FileManagerItem converted{item.mostLocalUrl().toString(QUrl::FullyEncoded).toStdString(),
                                     item.isDir(), std::nullopt};
  const KIO::UDSEntry& entry = item.entry();
  if (entry.contains(KIO::UDSEntry::UDS_DEVICE_ID) && entry.contains(KIO::UDSEntry::UDS_INODE)) {
    converted.identity.emplace(
        static_cast<std::uint64_t>(entry.numberValue(KIO::UDSEntry::UDS_DEVICE_ID)),
        static_cast<std::uint64_t>(entry.numberValue(KIO::UDSEntry::UDS_INODE)));
  }
  return converted;
}

QString qt(const std::string& text) { return QString::fromStdString(text); }

// An entry as a Qt action: its stable name, title, enabled flag, a check mark
// where its state is on (Dolphin shows check marks), and its selector
// delivered with the menu's selection when triggered.
QAction* actionFor(const tarvine::MenuItem& entry, std::size_t position, QObject* owner,
                   const std::shared_ptr<const tarvine::CapturedSelection>& selection) {
  auto* action = new QAction(qt(entry.title), owner);
  action->setObjectName(qt(HostExtension::itemName(entry, "", position)));
  action->setEnabled(entry.enabled);
  if (entry.state == tarvine::MenuItemState::on) {
    action->setCheckable(true);
    action->setChecked(true);
  }
  if (auto selector = HostExtension::deliveredSelector(entry)) {
    QObject::connect(action, &QAction::triggered, action,
                     [worker = worker(), selection, selector = *selector]() noexcept {
                       // Nothing may be thrown into Qt: a failure drops the command.
                       try {
                         worker->perform(selection, selector);
                       } catch (...) {
                         worker->failed(GuardedCall::fileManagerPick);
                       }
                     });
  }
  return action;
}

}  // namespace

DolphinPlugin::DolphinPlugin(QObject* parent, const QVariantList&)
    : KAbstractFileItemActionPlugin(parent) {
  // Started now, so that the first menu already knows whether the main
  // application runs.
  try {
    worker();
  } catch (...) {
    // Without a thread there is no History menu; the next menu tries again.
    // Nothing is logged: the log is the extension's, and no worker was made
    // to make one (Qt's thread writes to no log itself).
  }
}

DolphinPlugin::~DolphinPlugin() { delete lastMenu_; }

QList<QAction*> DolphinPlugin::actions(const KFileItemListProperties& properties,
                                       QWidget*) noexcept {
  try {
    return menuActions(properties);
  } catch (...) {
    // Nothing may be thrown into Qt: a failure is a menu without History.
    failed(GuardedCall::fileManagerMenu);
    return {};
  }
}

QList<QAction*> DolphinPlugin::menuActions(const KFileItemListProperties& properties) {
  // The previous menu is closed by now: its objects go.
  if (lastMenu_) lastMenu_->deleteLater();
  // Dolphin passes the selected items, or the view's own folder for its
  // background; both are the items the menu is about.
  const KFileItemList& selected = properties.items();
  std::vector<tarvine::FileManagerItem> items;
  items.reserve(static_cast<std::size_t>(selected.size()));
  for (const KFileItem& item : selected) items.push_back(itemOf(item));
  auto menu = worker()->menuForSelection(std::move(items));
  if (!menu) return {};

  QList<QAction*> actions;
  for (const tarvine::MenuItem& top : menu->menu.items) {
    auto* submenu = new QMenu();
    lastMenu_ = submenu;
    QAction* action = actionFor(top, 0, submenu, menu->selection);
    if (const std::string* icon = menu->imageFile(top)) action->setIcon(QIcon(qt(*icon)));
    static const std::vector<tarvine::MenuItem> kNone;
    std::size_t position = 0;
    for (const tarvine::MenuItem& entry : top.submenu ? top.submenu->items : kNone) {
      ++position;
      if (entry.isSeparator) {
        submenu->addSeparator();
      } else {
        submenu->addAction(actionFor(entry, position, submenu, menu->selection));
      }
    }
    action->setMenu(submenu);
    actions.append(action);
  }
  return actions;
}

#include "DolphinPlugin.moc"
