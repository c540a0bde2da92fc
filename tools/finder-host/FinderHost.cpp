#include "tools/finder-host/FinderHost.h"

#include <glib.h>

#include <charconv>
#include <cmath>
#include <nlohmann/json.hpp>

namespace tarvine {
namespace {

using Json = nlohmann::ordered_json;

std::string line(const Json& value) {
  // Paths need not be UTF-8; replace what JSON cannot carry rather than fail.
  return value.dump(-1, ' ', false, Json::error_handler_t::replace);
}

// Whole sizes print as integers ("width":17), others as they are.
Json number(double value) {
  if (std::nearbyint(value) == value && std::abs(value) < 1e15)
    return Json(static_cast<std::int64_t>(value));
  return Json(value);
}

Json menuJson(const Menu& menu) {
  Json items = Json::array();
  for (const MenuItem& item : menu.items) {
    if (item.isSeparator) {
      items.push_back(Json{{"separator", true}});
      continue;
    }
    Json entry;
    entry["title"] = item.title;
    entry["action"] = item.action ? Json(selectorName(*item.action)) : Json(nullptr);
    entry["keyEquivalent"] = item.keyEquivalent;
    entry["target"] = item.target != nullptr ? Json("extension") : Json(nullptr);
    entry["enabled"] = item.enabled;
    entry["state"] = item.state == MenuItemState::on ? "on" : "off";
    if (item.image) {
      entry["image"] = Json{{"name", item.image->name},
                            {"width", number(item.image->width)},
                            {"height", number(item.image->height)},
                            {"template", item.image->isTemplate}};
    } else {
      entry["image"] = nullptr;
    }
    entry["submenu"] = item.submenu ? menuJson(*item.submenu) : Json(nullptr);
    items.push_back(std::move(entry));
  }
  return Json{{"title", menu.title}, {"autoenablesItems", menu.autoenablesItems}, {"items", items}};
}

void menuText(const Menu& menu, const std::string& indent, std::string& out) {
  for (std::size_t i = 0; i < menu.items.size(); ++i) {
    const MenuItem& item = menu.items[i];
    out += indent + std::to_string(i) + " ";
    if (item.isSeparator) {
      out += "----\n";
      continue;
    }
    out += item.state == MenuItemState::on ? "[x] " : "[ ] ";
    out += item.title;
    if (!item.enabled) out += "  (disabled)";
    if (item.action && item.target != nullptr)
      out += "  -> " + std::string(selectorName(*item.action));
    if (item.image) {
      out += "  [" + item.image->name + " " + std::to_string(static_cast<long>(item.image->width)) +
             "x" + std::to_string(static_cast<long>(item.image->height)) + "]";
    }
    out += "\n";
    if (item.submenu) menuText(*item.submenu, indent + "    ", out);
  }
}

std::optional<std::uint64_t> parseUnsigned(const std::string& text) {
  std::uint64_t value = 0;
  auto [ptr, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (text.empty() || error != std::errc() || ptr != text.data() + text.size()) return std::nullopt;
  return value;
}

std::optional<FileURL> urlFor(const std::string& path) {
  if (path.empty() || path.front() != '/') return std::nullopt;
  return FileURL::fromPath(path, path.back() == '/');
}

}  // namespace

void FinderHost::setDirectoryURLs(const std::vector<FileURL>& directories) { scope_ = directories; }

FinderHost::Answer FinderHost::error(const std::string& message) const {
  return Answer{false, json_ ? line(Json{{"error", message}}) : "error: " + message};
}

FinderHost::Answer FinderHost::ok() const {
  return Answer{true, json_ ? line(Json{{"ok", true}}) : "ok"};
}

FinderHost::Answer FinderHost::sent(std::optional<Selector> selector) const {
  if (json_) {
    return Answer{true,
                  line(Json{{"sent", selector ? Json(selectorName(*selector)) : Json(nullptr)}})};
  }
  return Answer{true, selector ? "sent " + std::string(selectorName(*selector)) : "nothing sent"};
}

FinderHost::Answer FinderHost::executeLine(const std::string& commandLine) {
  // The splitter stops at a NUL, which would silently run a shorter command.
  if (commandLine.find('\0') != std::string::npos) return error("the command holds a NUL byte");
  gint argc = 0;
  gchar** argv = nullptr;
  GError* failure = nullptr;
  if (!g_shell_parse_argv(commandLine.c_str(), &argc, &argv, &failure)) {
    std::string message = failure != nullptr ? failure->message : "cannot split the command";
    g_clear_error(&failure);
    return error(message);
  }
  std::vector<std::string> words(argv, argv + argc);
  g_strfreev(argv);
  return execute(words);
}

FinderHost::Answer FinderHost::execute(const std::vector<std::string>& words) {
  if (words.empty()) return error("empty command");
  if (extension_ == nullptr) return error("no extension attached");
  const std::string& name = words[0];
  std::vector<std::string> arguments(words.begin() + 1, words.end());
  if (name == "scope" && arguments.empty()) return scope();
  if (name == "toolbar" && arguments.empty()) return toolbar();
  if (name == "select") return select(arguments);
  if (name == "target") return target(arguments);
  if (name == "menu") return menu(arguments);
  if (name == "pick") return pick(arguments);
  if (name == "send") return send(arguments);
  if (name == "scope" || name == "toolbar") return error(name + " takes no arguments");
  return error("unknown command \"" + name +
               "\" (commands: scope, toolbar, select, target, menu, pick, send)");
}

FinderHost::Answer FinderHost::scope() const {
  Json paths = Json::array();
  std::string text = "scope:";
  for (const FileURL& url : scope_) {
    // Registered URLs are directories; show them in directory form.
    std::string path = url.path() == "/" ? "/" : url.path() + "/";
    paths.push_back(path);
    text += " " + path;
  }
  return Answer{true, json_ ? line(Json{{"scope", paths}}) : text};
}

FinderHost::Answer FinderHost::toolbar() const {
  std::string name = extension_->toolbarItemName();
  std::string tip = extension_->toolbarItemToolTip();
  if (json_)
    return Answer{true, line(Json{{"toolbarItemName", name}, {"toolbarItemToolTip", tip}})};
  return Answer{true, "toolbar item: " + name + " (tool tip: " + tip + ")"};
}

FinderHost::Answer FinderHost::select(const std::vector<std::string>& paths) {
  std::vector<FileURL> urls;
  for (const std::string& path : paths) {
    auto url = urlFor(path);
    if (!url) return error("not an absolute path: \"" + path + "\"");
    urls.push_back(*url);
  }
  selection_ = std::move(urls);
  return ok();
}

FinderHost::Answer FinderHost::target(const std::vector<std::string>& paths) {
  if (paths.size() > 1) return error("target takes at most one path");
  if (paths.empty()) {
    targeted_.reset();
    return ok();
  }
  auto url = urlFor(paths[0]);
  if (!url) return error("not an absolute path: \"" + paths[0] + "\"");
  targeted_ = *url;
  return ok();
}

FinderHost::Answer FinderHost::menu(const std::vector<std::string>& arguments) {
  if (arguments.size() != 1)
    return error("usage: menu KIND (a number, or items, container, sidebar, toolbar)");
  const std::string& kindText = arguments[0];
  std::optional<MenuKind> kind;
  if (kindText == "items") kind = MenuKind::contextualMenuForItems;
  if (kindText == "container") kind = MenuKind::contextualMenuForContainer;
  if (kindText == "sidebar") kind = MenuKind::contextualMenuForSidebar;
  if (kindText == "toolbar") kind = MenuKind::toolbarItemMenu;
  // Any other number is passed on as the host would.
  if (!kind) {
    if (auto number = parseUnsigned(kindText)) kind = MenuKind{*number};
  }
  if (!kind) return error("not a menu kind: \"" + kindText + "\"");
  lastMenu_ = extension_->menuForMenuKind(*kind);
  if (json_) return Answer{true, line(Json{{"menu", menuJson(*lastMenu_)}})};
  if (lastMenu_->items.empty()) return Answer{true, "(empty menu)"};
  std::string text;
  menuText(*lastMenu_, "", text);
  text.pop_back();
  return Answer{true, text};
}

FinderHost::Answer FinderHost::pick(const std::vector<std::string>& arguments) {
  if (arguments.size() != 1) return error("usage: pick INDEX[.INDEX]");
  if (!lastMenu_) return error("no menu yet: ask for one with \"menu KIND\"");
  const Menu* menu = &*lastMenu_;
  const MenuItem* entry = nullptr;
  const std::string& path = arguments[0];
  std::size_t pos = 0;
  while (pos <= path.size()) {
    std::size_t dot = path.find('.', pos);
    if (dot == std::string::npos) dot = path.size();
    auto index = parseUnsigned(path.substr(pos, dot - pos));
    if (!index) return error("not an entry index: \"" + path + "\"");
    if (menu == nullptr || *index >= menu->items.size())
      return error("no entry " + path + " in the last menu");
    entry = &menu->items[*index];
    menu = entry->submenu.get();
    pos = dot + 1;
  }
  // As a file manager does: only an enabled entry with an action and a target sends.
  if (!entry->enabled || !entry->action || entry->target == nullptr) return sent(std::nullopt);
  entry->target->perform(*entry->action, entry);
  return sent(entry->action);
}

FinderHost::Answer FinderHost::send(const std::vector<std::string>& arguments) {
  if (arguments.size() != 1) return error("usage: send SELECTOR");
  auto selector = selectorFromName(arguments[0]);
  if (!selector) return error("unknown selector \"" + arguments[0] + "\"");
  extension_->perform(*selector);
  return sent(selector);
}

}  // namespace tarvine
