#pragma once
// Rewrites a finished TIFF file, every directory of it, with LZW compression or without
// compression, keeping the image geometry and layout, the descriptive tags and the
// private tags (scan record included). The new file is written under a temporary name
// and renamed into place only when complete, so a failure leaves the source and any
// existing destination as they were.
#include "Tessary/Export.h"

enum eTiffCompressError : int {
  kTiffCompressOk = 0,
  kTiffCompressMoveFailed = 1,    // in place: the source is missing or not a regular file
  kTiffCompressOpenFailed = 2,    // the source could not be opened
  kTiffCompressCreateFailed = 3,  // the destination could not be created
  kTiffCompressCopyFailed = 4,    // a directory could not be copied or the result not written
  kTiffCompressRemoveFailed = 5,  // kept for callers: the rename scheme leaves no temporary file to remove
};

// A null destination, or one naming the source itself, rewrites the file in place.
TESSARY_API eTiffCompressError CompressTiff(const char* source, const char* destination = nullptr);
TESSARY_API eTiffCompressError UncompressTiff(const char* source, const char* destination = nullptr);
