#include "extension/Menu.h"

namespace tarvine {

MenuItem::MenuItem(std::string title, std::optional<Selector> action, std::string keyEquivalent)
    : title(std::move(title)), action(action), keyEquivalent(std::move(keyEquivalent)) {}

MenuItem MenuItem::separatorItem() {
  MenuItem item("", std::nullopt, "");
  item.isSeparator = true;
  item.enabled = false;
  return item;
}

MenuItem::MenuItem(const MenuItem& other)
    : isSeparator(other.isSeparator),
      title(other.title),
      action(other.action),
      command(other.command),
      keyEquivalent(other.keyEquivalent),
      target(other.target),
      enabled(other.enabled),
      state(other.state),
      image(other.image),
      submenu(other.submenu ? std::make_unique<Menu>(*other.submenu) : nullptr) {}

MenuItem& MenuItem::operator=(const MenuItem& other) {
  if (this != &other) *this = MenuItem(other);
  return *this;
}

MenuItem::~MenuItem() = default;

bool operator==(const MenuItem& a, const MenuItem& b) {
  if (a.submenu && b.submenu) {
    if (!(*a.submenu == *b.submenu)) return false;
  } else if (a.submenu || b.submenu) {
    return false;
  }
  return a.isSeparator == b.isSeparator && a.title == b.title && a.action == b.action &&
         a.command == b.command && a.keyEquivalent == b.keyEquivalent && a.target == b.target &&
         a.enabled == b.enabled && a.state == b.state && a.image == b.image;
}

}  // namespace tarvine
