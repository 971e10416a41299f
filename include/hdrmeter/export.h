// hdrmeter: the export macro and version shared by the public headers.
#ifndef HDRMETER_EXPORT_H
#define HDRMETER_EXPORT_H

#if defined(_WIN32)
#  if defined(HDRMETER_BUILDING)
#    define HDRMETER_API __declspec(dllexport)
#  else
#    define HDRMETER_API __declspec(dllimport)
#  endif
#else
#  define HDRMETER_API __attribute__((visibility("default")))
#endif

#define HDRMETER_VERSION_MAJOR 0
#define HDRMETER_VERSION_MINOR 2
#define HDRMETER_VERSION_PATCH 0

#endif  // HDRMETER_EXPORT_H
