#pragma once

#include <git2.h>

#include <optional>
#include <string>

// Mirrors on SSH servers (Mirror.cpp): the server's host key checked against
// the user's known hosts, and keys from the user's agent and ~/.ssh, as
// ssh itself would. Tarvine stores no password and accepts no key unseen.
namespace tarvine::history::mirror::ssh {

// Where an ssh:// or user@host:path address points.
struct Address {
  std::string user, host;
  int port = 22;
};
std::optional<Address> parse(const std::string& url);

// What one connection has tried and been refused.
struct Session {
  Address address;
  int attempt = 0;
  std::string refusal;  // why the host key was refused; empty when it was not
};

// libgit2's callbacks, with the session as their payload's.
int credentials(git_credential** out, const char* url, const char* userFromUrl, unsigned allowed,
                Session& session);
int certificate(git_cert* cert, int valid, const char* host, Session& session);

// How `key` (the server's, in base64 as known_hosts writes it) stands in the
// file `knownHosts` for `address`: listed, not listed at all, or listed with
// other keys only (or revoked), which is refused loudest.
enum class Known { listed, unknown, changed };
Known knownHost(const std::string& knownHosts, const Address& address, const std::string& key);

std::string base64(const unsigned char* bytes, std::size_t size);

}  // namespace tarvine::history::mirror::ssh
