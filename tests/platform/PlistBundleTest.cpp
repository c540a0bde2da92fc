#include "platform/linux/PlistBundle.h"

#include <gdk-pixbuf/gdk-pixbuf.h>
#include <gtest/gtest.h>
#include <plist/plist.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "tests/support/TempDir.h"

namespace tarvine {
namespace {

namespace fs = std::filesystem;

// Writes a property list with libplist itself, in XML or binary form.
void writePlist(const std::string& path, plist_t root, bool binary) {
  char* bytes = nullptr;
  std::uint32_t length = 0;
  if (binary) {
    plist_to_bin(root, &bytes, &length);
  } else {
    plist_to_xml(root, &bytes, &length);
  }
  fs::create_directories(fs::path(path).parent_path());
  FILE* file = std::fopen(path.c_str(), "wb");
  std::fwrite(bytes, 1, length, file);
  std::fclose(file);
  std::free(bytes);
  plist_free(root);
}

plist_t stringsTable(const char* title) {
  plist_t table = plist_new_dict();
  plist_dict_set_item(table, "finder.menu.history", plist_new_string(title));
  return table;
}

void writePng(const std::string& path, int width, int height) {
  GdkPixbuf* pixbuf = gdk_pixbuf_new(GDK_COLORSPACE_RGB, TRUE, 8, width, height);
  gdk_pixbuf_fill(pixbuf, 0x336699ff);
  ASSERT_TRUE(gdk_pixbuf_save(pixbuf, path.c_str(), "png", nullptr, nullptr));
  g_object_unref(pixbuf);
}

class PlistBundleTest : public ::testing::TestWithParam<bool> {
 protected:
  void SetUp() override {
    plist_t info = plist_new_dict();
    plist_dict_set_item(info, "CFBundleIdentifier", plist_new_string("a.b.FinderSync"));
    plist_dict_set_item(info, "CFBundleDevelopmentRegion", plist_new_string("fr"));
    plist_dict_set_item(info, "Count", plist_new_uint(42));
    plist_dict_set_item(info, "Ratio", plist_new_real(0.5));
    plist_dict_set_item(info, "Flag", plist_new_bool(1));
    plist_dict_set_item(info, "When", plist_new_date(0, 0));
    plist_dict_set_item(info, "Bytes", plist_new_data("\x01\x02", 2));
    plist_t list = plist_new_array();
    plist_array_append_item(list, plist_new_string("x"));
    plist_dict_set_item(info, "List", list);
    plist_t nested = plist_new_dict();
    plist_dict_set_item(nested, "Inner", plist_new_string("y"));
    plist_dict_set_item(info, "Nested", nested);
    writePlist(contents() + "/Info.plist", info, GetParam());
    writePlist(contents() + "/Resources/fr.lproj/Localizable.strings", stringsTable("Historique"),
               GetParam());
    writePlist(contents() + "/Resources/de.lproj/Localizable.strings", stringsTable("Verlauf"),
               !GetParam());
    writePng(contents() + "/Resources/BrandGlyph.png", 33, 32);
  }

  std::string contents() const { return tmp.path() + "/Ext.appex/Contents"; }
  PlistBundle bundle(std::vector<std::string> languages = {}) {
    return PlistBundle(tmp.path() + "/Ext.appex", std::move(languages));
  }

  testing::TempDir tmp;
};

TEST_P(PlistBundleTest, InformationValuesKeepTheirTypes) {
  PlistBundle b = bundle();
  EXPECT_TRUE(b.isLoadable());
  EXPECT_EQ(b.bundleIdentifier(), "a.b.FinderSync");
  EXPECT_EQ(b.bundleURL(), FileURL::fromPath(tmp.path() + "/Ext.appex/", true));
  auto get = [&](const char* key) { return b.objectForInfoDictionaryKey(key).value().value; };
  EXPECT_EQ(std::get<std::int64_t>(get("Count")), 42);
  EXPECT_EQ(std::get<double>(get("Ratio")), 0.5);
  EXPECT_EQ(std::get<bool>(get("Flag")), true);
  EXPECT_EQ(std::get<Timestamp>(get("When")), Timestamp::fromUnix(978'307'200));  // 2001-01-01
  EXPECT_EQ(std::get<Data>(get("Bytes")), (Data{1, 2}));
  EXPECT_EQ(*std::get<PropertyListValue::Array>(get("List")).at(0).asString(), "x");
  EXPECT_EQ(std::get<PropertyListValue::Dictionary>(get("Nested")).at(0).key, "Inner");
  EXPECT_FALSE(b.objectForInfoDictionaryKey("Missing"));
}

TEST_P(PlistBundleTest, LocalisationFollowsThePreferredLanguages) {
  EXPECT_EQ(bundle({"de_DE"}).localizedString("finder.menu.history", ""), "Verlauf");
  EXPECT_EQ(bundle({"it", "de"}).localizedString("finder.menu.history", ""), "Verlauf");
  // No usable preference: the development region.
  EXPECT_EQ(bundle({"it"}).localizedString("finder.menu.history", ""), "Historique");
  // A missing key shows as the key, or as the default when one is given.
  EXPECT_EQ(bundle({"de"}).localizedString("finder.menu.enable", ""), "finder.menu.enable");
  EXPECT_EQ(bundle({"de"}).localizedString("finder.menu.enable", "Enable"), "Enable");
  fs::remove_all(contents() + "/Resources/fr.lproj");
  fs::remove_all(contents() + "/Resources/de.lproj");
  writePlist(contents() + "/Resources/Base.lproj/Localizable.strings", stringsTable("Base"),
             GetParam());
  EXPECT_EQ(bundle({"it"}).localizedString("finder.menu.history", ""), "Base");
  EXPECT_EQ(bundle({"it"}).localization(), "Base");
}

TEST_P(PlistBundleTest, ImagesAreSizedFromTheirHeaderAndCached) {
  PlistBundle b = bundle();
  EXPECT_EQ(b.imageNamed("BrandGlyph"), (NamedImage{"BrandGlyph", 33, 32}));
  fs::remove(contents() + "/Resources/BrandGlyph.png");
  EXPECT_EQ(b.imageNamed("BrandGlyph"), (NamedImage{"BrandGlyph", 33, 32}));
  EXPECT_FALSE(b.imageNamed("Missing"));
  EXPECT_FALSE(b.imageNamed("../Info"));
  EXPECT_FALSE(bundle().imageNamed("BrandGlyph"));  // a fresh bundle looks again
  // Scalable artwork is sized from its declared width and height.
  std::ofstream(contents() + "/Resources/Vector.svg")
      << R"(<svg xmlns="http://www.w3.org/2000/svg" width="48" height="32"><rect width="48" )"
         R"(height="32" fill="#369"/></svg>)";
  EXPECT_EQ(b.imageNamed("Vector"), (NamedImage{"Vector", 48, 32}));
}

// The bundle's location is made absolute and standard as it is loaded, so
// that the application found three components up is the real one.
TEST_P(PlistBundleTest, LocationIsAbsoluteAndStandard) {
  const fs::path saved = fs::current_path();
  fs::current_path(tmp.path());
  const std::string root = fs::current_path().string();
  for (const std::string& given : {std::string("Ext.appex"), std::string("./x/../Ext.appex/"),
                                   tmp.path() + "/x/./../Ext.appex"}) {
    PlistBundle b(given, {});
    EXPECT_TRUE(b.isLoadable()) << given;
    EXPECT_EQ(b.bundleURL().path(), (given[0] == '/' ? tmp.path() : root) + "/Ext.appex") << given;
  }
  fs::current_path(saved);
}

INSTANTIATE_TEST_SUITE_P(XmlAndBinary, PlistBundleTest, ::testing::Bool());

TEST(PlistBundleMissingTest, AMissingBundleHasNothing) {
  PlistBundle b("/nonexistent/Thing.appex", {"en"});
  EXPECT_FALSE(b.isLoadable());
  EXPECT_FALSE(b.bundleIdentifier());
  EXPECT_FALSE(b.objectForInfoDictionaryKey("CFBundleIdentifier"));
  EXPECT_EQ(b.localizedString("k", ""), "k");
}

// The user's languages as gettext takes them from the environment.
TEST(PlistBundleLanguagesTest, TheLocaleOfMessagesAndLanguageAsGettextReadsThem) {
  struct Case {
    const char *language, *all, *messages, *lang;
    std::vector<std::string> languages;
  };
  const std::vector<Case> cases = {
      // LANGUAGE first, then the locale's language; LANG is overridden.
      {"pt_BR:de", nullptr, "fr_FR.UTF-8@euro", "en_US.UTF-8", {"pt_BR", "de", "fr_FR"}},
      {nullptr, "de_AT.UTF-8", "fr_FR", "en_US", {"de_AT"}},
      {nullptr, "", "", "de_DE.UTF-8", {"de_DE"}},  // empty is unset
      {"", nullptr, nullptr, "de_DE.UTF-8", {"de_DE"}},
      // The C locale translates nothing, whatever LANGUAGE says.
      {"de", "C", "fr_FR", "de_DE.UTF-8", {}},
      {"de", nullptr, nullptr, "POSIX", {}},
      {"de", nullptr, nullptr, nullptr, {}},
      // C.UTF-8 names no language but is not the C locale: LANGUAGE counts.
      {"de", nullptr, nullptr, "C.UTF-8", {"de"}},
  };
  for (const Case& c : cases) {
    const std::pair<const char*, const char*> settings[] = {
        {"LANGUAGE", c.language}, {"LC_ALL", c.all}, {"LC_MESSAGES", c.messages}, {"LANG", c.lang}};
    for (const auto& [name, value] : settings) {
      if (value != nullptr) {
        ::setenv(name, value, 1);
      } else {
        ::unsetenv(name);
      }
    }
    EXPECT_EQ(PlistBundle::languagesFromEnvironment(), c.languages)
        << (c.language ? c.language : "-") << " " << (c.all ? c.all : "-") << " "
        << (c.messages ? c.messages : "-") << " " << (c.lang ? c.lang : "-");
  }
  for (const char* name : {"LANGUAGE", "LC_ALL", "LC_MESSAGES", "LANG"}) ::unsetenv(name);
}

// The bundle's own tables, chosen for the user's languages as the platform
// chooses: exact, the language alone, another region of it, then the
// development region and English.
TEST(PlistBundleLanguagesTest, ChoosesALocalizationAsThePlatformDoes) {
  testing::TempDir tmp;
  const std::string resources = tmp.path() + "/Ext.appex/Contents/Resources/";
  plist_t info = plist_new_dict();
  plist_dict_set_item(info, "CFBundleDevelopmentRegion", plist_new_string("fr"));
  writePlist(tmp.path() + "/Ext.appex/Contents/Info.plist", info, false);
  for (const char* name : {"en", "de", "fr", "pt_PT", "zh-Hant", "es_MX", "es_AR"}) {
    writePlist(resources + name + ".lproj/Localizable.strings", stringsTable(name), false);
  }
  fs::create_directories(resources + "it.lproj");  // no table: not a localization
  const std::vector<std::pair<std::vector<std::string>, std::string>> cases = {
      {{"de"}, "de"},       {{"de_AT"}, "de"},
      {{"DE-ch"}, "de"},    {{"pt_BR"}, "pt_PT"},
      {{"pt"}, "pt_PT"},    {{"zh_Hant"}, "zh-Hant"},
      {{"es_AR"}, "es_AR"}, {{"es"}, "es_AR"},  // the first region in order, every time
      {{"it", "de"}, "de"}, {{"ja", "en_GB", "de"}, "en"},
      {{"it"}, "fr"},  // none wanted: the development region
      {{}, "fr"},           {{"../de"}, "fr"},
  };
  for (const auto& [languages, chosen] : cases) {
    PlistBundle bundle(tmp.path() + "/Ext.appex", languages);
    EXPECT_EQ(bundle.localization(), chosen) << ::testing::PrintToString(languages);
    EXPECT_EQ(bundle.localizedString("finder.menu.history", ""), chosen);
  }
  // Without the development region's table, English.
  fs::remove_all(resources + "fr.lproj");
  EXPECT_EQ(PlistBundle(tmp.path() + "/Ext.appex", {"it"}).localization(), "en");
}

}  // namespace
}  // namespace tarvine
