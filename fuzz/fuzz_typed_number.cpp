// Any text typed into a number dialog: a number, or a LoaderError for one that cannot
// be held; never a crash.
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "formats/Answers.h"
#include "formats/LoaderError.h"
#include "formats/TypedNumber.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  try {
    const double value = ostra::ReadTypedNumber(text);
    if (!std::isfinite(value)) std::abort();
    // A whole answer is the number the leading reading gives, and where it stops lies
    // within the text.
    const ostra::TypedNumberPrefix lead = ostra::ReadLeadingTypedNumber(text);
    if (lead.end > text.size() || lead.value != value) std::abort();
    const auto whole = ostra::ParseNumberAnswer(text);
    if (whole && !std::isfinite(*whole)) std::abort();
    static const unsigned char prefix[3] = {0x02, 0x00, 0x00};
    const ostra::NicAnswer nic = ostra::ParseNicAnswer(text, prefix);
    if (nic.number.has_value() == !nic.error.empty()) std::abort();
    if (nic.number && (*nic.number < 0 || *nic.number > 0xFFFFFF)) std::abort();
  } catch (const ostra::LoaderError&) {
  }
  return 0;
}
