#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "extension/Selector.h"

namespace tarvine {

class FinderSync;

// Which menu the host asks for. The host may pass any number: those past the
// toolbar's get an empty menu, as the sidebar's and the toolbar's do.
enum class MenuKind : std::uint64_t {
  contextualMenuForItems = 0,      // the selected items
  contextualMenuForContainer = 1,  // the folder a window shows, its empty space
  contextualMenuForSidebar = 2,
  toolbarItemMenu = 3,
};

enum class MenuItemState { off, on };

// An image as a menu shows it: the resource's name and the size it is drawn at.
struct MenuImage {
  std::string name;
  double width = 0;
  double height = 0;
  bool isTemplate = true;

  friend bool operator==(const MenuImage&, const MenuImage&) = default;
};

struct Menu;

// One entry of a menu: an item or a separator. A new item starts as the
// platform's do: enabled, state off, no target, image or submenu.
struct MenuItem {
  MenuItem(std::string title, std::optional<Selector> action, std::string keyEquivalent);
  static MenuItem separatorItem();

  MenuItem(const MenuItem& other);
  MenuItem& operator=(const MenuItem& other);
  MenuItem(MenuItem&&) noexcept = default;
  MenuItem& operator=(MenuItem&&) noexcept = default;
  ~MenuItem();

  bool isSeparator = false;
  std::string title;
  std::optional<Selector> action;
  // The command the entry offers, kept when it is disabled (and so has no
  // action): hosts name their items by it.
  std::optional<Selector> command;
  std::string keyEquivalent;
  FinderSync* target = nullptr;
  bool enabled = true;
  MenuItemState state = MenuItemState::off;
  std::optional<MenuImage> image;
  std::unique_ptr<Menu> submenu;

  friend bool operator==(const MenuItem& a, const MenuItem& b);
};

// A menu as a tree of plain values; the host turns it into whatever it shows.
struct Menu {
  explicit Menu(std::string title) : title(std::move(title)) {}

  void addItem(MenuItem item) { items.push_back(std::move(item)); }

  std::string title;
  bool autoenablesItems = true;
  std::vector<MenuItem> items;

  friend bool operator==(const Menu&, const Menu&) = default;
};

}  // namespace tarvine
