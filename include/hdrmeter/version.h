// hdrmeter: the version of the public headers. While MAJOR is 0 a change of MINOR may break the binary
// interface (the library's SONAME then changes with it); PATCH never does. From 1.0 on only MAJOR breaks.
// hdrmeter::libraryVersion() gives the version of the library actually loaded, to compare with these.
#ifndef HDRMETER_VERSION_H
#define HDRMETER_VERSION_H

#define HDRMETER_VERSION_MAJOR 0
#define HDRMETER_VERSION_MINOR 6
#define HDRMETER_VERSION_PATCH 0

// One number for preprocessor comparisons: #if HDRMETER_VERSION >= HDRMETER_MAKE_VERSION(0, 3, 0).
#define HDRMETER_MAKE_VERSION(major, minor, patch) ((major) * 10000 + (minor) * 100 + (patch))
#define HDRMETER_VERSION \
    HDRMETER_MAKE_VERSION(HDRMETER_VERSION_MAJOR, HDRMETER_VERSION_MINOR, HDRMETER_VERSION_PATCH)

#endif  // HDRMETER_VERSION_H
