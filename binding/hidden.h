// CORVELLE_HIDDEN marks the binding's namespace: its names stay inside the module that
// defines them where the compiler has a visibility attribute. A Windows module exports
// only what it marks for export, so there the mark is empty.
#pragma once

#if defined(__GNUC__)
#define CORVELLE_HIDDEN __attribute__((visibility("hidden")))
#else
#define CORVELLE_HIDDEN
#endif
