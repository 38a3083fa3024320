// The plug-in's entry points: CODEBOOK, the one exported function, and the
// hook that runs when the host loads the library.
#include <dlfcn.h>

#include "procedure.h"

namespace {

// The module handle of this library, kept by the load hook. We have no host
// common areas to fetch, so the hook has nothing else to do.
void* gModuleHandle = nullptr;

__attribute__((constructor)) void OnLibraryLoad() {
  Dl_info info{};
  if (dladdr(reinterpret_cast<void*>(&OnLibraryLoad), &info) != 0 && info.dli_fname != nullptr) {
    // RTLD_NOLOAD only looks the library up; it is already loaded.
    gModuleHandle = dlopen(info.dli_fname, RTLD_LAZY | RTLD_NOLOAD);
    if (gModuleHandle != nullptr) {
      // Keep the handle without holding an extra reference on the library.
      dlclose(gModuleHandle);
    }
  }
}

}  // namespace

extern "C" __attribute__((visibility("default"))) void CODEBOOK() { codebook::RunCodebookCommand(); }
