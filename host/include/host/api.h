// Visibility of the host runtime's services. The host runtime is a shared
// library used by the program and by the procedure plug-in; its classes are
// exported so that the plug-in, built with hidden visibility, binds to them.
#pragma once

#if defined(__GNUC__)
#define HOST_API __attribute__((visibility("default")))
#else
#define HOST_API
#endif
