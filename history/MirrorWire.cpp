// A push written by this engine over libgit2's SSH connection (see
// MirrorWire.h).
#include "history/MirrorWire.h"

#include <charconv>
#include <cstdio>
#include <optional>

#include "foundation/Formatted.h"
#include "history/GitObjects.h"
#include "history/Text.h"

namespace tarvine::history::mirror::wire {
namespace {

// git's packet lines: four hex digits of length (their own included), then
// the data; "0000" ends a list.
std::string packetLine(std::string_view data) {
  char length[5];
  std::snprintf(length, sizeof length, "%04zx", data.size() + 4);
  return std::string(length, 4).append(data);
}

// A packet line's length, read from its four hex digits.
std::optional<unsigned> lengthAt(const char* digits) {
  unsigned length = 0;
  if (std::from_chars(digits, digits + 4, length, 16).ptr != digits + 4) return std::nullopt;
  return length;
}

// Packet lines as they arrive on the connection.
class Reader {
 public:
  explicit Reader(git_smart_subtransport_stream* stream) : stream_(stream) {}
  // The next line's data, "" for a flush; nullopt when the connection ended
  // or said something that is not a line.
  std::optional<std::string> next() {
    if (!fill(4)) return std::nullopt;
    const auto length = lengthAt(buffer_.data());
    if (!length) return std::nullopt;
    if (*length == 0) {
      buffer_.erase(0, 4);
      return std::string();
    }
    if (*length < 4 || !fill(*length)) return std::nullopt;
    std::string data = buffer_.substr(4, *length - 4);
    buffer_.erase(0, *length);
    return data;
  }

 private:
  bool fill(std::size_t size) {
    char piece[65536];
    while (buffer_.size() < size) {
      std::size_t got = 0;
      if (stream_->read(stream_, piece, sizeof piece, &got) != 0 || got == 0) return false;
      buffer_.append(piece, got);
    }
    return true;
  }
  git_smart_subtransport_stream* stream_;
  std::string buffer_;
};

std::string_view withoutNewline(std::string_view line) {
  return !line.empty() && line.back() == '\n' ? line.substr(0, line.size() - 1) : line;
}

}  // namespace

int sshTransport(git_transport** out, git_remote* owner, git_smart_subtransport** subtransport) {
  git_smart_subtransport_definition definition{
      [](git_smart_subtransport** made, git_transport* transport, void* param) {
        const int error = git_smart_subtransport_ssh(made, transport, nullptr);
        if (error == 0) *static_cast<git_smart_subtransport**>(param) = *made;
        return error;
      },
      0,  // SSH keeps one connection: not stateless
      subtransport};
  return git_transport_smart(out, owner, &definition);
}

Status send(git_smart_subtransport* subtransport, const std::string& url,
            const std::vector<Creation>& creations, const PackWriter& pack,
            const std::function<void(std::string_view)>& said,
            std::map<std::string, std::string>& rejected) {
  git_smart_subtransport_stream* stream = nullptr;
  if (subtransport == nullptr ||
      subtransport->action(&stream, subtransport, url.c_str(), GIT_SERVICE_RECEIVEPACK) != 0) {
    return gitFailure(formatted(_("cannot push to the mirror %s"), url.c_str()),
                      Status::Kind::unavailable);
  }
  const auto sent = [&](std::string_view bytes) {
    if (stream->write(stream, bytes.data(), bytes.size()) == 0) return Status();
    return gitFailure(formatted(_("cannot push to the mirror %s"), url.c_str()),
                      Status::Kind::unavailable);
  };
  // Every reference is new there: it had none before.
  std::string commands;
  const std::string none(GIT_OID_HEXSZ, '0');
  for (std::size_t i = 0; i < creations.size(); ++i) {
    std::string line = none + " " + hex(creations[i].to) + " " + creations[i].name;
    if (i == 0) line += std::string_view("\0report-status side-band-64k", 28);
    commands += packetLine(line + "\n");
  }
  commands += "0000";
  if (Status put = sent(commands); !put.ok()) return put;
  if (Status put = pack(sent); !put.ok()) return put;

  // The report comes on the first band, in packet lines of its own; the
  // second band is the server's progress, the third its last words.
  Reader reader(stream);
  std::string report;
  for (;;) {
    const auto line = reader.next();
    if (!line) {
      return Status::failure(
          Status::Kind::unavailable,
          formatted(_("the mirror %s ended the connection before it said what it kept"),
                    url.c_str()));
    }
    if (line->empty()) break;
    const std::string_view data = std::string_view(*line).substr(1);
    if ((*line)[0] > 3) {  // a server that does not speak in bands: the report itself
      report.append(packetLine(*line));
    } else if ((*line)[0] == 1) {
      report.append(data);
    } else {
      said(data);
      if ((*line)[0] == 3) {
        return Status::failure(Status::Kind::unavailable,
                               // TRANSLATORS: the mirror's address, then its server's words.
                               formatted(_("the mirror %s failed: %s"), url.c_str(),
                                         std::string(withoutNewline(data)).c_str()));
      }
    }
  }
  std::map<std::string, std::string> answered;
  std::optional<std::string> unpacked;
  for (std::size_t at = 0; at + 4 <= report.size();) {
    const auto length = lengthAt(report.data() + at);
    if (!length || *length < 4 || at + *length > report.size()) break;
    const std::string_view line =
        withoutNewline(std::string_view(report).substr(at + 4, *length - 4));
    at += *length;
    if (line.rfind("unpack ", 0) == 0) {
      unpacked = std::string(line.substr(7));
    } else if (line.rfind("ok ", 0) == 0) {
      answered[std::string(line.substr(3))] = "";
    } else if (line.rfind("ng ", 0) == 0) {
      const std::string_view rest = line.substr(3);
      const std::size_t space = rest.find(' ');
      const std::string why =
          space == std::string_view::npos ? "" : std::string(rest.substr(space + 1));
      answered[std::string(rest.substr(0, space))] = why.empty() ? _("refused") : why;
    }
  }
  if (unpacked != "ok") {
    return Status::failure(
        Status::Kind::unavailable,
        // TRANSLATORS: the mirror's address, then its server's words.
        formatted(_("the mirror %s could not keep what was sent: %s"), url.c_str(),
                  unpacked ? unpacked->c_str() : _("it did not say why")));
  }
  for (const Creation& creation : creations) {
    const auto found = answered.find(creation.name);
    if (found == answered.end()) {
      rejected[creation.name] = _("no answer");
    } else if (!found->second.empty()) {
      rejected[creation.name] = found->second;
    }
  }
  return Status();
}

}  // namespace tarvine::history::mirror::wire
