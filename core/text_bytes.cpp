#include "core/text_bytes.h"

#include <wx/strconv.h>

wxCharBuffer TextBytes(const wxString& text) {
  static wxMBConvUTF8 lossless(wxMBConvUTF8::MAP_INVALID_UTF8_TO_PUA);
  wxCharBuffer bytes = text.mb_str(lossless);
  if (bytes.data() == nullptr) return wxCharBuffer("");
  return bytes;
}
