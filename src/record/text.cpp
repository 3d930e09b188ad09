// STUB
#include "record/text.hpp"
namespace quarlet {
bool is_known_codepage(uint32_t cp) { return cp == 1200 || cp == 1252 || cp == 20127; }
Result<std::string> decode_text(ByteView b, uint32_t cp) {
  if (!is_known_codepage(cp)) return EseError::unknown_codepage(cp);
  return std::string(b.begin(), b.end());
}
}  // namespace quarlet
