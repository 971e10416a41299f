// hdrmeter: the export macro shared by the public headers.
#ifndef HDRMETER_EXPORT_H
#define HDRMETER_EXPORT_H

// The library is built with hidden visibility; what is marked here is its interface.
#define HDRMETER_API __attribute__((visibility("default")))

// Every public header brings the version macros along, so a host can test them after any of its includes.
#include "hdrmeter/version.h"

#endif  // HDRMETER_EXPORT_H
