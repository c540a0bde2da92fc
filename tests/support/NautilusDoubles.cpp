#include "tests/support/NautilusDoubles.h"

#include <gmodule.h>

#include <stdexcept>

namespace tarvine::testing {
namespace {

// A file as Nautilus reports it: only what the module asks is answered.
struct TestFile {
  GObject parent;
  char* uri;
  gboolean directory;
};
struct TestFileClass {
  GObjectClass parent;
};

GType testFileType() {
  static GType type = [] {
    GTypeInfo info{};
    info.class_size = sizeof(TestFileClass);
    info.instance_size = sizeof(TestFile);
    info.class_init = [](gpointer klass, gpointer) {
      G_OBJECT_CLASS(klass)->finalize = [](GObject* object) {
        g_free(reinterpret_cast<TestFile*>(object)->uri);
        G_OBJECT_CLASS(g_type_class_peek(G_TYPE_OBJECT))->finalize(object);
      };
    };
    GType registered =
        g_type_register_static(G_TYPE_OBJECT, "TarvineTestFile", &info, static_cast<GTypeFlags>(0));
    static const GInterfaceInfo fileInfo = {
        [](gpointer iface, gpointer) {
          auto* file = static_cast<NautilusFileInfoInterface*>(iface);
          file->get_uri = [](NautilusFileInfo* self) {
            return g_strdup(reinterpret_cast<TestFile*>(self)->uri);
          };
          file->is_directory = [](NautilusFileInfo* self) {
            return reinterpret_cast<TestFile*>(self)->directory;
          };
        },
        nullptr, nullptr};
    g_type_add_interface_static(registered, NAUTILUS_TYPE_FILE_INFO, &fileInfo);
    return registered;
  }();
  return type;
}

}  // namespace

NautilusFileInfo* nautilusFileInfo(const std::string& uri, bool directory) {
  auto* file = static_cast<TestFile*>(g_object_new(testFileType(), nullptr));
  file->uri = g_strdup(uri.c_str());
  file->directory = directory;
  return NAUTILUS_FILE_INFO(file);
}

namespace {

// Nautilus's side of a module: a GTypeModule whose loading is done by hand.
GTypeModule* typeModule() {
  GTypeInfo info{};
  info.class_size = sizeof(GTypeModuleClass);
  info.instance_size = sizeof(GTypeModule);
  info.class_init = [](gpointer klass, gpointer) {
    G_TYPE_MODULE_CLASS(klass)->load = [](GTypeModule*) -> gboolean { return TRUE; };
    G_TYPE_MODULE_CLASS(klass)->unload = [](GTypeModule*) {};
  };
  GType type = g_type_register_static(G_TYPE_TYPE_MODULE, "TarvineTestTypeModule", &info,
                                      static_cast<GTypeFlags>(0));
  auto* module = G_TYPE_MODULE(g_object_new(type, nullptr));
  g_type_module_use(module);
  return module;
}

}  // namespace

NautilusMenuProvider* loadNautilusProvider(const char* path) {
  GModule* module = g_module_open(path, G_MODULE_BIND_LOCAL);
  if (module == nullptr) throw std::runtime_error(g_module_error());
  void (*initialize)(GTypeModule*) = nullptr;
  void (*listTypes)(const GType**, int*) = nullptr;
  if (!g_module_symbol(module, "nautilus_module_initialize",
                       reinterpret_cast<gpointer*>(&initialize)) ||
      !g_module_symbol(module, "nautilus_module_list_types",
                       reinterpret_cast<gpointer*>(&listTypes))) {
    throw std::runtime_error("the module lacks Nautilus's entry points");
  }
  initialize(typeModule());
  const GType* types = nullptr;
  int count = 0;
  listTypes(&types, &count);
  if (count != 1) throw std::runtime_error("the module has no single type");
  return NAUTILUS_MENU_PROVIDER(g_object_new(types[0], nullptr));
}

}  // namespace tarvine::testing
