// hdrmeter: the export macro and version shared by the public headers.
#ifndef HDRMETER_EXPORT_H
#define HDRMETER_EXPORT_H

// The library is built with hidden visibility; what is marked here is its interface.
#define HDRMETER_API __attribute__((visibility("default")))

#define HDRMETER_VERSION_MAJOR 0
#define HDRMETER_VERSION_MINOR 2
#define HDRMETER_VERSION_PATCH 0

#endif  // HDRMETER_EXPORT_H
