#pragma once

#include <KAbstractFileItemActionPlugin>
#include <QPointer>

class QMenu;

// Dolphin's file-item action plugin: the shared host extension's menu as Qt
// actions. Dolphin keeps one instance for its whole life and never frees what
// actions() returns, so each menu's objects live until the next menu.
class DolphinPlugin : public KAbstractFileItemActionPlugin {
  Q_OBJECT

 public:
  DolphinPlugin(QObject* parent, const QVariantList& arguments);
  ~DolphinPlugin() override;

  QList<QAction*> actions(const KFileItemListProperties& items,
                          QWidget* parentWidget) noexcept override;

 private:
  QList<QAction*> menuActions(const KFileItemListProperties& items);

  // The last menu's submenu, which owns every action made for that menu.
  QPointer<QMenu> lastMenu_;
};
