// STUB
#include "database/carve.hpp"
namespace quarlet {
std::optional<CarveScope> parse_carve_scope(std::string_view) { return std::nullopt; }
void carve_region(uint32_t, ByteView, uint32_t, uint32_t, const char*, uint32_t, const char*, const Name*, const CarveSettings&, std::vector<CarveHit>&) {}
std::vector<CarveHit> carve_pages(const Database&, CarveScope, std::string_view, uint32_t, uint32_t) { return {}; }
}  // namespace quarlet
