// Any text typed into a number dialog: a number, or a LoaderError for one that cannot
// be held; never a crash.
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "formats/LoaderError.h"
#include "formats/TypedNumber.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  try {
    const double value = ostra::ReadTypedNumber(text);
    if (!std::isfinite(value)) std::abort();
  } catch (const ostra::LoaderError&) {
  }
  return 0;
}
