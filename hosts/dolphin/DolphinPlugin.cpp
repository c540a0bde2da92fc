#include "hosts/dolphin/DolphinPlugin.h"

#include <KFileItem>
#include <KFileItemListProperties>
#include <KPluginFactory>
#include <QAction>
#include <QIcon>
#include <QMenu>

#include <memory>
#include <vector>

#include "hosts/glib/HostExtension.h"

K_PLUGIN_CLASS_WITH_JSON(DolphinPlugin, "tarvine-dolphin.json")

namespace {

using tarvine::HostExtension;

// One extension per process. Qt's event loop on Linux runs GLib's main
// context, which keeps the bus-name watch current.
HostExtension& extension() {
  static HostExtension instance(HostExtension::bundlePath(TARVINE_INSTALLED_BUNDLE));
  return instance;
}

QString qt(const std::string& text) { return QString::fromStdString(text); }

// An entry as a Qt action: title, enabled flag, check state (Dolphin shows
// check marks, so the enable entry is checkable), and its selector delivered
// with the menu's selection when triggered.
QAction* actionFor(const tarvine::MenuItem& entry, QObject* owner,
                   const std::shared_ptr<const tarvine::CapturedSelection>& selection) {
  auto* action = new QAction(qt(entry.title), owner);
  action->setEnabled(entry.enabled);
  if (auto selector = HostExtension::deliveredSelector(entry)) {
    QObject::connect(action, &QAction::triggered, action, [selection, selector = *selector] {
      extension().perform(*selection, selector);
    });
  }
  return action;
}

}  // namespace

DolphinPlugin::DolphinPlugin(QObject* parent, const QVariantList&)
    : KAbstractFileItemActionPlugin(parent) {}

DolphinPlugin::~DolphinPlugin() { delete lastMenu_; }

QList<QAction*> DolphinPlugin::actions(const KFileItemListProperties& properties, QWidget*) {
  // The previous menu is closed by now: its objects go.
  if (lastMenu_) lastMenu_->deleteLater();
  // Dolphin passes the selected items, or the view's own folder for its
  // background; both are the items the menu is about.
  std::vector<tarvine::FileManagerItem> items;
  for (const KFileItem& item : properties.items()) {
    items.push_back({item.url().toString(QUrl::FullyEncoded).toStdString(), item.isDir()});
  }
  auto menu = extension().menuForSelection(items);
  if (!menu) return {};

  QList<QAction*> actions;
  for (const tarvine::MenuItem& top : menu->menu.items) {
    auto* submenu = new QMenu();
    lastMenu_ = submenu;
    QAction* action = actionFor(top, submenu, menu->selection);
    if (auto icon = extension().imagePath(top)) action->setIcon(QIcon(qt(*icon)));
    bool first = true;
    static const std::vector<tarvine::MenuItem> kNone;
    for (const tarvine::MenuItem& entry : top.submenu ? top.submenu->items : kNone) {
      if (entry.isSeparator) {
        submenu->addSeparator();
        continue;
      }
      QAction* child = actionFor(entry, submenu, menu->selection);
      if (first) {
        child->setCheckable(true);
        child->setChecked(entry.state == tarvine::MenuItemState::on);
        first = false;
      }
      submenu->addAction(child);
    }
    action->setMenu(submenu);
    actions.append(action);
  }
  return actions;
}

#include "DolphinPlugin.moc"
