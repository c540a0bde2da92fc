// Mirrors on SSH servers: host keys and credentials as the desktop has them.
#include "history/MirrorSsh.h"

#include <fcntl.h>
#include <pwd.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <sstream>
#include <vector>

#include "history/Text.h"

extern char** environ;

namespace tarvine::history::mirror::ssh {
namespace {

std::string home() {
  if (const char* set = std::getenv("HOME"); set != nullptr && *set != '\0') return set;
  const passwd* user = ::getpwuid(::getuid());
  return user != nullptr ? user->pw_dir : "";
}

std::string userName() {
  const passwd* user = ::getpwuid(::getuid());
  return user != nullptr ? user->pw_name : "";
}

// The lines of known_hosts that name `pattern`, as ssh-keygen finds them
// (it knows hashed names too); none when the file has none.
std::vector<std::string> linesFor(const std::string& knownHosts, const std::string& pattern) {
  int pipe[2];
  if (::pipe2(pipe, O_CLOEXEC) != 0) return {};
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, pipe[1], STDOUT_FILENO);
  posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
  std::vector<std::string> args{"ssh-keygen", "-F", pattern, "-f", knownHosts};
  std::vector<char*> argv;
  for (std::string& arg : args) argv.push_back(arg.data());
  argv.push_back(nullptr);
  pid_t child = -1;
  const int spawned = ::posix_spawnp(&child, "ssh-keygen", &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  ::close(pipe[1]);
  std::string output;
  char buffer[4096];
  for (ssize_t got; spawned == 0 && (got = ::read(pipe[0], buffer, sizeof buffer)) != 0;) {
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) break;
    output.append(buffer, static_cast<std::size_t>(got));
  }
  ::close(pipe[0]);
  if (spawned == 0) {
    int status = 0;
    while (::waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
  }
  std::vector<std::string> lines;
  std::istringstream stream(output);
  for (std::string line; std::getline(stream, line);) {
    if (!line.empty() && line.front() != '#') lines.push_back(line);
  }
  return lines;
}

}  // namespace

std::optional<Address> parse(const std::string& url) {
  Address address;
  std::string rest;
  if (url.rfind("ssh://", 0) == 0) {
    rest = url.substr(6);
    const auto slash = rest.find('/');
    if (slash == std::string::npos) return std::nullopt;
    rest = rest.substr(0, slash);
    if (const auto colon = rest.rfind(':'); colon != std::string::npos && rest.back() != ']') {
      const std::string port = rest.substr(colon + 1);
      if (port.empty() || port.find_first_not_of("0123456789") != std::string::npos) {
        return std::nullopt;
      }
      address.port = std::stoi(port);
      rest = rest.substr(0, colon);
    }
  } else {
    const auto colon = url.find(':');
    if (colon == std::string::npos || url.find('/') < colon) return std::nullopt;
    rest = url.substr(0, colon);
  }
  if (const auto at = rest.rfind('@'); at != std::string::npos) {
    address.user = rest.substr(0, at);
    rest = rest.substr(at + 1);
  }
  if (rest.size() > 2 && rest.front() == '[' && rest.back() == ']')
    rest = rest.substr(1, rest.size() - 2);
  if (rest.empty()) return std::nullopt;
  address.host = rest;
  return address;
}

std::string base64(const unsigned char* bytes, std::size_t size) {
  static constexpr char kDigits[] =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string text;
  for (std::size_t i = 0; i < size; i += 3) {
    const unsigned value = (bytes[i] << 16) | (i + 1 < size ? bytes[i + 1] << 8 : 0) |
                           (i + 2 < size ? bytes[i + 2] : 0);
    text += kDigits[(value >> 18) & 63];
    text += kDigits[(value >> 12) & 63];
    text += i + 1 < size ? kDigits[(value >> 6) & 63] : '=';
    text += i + 2 < size ? kDigits[value & 63] : '=';
  }
  return text;
}

Known knownHost(const std::string& knownHosts, const Address& address, const std::string& key) {
  const std::string pattern =
      address.port == 22 ? address.host : "[" + address.host + "]:" + std::to_string(address.port);
  bool listed = false, other = false;
  for (const std::string& line : linesFor(knownHosts, pattern)) {
    std::istringstream fields(line);
    std::vector<std::string> words;
    for (std::string word; fields >> word;) words.push_back(word);
    bool revoked = false;
    if (!words.empty() && words.front().front() == '@') {
      revoked = words.front() == "@revoked";
      if (!revoked) continue;  // certificate authorities: not for this check
      words.erase(words.begin());
    }
    if (words.size() < 3) continue;
    if (words[2] == key) {
      if (revoked) return Known::changed;
      listed = true;
    } else {
      other = true;
    }
  }
  if (listed) return Known::listed;
  return other ? Known::changed : Known::unknown;
}

int certificate(git_cert* cert, int /*valid*/, const char* host, Session& session) {
  if (cert->cert_type != GIT_CERT_HOSTKEY_LIBSSH2)
    return GIT_PASSTHROUGH;  // https: libgit2's own check
  const auto* hostkey = reinterpret_cast<const git_cert_hostkey*>(cert);
  if ((hostkey->type & GIT_CERT_SSH_RAW) == 0) {
    session.refusal = _("the server's host key could not be read");
    return GIT_ECERTIFICATE;
  }
  const std::string key =
      base64(reinterpret_cast<const unsigned char*>(hostkey->hostkey), hostkey->hostkey_len);
  Address address = session.address;
  address.host = host != nullptr ? host : address.host;
  const std::string file = home() + "/.ssh/known_hosts";
  switch (knownHost(file, address, key)) {
    case Known::listed:
      return 0;
    case Known::unknown:
      session.refusal = formatted(_("the host key of %s is not in ~/.ssh/known_hosts: connect once "
                                    "with ssh to check and accept it, then push again"),
                                  address.host.c_str());
      return GIT_ECERTIFICATE;
    case Known::changed:
      session.refusal = formatted(
          _("the host key of %s does not match ~/.ssh/known_hosts (or is revoked): refused"),
          address.host.c_str());
      return GIT_ECERTIFICATE;
  }
  return GIT_ECERTIFICATE;
}

int credentials(git_credential** out, const char* /*url*/, const char* userFromUrl,
                unsigned allowed, Session& session) {
  const std::string user = userFromUrl != nullptr && *userFromUrl != '\0' ? userFromUrl
                           : !session.address.user.empty()                ? session.address.user
                                                                          : userName();
  if ((allowed & GIT_CREDENTIAL_USERNAME) != 0) {
    return git_credential_username_new(out, user.c_str());
  }
  if ((allowed & GIT_CREDENTIAL_SSH_KEY) == 0) return GIT_PASSTHROUGH;
  // The agent first, then the usual key files without a passphrase, each
  // once: libgit2 asks again after each one the server refuses.
  std::vector<std::string> keys;
  const std::string folder = home() + "/.ssh/";
  for (const char* name : {"id_ed25519", "id_ecdsa", "id_rsa"}) {
    if (::access((folder + name).c_str(), R_OK) == 0) keys.push_back(folder + name);
  }
  const bool agent = std::getenv("SSH_AUTH_SOCK") != nullptr;
  int attempt = session.attempt++;
  if (agent) {
    if (attempt == 0) return git_credential_ssh_key_from_agent(out, user.c_str());
    --attempt;
  }
  if (static_cast<std::size_t>(attempt) < keys.size()) {
    const std::string& key = keys[static_cast<std::size_t>(attempt)];
    const std::string pub = key + ".pub";
    return git_credential_ssh_key_new(out, user.c_str(),
                                      ::access(pub.c_str(), R_OK) == 0 ? pub.c_str() : nullptr,
                                      key.c_str(), nullptr);
  }
  git_error_set_str(
      GIT_ERROR_SSH,
      _("no key of the SSH agent or ~/.ssh was accepted (Tarvine asks for no password)"));
  return GIT_EAUTH;
}

}  // namespace tarvine::history::mirror::ssh
