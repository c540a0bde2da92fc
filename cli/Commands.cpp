#include "cli/Commands.h"

#include <glib/gi18n.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <ctime>
#include <iostream>
#include <nlohmann/json.hpp>
#include <optional>

#include "foundation/Iso8601.h"
#include "roots/Language.h"
#include "roots/Mirrors.h"
#include "roots/Preferences.h"
#include "roots/Programs.h"
#include "roots/Words.h"

namespace tarvine::cli {
namespace words = roots::words;
using roots::resolvedPath;
using roots::language::formatted;

namespace {

// `answer` on standard output, with the histories healed on the way.
void printJson(const Context& context, nlohmann::json answer) {
  if (context.healings != nullptr && !context.healings->empty()) {
    nlohmann::json healed = nlohmann::json::array();
    for (const roots::Keeper::Healing& healing : *context.healings) {
      healed.push_back({{"root", healing.root},
                        {"damaged", healing.healed.damaged},
                        {"keptAs", healing.healed.keptAs},
                        {"tip", healing.healed.tip},
                        {"why", healing.healed.why}});
    }
    answer["healed"] = healed;
  }
  std::cout << answer.dump() << "\n";
}

}  // namespace

int Context::done(const std::vector<std::string>& lines) const {
  if (json) {
    printJson(*this, {{"ok", true}, {"messages", lines}});
  } else {
    for (const std::string& line : lines) std::cout << line << "\n";
  }
  return 0;
}

int Context::failed(const Status& status, std::vector<std::string> lines) const {
  lines.push_back(status.message());
  if (json) {
    printJson(*this,
              {{"ok", false}, {"kind", Status::kindName(status.kind())}, {"messages", lines}});
  } else {
    for (const std::string& line : lines) std::cerr << line << "\n";
  }
  return 1;
}

namespace {

int watch(const Context& context, const std::vector<std::string>& args) {
  const auto mode = context.manual ? RootMode::manual : RootMode::automatic;
  auto watched = context.keeper.watch(resolvedPath(args[0]), mode);
  if (!watched.ok()) return context.failed(watched.status());
  std::vector<std::string> lines = words::watched(*watched);
  if (watched->first && !watched->first->ok()) {
    lines.pop_back();  // the failure's own line comes last, as failed() prints it
    return context.failed(watched->first->status(), std::move(lines));
  }
  return context.done(lines);
}

int pause(const Context& context, const std::vector<std::string>& args) {
  const std::string folder = resolvedPath(args[0]);
  Status paused = context.keeper.pause(folder);
  return paused.ok() ? context.done({words::paused(folder)}) : context.failed(paused);
}

int unwatch(const Context& context, const std::vector<std::string>& args) {
  const std::string folder = resolvedPath(args[0]);
  Status unwatched = context.keeper.unwatch(folder);
  return unwatched.ok() ? context.done({words::unwatched(folder)}) : context.failed(unwatched);
}

int mode(const Context& context, const std::vector<std::string>& args) {
  const std::string folder = resolvedPath(args[0]);
  const auto mode = rootMode(args[1]);
  if (!mode)
    return context.failed(
        Status::failure(Status::Kind::invalid, formatted(_("not a mode: %s"), args[1].c_str())));
  Status set = context.keeper.setMode(folder, *mode);
  return set.ok() ? context.done({words::modeSet(folder, *mode)}) : context.failed(set);
}

int snapshot(const Context& context, const std::vector<std::string>& args) {
  // Packed as the application packs after its snapshots, so that a history
  // kept from the command line alone stays as small.
  auto taken =
      context.keeper.snapshot(resolvedPath(args[0]), history::Reason::manual, /*tidy=*/true);
  return taken.ok() ? context.done(words::taken(*taken)) : context.failed(taken.status());
}

int log(const Context& context, const std::vector<std::string>& args) {
  const std::string path = resolvedPath(args[0]);
  auto listing = context.keeper.versions(path);
  if (!listing.ok()) return context.failed(listing.status());
  if (!context.json) return context.done(words::listing(path, *listing));
  nlohmann::json list = nlohmann::json::array();
  for (const auto& version : listing->versions) {
    nlohmann::json entry{{"id", version.id},
                         {"time", Iso8601::format(Timestamp::fromUnix(version.time)).value_or("")},
                         {"reason", std::string(history::reasonName(version.reason))},
                         {"change", std::string(words::changeName(version.change))}};
    if (version.size) entry["size"] = *version.size;
    list.push_back(entry);
  }
  printJson(context, {{"ok", true}, {"path", path}, {"versions", list}});
  return 0;
}

// What `restore` acts on: a link named in a watched folder is itself what
// comes back, so only the folder it lies in is resolved. Anything else (a
// watched folder reached through a link of its own) is resolved whole.
std::string restoredPath(const Context& context, const std::string& given) {
  const std::string path = roots::withoutTrailingSlash(given);
  const auto slash = path.find_last_of('/');
  const std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
  if (name.empty() || name == "." || name == "..") return resolvedPath(path);
  const std::string folder = slash == std::string::npos ? "." : path.substr(0, slash + 1);
  const std::string resolvedFolder = resolvedPath(folder);
  const std::string asGiven = resolvedFolder + (resolvedFolder == "/" ? "" : "/") + name;
  struct stat info {};
  auto roots = context.keeper.roots();
  if (::lstat(asGiven.c_str(), &info) == 0 && S_ISLNK(info.st_mode) && roots.ok() &&
      roots::Container::place(*roots, asGiven)) {
    return asGiven;
  }
  return resolvedPath(path);
}

int restore(const Context& context, const std::vector<std::string>& args) {
  const std::string path = restoredPath(context, args[0]);
  auto restored = context.keeper.restore(
      path, args.size() == 2 ? std::optional<std::string>(args[1]) : std::nullopt);
  if (!restored.ok()) return context.failed(restored.status());
  std::vector<std::string> lines = words::restored(path, *restored);
  if (restored->notReplaced.empty()) return context.done(lines);
  const std::size_t notReplaced = restored->notReplaced.size();
  return context.failed(
      Status::failure(Status::Kind::refused,
                      formatted(ngettext("%zu file not replaced: its content could not be read to "
                                         "keep it first",
                                         "%zu files not replaced: their content could not be "
                                         "read to keep it first",
                                         static_cast<unsigned long>(notReplaced)),
                                notReplaced)),
      std::move(lines));
}

int cat(const Context& context, const std::vector<std::string>& args) {
  Status written = context.keeper.writeVersion(resolvedPath(args[0]), args[1], STDOUT_FILENO);
  return written.ok() ? 0 : context.failed(written);
}

int window(const Context& context, const std::vector<std::string>& args) {
  const std::string program = roots::historyWindowProgram();
  if (program.empty()) {
    return context.failed(Status::failure(
        Status::Kind::unavailable, _("the history window is not installed (tarvine-history)")));
  }
  const std::string target = resolvedPath(args[0]);
  ::execl(program.c_str(), program.c_str(), "--group", context.group.c_str(), target.c_str(),
          static_cast<char*>(nullptr));
  return context.failed(Status::error(
      formatted(_("cannot start %s: %s"), program.c_str(), std::strerror(errno)), errno));
}

std::optional<std::string> isoTime(std::int64_t time) {
  return Iso8601::format(Timestamp::fromUnix(time));
}

int listOrphans(const Context& context) {
  auto orphans = context.keeper.orphans();
  if (!orphans.ok()) return context.failed(orphans.status());
  if (!context.json) {
    std::vector<std::string> lines;
    for (const auto& orphan : *orphans) lines.push_back(words::orphan(orphan));
    return context.done(lines);
  }
  nlohmann::json list = nlohmann::json::array();
  for (const auto& orphan : *orphans) {
    list.push_back({{"folder", orphan.folder}, {"store", orphan.store}, {"bytes", orphan.bytes}});
  }
  printJson(context, {{"ok", true}, {"orphans", list}});
  return 0;
}

// Each mirror of `root` as `mirror list` and `roots` show it; none when the
// mirrors cannot be read.
std::vector<history::mirror::Mirror> mirrorsOf(const Context& context, const std::string& root) {
  auto listed = roots::mirrors::list(context.keeper.container(), root);
  if (!listed.ok() || listed->empty()) return {};
  return listed->front().mirrors;
}

std::string when(std::int64_t time) {
  return time == 0 ? std::string(_("never"))
                   : Iso8601::format(Timestamp::fromUnix(time)).value_or("");
}

nlohmann::json mirrorJson(const history::mirror::Mirror& each) {
  return {{"url", each.url},
          {"pushed", each.pushed},
          {"pushedAt",
           each.pushedAt == 0 ? nlohmann::json(nullptr) : nlohmann::json(when(each.pushedAt))},
          {"unpushed", each.unpushed},
          {"failures", each.failures},
          {"lastFailure", each.lastFailure}};
}

std::string mirrorLine(const history::mirror::Mirror& each) {
  std::string line =
      formatted(ngettext("%s: last pushed %s, %zu snapshot not pushed yet",
                         "%s: last pushed %s, %zu snapshots not pushed yet", each.unpushed),
                each.url.c_str(), when(each.pushedAt).c_str(), each.unpushed);
  if (each.failures > 0) {
    const auto failures = static_cast<unsigned long>(each.failures);
    line += formatted(
        ngettext("; %lu failed push, the last: %s", "; %lu failed pushes, the last: %s", failures),
        failures, each.lastFailure.c_str());
  }
  return line;
}

int listRoots(const Context& context, const std::vector<std::string>&) {
  if (context.orphans) return listOrphans(context);
  // Each history is read as it is: its snapshots counted along the branch
  // (one commit read each) and its store's files stat'ed.
  auto roots = context.keeper.space();
  if (!roots.ok()) return context.failed(roots.status());
  if (context.json) {
    nlohmann::json list = nlohmann::json::array();
    for (const auto& [root, state, span, bytes, problem] : *roots) {
      nlohmann::json entry{{"path", root.path},
                           {"isPaused", root.isPaused},
                           {"mode", std::string(rawValue(modeOf(root)))},
                           {"state", std::string(words::stateName(state))},
                           {"versions", span.snapshots},
                           {"oldest", nullptr},
                           {"newest", nullptr},
                           {"bytes", bytes}};
      if (span.snapshots > 0) {
        entry["oldest"] = isoTime(span.oldest).value_or("");
        entry["newest"] = isoTime(span.newest).value_or("");
      }
      if (!problem.ok()) {
        entry["problem"] = {{"kind", Status::kindName(problem.kind())},
                            {"message", problem.message()}};
      }
      entry["mirrors"] = nlohmann::json::array();
      for (const auto& each : mirrorsOf(context, root.path)) {
        entry["mirrors"].push_back(mirrorJson(each));
      }
      list.push_back(entry);
    }
    std::cout << nlohmann::json{{"ok", true}, {"roots", list}}.dump() << "\n";
    return 0;
  }
  for (const auto& spanned : *roots) {
    std::cout << words::spanned(spanned) << "\n";
    for (const auto& each : mirrorsOf(context, spanned.root.path)) {
      std::cout << "  " << _("mirror") << " " << mirrorLine(each) << "\n";
    }
  }
  return 0;
}

int forget(const Context& context, const std::vector<std::string>& args) {
  const std::string folder = resolvedPath(args[0]);
  if (!context.yes) {
    auto found = context.keeper.orphan(folder);
    if (!found.ok()) return context.failed(found.status());
    if (::isatty(STDIN_FILENO) == 0) {
      return context.failed(Status::failure(
          Status::Kind::refused,
          _("not deleted: confirm with --yes (standard input is not a terminal to ask on)")));
    }
    std::cerr << words::forgetQuestion(*found) << std::flush;
    std::string answer;
    std::getline(std::cin, answer);
    if (answer != "y" && answer != "yes") {
      return context.failed(Status::failure(Status::Kind::refused, _("not deleted")));
    }
  }
  auto forgotten = context.keeper.forget(folder);
  return forgotten.ok() ? context.done({words::forgotten(*forgotten)})
                        : context.failed(forgotten.status());
}

// A folder that is gone cannot be resolved whole: its parent is, as far as
// it still is.
int move(const Context& context, const std::vector<std::string>& args) {
  const std::string from = resolvedPath(roots::withoutTrailingSlash(args[0]));
  const std::string to = resolvedPath(args[1]);
  Status moved = context.keeper.move(from, to);
  return moved.ok() ? context.done({words::moved(from, to)}) : context.failed(moved);
}

int ignoreFile(const Context& context, const std::vector<std::string>& args) {
  auto file = context.keeper.ignoreFile(resolvedPath(args[0]));
  return file.ok() ? context.done({*file}) : context.failed(file.status());
}

int pack(const Context& context, const std::vector<std::string>& args) {
  const std::string folder = resolvedPath(args[0]);
  Status packed = context.keeper.pack(folder);
  return packed.ok() ? context.done({words::packed(folder)}) : context.failed(packed);
}

// check --mirror: each mirror read and verified as the histories are (a
// server's from a copy fetched whole); one that cannot be reached is said to
// be unavailable, not damaged.
int checkMirrors(const Context& context, const std::vector<std::string>& args) {
  auto checked =
      roots::mirrors::check(context.keeper.container(),
                            args.empty() ? std::nullopt : std::optional(resolvedPath(args[0])));
  if (!checked.ok()) return context.failed(checked.status());
  bool intact = true;
  nlohmann::json list = nlohmann::json::array();
  std::vector<std::string> lines;
  for (const auto& verdict : *checked) {
    intact = intact && verdict.intact();
    nlohmann::json entry{
        {"root", verdict.root}, {"url", verdict.url}, {"intact", verdict.intact()}};
    const std::string name = verdict.root + " -> " + verdict.url + ": ";
    if (!verdict.report.ok()) {
      entry["kind"] = Status::kindName(verdict.report.status().kind());
      entry["problems"] = {verdict.report.status().message()};
      lines.push_back(name + (verdict.report.status().kind() == Status::Kind::unavailable
                                  ? formatted(_("unavailable, not checked: %s"),
                                              verdict.report.status().message().c_str())
                                  : verdict.report.status().message()));
    } else {
      entry["snapshots"] = verdict.report->snapshots;
      entry["objects"] = verdict.report->objects;
      entry["problems"] = verdict.report->problems;
      const auto snapshots = static_cast<unsigned long long>(verdict.report->snapshots);
      const auto objects = static_cast<unsigned long long>(verdict.report->objects);
      lines.push_back(name + formatted(verdict.intact()
                                           ? _("intact (%llu snapshots, %llu objects)")
                                           : _("damaged (%llu snapshots, %llu objects)"),
                                       snapshots, objects));
      for (const std::string& problem : verdict.report->problems) lines.push_back("  " + problem);
    }
    list.push_back(entry);
  }
  if (context.json) {
    printJson(context, {{"ok", intact}, {"mirrors", list}});
  } else {
    if (lines.empty()) lines.push_back(_("No mirrors."));
    for (const std::string& line : lines) std::cout << line << "\n";
  }
  return intact ? 0 : 1;
}

int check(const Context& context, const std::vector<std::string>& args) {
  if (context.mirror) return checkMirrors(context, args);
  auto checked =
      context.keeper.check(args.empty() ? std::nullopt : std::optional(resolvedPath(args[0])));
  if (!checked.ok()) return context.failed(checked.status());
  bool intact = true;
  nlohmann::json roots = nlohmann::json::array();
  std::vector<std::string> lines;
  for (const auto& verdict : *checked) {
    intact = intact && verdict.intact();
    for (std::string& line : words::checked(verdict)) lines.push_back(std::move(line));
    nlohmann::json root{{"root", verdict.root}, {"intact", verdict.intact()}};
    if (verdict.report.ok()) {
      root["snapshots"] = verdict.report->snapshots;
      root["objects"] = verdict.report->objects;
      root["problems"] = verdict.report->problems;
      root["keptAside"] = verdict.report->keptAside;
    } else {
      root["kind"] = Status::kindName(verdict.report.status().kind());
      root["problems"] = {verdict.report.status().message()};
    }
    roots.push_back(root);
  }
  if (context.json) {
    printJson(context, {{"ok", intact}, {"roots", roots}});
  } else {
    for (const std::string& line : lines) std::cout << line << "\n";
  }
  return intact ? 0 : 1;
}

nlohmann::json keptJson(const roots::Keeper::Kept& kept) {
  nlohmann::json answer{
      {"ok", true}, {"root", kept.root}, {"keep", kept.retention.text()}, {"pinned", kept.pinned}};
  answer["sizeLimit"] = kept.retention.sizeLimit ? nlohmann::json(*kept.retention.sizeLimit)
                                                 : nlohmann::json(nullptr);
  return answer;
}

int keep(const Context& context, const std::vector<std::string>& args) {
  const std::string folder = resolvedPath(args[0]);
  if (args.size() == 1) {
    auto kept = context.keeper.retention(folder);
    if (!kept.ok()) return context.failed(kept.status());
    if (!context.json) return context.done(words::kept(*kept));
    printJson(context, keptJson(*kept));
    return 0;
  }
  history::Retention retention = history::Retention::standard();
  if (args[1] != "default") {
    auto parsed = history::Retention::parse(args[1]);
    if (!parsed.ok()) return context.failed(parsed.status());
    retention = *parsed;
  }
  if (args.size() == 3) {
    auto size = history::Retention::parseSize(args[2]);
    if (!size.ok()) return context.failed(size.status());
    retention.sizeLimit = *size;
  }
  auto kept = context.keeper.setRetention(folder, retention);
  if (!kept.ok()) return context.failed(kept.status());
  if (!context.json) return context.done(words::kept(*kept));
  printJson(context, keptJson(*kept));
  return 0;
}

int pin(const Context& context, const std::vector<std::string>& args) {
  auto pinned = context.keeper.pin(resolvedPath(args[0]), args[1]);
  return pinned.ok() ? context.done({words::pinned(*pinned)}) : context.failed(pinned.status());
}

int unpin(const Context& context, const std::vector<std::string>& args) {
  auto unpinned = context.keeper.unpin(resolvedPath(args[0]), args[1]);
  return unpinned.ok() ? context.done({words::unpinned(*unpinned)})
                       : context.failed(unpinned.status());
}

int thin(const Context& context, const std::vector<std::string>& args) {
  auto thinning = context.keeper.thin(resolvedPath(args[0]), std::time(nullptr), context.dryRun);
  if (!thinning.ok()) return context.failed(thinning.status());
  if (!context.json) return context.done(words::thinned(*thinning));
  const history::Thinned& thinned = thinning->thinned;
  nlohmann::json dropped = nlohmann::json::array();
  for (const history::Dropped& version : thinned.dropped) {
    dropped.push_back({{"id", version.id},
                       {"time", Iso8601::format(Timestamp::fromUnix(version.time)).value_or("")},
                       {"reason", std::string(history::reasonName(version.reason))},
                       {"why", std::string(history::verdictName(version.verdict))}});
  }
  printJson(context, {{"ok", true},
                      {"root", thinning->root},
                      {"dryRun", thinned.dryRun},
                      {"versions", thinned.versions},
                      {"kept", thinned.kept},
                      {"dropped", dropped},
                      {"bytesBefore", thinned.bytesBefore},
                      {"bytesAfter", thinned.bytesAfter},
                      {"stillOverLimit", thinned.stillOverLimit},
                      {"tip", thinned.tip}});
  return 0;
}

// The application's notifications on or off; without an argument, which.
int notifications(const Context& context, const std::vector<std::string>& args) {
  const roots::Container& container = context.keeper.container();
  if (args.empty()) {
    auto preferences = roots::Preferences::read(container.path());
    if (!preferences.ok()) return context.failed(preferences.status());
    // Scripts read the setting, not the words.
    if (context.json) {
      printJson(context, {{"ok", true}, {"notifications", preferences->notifications}});
      return 0;
    }
    return context.done(
        {preferences->notifications ? _("Notifications are on.") : _("Notifications are off.")});
  }
  if (args[0] != "on" && args[0] != "off") {
    return context.failed(
        Status::failure(Status::Kind::invalid, formatted(_("not on or off: %s"), args[0].c_str())));
  }
  const bool on = args[0] == "on";
  Status changed = roots::Preferences::change(
      container, [on](roots::Preferences& preferences) { preferences.notifications = on; });
  if (!changed.ok()) return context.failed(changed);
  return context.done({on ? _("Notifications are on.") : _("Notifications are off.")});
}

int mirrorList(const Context& context, const std::optional<std::string>& folder) {
  auto listed = roots::mirrors::list(context.keeper.container(), folder);
  if (!listed.ok()) return context.failed(listed.status());
  nlohmann::json list = nlohmann::json::array();
  std::vector<std::string> lines;
  for (const auto& root : *listed) {
    for (const auto& each : root.mirrors) {
      nlohmann::json entry = mirrorJson(each);
      entry["root"] = root.root;
      list.push_back(entry);
      lines.push_back(root.root + " -> " + mirrorLine(each));
    }
  }
  if (context.json) {
    printJson(context, {{"ok", true}, {"mirrors", list}});
    return 0;
  }
  if (lines.empty()) lines.push_back(_("No mirrors."));
  return context.done(lines);
}

int mirrorPush(const Context& context, const std::optional<std::string>& folder) {
  const bool tell = !context.json && ::isatty(STDERR_FILENO);
  auto pushed = roots::mirrors::push(
      context.keeper.container(), folder,
      [&](const std::string& url, const history::mirror::Progress& step) {
        if (tell && step.allObjects > 0) {
          std::cerr << "\r" << url << ": " << step.objects << "/" << step.allObjects << " "
                    << _("objects") << ", " << step.bytes / 1024 << " KiB" << std::flush;
        }
      });
  if (tell) std::cerr << "\n";
  if (!pushed.ok()) return context.failed(pushed.status());
  std::vector<std::string> lines;
  std::optional<Status> failure;
  nlohmann::json list = nlohmann::json::array();
  for (const auto& each : *pushed) {
    if (!each.pushed.ok()) {
      if (!failure) failure = each.pushed.status();
      lines.push_back(each.root + " -> " + each.url + ": " + each.pushed.status().message());
      list.push_back({{"root", each.root},
                      {"url", each.url},
                      {"ok", false},
                      {"kind", Status::kindName(each.pushed.status().kind())},
                      {"message", each.pushed.status().message()}});
      continue;
    }
    list.push_back({{"root", each.root},
                    {"url", each.url},
                    {"ok", true},
                    {"tip", each.pushed->tip},
                    {"rewritten", each.pushed->rewritten},
                    {"upToDate", each.pushed->upToDate}});
    lines.push_back(each.root + " -> " + each.url + ": " +
                    (each.pushed->upToDate
                         ? std::string(_("up to date"))
                         : std::string(_("pushed")) + " " + history::shortId(each.pushed->tip)));
  }
  if (context.json) {
    printJson(context, {{"ok", !failure}, {"pushed", list}});
    return failure ? 1 : 0;
  }
  if (failure) {
    lines.pop_back();
    return context.failed(*failure, lines);
  }
  if (lines.empty()) lines.push_back(_("No mirrors."));
  return context.done(lines);
}

// mirror add FOLDER URL | list [FOLDER] | remove FOLDER URL | push [FOLDER]
int mirror(const Context& context, const std::vector<std::string>& args) {
  const std::string& what = args[0];
  const auto folder = args.size() > 1 ? std::optional(resolvedPath(args[1])) : std::nullopt;
  if (what == "list" && args.size() <= 2) return mirrorList(context, folder);
  if (what == "push" && args.size() <= 2) return mirrorPush(context, folder);
  if ((what == "add" || what == "remove") && args.size() == 3) {
    // A path on a disk is kept resolved; an address as given.
    const std::string url =
        args[2].find(':') == std::string::npos ? resolvedPath(args[2]) : args[2];
    Status done = what == "add" ? roots::mirrors::add(context.keeper.container(), *folder, url)
                                : roots::mirrors::remove(context.keeper.container(), *folder, url);
    if (!done.ok()) return context.failed(done);
    return context.done({*folder + " -> " + url + ": " +
                         (what == "add" ? _("mirror added") : _("mirror removed"))});
  }
  return context.failed(
      Status::failure(Status::Kind::invalid,
                      "mirror add FOLDER URL | list [FOLDER] | remove FOLDER URL | push [FOLDER]"));
}

int adopt(const Context& context, const std::vector<std::string>& args) {
  const std::string url = args[0].find(':') == std::string::npos ? resolvedPath(args[0]) : args[0];
  const std::string folder = resolvedPath(args[1]);
  history::mirror::trustFetchedObjects(url);  // this process adopts, and does nothing else
  auto adopted = roots::mirrors::adopt(context.keeper, url, folder, context.version);
  if (!adopted.ok()) return context.failed(adopted.status());
  if (context.json) {
    printJson(context, {{"ok", true}, {"root", folder}, {"url", url}, {"version", *adopted}});
    return 0;
  }
  return context.done(
      {formatted(_("%s: brought back at version %s from %s, watched, with its mirror kept"),
                 folder.c_str(), history::shortId(*adopted).c_str(), url.c_str())});
}

constexpr Command kCommands[] = {
    {"watch", N_("[--manual] FOLDER"),
     N_("keep FOLDER's history (automatic snapshots unless\n--manual); a paused folder resumes; "
        "takes a first snapshot"),
     1, 1, watch},
    {"pause", N_("FOLDER"), N_("take no more snapshots of FOLDER; its history stays"), 1, 1, pause},
    {"resume", N_("FOLDER"), N_("take snapshots of a paused FOLDER again"), 1, 1, watch},
    {"unwatch", N_("FOLDER"), N_("stop watching FOLDER; its history stays (see forget)"), 1, 1,
     unwatch},
    {"forget", N_("[--yes] FOLDER"),
     N_("delete the history of FOLDER, no longer watched (asks\nfirst unless --yes)"), 1, 1,
     forget},
    {"move", N_("OLD NEW"),
     N_("the watched folder OLD is now NEW (moved or renamed); its\nhistory follows it"), 2, 2,
     move},
    // TRANSLATORS: "automatic" and "manual" are typed as they are; translate only FOLDER.
    {"mode", N_("FOLDER automatic|manual"), "", 2, 2, mode},
    {"snapshot", N_("PATH"), N_("a snapshot of the watched folder that holds PATH, now"), 1, 1,
     snapshot},
    {"log", N_("PATH"), N_("PATH's versions, newest first"), 1, 1, log},
    {"restore", N_("PATH [VERSION]"),
     N_("PATH back to VERSION, or to its previous version; the\ncurrent state is kept first, so a "
        "restore can be undone"),
     1, 2, restore},
    {"cat", N_("PATH VERSION"), N_("the file PATH as it was in VERSION, on standard output"), 2, 2,
     cat},
    {"history", N_("PATH"), N_("PATH's versions in a window, to open or restore one"), 1, 1,
     window},
    {"roots", "[--orphans]",
     N_("the watched folders, each automatic, manual, paused or\nunavailable (its disk is not "
        "mounted, or it is missing),\nwith its versions and the space its history takes;\n"
        "--orphans: the histories of folders no longer watched"),
     0, 0, listRoots},
    {"ignore-file", N_("FOLDER"),
     N_("the file of FOLDER's ignore rules (.gitignore syntax;\nnothing is left out unless listed "
        "there)"),
     1, 1, ignoreFile},
    {"pack", N_("FOLDER"),
     N_("pack FOLDER's whole history into one, as git gc does\n(snapshots pack new objects on "
        "their own)"),
     1, 1, pack},
    {"check", N_("[--mirror] [FOLDER]"),
     N_("read every snapshot of FOLDER's history (of every watched\nfolder's, without one) and "
        "verify each object as git fsck\ndoes; exits 1 when any is damaged; --mirror: its "
        "mirrors"),
     0, 1, check},
    {"thin", N_("[--dry-run] FOLDER"),
     N_("drop the versions of FOLDER's history its policy lets go,\nand free their space; "
        "--dry-run lists what would go"),
     1, 1, thin},
    {"keep", N_("FOLDER [POLICY [SIZE]]"),
     N_("what FOLDER's history keeps as it ages: EVERY:AGE tiers\n(as in "
        "all:1d,1h:7d,1d:90d,1w:forever; default), and a\nsize limit (10G; none)"),
     1, 3, keep},
    {"pin", N_("PATH VERSION"), N_("keep VERSION whatever the policy says"), 2, 2, pin},
    {"unpin", N_("PATH VERSION"), N_("let the policy decide about VERSION again"), 2, 2, unpin},
    {"notifications", "[on|off]",
     N_("whether the application tells the desktop of problems and\nrestores; without on or off, "
        "which"),
     0, 1, notifications},
    {"mirror", N_("add|list|remove|push ..."),
     N_("copies of a folder's history on a disk (a path) or a git\nserver (ssh://host/path, "
        "user@host:path); not encrypted:\nadd FOLDER URL, list [FOLDER], remove FOLDER URL, push "
        "[FOLDER]"),
     1, 3, mirror},
    {"adopt", N_("[--version V] URL FOLDER"),
     N_("bring a mirrored history back into an empty or new\nFOLDER (its newest version, or V) "
        "and watch it,\nits mirror kept"),
     2, 2, adopt},
};

}  // namespace

std::span<const Command> commands() { return kCommands; }

}  // namespace tarvine::cli
