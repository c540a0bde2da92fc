#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace tarvine {

// An absolute file location, kept as its percent-decoded path. A URL is in
// directory form when its path ends in "/".
class FileURL {
 public:
  // Like a file URL made from a path: a relative path is taken from "/", and
  // `isDirectory` adds the trailing "/" when it is missing. Otherwise the path
  // is kept exactly as given.
  static FileURL fromPath(std::string_view path, bool isDirectory);

  // Parses "file:///a%20b/" or "file://localhost/a". Absent for another scheme,
  // a host other than localhost, a bad percent-escape, or a NUL (escaped or raw).
  static std::optional<FileURL> parse(std::string_view text);

  // The "file://" form, with the characters that a URL path cannot hold escaped.
  std::string toString() const;

  // The path without its trailing "/", except for "/" itself.
  std::string path() const;
  // Used by tests and fuzzing: the path exactly as stored, with its trailing "/"
  // in directory form.
  const std::string& rawPath() const { return path_; }
  bool hasDirectoryPath() const;

  // "." and ".." components and empty components removed; ".." above "/" stays at "/".
  FileURL standardized() const;
  FileURL appendingPathComponent(std::string_view component, bool isDirectory) const;
  // The parent, in directory form; "/" stays "/".
  FileURL deletingLastPathComponent() const;
  std::string lastPathComponent() const;

  friend bool operator==(const FileURL&, const FileURL&) = default;

 private:
  explicit FileURL(std::string path) : path_(std::move(path)) {}
  std::string path_;
};

}  // namespace tarvine
