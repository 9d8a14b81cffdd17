#include "core/text_bytes.h"

wxMBConv* LosslessConversion() {
  static wxMBConvUTF8 lossless(wxMBConvUTF8::MAP_INVALID_UTF8_TO_PUA);
  return &lossless;
}

wxCharBuffer TextBytes(const wxString& text) {
  wxCharBuffer bytes = text.mb_str(*LosslessConversion());
  if (bytes.data() == nullptr) return wxCharBuffer("");
  return bytes;
}
