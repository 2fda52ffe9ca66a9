#ifndef ZELVO_FOUNDATION_TEXT_STRINGUTILS_H
#define ZELVO_FOUNDATION_TEXT_STRINGUTILS_H

// Formatting, comparison, trimming, hex and byte-order helpers in one include.
#include "foundation/text/ByteOrder.h"
#include "foundation/text/Compare.h"
#include "foundation/text/Format.h"
#include "foundation/text/Hex.h"

#endif
