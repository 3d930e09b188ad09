// The header facts and the integrity report as Python dicts.
#pragma once

#include "database/integrity.hpp"
#include "python/capi.hpp"

namespace quarlet::py {

// How times and raw bytes appear in a dict of header facts.
enum class TimeForm {
  Objects,  // datetime.datetime (naive UTC) and bytes
  Text,     // ISO 8601 text and lowercase hexadecimal: json.dumps takes it
};

// The dict of get_header(). New reference, or null with an exception set.
PyObject* header_to_python(const HeaderFacts& header, uint32_t total_pages, TimeForm form);

// The dict of check(): header facts (as text), page verdicts and the trees'
// walks, nothing but dicts, lists, str, int, bool and None. New reference, or null with an
// exception set.
PyObject* report_to_python(const IntegrityReport& report, uint32_t total_pages);

}  // namespace quarlet::py
