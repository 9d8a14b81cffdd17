// TextBytes: the bytes of a wxString as the system should see them.
//
// File names may hold bytes that are not valid UTF-8; the Core reads them with
// a conversion that keeps such bytes, and this gives them back unchanged,
// whatever the locale (a service usually runs in the C locale, where the
// locale's own conversion would drop every non-ASCII character). Any thread.
#ifndef CORE_TEXT_BYTES_H_
#define CORE_TEXT_BYTES_H_

#include <wx/buffer.h>
#include <wx/string.h>

wxCharBuffer TextBytes(const wxString& text);

#endif  // CORE_TEXT_BYTES_H_
