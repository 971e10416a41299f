// An IMF composition playlist (CPL) as the summary names it: its title and the track files of its main
// image sequence, one a reel. libavformat's imf demuxer reads the pictures; it keeps the title only in
// its log and the reels not at all, so these few elements are read from the XML here.
#ifndef HDRMETER_CLIP_COMPOSITION_H
#define HDRMETER_CLIP_COMPOSITION_H

#include <string>
#include <vector>

namespace hdrmeter::clip {

struct Composition {
    std::string title;               // ContentTitle
    std::vector<std::string> reels;  // the main image's track files in order, as the asset map names them
};

// Whether `path` is a composition playlist: an .xml file whose root element is CompositionPlaylist.
bool isCompositionPlaylist(const std::string& path);
// The asset map a CPL is read with: `given`, or ASSETMAP.xml beside the CPL.
std::string assetMapOf(const std::string& cplPath, const std::string& given);
// Reads what it can; a reel whose track file the asset map does not list is named by its UUID.
Composition readComposition(const std::string& cplPath, const std::string& assetMapPath);

}  // namespace hdrmeter::clip

#endif
