// Any bytes as a record file and as a single record line: no crash, no read outside a
// buffer; an unexpected position is reported as a LoaderError.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <sstream>
#include <string>
#include <string_view>

#include "formats/LoaderError.h"
#include "formats/SRecord.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);

  ostra::BootImage image;
  try {
    std::istringstream in(text);
    const ostra::ReadOutcome outcome = ostra::ReadSRecordFile(in, size, image, [](double percent) {
      if (!(percent >= 0 && percent <= 100)) std::abort();
    });
    if (outcome.ok != outcome.message.empty()) std::abort();
  } catch (const ostra::LoaderError&) {
  }
  if (!image.FileName.empty() || image.ByteCount < 0) std::abort();

  // The same bytes as one line: a heap copy of exactly its size, so that a read past
  // its end is caught.
  const std::string_view line(text);
  const ostra::RecordLine record = ostra::ParseRecordLine(line);
  if (record.status == ostra::RecordStatus::Good) {
    unsigned sum = 0;
    for (int j = 0; j < record.dataCount; ++j) sum += ostra::RecordDataByte(line, record, j);
    if (record.count > 255 || sum > 255u * 255u) std::abort();
  }
  return 0;
}
