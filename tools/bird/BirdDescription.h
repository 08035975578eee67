// The JSON description `kestrix-bird pack` turns into a BIRD image: the blocks in file
// order, each with its type and either its type's fields or literal data.
#ifndef KESTRIX_BIRDDESCRIPTION_H
#define KESTRIX_BIRDDESCRIPTION_H

#include <string>

#include "BirdWriter.h"

// Parses `text` into a writer. Relative "file" paths are taken from `baseDirectory`.
// Throws std::runtime_error naming the offending block and key on any error.
BirdWriter ParseBirdDescription(const std::string& text, const std::string& baseDirectory);

#endif
