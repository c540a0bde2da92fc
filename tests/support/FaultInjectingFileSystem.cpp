#include "tests/support/FaultInjectingFileSystem.h"

#include <cstring>

namespace tarvine::testing {
namespace {

Status injected(int error) {
  return Status::error(std::string("injected: ") + std::strerror(error), error);
}

}  // namespace

std::optional<std::string> FaultInjectingFileSystem::userDatabaseHomeDirectory() {
  if (faults.userDatabaseHome) return *faults.userDatabaseHome;
  return base_.userDatabaseHomeDirectory();
}

FileURL FaultInjectingFileSystem::homeDirectoryForCurrentUser() {
  if (faults.homeForCurrentUser) return *faults.homeForCurrentUser;
  return base_.homeDirectoryForCurrentUser();
}

std::optional<FileURL> FaultInjectingFileSystem::containerURLForSecurityApplicationGroupIdentifier(
    std::string_view groupIdentifier) {
  ++calls.containerLookups;
  if (faults.container) return *faults.container;
  return base_.containerURLForSecurityApplicationGroupIdentifier(groupIdentifier);
}

std::optional<Timestamp> FaultInjectingFileSystem::contentModificationDate(const FileURL& url) {
  ++calls.dateQueries;
  if (faults.failDate) return std::nullopt;
  if (faults.fixedDate) return faults.fixedDate;
  return base_.contentModificationDate(url);
}

Result<std::string> FaultInjectingFileSystem::readFile(const FileURL& url) {
  ++calls.reads;
  if (faults.readError != 0) return injected(faults.readError);
  return base_.readFile(url);
}

Status FaultInjectingFileSystem::createDirectory(const FileURL& url) {
  ++calls.createDirectories;
  if (journal != nullptr) journal->push_back("mkdir " + url.rawPath());
  if (faults.createDirectoryError != 0) return injected(faults.createDirectoryError);
  return base_.createDirectory(url);
}

Status FaultInjectingFileSystem::writeFileAtomically(const FileURL& url, std::string_view content) {
  ++calls.writes;
  if (journal != nullptr) journal->push_back("write " + url.rawPath());
  if (faults.writeError != 0) return injected(faults.writeError);
  return base_.writeFileAtomically(url, content);
}

FileURL FaultInjectingFileSystem::resolvingSymlinksInPath(const FileURL& url) {
  return base_.resolvingSymlinksInPath(url);
}

}  // namespace tarvine::testing
