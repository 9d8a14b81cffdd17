// Text as bytes: the one conversion between wxString and the bytes of file
// names and log text.
//
// File names may hold bytes that are not valid UTF-8. The lossless
// conversion reads such bytes into a wxString and gives them back unchanged,
// whatever the locale (a service usually runs in the C locale, where the
// locale's own conversion would drop every non-ASCII character). The host
// reads its program name, PATH and file names through it and the Core lists
// and names its plug-ins through it, so the two agree byte for byte. Any
// thread.
#ifndef CORE_TEXT_BYTES_H_
#define CORE_TEXT_BYTES_H_

#include <wx/buffer.h>
#include <wx/strconv.h>
#include <wx/string.h>

// The lossless conversion; lives for the whole process.
wxMBConv* LosslessConversion();

// The bytes of `text` through the lossless conversion; never null.
wxCharBuffer TextBytes(const wxString& text);

#endif  // CORE_TEXT_BYTES_H_
