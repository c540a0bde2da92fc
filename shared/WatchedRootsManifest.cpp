#include "shared/WatchedRootsManifest.h"

#include <algorithm>
#include <array>
#include <limits>
#include <new>
#include <stdexcept>

#include "foundation/Iso8601.h"

#include "foundation/JsonCoding.h"
#include "foundation/UnicodeText.h"

namespace tarvine {
namespace {

using Manifest = WatchedRootsManifest;
using Root = WatchedRootsManifest::Root;

constexpr std::array<std::string_view, 3> kManifestKeys = {"version", "publishedAt", "roots"};
constexpr std::array<std::string_view, 3> kRootKeys = {"path", "isPaused", "mode"};

template <class Key, std::size_t N>
std::optional<Key> keyFor(const std::array<std::string_view, N>& names, std::string_view text) {
  for (std::size_t i = 0; i < N; ++i) {
    if (names[i] == text) return static_cast<Key>(i);
  }
  return std::nullopt;
}

std::string_view key(Manifest::CodingKeys k) { return Manifest::stringValue(k); }
std::string_view key(Root::CodingKeys k) { return Root::stringValue(k); }

bool optionalTextEqual(const std::optional<std::string>& a, const std::optional<std::string>& b) {
  if (a.has_value() != b.has_value()) return false;
  return !a || UnicodeText::canonicallyEqual(*a, *b);
}

// Counts the objects in the largest top-level "roots" array, so that the
// decoder can size the roots exactly. It keeps no text, so its memory does not
// depend on what the document holds; a broken document just counts short.
class RootCounter : public nlohmann::json::json_sax_t {
 public:
  std::size_t count() const { return largest_; }

  bool null() override { return value(); }
  bool boolean(bool) override { return value(); }
  bool number_integer(number_integer_t) override { return value(); }
  bool number_unsigned(number_unsigned_t) override { return value(); }
  bool number_float(number_float_t, const string_t&) override { return value(); }
  bool string(string_t&) override { return value(); }
  bool binary(binary_t&) override { return value(); }
  bool start_object(std::size_t) override {
    if (depth_ == 2 && inRoots_) ++current_;
    ++depth_;
    return true;
  }
  bool end_object() override { return leave(); }
  bool start_array(std::size_t) override {
    if (depth_ == 1) {
      inRoots_ = rootsKey_;
      current_ = 0;
    }
    ++depth_;
    return true;
  }
  bool end_array() override { return leave(); }
  bool key(string_t& name) override {
    if (depth_ == 1) rootsKey_ = name == "roots";
    return true;
  }
  bool parse_error(std::size_t, const std::string&, const nlohmann::json::exception&) override {
    return false;
  }

 private:
  bool value() { return true; }
  bool leave() {
    if (--depth_ == 1 && inRoots_) {
      largest_ = std::max(largest_, current_);
      inRoots_ = false;
    }
    return true;
  }

  int depth_ = 0;
  bool rootsKey_ = false;
  bool inRoots_ = false;
  std::size_t current_ = 0;
  std::size_t largest_ = 0;
};

// Decodes a manifest straight from the parser's events, without building a
// document tree first: a large manifest is read in one pass and in little more
// memory than the records themselves. The rules are those of the tree form:
// a later duplicate key replaces an earlier one, keys that name no member are
// skipped whatever their value, and one broken rule fails the whole document.
class ManifestReader : public nlohmann::json::json_sax_t {
 public:
  // `rootCount` sizes the roots once, so that they never hold more room than they use.
  explicit ManifestReader(std::size_t rootCount) { manifest_.roots.reserve(rootCount); }

  Result<Manifest> result() {
    if (!failure_.empty()) return Status::error(failure_);
    if (!finished_) return Status::error("the document is incomplete");
    for (const Field* field : {&version_, &publishedAt_, &roots_}) {
      if (field->state != State::ok) return Status::error(field->problem);
    }
    return std::move(manifest_);
  }

  bool null() override { return scalar(Value::null); }
  bool boolean(bool value) override {
    boolean_ = value;
    return scalar(Value::boolean);
  }
  bool number_integer(number_integer_t value) override {
    integer_ = value;
    return scalar(Value::integer);
  }
  bool number_unsigned(number_unsigned_t value) override {
    if (value > static_cast<number_unsigned_t>(std::numeric_limits<std::int64_t>::max())) {
      return scalar(Value::other);
    }
    integer_ = static_cast<std::int64_t>(value);
    return scalar(Value::integer);
  }
  bool number_float(number_float_t, const string_t&) override { return scalar(Value::other); }
  bool string(string_t& value) override {
    // Read in place and copied where kept: the copy is sized to the text, while
    // the parser's buffer (grown by doubling) stays with the parser for reuse.
    string_ = &value;
    return scalar(Value::string);
  }
  bool binary(binary_t&) override { return scalar(Value::other); }

  bool start_object(std::size_t) override {
    if (skipDepth_ > 0) return ++skipDepth_, true;
    switch (level_) {
      case Level::document:
        level_ = Level::manifest;
        return true;
      case Level::roots:
        level_ = Level::root;
        root_ = RootFields{};
        return true;
      default:
        wrongValue(Value::other);
        skipDepth_ = 1;
        return true;
    }
  }

  bool end_object() override {
    if (skipDepth_ > 0) return --skipDepth_, true;
    if (level_ == Level::root) {
      finishRoot();
      level_ = Level::roots;
    } else {
      level_ = Level::done;
      finished_ = true;
    }
    return true;
  }

  bool start_array(std::size_t) override {
    if (skipDepth_ > 0) return ++skipDepth_, true;
    if (level_ == Level::document) return fail("the top level is not an object");
    if (level_ == Level::manifest && key_ == Key::roots) {
      level_ = Level::roots;
      manifest_.roots.clear();  // keeps its capacity
      roots_ = Field{State::ok, ""};
      return true;
    }
    wrongValue(Value::other);
    skipDepth_ = 1;
    return true;
  }

  bool end_array() override {
    if (skipDepth_ > 0) return --skipDepth_, true;
    level_ = Level::manifest;  // only the roots array is ever entered
    return true;
  }

  bool key(string_t& name) override {
    if (skipDepth_ > 0) return true;
    if (level_ == Level::manifest) {
      auto k = Manifest::codingKey(name);
      key_ = k == CodingKeys::version       ? Key::version
             : k == CodingKeys::publishedAt ? Key::publishedAt
             : k == CodingKeys::roots       ? Key::roots
                                            : Key::other;
    } else {
      auto k = Root::codingKey(name);
      key_ = k == Root::CodingKeys::path       ? Key::path
             : k == Root::CodingKeys::isPaused ? Key::isPaused
             : k == Root::CodingKeys::mode     ? Key::mode
                                               : Key::other;
    }
    return true;
  }

  bool parse_error(std::size_t, const std::string&, const nlohmann::json::exception& e) override {
    return fail(std::string("malformed JSON: ") + e.what());
  }

 private:
  using CodingKeys = Manifest::CodingKeys;
  enum class Level { document, manifest, roots, root, done };
  enum class Key { version, publishedAt, roots, path, isPaused, mode, other };
  enum class Value { null, boolean, integer, string, other };
  enum class State { missing, ok, bad };

  struct Field {
    State state = State::missing;
    const char* problem = "missing value";
  };
  struct RootFields {
    Field path{State::missing, "a root misses its \"path\""};
    Field isPaused{State::missing, "a root misses \"isPaused\""};
    Field mode{State::ok, ""};  // absent is fine
    Root value;
  };

  bool fail(std::string message) {
    failure_ = std::move(message);
    return false;
  }

  static void set(Field& field, bool ok, const char* problem) {
    field.state = ok ? State::ok : State::bad;
    if (!ok) field.problem = problem;
  }

  // A value of the wrong kind for the current key; for an unknown key, nothing.
  void wrongValue(Value value) {
    if (level_ == Level::roots) {
      set(roots_, false, "a root is not an object");
      return;
    }
    scalarFor(value);
  }

  bool scalar(Value value) {
    if (skipDepth_ > 0) return true;
    if (level_ == Level::document) return fail("the top level is not an object");
    if (level_ == Level::roots) {
      set(roots_, false, "a root is not an object");
      return true;
    }
    scalarFor(value);
    return true;
  }

  void scalarFor(Value value) {
    switch (key_) {
      case Key::version:
        set(version_, value == Value::integer, "\"version\" is not a 64-bit integer");
        if (value == Value::null) version_ = Field{State::missing, "\"version\" is missing"};
        if (value == Value::integer) manifest_.version = integer_;
        break;
      case Key::publishedAt: {
        std::optional<Timestamp> date;
        if (value == Value::string) date = Iso8601::parse(*string_);
        set(publishedAt_, date.has_value(), "\"publishedAt\" is not an ISO 8601 date");
        if (value == Value::null)
          publishedAt_ = Field{State::missing, "\"publishedAt\" is missing"};
        if (date) manifest_.publishedAt = *date;
        break;
      }
      case Key::roots:
        set(roots_, false, "\"roots\" is not an array");
        if (value == Value::null) roots_ = Field{State::missing, "\"roots\" is missing"};
        manifest_.roots.clear();
        break;
      case Key::path:
        set(root_.path, value == Value::string, "a root's \"path\" is not a string");
        if (value == Value::null) root_.path.state = State::missing;
        if (value == Value::string) root_.value.path = *string_;
        break;
      case Key::isPaused:
        set(root_.isPaused, value == Value::boolean, "a root's \"isPaused\" is not a boolean");
        if (value == Value::null) root_.isPaused.state = State::missing;
        if (value == Value::boolean) root_.value.isPaused = boolean_;
        break;
      case Key::mode:
        set(root_.mode, value == Value::string || value == Value::null,
            "a root's \"mode\" is not a string");
        if (value == Value::string) {
          root_.value.mode = *string_;
        } else {
          root_.value.mode.reset();
        }
        break;
      case Key::other:
        break;
    }
  }

  void finishRoot() {
    for (const Field* field : {&root_.path, &root_.isPaused, &root_.mode}) {
      if (field->state != State::ok) {
        if (roots_.state == State::ok) set(roots_, false, field->problem);
        return;
      }
    }
    if (roots_.state == State::ok) manifest_.roots.push_back(std::move(root_.value));
  }

  Level level_ = Level::document;
  Key key_ = Key::other;
  int skipDepth_ = 0;
  bool finished_ = false;
  std::string failure_;

  bool boolean_ = false;
  std::int64_t integer_ = 0;
  const std::string* string_ = nullptr;  // valid only while its event is handled

  Field version_{State::missing, "\"version\" is missing"};
  Field publishedAt_{State::missing, "\"publishedAt\" is missing"};
  Field roots_{State::missing, "\"roots\" is missing"};
  RootFields root_;
  Manifest manifest_;
};

}  // namespace

std::string_view Root::stringValue(CodingKeys k) { return kRootKeys[static_cast<std::size_t>(k)]; }

std::optional<Root::CodingKeys> Root::codingKey(std::string_view text) {
  return keyFor<CodingKeys>(kRootKeys, text);
}

std::string_view Manifest::stringValue(CodingKeys k) {
  return kManifestKeys[static_cast<std::size_t>(k)];
}

std::optional<Manifest::CodingKeys> Manifest::codingKey(std::string_view text) {
  return keyFor<CodingKeys>(kManifestKeys, text);
}

bool operator==(const Root& a, const Root& b) {
  return a.isPaused == b.isPaused && UnicodeText::canonicallyEqual(a.path, b.path) &&
         optionalTextEqual(a.mode, b.mode);
}

bool operator==(const Manifest& a, const Manifest& b) {
  return a.version == b.version && a.publishedAt == b.publishedAt && a.roots == b.roots;
}

Result<Manifest> Manifest::decode(std::string_view document) {
  // The parser stops at a NUL byte and would accept what came before it.
  if (document.find('\0') != std::string_view::npos) {
    return Status::error("the document holds a NUL byte");
  }
  try {
    // Two passes, so that the decoded roots take exactly the room they need:
    // growing them step by step would at times hold three times that.
    RootCounter counter;
    nlohmann::json::sax_parse(document.begin(), document.end(), &counter);
    // No valid root takes fewer bytes than {"path":"","isPaused":true}, so a
    // roots array of empty objects (which fails anyway) reserves no more.
    constexpr std::size_t kSmallestRoot = 27;
    ManifestReader reader(std::min(counter.count(), document.size() / kSmallestRoot));
    nlohmann::json::sax_parse(document.begin(), document.end(), &reader);
    return reader.result();
  } catch (const nlohmann::json::exception& e) {
    return Status::error(std::string("malformed JSON: ") + e.what());
  } catch (const std::bad_alloc&) {
    return Status::error("not enough memory to decode the manifest");
  } catch (const std::length_error&) {
    return Status::error("not enough memory to decode the manifest");
  }
}

Result<std::string> Manifest::encode() const {
  try {
    nlohmann::ordered_json roots = nlohmann::ordered_json::array();
    for (const Root& root : this->roots) {
      nlohmann::ordered_json element;
      element[key(Root::CodingKeys::path)] = root.path;
      element[key(Root::CodingKeys::isPaused)] = root.isPaused;
      if (root.mode) element[key(Root::CodingKeys::mode)] = *root.mode;
      roots.push_back(std::move(element));
    }
    nlohmann::ordered_json object;
    object[key(CodingKeys::version)] = version;
    object[key(CodingKeys::publishedAt)] = JsonCoding::dateText(publishedAt);
    object[key(CodingKeys::roots)] = std::move(roots);
    return JsonCoding::dump(object);
  } catch (const CodingError& e) {
    return Status::error(e.what());
  }
}

}  // namespace tarvine
