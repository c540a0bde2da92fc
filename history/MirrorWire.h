#pragma once

#include <git2.h>
#include <git2/sys/transport.h>

#include <functional>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "foundation/Status.h"

// A push spoken by this engine over a connection libgit2 made: the SSH
// session, its host key checked and its keys offered as every other push's
// are, but the pack written here (PackReuse.h), which libgit2's push cannot
// be given. git's receive-pack protocol: the references to create, the pack,
// then the server's report of each.
namespace tarvine::history::mirror::wire {

// libgit2's SSH transport, as `git_remote_callbacks.transport` makes it,
// noting its SSH part in `*subtransport` for `send`.
int sshTransport(git_transport** out, git_remote* owner, git_smart_subtransport** subtransport);

// A reference the push creates on the mirror, where it had none.
struct Creation {
  std::string name;  // refs/...
  git_oid to;
};

// Writes the pack through the sink given to it.
using PackWriter = std::function<Status(const std::function<Status(std::string_view)>&)>;

// On the connection `subtransport` made to `url` (connected to push, its
// references listed), creates `creations` with the pack `pack` writes. What
// the server says beside goes to `said`; the references it refused, with its
// reasons, to `rejected`. Fails when the server took nothing: then no
// reference was created.
Status send(git_smart_subtransport* subtransport, const std::string& url,
            const std::vector<Creation>& creations, const PackWriter& pack,
            const std::function<void(std::string_view)>& said,
            std::map<std::string, std::string>& rejected);

}  // namespace tarvine::history::mirror::wire
