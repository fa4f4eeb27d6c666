#include "net/OpenSslLibrary.h"

#include <dlfcn.h>

#include <mutex>

namespace {

// The name the headers we were built with belong to; libssl brings its libcrypto along, and a
// symbol is looked up in both.
constexpr const char* kLibrary = "libssl.so.3";

struct Loaded {
    OpenSslLibrary Library;
    bool Ok = false;
    std::string Error;
};

Loaded Load()
{
    Loaded loaded;
    void* handle = ::dlopen(kLibrary, RTLD_NOW | RTLD_LOCAL);
    if (handle == nullptr) {
        const char* why = ::dlerror();
        loaded.Error = std::string("cannot load ") + kLibrary + ": " + (why != nullptr ? why : "unknown reason");
        return loaded;
    }
    // Never unloaded: sessions and contexts may live until the program ends.
#define MIRELO_OPENSSL_RESOLVE(name)                                                                     \
    loaded.Library.name = reinterpret_cast<decltype(&::name)>(::dlsym(handle, #name));                 \
    if (loaded.Library.name == nullptr) {                                                                \
        loaded.Error = std::string(kLibrary) + " lacks " #name;                                         \
        return loaded;                                                                                   \
    }
    MIRELO_OPENSSL_FUNCTIONS(MIRELO_OPENSSL_RESOLVE)
#undef MIRELO_OPENSSL_RESOLVE
    loaded.Ok = true;
    return loaded;
}

std::once_flag once;
Loaded loaded;

}  // namespace

const OpenSslLibrary* LoadOpenSsl(std::string& Error)
{
    std::call_once(once, [] { loaded = Load(); });
    if (!loaded.Ok) {
        Error = loaded.Error;
        return nullptr;
    }
    return &loaded.Library;
}

const OpenSslLibrary& LoadedOpenSsl() { return loaded.Library; }
