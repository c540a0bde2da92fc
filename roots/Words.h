#pragma once

#include <string>
#include <vector>

#include "roots/Keeper.h"

// What people read of the Keeper's answers, made once for the command line
// and the application's log. Scripts read the typed answers (or the command
// line's --json), never these.
namespace tarvine::roots::words {

std::vector<std::string> watched(const Keeper::Watched& watched);
std::vector<std::string> taken(const Keeper::Taken& taken);
std::string paused(const std::string& folder);
std::string unwatched(const std::string& folder);
std::string modeSet(const std::string& folder, RootMode mode);
// What was written, then each file left as it was because what it holds
// could not be read to keep it first.
std::vector<std::string> restored(const std::string& path, const history::Restored& restored);
std::string packed(const std::string& folder);
// A heading, then one line a version, newest first.
std::vector<std::string> listing(const std::string& path, const Keeper::Listing& listing);
std::string_view changeName(history::Version::Change change);
// A root's state as scripts read it ("unavailable").
std::string_view stateName(Keeper::State state);
// The application's log when a root becomes unavailable, and when it is back.
std::string unavailable(const std::string& root, const Status& why);
std::string availableAgain(const std::string& root);
// That a history was damaged, what was set aside, and where it stands now.
std::string healed(const Keeper::Healing& healing);
// A root's verdict, then one line a problem.
std::vector<std::string> checked(const Keeper::Checked& checked);

// A size on disk as people read it: "4.0 KiB", "12.3 MiB".
std::string bytes(std::uint64_t bytes);
// A root, its state, how many versions its history holds, the oldest and
// newest, and the space it takes.
std::string spanned(const Keeper::Spanned& spanned);
// A history of a folder no longer watched, and the space it takes.
std::string orphan(const Keeper::Orphan& orphan);
std::string forgetQuestion(const Keeper::Orphan& orphan);
std::string forgotten(const Keeper::Orphan& orphan);
std::string moved(const std::string& from, const std::string& to);
// What a thinning dropped (or, dry, would drop), one line a version, and
// what it freed; with a size limit still exceeded, that too.
// The application's log says only the summary (`eachVersion` false).
std::vector<std::string> thinned(const Keeper::Thinning& thinning, bool eachVersion = true);
// A root's policy, its size limit and its pins.
std::vector<std::string> kept(const Keeper::Kept& kept);
std::string pinned(const std::string& id);
std::string unpinned(const std::string& id);

}  // namespace tarvine::roots::words
